#include "sim/Stm32Sim.h"

#include <chrono>

#include <algorithm>
#include <numeric>

namespace {

std::vector<uint32_t> Repeat(uint32_t value, int times) { return std::vector<uint32_t>(times, value); }

std::vector<uint32_t> F4Sectors(int big) {  // 4 x 16 KB, 64 KB, then 128 KB sectors
  std::vector<uint32_t> v = Repeat(16 * 1024, 4);
  v.push_back(64 * 1024);
  auto rest = Repeat(128 * 1024, big);
  v.insert(v.end(), rest.begin(), rest.end());
  return v;
}

std::vector<uint32_t> F4SectorMs(int big) {  // typical x32 erase times
  std::vector<uint32_t> v = Repeat(250, 4);
  v.push_back(550);
  auto rest = Repeat(1000, big);
  v.insert(v.end(), rest.begin(), rest.end());
  return v;
}

}  // namespace

uint32_t Stm32SimProfile::FlashBytes() const {
  return std::accumulate(eraseUnits.begin(), eraseUnits.end(), uint32_t{0});
}

Stm32SimProfile Stm32SimProfile::ForProduct(uint16_t productId) {
  Stm32SimProfile p;
  p.productId = productId;
  switch (productId) {
    case 0x0410:  // F1 medium density: 128 pages of 1 KB
      p.eraseUnits = Repeat(1024, 128);
      p.eraseUnitMs = Repeat(20, 128);
      break;
    case 0x0411:  // F2: 1 MB
    case 0x0413:  // F405/407: 1 MB
      p.bootloaderVersion = 0x31;
      p.extendedErase = true;
      p.eraseUnits = F4Sectors(7);
      p.eraseUnitMs = F4SectorMs(7);
      break;
    case 0x0463:  // F413/423: 1.5 MB
      p.bootloaderVersion = 0x31;
      p.extendedErase = true;
      p.eraseUnits = F4Sectors(11);
      p.eraseUnitMs = F4SectorMs(11);
      break;
    case 0x0483:  // H72x/73x: 8 sectors of 128 KB
      p.bootloaderVersion = 0x91;
      p.extendedErase = true;
      p.eraseUnits = Repeat(128 * 1024, 8);
      p.eraseUnitMs = Repeat(1000, 8);
      break;
    case 0x0414:  // F1 high density: 256 pages of 2 KB
    default:
      p.eraseUnits = Repeat(2048, 256);
      p.eraseUnitMs = Repeat(20, 256);
      break;
  }
  if (productId == 0x0410 || productId == 0x0414 || !p.extendedErase) {
    p.flashSizeAddress = 0x1FFFF7E0;
    p.systemMemoryStart = 0x1FFFF000;
    p.systemMemoryEnd = 0x1FFFF800;
    p.writeUsPerByte = 52.5 / 2;  // half-word programming
  } else if (productId == 0x0483) {
    p.flashSizeAddress = 0x1FF1E880;
    p.systemMemoryStart = 0x1FF00000;
    p.systemMemoryEnd = 0x1FF20000;
    p.writeUsPerByte = 11.0 / 32;  // 256-bit flash words
  } else {
    p.flashSizeAddress = 0x1FFF7A22;
    p.systemMemoryStart = 0x1FFF0000;
    p.systemMemoryEnd = 0x1FFF7800;
    p.writeUsPerByte = 16.0 / 4;  // word programming
  }
  return p;
}

Stm32Sim::Stm32Sim(int masterFd, Stm32SimProfile profile, Stm32SimOptions options)
    : profile_(std::move(profile)), options_(options), link_(masterFd, options.link) {
  flash_.assign(profile_.FlashBytes(), 0xFF);
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

std::vector<uint32_t> Stm32Sim::ErasedUnits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return erasedUnits_;
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
    if (link_.Read(b, 50)) return true;
  }
  return false;
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
    if (reset_.exchange(false)) synced_ = false;
    uint8_t b = 0;
    if (!ReadByte(b)) continue;
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
    bool ok = true;
    switch (code) {
      case 0x00: ok = HandleGet(); break;
      case 0x01: ok = HandleGetVersion(); break;
      case 0x02: ok = HandleGetId(); break;
      case 0x11: ok = HandleReadMemory(); break;
      case 0x31: ok = HandleWrite(); break;
      case 0x43:
        ok = profile_.extendedErase ? Reply({kNack}) : HandleErase();
        break;
      case 0x44:
        ok = profile_.extendedErase ? HandleExtendedErase() : Reply({kNack});
        break;
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
  return Reply({kAck, 0x0B, profile_.bootloaderVersion, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, erase, 0x63,
                0x73, 0x82, 0x92, kAck});
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
  if (address >= kFlashBase && end <= uint64_t{kFlashBase} + flash_.size()) return true;
  if (address >= profile_.systemMemoryStart && end <= profile_.systemMemoryEnd) return true;
  return address >= profile_.flashSizeAddress && end <= uint64_t{profile_.flashSizeAddress} + 4;
}

uint8_t Stm32Sim::ReadMemory(uint32_t address) const {
  const uint32_t kb = static_cast<uint32_t>(flash_.size() / 1024);
  if (address == profile_.flashSizeAddress) return static_cast<uint8_t>(kb);
  if (address == profile_.flashSizeAddress + 1) return static_cast<uint8_t>(kb >> 8);
  if (address >= kFlashBase && address - kFlashBase < flash_.size()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_[address - kFlashBase];
  }
  return 0xFF;
}

bool Stm32Sim::HandleReadMemory() {
  if (!Reply({kAck})) return false;
  uint8_t a[5];
  for (auto& v : a)
    if (!ReadByte(v)) return false;
  const uint32_t address = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  if ((a[0] ^ a[1] ^ a[2] ^ a[3]) != a[4] || !Readable(address, 1)) {
    Complain("read memory: bad address");
    return Reply({kNack});
  }
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

bool Stm32Sim::EraseUnit(uint32_t index) {
  uint32_t start = 0;
  for (uint32_t i = 0; i < index; ++i) start += profile_.eraseUnits[i];
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(flash_.begin() + start, flash_.begin() + start + profile_.eraseUnits[index], 0xFF);
    erasedUnits_.push_back(index);
  }
  return Busy(uint64_t{profile_.eraseUnitMs.size() > index ? profile_.eraseUnitMs[index] : 0} * 1000);
}

bool Stm32Sim::HandleErase() {
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
  for (int i = 0; i < items; ++i)
    if (frame[1 + i] >= profile_.eraseUnits.size()) {
      Complain("erase: no such page");
      return Reply({kNack});
    }
  if (n == 0xFF) {
    for (uint32_t i = 0; i < profile_.eraseUnits.size(); ++i)
      if (!EraseUnit(i)) return false;
  } else {
    for (int i = 0; i < items; ++i)
      if (!EraseUnit(frame[1 + i])) return false;
  }
  ++erases_;
  return Reply({kAck});
}

bool Stm32Sim::HandleExtendedErase() {
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
  std::vector<uint32_t> sectors;
  if (special) {
    for (uint32_t i = 0; i < profile_.eraseUnits.size(); ++i) sectors.push_back(i);
  } else {
    for (int i = 0; i < items; ++i) {
      uint32_t s = (uint32_t{frame[2 + 2 * i]} << 8) | frame[3 + 2 * i];
      if (s >= profile_.eraseUnits.size()) {
        Complain("extended erase: no such sector");
        return Reply({kNack});
      }
      sectors.push_back(s);
    }
  }
  for (uint32_t s : sectors)
    if (!EraseUnit(s)) return false;
  ++erases_;
  return Reply({kAck});
}

bool Stm32Sim::HandleWrite() {
  if (!Reply({kAck})) return false;
  uint8_t a[5];
  for (auto& v : a)
    if (!ReadByte(v)) return false;
  const uint32_t address = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
  if ((a[0] ^ a[1] ^ a[2] ^ a[3]) != a[4] || address < kFlashBase ||
      address - kFlashBase >= flash_.size()) {
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
  if (data.size() % 4 != 0) {
    Complain("write: length not a multiple of 4");
    return Reply({kNack});
  }
  if (offset + data.size() > flash_.size()) {
    Complain("write: past the end of flash");
    return Reply({kNack});
  }
  // Programming only clears bits: a byte written over flash that was not
  // erased keeps the old zeros.
  bool erased = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < data.size(); ++i) {
      uint8_t& cell = flash_[offset + i];
      erased = erased && cell == 0xFF;
      cell &= data[i];
      if (static_cast<int64_t>(offset + i) == options_.weakCell) cell ^= 0x04;
    }
  }
  if (!erased) Complain("write: flash not erased");
  if (!Busy(static_cast<uint64_t>(profile_.writeUsPerByte * static_cast<double>(data.size())))) return false;
  ++blocksWritten_;
  return Reply({kAck});
}
