// The link model must behave like the wire it stands for, or the engine
// tests prove nothing: bytes paced at the line rate, replies held by the
// adapter's timer or handed over when its buffer fills, and cuts that are
// the same for the same seed.
#include "sim/SimLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "support/Pty.h"

namespace {

struct Piece {
  int64_t at;
  std::vector<uint8_t> bytes;
};

// Reads the slave side as a program would and notes when each piece came.
std::vector<Piece> ReadPieces(int fd, size_t total, int timeoutMs) {
  std::vector<Piece> pieces;
  size_t got = 0;
  const int64_t deadline = SimLink::NowNs() + int64_t{timeoutMs} * 1000000;
  while (got < total && SimLink::NowNs() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    uint8_t buf[512];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    pieces.push_back({SimLink::NowNs(), std::vector<uint8_t>(buf, buf + n)});
    got += static_cast<size_t>(n);
  }
  return pieces;
}

std::vector<uint8_t> Joined(const std::vector<Piece>& pieces) {
  std::vector<uint8_t> all;
  for (const auto& p : pieces) all.insert(all.end(), p.bytes.begin(), p.bytes.end());
  return all;
}

class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    slave_ = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave_, 0);
  }
  void TearDown() override {
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair pty_;
  int slave_ = -1;
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

}  // namespace

TEST_F(SimLinkTest, HostBytesArriveAtTheLineRate) {
  SimLink link(pty_.master(), {.baud = 9600, .bitsPerByte = 10});
  const std::vector<uint8_t> cmd = Pattern(20);  // 20.8 ms on the wire
  const int64_t start = SimLink::NowNs();
  ASSERT_EQ(write(slave_, cmd.data(), cmd.size()), 20);
  std::vector<uint8_t> seen;
  uint8_t b;
  while (seen.size() < cmd.size() && link.Read(b, 1000)) seen.push_back(b);
  EXPECT_EQ(seen, cmd);
  EXPECT_GE(SimLink::NowNs() - start, 20 * 1000000LL);
  EXPECT_GE(link.LastInNs() - link.FirstInNs(), 19 * 1000000LL);
  EXPECT_FALSE(link.Read(b, 5));
}

TEST_F(SimLinkTest, AdapterHoldsRepliesUntilItsTimerOrAFullPacket) {
  SimLink link(pty_.master(), {.baud = 115200, .bitsPerByte = 10, .adapterLatencyMs = 16});
  link.Send(Pattern(10));  // 0.9 ms on the wire, then held for the tick
  auto pieces = ReadPieces(slave_, 10, 2000);
  ASSERT_EQ(Joined(pieces), Pattern(10));
  EXPECT_EQ(pieces.size(), 1u);

  // 200 bytes: three full 62-byte packets leave as they fill, the rest at
  // the next tick.
  link.Send(Pattern(200));
  pieces = ReadPieces(slave_, 200, 3000);
  ASSERT_EQ(Joined(pieces), Pattern(200));
  EXPECT_GE(pieces.size(), 2u);
  EXPECT_LE(pieces.size(), 4u);
  EXPECT_EQ(pieces.front().bytes.size(), 62u);
}

TEST_F(SimLinkTest, SeededCutsDeliverRepliesInPiecesAndInOrder) {
  SimLink link(pty_.master(), {.seed = 7, .maxPauseMs = 15});
  size_t cutReplies = 0;
  for (int r = 0; r < 6; ++r) {
    link.Send(Pattern(30));
    auto pieces = ReadPieces(slave_, 30, 2000);
    EXPECT_EQ(Joined(pieces), Pattern(30));
    cutReplies += pieces.size() > 1;
  }
  EXPECT_GT(cutReplies, 0u);
}

TEST_F(SimLinkTest, KeepsServingAfterTheProgramClosesAndReopens) {
  pty_.CloseKeeper();
  SimLink link(pty_.master());
  ::close(slave_);
  slave_ = -1;
  uint8_t b;
  EXPECT_FALSE(link.Read(b, 20));
  slave_ = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(slave_, 0);
  const uint8_t x = 0x7F;
  ASSERT_EQ(write(slave_, &x, 1), 1);
  ASSERT_TRUE(link.Read(b, 1000));
  EXPECT_EQ(b, 0x7F);
  link.Send(std::string("ok"));
  link.Flush();
  EXPECT_EQ(Joined(ReadPieces(slave_, 2, 1000)), (std::vector<uint8_t>{'o', 'k'}));
}
