// vortana-term: its options, and the real executable with a pseudo-terminal
// as the port, fed from a pipe and typed at from a terminal; the adapter
// unplugged behind a moving link; vortana-isp handing over to it.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/HexText.h"
#include "sim/Stm32Sim.h"
#include "support/FakeSysfs.h"
#include "support/IspTool.h"
#include "support/Pty.h"
#include "platform/SerialOpenError.h"
#include "term/TermOptions.h"

namespace {

using isptool::WaitFor;

TermOptions Parse(const QString& line) { return ParseTermOptions(line.split(u' ', Qt::SkipEmptyParts)); }

TEST(TermOptionsTest, LineSettingsMapToTheDriversValuesAndBadOnesAreRefused) {
  TermOptions o = Parse(QStringLiteral("-p /dev/serial/by-id/usb-x"));
  ASSERT_EQ(o.mode, TermOptions::Mode::Run);
  EXPECT_EQ(o.port, QStringLiteral("/dev/serial/by-id/usb-x"));
  EXPECT_EQ(o.line.baudRate, 115200u);
  EXPECT_EQ(o.line.parity, 0);
  EXPECT_EQ(o.line.dataBits, 8);
  EXPECT_EQ(o.line.stopBits, 0);
  o = Parse(QStringLiteral("-p ttyUSB0 -b 9600 --parity even --data 7 --stop 2 --hex --timestamps --log=rx.bin"));
  ASSERT_EQ(o.mode, TermOptions::Mode::Run);
  EXPECT_EQ(o.line.baudRate, 9600u);
  EXPECT_EQ(o.line.parity, 2);  // even is 2, odd 1 in the driver's numbering
  EXPECT_EQ(Parse(QStringLiteral("-p x --parity odd")).line.parity, 1);
  EXPECT_EQ(o.line.dataBits, 7);
  EXPECT_EQ(o.line.stopBits, 2);
  EXPECT_TRUE(o.hex && o.timestamps);
  EXPECT_EQ(o.logFile, QStringLiteral("rx.bin"));
  for (const char* bad : {"-p x -b 0", "-p x -b fast", "-p x --parity mark", "-p x --data 9", "-p x --data 4",
                          "-p x --stop 1.5", "-p x --log", "-p x -b", "-b 9600", "-p x --frobnicate",
                          "--list-ports --doctor"})
    EXPECT_EQ(Parse(QString::fromLatin1(bad)).mode, TermOptions::Mode::UsageError) << bad;
}

TEST(TermOptionsTest, DoctorTakesAnOptionalPort) {
  EXPECT_EQ(Parse(QStringLiteral("--doctor")).mode, TermOptions::Mode::Doctor);
  EXPECT_TRUE(Parse(QStringLiteral("--doctor")).port.isEmpty());
  EXPECT_EQ(Parse(QStringLiteral("--doctor ttyUSB2")).port, QStringLiteral("ttyUSB2"));
  EXPECT_EQ(Parse(QStringLiteral("--doctor --hex")).port, QString());
  EXPECT_EQ(Parse(QStringLiteral("--list-ports")).mode, TermOptions::Mode::ListPorts);
  EXPECT_EQ(Parse(QStringLiteral("-h")).mode, TermOptions::Mode::Help);
}

QString TermPath() { return QStringLiteral(VORTANA_TERM_PATH); }

struct TermPipe : ::testing::Test {
  PtyPair port;
  QTemporaryDir dir;
  QProcess term;
  void Start(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    term.setProcessEnvironment(env);
    term.start(TermPath(), args);
    ASSERT_TRUE(term.waitForStarted(10000));
  }
  ~TermPipe() override {
    if (term.state() != QProcess::NotRunning) {
      term.kill();
      term.waitForFinished(5000);
    }
  }
};

// Input from a pipe reaches the port; the board's answer reaches standard
// output (in hex here) and the log (raw); end of input ends the session once
// what was sent has left.
TEST_F(TermPipe, BothWaysThroughPipesEndingAtEndOfInput) {
  const QString log = dir.filePath(QStringLiteral("rx.bin"));
  Start({QStringLiteral("-p"), QString::fromStdString(port.slavePath()), QStringLiteral("--hex"),
         QStringLiteral("--log"), log});
  ASSERT_TRUE(WaitFor([&] { return !isptool::PortFree(port.slavePath()); }, 5000));
  term.write("AT\r\n");
  term.waitForBytesWritten(1000);
  const std::vector<uint8_t> got = port.Read(4, 3000);
  EXPECT_EQ(std::string(got.begin(), got.end()), "AT\r\n");
  port.Write(std::string("OK\r\n", 4));
  ASSERT_TRUE(WaitFor([&] { term.waitForReadyRead(20); return term.peek(100).size() >= 12; }, 3000));
  term.closeWriteChannel();
  ASSERT_TRUE(term.waitForFinished(5000)) << "no end after end of input";
  EXPECT_EQ(term.exitCode(), 0);
  EXPECT_EQ(term.readAllStandardOutput(), QByteArray("4F 4B 0D 0A \n"));
  QFile f(log);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray("OK\r\n"));
  EXPECT_TRUE(isptool::PortFree(port.slavePath()));
}

TEST_F(TermPipe, APortThatCannotOpenExitsTwoWithTheCauseLast) {
  Start({QStringLiteral("-p"), QStringLiteral("/dev/vortana-no-such-port")});
  ASSERT_TRUE(term.waitForFinished(5000));
  EXPECT_EQ(term.exitCode(), 2);
  const QStringList lines = QString::fromUtf8(term.readAllStandardError()).trimmed().split(u'\n');
  EXPECT_EQ(lines.last(), QStringLiteral("串口 /dev/vortana-no-such-port 不存在（设备没有连接？）"));
}

// The doctor's exit status follows what it found; facts from a built /proc.
TEST_F(TermPipe, DoctorExitsOneOnlyWhenItFoundACause) {
  const std::string proc = dir.filePath(QStringLiteral("proc")).toStdString();
  const std::string sys = dir.filePath(QStringLiteral("sys")).toStdString();
  FakeSysfs fakeSys(sys);
  std::filesystem::create_directories(proc);
  FakeSysfs::Put(proc + "/7/comm", "bash");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VORTANA_PROC_ROOT"), QString::fromStdString(proc));
  env.insert(QStringLiteral("VORTANA_SYSFS_ROOT"), QString::fromStdString(sys));
  Start({QStringLiteral("--doctor")}, env);
  ASSERT_TRUE(term.waitForFinished(5000));
  EXPECT_EQ(term.exitCode(), 0) << term.readAllStandardOutput().toStdString();
  FakeSysfs::Put(proc + "/4242/comm", "brltty");
  Start({QStringLiteral("--doctor")}, env);
  ASSERT_TRUE(term.waitForFinished(5000));
  EXPECT_EQ(term.exitCode(), 1);
  EXPECT_TRUE(term.readAllStandardOutput().contains("brltty"));
}

// A program that opened the port without any lock is still found (through
// its open files) and named with its PID.
TEST_F(TermPipe, DoctorNamesAProgramHoldingThePortWithoutALock) {
  port.CloseKeeper();
  QProcess holder;
  holder.setStandardInputFile(QString::fromStdString(port.slavePath()));
  holder.start(QStringLiteral("sleep"), {QStringLiteral("20")});
  ASSERT_TRUE(holder.waitForStarted(5000));
  Start({QStringLiteral("--doctor"), QString::fromStdString(port.slavePath())});
  ASSERT_TRUE(term.waitForFinished(10000));
  const QString out = QString::fromUtf8(term.readAllStandardOutput());
  EXPECT_EQ(term.exitCode(), 1) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("正被进程 sleep（PID %1）使用").arg(holder.processId()))) << out.toStdString();
  holder.kill();
  holder.waitForFinished(5000);
}

// Input that ends while the adapter is away ends the session with the cause,
// rather than waiting for ever.
TEST_F(TermPipe, InputEndingWhileTheAdapterIsAwayEndsWithTheCause) {
  Start({QStringLiteral("-p"), QString::fromStdString(port.slavePath())});
  ASSERT_TRUE(WaitFor([&] { return !isptool::PortFree(port.slavePath()); }, 5000));
  port.HangUp();
  QByteArray err;
  ASSERT_TRUE(WaitFor([&] { term.waitForReadyRead(20); err += term.readAllStandardError(); return err.contains("等待"); }, 5000));
  term.closeWriteChannel();
  ASSERT_TRUE(term.waitForFinished(5000)) << "still waiting after the input ended";
  EXPECT_EQ(term.exitCode(), 1);
  err += term.readAllStandardError();
  EXPECT_EQ(QString::fromUtf8(err).trimmed().split(u'\n').last(),
            QStringLiteral("串口已断开 ") + QString::fromStdString(port.slavePath()));
}

// Typed at from a terminal: keys go to the port as they are pressed (no line
// editing), Ctrl-] Ctrl-] sends one Ctrl-], Ctrl-] q quits.
TEST(TermKeyboard, RawKeysGoOutAndCtrlBracketThenQQuits) {
  PtyPair port;
  int keyboard = -1;
  const pid_t pid = ::forkpty(&keyboard, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string path = TermPath().toStdString();
    ::execl(path.c_str(), path.c_str(), "-p", port.slavePath().c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto readKeyboard = [&](const std::string& want, int timeoutMs) {
    std::string seen;
    WaitFor([&] {
      pollfd p{keyboard, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char b[256];
        const ssize_t n = ::read(keyboard, b, sizeof b);
        if (n > 0) seen.append(b, static_cast<size_t>(n));
      }
      return seen.find(want) != std::string::npos;
    }, timeoutMs);
    return seen;
  };
  EXPECT_NE(readKeyboard("q", 5000).find("Ctrl-]"), std::string::npos);  // the greeting on stderr
  ASSERT_EQ(::write(keyboard, "ab", 2), 2);  // no Enter: raw mode sends at once
  std::vector<uint8_t> got = port.Read(2, 3000);
  EXPECT_EQ(std::string(got.begin(), got.end()), "ab");
  ASSERT_EQ(::write(keyboard, "\x1d\x1d", 2), 2);
  got = port.Read(1, 3000);
  EXPECT_EQ(got, std::vector<uint8_t>{0x1d});
  port.Write(std::string("board says hi"));
  EXPECT_NE(readKeyboard("board says hi", 3000).find("board says hi"), std::string::npos);
  ASSERT_EQ(::write(keyboard, "\x1dq", 2), 2);
  int status = -1;
  ASSERT_TRUE(WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 5000)) << "Ctrl-] q did not quit";
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(port.ReadUntilQuiet(100, 300).empty());  // neither Ctrl-] nor q went out
  ::close(keyboard);
}

// The port is a by-id style link; the adapter is unplugged, another of the
// same make appears behind the link first, then the board's own.
TEST_F(TermPipe, AnUnpluggedAdapterIsWaitedForAndOnlyTheSameOneIsTaken) {
  FakeSysfs sys(dir.filePath(QStringLiteral("sys")).toStdString());
  const auto ttyOf = [](const PtyPair& p) { return std::filesystem::path(p.slavePath()).filename().string(); };
  const std::string link = dir.filePath(QStringLiteral("usb-FTDI_FT232R_A10K-if00-port0")).toStdString();
  const auto pointLink = [&](const PtyPair& p) {
    std::filesystem::create_symlink(p.slavePath(), link + ".new");
    std::filesystem::rename(link + ".new", link);
  };
  sys.AddAdapter(ttyOf(port), "1-2", "0403", "6001", "FT232R", "A10K");
  pointLink(port);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VORTANA_SYSFS_ROOT"), QString::fromStdString(sys.root()));
  Start({QStringLiteral("-p"), QString::fromStdString(link)}, env);
  ASSERT_TRUE(WaitFor([&] { return !isptool::PortFree(port.slavePath()); }, 5000));
  port.HangUp();
  QByteArray err;
  const auto stderrHas = [&](const char* text) {
    return WaitFor([&] { term.waitForReadyRead(20); err += term.readAllStandardError(); return err.contains(text); },
                   5000);
  };
  ASSERT_TRUE(stderrHas("等待 FT232R (0403:6001) s/n A10K @ 1-2 重新连接")) << err.toStdString();

  PtyPair other;
  sys.AddAdapter(ttyOf(other), "1-3", "0403", "6001", "FT232R", "B77Q");
  pointLink(other);
  QThread::msleep(1000);
  EXPECT_TRUE(isptool::PortFree(other.slavePath())) << "another adapter was taken";

  PtyPair again;
  sys.AddAdapter(ttyOf(again), "1-2", "0403", "6001", "FT232R", "A10K");
  pointLink(again);
  ASSERT_TRUE(stderrHas("串口已重新连接")) << err.toStdString();
  term.write("x");
  term.waitForBytesWritten(1000);
  const std::vector<uint8_t> got = again.Read(1, 3000);
  EXPECT_EQ(got, std::vector<uint8_t>{'x'});
  again.Write(std::string("back"));
  EXPECT_TRUE(WaitFor([&] { term.waitForReadyRead(20); return term.peek(100).contains("back"); }, 3000));
}

// vortana-isp ... --term: the download, then the program's first words on
// the same port, in the same standard output.
TEST(TermAfterDownload, TheProgramsFirstOutputShowsAfterTheDownload) {
  PtyPair port;
  QTemporaryDir dir;
  const QString hex = dir.filePath(QStringLiteral("fw.hex"));
  {
    QFile f(hex);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(HexText(std::vector<uint8_t>(256, 0x5a), 0x08000000));
  }
  auto sim = std::make_unique<Stm32Sim>(port.master(), Stm32SimProfile::ForProduct(0x0414));
  QProcess isp;
  isp.start(QStringLiteral(VORTANA_ISP_PATH),
            {QStringLiteral("-p"), QString::fromStdString(port.slavePath()), QStringLiteral("-f"),
             QStringLiteral("stm32"), QStringLiteral("--reset"), QStringLiteral("none"), QStringLiteral("--term"), hex});
  ASSERT_TRUE(isp.waitForStarted(10000));
  // The download is over and the terminal holds the port: the boot loader
  // steps aside and the program speaks.
  QByteArray out;
  ASSERT_TRUE(WaitFor([&] {
    isp.waitForReadyRead(20);
    out += isp.readAllStandardOutput();
    std::string name;
    const int holder = SerialDeviceHolder(port.slavePath(), &name);
    return isp.state() == QProcess::NotRunning || (holder == isp.processId() && name == "vortana-term");
  }, 60000));
  ASSERT_EQ(isp.state(), QProcess::Running) << out.toStdString() << isp.readAllStandardError().toStdString();
  sim->Stop();
  sim.reset();
  port.Write(std::string("app v1.0 ready\r\n"));
  EXPECT_TRUE(WaitFor([&] { isp.waitForReadyRead(20); out += isp.readAllStandardOutput(); return out.contains("app v1.0 ready"); }, 5000))
      << out.toStdString();
  ::kill(static_cast<pid_t>(isp.processId()), SIGTERM);
  ASSERT_TRUE(isp.waitForFinished(5000));
  EXPECT_EQ(isp.exitCode(), 0);
}

}  // namespace
