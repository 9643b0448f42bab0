// Reaches the control's private operations and members from tests.
#pragma once

#include <string>

#include "control/control_core.h"
#include "quorvalen/quorvalen.h"

namespace quorvalen {

class ControlInternals {
 public:
  explicit ControlInternals(Quorvalen& q) : q_(*q.core_) {}

  void PushCommand(const std::string& c) { q_.PushCommand(c); }
  void PopCommand() { q_.PopCommand(); }
  void RaiseAck(const std::string& c, const std::string& a) { q_.RaiseAck(c, a); }
  void DebugTrace(std::string_view text) { q_.DebugTrace(text); }
  bool OpenTrace() { return q_.OpenTrace(); }
  void CloseTrace() { q_.CloseTrace(); }
  void WaitMilliseconds(int32_t ms) { q_.WaitMilliseconds(ms); }
  void ExecuteNextCommand() { q_.ExecuteNextCommand(); }

  const std::string& Slot(int i) const { return q_.CommandStack[i]; }
  bool& DebugOn() { return q_.DebugOn; }
  bool& AutoBlockLen() { return q_.AutoBlockLen; }
  bool& PortOpened() { return q_.PortOpened; }
  bool& ExecutorBusy() { return q_.ExecutorBusy; }
  bool& CommandEnded() { return q_.CommandEnded; }
  int32_t& LinkMode() { return q_.LinkMode; }
  int32_t RawStackCount() const { return q_.props_.StackCount; }
  Timer& Timer1() { return *q_.Timer1; }
  Timer& Timer2() { return *q_.Timer2; }
  Timer& Timer3() { return *q_.Timer3; }
  Timer& Timer4() { return *q_.Timer4; }
  Timer& ObexTimer() { return *q_.ObexTimer; }
  int32_t& BfbSequence() { return q_.BfbSequence; }
  std::string& ObexReceiveBuffer() { return q_.ObexReceiveBuffer; }
  std::string& BfbFrameBuffer() { return q_.BfbFrameBuffer; }
  std::string& BfbDataBuffer() { return q_.BfbDataBuffer; }
  int32_t& HexCommandCount() { return q_.HexCommandCount; }
  int32_t& DataSendLength() { return q_.DataSendLength; }
  void SendBfbFrame(std::string_view packet) { q_.SendBfbFrame(packet); }
  void DecodeBfbFrame(char ch) { q_.DecodeBfbFrame(ch); }
  SerialPort& Port() { return *q_.MSComm1; }

 private:
  ControlCore& q_;
};

}  // namespace quorvalen
