#include "sim/StcSim.h"

#include "sim/PtySpeed.h"
#include "sim/StcHostFrame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace {

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Near(uint32_t a, uint32_t b) {
  if (a == 0 || b == 0) return false;
  return std::llabs(static_cast<long long>(a) - static_cast<long long>(b)) * 100 <=
         static_cast<long long>(b) * 3;
}

// After this much silence a run of 7F starts a new session (a reset part).
constexpr long long kIdleResetMs = 500;

}  // namespace

StcSimProfile StcProfile(const std::string& model, uint32_t crystalHz) {
  struct Row {
    const char* name;
    uint8_t bytes[3];
    size_t flash;
    bool brt8 = false;
  };
  static const Row rows[] = {
      {"STC89C51RC", {0xF0, 0x01, 0x82}, 4 * 1024},
      {"STC89C52RC", {0xF0, 0x02, 0x82}, 8 * 1024},
      {"STC89C55RD+", {0xF1, 0x05, 0x82}, 20 * 1024},
      {"STC89C58RD+", {0xF1, 0x08, 0x82}, 32 * 1024},
      {"STC89C516RD+", {0xF1, 0x10, 0x82}, 63 * 1024},
      {"STC12C1052", {0xF2, 0x01, 0x83}, 1024, true},
      {"unknown", {0xF0, 0x03, 0x82}, 8 * 1024},
      // In the model list, but not among the models this engine programs.
      {"STC89C54RD+", {0xF1, 0x04, 0x82}, 16 * 1024},
  };
  StcSimProfile p;
  p.model = model;
  p.crystalHz = crystalHz;
  for (const Row& r : rows) {
    if (model == r.name) {
      std::copy(r.bytes, r.bytes + 3, p.modelBytes);
      p.flashSize = r.flash;
      p.brt8 = r.brt8;
      return p;
    }
  }
  ADD_FAILURE() << "no simulated profile for " << model;
  return p;
}

uint8_t StcSim::EarlierFirmware(size_t address) {
  return static_cast<uint8_t>((address * 37 + 11) ^ 0x5A);
}

std::vector<uint8_t> StcSim::StatusPacket(const StcSimProfile& profile, uint32_t syncBaud) {
  // 68, length 00 3B, 00, eight frequency counts, version 4.3C, option
  // byte, model, zeros, checksum, 16: 59 bytes in all.
  std::vector<uint8_t> p = {0x68, 0x00, 0x3B, 0x00};
  // In 6T mode the boot loader's counting loop runs twice as fast.
  const uint64_t base = syncBaud ? 7ull * profile.crystalHz * (profile.sixT ? 2 : 1) / (12ull * syncBaud) : 0;
  const uint16_t count = static_cast<uint16_t>(static_cast<int64_t>(base) + profile.countOffset);
  for (int i = 0; i < 8; ++i) {
    p.push_back(static_cast<uint8_t>(count >> 8));
    p.push_back(static_cast<uint8_t>(count));
  }
  p.push_back(0x43);
  p.push_back('C');
  p.push_back(profile.sixT ? 0xFC : 0xFD);
  p.insert(p.end(), profile.modelBytes, profile.modelBytes + 3);
  p.insert(p.end(), 31, 0x00);
  // Summed like every frame: from the direction byte through the payload.
  uint8_t sum = 0;
  for (uint8_t b : p) sum = static_cast<uint8_t>(sum + b);
  p.push_back(sum);
  p.push_back(0x16);
  return p;
}

StcSim::StcSim(PtyPair& pty, StcSimProfile profile, StcSimFaults faults, SimLinkOptions link)
    : pty_(pty),
      link_(pty.master(), [&] {
        if (link.baud != 0) link.baud = 1200;
        return link;
      }()),
      paced_(link.baud != 0),
      profile_(std::move(profile)),
      faults_(faults) {
  // The part holds an earlier firmware: writing without an erase shows in
  // the result.
  flash_.resize(profile_.flashSize);
  for (size_t i = 0; i < flash_.size(); ++i) flash_[i] = EarlierFirmware(i);
  thread_ = std::thread([this] { Run(); });
}

StcSim::~StcSim() { Stop(); }

void StcSim::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  link_.Stop();
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
  // Nothing answers the end flag, so the program may be done before the
  // part has taken it from the wire: give it a moment.
  const long long until = NowMs() + 1000;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (endFlag_) return true;
    }
    if (NowMs() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}
uint32_t StcSim::ProgrammingBaud() const {
  std::lock_guard<std::mutex> lock(mu_);
  return progBaud_;
}
uint32_t StcSim::HostProgrammingSpeed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hostProgSpeed_;
}
int StcSim::EraseCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return eraseCount_;
}
std::vector<StcSimTurn> StcSim::Turns() const {
  std::lock_guard<std::mutex> lock(mu_);
  return turns_;
}
double StcSim::WireSeconds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<double>(wireNs_) / 1e9;
}
double StcSim::DeviceSeconds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<double>(deviceNs_) / 1e9;
}
std::vector<uint8_t> StcSim::SpeedPayload() const {
  std::lock_guard<std::mutex> lock(mu_);
  return speedPayload_;
}
uint32_t StcSim::SyncBaud() const {
  std::lock_guard<std::mutex> lock(mu_);
  return syncBaud_;
}

void StcSim::Run() {
  while (!stop_ && pty_.master() >= 0) {
    uint8_t b;
    if (link_.Read(b, 10)) Consume(b);
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
  if (const uint32_t baud = link_.Baud(); baud != 0 && (state_ == State::AwaitPulses || b != 0x7F || !frame_.empty())) {
    std::lock_guard<std::mutex> lock(mu_);
    wireNs_ += 10'000'000'000LL / baud;
  }

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
  if (frame_.empty() && b == 0x46) {
    // The byte has just finished crossing: it started one byte time ago.
    const uint32_t baud = link_.Baud();
    frameStartNs_ = SimLink::NowNs() - (baud ? 10'000'000'000LL / baud : 0);
  }
  if (!CollectHostFrame(frame_, b, 8, 512)) return;
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

// The boot loader's own arithmetic: 8F and 8E carry the reload for the new
// speed. STC89 parts (timer 2, 12T): hi, lo, FF - hi, a check byte, the
// delay, and in 8F the ISP_CONTR value; baud = clock / (32 x (65536 -
// reload)). The STC12C1052: C0, an 8-bit reload, 3F, check, delay, wait;
// baud = clock / (16 x (256 - reload)). The part runs at what its clock
// really gives; a host listening at another speed hears nothing.
uint32_t StcSim::SpeedFrom(const std::vector<uint8_t>& payload, bool withWait) const {
  if (payload.size() < (withWait ? 6u : 5u)) return 0;
  const double clock = profile_.crystalHz;
  double baud;
  if (profile_.brt8) {
    if (payload[0] != 0xC0 || payload[2] != 0x3F || payload[1] == 0) return 0;
    baud = clock / (16.0 * (256 - payload[1]));
  } else {
    if (payload[2] != static_cast<uint8_t>(0xFF - payload[0])) return 0;
    const uint32_t reload = (static_cast<uint32_t>(payload[0]) << 8) | payload[1];
    baud = clock / ((profile_.sixT ? 16.0 : 32.0) * (65536 - reload));
  }
  if (withWait) {
    // The wait setting names the highest clock it is good for; a shorter
    // wait than the clock needs would program unreliably, so the part's
    // boot loader would not take it (data sheets, ISP_CONTR).
    const uint8_t iap = payload[5];
    if ((iap & 0x80) == 0) return 0;
    const int wt = iap & 0x07;
    static const double stc89[] = {40e6, 20e6, 10e6, 5e6};
    static const double stc12[] = {30e6, 24e6, 20e6, 12e6, 6e6, 3e6, 2e6, 1e6};
    const double goodUpTo = profile_.brt8 ? stc12[wt] : (wt < 4 ? stc89[wt] : 0);
    if (clock > goodUpTo && wt != 0) return 0;
  }
  return static_cast<uint32_t>(baud + 0.5);
}

void StcSim::HandleFrame(const std::vector<uint8_t>& f) {
  const uint8_t command = f[5];
  const std::vector<uint8_t> payload(f.begin() + 6, f.end() - 2);
  int seen;
  {
    std::lock_guard<std::mutex> lock(mu_);
    seen = ++frames_[command];
    // The reply's last byte was the last one handed over before this frame.
    if (state_ == State::Programming && replied_) turns_.push_back({command, link_.LastOutNs(), frameStartNs_});
    replied_ = false;
  }
  if (faults_.hangUpOn == command && seen == faults_.hangUpAfter) {
    link_.Stop();
    pty_.HangUp();
    return;
  }
  const bool answer = !faults_.silent && faults_.noReplyTo != command;
  const bool corrupt = faults_.badChecksumTo == command;

  switch (state_) {
    case State::AwaitPulses:
      return;
    case State::Synced:
    case State::SpeedTrial:
      if (command == 0x82) {
        // Told to leave before programming: the part starts its program.
        std::lock_guard<std::mutex> lock(mu_);
        endFlag_ = true;
        state_ = State::AwaitPulses;
        return;
      }
      if (command == 0x8F) {
        const uint32_t speed = SpeedFrom(payload, true);
        {
          std::lock_guard<std::mutex> lock(mu_);
          speedPayload_ = payload;
        }
        if (speed == 0) return;
        trialBaud_ = speed;
        state_ = State::SpeedTrial;
        if (answer) Reply(command, payload, trialBaud_, corrupt);
      } else if (command == 0x8E && state_ == State::SpeedTrial) {
        const uint32_t speed = SpeedFrom(payload, false);
        if (speed == 0 || speed != trialBaud_) return;
        state_ = State::Programming;
        {
          std::lock_guard<std::mutex> lock(mu_);
          progBaud_ = trialBaud_;
        }
        if (answer) Reply(command, payload, trialBaud_, corrupt);
      }
      return;
    case State::Programming:
      break;
  }

  const uint32_t speed = ProgrammingBaud();
  switch (command) {
    case 0x84:
      Erase(payload);
      break;
    case 0x00: {
      // 00 00, address, 00 80, 128 data bytes. Flash cells only lose bits
      // when written, so a block lands as it is only on erased flash.
      if (payload.size() < 6) return;
      const size_t address = (static_cast<size_t>(payload[2]) << 8) | payload[3];
      const size_t size = (static_cast<size_t>(payload[4]) << 8) | payload[5];
      if (faults_.writeMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.writeMs));
      uint8_t sum = 0;
      {
        std::lock_guard<std::mutex> lock(mu_);
        deviceNs_ += int64_t{faults_.writeMs} * 1000000;
        const bool skip = faults_.skipWriteBlock >= 0 &&
                          address == static_cast<size_t>(faults_.skipWriteBlock) * 128;
        for (size_t i = 0; i < size && 6 + i < payload.size(); ++i) {
          if (address + i >= flash_.size()) continue;
          if (!skip) flash_[address + i] &= payload[6 + i];
          sum = static_cast<uint8_t>(sum + flash_[address + i]);
        }
      }
      if (answer) Reply(0x80, {sum}, speed, corrupt);
      return;
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
  if (answer) Reply(command, {}, speed, corrupt);
}

// The count byte of the 84 frame asks for two counts per 512-byte sector;
// the small part's own frame erases all of it.
void StcSim::Erase(const std::vector<uint8_t>& payload) {
  if (faults_.eraseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(faults_.eraseMs));
  std::lock_guard<std::mutex> lock(mu_);
  deviceNs_ += int64_t{faults_.eraseMs} * 1000000;
  size_t bytes = flash_.size();
  eraseCount_ = 0;
  if (!payload.empty() && payload[0] != 0xFF) {
    eraseCount_ = payload[0];
    bytes = (static_cast<size_t>(payload[0]) * 256 + 511) / 512 * 512;
  }
  std::fill(flash_.begin(), flash_.begin() + static_cast<long>(std::min(bytes, flash_.size())), 0xFF);
}

void StcSim::Reply(uint8_t command, const std::vector<uint8_t>& payload, uint32_t baud,
                   bool corrupt) {
  std::vector<uint8_t> r;
  r.reserve(payload.size() + 8);
  for (uint8_t b : {uint8_t{0x46}, uint8_t{0xB9}, uint8_t{0x68}, uint8_t{0x00}, uint8_t{0x00}, command}) r.push_back(b);
  for (uint8_t b : payload) r.push_back(b);
  const size_t length = r.size();  // the whole reply less two bytes
  r[3] = static_cast<uint8_t>(length >> 8);
  r[4] = static_cast<uint8_t>(length);
  uint8_t sum = 0;
  for (size_t i = 2; i < r.size(); ++i) sum = static_cast<uint8_t>(sum + r[i]);
  if (corrupt) sum = static_cast<uint8_t>(sum + 1);
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
  // The program sets the speed after it has purged its input on opening,
  // so from here on nothing sent is thrown away.
  const uint32_t before = link_.Baud();
  if (paced_) {
    link_.SetBaud(baud);
    std::lock_guard<std::mutex> lock(mu_);
    wireNs_ += static_cast<int64_t>(bytes.size()) * 10'000'000'000LL / baud;
  }
  if (!split) {
    link_.Send(bytes);
  } else {
    size_t cut = bytes.size() / 2;
    while (cut > 1 && bytes[cut - 1] == 0x16) --cut;
    link_.Send(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
    link_.Flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(faults_.splitPauseMs));
    link_.Send(std::vector<uint8_t>(bytes.begin() + static_cast<long>(cut), bytes.end()));
  }
  // Wire times of the reply are fixed when it is queued; the part listens
  // at its own speed again (after 8F: the connect speed until 8E confirms).
  if (paced_) link_.SetBaud(state_ == State::SpeedTrial ? before : baud);
  std::lock_guard<std::mutex> lock(mu_);
  replied_ = true;
}
