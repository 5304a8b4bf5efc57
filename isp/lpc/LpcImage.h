// LPC2xxx image preparation: Intel HEX placed by address into a flat flash
// image, uuencoding, and the precomputed list of everything the engine sends
// while writing (write commands, data blocks with their checksum lines,
// prepare and copy commands). No widgets here; TLPCFrm drives it.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

#include "firmware/FirmwareFile.h"
#include "firmware/IntelHex.h"
#include "isp/lpc/LpcParts.h"

// 512 KB (LPC1768): the largest flash of any part in the table. Each part
// has its own, smaller or equal, limit.
inline constexpr uint32_t kLpcMaxImage = 512 * 1024;
inline constexpr uint32_t kLpcChunkSize = 4096;
inline constexpr uint32_t kLpcRamBuffer = 1073742336u;  // 0x40000200
inline constexpr int kLpcSectorMapSize = 130;
inline constexpr int kLpcLinesPerBlock = 20;
inline constexpr int kLpcBytesPerLine = 45;
inline constexpr uint8_t kLpcFillByte = 0x00;

// ekRawData: the bytes of a chunk as they are, for the lines whose boot
// code takes W data in binary; nothing answers them.
enum LpcEntryKind : uint32_t { ekDataBlock = 2, ekCommand = 3, ekRawData = 4 };

struct LpcLineSlot {
  char Text[64] = {};
  uint16_t Length = 0;  // characters used, CR LF included
};

struct LpcTransferEntry {
  static constexpr int kSlotCount = 22;
  LpcLineSlot LineSlots[kSlotCount];
  uint16_t LineCount = 0;
  LpcEntryKind EntryKind = ekCommand;
  QByteArray Raw;  // ekRawData only

  // Stores one line in the next slot; false (nothing stored) when the slots
  // are full or the line does not fit a slot.
  bool AddLine(const QByteArray& line);
  QByteArray Line(int index) const;  // empty for an index outside the used slots
};

// Entry 0 exists but is never sent; entries 1 .. size()-1 go out in order.
using LpcTransferList = std::vector<LpcTransferEntry>;

// Sector of each 4 KB chunk (index k from 1), the highest sector to erase and
// the flash an image may fill, chosen by the part ID text (decimal, as J
// reports it). An ID not in the table gives no row and no flash.
struct LpcSectorLayout {
  uint8_t SectorMap[kLpcSectorMapSize] = {};
  QString LastSector;
  uint32_t FlashSize = 0;  // bytes in sectors 0 .. LastSector
  const LpcPartRow* Part = nullptr;
};
LpcSectorLayout SelectSectorLayout(const QString& partId);

// How a part takes an image: where in RAM a chunk goes, how large a chunk
// is, the copy counts, the sector of each chunk and the data encoding.
struct LpcWritePlan {
  uint32_t RamBuffer = kLpcRamBuffer;
  uint32_t Chunk = kLpcChunkSize;
  std::vector<uint32_t> CopySizes{256, 512, 1024, 4096};  // ascending
  std::vector<int> SectorOfChunk;  // index = chunk number from 1; [0] unused
  bool Binary = false;
};
LpcWritePlan LpcPlanFor(const LpcPartRow& row);
// What the last, partial chunk is padded to (with 0xFF) and copied as.
uint32_t LpcCopySize(const LpcWritePlan& plan, uint32_t bytes);

// Uuencoding, zero written as the backquote.
char UuChar(uint8_t value);
// Encodes 0..45 bytes (more are ignored) into one line ending in CR LF and
// returns the sum of the encoded bytes in *sum.
QByteArray UuencodeLine(const uint8_t* data, int count, uint32_t* sum);

// Completion after the last line: avoid a remainder that is a whole number of
// 45-byte lines, then round up to whole words.
void CompleteLpcImage(std::vector<uint8_t>& image);

// The boot loader starts the user program only when the eight vector words
// add up to zero; one word (0x14 on ARM7, 0x1C on Cortex-M) is reserved for
// that. Sets it when the image holds the whole table; returns whether it did
// and the value written.
bool SetVectorChecksum(std::vector<uint8_t>& image, uint32_t* value, uint32_t slot = 0x14);

// Copy sizes the boot loader's C command takes.
inline constexpr uint32_t kLpcCopySizes[] = {256, 512, 1024, 4096};
// What the last, partial chunk is padded to (with 0xFF) and copied as.
uint32_t LpcCopySize(uint32_t bytes);

// Chunks go out from the second one on; the first, which holds the vector
// table and its checksum, goes last, so that a download cut off part-way
// leaves a chip whose boot check fails and which stays in the boot loader.
LpcTransferList BuildTransferList(const std::vector<uint8_t>& image, const LpcWritePlan& plan);
// The ARM7 plan of the LPC213x parts: 4 KB chunks at 0x40000200, the sector
// of chunk k from the map.
LpcTransferList BuildTransferList(const std::vector<uint8_t>& image,
                                  const uint8_t (&sectorMap)[kLpcSectorMapSize]);

// A whole file: read, placed, completed, limited. The caller tells the user.
struct LpcFileLoad {
  enum Outcome {
    Loaded, Missing, NotRegular, FileTooLarge, Unreadable, BadHex, NoData, TooLarge
  };
  Outcome Result = Missing;
  // BadHex: what the HEX reader refused, and where (line counted from 1).
  ihex::Fault Fault = ihex::Fault::None;
  int LineNumber = 0;
  int RecordType = 0;
  uint64_t Size = 0;   // FileTooLarge: the file's size; TooLarge: the image's
  FirmwareFileStatus File = FirmwareFileStatus::Ok;  // how reading the file went
  std::vector<uint8_t> Image;
};
inline constexpr int64_t kLpcMaxHexFileSize = ihex::kMaxFileBytes;
LpcFileLoad LoadLpcHexFile(const QString& fileName);
LpcFileLoad LoadLpcHexText(const QByteArray& text);
