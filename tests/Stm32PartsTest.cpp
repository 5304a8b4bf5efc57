// The STM32 parts table against facts written out here, independently of
// it (ST AN2606 for the product IDs; each line's reference manual for the
// layout, the flash-size register and the unique ID), and the pure logic
// that turns a part and an image into erase frames and write blocks.
#include <gtest/gtest.h>

#include <set>

#include "isp/stm32/Stm32Engine.h"
#include "isp/stm32/Stm32Parts.h"

namespace {

struct Fact {
  uint16_t pid;
  uint32_t firstUnit;    // bytes of unit 0
  uint32_t maxKB;        // the line's largest flash
  uint32_t units;        // erase units on that flash
  uint32_t sizeRegister; // F_SIZE
  uint32_t uid;          // 96-bit unique ID
  uint8_t erased;
  uint32_t bank2Offset;  // 0: one bank
  uint32_t bank2First;   // the number of bank 2's first unit
};

constexpr uint32_t K = 1024;

const Fact kFacts[] = {
    // F0
    {0x444, 1 * K, 32, 32, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x445, 1 * K, 32, 32, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x440, 1 * K, 64, 64, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x448, 2 * K, 128, 64, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x442, 2 * K, 256, 128, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    // F1 low, medium, high, XL density, connectivity line, value line
    {0x412, 1 * K, 32, 32, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    {0x410, 1 * K, 128, 128, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    {0x414, 2 * K, 512, 256, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    {0x430, 2 * K, 1024, 512, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    {0x418, 2 * K, 256, 128, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    {0x420, 1 * K, 128, 128, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    {0x428, 2 * K, 512, 256, 0x1FFFF7E0, 0x1FFFF7E8, 0xFF, 0, 0},
    // F2: 4 x 16 KB, 64 KB, 7 x 128 KB
    {0x411, 16 * K, 1024, 12, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    // F3
    {0x422, 2 * K, 256, 128, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x438, 2 * K, 64, 32, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x439, 2 * K, 64, 32, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x432, 2 * K, 256, 128, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    {0x446, 2 * K, 512, 256, 0x1FFFF7CC, 0x1FFFF7AC, 0xFF, 0, 0},
    // F4 (2 MB parts: two banks of 12 sectors, bank 2 from sector 12)
    {0x413, 16 * K, 1024, 12, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x419, 16 * K, 2048, 24, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 1024 * K, 12},
    {0x423, 16 * K, 256, 6, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x433, 16 * K, 512, 8, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x458, 16 * K, 128, 5, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x431, 16 * K, 512, 8, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x441, 16 * K, 1024, 12, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x421, 16 * K, 512, 8, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    {0x434, 16 * K, 2048, 24, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 1024 * K, 12},
    {0x463, 16 * K, 1536, 16, 0x1FFF7A22, 0x1FFF7A10, 0xFF, 0, 0},
    // F7: 4 x 32 KB, 128 KB, 256 KB sectors (F72x/F73x: the F4 sizes)
    {0x449, 32 * K, 1024, 8, 0x1FF0F442, 0x1FF0F420, 0xFF, 0, 0},
    {0x451, 32 * K, 2048, 12, 0x1FF0F442, 0x1FF0F420, 0xFF, 0, 0},
    {0x452, 16 * K, 512, 8, 0x1FF07A22, 0x1FF07A10, 0xFF, 0, 0},
    // G0 (G0B/G0C: bank 2 from page 256)
    {0x466, 2 * K, 64, 32, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x456, 2 * K, 64, 32, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x460, 2 * K, 128, 64, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x467, 2 * K, 512, 256, 0x1FFF75E0, 0x1FFF7590, 0xFF, 256 * K, 256},
    // G4 (category 3 in its factory two-bank mode)
    {0x468, 2 * K, 128, 64, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x469, 2 * K, 512, 256, 0x1FFF75E0, 0x1FFF7590, 0xFF, 256 * K, 256},
    {0x479, 2 * K, 512, 256, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    // H5: 8 KB sectors in two banks
    {0x474, 8 * K, 128, 16, 0x08FFF80C, 0x08FFF800, 0xFF, 64 * K, 8},
    {0x478, 8 * K, 512, 64, 0x08FFF80C, 0x08FFF800, 0xFF, 256 * K, 32},  // 32 sectors per bank
    {0x484, 8 * K, 2048, 256, 0x08FFF80C, 0x08FFF800, 0xFF, 1024 * K, 128},
    // H7
    {0x450, 128 * K, 2048, 16, 0x1FF1E880, 0x1FF1E800, 0xFF, 1024 * K, 8},
    {0x480, 8 * K, 2048, 256, 0x08FFF80C, 0x08FFF800, 0xFF, 1024 * K, 128},
    {0x483, 128 * K, 1024, 8, 0x1FF1E880, 0x1FF1E800, 0xFF, 0, 0},
    // L0: 128-byte pages, erased reads 0x00
    {0x457, 128, 16, 128, 0x1FF8007C, 0x1FF80050, 0x00, 0, 0},
    {0x425, 128, 32, 256, 0x1FF8007C, 0x1FF80050, 0x00, 0, 0},
    {0x417, 128, 64, 512, 0x1FF8007C, 0x1FF80050, 0x00, 0, 0},
    {0x447, 128, 192, 1536, 0x1FF8007C, 0x1FF80050, 0x00, 0, 0},
    // L1 categories 1 to 6: 256-byte pages, erased reads 0x00
    {0x416, 256, 128, 512, 0x1FF8004C, 0x1FF80050, 0x00, 0, 0},
    {0x429, 256, 128, 512, 0x1FF8004C, 0x1FF80050, 0x00, 0, 0},
    {0x427, 256, 256, 1024, 0x1FF800CC, 0x1FF800D0, 0x00, 0, 0},
    {0x436, 256, 384, 1536, 0x1FF800CC, 0x1FF800D0, 0x00, 0, 0},
    {0x437, 256, 512, 2048, 0x1FF800CC, 0x1FF800D0, 0x00, 0, 0},
    // L4 (1 MB lines: bank 2 from page 256), L4+ (4 KB pages in two banks)
    {0x464, 2 * K, 128, 64, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x435, 2 * K, 256, 128, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x462, 2 * K, 512, 256, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x415, 2 * K, 1024, 512, 0x1FFF75E0, 0x1FFF7590, 0xFF, 512 * K, 256},
    {0x461, 2 * K, 1024, 512, 0x1FFF75E0, 0x1FFF7590, 0xFF, 512 * K, 256},
    {0x470, 4 * K, 2048, 512, 0x1FFF75E0, 0x1FFF7590, 0xFF, 1024 * K, 256},
    {0x471, 4 * K, 1024, 256, 0x1FFF75E0, 0x1FFF7590, 0xFF, 512 * K, 256},
    // L5
    {0x472, 2 * K, 512, 256, 0x0BFA05E0, 0x0BFA0590, 0xFF, 256 * K, 128},
    // U5: 8 KB pages in two banks
    {0x455, 8 * K, 512, 64, 0x0BFA07A0, 0x0BFA0700, 0xFF, 256 * K, 32},  // 32 pages per bank
    {0x482, 8 * K, 2048, 256, 0x0BFA07A0, 0x0BFA0700, 0xFF, 1024 * K, 128},
    {0x481, 8 * K, 4096, 512, 0x0BFA07A0, 0x0BFA0700, 0xFF, 2048 * K, 256},
    {0x476, 8 * K, 4096, 512, 0x0BFA07A0, 0x0BFA0700, 0xFF, 2048 * K, 256},
    // WB, WL
    {0x495, 4 * K, 1024, 256, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x494, 2 * K, 320, 160, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x497, 2 * K, 256, 128, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    // WB30/WB35 of ID 0x496: 4 KB pages up to 512 KB; WBA5: one bank of 128 pages of 8 KB
    {0x496, 4 * K, 512, 128, 0x1FFF75E0, 0x1FFF7590, 0xFF, 0, 0},
    {0x492, 8 * K, 1024, 128, 0x0BF907A0, 0x0BF90700, 0xFF, 0, 0},
    // C0
    {0x443, 2 * K, 32, 16, 0x1FFF75A0, 0x1FFF7550, 0xFF, 0, 0},
    {0x453, 2 * K, 32, 16, 0x1FFF75A0, 0x1FFF7550, 0xFF, 0, 0},
    {0x493, 2 * K, 128, 64, 0x1FFF75A0, 0x1FFF7550, 0xFF, 0, 0},
    {0x44C, 2 * K, 64, 32, 0x1FFF75A0, 0x1FFF7550, 0xFF, 0, 0},
    {0x44D, 2 * K, 256, 128, 0x1FFF75A0, 0x1FFF7550, 0xFF, 0, 0},
    // U0: the two lines keep their size register and unique ID apart
    {0x459, 2 * K, 64, 32, 0x1FFF3EA0, 0x1FFF3E50, 0xFF, 0, 0},
    {0x489, 2 * K, 256, 128, 0x1FFF6EA0, 0x1FFF6E50, 0xFF, 0, 0},
};

// Lines listed for the boot loader whose flash the table does not carry.
const uint16_t kNamedOnly[] = {0x485, 0x4B0, 0x454};

std::vector<uint32_t> Numbers(const std::vector<Stm32Unit>& units) {
  std::vector<uint32_t> n;
  for (const auto& u : units) n.push_back(u.number);
  return n;
}

TEST(Stm32Parts, EveryProductIdHasItsLayoutSizeRegisterAndUniqueId) {
  std::set<uint16_t> seen;
  for (const Fact& f : kFacts) {
    SCOPED_TRACE(::testing::Message() << std::hex << f.pid);
    const Stm32Part& p = Stm32PartFor(f.pid);
    ASSERT_TRUE(p.Known());
    EXPECT_EQ(p.maxFlashKB, f.maxKB);
    EXPECT_EQ(p.flashSizeAddress, f.sizeRegister);
    EXPECT_EQ(p.uniqueIdAddress, f.uid);
    EXPECT_EQ(p.erasedValue, f.erased);
    // Option words read as all ones: every line's factory bank mode.
    const Stm32FlashMap map(p, f.maxKB * K, 0xFFFFFFFFu);
    ASSERT_EQ(map.Units().size(), f.units);
    EXPECT_EQ(map.Units().front().offset, 0u);
    EXPECT_EQ(map.Units().front().size, f.firstUnit);
    uint64_t total = 0;
    for (size_t i = 0; i < map.Units().size(); ++i) {
      const Stm32Unit& u = map.Units()[i];
      EXPECT_EQ(u.offset, total) << "no hole, no overlap";
      total += u.size;
    }
    EXPECT_EQ(total, uint64_t{f.maxKB} * K);
    EXPECT_EQ(map.TwoBanks(), f.bank2Offset != 0);
    if (f.bank2Offset) {
      const Stm32Unit* first = map.UnitAt(f.bank2Offset);
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(first->number, f.bank2First);
      EXPECT_EQ(map.UnitHolding(f.bank2Offset - 1)->number + 1 <= f.bank2First, true);
    } else {
      EXPECT_EQ(map.Units().back().number, f.units - 1);
    }
    seen.insert(f.pid);
  }
  // The first six lines keep their family lines; every other known ID has
  // a line of its own, an unknown one the catch-all.
  EXPECT_STREQ(Stm32PartFor(0x0414).familyLine, "STM32F10x 家族");
  EXPECT_STREQ(Stm32PartFor(0x0410).familyLine, "CPU :F10x 1K");
  EXPECT_STREQ(Stm32PartFor(0x0411).familyLine, "STM32F20x 家族");
  EXPECT_STREQ(Stm32PartFor(0x0413).familyLine, "STM32F40x 家族");
  EXPECT_STREQ(Stm32PartFor(0x0463).familyLine, "STM32F41x 家族");
  EXPECT_STREQ(Stm32PartFor(0x0483).familyLine, "STM32H7xx 家族");
  EXPECT_EQ(Stm32PartFor(0x0414).erase, Stm32Erase::Standard);
  EXPECT_EQ(Stm32PartFor(0x0413).erase, Stm32Erase::Extended);
  EXPECT_FALSE(Stm32PartFor(0x0999).Known());
  EXPECT_STREQ(Stm32PartFor(0x0999).familyLine, "CPU :Fxxx");
  for (uint16_t pid : kNamedOnly) {
    const Stm32Part& p = Stm32PartFor(pid);
    EXPECT_TRUE(p.Known()) << std::hex << pid;
    EXPECT_FALSE(p.Described()) << std::hex << pid;
    EXPECT_TRUE(Stm32FlashMap(p, 1024 * K, 0xFFFFFFFFu).Units().empty()) << std::hex << pid;
    seen.insert(pid);
  }
  for (const Stm32Part& p : Stm32PartTable()) {
    if (p.Known()) {
      EXPECT_TRUE(seen.count(p.productId)) << std::hex << p.productId << " has no fact here";
    }
  }
}

// Where READ MEMORY finds each line's option bytes (the reference manuals'
// "Option bytes" sections; OB_BASE / OPTION_BYTE(S)_BASE where ST's CMSIS
// headers give one), and the lines that keep them in flash registers only.
// A wrong address makes Info print system-memory code as option bytes.
TEST(Stm32Parts, OptionBytesAreReadWhereEachLineKeepsThem) {
  struct Area {
    std::vector<uint16_t> pids;
    uint32_t address;
    uint8_t length;
    uint32_t bank2;
  };
  const Area areas[] = {
      // F0, F1, F3: byte and complement pairs.
      {{0x444, 0x445, 0x440, 0x448, 0x442, 0x412, 0x410, 0x414, 0x430, 0x418, 0x420, 0x428, 0x422, 0x438, 0x439,
        0x432, 0x446},
       0x1FFFF800, 16, 0},
      // F2, F4; the 2 MB lines have bank 2's beside them.
      {{0x411, 0x413, 0x463, 0x423, 0x433, 0x458, 0x431, 0x441, 0x421}, 0x1FFFC000, 16, 0},
      {{0x419, 0x434}, 0x1FFFC000, 16, 0x1FFEC000},
      {{0x449, 0x451, 0x452}, 0x1FFF0000, 32, 0},
      {{0x457, 0x425, 0x417, 0x447, 0x416, 0x429, 0x427, 0x436, 0x437}, 0x1FF80000, 16, 0},
      {{0x466, 0x456, 0x460, 0x467, 0x468, 0x469, 0x479, 0x464, 0x435, 0x462, 0x415, 0x461, 0x497, 0x494, 0x443,
        0x453, 0x493, 0x44C, 0x44D},
       0x1FFF7800, 16, 0},
      {{0x495, 0x496}, 0x1FFF8000, 16, 0},
      {{0x470, 0x471}, 0x1FF00000, 16, 0},
  };
  const uint16_t inRegisters[] = {0x474, 0x478, 0x484, 0x450, 0x480, 0x483, 0x472,
                                  0x455, 0x482, 0x481, 0x476, 0x492, 0x485, 0x4B0};
  std::set<uint16_t> seen;
  for (const Area& a : areas)
    for (uint16_t pid : a.pids) {
      SCOPED_TRACE(::testing::Message() << std::hex << pid);
      const Stm32InfoFacts& f = Stm32InfoFor(Stm32PartFor(pid));
      EXPECT_EQ(f.optionBytes, a.address);
      EXPECT_EQ(f.optionBytesLength, a.length);
      EXPECT_EQ(f.optionBytes2, a.bank2);
      EXPECT_FALSE(f.optionsInRegisters);
      seen.insert(pid);
    }
  for (uint16_t pid : inRegisters) {
    SCOPED_TRACE(::testing::Message() << std::hex << pid);
    const Stm32InfoFacts& f = Stm32InfoFor(Stm32PartFor(pid));
    EXPECT_TRUE(f.optionsInRegisters);
    EXPECT_EQ(f.optionBytes, 0u);
    seen.insert(pid);
  }
  // Every described line says how much RAM it has up to; unknown IDs
  // claim nothing.
  for (const Stm32Part& p : Stm32PartTable()) {
    if (!p.Described()) continue;
    EXPECT_GT(Stm32InfoFor(p).ramKB, 0u) << std::hex << p.productId;
    const bool u0 = p.productId == 0x459 || p.productId == 0x489;  // area not recorded
    if (!u0) {
      EXPECT_TRUE(seen.count(p.productId)) << std::hex << p.productId << " has no option-byte fact here";
    }
  }
  const Stm32InfoFacts& unknown = Stm32InfoFor(Stm32PartFor(0x0999));
  EXPECT_EQ(unknown.ramKB, 0u);
  EXPECT_EQ(unknown.optionBytes, 0u);
  EXPECT_FALSE(unknown.optionsInRegisters);
}

TEST(Stm32Parts, FlashSizeRegisterReadsAsTheLineCodesIt) {
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0414), 0x00, 0x02), 512u);
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0414), 0xFF, 0xFF), std::nullopt);  // unprogrammed
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0414), 0x00, 0x04), std::nullopt);  // no F1 HD has 1 MB
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0414), 0x00, 0x00), std::nullopt);
  // L1 category 4 (RM0038 "Flash size register"): 0 is 384 KB, 1 is 256 KB.
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0436), 0x00, 0x00), 384u);
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0436), 0x01, 0x00), 256u);
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0436), 0x80, 0x01), std::nullopt);
  EXPECT_EQ(Stm32DecodeFlashSize(Stm32PartFor(0x0999), 0x40, 0x00), 64u);  // unknown: as it says
}

// What an image of a given length covers, on every kind of layout: the
// units that hold its bytes and no more.
TEST(Stm32Parts, UnitsCoveringAnImageOnEveryLayout) {
  struct Case {
    uint16_t pid;
    uint32_t length;
    size_t units;
  };
  const Case cases[] = {
      {0x457, 1024, 8},   {0x457, 1025, 9},         // 128-byte pages
      {0x416, 256, 1},    {0x416, 257, 2},          // 256-byte pages
      {0x410, 2048, 2},   {0x414, 2048, 1},   {0x414, 2049, 2},
      {0x495, 4097, 2},   {0x482, 8192, 1},   {0x482, 8193, 2},  // 4 KB, 8 KB pages
      {0x413, 16384, 1},  {0x413, 16385, 2},  {0x413, 65537, 5}, {0x413, 131073, 6},
      {0x449, 32769, 2},  {0x449, 131073, 5},                    // F7: 32 KB sectors, then 128 KB
      {0x483, 131072, 1}, {0x483, 131073, 2},
  };
  for (const Case& c : cases) {
    const Stm32Part& p = Stm32PartFor(c.pid);
    EXPECT_EQ(Stm32FlashMap(p, p.maxFlashKB * K).Covering(0, c.length).size(), c.units)
        << std::hex << c.pid << std::dec << " " << c.length;
  }
  // Second banks as the manuals number them. L476 with 512 KB: bank 2 at
  // 256 KB, its first page number 256 although bank 1 has 128 (whether the
  // boot loader takes that number is another matter, below).
  const Stm32FlashMap l4(Stm32PartFor(0x0415), 512 * K);
  EXPECT_EQ(Numbers(l4.Covering(254 * K, 6 * K)), (std::vector<uint32_t>{127, 256, 257}));
  // F429 with 2 MB: bank 2's first sector (16 KB) is number 12.
  const Stm32FlashMap f4(Stm32PartFor(0x0419), 2048 * K);
  EXPECT_EQ(Numbers(f4.Covering(1024 * K - 1, 17 * K)), (std::vector<uint32_t>{11, 12, 13}));
  // G474 with DBANK cleared: one bank of 4 KB pages.
  const Stm32FlashMap g4single(Stm32PartFor(0x0469), 512 * K, ~(1u << 22));
  EXPECT_FALSE(g4single.TwoBanks());
  EXPECT_EQ(Numbers(g4single.Covering(0, 5 * K)), (std::vector<uint32_t>{0, 1}));
  const Stm32FlashMap g4dual(Stm32PartFor(0x0469), 512 * K, 1u << 22);
  EXPECT_EQ(Numbers(g4dual.Covering(0, 5 * K)), (std::vector<uint32_t>{0, 1, 2}));
  // A range past the end covers what lies inside; the unknown part has none.
  EXPECT_TRUE(Stm32FlashMap(Stm32PartFor(0x0999), 64 * K).Units().empty());
  EXPECT_TRUE(l4.Covering(0, 0).empty());
}

// Bank modes, from the reference manuals: which option bit decides on a
// part of which size, and the map each setting gives. A wrong bit or
// polarity erases sector numbers the part gives to other addresses.
TEST(Stm32Parts, BankModeOptionBitsChooseTheMap) {
  struct Mode {
    uint16_t pid;
    uint32_t flashKB;
    uint32_t word;         // the option word as read
    uint32_t units;
    uint32_t firstSize;    // bytes
    uint32_t lastSize;
    uint32_t bank2Offset;  // 0: one bank
    uint32_t bank2First;
  };
  constexpr uint32_t all = 0xFFFFFFFFu;
  const Mode modes[] = {
      // F42x/F43x (RM0090 3.3, 3.6.1): DB1M, bit 14 at 0x1FFFC008, only on 1 MB parts.
      {0x419, 1024, ~(1u << 14), 12, 16 * K, 128 * K, 0, 0},
      {0x419, 1024, all, 16, 16 * K, 128 * K, 512 * K, 12},
      {0x419, 2048, 0, 24, 16 * K, 128 * K, 1024 * K, 12},
      {0x419, 512, all, 8, 16 * K, 128 * K, 0, 0},
      {0x434, 1024, all, 16, 16 * K, 128 * K, 512 * K, 12},
      // F76x/F77x (RM0410 3.3.1, 3.4.1): nDBANK, bit 13 at 0x1FFF0008, cleared = two banks.
      {0x451, 2048, all, 12, 32 * K, 256 * K, 0, 0},
      {0x451, 2048, ~(1u << 13), 24, 16 * K, 128 * K, 1024 * K, 12},
      {0x451, 1024, all, 8, 32 * K, 256 * K, 0, 0},
      {0x451, 1024, ~(1u << 13), 16, 16 * K, 128 * K, 512 * K, 12},
      // G0B/G0C (RM0444 3.3.1): DUAL_BANK, bit 21, on 256 KB and 512 KB parts; 2 KB pages.
      {0x467, 512, all, 256, 2 * K, 2 * K, 256 * K, 256},
      {0x467, 512, ~(1u << 21), 256, 2 * K, 2 * K, 0, 0},
      {0x467, 256, all, 128, 2 * K, 2 * K, 128 * K, 256},
      {0x467, 128, all, 64, 2 * K, 2 * K, 0, 0},
      // G47x/G48x (RM0440 3.3.1): DBANK, bit 22; 4 KB pages in one bank.
      {0x469, 512, ~(1u << 22), 128, 4 * K, 4 * K, 0, 0},
      // L4R/L4S (RM0432 3.3.1): DBANK (bit 22) on 2 MB, DB1M (bit 21) on 1 MB; 8 KB pages single.
      {0x470, 2048, all, 512, 4 * K, 4 * K, 1024 * K, 256},
      {0x470, 2048, ~(1u << 22), 256, 8 * K, 8 * K, 0, 0},
      {0x470, 1024, 1u << 21, 256, 4 * K, 4 * K, 512 * K, 256},
      {0x470, 1024, 1u << 22, 128, 8 * K, 8 * K, 0, 0},
      // L4P5/L4Q5: DBANK on 1 MB, bit 21 on 512 KB.
      {0x471, 1024, 1u << 22, 256, 4 * K, 4 * K, 512 * K, 256},
      {0x471, 512, 1u << 22, 64, 8 * K, 8 * K, 0, 0},
      // L552/L562 (RM0438 6.3.1): DBANK (bit 22) on 512 KB, DB256K (bit 21) on 256 KB.
      {0x472, 512, all, 256, 2 * K, 2 * K, 256 * K, 128},
      {0x472, 512, ~(1u << 22), 128, 4 * K, 4 * K, 0, 0},
      {0x472, 256, 1u << 21, 128, 2 * K, 2 * K, 128 * K, 128},
      {0x472, 256, 1u << 22, 64, 4 * K, 4 * K, 0, 0},
      // H74x/H75x, H7A3/B3 (RM0433, RM0455 4.3.4): bank 2 at 0x08100000 whatever the size.
      {0x450, 1024, 0, 8, 128 * K, 128 * K, 1024 * K, 8},
      {0x480, 1024, 0, 128, 8 * K, 8 * K, 1024 * K, 128},
      {0x450, 128, 0, 1, 128 * K, 128 * K, 0, 0},
  };
  for (const Mode& m : modes) {
    SCOPED_TRACE(::testing::Message() << std::hex << m.pid << " " << std::dec << m.flashKB << " KB, option "
                                      << std::hex << m.word);
    const Stm32FlashMap map(Stm32PartFor(m.pid), m.flashKB * K, m.word);
    ASSERT_EQ(map.Units().size(), m.units);
    EXPECT_EQ(map.Units().front().size, m.firstSize);
    EXPECT_EQ(map.Units().back().size, m.lastSize);
    EXPECT_EQ(map.TwoBanks(), m.bank2Offset != 0);
    if (m.bank2Offset) {
      const Stm32Unit* first = map.UnitAt(m.bank2Offset);
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(first->number, m.bank2First);
      EXPECT_EQ(map.SpanBytes(), m.bank2Offset + m.flashKB * K / 2);
    } else {
      EXPECT_EQ(map.Units().back().number, m.units - 1);
      EXPECT_EQ(map.SpanBytes(), m.flashKB * K);
    }
  }
  // Where the option decides and was not read, nothing is mapped; where
  // the size alone decides, the word is not needed.
  EXPECT_TRUE(Stm32FlashMap(Stm32PartFor(0x0419), 1024 * K).Units().empty());
  EXPECT_TRUE(Stm32FlashMap(Stm32PartFor(0x0451), 2048 * K).Units().empty());
  EXPECT_EQ(Stm32FlashMap(Stm32PartFor(0x0419), 2048 * K).Units().size(), 24u);
  // The option words as the boot loader reads them.
  EXPECT_EQ(Stm32PartFor(0x0419).bankOption.address, 0x1FFFC008u);
  EXPECT_EQ(Stm32PartFor(0x0434).bankOption.address, 0x1FFFC008u);
  EXPECT_EQ(Stm32PartFor(0x0451).bankOption.address, 0x1FFF0008u);
  EXPECT_EQ(Stm32PartFor(0x0467).bankOption.address, 0x1FFF7800u);
  EXPECT_EQ(Stm32PartFor(0x0469).bankOption.address, 0x1FFF7800u);
  EXPECT_EQ(Stm32PartFor(0x0470).bankOption.address, 0x1FF00000u);
  EXPECT_EQ(Stm32PartFor(0x0471).bankOption.address, 0x1FF00000u);
  EXPECT_EQ(Stm32PartFor(0x0472).bankOption.address, 0x40022040u);
  // The hole between the H743xG's banks is no flash.
  const Stm32FlashMap h7(Stm32PartFor(0x0450), 1024 * K);
  EXPECT_TRUE(h7.Holds(0, 512 * K));
  EXPECT_FALSE(h7.Holds(512 * K - 4, 8));
  EXPECT_TRUE(h7.Covering(512 * K, 512 * K).empty());
  EXPECT_TRUE(h7.Holds(1024 * K, 512 * K));
}

// Which parts may have bank 2 erased by number. The manuals number bank 2
// from a fixed unit whatever the size; counting on from bank 1 gives the
// same number only on a line's largest part. Elsewhere the boot loader's
// number is not established and no unit of bank 2 may be erased by it.
TEST(Stm32Parts, SecondBankIsErasedByNumberOnlyWhereTheNumberIsEstablished) {
  struct Bank2 {
    uint16_t pid;
    uint32_t flashKB;
    uint32_t word;   // option word (two-bank mode)
    bool sure;
    uint32_t first;  // bank 2's first number where sure
  };
  constexpr uint32_t all = 0xFFFFFFFFu;
  const Bank2 cases[] = {
      // Largest parts: bank 1's unit count is bank 2's first number.
      {0x415, 1024, all, true, 256},  {0x461, 1024, all, true, 256},  {0x470, 2048, all, true, 256},
      {0x472, 512, all, true, 128},   {0x474, 128, all, true, 8},     {0x484, 2048, all, true, 128},
      {0x450, 2048, all, true, 8},    {0x480, 2048, all, true, 128},  {0x482, 2048, all, true, 128},
      {0x481, 4096, all, true, 256},  {0x476, 4096, all, true, 256},  {0x478, 512, all, true, 32},
      {0x455, 512, all, true, 32},
      // Sector 12 on F42x/F469 and F76x in either size.
      {0x419, 1024, all, true, 12},   {0x419, 2048, all, true, 12},   {0x434, 1024, all, true, 12},
      {0x451, 1024, ~(1u << 13), true, 12}, {0x451, 2048, ~(1u << 13), true, 12},
      // Smaller parts, and lines whose manual numbering counting on never meets.
      {0x467, 256, all, false, 0},    {0x467, 512, all, false, 0},
      {0x415, 512, all, false, 0},    {0x415, 256, all, false, 0},    {0x461, 512, all, false, 0},
      {0x461, 256, all, false, 0},    {0x470, 1024, 1u << 21, false, 0}, {0x471, 1024, 1u << 22, false, 0},
      {0x471, 512, 1u << 21, false, 0}, {0x472, 256, 1u << 21, false, 0}, {0x469, 512, all, false, 0},
      {0x469, 256, all, false, 0},    {0x469, 128, all, false, 0},
      {0x478, 256, all, false, 0},    {0x484, 1024, all, false, 0},   {0x450, 1024, all, false, 0},
      {0x480, 1024, all, false, 0},   {0x455, 256, all, false, 0},
      {0x482, 1024, all, false, 0},   {0x481, 2048, all, false, 0},   {0x476, 2048, all, false, 0},
  };
  for (const Bank2& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.pid << " " << std::dec << c.flashKB << " KB");
    const Stm32FlashMap map(Stm32PartFor(c.pid), c.flashKB * K, c.word);
    ASSERT_TRUE(map.TwoBanks());
    ASSERT_NE(map.Bank2Offset(), 0u);
    for (const Stm32Unit& u : map.Units()) {
      const bool inBank2 = u.offset >= map.Bank2Offset();
      EXPECT_EQ(u.numberSure, inBank2 ? c.sure : true) << u.number;
    }
    if (c.sure) {
      EXPECT_EQ(map.UnitAt(map.Bank2Offset())->number, c.first);
    }
  }
  // One bank, or bank 2 numbered on from bank 1 (F1 XL): every number holds.
  const Stm32FlashMap single(Stm32PartFor(0x469), 512 * K, ~(1u << 22));
  const Stm32FlashMap xl(Stm32PartFor(0x430), 1024 * K);
  for (const Stm32FlashMap* m : {&single, &xl})
    for (const Stm32Unit& u : m->Units()) EXPECT_TRUE(u.numberSure);
}

// The blocks a download writes: the file's stretches only, on whole
// programming units, never across a 256-byte boundary, one frame for each
// 256 bytes however many records fill it.
TEST(Stm32Parts, WriteBlocksFollowTheFilesStretches) {
  using B = Stm32Engine::Block;
  auto blocks = Stm32Engine::WriteBlocks({{0, 10}, {12, 4}, {0x1003, 600}}, 0x1300, 8);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  for (const B& b : blocks) got.emplace_back(b.offset, b.length);
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{
                     {0, 16}, {0x1000, 0x100}, {0x1100, 0x100}, {0x1200, 0x60}}));
  // A 32-byte unit: the stretch grows to whole flash words within the image.
  blocks = Stm32Engine::WriteBlocks({{40, 8}}, 64, 32);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].offset, 32u);
  EXPECT_EQ(blocks[0].length, 32u);
}

}  // namespace
