// What the output area shows, as rows laid out for a number of columns.
// The area asks only for the rows on screen, so a source can be any size:
// its own text (page texts, progress lines) or the receive store rendered on
// demand. The rows are consecutive slices of one text: joined in order they
// give that text exactly, line break characters included.
#pragma once

#include <QString>

#include <algorithm>
#include <compare>
#include <cstddef>
#include <vector>

// A place in the rows: row and index into that row's text.
struct TextPos {
  qsizetype row = 0;
  qsizetype col = 0;
  auto operator<=>(const TextPos&) const = default;
};

class RowSource {
 public:
  virtual ~RowSource() = default;
  // Lays the rows out for `cols` cells a row; nothing to do when they are.
  virtual void Layout(int cols) = 0;
  // A source may finish a new layout in slices: while it is pending, the
  // rows of the previous one are shown; each call does about `maxBytes` of
  // it and returns true once the new rows are in place.
  virtual bool LayoutPending() const { return false; }
  virtual bool ContinueLayout(size_t maxBytes) {
    (void)maxBytes;
    return true;
  }
  virtual qsizetype RowCount() const = 0;
  virtual QString Row(qsizetype row) const = 0;
  // Appends rows [first, last) to `out`; with `starts`, records where each
  // began in `out`. Sources that can render a run faster override it.
  virtual void AppendRows(qsizetype first, qsizetype last, QString& out, std::vector<qsizetype>* starts) const {
    for (qsizetype r = first; r < last; ++r) {
      if (starts) starts->push_back(out.size());
      out += Row(r);
    }
  }

  // The text from `a` to `b` (a <= b).
  QString Slice(TextPos a, TextPos b) const {
    if (b <= a) return QString();
    std::vector<qsizetype> starts;
    QString s;
    AppendRows(a.row, std::min(b.row + 1, RowCount()), s, &starts);
    if (starts.empty()) return QString();
    const qsizetype from = starts.front() + a.col;
    const qsizetype to = std::min(s.size(), starts.back() + b.col);
    return s.mid(from, to - from);
  }
  // Just past the last character.
  TextPos End() const {
    const qsizetype n = RowCount();
    return n == 0 ? TextPos{} : TextPos{n - 1, Row(n - 1).size()};
  }
};
