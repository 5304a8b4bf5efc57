// A simulated STM32 system-memory boot loader (USART protocol, ST AN3155)
// on the master side of a pseudo-terminal, behind the shared link model (line
// rate, USB adapter, replies cut apart). It runs in a thread of its own and
// answers the way the chip does: 0x7F synchronises; from then on every byte
// where a command is due is a command code and the next byte its complement
// (a further 0x7F included), answered by ACK (0x79) or NACK (0x1F). It stays
// synchronised until Reset(), across host sessions, as a part that was not
// reset does.
//
// Each product line is a profile of its own facts (kept apart from the
// engine's table, from the same documents): the erase units and the numbers
// the boot loader gives them (second banks included), the flash-size
// register and whether the boot loader lets it be read, the unique ID, what
// erased flash reads, and the programming rule of the flash: on parts with
// ECC a unit takes one programming after its erase and a write to a unit
// that is not erased is refused; elsewhere programming only clears bits, so
// flash written without its erase reads back wrong. Read-out protection
// refuses every command but GET, GET VERSION, GET ID and READOUT
// UNPROTECT, which erases everything; write protection keeps units from
// being erased or written; GO starts the program (the part says nothing
// more until it is reset).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/SimLink.h"

struct Stm32SimProfile {
  uint16_t productId = 0x0414;
  uint8_t bootloaderVersion = 0x22;
  bool extendedErase = false;           // EXTENDED ERASE (0x44) instead of ERASE (0x43)
  std::vector<uint32_t> eraseUnits;     // page or sector sizes in bytes, from the flash base
  std::vector<uint32_t> unitNumbers;    // the boot loader's number of each unit (empty: its index)
  uint32_t bank1Units = 0;              // units of bank 1 when there are two banks (bank erase)
  uint32_t bank2Offset = 0;             // where bank 2 starts when not right after bank 1 (H7 1 MB)
  uint32_t flashSizeAddress = 0;        // the F_SIZE register (16 bits, little end first)
  bool flashSizeReadable = true;        // the boot loader lets READ MEMORY reach it
  int flashSizeValue = -1;              // what it holds; -1: the flash in KB
  uint32_t systemMemoryStart = 0;       // readable boot-loader area
  uint32_t systemMemoryEnd = 0;
  uint32_t uniqueIdAddress = 0;         // 0: none
  uint32_t uniqueIdThirdWord = 8;       // where the ID's third word lies from its first
  uint32_t optionAddress = 0;           // a readable option word (bank mode), 0: none
  uint32_t optionWord = 0;
  // Option-byte areas READ MEMORY reaches, with the factory values (the
  // bank-mode word above, where it lies inside one, reads as set).
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> optionBytes;
  uint8_t erasedValue = 0xFF;
  uint32_t programBytes = 2;            // the flash programs this many bytes at a time ...
  bool programOnce = true;              // ... once after each erase (ECC), or bit by bit
  bool massErase = true;                // takes 0xFF / 0xFFFF
  bool bankErase = false;               // takes 0xFFFE / 0xFFFD
  std::vector<uint8_t> extraCommands;   // listed after the usual eleven by newer boot loaders
  bool readProtected = false;           // at start
  std::set<uint32_t> writeProtected;    // unit indices, at start
  // Realistic busy times (used when Stm32SimOptions::realisticTiming is set).
  std::vector<uint32_t> eraseUnitMs;    // per page/sector
  double writeUsPerByte = 0;

  uint32_t FlashBytes() const;
  // The address range the units span, holes between banks included.
  uint32_t SpanBytes() const;
  // Every product ID the simulator knows; unknown IDs get F1 high density's facts.
  static Stm32SimProfile ForProduct(uint16_t productId);
  static std::vector<uint16_t> Products();
  // The same part with another flash size (a smaller member of the line).
  static Stm32SimProfile ForProduct(uint16_t productId, uint32_t flashKB);
  // ... with its bank-mode option word set as given (lines whose map an
  // option selects; the map follows it).
  static Stm32SimProfile ForProduct(uint16_t productId, uint32_t flashKB, uint32_t optionWord);
};

struct Stm32SimOptions {
  SimLinkOptions link{0, 11};  // the wire: 8E1, 11 bits a byte
  bool realisticTiming = false;
  int syncReplyDelayMs = 0;    // a slow adapter: the first ACK comes late
  // Adds up each erase frame's busy time (the profile's eraseUnitMs) for
  // EraseFrameMs(), whether or not the time is waited out.
  bool chargeEraseTime = false;
  // Faults.
  bool silent = false;         // no boot loader: never answer
  int nackCommand = -1;        // answer this command code with NACK
  int stopAfterReplies = -1;   // go quiet after this many replies
  int hangUpAfterWrites = -1;  // leave the line after this many written blocks
  int weakCell = -1;           // flash offset that keeps one bit wrong when written
  int stuckCell = -1;          // flash offset that keeps its old value through an erase
  std::string application;     // not in the boot loader: the program answers each byte with this text
  // What the program in flash prints once it starts (after GO, or a reset
  // with BOOT0 low), a moment after it starts as a real one would.
  std::string firstOutput;
};

class Stm32Sim {
 public:
  static constexpr uint32_t kFlashBase = 0x08000000;
  static constexpr uint8_t kAck = 0x79;
  static constexpr uint8_t kNack = 0x1F;

  // masterFd stays owned by the caller (PtyPair); the thread starts at once.
  Stm32Sim(int masterFd, Stm32SimProfile profile, Stm32SimOptions options = {});
  ~Stm32Sim();
  Stm32Sim(const Stm32Sim&) = delete;
  Stm32Sim& operator=(const Stm32Sim&) = delete;

  // Stops and joins the thread (and the link's); safe to call twice.
  void Stop();
  // The part is reset: it waits for 0x7F again, and what has not yet been
  // read is lost.
  void Reset();
  // The part is reset with BOOT0 low: the program in flash starts.
  void StartProgram();
  SimLink& link() { return link_; }

  const Stm32SimProfile& profile() const { return profile_; }
  std::vector<uint8_t> Flash(uint32_t offset, uint32_t length) const;
  // The last erase frame exactly as received after the command's ACK
  // (count, page or sector numbers, checksum); empty if none came. All of
  // them in EraseFrames(); the units erased (indices from the flash base),
  // in order, in ErasedUnits().
  std::vector<uint8_t> EraseFrame() const;
  std::vector<std::vector<uint8_t>> EraseFrames() const;
  std::vector<uint32_t> ErasedUnits() const;
  // With chargeEraseTime: how long each erase frame kept the part busy, in order.
  std::vector<uint64_t> EraseFrameMs() const;
  // Sets flash bytes directly, e.g. to leave old firmware behind.
  void Preload(uint32_t offset, const std::vector<uint8_t>& bytes);

  int blocksWritten() const { return blocksWritten_.load(); }
  int erasesDone() const { return erases_.load(); }
  bool hungUp() const { return hungUp_.load(); }
  bool synchronised() const { return synced_.load(); }
  bool readProtected() const { return readProtected_.load(); }
  bool writeProtected(uint32_t unit) const;
  // Where GO started the program; 0 while the boot loader runs.
  uint32_t runningFrom() const { return runningFrom_.load(); }
  // Times the part reset itself (after a protection change).
  int selfResets() const { return selfResets_.load(); }
  // 0x7F bytes the part read where a command was due (a host finding a
  // part that was still synchronised).
  int strayCommandSyncs() const { return straySyncs_.load(); }
  uint64_t bytesReceived() const { return link_.BytesIn(); }
  uint64_t bytesSent() const { return link_.BytesOut(); }
  // Time spent erasing and programming (realistic timing only).
  uint64_t busyMicros() const { return busyUs_.load(); }
  std::string failure() const;  // first protocol complaint, for diagnostics
  // Every byte the part has read from the host, in order.
  std::vector<uint8_t> Wire() const;

 private:
  void Run();
  bool ReadByte(uint8_t& b);
  bool Reply(const std::vector<uint8_t>& bytes);
  bool Busy(uint64_t micros);
  void Complain(const std::string& what);
  void SelfReset();
  void ProgramStarted();
  bool Readable(uint32_t address, uint32_t count) const;
  uint8_t ReadMemory(uint32_t address) const;
  uint32_t UnitStart(uint32_t index) const;
  bool InFlash(uint32_t offset, uint32_t count) const;
  int UnitOfNumber(uint32_t number) const;
  int UnitHolding(uint32_t offset) const;
  bool HandleGet();
  bool HandleGetVersion();
  bool HandleGetId();
  bool HandleReadMemory();
  bool HandleGo();
  bool HandleErase();
  bool HandleExtendedErase();
  bool HandleWrite();
  bool HandleWriteProtect();
  bool HandleProtection(uint8_t code);
  bool EraseUnit(uint32_t index);
  bool EraseAll();
  void FrameErased();

  Stm32SimProfile profile_;
  Stm32SimOptions options_;
  SimLink link_;

  mutable std::mutex mutex_;
  std::vector<uint8_t> flash_;
  std::vector<uint32_t> unitStarts_;  // offset of each erase unit
  std::vector<bool> programmed_;      // programming units written since their erase
  std::vector<std::vector<uint8_t>> eraseFrames_;
  std::vector<uint32_t> erasedUnits_;
  std::vector<uint64_t> eraseFrameMs_;
  uint64_t frameMs_ = 0;              // the frame under way (the sim's thread only)
  std::set<uint32_t> writeProtected_;
  std::string failure_;
  std::vector<uint8_t> wire_;
  int replies_ = 0;

  std::atomic<bool> stop_{false};
  std::atomic<bool> synced_{false};
  std::atomic<bool> reset_{false};
  std::atomic<bool> toProgram_{false};  // the pending reset starts the program
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> readProtected_{false};
  std::atomic<uint32_t> runningFrom_{0};
  std::atomic<int> selfResets_{0};
  std::atomic<int> blocksWritten_{0};
  std::atomic<int> erases_{0};
  std::atomic<int> straySyncs_{0};
  std::atomic<uint64_t> busyUs_{0};
  std::thread thread_;
};
