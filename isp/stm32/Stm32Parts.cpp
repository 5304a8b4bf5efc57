#include "isp/stm32/Stm32Parts.h"

#include <algorithm>

namespace {

using E = Stm32Erase;
using S = Stm32SizeCode;

constexpr uint32_t KB = 1024;

// Sector maps (KB, from a bank's start, the last one repeating).
const std::vector<uint32_t> kF2F4Sectors{16, 16, 16, 16, 64, 128};
const std::vector<uint32_t> kF7Sectors{32, 32, 32, 32, 128, 256};  // F74x/F75x, F76x/F77x single bank
const std::vector<uint32_t> k128KSectors{128};
const std::vector<uint32_t> k8KSectors{8};
const std::vector<uint32_t> kNone{};

const Stm32BankOption kNoOption{};
// F42x/F43x, F469/F479 with 1 MB: DB1M, bit 14 of the option half-word at
// 0x1FFFC008 (RM0090 rev 21 3.6.1 table 17, 3.3 tables 7 and 9; RM0386 "Option bytes"):
// set = two banks of 512 KB whose sectors are numbered 0-7 and 12-19. Parts
// of 2 MB always have two banks, smaller ones one.
const Stm32BankOption kF4Db1m{0x1FFFC008, {{1024, 1u << 14}}, false, 0, kF2F4Sectors};
// F76x/F77x: nDBANK, bit 13 of the option half-word at 0x1FFF0008 (RM0410
// "Option bytes organization"; FLASH_OPTCR bit 29 in CMSIS
// stm32f767xx.h): cleared = two banks of F4-sized sectors, bank 2 from sector 12;
// set (factory) = one bank of 32/128/256 KB sectors.
const Stm32BankOption kF7nDbank{0x1FFF0008, {{1024, 1u << 13}, {2048, 1u << 13}}, true, 0, kF7Sectors};
// G0B0/G0B1/G0C1: DUAL_BANK, bit 21 of FLASH_OPTR as the option area at
// 0x1FFF7800 shows it (RM0444 "FLASH option register"; CMSIS stm32g0b1xx.h), on the 256 KB
// and 512 KB parts; 2 KB pages either way, bank 2 from page 256.
const Stm32BankOption kG0DualBank{0x1FFF7800, {{256, 1u << 21}, {512, 1u << 21}}, false, 2048, {}};
// G47x/G48x: DBANK, bit 22 of FLASH_OPTR at 0x1FFF7800 (RM0440 "FLASH option
// register"; CMSIS stm32g474xx.h): 4 KB pages in one bank when cleared.
const Stm32BankOption kG4Dbank{0x1FFF7800, {{128, 1u << 22}, {256, 1u << 22}, {512, 1u << 22}}, false, 4096, {}};
// L4R/L4S: the option bytes lie at 0x1FF00000 on this line, not at the
// 0x1FFF7800 of the other L4 lines (RM0432 "Option bytes description"; the
// Keil STM32L4xx device pack places STM32L4Rx option words there and STM32L4xx ones at
// 0x1FFF7800; stm32flash's table gives 0x1FFF7800 for 0x470, which this
// follows the manual against). DBANK (bit 22) decides on the 2 MB parts,
// DB1M (bit 21) on the 1 MB ones (CMSIS stm32l4r9xx.h); one bank of 8 KB
// pages when the bit is cleared.
const Stm32BankOption kL4RDbank{0x1FF00000, {{2048, 1u << 22}, {1024, 1u << 21}}, false, 8192, {}};
// L4P5/L4Q5: the same option word; DBANK on the 1 MB parts, bit 21 on the
// 512 KB ones.
const Stm32BankOption kL4PDbank{0x1FF00000, {{1024, 1u << 22}, {512, 1u << 21}}, false, 8192, {}};
// L552/L562: FLASH_OPTR at 0x40022040 (RM0438 "FLASH option register"; CMSIS stm32l552xx.h,
// FLASH at 0x40022000, OPTR at offset 0x40): DBANK (bit 22) on 512 KB parts, DB256K (bit 21) on 256 KB ones; 4 KB pages in one bank.
// SWAP_BANK (bit 20) puts bank 2 at the flash base.
const Stm32BankOption kL5Dbank{0x40022040, {{512, 1u << 22}, {256, 1u << 21}}, false, 4096, {}, 1u << 20};

// Columns: product ID, name, family line, erase form,
//   flash-size register, bytes read there, its coding, smallest and largest flash (KB),
//   page size, sectors, two banks from (KB), bank 2's first unit, bank-mode option,
//   erased value, boot-loader RAM [start, end), mass erase, bank erase, unique ID,
//   longest unit / mass erase (ms), bytes programmed at once, once only.
//
// Product IDs, names and boot-loader RAM: AN2606 "Device-dependent bootloader
// parameters" and each line's "Bootloader configuration" table. Layouts,
// registers and erased values: the line's reference manual ("Flash memory
// organization", "Flash size data register", "Unique device ID register").
// Erase and programming times: the data sheets' flash memory characteristics.
// Every row's flash-size register and unique-ID address agree with ST's CMSIS
// device headers (FLASHSIZE_BASE, UID_BASE of cmsis_device_c0 ... wl), and the
// H7 bank sizes with their FLASH_BANK_SIZE and FLASH_BANK2_BASE. The boot
// loader's own RAM is recorded for information only (the engine never uses
// it) and has not been checked against AN2606's tables: the older rows keep
// the figures first written, rows added since leave it 0, 0.
// Where stm32flash's table differs (it knows no bank modes and numbers every
// page from the flash base), the reference manuals are followed.
const std::vector<Stm32Part> kParts = {
    // The first six lines, with the family lines and erase forms the window has always shown.
    // F1 high density, RM0008 3.3.3 (2 KB pages), 30.1/30.2 (F_SIZE, UID).
    {0x0414, "STM32F10xxx high-density", "STM32F10x 家族", E::Standard, 0x1FFFF7E0, 4, S::KBytes, 256, 512,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000200, true, false, 0x1FFFF7E8, 40, 40, 2, true},
    // F1 medium density, RM0008 3.3.3 (1 KB pages).
    {0x0410, "STM32F10xxx medium-density", "CPU :F10x 1K", E::Standard, 0x1FFFF7E0, 4, S::KBytes, 64, 128,
     1024, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000200, true, false, 0x1FFFF7E8, 40, 40, 2, true},
    // F2, RM0033 2.3.1 (sectors), 32.1/32.2.
    {0x0411, "STM32F2xxxx", "STM32F20x 家族", E::Extended, 0x1FFF7A22, 2, S::KBytes, 128, 1024,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20002000, true, false, 0x1FFF7A10, 4000, 32000, 4, false},
    // F405/F407/F415/F417, RM0090 3.3 (sectors), 39.1/39.2.
    {0x0413, "STM32F40xxx/41xxx", "STM32F40x 家族", E::Extended, 0x1FFF7A22, 2, S::KBytes, 512, 1024,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 32000, 4, false},
    // F413/F423, RM0430 3.3 (16 sectors, 1.5 MB), 35.1/35.2.
    {0x0463, "STM32F413xx/423xx", "STM32F41x 家族", E::Extended, 0x1FFF7A22, 2, S::KBytes, 1024, 1536,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 32000, 4, false},
    // H72x/H73x, RM0468 4.3.4 (one bank of 128 KB sectors, 256-bit flash words), 66.1/66.2.
    {0x0483, "STM32H72xxx/73xxx", "STM32H7xx 家族", E::Extended, 0x1FF1E880, 2, S::KBytes, 128, 1024,
     0, k128KSectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FF1E800, 4000, 16000, 32, true},

    // F0, RM0091 3.2 / RM0360 3.2 (pages), 39.1/33.1 (F_SIZE 0x1FFFF7CC, UID 0x1FFFF7AC).
    {0x0444, "STM32F03xx4/6", "STM32F03x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 16, 32,
     1024, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0445, "STM32F04xxx/F070x6", "STM32F04x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 16, 32,
     1024, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0440, "STM32F030x8/F05xxx", "STM32F05x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 16, 64,
     1024, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0448, "STM32F070xB/F071xx/F072xx", "STM32F07x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 64, 128,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0442, "STM32F030xC/F09xxx", "STM32F09x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 128, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},

    // F1, RM0008 3.3.3 (pages; XL: 512 pages over two banks, numbered on), 30.1/30.2.
    {0x0412, "STM32F10xxx low-density", "STM32F10x 家族", E::FromGet, 0x1FFFF7E0, 4, S::KBytes, 16, 32,
     1024, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000200, true, false, 0x1FFFF7E8, 40, 40, 2, true},
    {0x0430, "STM32F10xxx XL-density", "STM32F10x 家族", E::FromGet, 0x1FFFF7E0, 4, S::KBytes, 768, 1024,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000800, true, false, 0x1FFFF7E8, 40, 80, 2, true},
    // Connectivity line, RM0008 3.3.3 (2 KB pages).
    {0x0418, "STM32F105xx/107xx", "STM32F10x 家族", E::FromGet, 0x1FFFF7E0, 4, S::KBytes, 64, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001000, true, false, 0x1FFFF7E8, 40, 40, 2, true},
    // Value line, RM0041 3.3.3 (low/medium 1 KB pages, high 2 KB), 28.1/28.2.
    {0x0420, "STM32F100xx low/medium-density", "STM32F10x 家族", E::FromGet, 0x1FFFF7E0, 4, S::KBytes, 16, 128,
     1024, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000200, true, false, 0x1FFFF7E8, 40, 40, 2, true},
    {0x0428, "STM32F100xx high-density", "STM32F10x 家族", E::FromGet, 0x1FFFF7E0, 4, S::KBytes, 256, 512,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000200, true, false, 0x1FFFF7E8, 40, 40, 2, true},

    // F3, RM0316 4.2.1 / RM0313 3.2.1 / RM0364 3.2.1 (2 KB pages), "Device electronic signature"
    // (F_SIZE 0x1FFFF7CC, UID 0x1FFFF7AC).
    {0x0422, "STM32F302xB(C)/303xB(C)/358xx", "STM32F30x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 128, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0438, "STM32F303x4(6/8)/334xx/328xx", "STM32F30x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 16, 64,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0439, "STM32F301xx/302x4(6/8)/318xx", "STM32F30x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 16, 64,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0432, "STM32F373xx/378xx", "STM32F37x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 64, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},
    {0x0446, "STM32F302xD(E)/303xD(E)/398xx", "STM32F30x 家族", E::FromGet, 0x1FFFF7CC, 2, S::KBytes, 384, 512,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001800, true, false, 0x1FFFF7AC, 40, 40, 2, true},

    // F4, RM0090 rev 21 / RM0368 / RM0383 / RM0390 / RM0401 / RM0402 / RM0386 "Embedded flash memory"
    // (sectors; 2 MB parts: two 1 MB banks, bank 2 sectors 12-23; 1 MB F42x/F43x/F469/F479: DB1M
    // chooses, RM0090 3.3 table 7), F_SIZE 0x1FFF7A22, UID 0x1FFF7A10.
    {0x0419, "STM32F42xxx/43xxx", "STM32F42x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 512, 2048,
     0, kF2F4Sectors, 2048, 12, kF4Db1m, 0xFF, 0x20000000, 0x20003000, true, true, 0x1FFF7A10, 4000, 32000, 4, false},
    {0x0423, "STM32F401xB(C)", "STM32F40x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 128, 256,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 16000, 4, false},
    {0x0433, "STM32F401xD(E)", "STM32F40x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 384, 512,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 16000, 4, false},
    {0x0458, "STM32F410xx", "STM32F41x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 64, 128,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 16000, 4, false},
    {0x0431, "STM32F411xx", "STM32F41x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 256, 512,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 16000, 4, false},
    {0x0441, "STM32F412xx", "STM32F41x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 512, 1024,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 32000, 4, false},
    {0x0421, "STM32F446xx", "STM32F44x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 256, 512,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7A10, 4000, 16000, 4, false},
    {0x0434, "STM32F469xx/479xx", "STM32F46x 家族", E::FromGet, 0x1FFF7A22, 2, S::KBytes, 512, 2048,
     0, kF2F4Sectors, 2048, 12, kF4Db1m, 0xFF, 0x20000000, 0x20003000, true, true, 0x1FFF7A10, 4000, 32000, 4, false},

    // F7, RM0385 3.3 (32/128/256 KB sectors), RM0410 3.3 (F76x/F77x: the row holds
    // the dual-bank sectors, nDBANK chooses), RM0431 3.3 (F4-sized sectors);
    // F_SIZE 0x1FF0F442 (F72x/F73x: 0x1FF07A22), UID 0x1FF0F420 (0x1FF07A10).
    {0x0449, "STM32F74xxx/75xxx", "STM32F74x 家族", E::FromGet, 0x1FF0F442, 2, S::KBytes, 64, 1024,
     0, kF7Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FF0F420, 4000, 32000, 4, false},
    {0x0451, "STM32F76xxx/77xxx", "STM32F76x 家族", E::FromGet, 0x1FF0F442, 2, S::KBytes, 1024, 2048,
     0, kF2F4Sectors, 0, 12, kF7nDbank, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FF0F420, 4000, 32000, 4, false},
    {0x0452, "STM32F72xxx/73xxx", "STM32F72x 家族", E::FromGet, 0x1FF07A22, 2, S::KBytes, 64, 512,
     0, kF2F4Sectors, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FF07A10, 4000, 16000, 4, false},

    // G0, RM0444 / RM0454 3.3.1 (2 KB pages; G0B/G0C: DUAL_BANK chooses, bank 2 from page 256),
    // F_SIZE 0x1FFF75E0, UID 0x1FFF7590; 64-bit double words with ECC.
    {0x0466, "STM32G03xxx/04xxx", "STM32G0xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 16, 64,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001000, true, false, 0x1FFF7590, 40, 40, 8, true},
    {0x0456, "STM32G05xxx/06xxx", "STM32G0xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 32, 64,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001000, true, false, 0x1FFF7590, 40, 40, 8, true},
    {0x0460, "STM32G07xxx/08xxx", "STM32G0xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 32, 128,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20001000, true, false, 0x1FFF7590, 40, 40, 8, true},
    {0x0467, "STM32G0B0xx/B1xx/C1xx", "STM32G0xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 128, 512,
     2048, kNone, 0, 256, kG0DualBank, 0xFF, 0x20000000, 0x20001000, true, true, 0x1FFF7590, 40, 40, 8, true},

    // G4, RM0440 3.3.1 (category 3: two banks of 2 KB pages unless DBANK is cleared),
    // F_SIZE 0x1FFF75E0, UID 0x1FFF7590.
    {0x0468, "STM32G431xx/441xx", "STM32G4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 32, 128,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FFF7590, 40, 40, 8, true},
    {0x0469, "STM32G47xxx/48xxx", "STM32G4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 128, 512,
     2048, kNone, 1, 256, kG4Dbank, 0xFF, 0x20000000, 0x20004000, true, true, 0x1FFF7590, 40, 40, 8, true},
    {0x0479, "STM32G491xx/4A1xx", "STM32G4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 256, 512,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FFF7590, 40, 40, 8, true},

    // H5, RM0492 (H503) / RM0481 7.3.4: two banks of 8 KB sectors, 128-bit flash words;
    // F_SIZE 0x08FFF80C, UID 0x08FFF800. Sectors per bank (FLASH_SECTOR_NB in ST's
    // stm32h503xx.h, stm32h523xx.h, stm32h563xx.h): 8, 32 and 128 on the largest part; the
    // H523's FLASH_CR SNB field is 5 bits wide, so its bank 2 starts at number 32, not 128.
    {0x0474, "STM32H503xx", "STM32H5xx 家族", E::FromGet, 0x08FFF80C, 2, S::KBytes, 128, 128,
     0, k8KSectors, 1, 8, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x08FFF800, 20, 200, 16, true},
    {0x0478, "STM32H523xx/533xx", "STM32H5xx 家族", E::FromGet, 0x08FFF80C, 2, S::KBytes, 256, 512,
     0, k8KSectors, 1, 32, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x08FFF800, 20, 800, 16, true},
    {0x0484, "STM32H56xxx/57xxx", "STM32H5xx 家族", E::FromGet, 0x08FFF80C, 2, S::KBytes, 1024, 2048,
     0, k8KSectors, 1, 128, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x08FFF800, 20, 2000, 16, true},

    // H7, RM0433 4.3.4 (H74x/H75x: two banks of 128 KB sectors, bank 2 from sector 8),
    // RM0455 4.3.4 (H7A3/H7B3: two banks of 8 KB sectors, bank 2 from 128);
    // F_SIZE 0x1FF1E880 / 0x08FFF80C, UID 0x1FF1E800 / 0x08FFF800 (CMSIS stm32h743xx.h,
    // stm32h7a3xx.h). Bank 2 always starts at 0x08100000 (FLASH_BANK2_BASE): on the 1 MB
    // parts (H743xG, H7A3xG) each bank holds 512 KB and 0x08080000-0x080FFFFF is no flash.
    {0x0450, "STM32H74xxx/75xxx", "STM32H7xx 家族", E::FromGet, 0x1FF1E880, 2, S::KBytes, 128, 2048,
     0, k128KSectors, 1024, 8, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x1FF1E800, 4000, 32000, 32, true,
     8, 1024},
    {0x0480, "STM32H7A3xx/B3xx/B0xx", "STM32H7xx 家族", E::FromGet, 0x08FFF80C, 2, S::KBytes, 128, 2048,
     0, k8KSectors, 1024, 128, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x08FFF800, 20, 2000, 16, true,
     8, 1024},

    // L0, RM0451 / RM0377 / RM0367 / RM0376 3.3.1 (128-byte pages; erased reads 0x00),
    // F_SIZE 0x1FF8007C, UID 0x1FF80050 (third word at +0x14).
    {0x0457, "STM32L01xxx/02xxx", "STM32L0xx 家族", E::FromGet, 0x1FF8007C, 2, S::KBytes, 8, 16,
     128, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20000800, false, false, 0x1FF80050, 5, 0, 4, true, 0x14},
    {0x0425, "STM32L031xx/041xx", "STM32L0xx 家族", E::FromGet, 0x1FF8007C, 2, S::KBytes, 16, 32,
     128, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF80050, 5, 0, 4, true, 0x14},
    {0x0417, "STM32L05xxx/06xxx", "STM32L0xx 家族", E::FromGet, 0x1FF8007C, 2, S::KBytes, 32, 64,
     128, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF80050, 5, 0, 4, true, 0x14},
    {0x0447, "STM32L07xxx/08xxx", "STM32L0xx 家族", E::FromGet, 0x1FF8007C, 2, S::KBytes, 64, 192,
     128, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF80050, 5, 0, 4, true, 0x14},

    // L1, RM0038 3.2 (256-byte pages; erased reads 0x00; the banks' pages follow on), 31.1/31.2:
    // F_SIZE 0x1FF8004C (cat. 1, 2) or 0x1FF800CC (cat. 3 to 6). Category 4 codes its size in
    // the register's low bit, 0 = 384 KB and 1 = 256 KB (RM0038 "Flash size register"); cat. 5 parts have
    // 384 KB or 512 KB in KB as usual.
    // UID 0x1FF80050 or 0x1FF800D0 (third word at +0x14).
    {0x0416, "STM32L1xxx6(8/B)", "STM32L1xx 家族", E::FromGet, 0x1FF8004C, 2, S::KBytes, 32, 128,
     256, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF80050, 5, 0, 4, true, 0x14},
    {0x0429, "STM32L1xxx6(8/B)A", "STM32L1xx 家族", E::FromGet, 0x1FF8004C, 2, S::KBytes, 32, 128,
     256, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF80050, 5, 0, 4, true, 0x14},
    {0x0427, "STM32L1xxxC", "STM32L1xx 家族", E::FromGet, 0x1FF800CC, 2, S::KBytes, 256, 256,
     256, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF800D0, 5, 0, 4, true, 0x14},
    {0x0436, "STM32L1xxxD", "STM32L1xx 家族", E::FromGet, 0x1FF800CC, 2, S::L1Cat4, 256, 384,
     256, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF800D0, 5, 0, 4, true, 0x14},
    {0x0437, "STM32L1xxxE", "STM32L1xx 家族", E::FromGet, 0x1FF800CC, 2, S::KBytes, 384, 512,
     256, kNone, 0, 0, kNoOption, 0x00, 0x20000000, 0x20001000, false, false, 0x1FF800D0, 5, 0, 4, true, 0x14},

    // L4, RM0394 3.3.1 (2 KB pages), RM0351 3.3.1 (1 MB lines: two banks, bank 2 from page 256),
    // RM0432 3.3.1 (L4+: two banks of 4 KB pages unless DBANK is cleared); F_SIZE 0x1FFF75E0,
    // UID 0x1FFF7590.
    {0x0464, "STM32L41xxx/42xxx", "STM32L4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 64, 128,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7590, 25, 25, 8, true},
    {0x0435, "STM32L43xxx/44xxx", "STM32L4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 64, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7590, 25, 25, 8, true},
    {0x0462, "STM32L45xxx/46xxx", "STM32L4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 256, 512,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20003000, true, false, 0x1FFF7590, 25, 25, 8, true},
    {0x0415, "STM32L47xxx/48xxx", "STM32L4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 256, 1024,
     2048, kNone, 1, 256, kNoOption, 0xFF, 0x20000000, 0x20003000, true, true, 0x1FFF7590, 25, 25, 8, true},
    {0x0461, "STM32L496xx/4A6xx", "STM32L4xx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 256, 1024,
     2048, kNone, 1, 256, kNoOption, 0xFF, 0x20000000, 0x20003000, true, true, 0x1FFF7590, 25, 25, 8, true},
    {0x0470, "STM32L4Rxx/4Sxx", "STM32L4+ 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 1024, 2048,
     4096, kNone, 1, 256, kL4RDbank, 0xFF, 0x20000000, 0x20003000, true, true, 0x1FFF7590, 25, 25, 8, true},
    {0x0471, "STM32L4P5xx/Q5xx", "STM32L4+ 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 512, 1024,
     4096, kNone, 1, 256, kL4PDbank, 0xFF, 0x20000000, 0x20003000, true, true, 0x1FFF7590, 25, 25, 8, true},

    // L5, RM0438 6.3.1 (two banks of 2 KB pages unless DBANK is cleared), F_SIZE 0x0BFA05E0,
    // UID 0x0BFA0590.
    {0x0472, "STM32L552xx/562xx", "STM32L5xx 家族", E::FromGet, 0x0BFA05E0, 2, S::KBytes, 256, 512,
     2048, kNone, 1, 128, kL5Dbank, 0xFF, 0x20000000, 0x20004000, true, true, 0x0BFA0590, 25, 25, 8, true},

    // U5, RM0456 7.3.1 (two banks of 8 KB pages, 128-bit quad words), F_SIZE 0x0BFA07A0,
    // UID 0x0BFA0700. FLASH_NSCR's PNB field (ST's stm32u535xx.h, stm32u575xx.h,
    // stm32u599xx.h) is 5, 7 and 8 bits wide: 32, 128 and 256 pages per bank on each line's
    // largest part, so the U535/U545's bank 2 starts at number 32, not 128.
    {0x0455, "STM32U535xx/545xx", "STM32U5xx 家族", E::FromGet, 0x0BFA07A0, 2, S::KBytes, 256, 512,
     8192, kNone, 1, 32, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x0BFA0700, 10, 100, 16, true},
    {0x0482, "STM32U575xx/585xx", "STM32U5xx 家族", E::FromGet, 0x0BFA07A0, 2, S::KBytes, 1024, 2048,
     8192, kNone, 1, 128, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x0BFA0700, 10, 100, 16, true},
    {0x0481, "STM32U59xxx/5Axxx", "STM32U5xx 家族", E::FromGet, 0x0BFA07A0, 2, S::KBytes, 2048, 4096,
     8192, kNone, 1, 256, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x0BFA0700, 10, 100, 16, true},
    {0x0476, "STM32U5Fxxx/5Gxxx", "STM32U5xx 家族", E::FromGet, 0x0BFA07A0, 2, S::KBytes, 2048, 4096,
     8192, kNone, 1, 256, kNoOption, 0xFF, 0x20000000, 0x20004000, true, true, 0x0BFA0700, 10, 100, 16, true},

    // WB, RM0434 3.3.1 (WB5x: 4 KB pages), RM0473 3.3.1 (WB1x: 2 KB pages); F_SIZE 0x1FFF75E0,
    // UID 0x1FFF7590.
    {0x0495, "STM32WB5xxx/35xx", "STM32WBxx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 256, 1024,
     4096, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FFF7590, 25, 25, 8, true},
    {0x0494, "STM32WB1xxx", "STM32WBxx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 320, 320,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20004000, true, false, 0x1FFF7590, 25, 25, 8, true},

    // WL, RM0453 / RM0461 3.3.1 (2 KB pages), F_SIZE 0x1FFF75E0, UID 0x1FFF7590.
    {0x0497, "STM32WLE5xx/WL55xx", "STM32WLxx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 64, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20002000, true, false, 0x1FFF7590, 25, 25, 8, true},

    // C0, RM0490 3.3.1 (2 KB pages), F_SIZE 0x1FFF75A0, UID 0x1FFF7550.
    {0x0443, "STM32C011xx", "STM32C0xx 家族", E::FromGet, 0x1FFF75A0, 2, S::KBytes, 16, 32,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000C00, true, false, 0x1FFF7550, 40, 40, 8, true},
    {0x0453, "STM32C031xx", "STM32C0xx 家族", E::FromGet, 0x1FFF75A0, 2, S::KBytes, 16, 32,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0x20000000, 0x20000C00, true, false, 0x1FFF7550, 40, 40, 8, true},
    // C071: AN2606 rev 69 table 1 lists it; RM0490 "Flash memory organization" (2 KB pages, 64 KB or 128 KB;
    // CMSIS stm32c071xx.h: a 6-bit page number, F_SIZE 0x1FFF75A0, UID 0x1FFF7550). Product ID
    // 0x493 as the line's DBGMCU_IDCODE gives it. The boot loader's RAM is not recorded here
    // (0, 0): the engine does not use it.
    {0x0493, "STM32C071xx", "STM32C0xx 家族", E::FromGet, 0x1FFF75A0, 2, S::KBytes, 64, 128,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x1FFF7550, 40, 40, 8, true},

    // C051 and C091/C092: RM0490 "Flash memory organization" (2 KB pages, one bank, 64-bit
    // double words with ECC). ST's device headers stm32c051xx.h and stm32c091xx.h: FLASH_SIZE
    // defaults to 64 KB and 256 KB, F_SIZE 0x1FFF75A0, UID 0x1FFF7550 as on the other C0
    // lines; the C091's FLASH_CR has a 7-bit PNB and no bank bit (128 pages). Product IDs
    // 0x44C and 0x44D as AN2606 rev 69 lists them. Boot-loader RAM not recorded.
    {0x044C, "STM32C05xxx", "STM32C0xx 家族", E::FromGet, 0x1FFF75A0, 2, S::KBytes, 32, 64,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x1FFF7550, 40, 40, 8, true},
    {0x044D, "STM32C09xxx", "STM32C0xx 家族", E::FromGet, 0x1FFF75A0, 2, S::KBytes, 128, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x1FFF7550, 40, 40, 8, true},

    // U0, RM0503 "Flash memory organization" (2 KB pages, 64-bit double words with ECC); CMSIS stm32u031xx.h
    // (F_SIZE 0x1FFF3EA0, UID 0x1FFF3E50, up to 64 KB) and stm32u073xx.h (F_SIZE 0x1FFF6EA0,
    // UID 0x1FFF6E50, up to 256 KB); both a 7-bit page number. Product IDs 0x459 and 0x489 as
    // DBGMCU_IDCODE gives them.
    {0x0459, "STM32U031xx", "STM32U0xx 家族", E::FromGet, 0x1FFF3EA0, 2, S::KBytes, 16, 64,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x1FFF3E50, 40, 40, 8, true},
    {0x0489, "STM32U073xx/083xx", "STM32U0xx 家族", E::FromGet, 0x1FFF6EA0, 2, S::KBytes, 64, 256,
     2048, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x1FFF6E50, 40, 40, 8, true},

    // WB30/WB35 of product ID 0x496 (the ID as OpenOCD's STM32L4-family driver knows it, up to
    // 512 KB): RM0434 "Flash memory organization" (4 KB pages, 64-bit double words with ECC),
    // the size register and unique ID of the WB5x (CMSIS stm32wb35xx.h). The boot loader's
    // RAM is not recorded (0, 0): not checked against AN2606, and the engine does not use it.
    {0x0496, "STM32WB3xxx", "STM32WBxx 家族", E::FromGet, 0x1FFF75E0, 2, S::KBytes, 256, 512,
     4096, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x1FFF7590, 25, 25, 8, true},

    // WBA50/52/54/55: one bank of 8 KB pages, 128-bit quad words with ECC (RM0493 "Flash
    // memory organization"). CMSIS stm32wba55xx.h (cmsis_device_wba v1.4.0): FLASH_SIZE up to
    // 0x100000, a 7-bit FLASH_NSCR1_PNB (6 bits on the WBA50, 512 KB) and no bank bit, so
    // 128 pages of 8 KB; FLASHSIZE_BASE = 0x0BF90500 + 0x2A0, UID_BASE = 0x0BF90500 + 0x200.
    // Product ID 0x492 (DBGMCU_IDCODE). Boot-loader RAM not recorded, as above.
    {0x0492, "STM32WBA5xxx", "STM32WBAxx 家族", E::FromGet, 0x0BF907A0, 2, S::KBytes, 128, 1024,
     8192, kNone, 0, 0, kNoOption, 0xFF, 0, 0, true, false, 0x0BF90700, 40, 400, 16, true},

    // Lines AN2606 rev 69 lists for the USART boot loader whose flash this table does not
    // describe (their reference manuals were not at hand when it was checked): they are named,
    // and nothing is erased or written on them. H7R/H7S: ST's stm32h7s7xx.h gives 64 KB, a
    // 3-bit sector number (eight 8 KB sectors), F_SIZE 0x08FFF80C and UID 0x08FFF800, but not
    // the flash word the part programs. U37x/U38x: a DUALBANK option changes the map on both
    // sizes and bank 2's numbering is not established.
    //
    // Lines listed there whose product IDs no source at hand gives (C5, U3B/U3C, WBA2, WBA6's
    // layout, WB0, WL3, H5E/H5F, N6) fall on the row for unknown IDs below: the ID is named and
    // the part is said not to be in the table.
    {0x0485, "STM32H7Rxx/7Sxx", "STM32H7xx 家族", E::FromGet, 0, 0, S::KBytes, 0, 0,
     0, kNone, 0, 0, kNoOption, 0xFF, 0, 0, false, false, 0, 40, 40, 16, true},
    {0x04B0, "STM32WBA6xxx", "STM32WBAxx 家族", E::FromGet, 0, 0, S::KBytes, 0, 0,
     0, kNone, 0, 0, kNoOption, 0xFF, 0, 0, false, false, 0, 40, 40, 16, true},
    {0x0454, "STM32U37xxx/38xxx", "STM32U3xx 家族", E::FromGet, 0, 0, S::KBytes, 0, 0,
     0, kNone, 0, 0, kNoOption, 0xFF, 0, 0, false, false, 0, 40, 40, 16, true},

    // Every other ID: its layout is not known, so nothing is erased by page
    // or sector; the erase command is whichever the boot loader offers.
    {0x0000, "", "CPU :Fxxx", E::FromGet, 0, 0, S::KBytes, 0, 0,
     0, kNone, 0, 0, kNoOption, 0xFF, 0, 0, false, false, 0, 40, 40000, 4, false},
};

// Where bank 2's unit numbers are established for the boot loader.
//
// The extended erase takes one number per unit, and on a part with two
// banks the boot loader turns it into a bank and a page or sector. Two
// numberings are about: the reference manuals' tables, which start bank 2
// at a fixed number whatever the part's size (page 256 on every L47x,
// RM0351 "Flash memory organization", although a 512 KB part has 128 pages
// in bank 1), and counting on from bank 1's last unit. On a line's largest
// part the two agree; on its smaller parts they differ, the flash control
// registers take a bank bit and a page number within the bank (PNB/SNB with
// BKER/BKSEL) rather than either, and no document at hand says which
// numbering the boot loader takes there. A wrong guess erases a page of the
// other bank or the wrong page of this one, so bank 2 is erased by number
// only on the sizes listed here; elsewhere an image inside bank 1 still
// goes in and one reaching into bank 2 is refused.
//
// Beyond agreement: F42x/F43x and F469/F479 (RM0090 "Flash module
// organization", dual-bank tables) and F76x/F77x (RM0410, dual-bank mode)
// number bank 2's sectors 12 onwards on both sizes, those being the sector
// numbers of the erase register's table. G0B0/G0B1/G0C1 is not listed:
// RM0444 numbers bank 2 from page 256 while ST's HAL takes 0-127 with the
// bank bit, and users on ST's community forum report bank-2 page erases
// through the boot loader that did not work.
// G47x/G48x has 128 pages per bank at 512 KB and a 7-bit PNB (RM0440), so
// the 256 of the row is the manual's numbering that counting on never
// meets: not established on any size.
struct Bank2Numbered {
  uint16_t productId;
  std::vector<uint32_t> flashKB;
};
const std::vector<Bank2Numbered> kBank2Numbered = {
    {0x0419, {1024, 2048}}, {0x0434, {1024, 2048}}, {0x0451, {1024, 2048}},
    // The largest part of each line, where both numberings give the same number.
    {0x0415, {1024}},  // 256 pages of 2 KB in bank 1
    {0x0461, {1024}},
    {0x0470, {2048}},  // 256 pages of 4 KB
    {0x0472, {512}},   // 128 pages of 2 KB
    {0x0474, {128}},   // 8 sectors of 8 KB
    {0x0478, {512}},   // 32 sectors of 8 KB
    {0x0484, {2048}},  // 128 sectors of 8 KB
    {0x0450, {2048}},  // 8 sectors of 128 KB
    {0x0480, {2048}},  // 128 sectors of 8 KB
    {0x0482, {2048}},  // 128 pages of 8 KB
    {0x0481, {4096}},  // 256 pages of 8 KB
    {0x0476, {4096}},
    {0x0455, {512}},   // 32 pages of 8 KB
    // Not established on any size: 0x0469 G47x/G48x, 0x0471 L4P5/L4Q5 (128
    // or 64 pages per bank against the row's 256; ST's stm32g474xx.h and
    // stm32l4p5xx.h give both a 7-bit PNB, so counting on would give 128 on
    // the largest part, where the manuals' numbering gives 256).
};


// Per product ID: the most SRAM a part of the line has (KB; every SRAM the
// core reaches, CCM and TCM included, backup SRAM left out), from the data
// sheets' memory lists and ST's CMSIS device headers (SRAMx_SIZE[_MAX]),
// and where READ MEMORY reaches the option bytes.
//
// Option bytes: OB_BASE 0x1FFFF800 in cmsis_device_f0/f1/f3 (16 bytes, each
// byte beside its complement; PM0075, RM0091, RM0316). F2/F4: 0x1FFFC000
// (RM0033, RM0090 "Option bytes", 16 bytes), F42x/F43x and F469/F479 bank 2's
// at 0x1FFEC000. F7: 0x1FFF0000 (RM0385/RM0410/RM0431, 32 bytes). L0/L1:
// OB_BASE 0x1FF80000 in cmsis_device_l0/l1 (16 bytes: RDP, USER, WRP1/2).
// G0/G4/L4/WL/C0: 0x1FFF7800 (RM0444, RM0440, RM0351, RM0394; OPTION_BYTES_BASE
// in stm32wle5xx.h and stm32wb15xx.h, so WB1x too), 16 bytes: FLASH_OPTR and
// its complement, then the next pair. WB5x/WB3x: 0x1FFF8000 (OPTION_BYTE_BASE
// in stm32wb55xx.h and stm32wb35xx.h; RM0434). L4+:
// 0x1FF00000, where the bank option is read. H5, H7, L5, U5 and WBA keep
// their options in flash registers only. U0 and the lines not described
// have no area recorded.
struct InfoRow {
  uint16_t productId;
  Stm32InfoFacts facts;
};
constexpr uint32_t kObF1 = 0x1FFFF800, kObF4 = 0x1FFFC000, kObF4Bank2 = 0x1FFEC000, kObF7 = 0x1FFF0000,
                   kObL0 = 0x1FF80000, kObG0 = 0x1FFF7800, kObWb = 0x1FFF8000, kObL4Plus = 0x1FF00000;
const Stm32InfoFacts kInRegisters{0, 0, 0, 0, true};
Stm32InfoFacts Ob(uint32_t ramKB, uint32_t at, uint8_t length, uint32_t bank2 = 0) {
  return {ramKB, at, bank2, length, false};
}
Stm32InfoFacts Reg(uint32_t ramKB) { return {ramKB, 0, 0, 0, true}; }
const std::vector<InfoRow> kInfo = {
    // F1 (data sheets: 10, 20, 64, 96 KB; connectivity 64; value line 8 and 32).
    {0x0414, Ob(64, kObF1, 16)}, {0x0410, Ob(20, kObF1, 16)}, {0x0412, Ob(10, kObF1, 16)},
    {0x0430, Ob(96, kObF1, 16)}, {0x0418, Ob(64, kObF1, 16)}, {0x0420, Ob(8, kObF1, 16)},
    {0x0428, Ob(32, kObF1, 16)},
    // F0.
    {0x0444, Ob(4, kObF1, 16)}, {0x0445, Ob(6, kObF1, 16)}, {0x0440, Ob(8, kObF1, 16)},
    {0x0448, Ob(16, kObF1, 16)}, {0x0442, Ob(32, kObF1, 16)},
    // F3 (CCM included: F303xC 40 + 8, F303xE 64 + 16, F303x8/F334 12 + 4).
    {0x0422, Ob(48, kObF1, 16)}, {0x0438, Ob(16, kObF1, 16)}, {0x0439, Ob(16, kObF1, 16)},
    {0x0432, Ob(32, kObF1, 16)}, {0x0446, Ob(80, kObF1, 16)},
    // F2, F4 (F405/F42x/F469: 64 KB CCM included).
    {0x0411, Ob(128, kObF4, 16)}, {0x0413, Ob(192, kObF4, 16)}, {0x0463, Ob(320, kObF4, 16)},
    {0x0419, Ob(256, kObF4, 16, kObF4Bank2)}, {0x0423, Ob(64, kObF4, 16)}, {0x0433, Ob(96, kObF4, 16)},
    {0x0458, Ob(32, kObF4, 16)}, {0x0431, Ob(128, kObF4, 16)}, {0x0441, Ob(256, kObF4, 16)},
    {0x0421, Ob(128, kObF4, 16)}, {0x0434, Ob(384, kObF4, 16, kObF4Bank2)},
    // F7 (DTCM included).
    {0x0449, Ob(320, kObF7, 32)}, {0x0451, Ob(512, kObF7, 32)}, {0x0452, Ob(256, kObF7, 32)},
    // G0 (data sheets: 8, 18, 36, 144 KB), G4 (SRAM1 + SRAM2 + CCM SRAM of stm32g431/474/491xx.h).
    {0x0466, Ob(8, kObG0, 16)}, {0x0456, Ob(18, kObG0, 16)}, {0x0460, Ob(36, kObG0, 16)},
    {0x0467, Ob(144, kObG0, 16)},
    {0x0468, Ob(32, kObG0, 16)}, {0x0469, Ob(128, kObG0, 16)}, {0x0479, Ob(112, kObG0, 16)},
    // H5 (stm32h503/523/563xx.h SRAM1-3), H7 (TCM included).
    {0x0474, Reg(32)}, {0x0478, Reg(272)}, {0x0484, Reg(640)},
    {0x0450, Reg(1056)}, {0x0480, Reg(1376)}, {0x0483, Reg(560)},
    // L0 (stm32l0xx SRAM_SIZE_MAX), L1 (data sheets).
    {0x0457, Ob(2, kObL0, 16)}, {0x0425, Ob(8, kObL0, 16)}, {0x0417, Ob(8, kObL0, 16)},
    {0x0447, Ob(20, kObL0, 16)},
    {0x0416, Ob(16, kObL0, 16)}, {0x0429, Ob(32, kObL0, 16)}, {0x0427, Ob(32, kObL0, 16)},
    {0x0436, Ob(48, kObL0, 16)}, {0x0437, Ob(80, kObL0, 16)},
    // L4, L4+ (SRAM1 + SRAM2 [+ SRAM3] of the stm32l4xx headers).
    {0x0464, Ob(40, kObG0, 16)}, {0x0435, Ob(64, kObG0, 16)}, {0x0462, Ob(160, kObG0, 16)},
    {0x0415, Ob(128, kObG0, 16)}, {0x0461, Ob(320, kObG0, 16)},
    {0x0470, Ob(640, kObL4Plus, 16)}, {0x0471, Ob(320, kObL4Plus, 16)},
    // L5, U5 (SRAM1-6 of stm32l552xx.h, stm32u535/575/599/5f9xx.h).
    {0x0472, Reg(256)},
    {0x0455, Reg(272)}, {0x0482, Reg(784)}, {0x0481, Reg(2512)}, {0x0476, Reg(3024)},
    // WB (SRAM1 + SRAM2a + SRAM2b; WB1x 12 + 36), WL, C0 (stm32c011/031/071xx.h; C05x, C09x
    // from their data sheets), U0 (data sheets: 12 and 40 KB), WBA (stm32wba55xx.h).
    {0x0495, Ob(256, kObWb, 16)}, {0x0494, Ob(48, kObG0, 16)}, {0x0496, Ob(96, kObWb, 16)},
    {0x0497, Ob(64, kObG0, 16)},
    {0x0443, Ob(6, kObG0, 16)}, {0x0453, Ob(12, kObG0, 16)}, {0x0493, Ob(24, kObG0, 16)},
    {0x044C, Ob(12, kObG0, 16)}, {0x044D, Ob(36, kObG0, 16)},
    {0x0459, {12, 0, 0, 0, false}}, {0x0489, {40, 0, 0, 0, false}},
    {0x0492, Reg(128)}, {0x0485, kInRegisters}, {0x04B0, kInRegisters},
};
const Stm32InfoFacts kNoFacts{};
}  // namespace

const std::vector<Stm32Part>& Stm32PartTable() { return kParts; }

const Stm32InfoFacts& Stm32InfoFor(const Stm32Part& part) {
  if (part.Known())
    for (const InfoRow& r : kInfo)
      if (r.productId == part.productId) return r.facts;
  return kNoFacts;
}

const Stm32Part& Stm32PartFor(uint16_t productId) {
  for (const auto& p : kParts)
    if (p.productId == productId && p.productId != 0) return p;
  return kParts.back();
}

bool Stm32Bank2NumbersSure(const Stm32Part& part, uint32_t flashKB) {
  if (part.bank2FirstUnit == 0) return true;  // numbered on from bank 1
  for (const Bank2Numbered& b : kBank2Numbered)
    if (b.productId == part.productId)
      return std::find(b.flashKB.begin(), b.flashKB.end(), flashKB) != b.flashKB.end();
  return false;
}

std::optional<uint32_t> Stm32DecodeFlashSize(const Stm32Part& part, uint8_t lo, uint8_t hi) {
  const uint32_t raw = lo + 256u * hi;
  uint32_t kb = raw;
  if (part.sizeCode == Stm32SizeCode::L1Cat4) {
    if (raw > 1) return std::nullopt;
    kb = raw == 0 ? 384 : 256;
  }
  // An unprogrammed register reads 0xFFFF; a size the line never has is no
  // size either.
  if (kb == 0 || raw == 0xFFFF) return std::nullopt;
  if (part.Known() && (kb < part.minFlashKB || kb > part.maxFlashKB)) return std::nullopt;
  return kb;
}

Stm32FlashMap::Stm32FlashMap(const Stm32Part& part, uint32_t flashBytes, std::optional<uint32_t> optionWord)
    : flashBytes_(flashBytes), twoBanks_(false) {
  uint32_t pageSize = part.pageSize;
  const std::vector<uint32_t>* sectors = &part.sectorsKB;
  const uint32_t flashKB = flashBytes / KB;
  if (part.bankOption.MaskFor(flashKB)) {
    // The option decides; unread, the part's map is unknown and has no units.
    if (!optionWord) return;
    twoBanks_ = part.bankOption.SaysDual(flashKB, *optionWord);
    if (!twoBanks_) {
      pageSize = part.bankOption.singlePageSize;
      sectors = &part.bankOption.singleSectorsKB;
    }
  } else {
    twoBanks_ = part.dualBankFromKB != 0 && flashBytes >= part.dualBankFromKB * KB;
  }
  if (pageSize == 0 && sectors->empty()) return;  // layout unknown: no units

  const uint32_t bank = twoBanks_ ? flashBytes / 2 : flashBytes;
  auto addBank = [&](uint32_t start, uint32_t firstNumber) {
    uint32_t offset = 0;
    for (uint32_t i = 0; offset < bank; ++i) {
      uint32_t size = pageSize ? pageSize : (*sectors)[std::min<size_t>(i, sectors->size() - 1)] * KB;
      size = std::min(size, bank - offset);
      units_.push_back({start + offset, size, firstNumber + i, true});
      offset += size;
    }
  };
  addBank(0, 0);
  if (twoBanks_) {
    const uint32_t firstNumber = part.bank2FirstUnit ? part.bank2FirstUnit : static_cast<uint32_t>(units_.size());
    const size_t bank1Units = units_.size();
    bank2Offset_ = part.bank2OffsetKB ? part.bank2OffsetKB * KB : bank;
    addBank(bank2Offset_, firstNumber);
    const bool sure = Stm32Bank2NumbersSure(part, flashKB);
    for (size_t i = bank1Units; i < units_.size(); ++i) units_[i].numberSure = sure;
  }
}

bool Stm32FlashMap::Holds(uint32_t offset, uint32_t length) const {
  uint64_t at = offset;
  const uint64_t end = at + length;
  while (at < end) {
    const Stm32Unit* u = UnitHolding(static_cast<uint32_t>(at));
    if (!u) return false;
    at = uint64_t{u->offset} + u->size;
  }
  return true;
}

std::vector<Stm32Unit> Stm32FlashMap::Covering(uint32_t offset, uint32_t length) const {
  std::vector<Stm32Unit> out;
  if (length == 0) return out;
  const uint64_t end = uint64_t{offset} + length;
  for (const auto& u : units_)
    if (u.offset < end && uint64_t{u.offset} + u.size > offset) out.push_back(u);
  return out;
}

const Stm32Unit* Stm32FlashMap::UnitAt(uint32_t offset) const {
  for (const auto& u : units_)
    if (u.offset == offset) return &u;
  return nullptr;
}

const Stm32Unit* Stm32FlashMap::UnitHolding(uint32_t offset) const {
  for (const auto& u : units_)
    if (offset >= u.offset && offset - u.offset < u.size) return &u;
  return nullptr;
}
