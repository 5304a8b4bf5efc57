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

LpcPartProfile LpcPartProfile::LPC2131() { return {"LPC2131", "196353", SmallSectorLayout(8), 8192}; }
LpcPartProfile LpcPartProfile::LPC2132() { return {"LPC2132", "196369", SmallSectorLayout(9), 16384}; }
LpcPartProfile LpcPartProfile::LPC2136() { return {"LPC2136", "196387", SmallSectorLayout(15), 32768}; }
LpcPartProfile LpcPartProfile::LPC2138() { return {"LPC2138", "196389", SmallSectorLayout(27), 32768}; }
LpcPartProfile LpcPartProfile::LPC2294() {
  std::vector<uint32_t> s;
  for (int i = 0; i < 17; ++i) s.push_back(i == 8 || i == 9 ? 65536 : 8192);
  return {"LPC2294", "67305219", s, 16384, "1", "65"};
}

LpcSim::LpcSim(PtyPair& pty, LpcPartProfile part, LpcSimOptions options)
    : pty_(pty), part_(std::move(part)), options_(options), link_(pty.master(), options.Link) {
  // Old firmware in the flash, so that a missing erase shows.
  flash_.assign(part_.FlashSize(), 0xA5);
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
    uint8_t c = 0;
    if (link_.Read(c, 10)) Byte(c);
  }
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
  switch (phase_) {
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
      const bool numeric = !line.empty() &&
          line.find_first_not_of("0123456789.") == std::string::npos;
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
    case Autobaud:
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
  for (size_t i = 1; i < w.size(); ++i) {
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
  if (cmd == "J") return Reply("0\r\n" + part_.PartId + "\r\n", 'J');
  // Minor number first, then the major one.
  if (cmd == "K") return Reply("0\r\n" + part_.BootMinor + "\r\n" + part_.BootMajor + "\r\n", 'K');
  if (cmd == "W") {
    if (!need(2)) return ReplyCode(PARAM_ERROR);
    if (!unlocked_) return ReplyCode(CMD_LOCKED);
    const uint32_t addr = args[0], count = args[1];
    if (addr % 4) return ReplyCode(ADDR_ERROR);
    if (count % 4) return ReplyCode(COUNT_ERROR);
    if (addr < kRamUserBase || uint64_t{addr} + count > uint64_t{kRamBase} + part_.RamSize)
      return ReplyCode(ADDR_NOT_MAPPED);
    ReplyCode(CMD_SUCCESS);
    if (count == 0) return;
    writeAddress_ = addr;
    writeCount_ = count;
    written_ = 0;
    block_.clear();
    blockSum_ = 0;
    blockLines_ = 0;
    expectChecksum_ = false;
    phase_ = DataLines;
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
    for (uint32_t s = first; s <= last; ++s)
      if (!prepared_[s]) return ReplyCode(SECTOR_NOT_PREPARED);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const uint32_t from = part_.SectorStart(first);
      const uint32_t to = part_.SectorStart(last + 1);
      std::fill(flash_.begin() + from, flash_.begin() + to, uint8_t{0xFF});
    }
    for (uint32_t s = first; s <= last; ++s) prepared_[s] = false;
    Busy(options_.EraseMs);
    return ReplyCode(CMD_SUCCESS);
  }
  if (cmd == "C") {
    if (!need(3)) return ReplyCode(PARAM_ERROR);
    if (!unlocked_) return ReplyCode(CMD_LOCKED);
    const uint32_t dst = args[0], src = args[1], count = args[2];
    if (dst % 256) return ReplyCode(DST_ADDR_ERROR);
    if (uint64_t{dst} + count > part_.FlashSize()) return ReplyCode(DST_ADDR_NOT_MAPPED);
    if (src % 4) return ReplyCode(SRC_ADDR_ERROR);
    if (src < kRamBase || uint64_t{src} + count > uint64_t{kRamBase} + part_.RamSize)
      return ReplyCode(SRC_ADDR_NOT_MAPPED);
    if (count != 256 && count != 512 && count != 1024 && count != 4096) return ReplyCode(COUNT_ERROR);
    size_t firstSector = 0, lastSector = 0;
    if (!SectorRange(dst, count, &firstSector, &lastSector)) return ReplyCode(DST_ADDR_NOT_MAPPED);
    for (size_t s = firstSector; s <= lastSector; ++s)
      if (!prepared_[s]) return ReplyCode(SECTOR_NOT_PREPARED);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Programming only clears bits: flash that was not erased ends up ANDed.
      for (uint32_t i = 0; i < count; ++i) {
        uint8_t& cell = flash_[dst + i];
        if (cell != 0xFF) ++CopyOverwrites;
        cell &= ram_[src - kRamBase + i];
      }
    }
    for (size_t s = firstSector; s <= lastSector; ++s) prepared_[s] = false;
    Busy(options_.CopyMsPer256 * static_cast<int>(count / 256));
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
      std::copy(block_.begin(), block_.end(), ram_.begin() + (writeAddress_ - kRamBase + written_));
    }
    written_ += static_cast<uint32_t>(block_.size());
    block_.clear();
    blockSum_ = 0;
    blockLines_ = 0;
    if (written_ >= writeCount_) phase_ = CommandLine;
    Reply("OK\r\n");
    ++BlocksAccepted;
    if (options_.HangUpAfterBlocks >= 0 && BlocksAccepted >= options_.HangUpAfterBlocks) {
      // The cable is pulled once the answer has left.
      HungUp = true;
      link_.Flush();
      link_.Stop();
      pty_.HangUp();
    }
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
