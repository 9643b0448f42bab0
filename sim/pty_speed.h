// The line speed a client set on a pseudo-terminal, read through the Linux
// termios2 interface (kept out of the files that use <termios.h>).
#pragma once

namespace quorvalen::sim {

// The output speed in bit/s set on the terminal behind fd (a pty master
// reports its slave's); 0 when none was set or it cannot be read.
int ReadLineSpeed(int fd);
// Sets the speed to 0, so a client that never sets one is seen as such.
bool ClearLineSpeed(int fd);

}  // namespace quorvalen::sim
