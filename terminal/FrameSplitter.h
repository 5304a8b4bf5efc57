// Cuts a received byte stream into the frames a device speaks. The frames do
// not depend on how the stream was delivered: one byte at a time, a USB
// adapter's 32-byte packets and 4 KB reads give the same frames (a gap rule
// aside, which is about time by its nature).
#pragma once

#include <QString>
#include <memory>
#include <cstdint>
#include <span>
#include <vector>

struct SplitRule {
  // Modbus: RTU requests and replies told apart by their CRC and the length
  // their function code implies (gapMs: the silence that gives up a broken one).
  enum class Mode { Gap, Terminator, FixedLength, LengthField, Modbus };
  Mode mode = Mode::Gap;
  int gapMs = 5;                     // Gap: silence that ends a frame
  std::vector<uint8_t> terminator;   // Terminator: ends a frame, kept in it
  int fixedLength = 8;               // FixedLength
  // LengthField: a frame starts with `header` (may be empty); the length is
  // read at `lengthOffset` from the frame start, `lengthWidth` bytes (1, 2 or
  // 4), big- or little-endian. It counts the whole frame, or the bytes after
  // the field; `lengthExtra` bytes more follow (a checksum it leaves out, say;
  // may be negative).
  std::vector<uint8_t> header;
  int lengthOffset = 0;
  int lengthWidth = 1;
  bool lengthBigEndian = true;
  bool lengthCountsWholeFrame = false;
  int lengthExtra = 0;
  // Longest frame taken: a longer run is given out as it stands, so a stream
  // that never matches the rule still shows every byte. A length field that
  // names more than this is taken as noise (see Frame::stray).
  int maxFrame = 4096;

  // "gap=5ms", "end=0d0a", "fixed=8", "len@2:2be+4,head=aa55,whole", "modbus" — the
  // command line's grammar for a rule; an empty error means it parsed.
  static SplitRule Parse(const QString& text, QString* error);
};

struct Frame {
  std::vector<uint8_t> bytes;
  int64_t timeMs = 0;  // arrival time of its first byte
  // Bytes that did not fit the rule (skipped while looking for a header, a
  // frame cut at the longest length, a stream's rest at the end).
  bool stray = false;
  bool reply = false;  // Modbus: a slave's reply rather than a request
};

namespace modbus {
class Monitor;
}

class FrameSplitter {
 public:
  explicit FrameSplitter(const SplitRule& rule);
  ~FrameSplitter();

  const SplitRule& Rule() const { return rule_; }

  // Bytes received at `nowMs`; complete frames are appended to `out`.
  void Feed(std::span<const uint8_t> bytes, int64_t nowMs, std::vector<Frame>& out);
  // Time passed without bytes: ends a frame after its gap of silence.
  void Tick(int64_t nowMs, std::vector<Frame>& out);
  // Gives out what is pending (the port closed).
  void Flush(std::vector<Frame>& out);
  // Bytes held that belong to no finished frame yet.
  size_t Pending() const;
  void Reset();

 private:
  void Take(size_t n, bool stray, std::vector<Frame>& out);
  // Bytes that fit no frame are gathered and given out as one run before the
  // next frame, so where a read happened to end does not split them.
  void TakeNoise(size_t n, std::vector<Frame>& out);
  void GiveNoise(std::vector<Frame>& out);
  void Scan(std::vector<Frame>& out);
  bool ScanLength(std::vector<Frame>& out);

  SplitRule rule_;
  std::unique_ptr<modbus::Monitor> monitor_;
  size_t monitorHeld_ = 0;
  std::vector<uint8_t> buf_;
  size_t head_ = 0;         // consumed bytes at the front of buf_
  size_t searched_ = 0;     // terminator: bytes of the pending frame already searched
  int64_t firstMs_ = 0;     // arrival of the pending frame's first byte
  int64_t lastMs_ = 0;      // arrival of the last byte
  int64_t nextFirstMs_ = 0; // arrival of the chunk now being scanned
  std::vector<uint8_t> noise_;
  int64_t noiseMs_ = 0;
};
