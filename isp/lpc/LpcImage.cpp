#include "isp/lpc/LpcImage.h"

#include <algorithm>
#include <cstring>
#include <iterator>

bool LpcTransferEntry::AddLine(const QByteArray& line) {
  if (LineCount >= kSlotCount) return false;
  if (line.size() > static_cast<qsizetype>(sizeof(LineSlots[0].Text))) return false;
  LpcLineSlot& slot = LineSlots[LineCount];
  std::memcpy(slot.Text, line.constData(), static_cast<size_t>(line.size()));
  slot.Length = static_cast<uint16_t>(line.size());
  ++LineCount;
  return true;
}

QByteArray LpcTransferEntry::Line(int index) const {
  if (index < 0 || index >= LineCount) return {};
  return QByteArray(LineSlots[index].Text, LineSlots[index].Length);
}

LpcSectorLayout SelectSectorLayout(const QString& partId) {
  LpcSectorLayout layout;
  const std::optional<uint32_t> id = ParseLpcPartId(partId);
  const LpcPartRow* row = id ? FindLpcPart(*id) : nullptr;
  if (!row) return layout;
  layout.Part = row;
  const std::vector<LpcSector> sectors = LpcSectors(*row);
  for (int k = 1; k < kLpcSectorMapSize; ++k) {
    const int s = LpcSectorOf(*row, static_cast<uint32_t>(k - 1) * kLpcChunkSize);
    layout.SectorMap[k] = static_cast<uint8_t>(s < 0 ? 0 : s);
  }
  for (const LpcSector& s : sectors) layout.FlashSize += s.size;
  layout.LastSector = QString::number(sectors.empty() ? 0 : sectors.size() - 1);
  return layout;
}

LpcWritePlan LpcPlanFor(const LpcPartRow& row) {
  LpcWritePlan plan;
  plan.RamBuffer = LpcRamBuffer(row);
  plan.CopySizes.clear();
  const uint32_t largest = LpcLargestCopy(row);
  for (const uint16_t* s = row.copySizes; s && *s; ++s)
    if (*s <= largest) plan.CopySizes.push_back(*s);
  // 4 KB chunks where the RAM allows, as the first LPC2xxx parts took them.
  plan.Chunk = std::min<uint32_t>(largest, kLpcChunkSize);
  while (!plan.CopySizes.empty() && plan.CopySizes.back() > plan.Chunk) plan.CopySizes.pop_back();
  plan.Binary = row.data == LpcData::Binary;
  const uint32_t flash = row.flashKB * 1024u;
  plan.SectorOfChunk.assign(1, 0);
  if (plan.Chunk == 0) return plan;
  for (uint32_t at = 0; at < flash; at += plan.Chunk) plan.SectorOfChunk.push_back(LpcSectorOf(row, at));
  return plan;
}

char UuChar(uint8_t value) {
  value &= 0x3F;
  return value == 0 ? '`' : static_cast<char>(value + 32);
}

QByteArray UuencodeLine(const uint8_t* data, int count, uint32_t* sum) {
  count = std::clamp(count, 0, kLpcBytesPerLine);
  uint8_t bytes[kLpcBytesPerLine + 2] = {};  // room for the zero padding
  uint32_t total = 0;
  for (int i = 0; i < count; ++i) {
    bytes[i] = data[i];
    total += data[i];
  }
  QByteArray line;
  line.reserve(64);
  line.append(static_cast<char>(32 + count));
  for (int i = 0; i < count; i += 3) {
    uint8_t x = bytes[i], y = bytes[i + 1], z = bytes[i + 2];
    line.append(UuChar(x >> 2));
    line.append(UuChar(static_cast<uint8_t>(((x & 3) << 4) | (y >> 4))));
    line.append(UuChar(static_cast<uint8_t>(((y & 15) << 2) | (z >> 6))));
    line.append(UuChar(z & 63));
  }
  line.append("\r\n");
  if (sum) *sum = total;
  return line;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

HexLineResult LoadHexLine(const QByteArray& line, LpcHexLoad& load) {
  if (line.isEmpty() || line[0] != ':') return HexLineResult::Ignored;
  // Start code, then pairs of digits: count, address (2), type, data, checksum.
  const qsizetype digits = line.size() - 1;
  if (digits < 10 || digits % 2 != 0) return HexLineResult::BadSyntax;
  uint8_t bytes[5 + 255] = {};
  const qsizetype byteCount = digits / 2;
  if (byteCount > static_cast<qsizetype>(sizeof bytes)) return HexLineResult::BadSyntax;
  for (qsizetype i = 0; i < byteCount; ++i) {
    int hi = HexDigit(line[1 + 2 * i]), lo = HexDigit(line[2 + 2 * i]);
    if (hi < 0 || lo < 0) return HexLineResult::BadSyntax;
    bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  const int n = bytes[0];
  if (byteCount != n + 5) return HexLineResult::BadSyntax;
  uint8_t check = 0;
  for (qsizetype i = 0; i < byteCount; ++i) check = static_cast<uint8_t>(check + bytes[i]);
  if (check != 0) return HexLineResult::BadChecksum;

  const uint32_t offset = static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
  const uint8_t type = bytes[3];
  const uint8_t* data = bytes + 4;
  switch (type) {
    case 0: {
      load.DataBytes += static_cast<uint64_t>(n);
      const uint64_t target = uint64_t{offset} + load.LinearBase + load.SegmentBase;
      if (n > 0) load.End = std::max(load.End, target + static_cast<uint64_t>(n));
      if (target + static_cast<uint64_t>(n) > kLpcMaxImage) {
        // Never grow past what any part can take; the load is refused later.
        load.TooLarge = true;
        return HexLineResult::Used;
      }
      const size_t end = static_cast<size_t>(target) + static_cast<size_t>(n);
      if (load.Image.size() < end) load.Image.resize(end, kLpcFillByte);
      std::copy(data, data + n, load.Image.begin() + static_cast<std::ptrdiff_t>(target));
      return HexLineResult::Used;
    }
    case 2:
      if (n < 2) return HexLineResult::BadSyntax;
      load.SegmentBase = (static_cast<uint32_t>(data[0]) << 8 | data[1]) * 16u;
      return HexLineResult::Used;
    case 4:
      if (n < 2) return HexLineResult::BadSyntax;
      load.LinearBase = (static_cast<uint32_t>(data[0]) << 8 | data[1]) * 65536u;
      return HexLineResult::Used;
    case 1:
      // Reading goes on to the last line; the record only proves the file whole.
      load.EndRecord = true;
      return HexLineResult::Ignored;
    default:
      // Start addresses.
      return HexLineResult::Ignored;
  }
}

void CompleteLpcImage(std::vector<uint8_t>& image) {
  const size_t r = image.size() % kLpcChunkSize;
  if (r > 0 && r % kLpcBytesPerLine == 0) image.push_back(kLpcFillByte);
  const size_t q = image.size() % 4;
  if (q > 0) image.insert(image.end(), 4 - q, kLpcFillByte);
}

bool SetVectorChecksum(std::vector<uint8_t>& image, uint32_t* value, uint32_t slot) {
  if (image.size() < 32 || slot > 28 || slot % 4 != 0) return false;
  auto word = [&](size_t at) {
    return static_cast<uint32_t>(image[at]) | static_cast<uint32_t>(image[at + 1]) << 8 |
           static_cast<uint32_t>(image[at + 2]) << 16 | static_cast<uint32_t>(image[at + 3]) << 24;
  };
  uint32_t sum = 0;
  for (size_t at = 0; at < 32; at += 4)
    if (at != slot) sum += word(at);
  const uint32_t check = 0u - sum;
  for (uint32_t i = 0; i < 4; ++i) image[slot + i] = static_cast<uint8_t>(check >> (8 * i));
  if (value) *value = check;
  return true;
}

namespace {

LpcTransferEntry CommandEntry(const QByteArray& text) {
  LpcTransferEntry e;
  e.EntryKind = ekCommand;
  e.AddLine(text + "\r\n");
  return e;
}

// Data blocks of at most 20 lines, each closed by its checksum line. A length
// that is a whole number of lines ends without an empty line.
void AppendDataBlocks(LpcTransferList& list, const uint8_t* data, uint32_t length) {
  LpcTransferEntry block;
  block.EntryKind = ekDataBlock;
  uint32_t blockSum = 0;
  int lines = 0;
  for (uint32_t at = 0; at < length; at += kLpcBytesPerLine) {
    const int n = static_cast<int>(std::min<uint32_t>(kLpcBytesPerLine, length - at));
    uint32_t sum = 0;
    block.AddLine(UuencodeLine(data + at, n, &sum));
    blockSum += sum;
    ++lines;
    if (lines == kLpcLinesPerBlock || at + static_cast<uint32_t>(n) >= length) {
      block.AddLine(QByteArray::number(blockSum) + "\r\n");
      list.push_back(block);
      block = LpcTransferEntry();
      block.EntryKind = ekDataBlock;
      blockSum = 0;
      lines = 0;
    }
  }
}

void AppendChunk(LpcTransferList& list, const uint8_t* data, uint32_t length, uint32_t chunk,
                 const LpcWritePlan& plan) {
  // A short last chunk is padded with erased-flash bytes up to the copy size,
  // so nothing an earlier chunk left in RAM lands in flash after the image.
  const uint32_t copy = LpcCopySize(plan, length);
  std::vector<uint8_t> padded;
  if (copy != length) {
    padded.assign(copy, 0xFF);
    std::copy(data, data + std::min(length, copy), padded.begin());
    data = padded.data();
  }
  const QByteArray ram = QByteArray::number(plan.RamBuffer);
  list.push_back(CommandEntry("W " + ram + " " + QByteArray::number(copy)));
  if (plan.Binary) {
    LpcTransferEntry raw;
    raw.EntryKind = ekRawData;
    raw.Raw = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(copy));
    list.push_back(raw);
  } else {
    AppendDataBlocks(list, data, copy);
  }
  const int s = chunk < plan.SectorOfChunk.size() ? plan.SectorOfChunk[chunk] : 0;
  const QByteArray sector = QByteArray::number(s < 0 ? 0 : s);
  list.push_back(CommandEntry("P " + sector + " " + sector));
  list.push_back(CommandEntry("C " + QByteArray::number((chunk - 1) * plan.Chunk) + " " + ram + " " +
                              QByteArray::number(copy)));
}

}  // namespace

uint32_t LpcCopySize(const LpcWritePlan& plan, uint32_t bytes) {
  for (uint32_t size : plan.CopySizes)
    if (bytes <= size) return size;
  return plan.Chunk;
}

uint32_t LpcCopySize(uint32_t bytes) {
  static const LpcWritePlan arm7;
  return LpcCopySize(arm7, bytes);
}

LpcTransferList BuildTransferList(const std::vector<uint8_t>& image, const LpcWritePlan& plan) {
  LpcTransferList list(1);  // element 0, never sent
  if (plan.Chunk == 0) return list;
  const uint32_t size = static_cast<uint32_t>(std::min<size_t>(image.size(), kLpcMaxImage));
  const uint32_t chunks = (size + plan.Chunk - 1) / plan.Chunk;
  list.reserve(8 * chunks + 4);
  auto append = [&](uint32_t c) {
    const uint32_t at = (c - 1) * plan.Chunk;
    AppendChunk(list, image.data() + at, std::min(plan.Chunk, size - at), c, plan);
  };
  for (uint32_t c = 2; c <= chunks; ++c) append(c);
  if (chunks >= 1) append(1);
  return list;
}

LpcTransferList BuildTransferList(const std::vector<uint8_t>& image,
                                  const uint8_t (&sectorMap)[kLpcSectorMapSize]) {
  LpcWritePlan plan;
  plan.SectorOfChunk.assign(std::begin(sectorMap), std::end(sectorMap));
  return BuildTransferList(image, plan);
}

LpcFileLoad LoadLpcHexText(const QByteArray& text) {
  LpcFileLoad result;
  LpcHexLoad load;
  int lineNumber = 0;
  qsizetype start = 0;
  while (start < text.size()) {
    qsizetype end = text.indexOf('\n', start);
    if (end < 0) end = text.size();
    QByteArray line = text.mid(start, end - start);
    start = end + 1;
    ++lineNumber;
    while (!line.isEmpty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.chop(1);
    HexLineResult r = LoadHexLine(line, load);
    if (r == HexLineResult::BadSyntax || r == HexLineResult::BadChecksum) {
      result.Result = r == HexLineResult::BadSyntax ? LpcFileLoad::BadLine : LpcFileLoad::BadChecksum;
      result.LineNumber = lineNumber;
      return result;
    }
  }
  if (load.DataBytes == 0) {
    result.Result = LpcFileLoad::NoData;
    return result;
  }
  // A file still being written (a linker racing the automatic download)
  // stops at a line boundary just as often as anywhere else.
  if (!load.EndRecord) {
    result.Result = LpcFileLoad::Incomplete;
    return result;
  }
  if (!load.TooLarge) CompleteLpcImage(load.Image);
  if (load.TooLarge || load.Image.size() > kLpcMaxImage) {
    result.Result = LpcFileLoad::TooLarge;
    result.Size = std::max<uint64_t>(load.Image.size(), (load.End + 3) / 4 * 4);
    return result;
  }
  result.Result = LpcFileLoad::Loaded;
  result.Size = load.Image.size();
  result.Image = std::move(load.Image);
  return result;
}

LpcFileLoad LoadLpcHexFile(const QString& fileName) {
  // Only a regular file, its size checked before a byte is read.
  const FirmwareFileRead file = ReadFirmwareFile(fileName, kLpcMaxHexFileSize);
  LpcFileLoad result;
  result.File = file.status;
  switch (file.status) {
    case FirmwareFileStatus::Ok:
      break;
    case FirmwareFileStatus::Missing:
      result.Result = LpcFileLoad::Missing;
      return result;
    case FirmwareFileStatus::NotRegular:
      result.Result = LpcFileLoad::NotRegular;
      return result;
    case FirmwareFileStatus::TooLarge:
      result.Result = LpcFileLoad::FileTooLarge;
      result.Size = static_cast<uint64_t>(file.size);
      return result;
    case FirmwareFileStatus::Unreadable:
      result.Result = LpcFileLoad::Unreadable;
      return result;
  }
  return LoadLpcHexText(file.bytes);
}
