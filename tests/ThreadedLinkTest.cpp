// The threaded component lent to an engine: the engine hears every byte
// while the owner still does, the owner has its handlers back afterwards,
// and a dropped line reaches the engine once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "isp/ThreadedLink.h"
#include "support/EventPump.h"
#include "support/Pty.h"

namespace {

struct ThreadedLinkTest : ::testing::Test {
  PtyPair pty;
  TComm comm;
  ThreadedLink link{comm};
  std::string owner, engine;
  int ownerLost = 0, engineLost = 0;

  void SetUp() override {
    comm.setCommName(QString::fromStdString(pty.slavePath()));
    comm.OnReceiveData = [this](TComm*, const uint8_t* d, uint16_t n) {
      owner.append(reinterpret_cast<const char*>(d), n);
    };
    comm.OnRequestHangup = [this](TComm*) { ++ownerLost; };
    comm.OpenPort();
  }
  void Listen() {
    link.Listen([this](const uint8_t* d, int n) { engine.append(reinterpret_cast<const char*>(d), static_cast<size_t>(n)); },
                [this] { ++engineLost; });
  }
};

TEST_F(ThreadedLinkTest, BothHearEveryByteAndTheOwnerGetsItsHandlersBack) {
  Listen();
  pty.Write(std::string("status"));
  ASSERT_TRUE(PumpUntil([&] { return engine.size() == 6; }, 2000));
  EXPECT_EQ(engine, "status");
  EXPECT_EQ(owner, "status");
  ASSERT_TRUE(link.Write("ab", 2));
  EXPECT_TRUE(link.Drain(1000));
  const std::vector<uint8_t> out = pty.Read(2, 1000);
  EXPECT_EQ(std::string(out.begin(), out.end()), "ab");

  link.StopListening();
  pty.Write(std::string("later"));
  ASSERT_TRUE(PumpUntil([&] { return owner.size() == 11; }, 2000));
  EXPECT_EQ(engine, "status");
  pty.HangUp();
  ASSERT_TRUE(PumpUntil([&] { return ownerLost == 1; }, 2000));
  EXPECT_EQ(engineLost, 0);
}

TEST_F(ThreadedLinkTest, ADroppedLineIsToldOnceAndNoFrameIsCutShort) {
  Listen();
  // More than the component takes in one block: refused whole, not cut.
  const std::vector<uint8_t> big(70000, 0x55);
  EXPECT_FALSE(link.Write(big.data(), static_cast<int>(big.size())));
  EXPECT_TRUE(pty.ReadUntilQuiet(50, 200).empty());

  pty.HangUp();
  ASSERT_TRUE(PumpUntil([&] { return engineLost == 1; }, 2000));
  link.Write("x", 1);  // the transmit side meets the dead device too
  PumpFor(150);
  EXPECT_EQ(engineLost, 1);
  EXPECT_EQ(ownerLost, 1);
  comm.ClosePort();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_FALSE(link.Write("x", 1));
  link.StopListening();
}

}  // namespace
