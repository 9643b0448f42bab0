// The command queue: a fixed array of slots, appended at the end and removed
// from the front, every change of length reported through Ack. Slots at and
// above StackCount keep what the shifting left in them, and the Command get
// reads the slot at StackCount, so the shifting below is visible to hosts.
#include "quorvalen/error.h"
#include "control/control_core.h"

namespace quorvalen {

std::string ControlCore::Command() {
  if (props_.StackCount < 0 || props_.StackCount >= kStackSlots) {
    throw Error(kErrSubscriptOutOfRange, "Quorvalen",
                "Subscript out of range: Command read with StackCount " +
                    std::to_string(props_.StackCount));
  }
  std::string value = CommandStack[props_.StackCount];
  Notify("Command");
  return value;
}

int32_t ControlCore::StackCount() {
  int32_t value = props_.StackCount;
  Notify("StackCount");
  return value;
}

void ControlCore::StackCount(int32_t value) {
  // Unchecked: writing 0 is how a host empties the queue.
  props_.StackCount = value;
  Notify("StackCount");
}

void ControlCore::PushCommand(const std::string& command) {
  const int32_t index = props_.StackCount;
  if (index < 0 || index >= kStackSlots) {
    throw Error(kErrSubscriptOutOfRange, "Quorvalen",
                "Subscript out of range: the command queue holds " + std::to_string(index) +
                    " entries");
  }
  CommandStack.Set(index, command);
  DebugTrace(" Stack[", index, "]:", command);
  ++props_.StackCount;
  RaiseAck("STACK+", std::to_string(props_.StackCount));
}

void ControlCore::PopCommand() {
  // Slot i + 1 moves into slot i for i from 0 up to the count inclusive: one
  // pass more than removing the head needs. A slot past the last one reads
  // as empty.
  CommandStack.ShiftForPop(props_.StackCount);
  --props_.StackCount;
  RaiseAck("STACK-", std::to_string(props_.StackCount));
  Timer2->Enabled(false);
  if (props_.StackCount == -1) props_.StackCount = 0;
  CommandEnded = true;
  ExecutorBusy = false;
}

}  // namespace quorvalen
