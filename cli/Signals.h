// Ctrl-C and SIGTERM for vortana-isp: the handler only writes a byte to a
// pipe, which the event loop reads, so the program ends its work (releasing
// the port) from the loop rather than from inside a signal handler.
#pragma once

// Installs the handlers once and returns the pipe's read end (-1 if no pipe
// could be made). With `secondIsFatal`, a second signal ends the program at
// once, should something hold the loop up. SIGPIPE is ignored: a reader that
// went away (`| head -1`) must not kill the program while it holds a port.
int SignalPipe(bool secondIsFatal);
// Empties the pipe; returns how many signals arrived.
int DrainSignalPipe();
// The last signal that arrived ("SIGINT", "SIGTERM"), for the cause line.
const char* LastSignalName();
