// The decoder entry: every character the phone sends passes through here,
// to the AT line assembler in AT mode and to the OBEX packet handling in
// OBEX mode. When a character ended the command, the next one starts inside
// the same call, CommandDelay later.
#include "quorvalen/quorvalen.h"

namespace quorvalen {

void Quorvalen::OBEX_Decoder(const std::string& zeichen) {
  CommandEnded = false;
  if (props_.StackCount <= 0) return;
  // Internal callers pass one character; a longer text from the host is
  // taken one character after the other.
  for (char c : zeichen) {
    if (LinkMode < 2) {
      AtLineCharacter(c);
    } else {
      ObexResponseCharacter(c);
    }
  }
  if (CommandEnded) {
    Timer1->Enabled(false);
    WaitMilliseconds(props_.CommandDelay);
    ExecuteNextCommand();
    Timer1->Enabled(true);
  }
}

}  // namespace quorvalen
