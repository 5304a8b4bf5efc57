#include "terminal/RowFinder.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace {
constexpr qsizetype kChunkChars = 1 << 16;

// A run of consecutive rows rendered into one text.
struct Window {
  explicit Window(const RowSource& r) : rows(r) {}
  const RowSource& rows;
  qsizetype first = 0;  // row of starts[0]
  QString text;
  std::vector<qsizetype> starts;

  qsizetype next() const { return first + static_cast<qsizetype>(starts.size()); }
  void Load(qsizetype from, qsizetype until, qsizetype atLeast) {
    first = from;
    text.clear();
    starts.clear();
    qsizetype r = from;
    while (r < until && text.size() < atLeast) rows.AppendRows(r, r + 1, text, &starts), ++r;
  }
  // Adds rows after the window until `extra` more characters are in.
  void Extend(qsizetype extra) {
    const qsizetype want = text.size() + extra;
    qsizetype r = next();
    const qsizetype n = rows.RowCount();
    while (r < n && text.size() < want) rows.AppendRows(r, r + 1, text, &starts), ++r;
  }
  qsizetype Index(TextPos p) const {
    if (p.row < first) return 0;
    if (p.row >= next()) return text.size();
    return starts[p.row - first] + p.col;
  }
  TextPos Pos(qsizetype index) const {
    auto it = std::upper_bound(starts.begin(), starts.end(), index);
    const qsizetype k = it == starts.begin() ? 0 : (it - starts.begin()) - 1;
    return {first + k, index - starts[k]};
  }
  TextMatch Match(qsizetype index, qsizetype length) const { return {Pos(index), Pos(index + length), false}; }
};

// First match starting in [from, limit).
std::optional<TextMatch> ForwardIn(const RowSource& rows, const QString& needle, TextPos from, TextPos limit) {
  const qsizetype n = rows.RowCount();
  Window w(rows);
  qsizetype row = from.row;
  qsizetype col = from.col;
  while (row < n && row <= limit.row) {
    w.Load(row, n, kChunkChars);
    const qsizetype coreEnd = w.next();
    w.Extend(needle.size() - 1);  // a match may run on into the next rows
    const qsizetype idx = w.text.indexOf(needle, w.Index({row, col}), Qt::CaseInsensitive);
    if (idx >= 0) {
      const TextMatch m = w.Match(idx, needle.size());
      // One starting in the extension is found again by the next window.
      if (m.begin.row < coreEnd) return m.begin < limit ? std::optional<TextMatch>(m) : std::nullopt;
    }
    row = coreEnd;
    col = 0;
  }
  return std::nullopt;
}

// Last match starting in [limit, before).
std::optional<TextMatch> BackwardIn(const RowSource& rows, const QString& needle, TextPos before, TextPos limit) {
  Window w(rows);
  qsizetype end = std::min(before.row + 1, rows.RowCount());  // rows [.., end) are the core
  TextPos bound = before;
  while (end > 0 && end - 1 >= limit.row) {
    qsizetype first = end;
    qsizetype chars = 0;
    while (first > 0 && chars < kChunkChars) chars += rows.Row(--first).size();
    w.Load(first, end, std::numeric_limits<qsizetype>::max());
    w.Extend(needle.size() - 1);
    const qsizetype stop = w.Index(bound);  // matches start before this
    if (stop > 0) {
      const qsizetype idx = w.text.lastIndexOf(needle, stop - 1, Qt::CaseInsensitive);
      if (idx >= 0) {
        const TextMatch m = w.Match(idx, needle.size());
        return m.begin < limit ? std::nullopt : std::optional<TextMatch>(m);
      }
    }
    bound = {first, 0};
    end = first;
  }
  return std::nullopt;
}
}  // namespace

std::optional<TextMatch> FindNext(const RowSource& rows, const QString& needle, TextPos from) {
  if (needle.isEmpty() || rows.RowCount() == 0) return std::nullopt;
  const TextPos end{rows.RowCount(), 0};
  if (auto m = ForwardIn(rows, needle, from, end)) return m;
  auto m = ForwardIn(rows, needle, {0, 0}, from);
  if (m) m->wrapped = true;
  return m;
}

std::optional<TextMatch> FindPrevious(const RowSource& rows, const QString& needle, TextPos before) {
  if (needle.isEmpty() || rows.RowCount() == 0) return std::nullopt;
  if (auto m = BackwardIn(rows, needle, before, {0, 0})) return m;
  auto m = BackwardIn(rows, needle, rows.End(), before);
  if (m) m->wrapped = true;
  return m;
}

bool MatchCounter::Step(const RowSource& rows, qsizetype maxChars) {
  if (needle_.isEmpty()) return true;
  const qsizetype n = rows.RowCount();
  // Rows before the last never change; the last may still grow, so it is
  // only counted provisionally.
  if (nextRow_ < n - 1) {
    QString text = carry_;
    const qsizetype carried = carry_.size();
    qsizetype r = nextRow_;
    while (r < n - 1 && text.size() - carried < maxChars) rows.AppendRows(r, r + 1, text, nullptr), ++r;
    qsizetype lastEnd = 0;
    for (qsizetype from = 0;;) {
      const qsizetype idx = text.indexOf(needle_, from, Qt::CaseInsensitive);
      if (idx < 0) break;
      ++count_;
      from = lastEnd = idx + needle_.size();
    }
    // Keep what a match across the boundary could still start in.
    carry_ = text.mid(std::max<qsizetype>({lastEnd, text.size() - (needle_.size() - 1), 0}));
    nextRow_ = r;
    if (r < n - 1) return false;
  }
  QString tail = carry_;
  if (n > 0) rows.AppendRows(n - 1, n, tail, nullptr);
  tailCount_ = 0;
  for (qsizetype from = 0;;) {
    const qsizetype idx = tail.indexOf(needle_, from, Qt::CaseInsensitive);
    if (idx < 0) break;
    ++tailCount_;
    from = idx + needle_.size();
  }
  return true;
}
