#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "isp/lpc/LpcImage.h"
#include "sim/LpcHexText.h"

namespace {

uint8_t Map4K[kLpcSectorMapSize];

std::vector<uint8_t> Decode(const QByteArray& line) {
  // Reverses one uuencoded line (CR LF included) to its bytes.
  std::vector<uint8_t> out;
  const int n = (line[0] - 32) & 63;
  for (qsizetype i = 1; i + 4 <= line.size() - 2; i += 4) {
    uint8_t v[4];
    for (int k = 0; k < 4; ++k) v[k] = static_cast<uint8_t>((line[i + k] - 32) & 63);
    out.push_back(static_cast<uint8_t>(v[0] << 2 | v[1] >> 4));
    out.push_back(static_cast<uint8_t>(v[1] << 4 | v[2] >> 2));
    out.push_back(static_cast<uint8_t>(v[2] << 6 | v[3]));
  }
  out.resize(static_cast<size_t>(n));
  return out;
}

// Every data byte of the list's blocks, in order, and a check of each block's
// checksum line and size.
std::vector<uint8_t> DataOf(const LpcTransferList& list) {
  std::vector<uint8_t> all;
  for (size_t e = 1; e < list.size(); ++e) {
    const LpcTransferEntry& entry = list[e];
    if (entry.EntryKind != ekDataBlock) continue;
    EXPECT_GE(entry.LineCount, 2);
    EXPECT_LE(entry.LineCount, 21);
    uint32_t sum = 0;
    for (int i = 0; i + 1 < entry.LineCount; ++i) {
      const QByteArray line = entry.Line(i);
      EXPECT_TRUE(line.endsWith("\r\n"));
      EXPECT_NE(line, " \r\n") << "empty data line in entry " << e;
      for (uint8_t b : Decode(line)) {
        all.push_back(b);
        sum += b;
      }
    }
    EXPECT_EQ(entry.Line(entry.LineCount - 1), QByteArray::number(sum) + "\r\n");
  }
  return all;
}

LpcFileLoad Load(const QByteArray& text) { return LoadLpcHexText(text); }

class LpcImage : public ::testing::Test {
 protected:
  void SetUp() override {
    const LpcSectorLayout layout = SelectSectorLayout(QStringLiteral("196387"));
    std::copy(std::begin(layout.SectorMap), std::end(layout.SectorMap), std::begin(Map4K));
  }
};

}  // namespace

TEST_F(LpcImage, RecordsArePlacedAtTheirAddresses) {
  // A first record at 0x100 gets 256 fill bytes; the later of two records
  // for one address wins; comments, blank lines and the end record are skipped
  // over without stopping; linear base 0 changes nothing.
  QByteArray text = "; build 12\r\n" + HexRecord(4, 0, {0, 0}) +
                    HexRecord(0, 0x100, {1, 2, 3, 4, 5, 6, 7, 8}) + "\r\n" +
                    ":00000001FF\r\n" + HexRecord(0, 0x104, {0xAA, 0xBB}) +
                    HexRecord(0, 0x10A, {0xCC}).toLower();
  LpcFileLoad r = Load(text);
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(r.Image.size(), 0x10Cu);
  for (int i = 0; i < 0x100; ++i) ASSERT_EQ(r.Image[i], 0) << i;
  EXPECT_EQ(std::vector<uint8_t>(r.Image.begin() + 0x100, r.Image.end()),
            (std::vector<uint8_t>{1, 2, 3, 4, 0xAA, 0xBB, 7, 8, 0, 0, 0xCC, 0}));

  // Segment and linear bases add to the record offset.
  r = Load(HexRecord(2, 0, {0x01, 0x00}) + HexRecord(0, 0x0010, {9}));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(r.Image.size(), 0x1014u);
  EXPECT_EQ(r.Image[0x1010], 9);
  r = Load(HexRecord(4, 0, {0x00, 0x01}) + HexRecord(0, 0x0002, {7}));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image[0x10002], 7);

  // Records of up to 255 bytes.
  r = Load(HexRecord(0, 0, std::vector<uint8_t>(255, 0x11)));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image.size(), 256u);
  EXPECT_EQ(r.Image[254], 0x11);
}

TEST_F(LpcImage, BrokenFilesAreRefusedWithTheLineNumber) {
  const QByteArray good = HexRecord(0, 0, {1, 2, 3, 4});
  QByteArray bad = HexRecord(0, 4, {5, 6, 7, 8});

  QByteArray wrongSum = bad;
  wrongSum[wrongSum.size() - 3] = wrongSum[wrongSum.size() - 3] == '0' ? '1' : '0';
  LpcFileLoad r = Load(good + "\n" + wrongSum + good);
  EXPECT_EQ(r.Result, LpcFileLoad::BadChecksum);
  EXPECT_EQ(r.LineNumber, 3);

  QByteArray notHex = bad;
  notHex[10] = 'G';
  r = Load(good + notHex);
  EXPECT_EQ(r.Result, LpcFileLoad::BadLine);
  EXPECT_EQ(r.LineNumber, 2);

  // Shorter than its byte count claims, or than the fixed fields.
  r = Load(good + bad.left(bad.size() - 6) + "\r\n");
  EXPECT_EQ(r.Result, LpcFileLoad::BadLine);
  EXPECT_EQ(r.LineNumber, 2);
  r = Load(":0400\r\n");
  EXPECT_EQ(r.Result, LpcFileLoad::BadLine);
  EXPECT_EQ(r.LineNumber, 1);
  r = Load(HexRecord(4, 0, {}) + good);  // a base record without its value
  EXPECT_EQ(r.Result, LpcFileLoad::BadLine);

  // No data at all, e.g. a raw binary without record lines.
  EXPECT_EQ(Load(":00000001FF\r\n").Result, LpcFileLoad::NoData);
  EXPECT_EQ(Load(QByteArray("\x7f" "ELF\x01\x02\n\x00\x00", 9)).Result, LpcFileLoad::NoData);

  // Data far above the flash (an address in another memory) is too large,
  // without trying to fill the gap.
  r = Load(HexRecord(4, 0, {0x08, 0x00}) + good);
  EXPECT_EQ(r.Result, LpcFileLoad::TooLarge);

  QTemporaryDir dir;
  EXPECT_EQ(LoadLpcHexFile(dir.filePath("none.hex")).Result, LpcFileLoad::Missing);
}

TEST_F(LpcImage, CompletionAndSizeLimit) {
  // 4095 bytes: a remainder of 91 whole lines gets a fill byte, one full chunk.
  LpcFileLoad r = Load(HexText(PatternImage(4095)));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image.size(), 4096u);
  EXPECT_EQ(BuildTransferList(r.Image, Map4K).size(), 9u);

  // 45 bytes -> 46 -> 48: one write of 48, one block of a 45- and a 3-byte line.
  const std::vector<uint8_t> small = PatternImage(45);
  r = Load(HexText(small));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(r.Image.size(), 48u);
  LpcTransferList list = BuildTransferList(r.Image, Map4K);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[1].Line(0), "W 1073742336 48\r\n");
  ASSERT_EQ(list[2].EntryKind, ekDataBlock);
  ASSERT_EQ(list[2].LineCount, 3);
  EXPECT_EQ(list[2].Line(0)[0], 'M');
  EXPECT_EQ(list[2].Line(1)[0], '#');
  EXPECT_EQ(list[3].Line(0), "P 0 0\r\n");
  EXPECT_EQ(list[4].Line(0), "C 0 1073742336 4096\r\n");
  EXPECT_EQ(DataOf(list), r.Image);

  // 177 -> 180 = four whole lines: no empty line, and a remainder of 900
  // (twenty whole lines) fits the list exactly.
  r = Load(HexText(PatternImage(177)));
  ASSERT_EQ(r.Image.size(), 180u);
  list = BuildTransferList(r.Image, Map4K);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[2].LineCount, 5);
  EXPECT_EQ(DataOf(list), r.Image);
  r = Load(HexText(PatternImage(4096 + 897)));
  ASSERT_EQ(r.Image.size(), 4996u);
  list = BuildTransferList(r.Image, Map4K);
  EXPECT_EQ(list.size(), 8u * 1 + 1 + 4);
  EXPECT_EQ(list[10].LineCount, 21);
  EXPECT_EQ(DataOf(list), r.Image);

  // 248 KB is the limit: 62 chunks, 497 entries; one byte more is refused.
  const std::vector<uint8_t> full = PatternImage(kLpcImageLimit, 7);
  r = Load(HexText(full));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  list = BuildTransferList(r.Image, SelectSectorLayout(QStringLiteral("67305219")).SectorMap);
  ASSERT_EQ(list.size(), 497u);
  EXPECT_EQ(list[496].Line(0), "C 249856 1073742336 4096\r\n");
  EXPECT_EQ(list[495].Line(0), "P 16 16\r\n");
  EXPECT_EQ(DataOf(list), full);
  EXPECT_EQ(Load(HexText(PatternImage(kLpcImageLimit + 1))).Result, LpcFileLoad::TooLarge);
}

TEST_F(LpcImage, TransferListOfOneChunk) {
  const std::vector<uint8_t> image = PatternImage(4096, 3);
  const LpcTransferList list = BuildTransferList(image, Map4K);
  ASSERT_EQ(list.size(), 9u);
  EXPECT_EQ(list[1].EntryKind, ekCommand);
  EXPECT_EQ(list[1].LineCount, 1);
  EXPECT_EQ(list[1].Line(0), "W 1073742336 4096\r\n");
  const int lines[] = {21, 21, 21, 21, 13};
  for (int b = 0; b < 5; ++b) {
    EXPECT_EQ(list[2 + b].EntryKind, ekDataBlock);
    EXPECT_EQ(list[2 + b].LineCount, lines[b]);
  }
  EXPECT_EQ(list[6].Line(11)[0], '!');  // the last line holds one byte
  EXPECT_EQ(list[2].Line(0).size(), 63);
  EXPECT_EQ(list[7].Line(0), "P 0 0\r\n");
  EXPECT_EQ(list[8].Line(0), "C 0 1073742336 4096\r\n");
  EXPECT_EQ(DataOf(list), image);
}

TEST_F(LpcImage, SectorLayouts) {
  LpcSectorLayout a = SelectSectorLayout(QStringLiteral("196389"));
  EXPECT_EQ(a.LastSector, "26");
  EXPECT_EQ(a.SectorMap[1], 0);
  EXPECT_EQ(a.SectorMap[8], 7);
  EXPECT_EQ(a.SectorMap[9], 8);
  EXPECT_EQ(a.SectorMap[16], 8);
  EXPECT_EQ(a.SectorMap[17], 9);
  EXPECT_EQ(a.SectorMap[120], 21);
  EXPECT_EQ(a.SectorMap[121], 22);
  EXPECT_EQ(a.SectorMap[125], 26);
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("196353")).LastSector, "7");
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("196369")).LastSector, "8");
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("196387")).LastSector, "14");
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("4293984018")).LastSector, "14");
  LpcSectorLayout b = SelectSectorLayout(QStringLiteral("1963870"));  // not a listed ID
  EXPECT_EQ(b.LastSector, "16");
  EXPECT_EQ(b.SectorMap[2], 0);
  EXPECT_EQ(b.SectorMap[3], 1);
  EXPECT_EQ(b.SectorMap[16], 7);
  EXPECT_EQ(b.SectorMap[17], 8);
  EXPECT_EQ(b.SectorMap[33], 9);
  EXPECT_EQ(b.SectorMap[48], 9);
  EXPECT_EQ(b.SectorMap[49], 10);
  EXPECT_EQ(b.SectorMap[62], 16);
}

TEST_F(LpcImage, UuencodingMatchesSharutils) {
  EXPECT_EQ(UuChar(0), '`');
  EXPECT_EQ(UuChar(1), '!');
  EXPECT_EQ(UuChar(63), '_');
  uint32_t sum = 99;
  EXPECT_EQ(UuencodeLine(nullptr, 0, &sum), " \r\n");
  EXPECT_EQ(sum, 0u);

  // Zero bytes included, so the backquote shows; the tail is a partial group.
  std::vector<uint8_t> data = PatternImage(45 * 3 + 7, 5);
  for (size_t i = 0; i < data.size(); i += 5) data[i] = 0;
  QTemporaryDir dir;
  const QString path = dir.filePath("blob");
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
  }
  const std::string cmd = "/usr/bin/uuencode '" + path.toStdString() + "' blob";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> lines;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) {
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    lines.push_back(s);
  }
  ASSERT_EQ(pclose(p), 0);
  ASSERT_EQ(lines.size(), 7u);  // begin, 4 data lines, "`", end
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = i * 45;
    const int n = static_cast<int>(std::min<size_t>(45, data.size() - at));
    uint32_t s = 0;
    QByteArray ours = UuencodeLine(data.data() + at, n, &s);
    ASSERT_TRUE(ours.endsWith("\r\n"));
    ours.chop(2);
    EXPECT_EQ(ours.toStdString(), lines[1 + i]) << "line " << i;
    uint32_t expect = 0;
    for (int k = 0; k < n; ++k) expect += data[at + static_cast<size_t>(k)];
    EXPECT_EQ(s, expect);
  }
}

TEST_F(LpcImage, VectorChecksumMakesTheTableAddUpToZero) {
  std::vector<uint8_t> image = PatternImage(64, 9);
  const std::vector<uint8_t> before = image;
  uint32_t value = 0;
  ASSERT_TRUE(SetVectorChecksum(image, &value));
  uint32_t sum = 0;
  for (size_t at = 0; at < 32; at += 4)
    sum += static_cast<uint32_t>(image[at]) | image[at + 1] << 8 | image[at + 2] << 16 |
           static_cast<uint32_t>(image[at + 3]) << 24;
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(image[0x14], static_cast<uint8_t>(value));
  EXPECT_EQ(image[0x17], static_cast<uint8_t>(value >> 24));
  for (size_t i = 0; i < image.size(); ++i) {
    if (i < 0x14 || i >= 0x18) {
      ASSERT_EQ(image[i], before[i]) << i;
    }
  }

  std::vector<uint8_t> shortImage(28, 0x12);
  EXPECT_FALSE(SetVectorChecksum(shortImage, &value));
  EXPECT_EQ(shortImage, std::vector<uint8_t>(28, 0x12));
}
