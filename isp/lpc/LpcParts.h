// The parts that speak NXP's ISP text protocol, one row each, as the user
// manuals describe them. The engine never branches on a part's name: the
// row tells it where the flash sectors lie, which RAM the W command may fill
// (the boot code keeps some for itself), which vector word carries the
// valid-code checksum, whether data goes uuencoded or as raw bytes, the copy
// sizes the C command takes and whether the crystal matters.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// `count` sectors of `sizeKB` each; a geometry ends with a run of count 0.
struct LpcSectorRun {
  uint16_t count;
  uint16_t sizeKB;
};

// Where the boot code looks for its valid-code checksum. On the ARM7 parts
// it is the reserved exception vector at 0x14 (vector 5: the eight vectors
// add up to zero); on the Cortex-M parts it is table entry 7 at 0x1C (the
// first eight words add up to zero). 0x14 on a Cortex-M part is its bus-fault
// handler and 0x1C on an ARM7 part its FIQ vector: either mix-up leaves a
// part that never starts the program.
enum class LpcCore : uint8_t {
  Arm7,
  CortexM,
};

enum class LpcData : uint8_t {
  Uuencoded,  // W and R carry uuencoded lines, a checksum line after every 20
  Binary,     // W and R carry the bytes themselves
};

struct LpcPartRow {
  uint32_t id;                  // what J answers, as a number
  const char* name;
  uint32_t flashKB;             // what the user may program (below any boot block); 0: no flash
  const LpcSectorRun* geometry; // sector sizes from sector 0; the part has those within flashKB
  LpcCore core;
  LpcData data;
  uint32_t ramBase;             // the RAM block W writes into
  uint32_t ramKB;
  uint32_t ramFirst;            // lowest address W may use: below it the ISP keeps its own data
  uint16_t ramTopReserve;       // bytes at the block's top the ISP uses (flash commands and stack)
  const uint16_t* copySizes;    // counts C accepts, ascending, ended by 0
  uint16_t ircKHz;              // 0: the boot code runs on the crystal, which must be told right;
                                // else the internal oscillator it runs on (the crystal line is ignored)
  uint16_t bootRemap;           // bytes from address 0 that read as boot code while in ISP
  bool serialNumber;            // N reads the serial number
  const char* source;           // user manual and table
  const char* refusal;          // set for a part that is named but not programmed here, and why
};

const std::vector<LpcPartRow>& LpcParts();
const LpcPartRow* FindLpcPart(uint32_t id);

// Parses J's decimal answer; nullopt for anything that is not a 32-bit number.
// Parts that answer two words (LPC18xx/43xx) are looked up by the first.
std::optional<uint32_t> ParseLpcPartId(const QString& text);
// Why a row cannot be programmed (no flash, or a flash this table cannot
// describe), as the user reads it; empty for a part that can.
QString LpcRefusal(const LpcPartRow& row);
// "0x0002FF25 (196389)".
QString LpcPartIdText(uint32_t id);

// Sectors of a row: start address and size of each, from sector 0.
struct LpcSector {
  uint32_t start;
  uint32_t size;
};
std::vector<LpcSector> LpcSectors(const LpcPartRow& row);
// Sector holding `address`, -1 when it lies outside the user's flash.
int LpcSectorOf(const LpcPartRow& row, uint32_t address);
uint32_t LpcVectorChecksumSlot(const LpcPartRow& row);
// The largest copy that fits the RAM window; 0 when none does.
uint32_t LpcLargestCopy(const LpcPartRow& row);
// The RAM address W writes a chunk to (the first the ISP leaves free).
inline uint32_t LpcRamBuffer(const LpcPartRow& row) { return row.ramFirst; }

// Return codes of the ISP command handler, by number (the user manuals'
// "ISP return codes summary"); "RETURN_CODE_n" for one not listed.
QString LpcReturnCodeName(int code);
inline constexpr int kLpcCodeReadProtection = 19;
