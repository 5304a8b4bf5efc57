// The STM32 boot loader's byte layer on its own: the frames as the part
// checks them (complements, XOR checksums, counts less one) and the reader
// that decides when a reply is whole.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "isp/stm32/Stm32Frames.h"

namespace {

using namespace stm32;
using Bytes = std::vector<uint8_t>;

uint8_t XorOf(const Bytes& f, size_t from, size_t to) {
  uint8_t x = 0;
  for (size_t i = from; i < to; ++i) x ^= f[i];
  return x;
}

TEST(Stm32Frames, CommandAddressAndCountFramesCarryTheirChecks) {
  EXPECT_EQ(CommandFrame(0x00), (Bytes{0x00, 0xFF}));
  EXPECT_EQ(CommandFrame(0x92), (Bytes{0x92, 0x6D}));
  EXPECT_EQ(AddressFrame(0x08000000), (Bytes{0x08, 0x00, 0x00, 0x00, 0x08}));
  EXPECT_EQ(AddressFrame(0x1FFFF7E0), (Bytes{0x1F, 0xFF, 0xF7, 0xE0, 0xF7}));
  EXPECT_EQ(AddressFrame(0xFFFFFFFF), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  // The count is N - 1: one byte is 0x00, 256 bytes 0xFF.
  EXPECT_EQ(ReadCountFrame(1), (Bytes{0x00, 0xFF}));
  EXPECT_EQ(ReadCountFrame(256), (Bytes{0xFF, 0x00}));
}

TEST(Stm32Frames, WriteDataFrameIsCountDataAndAChecksumOverBoth) {
  Bytes block(256);
  std::iota(block.begin(), block.end(), uint8_t{0});
  const Bytes full = WriteDataFrame(block.data(), 256);
  ASSERT_EQ(full.size(), 258u);
  EXPECT_EQ(full.front(), 0xFF);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), full.begin() + 1));
  EXPECT_EQ(full.back(), XorOf(full, 0, 257));  // the count is in the checksum
  const uint8_t one = 0xA5;
  EXPECT_EQ(WriteDataFrame(&one, 1), (Bytes{0x00, 0xA5, 0xA5}));
}

TEST(Stm32Frames, EraseFramesHoldTheNumbersTheirCountByteCanName) {
  // The standard count byte takes 255 pages at most (0xFF would erase all).
  auto frames = EraseFrames(false, 256);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].size(), 257u);
  EXPECT_EQ(frames[0][0], 254);
  EXPECT_EQ(frames[1], (Bytes{0x00, 0xFF, 0xFF}));
  EXPECT_EQ(UnitsInEraseFrame(false, frames[0]), 255);
  // Extended: two-byte numbers, the second bank's too.
  frames = EraseFrames(true, {126, 127, 256}, 100);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (Bytes{0x00, 0x02, 0x00, 0x7E, 0x00, 0x7F, 0x01, 0x00, 0x00 ^ 0x02 ^ 0x7E ^ 0x7F ^ 0x01}));
  EXPECT_EQ(UnitsInEraseFrame(true, frames[0]), 3);
  // One slow sector a frame keeps every frame within its time-out.
  EXPECT_EQ(EraseFrames(true, {0, 1, 2}, 1).size(), 3u);
  EXPECT_TRUE(EraseFrames(true, {}, 10).empty());
  for (const auto& f : EraseFrames(true, 600)) {
    EXPECT_EQ(XorOf(f, 0, f.size() - 1), f.back());
    EXPECT_LE(f.size(), 2u + 2 * kExtendedPerFrame + 1);
  }
  // The whole flash and bank 2 are the special counts, checksummed too.
  EXPECT_EQ(MassEraseFrame(false), (Bytes{0xFF, 0x00}));
  EXPECT_EQ(MassEraseFrame(true), (Bytes{0xFF, 0xFF, 0x00}));
  EXPECT_EQ(Bank2EraseFrame(), (Bytes{0xFF, 0xFD, 0x02}));
}

Reply Read(const Bytes& b, ReplyKind kind, int bytes = 0) {
  return ReadReply(b.data(), static_cast<int>(b.size()), kind, bytes);
}

TEST(Stm32Replies, ReplyIsTakenOnlyWhenWholeAndAfterTheNoise) {
  // Noise before the ACK is skipped, and what follows the reply is not part of it.
  Reply r = Read({0x00, 0x55, kAck, 0x42}, ReplyKind::Ack);
  EXPECT_EQ(r.status, Reply::Status::Ack);
  EXPECT_EQ(r.skip, 2);
  EXPECT_EQ(r.length, 1);
  r = Read({0x55, 0x55}, ReplyKind::Ack);
  EXPECT_EQ(r.status, Reply::Status::Incomplete);
  EXPECT_EQ(r.skip, 2);
  // A NACK ends any reply at once, whatever was expected.
  for (ReplyKind k : {ReplyKind::Listed, ReplyKind::Bytes, ReplyKind::AckAck}) {
    r = Read({kNack}, k, 4);
    EXPECT_EQ(r.status, Reply::Status::Nack);
  }
  // GET: ACK, N, N + 1 bytes, ACK. Until N has come, how much is missing is unknown.
  EXPECT_EQ(Read({kAck}, ReplyKind::Listed).status, Reply::Status::Incomplete);
  EXPECT_EQ(Read({kAck}, ReplyKind::Listed).missing, 0);
  r = Read({kAck, 0x01, 0x04, 0x10}, ReplyKind::Listed);
  EXPECT_EQ(r.status, Reply::Status::Incomplete);
  EXPECT_EQ(r.missing, 1);
  r = Read({kAck, 0x01, 0x04, 0x10, kAck}, ReplyKind::Listed);
  EXPECT_EQ(r.status, Reply::Status::Ack);
  EXPECT_EQ(r.length, 5);
  // The same length closed by anything else is a broken reply, not an ACK.
  EXPECT_EQ(Read({kAck, 0x01, 0x04, 0x10, 0x00}, ReplyKind::Listed).status, Reply::Status::Invalid);
  EXPECT_EQ(Read({kAck, kNack}, ReplyKind::AckAck).status, Reply::Status::Invalid);
  EXPECT_EQ(Read({kAck, kAck}, ReplyKind::AckAck).status, Reply::Status::Ack);
  // READ MEMORY: ACK then exactly `bytes` bytes, which may look like ACKs or NACKs.
  Bytes data(257, kNack);
  data[0] = kAck;
  r = Read(Bytes(data.begin(), data.end() - 1), ReplyKind::Bytes, 256);
  EXPECT_EQ(r.status, Reply::Status::Incomplete);
  EXPECT_EQ(r.missing, 1);
  r = Read(data, ReplyKind::Bytes, 256);
  EXPECT_EQ(r.status, Reply::Status::Ack);
  EXPECT_EQ(r.length, 257);
}

TEST(Stm32Replies, SyncIsAnsweredByAnAckOrNackAnywhere) {
  const Bytes program{'h', 'e', 'l', 'l', 'o'};
  EXPECT_FALSE(SyncAnswered(program.data(), 5));
  EXPECT_FALSE(SyncAnswered(nullptr, 0));
  const Bytes late{'x', 'y', kNack};
  EXPECT_TRUE(SyncAnswered(late.data(), 3));
}

}  // namespace
