// Writing Command: the host's command is queued and the executor's timer
// made to run.
#include "quorvalen/quorvalen.h"

namespace quorvalen {

void Quorvalen::Command(const std::string& value) {
  PushCommand(value);
  if (!Timer1->Enabled()) Timer1->Enabled(true);
  Notify("Command");
}

}  // namespace quorvalen
