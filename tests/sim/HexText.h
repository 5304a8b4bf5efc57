// Intel HEX text for the tests and benchmarks: records with correct checksums.
#pragma once

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <vector>

inline QByteArray HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> bytes{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                             static_cast<uint8_t>(address), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  bytes.push_back(static_cast<uint8_t>(0u - sum));
  QByteArray line = ":";
  for (uint8_t b : bytes) line += QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
  return line + "\r\n";
}

// The image from `base` on, 32 bytes a record, with extended linear records.
inline QByteArray HexText(const std::vector<uint8_t>& image, uint32_t base = 0) {
  QByteArray text;
  uint32_t upper = 0xFFFFFFFFu;
  for (size_t at = 0; at < image.size(); at += 32) {
    const uint32_t address = base + static_cast<uint32_t>(at);
    if (address >> 16 != upper) {
      upper = address >> 16;
      text += HexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
    }
    const size_t n = std::min<size_t>(32, image.size() - at);
    text += HexRecord(0, static_cast<uint16_t>(address),
                      std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(at),
                                           image.begin() + static_cast<std::ptrdiff_t>(at + n)));
  }
  return text + ":00000001FF\r\n";
}

inline std::vector<uint8_t> PatternImage(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> image(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return image;
}

// The image with its vector checksum word (0x14 on ARM7, 0x1C on Cortex-M),
// as the flash must hold it.
inline std::vector<uint8_t> WithVectorChecksum(std::vector<uint8_t> image, size_t slot = 0x14) {
  uint32_t sum = 0;
  for (size_t at = 0; at < 32; at += 4)
    if (at != slot)
      sum += static_cast<uint32_t>(image[at]) | static_cast<uint32_t>(image[at + 1]) << 8 |
             static_cast<uint32_t>(image[at + 2]) << 16 | static_cast<uint32_t>(image[at + 3]) << 24;
  const uint32_t check = 0u - sum;
  for (size_t i = 0; i < 4; ++i) image[slot + i] = static_cast<uint8_t>(check >> (8 * i));
  return image;
}
