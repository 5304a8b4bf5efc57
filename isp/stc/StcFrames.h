// The byte layer of the STC 8051 programmer, free of windows and ports:
// frames as hex text, their checksum, the model and crystal tables, reply
// recognition and the firmware image cut into 128-byte blocks.
#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace stc {

// Connect pulse, option confirmation and end flag (FE FE FE FE, then a frame).
inline const QString kConnectPulse = QStringLiteral("7F7F");
inline const QString kConfirmFrame = QStringLiteral("46B96A000650C016");
inline const QString kEndFlagFrame = QStringLiteral("FEFEFEFE46B96A000682F216");

inline constexpr int kBlockSize = 128;
inline constexpr size_t kImageCapacity = 65536;

// Hex text <-> bytes. Pairs are read from the left; a trailing odd digit is
// ignored. Output is upper case without separators.
std::vector<uint8_t> HexToBytes(const QString& text);
QString BytesToHex(const uint8_t* data, size_t count);
QString BytesToHex(const std::vector<uint8_t>& bytes);

// Two upper-case digits: (sum of the text's bytes + 1) mod 256, spaces
// removed first. Given a frame text from its 46 B9 header through the last
// payload byte, this is the frame's checksum.
QString FrameChecksum(const QString& text);

// Identification from the boot loader's status packet (hex text). Both
// return 0 when nothing matches; a later table row overrides an earlier one.
int ModelCodeOf(const QString& reply);
int OscCodeOf(const QString& reply);
QString ModelName(int modelCode);
size_t FlashSizeOf(int modelCode);     // program flash in bytes, 0 when unknown
QString OscText(int oscCode);          // "/时钟频率: 11.0592M" ...
enum class SpeedTimer;
SpeedTimer SpeedTimerOf(int modelCode);  // how the model's boot loader takes its speed

// The clock as the boot loader measured it: the status packet carries eight
// counts of the connect pulses, each about 7 x clock / (12 x baud). 0 when
// the reply holds no counts.
double MeasuredClockHz(const QString& statusHex, uint32_t syncBaud);
// The model's magic in that packet (after the counts, version and stepping
// and one more byte, as in the later families), with the boot loader's
// version; nullopt when the reply is too short.
std::optional<std::pair<uint16_t, uint8_t>> StatusMagicAndVersion(const QString& statusHex);
// The option byte after the version: bit 0 clear is 6T (double speed)
// mode, as the 8D clock option frames set it (FC for 6T, FD for 12T).
bool SixTModeOf(const QString& statusHex);
// The crystal of the oscillator table within 1 % of `clockHz` (1 to 6), or
// 0 for any other crystal.
int OscCodeOfClock(double clockHz);
// "/时钟频率: 11.0592M" for a crystal of the table, else the measured clock
// ("/时钟频率: 7.373M").
QString ClockText(double clockHz);

// The programming speed and the UART setting that gives it. STC89 parts
// run their UART from timer 2: baud = clock / (32 x (65536 - reload)) in
// 12T mode, / 16 in 6T mode. The STC12C1052 boot loader takes an 8-bit
// reload: baud = clock / (16 x (256 - reload)).
enum class SpeedTimer { Timer2, Brt8 };
struct SpeedPlan {
  uint32_t baud = 0;      // 0: no speed of the list is within reach
  uint16_t reload = 0;
  double actualBaud = 0;  // what the part really runs at
  uint8_t iapWait = 0;    // ISP_CONTR value: enable bit and the wait for the clock
};
inline constexpr double kSpeedTolerance = 0.025;  // a UART frame's margin, with room to spare
SpeedPlan PlanSpeed(SpeedTimer timer, double clockHz, bool sixT = false);
// ISP_CONTR wait settings by the clock they are good up to, from the data
// sheets (ISP_CONTR): 0x80 enables IAP, the low bits set the wait.
uint8_t Stc89IapWait(double clockHz);
uint8_t Stc12IapWait(double clockHz);

// 8F (test the new speed) and 8E (switch to it): the reload, its check
// bytes, the delay after the change and, in 8F, the IAP wait.
QString SpeedFrame1(SpeedTimer timer, const SpeedPlan& plan);
QString SpeedFrame2(SpeedTimer timer, const SpeedPlan& plan);
// A host frame: 46 B9 6A, the length, the command, the payload, the
// one-byte sum and 16.
QString HostFrame(uint8_t command, const std::vector<uint8_t>& payload);
QString ControlFrame(int modelCode);               // 80
// 84. The count byte covers the image (two per 512 bytes, rounded up) and
// never drops below the count the part's fixed frame carries.
QString EraseFrame(int modelCode, size_t imageLength = 0);
QString ClockFrame(bool doubleSpeed);              // 8D

// Image blocks: 256 hex digits each, the last padded with "00".
QStringList SplitIntoBlocks(const std::vector<uint8_t>& image);
// The write frame (command 00) of block k.
QString DataFrame(int blockIndex, const QString& blockText);
// Low byte of the sum of a block's 128 bytes (padding included): what the
// boot loader answers a write with, read back from its flash.
uint8_t BlockSum(const QString& blockText);
// True when a reply (hex text) to a block write reports that sum: command
// byte 80 followed by the sum.
bool BlockReplyMatches(const QString& replyHex, uint8_t sum);
// (k + 1) * 100 / blocks, halves rounded to even.
int BlockProgress(int blockIndex, int blocks);
// "2.9 KB": whole kilobytes and the tenths digit, rounded down.
QString SizeLabelText(size_t length);

// Collects received bytes until a whole reply frame has arrived, in however
// many pieces: [46 B9] 68, a 16-bit length counting from the 68 through the
// final 16, the payload, a one-byte sum of everything from the 68 through
// the payload, and 16. The status packet after the connect pulses comes
// without 46 B9. Bytes before a frame (noise, late echoes) are passed over;
// a frame whose sum does not match is not a reply.
// Which sum a reply frame carries: STC89 one byte, the later families two.
enum class SumWidth { Sum8, Sum16, Either };

class ReplyCollector {
 public:
  SumWidth Width = SumWidth::Either;
  QString LastReply;        // hex text of the last complete reply
  QString FirmwareVersion;  // two hex digits and one character, e.g. "43C"
  // Frames that came whole but with a sum that does not match, since the
  // count was last set to 0: a part that answers over a bad line.
  size_t BadSums = 0;
  // Returns true when these bytes completed a reply. Bytes after it in the
  // same piece arrived before anything new was asked: they are dropped.
  bool Feed(const uint8_t* data, size_t count);
  void Clear() { pending_.clear(); }
  QString RxHex() const;    // bytes taken since the last reply, as hex text
  size_t Pending() const { return pending_.size(); }

 private:
  std::vector<uint8_t> pending_;
};
// Where a reply frame ends at the end of `bytes`: the index of its first
// byte (its 46 or, without a header, its 68), or -1 when none does.
long CompleteFrameStart(const std::vector<uint8_t>& bytes, SumWidth width = SumWidth::Sum8);
QString FirmwareVersionOf(const QString& replyHex);
// "43C" -> "4.3C".
QString VersionText(const QString& firmwareVersion);

// Converting a HEX file through the converter library.
enum class ImageStatus { Ok, LibraryMissing, ExportMissing, NoData, Refused };
struct HexImage {
  ImageStatus status = ImageStatus::NoData;
  std::vector<uint8_t> bytes;  // up to the last non-zero byte
  int decodeResult = 0;        // what DecodeHex returned
  int checkResult = 0;         // what CheckHex returned
  int errorLine = 0;           // line CheckHex named
  QString error;               // loader's text, or why the file is refused
};
// Folders the dynamic linker searches for the program's libraries, in order.
QStringList ProgramLibrarySearchPath();
// libiHexToBin.so in the first of those folders that holds it.
QString ConverterLibraryPath();
HexImage LoadHexImage(const QString& libraryPath, const QString& fileName);

}  // namespace stc
