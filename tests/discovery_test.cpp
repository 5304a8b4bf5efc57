// Serial port discovery against a fake /sys/class/tty.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>

#include "platform/PortDiscovery.h"

namespace fs = std::filesystem;

namespace {

class FakeSysfs : public ::testing::Test {
 protected:
  // An entry; `type` < 0 means no `type` attribute.
  void Tty(const std::string& name, bool withDevice, int type = -1, bool deviceAsLink = false) {
    const fs::path entry = root() / name;
    fs::create_directories(entry);
    if (withDevice) {
      if (deviceAsLink) {
        fs::create_directories(root() / ".." / "devices" / name);
        fs::create_directory_symlink(root() / ".." / "devices" / name, entry / "device");
      } else {
        fs::create_directories(entry / "device");
      }
    }
    if (type >= 0) std::ofstream(entry / "type") << type << "\n";
  }
  fs::path root() const { return fs::path(dir_.path().toStdString()) / "tty"; }
  QString rootText() const { return QString::fromStdString(root().string()); }

  QTemporaryDir dir_;
};

TEST_F(FakeSysfs, ListsOnlyDevicesWithHardwareBehindThem) {
  ASSERT_TRUE(dir_.isValid());
  Tty("ttyUSB0", true, -1, /*deviceAsLink=*/true);
  Tty("ttyUSB10", true);
  Tty("ttyUSB2", true);
  Tty("ttyACM0", true);
  Tty("ttyS0", true, 4);  // a 16550A that is there
  Tty("ttyS1", true, 0);  // a placeholder of an absent UART
  Tty("tty0", false);     // virtual console
  Tty("ptmx", false);
  Tty("console", false);

  const PortDiscoverySources sources{rootText(), QStringLiteral("/dev/pts/3::/tmp/vport")};
  EXPECT_EQ(DiscoverPorts(sources), QStringList({"/dev/pts/3", "/tmp/vport", "ttyACM0", "ttyS0",
                                                 "ttyUSB0", "ttyUSB10", "ttyUSB2"}));
}

TEST_F(FakeSysfs, MissingTreeGivesOnlyTheExtraPorts) {
  const PortDiscoverySources sources{rootText() + "/absent", QStringLiteral("/dev/pts/7")};
  EXPECT_EQ(DiscoverPorts(sources), QStringList({"/dev/pts/7"}));
  EXPECT_TRUE(DiscoverPorts({rootText() + "/absent", QString()}).isEmpty());
}

TEST(PortList, SortedAsTextIgnoringCaseWithoutDuplicates) {
  EXPECT_EQ(SortedPortList({"COM3", "COM10"}), QStringList({"COM10", "COM3"}));
  EXPECT_EQ(SortedPortList({"ttyUSB2", "ttyusb1", "TTYUSB2", "ttyUSB10", "", "ttyACM0"}),
            QStringList({"ttyACM0", "ttyusb1", "ttyUSB10", "ttyUSB2"}));
  EXPECT_EQ(ExtraPorts(":/dev/pts/1::/dev/pts/2:"), QStringList({"/dev/pts/1", "/dev/pts/2"}));
}

TEST(PortList, SelectionFollowsPositionAndFallsBackToLastEntry) {
  EXPECT_EQ(SelectedIndexAfterRefill(4, 2), 1);
  EXPECT_EQ(SelectedIndexAfterRefill(1, 2), 1);
  EXPECT_EQ(SelectedIndexAfterRefill(0, 5), 0);
  EXPECT_EQ(SelectedIndexAfterRefill(3, 0), -1);
  EXPECT_EQ(SelectedIndexAfterRefill(-1, 3), -1);
}

TEST(PortList, EnvironmentSuppliesTheSources) {
  qputenv("VORTANA_EXTRA_PORTS", "/dev/pts/9:/dev/pts/8");
  qputenv("VORTANA_SYS_CLASS_TTY", "/nonexistent/tty");
  EXPECT_EQ(DiscoverPorts(), QStringList({"/dev/pts/8", "/dev/pts/9"}));
  qunsetenv("VORTANA_EXTRA_PORTS");
  qunsetenv("VORTANA_SYS_CLASS_TTY");
  EXPECT_EQ(SystemPortSources().sysClassTty, "/sys/class/tty");
}

}  // namespace
