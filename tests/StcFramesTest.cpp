// The STC byte layer: fixed frames, checksums, identification, blocks,
// reply recognition and the image through the converter library.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

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
    for (int osc = 1; osc <= 6; ++osc) {
      ExpectWellFormed(SpeedFrame1(osc, model));
      ExpectWellFormed(SpeedFrame2(osc, model));
    }
  }
  EXPECT_TRUE(ControlFrame(0).isEmpty());
  EXPECT_TRUE(SpeedFrame1(0, 1).isEmpty());
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

TEST(StcFrames, SpeedFramesFollowCrystalAndSpeed) {
  const double crystal[] = {11059200, 18432000, 22118400, 36864000, 12000000, 24000000};
  for (int osc = 1; osc <= 6; ++osc) {
    const std::vector<uint8_t> b = HexToBytes(SpeedFrame1(osc, 1));
    const int expected =
        65536 - static_cast<int>(crystal[osc - 1] / (32.0 * TargetBaudOf(osc)) + 0.5);
    EXPECT_EQ((b[6] << 8) | b[7], expected) << osc;
  }
  EXPECT_EQ(TargetBaudOf(5), 38400u);
  EXPECT_EQ(SpeedFrame2(5, 1), SpeedFrame2(4, 1));
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

TEST(StcFrames, RepliesAndFirmwareVersion) {
  ReplyCollector rx;
  const uint8_t first[] = {0x46, 0xB9, 0x68};
  const uint8_t second[] = {0x00, 0x07, 0x80, 0xE7, 0x16};
  EXPECT_FALSE(rx.Feed(first, sizeof first));
  EXPECT_TRUE(rx.Feed(second, sizeof second));
  EXPECT_EQ(rx.LastReply, QStringLiteral("46B968000780E716"));
  EXPECT_TRUE(rx.RxHex.isEmpty());

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
  std::ofstream(hex.toStdString()) << ":0300000002001EDB\n:01001000000F\n:00000001FF\n";
  HexImage image = LoadHexImage(ConverterLibraryPath(), hex);
  ASSERT_EQ(image.status, ImageStatus::Ok);
  EXPECT_EQ(image.decodeResult, 1);
  // Trailing zeros are dropped: the last non-zero byte ends the image.
  EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0x02, 0x00, 0x1E}));

  const QString zeros = dir.filePath(QStringLiteral("zeros.hex"));
  std::ofstream(zeros.toStdString()) << ":0200000000000E\n:00000001FF\n";
  EXPECT_EQ(LoadHexImage(ConverterLibraryPath(), zeros).status, ImageStatus::NoData);

  HexImage missing = LoadHexImage(dir.filePath(QStringLiteral("libnothing.so")), hex);
  EXPECT_EQ(missing.status, ImageStatus::LibraryMissing);
  EXPECT_EQ(missing.error, QStringLiteral("Unable to Load iHexToBin"));

  // A full 64 KB image: nothing beyond it is copied.
  const QString full = dir.filePath(QStringLiteral("full.hex"));
  std::ofstream(full.toStdString()) << ":01FFFF0077xx\n:00000001FF\n";
  HexImage big = LoadHexImage(ConverterLibraryPath(), full);
  ASSERT_EQ(big.bytes.size(), 65536u);
  EXPECT_EQ(big.bytes.back(), 0x77);
  EXPECT_EQ(SplitIntoBlocks(big.bytes).size(), 512);
}

TEST(StcFrames, TheCarriedConverterIsWrittenOutWhenMissingAndLoads) {
  QTemporaryDir dir;
  const QString path = dir.filePath("libiHexToBin.so");
  stc::PlaceConverterLibrary(path);
  ASSERT_TRUE(QFile::exists(path));
  {
    std::ofstream hex((dir.filePath("fw.hex")).toStdString());
    hex << ":020000000102FB\n:00000001FF\n";
  }
  const stc::HexImage image = stc::LoadHexImage(path, dir.filePath("fw.hex"));
  EXPECT_EQ(image.status, stc::ImageStatus::Ok);
  EXPECT_EQ(image.bytes, (std::vector<uint8_t>{0x01, 0x02}));
  // A file already there is left alone.
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write("x");
  f.close();
  stc::PlaceConverterLibrary(path);
  EXPECT_EQ(QFileInfo(path).size(), 1);
}
