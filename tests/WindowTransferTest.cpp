// XMODEM/YMODEM from the terminal page, through a pty, against lrzsz: the
// files arrive byte for byte, the receive area stays still during a transfer
// and shows again after it, and a cancel reaches the other side.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <random>

#include "TransferPeers.h"
#include "app/FileTransfer.h"
#include "support/EventPump.h"
#include "support/FormHarness.h"
#include "support/Pty.h"

namespace {

bool HavePeers() {
  for (const char* tool : {"sx", "rx", "sb", "rb"})
    if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) return false;
  return true;
}

struct WindowTransfer : ::testing::Test {
  FormHarness h;
  PtyPair pty;
  QTemporaryDir dir;
  TMainForm* f = nullptr;
  FileTransfer* t = nullptr;
  int ended = 0;
  bool endedOk = false;

  void SetUp() override {
    if (!HavePeers()) GTEST_SKIP() << "lrzsz missing";
    h.RemoveSettings();
    f = &h.Create();
    f->ComboBox1->addItem(QString::fromStdString(pty.slavePath()));
    f->ComboBox1->setCurrentIndex(f->ComboBox1->count() - 1);
    f->RzPageControl1->setCurrentIndex(1);
    f->BitBtn3Click();
    ASSERT_TRUE(f->PortOpen);
    t = f->Transfers;
    t->Ended = [this](bool ok) {
      ++ended;
      endedOk = ok;
    };
    QDir(dir.path()).mkdir("in");
  }
  bool WaitEnd(int ms) { return PumpUntil([&] { return ended > 0; }, ms); }
  // The entry of the receive area's transfer menu with this text.
  QAction* Entry(QMenu& menu, const QString& text) {
    t->AddMenuEntries(&menu);
    for (QAction* a : menu.findChildren<QAction*>())
      if (a->text() == text) return a;
    return nullptr;
  }
  // The receive area takes bytes again: a line from the far side shows.
  void ExpectDisplayResumes() {
    PumpFor(100);
    const int32_t before = f->ReceiveCounter;
    pty.Write(std::string("after\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return f->ReceiveCounter == before + 7; }, 3000));
    EXPECT_TRUE(f->Memo1->toPlainText().endsWith("after\r\n"));
  }
};

TEST_F(WindowTransfer, FilesGoBothWaysByteForByteWhileTheReceiveAreaStaysStill) {
  const QByteArray data = Random(3000, 1);
  Write(dir.filePath("f.bin"), data);
  {  // YMODEM out through the menu entry; rb keeps the exact size
    LrzszPeer peer(dir.filePath("in"), {"rb"});
    PeerRelay relay(pty.master(), peer.fd());
    QMenu menu;
    QAction* send = Entry(menu, QStringLiteral("发送文件 (YMODEM)…"));
    ASSERT_NE(send, nullptr);
    t->ChoosePaths = [&](FileTransfer::Kind k) {
      EXPECT_EQ(k, FileTransfer::Kind::SendYmodem);
      return QStringList{dir.filePath("f.bin")};
    };
    send->trigger();
    ASSERT_TRUE(t->Running());
    EXPECT_TRUE(t->Window()->isVisible());
    ASSERT_TRUE(WaitEnd(20000));
    EXPECT_TRUE(endedOk) << t->Outcome().toStdString();
    EXPECT_EQ(t->Outcome(), "传输完成，3000 字节");
    EXPECT_EQ(t->CancelButton()->text(), "关闭");
    EXPECT_EQ(peer.Wait(5000), 0);
    EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
  }
  {  // XMODEM in with the additive checksum; sx pads the last block
    ended = 0;
    t->ChecksumAction()->setChecked(true);
    LrzszPeer peer(dir.path(), {"sx", "f.bin"});
    PeerRelay relay(pty.master(), peer.fd());
    ASSERT_TRUE(t->Start(FileTransfer::Kind::ReceiveXmodem, {dir.filePath("got.bin")}));
    ASSERT_TRUE(WaitEnd(20000));
    EXPECT_TRUE(endedOk) << t->Outcome().toStdString();
    EXPECT_EQ(peer.Wait(5000), 0);
    const QByteArray got = Read(dir.filePath("got.bin"));
    EXPECT_EQ(got.size(), 3072);
    EXPECT_TRUE(got.left(3000) == data);
  }
  // Every byte of both transfers went to them, none to the receive area.
  EXPECT_EQ(f->ReceiveCounter, 0);
  EXPECT_EQ(f->StatusText(2), "R:0");
  ExpectDisplayResumes();
}

TEST_F(WindowTransfer, CancelSendsCansAndTheCauseIsShownLast) {
  Write(dir.filePath("big.bin"), Random(1024 * 1024, 2));
  LrzszPeer peer(dir.filePath("in"), {"rb"});
  PeerRelay relay(pty.master(), peer.fd());
  // The line holds after block 0 and 99 whole 1K blocks and the ACK of the
  // last, so the CANs come part way and where rb looks for block 100.
  relay.HoldAfter(0, 133 + 99 * 1029);
  ASSERT_TRUE(t->Start(FileTransfer::Kind::SendYmodem, {dir.filePath("big.bin")}));
  ASSERT_TRUE(PumpUntil([&] { return relay.holding(); }, 10000));
  t->CancelButton()->click();
  EXPECT_EQ(ended, 1);
  EXPECT_FALSE(endedOk);
  EXPECT_FALSE(t->Running());
  EXPECT_EQ(t->Outcome(), "已取消传输");
  relay.Release();
  // rb gives up on the CANs rather than waiting out its retries.
  EXPECT_GT(peer.Wait(5000), 0);
  EXPECT_FALSE(Read(dir.filePath("in/big.bin")).size() == 1024 * 1024);
  ExpectDisplayResumes();
}

TEST_F(WindowTransfer, APortThatGoesAwayEndsTheTransferWithThatCause) {
  ASSERT_TRUE(t->Start(FileTransfer::Kind::ReceiveXmodem, {dir.filePath("x.bin")}));
  EXPECT_EQ(pty.Read(1, 3000), std::vector<uint8_t>{'C'});
  pty.HangUp();
  ASSERT_TRUE(WaitEnd(3000));
  EXPECT_FALSE(endedOk);
  EXPECT_EQ(t->Outcome(), "串口已断开，传输失败");
  EXPECT_FALSE(QFile::exists(dir.filePath("x.bin")));
}

TEST_F(WindowTransfer, NoTransferStartsOnAClosedPortOrWithoutAFolder) {
  ASSERT_FALSE(t->Start(FileTransfer::Kind::ReceiveYmodem, {dir.filePath("nowhere")}));
  EXPECT_TRUE(h.messages.last().contains(dir.filePath("nowhere"))) << h.messages.join('\n').toStdString();
  f->BitBtn3Click();
  ASSERT_FALSE(f->PortOpen);
  ASSERT_FALSE(t->Start(FileTransfer::Kind::ReceiveXmodem, {dir.filePath("x.bin")}));
  EXPECT_FALSE(t->Running());
  EXPECT_EQ(h.messages.last(), "Vortana|请先打开串口，再传输文件");
}

}  // namespace
