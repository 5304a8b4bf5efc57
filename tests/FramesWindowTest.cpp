// The frame view, send list and Modbus master windows, through a
// pseudo-terminal on the main port.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>

#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"
#include "terminal/Checksum.h"
#include "app/FramePanels.h"
#include "app/FrameWindow.h"
#include "app/ModbusWindow.h"
#include "app/SendListWindow.h"
#include "app/TerminalOptions.h"

#include <QCheckBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QKeyEvent>
#include <QShortcut>
#include <QApplication>

namespace {
using Bytes = std::vector<uint8_t>;

struct Frames : ::testing::Test {
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
  void Arrive(const Bytes& bytes) {
    const int32_t want = f->ReceiveCounter + static_cast<int32_t>(bytes.size());
    pty.Write(bytes);
    PumpUntil([&] { return f->ReceiveCounter >= want; }, 3000);
  }
  static QString Cell(QTableView* t, int row, int col) {
    return t->model()->index(row, col).data().toString();
  }
};

Bytes Modbus(Bytes b) { return AppendChecksum({ChecksumKind::Crc16Modbus, true, 0, 0}, b); }

TEST_F(Frames, ReceivedFramesShowWithVerdictsAreFoundAndClearWithTheArea) {
  FrameWindow* w = f->Terminal->Panels().ShowFrames();
  w->RuleEdit()->setText("end=0d0a");
  w->ChecksumBox()->setCurrentIndex(w->ChecksumBox()->findData(static_cast<int>(ChecksumKind::Sum8)));
  ASSERT_TRUE(w->ApplyChoices());
  Arrive({0x01, 0x02, 0x03, 0x0D, 0x0A});
  Arrive({'h', 'i', 0x0D});
  Arrive({0x0A, 0x10, 0x20});
  PumpFor(150);
  QTableView* t = w->Table();
  ASSERT_EQ(t->model()->rowCount(), 2);
  EXPECT_EQ(Cell(t, 0, 1), "5");
  EXPECT_EQ(Cell(t, 0, 2), "01 02 03 0D 0A");
  EXPECT_EQ(Cell(t, 1, 3), "hi..");
  // Sum over all but the last byte, against the last byte before CR LF:
  // set the tail so the terminator is left out.
  w->findChildren<QSpinBox*>().at(1)->setValue(2);
  EXPECT_EQ(Cell(t, 0, 4), QString::fromUtf8("正确"));   // 01+02 = 03
  EXPECT_EQ(Cell(t, 1, 4), QString::fromUtf8("错误"));   // 'h' != 'i'
  EXPECT_EQ(t->model()->index(1, 4).data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
  EXPECT_NE(t->model()->index(0, 4).data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));

  w->FindEdit()->setText("68 69");
  EXPECT_TRUE(w->FindNext());
  EXPECT_EQ(t->currentIndex().row(), 1);

  QTemporaryDir dir;
  ASSERT_TRUE(w->SaveCsv(dir.filePath("f.csv")));
  QFile csv(dir.filePath("f.csv"));
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  EXPECT_EQ(csv.readAll().count('\n'), 3);  // header and two frames

  w->grab().save("/tmp/frames-view.png");
  f->BitBtn5Click();  // clearing the receive area clears the frames
  PumpFor(150);
  EXPECT_EQ(t->model()->rowCount(), 0);
  Arrive({0x0D, 0x0A});  // the pending 10 20 went with the history
  PumpFor(150);
  ASSERT_EQ(t->model()->rowCount(), 1);
  EXPECT_EQ(Cell(t, 0, 2), "0D 0A");
}

TEST_F(Frames, SilenceRuleEndsTheLastFrameWithoutMoreBytes) {
  FrameWindow* w = f->Terminal->Panels().ShowFrames();
  w->RuleEdit()->setText("gap=30ms");
  ASSERT_TRUE(w->ApplyChoices());
  Arrive(Modbus({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
  PumpUntil([&] { return w->Table()->model()->rowCount() == 1; }, 1000);
  PumpFor(150);
  ASSERT_EQ(w->Table()->model()->rowCount(), 1);
  EXPECT_EQ(Cell(w->Table(), 0, 1), "8");
  // A rule that does not parse is named and changes nothing.
  w->RuleEdit()->setText("gap=");
  EXPECT_FALSE(w->ApplyChoices());
  EXPECT_EQ(w->Table()->model()->rowCount(), 1);
}

TEST_F(Frames, SendListSendsByClickShortcutAndSequenceAndIsKeptInTheSettings) {
  SendListWindow* w = f->Terminal->Panels().ShowSendList();
  w->AddEntry();
  w->NameEdit()->setText(QString::fromUtf8("读寄存器"));
  w->NameEdit()->textEdited(w->NameEdit()->text());
  w->DataEdit()->setPlainText("01 03 00 00 00 0A");
  w->ChecksumBox()->setCurrentIndex(w->ChecksumBox()->findData(static_cast<int>(ChecksumKind::Crc16Modbus)));
  w->OrderBox()->setCurrentIndex(1);
  EXPECT_EQ(w->Preview()->text(), "01 03 00 00 00 0A C5 CD");
  ASSERT_TRUE(w->SendEntryAt(0));
  EXPECT_EQ(pty.Read(8, 2000), Modbus({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}));
  EXPECT_EQ(f->StatusText(1), "S:8");

  w->AddEntry();
  w->HexBox()->setChecked(false);
  w->DataEdit()->setPlainText("AT\n");
  f->Terminal->Panels().SendList()[1].shortcut = "Ctrl+Alt+2";
  f->Terminal->Panels().SendList()[1].delayMs = 20;
  f->Terminal->Panels().RebuildShortcuts();
  // The offscreen platform delivers no key to the shortcut map: the
  // window's shortcut with that key is fired as the map would.
  QShortcut* hit = nullptr;
  for (QShortcut* s : f->findChildren<QShortcut*>())
    if (s->key() == QKeySequence("Ctrl+Alt+2") && s->context() == Qt::ApplicationShortcut) hit = s;
  ASSERT_NE(hit, nullptr);
  emit hit->activated();
  EXPECT_EQ(pty.Read(4, 2000), Bytes({'A', 'T', '\r', '\n'}));

  // Once in order with the delays, then round and round until stopped.
  w->StartSequence();
  PumpUntil([&] { return !w->SequenceRunning(); }, 2000);
  EXPECT_EQ(pty.Read(12, 2000).size(), 12u);
  w->RepeatBox()->setChecked(true);
  w->StartSequence();
  PumpFor(400);
  EXPECT_TRUE(w->SequenceRunning());
  w->StopSequence();
  EXPECT_GE(pty.ReadUntilQuiet(150, 2000).size(), 2u * 12u);

  // A closed port stops a repeated sequence at once with the cause.
  f->BitBtn3Click();
  ASSERT_FALSE(f->PortOpen);
  w->StartSequence();
  EXPECT_FALSE(w->SequenceRunning());
  EXPECT_TRUE(w->StatusText().contains(QString::fromUtf8("串口未打开")));

  // Export, import (added after what is there), and the settings.
  QTemporaryDir dir;
  ASSERT_TRUE(w->Export(dir.filePath("list.json")));
  ASSERT_TRUE(w->Import(dir.filePath("list.json")));
  EXPECT_EQ(f->Terminal->Panels().SendList().size(), 4u);
  EXPECT_EQ(w->List()->count(), 4);
  QFile junk(dir.filePath("junk.json"));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write("not json");
  junk.close();
  EXPECT_FALSE(w->Import(dir.filePath("junk.json")));
  EXPECT_EQ(f->Terminal->Panels().SendList().size(), 4u);
  w->grab().save("/tmp/frames-sendlist.png");

  const auto kept = f->Terminal->Panels().SendList();
  f->FormClose();
  const QStringList names = FormHarness::SettingsNames();
  ASSERT_TRUE(names.contains("SendList"));
  EXPECT_EQ(names.indexOf("SendList"), names.size() - 1);  // after the values there before
  h.form.reset();
  TMainForm& again = h.Create();
  EXPECT_EQ(again.Terminal->Panels().SendList(), kept);
}

// A reply damaged on the line is named a CRC error, and a reply that comes
// in pieces with gaps between them is still one reply.
TEST_F(Frames, ModbusMasterNamesACrcErrorAndTakesAReplyInPieces) {
  ModbusWindow* w = f->Terminal->Panels().ShowModbus();
  w->SlaveBox()->setValue(3);
  w->CountBox()->setValue(2);
  ASSERT_TRUE(w->Read());
  EXPECT_EQ(pty.Read(8, 2000), Modbus({3, 3, 0, 0, 0, 2}));
  Bytes reply = Modbus({3, 3, 4, 0x12, 0x34, 0x56, 0x78});
  reply[4] ^= 0x01;
  pty.Write(reply);
  ASSERT_TRUE(PumpUntil([&] { return w->Completed() == 1; }, 2000));
  EXPECT_EQ(w->LastReply()->status, modbus::ReplyStatus::CrcError);
  EXPECT_TRUE(w->StatusText().contains("CRC"));

  ASSERT_TRUE(w->Read());
  pty.Read(8, 2000);
  const Bytes good = Modbus({3, 3, 4, 0x12, 0x34, 0x56, 0x78});
  pty.Write(Bytes(good.begin(), good.begin() + 3));
  PumpFor(60);
  pty.Write(Bytes(good.begin() + 3, good.end()));
  ASSERT_TRUE(PumpUntil([&] { return w->Completed() == 2; }, 2000));
  ASSERT_EQ(w->LastReply()->status, modbus::ReplyStatus::Ok);
  EXPECT_EQ(w->LastReply()->values, (std::vector<uint16_t>{0x1234, 0x5678}));
}

}  // namespace
