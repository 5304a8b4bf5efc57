// The main port's driver lent to an engine: the engine hears every byte
// while the terminal still does, the driver's own buffer does not fill over
// a long session, and the terminal has its handlers back afterwards.
#include <gtest/gtest.h>

#include <QThread>

#include <string>

#include "isp/PollingLink.h"
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

}  // namespace
