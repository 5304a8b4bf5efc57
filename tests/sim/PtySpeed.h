// The speed a program has set on a pseudo-terminal, read from the master.
#pragma once

#include <cstdint>

// Output speed in bit/s of the pty whose master is `masterFd`; 0 on error.
uint32_t PtyHostSpeed(int masterFd);
