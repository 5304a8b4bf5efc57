#include "isp/stm32/Stm32Frames.h"

#include <algorithm>

namespace stm32 {

namespace {

uint8_t Xor(const uint8_t* data, size_t count, uint8_t start = 0) {
  for (size_t i = 0; i < count; ++i) start ^= data[i];
  return start;
}

}  // namespace

Frame CommandFrame(uint8_t code) { return {code, static_cast<uint8_t>(~code)}; }

Frame AddressFrame(uint32_t address) {
  Frame f{static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
          static_cast<uint8_t>(address)};
  f.push_back(Xor(f.data(), f.size()));
  return f;
}

Frame ReadCountFrame(int length) {
  const auto n = static_cast<uint8_t>(length - 1);
  return {n, static_cast<uint8_t>(~n)};
}

Frame WriteDataFrame(const uint8_t* data, int length) {
  Frame f;
  f.reserve(static_cast<size_t>(length) + 2);
  f.push_back(static_cast<uint8_t>(length - 1));
  f.insert(f.end(), data, data + length);
  f.push_back(Xor(data, static_cast<size_t>(length), f.front()));
  return f;
}

std::vector<Frame> EraseFrames(bool extended, const std::vector<uint32_t>& numbers, int perFrame) {
  std::vector<Frame> frames;
  const size_t most = static_cast<size_t>(std::max(1, std::min(perFrame, extended ? kExtendedPerFrame : kStandardPerFrame)));
  for (size_t first = 0; first < numbers.size(); first += most) {
    const size_t n = std::min(most, numbers.size() - first);
    Frame f;
    if (extended) {
      f = {static_cast<uint8_t>((n - 1) >> 8), static_cast<uint8_t>(n - 1)};
      for (size_t i = first; i < first + n; ++i) {
        f.push_back(static_cast<uint8_t>(numbers[i] >> 8));
        f.push_back(static_cast<uint8_t>(numbers[i]));
      }
    } else {
      f.push_back(static_cast<uint8_t>(n - 1));
      for (size_t i = first; i < first + n; ++i) f.push_back(static_cast<uint8_t>(numbers[i]));
    }
    f.push_back(Xor(f.data(), f.size()));
    frames.push_back(std::move(f));
  }
  return frames;
}

std::vector<Frame> EraseFrames(bool extended, int units) {
  std::vector<uint32_t> numbers;
  for (int i = 0; i < units; ++i) numbers.push_back(static_cast<uint32_t>(i));
  return EraseFrames(extended, numbers, extended ? kExtendedPerFrame : kStandardPerFrame);
}

Frame MassEraseFrame(bool extended) { return extended ? Frame{0xFF, 0xFF, 0x00} : Frame{0xFF, 0x00}; }

Frame Bank2EraseFrame() { return {0xFF, 0xFD, 0x02}; }

int UnitsInEraseFrame(bool extended, const Frame& frame) {
  if (frame.empty() || (extended && frame.size() < 2)) return 0;
  return extended ? (frame[0] << 8 | frame[1]) + 1 : frame[0] + 1;
}

Reply ReadReply(const uint8_t* data, int size, ReplyKind kind, int bytes) {
  Reply r;
  while (r.skip < size && data[r.skip] != kAck && data[r.skip] != kNack) ++r.skip;
  const uint8_t* b = data + r.skip;
  const int count = size - r.skip;
  if (count < 1) return r;
  if (b[0] == kNack) {
    r.status = Reply::Status::Nack;
    r.length = 1;
    return r;
  }
  int need = 1;
  if (kind == ReplyKind::Listed) need = count < 2 ? 0 : b[1] + 4;
  if (kind == ReplyKind::Bytes) need = 1 + std::max(bytes, 0);
  if (kind == ReplyKind::AckAck) need = 2;
  if (need == 0 || count < need) {  // never act on part of a reply
    r.missing = need == 0 ? 0 : need - count;
    return r;
  }
  r.length = need;
  const bool closed = kind != ReplyKind::Listed && kind != ReplyKind::AckAck;
  r.status = closed || b[need - 1] == kAck ? Reply::Status::Ack : Reply::Status::Invalid;
  return r;
}

bool SyncAnswered(const uint8_t* data, int size) {
  return std::any_of(data, data + std::max(size, 0), [](uint8_t v) { return v == kAck || v == kNack; });
}

}  // namespace stm32
