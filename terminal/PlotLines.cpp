#include "terminal/PlotLines.h"

#include <QLocale>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace {
// A board that never ends a line must not grow our buffer without bound.
constexpr int kMaxLine = 4096;

bool IsSep(char c) { return c == ',' || c == ';' || c == '\t'; }

QByteArray Trim(const char* b, const char* e) {
  while (b < e && (*b == ' ' || *b == '\r')) ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\r')) --e;
  return QByteArray(b, e - b);
}

bool IsName(const QByteArray& t) {
  if (t.isEmpty() || !(std::isalpha(static_cast<unsigned char>(t[0])) || t[0] == '_')) return false;
  for (char c : t)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-' || c == '[' || c == ']'))
      return false;
  return true;
}

// name=value or name: value; the name starts with a letter so that a time
// of day such as 12:30:05 is not taken for a pair.
const QRegularExpression& PairPattern() {
  static const QRegularExpression re(QStringLiteral(R"(([A-Za-z_][\w.\[\]-]*)\s*[=:]\s*([^\s,;]*))"));
  return re;
}
}  // namespace

bool ParsePlotNumber(const char* b, const char* e, double& v) {
  if (b < e && *b == '+') ++b;
  if (b == e) return false;
  const auto r = std::from_chars(b, e, v);
  return r.ec == std::errc() && r.ptr == e && std::isfinite(v);
}

bool PlotLineParser::SetRegex(const QString& pattern) {
  QRegularExpression re(pattern);
  if (!re.isValid()) {
    error_ = QStringLiteral("正则表达式无效: ") + re.errorString();
    return false;
  }
  if (re.captureCount() < 1) {
    error_ = QStringLiteral("正则表达式没有捕获组");
    return false;
  }
  user_ = re;
  error_.clear();
  mode_ = Mode::Regex;
  names_.clear();
  named_ = false;
  const QStringList groups = re.namedCaptureGroups();
  for (int i = 1; i <= std::min<int>(re.captureCount(), kPlotMaxSeries); ++i) {
    const QString n = i < groups.size() ? groups[i] : QString();
    names_ << (n.isEmpty() ? QStringLiteral("通道%1").arg(i) : n);
  }
  return true;
}

void PlotLineParser::Reset() {
  partial_.clear();
  if (mode_ != Mode::Regex) {
    names_.clear();
    named_ = false;
  }
  malformed_ = lines_ = 0;
}

void PlotLineParser::Feed(const QByteArray& bytes, double t, std::vector<PlotSample>& out) {
  qsizetype from = 0;
  for (;;) {
    // Some boards end their lines with CR alone; CR LF then gives an empty
    // line between the two, which holds no sample.
    qsizetype nl = from;
    while (nl < bytes.size() && bytes[nl] != '\n' && bytes[nl] != '\r') ++nl;
    if (nl == bytes.size()) break;
    QByteArray line = partial_.isEmpty() ? bytes.mid(from, nl - from) : partial_ + bytes.mid(from, nl - from);
    partial_.clear();
    PlotSample s;
    if (ParseLine(line, t, s)) out.push_back(std::move(s));
    from = nl + 1;
  }
  partial_ += bytes.mid(from);
  if (partial_.size() > kMaxLine) {
    partial_.clear();
    ++malformed_;
  }
}

void PlotLineParser::Put(PlotSample& s, int index, double v) {
  if (index < 0 || index >= kPlotMaxSeries) return;
  if (static_cast<int>(s.values.size()) <= index)
    s.values.resize(index + 1, std::numeric_limits<double>::quiet_NaN());
  s.values[index] = v;
}

int PlotLineParser::SeriesFor(const QString& name) {
  if (!named_) names_.clear();  // pairs name the series; drop default names
  named_ = true;
  const int i = static_cast<int>(names_.indexOf(name));
  if (i >= 0) return i;
  if (names_.size() >= kPlotMaxSeries) return -1;
  names_ << name;
  return static_cast<int>(names_.size() - 1);
}

bool PlotLineParser::Columns(const QByteArray& line, PlotSample& s) {
  std::vector<QByteArray> fields;
  const char* p = line.constData();
  const char* end = p + line.size();
  bool separated = false;
  for (const char* q = p; q < end; ++q) separated |= IsSep(*q);
  if (separated) {
    const char* b = p;
    for (const char* q = p; q <= end; ++q)
      if (q == end || IsSep(*q)) {
        fields.push_back(Trim(b, q));
        b = q + 1;
      }
  } else {
    for (const QByteArray& f : line.split(' '))
      if (!f.trimmed().isEmpty()) fields.push_back(f.trimmed());
  }
  int numbers = 0, bad = 0;
  std::vector<double> vals(fields.size(), std::numeric_limits<double>::quiet_NaN());
  for (size_t i = 0; i < fields.size(); ++i) {
    double v;
    if (fields[i].isEmpty()) continue;
    if (ParsePlotNumber(fields[i].constData(), fields[i].constData() + fields[i].size(), v)) {
      vals[i] = v;
      ++numbers;
    } else {
      ++bad;
    }
  }
  if (numbers == 0) {
    // A line of names before any numbers is the header; later text lines are
    // the board talking, not data.
    bool header = !fields.empty() && lines_ == 0 && !named_;
    for (const auto& f : fields) header = header && IsName(f);
    if (header) {
      names_.clear();
      for (size_t i = 0; i < fields.size() && i < kPlotMaxSeries; ++i) names_ << QString::fromUtf8(fields[i]);
      named_ = true;
    }
    return false;
  }
  malformed_ += bad;
  for (size_t i = 0; i < vals.size() && i < kPlotMaxSeries; ++i) Put(s, static_cast<int>(i), vals[i]);
  if (!named_)
    while (names_.size() < std::min<qsizetype>(static_cast<qsizetype>(vals.size()), kPlotMaxSeries))
      names_ << QStringLiteral("通道%1").arg(names_.size() + 1);
  return true;
}

bool PlotLineParser::Pairs(const QByteArray& line, PlotSample& s) {
  const QString text = QString::fromUtf8(line);
  auto it = PairPattern().globalMatch(text);
  int numbers = 0, found = 0;
  while (it.hasNext()) {
    const auto m = it.next();
    ++found;
    const QByteArray val = m.captured(2).toUtf8();
    double v;
    if (!ParsePlotNumber(val.constData(), val.constData() + val.size(), v)) {
      ++malformed_;
      continue;
    }
    const int i = SeriesFor(m.captured(1));
    if (i < 0) continue;
    Put(s, i, v);
    ++numbers;
  }
  return found > 0 && numbers > 0;
}

bool PlotLineParser::Captures(const QByteArray& line, PlotSample& s) {
  const auto m = user_.match(QString::fromUtf8(line));
  if (!m.hasMatch()) return false;
  int numbers = 0;
  for (int g = 1; g <= user_.captureCount() && g <= kPlotMaxSeries; ++g) {
    const QByteArray val = m.captured(g).trimmed().toUtf8();
    double v;
    if (val.isEmpty()) continue;  // an optional group that did not take part
    if (!ParsePlotNumber(val.constData(), val.constData() + val.size(), v)) {
      ++malformed_;
      continue;
    }
    Put(s, g - 1, v);
    ++numbers;
  }
  return numbers > 0;
}

bool PlotLineParser::ParseLine(const QByteArray& raw, double t, PlotSample& out) {
  QByteArray line = raw;
  if (line.endsWith('\r')) line.chop(1);
  if (line.trimmed().isEmpty()) return false;
  PlotSample s;
  s.t = t;
  bool ok = false;
  switch (mode_) {
    case Mode::Regex: ok = Captures(line, s); break;
    case Mode::Pairs: ok = Pairs(line, s); break;
    case Mode::Columns: ok = Columns(line, s); break;
    case Mode::Auto:
      if (PairPattern().match(QString::fromUtf8(line)).hasMatch()) ok = Pairs(line, s);
      else ok = Columns(line, s);
      break;
  }
  if (!ok) return false;
  ++lines_;
  out = std::move(s);
  return true;
}

QByteArray PlotCsvHeader(const QStringList& names) {
  // Boards often print their own t=...; the arrival time must not take the
  // same name, or a spreadsheet cannot tell the two columns apart.
  QString time = QStringLiteral("t");
  if (names.contains(time)) time = QStringLiteral("t_s");
  while (names.contains(time)) time += '_';
  QByteArray h = time.toUtf8();
  for (const QString& n : names) {
    QByteArray q = n.toUtf8();
    // A name with a comma or quote is quoted, so columns stay in place.
    if (q.contains(',') || q.contains('"')) q = '"' + q.replace("\"", "\"\"") + '"';
    h += ',' + q;
  }
  return h + "\r\n";
}

QByteArray PlotCsvRow(const QStringList& names, const PlotSample& s) {
  QByteArray r = QByteArray::number(s.t, 'f', 3);
  for (qsizetype i = 0; i < names.size(); ++i) {
    r += ',';
    if (i < static_cast<qsizetype>(s.values.size()) && !std::isnan(s.values[static_cast<size_t>(i)]))
      r += QByteArray::number(s.values[static_cast<size_t>(i)], 'g', QLocale::FloatingPointShortest);
  }
  return r + "\r\n";
}

double PlotTickStep(double span, int maxTicks) {
  if (!(span > 0) || !std::isfinite(span) || maxTicks < 1) return 1;
  const double raw = span / maxTicks;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * mag >= raw * (1 - 1e-9)) return m * mag;
  return 10 * mag;
}

int PlotTickDecimals(double step) {
  if (!(step > 0) || !std::isfinite(step)) return 0;
  // 0.25 is never a step, so the step's own leading digit sets the decimals.
  return std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 12);
}

QList<QPointF> PlotThin(const QList<QPointF>& points, int buckets) {
  const qsizetype n = points.size();
  if (buckets < 1 || n <= 2 * static_cast<qsizetype>(buckets)) return points;
  QList<QPointF> out;
  out.reserve(2 * buckets);
  for (qsizetype b = 0; b < buckets; ++b) {
    const qsizetype from = b * n / buckets, to = (b + 1) * n / buckets;
    if (from >= to) continue;
    qsizetype lo = from, hi = from;
    for (qsizetype i = from + 1; i < to; ++i) {
      if (points[i].y() < points[lo].y()) lo = i;
      if (points[i].y() > points[hi].y()) hi = i;
    }
    out.append(points[std::min(lo, hi)]);
    if (lo != hi) out.append(points[std::max(lo, hi)]);
  }
  return out;
}
