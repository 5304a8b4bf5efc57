// The LPC part table against facts written out here from the user manuals,
// the write plans the rows give, the return-code names and the image file
// writer the Read job uses.
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

#include "firmware/ImageFile.h"
#include "isp/lpc/LpcImage.h"
#include "isp/lpc/LpcParts.h"
#include "sim/HexText.h"

namespace {

struct Fact {
  uint32_t id;
  const char* name;
  uint32_t flashKB;
  size_t sectors;
  uint32_t slot;     // valid-code checksum word
  bool binary;
  uint32_t ram;      // the address W gets
  uint32_t chunk;    // bytes per W/C round
};

// UM10114, UM10275, UM10161, UM10120, UM10139, UM10211, UM10237, UM10360,
// UM10470, UM10398, UM10462, UM10441, UM10375, UM10524, UM10601, UM10800,
// UM11029.
const Fact kFacts[] = {
    {0x0004FF11, "LPC2101", 8, 2, 0x14, false, 0x40000200, 1024},
    {0x0004FF23, "LPC2103", 32, 8, 0x14, false, 0x40000200, 4096},
    {0xFFF0FF12, "LPC2104", 120, 15, 0x14, false, 0x40000200, 4096},
    {0xFFF0FF32, "LPC2106", 120, 15, 0x14, false, 0x40000200, 4096},
    {0x0201FF01, "LPC2109", 64, 8, 0x14, false, 0x40000200, 4096},
    {0x0101FF12, "LPC2114", 120, 15, 0x14, false, 0x40000200, 4096},
    {0x0201FF13, "LPC2129", 248, 17, 0x14, false, 0x40000200, 4096},
    {0x0301FF13, "LPC2194", 248, 17, 0x14, false, 0x40000200, 4096},
    {0x0601FF13, "LPC2214", 248, 17, 0x14, false, 0x40000200, 4096},
    {0x0401FF13, "LPC2292", 248, 17, 0x14, false, 0x40000200, 4096},
    {0x0501FF13, "LPC2294", 248, 17, 0x14, false, 0x40000200, 4096},
    {0x0002FF01, "LPC2131", 32, 8, 0x14, false, 0x40000200, 4096},
    {0x0002FF12, "LPC2134", 128, 11, 0x14, false, 0x40000200, 4096},
    {0x0002FF25, "LPC2138", 500, 27, 0x14, false, 0x40000200, 4096},
    {0x0402FF01, "LPC2141", 32, 8, 0x14, false, 0x40000200, 4096},
    {0x0402FF25, "LPC2148", 500, 27, 0x14, false, 0x40000200, 4096},
    {0x1600F902, "LPC2364", 128, 11, 0x14, false, 0x40000200, 4096},
    {0x1700FD25, "LPC2378", 504, 28, 0x14, false, 0x40000200, 4096},
    {0x1800FF35, "LPC2388", 504, 28, 0x14, false, 0x40000200, 4096},
    {0x1500FF35, "LPC2458", 504, 28, 0x14, false, 0x40000200, 4096},
    {0x1701FF35, "LPC2478", 504, 28, 0x14, false, 0x40000200, 4096},
    {0x26013F37, "LPC1768", 512, 30, 0x1C, false, 0x10000200, 4096},
    {0x26011922, "LPC1764", 128, 18, 0x1C, false, 0x10000200, 4096},
    {0x25001121, "LPC1752", 64, 16, 0x1C, false, 0x10000200, 4096},
    {0x25001118, "LPC1751", 32, 8, 0x1C, false, 0x10000200, 4096},
    {0x281D3F47, "LPC1788", 512, 30, 0x1C, false, 0x10000200, 4096},
    {0x27011132, "LPC1774", 128, 18, 0x1C, false, 0x10000200, 4096},
    {0x041E502B, "LPC1111/101", 8, 2, 0x1C, false, 0x10000300, 512},
    {0x0444102B, "LPC1114/301", 32, 8, 0x1C, false, 0x10000300, 4096},
    {0x2540102B, "LPC1114/302", 32, 8, 0x1C, false, 0x10000300, 4096},
    {0x00050080, "LPC1115/303", 64, 16, 0x1C, false, 0x10000300, 4096},
    {0x1430102B, "LPC11C24", 32, 8, 0x1C, false, 0x10000300, 4096},
    {0x2980002B, "LPC11U24", 32, 8, 0x1C, false, 0x10000300, 1024},
    {0x0003D440, "LPC11U34/311", 40, 10, 0x1C, false, 0x10000300, 4096},
    {0x00017C40, "LPC11U37", 128, 32, 0x1C, false, 0x10000300, 4096},
    {0x3640C02B, "LPC1224/101", 32, 8, 0x1C, false, 0x10000300, 1024},
    {0x3670002B, "LPC1227", 128, 32, 0x1C, false, 0x10000300, 4096},
    {0x2C42502B, "LPC1311", 8, 2, 0x1C, false, 0x10000300, 1024},
    {0x3D00002B, "LPC1343", 32, 8, 0x1C, false, 0x10000300, 4096},
    {0x1A020525, "LPC1317", 64, 16, 0x1C, false, 0x10000300, 4096},
    {0x00008100, "LPC810", 4, 4, 0x1C, true, 0x10000300, 128},
    {0x00008122, "LPC812", 16, 16, 0x1C, true, 0x10000300, 1024},
    {0x00008242, "LPC824", 32, 32, 0x1C, true, 0x10000300, 1024},
    {0x00008341, "LPC834", 32, 32, 0x1C, true, 0x10000300, 1024},
    {0x00008454, "LPC845", 64, 64, 0x1C, true, 0x10000600, 1024},
};

}  // namespace

TEST(LpcParts, RowsAgreeWithTheManuals) {
  for (const Fact& f : kFacts) {
    SCOPED_TRACE(f.name);
    const LpcPartRow* row = FindLpcPart(f.id);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, f.name);
    EXPECT_EQ(row->flashKB, f.flashKB);
    EXPECT_EQ(LpcSectors(*row).size(), f.sectors);
    EXPECT_EQ(LpcVectorChecksumSlot(*row), f.slot);
    EXPECT_EQ(row->data == LpcData::Binary, f.binary);
    const LpcWritePlan plan = LpcPlanFor(*row);
    EXPECT_EQ(plan.RamBuffer, f.ram);
    EXPECT_EQ(plan.Chunk, f.chunk);
  }
  // Flashless parts stay in the table, so they are named, not guessed at.
  ASSERT_NE(FindLpcPart(0x0301FF12), nullptr);
  EXPECT_EQ(FindLpcPart(0x0301FF12)->flashKB, 0u);
  EXPECT_EQ(FindLpcPart(0x12345678), nullptr);
}

TEST(LpcParts, EveryRowIsWhole) {
  std::set<uint32_t> ids;
  for (const LpcPartRow& row : LpcParts()) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(ids.insert(row.id).second) << "ID twice: " << row.id;
    EXPECT_TRUE(row.source && *row.source);
    if (row.flashKB == 0) continue;
    // The sectors cover the flash exactly, without gaps.
    const std::vector<LpcSector> sectors = LpcSectors(row);
    uint32_t at = 0;
    for (const LpcSector& s : sectors) {
      EXPECT_EQ(s.start, at);
      at += s.size;
    }
    EXPECT_EQ(at, row.flashKB * 1024u);
    // The RAM window holds at least one copy, inside the RAM block.
    EXPECT_GE(row.ramFirst, row.ramBase);
    const uint32_t copy = LpcLargestCopy(row);
    EXPECT_GE(copy, 64u);
    EXPECT_LE(uint64_t{row.ramFirst} + copy, uint64_t{row.ramBase} + row.ramKB * 1024u - row.ramTopReserve);
    // Every chunk of a full image lies in one sector.
    const LpcWritePlan plan = LpcPlanFor(row);
    ASSERT_EQ(plan.SectorOfChunk.size(), row.flashKB * 1024u / plan.Chunk + 1);
    for (size_t k = 1; k < plan.SectorOfChunk.size(); ++k) {
      const int s = plan.SectorOfChunk[k];
      ASSERT_GE(s, 0) << "chunk " << k;
      const uint32_t start = static_cast<uint32_t>(k - 1) * plan.Chunk;
      EXPECT_GE(start, sectors[static_cast<size_t>(s)].start);
      EXPECT_LE(start + plan.Chunk, sectors[static_cast<size_t>(s)].start + sectors[static_cast<size_t>(s)].size);
    }
  }
  EXPECT_GT(LpcParts().size(), 150u);
}

TEST(LpcParts, IdsParseAsJAnswersThem) {
  EXPECT_EQ(ParseLpcPartId(QStringLiteral("196387")), 0x0002FF23u);
  EXPECT_EQ(ParseLpcPartId(QStringLiteral("4293984018")), 0xFFF0FF12u);
  EXPECT_EQ(ParseLpcPartId(QStringLiteral(" 33058 ")), 0x8122u);
  EXPECT_FALSE(ParseLpcPartId(QStringLiteral("4294967296")));
  EXPECT_FALSE(ParseLpcPartId(QStringLiteral("0x8122")));
  EXPECT_FALSE(ParseLpcPartId(QStringLiteral("")));
  EXPECT_EQ(LpcPartIdText(0x0002FF25), QStringLiteral("0x0002FF25 (196389)"));
  EXPECT_EQ(LpcReturnCodeName(0), QStringLiteral("CMD_SUCCESS"));
  EXPECT_EQ(LpcReturnCodeName(7), QStringLiteral("INVALID_SECTOR"));
  EXPECT_EQ(LpcReturnCodeName(9), QStringLiteral("SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"));
  EXPECT_EQ(LpcReturnCodeName(14), QStringLiteral("ADDR_NOT_MAPPED"));
  EXPECT_EQ(LpcReturnCodeName(19), QStringLiteral("CODE_READ_PROTECTION_ENABLED"));
  EXPECT_EQ(LpcReturnCodeName(42), QStringLiteral("RETURN_CODE_42"));
}

TEST(LpcParts, CortexMImagesGetTheirChecksumAtTheirSlot) {
  // LPC1768: the first eight words add up to zero with the word at 0x1C.
  const std::vector<uint8_t> before = PatternImage(10000, 3);
  std::vector<uint8_t> image = before;
  uint32_t value = 0;
  ASSERT_TRUE(SetVectorChecksum(image, &value, 0x1C));
  uint32_t sum = 0;
  for (size_t at = 0; at < 32; at += 4)
    sum += static_cast<uint32_t>(image[at]) | image[at + 1] << 8 | image[at + 2] << 16 |
           static_cast<uint32_t>(image[at + 3]) << 24;
  EXPECT_EQ(sum, 0u);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x1C, before.begin()));  // 0x14 stays the program's

  // Its plan: 4 KB chunks through 0x10000200, sectors 16.. of 32 KB.
  const LpcTransferList list = BuildTransferList(image, LpcPlanFor(*FindLpcPart(0x26013F37)));
  EXPECT_EQ(list[1].Line(0), "W 268435968 4096\r\n");
  EXPECT_EQ(list.back().Line(0), "C 0 268435968 4096\r\n");

  // LPC812: raw 1 KB chunks, no checksum lines, 1 KB sectors.
  const std::vector<uint8_t> small = PatternImage(2100, 4);
  const LpcTransferList raw = BuildTransferList(small, LpcPlanFor(*FindLpcPart(0x8122)));
  ASSERT_EQ(raw.size(), 13u);
  EXPECT_EQ(raw[1].Line(0), "W 268436224 1024\r\n");
  EXPECT_EQ(raw[2].EntryKind, ekRawData);
  EXPECT_EQ(raw[3].Line(0), "P 1 1\r\n");
  EXPECT_EQ(raw[5].Line(0), "W 268436224 64\r\n");
  EXPECT_EQ(raw[6].Raw.size(), 64);  // 52 bytes and erased flash after them
  EXPECT_EQ(raw[7].Line(0), "P 2 2\r\n");
  EXPECT_EQ(raw[8].Line(0), "C 2048 268436224 64\r\n");
  EXPECT_EQ(raw[12].Line(0), "C 0 268436224 1024\r\n");
  EXPECT_EQ(QByteArray(raw[10].Raw), QByteArray(reinterpret_cast<const char*>(small.data()), 1024));
}

TEST(ImageFile, HexAndBinaryByExtensionReadBackAsWritten) {
  QTemporaryDir dir;
  // Across a 64 KB boundary, so the record there is cut and the base moves.
  const std::vector<uint8_t> bytes = PatternImage(300, 8);
  const uint32_t base = 0x0000FF80;
  const QString hex = dir.filePath(QStringLiteral("out.HEX"));
  ASSERT_TRUE(WriteImageFile(hex, base, bytes));
  QFile f(hex);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray text = f.readAll();
  EXPECT_TRUE(text.startsWith(":020000040000FA\r\n"));
  EXPECT_TRUE(text.contains(":020000040001F9\r\n"));
  EXPECT_TRUE(text.endsWith(":00000001FF\r\n"));
  const LpcFileLoad load = LoadLpcHexText(text);
  ASSERT_EQ(load.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(std::vector<uint8_t>(load.Image.begin() + base, load.Image.begin() + base + 300), bytes);

  const QString bin = dir.filePath(QStringLiteral("out.bin"));
  ASSERT_TRUE(WriteImageFile(bin, base, bytes));
  QFile b(bin);
  ASSERT_TRUE(b.open(QIODevice::ReadOnly));
  EXPECT_EQ(b.readAll(), QByteArray(reinterpret_cast<const char*>(bytes.data()), 300));

  QString error;
  EXPECT_FALSE(WriteImageFile(dir.filePath(QStringLiteral("no/such/dir/x.bin")), 0, bytes, &error));
  EXPECT_TRUE(error.startsWith(QStringLiteral("无法写入文件")));
}
