// Find in the output area's rows. The rows are rendered a chunk at a time,
// never the whole text at once, so a search over tens of megabytes of
// history needs memory for one chunk. Matches may run across rows. Case is
// ignored (hexadecimal digits show in upper case).
#pragma once

#include <QString>

#include <optional>

#include "terminal/RowSource.h"

struct TextMatch {
  TextPos begin;
  TextPos end;  // just past the match
  bool wrapped = false;  // found only after going round the end
};

// The first match starting at or after `from`; else, going round, the first
// from the top. nullopt when there is none at all.
std::optional<TextMatch> FindNext(const RowSource& rows, const QString& needle, TextPos from);
// The last match starting before `before`; else, going round, the last one.
std::optional<TextMatch> FindPrevious(const RowSource& rows, const QString& needle, TextPos before);

// Counts the matches (not overlapping) a slice of rows at a time, so the
// count of a large history can run between other work.
class MatchCounter {
 public:
  explicit MatchCounter(QString needle) : needle_(std::move(needle)) {}
  // Looks at up to `maxChars` more characters; true once the last row was
  // reached (rows arriving later are taken by further calls).
  bool Step(const RowSource& rows, qsizetype maxChars);
  qsizetype Count() const { return count_ + tailCount_; }

 private:
  QString needle_;
  qsizetype count_ = 0;      // in the rows before nextRow_
  qsizetype tailCount_ = 0;  // in the carry and the last row, as last seen
  qsizetype nextRow_ = 0;  // first row not yet loaded
  QString carry_;          // end of the last slice a match may still start in
};
