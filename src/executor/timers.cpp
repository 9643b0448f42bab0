// The control's timers beyond the executor tick: the answer time-out of AT
// lines (Timer2), the end of timed waits (Timer3), the infrared receive poll
// (Timer4), the time-out of OBEX requests (ObexTimer); and the busy wait.
#include "quorvalen/error.h"
#include "control/control_core.h"

namespace quorvalen {

void ControlCore::Timer2Tick() {
  // In OBEX mode the AT time-out stands aside; requests there have their own.
  if (LinkMode >= 2) return;
  platform_.Bell().Beep();
  Timer2->Enabled(false);
  const std::string head = CommandStack[0];
  RaiseAck(head, "TIMEOUT");
  DebugTrace(" Timeout :", head, " ");
  PopCommand();
  Timer2->Interval(props_.TimeOut);
  CurrentResponse.clear();
  AnswerCommand.clear();
}

// The OBEX request time-out: a request whose response has not completed
// within its interval of the request or of the last byte received ends with
// "TIMEOUT", and whatever was half received is dropped so the next response
// starts clean.
void ControlCore::ObexTimerTick() {
  ObexTimer->Enabled(false);
  // The request still holds slot 0 (also when the host has set StackCount
  // to 0), or the host emptied the queue and queued anew over it. Anything
  // else means the request ended by another road: nothing to do.
  const bool in_slot = CommandStack[0] == obex_head_;
  if (!ExecutorBusy || (!in_slot && !obex_displaced_)) return;

  RaiseAck(obex_timer_at_line_ ? obex_head_ : ObexCommandText(obex_head_), "TIMEOUT");
  DebugTrace(" Timeout :", obex_head_, " ");
  ResetObexReceive();
  // As after an AT line's time-out, a ",LONG" interval does not outlive it.
  Timer2->Interval(props_.TimeOut);
  if (in_slot) {
    PopCommand();
  } else {
    // The slot holds a command the host queued that has not run: it stays
    // queued, only the request ends.
    ExecutorBusy = false;
  }
  obex_displaced_ = false;
}

void ControlCore::Timer3Tick() {
  DebugTrace(" >COM    :WAIT OK");
  props_.AT_DataRead = CollectedAnswer;
  if (!CollectedAnswer.empty()) {
    DebugTrace(" >COM    :", CollectedAnswer);
    std::string collected = std::move(CollectedAnswer);
    CollectedAnswer.clear();
    RaiseAck(AnswerCommand, collected);
  }
  Timer3->Enabled(false);
  PopCommand();
}

// The infrared receive poll. Any error of the device, also one raised by a
// write that the handling of the received bytes makes (the next PUT block,
// a GET's continuation), ends the polling through the error path.
void ControlCore::Timer4Tick() {
  // A probe on the link reads the phone's replies itself.
  if (probe_active_) return;
  struct PollScope {
    bool& flag;
    explicit PollScope(bool& f) : flag(f) { flag = true; }
    ~PollScope() { flag = false; }
  };
  try {
    PollScope scope(in_infrared_poll_);
    if (!props_.IrDA1) throw Error(kCheckInitError, "Quorvalen", "No infrared device");
    if (props_.IrDA1->InBufferCount() > 0) {
      std::string data = props_.IrDA1->Input();
      if (props_.StackCount != 0) ProcessReceived(data);
    }
  } catch (const Error& e) {
    Timer4->Enabled(false);
    PortOpened = false;
    RaiseAck("IrDA", "ERROR " + std::to_string(e.number));
    DebugTrace(" IrDA Error:", e.number);
  }
}

// A busy wait: no tick, received data or host call is handled until it
// returns. It ends at the first clock reading past start + ms.
void ControlCore::WaitMilliseconds(int32_t ms) {
  if (ms <= 0) return;
  Clock& clock = platform_.Time();
  const int64_t end = clock.MonotonicMs() + ms;
  while (clock.MonotonicMs() <= end) clock.WaitUntil(end + 1);
}

void ControlCore::PollPause() {
  Clock& clock = platform_.Time();
  clock.WaitUntil(clock.MonotonicMs() + 1);
}

}  // namespace quorvalen
