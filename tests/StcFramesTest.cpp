// The STC byte layer: fixed frames, checksums, identification, blocks,
// reply recognition and the image through the converter library.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>
#include <fstream>

#include "isp/stc/StcFrames.h"
#include "sim/StcSim.h"

using namespace stc;

namespace {

// Length field, checksum and end byte of a host frame given as hex text.
void ExpectWellFormed(const QString& frameText) {
  QString text = frameText;
  if (text.startsWith(QStringLiteral("FEFEFEFE"))) text = text.mid(8);
  const std::vector<uint8_t> b = HexToBytes(text);
  ASSERT_GE(b.size(), 8u) << frameText.toStdString();
  EXPECT_EQ(b[0], 0x46);
  EXPECT_EQ(b[1], 0xB9);
  EXPECT_EQ(b[2], 0x6A);
  EXPECT_EQ(((b[3] << 8) | b[4]) + 2, static_cast<int>(b.size())) << frameText.toStdString();
  EXPECT_EQ(b.back(), 0x16);
  EXPECT_EQ(FrameChecksum(text.left(text.size() - 4)), text.mid(text.size() - 4, 2))
      << frameText.toStdString();
}

}  // namespace

TEST(StcFrames, FixedFramesCarryTheirChecksum) {
  EXPECT_EQ(FrameChecksum(kConfirmFrame.left(12)), QStringLiteral("C0"));
  EXPECT_EQ(FrameChecksum(kEndFlagFrame.mid(8, 12)), QStringLiteral("F2"));
  EXPECT_EQ(FrameChecksum(QStringLiteral(" 46 B9 6A 00 06 50 ")), QStringLiteral("C0"));
  ExpectWellFormed(kConfirmFrame);
  ExpectWellFormed(kEndFlagFrame);
  ExpectWellFormed(ClockFrame(true));
  ExpectWellFormed(ClockFrame(false));
  for (int model = 1; model <= 6; ++model) {
    ExpectWellFormed(ControlFrame(model));
    ExpectWellFormed(EraseFrame(model));
  }
  EXPECT_TRUE(ControlFrame(0).isEmpty());
  EXPECT_TRUE(SpeedFrame1(SpeedTimer::Timer2, SpeedPlan{}).isEmpty());
}

// The erase covers the image: two counts per 512 bytes, never fewer than
// the part's fixed frame carries; the frame stays well formed.
TEST(StcFrames, EraseCountCoversTheImage) {
  EXPECT_EQ(EraseFrame(1), QStringLiteral("46B96A000D84053333333333333216"));
  EXPECT_EQ(EraseFrame(2), QStringLiteral("46B96A000D840C3333333333333916"));
  EXPECT_EQ(EraseFrame(6), QStringLiteral("46B96A000D84073333333333333416"));
  struct Case {
    int model;
    size_t length;
    int count;
  } cases[] = {{1, 1, 0x05},    {1, 512, 0x05},  {1, 513, 0x05},  {1, 1536, 0x06},
               {1, 8192, 0x20}, {2, 3000, 0x0C}, {2, 20480, 0x50}, {6, 32768, 0x80},
               {3, 64512, 0xFC}, {4, 4096, 0x10}};
  for (const Case& c : cases) {
    const QString frame = EraseFrame(c.model, c.length);
    ExpectWellFormed(frame);
    EXPECT_EQ(HexToBytes(frame)[6], c.count) << c.model << " " << c.length;
  }
  EXPECT_EQ(EraseFrame(5, 1024), EraseFrame(5));  // the small part's own frame
}

TEST(StcFrames, FlashOfEveryModel) {
  const size_t kb[] = {8, 20, 63, 4, 1, 32};
  for (int model = 1; model <= 6; ++model) EXPECT_EQ(FlashSizeOf(model), kb[model - 1] * 1024);
  EXPECT_EQ(FlashSizeOf(0), 0u);
}

TEST(StcFrames, LongEraseFrameOfTheSmallPart) {
  const std::vector<uint8_t> b = HexToBytes(EraseFrame(5));
  ASSERT_EQ(b.size(), 141u);
  const std::vector<uint8_t> head = {0xFF, 0x00, 0x03, 0xEA, 0x00, 0x10};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), b.begin() + 6));
  for (int i = 0; i < 12; ++i) EXPECT_EQ(b[12 + i], 0x00);
  for (int i = 0; i < 115; ++i) EXPECT_EQ(b[24 + i], 0x80 - i);
  EXPECT_EQ(b[139], 0x5A);
}

// The frames the programmer used to carry as a table, at the six crystals it
// knew: its rows come out of the arithmetic unchanged, except the two that
// were wrong (the STC89C58RD+ got the 1T part's row at 11.0592 MHz, 21 bit/s
// on that part; at 24 MHz the wait was the one for 20 MHz and below).
TEST(StcFrames, SpeedFramesOfTheKnownCrystals) {
  const struct {
    double crystal;
    uint32_t baud;
    const char* first;
    const char* second;
  } rows[] = {
      {11059200, 115200, "46B96A000C8FFFFD00062881B016", "46B96A000B8EFFFD0006282D16"},
      {18432000, 115200, "46B96A000C8FFFFB000A2881B216", "46B96A000B8EFFFB000A282F16"},
      {22118400, 115200, "46B96A000C8FFFFA000C2880B216", "46B96A000B8EFFFA000C283016"},
      {36864000, 115200, "46B96A000C8FFFF600142880B616", "46B96A000B8EFFF60014283416"},
      {12000000, 38400, "46B96A000C8FFFF600142881B716", "46B96A000B8EFFF60014283416"},
      {24000000, 57600, "46B96A000C8FFFF3001A2880B916", "46B96A000B8EFFF3001A283716"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.crystal);
    const SpeedPlan plan = PlanSpeed(SpeedTimer::Timer2, r.crystal);
    EXPECT_EQ(plan.baud, r.baud);
    EXPECT_EQ(SpeedFrame1(SpeedTimer::Timer2, plan), QLatin1String(r.first));
    EXPECT_EQ(SpeedFrame2(SpeedTimer::Timer2, plan), QLatin1String(r.second));
  }
  // The 1T part's row was right for it.
  const SpeedPlan small = PlanSpeed(SpeedTimer::Brt8, 11059200);
  EXPECT_EQ(SpeedFrame1(SpeedTimer::Brt8, small), QStringLiteral("46B96A000C8FC0FA3F0C2883B516"));
  EXPECT_EQ(SpeedFrame2(SpeedTimer::Brt8, small), QStringLiteral("46B96A000B8EC0FA3F0C283016"));
  EXPECT_EQ(SpeedTimerOf(6), SpeedTimer::Timer2);  // STC89C58RD+
  EXPECT_EQ(SpeedTimerOf(5), SpeedTimer::Brt8);    // STC12C1052
}

// Every crystal from 6 to 40 MHz, as the part measures it: the reload gives
// a speed within a UART's margin by the part's own arithmetic, and the wait
// is long enough for the clock (STC89 data sheet, ISP_CONTR: wait 3 up to
// 5 MHz, 2 up to 10, 1 up to 20, 0 up to 40).
TEST(StcFrames, SpeedFramesForEveryCrystal) {
  for (double mhz = 6.0; mhz <= 40.0; mhz += 0.125) {
    SCOPED_TRACE(mhz);
    StcSimProfile p = StcProfile("STC89C58RD+", static_cast<uint32_t>(mhz * 1e6));
    const double measured = MeasuredClockHz(BytesToHex(StcSim::StatusPacket(p, 1200)), 1200);
    EXPECT_NEAR(measured, mhz * 1e6, mhz * 1e6 * 0.001);
    const SpeedPlan plan = PlanSpeed(SpeedTimer::Timer2, measured);
    ASSERT_NE(plan.baud, 0u);
    const std::vector<uint8_t> b = HexToBytes(SpeedFrame1(SpeedTimer::Timer2, plan));
    ExpectWellFormed(SpeedFrame1(SpeedTimer::Timer2, plan));
    ExpectWellFormed(SpeedFrame2(SpeedTimer::Timer2, plan));
    const int reload = (b[6] << 8) | b[7];
    const double real = mhz * 1e6 / (32.0 * (65536 - reload));
    EXPECT_LT(std::abs(real - plan.baud) / plan.baud, 0.03) << plan.baud;
    EXPECT_EQ(b[8], 0xFF - b[6]);
    const int wait = b[11] & 7;
    const double goodUpTo[] = {40e6, 20e6, 10e6, 5e6};
    EXPECT_EQ(b[11] & 0x80, 0x80);
    ASSERT_LT(wait, 4);
    EXPECT_LE(mhz * 1e6, goodUpTo[wait]);
    // And no longer than needed: the next shorter wait would not do.
    if (wait < 3) {
      EXPECT_GE(mhz * 1e6, goodUpTo[wait + 1] * 0.999) << wait;
    }
  }
  // 1T part: an 8-bit reload over 16 samples.
  for (double mhz = 6.0; mhz <= 35.0; mhz += 0.5) {
    const SpeedPlan plan = PlanSpeed(SpeedTimer::Brt8, mhz * 1e6);
    ASSERT_NE(plan.baud, 0u) << mhz;
    const double real = mhz * 1e6 / (16.0 * (256 - plan.reload));
    EXPECT_LT(std::abs(real - plan.baud) / plan.baud, 0.03) << mhz;
  }
  EXPECT_EQ(PlanSpeed(SpeedTimer::Timer2, 0).baud, 0u);
}

TEST(StcFrames, LaterTableRowsWin) {
  EXPECT_EQ(ModelCodeOf(QStringLiteral("00F0028200F1088200")), 6);
  EXPECT_EQ(OscCodeOf(QStringLiteral("001C0014003900290016")), 3);
  EXPECT_EQ(ModelCodeOf(QStringLiteral("F00283")), 0);
  EXPECT_EQ(OscCodeOf(QStringLiteral("68003B00")), 0);
  EXPECT_EQ(ModelName(6) + OscText(3), QStringLiteral("STC89C58RD+/时钟频率: 22.1184M"));
}

// The status packets of the current boot loader, for every model and every
// crystal, at the connect speed, with the small measuring error real parts
// show, identify the part.
TEST(StcFrames, StatusPacketsOfEveryModelAndCrystal) {
  const char* models[] = {"STC89C52RC", "STC89C55RD+", "STC89C516RD+",
                          "STC89C51RC", "STC12C1052",  "STC89C58RD+"};
  const uint32_t crystals[] = {11059200, 18432000, 22118400, 36864000, 12000000, 24000000};
  for (int m = 0; m < 6; ++m) {
    for (int c = 0; c < 6; ++c) {
      for (int offset = -2; offset <= 0; ++offset) {
        StcSimProfile p = StcProfile(models[m], crystals[c]);
        p.countOffset = offset;
        const QString hex = BytesToHex(StcSim::StatusPacket(p, 1200));
        EXPECT_EQ(ModelCodeOf(hex), m + 1) << models[m];
        EXPECT_EQ(OscCodeOf(hex), c + 1) << models[m] << " " << crystals[c] << " " << offset;
      }
    }
  }
  const QString c52 = BytesToHex(StcSim::StatusPacket(StcProfile("STC89C52RC", 11059200), 1200));
  EXPECT_TRUE(c52.startsWith(
      QStringLiteral("68003B00150015001500150015001500150015004343FDF00282")));
  EXPECT_EQ(c52.size(), 59 * 2);
}

TEST(StcFrames, BlocksAndDataFrames) {
  QStringList one = SplitIntoBlocks({0x5A});
  ASSERT_EQ(one.size(), 1);
  EXPECT_EQ(one[0], QStringLiteral("5A") + QString(254, QLatin1Char('0')));

  std::vector<uint8_t> image(256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i);
  const QStringList two = SplitIntoBlocks(image);
  ASSERT_EQ(two.size(), 2);
  EXPECT_EQ(two[1], BytesToHex(image.data() + 128, 128));
  EXPECT_TRUE(SplitIntoBlocks({}).isEmpty());

  const QString frame = DataFrame(1, two[1]);
  EXPECT_EQ(frame.size(), 142 * 2);
  EXPECT_TRUE(frame.startsWith(QStringLiteral("46B96A008C00000000800080") + two[1]));
  ExpectWellFormed(frame);
  EXPECT_EQ(DataFrame(511, two[0]).mid(16, 4), QStringLiteral("FF80"));

  EXPECT_EQ(BlockProgress(0, 2), 50);
  EXPECT_EQ(BlockProgress(1, 2), 100);
  EXPECT_EQ(BlockProgress(0, 8), 12);  // 12.5: halves go to even
  EXPECT_EQ(BlockProgress(2, 8), 38);  // 37.5
  EXPECT_EQ(SizeLabelText(3000), QStringLiteral("2.9 KB"));
  EXPECT_EQ(SizeLabelText(1100), QStringLiteral("1.0 KB"));
}

// Frame a part sends: [46 B9] 68, length, payload, sum, 16.
std::vector<uint8_t> DeviceFrame(std::vector<uint8_t> payload, bool header = true) {
  std::vector<uint8_t> f = {0x68, 0x00, 0x00};
  f.insert(f.end(), payload.begin(), payload.end());
  const size_t length = f.size() + 2;
  f[1] = static_cast<uint8_t>(length >> 8);
  f[2] = static_cast<uint8_t>(length);
  uint8_t sum = 0;
  for (uint8_t b : f) sum = static_cast<uint8_t>(sum + b);
  f.push_back(sum);
  f.push_back(0x16);
  if (header) f.insert(f.begin(), {0x46, 0xB9});
  return f;
}

// A reply is complete when its whole frame is in, however it was cut; noise
// before it is passed over; a wrong sum or a frame still short of its
// length is no reply, even when the newest byte is 16.
TEST(StcFrames, ReplyIsAWholeFrame) {
  const std::vector<uint8_t> reply = DeviceFrame({0x80, 0x16, 0x16});  // 16 inside the payload
  for (size_t cut = 1; cut < reply.size(); ++cut) {
    ReplyCollector rx;
    EXPECT_FALSE(rx.Feed(reply.data(), cut)) << cut;
    EXPECT_TRUE(rx.Feed(reply.data() + cut, reply.size() - cut)) << cut;
    EXPECT_EQ(rx.LastReply, BytesToHex(reply));
    EXPECT_EQ(rx.Pending(), 0u);
  }
  ReplyCollector rx;  // byte by byte: complete at the last one only
  for (size_t i = 0; i < reply.size(); ++i) EXPECT_EQ(rx.Feed(&reply[i], 1), i + 1 == reply.size()) << i;

  // Connect pulses echoed and noise ahead of the status packet, which has
  // no header.
  StcSimProfile p = StcProfile("STC89C52RC", 11059200);
  std::vector<uint8_t> status = {0x7F, 0x7F, 0x16, 0x68, 0x00};
  const std::vector<uint8_t> packet = StcSim::StatusPacket(p, 1200);
  status.insert(status.end(), packet.begin(), packet.end());
  ReplyCollector connect;
  size_t at = 0;
  bool done = false;
  while (at < status.size()) {  // pieces of seven bytes, as a slow line gives them
    const size_t n = std::min<size_t>(7, status.size() - at);
    done = connect.Feed(status.data() + at, n);
    at += n;
    if (at < status.size()) {
      EXPECT_FALSE(done) << at;
    }
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(connect.LastReply, BytesToHex(packet));
  EXPECT_EQ(connect.FirmwareVersion, QStringLiteral("43C"));

  std::vector<uint8_t> bad = reply;
  bad[bad.size() - 2] ^= 1;
  ReplyCollector wrongSum;
  EXPECT_FALSE(wrongSum.Feed(bad.data(), bad.size()));
  // The good frame after it still counts.
  EXPECT_TRUE(wrongSum.Feed(reply.data(), reply.size()));
  EXPECT_EQ(wrongSum.LastReply, BytesToHex(reply));
}

TEST(StcFrames, BlockReplyCarriesTheBlockSum) {
  std::vector<uint8_t> image(128);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 3);
  const QString block = SplitIntoBlocks(image)[0];
  uint8_t sum = 0;
  for (uint8_t b : image) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(BlockSum(block), sum);
  EXPECT_TRUE(BlockReplyMatches(BytesToHex(DeviceFrame({0x80, sum})), sum));
  EXPECT_TRUE(BlockReplyMatches(BytesToHex(DeviceFrame({0x80, sum}, false)), sum));
  EXPECT_FALSE(BlockReplyMatches(BytesToHex(DeviceFrame({0x80, uint8_t(sum + 1)})), sum));
  EXPECT_FALSE(BlockReplyMatches(BytesToHex(DeviceFrame({0x00})), sum));  // an answer without a sum
  EXPECT_FALSE(BlockReplyMatches(QString(), sum));
}

TEST(StcFrames, FirmwareVersionPositions) {
  // 28 bytes: eighth-last and seventh-last; 29 bytes: bytes 21 and 22.
  std::vector<uint8_t> r28(28, 0x00);
  r28[20] = 0x43;
  r28[21] = 'C';
  r28.back() = 0x16;
  EXPECT_EQ(FirmwareVersionOf(BytesToHex(r28)), QStringLiteral("43C"));
  std::vector<uint8_t> r29(29, 0x00);
  r29[20] = 0x52;
  r29[21] = 'A';
  r29.back() = 0x16;
  EXPECT_EQ(FirmwareVersionOf(BytesToHex(r29)), QStringLiteral("52A"));
  EXPECT_EQ(VersionText(QStringLiteral("43C")), QStringLiteral("4.3C"));
  // Shorter than eight bytes: the positions fall back to the first byte.
  EXPECT_EQ(FirmwareVersionOf(QStringLiteral("4116")), QStringLiteral("41A"));
}

TEST(StcFrames, ImageThroughTheConverterLibrary) {
  QTemporaryDir dir;
  const QString hex = dir.filePath(QStringLiteral("fw.hex"));
  std::ofstream(hex.toStdString()) << ":0300000002001EDD\n:0100100000EF\n:00000001FF\n";
  HexImage image = LoadHexImage(ConverterLibraryPath(), hex);
  ASSERT_EQ(image.status, ImageStatus::Ok);
  EXPECT_EQ(image.decodeResult, 1);
  // Trailing zeros are dropped: the last non-zero byte ends the image.
  EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0x02, 0x00, 0x1E}));

  const QString zeros = dir.filePath(QStringLiteral("zeros.hex"));
  std::ofstream(zeros.toStdString()) << ":020000000000FE\n:00000001FF\n";
  EXPECT_EQ(LoadHexImage(ConverterLibraryPath(), zeros).status, ImageStatus::NoData);

  HexImage missing = LoadHexImage(dir.filePath(QStringLiteral("libnothing.so")), hex);
  EXPECT_EQ(missing.status, ImageStatus::LibraryMissing);
  EXPECT_EQ(missing.error, QStringLiteral("Unable to Load iHexToBin"));

  // A full 64 KB image: nothing beyond it is copied.
  const QString full = dir.filePath(QStringLiteral("full.hex"));
  std::ofstream(full.toStdString()) << ":01FFFF00778A\n:00000001FF\n";
  HexImage big = LoadHexImage(ConverterLibraryPath(), full);
  ASSERT_EQ(big.bytes.size(), 65536u);
  EXPECT_EQ(big.bytes.back(), 0x77);
  EXPECT_EQ(SplitIntoBlocks(big.bytes).size(), 512);
}

// A file that is cut off, mistyped or damaged is refused as a whole, with
// the file and the line named; nothing of it becomes an image.
TEST(StcFrames, DamagedFilesAreRefused) {
  QTemporaryDir dir;
  const QString hex = dir.filePath(QStringLiteral("fw.hex"));
  auto load = [&](const std::string& text) {
    std::ofstream(hex.toStdString(), std::ios::binary) << text;
    return LoadHexImage(ConverterLibraryPath(), hex);
  };
  const std::string lines[] = {":100000000102030405060708090A0B0C0D0E0F1068\r\n",
                               ":10001000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA40\r\n",
                               ":020020000055",  // completed below
                               ":00000001FF\r\n"};
  std::string third = std::string(lines[2]) + "89\r\n";
  const std::string whole = lines[0] + lines[1] + third + lines[3];
  ASSERT_EQ(load(whole).status, ImageStatus::Ok);
  // Cut at every line boundary before the end record: incomplete.
  for (const std::string& cut : {std::string(), lines[0], lines[0] + lines[1], lines[0] + lines[1] + third}) {
    const HexImage image = load(cut);
    EXPECT_EQ(image.status, ImageStatus::Refused) << cut.size();
    EXPECT_EQ(image.error, QStringLiteral("HEX文件不完整（没有结束记录）: fw.hex"));
    EXPECT_TRUE(image.bytes.empty());
  }
  HexImage truncated = load(lines[0] + ":10001000AAAA\r\n" + lines[3]);
  EXPECT_EQ(truncated.error, QStringLiteral("HEX文件第 2 行格式错误"));
  HexImage notHex = load(lines[0] + ":10001000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAO40\r\n" + lines[3]);
  EXPECT_EQ(notHex.error, QStringLiteral("HEX文件第 2 行格式错误"));
  HexImage checksum = load(lines[0] + ":10001000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA41\r\n" + lines[3]);
  EXPECT_EQ(checksum.error, QStringLiteral("HEX文件第 2 行校验和错误"));
  HexImage high = load(":020000040001F9\r\n" + lines[0] + lines[3]);
  EXPECT_EQ(high.status, ImageStatus::Refused);
  EXPECT_EQ(high.error, QStringLiteral("HEX文件第 2 行的数据超出 64 KB 地址范围"));
  EXPECT_EQ(high.errorLine, 2);
}

