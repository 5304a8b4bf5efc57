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
constexpr LpcSectorRun kGeo17xx[] = {{16, 4}, {14, 32}, {0, 0}};
constexpr LpcSectorRun kGeoUniform4k[] = {{32, 4}, {0, 0}};
constexpr LpcSectorRun kGeoUniform1k[] = {{64, 1}, {0, 0}};

// The ARM7 boot code keeps 0x40000120..0x400001FF, the top 32 bytes for the
// flash commands and a stack of up to 256 bytes below them.
constexpr uint32_t kArm7Ram = 0x40000000u;
constexpr uint32_t kArm7First = 0x40000200u;
constexpr uint16_t kTopReserve = 32 + 256;
constexpr uint32_t kM3Ram = 0x10000000u;

// Row makers, one per line of parts: what a line shares is said once.
constexpr LpcPartRow Arm7(uint32_t id, const char* name, uint32_t flashKB, const LpcSectorRun* geo,
                          uint32_t ramKB, uint16_t irc, const char* source) {
  // The parts with 8 KB sectors copy 512 to 8192 bytes; the others 256 to 4096.
  const bool eightK = geo == kGeo8k || geo == kGeo8k64k;
  return {id, name, flashKB, geo, LpcCore::Arm7, LpcData::Uuencoded, kArm7Ram, ramKB, kArm7First,
          kTopReserve, eightK ? kCopy8k : kCopyClassic, irc, 64, false, source};
}
constexpr LpcPartRow Lpc17(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, uint16_t irc,
                           const char* source) {
  return {id, name, flashKB, kGeo17xx, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, ramKB,
          0x10000200u, kTopReserve, kCopyClassic, irc, 512, true, source};
}
constexpr LpcPartRow M0(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, const char* source) {
  return {id, name, flashKB, kGeoUniform4k, LpcCore::CortexM, LpcData::Uuencoded, kM3Ram, ramKB,
          0x10000300u, kTopReserve, kCopyClassic, 12000, 512, true, source};
}
constexpr LpcPartRow Lpc8(uint32_t id, const char* name, uint32_t flashKB, uint32_t ramKB, uint32_t first,
                          const char* source) {
  return {id, name, flashKB, kGeoUniform1k, LpcCore::CortexM, LpcData::Binary, kM3Ram, ramKB,
          first, 32, kCopyPaged, 12000, 512, true, source};
}

const char kUM10161[] = "UM10161 LPC2101/02/03, flash chapter: part IDs, sectors";
const char kUM10275[] = "UM10275 LPC2104/05/06, flash chapter: part IDs, 15 x 8 KB sectors, C 512..8192";
const char kUM10114[] = "UM10114 LPC21xx/22xx, flash chapter: part IDs, sector table, C 512..8192";
const char kUM10120[] = "UM10120 LPC2131/32/34/36/38(/01), flash chapter: part IDs, sector table";
const char kUM10139[] = "UM10139 LPC214x, flash chapter: part IDs, sector table";
const char kUM10211[] = "UM10211 LPC23xx, flash chapter: part IDs, sectors; ISP runs on the 4 MHz IRC";
const char kUM10237[] = "UM10237 LPC24xx, flash chapter 30: table 617 part IDs, sectors";
const char kUM10360[] = "UM10360 LPC176x/5x, chapter 32: part IDs, sectors 0-15 4 KB then 32 KB; "
                        "32.3.2.7 ISP RAM 0x10000118-0x100001FF, top 32 bytes, 256-byte stack";
const char kUM10470[] = "UM10470 LPC178x/7x, flash chapter: part IDs, sectors as LPC17xx";
const char kUM10398[] = "UM10398 LPC111x/LPC11Cxx, chapter 26: part IDs, 4 KB sectors; "
                        "ISP RAM 0x1000017C-0x1000025B";
const char kUM10462[] = "UM10462 LPC11U3x/2x/1x, chapter 20: part IDs, 4 KB sectors; W example at 0x10000300";
const char kUM10441[] = "UM10441 LPC122x, flash chapter: part IDs, 4 KB sectors";
const char kUM10375[] = "UM10375 LPC13xx, chapter 21: part IDs, 4 KB sectors, UU-encoded data (21.8.3)";
const char kUM10524[] = "UM10524 LPC1315/16/17/45/46/47, flash chapter: part IDs, 4 KB sectors";
const char kUM10601[] = "UM10601 LPC81x, ISP chapter: part IDs, 1 KB sectors, binary data, copy 64..1024";
const char kUM10800[] = "UM10800 LPC82x, chapter 25: table 324 part IDs, 1 KB sectors, binary data; "
                        "table 311 CRP1 W above 0x10000300";
const char kUM11021[] = "UM11021 LPC83x, ISP chapter: part IDs, 1 KB sectors, binary data";
const char kUM11029[] = "UM11029 LPC84x, chapter 5: table 29 part IDs, 1 KB sectors, binary data; "
                        "table 16 CRP1 W above 0x10000600";

const std::vector<LpcPartRow> kParts = {
    // LPC2101/02/03: the whole flash is the user's; the boot block lies apart.
    Arm7(0x0004FF11, "LPC2101", 8, kGeo4k32k, 2, 0, kUM10161),
    Arm7(0x0004FF12, "LPC2102", 16, kGeo4k32k, 4, 0, kUM10161),
    Arm7(0x0004FF23, "LPC2103", 32, kGeo4k32k, 8, 0, kUM10161),
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
    // LPC213x(/01): 4 KB and 32 KB sectors.
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
    // LPC23xx: 504 KB below the boot block on the 512 KB parts.
    Arm7(0x1600F902, "LPC2364", 128, kGeo4k32k, 8, 4000, kUM10211),
    Arm7(0x1600E823, "LPC2365", 256, kGeo4k32k, 8, 4000, kUM10211),
    Arm7(0x1600F923, "LPC2366", 256, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1600E825, "LPC2367", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1600F925, "LPC2368", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1700E825, "LPC2377", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1700FD25, "LPC2378", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x1800F935, "LPC2387", 504, kGeo4k32k, 64, 4000, kUM10211),
    Arm7(0x1800FF35, "LPC2388", 504, kGeo4k32k, 64, 4000, kUM10211),
    // The first LPC23xx silicon answered these (earlier UM10211 revisions).
    Arm7(0x0603FB02, "LPC2364", 128, kGeo4k32k, 8, 4000, kUM10211),
    Arm7(0x0603FB23, "LPC2366", 256, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x0603FB25, "LPC2368", 504, kGeo4k32k, 32, 4000, kUM10211),
    Arm7(0x0703FF25, "LPC2378", 504, kGeo4k32k, 32, 4000, kUM10211),
    // LPC24xx with flash.
    Arm7(0x1500FF35, "LPC2458", 504, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1600FF35, "LPC2468", 504, kGeo4k32k, 64, 4000, kUM10237),
    Arm7(0x1701FF35, "LPC2478", 504, kGeo4k32k, 64, 4000, kUM10237),

    // LPC176x/5x: the ISP runs on the 4 MHz IRC.
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
    Lpc17(0x25001110, "LPC1751", 32, 8, 4000, kUM10360),
    // LPC178x/7x: the 12 MHz IRC.
    Lpc17(0x281D3F47, "LPC1788", 512, 64, 12000, kUM10470),
    Lpc17(0x281D3747, "LPC1787", 512, 64, 12000, kUM10470),
    Lpc17(0x281D1F43, "LPC1786", 256, 64, 12000, kUM10470),
    Lpc17(0x281D1743, "LPC1785", 256, 64, 12000, kUM10470),
    Lpc17(0x27193F47, "LPC1778", 512, 64, 12000, kUM10470),
    Lpc17(0x27193747, "LPC1777", 512, 64, 12000, kUM10470),
    Lpc17(0x27191F43, "LPC1776", 256, 64, 12000, kUM10470),
    Lpc17(0x27011132, "LPC1774", 128, 32, 12000, kUM10470),

    // LPC111x and LPC11Cxx.
    M0(0x0A16D02B, "LPC1111/002", 8, 2, kUM10398),
    M0(0x1A16D02B, "LPC1111/002", 8, 2, kUM10398),
    M0(0x041E502B, "LPC1111/101", 8, 2, kUM10398),
    M0(0x2516D02B, "LPC1111/102", 8, 2, kUM10398),
    M0(0x0416502B, "LPC1111/201", 8, 4, kUM10398),
    M0(0x2516902B, "LPC1111/202", 8, 4, kUM10398),
    M0(0x00010013, "LPC1111/103", 8, 2, kUM10398),
    M0(0x00010012, "LPC1111/203", 8, 4, kUM10398),
    M0(0x0A24902B, "LPC1112/102", 16, 4, kUM10398),
    M0(0x1A24902B, "LPC1112/102", 16, 4, kUM10398),
    M0(0x042D502B, "LPC1112/101", 16, 2, kUM10398),
    M0(0x2524D02B, "LPC1112/102", 16, 2, kUM10398),
    M0(0x0425502B, "LPC1112/201", 16, 4, kUM10398),
    M0(0x2524902B, "LPC1112/202", 16, 4, kUM10398),
    M0(0x00020023, "LPC1112/103", 16, 2, kUM10398),
    M0(0x00020022, "LPC1112/203", 16, 4, kUM10398),
    M0(0x0434502B, "LPC1113/201", 24, 4, kUM10398),
    M0(0x2532902B, "LPC1113/202", 24, 4, kUM10398),
    M0(0x0434102B, "LPC1113/301", 24, 8, kUM10398),
    M0(0x2532102B, "LPC1113/302", 24, 8, kUM10398),
    M0(0x00030030, "LPC1113/203", 24, 4, kUM10398),
    M0(0x00030032, "LPC1113/303", 24, 8, kUM10398),
    M0(0x00030034, "LPC1113/303", 24, 8, kUM10398),
    M0(0x0A40902B, "LPC1114/102", 32, 4, kUM10398),
    M0(0x1A40902B, "LPC1114/102", 32, 4, kUM10398),
    M0(0x0444502B, "LPC1114/201", 32, 4, kUM10398),
    M0(0x2540902B, "LPC1114/202", 32, 4, kUM10398),
    M0(0x0444102B, "LPC1114/301", 32, 8, kUM10398),
    M0(0x2540102B, "LPC1114/302", 32, 8, kUM10398),
    M0(0x00040040, "LPC1114/203", 32, 4, kUM10398),
    M0(0x00040042, "LPC1114/303", 32, 8, kUM10398),
    M0(0x00040060, "LPC1114/303", 32, 8, kUM10398),
    M0(0x00040061, "LPC1114/323", 48, 8, kUM10398),
    M0(0x00040070, "LPC1114/333", 56, 8, kUM10398),
    M0(0x00050080, "LPC1115/303", 64, 8, kUM10398),
    M0(0x1421102B, "LPC11C12", 16, 8, kUM10398),
    M0(0x1440102B, "LPC11C14", 32, 8, kUM10398),
    M0(0x1431102B, "LPC11C22", 16, 8, kUM10398),
    M0(0x1430102B, "LPC11C24", 32, 8, kUM10398),
    // LPC11U1x/2x/3x: the RAM at 0x10000000 (USB RAM elsewhere is not used).
    M0(0x095C802B, "LPC11U12", 16, 4, kUM10462),
    M0(0x295C802B, "LPC11U12", 16, 4, kUM10462),
    M0(0x097A802B, "LPC11U13", 24, 4, kUM10462),
    M0(0x297A802B, "LPC11U13", 24, 4, kUM10462),
    M0(0x0998802B, "LPC11U14", 32, 4, kUM10462),
    M0(0x2998802B, "LPC11U14", 32, 4, kUM10462),
    M0(0x2954402B, "LPC11U22", 16, 4, kUM10462),
    M0(0x2972402B, "LPC11U23", 24, 4, kUM10462),
    M0(0x2988402B, "LPC11U24", 32, 4, kUM10462),
    M0(0x2980002B, "LPC11U24", 32, 4, kUM10462),
    M0(0x0003D440, "LPC11U34/311", 40, 8, kUM10462),
    M0(0x0001CC40, "LPC11U34/421", 48, 8, kUM10462),
    M0(0x0001BC40, "LPC11U35", 64, 8, kUM10462),
    M0(0x0000BC40, "LPC11U35", 64, 8, kUM10462),
    M0(0x00019C40, "LPC11U36", 96, 8, kUM10462),
    M0(0x00017C40, "LPC11U37", 128, 8, kUM10462),
    M0(0x00007C44, "LPC11U37H", 128, 8, kUM10462),
    M0(0x00007C40, "LPC11U37H", 128, 8, kUM10462),
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
    M0(0x3A010523, "LPC1315", 32, 8, kUM10524),
    M0(0x1A018524, "LPC1316", 48, 8, kUM10524),
    M0(0x1A020525, "LPC1317", 64, 8, kUM10524),
    M0(0x28010541, "LPC1345", 32, 8, kUM10524),
    M0(0x08018542, "LPC1346", 48, 8, kUM10524),
    M0(0x08020543, "LPC1347", 64, 8, kUM10524),

    // LPC8xx: raw binary data, 1 KB sectors.
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
    Lpc8(0x00008441, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008442, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008444, "LPC844", 64, 8, 0x10000600u, kUM11029),
    Lpc8(0x00008451, "LPC845", 64, 16, 0x10000600u, kUM11029),
    Lpc8(0x00008452, "LPC845", 64, 16, 0x10000600u, kUM11029),
    Lpc8(0x00008453, "LPC845", 64, 16, 0x10000600u, kUM11029),
    Lpc8(0x00008454, "LPC845", 64, 16, 0x10000600u, kUM11029),
};

}  // namespace

const std::vector<LpcPartRow>& LpcParts() { return kParts; }

const LpcPartRow* FindLpcPart(uint32_t id) {
  for (const LpcPartRow& row : kParts)
    if (row.id == id) return &row;
  return nullptr;
}

std::optional<uint32_t> ParseLpcPartId(const QString& text) {
  const QString t = text.trimmed();
  if (t.isEmpty() || t.size() > 10) return std::nullopt;
  for (const QChar c : t)
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
  bool ok = false;
  const qulonglong v = t.toULongLong(&ok, 10);
  if (!ok || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
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
