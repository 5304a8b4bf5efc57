#include "sim/Stm32Sim.h"

#include <chrono>

#include <algorithm>
#include <numeric>

namespace {

constexpr uint32_t KB = 1024;

enum class Cut { Pages, F2F4, F7, S128K, S8K };

// One product line as its documents describe it. Sources, per group below:
// AN2606 (product ID, boot-loader version, commands), the line's reference
// manual (flash organisation, F_SIZE, unique ID, erased value, programming
// unit) and data sheet (erase and programming times).
struct Line {
  uint16_t pid;
  uint8_t version;
  bool extended;
  uint32_t flashKB;          // the simulated part: the line's largest
  Cut cut;
  uint32_t pageBytes;        // Cut::Pages
  uint32_t dualFromKB;       // two banks (halves) from this size; 0: one bank
  uint32_t bank2First;       // bank 2's first unit number; 0: it follows bank 1
  uint32_t fsize;
  bool fsizeReadable;
  uint32_t uid;
  uint32_t uidThird;
  uint8_t erased;
  uint32_t program;
  bool once;
  bool mass;
  bool bank;
  uint32_t option;           // option word with DBANK (bit 22) set, 0: none
  uint32_t sysStart, sysEnd;
  uint32_t unitMs;           // erase time of one unit (0: by sector size)
  double usPerByte;
};

// F_SIZE / UID groups.
constexpr uint32_t kF0Size = 0x1FFFF7CC, kF0Uid = 0x1FFFF7AC;
constexpr uint32_t kF1Size = 0x1FFFF7E0, kF1Uid = 0x1FFFF7E8;
constexpr uint32_t kF4Size = 0x1FFF7A22, kF4Uid = 0x1FFF7A10;
constexpr uint32_t kG0Size = 0x1FFF75E0, kG0Uid = 0x1FFF7590;

const Line kLines[] = {
    // F0: RM0091/RM0360 (1 or 2 KB pages, half-words), AN2606 STM32F03x..F09x chapters.
    {0x0444, 0x10, true, 32, Cut::Pages, 1024, 0, 0, kF0Size, true, kF0Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFEC00, 0x1FFFF800, 20, 26.25},
    {0x0445, 0xA0, true, 32, Cut::Pages, 1024, 0, 0, kF0Size, true, kF0Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFC400, 0x1FFFF800, 20, 26.25},
    {0x0440, 0x21, true, 64, Cut::Pages, 1024, 0, 0, kF0Size, true, kF0Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFEC00, 0x1FFFF800, 20, 26.25},
    {0x0448, 0xA1, true, 128, Cut::Pages, 2048, 0, 0, kF0Size, true, kF0Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFC800, 0x1FFFF800, 20, 26.25},
    {0x0442, 0x52, true, 256, Cut::Pages, 2048, 0, 0, kF0Size, true, kF0Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFD800, 0x1FFFF800, 20, 26.25},
    // F1: RM0008/RM0041 (half-words); XL density: 512 pages over two banks, numbered on.
    {0x0412, 0x22, false, 32, Cut::Pages, 1024, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFF000, 0x1FFFF800, 20, 26.25},
    {0x0410, 0x22, false, 128, Cut::Pages, 1024, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFF000, 0x1FFFF800, 20, 26.25},
    {0x0414, 0x22, false, 512, Cut::Pages, 2048, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFF000, 0x1FFFF800, 20, 26.25},
    {0x0430, 0x21, true, 1024, Cut::Pages, 2048, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFE000, 0x1FFFF800, 20, 26.25},
    {0x0418, 0x22, false, 256, Cut::Pages, 2048, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFB000, 0x1FFFF800, 20, 26.25},
    {0x0420, 0x22, false, 128, Cut::Pages, 1024, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFF000, 0x1FFFF800, 20, 26.25},
    {0x0428, 0x22, false, 512, Cut::Pages, 2048, 0, 0, kF1Size, true, kF1Uid, 8, 0xFF, 2, true, true, false, 0,
     0x1FFFF000, 0x1FFFF800, 20, 26.25},
    // F2, F4: RM0033/RM0090/RM0368/RM0383/RM0390/RM0401/RM0402/RM0430/RM0386 (sectors; 2 MB
    // parts two banks of 1 MB, bank 2 from sector 12), words, bits cleared one by one.
    {0x0411, 0x33, true, 1024, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0413, 0x31, true, 1024, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0419, 0x70, true, 2048, Cut::F2F4, 0, 2048, 12, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, true, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0423, 0xD1, true, 256, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0433, 0xD1, true, 512, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0458, 0xB1, true, 128, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0431, 0xD0, true, 512, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0441, 0x90, true, 1024, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0421, 0x90, true, 512, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0434, 0x90, true, 2048, Cut::F2F4, 0, 2048, 12, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, true, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    {0x0463, 0x90, true, 1536, Cut::F2F4, 0, 0, 0, kF4Size, true, kF4Uid, 8, 0xFF, 4, false, true, false, 0,
     0x1FFF0000, 0x1FFF7800, 0, 4.0},
    // F7: RM0385/RM0410 (single bank: 32, 128, 256 KB sectors), RM0431 (16, 64, 128 KB).
    {0x0449, 0x90, true, 1024, Cut::F7, 0, 0, 0, 0x1FF0F442, true, 0x1FF0F420, 8, 0xFF, 4, false, true, false, 0,
     0x1FF00000, 0x1FF0EDC0, 0, 4.0},
    {0x0451, 0x93, true, 2048, Cut::F7, 0, 0, 0, 0x1FF0F442, true, 0x1FF0F420, 8, 0xFF, 4, false, true, false, 0,
     0x1FF00000, 0x1FF0EDC0, 0, 4.0},
    {0x0452, 0x90, true, 512, Cut::F2F4, 0, 0, 0, 0x1FF07A22, true, 0x1FF07A10, 8, 0xFF, 4, false, true, false, 0,
     0x1FF00000, 0x1FF0EDC0, 0, 4.0},
    // G0: RM0444/RM0454 (2 KB pages, 64-bit words with ECC; G0B/G0C bank 2 from page 256).
    {0x0466, 0xB0, true, 64, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF2000, 22, 10.0},
    {0x0456, 0xB2, true, 64, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF2000, 22, 10.0},
    {0x0460, 0xB2, true, 128, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0467, 0x92, true, 512, Cut::Pages, 2048, 256, 256, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, true, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    // G4: RM0440 (2 KB pages; category 3 two banks while DBANK is set, bank 2 from page 256).
    {0x0468, 0xD4, true, 128, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0469, 0xD5, true, 512, Cut::Pages, 2048, 1, 256, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, true,
     0x1FFF7800, 0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0479, 0xD2, true, 512, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    // H5: RM0492/RM0481 (two banks of 8 KB sectors, 128-bit words; bank 2 from 8 / 128).
    {0x0474, 0xE3, true, 128, Cut::S8K, 0, 1, 8, 0x08FFF80C, true, 0x08FFF800, 8, 0xFF, 16, true, true, true, 0,
     0x0BF87000, 0x0BF90000, 2, 1.0},
    {0x0478, 0xE4, true, 512, Cut::S8K, 0, 1, 32, 0x08FFF80C, true, 0x08FFF800, 8, 0xFF, 16, true, true, true, 0,
     0x0BF87000, 0x0BF90000, 2, 1.0},
    {0x0484, 0xE3, true, 2048, Cut::S8K, 0, 1, 128, 0x08FFF80C, true, 0x08FFF800, 8, 0xFF, 16, true, true, true, 0,
     0x0BF87000, 0x0BF90000, 2, 1.0},
    // H7: RM0433 (two banks of eight 128 KB sectors, 256-bit words), RM0455 (two banks of
    // 8 KB sectors, 128-bit words, bank 2 from 128), RM0468 (one bank of 128 KB sectors).
    {0x0450, 0x90, true, 2048, Cut::S128K, 0, 1024, 8, 0x1FF1E880, true, 0x1FF1E800, 8, 0xFF, 32, true, true, true,
     0, 0x1FF00000, 0x1FF20000, 1000, 11.0 / 32},
    {0x0480, 0x92, true, 2048, Cut::S8K, 0, 1024, 128, 0x08FFF80C, true, 0x08FFF800, 8, 0xFF, 16, true, true, true,
     0, 0x1FF00000, 0x1FF10000, 2, 1.0},
    {0x0483, 0x91, true, 1024, Cut::S128K, 0, 0, 0, 0x1FF1E880, true, 0x1FF1E800, 8, 0xFF, 32, true, true, false, 0,
     0x1FF00000, 0x1FF20000, 1000, 11.0 / 32},
    // L0: RM0451/RM0377/RM0367/RM0376 (128-byte pages, erased reads 0x00, words).
    {0x0457, 0xC3, true, 16, Cut::Pages, 128, 0, 0, 0x1FF8007C, true, 0x1FF80050, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF01000, 3, 25.0},
    {0x0425, 0xC0, true, 32, Cut::Pages, 128, 0, 0, 0x1FF8007C, true, 0x1FF80050, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF01000, 3, 25.0},
    {0x0417, 0xC0, true, 64, Cut::Pages, 128, 0, 0, 0x1FF8007C, true, 0x1FF80050, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF01000, 3, 25.0},
    {0x0447, 0x41, true, 192, Cut::Pages, 128, 0, 0, 0x1FF8007C, true, 0x1FF80050, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF02000, 3, 25.0},
    // L1: RM0038 (256-byte pages, erased reads 0x00; F_SIZE by category, cat. 4 coded 0/1).
    {0x0416, 0x20, true, 128, Cut::Pages, 256, 0, 0, 0x1FF8004C, true, 0x1FF80050, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF01000, 3, 25.0},
    {0x0429, 0x20, true, 128, Cut::Pages, 256, 0, 0, 0x1FF8004C, true, 0x1FF80050, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF01000, 3, 25.0},
    {0x0427, 0x40, true, 256, Cut::Pages, 256, 0, 0, 0x1FF800CC, true, 0x1FF800D0, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF02000, 3, 25.0},
    {0x0436, 0x45, true, 384, Cut::Pages, 256, 0, 0, 0x1FF800CC, true, 0x1FF800D0, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF02000, 3, 25.0},
    {0x0437, 0x40, true, 512, Cut::Pages, 256, 0, 0, 0x1FF800CC, true, 0x1FF800D0, 0x14, 0x00, 4, true, false, false,
     0, 0x1FF00000, 0x1FF02000, 3, 25.0},
    // L4: RM0394/RM0351 (2 KB pages, 1 MB lines two banks, bank 2 from page 256), RM0432 (L4+:
    // 4 KB pages in two banks while DBANK is set). The L43x/L44x boot loader refuses to read
    // its F_SIZE register (reported on ST's community forum; RM0394 marks the area reserved).
    {0x0464, 0xD1, true, 128, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0435, 0xC1, true, 256, Cut::Pages, 2048, 0, 0, kG0Size, false, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0462, 0xD2, true, 512, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0415, 0xA3, true, 1024, Cut::Pages, 2048, 1, 256, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, true, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0461, 0x93, true, 1024, Cut::Pages, 2048, 1, 256, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, true, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0470, 0x95, true, 2048, Cut::Pages, 4096, 1, 256, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, true,
     0x1FFF7800, 0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0471, 0x90, true, 1024, Cut::Pages, 4096, 1, 256, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, true,
     0x1FFF7800, 0x1FFF0000, 0x1FFF7000, 22, 10.0},
    // L5: RM0438 (two banks of 2 KB pages while DBANK is set, bank 2 from page 128).
    {0x0472, 0x92, true, 512, Cut::Pages, 2048, 1, 128, 0x0BFA05E0, true, 0x0BFA0590, 8, 0xFF, 8, true, true, true,
     0x40022040, 0x0BF90000, 0x0BF98000, 22, 10.0},
    // U5: RM0456 (two banks of 8 KB pages, 128-bit words; bank 2 from page 128 or 256).
    {0x0455, 0xE2, true, 512, Cut::Pages, 8192, 1, 32, 0x0BFA07A0, true, 0x0BFA0700, 8, 0xFF, 16, true, true, true,
     0, 0x0BF90000, 0x0BFA0000, 2, 1.0},
    {0x0482, 0xE3, true, 2048, Cut::Pages, 8192, 1, 128, 0x0BFA07A0, true, 0x0BFA0700, 8, 0xFF, 16, true, true, true,
     0, 0x0BF90000, 0x0BFA0000, 2, 1.0},
    {0x0481, 0xE2, true, 4096, Cut::Pages, 8192, 1, 256, 0x0BFA07A0, true, 0x0BFA0700, 8, 0xFF, 16, true, true, true,
     0, 0x0BF90000, 0x0BFA0000, 2, 1.0},
    {0x0476, 0xE1, true, 4096, Cut::Pages, 8192, 1, 256, 0x0BFA07A0, true, 0x0BFA0700, 8, 0xFF, 16, true, true, true,
     0, 0x0BF90000, 0x0BFA0000, 2, 1.0},
    // WB: RM0434 (WB5x 4 KB pages), RM0473 (WB1x 2 KB pages); WL: RM0453 (2 KB pages).
    {0x0495, 0xD5, true, 1024, Cut::Pages, 4096, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0494, 0xB1, true, 320, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    {0x0497, 0xC4, true, 256, Cut::Pages, 2048, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    // WB30/WB35 (ID 0x496): RM0434 as the WB5x, 4 KB pages, up to 512 KB (a 7-bit PNB).
    {0x0496, 0xD5, true, 512, Cut::Pages, 4096, 0, 0, kG0Size, true, kG0Uid, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF7000, 22, 10.0},
    // WBA5: RM0493 (one bank of 8 KB pages, 128-bit words); system memory 0x0BF88000-0x0BF8FFFF
    // (CMSIS stm32wba55xx.h SYSTEM_FLASH_BASE_NS, FLASH_OTP_BASE).
    {0x0492, 0xE0, true, 1024, Cut::Pages, 8192, 0, 0, 0x0BF907A0, true, 0x0BF90700, 8, 0xFF, 16, true, true, false,
     0, 0x0BF88000, 0x0BF90000, 2, 1.0},
    // C0: RM0490 (2 KB pages, 64-bit words with ECC).
    {0x0443, 0xD0, true, 32, Cut::Pages, 2048, 0, 0, 0x1FFF75A0, true, 0x1FFF7550, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
    {0x0453, 0xD0, true, 32, Cut::Pages, 2048, 0, 0, 0x1FFF75A0, true, 0x1FFF7550, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
    {0x0493, 0xD0, true, 128, Cut::Pages, 2048, 0, 0, 0x1FFF75A0, true, 0x1FFF7550, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
    {0x044C, 0xD0, true, 64, Cut::Pages, 2048, 0, 0, 0x1FFF75A0, true, 0x1FFF7550, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
    {0x044D, 0xD0, true, 256, Cut::Pages, 2048, 0, 0, 0x1FFF75A0, true, 0x1FFF7550, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
    // U0: RM0503 (2 KB pages, 64-bit words with ECC); the size register and unique ID per line.
    {0x0459, 0xD0, true, 64, Cut::Pages, 2048, 0, 0, 0x1FFF3EA0, true, 0x1FFF3E50, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
    {0x0489, 0xD0, true, 256, Cut::Pages, 2048, 0, 0, 0x1FFF6EA0, true, 0x1FFF6E50, 8, 0xFF, 8, true, true, false, 0,
     0x1FFF0000, 0x1FFF1800, 22, 10.0},
};

// Lines whose map an option bit selects (the reference manuals: RM0090
// 3.6.1, RM0386 3.6.1, RM0410 3.4.1, RM0444 3.4.1, RM0440 3.4.1, RM0432 3.4.1,
// RM0438 6.4.1): the option word's address and factory value, per flash size
// the bit that selects two banks, and the layouts of the two modes.
struct BankMode {
  uint16_t pid;
  uint32_t address;
  uint32_t factory;
  std::vector<std::pair<uint32_t, uint32_t>> bits;  // flash KB, bit
  bool dualWhenClear;
  Cut dualCut;
  uint32_t dualPage;
  uint32_t dualBank2First;
  Cut singleCut;
  uint32_t singlePage;
};

const BankMode kBankModes[] = {
    {0x0419, 0x1FFFC008, 0xFFFF3FFF, {{1024, 1u << 14}}, false, Cut::F2F4, 0, 12, Cut::F2F4, 0},
    {0x0434, 0x1FFFC008, 0xFFFF3FFF, {{1024, 1u << 14}}, false, Cut::F2F4, 0, 12, Cut::F2F4, 0},
    {0x0451, 0x1FFF0008, 0x0000FFFF, {{1024, 1u << 13}, {2048, 1u << 13}}, true, Cut::F2F4, 0, 12, Cut::F7, 0},
    {0x0467, 0x1FFF7800, 0xFFFFFEAA, {{256, 1u << 21}, {512, 1u << 21}}, false, Cut::Pages, 2048, 256, Cut::Pages, 2048},
    {0x0469, 0x1FFF7800, 0xFFEFF8AA, {{128, 1u << 22}, {256, 1u << 22}, {512, 1u << 22}}, false, Cut::Pages, 2048, 256,
     Cut::Pages, 4096},
    {0x0470, 0x1FF00000, 0xFFEFF8AA, {{2048, 1u << 22}, {1024, 1u << 21}}, false, Cut::Pages, 4096, 256, Cut::Pages, 8192},
    {0x0471, 0x1FF00000, 0xFFEFF8AA, {{1024, 1u << 22}, {512, 1u << 21}}, false, Cut::Pages, 4096, 256, Cut::Pages, 8192},
    {0x0472, 0x40022040, 0xFFEFF8AA, {{512, 1u << 22}, {256, 1u << 21}}, false, Cut::Pages, 2048, 128, Cut::Pages, 4096},
};

const BankMode* BankModeOf(uint16_t pid) {
  for (const BankMode& m : kBankModes)
    if (m.pid == pid) return &m;
  return nullptr;
}

// The option bytes a new part reads where the boot loader lets READ MEMORY
// reach them, 16 bytes an area (F7: 32). F0/F1/F3 (PM0075, RM0091, RM0316):
// each byte beside its complement, RDP level 0 (0xA5 on F1, 0xAA on the
// others), the rest erased. F2/F4 (RM0090): USER 0xEC and RDP 0xAA, nWRP
// 0x0FFF eight bytes on, reserved bytes read 0xFF; bank 2's nWRP at
// 0x1FFEC008 on the 2 MB lines. L0/L1 (RM0377, RM0038): RDP, USER and the
// write-protection words, each half beside its complement. G0/G4/L4/WB/WL/
// C0: FLASH_OPTR and its complement, then an erased PCROP start and its
// complement (WB5x/WB3x at 0x1FFF8000). H5, H7, L5, U5, U0 and WBA have
// none here.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> FactoryOptionBytes(uint16_t pid) {
  using Bytes = std::vector<uint8_t>;
  auto paired = [](uint8_t rdp) {
    Bytes b{rdp, static_cast<uint8_t>(~rdp)};
    for (int i = 0; i < 7; ++i) b.insert(b.end(), {0xFF, 0x00});
    return b;
  };
  auto optr = [](uint32_t word) {
    Bytes b;
    for (uint32_t w : {word, ~word, 0xFFFFFFFFu, 0u})
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return b;
  };
  const Bytes f4{0xEC, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes f4Bank2{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  switch (pid) {
    case 0x0412: case 0x0410: case 0x0414: case 0x0430: case 0x0418: case 0x0420: case 0x0428:
      return {{0x1FFFF800, paired(0xA5)}};
    case 0x0444: case 0x0445: case 0x0440: case 0x0448: case 0x0442:
    case 0x0422: case 0x0438: case 0x0439: case 0x0432: case 0x0446:
      return {{0x1FFFF800, paired(0xAA)}};
    case 0x0419: case 0x0434:
      return {{0x1FFFC000, f4}, {0x1FFEC000, f4Bank2}};
    case 0x0411: case 0x0413: case 0x0463: case 0x0423: case 0x0433: case 0x0458: case 0x0431: case 0x0441:
    case 0x0421:
      return {{0x1FFFC000, f4}};
    case 0x0449: case 0x0451: case 0x0452: {
      Bytes b{0xFC, 0xAA, 0x03, 0x55};
      for (int i = 0; i < 7; ++i) b.insert(b.end(), {0xFF, 0xFF, 0x00, 0x00});
      return {{0x1FFF0000, b}};
    }
    case 0x0457: case 0x0425: case 0x0417: case 0x0447:
      return {{0x1FF80000, {0xAA, 0x00, 0x55, 0xFF, 0x70, 0x80, 0x8F, 0x7F, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF}}};
    case 0x0416: case 0x0429: case 0x0427: case 0x0436: case 0x0437:
      return {{0x1FF80000, {0xAA, 0x00, 0x55, 0xFF, 0xF8, 0x00, 0x07, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF}}};
    case 0x0466: case 0x0456: case 0x0460: case 0x0467: case 0x0443: case 0x0453: case 0x0493: case 0x044C:
    case 0x044D:
      return {{0x1FFF7800, optr(0xFFFFFEAA)}};
    case 0x0468: case 0x0469: case 0x0479: case 0x0464: case 0x0435: case 0x0462: case 0x0415: case 0x0461:
    case 0x0497: case 0x0494:
      return {{0x1FFF7800, optr(0xFFEFF8AA)}};
    case 0x0470: case 0x0471:
      return {{0x1FF00000, optr(0xFFEFF8AA)}};
    case 0x0495: case 0x0496:
      return {{0x1FFF8000, optr(0x3DFFF1AA)}};
    default:
      return {};
  }
}

// H74x/H75x and H7A3/B3 keep bank 2 at 0x08100000 whatever their size
// (RM0433, RM0455 "Flash memory organization").
uint32_t Bank2OffsetKB(uint16_t pid) { return pid == 0x0450 || pid == 0x0480 ? 1024 : 0; }

// Sector sizes of one bank, KB, the last one repeating.
std::vector<uint32_t> SectorList(Cut cut) {
  switch (cut) {
    case Cut::F2F4: return {16, 16, 16, 16, 64, 128};
    case Cut::F7: return {32, 32, 32, 32, 128, 256};
    case Cut::S128K: return {128};
    case Cut::S8K: return {8};
    case Cut::Pages: break;
  }
  return {};
}

uint32_t SectorMs(uint32_t bytes) {  // typical x32 erase times of F2/F4/F7 sectors
  return bytes <= 16 * KB ? 250 : bytes <= 64 * KB ? 550 : bytes <= 128 * KB ? 1000 : 2000;
}

Stm32SimProfile Build(const Line& l, uint32_t flashKB, const uint32_t* optionWord = nullptr) {
  Stm32SimProfile p;
  p.productId = l.pid;
  p.bootloaderVersion = l.version;
  p.extendedErase = l.extended;
  const uint32_t flash = flashKB * KB;
  bool twoBanks = l.dualFromKB != 0 && flashKB >= l.dualFromKB;
  Cut cut = l.cut;
  uint32_t page = l.pageBytes;
  uint32_t bank2First = l.bank2First;
  const BankMode* mode = BankModeOf(l.pid);
  uint32_t option = l.option ? 0xFFEFF8AA : 0;  // factory options: DBANK (bit 22) set, RDP level 0
  if (mode) {
    option = optionWord ? *optionWord : mode->factory;
    for (const auto& [kb, bit] : mode->bits) {
      if (kb != flashKB) continue;
      twoBanks = ((option & bit) != 0) != mode->dualWhenClear;
      cut = twoBanks ? mode->dualCut : mode->singleCut;
      page = twoBanks ? mode->dualPage : mode->singlePage;
      bank2First = mode->dualBank2First;
    }
  }
  const uint32_t bank = twoBanks ? flash / 2 : flash;
  auto addBank = [&](uint32_t firstNumber) {
    const std::vector<uint32_t> sectors = SectorList(cut);
    uint32_t done = 0;
    for (uint32_t i = 0; done < bank; ++i) {
      uint32_t size = cut == Cut::Pages ? page : sectors[std::min<size_t>(i, sectors.size() - 1)] * KB;
      size = std::min(size, bank - done);
      p.eraseUnits.push_back(size);
      p.unitNumbers.push_back(firstNumber + i);
      p.eraseUnitMs.push_back(l.unitMs ? l.unitMs : SectorMs(size));
      done += size;
    }
  };
  addBank(0);
  if (twoBanks) {
    p.bank1Units = static_cast<uint32_t>(p.eraseUnits.size());
    addBank(bank2First ? bank2First : p.bank1Units);
    if (Bank2OffsetKB(l.pid) * KB > bank) p.bank2Offset = Bank2OffsetKB(l.pid) * KB;
  }
  p.flashSizeAddress = l.fsize;
  p.flashSizeReadable = l.fsizeReadable;
  p.systemMemoryStart = l.sysStart;
  p.systemMemoryEnd = l.sysEnd;
  p.uniqueIdAddress = l.uid;
  p.uniqueIdThirdWord = l.uidThird;
  p.optionAddress = mode ? mode->address : l.option;
  p.optionWord = option;
  p.optionBytes = FactoryOptionBytes(l.pid);
  p.erasedValue = l.erased;
  p.programBytes = l.program;
  p.programOnce = l.once;
  p.massErase = l.mass;
  p.bankErase = l.bank;
  p.writeUsPerByte = l.usPerByte;
  // L1 category 4 (RM0038 "Flash size register"): 0 stands for 384 KB, 1 for 256 KB.
  if (l.pid == 0x0436) p.flashSizeValue = flashKB >= 384 ? 0 : 1;
  return p;
}

}  // namespace

uint32_t Stm32SimProfile::FlashBytes() const {
  return std::accumulate(eraseUnits.begin(), eraseUnits.end(), uint32_t{0});
}

uint32_t Stm32SimProfile::SpanBytes() const {
  if (!bank2Offset || !bank1Units) return FlashBytes();
  return bank2Offset + std::accumulate(eraseUnits.begin() + bank1Units, eraseUnits.end(), uint32_t{0});
}

std::vector<uint16_t> Stm32SimProfile::Products() {
  std::vector<uint16_t> ids;
  for (const Line& l : kLines) ids.push_back(l.pid);
  return ids;
}

Stm32SimProfile Stm32SimProfile::ForProduct(uint16_t productId, uint32_t flashKB) {
  for (const Line& l : kLines)
    if (l.pid == productId) return Build(l, flashKB);
  Stm32SimProfile p = Build(kLines[7], flashKB);  // F1 high density's facts
  p.productId = productId;
  return p;
}

Stm32SimProfile Stm32SimProfile::ForProduct(uint16_t productId, uint32_t flashKB, uint32_t optionWord) {
  for (const Line& l : kLines)
    if (l.pid == productId) return Build(l, flashKB, &optionWord);
  return ForProduct(productId, flashKB);
}

Stm32SimProfile Stm32SimProfile::ForProduct(uint16_t productId) {
  for (const Line& l : kLines)
    if (l.pid == productId) return Build(l, l.flashKB);
  return ForProduct(productId, 512);
}

Stm32Sim::Stm32Sim(int masterFd, Stm32SimProfile profile, Stm32SimOptions options)
    : profile_(std::move(profile)), options_(options), link_(masterFd, options.link) {
  flash_.assign(profile_.SpanBytes(), profile_.erasedValue);
  for (uint32_t i = 0, at = 0; i < profile_.eraseUnits.size(); at += profile_.eraseUnits[i++]) {
    if (profile_.bank2Offset && i == profile_.bank1Units && i) at = profile_.bank2Offset;
    unitStarts_.push_back(at);
  }
  programmed_.assign(flash_.size() / std::max<uint32_t>(profile_.programBytes, 1) + 1, false);
  readProtected_ = profile_.readProtected;
  writeProtected_ = profile_.writeProtected;
  thread_ = std::thread([this] { Run(); });
}

Stm32Sim::~Stm32Sim() { Stop(); }

void Stm32Sim::Stop() {
  stop_ = true;
  link_.Stop();  // wakes a thread waiting for a byte
  if (thread_.joinable()) thread_.join();
}

void Stm32Sim::Reset() {
  reset_ = true;
  link_.DiscardInput();
}

void Stm32Sim::StartProgram() {
  toProgram_ = true;
  Reset();
}

void Stm32Sim::ProgramStarted() {
  if (options_.firstOutput.empty()) return;
  // Clock set-up and the program's own UART initialisation.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  link_.Send(options_.firstOutput);
}

std::vector<uint8_t> Stm32Sim::Flash(uint32_t offset, uint32_t length) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (offset >= flash_.size()) return {};
  length = std::min<uint32_t>(length, static_cast<uint32_t>(flash_.size()) - offset);
  return std::vector<uint8_t>(flash_.begin() + offset, flash_.begin() + offset + length);
}

std::vector<uint8_t> Stm32Sim::EraseFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eraseFrames_.empty() ? std::vector<uint8_t>{} : eraseFrames_.back();
}

std::vector<std::vector<uint8_t>> Stm32Sim::EraseFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eraseFrames_;
}

std::vector<uint64_t> Stm32Sim::EraseFrameMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eraseFrameMs_;
}

std::vector<uint32_t> Stm32Sim::ErasedUnits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return erasedUnits_;
}

bool Stm32Sim::writeProtected(uint32_t unit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writeProtected_.count(unit) != 0;
}

void Stm32Sim::Preload(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < bytes.size() && offset + i < flash_.size(); ++i) flash_[offset + i] = bytes[i];
}

std::string Stm32Sim::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

void Stm32Sim::Complain(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failure_.empty()) failure_ = what;
}

void Stm32Sim::SelfReset() {
  // After an option change the part restarts; with BOOT0 still high it is
  // in its boot loader again, waiting for 0x7F.
  synced_ = false;
  ++selfResets_;
}

bool Stm32Sim::Busy(uint64_t micros) {
  if (!options_.realisticTiming || micros == 0) return !stop_;
  busyUs_ += micros;
  // The chip is busy; what arrives meanwhile waits in the link.
  const int64_t until = SimLink::NowNs() + static_cast<int64_t>(micros) * 1000;
  while (!stop_) {
    const int64_t left = until - SimLink::NowNs();
    if (left <= 0) return true;
    std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<int64_t>(left, 20000000)));
  }
  return false;
}

bool Stm32Sim::ReadByte(uint8_t& b) {
  while (!stop_) {
    if (reset_) return false;
    if (link_.Read(b, 50)) {
      std::lock_guard<std::mutex> lock(mutex_);
      wire_.push_back(b);
      return true;
    }
  }
  return false;
}

std::vector<uint8_t> Stm32Sim::Wire() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wire_;
}

bool Stm32Sim::Reply(const std::vector<uint8_t>& bytes) {
  if (stop_) return false;
  if (options_.silent) return true;
  ++replies_;
  if (options_.stopAfterReplies >= 0 && replies_ > options_.stopAfterReplies) return true;
  link_.Send(bytes);
  return true;
}

void Stm32Sim::Run() {
  while (!stop_) {
    if (reset_.exchange(false)) {
      synced_ = false;
      runningFrom_ = 0;
      if (toProgram_.exchange(false)) {
        runningFrom_ = kFlashBase;
        ProgramStarted();
      }
    }
    uint8_t b = 0;
    if (!ReadByte(b)) continue;
    if (runningFrom_ != 0) continue;  // the program runs; it does not speak this protocol
    if (!options_.application.empty()) {  // BOOT0 low: the user's program talks back
      link_.Send(std::vector<uint8_t>(options_.application.begin(), options_.application.end()));
      continue;
    }
    // Until synchronised, the boot loader listens for 0x7F only (it measures
    // the baud rate on it); anything else is line noise to it.
    if (!synced_) {
      if (b == 0x7F && !options_.silent) {
        synced_ = true;
        if (options_.syncReplyDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.syncReplyDelayMs));
        Reply({kAck});
      }
      continue;
    }
    // Synchronised: this byte is a command code, the next its complement.
    const uint8_t code = b;
    uint8_t complement = 0;
    if (!ReadByte(complement)) continue;
    if (code == 0x7F && complement == 0x7F) {
      // Two synchronisation bytes of a host that found the part listening.
      ++straySyncs_;
      Reply({kNack});
      continue;
    }
    if (code == 0x7F || complement == 0x7F) Complain("synchronisation byte read as part of a command");
    if (static_cast<uint8_t>(code ^ complement) != 0xFF) {
      Complain("bad command complement");
      Reply({kNack});
      continue;
    }
    if (options_.nackCommand == code) {
      Reply({kNack});
      continue;
    }
    // Read-out protection: only these still work.
    if (readProtected_ && code != 0x00 && code != 0x01 && code != 0x02 && code != 0x92) {
      Reply({kNack});
      continue;
    }
    bool ok = true;
    switch (code) {
      case 0x00: ok = HandleGet(); break;
      case 0x01: ok = HandleGetVersion(); break;
      case 0x02: ok = HandleGetId(); break;
      case 0x11: ok = HandleReadMemory(); break;
      case 0x21: ok = HandleGo(); break;
      case 0x31: ok = HandleWrite(); break;
      case 0x43:
        ok = profile_.extendedErase ? Reply({kNack}) : HandleErase();
        break;
      case 0x44:
        ok = profile_.extendedErase ? HandleExtendedErase() : Reply({kNack});
        break;
      case 0x63: ok = HandleWriteProtect(); break;
      case 0x73:
      case 0x82:
      case 0x92: ok = HandleProtection(code); break;
      default:
        Complain("unknown command");
        ok = Reply({kNack});
        break;
    }
    if (!ok) continue;
    if (options_.hangUpAfterWrites >= 0 && blocksWritten_ >= options_.hangUpAfterWrites) {
      hungUp_ = true;  // the test closes the line; this side says nothing more
      while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

bool Stm32Sim::HandleGet() {
  const uint8_t erase = profile_.extendedErase ? 0x44 : 0x43;
  std::vector<uint8_t> cmds{0x00, 0x01, 0x02, 0x11, 0x21, 0x31, erase, 0x63, 0x73, 0x82, 0x92};
  for (uint8_t c : profile_.extraCommands) cmds.push_back(c);
  std::vector<uint8_t> reply;
  reply.reserve(cmds.size() + 4);
  reply.push_back(kAck);
  reply.push_back(static_cast<uint8_t>(cmds.size()));
  reply.push_back(profile_.bootloaderVersion);
  for (uint8_t c : cmds) reply.push_back(c);
  reply.push_back(kAck);
  return Reply(reply);
}

bool Stm32Sim::HandleGetVersion() {
  return Reply({kAck, profile_.bootloaderVersion, 0x00, 0x00, kAck});
}

bool Stm32Sim::HandleGetId() {
  return Reply({kAck, 0x01, static_cast<uint8_t>(profile_.productId >> 8),
                static_cast<uint8_t>(profile_.productId), kAck});
}

bool Stm32Sim::Readable(uint32_t address, uint32_t count) const {
  const uint64_t end = uint64_t{address} + count;
  auto within = [&](uint64_t from, uint64_t to) { return address >= from && end <= to; };
  if (address >= kFlashBase && InFlash(address - kFlashBase, count)) return true;
  if (within(profile_.systemMemoryStart, profile_.systemMemoryEnd)) return true;
  if (profile_.flashSizeReadable && within(profile_.flashSizeAddress, uint64_t{profile_.flashSizeAddress} + 4))
    return true;
  if (profile_.uniqueIdAddress &&
      within(profile_.uniqueIdAddress, uint64_t{profile_.uniqueIdAddress} + profile_.uniqueIdThirdWord + 4))
    return true;
  for (const auto& [at, bytes] : profile_.optionBytes)
    if (within(at, uint64_t{at} + bytes.size())) return true;
  return profile_.optionAddress && within(profile_.optionAddress, uint64_t{profile_.optionAddress} + 4);
}

uint8_t Stm32Sim::ReadMemory(uint32_t address) const {
  const uint32_t kb = profile_.FlashBytes() / 1024;
  const uint16_t size = profile_.flashSizeValue >= 0 ? static_cast<uint16_t>(profile_.flashSizeValue) : static_cast<uint16_t>(kb);
  if (profile_.flashSizeReadable && address == profile_.flashSizeAddress) return static_cast<uint8_t>(size);
  if (profile_.flashSizeReadable && address == profile_.flashSizeAddress + 1) return static_cast<uint8_t>(size >> 8);
  if (address >= kFlashBase && address - kFlashBase < flash_.size()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_[address - kFlashBase];
  }
  if (profile_.optionAddress && address - profile_.optionAddress < 4)
    return static_cast<uint8_t>(profile_.optionWord >> (8 * (address - profile_.optionAddress)));
  for (const auto& [at, bytes] : profile_.optionBytes)
    if (address - at < bytes.size()) return bytes[address - at];
  if (profile_.uniqueIdAddress && address - profile_.uniqueIdAddress < profile_.uniqueIdThirdWord + 4) {
    // A made-up ID of the product, one byte pattern per address.
    return static_cast<uint8_t>(0x30 + (address - profile_.uniqueIdAddress) * 7 + profile_.productId);
  }
  // Other system memory: code, which says nothing of the part.
  return static_cast<uint8_t>((address * 2654435761u) >> 24);
}

uint32_t Stm32Sim::UnitStart(uint32_t index) const { return unitStarts_[index]; }

bool Stm32Sim::InFlash(uint32_t offset, uint32_t count) const {
  if (uint64_t{offset} + count > flash_.size()) return false;
  if (!profile_.bank2Offset || !profile_.bank1Units) return true;
  // Between the banks there is no flash.
  const uint32_t holeStart = unitStarts_[profile_.bank1Units - 1] + profile_.eraseUnits[profile_.bank1Units - 1];
  return uint64_t{offset} + count <= holeStart || offset >= profile_.bank2Offset;
}

int Stm32Sim::UnitOfNumber(uint32_t number) const {
  for (size_t i = 0; i < profile_.eraseUnits.size(); ++i) {
    const uint32_t n = profile_.unitNumbers.empty() ? static_cast<uint32_t>(i) : profile_.unitNumbers[i];
    if (n == number) return static_cast<int>(i);
  }
  return -1;
}

int Stm32Sim::UnitHolding(uint32_t offset) const {
  if (offset >= flash_.size()) return -1;
  const auto after = std::upper_bound(unitStarts_.begin(), unitStarts_.end(), offset);
  return static_cast<int>(after - unitStarts_.begin()) - 1;
}

bool Stm32Sim::HandleReadMemory() {
  if (!Reply({kAck})) return false;
  uint8_t a[5];
  for (auto& v : a)
    if (!ReadByte(v)) return false;
  const uint32_t address = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  if ((a[0] ^ a[1] ^ a[2] ^ a[3]) != a[4]) {
    Complain("read memory: bad address checksum");
    return Reply({kNack});
  }
  if (!Readable(address, 1)) return Reply({kNack});  // an area this boot loader does not read
  if (!Reply({kAck})) return false;
  uint8_t n = 0, nc = 0;
  if (!ReadByte(n) || !ReadByte(nc)) return false;
  if (static_cast<uint8_t>(n ^ nc) != 0xFF || !Readable(address, n + 1u)) {
    Complain("read memory: bad count");
    return Reply({kNack});
  }
  std::vector<uint8_t> out{kAck};
  for (uint32_t i = 0; i <= n; ++i) out.push_back(ReadMemory(address + i));
  return Reply(out);
}

bool Stm32Sim::HandleGo() {
  if (!Reply({kAck})) return false;
  uint8_t a[5];
  for (auto& v : a)
    if (!ReadByte(v)) return false;
  const uint32_t address = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  const bool inFlash = address >= kFlashBase && address - kFlashBase < flash_.size();
  const bool inRam = address >= 0x20000000 && address < 0x20100000;
  if ((a[0] ^ a[1] ^ a[2] ^ a[3]) != a[4] || (!inFlash && !inRam)) {
    Complain("go: bad address");
    return Reply({kNack});
  }
  // The program is running by the time the host sees the ACK: a test that
  // looks right after it must find it so.
  runningFrom_ = address;
  synced_ = false;
  if (!Reply({kAck})) return false;
  ProgramStarted();
  return true;
}

bool Stm32Sim::EraseUnit(uint32_t index) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // No error is returned for a write-protected unit (AN3155); it keeps its data.
    if (writeProtected_.count(index)) return !stop_;
    const uint32_t start = UnitStart(index);
    const int stuck = options_.stuckCell;
    const uint8_t kept = stuck >= 0 && static_cast<size_t>(stuck) < flash_.size() ? flash_[static_cast<size_t>(stuck)] : 0;
    std::fill(flash_.begin() + start, flash_.begin() + start + profile_.eraseUnits[index], profile_.erasedValue);
    const uint32_t unit = std::max<uint32_t>(profile_.programBytes, 1);
    std::fill(programmed_.begin() + start / unit, programmed_.begin() + (start + profile_.eraseUnits[index]) / unit, false);
    if (stuck >= 0 && static_cast<uint32_t>(stuck) - start < profile_.eraseUnits[index])
      flash_[static_cast<size_t>(stuck)] = kept;  // a cell that no longer erases
    erasedUnits_.push_back(index);
  }
  const uint32_t ms = profile_.eraseUnitMs.size() > index ? profile_.eraseUnitMs[index] : 0;
  frameMs_ += ms;
  return Busy(uint64_t{ms} * 1000);
}

void Stm32Sim::FrameErased() {
  ++erases_;
  if (!options_.chargeEraseTime) return;
  std::lock_guard<std::mutex> lock(mutex_);
  eraseFrameMs_.push_back(frameMs_);
}

bool Stm32Sim::EraseAll() {
  for (uint32_t i = 0; i < profile_.eraseUnits.size(); ++i)
    if (!EraseUnit(i)) return false;
  return true;
}

bool Stm32Sim::HandleErase() {
  frameMs_ = 0;
  if (!Reply({kAck})) return false;
  std::vector<uint8_t> frame;
  uint8_t n = 0;
  if (!ReadByte(n)) return false;
  frame.push_back(n);
  const int items = n == 0xFF ? 0 : n + 1;  // 0xFF: global erase
  for (int i = 0; i <= items; ++i) {  // pages, then the checksum
    uint8_t v = 0;
    if (!ReadByte(v)) return false;
    frame.push_back(v);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    eraseFrames_.push_back(frame);
  }
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
  if (n == 0xFF) x = 0xFF ^ 0xFF;  // global erase: N and checksum 0x00
  if (x != frame.back()) {
    Complain("erase: bad checksum");
    return Reply({kNack});
  }
  if (n == 0xFF) {
    if (!profile_.massErase) return Reply({kNack});
    if (!EraseAll()) return false;
    FrameErased();
    return Reply({kAck});
  }
  std::vector<int> units;
  for (int i = 0; i < items; ++i) {
    const int u = UnitOfNumber(frame[1 + i]);
    if (u < 0) {
      Complain("erase: no such page");
      return Reply({kNack});
    }
    units.push_back(u);
  }
  for (int u : units)
    if (!EraseUnit(static_cast<uint32_t>(u))) return false;
  FrameErased();
  return Reply({kAck});
}

bool Stm32Sim::HandleExtendedErase() {
  frameMs_ = 0;
  if (!Reply({kAck})) return false;
  std::vector<uint8_t> frame;
  uint8_t hi = 0, lo = 0;
  if (!ReadByte(hi) || !ReadByte(lo)) return false;
  frame = {hi, lo};
  const uint16_t n = static_cast<uint16_t>((hi << 8) | lo);
  const bool special = n >= 0xFFF0;  // mass or bank erase
  const int items = special ? 0 : n + 1;
  for (int i = 0; i < 2 * items + 1; ++i) {
    uint8_t v = 0;
    if (!ReadByte(v)) return false;
    frame.push_back(v);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    eraseFrames_.push_back(frame);
  }
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
  if (x != frame.back() || (special && n < 0xFFFD)) {
    Complain("extended erase: bad frame");
    return Reply({kNack});
  }
  std::vector<uint32_t> units;
  const uint32_t all = static_cast<uint32_t>(profile_.eraseUnits.size());
  const uint32_t bank1 = profile_.bank1Units ? profile_.bank1Units : all;
  if (n == 0xFFFF) {
    if (!profile_.massErase) return Reply({kNack});
    for (uint32_t i = 0; i < all; ++i) units.push_back(i);
  } else if (special) {
    if (!profile_.bankErase) return Reply({kNack});
    const bool first = n == 0xFFFE;
    for (uint32_t i = first ? 0 : bank1; i < (first ? bank1 : all); ++i) units.push_back(i);
  } else {
    for (int i = 0; i < items; ++i) {
      const uint32_t s = (uint32_t{frame[2 + 2 * i]} << 8) | frame[3 + 2 * i];
      const int u = UnitOfNumber(s);
      if (u < 0) {
        Complain("extended erase: no such page or sector");
        return Reply({kNack});
      }
      units.push_back(static_cast<uint32_t>(u));
    }
  }
  for (uint32_t u : units)
    if (!EraseUnit(u)) return false;
  FrameErased();
  return Reply({kAck});
}

bool Stm32Sim::HandleWrite() {
  if (!Reply({kAck})) return false;
  uint8_t a[5];
  for (auto& v : a)
    if (!ReadByte(v)) return false;
  const uint32_t address = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  if ((a[0] ^ a[1] ^ a[2] ^ a[3]) != a[4] || address < kFlashBase || !InFlash(address - kFlashBase, 1)) {
    Complain("write: bad address");
    return Reply({kNack});
  }
  if (!Reply({kAck})) return false;
  uint8_t n = 0;
  if (!ReadByte(n)) return false;
  std::vector<uint8_t> data(n + 1u);
  uint8_t x = n;
  for (auto& v : data) {
    if (!ReadByte(v)) return false;
    x ^= v;
  }
  uint8_t sum = 0;
  if (!ReadByte(sum)) return false;
  const uint32_t offset = address - kFlashBase;
  if (x != sum) {
    Complain("write: bad checksum");
    return Reply({kNack});
  }
  // Whole words at word addresses (AN3155); a flash word of ECC flash that
  // the data only partly fills is padded and programmed whole.
  const uint32_t unit = std::max<uint32_t>(profile_.programBytes, 1);
  if (data.size() % 4 != 0 || offset % 4 != 0) {
    Complain("write: not whole words");
    return Reply({kNack});
  }
  if (!InFlash(offset, static_cast<uint32_t>(data.size()))) {
    Complain("write: past the end of flash");
    return Reply({kNack});
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writeProtected_.empty()) {
      const int first = UnitHolding(offset);
      const int last = UnitHolding(offset + static_cast<uint32_t>(data.size()) - 1);
      for (int u = first; u <= last; ++u)
        if (writeProtected_.count(static_cast<uint32_t>(u))) return Reply({kNack});
    }
    if (profile_.programOnce) {
      // ECC (and the half-word rule of the older lines): a unit takes one
      // programming after its erase; a write to one that is not erased, or
      // was programmed already, is refused whole.
      const uint32_t first = offset / unit, last = (offset + static_cast<uint32_t>(data.size()) - 1) / unit;
      for (uint32_t u = first; u <= last; ++u) {
        bool erased = !programmed_[u];
        for (uint32_t at = u * unit; erased && at < (u + 1) * unit; ++at) erased = flash_[at] == profile_.erasedValue;
        if (!erased) {
          if (failure_.empty()) failure_ = "write: unit not erased";
          return Reply({kNack});
        }
      }
      for (size_t i = 0; i < data.size(); ++i) flash_[offset + i] = data[i];
      for (uint32_t u = first; u <= last; ++u) programmed_[u] = true;
    } else {
      // Programming only clears bits: a byte written over flash that was
      // not erased keeps the old zeros.
      bool erased = true;
      for (size_t i = 0; i < data.size(); ++i) {
        uint8_t& cell = flash_[offset + i];
        erased = erased && cell == 0xFF;
        cell &= data[i];
      }
      if (!erased && failure_.empty()) failure_ = "write: flash not erased";
    }
    if (options_.weakCell >= 0 && static_cast<uint32_t>(options_.weakCell) - offset < data.size())
      flash_[static_cast<size_t>(options_.weakCell)] ^= 0x04;
  }
  if (!Busy(static_cast<uint64_t>(profile_.writeUsPerByte * static_cast<double>(data.size())))) return false;
  ++blocksWritten_;
  return Reply({kAck});
}

bool Stm32Sim::HandleWriteProtect() {
  if (!Reply({kAck})) return false;
  uint8_t n = 0;
  if (!ReadByte(n)) return false;
  std::vector<uint8_t> codes(n + 1u);
  uint8_t x = n;
  for (auto& v : codes) {
    if (!ReadByte(v)) return false;
    x ^= v;
  }
  uint8_t sum = 0;
  if (!ReadByte(sum)) return false;
  if (x != sum) {
    Complain("write protect: bad checksum");
    return Reply({kNack});
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint8_t c : codes) {
      const int u = UnitOfNumber(c);
      if (u >= 0) writeProtected_.insert(static_cast<uint32_t>(u));
    }
  }
  if (!Reply({kAck})) return false;
  SelfReset();
  return true;
}

bool Stm32Sim::HandleProtection(uint8_t code) {
  if (!Reply({kAck})) return false;
  if (code == 0x73) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeProtected_.clear();
  } else if (code == 0x82) {
    readProtected_ = true;
  } else {
    // Leaving read-out protection erases the whole flash first.
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writeProtected_.clear();
    }
    if (!EraseAll()) return false;
    readProtected_ = false;
  }
  if (!Reply({kAck})) return false;
  SelfReset();
  return true;
}
