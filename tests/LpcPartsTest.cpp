// The LPC part table against facts written out here from the user manuals,
// the write plans the rows give, the return-code names and the image file
// writer the Read job uses.
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "firmware/ImageFile.h"
#include "isp/lpc/LpcImage.h"
#include "isp/lpc/LpcParts.h"
#include "sim/HexText.h"

namespace {

// A line of parts as its user manual describes it: the sector sizes from
// sector 0, where its RAM starts, the first RAM byte the boot code leaves to
// the host (its "RAM used by ISP command handler"), the bytes it keeps at
// the RAM's top, the valid-code checksum word and whether W takes raw bytes.
struct Line {
  const char* manual;
  std::vector<uint32_t> sectorKB;
  uint32_t ramBase;
  uint32_t ispEnd;
  uint32_t topKept;
  uint32_t slot;
  bool binary;
};

std::vector<uint32_t> Runs(std::initializer_list<std::pair<int, uint32_t>> runs) {
  std::vector<uint32_t> out;
  for (const auto& [count, kb] : runs) out.insert(out.end(), static_cast<size_t>(count), kb);
  return out;
}

// ARM7: ISP data at 0x40000120..0x400001FF, top 32 bytes for the flash
// commands and a 256-byte stack below them; the checksum is vector 5 (0x14).
const Line kArm7Small{"UM10120/10139/10161/10211/10237", Runs({{8, 4}, {14, 32}, {6, 4}}), 0x40000000,
                      0x40000200, 288, 0x14, false};
const Line kArm7Eight{"UM10114/10275", Runs({{15, 8}}), 0x40000000, 0x40000200, 288, 0x14, false};
const Line kArm7Big{"UM10114", Runs({{8, 8}, {2, 64}, {7, 8}}), 0x40000000, 0x40000200, 288, 0x14, false};
// Cortex-M: the checksum is table entry 7 (0x1C).
const Line kM3{"UM10360/10470/10562", Runs({{16, 4}, {14, 32}}), 0x10000000, 0x10000200, 288, 0x1C, false};
const Line kM0{"UM10398/10429/10518/10462/10441/10375/10524", Runs({{64, 4}}), 0x10000000, 0x1000025C, 288,
               0x1C, false};
const Line kM0Plus{"UM10732", Runs({{24, 4}, {5, 32}}), 0x10000000, 0x1000025C, 288, 0x1C, false};
const Line k15xx{"UM10736", Runs({{64, 4}}), 0x02000000, 0x02000200, 288, 0x1C, true};
const Line k81x{"UM10601/10800/11021", Runs({{64, 1}}), 0x10000000, 0x10000300, 32, 0x1C, true};
const Line k84x{"UM11029", Runs({{64, 1}}), 0x10000000, 0x10000600, 32, 0x1C, true};
const Line k80x{"UM11045/11065", Runs({{64, 1}}), 0x10000000, 0x100003A8, 32, 0x1C, true};

struct Part {
  uint32_t id;
  uint32_t flashKB;  // what the user may program
  uint32_t ramKB;    // the RAM block at ramBase (the smallest of the parts that share the ID)
  const Line* line;
};

const Part kParts[] = {
    {0x0004FF11, 32, 2, &kArm7Small},  // LPC2101/02/03 answer alike
    {0xFFF0FF12, 120, 16, &kArm7Eight}, {0xFFF0FF22, 120, 32, &kArm7Eight}, {0xFFF0FF32, 120, 64, &kArm7Eight},
    {0x0201FF01, 64, 8, &kArm7Eight},   {0x0201FF12, 120, 16, &kArm7Eight}, {0x0101FF12, 120, 16, &kArm7Eight},
    {0x0401FF12, 120, 16, &kArm7Eight}, {0x0201FF13, 248, 16, &kArm7Big},   {0x0101FF13, 248, 16, &kArm7Big},
    {0x0301FF13, 248, 16, &kArm7Big},   {0x0601FF13, 248, 16, &kArm7Big},   {0x0401FF13, 248, 16, &kArm7Big},
    {0x0501FF13, 248, 16, &kArm7Big},
    {0x0002FF01, 32, 8, &kArm7Small},   {0x0002FF11, 64, 16, &kArm7Small},  {0x0002FF12, 128, 16, &kArm7Small},
    {0x0002FF23, 256, 32, &kArm7Small}, {0x0002FF25, 500, 32, &kArm7Small}, {0x0402FF01, 32, 8, &kArm7Small},
    {0x0402FF11, 64, 16, &kArm7Small},  {0x0402FF12, 128, 16, &kArm7Small}, {0x0402FF23, 256, 32, &kArm7Small},
    {0x0402FF25, 500, 32, &kArm7Small},
    {0x1600F701, 64, 8, &kArm7Small},   {0x1600FF22, 128, 32, &kArm7Small}, {0x1600F902, 128, 8, &kArm7Small},
    {0x0603FB02, 128, 8, &kArm7Small},  {0x1600E823, 256, 32, &kArm7Small}, {0x1600F923, 256, 32, &kArm7Small},
    {0x0603FB23, 256, 32, &kArm7Small}, {0x1600E825, 504, 32, &kArm7Small}, {0x1600F925, 504, 32, &kArm7Small},
    {0x0603FB25, 504, 32, &kArm7Small}, {0x1700E825, 504, 32, &kArm7Small}, {0x1700FD25, 504, 32, &kArm7Small},
    {0x0703FF25, 504, 32, &kArm7Small}, {0x1600FD25, 504, 32, &kArm7Small}, {0x1800F935, 504, 64, &kArm7Small},
    {0x1700FF35, 504, 64, &kArm7Small}, {0x1800FF35, 504, 64, &kArm7Small}, {0x1500FF35, 504, 64, &kArm7Small},
    {0x1600FF35, 504, 64, &kArm7Small}, {0x1701FF35, 504, 64, &kArm7Small},
    // Main SRAM only.
    {0x26113F37, 512, 32, &kM3}, {0x26013F37, 512, 32, &kM3}, {0x26012837, 512, 32, &kM3},
    {0x26013F33, 256, 32, &kM3}, {0x26013733, 256, 32, &kM3}, {0x26011922, 128, 16, &kM3},
    {0x26012033, 256, 32, &kM3}, {0x25113737, 512, 32, &kM3}, {0x25013F37, 512, 32, &kM3},
    {0x25011723, 256, 16, &kM3}, {0x25011722, 128, 16, &kM3}, {0x25001121, 64, 16, &kM3},
    {0x25001118, 32, 8, &kM3},   {0x25001110, 32, 8, &kM3},
    {0x281D3F47, 512, 64, &kM3}, {0x281D3747, 512, 64, &kM3}, {0x281D1F43, 256, 64, &kM3},
    {0x281D1743, 256, 64, &kM3}, {0x27193F47, 512, 64, &kM3}, {0x27193747, 512, 64, &kM3},
    {0x27191F43, 256, 64, &kM3}, {0x27011132, 128, 32, &kM3},
    {0x481D3F47, 512, 64, &kM3}, {0x47193F47, 512, 64, &kM3}, {0x47191F43, 256, 64, &kM3},
    {0x47011132, 128, 32, &kM3}, {0x47011121, 64, 16, &kM3},
    {0x2500102B, 32, 8, &kM0}, {0x2548102B, 32, 8, &kM0},
    {0x0A16D02B, 8, 2, &kM0},  {0x1A16D02B, 8, 2, &kM0},  {0x041E502B, 8, 2, &kM0},  {0x2516D02B, 8, 2, &kM0},
    {0x00010013, 8, 2, &kM0},  {0x0416502B, 8, 4, &kM0},  {0x2516902B, 8, 4, &kM0},  {0x00010012, 8, 4, &kM0},
    {0x042D502B, 16, 2, &kM0}, {0x2524D02B, 16, 2, &kM0}, {0x0A24902B, 16, 4, &kM0}, {0x1A24902B, 16, 4, &kM0},
    {0x0A23902B, 16, 4, &kM0}, {0x1A23902B, 16, 4, &kM0}, {0x00020023, 16, 2, &kM0}, {0x0425502B, 16, 4, &kM0},
    {0x2524902B, 16, 4, &kM0}, {0x00020022, 16, 4, &kM0}, {0x0434502B, 24, 4, &kM0}, {0x2532902B, 24, 4, &kM0},
    {0x00030032, 24, 4, &kM0}, {0x0434102B, 24, 8, &kM0}, {0x2532102B, 24, 8, &kM0}, {0x00030030, 24, 8, &kM0},
    {0x0A40902B, 32, 4, &kM0}, {0x1A40902B, 32, 4, &kM0}, {0x0444502B, 32, 4, &kM0}, {0x2540902B, 32, 4, &kM0},
    {0x00040042, 32, 4, &kM0}, {0x0444102B, 32, 8, &kM0}, {0x2540102B, 32, 8, &kM0}, {0x00040040, 32, 8, &kM0},
    {0x00040060, 48, 8, &kM0}, {0x00040070, 56, 8, &kM0}, {0x00050080, 64, 8, &kM0},
    {0x1421102B, 16, 8, &kM0}, {0x1440102B, 32, 8, &kM0}, {0x1431102B, 16, 8, &kM0}, {0x1430102B, 32, 8, &kM0},
    {0x293E902B, 8, 4, &kM0},  {0x2954502B, 16, 4, &kM0}, {0x296A102B, 24, 8, &kM0}, {0x2980102B, 32, 8, &kM0},
    {0x0000BC41, 64, 8, &kM0}, {0x00009C41, 96, 8, &kM0}, {0x00007C45, 128, 8, &kM0}, {0x00007C41, 128, 8, &kM0},
    {0x095C802B, 16, 4, &kM0}, {0x295C802B, 16, 4, &kM0}, {0x097A802B, 24, 4, &kM0}, {0x297A802B, 24, 4, &kM0},
    {0x0998802B, 32, 4, &kM0}, {0x2998802B, 32, 4, &kM0}, {0x2954402B, 16, 4, &kM0}, {0x2972402B, 24, 4, &kM0},
    {0x2988402B, 32, 4, &kM0}, {0x2980002B, 32, 4, &kM0}, {0x0003D440, 40, 8, &kM0}, {0x0001CC40, 48, 8, &kM0},
    {0x0001BC40, 64, 8, &kM0}, {0x0000BC40, 64, 8, &kM0}, {0x00019C40, 96, 8, &kM0}, {0x00017C40, 128, 8, &kM0},
    {0x00007C44, 128, 8, &kM0}, {0x00007C40, 128, 8, &kM0},
    {0x0000DCC1, 64, 8, &kM0Plus},   {0x0000BC81, 128, 16, &kM0Plus}, {0x00007C01, 256, 32, &kM0Plus},
    {0x0000DCC8, 64, 8, &kM0Plus},   {0x0000BC88, 128, 16, &kM0Plus}, {0x0000BC80, 128, 16, &kM0Plus},
    {0x00007C08, 256, 32, &kM0Plus}, {0x00007C00, 256, 32, &kM0Plus},
    {0x3640C02B, 32, 4, &kM0}, {0x3642C02B, 48, 4, &kM0}, {0x3650002B, 64, 8, &kM0}, {0x3652002B, 80, 8, &kM0},
    {0x3660002B, 96, 8, &kM0}, {0x3670002B, 128, 8, &kM0},
    {0x2C42502B, 8, 4, &kM0},  {0x1816902B, 8, 4, &kM0},  {0x2C40102B, 32, 8, &kM0}, {0x1830102B, 32, 8, &kM0},
    {0x3D01402B, 16, 4, &kM0}, {0x3D00002B, 32, 8, &kM0}, {0x3000002B, 32, 8, &kM0}, {0x3A010523, 32, 8, &kM0},
    {0x1A018524, 48, 8, &kM0}, {0x1A020525, 64, 8, &kM0}, {0x28010541, 32, 8, &kM0}, {0x08018542, 48, 8, &kM0},
    {0x08020543, 64, 8, &kM0},
    // SRAM0 only: 8 KB on the 12 KB parts.
    {0x00001517, 64, 8, &k15xx},   {0x00001518, 128, 16, &k15xx}, {0x00001519, 256, 16, &k15xx},
    {0x00001547, 64, 8, &k15xx},   {0x00001548, 128, 16, &k15xx}, {0x00001549, 256, 16, &k15xx},
    {0x00008021, 16, 2, &k80x}, {0x00008022, 16, 2, &k80x}, {0x00008023, 16, 2, &k80x}, {0x00008024, 16, 2, &k80x},
    {0x00008040, 32, 4, &k80x}, {0x00008041, 32, 4, &k80x}, {0x00008042, 32, 4, &k80x}, {0x00008043, 32, 4, &k80x},
    {0x00008044, 32, 4, &k80x},
    {0x00008100, 4, 1, &k81x},  {0x00008110, 8, 2, &k81x},  {0x00008120, 16, 4, &k81x}, {0x00008121, 16, 4, &k81x},
    {0x00008122, 16, 4, &k81x}, {0x00008221, 16, 4, &k81x}, {0x00008222, 16, 4, &k81x}, {0x00008241, 32, 8, &k81x},
    {0x00008242, 32, 8, &k81x}, {0x00008322, 16, 4, &k81x}, {0x00008341, 32, 4, &k81x},
    {0x00008441, 64, 8, &k84x},  {0x00008442, 64, 8, &k84x},  {0x00008443, 64, 8, &k84x},  {0x00008444, 64, 8, &k84x},
    {0x00008451, 64, 16, &k84x}, {0x00008452, 64, 16, &k84x}, {0x00008453, 64, 16, &k84x}, {0x00008454, 64, 16, &k84x},
};

// The numbers of a command line ("C 4096 268436224 1024").
std::vector<uint32_t> Args(const QByteArray& line) {
  std::vector<uint32_t> out;
  for (const QByteArray& w : line.trimmed().split(' ').mid(1)) out.push_back(w.toUInt());
  return out;
}

}  // namespace

// Every part's dangerous facts, written out above from its manual: where its
// sectors lie, how far its RAM reaches and what of it the boot code keeps,
// where the checksum goes. A full image's write plan must keep every RAM
// write inside the part's RAM and clear of the boot code's own, copy only
// within its flash, and prepare the sector the manual puts there.
TEST(LpcParts, WritePlansKeepToEachManualsFacts) {
  for (const Part& f : kParts) {
    SCOPED_TRACE(LpcPartIdText(f.id).toStdString() + " " + f.line->manual);
    const LpcPartRow* row = FindLpcPart(f.id);
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(LpcRefusal(*row).isEmpty());
    EXPECT_EQ(row->flashKB, f.flashKB);
    EXPECT_EQ(LpcVectorChecksumSlot(*row), f.line->slot);
    EXPECT_EQ(row->data == LpcData::Binary, f.line->binary);

    // The manual's sectors up to the part's flash.
    std::vector<LpcSector> manual;
    for (uint32_t at = 0, i = 0; at < f.flashKB * 1024u; ++i) {
      ASSERT_LT(i, f.line->sectorKB.size());
      manual.push_back({at, f.line->sectorKB[i] * 1024u});
      at += f.line->sectorKB[i] * 1024u;
    }
    const std::vector<LpcSector> sectors = LpcSectors(*row);
    ASSERT_EQ(sectors.size(), manual.size());
    for (size_t i = 0; i < sectors.size(); ++i) {
      EXPECT_EQ(sectors[i].start, manual[i].start) << "sector " << i;
      EXPECT_EQ(sectors[i].size, manual[i].size) << "sector " << i;
    }
    ASSERT_EQ(manual.back().start + manual.back().size, f.flashKB * 1024u);

    const uint32_t ramEnd = f.line->ramBase + f.ramKB * 1024u;
    const LpcWritePlan plan = LpcPlanFor(*row);
    ASSERT_GT(plan.Chunk, 0u);
    const LpcTransferList list = BuildTransferList(PatternImage(f.flashKB * 1024u, f.id), plan);
    uint32_t copied = 0;
    for (size_t k = 1; k < list.size(); ++k) {
      if (list[k].EntryKind != ekCommand) continue;
      const QByteArray line = list[k].Line(0);
      const std::vector<uint32_t> a = Args(line);
      if (line.startsWith('W')) {
        ASSERT_EQ(a.size(), 2u);
        EXPECT_GE(a[0], f.line->ispEnd) << line.toStdString();
        EXPECT_LE(uint64_t{a[0]} + a[1], uint64_t{ramEnd} - f.line->topKept) << line.toStdString();
      } else if (line.startsWith('C')) {
        ASSERT_EQ(a.size(), 3u);
        EXPECT_GE(a[1], f.line->ispEnd) << line.toStdString();
        EXPECT_LE(uint64_t{a[1]} + a[2], uint64_t{ramEnd} - f.line->topKept) << line.toStdString();
        EXPECT_LE(uint64_t{a[0]} + a[2], f.flashKB * 1024u) << line.toStdString();
        copied = std::max(copied, a[0] + a[2]);
        // The sector the P before it prepared is the manual's for this address.
        const std::vector<uint32_t> p = Args(list[k - 1].Line(0));
        ASSERT_EQ(p.size(), 2u);
        ASSERT_LT(p[0], manual.size());
        EXPECT_GE(a[0], manual[p[0]].start) << line.toStdString();
        EXPECT_LE(a[0] + a[2], manual[p[0]].start + manual[p[0]].size) << line.toStdString();
      }
    }
    EXPECT_EQ(copied, f.flashKB * 1024u);  // the whole flash, no more
  }
}

TEST(LpcParts, PartsThatCannotBeServedAreNamedNotGuessed) {
  // The LPC1110's 1 KB of RAM leaves no room for a copy clear of the boot code.
  const LpcPartRow* lpc1110 = FindLpcPart(0x1A07102B);
  ASSERT_NE(lpc1110, nullptr);
  EXPECT_TRUE(LpcRefusal(*lpc1110).startsWith(QStringLiteral("LPC1110 不受支持")));
  // LPC18xx/43xx answer J with two words and bank their flash: the first
  // word names the part, whatever the second.
  const std::optional<uint32_t> word = ParseLpcPartId(QStringLiteral("2684471344\r\n68"));
  ASSERT_EQ(word, 0xA001C830u);
  const LpcPartRow* lpc4357 = FindLpcPart(*word);
  ASSERT_NE(lpc4357, nullptr);
  EXPECT_TRUE(LpcRefusal(*lpc4357).contains(QStringLiteral("LPC4357")));
  EXPECT_TRUE(LpcRefusal(*lpc4357).endsWith(QStringLiteral("未擦除任何内容")));
  // Flashless parts are named too.
  for (uint32_t id : {0x0301FF12u, 0x1600FF30u, 0x1701FF30u, 0x1200E731u}) {
    ASSERT_NE(FindLpcPart(id), nullptr);
    EXPECT_TRUE(LpcRefusal(*FindLpcPart(id)).endsWith(QStringLiteral("没有片内Flash，无法编程")));
  }
  // IDs no manual gives stay unknown: the LPC2101/02/03 answer 0x0004FF11.
  EXPECT_EQ(FindLpcPart(0x0004FF12), nullptr);
  EXPECT_EQ(FindLpcPart(0x0004FF23), nullptr);
  EXPECT_EQ(FindLpcPart(0x12345678), nullptr);
}

TEST(LpcParts, EveryRowIsWhole) {
  std::set<uint32_t> ids;
  for (const LpcPartRow& row : LpcParts()) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(ids.insert(row.id).second) << "ID twice: " << row.id;
    EXPECT_TRUE(row.source && *row.source);
    if (!LpcRefusal(row).isEmpty()) continue;
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
    ASSERT_GT(plan.Chunk, 0u);
    ASSERT_EQ(plan.SectorOfChunk.size(), row.flashKB * 1024u / plan.Chunk + 1);
    for (size_t k = 1; k < plan.SectorOfChunk.size(); ++k) {
      const int s = plan.SectorOfChunk[k];
      ASSERT_GE(s, 0) << "chunk " << k;
      const uint32_t start = static_cast<uint32_t>(k - 1) * plan.Chunk;
      EXPECT_GE(start, sectors[static_cast<size_t>(s)].start);
      EXPECT_LE(start + plan.Chunk, sectors[static_cast<size_t>(s)].start + sectors[static_cast<size_t>(s)].size);
    }
  }
  // Every programmable row is among the facts above.
  size_t programmable = 0;
  for (const LpcPartRow& row : LpcParts()) programmable += LpcRefusal(row).isEmpty();
  EXPECT_EQ(programmable, std::size(kParts));
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
