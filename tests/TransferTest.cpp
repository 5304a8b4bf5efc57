// vortana-term's XMODEM/YMODEM against lrzsz (sx, rx, sb, rb) as the other
// side, over socat pseudo-terminal pairs, and over a relay that damages bytes.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <poll.h>
#include <random>
#include <signal.h>
#include <thread>
#include <unistd.h>

#include "TransferPeers.h"
#include "support/Pty.h"
#include "term/TermOptions.h"

namespace {

bool Have(const char* tool) { return !QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(); }

#define NEED_PEERS()                                                          \
  if (!Have("sx") || !Have("rb") || !Have("socat")) GTEST_SKIP() << "lrzsz or socat missing"

// A socat pty for our side (dir/a) with the lrzsz command behind it on a
// socket pair. The command starts before we open the port, as a board's
// boot loader would: its first 'C' or NAK is already waiting when we come.
struct SocatPeer {
  QProcess socat;
  QString pty;
  SocatPeer(const QTemporaryDir& dir, const QString& workDir, const QString& command) : pty(dir.filePath("a")) {
    socat.setWorkingDirectory(workDir);
    socat.start("socat", {"pty,raw,echo=0,link=" + pty, "SYSTEM:exec " + command + " 2>/dev/null"});
    for (int i = 0; i < 250 && !QFile::exists(pty); ++i) QThread::msleep(20);
  }
  ~SocatPeer() {
    if (!socat.waitForFinished(3000)) socat.kill();
    socat.waitForFinished();
  }
};

struct Result {
  int code = -1;
  QString lastLine;
};

Result RunTerm(const QStringList& args, std::function<void(QProcess&)> during = {}) {
  QProcess t;
  t.start(VORTANA_TERM_PATH, args);
  if (during) during(t);
  t.waitForFinished(120000);
  Result r;
  r.code = t.exitStatus() == QProcess::NormalExit ? t.exitCode() : -1;
  const QStringList lines = QString::fromUtf8(t.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
  r.lastLine = lines.isEmpty() ? QString() : lines.last();
  return r;
}

TEST(TransferTest, OptionsNameOneTransferAndRefuseWhatDoesNotFit) {
  auto parse = [](const char* line) { return ParseTermOptions(QString::fromLatin1(line).split(' ')); };
  TermOptions o = parse("-p ttyUSB0 --send-ymodem a.bin b.hex --1k");
  ASSERT_EQ(o.mode, TermOptions::Mode::Transfer) << o.error.toStdString();
  EXPECT_EQ(o.transfer, TermOptions::Transfer::SendYmodem);
  EXPECT_EQ(o.files, (QStringList{"a.bin", "b.hex"}));
  EXPECT_TRUE(o.oneK);
  o = parse("-p ttyUSB0 --receive-xmodem out.bin --checksum");
  ASSERT_EQ(o.mode, TermOptions::Mode::Transfer);
  EXPECT_TRUE(o.checksum);
  for (const char* bad : {"-p ttyUSB0 --send-xmodem a --receive-ymodem d", "-p ttyUSB0 --send-xmodem",
                          "-p ttyUSB0 --send-xmodem a --checksum", "-p ttyUSB0 --receive-ymodem d --1k",
                          "-p ttyUSB0 --1k", "--send-xmodem a"})
    EXPECT_EQ(parse(bad).mode, TermOptions::Mode::UsageError) << bad;
}

// 1 MB once per protocol and direction; the small sizes sit on the block edges.
const qsizetype kSizes[] = {1, 128, 1023, 1025, 1024 * 1024};
constexpr qsizetype kBig = 1024 * 1024;

TEST(TransferTest, YmodemBothWaysKeepsEveryFileExactly) {
  NEED_PEERS();
  for (qsizetype n : kSizes) {
    SCOPED_TRACE(n);
    const QByteArray data = Random(n, static_cast<unsigned>(n));
    {  // we send, rb receives
      QTemporaryDir dir;
      QDir(dir.path()).mkdir("in");
      Write(dir.filePath("f.bin"), data);
      SocatPeer peer(dir, dir.filePath("in"), "rb");
      const Result r = RunTerm({"-p", peer.pty, "-b", "921600", "--send-ymodem", dir.filePath("f.bin"), "--1k"});
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      peer.socat.waitForFinished(5000);
      EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
    }
    {  // sb sends two files, we receive
      QTemporaryDir dir;
      QDir(dir.path()).mkdir("in");
      Write(dir.filePath("f.bin"), data);
      Write(dir.filePath("g.txt"), "second\n");
      SocatPeer peer(dir, dir.path(), "sb -k f.bin g.txt");
      const Result r = RunTerm({"-p", peer.pty, "--receive-ymodem", dir.filePath("in")});
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
      EXPECT_EQ(Read(dir.filePath("in/g.txt")), "second\n");
    }
  }
}

// XMODEM carries no size: the receiver keeps whole blocks padded with SUB.
void ExpectPadded(const QByteArray& got, const QByteArray& data) {
  ASSERT_GE(got.size(), data.size());
  EXPECT_LT(got.size() - data.size(), 1024);
  EXPECT_TRUE(got.left(data.size()) == data);
  for (qsizetype i = data.size(); i < got.size(); ++i) ASSERT_EQ(got[i], '\x1A') << i;
}

TEST(TransferTest, XmodemBothWaysCrcChecksumAnd1K) {
  NEED_PEERS();
  for (qsizetype n : kSizes) {
    SCOPED_TRACE(n);
    const QByteArray data = Random(n, static_cast<unsigned>(n) + 1);
    {  // we send 1K blocks, rx asks for CRC
      QTemporaryDir dir;
      QDir(dir.path()).mkdir("in");
      Write(dir.filePath("f.bin"), data);
      SocatPeer peer(dir, dir.filePath("in"), "rx -c f.bin");
      const Result r = RunTerm({"-p", peer.pty, "--send-xmodem", dir.filePath("f.bin"), "--1k"});
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      peer.socat.waitForFinished(5000);
      ExpectPadded(Read(dir.filePath("in/f.bin")), data);
    }
    for (bool checksum : {false, true}) {  // sx sends, we receive
      if (checksum && n == kBig) continue;
      QTemporaryDir dir;
      Write(dir.filePath("f.bin"), data);
      SocatPeer peer(dir, dir.path(), "sx f.bin");
      QStringList args{"-p", peer.pty, "--receive-xmodem", dir.filePath("got.bin")};
      if (checksum) args << "--checksum";
      const Result r = RunTerm(args);
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      ExpectPadded(Read(dir.filePath("got.bin")), data);
    }
  }
}

// A receiver asks once and then waits its full retry time: a 'C' that was on
// the line before we opened the port must start the transfer at once.
TEST(TransferTest, AStartSentBeforeWeOpenedIsAnswered) {
  QTemporaryDir dir;
  Write(dir.filePath("f.bin"), "x");
  PtyPair line;
  line.Write(std::string("C"));
  QProcess t;
  t.start(VORTANA_TERM_PATH, {"-p", QString::fromStdString(line.slavePath()), "--send-xmodem", dir.filePath("f.bin")});
  const std::vector<uint8_t> block = line.Read(133, 5000);
  ASSERT_EQ(block.size(), 133u);
  EXPECT_EQ(block[0], 0x01);
  EXPECT_EQ(block[3], 'x');
  line.Write(std::string("\x06"));                   // ACK: EOT follows
  EXPECT_EQ(line.Read(1, 5000), std::vector<uint8_t>{0x04});
  line.Write(std::string("\x06"));
  ASSERT_TRUE(t.waitForFinished(5000));
  EXPECT_EQ(t.exitCode(), 0);
}

TEST(TransferTest, NoisyLineStillDeliversBothWays) {
  NEED_PEERS();
  // Twenty 1K blocks with a damaged byte in about every third: each repair
  // waits on the peer's own time-outs, so more data only costs time.
  const QByteArray data = Random(20000, 5);
  QTemporaryDir dir;
  QDir(dir.path()).mkdir("in");
  Write(dir.filePath("f.bin"), data);
  {  // we send over the noise, rb receives
    PtyPair ours;
    LrzszPeer peer(dir.filePath("in"), {"rb"});
    PeerRelay relay(ours.master(), peer.fd(), 3000);
    const Result r = RunTerm({"-p", QString::fromStdString(ours.slavePath()), "--send-ymodem", dir.filePath("f.bin"), "--1k"});
    EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
    EXPECT_EQ(peer.Wait(20000), 0);
    EXPECT_GT(relay.damaged(), 0);
    EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
  }
  {  // sb sends over the noise, we receive
    QDir(dir.filePath("in")).removeRecursively();
    QDir(dir.path()).mkdir("in");
    PtyPair ours;
    LrzszPeer peer(dir.path(), {"sb", "-k", "f.bin"});
    PeerRelay relay(ours.master(), peer.fd(), 3000);
    const Result r = RunTerm({"-p", QString::fromStdString(ours.slavePath()), "--receive-ymodem", dir.filePath("in")});
    EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
    peer.Wait(20000);
    EXPECT_GT(relay.damaged(), 0);
    EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
  }
}

// Both cancels come after data has flowed: the relay holds the line after
// block 0 and 99 whole 1K blocks (and the ACK of the last), the one side is
// stopped there, and the other side then sees the CANs where block 100
// would start. lrzsz drops what arrives with a block, so CANs right behind
// one would go unseen.
TEST(TransferTest, CancelFromEitherSideEndsWithItsCause) {
  NEED_PEERS();
  const QByteArray data = Random(kBig, 6);
  constexpr int64_t kHeld = 133 + 99 * 1029;
  auto waitHeld = [](PeerRelay& relay) {
    for (int i = 0; i < 1000 && !relay.holding(); ++i) QThread::msleep(10);
    return relay.holding();
  };
  {  // sb gives up part way: SIGINT makes it send its CANs
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("in");
    Write(dir.filePath("f.bin"), data);
    PtyPair ours;
    LrzszPeer peer(dir.path(), {"sb", "-k", "f.bin"});
    PeerRelay relay(ours.master(), peer.fd());
    relay.HoldAfter(1, kHeld);
    const Result r = RunTerm({"-p", QString::fromStdString(ours.slavePath()), "--receive-ymodem", dir.filePath("in")},
                             [&](QProcess&) {
                               ASSERT_TRUE(waitHeld(relay));
                               peer.Signal(SIGINT);
                               peer.Wait(5000);
                               relay.Release();
                             });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.lastLine, "对方取消了传输");
    EXPECT_FALSE(QFile::exists(dir.filePath("in/f.bin")));
  }
  {  // we give up part way: rb is left without a whole file
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("in");
    Write(dir.filePath("f.bin"), data);
    PtyPair ours;
    LrzszPeer peer(dir.filePath("in"), {"rb"});
    PeerRelay relay(ours.master(), peer.fd());
    relay.HoldAfter(0, kHeld);
    const Result r = RunTerm({"-p", QString::fromStdString(ours.slavePath()), "--send-ymodem", dir.filePath("f.bin"), "--1k"},
                             [&](QProcess& t) {
                               ASSERT_TRUE(waitHeld(relay));
                               ::kill(static_cast<pid_t>(t.processId()), SIGINT);
                               t.waitForFinished(5000);
                               relay.Release();
                             });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.lastLine, "已取消传输");
    EXPECT_GT(peer.Wait(5000), 0);  // rb saw the CANs: no waiting out its retries
    EXPECT_NE(Read(dir.filePath("in/f.bin")), data);
  }
}

}  // namespace
