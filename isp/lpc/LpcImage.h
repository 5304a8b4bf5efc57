// LPC2xxx image preparation: Intel HEX placed by address into a flat flash
// image, uuencoding, and the precomputed list of everything the engine sends
// while writing (write commands, data blocks with their checksum lines,
// prepare and copy commands). No widgets here; TLPCFrm drives it.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// 248 KB: the largest flash of the family below the boot block.
inline constexpr uint32_t kLpcImageLimit = 253952;
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

// Sector of each 4 KB chunk (index k from 1) and the highest sector to erase,
// chosen by the part ID text the boot loader reports.
struct LpcSectorLayout {
  uint8_t SectorMap[kLpcSectorMapSize] = {};
  QString LastSector;
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
  bool TooLarge = false;       // some record lies past kLpcImageLimit
  uint64_t DataBytes = 0;      // data bytes seen in data records
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

LpcTransferList BuildTransferList(const std::vector<uint8_t>& image,
                                  const uint8_t (&sectorMap)[kLpcSectorMapSize]);

// A whole file: read, placed, completed, limited. The caller tells the user.
struct LpcFileLoad {
  enum Outcome { Loaded, Missing, Unreadable, BadLine, BadChecksum, NoData, TooLarge };
  Outcome Result = Missing;
  int LineNumber = 0;  // for BadLine / BadChecksum, counted from 1
  std::vector<uint8_t> Image;
};
LpcFileLoad LoadLpcHexFile(const QString& fileName);
LpcFileLoad LoadLpcHexText(const QByteArray& text);
