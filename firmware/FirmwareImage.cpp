#include "firmware/FirmwareImage.h"

#include "firmware/FirmwareFile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two hex digits at p; -1 when either is not one.
int HexByte(const char* p) {
  int hi = HexDigit(p[0]);
  int lo = HexDigit(p[1]);
  return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct DataRecord {
  uint64_t address;
  QByteArray bytes;
};

}  // namespace

HexDecodeResult DecodeIntelHex(const QByteArray& text, uint64_t maxSpan) {
  HexDecodeResult result;
  std::vector<DataRecord> records;
  uint64_t segmentBase = 0;  // type 02: offsets wrap inside 64 KiB
  uint64_t linearBase = 0;   // type 04
  bool segmentMode = false;

  const char* data = text.constData();
  const qsizetype size = text.size();
  qsizetype pos = 0;
  int lineNo = 0;
  bool endRecord = false;
  while (pos < size) {
    // One line: ends at CR, LF or CR LF, as text reading takes them.
    qsizetype end = pos;
    while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
    qsizetype next = end;
    if (next < size) next += (data[next] == '\r' && next + 1 < size && data[next + 1] == '\n') ? 2 : 1;
    ++lineNo;

    qsizetype b = pos, e = end;
    pos = next;
    while (b < e && IsBlank(data[b])) ++b;
    while (e > b && IsBlank(data[e - 1])) --e;
    if (b == e || data[b] != ':') continue;  // comments, blank lines

    const char* line = data + b;
    const qsizetype len = e - b;
    auto fail = [&](HexDecodeResult::Error why) {
      result.error = why;
      result.errorLine = lineNo;
      return result;
    };
    if (len < 11) return fail(HexDecodeResult::Error::Syntax);
    const int count = HexByte(line + 1);
    if (count < 0 || len != 11 + 2 * count) return fail(HexDecodeResult::Error::Syntax);
    uint8_t bytes[4 + 255 + 1];
    const int total = 4 + count + 1;  // LL AAAA TT, data, CC
    uint8_t sum = 0;
    for (int i = 0; i < total; ++i) {
      int v = HexByte(line + 1 + 2 * i);
      if (v < 0) return fail(HexDecodeResult::Error::Syntax);
      bytes[i] = static_cast<uint8_t>(v);
      sum = static_cast<uint8_t>(sum + v);
    }
    if (sum != 0) return fail(HexDecodeResult::Error::Checksum);

    const uint32_t offset = (uint32_t{bytes[1]} << 8) | bytes[2];
    const uint8_t type = bytes[3];
    const uint8_t* payload = bytes + 4;
    switch (type) {
      case 0x00: {
        if (count == 0) break;
        if (segmentMode && offset + count > 0x10000) {
          // A record that runs past the end of its segment wraps to offset 0.
          uint32_t first = 0x10000 - offset;
          records.push_back({segmentBase + offset,
                             QByteArray(reinterpret_cast<const char*>(payload), first)});
          records.push_back({segmentBase, QByteArray(reinterpret_cast<const char*>(payload + first),
                                                     count - first)});
        } else {
          records.push_back({(segmentMode ? segmentBase : linearBase) + offset,
                             QByteArray(reinterpret_cast<const char*>(payload), count)});
        }
        break;
      }
      case 0x02:
        if (count != 2) return fail(HexDecodeResult::Error::Syntax);
        segmentBase = ((uint64_t{payload[0]} << 8) | payload[1]) << 4;
        segmentMode = true;
        break;
      case 0x04:
        if (count != 2) return fail(HexDecodeResult::Error::Syntax);
        linearBase = ((uint64_t{payload[0]} << 8) | payload[1]) << 16;
        segmentMode = false;
        break;
      case 0x01:
        endRecord = true;  // later records still count
        break;
      default:
        // 03, 05: start addresses, nothing to place. 06 and above: not ours.
        break;
    }
  }

  if (!endRecord) {
    result.error = HexDecodeResult::Error::NoEndRecord;
    return result;
  }
  if (records.empty()) return result;  // span 0: nothing to load
  uint64_t lowest = UINT64_MAX, highest = 0;
  for (const auto& r : records) {
    lowest = std::min(lowest, r.address);
    highest = std::max(highest, r.address + static_cast<uint64_t>(r.bytes.size()));
  }
  result.baseAddress = lowest >= FirmwareImage::kFlashBase ? FirmwareImage::kFlashBase : 0;
  result.span = highest - result.baseAddress;
  if (result.span > maxSpan) {
    result.error = HexDecodeResult::Error::TooLarge;
    return result;
  }
  result.image = QByteArray(static_cast<qsizetype>(result.span), char(0xFF));
  for (const auto& r : records)
    std::memcpy(result.image.data() + (r.address - result.baseAddress), r.bytes.constData(),
                static_cast<size_t>(r.bytes.size()));
  return result;
}

QString FirmwareSizeLine(int64_t length) {
  return QStringLiteral("文件尺寸: %1 Byte / %2 KB").arg(length).arg(length / 1024);
}

FirmwareImage::FirmwareImage() : buffer_(new uint8_t[kImageBufferSize]()) {}

FirmwareLoadResult FirmwareImage::Load(const QString& path) {
  using Outcome = FirmwareLoadResult::Outcome;
  FirmwareLoadResult r;
  auto refuse = [&](const QString& why) {
    r.outcome = Outcome::Refused;
    r.status = why;
    r.reportToLog = true;
    return r;
  };
  const QString name = QFileInfo(path).fileName();
  const QString tooBig = QStringLiteral("文件太大，不能超过1024KB");
  const bool hex = IsHexName(path);
  // Even with short records and comments, a 1 MiB image stays far below the
  // HEX bound; a bigger file is not read at all.
  const qint64 limit = hex ? 64 * qint64{kImageBufferSize} : qint64{kImageBufferSize} + 3;

  FirmwareFileRead file = ReadFirmwareFile(path, limit);
  if (file.status == FirmwareFileStatus::Missing) {
    r.outcome = Outcome::Missing;
    r.status = QStringLiteral("文件不存在");
    return r;
  }
  // Whatever follows, the previous image is gone.
  stream_.clear();
  streamExists_ = true;
  switch (file.status) {
    case FirmwareFileStatus::Missing:
    case FirmwareFileStatus::NotRegular:
      return refuse(FirmwareFileProblem(path, file));
    case FirmwareFileStatus::TooLarge:
      return refuse(tooBig);
    case FirmwareFileStatus::Unreadable:
      r.status = FirmwareFileProblem(path, file);
      return r;
    case FirmwareFileStatus::Ok:
      break;
  }
  QByteArray content = std::move(file.bytes);

  const int64_t flashLimit = int64_t{FlashSizeKB} * 1024;
  auto tooLargeForFlash = [&](uint64_t length) {
    // The size line names the image, the status the part's flash.
    r.sizeLine = FirmwareSizeLine(static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX)));
    return refuse(QStringLiteral("文件太大，不能用于%1K Flash").arg(FlashSizeKB));
  };

  QByteArray image;
  if (hex) {
    HexDecodeResult d = DecodeIntelHex(content, uint64_t(kImageBufferSize));
    switch (d.error) {
      case HexDecodeResult::Error::Syntax:
        return refuse(QStringLiteral("HEX文件第 %1 行格式错误").arg(d.errorLine));
      case HexDecodeResult::Error::Checksum:
        return refuse(QStringLiteral("HEX文件第 %1 行校验和错误").arg(d.errorLine));
      case HexDecodeResult::Error::NoEndRecord:
        return refuse(QStringLiteral("HEX文件不完整（没有结束记录）: %1").arg(name));
      case HexDecodeResult::Error::TooLarge:
      case HexDecodeResult::Error::None:
        break;
    }
    const uint64_t padded = (d.span + 3) & ~uint64_t{3};
    if (padded == 0) return refuse(QStringLiteral("文件为空"));
    if (padded > static_cast<uint64_t>(flashLimit)) return tooLargeForFlash(padded);
    if (d.error == HexDecodeResult::Error::TooLarge || padded > uint64_t(kImageBufferSize))
      return refuse(tooBig);
    image = std::move(d.image);
    image.append(QByteArray(static_cast<qsizetype>(padded - d.span), '\0'));
    r.status = QStringLiteral("下载目标代码。。。");
  } else {
    image = std::move(content);
    if (image.isEmpty()) return refuse(QStringLiteral("文件为空"));
    // The boot loader writes whole 32-bit words only; a ragged tail would be
    // refused on the last block.
    const qsizetype rem = image.size() % 4;
    if (rem) image.append(QByteArray(4 - rem, char(0xFF)));
    if (image.size() > flashLimit) return tooLargeForFlash(static_cast<uint64_t>(image.size()));
    if (image.size() > kImageBufferSize) return refuse(tooBig);
    r.status = QStringLiteral("下载目标代码");
  }

  stream_ = std::move(image);
  std::memcpy(buffer_.get(), stream_.constData(), static_cast<size_t>(stream_.size()));
  r.outcome = Outcome::Loaded;
  r.sizeLine = FirmwareSizeLine(stream_.size());
  return r;
}
