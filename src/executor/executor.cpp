// The executor tick. Commands wait in the queue until the AT and OBEX roads
// are connected to it.
#include "quorvalen/quorvalen.h"

namespace quorvalen {

void Quorvalen::ExecuteNextCommand() {}
void Quorvalen::Timer2Tick() {}
void Quorvalen::Timer3Tick() {}
void Quorvalen::Timer4Tick() {}
void Quorvalen::HandlePortEvent() {}
void Quorvalen::OBEX_Decoder(const std::string&) {}

}  // namespace quorvalen
