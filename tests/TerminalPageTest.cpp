// The terminal page end to end through a pseudo-terminal: what arrives is
// stored, counted and shown; what is sent arrives byte for byte.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>

#include <sys/ioctl.h>
#include <thread>

#include "support/RecordingSerialPlatform.h"
#include "app/ModemLamps.h"
#include "app/TerminalOptions.h"

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
  // Hands bytes to the receive handler in the driver's block size, as a
  // fast stream would arrive.
  void Stream(const Bytes& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 1024)
      f->ComDriverReceiveData(f->ComDriver_, bytes.data() + at, static_cast<int32_t>(std::min<size_t>(1024, bytes.size() - at)));
  }
  void Key(QWidget* w, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, mods);
    QCoreApplication::sendEvent(w, &e);
  }
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

// Another page's text replaces the area, but coming back shows what was
// received at once, and the save writes it, not the page text.
TEST_F(Terminal, ComingBackToTheTerminalShowsAndSavesTheStoreNotThePageText) {
  f->RzPageControl1->setCurrentIndex(2);
  f->RzPageControl1->setCurrentIndex(1);
  EXPECT_EQ(f->Memo1->toPlainText(), "接收区\r\nhttp://www.vortana.example");  // nothing received yet
  Arrive({'a', 'b'});
  f->RzPageControl1->setCurrentIndex(0);
  EXPECT_TRUE(f->Memo1->toPlainText().startsWith("目前版本支持MCU设备:"));
  pty.Write(Bytes{'z'});  // arrives while the ISP page is shown: dropped
  PumpFor(150);
  EXPECT_EQ(f->ReceiveCounter, 2);
  f->RzPageControl1->setCurrentIndex(1);
  EXPECT_EQ(f->Memo1->toPlainText(), "ab");
  f->SetCheckForTest(f->CheckHexRXD, true);
  f->RzPageControl1->setCurrentIndex(3);
  f->RzPageControl1->setCurrentIndex(1);
  EXPECT_EQ(f->Memo1->toPlainText(), "61 62 ");
  f->SetCheckForTest(f->CheckHexRXD, false);
  // A log written into the area while the terminal is shown (a session's
  // lines) is not what the save writes.
  f->AddLog("上载完成！");
  QTemporaryDir dir;
  f->ChooseSaveFile = [&](const QString&, const QString&, const QString&) { return dir.path() + "/rx"; };
  f->BitBtn9Click();
  QFile saved(dir.path() + "/rx.Txt");
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(), QByteArray("ab"));
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

// ---- Selection, find, scroll lock, arrival times, encodings, log, lamps ----

Bytes Lines(int count, const char* word = "line") {
  Bytes out;
  for (int i = 0; i < count; ++i) {
    const std::string l = std::string(word) + " " + std::to_string(i) + "\r\n";
    out.insert(out.end(), l.begin(), l.end());
  }
  return out;
}

TEST_F(Terminal, SelectionIsCopiedAndWithoutOneEverything) {
  Arrive({'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\r', '\n', 's', 'e', 'c'});
  OutputView* v = f->Memo1;
  v->setFocus();
  Key(v, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "hello world\r\nsec");
  // Shift and the movement keys select from the top of the view.
  Key(v, Qt::Key_End, Qt::ShiftModifier);
  EXPECT_EQ(v->selectedText(), "hello world");
  Key(v, Qt::Key_Right, Qt::ShiftModifier);
  Key(v, Qt::Key_Right, Qt::ShiftModifier);
  Key(v, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "hello world\r\ns");
  // The mouse: press on the second word, drag to its end.
  const QFontMetrics fm(v->font());
  QMouseEvent press2(QEvent::MouseButtonPress, QPointF(2 + fm.horizontalAdvance("hello ") + 1, 3), QPointF(),
                     Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QMouseEvent drag(QEvent::MouseMove, QPointF(2 + fm.horizontalAdvance("hello world") + 1, 3), QPointF(), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(v->viewport(), &press2);
  QCoreApplication::sendEvent(v->viewport(), &drag);
  EXPECT_EQ(v->selectedText(), "world");
  // Ctrl+A selects all; new bytes leave the selection where it was.
  Key(v, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(v->selectedText(), "hello world\r\nsec");
  f->SetCheckForTest(f->CheckHexRXD, true);
  EXPECT_FALSE(v->hasSelection());
  v->select({0, 0}, {0, 5});
  EXPECT_EQ(v->selectedText(), "68 65");
}

TEST_F(Terminal, FindCountsAndGoesRoundInGbkAndUtf8WithACharacterSplitAcrossReads) {
  for (TextEncoding e : {TextEncoding::Gbk, TextEncoding::Utf8}) {
    f->BitBtn5Click();
    f->Terminal->SetEncoding(e);
    const QByteArray word = EncodeText(QStringLiteral("温度"), e);
    Stream(Lines(2000));
    Arrive(Bytes(word.begin(), word.begin() + 1));  // the first character arrives in two reads
    Arrive(Bytes(word.begin() + 1, word.end()));
    Stream(Lines(2000));
    Arrive(Bytes(word.begin(), word.end()));
    OutputView* v = f->Memo1;
    v->setFocus();
    Key(v, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(v->findBarVisible());
    v->setFindText(QStringLiteral("温度"));
    EXPECT_EQ(v->countMatchesNow(), 2);
    v->scrollToRow(0);
    v->clearSelection();
    ASSERT_TRUE(v->findNext());
    EXPECT_EQ(v->selectedText(), QStringLiteral("温度"));
    ASSERT_TRUE(v->findNext());
    ASSERT_TRUE(v->findNext());
    EXPECT_TRUE(v->findStatus().contains(QStringLiteral("已从头开始"))) << v->findStatus().toStdString();
    EXPECT_TRUE(v->findStatus().contains(QStringLiteral("共 2 处")));
    // In hexadecimal the bytes are found as they show.
    f->SetCheckForTest(f->CheckHexRXD, true);
    const QString hex = e == TextEncoding::Gbk ? QStringLiteral("CE C2 B6 C8") : QStringLiteral("E6 B8 A9 E5 BA A6");
    v->setFindText(hex.toLower());
    EXPECT_EQ(v->countMatchesNow(), 2);
    ASSERT_TRUE(v->findPrevious());
    EXPECT_EQ(v->selectedText(), hex);
    v->setFindText(QStringLiteral("not there"));
    EXPECT_FALSE(v->findNext());
    EXPECT_TRUE(v->findStatus().contains(QStringLiteral("未找到")));
    Key(v->findChild<QLineEdit*>(), Qt::Key_Escape);
    EXPECT_FALSE(v->findBarVisible());
    f->SetCheckForTest(f->CheckHexRXD, false);
  }
}

TEST_F(Terminal, ScrollLockKeepsTheViewWhileDataArrivesAndOffJumpsToTheEnd) {
  Stream(Lines(3000));
  OutputView* v = f->Memo1;
  v->scrollToRow(100);
  const QString shown = v->source()->Row(100);
  f->Terminal->ScrollLockAction()->trigger();
  ASSERT_TRUE(f->Terminal->ScrollLock());
  const int32_t before = f->ReceiveCounter;
  Stream(Bytes(100 * 1024, 'z'));
  EXPECT_EQ(f->ReceiveCounter, before + 100 * 1024);
  EXPECT_EQ(f->StatusText(2), QStringLiteral("R:%1").arg(before + 100 * 1024));
  EXPECT_EQ(v->firstVisibleRow(), 100);
  EXPECT_EQ(v->source()->Row(100), shown);
  // A switch of display keeps the same bytes in view.
  f->SetCheckForTest(f->CheckHexRXD, true);
  EXPECT_TRUE(v->source()->Row(v->firstVisibleRow()).contains(QStringLiteral("6C 69 6E 65")) ||
              v->source()->Row(v->firstVisibleRow() + 1).contains(QStringLiteral("6C 69 6E 65")));
  EXPECT_LT(v->firstVisibleRow(), v->verticalScrollBar()->maximum());
  f->SetCheckForTest(f->CheckHexRXD, false);
  EXPECT_NEAR(v->firstVisibleRow(), 100, 1);  // the row that holds the first byte of the hexadecimal row
  f->Terminal->ScrollLockAction()->trigger();
  EXPECT_FALSE(f->Terminal->ScrollLock());
  Arrive({'!'});
  EXPECT_EQ(v->firstVisibleRow(), v->verticalScrollBar()->maximum());
}

TEST_F(Terminal, ArrivalTimesShowAtLineStartsOnlyAndTheSaveWritesWhatIsShown) {
  uint32_t now = (9 * 3600 + 30 * 60) * 1000;  // 09:30:00.000
  f->Terminal->Clock = [&] { return now; };
  f->Terminal->TimestampAction()->trigger();
  Arrive({'a', 'b', '\r', '\n', 'c'});
  now += 1500;
  Arrive({'d', '\r', '\n'});
  now += 20;
  Arrive({'e'});
  EXPECT_EQ(f->Memo1->toPlainText(), "[09:30:00.000] ab\r\n[09:30:00.000] cd\r\n[09:30:01.520] e");
  f->SetCheckForTest(f->CheckHexRXD, true);
  EXPECT_EQ(f->Memo1->toPlainText(),
            "[09:30:00.000] 61 62 0D 0A 63 \r\n[09:30:01.500] 64 0D 0A \r\n[09:30:01.520] 65 ");
  QTemporaryDir dir;
  f->ChooseSaveFile = [&](const QString&, const QString&, const QString&) { return dir.path() + "/rx.Txt"; };
  f->BitBtn9Click();
  QFile saved(dir.path() + "/rx.Txt");
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(), f->Memo1->toPlainText().toLatin1());
  f->Terminal->TimestampAction()->trigger();
  EXPECT_EQ(f->Memo1->toPlainText(), "61 62 0D 0A 63 64 0D 0A 65 ");
}

TEST_F(Terminal, Utf8IsShownSentAndCounted) {
  f->Terminal->SetEncoding(TextEncoding::Utf8);
  Arrive({0xE4, 0xB8});
  Arrive({0xAD, 'x'});
  EXPECT_EQ(f->Memo1->toPlainText(), QStringLiteral("中x"));
  f->Memo2->setText(QStringLiteral("中"));
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(3), (Bytes{0xE4, 0xB8, 0xAD}));
  EXPECT_EQ(f->StatusText(1), "S:3");
  // Back to GBK: the same history shows decoded the other way.
  f->Terminal->SetEncoding(TextEncoding::Gbk);
  EXPECT_NE(f->Memo1->toPlainText(), QStringLiteral("中x"));
}

TEST_F(Terminal, TheChosenLineEndingGoesOnTheWire) {
  f->Memo2->setText("a\r\nb");
  f->SetCheckForTest(f->CheckBox7, true);
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(6), (Bytes{'a', 0x0D, 0x0A, 'b', 0x0D, 0x0A}));
  f->Terminal->SetLineEnding(LineEnding::Lf);
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(4), (Bytes{'a', 0x0A, 'b', 0x0A}));
  f->Terminal->SetLineEnding(LineEnding::Cr);
  f->BitBtn_TXClick();
  EXPECT_EQ(Sent(4), (Bytes{'a', 0x0D, 'b', 0x0D}));
  EXPECT_EQ(f->StatusText(1), "S:10");  // 4, 3 and 3: the appended break is not counted
  EXPECT_TRUE(pty.ReadUntilQuiet(50, 200).empty());
}

TEST_F(Terminal, TheLogHoldsEveryByteFromTheFarEndAcrossAnAutomaticClear) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/board.log";
  Arrive({'b', 'e', 'f', 'o', 'r', 'e'});  // not logged: the log starts now
  ASSERT_TRUE(f->Terminal->StartLog(path));
  EXPECT_TRUE(f->StatusText(0).contains(path));
  Bytes sent;
  auto send = [&](const Bytes& b) {
    sent.insert(sent.end(), b.begin(), b.end());
    Arrive(b);
  };
  send({'o', 'n', 'e', 0x00, 0xFF});
  f->ReceiveCounter = 32505850;
  const Bytes over(10, 'x');  // the receive area clears itself on this one
  sent.insert(sent.end(), over.begin(), over.end());
  pty.Write(over);
  ASSERT_TRUE(PumpUntil([&] { return f->ReceiveCounter == 0; }, 3000));
  send({'t', 'w', 'o'});
  // Bytes that arrive while another page is shown are the port's too.
  f->RzPageControl1->setCurrentIndex(0);
  pty.Write(Bytes{'3'});
  sent.push_back('3');
  PumpFor(150);
  f->RzPageControl1->setCurrentIndex(1);
  f->Terminal->StopLog();
  Arrive({'a', 'f', 't', 'e', 'r'});
  QFile log(path);
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  const QByteArray got = log.readAll();
  EXPECT_EQ(Bytes(got.begin(), got.end()), sent);
  // Closing the port ends the log too.
  ASSERT_TRUE(f->Terminal->StartLog(path));
  f->BitBtn3Click();
  PumpUntil([&] { return !f->Terminal->Logging(); }, 1000);
  EXPECT_FALSE(f->Terminal->Logging());
}

TEST_F(Terminal, AFailedLogWriteStopsTheLogWithAMessageAndTheTerminalGoesOn) {
  ASSERT_TRUE(f->Terminal->StartLog("/dev/full"));
  Arrive({'a', 'b'});
  EXPECT_FALSE(f->Terminal->Logging());
  PumpUntil([&] { return !h.messages.isEmpty(); }, 1000);
  ASSERT_EQ(h.messages.size(), 1);
  EXPECT_TRUE(h.messages[0].contains("/dev/full"));
  Arrive({'c'});
  EXPECT_EQ(f->Memo1->toPlainText(), "abc");
  EXPECT_TRUE(f->PortOpen);
  // A window closed while it logs lets go of the file.
  QTemporaryDir dir;
  ASSERT_TRUE(f->Terminal->StartLog(dir.path() + "/last.log"));
  h.form.reset();
  f = nullptr;
}

TEST_F(Terminal, ModemLampsFollowTheLinesAndAreGreyWhenTheyCannotBeRead) {
  // The pseudo-terminal of the main port has no modem lines.
  PumpFor(120);
  EXPECT_EQ(f->Terminal->Lamps()->StateText(), "CTS- DSR- DCD- RI-");
  RecordingSerialPlatform rec(nullptr);
  TKRNCommDriver driver(nullptr, &rec);
  rec.modemLines = TIOCM_CTS | TIOCM_CD;
  driver.PortName = "ttyFake0";
  ASSERT_TRUE(driver.Connect());
  f->Terminal->WatchDriver(&driver);
  EXPECT_TRUE(PumpUntil([&] { return f->Terminal->Lamps()->StateText() == "CTS1 DSR0 DCD1 RI0"; }, 1000));
  rec.modemLines = TIOCM_DSR | TIOCM_RI | TIOCM_DTR;
  EXPECT_TRUE(PumpUntil([&] { return f->Terminal->Lamps()->StateText() == "CTS0 DSR1 DCD0 RI1"; }, 1000));
  EXPECT_NE(std::find(rec.calls.begin(), rec.calls.end(), "MODEM"), rec.calls.end());
  rec.modemLines = -1;
  EXPECT_TRUE(PumpUntil([&] { return f->Terminal->Lamps()->StateText() == "CTS- DSR- DCD- RI-"; }, 1000));
  rec.modemLines = TIOCM_CTS;
  driver.Disconnect();
  PumpFor(150);
  EXPECT_EQ(f->Terminal->Lamps()->StateText(), "CTS- DSR- DCD- RI-");
  f->Terminal->WatchDriver(f->ComDriver_);
}

TEST(TerminalSettings, APreviousVersionsFileReadsWithEveryNewChoiceAtItsDefault) {
  FormHarness h;
  h.WriteSettings(
      "\"Model\"=dword:00000001\n\"Port\"=dword:00000000\n\"BaudRate\"=dword:0000000c\n\"Data\"=dword:00000003\n"
      "\"Stop\"=dword:00000000\n\"Parity\"=dword:00000000\n\"HexRXD\"=dword:00000001\n\"TimeTXD_ch\"=dword:00000000\n"
      "\"TimeTXD_v\"=\"1000\"\n\"HexTXD\"=dword:00000000\n\"SendNewL\"=dword:00000001\n\"KeySend\"=dword:00000000\n"
      "\"SendClear\"=dword:00000000\n\"SendStr\"=\"hi\"\n\"MCUType\"=dword:00000006\n\"12T\"=\"12T\"\n"
      "\"AutoISP\"=dword:00000000\n\"AutoRST\"=dword:00000001\n\"FileName\"=\"/tmp/x.bin\"\n\"Delay\"=\"5\"\n"
      "\"Delay1\"=\"500\"\n");
  {
    TMainForm& f = h.Create(false);
    EXPECT_TRUE(f.CheckHexRXD->isChecked());
    EXPECT_FALSE(f.Terminal->ScrollLock());
    EXPECT_FALSE(f.Terminal->Timestamps());
    EXPECT_EQ(f.Terminal->Encoding(), TextEncoding::Gbk);
    EXPECT_EQ(f.Terminal->LineEnd(), LineEnding::CrLf);
    // Chosen now, kept at close, after every earlier value.
    f.Terminal->SetScrollLock(true);
    f.Terminal->SetTimestamps(true);
    f.Terminal->SetEncoding(TextEncoding::Utf8);
    f.Terminal->SetLineEnding(LineEnding::Cr);
    f.close();
  }
  const QStringList names = h.SettingsNames();
  const QStringList mine = {"ScrollLock", "TimeStamp", "Encoding", "LineEnd", "LogFile"};
  ASSERT_GE(names.size(), 26);
  EXPECT_EQ(names.mid(names.indexOf("ScrollLock"), 5), mine);
  EXPECT_GT(names.indexOf("ScrollLock"), names.indexOf("Delay1"));
  {
    h.form.reset();
    TMainForm& f = h.Create(false);
    EXPECT_TRUE(f.Terminal->ScrollLock());
    EXPECT_TRUE(f.Terminal->Timestamps());
    EXPECT_EQ(f.Terminal->Encoding(), TextEncoding::Utf8);
    EXPECT_EQ(f.Terminal->LineEnd(), LineEnding::Cr);
  }
  // Each is read on its own: one of the wrong type does not stop the others.
  SettingsStore store;
  ASSERT_TRUE(store.Open());
  store.WriteString("ScrollLock", "yes");
  store.WriteInteger("Encoding", 7);
  store.Save();
  h.form.reset();
  TMainForm& f = h.Create(false);
  EXPECT_FALSE(f.Terminal->ScrollLock());
  EXPECT_TRUE(f.Terminal->Timestamps());
  EXPECT_EQ(f.Terminal->Encoding(), TextEncoding::Gbk);
  EXPECT_EQ(f.Terminal->LineEnd(), LineEnding::Cr);
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
