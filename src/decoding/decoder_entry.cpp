// The decoder entry: every character the phone sends passes through here,
// to the AT line assembler in AT mode and to the OBEX packet handling in
// OBEX mode. When a character ended the command, the next one starts inside
// the same call, CommandDelay later.
#include "control/control_core.h"

namespace quorvalen {

void ControlCore::OBEX_Decoder(const std::string& zeichen) {
  // Internal callers pass one character; a longer text from the host is
  // taken as if its characters had arrived one after the other.
  if (zeichen.size() > 1) {
    for (char c : zeichen) OBEX_Decoder(std::string(1, c));
    return;
  }
  CommandEnded = false;
  if (props_.StackCount <= 0 || zeichen.empty()) return;
  if (LinkMode < 2) {
    AtLineCharacter(zeichen[0]);
  } else {
    ObexResponseCharacter(zeichen[0]);
  }
  if (CommandEnded) {
    Timer1->Enabled(false);
    WaitMilliseconds(props_.CommandDelay);
    ExecuteNextCommand();
    Timer1->Enabled(true);
  }
}

}  // namespace quorvalen
