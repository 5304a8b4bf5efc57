// vortana-term --send-xmodem / --receive-xmodem / --send-ymodem /
// --receive-ymodem: one transfer over the port, progress on stderr.
#pragma once

#include "term/TermOptions.h"

// 0 the transfer completed; 1 the other side gave up or the line failed (the
// cause on the last line of stderr); 2 the port or a file could not be opened.
int RunTermTransfer(const TermOptions& options);
