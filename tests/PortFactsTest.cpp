// What the port lists, the reconnect and the doctor learn from sysfs, /dev,
// /proc and /etc/group, each from a tree the test builds.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <sys/stat.h>

#include "platform/PortDiscovery.h"
#include "platform/PortDoctor.h"
#include "platform/SerialAdapter.h"
#include "support/FakeSysfs.h"

namespace fs = std::filesystem;

namespace {

struct Tree : ::testing::Test {
  QTemporaryDir dir;
  std::string base = dir.path().toStdString();
  FakeSysfs sys{base + "/sys"};
};

using PortAdapters = Tree;

TEST_F(PortAdapters, AnAdapterIsKnownByItsSerialNumberOrElseByItsSocket) {
  sys.AddAdapter("ttyUSB0", "1-2.3", "10c4", "ea60", "CP2102 USB to UART", "0001");
  sys.AddAdapter("ttyUSB1", "1-4", "1a86", "7523", "", "");
  const SerialAdapter cp = DescribeTty("ttyUSB0", sys.root());
  EXPECT_EQ(cp.usbPath, "1-2.3");
  EXPECT_EQ(cp.ListLine(), "ttyUSB0 — CP2102 USB to UART (10c4:ea60) s/n 0001 @ 1-2.3");
  EXPECT_EQ(cp.Identity(), "usb 10c4:ea60 s/n 0001");
  const SerialAdapter ch = DescribeTty("ttyUSB1", sys.root());
  EXPECT_EQ(ch.ListLine(), "ttyUSB1 — (1a86:7523) @ 1-4");
  EXPECT_EQ(ch.Identity(), "usb 1a86:7523 @ 1-4");
  // An on-board UART (no USB device above it) and a name sysfs does not know.
  fs::create_directories(sys.root() + "/devices/platform/serial8250/tty/ttyS0");
  sys.MoveTty("ttyS0", sys.root() + "/devices/platform/serial8250/tty/ttyS0");
  EXPECT_EQ(DescribeTty("ttyS0", sys.root()).ListLine(), "ttyS0");
  EXPECT_EQ(DescribeTty("ttyS0", sys.root()).Identity(), "");
  EXPECT_EQ(DescribeTty("ttyUSB9", sys.root()).Identity(), "");
}

TEST_F(PortAdapters, TwoIdenticalAdaptersWithoutSerialAreToldApartBySocket) {
  sys.AddAdapter("ttyUSB0", "1-1", "1a86", "7523", "USB Serial", "");
  sys.AddAdapter("ttyUSB1", "1-2", "1a86", "7523", "USB Serial", "");
  const std::string second = DescribeTty("ttyUSB1", sys.root()).Identity();
  EXPECT_NE(DescribeTty("ttyUSB0", sys.root()).Identity(), second);
  EXPECT_EQ(TtyWithIdentity(second, sys.root()), "ttyUSB1");
  EXPECT_EQ(UsbSerialAdapters(sys.root()).size(), 2u);
}

// Replugged, the adapter comes back as ttyUSB1 while another one took
// ttyUSB0: the lost port follows the adapter, not the number.
TEST_F(PortAdapters, AReplugFollowsTheAdapterNotTheNumber) {
  sys.AddAdapter("ttyUSB0", "1-2", "0403", "6001", "FT232R", "A10K");
  const std::string id = DescribeTty("ttyUSB0", sys.root()).Identity();
  const std::string lost = base + "/dev/ttyUSB0";  // gone from /dev
  sys.RemoveTty("ttyUSB0");
  EXPECT_EQ(ReopenCandidate(lost, id, sys.root()), "");
  fs::remove_all(sys.root() + "/devices");
  sys.AddAdapter("ttyUSB0", "1-3", "0403", "6001", "FT232R", "B77Q");  // someone else's
  EXPECT_EQ(ReopenCandidate(lost, id, sys.root()), "");
  sys.AddAdapter("ttyUSB1", "1-2", "0403", "6001", "FT232R", "A10K");
  EXPECT_EQ(ReopenCandidate(lost, id, sys.root()), "ttyUSB1");
}

TEST_F(PortAdapters, StableLinksNameTheDeviceAndByIdWins) {
  const std::string dev = base + "/dev";
  fs::create_directories(dev + "/serial/by-id");
  fs::create_directories(dev + "/serial/by-path");
  fs::create_symlink("../../ttyUSB3", dev + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
  EXPECT_EQ(StableNameOf("ttyUSB3", dev), dev + "/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
  fs::create_symlink("../../ttyUSB3", dev + "/serial/by-id/usb-FTDI_FT232R_A10K-if00-port0");
  fs::create_symlink("../../ttyUSB30", dev + "/serial/by-id/usb-FTDI_FT232R_ZZZZ-if00-port0");
  EXPECT_EQ(StableNameOf("ttyUSB3", dev), dev + "/serial/by-id/usb-FTDI_FT232R_A10K-if00-port0");
  EXPECT_EQ(StableNameOf("ttyS0", dev), "");
  // A link is as good as the name it leads to; a dangling one leads nowhere.
  std::ofstream(dev + "/ttyUSB3") << "";
  EXPECT_EQ(DeviceNameOf(dev + "/serial/by-id/usb-FTDI_FT232R_A10K-if00-port0"), "ttyUSB3");
  EXPECT_EQ(DeviceNameOf(dev + "/serial/by-id/usb-FTDI_FT232R_ZZZZ-if00-port0"), "");
  EXPECT_EQ(DeviceNameOf("ttyUSB3"), "ttyUSB3");
}

TEST_F(PortAdapters, ListPortsShowsTheAdapterAndItsStableLink) {
  sys.AddAdapter("ttyUSB0", "1-2.3", "10c4", "ea60", "CP2102 USB to UART", "0001");
  const std::string dev = base + "/dev";
  fs::create_directories(dev + "/serial/by-id");
  fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-Silicon_Labs_CP2102-if00-port0");
  ::setenv("VORTANA_SYSFS_ROOT", sys.root().c_str(), 1);
  ::setenv("VORTANA_DEV_ROOT", dev.c_str(), 1);
  PortDiscoverySources src;
  src.sysClassTty = QString::fromStdString(sys.root() + "/class/tty");
  const QStringList lines = PortListLines(src);
  ::unsetenv("VORTANA_SYSFS_ROOT");
  ::unsetenv("VORTANA_DEV_ROOT");
  ASSERT_EQ(lines.size(), 2);
  EXPECT_EQ(lines[0], QStringLiteral("ttyUSB0 — CP2102 USB to UART (10c4:ea60) s/n 0001 @ 1-2.3"));
  EXPECT_EQ(lines[1].trimmed().toStdString(), dev + "/serial/by-id/usb-Silicon_Labs_CP2102-if00-port0");
}

TEST_F(PortAdapters, APluggedSerialChipWithoutDriverIsReported) {
  sys.AddUsbDevice("1-5", "1a86", "7523", "USB Serial", "", "ff", false);       // CH340, no driver
  sys.AddUsbDevice("1-6", "2e8a", "000a", "Pico", "E661", "02", false);         // CDC ACM, no driver
  sys.AddUsbDevice("1-7", "046d", "c52b", "Receiver", "", "03", false);         // a mouse: not ours
  sys.AddUsbDevice("1-8", "10c4", "ea60", "CP2102", "0002", "ff", true);        // bound: fine
  const std::vector<SerialAdapter> unbound = UnboundUsbSerialDevices(sys.root());
  std::vector<std::string> paths;
  for (const SerialAdapter& a : unbound) paths.push_back(a.usbPath);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{"1-5", "1-6"}));
}

struct Doctor : Tree {
  DoctorRoots roots;
  void SetUp() override {
    roots.proc = base + "/proc";
    roots.sys = sys.root();
    roots.dev = base + "/dev";
    roots.groupFile = base + "/group";
    roots.udevData = base + "/udev";
    fs::create_directories(roots.proc);
  }
  void Process(int pid, const std::string& comm) { FakeSysfs::Put(roots.proc + "/" + std::to_string(pid) + "/comm", comm); }
  std::vector<PortFinding::Kind> Kinds(const std::string& port) {
    std::vector<PortFinding::Kind> k;
    for (const PortFinding& f : DiagnosePort(port, roots)) k.push_back(f.kind);
    return k;
  }
};

TEST_F(Doctor, BrailleDaemonAndModemManagerAreNamedWithTheirRemedy) {
  EXPECT_TRUE(DiagnosePort("", roots).empty());
  EXPECT_EQ(DoctorReport("", {}), "未发现问题\n");
  Process(812, "brltty");
  Process(90, "ModemManager");
  Process(91, "bash");
  const std::vector<PortFinding> found = DiagnosePort("", roots);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NE(found[0].cause.find("brltty"), std::string::npos);
  EXPECT_NE(found[0].cause.find("812"), std::string::npos);
  EXPECT_NE(found[0].remedy.find("apt remove brltty"), std::string::npos);
  EXPECT_NE(found[1].cause.find("ModemManager 正在运行（PID 90）"), std::string::npos);
  EXPECT_NE(found[1].remedy.find("ID_MM_DEVICE_IGNORE"), std::string::npos);
  const std::string report = DoctorReport("", found);
  EXPECT_EQ(report.rfind("问题: ", 0), 0u);
  EXPECT_NE(report.find("\n  解决: sudo systemctl stop ModemManager"), std::string::npos);
}

// A port udev marked ID_MM_DEVICE_IGNORE is left alone by the modem manager;
// another port is not. /dev/null stands in for the device (major 1, minor 3).
TEST_F(Doctor, TheUdevIgnorePropertyClearsTheModemManagerForThatPort) {
  Process(90, "ModemManager");
  const auto hasModem = [this](const std::string& port) {
    const auto k = Kinds(port);
    return std::find(k.begin(), k.end(), PortFinding::Kind::Modem) != k.end();
  };
  EXPECT_TRUE(hasModem("/dev/null"));
  FakeSysfs::Put(roots.udevData + "/c1:3", "E:ID_VENDOR_ID=10c4\nE:ID_MM_DEVICE_IGNORE=1");
  EXPECT_FALSE(hasModem("/dev/null"));
  const auto k = Kinds(base + "/dev/ttyUSB4");
  EXPECT_NE(std::find(k.begin(), k.end(), PortFinding::Kind::Missing), k.end());
}

TEST(DoctorGroups, TheMissingGroupIsNamedAndANewLoginIsAskedForWhenOnlyThatIsMissing) {
  const std::string groups = "root:x:0:\ndialout:x:20:alice\nuucp:x:14:\nplugdev:x:46:bob\n";
  const mode_t crw_rw = S_IFCHR | 0660;
  // bob lacks dialout altogether.
  auto f = GroupFindings("/dev/ttyUSB0", 0, 20, crw_rw, 1001, "bob", {46, 1001}, groups);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_NE(f[0].cause.find("dialout"), std::string::npos);
  EXPECT_EQ(f[0].remedy, "sudo usermod -aG dialout bob，然后注销并重新登录");
  // The group of the device decides (uucp elsewhere).
  f = GroupFindings("/dev/ttyS1", 0, 14, crw_rw, 1001, "bob", {46}, groups);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_NE(f[0].remedy.find("usermod -aG uucp bob"), std::string::npos);
  // alice was added, but this login predates it.
  f = GroupFindings("/dev/ttyUSB0", 0, 20, crw_rw, 1000, "alice", {1000}, groups);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_NE(f[0].cause.find("重新登录"), std::string::npos);
  EXPECT_EQ(f[0].remedy.find("usermod"), std::string::npos);
  // Nothing to say: the login has the group, the user owns it, root, or
  // the device is open to all.
  EXPECT_TRUE(GroupFindings("/dev/ttyUSB0", 0, 20, crw_rw, 1000, "alice", {20}, groups).empty());
  EXPECT_TRUE(GroupFindings("/dev/ttyUSB0", 1001, 20, crw_rw, 1001, "bob", {}, groups).empty());
  EXPECT_TRUE(GroupFindings("/dev/ttyUSB0", 0, 20, crw_rw, 0, "root", {}, groups).empty());
  EXPECT_TRUE(GroupFindings("/dev/ttyUSB0", 0, 20, S_IFCHR | 0666, 1001, "bob", {}, groups).empty());
}

}  // namespace
