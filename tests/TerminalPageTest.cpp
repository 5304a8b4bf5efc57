// The terminal page end to end through a pseudo-terminal: what arrives is
// stored, counted and shown; what is sent arrives byte for byte.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QTemporaryDir>

#include <thread>

#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"

namespace {
using Bytes = std::vector<uint8_t>;

struct Terminal : ::testing::Test {
  FormHarness h;
  PtyPair pty;
  TMainForm* f = nullptr;

  void SetUp() override {
    h.RemoveSettings();
    f = &h.Create();
    f->ComboBox1->addItem(QString::fromStdString(pty.slavePath()));
    f->ComboBox1->setCurrentIndex(f->ComboBox1->count() - 1);
    f->RzPageControl1->setCurrentIndex(1);
    f->BitBtn3Click();
    ASSERT_TRUE(f->PortOpen);
  }

  // Writes on the far side and waits until the window has counted it all.
  void Arrive(const Bytes& bytes) {
    const int32_t want = f->ReceiveCounter + static_cast<int32_t>(bytes.size());
    pty.Write(bytes);
    PumpUntil([&] { return f->ReceiveCounter >= want; }, 3000);
  }
  Bytes Sent(size_t n) { return pty.Read(n, 3000); }
  // Reads while the window's timers keep running.
  Bytes SentWhilePumping(size_t n, int ms) {
    Bytes got;
    PumpUntil([&] {
      Bytes more = pty.ReadUntilQuiet(1, 5);
      got.insert(got.end(), more.begin(), more.end());
      return got.size() >= n;
    }, ms);
    if (got.size() > n) got.resize(n);
    return got;
  }
};
}  // namespace

TEST_F(Terminal, ReceivedBytesShowInBothRenderingsAndAreCounted) {
  Arrive({0x41, 0x00, 0x42});
  EXPECT_EQ(f->Memo1->toPlainText(), "AB");
  EXPECT_EQ(f->StatusText(2), "R:3");
  f->SetCheckForTest(f->CheckHexRXD, true);
  EXPECT_EQ(f->Memo1->toPlainText(), "41 00 42 ");
  Arrive({0x0D, 0x0A});
  EXPECT_EQ(f->Memo1->toPlainText(), "41 00 42 0D 0A ");
  f->SetCheckForTest(f->CheckHexRXD, false);
  EXPECT_EQ(f->Memo1->toPlainText(), "AB\r\n");
  EXPECT_EQ(f->StatusText(2), "R:5");
}

TEST_F(Terminal, ADoubleByteCharacterSplitOverTwoReceivesShowsOnceComplete) {
  Arrive({'x', 0xD6});  // first half of "中"
  EXPECT_EQ(f->Memo1->toPlainText(), "x");
  Arrive({0xD0, 'y'});
  EXPECT_EQ(f->Memo1->toPlainText(), "x中y");
}

TEST_F(Terminal, APageTextInBetweenIsReplacedByTheWholeStoreAtTheNextReceive) {
  Arrive({'a', 'b'});
  f->RzPageControl1->setCurrentIndex(0);
  pty.Write(Bytes{'z'});  // arrives while the ISP page is shown: dropped
  PumpFor(150);
  EXPECT_EQ(f->ReceiveCounter, 2);
  f->RzPageControl1->setCurrentIndex(1);
  EXPECT_EQ(f->Memo1->toPlainText(), "接收区\r\nhttp://www.vortana.example");
  Arrive({'c'});
  EXPECT_EQ(f->Memo1->toPlainText(), "abc");
  EXPECT_EQ(f->StatusText(2), "R:3");
}

TEST_F(Terminal, TheAutomaticClearAtTheLimitLeavesAnEmptyArea) {
  Arrive({'a'});
  f->ReceiveCounter = 32505850;
  Arrive({1, 2, 3, 4, 5});
  EXPECT_EQ(f->StatusText(2), "R:32505855");
  pty.Write(Bytes(3, 'q'));
  PumpUntil([&] { return f->ReceiveCounter == 0; }, 3000);
  EXPECT_EQ(f->StatusText(2), "R:0");
  EXPECT_EQ(f->Memo1->toPlainText(), "");
  EXPECT_TRUE(f->ReceiveStore.empty());
  Arrive({'n'});
  EXPECT_EQ(f->Memo1->toPlainText(), "n");
}

TEST_F(Terminal, ClearAndSaveWriteTheShownText) {
  Arrive({0xC4, 0xE3, 'A'});  // "你A"
  QTemporaryDir dir;
  f->ChooseSaveFile = [&](const QString&, const QString&, const QString&) { return dir.path() + "/rx"; };
  f->BitBtn9Click();
  QFile saved(dir.path() + "/rx.Txt");
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(), QByteArray("\xC4\xE3" "A"));
  f->BitBtn5Click();
  EXPECT_EQ(f->Memo1->toPlainText(), "");
  EXPECT_EQ(f->StatusText(2), "R:0");
  // Opening and closing the port leaves the counter alone.
  Arrive({'1'});
  f->BitBtn3Click();
  f->BitBtn3Click();
  EXPECT_EQ(f->StatusText(2), "R:1");
}

TEST_F(Terminal, HexSendKeepsOnlyDigitsPairedFromTheStart) {
  f->SetCheckForTest(f->CheckHexTXD, true);
  f->Memo2->setText("0x41,0x42");
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(3), (Bytes{0x04, 0x10, 0x42}));
  f->Memo2->setText("1A2B3");
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(2), (Bytes{0x1A, 0x2B}));
  EXPECT_EQ(f->StatusText(1), "S:5");
  f->Memo2->setText("xyz? ,.");
  f->BitBtn_TXClick();
  EXPECT_EQ(f->StatusText(1), "S:5");
}

TEST_F(Terminal, HexTextLongerThanOneSendBufferGoesOutWhole) {
  f->SetCheckForTest(f->CheckHexTXD, true);
  QString text;
  Bytes expected;
  for (int i = 0; i < 120000; ++i) {
    text += QStringLiteral("%1 ").arg(i & 0xFF, 2, 16, QChar('0'));
    expected.push_back(static_cast<uint8_t>(i & 0xFF));
  }
  f->Memo2->setText(text);
  Bytes got;
  std::thread reader([&] { got = pty.Read(expected.size(), 10000); });
  f->BitBtn_TXClick();
  reader.join();
  EXPECT_EQ(got, expected);
  EXPECT_EQ(f->StatusText(1), "S:120000");
}

TEST_F(Terminal, TextSendInGbkWithNewLineAndClearing) {
  f->Memo2->setText("AB");
  f->SetCheckForTest(f->CheckBox7, true);
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(4), (Bytes{'A', 'B', 0x0D, 0x0A}));
  EXPECT_EQ(f->StatusText(1), "S:2");
  f->SetCheckForTest(f->CheckBox7, false);
  f->SetCheckForTest(f->CheckBox8, true);
  f->Memo2->setText("中\r\n");
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(4), (Bytes{0xD6, 0xD0, 0x0D, 0x0A}));
  EXPECT_EQ(f->StatusText(1), "S:6");
  EXPECT_EQ(f->Memo2->text(), "");
  f->BitBtn8Click();
  EXPECT_EQ(f->StatusText(1), "S:0");
}

TEST_F(Terminal, SendPerKeySendsTheVirtualKeyCode) {
  f->SetCheckForTest(f->CheckBox6, true);
  f->Memo2->setFocus();
  QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QCoreApplication::sendEvent(f->Memo2, &a);
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
  QCoreApplication::sendEvent(f->Memo2, &enter);
  QKeyEvent one(QEvent::KeyPress, Qt::Key_Exclam, Qt::ShiftModifier, "!");
  QCoreApplication::sendEvent(f->ESC_STA, &one);
  EXPECT_EQ(Sent(3), (Bytes{0x41, 0x0D, 0x31}));
  EXPECT_EQ(f->StatusText(1), "S:0");  // key sends are not counted
  // Hex mode greys the box out but a ticked box still sends.
  f->SetCheckForTest(f->CheckHexTXD, true);
  EXPECT_FALSE(f->CheckBox6->isEnabled());
  QCoreApplication::sendEvent(f->Memo2, &a);
  EXPECT_EQ(Sent(1), (Bytes{0x41}));
}

TEST_F(Terminal, TimedSendingRunsOnlyWhileTheTerminalPageIsShown) {
  f->Memo2->setText("T");
  f->Edit1->setText("20");
  f->SetCheckForTest(f->CheckBox5, true);
  EXPECT_FALSE(f->Edit1->isEnabled());
  ASSERT_TRUE(f->Timer1.isActive()) << h.messages.join(";").toStdString();
  EXPECT_EQ(SentWhilePumping(3, 2000), (Bytes{'T', 'T', 'T'}));
  f->RzPageControl1->setCurrentIndex(0);
  PumpFor(30);
  pty.ReadUntilQuiet(20, 200);  // drain what was under way
  EXPECT_TRUE(SentWhilePumping(1, 200).empty());
  f->RzPageControl1->setCurrentIndex(1);
  EXPECT_EQ(SentWhilePumping(1, 1000).size(), 1u);
  f->SetCheckForTest(f->CheckBox5, false);
}

TEST_F(Terminal, AnIntervalThatIsNotANumberStartsNoTimer) {
  f->Edit1->setText("");
  EXPECT_EQ(f->Edit1->text(), "1");
  f->Edit1->setText("0");
  EXPECT_EQ(f->Edit1->text(), "1");
  f->Edit1->setText("00");
  f->SetCheckForTest(f->CheckBox5, true);
  EXPECT_FALSE(f->Timer1.isActive());
  EXPECT_FALSE(f->CheckBox5->isChecked());
  EXPECT_EQ(h.messages.size(), 1);
}

TEST_F(Terminal, ASendWhoseDeviceHasGoneClosesThePortAndSaysSo) {
  pty.HangUp();
  f->Memo2->setText("hello");
  f->BitBtn_TXClick();
  EXPECT_FALSE(f->PortOpen);
  EXPECT_EQ(f->BitBtn3->text(), "打开串口");
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_EQ(h.messages[0], "Vortana|当前串口号操作错误 ！\r请选择其它串口，或检查串口是否已经无效。");
  EXPECT_EQ(f->StatusText(1), "S:5");
}

TEST(TerminalDiscovery, ListsAreSortedAsTextAndFollowThePosition) {
  FormHarness h;
  QStringList devices = {"ttyUSB2", "ttyUSB10", "ttyACM0", "ttyUSB3", "ttyUSB4"};
  TMainForm& f = h.Create();
  int refills = 0;
  f.ListSerialPorts = [&] { ++refills; return devices; };
  f.USB_ChangeTimer();
  EXPECT_EQ(f.ComboBox1->itemText(0), "ttyACM0");
  EXPECT_EQ(f.ComboBox1->itemText(1), "ttyUSB10");
  EXPECT_EQ(f.ComboBox1->itemText(2), "ttyUSB2");
  EXPECT_EQ(f.ComboBox6->count(), 5);
  f.ComboBox1->setCurrentIndex(4);
  devices = {"ttyUSB0", "ttyUSB1"};
  f.USB_ChangeTimer();
  EXPECT_EQ(f.ComboBox1->currentText(), "ttyUSB1");
  EXPECT_EQ(f.ComboBox6->currentIndex(), 1);
  // No device at all: the lists keep what they had.
  devices.clear();
  f.USB_ChangeTimer();
  EXPECT_EQ(f.ComboBox1->count(), 2);
  // A burst of device changes gives one refill about a second later.
  devices = {"ttyUSB9"};
  refills = 0;
  f.WMDeviceChange(7);
  PumpFor(300);
  f.WMDeviceChange(7);
  f.WMDeviceChange(3);  // not "device nodes changed"
  f.WMDeviceChange(7);
  PumpFor(500);
  EXPECT_EQ(refills, 0);
  PumpUntil([&] { return refills > 0; }, 1500);
  PumpFor(300);
  EXPECT_EQ(refills, 1);
  EXPECT_EQ(f.ComboBox1->currentText(), "ttyUSB9");
}
