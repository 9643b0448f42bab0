// Line speeds that have no Bxxx constant. Kept apart from <termios.h>: the
// Linux interface for them (<asm/termbits.h>) redefines the same structures.
#pragma once

#include <string>

namespace quorvalen {

// Sets both directions of the open terminal fd to an arbitrary rate, leaving
// every other setting alone. On failure returns false and puts the reason
// (strerror text) in *error.
bool SetCustomBaud(int fd, int baud, std::string* error);

}  // namespace quorvalen
