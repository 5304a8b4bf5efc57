// vortana-term's work: standard input and output joined to a serial port,
// the port reopened when the same adapter comes back after an unplug.
#pragma once

#include "term/TermOptions.h"

// Exit status: 0 when the user quit or the input ended, 1 when the port
// failed, 2 when it could not be opened at all.
int RunTermSession(const TermOptions& options);

// --list-ports and --doctor, shared with vortana-isp: the text on stdout,
// the exit status (doctor: 1 when it found a cause).
int PrintPortList();
int PrintDoctorReport(const QString& port);
