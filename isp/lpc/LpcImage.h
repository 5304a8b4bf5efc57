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

// 500 KB (LPC2138): the largest flash below the boot block of any part the
// engine serves. Each part has its own, smaller or equal, limit.
inline constexpr uint32_t kLpcMaxImage = 512000;
inline constexpr uint32_t kLpcChunkSize = 4096;
inline constexpr uint32_t kLpcRamBuffer = 1073742336u;  // 0x40000200
inline constexpr int kLpcSectorMapSize = 130;
inline constexpr int kLpcLinesPerBlock = 20;
inline constexpr int kLpcBytesPerLine = 45;
inline constexpr uint8_t kLpcFillByte = 0x00;

enum LpcEntryKind : uint32_t { ekDataBlock = 2, ekCommand = 3 };

struct LpcLineSlot {
  char Text[64] = {};
  uint16_t Length = 0;  // characters used, CR LF included
};

struct LpcTransferEntry {
  static constexpr int kSlotCount = 22;
  LpcLineSlot LineSlots[kSlotCount];
  uint16_t LineCount = 0;
  LpcEntryKind EntryKind = ekCommand;

  // Stores one line in the next slot; false (nothing stored) when the slots
  // are full or the line does not fit a slot.
  bool AddLine(const QByteArray& line);
  QByteArray Line(int index) const;  // empty for an index outside the used slots
};

// Entry 0 exists but is never sent; entries 1 .. size()-1 go out in order.
using LpcTransferList = std::vector<LpcTransferEntry>;

// The two flash layouts of the family: 4 KB / 32 KB sectors (LPC213x) and
// 8 KB / 64 KB sectors (LPC22xx).
enum class LpcLayoutKind { Small4k32k, Large8k64k };
uint32_t LpcSectorSize(LpcLayoutKind kind, int sector);

// One row per part ID the boot loader may report. Flash from sector 0 up to
// LastSector is what the user may program; above it the boot block (or
// nothing) lies.
struct LpcPartRow {
  const char* PartId;  // decimal, as J reports it
  LpcLayoutKind Layout;
  int LastSector;
};
extern const LpcPartRow kLpcParts[];
extern const int kLpcPartCount;
// What any other ID is taken for: an LPC22xx part with 248 KB below its boot block.
extern const LpcPartRow kLpcOtherPart;

// Sector of each 4 KB chunk (index k from 1), the highest sector to erase and
// the flash an image may fill, chosen by the part ID text.
struct LpcSectorLayout {
  uint8_t SectorMap[kLpcSectorMapSize] = {};
  QString LastSector;
  uint32_t FlashSize = 0;  // bytes in sectors 0 .. LastSector
};
LpcSectorLayout SelectSectorLayout(const QString& partId);

// Uuencoding, zero written as the backquote.
char UuChar(uint8_t value);
// Encodes 0..45 bytes (more are ignored) into one line ending in CR LF and
// returns the sum of the encoded bytes in *sum.
QByteArray UuencodeLine(const uint8_t* data, int count, uint32_t* sum);

// State of one file load.
struct LpcHexLoad {
  std::vector<uint8_t> Image;  // byte i belongs at flash address i
  uint32_t LinearBase = 0;
  uint32_t SegmentBase = 0;
  bool TooLarge = false;       // some record lies past kLpcMaxImage
  uint64_t End = 0;            // one past the highest address a record fills
  uint64_t DataBytes = 0;      // data bytes seen in data records
  bool EndRecord = false;      // the end-of-file record was seen
};

enum class HexLineResult { Used, Ignored, BadSyntax, BadChecksum };
HexLineResult LoadHexLine(const QByteArray& line, LpcHexLoad& load);

// Completion after the last line: avoid a remainder that is a whole number of
// 45-byte lines, then round up to whole words.
void CompleteLpcImage(std::vector<uint8_t>& image);

// The boot loader starts the user program only when the eight vector words
// add up to zero; the word at 0x14 is reserved for that. Sets it when the
// image holds the whole table; returns whether it did and the value written.
bool SetVectorChecksum(std::vector<uint8_t>& image, uint32_t* value);

// Copy sizes the boot loader's C command takes.
inline constexpr uint32_t kLpcCopySizes[] = {256, 512, 1024, 4096};
// What the last, partial chunk is padded to (with 0xFF) and copied as.
uint32_t LpcCopySize(uint32_t bytes);

// Chunks go out from the second one on; the first, which holds the vector
// table and its checksum, goes last, so that a download cut off part-way
// leaves a chip whose boot check fails and which stays in the boot loader.
LpcTransferList BuildTransferList(const std::vector<uint8_t>& image,
                                  const uint8_t (&sectorMap)[kLpcSectorMapSize]);

// A whole file: read, placed, completed, limited. The caller tells the user.
struct LpcFileLoad {
  enum Outcome {
    Loaded, Missing, NotRegular, FileTooLarge, Unreadable, BadLine, BadChecksum, NoData,
    Incomplete, TooLarge
  };
  Outcome Result = Missing;
  int LineNumber = 0;  // for BadLine / BadChecksum, counted from 1
  uint64_t Size = 0;   // FileTooLarge: the file's size; TooLarge: the image's
  FirmwareFileStatus File = FirmwareFileStatus::Ok;  // how reading the file went
  std::vector<uint8_t> Image;
};
// A HEX text is larger than its image, but no firmware for these parts needs this much.
inline constexpr int64_t kLpcMaxHexFileSize = 32ll * 1024 * 1024;
LpcFileLoad LoadLpcHexFile(const QString& fileName);
LpcFileLoad LoadLpcHexText(const QByteArray& text);
