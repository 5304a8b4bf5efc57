// The lines a board's vortana-isp writes when a production run drives it
// (--porcelain): one JSON object a line on standard output, so the run that
// started it can show its progress and keep its result without parsing the
// human texts. Encoding and decoding live together so both ends agree.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

#include "isp/IspJob.h"

struct PorcelainEvent {
  enum class Kind { Log, Status, Progress, Error, Result, Unknown };
  Kind kind = Kind::Unknown;
  QString text;            // Log, Status, Error
  int percent = 0;         // Progress
  int64_t done = 0;
  int64_t total = 0;
  IspResult result;        // Result
  int exitStatus = 1;      // Result: what the board's process exits with
};

QByteArray PorcelainLog(const QString& text);
QByteArray PorcelainStatus(const QString& text);
QByteArray PorcelainError(const QString& text);
QByteArray PorcelainProgress(int percent, int64_t done, int64_t total);
QByteArray PorcelainResult(const IspResult& result, int exitStatus);

// One line (without its line feed); Unknown for anything else, which a
// board may print (a sanitizer's report, say) and the run shows as a log line.
PorcelainEvent ParsePorcelainLine(const QByteArray& line);
