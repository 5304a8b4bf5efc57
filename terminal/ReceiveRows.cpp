#include "terminal/ReceiveRows.h"

#include <algorithm>

#include "terminal/Timestamp.h"

namespace {
constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
// Below this a new width is laid out at once.
constexpr size_t kSlicedLayoutFrom = 256 * 1024;
}

ReceiveRows::ReceiveRows(const std::vector<uint8_t>& store) : store_(store) { Relayout(true, true); }

void ReceiveRows::SetTimestamps(bool on) {
  if (on == stamps_) return;
  FinishPending();
  stamps_ = on;
  Relayout(true, true);
}

void ReceiveRows::SetEncoding(TextEncoding e) {
  if (e == enc_) return;
  FinishPending();
  enc_ = e;
  Relayout(true, false);
}

void ReceiveRows::Layout(int cols) {
  cols = std::max(cols, 8);
  if (pending_ ? cols == pendingCols_ : cols == cols_) return;
  if (pending_ && cols == cols_) {  // back to the width the rows have
    pending_ = false;
    return;
  }
  if (std::min(known_, store_.size()) < kSlicedLayoutFrom) {
    pending_ = false;
    cols_ = cols;
    Relayout(true, true);
    return;
  }
  pending_ = true;
  pendingCols_ = cols;
  pendingText_ = FreshRows(true);
  pendingHex_ = FreshRows(false);
  pendingBlock_ = 0;
}

bool ReceiveRows::ContinueLayout(size_t maxBytes) {
  if (!pending_) return true;
  const size_t size = std::min(known_, store_.size());
  size_t budget = maxBytes;
  if (pendingText_.scanned < size) {
    const size_t end = std::min(size, pendingText_.scanned + budget);
    budget -= end - pendingText_.scanned;
    ExtendText(pendingText_, pendingCols_, end);
  }
  // Whole blocks, so that each still starts its own line.
  while (budget > 0 && pendingBlock_ < blocks_.size()) {
    const size_t end = pendingBlock_ + 1 < blocks_.size() ? blocks_[pendingBlock_ + 1].offset : size;
    budget -= std::min(budget, end - std::min(end, pendingHex_.scanned));
    ExtendHex(pendingHex_, pendingCols_, std::min(end, size), true);
    ++pendingBlock_;
  }
  if (pendingText_.scanned < size || pendingBlock_ < blocks_.size()) return false;
  textRows_ = std::move(pendingText_);
  hexRows_ = std::move(pendingHex_);
  cols_ = pendingCols_;
  pending_ = false;
  return true;
}

void ReceiveRows::FinishPending() {
  if (!pending_) return;
  pending_ = false;
  cols_ = pendingCols_;
  Relayout(true, true);
}

void ReceiveRows::Cleared() {
  blocks_.clear();
  known_ = 0;
  if (pending_) cols_ = pendingCols_;
  pending_ = false;
  Relayout(true, true);
}

void ReceiveRows::Appended(uint32_t msOfDay) {
  const size_t size = store_.size();
  if (size < known_) {  // emptied behind our back: start over
    Cleared();
  }
  if (size == known_) return;
  blocks_.push_back({static_cast<uint32_t>(known_), msOfDay});
  known_ = size;
  ExtendText(textRows_, cols_, size);
  ExtendHex(hexRows_, cols_, size, true);
  // A layout being built takes the new block when it gets there.
}

void ReceiveRows::StartRow(Rows& r, size_t at, bool line) {
  r.rows.push_back(static_cast<uint32_t>(at) | (line ? kLineStart : 0));
  r.cells = line && stamps_ ? kStampWidth : 0;
  r.rowEmpty = true;
}

ReceiveRows::Rows ReceiveRows::FreshRows(bool text) const {
  Rows r;
  if (text) r.decoder = TextDecoder(enc_);
  r.cells = stamps_ ? kStampWidth : 0;
  return r;
}

void ReceiveRows::Relayout(bool text, bool hex) {
  const size_t size = std::min(known_, store_.size());
  if (text) {
    textRows_ = FreshRows(true);
    ExtendText(textRows_, cols_, size);
  }
  if (hex) {
    hexRows_ = FreshRows(false);
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const size_t end = b + 1 < blocks_.size() ? blocks_[b + 1].offset : size;
      ExtendHex(hexRows_, cols_, std::min(end, size), true);
    }
  }
}

void ReceiveRows::ExtendText(Rows& r, int cols, size_t end) {
  const uint8_t* p = store_.data();
  char16_t out[3];
  for (size_t i = r.scanned; i < end; ++i) {
    const uint8_t b = p[i];
    if (b == 0) continue;  // left out of the text display
    if (!r.decoder.HasPending()) r.charStart = i;
    const int n = r.decoder.Push(b, out);
    for (int k = 0; k < n; ++k) {
      const char16_t c = out[k];
      if (c == u'\n') {
        StartRow(r, i + 1, true);
        continue;
      }
      if (c == u'\r') continue;
      const int w = CellWidth(c);
      if (r.cells + w > cols && !r.rowEmpty && (r.rows.back() & ~kLineStart) != r.charStart)
        StartRow(r, r.charStart, false);
      r.cells += w;
      r.rowEmpty = false;
    }
  }
  r.scanned = std::max(r.scanned, end);
}

void ReceiveRows::ExtendHex(Rows& r, int cols, size_t end, bool blockStarts) {
  size_t i = r.scanned;
  if (i >= end) return;
  if (blockStarts && stamps_ && i > 0) StartRow(r, i, true);
  while (i < end) {
    size_t room = r.cells < cols ? static_cast<size_t>(cols - r.cells) / 3 : 0;
    if (room == 0) {
      if (!r.rowEmpty) {
        StartRow(r, i, false);
        continue;
      }
      room = 1;  // a row holds at least one byte, however narrow
    }
    const size_t take = std::min(room, end - i);
    i += take;
    r.cells += static_cast<int>(take * 3);
    r.rowEmpty = false;
  }
  r.scanned = end;
}

uint32_t ReceiveRows::TimeOf(size_t offset) const {
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                             [](size_t o, const Block& b) { return o < b.offset; });
  return it == blocks_.begin() ? 0 : std::prev(it)->msOfDay;
}

size_t ReceiveRows::RowEnd(const Rows& r, qsizetype row) const {
  const size_t size = std::min(known_, store_.size());
  if (row + 1 < static_cast<qsizetype>(r.rows.size())) return std::min<size_t>(r.rows[row + 1] & ~kLineStart, size);
  return size;
}

void ReceiveRows::RenderRow(qsizetype row, QString& out) const {
  const Rows& r = cur();
  const uint32_t entry = r.rows[row];
  const size_t begin = entry & ~kLineStart;
  const size_t end = RowEnd(r, row);
  if (begin >= end) return;
  if (stamps_ && (entry & kLineStart)) out += StampText(TimeOf(begin));
  const uint8_t* p = store_.data();
  if (!hex_) {
    TextDecoder d(enc_);
    d.Decode(p + begin, end - begin, out, /*skipZeros=*/true);
    return;
  }
  const qsizetype at = out.size();
  out.resize(at + static_cast<qsizetype>(end - begin) * 3);
  char16_t* dst = reinterpret_cast<char16_t*>(out.data()) + at;
  for (size_t i = begin; i < end; ++i) {
    *dst++ = kHexDigits[p[i] >> 4];
    *dst++ = kHexDigits[p[i] & 0x0F];
    *dst++ = u' ';
  }
  // Each block ends its line once the next one has begun.
  if (stamps_ && row + 1 < RowCount() && (r.rows[row + 1] & kLineStart)) out += QStringLiteral("\r\n");
}

QString ReceiveRows::Row(qsizetype row) const {
  QString s;
  if (row >= 0 && row < RowCount()) RenderRow(row, s);
  return s;
}

void ReceiveRows::AppendRows(qsizetype first, qsizetype last, QString& out, std::vector<qsizetype>* starts) const {
  first = std::max<qsizetype>(first, 0);
  last = std::min(last, RowCount());
  for (qsizetype r = first; r < last; ++r) {
    if (starts) starts->push_back(out.size());
    RenderRow(r, out);
  }
}

qsizetype ReceiveRows::RowOfByte(size_t offset) const {
  const auto& rows = cur().rows;
  auto it = std::upper_bound(rows.begin(), rows.end(), offset,
                             [](size_t o, uint32_t e) { return o < (e & ~kLineStart); });
  return it == rows.begin() ? 0 : (it - rows.begin()) - 1;
}

size_t ReceiveRows::FirstByteOfRow(qsizetype row) const {
  const auto& rows = cur().rows;
  if (row < 0 || rows.empty()) return 0;
  return rows[std::min<size_t>(static_cast<size_t>(row), rows.size() - 1)] & ~kLineStart;
}

size_t ReceiveRows::MemoryBytes() const {
  return (textRows_.rows.capacity() + hexRows_.rows.capacity()) * sizeof(uint32_t) +
         blocks_.capacity() * sizeof(Block);
}
