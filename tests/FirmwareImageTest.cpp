#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <vector>

#include "firmware/FileTime.h"
#include "firmware/FirmwareImage.h"

namespace {

using Outcome = FirmwareLoadResult::Outcome;

// One Intel HEX record line with a correct checksum.
std::string Rec(uint16_t offset, uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                         static_cast<uint8_t>(offset), type};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t v : b) sum = static_cast<uint8_t>(sum + v);
  b.push_back(static_cast<uint8_t>(-sum));
  std::string s = ":";
  char hex[3];
  for (uint8_t v : b) {
    snprintf(hex, sizeof hex, "%02X", v);
    s += hex;
  }
  return s + "\r\n";
}

std::string Linear(uint16_t upper) { return Rec(0, 4, {uint8_t(upper >> 8), uint8_t(upper)}); }
const std::string kEof = ":00000001FF\r\n";

std::vector<uint8_t> Bytes(const FirmwareImage& img) {
  return std::vector<uint8_t>(img.ImageBuffer(), img.ImageBuffer() + img.Length());
}

// A HEX text holding `length` bytes (value = offset & 0xFF) from 0x08000000.
std::string ContiguousHex(uint32_t length) {
  std::string s;
  for (uint32_t off = 0; off < length; off += 32) {
    if (off % 0x10000 == 0) s += Linear(uint16_t(0x0800 + (off >> 16)));
    std::vector<uint8_t> d;
    for (uint32_t i = off; i < std::min(length, off + 32); ++i) d.push_back(uint8_t(i));
    s += Rec(uint16_t(off), 0, d);
  }
  return s + kEof;
}

class FirmwareImageTest : public ::testing::Test {
 protected:
  QString Write(const QString& name, const std::string& content) {
    QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content.data(), static_cast<qint64>(content.size()));
    return path;
  }
  QTemporaryDir dir;
  FirmwareImage img;
};

TEST_F(FirmwareImageTest, ExtensionDecidesHexInAnyCase) {
  const std::string text = Rec(0, 0, {0x11, 0x22, 0x33, 0x44}) + kEof;
  for (const char* name : {"fw.hex", "FW.HEX", "fw.Hex"}) {
    auto r = img.Load(Write(name, text));
    ASSERT_EQ(r.outcome, Outcome::Loaded) << name;
    EXPECT_EQ(Bytes(img), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44})) << name;
    EXPECT_EQ(r.status, QStringLiteral("下载目标代码。。。"));
  }
  // Any other extension is binary: the text itself is the image.
  auto r = img.Load(Write("fw.txt", text));
  ASSERT_EQ(r.outcome, Outcome::Loaded);
  EXPECT_EQ(r.status, QStringLiteral("下载目标代码"));
  ASSERT_GE(img.Length(), int32_t(text.size()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(img.ImageBuffer()), text.size()), text);
  // A point in a folder name is not an extension.
  QDir(dir.path()).mkdir("out.hex");
  r = img.Load(Write("out.hex/image", text));
  EXPECT_EQ(r.status, QStringLiteral("下载目标代码"));
}

TEST_F(FirmwareImageTest, PaddingToWholeWords) {
  // HEX: one byte becomes the byte and three zeros.
  auto r = img.Load(Write("one.hex", Rec(0, 0, {0xA5}) + kEof));
  ASSERT_EQ(r.outcome, Outcome::Loaded);
  EXPECT_EQ(Bytes(img), (std::vector<uint8_t>{0xA5, 0, 0, 0}));
  EXPECT_EQ(r.sizeLine, QStringLiteral("文件尺寸: 4 Byte / 0 KB"));

  // Binary of a whole number of words: as it is.
  r = img.Load(Write("a.bin", std::string(1000, 'x')));
  EXPECT_EQ(img.Length(), 1000);
  EXPECT_EQ(r.sizeLine, QStringLiteral("文件尺寸: 1000 Byte / 0 KB"));

  // A ragged binary ends in erased-flash bytes, so no block is refused.
  r = img.Load(Write("b.bin", std::string(5121, 'y')));
  ASSERT_EQ(img.Length(), 5124);
  EXPECT_EQ(img.ImageBuffer()[5120], 'y');
  EXPECT_EQ(img.ImageBuffer()[5121], 0xFF);
  EXPECT_EQ(img.ImageBuffer()[5123], 0xFF);
  EXPECT_EQ(r.sizeLine, QStringLiteral("文件尺寸: 5124 Byte / 5 KB"));

  // A shorter load after a longer one has the shorter length.
  img.Load(Write("c.bin", std::string(8, 'z')));
  EXPECT_EQ(img.Length(), 8);
}

TEST_F(FirmwareImageTest, FlashSizeLimitForEveryImage) {
  img.FlashSizeKB = 512;
  auto r = img.Load(Write("max.hex", ContiguousHex(524288)));
  ASSERT_EQ(r.outcome, Outcome::Loaded) << r.status.toStdString();
  EXPECT_EQ(img.Length(), 524288);
  EXPECT_EQ(img.ImageBuffer()[524287], 0xFF);  // offset & 0xFF

  r = img.Load(Write("over.hex", ContiguousHex(524289)));
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.status, QStringLiteral("文件太大，不能用于512K Flash"));
  EXPECT_EQ(img.Length(), 0);

  EXPECT_EQ(r.sizeLine, QStringLiteral("文件尺寸: 524292 Byte / 512 KB"));  // the image's size too

  // Binary images too.
  r = img.Load(Write("big.bin", std::string(524292, '\0')));
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.status, QStringLiteral("文件太大，不能用于512K Flash"));
  r = img.Load(Write("fits.bin", std::string(524288, '\0')));
  EXPECT_EQ(r.outcome, Outcome::Loaded);
}

// A HEX file cut short (a linker still writing it) has no end record.
TEST_F(FirmwareImageTest, HexWithoutEndRecordIsRefusedAsIncomplete) {
  const std::string full = ContiguousHex(200);
  size_t pos = 0;
  int cuts = 0;
  while ((pos = full.find('\n', pos)) != std::string::npos && pos + 1 < full.size()) {
    ++pos;
    auto r = img.Load(Write("cut.hex", full.substr(0, pos)));
    EXPECT_EQ(r.outcome, Outcome::Refused) << pos;
    EXPECT_EQ(r.status, QStringLiteral("HEX文件不完整（没有结束记录）: cut.hex"));
    ++cuts;
  }
  EXPECT_EQ(cuts, 8);  // every line but the end record
  EXPECT_EQ(img.Load(Write("whole.hex", full)).outcome, Outcome::Loaded);
}

// Only regular files are firmware: a device or a FIFO is refused at once,
// without reading from it or waiting for a writer.
TEST_F(FirmwareImageTest, OnlyRegularFilesAreRead) {
  const QString fifo = dir.filePath("pipe.bin");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  QDir(dir.path()).mkdir("folder.hex");
  for (const QString& path : {QStringLiteral("/dev/zero"), fifo, dir.filePath("folder.hex")}) {
    QElapsedTimer t;
    t.start();
    auto r = img.Load(path);
    EXPECT_LT(t.elapsed(), 500) << path.toStdString();
    EXPECT_EQ(r.outcome, Outcome::Refused) << path.toStdString();
    EXPECT_EQ(r.status, QStringLiteral("不是普通文件: ") + path);
    EXPECT_EQ(img.Length(), 0);
  }
}

TEST_F(FirmwareImageTest, RecordsBeyondTheBasicsAreHandledAsReadersExpect) {
  std::string text = "\r\n" + Rec(0, 0, {1, 2, 3, 4}) + kEof +
                     Rec(4, 0, {5, 6, 7, 8}) +              // after end of file: still loaded
                     Rec(0, 3, {0, 0, 0, 0}) + Rec(0, 5, {8, 0, 0, 0}) +
                     "  " + Rec(8, 0, {9, 10, 11, 12});     // leading blanks are no reason to drop data
  auto r = img.Load(Write("misc.hex", text));
  ASSERT_EQ(r.outcome, Outcome::Loaded) << r.status.toStdString();
  EXPECT_EQ(Bytes(img), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST_F(FirmwareImageTest, RecordsArePlacedAtTheirAddresses) {
  // Out of order, with a gap, across an extended linear address jump.
  std::string text = Linear(0x0800) + Rec(0x0008, 0, {0xC1, 0xC2, 0xC3, 0xC4}) +
                     Rec(0x0000, 0, {0xA1, 0xA2, 0xA3, 0xA4}) + Linear(0x0801) +
                     Rec(0x0000, 0, {0xD1}) + kEof;
  auto r = img.Load(Write("gap.hex", text));
  ASSERT_EQ(r.outcome, Outcome::Loaded) << r.status.toStdString();
  ASSERT_EQ(img.Length(), 0x10004);
  auto b = Bytes(img);
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 12),
            (std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4, 0xFF, 0xFF, 0xFF, 0xFF, 0xC1, 0xC2, 0xC3, 0xC4}));
  EXPECT_EQ(b[0xFFFF], 0xFF);
  EXPECT_EQ(b[0x10000], 0xD1);

  // Extended segment addresses: 0x1000:0x0010 is linear 0x10010; nothing is
  // at or above the flash base, so byte 0 is address 0.
  HexDecodeResult d = DecodeIntelHex(
      QByteArray::fromStdString(Rec(0, 2, {0x10, 0x00}) + Rec(0x0010, 0, {0x77}) + kEof), 1 << 20);
  ASSERT_EQ(d.error, HexDecodeResult::Error::None);
  EXPECT_EQ(d.baseAddress, 0u);
  ASSERT_EQ(d.image.size(), 0x10011);
  EXPECT_EQ(uint8_t(d.image[0x10010]), 0x77);
  EXPECT_EQ(uint8_t(d.image[0]), 0xFF);
}

TEST_F(FirmwareImageTest, DamagedRecordsAreRefusedWithTheirLine) {
  std::string good = Rec(0, 0, {1, 2, 3, 4});
  std::string badSum = Rec(4, 0, {5, 6, 7, 8});
  badSum[badSum.size() - 3] ^= 1;  // last checksum digit
  auto r = img.Load(Write("sum.hex", "\r\n" + good + badSum + kEof));
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.status, QStringLiteral("HEX文件第 3 行校验和错误"));
  EXPECT_TRUE(r.reportToLog);

  std::string badDigit = Rec(4, 0, {5, 6, 7, 8});
  badDigit[12] = 'G';
  r = img.Load(Write("digit.hex", good + badDigit + kEof));
  EXPECT_EQ(r.status, QStringLiteral("HEX文件第 2 行格式错误"));

  std::string shortLine = good.substr(0, good.size() - 6) + "\r\n";  // shorter than LL claims
  r = img.Load(Write("short.hex", good + good + shortLine));
  EXPECT_EQ(r.status, QStringLiteral("HEX文件第 3 行格式错误"));

  // Line endings of every kind count as one line each.
  r = img.Load(Write("cr.hex", good + std::string("\n\r") + badDigit));
  EXPECT_EQ(r.status, QStringLiteral("HEX文件第 4 行格式错误"));
}

TEST_F(FirmwareImageTest, EmptyMissingAndOversizedImagesAreRefused) {
  auto r = img.Load(Write("empty.bin", ""));
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.status, QStringLiteral("文件为空"));
  r = img.Load(Write("nodata.hex", Linear(0x0800) + kEof));
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.status, QStringLiteral("文件为空"));

  r = img.Load(dir.filePath("absent.bin"));
  EXPECT_EQ(r.outcome, Outcome::Missing);
  EXPECT_EQ(r.status, QStringLiteral("文件不存在"));

  // Nothing is larger than the largest part, whatever the flash size says.
  img.FlashSizeKB = 8192;
  r = img.Load(Write("huge.bin", std::string(FirmwareImage::kMaxImageBytes + 1, '\0')));
  EXPECT_EQ(r.outcome, Outcome::Refused);
  EXPECT_EQ(r.status, QStringLiteral("文件太大，不能超过4096KB"));
  r = img.Load(Write("edge.bin", std::string(FirmwareImage::kMaxImageBytes, '\0')));
  EXPECT_EQ(r.outcome, Outcome::Loaded);
}

// Images as large as the part: 2 MB loads on a 2 MB part, one byte more is
// refused naming both sizes.
TEST_F(FirmwareImageTest, ImageFollowsThePartsFlashSize) {
  img.FlashSizeKB = 2048;
  auto r = img.Load(Write("two.hex", ContiguousHex(2 * 1048576)));
  ASSERT_EQ(r.outcome, Outcome::Loaded) << r.status.toStdString();
  EXPECT_EQ(img.Length(), 2 * 1048576);
  EXPECT_EQ(img.ImageBuffer()[2 * 1048576 - 1], 0xFF);
  r = img.Load(Write("over.bin", std::string(2 * 1048576 + 4, 'x')));
  EXPECT_EQ(r.status, QStringLiteral("文件太大，不能用于2048K Flash"));
  EXPECT_EQ(r.sizeLine, QStringLiteral("文件尺寸: 2097156 Byte / 2048 KB"));
}

// Records that lie outside the part's flash are named as such, not taken
// for a size problem: option bytes, RAM, flash past the end, a file that
// mixes the boot alias with flash addresses.
TEST_F(FirmwareImageTest, DataOutsideFlashIsRefusedByAddress) {
  img.FlashSizeKB = 64;
  const std::string code = Linear(0x0800) + Rec(0, 0, {1, 2, 3, 4});
  struct Case {
    std::string text;
    const char* address;
  };
  const Case cases[] = {
      {code + Linear(0x1FFF) + Rec(0xF800, 0, {0xAA, 0x55, 0xFF, 0x00}) + kEof, "0x1FFFF800"},
      {code + Linear(0x2000) + Rec(0x0000, 0, {9, 9, 9, 9}) + kEof, "0x20000000"},
      {code + Linear(0x0801) + Rec(0x0000, 0, {7, 7, 7, 7}) + kEof, "0x08010000"},  // just past 64 KB
      {code + Linear(0x0800) + Rec(0xFFFE, 0, {7, 7, 7, 7}) + kEof, "0x08010000"},  // runs over the end
      {Linear(0x0000) + Rec(0x0100, 0, {5, 5, 5, 5}) + code + kEof, "0x00000100"},
  };
  for (const auto& c : cases) {
    auto r = img.Load(Write("out.hex", c.text));
    EXPECT_EQ(r.outcome, Outcome::Refused) << c.address;
    EXPECT_EQ(r.status, QStringLiteral("HEX文件的数据在 Flash 之外: 地址 ") + QLatin1String(c.address));
  }
  // A file linked at the boot alias (address 0) alone still loads from the flash base.
  auto r = img.Load(Write("alias.hex", Rec(0, 0, {1, 2, 3, 4}) + kEof));
  EXPECT_EQ(r.outcome, Outcome::Loaded);
}

// The stretches the file holds, for erasing and writing only those; gaps
// and ragged ends read what erased flash reads on the part, and the image
// ends on the part's programming unit.
TEST_F(FirmwareImageTest, SegmentsGapsAndProgrammingUnit) {
  std::string text = Linear(0x0800) + Rec(0x0000, 0, {1, 2, 3, 4, 5, 6, 7, 8}) + Rec(0x0008, 0, {9, 10, 11, 12}) +
                     Rec(0x4000, 0, {0xC0, 0xC1}) + kEof;
  img.ErasedValue = 0x00;  // L0/L1
  img.WriteUnit = 8;
  auto r = img.Load(Write("two.hex", text));
  ASSERT_EQ(r.outcome, Outcome::Loaded);
  ASSERT_EQ(img.Segments().size(), 2u);
  EXPECT_EQ(img.Segments()[0].offset, 0u);
  EXPECT_EQ(img.Segments()[0].length, 12u);
  EXPECT_EQ(img.Segments()[1].offset, 0x4000u);
  EXPECT_EQ(img.Segments()[1].length, 8u);  // two data bytes, zeros to the word, erased to the double word
  ASSERT_EQ(img.Length(), 0x4008);
  EXPECT_EQ(img.ImageBuffer()[12], 0x00);
  EXPECT_EQ(img.ImageBuffer()[0x3FFF], 0x00);
  EXPECT_EQ(img.ImageBuffer()[0x4001], 0xC1);

  img.ErasedValue = 0xFF;
  img.WriteUnit = 32;
  r = img.Load(Write("r.bin", std::string(33, 'y')));
  ASSERT_EQ(img.Length(), 64);
  EXPECT_EQ(img.ImageBuffer()[33], 0xFF);
  ASSERT_EQ(img.Segments().size(), 1u);
  EXPECT_EQ(img.Segments()[0].length, 64u);
}

TEST(FileTime, FollowsTheFileModificationTime) {
  QTemporaryDir dir;
  QString path = dir.filePath("fw.bin");
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("x");
  f.flush();  // a write after setting the time would move it again
  QDateTime when(QDate(2024, 3, 5), QTime(14, 30, 15));
  ASSERT_TRUE(f.setFileTime(when, QFileDevice::FileModificationTime));
  f.close();
  EXPECT_EQ(GetFileWriteTime(path), when);
  EXPECT_EQ(GetFileWriteTime(path).timeSpec(), Qt::LocalTime);
}

}  // namespace
