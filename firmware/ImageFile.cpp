#include "firmware/ImageFile.h"

#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

#include "firmware/FirmwareFile.h"

namespace {

void AppendRecord(QByteArray& out, uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
  uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + (offset & 0xFF) + type);
  out += ':';
  auto hex = [&out](uint8_t b) {
    static const char kDigits[] = "0123456789ABCDEF";
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  };
  hex(static_cast<uint8_t>(count));
  hex(static_cast<uint8_t>(offset >> 8));
  hex(static_cast<uint8_t>(offset));
  hex(type);
  for (size_t i = 0; i < count; ++i) {
    hex(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  hex(static_cast<uint8_t>(0u - sum));
  out += "\r\n";
}

}  // namespace

QByteArray IntelHexText(uint32_t baseAddress, const std::vector<uint8_t>& bytes) {
  QByteArray out;
  out.reserve(static_cast<qsizetype>(bytes.size() * 2 + bytes.size() / 16 * 13 + 64));
  uint32_t upper = 0;
  bool upperWritten = false;
  size_t at = 0;
  while (at < bytes.size()) {
    const uint64_t address = uint64_t{baseAddress} + at;
    const uint32_t high = static_cast<uint32_t>(address >> 16);
    if (!upperWritten || high != upper) {
      const uint8_t value[2] = {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high)};
      AppendRecord(out, 4, 0, value, 2);
      upper = high;
      upperWritten = true;
    }
    // A record never crosses a 64 KB boundary.
    const size_t toBoundary = 0x10000u - static_cast<size_t>(address & 0xFFFF);
    const size_t n = std::min<size_t>({16, bytes.size() - at, toBoundary});
    AppendRecord(out, 0, static_cast<uint16_t>(address & 0xFFFF), bytes.data() + at, n);
    at += n;
  }
  AppendRecord(out, 1, 0, nullptr, 0);
  return out;
}

bool WriteImageFile(const QString& path, uint32_t baseAddress, const std::vector<uint8_t>& bytes, QString* error) {
  QSaveFile file(path);
  const QByteArray content = IsHexName(path)
                                 ? IntelHexText(baseAddress, bytes)
                                 : QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size()));
  if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
    if (error) *error = QStringLiteral("无法写入文件: %1 (%2)").arg(path, file.errorString());
    return false;
  }
  return true;
}

bool CanWriteImageFile(const QString& path, QString* error) {
  QSaveFile file(path);
  if (QFileInfo(path).isDir()) {
    if (error) *error = QStringLiteral("无法写入文件: %1 (%2)").arg(path, QStringLiteral("是一个文件夹"));
    return false;
  }
  if (!file.open(QIODevice::WriteOnly)) {
    if (error) *error = QStringLiteral("无法写入文件: %1 (%2)").arg(path, file.errorString());
    return false;
  }
  file.cancelWriting();
  return true;
}
