// The receive store as the rows of the output area, in text or hexadecimal
// display, with or without arrival times. Only row starts are kept (byte
// offsets into the store); a row's text is rendered when it is asked for, so
// what is shown costs the rows on screen, not the size of the history.
//
// Both displays are laid out as the bytes arrive, so switching between them
// needs no pass over the history. Text rows break after a line feed and
// where the next character would pass the last column, always on a
// character boundary, so each row decodes on its own. Arrival times are kept
// per received block: a text line shows the time of its first byte, and in
// hexadecimal each block starts a line of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "terminal/RowSource.h"
#include "terminal/TextCodec.h"

class ReceiveRows : public RowSource {
 public:
  explicit ReceiveRows(const std::vector<uint8_t>& store);

  bool Hex() const { return hex_; }
  void SetHex(bool hex) { hex_ = hex; }
  bool Timestamps() const { return stamps_; }
  void SetTimestamps(bool on);
  TextEncoding Encoding() const { return enc_; }
  void SetEncoding(TextEncoding e);

  // Bytes were appended to the store, received at `msOfDay` (local time).
  void Appended(uint32_t msOfDay);
  // The store was emptied.
  void Cleared();

  // The row that shows the byte at `offset` in the current display, and the
  // first byte of a row: they keep a view in place across a switch.
  qsizetype RowOfByte(size_t offset) const;
  size_t FirstByteOfRow(qsizetype row) const;
  int Columns() const { return cols_; }

  // A new width over a large store is laid out a slice at a time while the
  // rows of the old width go on being shown (and growing): a resize never
  // holds the window up for a pass over the whole history.
  bool LayoutPending() const override { return pending_; }
  bool ContinueLayout(size_t maxBytes) override;
  // Bytes of bookkeeping held besides the store.
  size_t MemoryBytes() const;

  void Layout(int cols) override;
  qsizetype RowCount() const override { return static_cast<qsizetype>(cur().rows.size()); }
  QString Row(qsizetype row) const override;
  void AppendRows(qsizetype first, qsizetype last, QString& out, std::vector<qsizetype>* starts) const override;

 private:
  static constexpr uint32_t kLineStart = 0x80000000u;  // row flag: a line (or block) begins here
  struct Rows {
    std::vector<uint32_t> rows{kLineStart};  // first byte of each row, | kLineStart
    size_t scanned = 0;                      // bytes laid out
    int cells = 0;                           // cells used by the last row
    bool rowEmpty = true;                    // the last row has no character yet
    size_t charStart = 0;                    // first byte of the character being decoded
    TextDecoder decoder;
  };
  struct Block {
    uint32_t offset;
    uint32_t msOfDay;
  };

  const Rows& cur() const { return hex_ ? hexRows_ : textRows_; }
  void Relayout(bool text, bool hex);
  void FinishPending();
  Rows FreshRows(bool text) const;
  void ExtendText(Rows& r, int cols, size_t end);
  void ExtendHex(Rows& r, int cols, size_t end, bool blockStarts);
  void StartRow(Rows& r, size_t at, bool line);
  uint32_t TimeOf(size_t offset) const;
  size_t RowEnd(const Rows& r, qsizetype row) const;
  void RenderRow(qsizetype row, QString& out) const;

  const std::vector<uint8_t>& store_;
  bool hex_ = false;
  bool stamps_ = false;
  TextEncoding enc_ = TextEncoding::Gbk;
  int cols_ = 80;
  size_t known_ = 0;  // store size at the last Appended
  std::vector<Block> blocks_;
  Rows textRows_;
  Rows hexRows_;
  // The layout for a new width, while it is being built.
  bool pending_ = false;
  int pendingCols_ = 0;
  Rows pendingText_;
  Rows pendingHex_;
  size_t pendingBlock_ = 0;  // next block the hexadecimal layout takes
};
