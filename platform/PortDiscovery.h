// Serial port discovery: which serial devices this machine has, in the order
// the port lists show them, and which entry stays selected after a refill.
#pragma once

#include <QString>
#include <QStringList>

// Where the ports come from. Tests point these at a fake tree and value.
struct PortDiscoverySources {
  QString sysClassTty = QStringLiteral("/sys/class/tty");
  QString extraPorts;  // colon-separated paths, the form of VORTANA_EXTRA_PORTS
};

// This machine's sources: /sys/class/tty and $VORTANA_EXTRA_PORTS. The
// variable VORTANA_SYS_CLASS_TTY, when set, replaces /sys/class/tty so that a
// test of the whole window can run against a fake device tree; without it
// $VORTANA_SYSFS_ROOT/class/tty does.
PortDiscoverySources SystemPortSources();

// Device names ("ttyUSB0", "ttyACM1", "ttyS0") of the serial devices under
// `sysClassTty` that have hardware behind them: the entry has a `device` link
// (virtual consoles, ptmx and the like have none), and a UART whose `type`
// attribute reads 0 is left out: that is how the 8250 driver shows the
// placeholder ports it registers for UARTs that are absent. USB adapters have
// no `type` attribute and always count. Unsorted; empty when the folder
// cannot be read.
QStringList HardwareSerialDevices(const QString& sysClassTty);

// The non-empty items of a colon-separated list, in order.
QStringList ExtraPorts(const QString& colonSeparated);

// Sorted as text, ignoring case ("ttyUSB10" before "ttyUSB2"); a name equal
// (ignoring case) to one already present is dropped.
QStringList SortedPortList(const QStringList& names);

// The sorted list of hardware devices plus extra ports. Empty when nothing is
// found; the lists then keep their previous items.
QStringList DiscoverPorts(const PortDiscoverySources& sources = SystemPortSources());

// The selection follows the position, not the name: the old index stays,
// unless it lies past the end of the new list, which selects the last item
// (-1 when the list is empty). An index of -1 (nothing selected) stays -1.
int SelectedIndexAfterRefill(int currentIndex, int itemCount);

// The discovered ports, one a line, each with its adapter where sysfs names
// one ("ttyUSB0 — CP2102 USB to UART (10c4:ea60) s/n 0001 @ 1-2.3") and the
// stable link udev made for it on a second line. The form of --list-ports.
QStringList PortListLines(const PortDiscoverySources& sources = SystemPortSources());
