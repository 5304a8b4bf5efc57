#include "terminal/FrameLog.h"

#include <QFile>
#include <algorithm>

#include "terminal/HexText.h"
#include "terminal/Timestamp.h"

FrameLog::FrameLog(const std::vector<uint8_t>& store) : store_(store) {
  rule_.mode = SplitRule::Mode::Gap;
  rule_.gapMs = 20;
  splitter_ = std::make_unique<FrameSplitter>(rule_);
}

void FrameLog::SetRule(const SplitRule& rule) {
  rule_ = rule;
  Resplit();
}

void FrameLog::SetChecksum(const ChecksumPlace& place) {
  place_ = place;
  for (size_t i = 0; i < entries_.size(); ++i)
    entries_[i].verdict = entries_[i].stray ? 0 : static_cast<uint8_t>(CheckFrame(place_, Bytes(i)));
}

void FrameLog::Cleared() {
  entries_.clear();
  deliveries_.clear();
  fed_ = framed_ = 0;
  splitter_ = std::make_unique<FrameSplitter>(rule_);
}

size_t FrameLog::Take(std::vector<Frame>& frames) {
  for (const Frame& f : frames) {
    // The delivery that brought the frame's first byte gives its time.
    auto d = std::upper_bound(deliveries_.begin(), deliveries_.end(), framed_,
                              [](size_t off, const Delivery& x) { return off < x.offset; });
    const uint32_t ms = d == deliveries_.begin() ? 0 : std::prev(d)->msOfDay;
    Entry e{static_cast<uint32_t>(framed_), static_cast<uint32_t>(f.bytes.size()), ms, 0, f.stray ? uint8_t{1} : uint8_t{0},
            f.reply ? uint8_t{1} : uint8_t{0}};
    entries_.push_back(e);
    if (!f.stray) entries_.back().verdict = static_cast<uint8_t>(CheckFrame(place_, f.bytes));
    framed_ += f.bytes.size();
  }
  const size_t n = frames.size();
  frames.clear();
  return n;
}

size_t FrameLog::Appended(int64_t monoMs, uint32_t msOfDay) {
  if (store_.size() < fed_) {  // emptied behind our back: start over
    Cleared();
  }
  if (store_.size() == fed_) return 0;
  deliveries_.push_back({fed_, monoMs, msOfDay});
  std::vector<Frame> frames;
  splitter_->Feed(std::span<const uint8_t>(store_.data() + fed_, store_.size() - fed_), monoMs, frames);
  fed_ = store_.size();
  return Take(frames);
}

size_t FrameLog::Tick(int64_t monoMs) {
  std::vector<Frame> frames;
  splitter_->Tick(monoMs, frames);
  return Take(frames);
}

// The history again under the new rule, delivery by delivery, so a silence
// rule sees the same gaps it saw live.
void FrameLog::Resplit() {
  entries_.clear();
  splitter_ = std::make_unique<FrameSplitter>(rule_);
  const size_t end = std::min(fed_, store_.size());
  framed_ = 0;
  std::vector<Frame> frames;
  for (size_t d = 0; d < deliveries_.size(); ++d) {
    const size_t from = deliveries_[d].offset;
    const size_t to = d + 1 < deliveries_.size() ? deliveries_[d + 1].offset : end;
    if (to > from) splitter_->Feed(std::span<const uint8_t>(store_.data() + from, to - from), deliveries_[d].monoMs, frames);
    Take(frames);
  }
  fed_ = end;
}

std::span<const uint8_t> FrameLog::Bytes(size_t i) const {
  const Entry& e = entries_[i];
  return std::span<const uint8_t>(store_.data() + e.offset, e.length);
}

QString FrameLog::TimeText(size_t i) const { return StampText(entries_[i].msOfDay).mid(1, 12); }

QString FrameLog::HexText(size_t i, size_t maxBytes) const {
  const auto b = Bytes(i);
  const size_t n = std::min(b.size(), maxBytes);
  static const char kDigits[] = "0123456789ABCDEF";
  QString s;
  s.reserve(static_cast<qsizetype>(n * 3 + 3));
  for (size_t k = 0; k < n; ++k) {
    if (k) s += QLatin1Char(' ');
    s += QLatin1Char(kDigits[b[k] >> 4]);
    s += QLatin1Char(kDigits[b[k] & 15]);
  }
  if (n < b.size()) s += QStringLiteral(" …");
  return s;
}

// Printable ASCII as it is, every other byte a dot: one cell per byte, so a
// frame's text lines up with its hex.
QString FrameLog::PlainText(size_t i, size_t maxBytes) const {
  const auto b = Bytes(i);
  const size_t n = std::min(b.size(), maxBytes);
  QString s;
  s.reserve(static_cast<qsizetype>(n + 2));
  for (size_t k = 0; k < n; ++k) s += QLatin1Char(b[k] >= 0x20 && b[k] < 0x7F ? static_cast<char>(b[k]) : '.');
  if (n < b.size()) s += QStringLiteral("…");
  return s;
}

QString FrameLog::VerdictText(uint8_t verdict) {
  switch (static_cast<ChecksumVerdict>(verdict)) {
    case ChecksumVerdict::None: return {};
    case ChecksumVerdict::Good: return QStringLiteral("正确");
    case ChecksumVerdict::Bad: return QStringLiteral("错误");
    case ChecksumVerdict::TooShort: return QStringLiteral("帧过短");
  }
  return {};
}

long long FrameLog::Find(const QString& needle, size_t from) const {
  if (needle.isEmpty() || entries_.empty()) return -1;
  // A needle of hex digit pairs (blanks allowed) is looked for as bytes too.
  QString compact = needle;
  compact.remove(QLatin1Char(' '));
  std::vector<uint8_t> hex;
  bool isHex = compact.size() % 2 == 0;
  for (QChar c : compact) isHex = isHex && (c.isDigit() || QStringLiteral("abcdefABCDEF").contains(c));
  if (isHex) hex = HexDigitsToBytes(compact);
  const QByteArray text = needle.toUtf8();
  const size_t n = entries_.size();
  for (size_t k = 0; k < n; ++k) {
    const size_t i = (from + k) % n;
    const auto b = Bytes(i);
    if (!hex.empty() && std::search(b.begin(), b.end(), hex.begin(), hex.end()) != b.end()) return static_cast<long long>(i);
    if (std::search(b.begin(), b.end(), text.begin(), text.end(),
                    [](uint8_t x, char y) { return x == static_cast<uint8_t>(y); }) != b.end())
      return static_cast<long long>(i);
  }
  return -1;
}

namespace {
QString CsvField(const QString& s) {
  // Received bytes are not trusted: a cell starting like a formula would be
  // run by a spreadsheet, so it is kept as text.
  if (!s.isEmpty() && QStringLiteral("=+-@").contains(s[0])) return CsvField(QLatin1Char('\'') + s);
  if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n'))) return s;
  QString q = s;
  q.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + q + QLatin1Char('"');
}
}  // namespace

bool FrameLog::SaveCsv(const QString& path) const {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  bool ok = f.write("\xEF\xBB\xBF") == 3;  // so spreadsheet programs read the Chinese header as UTF-8
  ok = ok && f.write(QStringLiteral("时间,长度,十六进制,文本,校验\r\n").toUtf8()) > 0;
  for (size_t i = 0; ok && i < entries_.size(); ++i) {
    const QString verdict = entries_[i].stray ? QStringLiteral("未成帧") : VerdictText(entries_[i].verdict);
    const QString row = TimeText(i) + QLatin1Char(',') + QString::number(entries_[i].length) + QLatin1Char(',') +
                        HexText(i) + QLatin1Char(',') + CsvField(PlainText(i)) + QLatin1Char(',') + verdict +
                        QStringLiteral("\r\n");
    const QByteArray bytes = row.toUtf8();
    ok = f.write(bytes) == bytes.size();
  }
  return ok && f.flush();
}
