// Bytes a host asks to be put into the image after it is loaded (a
// production line's serial number), shared by the three engines' images.
#pragma once

#include <QString>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "isp/IspJob.h"

// Byte i of `image` belongs at address base + i. Each patch overwrites its
// bytes; one past the end grows the image, the gap read as `fill` (what
// erased flash reads). False, with why, when a patch lies below `base` or
// would take the image past `limit` bytes; the image is then unchanged.
inline bool ApplyImagePatches(std::vector<uint8_t>& image, uint32_t base, const std::vector<IspImagePatch>& patches,
                              uint8_t fill, uint64_t limit, QString* why) {
  for (const IspImagePatch& p : patches) {
    const uint64_t end = uint64_t{p.address} + p.bytes.size();
    if (p.address < base || end - base > limit) {
      if (why)
        *why = QStringLiteral("写入地址 0x%1 超出器件Flash (%2 字节)")
                   .arg(QString::number(p.address, 16).toUpper().rightJustified(8, QLatin1Char('0')))
                   .arg(limit);
      return false;
    }
  }
  for (const IspImagePatch& p : patches) {
    const size_t at = p.address - base;
    if (at + p.bytes.size() > image.size()) image.resize(at + p.bytes.size(), fill);
    std::copy(p.bytes.begin(), p.bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return true;
}
