// What both simulated STC boot loaders do with the bytes a host sends: find
// its frames (46 B9 6A, a 16-bit length counted from the direction byte
// through the end byte, ...) among whatever else crosses the line (late 7F
// pulses, the FE prefix of the end flag). The sum is the caller's to check:
// the families differ in its width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Adds `b` to `frame`; true once `frame` holds a whole frame whose length
// lies within [minTotal, maxTotal]. A start that cannot be a frame is
// dropped, keeping a 46 that may begin the next.
inline bool CollectHostFrame(std::vector<uint8_t>& frame, uint8_t b, size_t minTotal, size_t maxTotal) {
  frame.push_back(b);
  static const uint8_t header[3] = {0x46, 0xB9, 0x6A};
  if (frame.size() <= 3) {
    if (frame.back() != header[frame.size() - 1]) {
      frame.clear();
      if (b == 0x46) frame.push_back(b);
    }
    return false;
  }
  if (frame.size() < 5) return false;
  const size_t total = ((static_cast<size_t>(frame[3]) << 8) | frame[4]) + 2;
  if (total < minTotal || total > maxTotal) {
    frame.clear();
    return false;
  }
  return frame.size() >= total;
}
