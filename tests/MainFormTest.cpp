// The main window: settings kept between runs, the main port's open and
// close, and its failure message.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <csignal>

#include "platform/Termios2.h"
#include "app/Marquee.h"
#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
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

TEST(MainFormSettings, AValueOfTheWrongTypeEndsTheReading) {
  FormHarness h;
  // "Stop" is text where an integer belongs: Parity and all after it keep
  // their defaults. A line that does not parse is ignored on its own.
  h.WriteSettings(
      "\"Port\"=dword:00000001\n"
      "garbage that is not a value\n"
      "\"Data\"=dword:00000002\n"
      "\"Stop\"=\"2\"\n"
      "\"Parity\"=dword:00000002\n"
      "\"HexRXD\"=dword:00000001\n");
  TMainForm& f = h.Create();
  EXPECT_EQ(f.ComboBox1->currentIndex(), 1);
  // "BaudRate" is missing, so the reading already ended there.
  EXPECT_EQ(f.ComboBox3->currentIndex(), 3);
  EXPECT_EQ(f.ComboBox5->currentIndex(), 0);
  EXPECT_FALSE(f.CheckHexRXD->isChecked());
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
                                "Delay1"};
  // Values added later follow the first ones (the terminal's are checked with the terminal).
  EXPECT_EQ(h.SettingsNames().mid(0, expected.size()), expected);
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  EXPECT_EQ(store.ReadInteger("Model"), 2);
  EXPECT_EQ(store.ReadString("SendStr"), QString("x\r\ny"));
  // The next start reads them back.
  h.form.reset();
  TMainForm& g = h.Create();
  EXPECT_EQ(g.Memo2->text(), "x\r\ny");
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
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_EQ(h.messages[0], kOpenFailed);
  SelectPort(f, "/dev/vortana-no-such-port");
  f.BitBtn3Click();
  EXPECT_EQ(h.messages.size(), 2);
  EXPECT_EQ(f.BitBtn3->text(), "打开串口");
}

TEST(MainFormPort, AnAdapterUnpluggedWhileOpenLeavesTheWindowWorking) {
  FormHarness h;
  auto pty = std::make_unique<PtyPair>();
  TMainForm& f = h.Create();
  SelectPort(f, pty->slavePath());
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  pty->HangUp();
  PumpFor(100);  // polls go on against the vanished device
  f.BitBtn3Click();
  EXPECT_FALSE(f.PortOpen);
  EXPECT_EQ(f.BitBtn3->text(), "打开串口");
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
  EXPECT_GE(f.readAll().count('\n'), 21);
}
