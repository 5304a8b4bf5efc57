// A simulated boot loader of the STC families after STC89 (STC10/11/12,
// STC15, STC8) on the master side of a pseudo-terminal, behind the shared
// wire model. It knows these facts independently of the programmer:
//
// - frames: 46 B9, 6A/68, a 16-bit length, the payload, a 16-bit sum, 16;
//   a frame whose sum is wrong is ignored;
// - the status packet is a real part's packet (public dumps), with the
//   fields the part's own state decides filled in: pulse counts or trimmed
//   frequency, option bytes;
// - the internal RC oscillator runs at a frequency set by its trim register
//   (STC8G/STC8H: and its band; the band edges are a model, not measured),
//   off by a part-to-part offset and drifting slowly like a part warming up;
//   the part measures a challenge's trims against the FE pulses that follow
//   it: count = frequency / (pulse speed / 2);
// - the speed switch (STC15/STC8) is answered at the old speed, then the
//   UART changes; the part's UART runs at what its programming clock
//   and the reload really give; a host listening at another speed hears
//   nothing;
// - flash is flash: erase sets 0xFF, programming only clears bits; EEPROM
//   is erased with the code only when the option says so (STC15/STC8) or
//   the erase count reaches it (STC12);
// - option bytes are stored and come back in the next status packet.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimLink.h"
#include "support/Pty.h"

enum class SimFamily { Stc12, Stc15, Stc8, Stc15a, Stc89a };
// How an STC8 part's oscillator is trimmed: one band with fine steps
// (stc8), or bands chosen by a range byte counted over whole pulse bits
// with a fixed IAP wait in the switch (stc8g: two bands, stc8d: four).
enum class SimTrim { Stc8, Stc8g, Stc8d };

struct StcModernProfile {
  std::string name;
  SimFamily family = SimFamily::Stc15;
  SimTrim trim = SimTrim::Stc8;
  uint16_t magic = 0;
  size_t codeFlash = 0;
  size_t eeprom = 0;
  std::vector<uint8_t> status;  // a real part's status payload (50 ...)
  uint32_t crystalHz = 0;       // STC12 (and an STC15 on a crystal); 0: internal RC
  double rcOffset = 0.0;        // this part's RC error (0.02 = 2 % fast)
  double driftAmplitude = 0.0008;  // slow warm-up drift of the RC, relative
  double programClockError = 0.002;  // STC8: factory 24 MHz calibration
  bool ackFirst = false;        // answers the pulses with 80 first (STC15F10x/20x)
  // STC12C52xx/56xx (stc12b): the fourth option byte at status offset 27,
  // options taken in the STC12C2052 layout and answered with 80, then from
  // boot loader 6.6 on a 50 answered with 10.
  bool stc12b = false;
  std::vector<uint8_t> uid = {0xF5, 0x28, 0x00, 0xA5, 0x03, 0x27, 0x49};
};

// Profiles of real parts, their packets from public dumps (see the .cpp).
StcModernProfile ModernProfile(const std::string& name);

struct StcModernFaults {
  bool silent = false;
  int noReplyTo = -1;       // command code left unanswered
  int hangUpOn = -1;        // command on which the line is dropped ...
  int hangUpAfter = 1;      // ... at its n-th frame
  int refuseWriteBlock = -1;  // block whose write the part refuses
};

class StcModernSim {
 public:
  StcModernSim(PtyPair& pty, StcModernProfile profile, StcModernFaults faults = {}, SimLinkOptions link = {});
  ~StcModernSim();
  StcModernSim(const StcModernSim&) = delete;
  StcModernSim& operator=(const StcModernSim&) = delete;

  static uint8_t EarlierFirmware(size_t address);
  // RC frequency of this part at trim (a, b), now.
  double RcHz(uint8_t a, uint8_t b) const;
  // STC15F10x/20x: RC frequency at a 16-bit trim.
  double Rc15aHz(uint16_t trim) const;

  std::vector<uint8_t> Flash() const;    // code flash then EEPROM
  std::vector<uint8_t> Options() const;  // option bytes as the family numbers them
  std::vector<uint8_t> Status() const;   // the status payload it would send now
  uint32_t StoredHz() const;             // frequency stored with the options
  uint8_t StoredDivider() const;         // STC8
  uint8_t TrimA() const;
  uint8_t TrimB() const;
  // What the part's clock would be after reset with the stored trim.
  double RunningHz() const;
  int Frames(uint8_t command) const;
  int BadFrames() const;
  std::set<size_t> BlockSizes() const;  // sizes of the write blocks seen
  int TrimRounds() const;
  uint32_t ProgrammingBaud() const;
  uint32_t PulseBaud() const;  // speed of the last connect pulses
  bool EndSeen() const;  // waits up to a second
  int Sessions() const;  // status packets sent

  void Stop();

 private:
  enum class State { AwaitPulses, Synced, SpeedTrial, Programming };
  void Run();
  void Consume(uint8_t b);
  void Handle(const std::vector<uint8_t>& payload);
  void Reply(const std::vector<uint8_t>& payload, uint32_t baud);
  void SendAt(const std::vector<uint8_t>& bytes, uint32_t baud);
  void AnswerChallenge();
  void Answer15aChallenge();
  bool GuardOk(const std::vector<uint8_t>& p, size_t at) const;
  uint32_t UartBaud(const std::vector<uint8_t>& p) const;
  void StoreOptions(const std::vector<uint8_t>& p);
  std::vector<uint8_t> StatusLocked() const;

  PtyPair& pty_;
  SimLink link_;
  bool paced_ = false;
  StcModernProfile profile_;
  StcModernFaults faults_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  int64_t startNs_ = 0;

  // Sim thread only.
  State state_ = State::AwaitPulses;
  int pulseRun_ = 0;
  long long lastByteMs_ = 0;
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> challenge_;  // waiting for its FE pulses
  int fePulses_ = 0;
  uint32_t trialBaud_ = 0;
  uint32_t syncBaud_ = 1200;
  bool firstWrite_ = true;
  bool acked_ = false;  // stc15a: the host echoed 80

  mutable std::mutex mu_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> mcs_;
  uint32_t storedHz_ = 0xFFFFFFFFu;
  uint8_t trimA_ = 0, trimB_ = 0, divider_ = 1;
  std::map<uint8_t, int> frames_;
  int badFrames_ = 0;
  std::set<size_t> blockSizes_;
  int trimRounds_ = 0;
  uint32_t progBaud_ = 0;
  uint32_t pulseBaud_ = 0;
  bool endSeen_ = false;
  int sessions_ = 0;
};
