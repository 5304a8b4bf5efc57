// Renderings of a whole receive store, or of its blocks one after another:
// text (GBK, bytes of value 0 left out) and hexadecimal ("41 00 42 "). The
// receive area itself renders only the rows on screen (ReceiveRows); these
// are the plain renderings it must agree with, kept for checking it. The
// text rendering carries an unfinished double-byte character over to the
// next block.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

#include "platform/Gbk.h"

class ReceiveRenderer {
 public:
  // Text of the bytes received since the last call (or RebuildText / Reset).
  // A lead byte at the end waits for its trail byte; the character shows with
  // the block that completes it. Appending each result to the text of the
  // previous RebuildText gives exactly RebuildText of the whole store.
  QString RenderTextIncrement(const uint8_t* data, size_t size);

  // Text of the whole store; also sets the carried state so that following
  // increments continue from its end. Call it whenever the shown text is
  // rebuilt (switch to text display, after a page text, after a clear), since
  // increments are not tracked while hexadecimal is shown.
  QString RebuildText(const uint8_t* data, size_t size);

  // Forgets the carried byte (the store was cleared).
  void Reset() { decoder_.Reset(); }

  // Two upper-case hexadecimal digits and a space per byte: 41 00 42 -> "41 00 42 ".
  // Stateless, so the rendering of a block is also its increment.
  static QString RenderHex(const uint8_t* data, size_t size);

 private:
  GbkDecoder decoder_;
};

// Text rendering of a whole store from scratch (what RebuildText returns).
QString RenderWholeText(const uint8_t* data, size_t size);
