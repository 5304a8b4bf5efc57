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

#include "support/Pty.h"
#include "term/TermOptions.h"

namespace {

bool Have(const char* tool) { return !QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(); }

#define NEED_PEERS()                                                          \
  if (!Have("sx") || !Have("rb") || !Have("socat")) GTEST_SKIP() << "lrzsz or socat missing"

QByteArray Random(qsizetype n, unsigned seed) {
  std::mt19937 rng(seed);
  QByteArray d(n, Qt::Uninitialized);
  for (auto& c : d) c = static_cast<char>(rng());
  return d;
}

void Write(const QString& path, const QByteArray& d) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(d);
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// A socat pair: we open dir/a, the peer runs on dir/b.
struct SocatLine {
  QTemporaryDir dir;
  QProcess socat;
  SocatLine() {
    socat.start("socat", {"pty,raw,echo=0,link=" + dir.filePath("a"), "pty,raw,echo=0,link=" + dir.filePath("b")});
    for (int i = 0; i < 100 && !(QFile::exists(dir.filePath("a")) && QFile::exists(dir.filePath("b"))); ++i)
      QThread::msleep(20);
  }
  ~SocatLine() {
    socat.kill();
    socat.waitForFinished();
  }
};

// The peer: an lrzsz command with the line as standard input and output.
void StartPeer(QProcess& p, const QString& workDir, const QString& line, const QString& command) {
  p.setWorkingDirectory(workDir);
  p.start("bash", {"-c", "exec " + command + " < '" + line + "' > '" + line + "' 2>/dev/null"});
  ASSERT_TRUE(p.waitForStarted());
}

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

const qsizetype kSizes[] = {1, 128, 1023, 1025, 1024 * 1024};

TEST(TransferTest, YmodemBothWaysKeepsEveryFileExactly) {
  NEED_PEERS();
  for (qsizetype n : kSizes) {
    SCOPED_TRACE(n);
    const QByteArray data = Random(n, static_cast<unsigned>(n));
    {  // we send, rb receives
      SocatLine l;
      QDir(l.dir.path()).mkdir("in");
      Write(l.dir.filePath("f.bin"), data);
      QProcess peer;
      StartPeer(peer, l.dir.filePath("in"), l.dir.filePath("b"), "rb");
      const Result r = RunTerm({"-p", l.dir.filePath("a"), "-b", "921600", "--send-ymodem", l.dir.filePath("f.bin"), "--1k"});
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      peer.waitForFinished(10000);
      EXPECT_EQ(peer.exitCode(), 0);
      EXPECT_TRUE(Read(l.dir.filePath("in/f.bin")) == data);
    }
    {  // sb sends two files, we receive
      SocatLine l;
      QDir(l.dir.path()).mkdir("in");
      Write(l.dir.filePath("f.bin"), data);
      Write(l.dir.filePath("g.txt"), "second\n");
      QProcess peer;
      StartPeer(peer, l.dir.path(), l.dir.filePath("b"), "sb -k f.bin g.txt");
      const Result r = RunTerm({"-p", l.dir.filePath("a"), "--receive-ymodem", l.dir.filePath("in")});
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      peer.waitForFinished(10000);
      EXPECT_TRUE(Read(l.dir.filePath("in/f.bin")) == data);
      EXPECT_EQ(Read(l.dir.filePath("in/g.txt")), "second\n");
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
      SocatLine l;
      QDir(l.dir.path()).mkdir("in");
      Write(l.dir.filePath("f.bin"), data);
      QProcess peer;
      StartPeer(peer, l.dir.filePath("in"), l.dir.filePath("b"), "rx -c f.bin");
      const Result r = RunTerm({"-p", l.dir.filePath("a"), "--send-xmodem", l.dir.filePath("f.bin"), "--1k"});
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      peer.waitForFinished(10000);
      ExpectPadded(Read(l.dir.filePath("in/f.bin")), data);
    }
    for (bool checksum : {false, true}) {  // sx sends, we receive
      SocatLine l;
      Write(l.dir.filePath("f.bin"), data);
      QProcess peer;
      StartPeer(peer, l.dir.path(), l.dir.filePath("b"), "sx f.bin");
      QStringList args{"-p", l.dir.filePath("a"), "--receive-xmodem", l.dir.filePath("got.bin")};
      if (checksum) args << "--checksum";
      const Result r = RunTerm(args);
      EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
      peer.waitForFinished(10000);
      ExpectPadded(Read(l.dir.filePath("got.bin")), data);
    }
  }
}

// Copies between two pty masters, damaging or dropping about one byte in
// `every` in each direction.
class NoisyRelay {
 public:
  NoisyRelay(int a, int b, unsigned every) : a_(a), b_(b), every_(every), t_([this] { Loop(); }) {}
  ~NoisyRelay() {
    stop_ = true;
    t_.join();
  }
  int damaged() const { return damaged_; }

 private:
  void Loop() {
    std::mt19937 rng(99);
    while (!stop_) {
      pollfd p[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        uint8_t buf[4096];
        const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
        if (n <= 0) continue;
        std::vector<uint8_t> out;
        for (ssize_t k = 0; k < n; ++k) {
          const unsigned r = rng() % every_;
          if (r == 0) { ++damaged_; continue; }
          if (r == 1) { ++damaged_; buf[k] ^= static_cast<uint8_t>(1u << (rng() % 8)); }
          out.push_back(buf[k]);
        }
        const int to = i == 0 ? b_ : a_;
        for (size_t done = 0; done < out.size();) {
          const ssize_t w = ::write(to, out.data() + done, out.size() - done);
          if (w > 0) done += static_cast<size_t>(w);
          else { pollfd q{to, POLLOUT, 0}; ::poll(&q, 1, 20); }
        }
      }
    }
  }
  int a_, b_;
  unsigned every_;
  std::atomic<bool> stop_{false};
  std::atomic<int> damaged_{0};
  std::thread t_;
};

TEST(TransferTest, NoisyLineStillDeliversBothWays) {
  NEED_PEERS();
  // Forty 1K blocks with a damaged byte in about every fourth: each repair
  // waits on the peer's own time-outs, so more data only costs time.
  const QByteArray data = Random(40000, 5);
  QTemporaryDir dir;
  QDir(dir.path()).mkdir("in");
  Write(dir.filePath("f.bin"), data);
  {  // we send over the noise, rb receives
    PtyPair ours, theirs;
    NoisyRelay relay(ours.master(), theirs.master(), 4000);
    QProcess peer;
    StartPeer(peer, dir.filePath("in"), QString::fromStdString(theirs.slavePath()), "rb");
    const Result r = RunTerm({"-p", QString::fromStdString(ours.slavePath()), "--send-ymodem", dir.filePath("f.bin"), "--1k"});
    EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
    peer.waitForFinished(20000);
    EXPECT_GT(relay.damaged(), 0);
    EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
  }
  {  // sb sends over the noise, we receive
    PtyPair ours, theirs;
    NoisyRelay relay(ours.master(), theirs.master(), 4000);
    QDir(dir.filePath("in")).removeRecursively();
    QDir(dir.path()).mkdir("in");
    QProcess peer;
    StartPeer(peer, dir.path(), QString::fromStdString(theirs.slavePath()), "sb -k f.bin");
    const Result r = RunTerm({"-p", QString::fromStdString(ours.slavePath()), "--receive-ymodem", dir.filePath("in")});
    EXPECT_EQ(r.code, 0) << r.lastLine.toStdString();
    peer.waitForFinished(20000);
    EXPECT_GT(relay.damaged(), 0);
    EXPECT_TRUE(Read(dir.filePath("in/f.bin")) == data);
  }
}

TEST(TransferTest, CancelFromEitherSideEndsWithItsCause) {
  NEED_PEERS();
  const QByteArray data = Random(4 * 1024 * 1024, 6);
  {  // sb gives up part way (it sends CANs when interrupted)
    SocatLine l;
    QDir(l.dir.path()).mkdir("in");
    Write(l.dir.filePath("f.bin"), data);
    QProcess peer;
    StartPeer(peer, l.dir.path(), l.dir.filePath("b"), "sb -k f.bin");
    const Result r = RunTerm({"-p", l.dir.filePath("a"), "-b", "115200", "--receive-ymodem", l.dir.filePath("in")},
                             [&](QProcess&) {
                               QThread::msleep(800);
                               ::kill(static_cast<pid_t>(peer.processId()), SIGINT);
                             });
    EXPECT_EQ(r.code, 1);
    // sb stopped before its first block never sends its CANs: then the
    // cause is its silence.
    EXPECT_TRUE(r.lastLine == QStringLiteral("对方取消了传输") || r.lastLine == QStringLiteral("发送方没有响应"))
        << r.lastLine.toStdString();
    EXPECT_FALSE(QFile::exists(l.dir.filePath("in/f.bin")));
    peer.waitForFinished(10000);
  }
  {  // we give up part way: nothing incomplete is left as a whole file
    SocatLine l;
    QDir(l.dir.path()).mkdir("in");
    Write(l.dir.filePath("f.bin"), data);
    QProcess peer;
    StartPeer(peer, l.dir.filePath("in"), l.dir.filePath("b"), "rb");
    const Result r = RunTerm({"-p", l.dir.filePath("a"), "--send-ymodem", l.dir.filePath("f.bin"), "--1k"},
                             [&](QProcess& t) {
                               QThread::msleep(800);
                               ::kill(static_cast<pid_t>(t.processId()), SIGINT);
                             });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.lastLine, "已取消传输");
    peer.waitForFinished(15000);
    EXPECT_NE(Read(l.dir.filePath("in/f.bin")), data);
    peer.kill();
    peer.waitForFinished();
  }
}

}  // namespace
