#include "firmware/FirmwareWriter.h"

#include <QSaveFile>

#include <algorithm>

#include "firmware/FirmwareFile.h"

namespace {

void Record(QByteArray& out, uint16_t offset, uint8_t type, const char* data, int n) {
  static const char* const kDigits = "0123456789ABCDEF";
  uint8_t sum = static_cast<uint8_t>(n + (offset >> 8) + (offset & 0xFF) + type);
  auto put = [&](uint8_t v) {
    out.append(kDigits[v >> 4]);
    out.append(kDigits[v & 0xF]);
  };
  out.append(':');
  put(static_cast<uint8_t>(n));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset));
  put(type);
  for (int i = 0; i < n; ++i) {
    const auto v = static_cast<uint8_t>(data[i]);
    sum = static_cast<uint8_t>(sum + v);
    put(v);
  }
  put(static_cast<uint8_t>(-sum));
  out.append("\r\n");
}

}  // namespace

QByteArray EncodeIntelHex(const QByteArray& bytes, uint32_t address) {
  QByteArray out;
  out.reserve(bytes.size() * 2 + bytes.size() / 16 * 13 + 64);
  uint32_t upper = 0xFFFFFFFF;
  for (qsizetype at = 0; at < bytes.size();) {
    const uint64_t a = uint64_t{address} + static_cast<uint64_t>(at);
    if ((a >> 16) != upper) {
      upper = static_cast<uint32_t>(a >> 16);
      const char ext[2] = {static_cast<char>(upper >> 8), static_cast<char>(upper)};
      Record(out, 0, 0x04, ext, 2);
    }
    // A record never crosses a 64 KB boundary: its offset would wrap.
    const qsizetype room = static_cast<qsizetype>(0x10000 - (a & 0xFFFF));
    const int n = static_cast<int>(std::min<qsizetype>({16, bytes.size() - at, room}));
    Record(out, static_cast<uint16_t>(a), 0x00, bytes.constData() + at, n);
    at += n;
  }
  Record(out, 0, 0x01, nullptr, 0);
  return out;
}

QString WriteFirmwareFile(const QString& path, const QByteArray& bytes, uint32_t address) {
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return QStringLiteral("无法写入文件: %1").arg(path);
  const QByteArray content = IsHexName(path) ? EncodeIntelHex(bytes, address) : bytes;
  if (f.write(content) != content.size() || !f.commit()) {
    f.cancelWriting();
    return QStringLiteral("无法写入文件: %1").arg(path);
  }
  return {};
}
