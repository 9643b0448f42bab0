// The control object: creation, the property accessors, CheckInit and the
// one way results reach the host, RaiseAck.
#include <utility>

#include "control/control_core.h"
#include "quorvalen/error.h"

namespace quorvalen {

ControlCore::ControlCore(Platform& platform) : platform_(platform), site_(platform.Site()) {
  MSComm1 = platform_.CreateSerialPort();
  MSComm1->OnComm([this]() { HandlePortEvent(); });
  trace_file_ = platform_.CreateTraceFile();
  EventLoop& loop = platform_.Loop();
  Timer1 = loop.CreateTimer([this]() { ExecuteNextCommand(); });
  Timer2 = loop.CreateTimer([this]() { Timer2Tick(); });
  Timer3 = loop.CreateTimer([this]() { Timer3Tick(); });
  Timer4 = loop.CreateTimer([this]() { Timer4Tick(); });
  ObexTimer = loop.CreateTimer([this]() { ObexTimerTick(); });
  Timer1->Interval(100);
  Timer2->Interval(30000);
  Timer3->Interval(500);
  Timer4->Interval(100);
  Initialize();
}

ControlCore::~ControlCore() {
  // Timers first: no tick may reach a half-destroyed control.
  Timer1.reset();
  Timer2.reset();
  Timer3.reset();
  Timer4.reset();
  ObexTimer.reset();
  if (trace_file_) trace_file_->Close();
}

void ControlCore::Initialize() {
  props_.AT_Settings = "19200,n,8,1";
  props_.OBEX_Settings = "56000,n,8,1";
  props_.CommPort = 1;
  props_.StackCount = 0;
  props_.DebugPath.clear();
  DebugOn = false;
  props_.TimeOut = 20000;
  props_.TimeOutLong = 40000;
  props_.RTSEnable = true;
  props_.DTREnable = true;
  props_.InBufferSize = 4096;
  props_.OutBufferSize = 2048;
  props_.CommandDelay = 10;
  props_.HexDelay = 150;
  props_.OBEX_BlockLen = 255;
  AutoBlockLen = false;
  props_.OBEX_ConnectType = 0;
  props_.MobileType = 0;
  props_.ComType = 0;
  props_.OBEX_DataRead.clear();
  props_.OBEX_DataSend.clear();
  props_.AT_DataRead.clear();
  PortOpened = false;
}

void ControlCore::OnAck(AckHandler handler) {
  ack_handler_ = handler ? std::make_shared<AckHandler>(std::move(handler)) : nullptr;
}

void ControlCore::RaiseAck(const std::string& command, const std::string& answer) {
  if (answer.empty()) return;
  // Hold the handler: it may replace itself while it runs.
  std::shared_ptr<AckHandler> handler = ack_handler_;
  if (handler) (*handler)(command, answer);
}

bool ControlCore::CheckInit() {
  if (props_.IrDA1) return true;
  throw Error(kCheckInitError, "Kavrolinks.CheckInit",
              "First function SetCommDevice has to be called");
}

void ControlCore::Resize() { site_.RequestSize(480, 480); }

// OBEX_DataSend reads as the bytes not yet sent; a multi-packet PUT moves an
// offset instead of copying the rest after every block.
std::string ControlCore::OBEX_DataSend() {
  std::string value(DataSendRemaining());
  Notify("OBEX_DataSend");
  return value;
}

void ControlCore::OBEX_DataSend(const std::string& value) {
  props_.OBEX_DataSend = value;
  obex_send_offset_ = 0;
  Notify("OBEX_DataSend");
}

// The bytes given before are let go here, not kept in the new value's room
// (as an assignment of a short value would keep them).
void ControlCore::OBEX_DataSend(std::string&& value) {
  std::string(std::move(value)).swap(props_.OBEX_DataSend);
  obex_send_offset_ = 0;
  Notify("OBEX_DataSend");
}

void ControlCore::ConsumeDataSend(size_t count) {
  obex_send_offset_ += count;
  if (obex_send_offset_ >= props_.OBEX_DataSend.size()) {
    // All sent: the room of a large file goes back at once.
    std::string().swap(props_.OBEX_DataSend);
    obex_send_offset_ = 0;
  }
}

int32_t ControlCore::OBEX_BlockLen() {
  int32_t value = props_.OBEX_BlockLen;
  Notify("OBEX_BlockLen");
  return value;
}

void ControlCore::OBEX_BlockLen(int32_t value) {
  // 0 asks for automatic block length: start at 255 and let the phone's
  // packets raise it. Other values leave automatic mode as it is.
  if (value == 0) {
    props_.OBEX_BlockLen = 255;
    AutoBlockLen = true;
  } else {
    props_.OBEX_BlockLen = value;
  }
  Notify("OBEX_BlockLen");
  DebugTrace(" Change OBEX Par: OBEX_BlockLen:", props_.OBEX_BlockLen,
             " OBEX_AutoBlockLen:", AutoBlockLen ? "True" : "False");
}

}  // namespace quorvalen
