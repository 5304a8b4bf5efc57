// The command line of vortana-isp: what the ISP page's controls hold in the
// window, given as options. Parsing is plain logic (no I/O) so that every
// rule can be tested without running a download.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "isp/IspFamily.h"
#include "isp/IspJob.h"

enum class ResetWiring {
  None,   // "自动复位" off
  Dtr,    // "自动复位" on, the family's usual wiring
  Mode2,  // "自动复位" and "模式2": the second STM32 wiring
  Custom, // a sequence of line steps of the user's own (job.reset)
};

struct CliOptions {
  QString port;                 // device path or list name ("ttyUSB0"): the first of `ports`
  QStringList ports;            // every -p, in order
  QString portPattern;          // --ports 'ttyUSB*': every present port that matches
  IspFamily family = IspFamily::Stm32;
  uint32_t baud = 0;            // a speed of the port lists; 0 before parsing
  ResetWiring reset = ResetWiring::Dtr;
  std::optional<ResetSequence> resetSequence;  // --reset with steps of the user's own
  int resetMs = 500;            // "复位时间" (STC reset pulse)
  int timeoutS = 5;             // "超时值" (STC connect wait, LPC line pacing)
  bool timeoutGiven = false;    // --timeout was given (LPC: else no pause between lines)
  QString crystalKHz = QStringLiteral("11059.2");  // LPC crystal, sent as typed
  bool verify = true;
  bool verifyReadback = false;  // LPC: read the image back instead of the part's compare
  bool watch = false;
  uint32_t termBaud = 0;         // --term[=BAUD]: vortana-term on the port after the job, 0 = not
  QString file;
  // What to do: a download of `file` unless a job option says otherwise.
  // job.file is `file` for a download or a verify, the output for a read.
  IspJob job;

  // A production run (several boards, see LineRunner).
  QString reportFile;           // --report: a JSON line (or CSV row) per board
  bool watchBoards = false;     // --watch-boards: a station that waits for boards
  std::optional<uint64_t> serialStart;  // --serial-start N
  std::optional<uint32_t> serialAddress;  // --serial-address A
  QString serialFormat = QStringLiteral("u32le");  // --serial-format u32le|ascii
  bool porcelain = false;       // --porcelain: machine-readable lines (a board of a production run)
};

// The command line of one board of a production run: the run's options for
// that port alone, machine-readable (--porcelain), with its serial number.
QStringList BoardArguments(const CliOptions& o, const QString& port, std::optional<uint64_t> serial);
// Whether the options ask for a production run (several boards, a report,
// a station) rather than one board.
bool IsProductionRun(const CliOptions& o);

// Why `boards` serial numbers from `first` cannot all be written in
// `format` (u32le or ascii); empty when they can.
QString SerialRangeProblem(const QString& format, uint64_t first, uint64_t boards);

// "0x08000000", "134217728", "64K", "1M": an address or length. False on
// anything else, or a value above 32 bits.
bool ParseCliNumber(const QString& text, uint32_t* value);

struct ParsedCommandLine {
  enum class Kind { Run, Help, UsageError };
  Kind kind = Kind::UsageError;
  CliOptions options;
  QString error;       // UsageError: one line, without the program name
  QStringList notes;   // options the chosen family does not read
};

// `args` without the program name.
ParsedCommandLine ParseCommandLine(const QStringList& args);

QString HelpText();

// Speeds the port lists offer, in list order.
const QList<uint32_t>& ListSpeeds();
