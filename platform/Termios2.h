// termios2 access kept apart from <termios.h>: the kernel's <asm/termbits.h>
// (needed for BOTHER and TCSETS2, i.e. arbitrary speeds such as 1228800)
// redefines the same names as the C library header. This header exposes only
// plain types, so any file may include it.
#pragma once

#include <cstdint>

#include "platform/SerialDevice.h"

// Field-for-field copy of the kernel's struct termios2.
struct Termios2Data {
  uint32_t iflag = 0;
  uint32_t oflag = 0;
  uint32_t cflag = 0;
  uint32_t lflag = 0;
  uint8_t line = 0;
  uint8_t cc[19] = {};
  uint32_t ispeed = 0;
  uint32_t ospeed = 0;
};

// The flag values the builder uses, for callers that cannot include the
// kernel header (tests check the built settings with them).
struct Termios2Flags {
  uint32_t csize, cs5, cs6, cs7, cs8, cstopb, parenb, parodd, cmspar, crtscts,
      clocal, cread, cbaud, bother, ixon, ixoff, inpck, vstart, vstop, vmin, vtime;
};
const Termios2Flags& Termios2Constants();

// Raw mode with the given framing, flow control and speed (always BOTHER, so
// every speed is set the same way). Pure: no device involved.
Termios2Data BuildTermios2(const SerialLineSettings& s);

// ioctl(TCGETS2) / ioctl(TCSETS2). Return false when the call fails.
bool GetTermios2(int fd, Termios2Data& out);
bool SetTermios2(int fd, const Termios2Data& in);
