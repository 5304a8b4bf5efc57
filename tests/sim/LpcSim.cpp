#include "sim/LpcSim.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>

#include "support/Pty.h"

namespace {

std::vector<uint32_t> SmallSectorLayout(size_t count) {
  // 4 KB / 32 KB parts: eight 4 KB, fourteen 32 KB, five 4 KB sectors.
  std::vector<uint32_t> s;
  for (size_t i = 0; i < count; ++i) s.push_back(i < 8 || i >= 22 ? 4096 : 32768);
  return s;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

}  // namespace

uint32_t LpcPartProfile::FlashSize() const {
  uint32_t total = 0;
  for (uint32_t s : Sectors) total += s;
  return total;
}

uint32_t LpcPartProfile::SectorStart(size_t sector) const {
  uint32_t at = 0;
  for (size_t i = 0; i < sector && i < Sectors.size(); ++i) at += Sectors[i];
  return at;
}

// The parts as their user manuals describe them, written out here apart
// from the engine's table so that the two check each other.
namespace {

std::vector<uint32_t> Uniform(size_t count, uint32_t size) { return std::vector<uint32_t>(count, size); }

// Cortex-M parts: RAM at 0x10000000, the checksum at 0x1C, 512 bytes of boot
// ROM at address 0 while in ISP.
LpcPartProfile CortexM(std::string name, std::string id, std::vector<uint32_t> sectors, uint32_t ram,
                       uint32_t first) {
  LpcPartProfile p{std::move(name), std::move(id), std::move(sectors), ram};
  p.RamBase = 0x10000000u;
  p.RamFirst = first;
  p.BootRemap = 512;
  p.Serial = {"4294967295", "305419896", "19088743", "2882400018"};
  return p;
}

}  // namespace

LpcPartProfile LpcPartProfile::LPC2131() { return {"LPC2131", "196353", SmallSectorLayout(8), 8192}; }
LpcPartProfile LpcPartProfile::LPC2132() { return {"LPC2132", "196369", SmallSectorLayout(9), 16384}; }
LpcPartProfile LpcPartProfile::LPC2136() { return {"LPC2136", "196387", SmallSectorLayout(15), 32768}; }
LpcPartProfile LpcPartProfile::LPC2138() { return {"LPC2138", "196389", SmallSectorLayout(27), 32768}; }
// UM10114: the 256 KB LPC22xx parts, 8 x 8 KB, 2 x 64 KB, 7 x 8 KB.
LpcPartProfile LpcPartProfile::LPC2294() {
  std::vector<uint32_t> s;
  for (int i = 0; i < 17; ++i) s.push_back(i == 8 || i == 9 ? 65536 : 8192);
  LpcPartProfile p{"LPC2294", "84016915", s, 16384, "1", "65"};
  p.CopySizes = {512, 1024, 4096, 8192};
  return p;
}
// UM10275: 128 KB, 15 x 8 KB below the boot block.
LpcPartProfile LpcPartProfile::LPC2104() {
  LpcPartProfile p{"LPC2104", "4293984018", Uniform(15, 8192), 16384};
  p.CopySizes = {512, 1024, 4096, 8192};
  return p;
}
// UM10120, UM10139.
LpcPartProfile LpcPartProfile::LPC2134() { return {"LPC2134", "196370", SmallSectorLayout(11), 16384}; }
LpcPartProfile LpcPartProfile::LPC2148() { return {"LPC2148", "67305253", SmallSectorLayout(27), 32768}; }
// UM10161: eight 4 KB sectors, all of them the user's. The LPC2103 answers
// J as the LPC2101/02 do.
LpcPartProfile LpcPartProfile::LPC2103() { return {"LPC2101/02/03", "327441", Uniform(8, 4096), 8192}; }
// UM10211, UM10237: 504 KB below the boot block.
LpcPartProfile LpcPartProfile::LPC2378() { return {"LPC2378", "385940773", SmallSectorLayout(28), 32768}; }
LpcPartProfile LpcPartProfile::LPC2468() { return {"LPC2468", "369164085", SmallSectorLayout(28), 65536}; }
// UM10360 32.3.2.7: the ISP keeps 0x10000118..0x100001FF.
LpcPartProfile LpcPartProfile::LPC1768() {
  std::vector<uint32_t> s = Uniform(16, 4096);
  for (int i = 0; i < 14; ++i) s.push_back(32768);
  return CortexM("LPC1768", "637615927", s, 32768, 0x10000200u);
}
// UM10470: sectors as the LPC17xx.
LpcPartProfile LpcPartProfile::LPC1788() {
  LpcPartProfile p = LPC1768();
  p.Name = "LPC1788";
  p.PartId = "673005383";
  p.RamSize = 65536;
  return p;
}
// UM10398: the ISP keeps 0x1000017C..0x1000025B.
LpcPartProfile LpcPartProfile::LPC1114() { return CortexM("LPC1114", "624955435", Uniform(8, 4096), 8192, 0x10000300u); }
LpcPartProfile LpcPartProfile::LPC11C24() { return CortexM("LPC11C24", "338694187", Uniform(8, 4096), 8192, 0x10000300u); }
// UM10462.
LpcPartProfile LpcPartProfile::LPC11U35() { return CortexM("LPC11U35", "113728", Uniform(16, 4096), 8192, 0x10000300u); }
// UM10441.
LpcPartProfile LpcPartProfile::LPC1227() { return CortexM("LPC1227", "913309739", Uniform(32, 4096), 8192, 0x10000300u); }
// UM10375.
LpcPartProfile LpcPartProfile::LPC1343() { return CortexM("LPC1343", "1023410219", Uniform(8, 4096), 8192, 0x10000300u); }
// UM10601, UM11029: 1 KB sectors, raw binary data, copies of 64 to 1024 bytes.
LpcPartProfile LpcPartProfile::LPC812() {
  LpcPartProfile p = CortexM("LPC812", "33058", Uniform(16, 1024), 4096, 0x10000300u);
  p.Binary = true;
  p.RamTopReserve = 32;
  p.CopySizes = {64, 128, 256, 512, 1024};
  return p;
}
LpcPartProfile LpcPartProfile::LPC845() {
  LpcPartProfile p = LPC812();
  p.Name = "LPC845";
  p.PartId = "33873";
  p.Sectors = Uniform(64, 1024);
  p.RamSize = 16384;
  p.RamFirst = 0x10000600u;
  return p;
}
// UM10211: 64 KB is eight 4 KB sectors and one of 32 KB.
LpcPartProfile LpcPartProfile::LPC2361() { return {"LPC2361", "369161985", SmallSectorLayout(9), 8192}; }
LpcPartProfile LpcPartProfile::LPC2387Early() {
  return {"LPC2387", "385941301", SmallSectorLayout(28), 65536};
}
// UM10398: the XL parts; the /203 has 4 KB of RAM, the ISP keeps up to
// 0x1000025B.
LpcPartProfile LpcPartProfile::LPC1114_203() {
  return CortexM("LPC1114/203", "262210", Uniform(8, 4096), 4096, 0x1000025Cu);
}
LpcPartProfile LpcPartProfile::LPC1114_323() {
  return CortexM("LPC1114/323", "262240", Uniform(12, 4096), 8192, 0x1000025Cu);
}
// UM10732: 4 KB sectors to 96 KB, then 32 KB ones; SRAM0 32 KB.
LpcPartProfile LpcPartProfile::LPC11U68() {
  std::vector<uint32_t> s = Uniform(24, 4096);
  for (int i = 0; i < 5; ++i) s.push_back(32768);
  return CortexM("LPC11U68", "31744", s, 32768, 0x1000025Cu);
}
// UM10562: the LPC17xx sectors, 64 KB main SRAM.
LpcPartProfile LpcPartProfile::LPC4088() {
  LpcPartProfile p = LPC1768();
  p.Name = "LPC4088";
  p.PartId = "1209876295";
  p.RamSize = 65536;
  return p;
}
// UM10736: SRAM0 at 0x02000000, raw binary data.
LpcPartProfile LpcPartProfile::LPC1549() {
  LpcPartProfile p = CortexM("LPC1549", "5449", Uniform(64, 4096), 16384, 0x02000200u);
  p.RamBase = 0x02000000u;
  p.Binary = true;
  return p;
}
// UM11045: 16 KB of 1 KB sectors, 2 KB RAM, the ISP stack below 0x100003A8.
LpcPartProfile LpcPartProfile::LPC802() {
  LpcPartProfile p = CortexM("LPC802", "32801", Uniform(16, 1024), 2048, 0x100003A8u);
  p.Binary = true;
  p.RamTopReserve = 32;
  p.CopySizes = {64, 128, 256, 512, 1024};
  return p;
}
// UM10503: J answers two words; the flash lies in two banks at 0x1A000000
// and 0x1B000000 (modelled no further: nothing may reach it).
LpcPartProfile LpcPartProfile::LPC4357() {
  return CortexM("LPC4357", "2684471344\r\n68", Uniform(15, 8192), 32768, 0x10000200u);
}
LpcPartProfile LpcPartProfile::Unknown() { return {"unknown", "305419896", SmallSectorLayout(15), 32768}; }

LpcSim::LpcSim(PtyPair& pty, LpcPartProfile part, LpcSimOptions options)
    : pty_(pty), part_(std::move(part)), options_(options), link_(pty.master(), options.Link) {
  // Old firmware in the flash, so that a missing erase shows.
  flash_.assign(part_.FlashSize(), 0xA5);
  if (!options_.Earlier.empty()) {
    std::fill(flash_.begin(), flash_.end(), part_.Erased);
    std::copy_n(options_.Earlier.begin(), std::min(options_.Earlier.size(), flash_.size()), flash_.begin());
  }
  // Code read protection lives in the flash (0x2FC) on the real parts;
  // here it is the option, latched until the part is reset.
  ram_.assign(part_.RamSize, 0x5A);
  prepared_.assign(part_.Sectors.size(), false);
  thread_ = std::thread([this] { Run(); });
}

LpcSim::~LpcSim() { Stop(); }

void LpcSim::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  link_.Stop();
}

std::vector<uint8_t> LpcSim::Flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_;
}

std::string LpcSim::Crystal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return crystal_;
}

bool LpcSim::VectorsValid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t sum = 0;
  for (size_t at = 0; at < 32; at += 4)
    sum += static_cast<uint32_t>(flash_[at]) | static_cast<uint32_t>(flash_[at + 1]) << 8 |
           static_cast<uint32_t>(flash_[at + 2]) << 16 | static_cast<uint32_t>(flash_[at + 3]) << 24;
  return sum == 0;
}

std::vector<std::string> LpcSim::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

void LpcSim::Run() {
  while (!stop_ && !HungUp) {
    if (resetRequested_.exchange(false)) {
      phase_ = Autobaud;
      echo_ = true;
      unlocked_ = false;
      prepared_.assign(part_.Sectors.size(), false);
      line_.clear();
    }
    if (runRequested_.exchange(false)) {
      line_.clear();
      phase_ = Running;
      Started = true;
      ProgramStarted();
    }
    uint8_t c = 0;
    if (link_.Read(c, 10)) Byte(c);
  }
}

void LpcSim::ProgramStarted() {
  if (options_.FirstOutput.empty() || HungUp) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the program's own start-up
  link_.Send(options_.FirstOutput);
}

void LpcSim::Reply(const std::string& text, char command) {
  if (HungUp || text.empty()) return;
  std::string out = text;
  if (options_.DoubleLineFeed) {
    out.clear();
    for (char c : text) {
      out += c;
      if (c == '\n') out += '\n';
    }
  }
  if (command != 0 && command == options_.SplitCommand && options_.SplitAt > 0 &&
      options_.SplitAt < out.size()) {
    link_.Send(out.substr(0, options_.SplitAt));
    link_.Flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(options_.SplitPauseMs));
    link_.Send(out.substr(options_.SplitAt));
    return;
  }
  link_.Send(out);
}

void LpcSim::Busy(int ms) {
  if (ms <= 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  FlashBusyMs += ms;
}

void LpcSim::Byte(uint8_t c) {
  if (options_.Silent) return;
  if (phase_ == RawData) return RawByte(c);
  if (phase_ == Running) return;  // the program runs; the boot loader hears nothing
  switch (phase_) {
    case RawData:
    case Running:
      return;
    case Autobaud:
      // The baud rate is measured on the '?'; anything else is line noise.
      if (c == '?' && Syncs < options_.GarbledSyncs) {
        ++Syncs;
        Reply("Synchronised?!\r\n");  // as a wrong baud rate would garble it
        return;
      }
      if (c == '?') {
        ++Syncs;
        line_.clear();
        echo_ = true;
        phase_ = SyncLine;
        Reply(options_.SyncNoise + "Synchronized\r\n", '?');
      }
      return;
    case SyncLine:
    case CrystalLine:
    case CommandLine:
    case DataLines:
    case ReadAnswer:
      if (echo_) Reply(std::string(1, static_cast<char>(c)));
      if (c == '\n') {
        std::string line = line_;
        line_.clear();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Line(line);
      } else if (line_.size() < 256) {
        line_.push_back(static_cast<char>(c));
      }
      return;
  }
}

void LpcSim::Line(const std::string& line) {
  switch (phase_) {
    case SyncLine:
      if (line == "Synchronized") {
        Reply("OK\r\n");
        phase_ = CrystalLine;
      } else {
        phase_ = Autobaud;  // not verified: wait for a new '?'
      }
      return;
    case CrystalLine: {
      // Whole kHz: the boot code's number parser stops at a '.'.
      const bool numeric = !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        crystal_ = line;
      }
      if (numeric) {
        Reply("OK\r\n");
        phase_ = CommandLine;
      } else {
        phase_ = Autobaud;
      }
      return;
    }
    case CommandLine:
      Command(line);
      return;
    case DataLines:
      DataLine(line);
      return;
    case ReadAnswer:
      ReadAnswerLine(line);
      return;
    case Autobaud:
    case RawData:
    case Running:
      return;
  }
}

bool LpcSim::SectorRange(uint32_t from, uint32_t count, size_t* first, size_t* last) const {
  if (count == 0) return false;
  const uint64_t end = uint64_t{from} + count;  // exclusive
  bool found = false;
  uint64_t at = 0;
  for (size_t i = 0; i < part_.Sectors.size(); ++i) {
    const uint64_t next = at + part_.Sectors[i];
    if (from < next && end > at) {
      if (!found) *first = i;
      *last = i;
      found = true;
    }
    at = next;
  }
  return found && end <= at;
}

void LpcSim::Command(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(line);
  }
  const std::vector<std::string> w = Words(line);
  if (w.empty()) return ReplyCode(INVALID_COMMAND);
  const std::string& cmd = w[0];
  if (options_.ErrorCommand && cmd.size() == 1 && cmd[0] == options_.ErrorCommand &&
      (options_.ErrorCount < 0 || errorsGiven_ < options_.ErrorCount)) {
    ++errorsGiven_;
    return ReplyCode(options_.ErrorCode);
  }
  std::vector<uint32_t> args;
  for (size_t i = 1; i < w.size() && cmd != "G"; ++i) {
    uint32_t v = 0;
    if (!ParseNumber(w[i], &v)) return ReplyCode(PARAM_ERROR);
    args.push_back(v);
  }
  auto need = [&](size_t n) { return args.size() == n; };

  if (cmd == "U") {
    if (!need(1)) return ReplyCode(PARAM_ERROR);
    if (args[0] != 23130) return ReplyCode(INVALID_CODE);
    unlocked_ = true;
    return ReplyCode(CMD_SUCCESS);
  }
  if (cmd == "A") {
    if (!need(1) || args[0] > 1) return ReplyCode(PARAM_ERROR);
    ReplyCode(CMD_SUCCESS);  // the line itself was still echoed
    echo_ = args[0] == 1;
    return;
  }
  const bool crp = options_.Crp > 0;
  if (cmd == "J") return Reply("0\r\n" + part_.PartId + "\r\n", 'J');
  if (cmd == "N") {
    if (part_.Serial.size() != 4) return ReplyCode(INVALID_COMMAND);
    std::string out = "0\r\n";
    for (const std::string& w : part_.Serial) out += w + "\r\n";
    return Reply(out, 'N');
  }
  // Minor number first, then the major one.
  if (cmd == "K") return Reply("0\r\n" + part_.BootMinor + "\r\n" + part_.BootMajor + "\r\n", 'K');
  if (cmd == "W") {
    if (!need(2)) return ReplyCode(PARAM_ERROR);
    if (!unlocked_) return ReplyCode(CMD_LOCKED);
    const uint32_t addr = args[0], count = args[1];
    if (options_.Crp >= 2) return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    if (addr % 4) return ReplyCode(ADDR_ERROR);
    if (count % 4) return ReplyCode(COUNT_ERROR);
    // The RAM the ISP works in, and the top it keeps for flash commands and
    // its stack, are not the host's.
    if (addr < part_.RamFirst ||
        uint64_t{addr} + count > uint64_t{part_.RamBase} + part_.RamSize - part_.RamTopReserve)
      return ReplyCode(crp ? CODE_READ_PROTECTION_ENABLED : ADDR_NOT_MAPPED);
    ReplyCode(CMD_SUCCESS);
    if (count == 0) return;
    writeAddress_ = addr;
    writeCount_ = count;
    written_ = 0;
    block_.clear();
    blockSum_ = 0;
    blockLines_ = 0;
    expectChecksum_ = false;
    phase_ = part_.Binary ? RawData : DataLines;
    return;
  }
  if (cmd == "R") {
    if (!need(2)) return ReplyCode(PARAM_ERROR);
    if (crp) return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    const uint32_t addr = args[0], count = args[1];
    if (addr % 4) return ReplyCode(ADDR_ERROR);
    if (count % 4) return ReplyCode(COUNT_ERROR);
    const bool inFlash = uint64_t{addr} + count <= part_.FlashSize();
    const bool inRam = addr >= part_.RamBase && uint64_t{addr} + count <= uint64_t{part_.RamBase} + part_.RamSize;
    if (!inFlash && !inRam) return ReplyCode(ADDR_NOT_MAPPED);
    Reply("0\r\n", 'R');
    if (part_.Binary) {
      std::string out;
      for (uint32_t i = 0; i < count; ++i) out.push_back(static_cast<char>(ReadByte(addr + i)));
      link_.Send(out);  // bytes, not lines: no line ends to double
      return;
    }
    readAddress_ = addr;
    readLeft_ = count;
    if (count == 0) return;
    phase_ = ReadAnswer;
    SendReadBlock();
    return;
  }
  if (cmd == "I") {
    if (!need(2)) return ReplyCode(PARAM_ERROR);
    if (crp) return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    const uint32_t first = args[0], last = args[1];
    if (first > last || last >= part_.Sectors.size()) return ReplyCode(INVALID_SECTOR);
    // Through what the ISP sees: sector 0 starts with the boot code's
    // vectors, so it is never blank. The offset counts from the first sector.
    const uint32_t base = part_.SectorStart(first);
    for (uint32_t at = base; at < part_.SectorStart(last + 1); at += 4) {
      uint32_t word = 0;
      for (int i = 0; i < 4; ++i) word |= static_cast<uint32_t>(ReadByte(at + static_cast<uint32_t>(i))) << (8 * i);
      if (word != part_.Erased * 0x01010101u)
        return Reply("8\r\n" + std::to_string(at - base) + "\r\n" + std::to_string(word) + "\r\n", 'I');
    }
    return ReplyCode(CMD_SUCCESS);
  }
  if (cmd == "G") {
    if (w.size() != 3 || (w[2] != "A" && w[2] != "T")) return ReplyCode(PARAM_ERROR);
    uint32_t addr = 0;
    if (!ParseNumber(w[1], &addr)) return ReplyCode(PARAM_ERROR);
    if (crp) return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    if (!unlocked_) return ReplyCode(CMD_LOCKED);
    if (addr % 4) return ReplyCode(ADDR_ERROR);
    ReplyCode(CMD_SUCCESS);
    Started = true;
    phase_ = Running;
    ProgramStarted();
    return;
  }
  if (cmd == "P" || cmd == "E") {
    if (!need(2)) return ReplyCode(PARAM_ERROR);
    if (cmd == "E" && !unlocked_) return ReplyCode(CMD_LOCKED);
    const uint32_t first = args[0], last = args[1];
    if (first > last || last >= part_.Sectors.size()) return ReplyCode(INVALID_SECTOR);
    if (cmd == "P") {
      for (uint32_t s = first; s <= last; ++s) prepared_[s] = true;
      return ReplyCode(CMD_SUCCESS);
    }
    // Protected parts erase sector 0 only with all the others (level 1),
    // or nothing but the whole flash (level 2).
    const bool all = first == 0 && last + 1 == part_.Sectors.size();
    if ((options_.Crp == 1 && first == 0 && !all) || (options_.Crp >= 2 && !all))
      return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    for (uint32_t s = first; s <= last; ++s)
      if (!prepared_[s]) return ReplyCode(SECTOR_NOT_PREPARED);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const uint32_t from = part_.SectorStart(first);
      const uint32_t to = part_.SectorStart(last + 1);
      std::fill(flash_.begin() + from, flash_.begin() + to, part_.Erased);
    }
    for (uint32_t s = first; s <= last; ++s) prepared_[s] = false;
    Busy(options_.EraseMs);
    return ReplyCode(CMD_SUCCESS);
  }
  if (cmd == "C") {
    if (!need(3)) return ReplyCode(PARAM_ERROR);
    if (!unlocked_) return ReplyCode(CMD_LOCKED);
    const uint32_t dst = args[0], src = args[1], count = args[2];
    if (options_.Crp >= 2 || (options_.Crp == 1 && dst < part_.SectorStart(1)))
      return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    if (dst % part_.CopySizes.front()) return ReplyCode(DST_ADDR_ERROR);
    if (uint64_t{dst} + count > part_.FlashSize()) return ReplyCode(DST_ADDR_NOT_MAPPED);
    if (src % 4) return ReplyCode(SRC_ADDR_ERROR);
    if (src < part_.RamBase || uint64_t{src} + count > uint64_t{part_.RamBase} + part_.RamSize)
      return ReplyCode(SRC_ADDR_NOT_MAPPED);
    if (std::find(part_.CopySizes.begin(), part_.CopySizes.end(), count) == part_.CopySizes.end())
      return ReplyCode(COUNT_ERROR);
    size_t firstSector = 0, lastSector = 0;
    if (!SectorRange(dst, count, &firstSector, &lastSector)) return ReplyCode(DST_ADDR_NOT_MAPPED);
    for (size_t s = firstSector; s <= lastSector; ++s)
      if (!prepared_[s]) return ReplyCode(SECTOR_NOT_PREPARED);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Programming only clears bits: flash that was not erased ends up ANDed.
      for (uint32_t i = 0; i < count; ++i) {
        uint8_t& cell = flash_[dst + i];
        if (cell != part_.Erased) ++CopyOverwrites;
        cell &= ram_[src - part_.RamBase + i];
        if (options_.StuckBit == int64_t{dst} + i) cell |= 0x10;
        if (options_.FlipAfterCopy == int64_t{dst} + i) cell ^= 0x01;
      }
    }
    for (size_t s = firstSector; s <= lastSector; ++s) prepared_[s] = false;
    Busy(options_.CopyMsPer256 * static_cast<int>(count / 256));
    return ReplyCode(CMD_SUCCESS);
  }
  if (cmd == "M" && !options_.NoCompare) {
    if (!need(3)) return ReplyCode(PARAM_ERROR);
    if (crp) return ReplyCode(CODE_READ_PROTECTION_ENABLED);
    const uint32_t a = args[0], b = args[1], count = args[2];
    if (a % 4) return ReplyCode(SRC_ADDR_ERROR);
    if (b % 4) return ReplyCode(DST_ADDR_ERROR);
    if (count % 4) return ReplyCode(COUNT_ERROR);
    auto mapped = [&](uint32_t at) {
      return uint64_t{at} + count <= part_.FlashSize() ||
             (at >= part_.RamBase && uint64_t{at} + count <= uint64_t{part_.RamBase} + part_.RamSize);
    };
    if (!mapped(a)) return ReplyCode(SRC_ADDR_NOT_MAPPED);
    if (!mapped(b)) return ReplyCode(DST_ADDR_NOT_MAPPED);
    // Word by word, through what ISP maps (the boot code at 0 included);
    // the offset is the first differing word's.
    for (uint32_t i = 0; i < count; ++i)
      if (ReadByte(a + i) != ReadByte(b + i))
        return Reply("10\r\n" + std::to_string(i & ~3u) + "\r\n", 'M');
    return ReplyCode(CMD_SUCCESS);
  }
  ReplyCode(INVALID_COMMAND);
}

void LpcSim::DataLine(const std::string& line) {
  if (expectChecksum_) {
    expectChecksum_ = false;
    uint32_t sum = 0;
    ++blocksSeen_;
    const bool forced = options_.ResendEvery > 0 && blocksSeen_ % options_.ResendEvery == 0;
    if (!ParseNumber(line, &sum) || sum != blockSum_ || forced) {
      ++ResendsRequested;
      block_.clear();
      blockSum_ = 0;
      blockLines_ = 0;
      Reply("RESEND\r\n");
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::copy(block_.begin(), block_.end(), ram_.begin() + (writeAddress_ - part_.RamBase + written_));
    }
    written_ += static_cast<uint32_t>(block_.size());
    block_.clear();
    blockSum_ = 0;
    blockLines_ = 0;
    if (written_ >= writeCount_) phase_ = CommandLine;
    Reply("OK\r\n");
    BlockAccepted();
    return;
  }
  // One uuencoded line: a length character, then four characters per three bytes.
  if (line.empty()) return;
  const uint32_t n = static_cast<uint32_t>((line[0] - 32) & 63);
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 4 <= line.size(); i += 4) {
    uint8_t v[4];
    for (int k = 0; k < 4; ++k) v[k] = static_cast<uint8_t>((line[i + k] - 32) & 63);
    bytes.push_back(static_cast<uint8_t>(v[0] << 2 | v[1] >> 4));
    bytes.push_back(static_cast<uint8_t>(v[1] << 4 | v[2] >> 2));
    bytes.push_back(static_cast<uint8_t>(v[2] << 6 | v[3]));
  }
  const uint32_t room = writeCount_ - written_ - static_cast<uint32_t>(block_.size());
  const uint32_t take = std::min({n, static_cast<uint32_t>(bytes.size()), room});
  for (uint32_t i = 0; i < take; ++i) {
    block_.push_back(bytes[i]);
    blockSum_ += bytes[i];
  }
  ++blockLines_;
  if (blockLines_ == 20 || written_ + block_.size() >= writeCount_) expectChecksum_ = true;
}

void LpcSim::BlockAccepted() {
  ++BlocksAccepted;
  if (options_.HangUpAfterBlocks >= 0 && BlocksAccepted >= options_.HangUpAfterBlocks) {
    // The cable is pulled once the answer has left.
    HungUp = true;
    link_.Flush();
    link_.Stop();
    pty_.HangUp();
  }
}

void LpcSim::RawByte(uint8_t c) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ram_[writeAddress_ - part_.RamBase + written_] = c;
  }
  if (++written_ < writeCount_) return;
  phase_ = CommandLine;
  // The parts answer nothing here, whatever their manuals say.
  if (options_.OkAfterBinary) Reply("OK\r\n");
  BlockAccepted();
}

uint8_t LpcSim::ReadByte(uint32_t address) const {
  // While in ISP the first bytes read as the boot code's own vectors.
  if (address < part_.BootRemap) return static_cast<uint8_t>(0xB0 + address % 16);
  std::lock_guard<std::mutex> lock(mutex_);
  if (address < flash_.size()) return flash_[address];
  if (address >= part_.RamBase && address - part_.RamBase < ram_.size()) return ram_[address - part_.RamBase];
  return 0;
}

// Up to 20 uuencoded lines of what is left, then their checksum line; the
// host answers OK (the next block) or RESEND (this one again).
void LpcSim::SendReadBlock() {
  std::string out;
  uint32_t sum = 0;
  uint32_t sent = 0;
  for (int line = 0; line < 20 && sent < readLeft_; ++line) {
    const uint32_t n = std::min<uint32_t>(45, readLeft_ - sent);
    uint8_t bytes[48] = {};
    for (uint32_t i = 0; i < n; ++i) {
      bytes[i] = ReadByte(readAddress_ + sent + i);
      sum += bytes[i];
    }
    out.push_back(static_cast<char>(32 + n));
    for (uint32_t i = 0; i < n; i += 3) {
      const uint8_t x = bytes[i], y = bytes[i + 1], z = bytes[i + 2];
      const uint8_t v[4] = {static_cast<uint8_t>(x >> 2), static_cast<uint8_t>((x & 3) << 4 | y >> 4),
                            static_cast<uint8_t>((y & 15) << 2 | z >> 6), static_cast<uint8_t>(z & 63)};
      for (uint8_t k : v) out.push_back(k == 0 ? '`' : static_cast<char>(k + 32));
    }
    out += "\r\n";
    sent += n;
  }
  readBlockBytes_ = sent;
  Reply(out + std::to_string(sum) + "\r\n", 'R');
}

void LpcSim::ReadAnswerLine(const std::string& line) {
  if (line == "RESEND") {
    ++ReadResends;
    return SendReadBlock();
  }
  if (line != "OK") return;
  readAddress_ += readBlockBytes_;
  readLeft_ -= readBlockBytes_;
  if (readLeft_ == 0) {
    phase_ = CommandLine;
    return;
  }
  SendReadBlock();
}
