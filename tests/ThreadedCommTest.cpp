// TComm against real pseudo-terminals: the component opens the slave side as
// it would a USB adapter, the test plays the far end on the master side.
#include "serial/ThreadedComm.h"

#include "platform/SerialDevice.h"
#include <QThread>

#include "support/EventPump.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Hands out /dev/null: a character device, but no terminal.
class DevNullPlatform : public RecordingSerialPlatform {
 public:
  int Open(const std::string&) override {
    calls.push_back("OPEN");
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
  }
};

struct Events {
  std::vector<Bytes> blocks;
  std::vector<uint8_t> terminators;  // the byte after each block
  int sendEmpty = 0;
  int hangups = 0;
  std::string order;  // 'D' for each block, 'H' for each hang-up, as delivered
  int total() const { return static_cast<int>(blocks.size()) + sendEmpty + hangups; }
};

void Watch(TComm& comm, Events& ev) {
  comm.OnReceiveData = [&ev](TComm*, const uint8_t* buf, uint16_t len) {
    ev.blocks.emplace_back(buf, buf + len);
    ev.terminators.push_back(buf[len]);
    ev.order += 'D';
  };
  comm.OnSendDataEmpty = [&ev](TComm*) { ++ev.sendEmpty; };
  comm.OnRequestHangup = [&ev](TComm*) {
    ++ev.hangups;
    ev.order += 'H';
  };
}

class ThreadedCommTest : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.setCommName(QString::fromStdString(pty.slavePath()));
    Watch(comm, ev);
  }
  // Opens and waits for the transmit thread's start-up notification.
  void Open() {
    comm.OpenPort();
    ASSERT_TRUE(PumpUntil([&] { return ev.sendEmpty == 1; }, 2000));
  }

  PtyPair pty;
  TComm comm;
  Events ev;
};

TEST_F(ThreadedCommTest, QueuedBlocksGoOutInOrderAndEmptyIsReportedOnce) {
  Open();
  EXPECT_TRUE(comm.OutputIdle());
  EXPECT_FALSE(comm.SendData(reinterpret_cast<const uint8_t*>("x"), 0));

  // XOFF from the far end holds the output, so all three blocks are queued
  // before the first is written.
  pty.Write(Bytes{0x13});
  Sleep(100);
  EXPECT_TRUE(comm.SendData(reinterpret_cast<const uint8_t*>("abc"), 3));
  EXPECT_TRUE(comm.SendData(reinterpret_cast<const uint8_t*>("defg"), 4));
  EXPECT_TRUE(comm.SendData(reinterpret_cast<const uint8_t*>("hij"), 3));
  EXPECT_FALSE(comm.OutputIdle());
  EXPECT_TRUE(pty.Read(1, 100).empty()) << "XOFF did not hold the output";
  PumpFor(30);
  EXPECT_EQ(ev.sendEmpty, 1);

  pty.Write(Bytes{0x11});
  EXPECT_EQ(pty.Read(10, 2000), B("abcdefghij"));
  ASSERT_TRUE(PumpUntil([&] { return ev.sendEmpty == 2; }, 2000));
  PumpFor(100);
  EXPECT_EQ(ev.sendEmpty, 2);
  EXPECT_TRUE(comm.OutputIdle());
  EXPECT_TRUE(ev.blocks.empty()) << "flow-control characters reached the owner";
}

TEST_F(ThreadedCommTest, BurstWithShortGapsArrivesAsOneBlock) {
  comm.setOutx_XonXoffFlow(false);
  comm.setInx_XonXoffFlow(false);
  Open();
  Bytes burst;
  for (int i = 1; i <= 100; ++i) burst.push_back(static_cast<uint8_t>(i));
  for (int chunk = 0; chunk < 5; ++chunk) {
    pty.Write(Bytes(burst.begin() + chunk * 20, burst.begin() + chunk * 20 + 20));
    Sleep(20);
  }
  ASSERT_TRUE(PumpUntil([&] { return !ev.blocks.empty(); }, 2000));
  PumpFor(250);
  ASSERT_EQ(ev.blocks.size(), 1u);
  EXPECT_EQ(ev.blocks[0], burst);
  EXPECT_EQ(ev.terminators[0], 0);
}

TEST_F(ThreadedCommTest, LongBurstIsCutAtTheBlockSize) {
  comm.setOutx_XonXoffFlow(false);
  comm.setInx_XonXoffFlow(false);
  Open();
  Bytes burst(3000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7 + 1);
  pty.Write(burst);
  ASSERT_TRUE(PumpUntil([&] { return ev.blocks.size() == 2; }, 3000));
  EXPECT_EQ(ev.blocks[0].size(), 2048u);
  Bytes joined = ev.blocks[0];
  joined.insert(joined.end(), ev.blocks[1].begin(), ev.blocks[1].end());
  EXPECT_EQ(joined, burst);
  EXPECT_EQ(ev.terminators[0], 0);
  EXPECT_EQ(ev.terminators[1], 0);
}

TEST_F(ThreadedCommTest, ShorterIntervalSetWhileOpenSplitsBlocks) {
  Open();
  comm.setReadIntervalTimeout(10);
  pty.Write("ab");
  Sleep(150);
  pty.Write("cd");
  ASSERT_TRUE(PumpUntil([&] { return ev.blocks.size() == 2; }, 2000));
  EXPECT_EQ(ev.blocks[0], B("ab"));
  EXPECT_EQ(ev.blocks[1], B("cd"));
}

TEST_F(ThreadedCommTest, OpeningTwiceRaisesAndTheOpenPortKeepsWorking) {
  Open();
  try {
    comm.OpenPort();
    FAIL() << "no exception";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "This serial port already opened");
  }
  ASSERT_TRUE(comm.IsOpen());
  EXPECT_TRUE(comm.SendData(reinterpret_cast<const uint8_t*>("ok"), 2));
  EXPECT_EQ(pty.Read(2, 2000), B("ok"));
  pty.Write("in");
  ASSERT_TRUE(PumpUntil([&] { return !ev.blocks.empty(); }, 2000));
  EXPECT_EQ(ev.blocks[0], B("in"));
}

TEST_F(ThreadedCommTest, NothingArrivesAfterClosingAndThePortReopens) {
  comm.OpenPort();
  pty.Write("late");
  Sleep(300);  // the receive thread has queued the block by now; nobody pumped
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_FALSE(comm.SendData(reinterpret_cast<const uint8_t*>("x"), 1));
  PumpFor(150);
  EXPECT_EQ(ev.total(), 0);
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());

  Open();
  pty.Write("again");
  ASSERT_TRUE(PumpUntil([&] { return !ev.blocks.empty(); }, 2000));
  EXPECT_EQ(ev.blocks[0], B("again"));
}

TEST_F(ThreadedCommTest, DestroyingAnOpenComponentWithQueuedEventsIsSafe) {
  auto doomed = std::make_unique<TComm>();
  doomed->setCommName(QString::fromStdString(pty.slavePath()));
  Events mine;
  Watch(*doomed, mine);
  doomed->OpenPort();
  EXPECT_TRUE(doomed->SendData(reinterpret_cast<const uint8_t*>("bye"), 3));
  pty.Write("pending");
  Sleep(250);
  doomed.reset();
  PumpFor(50);
  EXPECT_EQ(mine.total(), 0);
  // The device was released: another component can take it.
  Open();
}

TEST_F(ThreadedCommTest, FarEndHangUpIsReportedOnceAndClosingStillWorks) {
  Open();
  pty.HangUp();
  ASSERT_TRUE(PumpUntil([&] { return ev.hangups == 1; }, 2000));
  // The transmit thread meets the dead device too; the owner hears it once.
  comm.SendData(reinterpret_cast<const uint8_t*>("x"), 1);
  PumpFor(150);
  EXPECT_EQ(ev.hangups, 1);
  comm.ClosePort();
  EXPECT_FALSE(comm.IsOpen());
}

// Bytes the receive thread still holds (waiting for the read interval to
// pass) when the far end hangs up reach the owner before the hang-up does,
// also when the transmit thread is the first to meet the dead device.
TEST(ThreadedCommHangUp, BytesReadJustBeforeAHangUpAreDeliveredFirst) {
  for (int round = 0; round < 12; ++round) {
    PtyPair pty;
    TComm comm;
    Events ev;
    Watch(comm, ev);
    comm.setCommName(QString::fromStdString(pty.slavePath()));
    comm.setReadIntervalTimeout(5000);  // the block would wait for this long
    comm.OpenPort();
    ASSERT_TRUE(PumpUntil([&] { return ev.sendEmpty == 1; }, 2000));
    const std::string last = "last words " + std::to_string(round);
    pty.Write(last);
    QThread::msleep(30);  // read by now, held for the interval
    if (round % 2) comm.SendData(reinterpret_cast<const uint8_t*>("?"), 1);
    pty.HangUp();
    ASSERT_TRUE(PumpUntil([&] { return ev.hangups == 1; }, 3000)) << "round " << round;
    PumpFor(20);
    std::string got;
    for (const Bytes& b : ev.blocks) got.append(b.begin(), b.end());
    EXPECT_EQ(got, last) << "round " << round;
    ASSERT_FALSE(ev.order.empty());
    EXPECT_EQ(ev.order.back(), 'H') << ev.order << " in round " << round;
    comm.ClosePort();
  }
}

TEST(ThreadedCommOpen, MissingDeviceRaises) {
  TComm comm;
  comm.setCommName("/nonexistent/ttyVortana0");
  try {
    comm.OpenPort();
    FAIL() << "no exception";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "Error opening serial port");
  }
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_FALSE(comm.SendData(reinterpret_cast<const uint8_t*>("x"), 1));
}

TEST(ThreadedCommOpen, HandleThatIsNoTerminalIsClosedAndRefused) {
  DevNullPlatform platform;
  TComm comm(nullptr, &platform);
  try {
    comm.OpenPort();
    FAIL() << "no exception";
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "File handle is not a comm handle ");
  }
  EXPECT_EQ(platform.calls, (std::vector<std::string>{"OPEN", "CLOSE"}));
  EXPECT_FALSE(comm.IsOpen());
}

TEST(ThreadedCommSettings, SettersReapplyOnlyRealChangesWhileOpen) {
  PtyPair pty;
  RecordingSerialPlatform platform;
  TComm comm(nullptr, &platform);
  comm.setCommName(QString::fromStdString(pty.slavePath()));
  comm.setBaudRate(1200);
  comm.setDtrControl(TDtrControl::DtrDisable);
  EXPECT_EQ(platform.lineCount, 0) << "applied while closed";

  comm.OpenPort();
  ASSERT_EQ(platform.lineCount, 1);
  SerialLineSettings s = platform.lastLine;
  EXPECT_EQ(s.baudRate, 1200u);
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stopBits, 0);
  EXPECT_TRUE(s.xonXoff);
  EXPECT_FALSE(s.rtsCts);
  EXPECT_FALSE(s.dtrOn);
  EXPECT_FALSE(s.parityCheck);
  EXPECT_TRUE(platform.rts) << "RtsEnable raises RTS";

  comm.setBaudRate(1200);
  comm.setParity(TParity::Even);
  comm.setReadIntervalTimeout(50);
  EXPECT_EQ(platform.lineCount, 1);

  comm.setStopBits(TStopBits::_2);
  ASSERT_EQ(platform.lineCount, 2);
  EXPECT_EQ(platform.lastLine.parity, 2);
  EXPECT_EQ(platform.lastLine.stopBits, 2);

  comm.setByteSize(TByteSize::_7);
  comm.setOutx_CtsFlow(true);
  comm.setParityCheck(true);
  comm.setOutx_XonXoffFlow(false);
  EXPECT_TRUE(platform.lastLine.xonXoff) << "input XON/XOFF is still on";
  comm.setInx_XonXoffFlow(false);
  comm.setRtsControl(TRtsControl::RtsDisable);
  ASSERT_EQ(platform.lineCount, 8);
  s = platform.lastLine;
  EXPECT_EQ(s.dataBits, 7);
  EXPECT_TRUE(s.rtsCts);
  EXPECT_TRUE(s.parityCheck);
  EXPECT_FALSE(s.xonXoff);
  EXPECT_FALSE(platform.rts);

  comm.ClosePort();
  comm.setBaudRate(4800);
  EXPECT_EQ(platform.lineCount, 8);
}

}  // namespace
