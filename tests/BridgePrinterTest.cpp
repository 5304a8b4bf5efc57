// The relay bridge between two pseudo-terminals and the printer page's
// ESC/POS output, decoded back into dots on the far side.
#include <gtest/gtest.h>

#include <QPainter>
#include <QTemporaryDir>

#include <thread>

#include "support/EscPosDecode.h"
#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"

namespace {
using Bytes = std::vector<uint8_t>;

int PtyNumber(const PtyPair& p) { return QString::fromStdString(p.slavePath()).section('/', -1).toInt(); }

// The bridge port is the main port's number plus one, so the test needs two
// pseudo-terminals numbered one after the other.
struct PtyRun {
  std::vector<std::unique_ptr<PtyPair>> all;
  PtyPair* main = nullptr;
  PtyPair* bridge = nullptr;
  PtyRun() {
    for (int i = 0; i < 16 && !bridge; ++i) {
      all.push_back(std::make_unique<PtyPair>());
      if (all.size() >= 2 && PtyNumber(*all.back()) == PtyNumber(*all[all.size() - 2]) + 1) {
        main = all[all.size() - 2].get();
        bridge = all.back().get();
      }
    }
  }
};

void UsePort(TMainForm& f, const std::string& path) {
  f.ComboBox1->addItem(QString::fromStdString(path));
  f.ComboBox1->setCurrentIndex(f.ComboBox1->count() - 1);
}

Bytes ReadPumping(PtyPair& p, size_t n, int ms) {
  Bytes got;
  PumpUntil([&] {
    Bytes more = p.ReadUntilQuiet(1, 5);
    got.insert(got.end(), more.begin(), more.end());
    return got.size() >= n;
  }, ms);
  return got;
}
}  // namespace

TEST(Bridge, RelaysBothWaysWithThePageRule) {
  FormHarness h;
  PtyRun ptys;
  ASSERT_NE(ptys.bridge, nullptr) << "no two consecutive pseudo-terminals";
  TMainForm& f = h.Create();
  UsePort(f, ptys.main->slavePath());
  f.ComboBox2->setCurrentIndex(12);  // the bridge takes the line settings at switch-on
  f.RzPageControl1->setCurrentIndex(1);
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  f.SetCheckForTest(f.CheckBox9, true);
  ASSERT_TRUE(f.CheckBox9->isChecked()) << h.messages.join(';').toStdString();
  EXPECT_EQ(f.KRNCommDriver1->PortName.toStdString(), ptys.bridge->slavePath());
  EXPECT_EQ(f.KRNCommDriver1->ComPortSpeed(), br115200);

  // Main port to bridge port, while the terminal page is shown; also shown and counted.
  ptys.main->Write(std::string("abc"));
  EXPECT_EQ(ReadPumping(*ptys.bridge, 3, 2000), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(f.ReceiveCounter, 3);
  // Bridge port to main port: relayed, not shown, not counted, not in "S:".
  ptys.bridge->Write(std::string("xyz"));
  EXPECT_EQ(ReadPumping(*ptys.main, 3, 2000), (Bytes{'x', 'y', 'z'}));
  EXPECT_EQ(f.ReceiveCounter, 3);
  EXPECT_EQ(f.StatusText(1), "S:0");

  // On another page only the bridge-to-main direction works.
  f.RzPageControl1->setCurrentIndex(0);
  ptys.main->Write(std::string("dropped"));
  EXPECT_TRUE(ReadPumping(*ptys.bridge, 1, 200).empty());
  ptys.bridge->Write(std::string("kept"));
  EXPECT_EQ(ReadPumping(*ptys.main, 4, 2000), (Bytes{'k', 'e', 'p', 't'}));

  // The bridge port vanishing leaves the other direction working.
  f.RzPageControl1->setCurrentIndex(1);
  ptys.bridge->HangUp();
  ptys.main->Write(std::string("still"));
  PumpUntil([&] { return f.ReceiveCounter == 8; }, 2000);
  EXPECT_EQ(f.ReceiveCounter, 8);

  // Unticking closes the bridge port.
  f.SetCheckForTest(f.CheckBox9, false);
  EXPECT_FALSE(f.KRNCommDriver1->IsConnected());
}

TEST(Bridge, APortThatCannotBeOpenedShowsTheMessageAndUnticks) {
  FormHarness h;
  TMainForm& f = h.Create();
  UsePort(f, "/dev/vortana-missing-7");
  f.SetCheckForTest(f.CheckBox9, true);
  EXPECT_FALSE(f.CheckBox9->isChecked());
  EXPECT_FALSE(f.KRNCommDriver1->IsConnected());
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_TRUE(h.messages[0].startsWith("Vortana|当前串口号已经被占用，或其它错误 ！"));
}

TEST(Printer, TheFarSideDecodesBackToThePicture) {
  FormHarness h;
  PtyPair pty;
  TMainForm& f = h.Create();
  UsePort(f, pty.slavePath());
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  f.RzPageControl1->setCurrentIndex(2);

  QImage img(37, 50, QImage::Format_RGB32);
  img.fill(Qt::white);
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if ((x * 7 + y * 3) % 5 == 0) img.setPixelColor(x, y, QColor(255, 255, (x + y) % 2 ? 249 : 0));
  QTemporaryDir dir;
  ASSERT_TRUE(img.save(dir.path() + "/pic.png"));
  ASSERT_TRUE(f.LoadPrintPicture(dir.path() + "/pic.png"));

  Bytes got;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    got = pty.ReadUntilQuiet(500, 10000);
    done = true;
  });
  f.Button1Click();
  reader.join();
  EXPECT_TRUE(f.CheckHexTXD->isChecked());
  const EscPosPage page = DecodeEscPos(got.data(), got.size());
  EXPECT_EQ(page.initCount, 1);
  EXPECT_EQ(page.imageModes, std::vector<int>(3, 33));  // 50 rows: three bands
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      ASSERT_EQ(page.Dot(x, y), img.pixelColor(x, y) != QColor(Qt::white)) << x << "," << y;
  // The trailing commands of the label printer end the job; Memo1 holds it all.
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(Bytes(got.end() - 3, got.end()), (Bytes{0x1A, 0x0C, 0x00}));
  EXPECT_TRUE(f.Memo1->toPlainText().startsWith("1B 40"));
  EXPECT_TRUE(f.Memo1->toPlainText().endsWith("1B 4A 00\n1A 0C 00"));
}

// A logo on a transparent background: the background is paper, only the
// drawing prints.
TEST(Printer, ATransparentBackgroundPrintsAsPaper) {
  FormHarness h;
  PtyPair pty;
  TMainForm& f = h.Create();
  UsePort(f, pty.slavePath());
  f.BitBtn3Click();
  ASSERT_TRUE(f.PortOpen);
  QImage logo(30, 24, QImage::Format_ARGB32);
  logo.fill(Qt::transparent);  // transparent black, as most tools write it
  for (int y = 8; y < 16; ++y)
    for (int x = 10; x < 20; ++x) logo.setPixelColor(x, y, Qt::black);
  QTemporaryDir dir;
  ASSERT_TRUE(logo.save(dir.path() + "/logo.png"));
  ASSERT_TRUE(f.LoadPrintPicture(dir.path() + "/logo.png"));
  EXPECT_EQ(f.EscImage.pixelColor(0, 0), QColor(Qt::white));

  Bytes got;
  std::thread reader([&] { got = pty.ReadUntilQuiet(200, 10000); });
  f.Button1Click();
  reader.join();
  const EscPosPage page = DecodeEscPos(got.data(), got.size());
  for (int y = 0; y < logo.height(); ++y)
    for (int x = 0; x < logo.width(); ++x)
      ASSERT_EQ(page.Dot(x, y), x >= 10 && x < 20 && y >= 8 && y < 16) << x << "," << y;
}

TEST(Printer, RefusalsAndThePrinterChoice) {
  FormHarness h;
  TMainForm& f = h.Create();
  f.Button1Click();  // port closed
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_EQ(h.messages[0], "Vortana|串口没有打开 ！");

  PtyPair pty;
  UsePort(f, pty.slavePath());
  f.BitBtn3Click();
  QTemporaryDir dir;
  QImage wide(751, 1, QImage::Format_RGB888);
  wide.fill(Qt::black);
  ASSERT_TRUE(wide.save(dir.path() + "/wide.bmp"));
  ASSERT_TRUE(f.LoadPrintPicture(dir.path() + "/wide.bmp"));
  f.Button1Click();
  EXPECT_TRUE(f.Memo1->toPlainText().endsWith("图像大于 750*500 不能处理"));
  EXPECT_TRUE(pty.ReadUntilQuiet(100, 300).empty());

  // A file that is no picture keeps the old one.
  QFile junk(dir.path() + "/junk.bmp");
  junk.open(QIODevice::WriteOnly);
  junk.write("not a picture");
  junk.close();
  const QImage before = f.EscImage;
  EXPECT_FALSE(f.LoadPrintPicture(dir.path() + "/junk.bmp"));
  EXPECT_EQ(f.EscImage, before);
  EXPECT_EQ(h.messages.size(), 2);

  f.ComboBox8->setCurrentIndex(1);
  f.ComboBox8Change();
  EXPECT_EQ(f.ESC_END->text(), "1B 4A 50");
  f.ComboBox8->setCurrentIndex(0);
  f.ComboBox8Change();
  EXPECT_EQ(f.ESC_END->text(), "1A 0C 00");
}
