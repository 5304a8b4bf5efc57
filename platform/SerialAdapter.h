// What stands behind a serial port: the USB adapter read from sysfs (vendor,
// product, maker's strings, serial number, USB path), the stable names udev
// gives it under /dev/serial, and an identity that survives a replug under
// another ttyUSBn. Plain logic over files: tests point the roots at a tree
// they build.
#pragma once

#include <string>
#include <vector>

struct SerialAdapter {
  std::string name;          // "ttyUSB0"
  std::string vendorId;      // "10c4", empty when not a USB device
  std::string productId;     // "ea60"
  std::string manufacturer;
  std::string product;       // the maker's product string
  std::string serial;        // empty when the adapter has none
  std::string usbPath;       // "1-2.3": where it is plugged in
  std::string driver;        // the driver bound to the tty's device, if any

  bool Usb() const { return !vendorId.empty(); }
  // "usb 10c4:ea60 s/n 0001", or "usb 10c4:ea60 @ 1-2.3" when the adapter has
  // no serial number (two such adapters are told apart by where they sit).
  // Empty when nothing identifies it beyond its name.
  std::string Identity() const;
  // "CP2102 USB to UART (10c4:ea60) s/n 0001 @ 1-2.3"; empty when not USB.
  std::string Label() const;
  // "ttyUSB0 — CP2102 …", or just the name.
  std::string ListLine() const;
};

// $VORTANA_SYSFS_ROOT or "/sys"; $VORTANA_DEV_ROOT or "/dev".
std::string SysfsRoot();
std::string DevRoot();

// The tty `name` ("ttyUSB0") as sysfs describes it under `sysRoot`.
SerialAdapter DescribeTty(const std::string& name, const std::string& sysRoot = SysfsRoot());

// The device name a port name leads to: "/dev/serial/by-id/usb-…" and other
// links resolve to their target's name ("ttyUSB0"); "ttyUSB0" and
// "/dev/ttyUSB0" give "ttyUSB0". A link whose target is missing gives "".
std::string DeviceNameOf(const std::string& portName);

// The adapter behind any port name (a device name, a path, a stable link).
SerialAdapter AdapterOfPort(const std::string& portName, const std::string& sysRoot = SysfsRoot());

// Every tty with a USB adapter behind it under `sysRoot`/class/tty.
std::vector<SerialAdapter> UsbSerialAdapters(const std::string& sysRoot = SysfsRoot());

// The tty now carrying `identity` (see SerialAdapter::Identity); "" when
// none does.
std::string TtyWithIdentity(const std::string& identity, const std::string& sysRoot = SysfsRoot());

// The stable path of a device: the /dev/serial/by-id link leading to it, else
// the by-path one; "" when udev made neither (an on-board UART, a pty).
std::string StableNameOf(const std::string& deviceName, const std::string& devRoot = DevRoot());

// USB devices with a serial-looking interface but no driver bound:
// "vendor:product product-string @ path" per device. These are plugged
// adapters that never became a port.
std::vector<SerialAdapter> UnboundUsbSerialDevices(const std::string& sysRoot = SysfsRoot());

// After an unplug: the port name to open when the adapter with `identity`
// is back. The name used before (a stable link keeps its name when it leads
// to that adapter again), else whichever tty now carries the identity; ""
// while it is absent or when only another adapter is there. Without an
// identity (an on-board UART, a pty) the same name counts once it exists.
std::string ReopenCandidate(const std::string& portName, const std::string& identity,
                            const std::string& sysRoot = SysfsRoot());
