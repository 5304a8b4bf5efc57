// A SerialPlatform that records what a driver asks of the device, in order:
// "OPEN", "CLOSE", "LINE", "PURGE", "DTR1", "DTR0", "RTS1", "RTS0",
// "LOWLAT1", "LOWLAT0", "DRAIN", "MODEM". ApplyLine
// sets the modem lines as the settings say, so it is recorded as "LINE"
// followed by the DTR and RTS entries it implies.
//
// With an inner platform (the real one by default) every call is passed on,
// so a pseudo-terminal still carries the bytes; with nullptr it stands alone:
// Open hands out made-up descriptors, reads find nothing, writes take all.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/SerialDevice.h"

class RecordingSerialPlatform : public SerialPlatform {
 public:
  explicit RecordingSerialPlatform(SerialPlatform* inner = &SerialPlatform::System())
      : inner_(inner) {}

  std::vector<std::string> calls;   // every recorded call, in order
  SerialLineSettings lastLine;      // settings of the last ApplyLine
  int lineCount = 0;                // ApplyLine calls
  bool dtr = false;                 // line state as last set
  bool rts = false;
  bool failOpen = false;            // make Open fail
  bool refuseWrites = false;        // make Write report a refusal (-1)
  bool refuseLowLatency = false;    // behave like a pty: no ASYNC_LOW_LATENCY
  bool lowLatency = false;          // the flag as the fake device holds it
  std::function<void(bool)> onLowLatency;  // e.g. lowers a simulated adapter's latency
  std::function<void()> onModemLine;       // after SetDtr / SetRts: a board's reset wiring
  int lastDrainMs = -1;             // time-out of the last Drain
  int modemLines = -2;              // what ModemLines reports; -2 asks the inner platform
  std::vector<uint8_t> incoming;    // what reads deliver without an inner platform
  bool unplugged = false;           // the device is gone: once incoming is read, reads fail
  int queuedOutput = 0;             // what OutputQueued reports without an inner platform
  std::vector<uint8_t> written;     // what writes took without an inner platform

  // Only the modem-line entries ("DTR1", "RTS0", ...), in order.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c.rfind("DTR", 0) == 0 || c.rfind("RTS", 0) == 0) out.push_back(c);
    return out;
  }
  void Clear() { calls.clear(); }

  int Open(const std::string& portName) override {
    calls.push_back("OPEN");
    if (failOpen) return -1;
    if (!inner_) return nextFakeFd_++;
    return inner_->Open(portName);
  }
  void Close(int fd) override {
    calls.push_back("CLOSE");
    if (inner_) inner_->Close(fd);
  }
  bool IsCharDevice(int fd) override { return inner_ ? inner_->IsCharDevice(fd) : true; }
  bool ApplyLine(int fd, const SerialLineSettings& s) override {
    calls.push_back("LINE");
    lastLine = s;
    ++lineCount;
    Record("DTR", s.dtrOn, dtr);
    Record("RTS", s.rtsCts, rts);
    return inner_ ? inner_->ApplyLine(fd, s) : true;
  }
  bool Purge(int fd, bool input, bool output) override {
    calls.push_back("PURGE");
    return inner_ ? inner_->Purge(fd, input, output) : true;
  }
  long Read(int fd, void* buf, size_t len) override {
    if (inner_ && !unplugged) return inner_->Read(fd, buf, len);
    const size_t n = std::min(len, incoming.size());
    if (n == 0) return unplugged ? -1 : 0;
    std::copy(incoming.begin(), incoming.begin() + static_cast<long>(n), static_cast<uint8_t*>(buf));
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<long>(n));
    return static_cast<long>(n);
  }
  long Write(int fd, const void* buf, size_t len) override {
    if (refuseWrites) return -1;
    if (inner_) return inner_->Write(fd, buf, len);
    written.insert(written.end(), static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + len);
    return static_cast<long>(len);
  }
  int OutputQueued(int fd) override { return inner_ ? inner_->OutputQueued(fd) : queuedOutput; }
  void SetDtr(int fd, bool on) override {
    Record("DTR", on, dtr);
    if (inner_) inner_->SetDtr(fd, on);
    if (onModemLine) onModemLine();
  }
  void SetRts(int fd, bool on) override {
    Record("RTS", on, rts);
    if (inner_) inner_->SetRts(fd, on);
    if (onModemLine) onModemLine();
  }
  bool SetLowLatency(int, bool on, bool* wasOn) override {
    calls.push_back(on ? "LOWLAT1" : "LOWLAT0");
    if (refuseLowLatency) {
      if (wasOn) *wasOn = false;
      return false;
    }
    if (wasOn) *wasOn = lowLatency;
    lowLatency = on;
    if (onLowLatency) onLowLatency(on);
    return true;
  }
  bool Drain(int fd, int timeoutMs) override {
    calls.push_back("DRAIN");
    lastDrainMs = timeoutMs;
    return inner_ ? inner_->Drain(fd, timeoutMs) : true;
  }
  int ModemLines(int fd) override {
    calls.push_back("MODEM");
    if (modemLines != -2) return modemLines;
    return inner_ ? inner_->ModemLines(fd) : -1;
  }
  bool HungUp(int fd) override { return unplugged || (inner_ && inner_->HungUp(fd)); }

 private:
  void Record(const char* name, bool on, bool& state) {
    state = on;
    calls.push_back(std::string(name) + (on ? "1" : "0"));
  }
  SerialPlatform* inner_;
  int nextFakeFd_ = 1000;
};
