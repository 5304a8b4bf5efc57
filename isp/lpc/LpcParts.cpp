#include "isp/lpc/LpcParts.h"

#include <algorithm>

namespace {

// Copy counts of the C command.
constexpr uint16_t kCopyClassic[] = {256, 512, 1024, 4096, 0};
constexpr uint16_t kCopyPaged[] = {64, 128, 256, 512, 1024, 0};  // LPC8xx
constexpr uint16_t kCopy8k[] = {512, 1024, 4096, 8192, 0};       // the 8 KB-sector ARM7 parts

// Sector geometries; a part has the sectors that lie within its flash.
constexpr LpcSectorRun kGeo8k[] = {{15, 8}, {0, 0}};                      // 128 KB ARM7 parts
constexpr LpcSectorRun kGeo8k64k[] = {{8, 8}, {2, 64}, {7, 8}, {0, 0}};  // 256 KB LPC21xx/22xx
constexpr LpcSectorRun kGeo4k32k[] = {{8, 4}, {14, 32}, {6, 4}, {0, 0}}; // LPC210x, 213x/214x, 23xx/24xx
constexpr LpcSectorRun kGeo17xx[] = {{16, 4}, {14, 32}, {0, 0}};        // LPC17xx, LPC40xx
constexpr LpcSectorRun kGeo11U6x[] = {{24, 4}, {5, 32}, {0, 0}};        // LPC11U6x/11E6x
constexpr LpcSectorRun kGeoUniform4k[] = {{64, 4}, {0, 0}};
constexpr LpcSectorRun kGeoUniform1k[] = {{64, 1}, {0, 0}};

// What the boot code keeps for itself, from the manuals' "RAM used by ISP
// command handler": the ARM7 parts 0x40000120..0x400001FF, the LPC17xx and
// LPC40xx 0x10000118..0x100001FF, the LPC11xx/11Uxx/12xx/13xx 0x1000017C..
// 0x1000025B; each also takes the top 32 bytes of the RAM for the flash
// commands and up to 256 bytes of stack below them. The LPC8xx keep their
// ISP stack low (LPC82x: at 0x10000270, growing down) and take writes in
// code read protection only above 0x10000300 (LPC81x/82x/83x) or
// 0x10000600 (LPC84x); LPC802/804 keep theirs at 0x100003A8.
constexpr uint32_t kArm7Ram = 0x40000000u;
constexpr uint32_t kArm7First = 0x40000200u;
constexpr uint16_t kTopReserve = 32 + 256;
constexpr uint32_t kM3Ram = 0x10000000u;
constexpr uint32_t kM0First = 0x10000300u;
// LPC15xx: RAM at 0x02000000. No ISP area is cited here, so the window
// starts 2 KB up (the peer tables write from 0x02000200) and keeps the usual
// top reserve.
constexpr uint32_t kLpc15Ram = 0x02000000u;
constexpr uint32_t kLpc15First = 0x02000800u;

// Row makers, one per line of parts: what a line shares is said once.
constexpr LpcPartRow Arm7(uint32_t id, const char* name, uint32_t flashKB, const LpcSectorRun* geo,
                          uint32_t ramKB, uint16_t irc, const char* source) {
  // The parts with 8 KB sectors copy 512 to 8192 bytes; the others 256 to 4096.
  const bool eightK = geo == kGeo8k || geo == kGeo8k64k;
  return {id, name, flashKB, geo, LpcCore::Arm7, LpcData::Uuencoded, kArm7Ram, ramKB, kArm7First,
          kTopReserve, eightK ? kCopy8k : kCopyClassic, irc, 64, false, source, nullptr};
}
constexpr LpcPartRow Lpc17(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, uint16_t irc,
                           const char* source) {
  return {id, name, flashKB, kGeo17xx, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, ramKB,
          0x10000200u, kTopReserve, kCopyClassic, irc, 512, true, source, nullptr};
}
constexpr LpcPartRow M0(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, const char* source,
                        const LpcSectorRun* geo = kGeoUniform4k) {
  return {id, name, flashKB, geo, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, ramKB,
          kM0First, kTopReserve, kCopyClassic, 12000, 512, true, source, nullptr};
}
constexpr LpcPartRow Lpc15(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, const char* source) {
  return {id, name, flashKB, kGeoUniform4k, LpcCore::CortexM, LpcData::Binary, kLpc15Ram, ramKB,
          kLpc15First, kTopReserve, kCopyClassic, 12000, 512, true, source, nullptr};
}
constexpr LpcPartRow Lpc8(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, uint32_t first,
                          const char* source) {
  return {id, name, flashKB, kGeoUniform1k, LpcCore::CortexM, LpcData::Binary, kM3Ram, ramKB,
          first, 32, kCopyPaged, 12000, 512, true, source, nullptr};
}
// Named so that the user is told plainly; nothing is erased or written.
constexpr LpcPartRow Refused(uint32_t id, const char* name, const char* why, const char* source) {
  return {id, name, 0, nullptr, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, 0, kM3Ram, 0, nullptr, 0, 0,
          false, source, why};
}

// The sources, each group's beside its rows. Where a single-family tool's
// table says otherwise, the comment at the rows says so; NXP's word holds.
const char kUM10161[] = "UM10161 LPC2101/02/03, flash chapter: 8 x 4 KB sectors, ISP RAM 0x40000120-0x400001FF; "
                        "J answers 0x0004FF11 on all three (posts and peer tables; no other ID is documented)";
const char kUM10275[] = "UM10275 LPC2104/05/06 rev 02, flash chapter: part IDs, 15 x 8 KB sectors, C 512..8192";
const char kUM10114[] = "UM10114 LPC21xx/22xx rev 4, flash chapter: part ID table, sector table, C 512..8192";
const char kUM10120[] = "UM10120 LPC2131/32/34/36/38(/01) rev 4, flash chapter: part ID table, sector table";
const char kUM10139[] = "UM10139 LPC214x, flash chapter: part ID table, sector table";
const char kUM10211[] = "UM10211 LPC23xx rev 4.1, flash chapter: part ID table, sector table; ISP on the 4 MHz IRC";
const char kUM10211Early[] = "UM10211 LPC23xx rev 01 (July/October 2007) and rev 03 (August 2008): the IDs of the "
                             "first silicon";
const char kUM10237[] = "UM10237 LPC24xx rev 04, flash chapter: part IDs, sector table; chapter 31 table 639 "
                        "(flashless parts)";
const char kUM10360[] = "UM10360 LPC176x/5x rev 4.1, 32.7.11 table 584: part IDs; sectors 0-15 4 KB then 32 KB; "
                        "32.3.2.7 (rev 3) ISP RAM 0x10000118-0x100001FF, top 32 bytes, 256-byte stack";
const char kUM10470[] = "UM10470 LPC178x/7x rev 4.0, 37.7.11 table 747: part IDs, sectors as LPC17xx";
const char kUM10562[] = "UM10562 LPC408x/407x rev 3, 38.7.11 table 753: part IDs, sectors as LPC17xx, "
                        "ISP RAM as LPC17xx";
const char kUM10398[] = "UM10398 LPC111x/LPC11Cxx rev 12.4, 26.5.11 table 387: part IDs; 4 KB sectors; "
                        "ISP RAM 0x1000017C-0x1000025B, top 32 bytes, 256-byte stack";
const char kUM10429[] = "UM10429 LPC1102/1104 rev 6, 17.5.11 table 173: part IDs; 17.4.8 ISP RAM 0x1000017C-0x1000025B";
const char kUM10518[] = "UM10518 LPC11Exx rev 3.5, 19.12.11 table 311: part IDs, 4 KB sectors";
const char kUM10462[] = "UM10462 LPC11U3x/2x/1x rev 5.5, 20.13.11 table 377: part IDs, 4 KB sectors";
const char kUM10732[] = "UM10732 LPC11U6x/11E6x rev 1.8, 27.5.11 table 377: part IDs; sectors 0-23 4 KB, "
                        "24-28 32 KB";
const char kUM10441[] = "UM10441 LPC122x rev 2.2, 20.7.11 table 303: part IDs, 4 KB sectors";
const char kUM10375[] = "UM10375 LPC1311/13/42/43 rev 5, 21.13.11 table 329: part IDs, 4 KB sectors, UU-encoded data";
const char kUM10524[] = "UM10524 LPC1315/16/17/45/46/47 rev 4, 21.13.11 table 358: part IDs, 4 KB sectors";
const char kUM10736[] = "UM10736 LPC15xx rev 1.2, 34.7.11 table 489: part IDs, 4 KB sectors, RAM at 0x02000000";
const char kUM10601[] = "UM10601 LPC81x rev 1.6, 4.6.33 table 50: part IDs; 1 KB sectors, binary data, copy 64..1024";
const char kUM10800[] = "UM10800 LPC82x rev 1.2, 25.6.1.11 table 324: part IDs; 1 KB sectors, binary data; "
                        "table 311 CRP1 W above 0x10000300; 25.7.2.3 ISP stack at 0x10000270";
const char kUM11021[] = "UM11021 LPC83x rev 1.1, 24.6.1.11 table 317: part IDs; 1 KB sectors, binary data";
const char kUM11029[] = "UM11029 LPC84x rev 1.0, 5.5.12 table 29 and rev 1.7 8.6.49 table 173: part IDs; "
                        "1 KB sectors, binary data; table 16 CRP1 W above 0x10000600";
const char kUM11045[] = "UM11045 LPC802 rev 1.4, 4.5.12 table 21: part IDs; 1 KB sectors, binary data";
const char kUM11065[] = "UM11065 LPC804 rev 1.0, 4.5.12 table 21: part IDs; 1 KB sectors, binary data; "
                        "ISP RAM section: ISP stack at 0x100003A8";
const char kUM10430[] = "UM10430 LPC18xx rev 2.8 and UM10503 LPC43xx rev 1.4 (chapter 46): two-word part IDs, "
                        "flash in banks A and B";

// LPC18xx/43xx: J answers two words, and every sector command names a bank;
// this table's rows have one flash from address 0, so these are named and
// refused rather than half-served.
const char kTwoBanks[] = "Flash 分为 A、B 两个存储区 (0x1A000000/0x1B000000)，扇区命令须带存储区号";

const std::vector<LpcPartRow> kParts = {
    // LPC2101/02/03 answer one ID: a post shows an LPC2103 answering
    // 0x0004FF11, and the peer tables give that ID to the LPC2103 (the
    // table here had it as the LPC2101, with 0x0004FF12/0x0004FF23 for the
    // others, which no source gives). Flash as the LPC2103: the boot code of
    // a smaller part refuses the sectors it lacks. RAM as the LPC2101
    // (2 KB), so the copy buffer lies inside the RAM of all three.
    Arm7(0x0004FF11, "LPC2101/02/03", 32, kGeo4k32k, 2, 0, kUM10161),
    // 128 KB parts: 15 x 8 KB below the 8 KB boot block.
    Arm7(0xFFF0FF12, "LPC2104", 120, kGeo8k, 16, 0, kUM10275),
    Arm7(0xFFF0FF22, "LPC2105", 120, kGeo8k, 32, 0, kUM10275),
    Arm7(0xFFF0FF32, "LPC2106", 120, kGeo8k, 64, 0, kUM10275),
    // LPC21xx/22xx (and their /01 versions, which answer the same IDs).
    Arm7(0x0201FF01, "LPC2109", 64, kGeo8k, 8, 0, kUM10114),
    Arm7(0x0201FF12, "LPC2119", 120, kGeo8k, 16, 0, kUM10114),
    Arm7(0x0201FF13, "LPC2129", 248, kGeo8k64k, 16, 0, kUM10114),
    Arm7(0x0101FF12, "LPC2114", 120, kGeo8k, 16, 0, kUM10114),
    Arm7(0x0101FF13, "LPC2124", 248, kGeo8k64k, 16, 0, kUM10114),
    Arm7(0x0301FF13, "LPC2194", 248, kGeo8k64k, 16, 0, kUM10114),
    Arm7(0x0301FF12, "LPC2210/LPC2290", 0, kGeo8k, 16, 0, kUM10114),  // flashless
    Arm7(0x0401FF12, "LPC2212", 120, kGeo8k, 16, 0, kUM10114),
    Arm7(0x0601FF13, "LPC2214", 248, kGeo8k64k, 16, 0, kUM10114),
    Arm7(0x0401FF13, "LPC2292", 248, kGeo8k64k, 16, 0, kUM10114),
    Arm7(0x0501FF13, "LPC2294", 248, kGeo8k64k, 16, 0, kUM10114),
    // LPC213x(/01): 4 KB and 32 KB sectors; the 512 KB parts keep the top
    // 12 KB for the boot block.
    Arm7(0x0002FF01, "LPC2131", 32, kGeo4k32k, 8, 0, kUM10120),
    Arm7(0x0002FF11, "LPC2132", 64, kGeo4k32k, 16, 0, kUM10120),
    Arm7(0x0002FF12, "LPC2134", 128, kGeo4k32k, 16, 0, kUM10120),
    Arm7(0x0002FF23, "LPC2136", 256, kGeo4k32k, 32, 0, kUM10120),
    Arm7(0x0002FF25, "LPC2138", 500, kGeo4k32k, 32, 0, kUM10120),
    Arm7(0x0402FF01, "LPC2141", 32, kGeo4k32k, 8, 0, kUM10139),
    Arm7(0x0402FF11, "LPC2142", 64, kGeo4k32k, 16, 0, kUM10139),
    Arm7(0x0402FF12, "LPC2144", 128, kGeo4k32k, 16, 0, kUM10139),
    Arm7(0x0402FF23, "LPC2146", 256, kGeo4k32k, 32, 0, kUM10139),
    Arm7(0x0402FF25, "LPC2148", 500, kGeo4k32k, 32, 0, kUM10139),
    // LPC23xx: local SRAM at 0x40000000; 504 KB below the boot block on the
    // 512 KB parts. The LPC2361 has 64 KB of flash (one peer table gives it
    // 128 KB).
    Arm7(0x1600F701, "LPC2361", 64, kGeo4k32k, 8, 4000, kUM10211),
    Arm7(0x1600FF22, "LPC2362", 128, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1600F902, "LPC2364", 128, kGeo4k32k, 8, 4000, kUM10211),
    Arm7(0x1600E823, "LPC2365", 256, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1600F923, "LPC2366", 256, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1600E825, "LPC2367", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1600F925, "LPC2368", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1700E825, "LPC2377", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1700FD25, "LPC2378", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1800F935, "LPC2387", 504, kGeo4k32k, 64, 4000, kUM10211),
    Arm7(0x1800FF35, "LPC2388", 504, kGeo4k32k, 64, 4000, kUM10211),
    // The first LPC23xx silicon answered these.
    Arm7(0x0603FB02, "LPC2364", 128, kGeo4k32k, 8, 4000, kUM10211Early),
    Arm7(0x0603FB23, "LPC2366", 256, kGeo4k32k, 32, 4000, kUM10211Early),
    Arm7(0x0603FB25, "LPC2368", 504, kGeo4k32k, 32, 4000, kUM10211Early),
    Arm7(0x0703FF25, "LPC2378", 504, kGeo4k32k, 32, 4000, kUM10211Early),
    Arm7(0x1600FD25, "LPC2378", 504, kGeo4k32k, 32, 4000, kUM10211Early),
    Arm7(0x1700FF35, "LPC2387", 504, kGeo4k32k, 64, 4000, kUM10211Early),
    // LPC24xx with flash, then the flashless ones (named, never written).
    Arm7(0x1500FF35, "LPC2458", 504, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1600FF35, "LPC2468", 504, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1701FF35, "LPC2478", 504, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1200E731, "LPC2420", 0, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1600FF30, "LPC2460", 0, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1701FF30, "LPC2470", 0, kGeo4k32k, 64, 4000, kUM10237),

    // LPC176x/5x: the ISP runs on the 4 MHz IRC. RAM: the main SRAM at
    // 0x10000000 only (the AHB SRAM lies elsewhere).
    Lpc17(0x26113F37, "LPC1769", 512, 32, 4000, kUM10360),
    Lpc17(0x26013F37, "LPC1768", 512, 32, 4000, kUM10360),
    Lpc17(0x26012837, "LPC1767", 512, 32, 4000, kUM10360),
    Lpc17(0x26013F33, "LPC1766", 256, 32, 4000, kUM10360),
    Lpc17(0x26013733, "LPC1765", 256, 32, 4000, kUM10360),
    Lpc17(0x26011922, "LPC1764", 128, 16, 4000, kUM10360),
    Lpc17(0x26012033, "LPC1763", 256, 32, 4000, kUM10360),
    Lpc17(0x25113737, "LPC1759", 512, 32, 4000, kUM10360),
    Lpc17(0x25013F37, "LPC1758", 512, 32, 4000, kUM10360),
    Lpc17(0x25011723, "LPC1756", 256, 16, 4000, kUM10360),
    Lpc17(0x25011722, "LPC1754", 128, 16, 4000, kUM10360),
    Lpc17(0x25001121, "LPC1752", 64, 16, 4000, kUM10360),
    Lpc17(0x25001118, "LPC1751", 32, 8, 4000, kUM10360),
    Lpc17(0x25001110, "LPC1751", 32, 8, 4000, kUM10360),  // the manual's second LPC1751 ID
    // LPC178x/7x: the 12 MHz IRC.
    Lpc17(0x281D3F47, "LPC1788", 512, 64, 12000, kUM10470),
    Lpc17(0x281D3747, "LPC1787", 512, 64, 12000, kUM10470),
    Lpc17(0x281D1F43, "LPC1786", 256, 64, 12000, kUM10470),
    Lpc17(0x281D1743, "LPC1785", 256, 64, 12000, kUM10470),
    Lpc17(0x27193F47, "LPC1778", 512, 64, 12000, kUM10470),
    Lpc17(0x27193747, "LPC1777", 512, 64, 12000, kUM10470),
    Lpc17(0x27191F43, "LPC1776", 256, 64, 12000, kUM10470),
    Lpc17(0x27011132, "LPC1774", 128, 32, 12000, kUM10470),
    // LPC408x/407x: the LPC177x/8x memory map, the 12 MHz IRC. The LPC4072
    // (64 KB flash, 16 KB main SRAM) is not in table 753; its ID is the one
    // its IAP answers.
    Lpc17(0x481D3F47, "LPC4088", 512, 64, 12000, kUM10562),
    Lpc17(0x47193F47, "LPC4078", 512, 64, 12000, kUM10562),
    Lpc17(0x47191F43, "LPC4076", 256, 64, 12000, kUM10562),
    Lpc17(0x47011132, "LPC4074", 128, 32, 12000, kUM10562),
    Lpc17(0x47011121, "LPC4072", 64, 16, 12000, kUM10562),

    // LPC1102/1104 (WLCSP).
    M0(0x2500102B, "LPC1102", 32, 8, kUM10429),
    M0(0x2548102B, "LPC1104", 32, 8, kUM10429),
    // LPC111x and LPC11Cxx. The XL parts (/103../333) were listed here with
    // the /203 and /303 IDs swapped and the /323 and /333 one place off; the
    // manual has 0x00030032 and 0x00040042 for the /203 parts with 4 KB of
    // RAM, so the copy buffer of an 8 KB part ran past their RAM.
    M0(0x0A16D02B, "LPC1111/002", 8, 2, kUM10398),
    M0(0x1A16D02B, "LPC1111/002", 8, 2, kUM10398),
    M0(0x041E502B, "LPC1111/101", 8, 2, kUM10398),
    M0(0x2516D02B, "LPC1111/102", 8, 2, kUM10398),
    M0(0x00010013, "LPC1111/103", 8, 2, kUM10398),
    M0(0x0416502B, "LPC1111/201", 8, 4, kUM10398),
    M0(0x2516902B, "LPC1111/202", 8, 4, kUM10398),
    M0(0x00010012, "LPC1111/203", 8, 4, kUM10398),
    M0(0x042D502B, "LPC1112/101", 16, 2, kUM10398),
    M0(0x2524D02B, "LPC1112/102", 16, 2, kUM10398),
    M0(0x0A24902B, "LPC1112/102", 16, 4, kUM10398),
    M0(0x1A24902B, "LPC1112/102", 16, 4, kUM10398),
    M0(0x0A23902B, "LPC1112/102", 16, 4, kUM10398),
    M0(0x1A23902B, "LPC1112/102", 16, 4, kUM10398),
    M0(0x00020023, "LPC1112/103", 16, 2, kUM10398),
    M0(0x0425502B, "LPC1112/201", 16, 4, kUM10398),
    M0(0x2524902B, "LPC1112/202", 16, 4, kUM10398),
    M0(0x00020022, "LPC1112/203", 16, 4, kUM10398),
    M0(0x0434502B, "LPC1113/201", 24, 4, kUM10398),
    M0(0x2532902B, "LPC1113/202", 24, 4, kUM10398),
    M0(0x00030032, "LPC1113/203", 24, 4, kUM10398),
    M0(0x0434102B, "LPC1113/301", 24, 8, kUM10398),
    M0(0x2532102B, "LPC1113/302", 24, 8, kUM10398),
    M0(0x00030030, "LPC1113/303", 24, 8, kUM10398),
    M0(0x0A40902B, "LPC1114/102", 32, 4, kUM10398),
    M0(0x1A40902B, "LPC1114/102", 32, 4, kUM10398),
    M0(0x0444502B, "LPC1114/201", 32, 4, kUM10398),
    M0(0x2540902B, "LPC1114/202", 32, 4, kUM10398),
    M0(0x00040042, "LPC1114/203", 32, 4, kUM10398),
    M0(0x0444102B, "LPC1114/301", 32, 8, kUM10398),
    M0(0x2540102B, "LPC1114/302", 32, 8, kUM10398),  // LPC11D14/302 too
    M0(0x00040040, "LPC1114/303", 32, 8, kUM10398),
    M0(0x00040060, "LPC1114/323", 48, 8, kUM10398),
    M0(0x00040070, "LPC1114/333", 56, 8, kUM10398),
    M0(0x00050080, "LPC1115/303", 64, 8, kUM10398),
    M0(0x1421102B, "LPC11C12", 16, 8, kUM10398),
    M0(0x1440102B, "LPC11C14", 32, 8, kUM10398),
    M0(0x1431102B, "LPC11C22", 16, 8, kUM10398),
    M0(0x1430102B, "LPC11C24", 32, 8, kUM10398),
    // LPC1110: 1 KB of RAM. The ISP keeps up to 0x1000025B and the top 288
    // bytes, leaving 132 bytes; C copies at least 256.
    {0x0A07102B, "LPC1110", 4, kGeoUniform4k, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, 1, kM0First,
     kTopReserve, kCopyClassic, 12000, 512, true, kUM10398,
     "片内RAM只有1 KB，除去ISP自用的部分放不下最小的复制块 (256 字节)"},
    {0x1A07102B, "LPC1110", 4, kGeoUniform4k, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, 1, kM0First,
     kTopReserve, kCopyClassic, 12000, 512, true, kUM10398,
     "片内RAM只有1 KB，除去ISP自用的部分放不下最小的复制块 (256 字节)"},
    // LPC11Exx: SRAM0 at 0x10000000 (SRAM1 elsewhere is not used).
    M0(0x293E902B, "LPC11E11/101", 8, 4, kUM10518),
    M0(0x2954502B, "LPC11E12/201", 16, 4, kUM10518),
    M0(0x296A102B, "LPC11E13/301", 24, 8, kUM10518),
    M0(0x2980102B, "LPC11E14/401", 32, 8, kUM10518),
    M0(0x0000BC41, "LPC11E35/501", 64, 8, kUM10518),
    M0(0x00009C41, "LPC11E36/501", 96, 8, kUM10518),
    M0(0x00007C45, "LPC11E37/401", 128, 8, kUM10518),
    M0(0x00007C41, "LPC11E37/501", 128, 8, kUM10518),
    // LPC11U1x/2x/3x: the RAM at 0x10000000 (USB RAM elsewhere is not used).
    M0(0x095C802B, "LPC11U12", 16, 4, kUM10462),
    M0(0x295C802B, "LPC11U12", 16, 4, kUM10462),
    M0(0x097A802B, "LPC11U13", 24, 4, kUM10462),
    M0(0x297A802B, "LPC11U13", 24, 4, kUM10462),
    M0(0x0998802B, "LPC11U14", 32, 4, kUM10462),
    M0(0x2998802B, "LPC11U14", 32, 4, kUM10462),
    M0(0x2954402B, "LPC11U22", 16, 4, kUM10462),
    M0(0x2972402B, "LPC11U23", 24, 4, kUM10462),
    M0(0x2988402B, "LPC11U24/301", 32, 4, kUM10462),
    M0(0x2980002B, "LPC11U24/401", 32, 4, kUM10462),
    M0(0x0003D440, "LPC11U34/311", 40, 8, kUM10462),
    M0(0x0001CC40, "LPC11U34/421", 48, 8, kUM10462),
    M0(0x0001BC40, "LPC11U35/401", 64, 8, kUM10462),
    M0(0x0000BC40, "LPC11U35/501", 64, 8, kUM10462),
    M0(0x00019C40, "LPC11U36", 96, 8, kUM10462),
    M0(0x00017C40, "LPC11U37", 128, 8, kUM10462),
    M0(0x00007C44, "LPC11U37H", 128, 8, kUM10462),
    M0(0x00007C40, "LPC11U37/501", 128, 8, kUM10462),
    // LPC11U6x/11E6x: SRAM0 at 0x10000000; 32 KB sectors above 96 KB.
    M0(0x0000DCC1, "LPC11E66", 64, 8, kUM10732, kGeo11U6x),
    M0(0x0000BC81, "LPC11E67", 128, 16, kUM10732, kGeo11U6x),
    M0(0x00007C01, "LPC11E68", 256, 32, kUM10732, kGeo11U6x),
    M0(0x0000DCC8, "LPC11U66", 64, 8, kUM10732, kGeo11U6x),
    M0(0x0000BC88, "LPC11U67", 128, 16, kUM10732, kGeo11U6x),
    M0(0x0000BC80, "LPC11U67", 128, 16, kUM10732, kGeo11U6x),
    M0(0x00007C08, "LPC11U68", 256, 32, kUM10732, kGeo11U6x),
    M0(0x00007C00, "LPC11U68", 256, 32, kUM10732, kGeo11U6x),
    // LPC122x.
    M0(0x3640C02B, "LPC1224/101", 32, 4, kUM10441),
    M0(0x3642C02B, "LPC1224/121", 48, 4, kUM10441),
    M0(0x3650002B, "LPC1225/301", 64, 8, kUM10441),
    M0(0x3652002B, "LPC1225/321", 80, 8, kUM10441),
    M0(0x3660002B, "LPC1226", 96, 8, kUM10441),
    M0(0x3670002B, "LPC1227", 128, 8, kUM10441),
    // LPC13xx.
    M0(0x2C42502B, "LPC1311", 8, 4, kUM10375),
    M0(0x1816902B, "LPC1311/01", 8, 4, kUM10375),
    M0(0x2C40102B, "LPC1313", 32, 8, kUM10375),
    M0(0x1830102B, "LPC1313/01", 32, 8, kUM10375),
    M0(0x3D01402B, "LPC1342", 16, 4, kUM10375),
    M0(0x3D00002B, "LPC1343", 32, 8, kUM10375),
    M0(0x3000002B, "LPC1343", 32, 8, kUM10375),
    M0(0x3A010523, "LPC1315", 32, 8, kUM10524),
    M0(0x1A018524, "LPC1316", 48, 8, kUM10524),
    M0(0x1A020525, "LPC1317", 64, 8, kUM10524),
    M0(0x28010541, "LPC1345", 32, 8, kUM10524),
    M0(0x08018542, "LPC1346", 48, 8, kUM10524),
    M0(0x08020543, "LPC1347", 64, 8, kUM10524),
    // LPC15xx: raw binary data, as the LPC8xx (both peer tools send it so);
    // SRAM0 from 0x02000000. The 12 KB parts count their first 8 KB only,
    // the SRAM after it need not follow on.
    Lpc15(0x00001517, "LPC1517", 64, 8, kUM10736),
    Lpc15(0x00001518, "LPC1518", 128, 16, kUM10736),
    Lpc15(0x00001519, "LPC1519", 256, 16, kUM10736),
    Lpc15(0x00001547, "LPC1547", 64, 8, kUM10736),
    Lpc15(0x00001548, "LPC1548", 128, 16, kUM10736),
    Lpc15(0x00001549, "LPC1549", 256, 16, kUM10736),

    // LPC8xx: raw binary data, 1 KB sectors.
    Lpc8(0x00008021, "LPC802", 16, 2, 0x10000400u, kUM11045),
    Lpc8(0x00008022, "LPC802", 16, 2, 0x10000400u, kUM11045),
    Lpc8(0x00008023, "LPC802", 16, 2, 0x10000400u, kUM11045),
    Lpc8(0x00008024, "LPC802", 16, 2, 0x10000400u, kUM11045),
    Lpc8(0x00008040, "LPC804", 32, 4, 0x10000400u, kUM11065),
    Lpc8(0x00008041, "LPC804", 32, 4, 0x10000400u, kUM11065),
    Lpc8(0x00008042, "LPC804", 32, 4, 0x10000400u, kUM11065),
    Lpc8(0x00008043, "LPC804", 32, 4, 0x10000400u, kUM11065),
    Lpc8(0x00008044, "LPC804", 32, 4, 0x10000400u, kUM11065),
    Lpc8(0x00008100, "LPC810", 4, 1, 0x10000300u, kUM10601),
    Lpc8(0x00008110, "LPC811", 8, 2, 0x10000300u, kUM10601),
    Lpc8(0x00008120, "LPC812", 16, 4, 0x10000300u, kUM10601),
    Lpc8(0x00008121, "LPC812", 16, 4, 0x10000300u, kUM10601),
    Lpc8(0x00008122, "LPC812", 16, 4, 0x10000300u, kUM10601),
    Lpc8(0x00008221, "LPC822", 16, 4, 0x10000300u, kUM10800),
    Lpc8(0x00008222, "LPC822", 16, 4, 0x10000300u, kUM10800),
    Lpc8(0x00008241, "LPC824", 32, 8, 0x10000300u, kUM10800),
    Lpc8(0x00008242, "LPC824", 32, 8, 0x10000300u, kUM10800),
    Lpc8(0x00008322, "LPC832", 16, 4, 0x10000300u, kUM11021),
    Lpc8(0x00008341, "LPC834", 32, 4, 0x10000300u, kUM11021),
    // Table 29 gives the LPC844 JHI48 0x00008442, table 173 0x00008443;
    // both are the LPC844.
    Lpc8(0x00008441, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008442, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008443, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008444, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008451, "LPC845", 64, 16, 0x10000600u, kUM11029),
    Lpc8(0x00008452, "LPC845", 64, 16, 0x10000600u, kUM11029),
    Lpc8(0x00008453, "LPC845", 64, 16, 0x10000600u, kUM11029),
    Lpc8(0x00008454, "LPC845", 64, 16, 0x10000600u, kUM11029),

    // LPC18xx/43xx with flash, by the first word of their ID.
    Refused(0xF001D830, "LPC1857/1853", kTwoBanks, kUM10430),
    Refused(0xF001D860, "LPC18S57", kTwoBanks, kUM10430),
    Refused(0xF001DA30, "LPC1837/1833", kTwoBanks, kUM10430),
    Refused(0xF001DA60, "LPC18S37", kTwoBanks, kUM10430),
    Refused(0xF001DB3C, "LPC1827/1825/1823", kTwoBanks, kUM10430),
    Refused(0xF00BDB3C, "LPC1823/1822", kTwoBanks, kUM10430),
    Refused(0xF001DB3F, "LPC1817/1815", kTwoBanks, kUM10430),
    Refused(0xF00BDB3F, "LPC1813/1812", kTwoBanks, kUM10430),
    Refused(0xA001C830, "LPC4357/4353", kTwoBanks, kUM10430),
    Refused(0xA001CA30, "LPC4337/4333", kTwoBanks, kUM10430),
    Refused(0xA001CB3C, "LPC4327/4325", kTwoBanks, kUM10430),
    Refused(0xA00BCB3C, "LPC4323/4322", kTwoBanks, kUM10430),
    Refused(0xA001CB3F, "LPC4317/4315", kTwoBanks, kUM10430),
    Refused(0xA00BCB3F, "LPC4313/4312", kTwoBanks, kUM10430),
};

}  // namespace

const std::vector<LpcPartRow>& LpcParts() { return kParts; }

const LpcPartRow* FindLpcPart(uint32_t id) {
  for (const LpcPartRow& row : kParts)
    if (row.id == id) return &row;
  return nullptr;
}

std::optional<uint32_t> ParseLpcPartId(const QString& text) {
  // The two-word answer of the LPC18xx/43xx comes as two lines.
  qsizetype lineEnd = 0;
  while (lineEnd < text.size() && text[lineEnd] != QLatin1Char('\r') && text[lineEnd] != QLatin1Char('\n'))
    ++lineEnd;
  const QString t = text.left(lineEnd).trimmed();
  if (t.isEmpty() || t.size() > 10) return std::nullopt;
  for (const QChar c : t)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
  bool ok = false;
  const qulonglong v = t.toULongLong(&ok, 10);
  if (!ok || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

QString LpcRefusal(const LpcPartRow& row) {
  const QString name = QString::fromLatin1(row.name);
  if (row.refusal)
    return QStringLiteral("%1 不受支持：%2，未擦除任何内容").arg(name, QString::fromUtf8(row.refusal));
  if (row.flashKB == 0) return QStringLiteral("%1 没有片内Flash，无法编程").arg(name);
  return {};
}

QString LpcPartIdText(uint32_t id) {
  return QStringLiteral("0x") + QString::number(id, 16).toUpper().rightJustified(8, QLatin1Char('0')) +
         QStringLiteral(" (") + QString::number(id) + QStringLiteral(")");
}

std::vector<LpcSector> LpcSectors(const LpcPartRow& row) {
  std::vector<LpcSector> out;
  const uint32_t end = row.flashKB * 1024u;
  uint32_t at = 0;
  for (const LpcSectorRun* run = row.geometry; run && run->count > 0; ++run) {
    for (uint16_t i = 0; i < run->count; ++i) {
      const uint32_t size = run->sizeKB * 1024u;
      if (at + size > end) return out;
      out.push_back({at, size});
      at += size;
    }
  }
  return out;
}

int LpcSectorOf(const LpcPartRow& row, uint32_t address) {
  const std::vector<LpcSector> sectors = LpcSectors(row);
  for (size_t i = 0; i < sectors.size(); ++i)
    if (address >= sectors[i].start && address - sectors[i].start < sectors[i].size) return static_cast<int>(i);
  return -1;
}

uint32_t LpcVectorChecksumSlot(const LpcPartRow& row) { return row.core == LpcCore::Arm7 ? 0x14 : 0x1C; }

uint32_t LpcLargestCopy(const LpcPartRow& row) {
  const uint64_t top = uint64_t{row.ramBase} + uint64_t{row.ramKB} * 1024u - row.ramTopReserve;
  const uint64_t room = top > row.ramFirst ? top - row.ramFirst : 0;
  uint32_t best = 0;
  for (const uint16_t* s = row.copySizes; s && *s; ++s)
    if (*s <= room) best = *s;
  return best;
}

QString LpcReturnCodeName(int code) {
  static const char* const kNames[] = {
      "CMD_SUCCESS",         "INVALID_COMMAND",  "SRC_ADDR_ERROR",
      "DST_ADDR_ERROR",      "SRC_ADDR_NOT_MAPPED", "DST_ADDR_NOT_MAPPED",
      "COUNT_ERROR",         "INVALID_SECTOR",   "SECTOR_NOT_BLANK",
      "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION", "COMPARE_ERROR", "BUSY",
      "PARAM_ERROR",         "ADDR_ERROR",       "ADDR_NOT_MAPPED",
      "CMD_LOCKED",          "INVALID_CODE",     "INVALID_BAUD_RATE",
      "INVALID_STOP_BIT",    "CODE_READ_PROTECTION_ENABLED"};
  if (code >= 0 && code < static_cast<int>(std::size(kNames))) return QString::fromLatin1(kNames[code]);
  return QStringLiteral("RETURN_CODE_%1").arg(code);
}
