// A simulated NXP ISP boot loader (LPC2xxx, LPC17xx, LPC11xx/11Uxx, LPC12xx,
// LPC13xx, LPC8xx) on the master side of a pseudo-terminal, behind the shared
// link model (line rate, USB adapter, replies cut into pieces): autobaud on
// "?", the "Synchronized" handshake, the crystal line, echo until "A 0",
// U/J/K/N, W with uuencoded lines and a checksum line after every 20 lines
// (or raw bytes on the lines that take binary), R with the same framing,
// P/E/C/I/G with the sector rules, M (compare) through what ISP maps, the RAM the ISP keeps for itself, code
// read protection, and decimal return codes. Fault options make it fall
// silent, ask for resends, answer a command with an error code, end its
// lines CR LF LF, cut one command's reply at a chosen point, hang up
// mid-download, or keep a bit of the flash from programming.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimLink.h"

class PtyPair;

struct LpcPartProfile {
  LpcPartProfile(std::string name, std::string id, std::vector<uint32_t> sectors, uint32_t ramSize,
                 std::string major = "2", std::string minor = "12")
      : Name(std::move(name)), PartId(std::move(id)), Sectors(std::move(sectors)), RamSize(ramSize),
        BootMajor(std::move(major)), BootMinor(std::move(minor)) {}

  std::string Name;
  std::string PartId;             // decimal, as the J command reports it
  std::vector<uint32_t> Sectors;  // sector sizes from sector 0
  uint32_t RamSize = 0;
  std::string BootMajor = "2";
  std::string BootMinor = "12";
  uint32_t RamBase = 0x40000000u;
  uint32_t RamFirst = 0x40000200u;   // below it the ISP keeps its own data
  uint32_t RamTopReserve = 288;      // flash commands and the ISP's stack
  bool Binary = false;               // W and R carry raw bytes
  std::vector<uint32_t> CopySizes{256, 512, 1024, 4096};
  uint32_t BootRemap = 64;           // bytes at 0 that read as boot code in ISP
  uint8_t Erased = 0xFF;             // what an erased flash byte reads
  std::vector<std::string> Serial;   // N's four words; empty: no N

  uint32_t FlashSize() const;
  uint32_t SectorStart(size_t sector) const;

  static LpcPartProfile LPC2131();  // 196353, 32 KB
  static LpcPartProfile LPC2132();  // 196369, 64 KB
  static LpcPartProfile LPC2136();  // 196387, 256 KB
  static LpcPartProfile LPC2138();  // 196389, 500 KB
  static LpcPartProfile LPC2294();  // 0x0501FF13, 8 KB / 64 KB sectors, 248 KB
  static LpcPartProfile LPC2104();  // 0xFFF0FF12, 15 x 8 KB
  static LpcPartProfile LPC2134();  // 0x0002FF12, 128 KB
  static LpcPartProfile LPC2148();  // 0x0402FF25, 500 KB
  static LpcPartProfile LPC2103();  // 0x0004FF11 (as the LPC2101/02), 32 KB of 4 KB sectors, 8 KB RAM
  static LpcPartProfile LPC2378();  // 0x1700FD25, 504 KB
  static LpcPartProfile LPC2468();  // 0x1600FF35, 504 KB
  static LpcPartProfile LPC1768();  // 0x26013F37, 512 KB, RAM at 0x10000000
  static LpcPartProfile LPC1788();  // 0x281D3F47, 512 KB
  static LpcPartProfile LPC1114();  // 0x2540102B (/302), 32 KB
  static LpcPartProfile LPC11C24(); // 0x1430102B, 32 KB
  static LpcPartProfile LPC11U35(); // 0x0001BC40, 64 KB
  static LpcPartProfile LPC1227();  // 0x3670002B, 128 KB
  static LpcPartProfile LPC1343();  // 0x3D00002B, 32 KB
  static LpcPartProfile LPC812();   // 0x00008122, 16 KB of 1 KB sectors, binary data
  static LpcPartProfile LPC845();   // 0x00008451, 64 KB, binary data
  // Parts whose facts were mended or added, each as its manual has it.
  static LpcPartProfile LPC2361();       // 0x1600F701, 64 KB, 8 KB RAM
  static LpcPartProfile LPC2387Early();  // 0x1700FF35, the first silicon's ID
  static LpcPartProfile LPC1114_203();   // 0x00040042, 32 KB, 4 KB RAM
  static LpcPartProfile LPC1114_323();   // 0x00040060, 48 KB, 8 KB RAM
  static LpcPartProfile LPC11U68();      // 0x00007C00, 24 x 4 KB then 5 x 32 KB
  static LpcPartProfile LPC4088();       // 0x481D3F47, the LPC17xx sectors
  static LpcPartProfile LPC1549();       // 0x00001549, RAM at 0x02000000, binary data
  static LpcPartProfile LPC802();        // 0x00008021, 16 KB, 2 KB RAM, binary data
  static LpcPartProfile LPC4357();       // two-word ID 0xA001C830 0x44, banked flash
  static LpcPartProfile Unknown();  // an ID no table holds
};

struct LpcSimOptions {
  bool Silent = false;            // reads everything, answers nothing
  int GarbledSyncs = 0;           // the first few '?' get a wrong answer
  std::string SyncNoise;          // sent ahead of "Synchronized" (line noise at power-up)
  int ResendEvery = 0;            // every Nth data block is answered "RESEND"
  char ErrorCommand = 0;          // command letter answered with ErrorCode ...
  int ErrorCode = 0;
  int ErrorCount = -1;            // ... this many times (-1: always)
  int HangUpAfterBlocks = -1;     // close the line after this many accepted blocks
  int EraseMs = 0;                // time one erase command takes
  int CopyMsPer256 = 0;           // programming time
  bool DoubleLineFeed = false;    // replies end their lines CR LF LF
  char SplitCommand = 0;          // the reply to this command letter ('?' too) ...
  size_t SplitAt = 0;             // ... leaves in two pieces, cut before this byte ...
  int SplitPauseMs = 0;           // ... this far apart
  int Crp = 0;                    // code read protection level 0 (none), 1 or 2
  int64_t StuckBit = -1;          // this flash address keeps bit 0x10 set when programmed
  int64_t FlipAfterCopy = -1;     // this flash address has bit 0 flipped once a copy programs it
  bool NoCompare = false;         // a boot code without M (INVALID_COMMAND)
  bool OkAfterBinary = false;     // acknowledges raw W data with "OK", as the manuals say
  std::vector<uint8_t> Earlier;   // the flash's contents before the session (erased after them)
  SimLinkOptions Link;            // the wire between the program and the chip
  std::string FirstOutput;        // what the program prints once it starts (after G or RunProgram)
};

class LpcSim {
 public:
  // Return codes of the boot loader.
  enum Code {
    CMD_SUCCESS = 0, INVALID_COMMAND = 1, SRC_ADDR_ERROR = 2, DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4, DST_ADDR_NOT_MAPPED = 5, COUNT_ERROR = 6, INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8, SECTOR_NOT_PREPARED = 9, COMPARE_ERROR = 10, BUSY = 11,
    PARAM_ERROR = 12, ADDR_ERROR = 13, ADDR_NOT_MAPPED = 14, CMD_LOCKED = 15, INVALID_CODE = 16,
    CODE_READ_PROTECTION_ENABLED = 19
  };

  LpcSim(PtyPair& pty, LpcPartProfile part, LpcSimOptions options = {});
  ~LpcSim();
  LpcSim(const LpcSim&) = delete;
  LpcSim& operator=(const LpcSim&) = delete;

  void Stop();
  // The board's reset button: back to autobaud, echo on, locked, nothing
  // prepared. Flash keeps its contents.
  void Reset() { resetRequested_ = true; }
  // The board reset with its ISP pin high: the program in flash starts.
  void RunProgram() { runRequested_ = true; }

  std::vector<uint8_t> Flash() const;
  // Whether the boot loader would start the program in flash: the eight
  // vector words add up to zero.
  bool VectorsValid() const;
  std::vector<std::string> Commands() const;  // command lines, in order
  std::string Crystal() const;                // the crystal line last heard
  const LpcPartProfile& Part() const { return part_; }

  std::atomic<int> BlocksAccepted{0};
  std::atomic<int> ResendsRequested{0};
  std::atomic<int> CopyOverwrites{0};  // bytes programmed over non-erased flash
  std::atomic<int> Syncs{0};
  std::atomic<int64_t> FlashBusyMs{0};  // erase and copy time spent
  std::atomic<bool> HungUp{false};
  std::atomic<bool> Started{false};     // G: the part left the boot loader
  std::atomic<int> ReadResends{0};      // R blocks the host asked for again
  SimLink& Link() { return link_; }

 private:
  enum Phase { Autobaud, SyncLine, CrystalLine, CommandLine, DataLines, RawData, ReadAnswer, Running };

  void Run();
  void Byte(uint8_t c);
  void Line(const std::string& line);
  void Command(const std::string& line);
  void DataLine(const std::string& line);
  void RawByte(uint8_t c);
  void SendReadBlock();
  void ReadAnswerLine(const std::string& line);
  uint8_t ReadByte(uint32_t address) const;
  void BlockAccepted();
  void Reply(const std::string& text, char command = 0);
  void ReplyCode(int code) { Reply(std::to_string(code) + "\r\n"); }
  bool SectorRange(uint32_t from, uint32_t count, size_t* first, size_t* last) const;
  void Busy(int ms);
  void ProgramStarted();

  PtyPair& pty_;
  LpcPartProfile part_;
  LpcSimOptions options_;
  SimLink link_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> resetRequested_{false};
  std::atomic<bool> runRequested_{false};

  mutable std::mutex mutex_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> ram_;
  std::vector<std::string> commands_;
  std::string crystal_;

  // Everything below is touched by the simulator's thread only.
  Phase phase_ = Autobaud;
  bool echo_ = true;
  bool unlocked_ = false;
  std::vector<bool> prepared_;
  std::string line_;
  int errorsGiven_ = 0;
  int blocksSeen_ = 0;
  // W in progress.
  uint32_t writeAddress_ = 0;
  uint32_t writeCount_ = 0;
  uint32_t written_ = 0;
  std::vector<uint8_t> block_;
  uint32_t blockSum_ = 0;
  int blockLines_ = 0;
  bool expectChecksum_ = false;
  // R in progress: what is left to send, the block awaiting OK.
  uint32_t readAddress_ = 0;
  uint32_t readLeft_ = 0;
  uint32_t readBlockBytes_ = 0;
};
