// Arbitrary line speeds through the Linux termios2 interface (BOTHER), for
// rates such as 56000 or 250000 that no Bxxx constant names.
#include "platform/posix/termios2.h"

#include <cerrno>
#include <cstring>

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace quorvalen {

bool SetCustomBaud(int fd, int baud, std::string* error) {
#if defined(__linux__) && defined(BOTHER)
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  if (ioctl(fd, TCSETS2, &tio) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
#else
  (void)fd;
  (void)baud;
  *error = "this system sets only the standard rates";
  return false;
#endif
}

}  // namespace quorvalen
