// What a host asks of an engine, and what the engine answers at the end.
//
// A job is a value: the window's download button and every job of the
// command line are one IspJob each, handed to the engine's Start(). The
// engine reports along the way through IspHost (log lines, status, progress)
// and ends every session, however it ends, with exactly one IspResult passed
// to IspHost::SessionEnded. A failure carries its cause as one line, the
// line both hosts show last, plus the step, the command and the part's own
// return code where it sent one, so that a production line can record it.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "isp/ResetSequence.h"
#include "platform/SerialDevice.h"

enum class IspJobKind {
  Download,        // erase what the image needs, write, verify if asked
  Verify,          // compare the part with the file, write nothing
  Read,            // read the part back into a file
  Erase,           // the whole flash, or `range` when set
  BlankCheck,      // is the flash (or `range`) erased
  ProtectRead,     // turn read-out protection on
  UnprotectRead,   // turn it off (the part erases itself)
  UnprotectWrite,  // turn write protection off
  Go,              // start the program at `goAddress` or the flash base
  Info,            // identify the part; nothing is written
};

// A few bytes put into the image after it is loaded, before anything is
// erased (a production line's serial number). The address is the part's.
struct IspImagePatch {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

struct IspAddressRange {
  uint32_t address = 0;
  uint32_t length = 0;
};

// The STC handshake speed when none is asked for: the window's download has
// always connected at 1200 bit/s. The command line asks for the fastest
// speed every public trace of the boot loaders shows working.
inline constexpr uint32_t kStcHandshakeBaud = 1200;
inline constexpr uint32_t kStcFastHandshakeBaud = 2400;

struct IspJob {
  IspJobKind kind = IspJobKind::Download;
  QString file;                          // Download, Verify: the firmware; Read: where to write
  std::optional<uint32_t> address;       // Read, Erase, BlankCheck: start (default: flash base)
  std::optional<uint32_t> length;        // ... and length (default: to the end of flash)
  bool go = false;                       // Download: start the program afterwards
  std::optional<uint32_t> goAddress;     // Go (and go after a download): default the flash base
  std::vector<IspImagePatch> patches;    // Download
  bool readUniqueId = false;             // Download: read the part's unique ID for the record

  // Families with an internal oscillator trimmed by the host (STC15/STC8):
  // the frequency asked for, 0 = the engine's default.
  double frequencyKHz = 0;
  // STC: the speed of the connect pulses, which the part's answers up to
  // the speed switch and its trim counts use; 0 = kStcHandshakeBaud.
  uint32_t handshakeBaud = 0;
  // Option bytes to change, by name ("reset_pin" -> "io"); any option not
  // named keeps the value the part holds.
  QMap<QString, QString> options;
  QString eepromFile;                    // data flash image to program (STC)
  bool eepromInImage = false;            // a HEX may run past code flash into the EEPROM
  // The command line: a refusal ends the session at once with its cause,
  // and silence is waited for only as long as the step can take on the
  // slowest part. The window ends a refused download by its time-out.
  bool failFast = false;
  // How the part is pulled into its boot loader; unset: the family's own
  // wiring as the host's reset options choose it.
  std::optional<ResetSequence> reset;

  // What the host's controls hold, taken once when the job is made: the
  // engines read their options from here and from nowhere else.
  QString port;                          // the device the session opens
  SerialLineSettings line;               // the main port's framing for this family
  uint32_t speed = 0;                    // bit/s, 0 = the family's own
  bool autoReset = false;                // pull the part into its boot loader over DTR/RTS
  bool resetMode2 = false;               // STM32: BOOT0 on RTS, reset on DTR held
  int resetDelayMs = 500;                // STC: how long RTS holds the part in reset
  int connectTimeoutS = 3;               // STC: how long the connect pulses go on
  int lpcLinePauseMs = 15;               // LPC: pause after each data line
  QByteArray lpcCrystalKHz = "11059";    // LPC: the crystal the boot loader is told
  bool stcDoubleSpeed = false;           // STC: 6T (double speed) rather than 12T
  bool verify = true;                    // read the written range back where the family can
  // LPC: check by reading the whole image back and comparing it with the
  // file, rather than by the part comparing each copy with its RAM (slower).
  bool verifyReadback = false;
  bool autoDownload = false;             // the window's automatic re-download is on
  // How the user of this host turns read-out protection off (it erases the
  // part): named in the cause when a protected part refuses a job.
  QString unprotectReadHint = QStringLiteral("用 vortana-isp --unprotect-read 解除");

  // The option fields hold text as typed; these read it the way the engines
  // always have (a field that is no number falls back to the default).
  static int ResetDelayOf(const QString& text) {
    bool ok = false;
    const int ms = text.trimmed().toInt(&ok);
    return ok && ms >= 0 ? ms : 0;
  }
  static int ConnectTimeoutOf(const QString& text) {
    bool ok = false;
    const int s = text.trimmed().toInt(&ok);
    return ok ? s : 3;
  }
  // The LPC page reuses the time-out field as a pause, in steps of 3 ms.
  static int LinePauseOf(const QString& text) {
    bool ok = false;
    int value = text.trimmed().toInt(&ok);
    if (!ok) value = 5;
    return std::clamp(value, 0, 99) * 3;
  }

  static IspJob Download(const QString& file) {
    IspJob j;
    j.file = file;
    return j;
  }
  static IspJob OfKind(IspJobKind kind) {
    IspJob j;
    j.kind = kind;
    return j;
  }
};

struct IspResult {
  bool ok = false;
  // Why it failed, one line, the last line of the log; on success the
  // family's closing line ("上载完成！", ...).
  QString cause;
  QString step;                // what was under way: "擦除", "写入", "连接" ...
  QString command;             // the command the part refused ("E 0 3", "0x44"), if any
  int code = -1;               // the part's own return code, -1 when it sent none
  // True when the failure lies with the user's input (file, option, port)
  // and nothing was sent to the part: the command line exits with 2.
  bool usageError = false;
  // The part answered at all this session (a board is there); false when
  // nothing answered the boot loader's handshake.
  bool partAnswered = false;

  // What the session learned about the part (any that it could).
  QString partName;
  QString partId;              // product / part ID as the family writes it
  QString uniqueId;            // hex; empty where the family has none
  QStringList info;            // Info: the lines that describe the part

  static IspResult Success(const QString& line) {
    IspResult r;
    r.ok = true;
    r.cause = line;
    return r;
  }
  static IspResult Failure(const QString& cause, const QString& step = {}) {
    IspResult r;
    r.cause = cause;
    r.step = step;
    return r;
  }
};

// What each family's engine offers a host.
class IspEngine {
 public:
  virtual ~IspEngine() = default;
  // Starts `job`; the session ends with IspHost::SessionEnded. The STC
  // engine runs its whole session inside this call; the others return at
  // once and run on the event loop.
  virtual void Start(const IspJob& job) = 0;
  virtual bool Busy() const = 0;
  // Ends a running session now (Ctrl-C): the port is released, no result
  // is reported.
  virtual void Abort() = 0;
  // The jobs this family can do.
  virtual bool Supports(IspJobKind kind) const = 0;
};

// "读出", "擦除" ...: how a job is named in messages.
inline QString IspJobName(IspJobKind kind) {
  switch (kind) {
    case IspJobKind::Download: return QStringLiteral("下载");
    case IspJobKind::Verify: return QStringLiteral("校验");
    case IspJobKind::Read: return QStringLiteral("读出");
    case IspJobKind::Erase: return QStringLiteral("擦除");
    case IspJobKind::BlankCheck: return QStringLiteral("查空");
    case IspJobKind::ProtectRead: return QStringLiteral("设置读保护");
    case IspJobKind::UnprotectRead: return QStringLiteral("解除读保护");
    case IspJobKind::UnprotectWrite: return QStringLiteral("解除写保护");
    case IspJobKind::Go: return QStringLiteral("运行程序");
    case IspJobKind::Info: return QStringLiteral("读器件信息");
  }
  return {};
}
