#include "terminal/Checksum.h"

#include <array>

namespace {

// Table-driven so the frame view keeps up with a full-speed stream.
template <typename T, T Poly, bool Reflected>
struct CrcTable {
  std::array<T, 256> t{};
  constexpr CrcTable() {
    constexpr int bits = sizeof(T) * 8;
    for (int i = 0; i < 256; ++i) {
      T c;
      if constexpr (Reflected) {
        c = static_cast<T>(i);
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<T>((c >> 1) ^ Poly) : static_cast<T>(c >> 1);
      } else {
        c = static_cast<T>(static_cast<T>(i) << (bits - 8));
        for (int k = 0; k < 8; ++k) {
          const bool top = (c >> (bits - 1)) & 1;
          c = static_cast<T>(c << 1);
          if (top) c = static_cast<T>(c ^ Poly);
        }
      }
      t[i] = c;
    }
  }
};

constexpr CrcTable<uint16_t, 0xA001, true> kModbus;      // 0x8005 reflected
constexpr CrcTable<uint16_t, 0x1021, false> kCcitt;
constexpr CrcTable<uint32_t, 0xEDB88320u, true> kCrc32;  // 0x04C11DB7 reflected
constexpr CrcTable<uint8_t, 0x07, false> kCrc8;

uint16_t Crc16Reflected(std::span<const uint8_t> b, uint16_t crc) {
  for (uint8_t x : b) crc = static_cast<uint16_t>((crc >> 8) ^ kModbus.t[(crc ^ x) & 0xFF]);
  return crc;
}

uint16_t Crc16Ccitt(std::span<const uint8_t> b, uint16_t crc) {
  for (uint8_t x : b) crc = static_cast<uint16_t>((crc << 8) ^ kCcitt.t[((crc >> 8) ^ x) & 0xFF]);
  return crc;
}

}  // namespace

int ChecksumWidth(ChecksumKind kind) {
  switch (kind) {
    case ChecksumKind::None: return 0;
    case ChecksumKind::Crc16Modbus:
    case ChecksumKind::Crc16CcittFalse:
    case ChecksumKind::Crc16Xmodem: return 2;
    case ChecksumKind::Crc32: return 4;
    case ChecksumKind::Crc8:
    case ChecksumKind::Sum8:
    case ChecksumKind::Xor8: return 1;
  }
  return 0;
}

QString ChecksumName(ChecksumKind kind) {
  switch (kind) {
    case ChecksumKind::None: return QStringLiteral("无校验");
    case ChecksumKind::Crc16Modbus: return QStringLiteral("CRC-16/MODBUS");
    case ChecksumKind::Crc16CcittFalse: return QStringLiteral("CRC-16/CCITT-FALSE");
    case ChecksumKind::Crc16Xmodem: return QStringLiteral("CRC-16/XMODEM");
    case ChecksumKind::Crc32: return QStringLiteral("CRC-32");
    case ChecksumKind::Crc8: return QStringLiteral("CRC-8");
    case ChecksumKind::Sum8: return QStringLiteral("8 位累加和");
    case ChecksumKind::Xor8: return QStringLiteral("异或校验");
  }
  return {};
}

QString ChecksumKey(ChecksumKind kind) {
  switch (kind) {
    case ChecksumKind::None: return QStringLiteral("none");
    case ChecksumKind::Crc16Modbus: return QStringLiteral("modbus");
    case ChecksumKind::Crc16CcittFalse: return QStringLiteral("ccitt");
    case ChecksumKind::Crc16Xmodem: return QStringLiteral("xmodem");
    case ChecksumKind::Crc32: return QStringLiteral("crc32");
    case ChecksumKind::Crc8: return QStringLiteral("crc8");
    case ChecksumKind::Sum8: return QStringLiteral("sum8");
    case ChecksumKind::Xor8: return QStringLiteral("xor");
  }
  return {};
}

bool ChecksumFromKey(const QString& key, ChecksumKind* kind) {
  for (ChecksumKind k : kChecksumKinds) {
    if (ChecksumKey(k).compare(key, Qt::CaseInsensitive) == 0) {
      *kind = k;
      return true;
    }
  }
  return false;
}

uint32_t ComputeChecksum(ChecksumKind kind, std::span<const uint8_t> b) {
  switch (kind) {
    case ChecksumKind::None: return 0;
    case ChecksumKind::Crc16Modbus: return Crc16Reflected(b, 0xFFFF);
    case ChecksumKind::Crc16CcittFalse: return Crc16Ccitt(b, 0xFFFF);
    case ChecksumKind::Crc16Xmodem: return Crc16Ccitt(b, 0x0000);
    case ChecksumKind::Crc32: {
      uint32_t crc = 0xFFFFFFFFu;
      for (uint8_t x : b) crc = (crc >> 8) ^ kCrc32.t[(crc ^ x) & 0xFF];
      return crc ^ 0xFFFFFFFFu;
    }
    case ChecksumKind::Crc8: {
      uint8_t crc = 0;
      for (uint8_t x : b) crc = kCrc8.t[crc ^ x];
      return crc;
    }
    case ChecksumKind::Sum8: {
      uint8_t s = 0;
      for (uint8_t x : b) s = static_cast<uint8_t>(s + x);
      return s;
    }
    case ChecksumKind::Xor8: {
      uint8_t s = 0;
      for (uint8_t x : b) s ^= x;
      return s;
    }
  }
  return 0;
}

std::vector<uint8_t> ChecksumBytes(ChecksumKind kind, uint32_t value, bool littleEndian) {
  const int w = ChecksumWidth(kind);
  std::vector<uint8_t> out(static_cast<size_t>(w));
  for (int i = 0; i < w; ++i) {
    const int shift = 8 * (littleEndian ? i : w - 1 - i);
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(value >> shift);
  }
  return out;
}

ChecksumVerdict CheckFrame(const ChecksumPlace& place, std::span<const uint8_t> frame) {
  const int w = ChecksumWidth(place.kind);
  if (w == 0) return ChecksumVerdict::None;
  const long long need = static_cast<long long>(place.skipHead) + w + place.tail;
  if (place.skipHead < 0 || place.tail < 0 || static_cast<long long>(frame.size()) < need)
    return ChecksumVerdict::TooShort;
  const size_t at = frame.size() - static_cast<size_t>(place.tail) - static_cast<size_t>(w);
  const auto covered = frame.subspan(static_cast<size_t>(place.skipHead), at - static_cast<size_t>(place.skipHead));
  const auto expect = ChecksumBytes(place.kind, ComputeChecksum(place.kind, covered), place.littleEndian);
  for (int i = 0; i < w; ++i)
    if (frame[at + static_cast<size_t>(i)] != expect[static_cast<size_t>(i)]) return ChecksumVerdict::Bad;
  return ChecksumVerdict::Good;
}

std::vector<uint8_t> AppendChecksum(const ChecksumPlace& place, std::span<const uint8_t> payload) {
  std::vector<uint8_t> out(payload.begin(), payload.end());
  const size_t skip = place.skipHead > 0 ? static_cast<size_t>(place.skipHead) : 0;
  const auto covered = skip < payload.size() ? payload.subspan(skip) : std::span<const uint8_t>();
  const auto sum = ChecksumBytes(place.kind, ComputeChecksum(place.kind, covered), place.littleEndian);
  out.insert(out.end(), sum.begin(), sum.end());
  return out;
}
