// The STM32 firmware image: the file named on the ISP page turned into a
// flat byte image that starts at the target's flash base. Intel HEX files
// (".hex" / ".HEX") are decoded record by record and placed at their
// addresses; every other file is taken as raw binary.
//
// The loading itself is plain logic without widgets: it returns what the
// window should show, and the engine puts that on the status line and Memo1.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

// What a HEX file's text decodes to.
struct HexDecodeResult {
  enum class Error { None, Syntax, Checksum, TooLarge, NoEndRecord };
  Error error = Error::None;
  int errorLine = 0;             // 1-based line of a Syntax or Checksum error
  uint32_t baseAddress = 0;      // address of image byte 0
  uint64_t span = 0;             // bytes from baseAddress to the last data byte
  QByteArray image;              // filled only when span <= maxSpan
};

// Decodes Intel HEX text. Records are placed at their addresses (extended
// segment and extended linear address records honoured); gaps read 0xFF,
// like erased flash. Byte 0 stands at 0x08000000 when every data address is
// at or above it, else at address 0. A span above maxSpan is reported as
// TooLarge without building the image. Text without an end-of-file record
// (a file cut short, say while a linker is still writing it) is NoEndRecord.
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
  static constexpr int32_t kImageBufferSize = 1048576;  // 1 MiB
  static constexpr uint32_t kFlashBase = 0x08000000;

  FirmwareImage();

  // Reads the file into ImageBuffer from offset 0. Bytes beyond Length()
  // may hold an older, longer image; nothing may read them.
  FirmwareLoadResult Load(const QString& path);

  const uint8_t* ImageBuffer() const { return buffer_.get(); }
  int32_t Length() const { return streamExists_ ? static_cast<int32_t>(stream_.size()) : 0; }
  bool HasImage() const { return streamExists_; }

  // Target flash in KB; no image larger than this is loaded. The engine
  // sets it before every load.
  int32_t FlashSizeKB = 512;

 private:
  std::unique_ptr<uint8_t[]> buffer_;
  QByteArray stream_;       // the last loaded image (ImageStream)
  bool streamExists_ = false;
};
