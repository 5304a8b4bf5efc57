// The polling driver against real pseudo-terminals; modem lines through the
// recording platform, framing on the termios2 the driver builds (a pty
// forces 8 data bits and no parity).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/SerialOpenError.h"
#include "platform/Termios2.h"
#include "serial/PollingComm.h"
#include "support/EventPump.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

namespace {

using Strings = std::vector<std::string>;

// A second slave descriptor taken before the driver locks the device, to read
// back what the driver set and to see input waiting without consuming it.
class SlaveView {
 public:
  explicit SlaveView(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
  ~SlaveView() {
    if (fd_ >= 0) ::close(fd_);
  }
  Termios2Data Line() const {
    Termios2Data t;
    EXPECT_TRUE(GetTermios2(fd_, t));
    return t;
  }
  bool WaitInput(int count, int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      int n = 0;
      if (ioctl(fd_, FIONREAD, &n) == 0 && n >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  int fd_;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

}  // namespace

TEST(PollingComm, ConnectAndDisconnect) {
  PtyPair pty;
  RecordingSerialPlatform rec;
  TKRNCommDriver d(nullptr, &rec);
  d.Disconnect();  // closed: nothing happens
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(d.OutputFreeSpace(), 65535);
  EXPECT_FALSE(d.ApplySettings());

  d.PortName = QString::fromStdString(pty.slavePath());
  ASSERT_TRUE(d.Connect());
  EXPECT_TRUE(d.IsConnected());
  rec.Clear();
  EXPECT_TRUE(d.Connect());  // already open: nothing else happens
  EXPECT_TRUE(rec.calls.empty());

  // Unsent output gets its bounded time, the rest is discarded, then close.
  d.Disconnect();
  EXPECT_FALSE(d.IsConnected());
  const Strings closing{"DRAIN", "PURGE", "CLOSE"};
  EXPECT_EQ(rec.calls, closing);
  d.Disconnect();
  EXPECT_EQ(rec.calls, closing);

  ASSERT_TRUE(d.Connect());  // and again after a close
  d.Disconnect();
}

TEST(PollingComm, OpenFailures) {
  TKRNCommDriver d;
  d.PortName = "vortana-no-such-port";
  EXPECT_FALSE(d.Connect());
  EXPECT_FALSE(d.IsConnected());
  d.PortName = "/dev/null";  // a character device, but not a serial line
  EXPECT_FALSE(d.Connect());
  EXPECT_FALSE(d.IsConnected());
  EXPECT_EQ(d.SendBytes("x", 1), 0);
  EXPECT_EQ(SerialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevicePath("/dev/pts/3"), "/dev/pts/3");
}

TEST(PollingComm, DeviceHeldByAnotherDriverCannotBeOpened) {
  PtyPair pty;
  TKRNCommDriver a, b;
  a.PortName = b.PortName = QString::fromStdString(pty.slavePath());
  ASSERT_TRUE(a.Connect());
  EXPECT_FALSE(b.Connect());
  EXPECT_FALSE(b.IsConnected());
  a.Disconnect();
  EXPECT_TRUE(b.Connect());
}

// Another process holds the device and this one does not have it open: the
// lock table names that process, whether it locked the way this program
// does (flock) or with a POSIX lock, and the open failure names it too.
TEST(PollingComm, HolderInAnotherProcessIsNamedFromTheLockTable) {
  PtyPair pty;
  const std::string path = pty.slavePath();
  for (bool posix : {false, true}) {
    SCOPED_TRACE(posix ? "lockf" : "flock");
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // only async-signal-safe calls here
      ::close(ready[0]);
      ::close(release[1]);  // the parent's close is then the end of the pipe
      const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      const bool locked = fd >= 0 && (posix ? ::lockf(fd, F_TLOCK, 0) == 0 : ::flock(fd, LOCK_EX | LOCK_NB) == 0);
      char c = locked ? '1' : '0';
      if (::write(ready[1], &c, 1) != 1) ::_exit(1);
      (void)!::read(release[0], &c, 1);  // hold it until the parent has looked
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char c = 0;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, '1');
    EXPECT_EQ(SerialDeviceLockHolder(path), child);
    if (!posix) {  // what this program's own open runs into
      const SerialOpenProblem p = DiagnoseSerialOpen(path);
      EXPECT_EQ(p.kind, SerialOpenProblem::Kind::Busy);
      EXPECT_EQ(p.holderPid, child);
      EXPECT_EQ(p.text.rfind("串口 " + path + " 已被其它程序占用（PID " + std::to_string(child), 0), 0u) << p.text;
    }
    ::close(release[1]);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    ::close(ready[0]);
    EXPECT_EQ(SerialDeviceLockHolder(path), 0);  // gone with its process
  }
}

TEST(PollingComm, SpeedAndStopBitsReachTheDevice) {
  PtyPair pty;
  SlaveView view(pty.slavePath());
  RecordingSerialPlatform rec;
  TKRNCommDriver d(nullptr, &rec);
  d.PortName = QString::fromStdString(pty.slavePath());
  d.setComPortSpeed(br1228800);
  d.setComPortStopBits(sb2BITS);
  ASSERT_TRUE(d.Connect());
  const auto& k = Termios2Constants();
  Termios2Data t = view.Line();
  EXPECT_EQ(t.ospeed, 1228800u);
  EXPECT_TRUE(t.cflag & k.cstopb);

  // A change while open is applied at once, purging and dropping the lines.
  rec.Clear();
  d.setComPortSpeed(br14400);
  EXPECT_EQ(rec.calls, (Strings{"LINE", "DTR0", "RTS0", "PURGE"}));
  EXPECT_EQ(view.Line().ospeed, 14400u);
  d.setComPortStopBits(sb1BITS);
  EXPECT_FALSE(view.Line().cflag & k.cstopb);

  for (int i = 0; i < kBaudRateCount; ++i) {
    d.setComPortSpeed(static_cast<TComPortBaudRate>(i));
    EXPECT_EQ(view.Line().ospeed, BaudRateValue(static_cast<TComPortBaudRate>(i)));
  }
  EXPECT_EQ(BaudRateValue(br56000), 56000u);
  EXPECT_EQ(BaudRateValue(br614400), 614400u);

  // Port number and input size are fixed while open.
  d.setComPort(pnCOM5);
  d.setComPortInBufSize(64);
  EXPECT_EQ(d.ComPort(), pnCOM1);
  EXPECT_EQ(d.ComPortInBufSize(), 1024);
}

TEST(PollingComm, BuiltLineSettingsCarryFraming) {
  const auto& k = Termios2Constants();
  TKRNCommDriver d;
  const uint32_t sizes[] = {k.cs5, k.cs6, k.cs7, k.cs8};
  for (int i = 0; i < 4; ++i) {
    d.setComPortDataBits(static_cast<TComPortDataBits>(i));
    EXPECT_EQ(BuildTermios2(d.BuildLineSettings()).cflag & k.csize, sizes[i]) << i;
  }
  const uint32_t parityMask = k.parenb | k.parodd | k.cmspar;
  const uint32_t parities[] = {0, k.parenb | k.parodd, k.parenb, k.parenb | k.parodd | k.cmspar,
                               k.parenb | k.cmspar};
  for (int i = 0; i < 5; ++i) {
    d.setComPortParity(static_cast<TComPortParity>(i));
    Termios2Data t = BuildTermios2(d.BuildLineSettings());
    EXPECT_EQ(t.cflag & parityMask, parities[i]) << i;
    EXPECT_FALSE(t.iflag & k.inpck) << "a chosen parity is not checked on input";
  }
  d.setComPortStopBits(sb1HALFBITS);
  EXPECT_TRUE(BuildTermios2(d.BuildLineSettings()).cflag & k.cstopb);
  d.setComPortHwHandshaking(hhRTSCTS);
  d.setComPortSwHandshaking(shXONXOFF);
  Termios2Data t = BuildTermios2(d.BuildLineSettings());
  EXPECT_TRUE(t.cflag & k.crtscts);
  EXPECT_EQ(t.iflag & (k.ixon | k.ixoff), k.ixon | k.ixoff);
  EXPECT_EQ(t.cflag & (k.clocal | k.cread), k.clocal | k.cread);
  EXPECT_EQ(t.cflag & k.cbaud, k.bother);
  EXPECT_EQ(t.cc[k.vstart], 0x11);
  EXPECT_EQ(t.cc[k.vstop], 0x13);
  SerialLineSettings checked;
  checked.parityCheck = true;
  EXPECT_TRUE(BuildTermios2(checked).iflag & k.inpck);
}

TEST(PollingComm, ModemLineSequences) {
  PtyPair pty;
  RecordingSerialPlatform rec;
  TKRNCommDriver d(nullptr, &rec);
  d.SetDtr(true);  // closed: nothing reaches the device
  d.SetRts(true);
  EXPECT_TRUE(rec.calls.empty());

  d.PortName = QString::fromStdString(pty.slavePath());
  ASSERT_TRUE(d.Connect());
  EXPECT_EQ(rec.calls, (Strings{"OPEN", "LINE", "DTR0", "RTS0", "PURGE"}));
  rec.Clear();
  d.SetDtr(true);
  d.SetRts(true);
  d.SetRts(false);
  d.setComPortParity(ptEVEN);  // re-applying the settings drops both lines
  EXPECT_EQ(rec.Lines(), (Strings{"DTR1", "RTS1", "RTS0", "DTR0", "RTS0"}));
  EXPECT_EQ(rec.lastLine.parity, 2);

  rec.Clear();
  d.setEnableDTROnOpen(true);
  d.setComPortHwHandshaking(hhRTSCTS);
  EXPECT_EQ(rec.Lines(), (Strings{"DTR1", "RTS1"}));
  EXPECT_TRUE(rec.lastLine.dtrOn);
  EXPECT_TRUE(rec.lastLine.rtsCts);
}

TEST(PollingComm, SendBytesResults) {
  PtyPair pty;
  TKRNCommDriver d;
  EXPECT_EQ(d.SendBytes("abc", 3), 0);  // closed
  d.PortName = QString::fromStdString(pty.slavePath());
  ASSERT_TRUE(d.Connect());
  EXPECT_EQ(d.SendBytes("abc", 0), 0);
  EXPECT_EQ(d.SendBytes("abc", -5), 0);
  EXPECT_EQ(d.SendText(QByteArray("hello\0world", 11)), 11);
  auto got = pty.Read(11, 2000);
  EXPECT_EQ(std::string(got.begin(), got.end()), std::string("hello\0world", 11));

  // A block far larger than any queue arrives whole while the far end reads.
  const auto big = Pattern(64 * 1024, 3);
  std::vector<uint8_t> received;
  std::thread reader([&] { received = pty.Read(big.size(), 10000); });
  EXPECT_EQ(d.SendBytes(big.data(), static_cast<int32_t>(big.size())),
            static_cast<int32_t>(big.size()));
  reader.join();
  EXPECT_EQ(received, big);
}

TEST(PollingComm, SendTimesOutWhenNobodyReads) {
  PtyPair pty;
  TKRNCommDriver d;
  d.PortName = QString::fromStdString(pty.slavePath());
  d.setOutputTimeout(100);
  ASSERT_TRUE(d.Connect());
  const auto huge = Pattern(1024 * 1024, 1);
  const int32_t r = d.SendBytes(huge.data(), static_cast<int32_t>(huge.size()));
  EXPECT_LT(r, 0);  // minus what the queue took before it filled
  EXPECT_GT(-r, 0);
  EXPECT_TRUE(d.IsConnected());  // nothing is closed
}

TEST(PollingComm, RefusedWriteIsReported) {
  RecordingSerialPlatform rec(nullptr);
  TKRNCommDriver d(nullptr, &rec);
  d.PortName = "fake0";
  ASSERT_TRUE(d.Connect());
  EXPECT_EQ(d.SendBytes("abc", 3), 3);
  rec.refuseWrites = true;
  EXPECT_EQ(d.SendBytes("abc", 3), TKRNCommDriver::kWriteRefused);
  EXPECT_TRUE(d.IsConnected());
}

TEST(PollingComm, ReceiveRaisesEventAndAccumulates) {
  PtyPair pty;
  TKRNCommDriver d;
  d.PortName = QString::fromStdString(pty.slavePath());
  std::vector<uint8_t> events;
  TKRNCommDriver* sender = nullptr;
  d.OnReceiveData = [&](TKRNCommDriver* s, const uint8_t* p, int32_t n) {
    sender = s;
    events.insert(events.end(), p, p + n);
  };
  ASSERT_TRUE(d.Connect());
  pty.Write(std::string("OK\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return events.size() >= 4; }, 3000));
  EXPECT_EQ(sender, &d);
  EXPECT_EQ(std::string(events.begin(), events.end()), "OK\r\n");
  EXPECT_EQ(d.ReceiveCount, 4);
  QByteArray first, second;
  d.TakeReceivedText(first);
  d.TakeReceivedText(second);
  EXPECT_EQ(first, QByteArray("OK\r\n"));
  EXPECT_EQ(first, second);
  EXPECT_EQ(d.ReceiveCount, 4);
}

TEST(PollingComm, AccumulationDiscardsOldBytesNeverNewOnes) {
  PtyPair pty;
  SlaveView view(pty.slavePath());
  TKRNCommDriver d;
  d.PortName = QString::fromStdString(pty.slavePath());
  d.setComPortPollingDelay(60000);  // polls only when the test asks
  ASSERT_TRUE(d.Connect());

  const auto a = Pattern(24, 10);
  d.ReceiveCount = 1000;
  pty.Write(a);
  ASSERT_TRUE(view.WaitInput(24, 2000));
  d.PollReceive();
  EXPECT_EQ(d.ReceiveCount, 24);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), d.ReceiveBuffer));

  const auto b = Pattern(23, 50);
  d.ReceiveCount = 1000;
  pty.Write(b);
  ASSERT_TRUE(view.WaitInput(23, 2000));
  d.PollReceive();
  EXPECT_EQ(d.ReceiveCount, 1023);
  EXPECT_TRUE(std::equal(b.begin(), b.end(), d.ReceiveBuffer + 1000));

  // An owner may write any count; the text never reaches past the buffer.
  d.ReceiveCount = 5000;
  QByteArray text;
  d.TakeReceivedText(text);
  EXPECT_EQ(text.size(), TKRNCommDriver::kReceiveBufferSize);
}

TEST(PollingComm, LargeInputSizeNeverOverrunsTheBuffer) {
  PtyPair pty;
  TKRNCommDriver d;
  d.setComPortInBufSize(60000);
  d.PortName = QString::fromStdString(pty.slavePath());
  size_t total = 0;
  int32_t largest = 0;
  d.OnReceiveData = [&](TKRNCommDriver*, const uint8_t*, int32_t n) {
    total += static_cast<size_t>(n);
    largest = std::max(largest, n);
  };
  ASSERT_TRUE(d.Connect());
  pty.Write(Pattern(5000, 7));
  ASSERT_TRUE(PumpUntil([&] { return total >= 5000; }, 5000));
  EXPECT_LE(largest, TKRNCommDriver::kReceiveBufferSize);
  EXPECT_LT(d.ReceiveCount, TKRNCommDriver::kReceiveBufferSize);
}

TEST(PollingComm, OnePollTakesABacklogInBlocksWithoutLoss) {
  // A late tick must not leave a backlog behind: at 1228800 bit/s a poll
  // that reads one block only would fall behind the line.
  PtyPair pty;
  SlaveView view(pty.slavePath());
  TKRNCommDriver d;
  d.PortName = QString::fromStdString(pty.slavePath());
  d.setComPortPollingDelay(60000);
  std::vector<uint8_t> got;
  int events = 0;
  d.OnReceiveData = [&](TKRNCommDriver*, const uint8_t* p, int32_t n) {
    got.insert(got.end(), p, p + n);
    ++events;
  };
  ASSERT_TRUE(d.Connect());
  const auto data = Pattern(3000, 3);
  pty.Write(data);
  ASSERT_TRUE(view.WaitInput(3000, 2000));
  d.PollReceive();
  EXPECT_EQ(got, data);
  EXPECT_EQ(events, 3);  // 1024 + 1024 + 952
  EXPECT_EQ(d.ReceiveCount, 952);
}

TEST(PollingComm, HangUpClosesThePortAndIsReportedOnce) {
  PtyPair pty;
  RecordingSerialPlatform rec;
  TKRNCommDriver d(nullptr, &rec);
  d.PortName = QString::fromStdString(pty.slavePath());
  int polls = 0, lost = 0;
  d.OnReceiveData = [&](TKRNCommDriver*, const uint8_t*, int32_t) { ++polls; };
  d.OnDeviceLost = [&](TKRNCommDriver* s) {
    EXPECT_EQ(s, &d);
    EXPECT_FALSE(d.IsConnected());
    ++lost;
  };
  ASSERT_TRUE(d.Connect());
  PumpFor(30);
  EXPECT_EQ(lost, 0);  // a quiet line is not a lost one
  rec.Clear();
  pty.HangUp();
  ASSERT_TRUE(PumpUntil([&] { return lost > 0; }, 3000));
  PumpFor(30);
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(polls, 0);
  EXPECT_EQ(rec.calls, Strings{"CLOSE"});  // nothing to drain on a vanished device
  const auto block = Pattern(16, 9);
  EXPECT_EQ(d.SendBytes(block.data(), 16), 0);  // closed
  d.SetDtr(true);
  d.Disconnect();
}

TEST(PollingComm, BytesReadBeforeAHangUpAreDeliveredFirst) {
  RecordingSerialPlatform rec(nullptr);
  TKRNCommDriver d(nullptr, &rec);
  d.PortName = "ttyUSB0";
  std::string events;
  d.OnReceiveData = [&](TKRNCommDriver*, const uint8_t* p, int32_t n) {
    events.append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
  };
  d.OnDeviceLost = [&](TKRNCommDriver*) { events += "|lost"; };
  ASSERT_TRUE(d.Connect());
  rec.incoming.assign(1500, 'x');  // more than one read takes
  rec.unplugged = true;
  for (int tick = 0; tick < 3 && d.IsConnected(); ++tick) d.PollReceive();
  EXPECT_FALSE(d.IsConnected());
  EXPECT_TRUE(events == std::string(1500, 'x') + "|lost") << events.size() << " " << events.substr(0, 8);
}

TEST(PollingComm, DrainTimeFollowsSpeedAndFramingAndIsBounded) {
  TKRNCommDriver d;
  d.setComPortSpeed(br9600);
  const int idle = d.DrainTimeoutMs(0);
  EXPECT_GT(idle, 0);
  const int oneSecond = d.DrainTimeoutMs(960);  // 8N1: 10 bits a byte
  EXPECT_GE(oneSecond, 1000);
  EXPECT_LE(oneSecond, 1000 + idle + 1);
  d.setComPortParity(ptEVEN);
  d.setComPortStopBits(sb2BITS);
  EXPECT_GE(d.DrainTimeoutMs(960), 1200);  // 12 bits a byte
  d.setComPortSpeed(br110);
  EXPECT_EQ(d.DrainTimeoutMs(4096), TKRNCommDriver::kMaxDrainMs);
}

TEST(PollingComm, PollingDelayRestartsRunningTimer) {
  PtyPair pty;
  TKRNCommDriver d;
  d.PortName = QString::fromStdString(pty.slavePath());
  d.setComPortPollingDelay(60000);
  ASSERT_TRUE(d.Connect());
  int got = 0;
  d.OnReceiveData = [&](TKRNCommDriver*, const uint8_t*, int32_t n) { got += n; };
  pty.Write(std::string("xy"));
  PumpFor(50);
  EXPECT_EQ(got, 0);  // the long period has not elapsed
  d.setComPortPollingDelay(2);
  EXPECT_EQ(d.ComPortPollingDelay(), 2);
  EXPECT_TRUE(PumpUntil([&] { return got == 2; }, 3000));
}
