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
  const ihex::Result hex = ihex::Read(text.constData(), static_cast<size_t>(text.size()));
  if (!hex.Ok()) {
    result.Result = LpcFileLoad::BadHex;
    result.Fault = hex.fault;
    result.LineNumber = hex.line;
    result.RecordType = hex.type;
    return result;
  }
  if (hex.dataBytes == 0) {
    result.Result = LpcFileLoad::NoData;
    return result;
  }
  if (hex.End() > kLpcMaxImage) {
    // Never built past what any part can take; the size says where it reaches.
    result.Result = LpcFileLoad::TooLarge;
    result.Size = (hex.End() + 3) / 4 * 4;
    return result;
  }
  std::vector<uint8_t> image = hex.Image(0, hex.End(), kLpcFillByte);
  CompleteLpcImage(image);
  if (image.size() > kLpcMaxImage) {
    result.Result = LpcFileLoad::TooLarge;
    result.Size = image.size();
    return result;
  }
  result.Result = LpcFileLoad::Loaded;
  result.Size = image.size();
  result.Image = std::move(image);
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
