#include "sim/StcSim.h"

#include "sim/PtySpeed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace {

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Near(uint32_t a, uint32_t b) {
  if (a == 0 || b == 0) return false;
  return std::llabs(static_cast<long long>(a) - static_cast<long long>(b)) * 100 <=
         static_cast<long long>(b) * 5;
}

// After this much silence a run of 7F starts a new session (a reset part).
constexpr long long kIdleResetMs = 500;

}  // namespace

StcSimProfile StcProfile(const std::string& model, uint32_t crystalHz) {
  struct Row {
    const char* name;
    uint8_t bytes[3];
    size_t flash;
  };
  static const Row rows[] = {
      {"STC89C51RC", {0xF0, 0x01, 0x82}, 4 * 1024},
      {"STC89C52RC", {0xF0, 0x02, 0x82}, 8 * 1024},
      {"STC89C55RD+", {0xF1, 0x05, 0x82}, 20 * 1024},
      {"STC89C58RD+", {0xF1, 0x08, 0x82}, 32 * 1024},
      {"STC89C516RD+", {0xF1, 0x10, 0x82}, 63 * 1024},
      {"STC12C1052", {0xF2, 0x01, 0x83}, 1024},
      {"unknown", {0xF0, 0x03, 0x82}, 8 * 1024},
  };
  StcSimProfile p;
  p.model = model;
  p.crystalHz = crystalHz;
  for (const Row& r : rows) {
    if (model == r.name) {
      std::copy(r.bytes, r.bytes + 3, p.modelBytes);
      p.flashSize = r.flash;
      return p;
    }
  }
  ADD_FAILURE() << "no simulated profile for " << model;
  return p;
}

std::vector<uint8_t> StcSim::StatusPacket(const StcSimProfile& profile, uint32_t syncBaud) {
  // 68, length 00 3B, 00, eight frequency counts, version 4.3C, option
  // byte, model, zeros, checksum, 16: 59 bytes in all.
  std::vector<uint8_t> p = {0x68, 0x00, 0x3B, 0x00};
  const uint64_t base = syncBaud ? 7ull * profile.crystalHz / (12ull * syncBaud) : 0;
  const uint16_t count = static_cast<uint16_t>(static_cast<int64_t>(base) + profile.countOffset);
  for (int i = 0; i < 8; ++i) {
    p.push_back(static_cast<uint8_t>(count >> 8));
    p.push_back(static_cast<uint8_t>(count));
  }
  p.push_back(0x43);
  p.push_back('C');
  p.push_back(0xFD);
  p.insert(p.end(), profile.modelBytes, profile.modelBytes + 3);
  p.insert(p.end(), 31, 0x00);
  uint8_t sum = 0;
  for (size_t i = 1; i < p.size(); ++i) sum = static_cast<uint8_t>(sum + p[i]);
  p.push_back(sum);
  p.push_back(0x16);
  return p;
}

StcSim::StcSim(PtyPair& pty, StcSimProfile profile, StcSimFaults faults)
    : pty_(pty), profile_(std::move(profile)), faults_(faults) {
  // Flash as a part leaves the factory is not blank: writing without an
  // erase shows in the result.
  flash_.assign(profile_.flashSize, 0x5A);
  thread_ = std::thread([this] { Run(); });
}

StcSim::~StcSim() { Stop(); }

void StcSim::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<uint8_t> StcSim::Flash() const {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_;
}
std::vector<uint8_t> StcSim::ClockOption() const {
  std::lock_guard<std::mutex> lock(mu_);
  return clockOption_;
}
int StcSim::Frames(uint8_t command) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = frames_.find(command);
  return it == frames_.end() ? 0 : it->second;
}
int StcSim::BadFrames() const {
  std::lock_guard<std::mutex> lock(mu_);
  return badFrames_;
}
int StcSim::StatusPackets() const {
  std::lock_guard<std::mutex> lock(mu_);
  return statusPackets_;
}
bool StcSim::EndFlagSeen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return endFlag_;
}
uint32_t StcSim::ProgrammingBaud() const {
  std::lock_guard<std::mutex> lock(mu_);
  return progBaud_;
}
uint32_t StcSim::HostProgrammingSpeed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hostProgSpeed_;
}
uint32_t StcSim::SyncBaud() const {
  std::lock_guard<std::mutex> lock(mu_);
  return syncBaud_;
}

void StcSim::Run() {
  uint8_t buf[512];
  while (!stop_) {
    const int fd = pty_.master();
    if (fd < 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    for (ssize_t i = 0; i < n && !stop_ && pty_.master() >= 0; ++i) Consume(buf[i]);
  }
}

void StcSim::Consume(uint8_t b) {
  const long long now = NowMs();
  if (b == 0x7F && frame_.empty() && state_ != State::AwaitPulses &&
      now - lastByteMs_ > kIdleResetMs) {
    state_ = State::AwaitPulses;
    pulseRun_ = 0;
  }
  lastByteMs_ = now;

  if (state_ == State::AwaitPulses) {
    if (b != 0x7F) {
      pulseRun_ = 0;
      return;
    }
    // The boot loader measures the speed on a few 7F bytes, then answers.
    if (++pulseRun_ < 4) return;
    pulseRun_ = 0;
    const uint32_t speed = PtyHostSpeed(pty_.master());
    {
      std::lock_guard<std::mutex> lock(mu_);
      syncBaud_ = speed;
    }
    state_ = State::Synced;
    if (faults_.silent) return;
    const std::vector<uint8_t> packet = StatusPacket(profile_, speed);
    SendAt(packet, speed, false);
    std::lock_guard<std::mutex> lock(mu_);
    ++statusPackets_;
    return;
  }

  // Frames: 46 B9 6A, length, command, payload, checksum, 16. Anything in
  // between (late 7F pulses, the FE prefix of the end flag) is passed over.
  frame_.push_back(b);
  static const uint8_t header[3] = {0x46, 0xB9, 0x6A};
  if (frame_.size() <= 3) {
    if (frame_.back() != header[frame_.size() - 1]) {
      frame_.clear();
      if (b == 0x46) frame_.push_back(b);
    }
    return;
  }
  if (frame_.size() < 5) return;
  const size_t total = ((static_cast<size_t>(frame_[3]) << 8) | frame_[4]) + 2;
  if (total < 8 || total > 512) {
    frame_.clear();
    return;
  }
  if (frame_.size() < total) return;
  std::vector<uint8_t> f;
  f.swap(frame_);
  uint8_t sum = 0;
  for (size_t i = 2; i + 2 < f.size(); ++i) sum = static_cast<uint8_t>(sum + f[i]);
  if (f.back() != 0x16 || f[f.size() - 2] != sum) {
    std::lock_guard<std::mutex> lock(mu_);
    ++badFrames_;
    return;
  }
  HandleFrame(f);
}

// 8F and 8E carry 65536 - crystal / (32 x baud). The rows of the 1T-style
// parts carry other timer values; for them the part simply follows the
// speed the program switches to.
uint32_t StcSim::SpeedFrom(const std::vector<uint8_t>& payload) const {
  if (payload.size() < 2) return 0;
  const uint32_t divisor = 65536u - ((static_cast<uint32_t>(payload[0]) << 8) | payload[1]);
  if (divisor == 0 || divisor > 255) return 0;
  return static_cast<uint32_t>(profile_.crystalHz / (32.0 * divisor) + 0.5);
}

void StcSim::HandleFrame(const std::vector<uint8_t>& f) {
  const uint8_t command = f[5];
  const std::vector<uint8_t> payload(f.begin() + 6, f.end() - 2);
  int seen;
  {
    std::lock_guard<std::mutex> lock(mu_);
    seen = ++frames_[command];
  }
  if (faults_.hangUpOn == command && seen == faults_.hangUpAfter) {
    pty_.HangUp();
    return;
  }
  const bool answer = !faults_.silent && faults_.noReplyTo != command;

  switch (state_) {
    case State::AwaitPulses:
      return;
    case State::Synced:
    case State::SpeedTrial:
      if (command == 0x8F) {
        uint32_t speed = SpeedFrom(payload);
        if (speed == 0) {
          // Follow the program: wait for it to leave the connect speed.
          const long long until = NowMs() + 3000;
          while (!stop_ && NowMs() < until) {
            const uint32_t host = PtyHostSpeed(pty_.master());
            if (host != 0 && host != SyncBaud()) {
              speed = host;
              break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
          if (speed == 0) return;
        }
        trialBaud_ = speed;
        state_ = State::SpeedTrial;
        if (answer) Reply(command, payload, trialBaud_);
      } else if (command == 0x8E && state_ == State::SpeedTrial) {
        const uint32_t speed = SpeedFrom(payload);
        if (speed != 0 && !Near(speed, trialBaud_)) return;
        state_ = State::Programming;
        {
          std::lock_guard<std::mutex> lock(mu_);
          progBaud_ = trialBaud_;
        }
        if (answer) Reply(command, payload, trialBaud_);
      }
      return;
    case State::Programming:
      break;
  }

  const uint32_t speed = ProgrammingBaud();
  switch (command) {
    case 0x84: {
      std::lock_guard<std::mutex> lock(mu_);
      std::fill(flash_.begin(), flash_.end(), 0xFF);
      break;
    }
    case 0x00: {
      // 00 00, address, 00 80, 128 data bytes. Flash cells only lose bits
      // when written, so a block lands as it is only on erased flash.
      if (payload.size() < 6) return;
      const size_t address = (static_cast<size_t>(payload[2]) << 8) | payload[3];
      const size_t size = (static_cast<size_t>(payload[4]) << 8) | payload[5];
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = 0; i < size && 6 + i < payload.size(); ++i)
        if (address + i < flash_.size()) flash_[address + i] &= payload[6 + i];
      break;
    }
    case 0x8D: {
      std::lock_guard<std::mutex> lock(mu_);
      clockOption_ = payload;
      break;
    }
    case 0x82: {
      std::lock_guard<std::mutex> lock(mu_);
      endFlag_ = true;
      break;
    }
    default:
      break;
  }
  if (answer) Reply(command, {}, speed);
}

void StcSim::Reply(uint8_t command, const std::vector<uint8_t>& payload, uint32_t baud) {
  std::vector<uint8_t> r = {0x46, 0xB9, 0x68, 0x00, 0x00, command};
  r.insert(r.end(), payload.begin(), payload.end());
  const size_t length = r.size();  // the whole reply less two bytes
  r[3] = static_cast<uint8_t>(length >> 8);
  r[4] = static_cast<uint8_t>(length);
  uint8_t sum = 0;
  for (size_t i = 2; i < r.size(); ++i) sum = static_cast<uint8_t>(sum + r[i]);
  r.push_back(sum);
  r.push_back(0x16);
  SendAt(r, baud, faults_.splitReplies);
}

// Waits until the program listens at `baud`, as a real line would need;
// a program that never gets there hears nothing.
void StcSim::SendAt(const std::vector<uint8_t>& bytes, uint32_t baud, bool split) {
  const long long until = NowMs() + 3000;
  while (!stop_ && !Near(PtyHostSpeed(pty_.master()), baud)) {
    if (NowMs() > until || pty_.master() < 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (state_ == State::Programming) {
    std::lock_guard<std::mutex> lock(mu_);
    if (hostProgSpeed_ == 0) hostProgSpeed_ = PtyHostSpeed(pty_.master());
  }
  // The program's port may have been reopened a moment ago; give it time
  // to finish opening (it discards pending input while it does).
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!split) {
    pty_.Write(bytes);
    return;
  }
  size_t cut = bytes.size() / 2;
  while (cut > 1 && bytes[cut - 1] == 0x16) --cut;
  pty_.Write(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
  // Longer than the receiver's 100 ms read interval: two receive blocks.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  pty_.Write(std::vector<uint8_t>(bytes.begin() + static_cast<long>(cut), bytes.end()));
}
