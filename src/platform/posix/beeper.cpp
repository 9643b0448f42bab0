// The audible alert: BEL on the terminal the host gave us.
#include <unistd.h>

#include "quorvalen/posix_platform.h"

namespace quorvalen {

void TerminalBeeper::Beep() {
  if (fd_ < 0) return;
  // A bell that cannot ring is not worth an error.
  [[maybe_unused]] ssize_t n = write(fd_, "\a", 1);
}

}  // namespace quorvalen
