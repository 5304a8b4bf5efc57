// Why a serial port is missing, will not open or vanishes: the causes this
// machine shows (a braille daemon claiming adapters, a modem manager probing
// them, a group the user lacks, another process on the port, an adapter with
// no driver), each with the line that fixes it. Shared by the window's
// "串口诊断" report and the --doctor option of both command-line hosts.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct PortFinding {
  // What the port-open message already names (Missing, Holder) and what only
  // the doctor can tell.
  enum class Kind { Daemon, Modem, Group, Holder, Missing, NoDriver };
  Kind kind = Kind::Daemon;
  std::string cause;   // one line, what is wrong
  std::string remedy;  // one line, what to type or do
};

// Where the facts come from; tests point these at a tree they built.
struct DoctorRoots {
  std::string proc;       // $VORTANA_PROC_ROOT or /proc
  std::string sys;        // $VORTANA_SYSFS_ROOT or /sys
  std::string dev;        // $VORTANA_DEV_ROOT or /dev
  std::string groupFile;  // $VORTANA_GROUP_FILE or /etc/group
  std::string udevData;   // $VORTANA_UDEV_DATA or /run/udev/data
  static DoctorRoots System();
};

// Processes by name under `procRoot`: pids whose comm equals `comm`.
std::vector<int> ProcessesNamed(const std::string& procRoot, const std::string& comm);

// The group check on its own, from plain facts: the device's owner, group
// and mode, who we are and the groups this login carries, /etc/group's text.
// Empty when the user may open the device.
std::vector<PortFinding> GroupFindings(const std::string& devicePath, uid_t fileUid, gid_t fileGid, mode_t mode,
                                       uid_t uid, const std::string& userName, const std::vector<gid_t>& loginGroups,
                                       const std::string& groupFileText);

// Everything found for `portName` (may be empty: the machine as a whole).
std::vector<PortFinding> DiagnosePort(const std::string& portName, const DoctorRoots& roots = DoctorRoots::System());

// The report, one finding to a pair of lines; "未发现问题" and the ports seen
// when there is nothing.
std::string DoctorReport(const std::string& portName, const std::vector<PortFinding>& findings);
