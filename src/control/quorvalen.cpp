// The host's calls, each handed to the control's working object.
#include <utility>

#include "control/control_core.h"

namespace quorvalen {

Quorvalen::Quorvalen(Platform& platform) : core_(std::make_unique<ControlCore>(platform)) {}
Quorvalen::~Quorvalen() = default;

void Quorvalen::OnAck(AckHandler handler) { core_->OnAck(std::move(handler)); }
std::shared_ptr<InfraredDevice> Quorvalen::IrDA1() const { return core_->IrDA1(); }
void Quorvalen::IrDA1(std::shared_ptr<InfraredDevice> device) { core_->IrDA1(std::move(device)); }
std::string Quorvalen::AT_Settings() { return core_->AT_Settings(); }
void Quorvalen::AT_Settings(const std::string& value) { core_->AT_Settings(value); }
std::string Quorvalen::OBEX_Settings() { return core_->OBEX_Settings(); }
void Quorvalen::OBEX_Settings(const std::string& value) { core_->OBEX_Settings(value); }
int32_t Quorvalen::CommPort() { return core_->CommPort(); }
void Quorvalen::CommPort(int32_t value) { core_->CommPort(value); }
std::string Quorvalen::Command() { return core_->Command(); }
void Quorvalen::Command(const std::string& value) { core_->Command(value); }
int32_t Quorvalen::StackCount() { return core_->StackCount(); }
void Quorvalen::StackCount(int32_t value) { core_->StackCount(value); }
std::string Quorvalen::DebugPath() { return core_->DebugPath(); }
void Quorvalen::DebugPath(const std::string& value) { core_->DebugPath(value); }
int32_t Quorvalen::TimeOut() { return core_->TimeOut(); }
void Quorvalen::TimeOut(int32_t value) { core_->TimeOut(value); }
int32_t Quorvalen::TimeOutLong() { return core_->TimeOutLong(); }
void Quorvalen::TimeOutLong(int32_t value) { core_->TimeOutLong(value); }
bool Quorvalen::RTSEnable() { return core_->RTSEnable(); }
void Quorvalen::RTSEnable(bool value) { core_->RTSEnable(value); }
bool Quorvalen::DTREnable() { return core_->DTREnable(); }
void Quorvalen::DTREnable(bool value) { core_->DTREnable(value); }
int32_t Quorvalen::InBufferSize() { return core_->InBufferSize(); }
void Quorvalen::InBufferSize(int32_t value) { core_->InBufferSize(value); }
int32_t Quorvalen::OutBufferSize() { return core_->OutBufferSize(); }
void Quorvalen::OutBufferSize(int32_t value) { core_->OutBufferSize(value); }
int32_t Quorvalen::CommandDelay() { return core_->CommandDelay(); }
void Quorvalen::CommandDelay(int32_t value) { core_->CommandDelay(value); }
int32_t Quorvalen::HexDelay() { return core_->HexDelay(); }
void Quorvalen::HexDelay(int32_t value) { core_->HexDelay(value); }
int32_t Quorvalen::OBEX_ConnectType() { return core_->OBEX_ConnectType(); }
void Quorvalen::OBEX_ConnectType(int32_t value) { core_->OBEX_ConnectType(value); }
int32_t Quorvalen::MobileType() { return core_->MobileType(); }
void Quorvalen::MobileType(int32_t value) { core_->MobileType(value); }
int32_t Quorvalen::ComType() { return core_->ComType(); }
void Quorvalen::ComType(int32_t value) { core_->ComType(value); }
int32_t Quorvalen::OBEX_BlockLen() { return core_->OBEX_BlockLen(); }
void Quorvalen::OBEX_BlockLen(int32_t value) { core_->OBEX_BlockLen(value); }
std::string Quorvalen::OBEX_DataRead() { return core_->OBEX_DataRead(); }
void Quorvalen::OBEX_DataRead(const std::string& value) { core_->OBEX_DataRead(value); }
std::string Quorvalen::OBEX_DataSend() { return core_->OBEX_DataSend(); }
void Quorvalen::OBEX_DataSend(const std::string& value) { core_->OBEX_DataSend(value); }
std::string Quorvalen::AT_DataRead() { return core_->AT_DataRead(); }
void Quorvalen::AT_DataRead(const std::string& value) { core_->AT_DataRead(value); }
void Quorvalen::OBEX_Decoder(const std::string& zeichen) { core_->OBEX_Decoder(zeichen); }
bool Quorvalen::CheckInit() { return core_->CheckInit(); }
void Quorvalen::ReadProperties(PropertyBag& bag) { core_->ReadProperties(bag); }
void Quorvalen::WriteProperties(PropertyBag& bag) { core_->WriteProperties(bag); }
void Quorvalen::Resize() { core_->Resize(); }
bool Quorvalen::BfbFramingInForce() const { return core_->BfbFramingInForce(); }
bool Quorvalen::RawObexInForce() const { return core_->RawObexInForce(); }

}  // namespace quorvalen
