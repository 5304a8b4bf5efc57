// What the engine knows about each STM32 part, as data: the family line it
// reports, the erase command, the erase layout and where the part keeps its
// flash size. Adding a part is adding a row.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

enum class Stm32Erase {
  Standard,  // ERASE 0x43: one-byte page numbers
  Extended,  // EXTENDED ERASE 0x44: two-byte page or sector numbers
  FromGet,   // whichever of the two the boot loader lists in its GET reply
};

struct Stm32Part {
  uint16_t productId;       // 0 for the row that stands for every unknown ID
  const char* familyLine;   // the Memo1 line naming the family (UTF-8)
  Stm32Erase erase;
  uint32_t pageSize;        // uniform pages; 0 when sectorsKB describes the layout
  std::vector<uint32_t> sectorsKB;  // sector sizes from the flash base, the last one repeating
  uint32_t flashSizeAddress;        // the flash-size register (KB, least significant byte first)
  uint8_t flashSizeReadBytes;       // bytes READ MEMORY asks for there
};

// The row for a product ID; unknown IDs get the catch-all row.
const Stm32Part& Stm32PartFor(uint16_t productId);
const std::vector<Stm32Part>& Stm32PartTable();

// The erase units (pages or sectors) that hold the first `imageLength`
// bytes of flash: units 0 .. count - 1.
int Stm32UnitsCovering(const Stm32Part& part, int64_t imageLength);
// Bytes in the first `units` units.
int64_t Stm32UnitsBytes(const Stm32Part& part, int units);
