// Kept apart: <asm/termbits.h> clashes with <termios.h>.
#include "sim/PtySpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

uint32_t PtyHostSpeed(int masterFd) {
  if (masterFd < 0) return 0;
  struct termios2 t {};
  // Terminal ioctls on a master act on its slave, the program's side.
  if (ioctl(masterFd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}
