#include "platform/SerialAdapter.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string ReadAttr(const fs::path& p) {
  std::ifstream f(p);
  std::string s;
  std::getline(f, s);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

// USB chips that only ever act as serial adapters: one of them without a
// driver is a port that did not appear.
bool SerialChipVendor(const std::string& vid) {
  return vid == "10c4" || vid == "1a86" || vid == "0403" || vid == "067b" || vid == "4348";
}

}  // namespace

std::string SysfsRoot() { return EnvOr("VORTANA_SYSFS_ROOT", "/sys"); }
std::string DevRoot() { return EnvOr("VORTANA_DEV_ROOT", "/dev"); }

std::string SerialAdapter::Identity() const {
  if (!Usb()) return "";
  const std::string ids = "usb " + vendorId + ":" + productId;
  return serial.empty() ? ids + " @ " + usbPath : ids + " s/n " + serial;
}

std::string SerialAdapter::Label() const {
  if (!Usb()) return "";
  std::string t = product.empty() ? manufacturer : product;
  if (!t.empty()) t += " ";
  t += "(" + vendorId + ":" + productId + ")";
  if (!serial.empty()) t += " s/n " + serial;
  if (!usbPath.empty()) t += " @ " + usbPath;
  return t;
}

std::string SerialAdapter::ListLine() const {
  const std::string l = Label();
  return l.empty() ? name : name + " — " + l;
}

SerialAdapter DescribeTty(const std::string& name, const std::string& sysRoot) {
  SerialAdapter a;
  a.name = name;
  if (name.empty() || name.find('/') != std::string::npos) return a;
  std::error_code ec;
  const fs::path device = fs::canonical(fs::path(sysRoot) / "class/tty" / name / "device", ec);
  if (ec) return a;
  const fs::path driver = fs::read_symlink(device / "driver", ec);
  if (!ec) a.driver = driver.filename().string();
  // Up from the tty's device (a usb-serial port or a CDC interface) to the
  // USB device, the first folder with an idVendor.
  const fs::path top = fs::path(sysRoot);
  for (fs::path p = device; !p.empty() && p != p.root_path() && p != top; p = p.parent_path()) {
    if (!fs::exists(p / "idVendor", ec)) continue;
    a.vendorId = ReadAttr(p / "idVendor");
    a.productId = ReadAttr(p / "idProduct");
    a.manufacturer = ReadAttr(p / "manufacturer");
    a.product = ReadAttr(p / "product");
    a.serial = ReadAttr(p / "serial");
    a.usbPath = p.filename().string();
    break;
  }
  return a;
}

std::string DeviceNameOf(const std::string& portName) {
  if (portName.empty()) return "";
  if (portName[0] != '/') return portName;
  std::error_code ec;
  fs::path p(portName);
  if (fs::is_symlink(fs::symlink_status(p, ec))) {
    p = fs::canonical(p, ec);
    if (ec) return "";
  }
  return p.filename().string();
}

SerialAdapter AdapterOfPort(const std::string& portName, const std::string& sysRoot) {
  SerialAdapter a = DescribeTty(DeviceNameOf(portName), sysRoot);
  if (a.name.empty()) a.name = portName;
  return a;
}

std::vector<SerialAdapter> UsbSerialAdapters(const std::string& sysRoot) {
  std::vector<SerialAdapter> out;
  std::error_code ec;
  fs::directory_iterator it(fs::path(sysRoot) / "class/tty", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    SerialAdapter a = DescribeTty(it->path().filename().string(), sysRoot);
    if (a.Usb()) out.push_back(std::move(a));
  }
  std::sort(out.begin(), out.end(), [](const SerialAdapter& x, const SerialAdapter& y) { return x.name < y.name; });
  return out;
}

std::string TtyWithIdentity(const std::string& identity, const std::string& sysRoot) {
  if (identity.empty()) return "";
  for (const SerialAdapter& a : UsbSerialAdapters(sysRoot))
    if (a.Identity() == identity) return a.name;
  return "";
}

std::string StableNameOf(const std::string& deviceName, const std::string& devRoot) {
  if (deviceName.empty()) return "";
  for (const char* dir : {"serial/by-id", "serial/by-path"}) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(devRoot) / dir, ec);
    std::vector<std::string> hits;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code tec;
      const fs::path target = fs::read_symlink(it->path(), tec);
      if (!tec && target.filename() == deviceName) hits.push_back(it->path().string());
    }
    if (!hits.empty()) return *std::min_element(hits.begin(), hits.end());
  }
  return "";
}

std::vector<SerialAdapter> UnboundUsbSerialDevices(const std::string& sysRoot) {
  std::vector<SerialAdapter> out;
  std::error_code ec;
  fs::directory_iterator it(fs::path(sysRoot) / "bus/usb/devices", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path dev = it->path();
    const std::string base = dev.filename().string();
    if (base.find(':') != std::string::npos || base.rfind("usb", 0) == 0) continue;  // interfaces, root hubs
    SerialAdapter a;
    a.vendorId = ReadAttr(dev / "idVendor");
    if (a.vendorId.empty()) continue;
    a.productId = ReadAttr(dev / "idProduct");
    a.product = ReadAttr(dev / "product");
    a.manufacturer = ReadAttr(dev / "manufacturer");
    a.serial = ReadAttr(dev / "serial");
    a.usbPath = base;
    bool serialLike = SerialChipVendor(a.vendorId), bound = false;
    std::error_code iec;
    fs::directory_iterator ifs(fs::canonical(dev, iec), iec);
    for (; !iec && ifs != fs::directory_iterator(); ifs.increment(iec)) {
      const std::string n = ifs->path().filename().string();
      if (n.rfind(base + ":", 0) != 0) continue;
      const std::string cls = ReadAttr(ifs->path() / "bInterfaceClass");
      if (cls == "02" || cls == "0a") serialLike = true;  // CDC ACM
      std::error_code dec;
      if (fs::exists(fs::symlink_status(ifs->path() / "driver", dec))) bound = true;
    }
    if (serialLike && !bound) out.push_back(std::move(a));
  }
  return out;
}

std::string ReopenCandidate(const std::string& portName, const std::string& identity, const std::string& sysRoot) {
  std::error_code ec;
  const bool exists = !portName.empty() && fs::exists(portName[0] == '/' ? portName : "/dev/" + portName, ec);
  if (identity.empty()) return exists ? portName : "";
  if (exists && DescribeTty(DeviceNameOf(portName), sysRoot).Identity() == identity) return portName;
  return TtyWithIdentity(identity, sysRoot);
}
