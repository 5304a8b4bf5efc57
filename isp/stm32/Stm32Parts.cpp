#include "isp/stm32/Stm32Parts.h"

#include <algorithm>

namespace {

// F2/F4: four 16 KB sectors, one of 64 KB, then 128 KB sectors.
const std::vector<uint32_t> kF2F4Sectors{16, 16, 16, 16, 64, 128};

const std::vector<Stm32Part> kParts = {
    {0x0414, "STM32F10x 家族", Stm32Erase::Standard, 2048, {}, 0x1FFFF7E0, 4},
    {0x0410, "CPU :F10x 1K", Stm32Erase::Standard, 1024, {}, 0x1FFFF7E0, 4},
    {0x0411, "STM32F20x 家族", Stm32Erase::Extended, 0, kF2F4Sectors, 0x1FFF7A22, 2},
    {0x0413, "STM32F40x 家族", Stm32Erase::Extended, 0, kF2F4Sectors, 0x1FFF7A22, 2},
    {0x0463, "STM32F41x 家族", Stm32Erase::Extended, 0, kF2F4Sectors, 0x1FFF7A22, 2},
    {0x0483, "STM32H7xx 家族", Stm32Erase::Extended, 0, {128}, 0x1FF1E880, 2},
    // Every other ID: 2 KB pages, the size where F1 parts keep it, and the
    // erase command the boot loader itself offers.
    {0x0000, "CPU :Fxxx", Stm32Erase::FromGet, 2048, {}, 0x1FFFF7E0, 4},
};

}  // namespace

const std::vector<Stm32Part>& Stm32PartTable() { return kParts; }

const Stm32Part& Stm32PartFor(uint16_t productId) {
  for (const auto& p : kParts)
    if (p.productId == productId && p.productId != 0) return p;
  return kParts.back();
}

int64_t Stm32UnitsBytes(const Stm32Part& part, int units) {
  if (part.pageSize) return int64_t{part.pageSize} * units;
  int64_t bytes = 0;
  for (int i = 0; i < units; ++i)
    bytes += int64_t{part.sectorsKB[std::min<size_t>(i, part.sectorsKB.size() - 1)]} * 1024;
  return bytes;
}

int Stm32UnitsCovering(const Stm32Part& part, int64_t imageLength) {
  if (imageLength <= 0) return 0;
  if (part.pageSize) return static_cast<int>((imageLength + part.pageSize - 1) / part.pageSize);
  int units = 0;
  for (int64_t covered = 0; covered < imageLength; ++units)
    covered += int64_t{part.sectorsKB[std::min<size_t>(units, part.sectorsKB.size() - 1)]} * 1024;
  return units;
}
