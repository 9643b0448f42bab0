#include "sim/pty_speed.h"

#ifdef __linux__
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace quorvalen::sim {

int ReadLineSpeed(int fd) {
#if defined(__linux__) && defined(TCGETS2)
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return static_cast<int>(tio.c_ospeed);
#else
  (void)fd;
  return 0;
#endif
}

bool ClearLineSpeed(int fd) {
#if defined(__linux__) && defined(TCGETS2)
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = 0;
  tio.c_ospeed = 0;
  return ioctl(fd, TCSETS2, &tio) == 0;
#else
  (void)fd;
  return false;
#endif
}

}  // namespace quorvalen::sim
