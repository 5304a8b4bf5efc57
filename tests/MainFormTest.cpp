// The main window: settings kept between runs, the main port's open and
// close, and its failure message.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QMenu>
#include <QLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QListView>
#include <QProcess>
#include <QTabBar>
#include <QTemporaryDir>
#include <QThread>

#include <filesystem>

#include <csignal>

#include "platform/Termios2.h"
#include "app/Marquee.h"
#include "support/EventPump.h"
#include "app/TerminalOptions.h"
#include "support/FakeSysfs.h"
#include "support/FormHarness.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
using Strings = std::vector<std::string>;
const QString kOpenFailed =
    QStringLiteral("Vortana|当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");

bool IconIs(const QPushButton* b, const QPixmap& glyph) {
  return b->icon().pixmap(glyph.size()).toImage() == glyph.toImage();
}

void SelectPort(TMainForm& f, const std::string& path) {
  f.ComboBox1->addItem(QString::fromStdString(path));
  f.ComboBox1->setCurrentIndex(f.ComboBox1->count() - 1);
}

uint32_t SlaveSpeed(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  Termios2Data t;
  const bool ok = fd >= 0 && GetTermios2(fd, t);
  if (fd >= 0) ::close(fd);
  return ok ? t.ospeed : 0;
}
}  // namespace

TEST(MainFormSettings, FirstStartCreatesTheKeyAndShowsTheDefaults) {
  FormHarness h;
  h.RemoveSettings();
  TMainForm& f = h.Create();
  EXPECT_TRUE(QFile::exists(h.SettingsPath()));
  EXPECT_EQ(f.ComboBox2->currentText(), "57600");
  EXPECT_EQ(f.ComboBox3->currentText(), "8");
  EXPECT_EQ(f.ComboBox4->currentText(), "1");
  EXPECT_EQ(f.ComboBox5->currentText(), "None");
  EXPECT_EQ(f.MCUType->currentText(), "STM32Fxxx/H7xx家族");
  EXPECT_EQ(f.ComboBox1->currentText(), "ttyS0");
  EXPECT_EQ(f.ComboBox7->currentIndex(), 11);
  EXPECT_EQ(f.StatusText(0), "就绪");
  EXPECT_EQ(f.windowTitle(), "Quillon V2.15  Ostrel");
  EXPECT_FALSE(f.BitBtn7->isEnabled());  // not an STC part
  EXPECT_TRUE(h.messages.isEmpty());
  // The page text of page 0 is shown once the window is up.
  EXPECT_TRUE(f.Memo1->toPlainText().startsWith("目前版本支持MCU设备:"));
}

TEST(MainFormSettings, OnlyPortAndBaudRateRestoresThoseTwo) {
  FormHarness h;
  h.WriteSettings("\"Port\"=dword:00000002\n\"BaudRate\"=dword:00000006\n");
  TMainForm& f = h.Create();
  EXPECT_EQ(f.ComboBox1->currentIndex(), 2);
  EXPECT_EQ(f.ComboBox6->currentIndex(), 2);
  EXPECT_EQ(f.ComboBox2->currentText(), "9600");
  EXPECT_EQ(f.ComboBox7->currentText(), "9600");
  EXPECT_EQ(f.ComboBox3->currentIndex(), 3);
  EXPECT_EQ(f.Edit1->text(), "1000");
  EXPECT_EQ(f.BitBtn7->text(), "12T");
  EXPECT_TRUE(f.CheckBox2->isChecked());
}

TEST(MainFormSettings, OneBadValueCostsNoOther) {
  FormHarness h;
  // "BaudRate" is missing, "Stop" and "FileName" have the wrong type, one
  // line does not parse: each takes its default, everything else is read,
  // and the next close writes the good values back unchanged.
  h.WriteSettings(
      "\"Port\"=dword:00000001\n"
      "garbage that is not a value\n"
      "\"Data\"=dword:00000002\n"
      "\"Stop\"=\"2\"\n"
      "\"Parity\"=dword:00000002\n"
      "\"HexRXD\"=dword:00000001\n"
      "\"SendStr\"=\"kept\"\n"
      "\"FileName\"=dword:00000005\n"
      "\"Delay1\"=\"300\"\n"
      "\"Verify\"=\"no\"\n");
  TMainForm& f = h.Create();
  EXPECT_EQ(f.ComboBox1->currentIndex(), 1);
  EXPECT_EQ(f.ComboBox2->currentText(), "57600");
  EXPECT_EQ(f.ComboBox3->currentIndex(), 2);
  EXPECT_EQ(f.ComboBox4->currentIndex(), 0);
  EXPECT_EQ(f.ComboBox5->currentIndex(), 2);
  EXPECT_TRUE(f.CheckHexRXD->isChecked());
  EXPECT_EQ(f.Memo2->text(), "kept");
  EXPECT_TRUE(f.Edit2->text().endsWith("/Test.bin"));
  EXPECT_EQ(f.Edit4->text(), "300");
  EXPECT_EQ(f.Edit1->text(), "1000");  // missing text keeps its default too
  EXPECT_TRUE(f.CheckBox11->isChecked());
  f.close();
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadString("SendStr"), QString("kept"));
  EXPECT_EQ(store.ReadString("Delay1"), QString("300"));
  EXPECT_EQ(store.ReadInteger("Parity"), 2);
}

// A stored list position one past the end is no position: each list keeps
// its default instead of showing nothing.
TEST(MainFormSettings, AnIndexEqualToTheListLengthKeepsTheDefault) {
  FormHarness h;
  h.WriteSettings(
      "\"BaudRate\"=dword:00000013\n"   // 19 speeds
      "\"Data\"=dword:00000004\n"       // 4 data bit sizes
      "\"Stop\"=dword:00000003\n"
      "\"Parity\"=dword:00000005\n"
      "\"MCUType\"=dword:0000000c\n");  // 12 families
  TMainForm& f = h.Create();
  EXPECT_EQ(f.ComboBox2->count(), 19);
  EXPECT_EQ(f.ComboBox2->currentText(), "57600");
  EXPECT_EQ(f.ComboBox3->currentText(), "8");
  EXPECT_EQ(f.ComboBox4->currentText(), "1");
  EXPECT_EQ(f.ComboBox5->currentText(), "None");
  EXPECT_EQ(f.MCUType->count(), 12);
  EXPECT_EQ(f.MCUType->currentText(), "STM32Fxxx/H7xx家族");
  // The last position itself is a position.
  f.close();
  h.form.reset();
  h.WriteSettings("\"BaudRate\"=dword:00000012\n\"MCUType\"=dword:0000000b\n");
  TMainForm& g = h.Create();
  EXPECT_EQ(g.ComboBox2->currentText(), "1228800");
  EXPECT_EQ(g.MCUType->currentText(), "STC89C516RD+");
}

TEST(MainFormSettings, VerifyBoxIsKeptAndReadsTickedWhenAbsent) {
  FormHarness h;
  h.WriteSettings("\"Delay1\"=\"500\"\n");
  TMainForm& f = h.Create();
  EXPECT_EQ(f.CheckBox11->text(), "写后校验");
  EXPECT_TRUE(f.CheckBox11->isChecked());
  EXPECT_TRUE(f.FillJob({}).verify);
  f.CheckBox11->click();
  EXPECT_FALSE(f.FillJob({}).verify);
  f.close();
  h.form.reset();
  TMainForm& g = h.Create();
  EXPECT_FALSE(g.CheckBox11->isChecked());
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadInteger("Verify"), 0);
}

// Ports beyond the window's eight, listed by discovery.
struct ManyPorts {
  QByteArray saved = qgetenv("VORTANA_EXTRA_PORTS");
  explicit ManyPorts(const QStringList& ports) { qputenv("VORTANA_EXTRA_PORTS", ports.join(':').toLocal8Bit()); }
  ~ManyPorts() { qputenv("VORTANA_EXTRA_PORTS", saved); }
};

TEST(MainFormSettings, StoredPortSurvivesARestartByNameElseByPosition) {
  QStringList ports;
  for (int i = 0; i < 10; ++i) ports << QStringLiteral("/dev/vtest%1").arg(i);
  ManyPorts env(ports);
  FormHarness h;
  auto start = [&](const QString& settings) -> TMainForm& {
    h.form.reset();
    h.WriteSettings(settings);
    TMainForm& f = h.Create();
    EXPECT_EQ(f.ComboBox6->currentIndex(), f.ComboBox1->currentIndex());
    return f;
  };
  // The last position of ten survives, past the window's eight defaults.
  EXPECT_EQ(start("\"Port\"=dword:00000009\n").ComboBox1->currentText(), "/dev/vtest9");
  // One past the end is no position: the list keeps its own first entry.
  EXPECT_EQ(start("\"Port\"=dword:0000000a\n").ComboBox1->currentIndex(), 0);
  // The name wins when that device is present, whatever the position.
  EXPECT_EQ(start("\"Port\"=dword:00000007\n\"PortName\"=\"/dev/vtest3\"\n").ComboBox1->currentText(),
            "/dev/vtest3");
  TMainForm& f = start("\"Port\"=dword:00000007\n\"PortName\"=\"/dev/gone\"\n");
  EXPECT_EQ(f.ComboBox1->currentText(), "/dev/vtest7");
  f.ComboBox1->setCurrentIndex(5);
  f.close();
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadInteger("Port"), 5);
  EXPECT_EQ(store.ReadString("PortName"), QString("/dev/vtest5"));
}

// The adapter's by-id link is remembered beside the name and wins over it:
// the adapter may have another number at the next start.
TEST(MainFormSettings, TheStoredStableLinkFindsTheAdapterUnderItsNewNumber) {
  QTemporaryDir dev;
  QStringList ports;
  for (int i = 0; i < 8; ++i) ports << dev.filePath(QStringLiteral("ttyUSB%1").arg(i));
  for (const QString& p : ports) QFile(p).open(QIODevice::WriteOnly);
  ManyPorts env(ports);
  QDir().mkpath(dev.filePath(QStringLiteral("serial/by-id")));
  const QString link = dev.filePath(QStringLiteral("serial/by-id/usb-WCH_CH340_A1-if00-port0"));
  ASSERT_TRUE(QFile::link(QStringLiteral("../../ttyUSB6"), link));
  ::setenv("VORTANA_DEV_ROOT", dev.path().toLocal8Bit().constData(), 1);
  FormHarness h;
  h.WriteSettings(QStringLiteral("\"Port\"=dword:00000003\n\"PortName\"=\"%1\"\n\"PortStable\"=\"%2\"\n")
                      .arg(ports[3], link));
  TMainForm& f = h.Create();
  EXPECT_EQ(f.ComboBox1->currentText(), ports[6]);
  EXPECT_EQ(f.ComboBox6->currentIndex(), f.ComboBox1->currentIndex());
  f.close();
  ::unsetenv("VORTANA_DEV_ROOT");
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadString("PortName"), ports[6]);
  EXPECT_EQ(store.ReadString("PortStable"), link);
}

TEST(MainFormSettings, RestoredBoxesRunTheirHandlersAndTextsFollowTheirRules) {
  FormHarness h;
  h.WriteSettings(
      "\"Port\"=dword:00000000\n\"BaudRate\"=dword:0000000c\n\"Data\"=dword:00000003\n"
      "\"Stop\"=dword:00000002\n\"Parity\"=dword:00000001\n\"HexRXD\"=dword:00000001\n"
      "\"TimeTXD_ch\"=dword:00000000\n\"TimeTXD_v\"=\"0\"\n\"HexTXD\"=dword:00000001\n"
      "\"SendNewL\"=dword:00000001\n\"KeySend\"=dword:00000000\n\"SendClear\"=dword:00000000\n"
      "\"SendStr\"=\"AB\\r\\n\\\"C\\\"\"\n\"MCUType\"=dword:00000008\n\"12T\"=\"6T\"\n"
      "\"AutoISP\"=dword:00000000\n\"AutoRST\"=dword:00000000\n\"FileName\"=\"/tmp/fw.hex\"\n"
      "\"Delay\"=\"\"\n\"Delay1\"=\"250\"\n");
  TMainForm& f = h.Create();
  EXPECT_EQ(f.ComboBox2->currentText(), "115200");
  EXPECT_EQ(f.ComboBox4->currentText(), "2");
  EXPECT_TRUE(f.CheckHexRXD->isChecked());
  EXPECT_EQ(f.Edit1->text(), "1");              // "0" becomes "1"
  EXPECT_FALSE(f.CheckBox7->isEnabled());       // hex send greys out "发送新行"
  EXPECT_EQ(f.Memo2->text(), "AB\r\n\"C\"");
  EXPECT_TRUE(f.BitBtn7->isEnabled());          // an STC part
  EXPECT_EQ(f.BitBtn7->text(), "6T");
  EXPECT_FALSE(f.Edit4->isEnabled());           // automatic reset off
  EXPECT_FALSE(f.CheckBox10->isEnabled());
  EXPECT_EQ(f.Edit2->text(), "/tmp/fw.hex");
  EXPECT_EQ(f.Edit3->text(), "1");              // empty becomes "1"
  EXPECT_EQ(f.Edit4->text(), "250");
}

TEST(MainFormSettings, ClosingWritesEveryValueInOrderWithModelFirst) {
  FormHarness h;
  h.RemoveSettings();
  TMainForm& f = h.Create();
  f.RzPageControl1->setCurrentIndex(2);
  f.Memo2->setText("x\r\ny");
  f.close();
  const QStringList expected = {"Model", "Port", "BaudRate", "Data", "Stop", "Parity", "HexRXD",
                                "TimeTXD_ch", "TimeTXD_v", "HexTXD", "SendNewL", "KeySend", "SendClear",
                                "SendStr", "MCUType", "12T", "AutoISP", "AutoRST", "FileName", "Delay",
                                "Delay1", "Verify", "PortName"};
  // The terminal's values follow (checked with the terminal), then the
  // STC trim frequency and the port's stable link.
  EXPECT_EQ(h.SettingsNames().mid(0, expected.size()), expected);
  // The window's place and the port's stable link, in values a file from
  // before simply lacks.
  EXPECT_EQ(h.SettingsNames().size(), expected.size() + 13);
  EXPECT_EQ(h.SettingsNames().mid(expected.size() + 5),
            (QStringList{"Frequency", "PortStable", "WindowLeft", "WindowTop", "WindowWidth", "WindowHeight",
                         "WindowMaximized", "SendList"}));
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadInteger("Model"), 2);
  EXPECT_EQ(store.ReadString("SendStr"), QString("x\r\ny"));
  // The next start reads them back; the LPC read-back choice is written
  // only once chosen, so a file from before keeps its order.
  h.form.reset();
  TMainForm& g = h.Create();
  EXPECT_EQ(g.Memo2->text(), "x\r\ny");
  EXPECT_FALSE(g.VerifyReadbackAction->isChecked());
  g.VerifyReadbackAction->setChecked(true);
  g.close();
  EXPECT_EQ(h.SettingsNames().size(), expected.size() + 14);
  EXPECT_EQ(h.SettingsNames().indexOf("VerifyReadback"), h.SettingsNames().indexOf("PortStable") + 1);
  h.form.reset();
  EXPECT_TRUE(h.Create().VerifyReadbackAction->isChecked());
}

TEST(MainFormSettings, ASettingsFolderThatCannotBeCreatedIsReportedAndTheProgramRuns) {
  QTemporaryDir dir;
  const QByteArray saved = qgetenv("VORTANA_CONFIG_HOME");
  QFile blocker(dir.path() + "/file");
  blocker.open(QIODevice::WriteOnly);
  blocker.close();
  qputenv("VORTANA_CONFIG_HOME", (dir.path() + "/file").toLocal8Bit());
  {
    FormHarness h;
    TMainForm& f = h.Create();
    ASSERT_EQ(h.messages.size(), 1);
    EXPECT_EQ(h.messages[0], "注册软件|未知的原因，创建注册信息失败！");
    EXPECT_EQ(f.StatusText(0), "");
    f.close();  // writes nothing and does not fail
    EXPECT_FALSE(QFile::exists(h.SettingsPath()));
  }
  qputenv("VORTANA_CONFIG_HOME", saved);
}

TEST(MainFormPort, OpenAndCloseButtonOnAPseudoTerminal) {
  FormHarness h;
  PtyPair pty;
  TMainForm& f = h.Create();
  SelectPort(f, pty.slavePath());
  f.BitBtn3Click();
  EXPECT_TRUE(f.PortOpen);
  EXPECT_EQ(f.BitBtn3->text(), "关闭串口");
  EXPECT_TRUE(IconIs(f.BitBtn3, f.Image2));
  EXPECT_EQ(f.StatusText(1), "S:0");
  EXPECT_EQ(SlaveSpeed(pty.slavePath()), 57600u);
  // A speed change while open reopens at the new speed; the caption stays.
  f.ComboBox2->setCurrentIndex(18);
  f.ComboBox1Change();
  EXPECT_TRUE(f.PortOpen);
  EXPECT_EQ(f.ComboBox7->currentIndex(), 18);
  EXPECT_EQ(SlaveSpeed(pty.slavePath()), 1228800u);
  EXPECT_EQ(f.BitBtn3->text(), "关闭串口");
  f.BitBtn3Click();
  EXPECT_FALSE(f.PortOpen);
  EXPECT_FALSE(f.ComDriver().IsConnected());
  EXPECT_EQ(f.BitBtn3->text(), "打开串口");
  EXPECT_TRUE(IconIs(f.BitBtn3, f.Image1));
  EXPECT_TRUE(h.messages.isEmpty());
}

TEST(MainFormPort, APortHeldElsewhereOrMissingShowsTheMessageAndChangesNothing) {
  FormHarness h;
  PtyPair pty;
  TKRNCommDriver holder;
  holder.PortName = QString::fromStdString(pty.slavePath());
  ASSERT_TRUE(holder.Connect());
  TMainForm& f = h.Create();
  SelectPort(f, pty.slavePath());
  f.BitBtn3Click();
  EXPECT_FALSE(f.PortOpen);
  EXPECT_EQ(f.BitBtn3->text(), "打开串口");
  // The window's own words, then the real cause: here a program (this one)
  // holds the port, and the lock tells who.
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_TRUE(h.messages[0].startsWith(kOpenFailed));
  EXPECT_TRUE(h.messages[0].contains(QStringLiteral("已被其它程序占用（PID %1").arg(::getpid())))
      << h.messages[0].toStdString();
  SelectPort(f, "/dev/vortana-no-such-port");
  f.BitBtn3Click();
  ASSERT_EQ(h.messages.size(), 2);
  EXPECT_TRUE(h.messages[1].endsWith(QStringLiteral("串口 /dev/vortana-no-such-port 不存在（设备没有连接？）")))
      << h.messages[1].toStdString();
  EXPECT_EQ(f.BitBtn3->text(), "打开串口");
}

TEST(MainFormPort, AnAdapterUnpluggedWhileOpenClosesThePortAndSaysSo) {
  FormHarness h;
  auto pty = std::make_unique<PtyPair>();
  TMainForm& f = h.Create();
  SelectPort(f, pty->slavePath());
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  pty->HangUp();
  ASSERT_TRUE(PumpUntil([&] { return !f.PortOpen; }, 3000));
  EXPECT_FALSE(f.ComDriver().IsConnected());
  EXPECT_EQ(f.BitBtn3->text(), "打开串口");
  EXPECT_TRUE(IconIs(f.BitBtn3, f.Image1));
  EXPECT_EQ(f.StatusText(0), "串口已断开 " + QString::fromStdString(pty->slavePath()));
  EXPECT_TRUE(h.messages.isEmpty());
}

// The port behind a user's link (or /dev/serial/by-id) comes back elsewhere
// than /dev: the window watches where the link and its target live.
TEST(MainFormPort, APortBehindALinkReopensWhenTheLinkLeadsToADeviceAgain) {
  FormHarness h;
  QTemporaryDir links;
  const QString link = links.filePath(QStringLiteral("board"));
  auto first = std::make_unique<PtyPair>();
  ASSERT_TRUE(QFile::link(QString::fromStdString(first->slavePath()), link));
  TMainForm& f = h.Create();
  f.ListSerialPorts = [&] { return QStringList{link}; };
  SelectPort(f, link.toStdString());
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  first->HangUp();
  ASSERT_TRUE(PumpUntil([&] { return !f.PortOpen; }, 3000));
  EXPECT_EQ(f.StatusText(0), QStringLiteral("串口已断开 ") + link);
  // The adapter is back under a new pty; the link is pointed at it, as udev
  // would point a by-id link.
  PtyPair second;
  const QString fresh = links.filePath(QStringLiteral("board.new"));
  ASSERT_TRUE(QFile::link(QString::fromStdString(second.slavePath()), fresh));
  ASSERT_EQ(::rename(fresh.toLocal8Bit().constData(), link.toLocal8Bit().constData()), 0);
  ASSERT_TRUE(PumpUntil([&] { return f.PortOpen; }, 5000)) << "no reopen after the link came back";
  EXPECT_EQ(f.StatusText(0), QStringLiteral("串口已重新连接 ") + link);
  EXPECT_TRUE(h.messages.isEmpty());
}

// Behind a by-id style link, an adapter of the same make that turns up first
// is not taken; the board's own adapter is, under whatever pty it got, and
// the log goes on across the replug.
TEST(MainFormPort, AReplugReopensTheSameAdapterNotAnotherOneAndTheLogGoesOn) {
  FormHarness h;
  QTemporaryDir links;
  FakeSysfs sys(links.filePath(QStringLiteral("sys")).toStdString());
  ::setenv("VORTANA_SYSFS_ROOT", sys.root().c_str(), 1);
  const auto ttyOf = [](const PtyPair& p) { return std::filesystem::path(p.slavePath()).filename().string(); };
  const QString link = links.filePath(QStringLiteral("usb-1a86_USB_Serial_A1-if00-port0"));
  const auto pointLink = [&](const PtyPair& p) {
    const QString fresh = link + QStringLiteral(".new");
    QFile::remove(fresh);
    ASSERT_TRUE(QFile::link(QString::fromStdString(p.slavePath()), fresh));
    ASSERT_EQ(::rename(fresh.toLocal8Bit().constData(), link.toLocal8Bit().constData()), 0);
  };
  auto first = std::make_unique<PtyPair>();
  sys.AddAdapter(ttyOf(*first), "1-2", "1a86", "7523", "USB Serial", "A1");
  pointLink(*first);
  TMainForm& f = h.Create();
  f.ListSerialPorts = [&] { return QStringList{link}; };
  SelectPort(f, link.toStdString());
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  const QString logPath = links.filePath(QStringLiteral("rx.log"));
  ASSERT_TRUE(f.Terminal->StartLog(logPath));
  const auto logged = [&] {
    QFile l(logPath);
    return l.open(QIODevice::ReadOnly) ? l.readAll() : QByteArray();
  };
  first->Write("one");
  ASSERT_TRUE(PumpUntil([&] { return logged() == "one"; }, 3000));
  first->HangUp();
  ASSERT_TRUE(PumpUntil([&] { return !f.PortOpen; }, 3000));
  EXPECT_EQ(f.StatusText(0), QStringLiteral("串口已断开 %1，等待 USB Serial (1a86:7523) s/n A1 @ 1-2 重新连接").arg(link));

  PtyPair other;  // the same make in another socket, serial B2
  sys.AddAdapter(ttyOf(other), "1-3", "1a86", "7523", "USB Serial", "B2");
  pointLink(other);
  f.WMDeviceChange(7);
  PumpUntil([] { return false; }, 1500);
  EXPECT_FALSE(f.PortOpen) << "another adapter was taken";

  PtyPair again;
  sys.AddAdapter(ttyOf(again), "1-2", "1a86", "7523", "USB Serial", "A1");
  pointLink(again);
  f.WMDeviceChange(7);
  ASSERT_TRUE(PumpUntil([&] { return f.PortOpen; }, 5000)) << "the same adapter was not reopened";
  EXPECT_EQ(f.StatusText(0), QStringLiteral("串口已重新连接 ") + link);
  // The list entry keeps its bare name; the adapter rides along for the
  // open list to show.
  EXPECT_EQ(f.ComboBox1->currentText(), link);
  EXPECT_EQ(f.ComboBox1->currentData(kPortAdapterRole).toString(), QStringLiteral("USB Serial (1a86:7523) s/n A1 @ 1-2"));
  EXPECT_TRUE(f.Terminal->Logging());
  again.Write("two");
  EXPECT_TRUE(PumpUntil([&] { return logged() == "onetwo"; }, 3000)) << logged().toStdString();
  ::unsetenv("VORTANA_SYSFS_ROOT");
  EXPECT_TRUE(h.messages.isEmpty());
}

// A port that will not open: the window's words, the open error, then what
// the doctor sees (here a braille daemon in a built /proc); "串口诊断" in
// the receive menu gives the whole report.
TEST(MainFormPort, TheOpenFailureAddsTheDoctorsCausesAndTheMenuShowsTheReport) {
  FormHarness h;
  QTemporaryDir proc;
  FakeSysfs::Put(proc.filePath(QStringLiteral("321/comm")).toStdString(), "brltty");
  ::setenv("VORTANA_PROC_ROOT", proc.path().toLocal8Bit().constData(), 1);
  TMainForm& f = h.Create();
  SelectPort(f, "/dev/vortana-no-such-port");
  f.BitBtn3Click();
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_TRUE(h.messages[0].startsWith(kOpenFailed));
  EXPECT_TRUE(h.messages[0].contains(QStringLiteral("串口 /dev/vortana-no-such-port 不存在（设备没有连接？）\r")));
  EXPECT_TRUE(h.messages[0].contains(QStringLiteral("brltty 正在运行（PID 321）"))) << h.messages[0].toStdString();
  EXPECT_EQ(h.messages[0].count(QStringLiteral("不存在")), 1);  // the missing port is said once
  QMenu menu;
  f.Terminal->AddReceiveMenuEntries(&menu);
  QAction* doctor = nullptr;
  for (QAction* a : menu.actions())
    if (a->text() == QStringLiteral("串口诊断")) doctor = a;
  ASSERT_NE(doctor, nullptr);
  doctor->trigger();
  ::unsetenv("VORTANA_PROC_ROOT");
  ASSERT_EQ(h.messages.size(), 2);
  EXPECT_TRUE(h.messages[1].startsWith(QStringLiteral("串口诊断|问题: ")));
  EXPECT_TRUE(h.messages[1].contains(QStringLiteral("brltty")));
  EXPECT_TRUE(h.messages[1].contains(QStringLiteral("/dev/vortana-no-such-port 不存在")));
}

// A manual reopen after an unplug: the unplug notice goes.
TEST(MainFormPort, OpeningAgainReplacesTheUnplugNotice) {
  FormHarness h;
  auto pty = std::make_unique<PtyPair>();
  TMainForm& f = h.Create();
  SelectPort(f, pty->slavePath());
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  pty->HangUp();
  ASSERT_TRUE(PumpUntil([&] { return !f.PortOpen; }, 3000));
  ASSERT_TRUE(f.StatusText(0).startsWith(QStringLiteral("串口已断开")));
  PtyPair other;
  SelectPort(f, other.slavePath());
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  EXPECT_FALSE(f.StatusText(0).startsWith(QStringLiteral("串口已断开")));
}

// The window's own drivers on a recording platform: what its boxes and
// buttons ask of the device, in order.
struct RecordedWindow : ::testing::Test {
  FormHarness h;
  RecordingSerialPlatform rec{nullptr};
  TMainForm* f = nullptr;
  void SetUp() override {
    h.RemoveSettings();
    f = &h.Create(true, &rec);
    f->ListSerialPorts = [this] { return present; };
    f->ComboBox1->addItem("ttyUSB7");
    f->ComboBox1->setCurrentIndex(f->ComboBox1->count() - 1);
    f->RzPageControl1->setCurrentIndex(1);
    rec.Clear();
  }
  void TearDown() override { h.form.reset(); }
  QStringList present{"ttyUSB7"};
};

TEST_F(RecordedWindow, DtrAndRtsBoxesDriveTheirOwnLineOnlyWhileOpen) {
  f->CheckBox3->click();  // DTR ticked while closed: nothing on the line
  EXPECT_TRUE(rec.Lines().empty());
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  // The settings drop both lines; then each box sets its own line.
  EXPECT_EQ(rec.Lines(), (Strings{"DTR0", "RTS0", "DTR1", "RTS0"}));
  rec.Clear();
  f->CheckBox4->click();
  EXPECT_EQ(rec.Lines(), Strings{"RTS1"});
  f->CheckBox3->click();
  EXPECT_EQ(rec.Lines(), (Strings{"RTS1", "DTR0"}));
  f->BitBtn3->click();
  rec.Clear();
  f->CheckBox3->click();
  f->CheckBox4->click();
  EXPECT_TRUE(rec.calls.empty());
}

TEST_F(RecordedWindow, ClosingDrainsForTheTimeTheQueuedBytesNeed) {
  f->ComboBox2->setCurrentIndex(6);  // 9600 bit/s, 8N1: 1.04 ms a byte
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  rec.queuedOutput = 960;  // one second of output still queued
  rec.Clear();
  f->BitBtn3->click();
  EXPECT_EQ(rec.calls, (Strings{"DRAIN", "PURGE", "CLOSE"}));
  EXPECT_GE(rec.lastDrainMs, 1000);
  EXPECT_LE(rec.lastDrainMs, 1200);
  // A full queue at 110 bit/s would take a minute: the wait stays bounded.
  f->ComboBox2->setCurrentIndex(0);
  f->BitBtn3->click();
  rec.queuedOutput = 4095;
  f->BitBtn3->click();
  EXPECT_EQ(rec.lastDrainMs, TKRNCommDriver::kMaxDrainMs);
}

TEST_F(RecordedWindow, AnUnpluggedAdapterClosesAtOnceAndReopensWhenItReturns) {
  f->CheckBox3->click();
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  // The last bytes before the hang-up are shown, then the port closes.
  rec.incoming = {'l', 'a', 's', 't'};
  rec.unplugged = true;
  present.clear();
  ASSERT_TRUE(PumpUntil([&] { return !f->PortOpen; }, 3000));
  EXPECT_EQ(f->Memo1->toPlainText(), "last");
  EXPECT_EQ(f->BitBtn3->text(), "打开串口");
  EXPECT_TRUE(IconIs(f->BitBtn3, f->Image1));
  EXPECT_EQ(f->StatusText(0), "串口已断开 ttyUSB7");
  EXPECT_FALSE(rec.calls.empty());
  EXPECT_EQ(rec.calls.back(), "CLOSE");
  // Another device arriving reopens nothing.
  present = {"ttyUSB3"};
  f->WMDeviceChange(7);
  ASSERT_TRUE(PumpUntil([&] { return !f->USB_Change.isActive(); }, 3000));
  EXPECT_FALSE(f->PortOpen);
  // The same one back: reopened with its settings and its DTR box.
  rec.unplugged = false;
  present = {"ttyUSB3", "ttyUSB7"};
  rec.Clear();
  f->WMDeviceChange(7);
  ASSERT_TRUE(PumpUntil([&] { return f->PortOpen; }, 3000));
  EXPECT_EQ(f->ComboBox1->currentText(), "ttyUSB7");
  EXPECT_EQ(f->BitBtn3->text(), "关闭串口");
  EXPECT_EQ(f->StatusText(0), "串口已重新连接 ttyUSB7");
  EXPECT_EQ(rec.calls.front(), "OPEN");
  EXPECT_EQ(rec.Lines(), (Strings{"DTR0", "RTS0", "DTR1", "RTS0"}));
  EXPECT_TRUE(h.messages.isEmpty());
}

TEST_F(RecordedWindow, AfterAWriteErrorOneClickReopens) {
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  rec.refuseWrites = true;
  f->BitBtn_TX->click();
  EXPECT_FALSE(f->PortOpen);
  EXPECT_EQ(f->BitBtn3->text(), "打开串口");
  rec.refuseWrites = false;
  f->BitBtn3->click();
  EXPECT_TRUE(f->PortOpen);
}

TEST_F(RecordedWindow, PerKeySendTellsTheKeypadFromTheMainKeys) {
  f->SetCheckForTest(f->CheckBox6, true);
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  for (auto mods : {Qt::KeypadModifier, Qt::NoModifier}) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_5, mods, "5");
    QApplication::sendEvent(f->Memo2, &press);
  }
  EXPECT_EQ(rec.written, (std::vector<uint8_t>{0x65, 0x35}));
}

TEST_F(RecordedWindow, TheReceiveAreaClearsOnlyAboveTheLimit) {
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  f->ReceiveCounter = 32505856 - 4;
  rec.incoming = {'a', 'b', 'c', 'd'};
  ASSERT_TRUE(PumpUntil([&] { return rec.incoming.empty(); }, 3000));
  PumpFor(20);
  EXPECT_EQ(f->StatusText(2), "R:32505856");  // exactly at the limit: kept
  EXPECT_EQ(f->ReceiveStore.size(), 4u);
  rec.incoming = {'e'};
  ASSERT_TRUE(PumpUntil([&] { return f->ReceiveCounter == 0; }, 3000));
  EXPECT_EQ(f->StatusText(2), "R:0");
  EXPECT_TRUE(f->ReceiveStore.empty());
}

TEST(MainFormWindow, PagesHelpAndLinks) {
  FormHarness h;
  TMainForm& f = h.Create();
  QStringList opened;
  f.OpenUrl = [&](const QString& u) { opened << u; };
  f.RzPageControl1->setCurrentIndex(1);
  EXPECT_EQ(f.Memo1->toPlainText(), "接收区\r\nhttp://www.vortana.example");
  f.RzPageControl1->setCurrentIndex(2);
  EXPECT_EQ(f.Memo1->toPlainText(), "打开图片文件，生成光栅位图数据\r\n\r\n发送到打印机");
  f.RzPageControl1->setCurrentIndex(3);
  EXPECT_TRUE(f.Memo1->toPlainText().contains("Vortana"));
  EXPECT_EQ(f.RzPageControl1->tabText(0), "程序下载(ISP)");
  EXPECT_EQ(f.RzPageControl1->tabText(1), "串口调试助手");
  f.BitBtn10Click();
  EXPECT_TRUE(f.Panel1->isVisible());
  EXPECT_FALSE(f.Memo1->isVisible());
  f.Image3Click();
  EXPECT_FALSE(f.Panel1->isVisible());
  EXPECT_TRUE(f.Memo1->isVisible());
  f.StatusBar1Click();
  ASSERT_EQ(opened.size(), 2);
  EXPECT_TRUE(opened[0].startsWith("mailto:support@vortana.example?cc=&bcc=&subject="));
  EXPECT_EQ(opened[1], "http://www.vortana.example");
  const QColor before = f.RzMarqueeStatus1->fillColor();
  f.RzMarqueeStatus1Click();
  EXPECT_NE(f.RzMarqueeStatus1->fillColor(), before);
  f.RzMarqueeStatus1Click();
  EXPECT_EQ(f.RzMarqueeStatus1->fillColor(), before);
}

// Every caption and counter text of every page needs no more room than its
// widget has: at the window's 16 px and at one and a half times that.
QStringList CrampedTexts(TMainForm& f) {
  QStringList cramped;
  f.SetStatusText(1, "S:32505856");
  f.SetStatusText(2, "R:32505856");
  f.Label10->setText("1023.9 KB");
  for (int page = 0; page < 4; ++page) {
    f.RzPageControl1->setCurrentIndex(page);
    PumpFor(20);
    for (QWidget* w : f.findChildren<QWidget*>()) {
      if (!w->isVisible()) continue;
      QString text;
      QSize need = w->sizeHint();
      if (auto* e = qobject_cast<ElidedLabel*>(w)) text = e->text(), need = QSize(e->minimumSizeHint().width(), e->height());
      else if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
      else if (auto* pb = qobject_cast<QPushButton*>(w)) {
        // A push button's hint holds a style's minimum width; what counts
        // is its caption and glyph inside the frame.
        text = pb->text();
        const int glyph = pb->icon().isNull() ? 0 : pb->iconSize().width() + 4;
        need = QSize(pb->fontMetrics().horizontalAdvance(QString(text).remove('&')) + glyph + 8,
                     pb->fontMetrics().height() + 4);
      } else if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
      else if (auto* c = qobject_cast<QComboBox*>(w)) text = c->currentText(), need = c->minimumSizeHint();
      else if (auto* e = qobject_cast<QLineEdit*>(w)) text = e->text(), need = e->minimumSizeHint();
      if (text.isEmpty()) continue;
      if (need.width() > w->width() || need.height() > w->height())
        cramped << QString("page %1 '%2': needs %3x%4, has %5x%6")
                       .arg(page).arg(text).arg(need.width()).arg(need.height()).arg(w->width()).arg(w->height());
    }
    QTabBar* tabs = f.RzPageControl1->tabBar();
    for (int i = 0; i < tabs->count(); ++i)
      if (tabs->fontMetrics().horizontalAdvance(tabs->tabText(i)) > tabs->tabRect(i).width())
        cramped << "tab " + tabs->tabText(i);
  }
  return cramped;
}

TEST(MainFormWindow, EveryTextFitsItsWidgetAtTheDefaultFontAndLarger) {
  FormHarness h;
  TMainForm& f = h.Create();
  EXPECT_EQ(f.font().pixelSize(), 16);
  EXPECT_EQ(f.size(), QSize(600, 502));
  QStringList cramped = CrampedTexts(f);
  EXPECT_TRUE(cramped.isEmpty()) << cramped.join('\n').toStdString();
  f.SetFontScale(1.5);
  EXPECT_EQ(f.font().pixelSize(), 24);
  EXPECT_GE(f.width(), 600);
  cramped = CrampedTexts(f);
  EXPECT_TRUE(cramped.isEmpty()) << cramped.join('\n').toStdString();
  // The number fields never cover their captions.
  f.RzPageControl1->setCurrentIndex(0);
  PumpFor(20);
  EXPECT_GE(f.Edit4->geometry().left(), f.Label11->geometry().right());
  EXPECT_LE(f.Edit4->geometry().right(), f.Label11Unit->geometry().left());
}

// A long status text is cut, never painted over the counters beside it.
TEST(MainFormWindow, ALongStatusStaysInItsPanel) {
  FormHarness h;
  TMainForm& f = h.Create();
  QCoreApplication::processEvents();
  f.StatusBar1->layout()->activate();
  const QRect counter = f.StatusPanel[1]->geometry();
  const int width = f.StatusPanel[0]->width();
  f.SetStatusText(0, QStringLiteral("HEX文件第376行格式错误 写地址: 0x08000100 ") + QString(80, QLatin1Char('x')));
  QCoreApplication::processEvents();
  f.StatusBar1->layout()->activate();
  EXPECT_EQ(f.StatusPanel[1]->geometry(), counter);
  EXPECT_EQ(f.StatusPanel[0]->width(), width);
  EXPECT_LE(f.StatusPanel[0]->geometry().right(), f.StatusPanel[1]->geometry().left());
  // Every panel has its own room at the window's first size.
  for (int i = 0; i < 3; ++i)
    EXPECT_LT(f.StatusPanel[i]->geometry().right(), f.StatusPanel[i + 1]->geometry().left()) << i;
  EXPECT_LE(f.StatusPanel[3]->geometry().right(), f.StatusBar1->contentsRect().right());
  EXPECT_GE(f.StatusPanel[1]->width(), f.StatusPanel[1]->minimumWidth());
}

// The status panel shows a cut text whole as its tooltip, and a press on it
// is still the status bar's click.
TEST(MainFormWindow, TheStatusPanelsTooltipHoldsTheWholeText) {
  FormHarness h;
  TMainForm& f = h.Create();
  QStringList opened;
  f.OpenUrl = [&](const QString& u) { opened << u; };
  const QString text = QStringLiteral("STM32F10x 中容量 (Product ID 0x410) 写地址: 0x08000100，") + QString(60, QLatin1Char('x'));
  f.SetStatusText(0, text);
  QCoreApplication::processEvents();
  EXPECT_LT(f.StatusPanel[0]->width(), f.StatusPanel[0]->fontMetrics().horizontalAdvance(text));
  EXPECT_EQ(f.StatusPanel[0]->toolTip(), text);
  EXPECT_FALSE(f.StatusPanel[0]->testAttribute(Qt::WA_TransparentForMouseEvents));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), f.StatusPanel[0]->mapToGlobal(QPointF(5, 5)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(f.StatusPanel[0], &press);
  EXPECT_EQ(opened.size(), 2);  // the mail link and the web site
}

// The window opens where it was closed, at the size it had; a file from
// before (no place stored) opens it centred at its first size, and a place
// on a screen that is no more is brought back onto the screens.
TEST(MainFormWindow, SizeAndPlaceAreRememberedAndKeptOnTheScreens) {
  FormHarness h;
  h.RemoveSettings();
  {
    TMainForm& f = h.Create();
    EXPECT_EQ(f.size(), QSize(600, 502));
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((f.geometry().center() - screen.center()).manhattanLength(), 4);
    f.setGeometry(QRect(40, 30, 700, 560));
    f.close();
  }
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadInteger("WindowWidth"), 700);
  h.form.reset();
  {
    TMainForm& g = h.Create();
    EXPECT_EQ(g.geometry(), QRect(40, 30, 700, 560));
    g.setGeometry(QRect(-5000, -4000, 300, 200));  // smaller than the text needs, off every screen
    g.close();
  }
  h.form.reset();
  TMainForm& k = h.Create();
  EXPECT_GE(k.width(), 600);
  EXPECT_GE(k.height(), 502);
  EXPECT_TRUE(QApplication::primaryScreen()->availableGeometry().intersects(k.geometry()));
}

// Qt's own texts are Chinese too, where Debian's translations are installed.
TEST(MainFormWindow, QtsOwnTextsAreChinese) {
  if (!LoadQtChineseTexts(*QCoreApplication::instance())) GTEST_SKIP() << "qt6-translations-l10n not installed";
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK"), QStringLiteral("确定"));
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
  EXPECT_TRUE(QCoreApplication::translate("QWidgetTextControl", "&Undo").startsWith(QStringLiteral("撤")));
  EXPECT_TRUE(QCoreApplication::translate("QFileDialog", "File &name:").contains(QStringLiteral("文件名")));
}

TEST(MainFormWindow, AGrownWindowGivesTheRoomToTheOutputArea) {
  FormHarness h;
  TMainForm& f = h.Create();
  PumpFor(20);
  const int pages = f.RzPageControl1->height();
  const QSize output = f.Memo1->size();
  f.resize(1000, 800);
  PumpFor(50);
  EXPECT_EQ(f.RzPageControl1->height(), pages);
  EXPECT_EQ(f.Memo1->height(), output.height() + 298);
  EXPECT_EQ(f.Memo1->width(), 1000);
  EXPECT_EQ(f.RzPageControl1->geometry().bottom() + 1, f.StatusBar1->geometry().top());
  EXPECT_EQ(f.StatusBar1->geometry().bottom() + 1, 800);
}

TEST(MainFormWindow, LongDevicePathsShowWholeInTheDropDownAndTooltip) {
  const QString longPath = "/dev/serial/by-id/usb-Vendor_USB_Serial_Adapter_A1B2C3D4-if00-port0";
  ManyPorts env({longPath, "ttyUSB0"});
  FormHarness h;
  TMainForm& f = h.Create();
  for (QComboBox* box : {f.ComboBox1, f.ComboBox6}) {
    box->setCurrentIndex(box->findText(longPath));
    EXPECT_EQ(box->toolTip(), longPath);
    EXPECT_GE(box->view()->minimumWidth(), box->view()->fontMetrics().horizontalAdvance(longPath));
  }
}

TEST(MainFormWindow, FileDialogsStartWhereTheLastChoiceWasAndOfferEveryPictureFormat) {
  FormHarness h;
  TMainForm& f = h.Create();
  QTemporaryDir a, b;
  QStringList starts, filters;
  QString answer;
  f.ChooseOpenFile = [&](const QString&, const QString& filter, const QString& start) {
    starts << start;
    filters << filter;
    return answer;
  };
  f.ChooseSaveFile = f.ChooseOpenFile;
  // Firmware: its own folder from the start, then the last chosen one.
  f.Edit2->setText(a.path() + "/fw.hex");
  f.BitBtn2Click();
  answer = b.path() + "/other.hex";
  f.BitBtn2Click();
  f.BitBtn2Click();
  EXPECT_EQ(starts, (QStringList{a.path(), a.path(), b.path()}));
  // Each dialog keeps its own folder.
  starts.clear();
  answer = a.path() + "/pic.png";
  f.BitBtn11Click();
  f.BitBtn11Click();
  answer = b.path() + "/out.Txt";
  f.BitBtn9Click();
  f.BitBtn9Click();
  answer.clear();
  f.BitBtn6Click();
  EXPECT_EQ(starts, (QStringList{"", a.path(), "", b.path(), ""}));
  for (const char* ext : {"*.png", "*.jpg", "*.jpeg", "*.bmp", "*.gif"})
    EXPECT_TRUE(filters[3].section(";;", 0, 0).contains(ext)) << ext;
}

TEST(MainFormWindow, KeypadKeysHaveTheirOwnCodes) {
  EXPECT_EQ(VirtualKeyCode(Qt::Key_0, "0", true), 0x60);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_9, "9", true), 0x69);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Asterisk, "*", true), 0x6A);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Plus, "+", true), 0x6B);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Minus, "-", true), 0x6D);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Period, ".", true), 0x6E);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Slash, "/", true), 0x6F);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Enter, "\r", true), 0x0D);
  // The same keys on the main block keep the common codes.
  EXPECT_EQ(VirtualKeyCode(Qt::Key_0, "0"), 0x30);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Minus, "-"), 0xBD);
  EXPECT_EQ(VirtualKeyCode(Qt::Key_Slash, "/"), 0xBF);
}

TEST(MainFormProgram, SigtermClosesTheWindowAndWritesTheSettings) {
  QTemporaryDir home;
  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("VORTANA_CONFIG_HOME", home.path());
  env.insert("QT_QPA_PLATFORM", "offscreen");
  program.setProcessEnvironment(env);
  program.start(QCoreApplication::applicationDirPath() + "/vortana", {});
  ASSERT_TRUE(program.waitForStarted(5000));
  const QString settings = home.path() + "/Vortana/Software/Vortana.reg";
  // The key is created at start; the values are written at close.
  ASSERT_TRUE(PumpUntil([&] { return QFile::exists(settings); }, 10000));
  QThread::msleep(300);
  ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
  QFile f(settings);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll().count('\n'), 36);  // every value, the window's place and then the send list last
}
