// The STM32 firmware image: the file named on the ISP page turned into a
// flat byte image that starts at the target's flash base. Intel HEX files
// (".hex" / ".HEX") are decoded record by record and placed at their
// addresses; every other file is taken as raw binary. The image is as large
// as the part's flash allows, and it remembers which stretches the file
// really holds (a HEX file may leave gaps), so that nothing outside them
// need be erased or written.
//
// The loading itself is plain logic without widgets: it returns what the
// window should show, and the engine puts that on the status line and Memo1.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

#include "firmware/IntelHex.h"

// What a HEX file's text decodes to.
struct HexDecodeResult {
  enum class Error { None, Syntax, Checksum, TooLarge, NoEndRecord, NotHex, UnknownType, Overlap };
  Error error = Error::None;
  int errorLine = 0;             // 1-based line of a fault in a record
  int recordType = 0;            // UnknownType: the type
  uint32_t baseAddress = 0;      // address of image byte 0
  uint64_t span = 0;             // bytes from baseAddress to the last data byte
  QByteArray image;              // filled only when span <= maxSpan
  // The stretches of data the records hold, absolute, sorted and merged.
  struct Segment {
    uint64_t address;
    uint64_t length;
  };
  std::vector<Segment> segments;
  uint64_t dataBytes = 0;        // bytes in the segments
};

// Decodes Intel HEX text by the program's one reader (firmware/IntelHex.h).
// Records are placed at their addresses; gaps read 0xFF, like erased flash.
// Byte 0 stands at 0x08000000 when every data address is at or above it,
// else at address 0. A span above maxSpan is reported as TooLarge without
// building the image.
HexDecodeResult DecodeIntelHex(const QByteArray& text, uint64_t maxSpan);

// "文件尺寸: 5120 Byte / 5 KB"
QString FirmwareSizeLine(int64_t length);

struct FirmwareLoadResult {
  enum class Outcome {
    Loaded,   // image in ImageBuffer; sizeLine for Memo1, status for the status line
    Missing,  // no such file
    Refused,  // status says why
    Failed,   // unreadable; status names the file
  };
  Outcome outcome = Outcome::Failed;
  QString status;
  QString sizeLine;
  // Refusals that only this program makes also go to Memo1, so the reason
  // is still there after the session's time-out message replaces the status.
  bool reportToLog = false;
};

class FirmwareImage {
 public:
  // No part has more flash than this; no image is ever larger.
  static constexpr int32_t kMaxImageBytes = 4 * 1048576;
  static constexpr uint32_t kFlashBase = 0x08000000;

  // A stretch of the image the file holds (offsets from byte 0).
  struct Segment {
    uint32_t offset;
    uint32_t length;
  };

  FirmwareImage() = default;

  // Reads the file into the image from offset 0.
  FirmwareLoadResult Load(const QString& path);

  const uint8_t* ImageBuffer() const { return reinterpret_cast<const uint8_t*>(stream_.constData()); }
  int32_t Length() const { return streamExists_ ? static_cast<int32_t>(stream_.size()) : 0; }
  bool HasImage() const { return streamExists_; }
  // What the file holds: one stretch for a binary, the records' for a HEX
  // file (padding included). Gaps between them read ErasedValue.
  const std::vector<Segment>& Segments() const { return segments_; }

  // Puts bytes into the loaded image at `offset` (a production line's serial
  // number), growing it with erased flash if they lie past its end. False
  // when they would lie past the flash (FlashSizeKB) or no image is loaded.
  bool Patch(uint32_t offset, const std::vector<uint8_t>& bytes);

  // Target flash in KB; no image larger than this is loaded. The engine
  // sets it before every load.
  int32_t FlashSizeKB = 512;
  // What erased flash reads on the part: gaps and ragged ends are filled with it.
  uint8_t ErasedValue = 0xFF;
  // The flash programs this many bytes at a time: the image ends on a whole
  // such unit (4 at least, as WRITE MEMORY takes whole words).
  int32_t WriteUnit = 4;

 private:
  QByteArray stream_;       // the last loaded image (ImageStream)
  bool streamExists_ = false;
  std::vector<Segment> segments_;
};
