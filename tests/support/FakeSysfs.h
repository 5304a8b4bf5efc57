// A sysfs tree built by a test: USB adapters with their ttys, as the kernel
// lays them out (class/tty/NAME/device -> .../USBPATH/USBPATH:1.0/NAME), and
// a /proc with processes by name.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

class FakeSysfs {
 public:
  explicit FakeSysfs(const std::string& root) : root_(root) {
    std::filesystem::create_directories(root_ + "/class/tty");
    std::filesystem::create_directories(root_ + "/bus/usb/devices");
  }
  const std::string& root() const { return root_; }

  // A USB device at `usbPath` ("1-2.3") with a tty `tty` ("ttyUSB0") behind
  // its first interface. An empty `serial` leaves the attribute out.
  void AddAdapter(const std::string& tty, const std::string& usbPath, const std::string& vid, const std::string& pid,
                  const std::string& product, const std::string& serial, bool driverBound = true) {
    const std::string dev = AddUsbDevice(usbPath, vid, pid, product, serial, "ff", driverBound);
    const std::string port = dev + "/" + usbPath + ":1.0/" + tty;
    std::filesystem::create_directories(port);
    MoveTty(tty, port);
  }
  // The tty entry now leads to `deviceDir` (a replug under another number).
  void MoveTty(const std::string& tty, const std::string& deviceDir) {
    const std::string entry = root_ + "/class/tty/" + tty;
    std::filesystem::remove_all(entry);
    std::filesystem::create_directories(entry);
    std::filesystem::create_symlink(deviceDir, entry + "/device");
  }
  void RemoveTty(const std::string& tty) { std::filesystem::remove_all(root_ + "/class/tty/" + tty); }
  std::string AddUsbDevice(const std::string& usbPath, const std::string& vid, const std::string& pid,
                           const std::string& product, const std::string& serial, const std::string& ifClass,
                           bool driverBound) {
    const std::string dev = root_ + "/devices/usb1/" + usbPath;
    std::filesystem::create_directories(dev + "/" + usbPath + ":1.0");
    Put(dev + "/idVendor", vid);
    Put(dev + "/idProduct", pid);
    if (!product.empty()) Put(dev + "/product", product);
    if (!serial.empty()) Put(dev + "/serial", serial);
    Put(dev + "/" + usbPath + ":1.0/bInterfaceClass", ifClass);
    std::error_code ec;
    if (driverBound) {
      std::filesystem::create_directories(root_ + "/bus/usb-serial/drivers/x");
      std::filesystem::create_symlink(root_ + "/bus/usb-serial/drivers/x", dev + "/" + usbPath + ":1.0/driver", ec);
    }
    std::filesystem::create_symlink(dev, root_ + "/bus/usb/devices/" + usbPath, ec);
    return dev;
  }
  static void Put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text << "\n";
  }

 private:
  std::string root_;
};
