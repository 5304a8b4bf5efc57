#include "cli/BoardRecord.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

#include "firmware/FirmwareFile.h"
#include "firmware/IntelHex.h"

QByteArray RecordJsonLine(const BoardRecord& r) {
  QJsonObject o{{QStringLiteral("time"), r.time.toString(Qt::ISODateWithMs)},
                {QStringLiteral("port"), r.port},
                {QStringLiteral("family"), r.family},
                {QStringLiteral("part"), r.part},
                {QStringLiteral("partId"), r.partId},
                {QStringLiteral("uid"), r.uniqueId},
                {QStringLiteral("image"), r.imageFile},
                {QStringLiteral("sha256"), r.imageSha256},
                {QStringLiteral("result"), r.ok ? QStringLiteral("ok") : QStringLiteral("failed")},
                {QStringLiteral("cause"), r.ok ? QString() : r.cause},
                {QStringLiteral("seconds"), qRound(r.seconds * 10) / 10.0}};
  // A number, exactly: JSON doubles hold every serial a u32 can carry.
  o.insert(QStringLiteral("serial"), r.serial ? QJsonValue(static_cast<double>(*r.serial)) : QJsonValue());
  return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

namespace {

QString CsvField(const QString& f) {
  if (!f.contains(QLatin1Char(',')) && !f.contains(QLatin1Char('"')) && !f.contains(QLatin1Char('\n')) &&
      !f.contains(QLatin1Char('\r')))
    return f;
  QString q = f;
  q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
  return QLatin1Char('"') + q + QLatin1Char('"');
}

const QStringList kCsvColumns = {QStringLiteral("time"),   QStringLiteral("port"),   QStringLiteral("family"),
                                 QStringLiteral("part"),   QStringLiteral("partId"), QStringLiteral("uid"),
                                 QStringLiteral("image"),  QStringLiteral("sha256"), QStringLiteral("serial"),
                                 QStringLiteral("result"), QStringLiteral("cause"),  QStringLiteral("seconds")};

}  // namespace

QByteArray RecordCsvHeader() { return kCsvColumns.join(QLatin1Char(',')).toUtf8() + '\n'; }

QByteArray RecordCsvRow(const BoardRecord& r) {
  const QStringList fields = {r.time.toString(Qt::ISODateWithMs),
                              r.port,
                              r.family,
                              r.part,
                              r.partId,
                              r.uniqueId,
                              r.imageFile,
                              r.imageSha256,
                              r.serial ? QString::number(*r.serial) : QString(),
                              r.ok ? QStringLiteral("ok") : QStringLiteral("failed"),
                              r.ok ? QString() : r.cause,
                              QString::number(r.seconds, 'f', 1)};
  QStringList out;
  for (const QString& f : fields) out << CsvField(f);
  return out.join(QLatin1Char(',')).toUtf8() + '\n';
}

bool IsCsvReport(const QString& path) { return path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive); }

bool AppendRecord(const QString& path, const BoardRecord& r, QString* why) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) {
    if (why) *why = QStringLiteral("cannot write the report %1: %2").arg(path, f.errorString());
    return false;
  }
  QByteArray bytes;
  if (IsCsvReport(path)) {
    if (f.size() == 0) bytes += RecordCsvHeader();
    bytes += RecordCsvRow(r);
  } else {
    bytes = RecordJsonLine(r);
  }
  // One write a record: boards finishing at once never interleave.
  const bool ok = f.write(bytes) == bytes.size() && f.flush();
  if (!ok && why) *why = QStringLiteral("cannot write the report %1: %2").arg(path, f.errorString());
  return ok;
}

namespace {

// A CSV line's fields, quotes honoured (a cause may hold commas).
QList<QByteArray> CsvFields(const QByteArray& line) {
  QList<QByteArray> fields;
  QByteArray cur;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields << cur;
      cur.clear();
    } else {
      cur += c;
    }
  }
  fields << cur;
  return fields;
}

}  // namespace

std::vector<uint64_t> SerialsInReport(const QString& path) {
  std::vector<uint64_t> used;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return used;
  const bool csv = IsCsvReport(path);
  qsizetype column = kCsvColumns.indexOf(QStringLiteral("serial"));
  bool first = true;
  while (!f.atEnd()) {
    const QByteArray line = f.readLine().trimmed();
    if (line.isEmpty()) continue;
    bool ok = false;
    uint64_t n = 0;
    if (csv) {
      const QList<QByteArray> fields = CsvFields(line);
      if (first) {
        first = false;
        // The header says where the column is, whoever wrote the file.
        if (fields.contains("serial")) {
          column = fields.indexOf("serial");
          continue;
        }
      }
      if (column < fields.size()) n = fields[column].toULongLong(&ok);
    } else {
      const QJsonValue v = QJsonDocument::fromJson(line).object().value(QStringLiteral("serial"));
      ok = v.isDouble() && v.toDouble() >= 0;
      if (ok) n = static_cast<uint64_t>(v.toDouble());
    }
    if (ok) used.push_back(n);
  }
  return used;
}

uint64_t FirstFreeSerial(uint64_t start, const std::vector<uint64_t>& used) {
  uint64_t next = start;
  for (uint64_t n : used)
    if (n >= next) next = n + 1;
  return next;
}

std::vector<uint8_t> SerialNumberBytes(uint64_t n, const QString& format) {
  if (format == QLatin1String("ascii")) {
    if (n > 9999999999ull) return {};
    const QByteArray digits = QByteArray::number(static_cast<qulonglong>(n)).rightJustified(10, '0');
    return {digits.begin(), digits.end()};
  }
  if (n > 0xFFFFFFFFull) return {};
  return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
          static_cast<uint8_t>(n >> 24)};
}

QString SerialPlacementProblem(bool stm32, const QString& file, uint32_t address, uint32_t size) {
  constexpr uint64_t kFlashBase = 0x08000000;
  const bool hex = !stm32 || IsHexName(file);
  const FirmwareFileRead read = ReadFirmwareFile(file, hex ? ihex::kMaxFileBytes : 64ll * 1024 * 1024);
  if (read.status != FirmwareFileStatus::Ok) return {};
  uint64_t from = stm32 ? kFlashBase : 0, to = from;
  if (!hex) {
    to = from + static_cast<uint64_t>(read.bytes.size());
  } else {
    const ihex::Result r = ihex::Read(read.bytes.constData(), static_cast<size_t>(read.bytes.size()));
    if (!r.Ok() || r.Empty()) return {};
    // A file linked at the boot alias (address 0) still counts from the flash base.
    const uint64_t base = stm32 && r.Lowest() < kFlashBase ? 0 : from;
    to = from + (r.End() - base);
  }
  to = (to + 3) / 4 * 4;  // the loaders end an image on a whole word
  if (address >= from && uint64_t{address} + size <= to) return {};
  auto hex32 = [](uint64_t v) {
    return QStringLiteral("0x") + QString::number(v, 16).toUpper().rightJustified(8, QLatin1Char('0'));
  };
  return QStringLiteral("--serial-address %1 is outside the image (%2 ... %3)")
      .arg(hex32(address), hex32(from), hex32(to - 1));
}

QString FileSha256(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash h(QCryptographicHash::Sha256);
  if (!h.addData(&f)) return {};
  return QString::fromLatin1(h.result().toHex());
}

int DisplayWidth(const QString& text) {
  int w = 0;
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    // CJK ideographs, full-width forms and the CJK punctuation block.
    const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF) || (u >= 0xAC00 && u <= 0xD7A3) ||
                      (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
                      (u >= 0xFFE0 && u <= 0xFFE6);
    if (c.isLowSurrogate()) continue;
    w += wide ? 2 : 1;
  }
  return w;
}

QString PadCells(const QString& text, int cells) {
  if (DisplayWidth(text) <= cells) return text + QString(cells - DisplayWidth(text), QLatin1Char(' '));
  QString cut;
  for (const QChar c : text) {
    if (DisplayWidth(cut + c) > cells - 1) break;
    cut += c;
  }
  cut += QStringLiteral("…");
  return cut + QString(std::max(0, cells - DisplayWidth(cut)), QLatin1Char(' '));
}

QStringList SummaryTable(const std::vector<BoardRecord>& boards) {
  // The serial numbers get a column of their own when the run wrote any.
  const bool serials = std::any_of(boards.begin(), boards.end(), [](const BoardRecord& b) { return b.serial.has_value(); });
  QStringList head = {QStringLiteral("端口"), QStringLiteral("器件"), QStringLiteral("唯一ID")};
  std::vector<int> limits = {24, 22, 34};
  if (serials) {
    head << QStringLiteral("序列号");
    limits.push_back(12);
  }
  head << QStringLiteral("结果") << QStringLiteral("用时") << QStringLiteral("原因");
  limits.insert(limits.end(), {4, 8, 1000});
  std::vector<QStringList> rows;
  for (const BoardRecord& b : boards) {
    QStringList row = {b.port, b.part.isEmpty() ? b.partId : b.part, b.uniqueId};
    if (serials) row << (b.serial ? QString::number(*b.serial) : QString());
    row << (b.ok ? QStringLiteral("成功") : QStringLiteral("失败")) << QStringLiteral("%1 s").arg(b.seconds, 0, 'f', 1)
        << (b.ok ? QString() : b.cause);
    rows.push_back(row);
  }
  // Widths from the contents, within reason; the cause takes what is left.
  const int columns = static_cast<int>(head.size());
  std::vector<int> widths(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    widths[c] = DisplayWidth(head[c]);
    for (const QStringList& r : rows) widths[c] = std::max(widths[c], DisplayWidth(r[c]));
    widths[c] = std::min(widths[c], limits[c]);
  }
  auto line = [&](const QStringList& cells) {
    QString out;
    for (int c = 0; c < columns; ++c)
      out += (c < columns - 1 ? PadCells(cells[c], widths[c]) + QStringLiteral("  ") : cells[c]);
    while (out.endsWith(QLatin1Char(' '))) out.chop(1);
    return out;
  };
  QStringList table{line(head)};
  for (const QStringList& r : rows) table << line(r);
  return table;
}
