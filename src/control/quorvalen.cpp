// The host's calls: the plain properties kept here, the rest handed to the
// control's working object.
#include <utility>

#include "control/control_core.h"

namespace quorvalen {

Quorvalen::Quorvalen(Platform& platform) : core_(std::make_unique<ControlCore>(platform)) {}
Quorvalen::~Quorvalen() = default;

// Plain accessors: store or take the value, then notify the container.
#define QUORVALEN_PROPERTY(Type, ParamType, Name) \
  Type Quorvalen::Name() {                        \
    Type value = core_->props_.Name;              \
    core_->Notify(#Name);                         \
    return value;                                 \
  }                                               \
  void Quorvalen::Name(ParamType value) {         \
    core_->props_.Name = value;                   \
    core_->Notify(#Name);                         \
  }

QUORVALEN_PROPERTY(std::string, const std::string&, AT_Settings)
QUORVALEN_PROPERTY(std::string, const std::string&, OBEX_Settings)
QUORVALEN_PROPERTY(int32_t, int32_t, CommPort)
QUORVALEN_PROPERTY(std::string, const std::string&, DebugPath)
QUORVALEN_PROPERTY(int32_t, int32_t, TimeOut)
QUORVALEN_PROPERTY(int32_t, int32_t, TimeOutLong)
QUORVALEN_PROPERTY(bool, bool, RTSEnable)
QUORVALEN_PROPERTY(bool, bool, DTREnable)
QUORVALEN_PROPERTY(int32_t, int32_t, InBufferSize)
QUORVALEN_PROPERTY(int32_t, int32_t, OutBufferSize)
QUORVALEN_PROPERTY(int32_t, int32_t, CommandDelay)
QUORVALEN_PROPERTY(int32_t, int32_t, HexDelay)
QUORVALEN_PROPERTY(int32_t, int32_t, OBEX_ConnectType)
QUORVALEN_PROPERTY(int32_t, int32_t, MobileType)
QUORVALEN_PROPERTY(int32_t, int32_t, ComType)
QUORVALEN_PROPERTY(std::string, const std::string&, OBEX_DataRead)
QUORVALEN_PROPERTY(std::string, const std::string&, AT_DataRead)
#undef QUORVALEN_PROPERTY

void Quorvalen::OnAck(AckHandler handler) { core_->OnAck(std::move(handler)); }
std::shared_ptr<InfraredDevice> Quorvalen::IrDA1() const { return core_->IrDA1(); }
void Quorvalen::IrDA1(std::shared_ptr<InfraredDevice> device) { core_->IrDA1(std::move(device)); }
std::string Quorvalen::Command() { return core_->Command(); }
void Quorvalen::Command(const std::string& value) { core_->Command(value); }
int32_t Quorvalen::StackCount() { return core_->StackCount(); }
void Quorvalen::StackCount(int32_t value) { core_->StackCount(value); }
int32_t Quorvalen::OBEX_BlockLen() { return core_->OBEX_BlockLen(); }
void Quorvalen::OBEX_BlockLen(int32_t value) { core_->OBEX_BlockLen(value); }
std::string Quorvalen::OBEX_DataSend() { return core_->OBEX_DataSend(); }
void Quorvalen::OBEX_DataSend(const std::string& value) { core_->OBEX_DataSend(value); }
void Quorvalen::OBEX_DataSend(std::string&& value) { core_->OBEX_DataSend(std::move(value)); }
void Quorvalen::OBEX_Decoder(const std::string& zeichen) { core_->OBEX_Decoder(zeichen); }
bool Quorvalen::CheckInit() { return core_->CheckInit(); }
void Quorvalen::ReadProperties(PropertyBag& bag) { core_->ReadProperties(bag); }
void Quorvalen::WriteProperties(PropertyBag& bag) { core_->WriteProperties(bag); }
void Quorvalen::Resize() { core_->Resize(); }
bool Quorvalen::BfbFramingInForce() const { return core_->BfbFramingInForce(); }
bool Quorvalen::RawObexInForce() const { return core_->RawObexInForce(); }

}  // namespace quorvalen
