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
  // The stretches the records hold, merged where they touch or overlap.
  std::vector<HexDecodeResult::Segment> spans;
  spans.reserve(records.size());
  for (const auto& r : records) spans.push_back({r.address, static_cast<uint64_t>(r.bytes.size())});
  std::sort(spans.begin(), spans.end(), [](const auto& a, const auto& b) { return a.address < b.address; });
  for (const auto& sp : spans) {
    if (!result.segments.empty() &&
        sp.address <= result.segments.back().address + result.segments.back().length) {
      auto& last = result.segments.back();
      last.length = std::max(last.length, sp.address + sp.length - last.address);
    } else {
      result.segments.push_back(sp);
    }
  }
  for (const auto& sg : result.segments) result.dataBytes += sg.length;
  const uint64_t lowest = result.segments.front().address;
  const uint64_t highest = result.segments.back().address + result.segments.back().length;
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

namespace {

QString Hex32(uint64_t v) {
  return QStringLiteral("0x") + QStringLiteral("%1").arg(static_cast<qulonglong>(v), 8, 16, QLatin1Char('0')).toUpper();
}

}  // namespace

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
  const QString tooBig = QStringLiteral("文件太大，不能超过%1KB").arg(kMaxImageBytes / 1024);
  const bool hex = IsHexName(path);
  // Even with short records and comments, the largest image stays far below
  // the HEX bound; a bigger file is not read at all.
  const qint64 limit = hex ? 64 * qint64{kMaxImageBytes} : qint64{kMaxImageBytes} + 3;

  FirmwareFileRead file = ReadFirmwareFile(path, limit);
  if (file.status == FirmwareFileStatus::Missing) {
    r.outcome = Outcome::Missing;
    r.status = QStringLiteral("文件不存在");
    return r;
  }
  // Whatever follows, the previous image is gone.
  stream_.clear();
  segments_.clear();
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
  const int unit = std::max(4, WriteUnit);
  auto padTo = [](uint64_t n, int to) { return (n + to - 1) / to * to; };

  QByteArray image;
  if (hex) {
    HexDecodeResult d = DecodeIntelHex(content, uint64_t(kMaxImageBytes));
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
    if (d.segments.empty()) return refuse(QStringLiteral("文件为空"));
    // Byte 0 is the flash base; a file linked at address 0 (the boot alias
    // of flash) counts from there instead.
    const uint64_t flashEnd = uint64_t{kFlashBase} + static_cast<uint64_t>(flashLimit);
    auto inside = [&](uint64_t from, uint64_t to) {
      return std::all_of(d.segments.begin(), d.segments.end(), [&](const auto& sg) {
        return sg.address >= from && sg.address + sg.length <= to;
      });
    };
    const uint64_t padded = (d.span + 3) & ~uint64_t{3};  // whole words, zero-filled
    if (!inside(kFlashBase, flashEnd) && !inside(0, static_cast<uint64_t>(flashLimit))) {
      if (d.dataBytes > static_cast<uint64_t>(flashLimit)) return tooLargeForFlash(padded);
      // A few records somewhere else (option bytes, RAM, another part's
      // flash): named, not taken for a size problem.
      const bool flashAddresses = std::any_of(d.segments.begin(), d.segments.end(), [&](const auto& sg) {
        return sg.address >= kFlashBase && sg.address < flashEnd;
      });
      const uint64_t from = flashAddresses ? kFlashBase : 0;
      const uint64_t to = from + static_cast<uint64_t>(flashLimit);
      uint64_t outside = d.segments.back().address;
      for (const auto& sg : d.segments) {
        if (sg.address < from || sg.address >= to) {
          outside = sg.address;
          break;
        }
        if (sg.address + sg.length > to) {
          outside = to;
          break;
        }
      }
      return refuse(QStringLiteral("HEX文件的数据在 Flash 之外: 地址 %1").arg(Hex32(outside)));
    }
    if (padded > static_cast<uint64_t>(flashLimit)) return tooLargeForFlash(padded);
    if (d.error == HexDecodeResult::Error::TooLarge || padded > uint64_t(kMaxImageBytes)) return refuse(tooBig);
    image = std::move(d.image);
    image.append(QByteArray(static_cast<qsizetype>(padded - d.span), '\0'));
    for (const auto& sg : d.segments)
      segments_.push_back({static_cast<uint32_t>(sg.address - d.baseAddress), static_cast<uint32_t>(sg.length)});
    if (ErasedValue != 0xFF) {
      // Gaps read as erased flash on this part.
      uint32_t at = 0;
      for (const auto& sg : segments_) {
        std::memset(image.data() + at, ErasedValue, sg.offset - at);
        at = sg.offset + sg.length;
      }
    }
    r.status = QStringLiteral("下载目标代码。。。");
  } else {
    image = std::move(content);
    if (image.isEmpty()) return refuse(QStringLiteral("文件为空"));
    segments_.push_back({0, static_cast<uint32_t>(std::min<qsizetype>(image.size(), INT32_MAX))});
    r.status = QStringLiteral("下载目标代码");
  }
  // The boot loader writes whole words (whole flash words on parts with
  // ECC); a ragged tail would be refused on the last block, so it ends in
  // erased-flash bytes, which program nothing. The size line names the
  // file's words.
  const int64_t words = static_cast<int64_t>(padTo(static_cast<uint64_t>(image.size()), 4));
  const uint64_t whole = padTo(static_cast<uint64_t>(image.size()), unit);
  if (whole > static_cast<uint64_t>(image.size()) && whole <= static_cast<uint64_t>(std::max<int64_t>(flashLimit, image.size() + 3)))
    image.append(QByteArray(static_cast<qsizetype>(whole - static_cast<uint64_t>(image.size())), char(ErasedValue)));
  if (image.size() > flashLimit) return tooLargeForFlash(static_cast<uint64_t>(image.size()));
  if (image.size() > kMaxImageBytes) return refuse(tooBig);
  if (!segments_.empty()) {
    // The last stretch runs to the end of the padding.
    auto& last = segments_.back();
    last.length = static_cast<uint32_t>(image.size()) - last.offset;
  }

  stream_ = std::move(image);
  r.outcome = Outcome::Loaded;
  r.sizeLine = FirmwareSizeLine(words);
  return r;
}

bool FirmwareImage::Patch(uint32_t offset, const std::vector<uint8_t>& bytes) {
  if (!streamExists_ || stream_.isEmpty()) return false;
  if (bytes.empty()) return true;
  const uint64_t end = uint64_t{offset} + bytes.size();
  if (end > uint64_t(FlashSizeKB) * 1024 || end > uint64_t(kMaxImageBytes)) return false;
  const int unit = std::max(4, WriteUnit);
  const uint64_t whole = (end + unit - 1) / unit * unit;
  if (whole > static_cast<uint64_t>(stream_.size()))
    stream_.append(QByteArray(static_cast<qsizetype>(whole - static_cast<uint64_t>(stream_.size())), char(ErasedValue)));
  std::memcpy(stream_.data() + offset, bytes.data(), bytes.size());
  // The patched bytes (to whole units) are the file's too now.
  const uint32_t from = offset / unit * unit;
  const uint32_t to = static_cast<uint32_t>(std::min<uint64_t>(whole, static_cast<uint64_t>(stream_.size())));
  segments_.push_back({from, to - from});
  std::sort(segments_.begin(), segments_.end(), [](const Segment& a, const Segment& b) { return a.offset < b.offset; });
  std::vector<Segment> merged;
  for (const Segment& sg : segments_) {
    if (!merged.empty() && sg.offset <= merged.back().offset + merged.back().length) {
      Segment& last = merged.back();
      last.length = std::max(last.offset + last.length, sg.offset + sg.length) - last.offset;
    } else {
      merged.push_back(sg);
    }
  }
  segments_ = std::move(merged);
  return true;
}
