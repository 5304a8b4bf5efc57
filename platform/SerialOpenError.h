// Why a serial device would not open, found out after the fact and told in
// words the user can act on: no such device, not a serial device,
// permission denied (with the usual Linux fix, the dialout group), or held
// by another program (with its PID and name where a lock or /proc tells).
// Shared by the window's message box and vortana-isp.
#pragma once

#include <string>

struct SerialOpenProblem {
  enum class Kind { None, NoSuchDevice, NotSerial, PermissionDenied, Busy, Other };
  Kind kind = Kind::None;
  std::string path;      // the device path tried
  int error = 0;         // errno of the failing call, where one failed
  int holderPid = 0;     // Busy: who holds it, 0 when nothing tells
  std::string holderName;
  std::string text;      // one line, UTF-8 Chinese, naming the cause and the remedy
};

// Probes the device (stat, open, lock) without keeping it open; Kind::None
// when it would open.
SerialOpenProblem DiagnoseSerialOpen(const std::string& portName);
// After an open failed: the problem's text, or a plain line when the
// device opens again by now.
std::string SerialOpenFailureText(const std::string& portName);

// The process holding the device at `path` open or locked: from a UUCP lock
// file, /proc/locks or /proc/*/fd. 0 when none is found. `ignorePid` is
// passed over (the asking process, which may hold the port itself).
int SerialDeviceHolder(const std::string& path, std::string* name, int ignorePid = 0);
// The process holding a lock (flock or POSIX) on the device at `path`, as
// /proc/locks names it; 0 when none does.
int SerialDeviceLockHolder(const std::string& path);
