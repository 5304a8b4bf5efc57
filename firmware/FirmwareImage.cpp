#include "firmware/FirmwareImage.h"

#include "firmware/FirmwareFile.h"
#include "firmware/HexFault.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <vector>

HexDecodeResult DecodeIntelHex(const QByteArray& text, uint64_t maxSpan) {
  HexDecodeResult result;
  const ihex::Result hex = ihex::Read(text.constData(), static_cast<size_t>(text.size()));
  using E = HexDecodeResult::Error;
  switch (hex.fault) {
    case ihex::Fault::None: break;
    case ihex::Fault::NotHex: result.error = E::NotHex; break;
    case ihex::Fault::Checksum: result.error = E::Checksum; break;
    case ihex::Fault::UnknownType: result.error = E::UnknownType; break;
    case ihex::Fault::Overlap: result.error = E::Overlap; break;
    case ihex::Fault::NoEndRecord: result.error = E::NoEndRecord; break;
    case ihex::Fault::FileTooLarge: result.error = E::TooLarge; break;
    case ihex::Fault::Syntax:
    case ihex::Fault::AboveLimit: result.error = E::Syntax; break;
  }
  result.errorLine = hex.line;
  result.recordType = hex.type;
  if (!hex.Ok() || hex.Empty()) return result;
  for (const auto& sg : hex.segments) result.segments.push_back({sg.address, sg.length});
  result.dataBytes = hex.dataBytes;
  result.baseAddress = hex.Lowest() >= FirmwareImage::kFlashBase ? FirmwareImage::kFlashBase : 0;
  result.span = hex.End() - result.baseAddress;
  if (result.span > maxSpan) {
    result.error = E::TooLarge;
    return result;
  }
  result.image = QByteArray(static_cast<qsizetype>(result.span), char(0xFF));
  hex.Place(result.baseAddress, reinterpret_cast<uint8_t*>(result.image.data()), static_cast<size_t>(result.span));
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
  // A HEX file beyond the reader's bound is not read at all.
  const qint64 limit = hex ? ihex::kMaxFileBytes : qint64{kMaxImageBytes} + 3;

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
      // A HEX file is refused by its size as every family's loader does.
      return refuse(hex ? FirmwareFileProblem(path, file) : tooBig);
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
        return refuse(HexFaultText(ihex::Fault::Syntax, d.errorLine, 0, name, 0));
      case HexDecodeResult::Error::Checksum:
        return refuse(HexFaultText(ihex::Fault::Checksum, d.errorLine, 0, name, 0));
      case HexDecodeResult::Error::NoEndRecord:
        return refuse(HexFaultText(ihex::Fault::NoEndRecord, 0, 0, name, 0));
      case HexDecodeResult::Error::NotHex:
        return refuse(HexFaultText(ihex::Fault::NotHex, 0, 0, name, 0));
      case HexDecodeResult::Error::UnknownType:
        return refuse(HexFaultText(ihex::Fault::UnknownType, d.errorLine, d.recordType, name, 0));
      case HexDecodeResult::Error::Overlap:
        return refuse(HexFaultText(ihex::Fault::Overlap, d.errorLine, 0, name, 0));
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
