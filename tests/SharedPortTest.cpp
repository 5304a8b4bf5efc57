// One port for terminal and programmer: an STM32 or LPC download from the
// ISP page while the terminal holds the port. The window's drivers go
// through a recording layer over the real pseudo-terminal, so the modem
// lines can be watched (a pty has none) and a board's reset wiring can be
// modelled on them.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

#include "platform/Termios2.h"
#include "sim/HexText.h"
#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

enum Family { kLpc2136 = 4, kStm32 = 6, kStc89C52 = 8 };
enum Speed { k9600 = 6, k115200 = 12 };

uint32_t SlaveSpeed(const std::string& path) {
  Termios2Data t;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool ok = fd >= 0 && GetTermios2(fd, t);
  if (fd >= 0) ::close(fd);
  return ok ? t.ospeed : 0;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 17 + i * 5 + (i >> 7));
  return v;
}

class SharedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    FormHarness::RemoveSettings();
    f = &h.Create(true, &rec);
    const QString path = QString::fromStdString(pty.slavePath());
    f->ComboBox1->addItem(path);
    f->ComboBox6->addItem(path);
    f->ComboBox6->setCurrentIndex(f->ComboBox6->count() - 1);
    emit f->ComboBox6->activated(f->ComboBox6->currentIndex());
  }
  void TearDown() override {
    h.form.reset();  // engines first, while the simulators still listen
    rec.onModemLine = nullptr;
    stm32.reset();
    lpc.reset();
  }

  void Choose(int index) {
    f->MCUType->setCurrentIndex(index);
    emit f->MCUType->activated(index);
  }
  void ChooseSpeed(int index) {
    f->ComboBox7->setCurrentIndex(index);
    emit f->ComboBox7->activated(index);
  }
  // The terminal as an engineer leaves it: 115200 8N1, DTR on, RTS off, open.
  void OpenTerminal() {
    ChooseSpeed(k115200);
    f->SetCheckForTest(f->CheckBox3, true);
    f->SetCheckForTest(f->CheckBox4, false);
    f->BitBtn3->click();
    ASSERT_TRUE(f->PortOpen);
  }
  QString WriteHex(const std::vector<uint8_t>& image, uint32_t base) {
    const QString path = dir.filePath(QStringLiteral("fw.hex"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(HexText(image, base));
    return path;
  }
  bool Download(int timeoutMs) {
    f->BitBtn1->click();
    return PumpUntil([this] { return f->BitBtn1->isEnabled(); }, timeoutMs);
  }
  // The terminal after the session: open, its own line, its own modem lines.
  void ExpectTerminalAsBefore() {
    EXPECT_TRUE(f->PortOpen);
    EXPECT_TRUE(f->ComDriver_->IsConnected());
    EXPECT_EQ(f->BitBtn3->text(), QStringLiteral("关闭串口"));
    EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("115200"));
    EXPECT_EQ(f->ComboBox7->currentText(), QStringLiteral("115200"));
    EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("None"));
    EXPECT_EQ(f->ComDriver_->ComPortSpeed(), br115200);
    EXPECT_EQ(f->ComDriver_->ComPortParity(), ptNONE);
    EXPECT_EQ(f->ComDriver_->ComPortDataBits(), db8BITS);
    EXPECT_EQ(rec.lastLine.baudRate, 115200u);
    EXPECT_EQ(rec.lastLine.parity, 0);
    EXPECT_EQ(SlaveSpeed(pty.slavePath()), 115200u);
    EXPECT_TRUE(rec.dtr);
    EXPECT_FALSE(rec.rts);
    EXPECT_TRUE(h.messages.isEmpty()) << h.messages.join('\n').toStdString();
  }
  // What the board said after the download, as the terminal page shows it;
  // it arrives while the ISP page is still the one shown.
  void ExpectTerminalShows(const QString& text) {
    const int32_t want = static_cast<int32_t>(text.size());
    EXPECT_TRUE(PumpUntil([&] { return f->ReceiveCounter >= want; }, 5000)) << f->ReceiveCounter;
    EXPECT_EQ(f->PageIndex(), 0);
    f->RzPageControl1->setCurrentIndex(1);
    EXPECT_TRUE(f->Memo1->toPlainText().contains(text)) << f->Memo1->toPlainText().toStdString();
  }

  RecordingSerialPlatform rec;
  FormHarness h;
  TMainForm* f = nullptr;
  PtyPair pty;
  QTemporaryDir dir;
  std::unique_ptr<Stm32Sim> stm32;
  std::unique_ptr<LpcSim> lpc;
};

// The usual STM32 wiring: DTR drives reset, RTS drives BOOT0. Reset let go
// with BOOT0 high starts the boot loader, with BOOT0 low the program.
TEST_F(SharedPort, Stm32DownloadGivesTheTerminalItsPortBackAndTheProgramsFirstWords) {
  OpenTerminal();
  Stm32SimOptions o;
  o.firstOutput = "app v2 ready\r\n";
  stm32 = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414), o);
  bool dtr = rec.dtr;
  rec.onModemLine = [&] {
    if (dtr && !rec.dtr) {
      if (rec.rts) stm32->Reset();
      else stm32->StartProgram();
    }
    dtr = rec.dtr;
  };
  Choose(kStm32);
  ASSERT_TRUE(f->CheckBox2->isChecked());  // reset by the lines, before and after
  const std::vector<uint8_t> image = Pattern(1500, 1);
  f->Edit2->setText(WriteHex(image, Stm32Sim::kFlashBase));
  ASSERT_TRUE(Download(30000));
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  EXPECT_EQ(stm32->Flash(0, 1500), image);
  ExpectTerminalAsBefore();
  ExpectTerminalShows(QStringLiteral("app v2 ready"));
  // And it is the terminal's port again: what it sends reaches the board.
  stm32->Stop();  // the reading below is the board's now
  f->Memo2->setText(QStringLiteral("ping"));
  f->BitBtn_TXClick();
  const std::vector<uint8_t> got = pty.Read(4, 2000);
  EXPECT_EQ(std::string(got.begin(), got.end()), "ping");
}

// LPC boards start the program from the reset button (the ISP pin let go).
TEST_F(SharedPort, LpcDownloadGivesTheTerminalItsPortBack) {
  OpenTerminal();
  LpcSimOptions o;
  o.FirstOutput = "lpc app 1.0\r\n";
  lpc = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136(), o);
  Choose(kLpc2136);
  f->Edit3->setText(QStringLiteral("1"));
  const std::vector<uint8_t> image = Pattern(3000, 2);
  f->Edit2->setText(WriteHex(image, 0));
  f->BitBtn1->click();
  // The engine's own line while it runs: at most 57600, no parity.
  EXPECT_EQ(SlaveSpeed(pty.slavePath()), 57600u);
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 60000));
  EXPECT_EQ(f->StatusText(0), QStringLiteral("写入完成"));
  const std::vector<uint8_t> flash = lpc->Flash();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin() + 0x20, image.end(), flash.begin() + 0x20));
  ExpectTerminalAsBefore();
  lpc->RunProgram();
  ExpectTerminalShows(QStringLiteral("lpc app 1.0"));
}

// STC opens the port with its own component: the terminal steps aside and
// reopens it, and what the program says next is kept just the same.
TEST_F(SharedPort, StcDownloadKeepsTheProgramsFirstWordsForTheTerminal) {
  OpenTerminal();
  Choose(kStc89C52);
  f->Edit3->setText(QStringLiteral("2"));
  f->Edit4->setText(QStringLiteral("20"));
  auto sim = std::make_unique<StcSim>(pty, StcProfile("STC89C52RC", 11059200));
  f->Edit2->setText(WriteHex(Pattern(300, 6), 0));
  f->BitBtn1->click();  // the whole session runs inside the click
  EXPECT_EQ(f->Memo1->toPlainText().split(QStringLiteral("\r\n")).last(), QStringLiteral("上载数据成功 ！"));
  sim.reset();
  ExpectTerminalAsBefore();
  pty.Write(std::string("stc app up\r\n"));
  ExpectTerminalShows(QStringLiteral("stc app up"));
}

// A terminal that was closed stays closed, and the forced line stays in the
// lists for the next download.
TEST_F(SharedPort, AClosedTerminalStaysClosedAfterEitherFamily) {
  ChooseSpeed(k9600);
  stm32 = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  Choose(kStm32);
  f->Edit2->setText(WriteHex(Pattern(256, 3), Stm32Sim::kFlashBase));
  ASSERT_TRUE(Download(30000));
  EXPECT_EQ(f->StatusText(0), QStringLiteral("上载完成！"));
  EXPECT_FALSE(f->PortOpen);
  EXPECT_FALSE(f->ComDriver_->IsConnected());
  EXPECT_EQ(f->BitBtn3->text(), QStringLiteral("打开串口"));
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("Even"));
  stm32.reset();

  lpc = std::make_unique<LpcSim>(pty, LpcPartProfile::LPC2136());
  Choose(kLpc2136);
  f->Edit3->setText(QStringLiteral("1"));
  f->Edit2->setText(WriteHex(Pattern(512, 4), 0));
  ASSERT_TRUE(Download(60000));
  EXPECT_EQ(f->StatusText(0), QStringLiteral("写入完成"));
  EXPECT_FALSE(f->PortOpen);
  EXPECT_FALSE(f->ComDriver_->IsConnected());
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("None"));
}

// A session that cannot find its part gives the port back just the same,
// and closing the port during a session is the user's last word.
TEST_F(SharedPort, AFailedSessionGivesItBackAndACloseDuringOneIsKept) {
  OpenTerminal();
  Stm32SimOptions silent;
  silent.silent = true;
  stm32 = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414), silent);
  Choose(kStm32);
  f->SetCheckForTest(f->CheckBox2, false);
  f->Edit2->setText(WriteHex(Pattern(256, 5), Stm32Sim::kFlashBase));
  ASSERT_TRUE(Download(30000));
  EXPECT_NE(f->StatusText(0), QStringLiteral("上载完成！"));
  ExpectTerminalAsBefore();

  f->BitBtn1->click();
  ASSERT_FALSE(f->BitBtn1->isEnabled());
  f->BitBtn3->click();  // "关闭串口" while the engine waits for the part
  EXPECT_FALSE(f->ComDriver_->IsConnected());  // at once, not when the session ends
  ASSERT_TRUE(PumpUntil([this] { return f->BitBtn1->isEnabled(); }, 30000));
  EXPECT_FALSE(f->PortOpen);
  EXPECT_FALSE(f->ComDriver_->IsConnected());
  EXPECT_EQ(f->BitBtn3->text(), QStringLiteral("打开串口"));
  EXPECT_EQ(f->ComboBox2->currentText(), QStringLiteral("115200"));
  EXPECT_EQ(f->ComboBox5->currentText(), QStringLiteral("None"));
}

}  // namespace
