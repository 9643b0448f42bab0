// OBEX requests. The OBEX road is connected in a later step; until then no
// request name is understood, and the executor ends such commands with
// "ERROR" so they cannot hold up the queue.
#include "quorvalen/quorvalen.h"

namespace quorvalen {

bool Quorvalen::StartObexRequest(const std::string&, const std::string&) { return false; }

void Quorvalen::ObexResponseCharacter(char) {}

void Quorvalen::DecodeBfbFrame(char) {}

}  // namespace quorvalen
