// A simulated STC89 boot loader on the master side of a pseudo-terminal,
// behind the shared wire model (SimLink). It answers a run of 7F bytes with
// its status packet, takes the new speed from the 8F frame and answers at
// that speed, falls back until 8E confirms it, and then serves control,
// erase, block writes, options and the end flag. Frames with a bad checksum
// are ignored. A pty does not really change speed, so the simulator reads
// the speed the program has set and answers only once the program listens
// at the speed the protocol calls for; with a paced link the wire runs at
// whatever speed the part talks at that moment.
//
// Flash behaves as flash: it starts out holding an earlier firmware, an
// erase clears only the sectors its count covers, and a write can only
// clear bits. Each written block is answered with 80 and the low byte of the
// block's sum as the flash now holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimLink.h"
#include "support/Pty.h"

struct StcSimProfile {
  std::string model;            // "STC89C52RC"
  uint8_t modelBytes[3] = {};   // as the status packet carries them
  uint32_t crystalHz = 11059200;
  size_t flashSize = 8192;
  int countOffset = 0;          // real parts measure one or two counts low
  bool brt8 = false;            // a 1T part whose boot loader takes an 8-bit reload
  bool sixT = false;            // left in 6T (double speed) mode by an earlier download
};

// The six models the programmer knows, or "unknown" (a part it does not).
StcSimProfile StcProfile(const std::string& model, uint32_t crystalHz);

struct StcSimFaults {
  bool silent = false;     // never answers anything
  int noReplyTo = -1;      // command code left unanswered
  int hangUpOn = -1;       // command code on which the line is dropped ...
  int hangUpAfter = 1;     // ... at its n-th frame
  bool splitReplies = false;  // every frame reply comes in two pieces ...
  int splitPauseMs = 150;     // ... this far apart
  int badChecksumTo = -1;  // command whose replies carry a wrong checksum
  int skipWriteBlock = -1; // block index whose write leaves the flash as it was
  int eraseMs = 0;         // time an erase takes
  int writeMs = 0;         // time a block write takes
};

// When the part answered a frame and when the program's next frame began,
// as the wire saw them (steady_clock ns).
struct StcSimTurn {
  uint8_t command;        // the frame that followed the reply
  int64_t replyDoneNs;    // the reply's last byte handed to the program
  int64_t nextStartNs;    // the next frame's first byte put on the wire
};

class StcSim {
 public:
  // link.baud != 0 paces the wire; the value is replaced by the speed the
  // part talks at.
  StcSim(PtyPair& pty, StcSimProfile profile, StcSimFaults faults = {}, SimLinkOptions link = {});
  ~StcSim();
  StcSim(const StcSim&) = delete;
  StcSim& operator=(const StcSim&) = delete;

  // What the flash holds before the first erase: an earlier firmware.
  static uint8_t EarlierFirmware(size_t address);
  // The status packet a part sends when synchronised at `syncBaud`.
  static std::vector<uint8_t> StatusPacket(const StcSimProfile& profile, uint32_t syncBaud);

  std::vector<uint8_t> Flash() const;
  std::vector<uint8_t> ClockOption() const;   // payload of the last 8D frame
  int Frames(uint8_t command) const;          // well-formed frames received
  int BadFrames() const;
  int StatusPackets() const;
  bool EndFlagSeen() const;  // waits up to a second for it
  uint32_t ProgrammingBaud() const;
  uint32_t SyncBaud() const;
  // The speed the program's port was set to when the part first answered
  // after the speed change.
  uint32_t HostProgrammingSpeed() const;
  // Count byte of the last erase frame (0: none or the small part's frame).
  int EraseCount() const;
  // Payload of the last 8F frame.
  std::vector<uint8_t> SpeedPayload() const;
  std::vector<StcSimTurn> Turns() const;
  // Time the session needs on the wire at the speeds it ran at (the connect
  // pulses counted only until the part synchronised), and the part's own
  // erase and write time.
  double WireSeconds() const;
  double DeviceSeconds() const;
  const SimLink& Link() const { return link_; }
  // The adapter's latency timer (a low-latency request lowers it).
  void SetAdapterLatency(int ms) { link_.SetAdapterLatency(ms); }

  void Stop();

 private:
  enum class State { AwaitPulses, Synced, SpeedTrial, Programming };

  void Run();
  void Consume(uint8_t b);
  void HandleFrame(const std::vector<uint8_t>& f);
  uint32_t SpeedFrom(const std::vector<uint8_t>& payload, bool withWait) const;
  // `corrupt`: the checksum is off by one.
  void Reply(uint8_t command, const std::vector<uint8_t>& payload, uint32_t baud, bool corrupt);
  void SendAt(const std::vector<uint8_t>& bytes, uint32_t baud, bool split);
  void Erase(const std::vector<uint8_t>& payload);

  PtyPair& pty_;
  SimLink link_;
  bool paced_ = false;
  StcSimProfile profile_;
  StcSimFaults faults_;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  // Sim thread only.
  State state_ = State::AwaitPulses;
  int pulseRun_ = 0;
  std::vector<uint8_t> frame_;
  long long lastByteMs_ = 0;
  uint32_t trialBaud_ = 0;
  int64_t frameStartNs_ = 0;
  bool replied_ = false;  // a reply went out since the last frame

  mutable std::mutex mu_;  // what the test reads
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> clockOption_;
  std::vector<uint8_t> speedPayload_;
  std::map<uint8_t, int> frames_;
  int badFrames_ = 0;
  int statusPackets_ = 0;
  bool endFlag_ = false;
  uint32_t progBaud_ = 0;
  uint32_t syncBaud_ = 0;
  uint32_t hostProgSpeed_ = 0;
  int eraseCount_ = 0;
  int64_t wireNs_ = 0;
  int64_t deviceNs_ = 0;
  std::vector<StcSimTurn> turns_;
};
