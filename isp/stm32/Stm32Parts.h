// What the engine knows about each STM32 part, as data: one row per product
// ID the USART boot loader reports (ST AN2606), with the facts a session
// needs to erase exactly what an image covers and to run the other jobs:
// where the flash is and how large, where the part keeps its size, how the
// flash is cut into erase units (uniform pages, or sectors of several
// sizes; two banks and how the boot loader numbers the second one), what
// erased flash reads, which erase forms the boot loader takes, where the
// 96-bit unique ID is, and the programming rule of the flash.
//
// The engine branches on these fields, never on a part's name; adding a
// part is adding a row. The flash map of one part (its actual size and bank
// mode known) is worked out by Stm32FlashMap below.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

enum class Stm32Erase {
  Standard,  // ERASE 0x43: one-byte page numbers
  Extended,  // EXTENDED ERASE 0x44: two-byte page or sector numbers
  FromGet,   // whichever of the two the boot loader lists in its GET reply
};

// How the flash-size register reads.
enum class Stm32SizeCode : uint8_t {
  KBytes,    // the size in KB, least significant byte first
  L1Cat4,    // 0 means 384 KB, 1 means 256 KB (STM32L1 category 4, RM0038)
};

// A bank-mode option that changes the layout: the option word the boot
// loader lets READ MEMORY reach, and per flash size the bit that selects two
// banks there (DB1M on a 1 MB F42x, DB256K on a 256 KB L5, DBANK on the
// line's largest part ...). Sizes the option does not name keep the row's
// fixed rule (dualBankFromKB).
struct Stm32BankBit {
  uint32_t flashKB;
  uint32_t mask;
};
struct Stm32BankOption {
  uint32_t address = 0;                // 0: the layout never changes
  std::vector<Stm32BankBit> bits;
  bool dualWhenClear = false;          // nDBANK: a cleared bit means two banks
  // The layout in single-bank mode: uniform pages, or sectors (KB, the last
  // repeating). The row's own layout is the one of each bank in dual mode.
  uint32_t singlePageSize = 0;
  std::vector<uint32_t> singleSectorsKB;
  // A bit in the same word that swaps the banks' addresses (SWAP_BANK):
  // which bank a unit number then names is not known, so a part with it
  // set is not erased.
  uint32_t swapMask = 0;

  // The bit that decides the mode on a part of this size; 0: none does.
  uint32_t MaskFor(uint32_t flashKB) const {
    for (const Stm32BankBit& b : bits)
      if (b.flashKB == flashKB) return b.mask;
    return 0;
  }
  bool SaysDual(uint32_t flashKB, uint32_t word) const {
    const uint32_t mask = MaskFor(flashKB);
    return ((word & mask) != 0) != dualWhenClear;
  }
};

struct Stm32Part {
  uint16_t productId;       // 0 for the row that stands for every unknown ID
  const char* name;         // the parts of the line, as AN2606 names them
  const char* familyLine;   // the Memo1 line naming the family (UTF-8)
  Stm32Erase erase;
  uint32_t flashSizeAddress;   // the flash-size register; 0 = none readable
  uint8_t flashSizeReadBytes;  // bytes READ MEMORY asks for there
  Stm32SizeCode sizeCode;
  uint32_t minFlashKB;         // the smallest and largest flash of the line:
  uint32_t maxFlashKB;         // the largest is assumed when the part does not tell
  // Layout of one bank (or of the whole flash when single).
  uint32_t pageSize;                // uniform pages; 0 when sectorsKB describes the layout
  std::vector<uint32_t> sectorsKB;  // sector sizes from the bank's start, the last one repeating
  // Two banks: the flash is split in halves once it is at least this large
  // (0: one bank always). Bank 2's first unit has the number bank2FirstUnit
  // (0: it follows bank 1's last).
  uint32_t dualBankFromKB;
  uint32_t bank2FirstUnit;
  Stm32BankOption bankOption;
  uint8_t erasedValue;          // what erased flash reads
  uint32_t bootRamStart;        // RAM the boot loader keeps for itself: [start, end)
  uint32_t bootRamEnd;
  bool massErase;               // takes the global erase (0xFF / 0xFFFF)
  bool bankErase;               // takes the bank erases 0xFFFE / 0xFFFD
  uint32_t uniqueIdAddress;     // the 96-bit unique ID; 0 where the line has none
  uint32_t unitEraseMaxMs;      // the longest erase of one unit (data sheet)
  uint32_t massEraseMaxMs;      // ... of the whole flash
  uint8_t programBytes;         // the flash programs this many bytes at a time
  bool programOnce;             // ECC: such a unit takes one programming after its erase
  // Where the unique ID's third word lies from its first (L0/L1 keep it apart).
  uint8_t uniqueIdThirdWord = 8;
  // Where bank 2 starts, KB from the flash base, when the part does not put
  // it half-way (H74x/H75x and H7A3/B3 with 1 MB: at 1 MB, a hole between).
  uint32_t bank2OffsetKB = 0;

  static constexpr uint32_t kFlashBase = 0x08000000;
  bool Known() const { return productId != 0; }
  // A part the table names but whose flash it does not describe.
  bool Described() const { return maxFlashKB != 0; }
};

// What Info says of a line beyond its flash: the most SRAM a part of the
// line has, and where its option bytes can be read through READ MEMORY.
struct Stm32InfoFacts {
  uint32_t ramKB = 0;             // 0: not recorded
  uint32_t optionBytes = 0;       // first option-byte area; 0: none readable
  uint32_t optionBytes2 = 0;      // bank 2's area where the line has one
  uint8_t optionBytesLength = 0;  // bytes read at each
  bool optionsInRegisters = false;  // kept only in flash registers
};
const Stm32InfoFacts& Stm32InfoFor(const Stm32Part& part);

// Whether the number of bank 2's first unit is established for the boot
// loader on this part with this flash size (see the table's notes). Parts
// whose bank 2 numbers follow on from bank 1 always are.
bool Stm32Bank2NumbersSure(const Stm32Part& part, uint32_t flashKB);

// The row for a product ID; unknown IDs get the catch-all row.
const Stm32Part& Stm32PartFor(uint16_t productId);
const std::vector<Stm32Part>& Stm32PartTable();

// The flash size the register's two bytes give on this part, in KB; empty
// when they cannot be a size of the line (erased, zero, beyond the line).
std::optional<uint32_t> Stm32DecodeFlashSize(const Stm32Part& part, uint8_t lo, uint8_t hi);

// One erase unit: where it starts (offset from the flash base), its size
// and the number the boot loader knows it by.
struct Stm32Unit {
  uint32_t offset;
  uint32_t size;
  uint32_t number;
  // Whether the boot loader is known to take `number` for this unit. A
  // second bank's numbers are established only for some sizes of a line;
  // elsewhere they are the manual's numbering, kept for the messages, and
  // such a unit is never erased by number.
  bool numberSure = true;
};

// The erase units of one part whose flash size (and bank mode) is known.
class Stm32FlashMap {
 public:
  // optionWord: the bank-mode option word as read from the part; empty
  // where it was not read (then a size whose mode the option decides has
  // no units: nothing is erased by guesswork).
  Stm32FlashMap(const Stm32Part& part, uint32_t flashBytes, std::optional<uint32_t> optionWord = std::nullopt);

  uint32_t FlashBytes() const { return flashBytes_; }
  bool TwoBanks() const { return twoBanks_; }
  // Offset of bank 2's first unit; 0 with one bank.
  uint32_t Bank2Offset() const { return bank2Offset_; }
  uint32_t BankBytes() const { return twoBanks_ ? flashBytes_ / 2 : flashBytes_; }
  // Offset just past the last unit: the flash size, or more where bank 2
  // lies apart from bank 1.
  uint32_t SpanBytes() const { return units_.empty() ? 0 : units_.back().offset + units_.back().size; }
  // Whether every byte of [offset, offset + length) lies in a unit.
  bool Holds(uint32_t offset, uint32_t length) const;
  const std::vector<Stm32Unit>& Units() const { return units_; }
  // The units that hold any byte of [offset, offset + length); empty for
  // length 0 or a range outside flash.
  std::vector<Stm32Unit> Covering(uint32_t offset, uint32_t length) const;
  // The unit that starts at offset, if one does.
  const Stm32Unit* UnitAt(uint32_t offset) const;
  // The unit that holds offset (nullptr past the end).
  const Stm32Unit* UnitHolding(uint32_t offset) const;

 private:
  uint32_t flashBytes_;
  bool twoBanks_;
  uint32_t bank2Offset_ = 0;
  std::vector<Stm32Unit> units_;
};
