// The received history as frames: an index over the receive store (each
// frame's place, arrival time and checksum verdict), so frames live exactly
// as long as the bytes they are made of and cost 16 bytes each besides them.
// A new rule or checksum splits the whole history again.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "terminal/Checksum.h"
#include "terminal/FrameSplitter.h"

class FrameLog {
 public:
  struct Entry {
    uint32_t offset;   // into the store
    uint32_t length;
    uint32_t msOfDay;  // arrival of its first byte, local time
    uint8_t verdict;   // a ChecksumVerdict
    uint8_t stray;     // bytes that fit no frame
    uint8_t reply;     // Modbus: a slave's reply
  };

  explicit FrameLog(const std::vector<uint8_t>& store);

  void SetRule(const SplitRule& rule);
  const SplitRule& Rule() const { return rule_; }
  void SetChecksum(const ChecksumPlace& place);
  const ChecksumPlace& Checksum() const { return place_; }

  // The store grew by what arrived at `monoMs` (a steady clock) and `msOfDay`.
  // Returns the number of frames added.
  size_t Appended(int64_t monoMs, uint32_t msOfDay);
  // Time passed with nothing received (a silence may end a frame).
  size_t Tick(int64_t monoMs);
  // The store was emptied.
  void Cleared();

  size_t Count() const { return entries_.size(); }
  const Entry& At(size_t i) const { return entries_[i]; }
  std::span<const uint8_t> Bytes(size_t i) const;
  size_t PendingBytes() const { return splitter_->Pending(); }

  // Frame rows as shown and saved.
  QString TimeText(size_t i) const;
  QString HexText(size_t i, size_t maxBytes = SIZE_MAX) const;
  QString PlainText(size_t i, size_t maxBytes = SIZE_MAX) const;
  static QString VerdictText(uint8_t verdict);

  // The first frame at or after `from` (wrapping round) whose hex or text
  // holds `needle`; hex needles may be typed with or without blanks. -1 when
  // none does.
  long long Find(const QString& needle, size_t from) const;

  // Every frame as a CSV row (time, length, hex, text, checksum).
  bool SaveCsv(const QString& path) const;

 private:
  struct Delivery {
    size_t offset;
    int64_t monoMs;
    uint32_t msOfDay;
  };
  size_t Take(std::vector<Frame>& frames);
  void Resplit();

  const std::vector<uint8_t>& store_;
  SplitRule rule_;
  ChecksumPlace place_;
  std::unique_ptr<FrameSplitter> splitter_;
  std::vector<Entry> entries_;
  std::vector<Delivery> deliveries_;
  size_t fed_ = 0;     // store bytes given to the splitter
  size_t framed_ = 0;  // store bytes in entries_
};
