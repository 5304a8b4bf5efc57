// Frame splitters, checksums and Modbus RTU frames, without a port.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <QFile>
#include <QTemporaryDir>

#include "terminal/Checksum.h"
#include "terminal/FrameLog.h"
#include "terminal/FrameSplitter.h"
#include "terminal/Modbus.h"
#include "terminal/SendList.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Checksum, EachKindGivesItsPublishedCheckValue) {
  const Bytes check = Str("123456789");
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc16Modbus, check), 0x4B37u);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc16CcittFalse, check), 0x29B1u);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc16Xmodem, check), 0x31C3u);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc32, check), 0xCBF43926u);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc8, check), 0xF4u);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Sum8, check), (0x31 + 0x32 + 0x33 + 0x34 + 0x35 + 0x36 + 0x37 + 0x38 + 0x39) & 0xFFu);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Xor8, check), 0x31u);
  // Empty input gives each algorithm's initial value after its final step.
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc16Modbus, {}), 0xFFFFu);
  EXPECT_EQ(ComputeChecksum(ChecksumKind::Crc32, {}), 0u);
}

TEST(Checksum, PlacedInAFrameItIsCheckedOverTheChosenRange) {
  // A Modbus request: CRC low byte first.
  const Bytes req = B({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD});
  ChecksumPlace modbus{ChecksumKind::Crc16Modbus, true, 0, 0};
  EXPECT_EQ(CheckFrame(modbus, req), ChecksumVerdict::Good);
  modbus.littleEndian = false;
  EXPECT_EQ(CheckFrame(modbus, req), ChecksumVerdict::Bad);

  // Start mark 7E skipped, sum over the body, then CR LF not covered.
  ChecksumPlace sum{ChecksumKind::Sum8, false, 1, 2};
  const Bytes body = B({0x10, 0x20, 0xF0});
  Bytes framed = B({0x7E});
  const Bytes withSum = AppendChecksum({ChecksumKind::Sum8, false, 0, 0}, body);
  framed.insert(framed.end(), withSum.begin(), withSum.end());
  framed.push_back(0x0D);
  framed.push_back(0x0A);
  ASSERT_EQ(framed[4], 0x20);  // 0x10+0x20+0xF0 wraps to 0x20
  EXPECT_EQ(CheckFrame(sum, framed), ChecksumVerdict::Good);
  framed[2] ^= 0x01;
  EXPECT_EQ(CheckFrame(sum, framed), ChecksumVerdict::Bad);
  // Too short for head, checksum and tail: no verdict on garbage memory.
  EXPECT_EQ(CheckFrame(sum, B({0x7E, 0x0D, 0x0A})), ChecksumVerdict::TooShort);
  EXPECT_EQ(CheckFrame({ChecksumKind::Crc32, false, 0, 0}, B({1, 2, 3})), ChecksumVerdict::TooShort);
  EXPECT_EQ(CheckFrame({}, B({1})), ChecksumVerdict::None);

  const Bytes crc32 = AppendChecksum({ChecksumKind::Crc32, false, 0, 0}, Str("123456789"));
  EXPECT_EQ(Bytes(crc32.end() - 4, crc32.end()), B({0xCB, 0xF4, 0x39, 0x26}));
}

// The same stream cut in different piece sizes must give the same frames.
std::vector<Frame> SplitInPieces(const SplitRule& rule, const Bytes& stream, size_t piece) {
  FrameSplitter s(rule);
  std::vector<Frame> out;
  for (size_t i = 0; i < stream.size(); i += piece)
    s.Feed(std::span<const uint8_t>(stream).subspan(i, std::min(piece, stream.size() - i)), 0, out);
  s.Flush(out);
  return out;
}

void ExpectSameInAllPieces(const SplitRule& rule, const Bytes& stream, const std::vector<Bytes>& expected) {
  for (size_t piece : {size_t{1}, size_t{32}, size_t{4096}}) {
    const auto frames = SplitInPieces(rule, stream, piece);
    ASSERT_EQ(frames.size(), expected.size()) << "piece " << piece;
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].bytes, expected[i]) << "piece " << piece << " frame " << i;
  }
}

TEST(FrameSplitter, TerminatorFixedAndLengthRulesIgnoreHowTheStreamArrives) {
  std::mt19937 rng(7);
  // Terminator 0D 0A, frames of many lengths, a lone 0D inside some.
  {
    SplitRule r;
    r.mode = SplitRule::Mode::Terminator;
    r.terminator = B({0x0D, 0x0A});
    Bytes stream;
    std::vector<Bytes> expect;
    for (int i = 0; i < 300; ++i) {
      Bytes f;
      const int n = static_cast<int>(rng() % 70);
      for (int k = 0; k < n; ++k) f.push_back(static_cast<uint8_t>(k % 5 == 4 ? 0x0D : 'a' + rng() % 26));
      f.push_back(0x0D);
      f.push_back(0x0A);
      stream.insert(stream.end(), f.begin(), f.end());
      expect.push_back(f);
    }
    ExpectSameInAllPieces(r, stream, expect);
  }
  // Fixed length 7 with a short rest, given out at the end as stray bytes.
  {
    SplitRule r;
    r.mode = SplitRule::Mode::FixedLength;
    r.fixedLength = 7;
    Bytes stream(7 * 500 + 3);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i);
    std::vector<Bytes> expect;
    for (size_t i = 0; i < stream.size(); i += 7)
      expect.emplace_back(stream.begin() + i, stream.begin() + std::min(i + 7, stream.size()));
    ExpectSameInAllPieces(r, stream, expect);
    EXPECT_TRUE(SplitInPieces(r, stream, 32).back().stray);
  }
  // Header AA 55, 2-byte little-endian length at offset 2 counting the
  // payload after it, then a 1-byte checksum it leaves out; noise between
  // frames (including a false AA) is given out on its own.
  {
    SplitRule r;
    r.mode = SplitRule::Mode::LengthField;
    r.header = B({0xAA, 0x55});
    r.lengthOffset = 2;
    r.lengthWidth = 2;
    r.lengthBigEndian = false;
    r.lengthExtra = 1;
    Bytes stream;
    std::vector<Bytes> expect;
    for (int i = 0; i < 200; ++i) {
      const int n = static_cast<int>(rng() % 300);
      Bytes f = B({0xAA, 0x55, n & 0xFF, n >> 8});
      for (int k = 0; k < n; ++k) f.push_back(static_cast<uint8_t>(rng()));
      f.push_back(0x5A);
      stream.insert(stream.end(), f.begin(), f.end());
      expect.push_back(f);
      if (i % 17 == 0) {
        const Bytes noise = B({0x01, 0xAA, 0x02});
        stream.insert(stream.end(), noise.begin(), noise.end());
        expect.push_back(noise);
      }
    }
    ExpectSameInAllPieces(r, stream, expect);
  }
}

TEST(FrameSplitter, LengthFieldCountingTheWholeFrameBigEndianAndNoiseLengths) {
  SplitRule r;
  r.mode = SplitRule::Mode::LengthField;
  r.lengthOffset = 1;
  r.lengthWidth = 2;
  r.lengthCountsWholeFrame = true;
  r.maxFrame = 64;
  // 02 | 00 05 | x x  (5 bytes), then a length of 1 (shorter than its own
  // field) and one of 0x7000 (beyond the longest frame): each drops one byte.
  const Bytes stream = B({0x02, 0x00, 0x05, 0x11, 0x22, 0x03, 0x00, 0x01, 0x04, 0x70, 0x00});
  const auto frames = SplitInPieces(r, stream, 1);
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[0].bytes, B({0x02, 0x00, 0x05, 0x11, 0x22}));
  EXPECT_FALSE(frames[0].stray);
  size_t strayBytes = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    EXPECT_TRUE(frames[i].stray);
    strayBytes += frames[i].bytes.size();
  }
  EXPECT_EQ(strayBytes, stream.size() - 5);  // every byte shown, none lost
}

TEST(FrameSplitter, GapEndsAFrameOnSilenceAndKeepsTheFirstByteTime) {
  SplitRule r;
  r.mode = SplitRule::Mode::Gap;
  r.gapMs = 5;
  FrameSplitter s(r);
  std::vector<Frame> out;
  s.Feed(B({1, 2}), 100, out);
  s.Feed(B({3}), 104, out);  // 4 ms: the same frame
  s.Tick(107, out);
  EXPECT_TRUE(out.empty());
  s.Tick(109, out);  // 5 ms after the last byte
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, B({1, 2, 3}));
  EXPECT_EQ(out[0].timeMs, 100);
  // Bytes arriving after a gap not yet ticked still start a new frame.
  s.Feed(B({4}), 200, out);
  s.Feed(B({5}), 300, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].bytes, B({4}));
  s.Flush(out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].timeMs, 300);
  EXPECT_FALSE(out[2].stray);
}

TEST(FrameSplitter, RunsLongerThanTheLongestFrameAreCutNotHeld) {
  SplitRule r;
  r.mode = SplitRule::Mode::Terminator;
  r.terminator = B({0x0A});
  r.maxFrame = 100;
  FrameSplitter s(r);
  std::vector<Frame> out;
  const Bytes run(250, 'x');
  s.Feed(run, 0, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out[0].stray);
  EXPECT_EQ(out[0].bytes.size(), 100u);
  EXPECT_EQ(s.Pending(), 50u);
}

TEST(FrameSplitter, RuleTextParsesAndBadTextIsNamed) {
  QString err;
  SplitRule r = SplitRule::Parse("gap=5ms", &err);
  EXPECT_TRUE(err.isEmpty());
  EXPECT_EQ(r.mode, SplitRule::Mode::Gap);
  EXPECT_EQ(r.gapMs, 5);
  r = SplitRule::Parse("end=0d0a", &err);
  EXPECT_TRUE(err.isEmpty());
  EXPECT_EQ(r.terminator, B({0x0D, 0x0A}));
  r = SplitRule::Parse("len@2:2le+1,head=aa55,whole", &err);
  EXPECT_TRUE(err.isEmpty()) << err.toStdString();
  EXPECT_EQ(r.mode, SplitRule::Mode::LengthField);
  EXPECT_EQ(r.lengthOffset, 2);
  EXPECT_EQ(r.lengthWidth, 2);
  EXPECT_FALSE(r.lengthBigEndian);
  EXPECT_EQ(r.lengthExtra, 1);
  EXPECT_TRUE(r.lengthCountsWholeFrame);
  EXPECT_EQ(r.header, B({0xAA, 0x55}));
  r = SplitRule::Parse("modbus,gap=30ms", &err);
  EXPECT_TRUE(err.isEmpty());
  EXPECT_EQ(r.mode, SplitRule::Mode::Modbus);
  EXPECT_EQ(r.gapMs, 30);
  for (const char* bad : {"", "gap=0", "end=0d0", "end=zz", "fixed=0", "len@1:3", "len@x:1", "colour=red"}) {
    SplitRule::Parse(bad, &err);
    EXPECT_FALSE(err.isEmpty()) << bad;
  }
}

TEST(Modbus, RequestsEncodeAsTheProtocolWritesThem) {
  using namespace modbus;
  EXPECT_EQ(EncodeRequest({1, kReadHoldingRegisters, 0, 10, {}}), B({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  EXPECT_EQ(EncodeRequest({0x11, kWriteSingleCoil, 0x00AC, 1, {1}}),
            B({0x11, 0x05, 0x00, 0xAC, 0xFF, 0x00, 0x4E, 0x8B}));
  // Ten coils 1,0,1,1,0,0,1,1, 1,0 pack low bit first: CD 01.
  const Bytes coils = EncodeRequest({0x11, kWriteMultipleCoils, 0x0013, 10, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0}});
  EXPECT_EQ(Bytes(coils.begin(), coils.end() - 2), B({0x11, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}));
  const Bytes regs = EncodeRequest({1, kWriteMultipleRegisters, 1, 2, {0x000A, 0x0102}});
  EXPECT_EQ(Bytes(regs.begin(), regs.end() - 2), B({0x01, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}));
  EXPECT_EQ(CheckFrame({ChecksumKind::Crc16Modbus, true, 0, 0}, regs), ChecksumVerdict::Good);

  QString err;
  EXPECT_TRUE(EncodeRequest({1, kReadHoldingRegisters, 0, 0, {}}, &err).empty());
  EXPECT_FALSE(err.isEmpty());
  EXPECT_TRUE(EncodeRequest({1, kReadHoldingRegisters, 0, 126, {}}).empty());
  EXPECT_FALSE(EncodeRequest({1, kReadCoils, 0, 2000, {}}).empty());
  EXPECT_TRUE(EncodeRequest({1, kReadCoils, 0, 2001, {}}).empty());
  EXPECT_TRUE(EncodeRequest({1, kReadHoldingRegisters, 0xFFFF, 2, {}}).empty());  // past address 65535
  EXPECT_TRUE(EncodeRequest({1, kWriteMultipleRegisters, 0, 0, {}}).empty());
  EXPECT_TRUE(EncodeRequest({1, 0x2B, 0, 1, {}}).empty());
}

TEST(Modbus, RepliesDecodeAndEveryFaultIsNamed) {
  using namespace modbus;
  auto withCrc = [](Bytes f) { return AppendChecksum({ChecksumKind::Crc16Modbus, true, 0, 0}, f); };
  const Request read{1, kReadHoldingRegisters, 0, 2, {}};
  const Bytes ok = withCrc(B({0x01, 0x03, 0x04, 0x12, 0x34, 0xFF, 0xFE}));
  EXPECT_EQ(ReplyLength(read, std::span<const uint8_t>(ok).first(2)), -1);
  EXPECT_EQ(ReplyLength(read, std::span<const uint8_t>(ok).first(3)), 9);
  Reply r = DecodeReply(read, ok);
  ASSERT_EQ(r.status, ReplyStatus::Ok) << r.error.toStdString();
  EXPECT_EQ(r.values, (std::vector<uint16_t>{0x1234, 0xFFFE}));

  Bytes bad = ok;
  bad[3] ^= 0x40;
  EXPECT_EQ(DecodeReply(read, bad).status, ReplyStatus::CrcError);

  const Bytes exc = withCrc(B({0x01, 0x83, 0x02}));
  EXPECT_EQ(ReplyLength(read, exc), 5);
  r = DecodeReply(read, exc);
  EXPECT_EQ(r.status, ReplyStatus::Exception);
  EXPECT_EQ(r.exceptionCode, 2);
  EXPECT_EQ(r.error, QString::fromUtf8("非法数据地址"));
  EXPECT_EQ(ExceptionName(1), QString::fromUtf8("非法功能"));

  // Another slave, another function, a byte count that does not match.
  EXPECT_EQ(DecodeReply(read, withCrc(B({0x02, 0x03, 0x04, 0, 0, 0, 0}))).status, ReplyStatus::Mismatch);
  EXPECT_EQ(DecodeReply(read, withCrc(B({0x01, 0x04, 0x04, 0, 0, 0, 0}))).status, ReplyStatus::Mismatch);
  EXPECT_EQ(DecodeReply(read, withCrc(B({0x01, 0x03, 0x02, 0, 0}))).status, ReplyStatus::Mismatch);

  // Bits come back low bit first; the padding bits are not values.
  const Request coils{1, kReadCoils, 0, 10, {}};
  r = DecodeReply(coils, withCrc(B({0x01, 0x01, 0x02, 0xCD, 0xFF})));
  ASSERT_EQ(r.status, ReplyStatus::Ok);
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1, 0, 1, 1, 0, 0, 1, 1, 1, 1}));

  // A write's echo must match what was asked.
  const Request write{1, kWriteSingleRegister, 5, 1, {0x0102}};
  EXPECT_EQ(DecodeReply(write, EncodeRequest(write)).status, ReplyStatus::Ok);
  EXPECT_EQ(DecodeReply(write, withCrc(B({0x01, 0x06, 0x00, 0x05, 0x01, 0x03}))).status, ReplyStatus::Mismatch);
}

// A master's request, then the slave's reply, over and over, with noise.
TEST(ModbusMonitor, ChunkedDeliveryDecodesTheSameFramesAsWholeFrames) {
  using namespace modbus;
  auto withCrc = [](Bytes f) { return AppendChecksum({ChecksumKind::Crc16Modbus, true, 0, 0}, f); };
  std::vector<Bytes> frames;
  std::mt19937 rng(3);
  for (int i = 0; i < 60; ++i) {
    const uint16_t n = static_cast<uint16_t>(1 + rng() % 40);
    frames.push_back(EncodeRequest({1, kReadHoldingRegisters, static_cast<uint16_t>(i), n, {}}));
    Bytes rep = B({0x01, 0x03, 2 * n});
    for (int k = 0; k < 2 * n; ++k) rep.push_back(static_cast<uint8_t>(rng()));
    frames.push_back(withCrc(rep));
    const Request w{2, kWriteMultipleRegisters, 7, 3, {1, 2, 3}};
    frames.push_back(EncodeRequest(w));
    frames.push_back(withCrc(B({0x02, 0x10, 0x00, 0x07, 0x00, 0x03})));
    frames.push_back(EncodeRequest({3, kReadCoils, 0, 9, {}}));
    frames.push_back(withCrc(B({0x03, 0x81, 0x02})));
  }
  Bytes stream;
  for (const auto& f : frames) stream.insert(stream.end(), f.begin(), f.end());

  for (size_t piece : {size_t{1}, size_t{32}, size_t{64}, size_t{4096}}) {
    Monitor m;
    std::vector<BusFrame> out;
    // All at one instant: no gap is there to help.
    for (size_t i = 0; i < stream.size(); i += piece)
      m.Feed(std::span<const uint8_t>(stream).subspan(i, std::min(piece, stream.size() - i)), 0, out);
    m.Flush(out);
    ASSERT_EQ(out.size(), frames.size()) << "piece " << piece;
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].bytes, frames[i]) << "piece " << piece << " frame " << i;
      EXPECT_TRUE(out[i].valid);
      EXPECT_EQ(out[i].reply, i % 2 == 1) << i;
    }
  }
}

TEST(ModbusMonitor, BrokenBytesAreShownAsNoiseAndTheNextFrameStillDecodes) {
  using namespace modbus;
  const Bytes req = EncodeRequest({1, kReadHoldingRegisters, 0, 2, {}});
  Bytes broken = req;
  broken[4] ^= 0xFF;  // CRC fails
  Bytes stream = broken;
  stream.insert(stream.end(), req.begin(), req.end());
  Monitor m;
  std::vector<BusFrame> out;
  m.Feed(stream, 10, out);
  m.Flush(out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FALSE(out[0].valid);
  EXPECT_EQ(out[0].bytes, broken);
  EXPECT_TRUE(out[1].valid);
  EXPECT_EQ(out[1].bytes, req);
  EXPECT_FALSE(out[1].reply);

  // A reply cut short: the silence after it gives it up as noise.
  Monitor m2(20);
  out.clear();
  m2.Feed(B({0x01, 0x03, 0x04, 0x00}), 100, out);
  m2.Tick(110, out);
  EXPECT_TRUE(out.empty());
  m2.Tick(125, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].valid);
  EXPECT_EQ(out[0].bytes.size(), 4u);
}

TEST(FrameLog, FramesIndexTheStoreAndASplitOfTheHistoryMatchesTheLiveOne) {
  std::vector<uint8_t> store;
  FrameLog log(store);
  SplitRule gap;
  gap.mode = SplitRule::Mode::Gap;
  gap.gapMs = 10;
  log.SetRule(gap);
  auto arrive = [&](const Bytes& b, int64_t mono, uint32_t ms) {
    store.insert(store.end(), b.begin(), b.end());
    return log.Appended(mono, ms);
  };
  arrive(Str("AB\r\n"), 1000, 500);
  arrive(Str("C"), 1005, 505);
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_EQ(log.Tick(1016), 1u);  // the silence ends "AB\r\nC"
  arrive(Str("DE\r\nF"), 2000, 1500);
  arrive(Str("G\r\n"), 2003, 1503);
  log.Tick(2100);
  ASSERT_EQ(log.Count(), 2u);
  EXPECT_EQ(log.HexText(0), QStringLiteral("41 42 0D 0A 43"));
  EXPECT_EQ(log.At(1).msOfDay, 1500u);
  EXPECT_EQ(log.TimeText(1), QStringLiteral("00:00:01.500"));
  EXPECT_EQ(log.PlainText(1), QStringLiteral("DE..FG.."));

  // The same history under a terminator rule: times are those of each
  // frame's first byte, and the rest stays pending until more comes.
  SplitRule end;
  end.mode = SplitRule::Mode::Terminator;
  end.terminator = B({0x0D, 0x0A});
  log.SetRule(end);
  ASSERT_EQ(log.Count(), 3u);
  EXPECT_EQ(log.PlainText(1), QStringLiteral("CDE.."));
  EXPECT_EQ(log.At(1).msOfDay, 505u);
  EXPECT_EQ(log.At(2).msOfDay, 1500u);  // "FG\r\n" starts in the 1500 delivery
  EXPECT_EQ(log.PendingBytes(), 0u);
  // And back: the gaps are where they were.
  log.SetRule(gap);
  EXPECT_EQ(log.Count(), 1u);  // the last frame waits for its silence again
  log.Tick(5000);
  EXPECT_EQ(log.Count(), 2u);

  // A checksum chosen later judges every frame already there.
  log.SetChecksum({ChecksumKind::Xor8, false, 0, 0});
  EXPECT_EQ(log.At(0).verdict, static_cast<uint8_t>(ChecksumVerdict::Bad));
  store.clear();
  log.Cleared();
  arrive(AppendChecksum({ChecksumKind::Xor8, false, 0, 0}, Str("xyz")), 9000, 9000);
  log.Tick(9100);
  ASSERT_EQ(log.Count(), 1u);
  EXPECT_EQ(log.At(0).offset, 0u);
  EXPECT_EQ(log.At(0).verdict, static_cast<uint8_t>(ChecksumVerdict::Good));
}

TEST(FrameLog, AFrameCutByTheHistoryLimitStartsOverWithTheNewHistory) {
  std::vector<uint8_t> store;
  FrameLog log(store);
  SplitRule r;
  r.mode = SplitRule::Mode::Terminator;
  r.terminator = B({0x0A});
  log.SetRule(r);
  store = Str("one\ntw");
  log.Appended(0, 0);
  ASSERT_EQ(log.Count(), 1u);
  // The receive area empties itself at its limit; the store is new.
  store.clear();
  log.Cleared();
  store = Str("o\nthree\n");
  log.Appended(1, 1);
  ASSERT_EQ(log.Count(), 2u);
  EXPECT_EQ(log.PlainText(0), QStringLiteral("o."));  // no bytes from before the clear
  EXPECT_EQ(log.PlainText(1), QStringLiteral("three."));
  // A store emptied without a word is noticed, not read past its end.
  store = Str("x\n");
  log.Appended(2, 2);
  ASSERT_EQ(log.Count(), 1u);
  EXPECT_EQ(log.PlainText(0), QStringLiteral("x."));
}

TEST(FrameLog, FindsHexOrTextAndSavesCsvThatASpreadsheetCannotRun) {
  std::vector<uint8_t> store;
  FrameLog log(store);
  SplitRule r;
  r.mode = SplitRule::Mode::Terminator;
  r.terminator = B({0x0A});
  log.SetRule(r);
  store = Str("=1+2,\"x\"\nabc\n");
  store.push_back(0x01);
  store.push_back(0xAB);
  store.push_back(0x0A);
  log.Appended(0, 3723004);
  ASSERT_EQ(log.Count(), 3u);
  EXPECT_EQ(log.Find("01 ab", 0), 2);
  EXPECT_EQ(log.Find("abc", 0), 1);
  EXPECT_EQ(log.Find("abc", 2), 1);  // wraps round
  EXPECT_EQ(log.Find("zz", 0), -1);
  QTemporaryDir dir;
  const QString path = dir.filePath("f.csv");
  ASSERT_TRUE(log.SaveCsv(path));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"));
  ASSERT_GE(lines.size(), 4);
  EXPECT_EQ(lines[1], QStringLiteral("01:02:03.004,9,3D 31 2B 32 2C 22 78 22 0A,\"'=1+2,\"\"x\"\".\","));
  EXPECT_EQ(lines[3], QStringLiteral("01:02:03.004,3,01 AB 0A,...,"));
}

TEST(SendList, EntriesGiveTheirBytesWithTheChecksumInTheOrderChosen) {
  SendEntry e;
  e.name = "读";
  e.data = "01 03 00 00 00 0A";
  e.checksum = ChecksumKind::Crc16Modbus;
  e.littleEndian = true;
  EXPECT_EQ(EntryBytes(e, TextEncoding::Gbk), B({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  e.littleEndian = false;
  EXPECT_EQ(EntryBytes(e, TextEncoding::Gbk).back(), 0xC5);
  // Text in the chosen encoding; the sum leaves out a start mark.
  e.hex = false;
  e.data = QString::fromUtf8("\x02中");
  e.checksum = ChecksumKind::Sum8;
  e.skipHead = 1;
  EXPECT_EQ(EntryBytes(e, TextEncoding::Gbk), B({0x02, 0xD6, 0xD0, (0xD6 + 0xD0) & 0xFF}));
  EXPECT_EQ(EntryBytes(e, TextEncoding::Utf8), B({0x02, 0xE4, 0xB8, 0xAD, (0xE4 + 0xB8 + 0xAD) & 0xFF}));
  // Line breaks, however the editor holds them, go out as the chosen one.
  e.checksum = ChecksumKind::None;
  e.data = "AT\nB\r\nC\r";
  EXPECT_EQ(EntryBytes(e, TextEncoding::Gbk), Str("AT\r\nB\r\nC\r\n"));
  EXPECT_EQ(EntryBytes(e, TextEncoding::Gbk, LineEnding::Cr), Str("AT\rB\rC\r"));
  // Hex without a digit is refused rather than sending a lone checksum.
  e.hex = true;
  e.data = "zz";
  QString err;
  EXPECT_TRUE(EntryBytes(e, TextEncoding::Gbk, LineEnding::CrLf, &err).empty());
  EXPECT_FALSE(err.isEmpty());
}

TEST(SendList, JsonKeepsEveryFieldAndRefusesWhatIsNotAList) {
  std::vector<SendEntry> list(2);
  list[0] = {QString::fromUtf8("启动 \"A\""), "AA 55 01", true, ChecksumKind::Crc16CcittFalse, true, 2, 250, "Ctrl+1"};
  list[1] = {"text", QString::fromUtf8("你好\r\n"), false, ChecksumKind::None, false, 0, 1, ""};
  std::vector<SendEntry> back;
  QString err;
  ASSERT_TRUE(SendListFromJson(SendListToJson(list), &back, &err));
  EXPECT_EQ(back, list);
  ASSERT_TRUE(SendListFromJson(SendListToJson(list, false), &back, &err));
  EXPECT_EQ(back, list);

  back = list;
  for (const char* bad : {"", "[1,2]", "{\"sendList\": 3}", "{\"sendList\": ["}) {
    EXPECT_FALSE(SendListFromJson(bad, &back, &err)) << bad;
    EXPECT_FALSE(err.isEmpty());
    EXPECT_EQ(back, list);  // untouched
  }
  // A wait of 0 or less would spin a repeated sequence; unknown sums are none.
  ASSERT_TRUE(SendListFromJson(R"({"sendList":[{"name":"x","delayMs":0,"checksum":"md5"}]})", &back, &err));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].delayMs, 1);
  EXPECT_EQ(back[0].checksum, ChecksumKind::None);
}

TEST(SendList, SequenceRunsOnceOrRoundAndRound) {
  SendSequence s;
  s.Start(3, false);
  std::vector<int> got;
  for (int i; (i = s.Next()) >= 0;) got.push_back(i);
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(s.Running());
  s.Start(2, true);
  got.clear();
  for (int k = 0; k < 5; ++k) got.push_back(s.Next());
  EXPECT_EQ(got, (std::vector<int>{0, 1, 0, 1, 0}));
  s.Stop();
  EXPECT_EQ(s.Next(), -1);
  s.Start(0, true);
  EXPECT_EQ(s.Next(), -1);
}

TEST(Modbus, ATransactionTakesTheReplyInAnyPiecesAndNamesWhatWentWrong) {
  using namespace modbus;
  auto withCrc = [](Bytes f) { return AppendChecksum({ChecksumKind::Crc16Modbus, true, 0, 0}, f); };
  Transaction t({7, kReadInputRegisters, 0, 3, {}});
  const Bytes reply = withCrc(B({7, 4, 6, 0, 1, 0, 2, 0, 3}));
  for (size_t i = 0; i + 1 < reply.size(); ++i) EXPECT_FALSE(t.Feed(std::span<const uint8_t>(&reply[i], 1)));
  Bytes last = {reply.back(), 0xEE, 0xEE};  // line noise after the reply
  EXPECT_TRUE(t.Feed(last));
  Reply r = t.Result();
  ASSERT_EQ(r.status, ReplyStatus::Ok) << r.error.toStdString();
  EXPECT_EQ(r.values, (std::vector<uint16_t>{1, 2, 3}));

  Transaction silent({7, kReadCoils, 0, 1, {}});
  EXPECT_EQ(silent.Result().status, ReplyStatus::Timeout);
  EXPECT_TRUE(silent.Result().error.contains(QString::fromUtf8("无应答")));
  silent.Feed(B({7, 1}));
  EXPECT_TRUE(silent.Result().error.contains(QString::fromUtf8("不完整")));

  Transaction bad({7, kWriteSingleRegister, 1, 1, {5}});
  Bytes echo = bad.Frame();
  echo[5] ^= 1;  // the value changed on the line: the CRC no longer fits
  EXPECT_TRUE(bad.Feed(echo));
  EXPECT_EQ(bad.Result().status, ReplyStatus::CrcError);

  Transaction refused({7, kReadHoldingRegisters, 0, 200, {}});
  EXPECT_TRUE(refused.Frame().empty());
  EXPECT_FALSE(refused.Error().isEmpty());
}

TEST(Modbus, ValuesShowAndParseInEveryFormat) {
  using namespace modbus;
  const std::vector<uint16_t> regs = {0x3FC0, 0x0000, 0xFFFF, 0x8000};
  EXPECT_EQ(FormatValue(regs, 2, ValueFormat::Unsigned), "65535");
  EXPECT_EQ(FormatValue(regs, 2, ValueFormat::Signed), "-1");
  EXPECT_EQ(FormatValue(regs, 3, ValueFormat::Signed), "-32768");
  EXPECT_EQ(FormatValue(regs, 0, ValueFormat::Hex), "0x3FC0");
  EXPECT_EQ(FormatValue(regs, 0, ValueFormat::FloatAbcd), "1.5");
  EXPECT_EQ(FormatValue({0x0000, 0x3FC0}, 0, ValueFormat::FloatCdab), "1.5");
  EXPECT_EQ(FormatValue(regs, 1, ValueFormat::FloatAbcd), "");  // second half of a pair
  EXPECT_EQ(FormatValue({1, 2, 3}, 2, ValueFormat::FloatAbcd), "");  // no partner
  EXPECT_EQ(FormatValue(regs, 9, ValueFormat::Unsigned), "");

  std::vector<uint16_t> v;
  QString err;
  ASSERT_TRUE(ParseValues("1, -1 0x10", ValueFormat::Unsigned, false, &v, &err));
  EXPECT_EQ(v, (std::vector<uint16_t>{1, 0xFFFF, 0x10}));
  ASSERT_TRUE(ParseValues("1.5", ValueFormat::FloatCdab, false, &v, &err));
  EXPECT_EQ(v, (std::vector<uint16_t>{0x0000, 0x3FC0}));
  for (const char* bad : {"", "65536", "-32769", "abc"}) EXPECT_FALSE(ParseValues(bad, ValueFormat::Unsigned, false, &v, &err)) << bad;
  EXPECT_FALSE(ParseValues("2", ValueFormat::Unsigned, true, &v, &err));
  EXPECT_FALSE(ParseValues("x", ValueFormat::FloatAbcd, false, &v, &err));
}

// The frame view's Modbus rule is the monitor: chunked delivery decodes the
// same, and the pending count covers bytes the monitor still holds.
TEST(FrameSplitter, ModbusRuleSplitsByCrcWhateverThePieces) {
  using namespace modbus;
  const Bytes req = EncodeRequest({9, kReadHoldingRegisters, 0, 30, {}});
  Bytes rep = B({9, 3, 60});
  for (int i = 0; i < 60; ++i) rep.push_back(static_cast<uint8_t>(i * 7));
  rep = AppendChecksum({ChecksumKind::Crc16Modbus, true, 0, 0}, rep);
  Bytes stream;
  for (int k = 0; k < 20; ++k) {
    stream.insert(stream.end(), req.begin(), req.end());
    stream.insert(stream.end(), rep.begin(), rep.end());
  }
  QString err;
  const SplitRule r = SplitRule::Parse("modbus", &err);
  std::vector<Bytes> expect;
  for (int k = 0; k < 20; ++k) {
    expect.push_back(req);
    expect.push_back(rep);
  }
  ExpectSameInAllPieces(r, stream, expect);
  const auto frames = SplitInPieces(r, stream, 32);
  EXPECT_FALSE(frames[0].reply);
  EXPECT_TRUE(frames[1].reply);
  FrameSplitter s(r);
  std::vector<Frame> out;
  s.Feed(std::span<const uint8_t>(rep).first(10), 0, out);
  EXPECT_EQ(s.Pending(), 10u);
  s.Tick(100, out);  // silence: the broken reply is given up as stray bytes
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].stray);
  EXPECT_EQ(s.Pending(), 0u);
}

}  // namespace
