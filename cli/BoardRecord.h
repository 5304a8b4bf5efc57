// What a production run keeps of each board: the record appended to the
// report file (a JSON line, or a CSV row when the file ends in .csv), the
// serial numbers handed out (never one twice in a report file), and the
// summary table printed at the end. Plain logic apart from the file
// reading and appending, so each rule is tested on its own.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

struct BoardRecord {
  QDateTime time;               // when the board finished
  QString port;
  QString family;               // "stm32", "lpc", "stc"
  QString part;
  QString partId;
  QString uniqueId;
  QString imageFile;
  QString imageSha256;          // hex, empty when there is no image (a read, an erase)
  std::optional<uint64_t> serial;
  bool ok = false;
  QString cause;
  double seconds = 0;
};

// One JSON object, one line (with its line feed).
QByteArray RecordJsonLine(const BoardRecord& r);
// The CSV header and one row (each with its line feed); fields with commas,
// quotes or line breaks are quoted.
QByteArray RecordCsvHeader();
QByteArray RecordCsvRow(const BoardRecord& r);
bool IsCsvReport(const QString& path);
// Appends the record (the header first when the CSV file is new or empty).
// False with why when the file cannot be written.
bool AppendRecord(const QString& path, const BoardRecord& r, QString* why);

// Serial numbers already in a report file (JSON lines or CSV).
std::vector<uint64_t> SerialsInReport(const QString& path);
// The first number to hand out: `start`, or past every number the report
// holds already.
uint64_t FirstFreeSerial(uint64_t start, const std::vector<uint64_t>& used);

// The bytes a serial number is written as: "u32le" (four bytes, least
// significant first) or "ascii" (ten decimal digits). Empty when the number
// does not fit the format.
std::vector<uint8_t> SerialNumberBytes(uint64_t n, const QString& format);

// Why `size` bytes at `address` do not lie inside the image the family's
// loader makes of `file` (STM32: from the flash base; LPC and STC: from
// address 0); empty when they do, or when the file cannot be read (its
// loader names that). A serial number outside the image would grow it.
QString SerialPlacementProblem(bool stm32, const QString& file, uint32_t address, uint32_t size);

// SHA-256 of a file, hex; empty when it cannot be read.
QString FileSha256(const QString& path);

// Columns in terminal cells: CJK characters take two.
int DisplayWidth(const QString& text);
// Left-aligned to `cells`, cut with "…" when longer.
QString PadCells(const QString& text, int cells);
// The summary of a run: a header and a row per board.
QStringList SummaryTable(const std::vector<BoardRecord>& boards);
