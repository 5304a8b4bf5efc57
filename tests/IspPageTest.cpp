// The ISP page of the real window, driven as a user drives it: pick the
// family, name the firmware file, press "下载". Downloads run against the
// simulated boot loaders on pseudo-terminals.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QMenu>
#include <QToolButton>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <random>

#include "isp/stm32/Stm32Engine.h"
#include "platform/Termios2.h"
#include "sim/HexText.h"
#include "sim/LpcSim.h"
#include "app/StcOptionsDialog.h"
#include "sim/StcModernSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

const QString kOpenFailed =
    QStringLiteral("Vortana|当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");

enum Family { kLpc2131 = 2, kLpc2136 = 4, kStm32 = 6, kStc89C51 = 7, kStc89C52 = 8 };
enum Speed { k9600 = 6, k19200 = 8, k57600 = 11, k115200 = 12 };

bool IconIs(const QPushButton* b, const QPixmap& glyph) {
  return b->icon().pixmap(glyph.size()).toImage() == glyph.toImage();
}

// Line settings of a pseudo-terminal as the program left them.
Termios2Data SlaveLine(const std::string& path) {
  Termios2Data t;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    GetTermios2(fd, t);
    ::close(fd);
  }
  return t;
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// The image as Intel HEX from 0x08000000 on.
QByteArray Stm32Hex(const std::vector<uint8_t>& image) { return HexText(image, Stm32Sim::kFlashBase); }

QStringList Lines(const TMainForm& f) {
  const QString text = f.Memo1->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
}

// A key press and release as the keyboard delivers them.
void Key(QWidget* w, int key, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, mods, text);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, key, mods, text);
  QApplication::sendEvent(w, &release);
}

void Type(QWidget* w, const QString& text) {
  for (const QChar c : text) {
    int key = c.unicode();
    if (c.isLetter()) key = Qt::Key_A + (c.toUpper().unicode() - 'A');
    Key(w, key, QString(c));
  }
}

void SetFileSecond(const QString& path, time_t second) {
  const timeval times[2] = {{second, 0}, {second, 0}};
  ASSERT_EQ(::utimes(path.toLocal8Bit().constData(), times), 0);
}

class IspPage : public ::testing::Test {
 protected:
  void SetUp() override {
    FormHarness::RemoveSettings();
    f = &h.Create();
  }
  void TearDown() override {
    h.form.reset();  // engines first, while the simulators still listen
    stm32Sim.reset();
    lpcSim.reset();
  }

  // A family chosen from the list, as a user picks it.
  void Choose(int index) {
    f->MCUType->setCurrentIndex(index);
    emit f->MCUType->activated(index);
  }
  // A speed chosen on the ISP page (mirrored into the terminal page).
  void ChooseSpeed(int index) {
    f->ComboBox7->setCurrentIndex(index);
    emit f->ComboBox7->activated(index);
  }
  // The pty listed and chosen on both port lists, as discovery would list it.
  void SelectPort() {
    const QString path = QString::fromStdString(pty.slavePath());
    f->ComboBox1->addItem(path);
    f->ComboBox6->addItem(path);
    f->ComboBox6->setCurrentIndex(f->ComboBox6->count() - 1);
    emit f->ComboBox6->activated(f->ComboBox6->currentIndex());
    ASSERT_EQ(f->ComboBox1->currentText(), path);
  }
  QString WriteFile(const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    return path;
  }
  QString WriteFile(const QString& name, const std::vector<uint8_t>& bytes) {
    return WriteFile(name, QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())));
  }

  // Presses "下载" and runs the event loop until the engine gives the button
  // back (the timer-driven engines; the STC session ends inside the click).
  bool Download(int timeoutMs) {
    f->BitBtn1->click();
    EXPECT_FALSE(f->BitBtn1->isEnabled());
    return PumpUntil([this] { return f->BitBtn1->isEnabled(); }, timeoutMs);
  }

  void ExpectPortReleased() {
    EXPECT_FALSE(f->PortOpen);
    EXPECT_TRUE(IconIs(f->BitBtn3, f->Image1));
    EXPECT_TRUE(f->BitBtn1->isEnabled());
    EXPECT_TRUE(f->ComboBox1->isEnabled());
    EXPECT_TRUE(f->ComboBox2->isEnabled());
    EXPECT_EQ(f->ProgressBar1->value(), 0);
  }

  void StartStm32Sim(uint16_t productId) {
    stm32Sim = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(productId));
  }

  static QStringList Stm32Log(const QString& version, const QString& id, const QString& family,
                              const QString& flashLine, int length, int lastUnit) {
    QStringList l{QStringLiteral("正在查找设备。。。"), QStringLiteral("已成功连接"),
                  QStringLiteral("Bootloader 版本 ") + version, QStringLiteral("Product ID: ") + id, family};
    if (!flashLine.isEmpty()) l << flashLine;
    l << QStringLiteral("加载文件。。。") << QStringLiteral("文件尺寸: %1 Byte / %2 KB").arg(length).arg(length / 1024)
      << QStringLiteral("加载文件完成！") << QStringLiteral(" ") << QStringLiteral("擦除页[ 0 .. %1 ]").arg(lastUnit)
      << QStringLiteral("开始写入。。。") << QStringLiteral("开始校验。。。") << QStringLiteral("上载完成！");
    return l;
  }

  FormHarness h;
  TMainForm* f = nullptr;
  PtyPair pty;
  QTemporaryDir dir;
  std::unique_ptr<Stm32Sim> stm32Sim;
  std::unique_ptr<LpcSim> lpcSim;
};

// ---- Line settings each family forces before the port opens ----

TEST_F(IspPage, Stm32ForcesAtLeast19200EvenParityOnTheOpenedLine) {
  SelectPort();
  Choose(kStm32);
  ChooseSpeed(k9600);
  f->ComboBox5->setCurrentIndex(1);  // Odd
  f->ComboBox4->setCurrentIndex(2);  // 2 stop bits
  f->Edit2->setText(WriteFile(QStringLiteral("fw.bin"), RandomBytes(64, 1)));
  f->BitBtn1->click();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(f->ComboBox3->currentText(), QStringLiteral("8"));
  EXPECT_EQ(f->ComboBox4->currentText(), QStringLiteral("1"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("Even"));
  // The line was opened with them, not with what the lists held before.
  ASSERT_TRUE(f->PortOpen);
  EXPECT_FALSE(f->BitBtn1->isEnabled());
  // A pty keeps the speed but drops the parity bit: the framing is read
  // back from the driver.
  EXPECT_EQ(SlaveLine(pty.slavePath()).ospeed, 19200u);
  EXPECT_EQ(f->ComDriver_->ComPortParity(), ptEVEN);
  EXPECT_EQ(f->ComDriver_->ComPortDataBits(), db8BITS);
  EXPECT_EQ(f->ComDriver_->ComPortStopBits(), sb1BITS);
  EXPECT_TRUE(h.messages.isEmpty());
  // The forced settings stay with the terminal page and are kept at exit.
  f->close();
  h.form.reset();
  f = &h.Create();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("Even"));
  // A faster speed is kept.
  f->ComboBox1->addItem(QStringLiteral("/nonexistent/tty"));
  f->ComboBox1->setCurrentIndex(f->ComboBox1->count() - 1);
  Choose(kStm32);
  ChooseSpeed(k115200);
  f->BitBtn1->click();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("115200"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("Even"));
  // A port that cannot be opened: the message with its cause, and no session.
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_TRUE(h.messages[0].startsWith(kOpenFailed));
  EXPECT_TRUE(h.messages[0].endsWith(QStringLiteral("不存在（设备没有连接？）")));
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  EXPECT_FALSE(f->PortOpen);
}

// The terminal already holds the port at 9600: the download takes it over
// with the forced settings applied to the open line.
TEST_F(IspPage, Stm32SettingsReachAPortTheTerminalHolds) {
  SelectPort();
  ChooseSpeed(k9600);
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  ASSERT_EQ(SlaveLine(pty.slavePath()).ospeed, 9600u);
  Choose(kStm32);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.bin"), RandomBytes(64, 1)));
  f->BitBtn1->click();
  EXPECT_FALSE(f->BitBtn1->isEnabled());
  EXPECT_EQ(SlaveLine(pty.slavePath()).ospeed, 19200u);
  EXPECT_EQ(f->ComDriver_->ComPortParity(), ptEVEN);
  EXPECT_TRUE(h.messages.isEmpty());
}

TEST_F(IspPage, LpcForcesAtMost57600EightNoneOne) {
  SelectPort();
  Choose(kLpc2131);
  ChooseSpeed(k115200);
  f->ComboBox3->setCurrentIndex(2);  // 7 data bits
  f->ComboBox4->setCurrentIndex(2);  // 2 stop bits
  f->ComboBox5->setCurrentIndex(2);  // Even
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(64))));
  f->BitBtn1->click();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("57600"));
  EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("57600"));
  EXPECT_EQ(f->ComboBox3->currentText(), QStringLiteral("8"));
  EXPECT_EQ(f->ComboBox4->currentText(), QStringLiteral("1"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("None"));
  ASSERT_TRUE(f->PortOpen);
  EXPECT_FALSE(f->BitBtn1->isEnabled());
  EXPECT_EQ(SlaveLine(pty.slavePath()).ospeed, 57600u);
  EXPECT_EQ(f->ComDriver_->ComPortParity(), ptNONE);
  EXPECT_EQ(f->ComDriver_->ComPortDataBits(), db8BITS);
  EXPECT_EQ(f->ComDriver_->ComPortStopBits(), sb1BITS);
  // A slower speed is kept.
  h.form.reset();
  f = &h.Create();
  f->ComboBox1->addItem(QStringLiteral("/nonexistent/tty"));
  f->ComboBox1->setCurrentIndex(f->ComboBox1->count() - 1);
  Choose(kLpc2136);
  ChooseSpeed(k9600);
  f->BitBtn1->click();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("9600"));
  EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("9600"));
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_TRUE(h.messages[0].startsWith(kOpenFailed));
  EXPECT_TRUE(f->BitBtn1->isEnabled());
}

TEST_F(IspPage, StcLeavesTheTerminalLineSettingsAlone) {
  SelectPort();
  Choose(kStc89C52);
  ChooseSpeed(k115200);
  f->ComboBox3->setCurrentIndex(2);
  f->ComboBox4->setCurrentIndex(2);
  f->ComboBox5->setCurrentIndex(1);
  f->Edit2->setText(dir.filePath(QStringLiteral("missing.hex")));
  f->BitBtn1->click();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("115200"));
  EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("115200"));
  EXPECT_EQ(f->ComboBox3->currentText(), QStringLiteral("7"));
  EXPECT_EQ(f->ComboBox4->currentText(), QStringLiteral("2"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("Odd"));
  // The session ended inside the click; the page is usable again.
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  EXPECT_TRUE(f->BitBtn2->isEnabled());
  EXPECT_TRUE(f->Memo1->isEnabled());
  EXPECT_FALSE(f->PortOpen);
  EXPECT_TRUE(Lines(*f).contains(QStringLiteral("上载文件不存在 ！"))) << Lines(*f).join('|').toStdString();
}

// ---- The page's own controls ----

TEST_F(IspPage, ClockModeButtonFollowsTheFamily) {
  for (int i = 0; i < 12; ++i) {
    Choose(i);
    EXPECT_EQ(f->BitBtn7->isEnabled(), i >= 7) << i;
  }
  Choose(kStc89C51);
  const QString first = f->BitBtn7->text();
  EXPECT_EQ(first, QStringLiteral("12T"));
  f->BitBtn7->click();
  EXPECT_EQ(f->BitBtn7->text(), QStringLiteral("6T"));
  f->BitBtn7->click();
  EXPECT_EQ(f->BitBtn7->text(), first);
}

TEST_F(IspPage, AutoResetBoxEnablesItsSettings) {
  ASSERT_TRUE(f->CheckBox2->isChecked());
  f->CheckBox2->click();
  EXPECT_FALSE(f->Edit4->isEnabled());
  EXPECT_FALSE(f->Label11->isEnabled());
  EXPECT_FALSE(f->CheckBox10->isEnabled());
  f->CheckBox2->click();
  EXPECT_TRUE(f->Edit4->isEnabled());
  EXPECT_TRUE(f->Label11->isEnabled());
  EXPECT_TRUE(f->CheckBox10->isEnabled());
}

TEST_F(IspPage, NumberFieldsTakeDigitsOnly) {
  QLineEdit* e3 = f->Edit3;
  ASSERT_EQ(e3->text(), QStringLiteral("5"));
  e3->setFocus();
  e3->end(false);
  Key(e3, Qt::Key_Backspace);
  EXPECT_EQ(e3->text(), QStringLiteral("1"));  // emptied: "1"
  e3->selectAll();
  Type(e3, QStringLiteral("0"));
  EXPECT_EQ(e3->text(), QStringLiteral("1"));  // a lone "0": "1"
  e3->selectAll();
  Type(e3, QStringLiteral("5"));
  e3->home(false);
  Type(e3, QStringLiteral("0"));
  EXPECT_EQ(e3->text(), QStringLiteral("05"));  // leading zero kept
  e3->selectAll();
  Type(e3, QStringLiteral("7"));
  Type(e3, QStringLiteral("x-"));
  EXPECT_EQ(e3->text(), QStringLiteral("7"));
  Type(e3, QStringLiteral("9"));
  EXPECT_EQ(e3->text(), QStringLiteral("79"));

  for (QLineEdit* e : {f->Edit1, f->Edit4}) {
    const QString before = e->text();
    e->end(false);
    Key(e, Qt::Key_Backspace);
    Type(e, QStringLiteral("aZ ."));
    EXPECT_EQ(e->text(), before.left(before.size() - 1));
    Type(e, QStringLiteral("3"));
    EXPECT_EQ(e->text(), before.left(before.size() - 1) + u'3');
  }
}

// The ISP page's port and speed lists feed the terminal page's lists; an
// open port keeps running as it was.
TEST_F(IspPage, PortAndSpeedMirrorWithoutReopening) {
  SelectPort();
  f->BitBtn3->click();  // the terminal opens the pty at 57600
  ASSERT_TRUE(f->PortOpen);
  ASSERT_EQ(SlaveLine(pty.slavePath()).ospeed, 57600u);

  ChooseSpeed(k115200);
  EXPECT_EQ(f->ComboBox2->currentIndex(), k115200);
  f->ComboBox6->setCurrentIndex(0);
  emit f->ComboBox6->activated(0);
  EXPECT_EQ(f->ComboBox1->currentIndex(), 0);
  EXPECT_TRUE(f->PortOpen);
  EXPECT_EQ(f->ComDriver_->PortName, QString::fromStdString(pty.slavePath()));
  EXPECT_EQ(SlaveLine(pty.slavePath()).ospeed, 57600u);
  EXPECT_TRUE(h.messages.isEmpty());

  // The terminal page's lists copy back into the ISP page's.
  f->ComboBox1->setCurrentIndex(3);
  f->ComboBox2->setCurrentIndex(k19200);
  f->BitBtn3->click();  // closed first, so the choice does not reopen
  ASSERT_FALSE(f->PortOpen);
  emit f->ComboBox2->activated(k19200);
  EXPECT_EQ(f->ComboBox6->currentIndex(), 3);
  EXPECT_EQ(f->ComboBox7->currentIndex(), k19200);
  EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("19200"));
}

// ---- Whole downloads from the button ----

TEST_F(IspPage, Stm32StandardEraseFromTheButton) {
  SelectPort();
  Choose(kStm32);
  ChooseSpeed(k115200);
  StartStm32Sim(0x0414);
  const auto image = RandomBytes(5120, 7);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), Stm32Hex(image)));
  f->Memo1->setPlainText(QStringLiteral("old text"));
  ASSERT_TRUE(Download(20000)) << stm32Sim->failure();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  EXPECT_EQ(Lines(*f), Stm32Log("2.2", "0414", QStringLiteral("STM32F10x 家族"),
                                 QStringLiteral("存储容量 Flash:512 KB"), 5120, 2));
  EXPECT_EQ(stm32Sim->Flash(0, static_cast<uint32_t>(image.size())), image);
  EXPECT_EQ(stm32Sim->EraseFrame(), (std::vector<uint8_t>{0x02, 0x00, 0x01, 0x02, 0x02 ^ 0x00 ^ 0x01 ^ 0x02}));
  EXPECT_TRUE(stm32Sim->failure().empty()) << stm32Sim->failure();
  ExpectPortReleased();
  EXPECT_FALSE(f->isMinimized());  // automatic download is off
  EXPECT_TRUE(h.messages.isEmpty());
}

TEST_F(IspPage, Stm32ExtendedEraseFromTheButton) {
  SelectPort();
  Choose(kStm32);
  StartStm32Sim(0x0413);
  const auto image = RandomBytes(16384, 8);
  f->Edit2->setText(WriteFile(QStringLiteral("f4.bin"), image));
  ASSERT_TRUE(Download(20000)) << stm32Sim->failure();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  EXPECT_EQ(Lines(*f), Stm32Log("3.1", "0413", QStringLiteral("STM32F40x 家族"),
                                 QStringLiteral("存储容量 Flash:1024 KB"), 16384, 0));
  EXPECT_EQ(stm32Sim->Flash(0, static_cast<uint32_t>(image.size())), image);
  EXPECT_EQ(stm32Sim->EraseFrame(), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00}));
  ExpectPortReleased();
}

TEST_F(IspPage, Stm32MissingFileEndsTheSessionAndReleasesThePort) {
  SelectPort();
  Choose(kStm32);
  StartStm32Sim(0x0414);
  f->Edit2->setText(dir.filePath(QStringLiteral("gone.bin")));
  ASSERT_TRUE(Download(15000));
  EXPECT_EQ(f->StatusText(0), QStringLiteral("文件不存在"));
  EXPECT_EQ(stm32Sim->erasesDone(), 0);
  ExpectPortReleased();
  EXPECT_FALSE(f->Stm32()->Running());
}

// The terminal holds one port; the ISP page then names another. The
// download goes to the port the page shows: the held one is closed first.
TEST_F(IspPage, Stm32DownloadGoesToTheShownPortWhenTheTerminalHoldsAnother) {
  SelectPort();
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  PtyPair other;
  const QString otherPath = QString::fromStdString(other.slavePath());
  f->ComboBox1->addItem(otherPath);
  f->ComboBox6->addItem(otherPath);
  f->ComboBox6->setCurrentIndex(f->ComboBox6->count() - 1);
  emit f->ComboBox6->activated(f->ComboBox6->currentIndex());
  ASSERT_EQ(f->ComboBox1->currentText(), otherPath);
  Choose(kStm32);
  const auto image = RandomBytes(512, 4);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.bin"), image));
  Stm32Sim held(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  Stm32Sim sim(other.master(), Stm32SimProfile::ForProduct(0x0414));
  ASSERT_TRUE(Download(10000));
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！")) << Lines(*f).join('|').toStdString();
  EXPECT_EQ(sim.Flash(0, 512), image);
  EXPECT_NE(held.Flash(0, 512), image);  // the held board was never written
  EXPECT_FALSE(f->PortOpen);
  EXPECT_EQ(f->BitBtn3->text(), QStringLiteral("打开串口"));  // one click reopens
  h.form.reset();
  held.Stop();
  sim.Stop();
}

// An STC download while the terminal holds the same port: the terminal
// steps aside for the session, the part is programmed, and the terminal
// reopens with its settings and shows what the program sends.
TEST_F(IspPage, StcTakesOverThePortTheTerminalHoldsAndGivesItBack) {
  SelectPort();
  f->CheckBox3->setChecked(true);  // the terminal's DTR, to be put back
  f->BitBtn3->click();
  ASSERT_TRUE(f->PortOpen);
  const TComPortBaudRate speed = f->ComDriver_->ComPortSpeed();
  Choose(kStc89C52);
  f->Edit3->setText(QStringLiteral("2"));
  f->Edit4->setText(QStringLiteral("20"));
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  const std::vector<uint8_t> image = PatternImage(200, 4);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  f->BitBtn1->click();
  EXPECT_TRUE(h.messages.isEmpty()) << h.messages.join('\n').toStdString();
  ASSERT_FALSE(Lines(*f).isEmpty());
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("上载数据成功 ！"));
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash differs";
  sim.Stop();
  // The terminal has its port back, as it was, and shows what the new
  // program says first.
  ASSERT_TRUE(f->PortOpen);
  EXPECT_TRUE(f->ComDriver_->IsConnected());
  EXPECT_TRUE(IconIs(f->BitBtn3, f->Image2));
  EXPECT_EQ(f->ComDriver_->ComPortSpeed(), speed);
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  f->RzPageControl1->setCurrentIndex(1);
  const int32_t before = f->ReceiveCounter;
  pty.Write(std::vector<uint8_t>{'H', 'e', 'l', 'l', 'o', '\r', '\n'});
  EXPECT_TRUE(PumpUntil([&] { return f->ReceiveCounter >= before + 7; }, 3000));
  EXPECT_TRUE(f->Memo1->toPlainText().contains(QStringLiteral("Hello"))) << f->Memo1->toPlainText().toStdString();
}

TEST_F(IspPage, LpcFromTheButton) {
  SelectPort();
  Choose(kLpc2136);
  f->Edit3->setText(QStringLiteral("1"));  // line pacing
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136());
  const std::vector<uint8_t> image = PatternImage(10000, 5);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  const std::vector<uint8_t> expect = WithVectorChecksum(image);
  const std::vector<uint8_t> flash = lpcSim->Flash();
  ASSERT_GE(flash.size(), expect.size());
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), flash.begin())) << "flash differs";
  const uint32_t check = static_cast<uint32_t>(expect[0x14]) | expect[0x15] << 8 | expect[0x16] << 16 |
                         static_cast<uint32_t>(expect[0x17]) << 24;
  const QStringList log{QStringLiteral("正在查找。。。"), QStringLiteral("已成功连接"),
                        QStringLiteral("同步已建立"), QStringLiteral("波特率发送成功"),
                        QStringLiteral("解锁成功"), QStringLiteral("CodeSize: %1 KB").arg(expect.size() / 1024),
                        QStringLiteral("向量表校验字(0x14)已设置为 0x%1")
                            .arg(QString::number(check, 16).toUpper().rightJustified(8, QLatin1Char('0'))),
                        QStringLiteral("下载目标代码"), QStringLiteral("读器件ID成功:196387"),
                        QStringLiteral("读Boot代码版本成功:2.12"), QStringLiteral("正在擦除。。。"),
                        QStringLiteral("擦除成功"), QStringLiteral("开始写入。。。")};
  // "写后校验": the part compares each copy (past the boot code's vectors).
  const QStringList verify{QStringLiteral("地址 0x0000..0x003F 在ISP模式下映射为Boot代码，不参与校验"),
                           QStringLiteral("校验成功")};
  EXPECT_EQ(Lines(*f), log + (f->CheckBox11->isChecked() ? verify : QStringList()) +
                           QStringList{QStringLiteral("写入完成")});
  EXPECT_EQ(f->StatusText(0), QStringLiteral("写入完成"));
  ExpectPortReleased();
  EXPECT_TRUE(h.messages.isEmpty());
}

// "写后校验" as the part's compare finds a byte that did not program; the
// choice under "更多" reads the image back instead, and is kept.
TEST_F(IspPage, LpcVerifyByCompareOrByReadBack) {
  SelectPort();
  Choose(kLpc2136);
  f->Edit3->setText(QStringLiteral("1"));
  std::vector<uint8_t> image = PatternImage(9000, 7);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  LpcSimOptions o;
  o.FlipAfterCopy = 0x2222;
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136(), o);
  ASSERT_TRUE(f->CheckBox11->isChecked());
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("校验错误: Flash 地址 0x00002220 与写入的数据不符"));
  ExpectPortReleased();

  lpcSim->Stop();
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136());
  f->VerifyReadbackAction->setChecked(true);
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("写入完成"));
  EXPECT_TRUE(Lines(*f).contains(QStringLiteral("开始校验。。。")));
  int reads = 0, compares = 0;
  for (const std::string& c : lpcSim->Commands()) {
    reads += c[0] == 'R';
    compares += c[0] == 'M';
  }
  EXPECT_GT(reads, 0);
  EXPECT_EQ(compares, 0);
  ExpectPortReleased();

  // A part without M is read back whatever the choice, and the log says so.
  lpcSim->Stop();
  LpcSimOptions none;
  none.NoCompare = true;
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136(), none);
  f->VerifyReadbackAction->setChecked(false);
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  EXPECT_TRUE(Lines(*f).contains(QStringLiteral("器件不支持比较命令 M，写入后改为读出校验")));
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("写入完成"));
  ExpectPortReleased();
}

// The crystal field is the only way the window tells the boot loader
// what the board runs on; a session that ignored it would program a board
// at a wrong flash timing without a word.
TEST_F(IspPage, LpcCrystalFieldReachesTheBootLoader) {
  SelectPort();
  Choose(kLpc2136);
  EXPECT_TRUE(f->EditCrystal->isEnabled());
  f->Edit3->setText(QStringLiteral("1"));
  f->EditCrystal->setText(QStringLiteral("12000"));
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136());
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(2000, 3))));
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  EXPECT_EQ(lpcSim->Crystal(), "12000");
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("写入完成"));
  // Other families have no use for it.
  Choose(kStm32);
  EXPECT_FALSE(f->EditCrystal->isEnabled());
}

// Intel HEX as a linker writes it for an 8051: from address 0.
TEST_F(IspPage, StcFromTheButton) {
  SelectPort();
  Choose(kStc89C52);
  f->Edit3->setText(QStringLiteral("2"));
  f->Edit4->setText(QStringLiteral("20"));  // a short reset pulse
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  const std::vector<uint8_t> image = PatternImage(300, 9);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  // The session runs inside the click; look at the page while it runs.
  bool memoEnabledDuring = true, chooserEnabledDuring = true, buttonEnabledDuring = true;
  QTimer::singleShot(300, f, [&] {
    memoEnabledDuring = f->Memo1->isEnabled();
    chooserEnabledDuring = f->BitBtn2->isEnabled();
    buttonEnabledDuring = f->BitBtn1->isEnabled();
  });
  f->BitBtn1->click();
  EXPECT_FALSE(memoEnabledDuring);
  EXPECT_FALSE(chooserEnabledDuring);
  EXPECT_FALSE(buttonEnabledDuring);
  const QStringList log{
      QStringLiteral("下载目标代码"),        QStringLiteral("正在连机 。。。"),
      QStringLiteral("连机成功! 固件版本:4.3C"), QStringLiteral("STC89C52RC/时钟频率: 11.0592M"),
      QStringLiteral("调整波特率一完成 ！"),  QStringLiteral("第二次调整波特率 。。。"),
      QStringLiteral("调整波特率二完成 ！"),  QStringLiteral("正在发送控制信息 。。。"),
      QStringLiteral("发送控制信息完成 ！"),  QStringLiteral("正在擦除芯片 。。。"),
      QStringLiteral("擦除芯片完成 ！"),      QStringLiteral("正在上载数据 。。。"),
      QStringLiteral("设置为单倍速 ！"),      QStringLiteral("设置为单倍速完成 ！"),
      QStringLiteral("发送结束标志 ！"),      QStringLiteral("上载数据成功 ！")};
  EXPECT_EQ(Lines(*f), log);
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash differs";
  EXPECT_TRUE(sim.EndFlagSeen());
  EXPECT_TRUE(f->Memo1->isEnabled());
  EXPECT_TRUE(f->BitBtn2->isEnabled());
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  EXPECT_FALSE(f->PortOpen);
  EXPECT_TRUE(IconIs(f->BitBtn3, f->Image1));
  EXPECT_TRUE(h.messages.isEmpty());
  sim.Stop();
}

// The STC session runs inside the click while the clock keeps ticking: a
// build saved during it is recorded, and downloaded once the session ends.
TEST_F(IspPage, StcSessionIsFollowedByTheBuildSavedWhileItRan) {
  SelectPort();
  Choose(kStc89C52);
  f->Edit4->setText(QStringLiteral("20"));
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(128, 3)));
  const time_t second = ::time(nullptr) - 1000;
  SetFileSecond(file, second);
  f->Edit2->setText(file);
  f->SetCheckForTest(f->CheckBox1, true);
  f->LastFileStamp = f->FileStampText(file);  // as start-up records it
  const std::vector<uint8_t> newer = PatternImage(128, 9);
  // The simulated part takes a pause on the line as its power cycle.
  f->AutoIspTimer.setInterval(800);
  bool queued = true;
  QTimer::singleShot(300, f, [&] {
    WriteFile(QStringLiteral("fw.hex"), HexText(newer));
    SetFileSecond(file, second + 10);
    f->TimerSecTimer();
    queued = f->AutoIspTimer.isActive();
  });
  f->BitBtn1->click();
  EXPECT_FALSE(queued);  // not while the session runs
  EXPECT_EQ(f->LastFileStamp, f->FileStampText(file));
  ASSERT_EQ(Lines(*f).last(), QStringLiteral("上载数据成功 ！"));
  EXPECT_TRUE(f->AutoIspTimer.isActive());  // the newer build is next
  ASSERT_TRUE(PumpUntil([&] { return sim.Frames(0x84) == 2 && f->BitBtn1->isEnabled(); }, 20000))
      << Lines(*f).join('|').toStdString();
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("上载数据成功 ！"));
  const auto flash = sim.Flash();
  ASSERT_GE(flash.size(), newer.size());
  EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + static_cast<long>(newer.size())), newer);
  // The build on the chip is the one on disk: nothing more follows.
  PumpFor(400);
  EXPECT_FALSE(f->AutoIspTimer.isActive());
  EXPECT_EQ(sim.Frames(0x84), 2);
  EXPECT_TRUE(f->isMinimized());  // a successful automatic download gets out of the way
  sim.Stop();
}

// ---- Automatic re-download ----

TEST_F(IspPage, ChangedFileStartsADownloadOnlyWhenIdleAndOnTheIspPage) {
  SelectPort();
  Choose(kStm32);
  const auto image = RandomBytes(1024, 3);
  const QString file = WriteFile(QStringLiteral("auto.bin"), image);
  time_t second = ::time(nullptr) - 1000;
  SetFileSecond(file, second);
  f->Edit2->setText(file);
  f->SetCheckForTest(f->CheckBox1, true);
  ASSERT_EQ(f->PageIndex(), 0);
  int sessions = 0;
  auto newSim = [&] {
    // Each session talks to a freshly reset boot loader.
    stm32Sim.reset();
    StartStm32Sim(0x0414);
  };
  auto sessionStarted = [&] {
    if (f->BitBtn1->isEnabled()) return false;
    ++sessions;
    return true;
  };

  // The first look at the file records its time; nothing was recorded
  // before, so it counts as a change.
  newSim();
  f->TimerSecTimer();
  EXPECT_EQ(f->LastFileStamp, f->FileStampText(file));
  EXPECT_TRUE(f->AutoIspTimer.isActive());
  ASSERT_TRUE(PumpUntil(sessionStarted, 1000));
  EXPECT_TRUE(f->PortOpen);
  ASSERT_TRUE(PumpUntil([&] { return f->BitBtn1->isEnabled(); }, 15000)) << stm32Sim->failure();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  f->showNormal();

  // Saved again: the running clock notices within a tick and 200 ms.
  newSim();
  SetFileSecond(file, second += 10);
  ASSERT_TRUE(PumpUntil(sessionStarted, 1600));
  EXPECT_FALSE(Lines(*f).contains(QStringLiteral("上载完成！")));  // cleared by the new session
  // Rebuilt while it runs: recorded, nothing started during the session,
  // and the newer build follows once it ends.
  const auto newer = RandomBytes(1024, 8);
  WriteFile(QStringLiteral("auto.bin"), newer);
  SetFileSecond(file, second += 10);
  f->TimerSecTimer();
  EXPECT_EQ(f->LastFileStamp, f->FileStampText(file));
  EXPECT_FALSE(f->AutoIspTimer.isActive());
  ASSERT_TRUE(PumpUntil([&] { return f->BitBtn1->isEnabled(); }, 15000)) << stm32Sim->failure();
  EXPECT_TRUE(f->AutoIspTimer.isActive());
  newSim();
  ASSERT_TRUE(PumpUntil(sessionStarted, 1000));
  ASSERT_TRUE(PumpUntil([&] { return f->BitBtn1->isEnabled(); }, 15000)) << stm32Sim->failure();
  EXPECT_EQ(stm32Sim->Flash(0, 1024), newer);
  f->TimerSecTimer();
  EXPECT_FALSE(f->AutoIspTimer.isActive());
  PumpFor(300);
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  EXPECT_FALSE(f->PortOpen);
  EXPECT_EQ(sessions, 3);

  // Another page shown: the change goes unnoticed until the ISP page is back.
  f->TimerSec.stop();  // ticks by hand from here
  f->RzPageControl1->setCurrentIndex(1);
  SetFileSecond(file, second += 10);
  const QString before = f->LastFileStamp;
  f->TimerSecTimer();
  EXPECT_EQ(f->LastFileStamp, before);
  EXPECT_FALSE(f->AutoIspTimer.isActive());
  newSim();
  f->RzPageControl1->setCurrentIndex(0);
  f->TimerSecTimer();
  EXPECT_EQ(f->LastFileStamp, f->FileStampText(file));
  EXPECT_TRUE(f->AutoIspTimer.isActive());
  ASSERT_TRUE(PumpUntil(sessionStarted, 1000));
  ASSERT_TRUE(PumpUntil([&] { return f->BitBtn1->isEnabled(); }, 15000)) << stm32Sim->failure();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  EXPECT_EQ(sessions, 4);
  EXPECT_TRUE(h.messages.isEmpty());
}

}  // namespace

// ---- The other jobs, from the "更多" menu ----

namespace {
QAction* JobAction(TMainForm& f, const QString& text) {
  for (QAction* a : f.JobsMenu->actions())
    if (a->text().startsWith(text)) return a;
  return nullptr;
}
}  // namespace

// The menu offers what the chosen family's engine can do, and the frequency
// field belongs to the STC parts; none of it moves a control of the page.
TEST_F(IspPage, TheJobsMenuFollowsTheFamily) {
  const QRect button = f->BitBtn1->geometry(), file = f->Edit2->geometry(), speed = f->ComboBox7->geometry(),
              progress = f->ProgressBar1->geometry();
  Choose(kLpc2136);
  EXPECT_TRUE(JobAction(*f, QStringLiteral("读出到文件"))->isEnabled());
  EXPECT_TRUE(JobAction(*f, QStringLiteral("查空"))->isEnabled());
  EXPECT_FALSE(JobAction(*f, QStringLiteral("STC 选项"))->isEnabled());
  EXPECT_FALSE(f->EditFreq->isEnabled());
  Choose(kStc89C52);
  EXPECT_FALSE(JobAction(*f, QStringLiteral("读出到文件"))->isEnabled());  // STC parts cannot be read back
  EXPECT_TRUE(JobAction(*f, QStringLiteral("读器件信息"))->isEnabled());
  EXPECT_TRUE(JobAction(*f, QStringLiteral("STC 选项"))->isEnabled());
  EXPECT_TRUE(f->EditFreq->isEnabled());
  EXPECT_FALSE(f->CheckBox11->isEnabled());
  EXPECT_EQ(f->BitBtn1->geometry(), button);
  EXPECT_EQ(f->Edit2->geometry(), file);
  EXPECT_EQ(f->ComboBox7->geometry(), speed);
  EXPECT_EQ(f->ProgressBar1->geometry(), progress);
}

// The reset sequence under "更多" replaces the wiring while "自动复位" is
// on: an adapter inverting RTS still gets the part into its boot loader and
// back. A sequence that does not read stops the job before the port opens,
// naming the fault, and the field is kept for the next start.
TEST_F(IspPage, CustomResetSequenceFromTheMoreMenu) {
  RecordingSerialPlatform rec;
  h.form.reset();
  f = &h.Create(true, &rec);
  auto* field = f->JobsMenu->findChild<QLineEdit*>(QStringLiteral("EditResetSeq"));
  ASSERT_NE(field, nullptr);
  SelectPort();
  Choose(kStm32);
  ChooseSpeed(k115200);
  StartStm32Sim(0x0414);
  const auto image = RandomBytes(1024, 31);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), Stm32Hex(image)));
  f->CheckBox2->setChecked(true);
  field->setText(QStringLiteral("~rts,rts,dtr,20,-dtr,10/-rts,dtr,20,-dtr"));
  rec.Clear();
  ASSERT_TRUE(Download(20000)) << stm32Sim->failure();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  EXPECT_EQ(stm32Sim->Flash(0, static_cast<uint32_t>(image.size())), image);
  const std::vector<std::string> lines = rec.Lines();
  const std::vector<std::string> entry{"RTS0", "DTR1", "DTR0"}, exit{"RTS1", "DTR1", "DTR0"};
  const auto in = std::search(lines.begin(), lines.end(), entry.begin(), entry.end());
  ASSERT_NE(in, lines.end());
  EXPECT_NE(std::search(in + 3, lines.end(), exit.begin(), exit.end()), lines.end());

  field->setText(QStringLiteral("rts,cts"));
  EXPECT_TRUE(field->toolTip().contains(QStringLiteral("cts")));
  rec.Clear();
  f->BitBtn1->click();
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  EXPECT_TRUE(f->StatusText(0).startsWith(QStringLiteral("复位序列有误"))) << f->StatusText(0).toStdString();
  EXPECT_EQ(std::count(rec.calls.begin(), rec.calls.end(), "OPEN"), 0);

  field->setText(QStringLiteral("rts,dtr,100,-dtr,50,-rts"));
  f->close();
  h.form.reset();  // before the recorder goes
  f = &h.Create();
  EXPECT_EQ(f->JobsMenu->findChild<QLineEdit*>(QStringLiteral("EditResetSeq"))->text(),
            QStringLiteral("rts,dtr,100,-dtr,50,-rts"));
}

// A read-out from the menu: the family's line settings, the file chosen,
// the part's flash in it, and the page ready again.
TEST_F(IspPage, LpcReadOutFromTheMenu) {
  SelectPort();
  Choose(kLpc2136);
  ChooseSpeed(k115200);
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136());
  const std::vector<uint8_t> image = PatternImage(6000, 8);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  const QString out = dir.filePath(QStringLiteral("back.bin"));
  f->ChooseSaveFile = [&](const QString&, const QString&, const QString&) { return out; };
  lpcSim->Reset();  // the reset a real board gets from the modem lines
  JobAction(*f, QStringLiteral("读出到文件"))->trigger();
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("57600"));  // LPC's ceiling in the window
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 120000)) << Lines(*f).join('\n').toStdString();
  QFile back(out);
  ASSERT_TRUE(back.open(QIODevice::ReadOnly)) << Lines(*f).join('\n').toStdString();
  const QByteArray bytes = back.readAll();
  const std::vector<uint8_t> flash = lpcSim->Flash();
  ASSERT_GE(bytes.size(), 6000);
  // Past the boot code's window at 0, the file holds the flash.
  EXPECT_TRUE(std::equal(flash.begin() + 64, flash.begin() + 6000, reinterpret_cast<const uint8_t*>(bytes.constData()) + 64));
  ExpectPortReleased();
  // Cancelling the file choice starts nothing.
  f->ChooseSaveFile = [](const QString&, const QString&, const QString&) { return QString(); };
  JobAction(*f, QStringLiteral("读出到文件"))->trigger();
  EXPECT_TRUE(f->BitBtn1->isEnabled());
}

// A damaged file ends the job before the port is touched: no reset pulse,
// no byte, the fault named last, the page ready again. The comparison from
// the menu reads the file first; STC's download does so by its own order.
TEST_F(IspPage, ADamagedFileEndsTheJobBeforeThePortInEveryFamily) {
  SelectPort();
  f->CheckBox2->setChecked(true);  // a reset pulse, were the port opened
  QByteArray hex = HexText(PatternImage(300, 4));
  const qsizetype third = hex.indexOf('\n', hex.indexOf('\n') + 1) + 1;
  hex[third + 9] = hex[third + 9] == '0' ? '1' : '0';  // checksum of line 3 wrong
  f->Edit2->setText(WriteFile(QStringLiteral("bad.hex"), hex));
  QStringList said;
  for (const int family : {int(kLpc2136), int(kStm32)}) {
    Choose(family);
    JobAction(*f, QStringLiteral("与文件比较（不写入）"))->trigger();
    ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 5000));
    ASSERT_FALSE(Lines(*f).isEmpty());
    said << Lines(*f).last();
    EXPECT_EQ(f->StatusText(0), said.last());
    ExpectPortReleased();
  }
  Choose(kStc89C52);
  f->BitBtn1->click();
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 5000));
  ASSERT_FALSE(Lines(*f).isEmpty());
  said << Lines(*f).last();
  ExpectPortReleased();
  EXPECT_TRUE(said[0].contains(QStringLiteral("第 3 行"))) << said[0].toStdString();
  for (const QString& line : said) EXPECT_EQ(line, said[0]);
  EXPECT_TRUE(pty.Read(1, 200).empty()) << "a byte reached the port";
}

// 查空 after 擦除整片: blank, although sector 0 shows the boot code while
// the part is in ISP.
TEST_F(IspPage, LpcEraseThenBlankCheckFromTheMenu) {
  SelectPort();
  Choose(kLpc2131);
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2131());
  f->AskYesNo = [](const QString&, const QString&) { return true; };
  JobAction(*f, QStringLiteral("擦除整片"))->trigger();
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 30000)) << Lines(*f).join('\n').toStdString();
  ASSERT_EQ(Lines(*f).last(), QStringLiteral("擦除完成: 扇区 0..7")) << Lines(*f).join('\n').toStdString();
  lpcSim->Reset();
  JobAction(*f, QStringLiteral("查空"))->trigger();
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 30000));
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("查空完成: 扇区 0..7 全部为空")) << Lines(*f).join('\n').toStdString();
  ExpectPortReleased();
}

// The STC download takes the frequency typed on the page and the options
// chosen in the dialog; an option not chosen keeps what the part holds.
TEST_F(IspPage, StcTrimsToThePagesFrequencyAndSetsOnlyTheOptionsAsked) {
  SelectPort();
  Choose(kStc89C52);
  f->Edit3->setText(QStringLiteral("3"));
  f->Edit4->setText(QStringLiteral("20"));
  f->EditFreq->setText(QStringLiteral("24000"));
  f->SetStcExtras({{QStringLiteral("reset_pin"), QStringLiteral("io")}}, QString(), false);
  EXPECT_TRUE(JobAction(*f, QStringLiteral("STC 选项"))->text().contains(QStringLiteral("1 项")));
  const StcModernProfile p = ModernProfile("STC15W4K56S4");
  StcModernSim sim(pty, p);
  const std::vector<uint8_t> before = sim.Options();
  const std::vector<uint8_t> image = PatternImage(700, 4);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  f->BitBtn1->click();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载数据成功 ！")) << Lines(*f).join('\n').toStdString();
  EXPECT_NEAR(sim.StoredHz(), 24e6, 24e6 * 0.005);
  const std::vector<uint8_t> after = sim.Options();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after[4] & 0x10, 0x10);  // the reset pin as I/O
  for (size_t i = 0; i < after.size(); ++i) {
    if (i != 4) {
      EXPECT_EQ(after[i], before[i]) << "option byte " << i;
    }
  }
  const std::vector<uint8_t> flash = sim.Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  sim.Stop();
}

// An STC12C5608AD (stc12b) from the window: its crystal's clock, the
// option chosen in the dialog set, the rest as the part held them.
TEST_F(IspPage, Stc12bDownloadsWithTheOptionChosen) {
  SelectPort();
  Choose(kStc89C52);
  f->Edit3->setText(QStringLiteral("3"));
  f->Edit4->setText(QStringLiteral("20"));
  f->SetStcExtras({{QStringLiteral("low_voltage_reset"), QStringLiteral("on")}}, QString(), false);
  StcModernSim sim(pty, ModernProfile("STC12C5608AD"));
  const std::vector<uint8_t> image = PatternImage(3000, 9);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(image)));
  f->BitBtn1->click();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载数据成功 ！")) << Lines(*f).join('\n').toStdString();
  EXPECT_EQ(sim.Options(), (std::vector<uint8_t>{0xBF, 0x7F, 0xF7, 0xFD}));
  const std::vector<uint8_t> flash = sim.Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  sim.Stop();
}

// An STC32G12K128 from the window: code from a HEX at 0xFF0000, the EEPROM
// size chosen in the dialog set, every other option as the part held it.
TEST_F(IspPage, Stc32TakesTheEepromSizeChosen) {
  SelectPort();
  Choose(kStc89C52);
  f->Edit3->setText(QStringLiteral("3"));
  f->Edit4->setText(QStringLiteral("20"));
  f->EditFreq->setText(QStringLiteral("24000"));
  f->SetStcExtras({{QStringLiteral("eeprom_size"), QStringLiteral("8192")}}, QString(), false);
  StcModernSim sim(pty, ModernProfile("STC32G12K128"));
  const std::vector<uint8_t> before = sim.Options();
  const std::vector<uint8_t> image = PatternImage(5000, 3);
  f->Edit2->setText(WriteFile(QStringLiteral("fw251.hex"), HexText(image, 0xFF0000)));
  f->BitBtn1->click();
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载数据成功 ！")) << Lines(*f).join('\n').toStdString();
  const std::vector<uint8_t> after = sim.Options();
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], i == 4 ? 0x20 : before[i]) << i;
  const std::vector<uint8_t> flash = sim.Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  sim.Stop();
}

// The options dialog offers every option once, "不改" first, and gives back
// only the ones the user changed.
TEST_F(IspPage, StcOptionsDialogGivesBackOnlyWhatWasChosen) {
  const QList<StcOptionsDialog::Choice> choices = StcOptionsDialog::Choices();
  QStringList names;
  for (const auto& c : choices) names << c.name;
  EXPECT_EQ(names.removeDuplicates(), 0);
  for (const char* n : {"reset_pin", "low_voltage_reset", "watchdog", "eeprom_erase", "boot_pins", "clock_source"})
    EXPECT_TRUE(names.contains(QString::fromLatin1(n))) << n;
  StcOptionsDialog d({{{QStringLiteral("watchdog"), QStringLiteral("on")}}, QStringLiteral("/tmp/e.hex"), true, StcFamily::Stc15});
  StcDownloadExtras e = d.Chosen();
  EXPECT_EQ(e.options, (QMap<QString, QString>{{QStringLiteral("watchdog"), QStringLiteral("on")}}));
  EXPECT_EQ(e.eepromFile, QStringLiteral("/tmp/e.hex"));
  EXPECT_TRUE(e.eepromInImage);
  for (QComboBox* box : d.findChildren<QComboBox*>()) {
    if (box == d.FamilyBox()) continue;
    EXPECT_EQ(box->itemText(0), QStringLiteral("不改"));
    if (box->isEnabled() && box->currentIndex() == 0 && box->count() > 1) {
      box->setCurrentIndex(1);
      break;
    }
  }
  EXPECT_EQ(d.Chosen().options.size(), 2);
}

// Setting read protection asks first, as every entry that costs the chip's
// contents does; a protected part in the window points at the menu's entry;
// "更多" is off while any job runs.
TEST_F(IspPage, ReadProtectionAsksAndTheWindowNamesItsOwnWayOut) {
  SelectPort();
  Choose(kStm32);
  QStringList asked;
  bool answer = false;
  f->AskYesNo = [&](const QString& caption, const QString& text) {
    asked << caption + u'|' + text;
    return answer;
  };
  Stm32SimProfile locked = Stm32SimProfile::ForProduct(0x0414);
  locked.readProtected = true;
  stm32Sim = std::make_unique<Stm32Sim>(pty.master(), locked);
  JobAction(*f, QStringLiteral("设置读保护"))->trigger();
  EXPECT_EQ(asked, QStringList{QStringLiteral(
                       "Vortana|设置读保护后不能再读出 Flash；以后解除读保护时芯片会擦除整个 Flash。\r继续吗？")});
  EXPECT_TRUE(f->BitBtn1->isEnabled());  // "No": nothing started
  EXPECT_TRUE(f->BitBtnJobs->isEnabled());

  f->Edit2->setText(WriteFile(QStringLiteral("fw.bin"), RandomBytes(2048, 3)));
  bool jobsEnabledDuring = true;
  f->BitBtn1->click();
  ASSERT_FALSE(f->BitBtn1->isEnabled());
  jobsEnabledDuring = f->BitBtnJobs->isEnabled();
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 20000));
  EXPECT_FALSE(jobsEnabledDuring);
  EXPECT_TRUE(f->BitBtnJobs->isEnabled());
  const QString cause = QStringLiteral("读保护已开启：器件拒绝读写。用 更多 → 解除读保护… 解除（会擦除整片 Flash）");
  EXPECT_EQ(Lines(*f).last(), cause);
  EXPECT_EQ(f->StatusText(0), cause);
  // The status panel cuts a text this long; its tooltip holds all of it.
  EXPECT_EQ(f->StatusPanel[0]->toolTip(), cause);
}

// The LPC engine reports percent: after an STM32 download left the bar's
// range at its image's length, an LPC download and read still fill it, and
// the status line follows the read.
TEST_F(IspPage, LpcProgressFillsTheBarAfterAnStm32ImageAndTheReadKeepsTheStatusCurrent) {
  SelectPort();
  Choose(kStm32);
  StartStm32Sim(0x0414);
  f->Edit2->setText(WriteFile(QStringLiteral("fw.bin"), RandomBytes(40000, 2)));
  ASSERT_TRUE(Download(30000)) << Lines(*f).join('\n').toStdString();
  ASSERT_EQ(f->ProgressBar1->maximum(), 40000);
  stm32Sim.reset();

  Choose(kLpc2136);
  f->Edit3->setText(QStringLiteral("1"));
  lpcSim = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136());
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(24000, 6))));
  double fullest = 0;
  QStringList statuses;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, f, [&] {
    fullest = std::max(fullest, double(f->ProgressBar1->value()) / f->ProgressBar1->maximum());
    if (statuses.isEmpty() || statuses.last() != f->StatusText(0)) statuses << f->StatusText(0);
  });
  watch.start(20);
  ASSERT_TRUE(Download(60000)) << Lines(*f).join('\n').toStdString();
  EXPECT_EQ(f->ProgressBar1->maximum(), 100);
  EXPECT_GE(fullest, 0.5);

  fullest = 0;
  statuses.clear();
  f->ChooseSaveFile = [&](const QString&, const QString&, const QString&) { return dir.filePath("back.bin"); };
  lpcSim->Reset();
  JobAction(*f, QStringLiteral("读出到文件"))->trigger();
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 60000)) << Lines(*f).join('\n').toStdString();
  EXPECT_GE(fullest, 0.5);
  const QStringList reading = statuses.filter(QRegularExpression(QStringLiteral("^正在读出。。。 \\d+%$")));
  EXPECT_GE(reading.size(), 2) << statuses.join(QLatin1Char(10)).toStdString() << Lines(*f).join(QLatin1Char(10)).toStdString();
}

namespace {
// Opens "STC 选项…", lets `look` see and set the dialog, then closes it with
// OK when `look` says so.
void InOptionsDialog(TMainForm& f, const std::function<bool(StcOptionsDialog&)>& look) {
  QTimer::singleShot(0, &f, [&] {
    auto* d = f.findChild<StcOptionsDialog*>();
    ASSERT_NE(d, nullptr);
    if (look(*d)) d->accept();
    else d->reject();
  });
  JobAction(f, QStringLiteral("STC 选项"))->trigger();
}
}  // namespace

// The options dialog offers only what the family shown can take: nothing
// for STC89, each later family its own options and values. A download that
// asks an STC89 for options anyway is refused and sends the part out of its
// boot loader; the dialog then opens on the family that was met.
TEST_F(IspPage, StcOptionsFollowTheFamilyAndARefusedDownloadReleasesThePart) {
  SelectPort();
  Choose(kStc89C52);
  InOptionsDialog(*f, [](StcOptionsDialog& d) {
    EXPECT_EQ(d.FamilyBox()->currentText(), QStringLiteral("STC89 / STC12C1052"));
    for (QComboBox* box : d.findChildren<QComboBox*>())
      if (box != d.FamilyBox()) {
        EXPECT_FALSE(box->isEnabled());
      }
    for (QLineEdit* e : d.findChildren<QLineEdit*>()) {
      EXPECT_FALSE(e->isEnabled());
    }
    d.FamilyBox()->setCurrentIndex(d.FamilyBox()->findText(QStringLiteral("STC8")));
    EXPECT_FALSE(d.OptionBox(QStringLiteral("clock_source"))->isEnabled());  // STC8 has none
    QComboBox* lvd = d.OptionBox(QStringLiteral("lvd_level"));
    EXPECT_TRUE(lvd->isEnabled());
    auto* model = qobject_cast<QStandardItemModel*>(lvd->model());
    EXPECT_FALSE(model->item(lvd->findData(QStringLiteral("5")))->isEnabled());  // an STC15 level
    EXPECT_TRUE(model->item(lvd->findData(QStringLiteral("2.7v")))->isEnabled());
    // STC15F10x/20x: no clock source or gain, six LVD levels, EEPROM writable.
    d.FamilyBox()->setCurrentIndex(d.FamilyBox()->findText(QStringLiteral("STC15F10x / STC15F20x")));
    EXPECT_FALSE(d.OptionBox(QStringLiteral("clock_source"))->isEnabled());
    EXPECT_TRUE(d.OptionBox(QStringLiteral("reset_pin"))->isEnabled());
    EXPECT_TRUE(model->item(lvd->findData(QStringLiteral("5")))->isEnabled());
    EXPECT_FALSE(model->item(lvd->findData(QStringLiteral("7")))->isEnabled());
    EXPECT_FALSE(model->item(lvd->findData(QStringLiteral("2.7v")))->isEnabled());
    d.FamilyBox()->setCurrentIndex(d.FamilyBox()->findText(QStringLiteral("STC15")));
    QComboBox* reset = d.OptionBox(QStringLiteral("reset_pin"));
    reset->setCurrentIndex(reset->findData(QStringLiteral("io")));
    lvd->setCurrentIndex(lvd->findData(QStringLiteral("5")));
    d.FamilyBox()->setCurrentIndex(d.FamilyBox()->findText(QStringLiteral("STC8")));
    EXPECT_EQ(lvd->currentIndex(), 0);  // a value STC8 cannot take falls back to "不改"
    EXPECT_EQ(reset->currentData().toString(), QStringLiteral("io"));
    return true;
  });
  EXPECT_TRUE(JobAction(*f, QStringLiteral("STC 选项"))->text().contains(QStringLiteral("1 项")));
  InOptionsDialog(*f, [](StcOptionsDialog& d) {
    EXPECT_EQ(d.FamilyBox()->currentText(), QStringLiteral("STC8"));  // as chosen last
    return false;
  });

  f->Edit3->setText(QStringLiteral("2"));
  f->Edit4->setText(QStringLiteral("20"));
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  f->Edit2->setText(WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(300, 9))));
  f->BitBtn1->click();
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("STC89C52RC 不支持设置选项或写入 EEPROM ！"));
  EXPECT_TRUE(sim.EndFlagSeen());
  EXPECT_TRUE(f->BitBtn1->isEnabled());
  EXPECT_FALSE(f->PortOpen);
  // The page's own frequency is the engine's default: nothing said of it.
  EXPECT_TRUE(Lines(*f).filter(QStringLiteral("不起作用")).isEmpty());
  InOptionsDialog(*f, [](StcOptionsDialog& d) {
    EXPECT_EQ(d.FamilyBox()->currentText(), QStringLiteral("STC89 / STC12C1052"));
    EXPECT_TRUE(d.Chosen().options.isEmpty());  // STC89 takes none of them
    return true;
  });
  f->BitBtn1->click();
  EXPECT_EQ(Lines(*f).last(), QStringLiteral("上载数据成功 ！"));
  sim.Stop();
}
