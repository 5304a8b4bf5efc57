// The main port's driver lent to an engine: the engine hears every byte
// while the terminal still does, the driver's own buffer does not fill over
// a long session, and the terminal has its handlers back afterwards.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <string>
#include <thread>
#include <vector>

#include "isp/PollingLink.h"
#include "support/EventPump.h"
#include "support/Pty.h"

namespace {

struct PollingLinkTest : ::testing::Test {
  PtyPair pty;
  TKRNCommDriver driver;
  PollingLink link{driver};
  std::string terminal, engine;
  int terminalLost = 0, engineLost = 0;

  void SetUp() override {
    driver.PortName = QString::fromStdString(pty.slavePath());
    driver.OnReceiveData = [this](TKRNCommDriver*, const uint8_t* d, int32_t n) {
      terminal.append(reinterpret_cast<const char*>(d), static_cast<size_t>(n));
    };
    driver.OnDeviceLost = [this](TKRNCommDriver*) { ++terminalLost; };
    ASSERT_TRUE(driver.Connect());
  }
  void Arrive(const std::string& bytes) {
    pty.Write(bytes);
    QThread::msleep(30);
    link.Poll();
  }
  void Listen() {
    link.Listen([this](const uint8_t* d, int n) { engine.append(reinterpret_cast<const char*>(d), static_cast<size_t>(n)); },
                [this] { ++engineLost; });
  }
};

TEST_F(PollingLinkTest, BothHearEveryByteAndTheTerminalGetsItsHandlersBack) {
  Listen();
  std::string sent;
  for (int i = 0; i < 40; ++i) {  // more than the driver's buffer holds
    const std::string block(64, static_cast<char>('A' + i % 26));
    Arrive(block);
    sent += block;
  }
  EXPECT_EQ(engine, sent);
  EXPECT_EQ(terminal, sent);
  EXPECT_EQ(driver.ReceiveCount, 0);

  link.StopListening();
  Arrive("after");
  EXPECT_EQ(engine, sent);
  EXPECT_EQ(terminal, sent + "after");
  EXPECT_EQ(driver.ReceiveCount, 5);  // the terminal's own buffer again
  pty.HangUp();
  link.Poll();
  EXPECT_EQ(terminalLost, 1);
  EXPECT_EQ(engineLost, 0);
}

TEST_F(PollingLinkTest, AnUnpluggedPortTellsBothOnceAndRefusesWrites) {
  Listen();
  EXPECT_TRUE(link.Write("?", 1));
  pty.HangUp();
  link.Poll();
  link.Poll();
  EXPECT_EQ(engineLost, 1);
  EXPECT_EQ(terminalLost, 1);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(link.Write("?", 1));
  link.StopListening();
}

// Watched, the link wakes its owner as soon as a byte is there, while the
// driver's own tick idles; unwatched, the tick is the terminal's again. A
// pulled adapter that stays readable is reported once, not spun on.
TEST_F(PollingLinkTest, WatchWakesAtOnceAndAPulledAdapterEndsIt) {
  Listen();
  const uint16_t tick = driver.ComPortPollingDelay();
  int wakes = 0;
  ASSERT_TRUE(link.WatchReadable([&] {
    ++wakes;
    link.Poll();
  }));
  EXPECT_GT(driver.ComPortPollingDelay(), 100);
  pty.Write("ok");
  EXPECT_TRUE(PumpUntil([&] { return engine == "ok"; }, 50));
  EXPECT_GE(wakes, 1);
  EXPECT_TRUE(link.WatchReadable(nullptr));
  EXPECT_EQ(driver.ComPortPollingDelay(), tick);

  // An owner that does not read on a wake (waiting out a long reply).
  wakes = 0;
  ASSERT_TRUE(link.WatchReadable([&] { ++wakes; }));
  pty.HangUp();
  EXPECT_TRUE(PumpUntil([&] { return engineLost == 1; }, 500));
  PumpFor(50);
  EXPECT_EQ(engineLost, 1);
  EXPECT_LE(wakes, 2);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(driver.ComPortPollingDelay(), tick);
  link.StopListening();
}

// A paused watch stays quiet while bytes arrive and calls its owner once
// when the pause is over, then watches as before; a pause cut short by
// the end of the watch calls nobody. A wait on the spot returns as soon
// as a byte is there, and gives up after its time when none comes.
TEST_F(PollingLinkTest, PauseEndsWithOneCallAndAWaitOnTheSpotIsBounded) {
  Listen();
  std::vector<qint64> wakesAt;
  QElapsedTimer clock;
  ASSERT_TRUE(link.WatchReadable([&] {
    wakesAt.push_back(clock.nsecsElapsed());
    link.Poll();
  }));
  clock.start();
  link.PauseWatchFor(30000);
  pty.Write("x");
  PumpFor(80);
  ASSERT_EQ(wakesAt.size(), 1u);
  EXPECT_GE(wakesAt[0], 30000 * 1000);
  EXPECT_EQ(engine, "x");
  pty.Write("y");
  EXPECT_TRUE(PumpUntil([&] { return engine == "xy"; }, 500));
  EXPECT_EQ(wakesAt.size(), 2u);

  link.PauseWatchFor(20000);
  ASSERT_TRUE(link.WatchReadable(nullptr));
  PumpFor(60);
  EXPECT_EQ(wakesAt.size(), 2u);

  QElapsedTimer t;
  t.start();
  EXPECT_FALSE(link.WaitReadable(20000));
  EXPECT_GE(t.nsecsElapsed(), 20000 * 1000);
  std::thread late([&] {
    QThread::msleep(20);
    pty.Write("z");
  });
  t.restart();
  EXPECT_TRUE(link.WaitReadable(5 * 1000 * 1000));
  EXPECT_LT(t.elapsed(), 2000);  // woken by the byte, not by the time
  late.join();
  link.Poll();
  EXPECT_EQ(engine, "xyz");
  link.StopListening();
}

}  // namespace
