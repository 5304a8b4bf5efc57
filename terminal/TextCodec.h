// The terminal's two text encodings: GBK (the code page the program has
// always used) and UTF-8 (what most firmware prints today). Received bytes
// arrive in arbitrary pieces, so decoding is a byte-at-a-time state machine:
// a character whose bytes came in two reads shows once its last byte is in.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "platform/Gbk.h"

enum class TextEncoding { Gbk = 0, Utf8 = 1 };

// UTF-8 as a stream. A sequence cut short by a byte that cannot continue it
// shows as one U+FFFD and that byte is decoded afresh; overlong forms,
// surrogates and values above U+10FFFF are refused at their first wrong byte.
class Utf8Decoder {
 public:
  // Same contract as GbkDecoder::Push: 0, 1 or 2 UTF-16 units.
  int Push(uint8_t b, char16_t* out);
  bool HasPending() const { return need_ != 0; }
  void Reset() { need_ = 0; }

 private:
  int need_ = 0;        // continuation bytes still expected
  uint32_t code_ = 0;   // bits gathered so far
  uint8_t low_ = 0x80;  // allowed range of the next continuation byte
  uint8_t high_ = 0xBF;
};

class TextDecoder {
 public:
  TextDecoder() = default;
  explicit TextDecoder(TextEncoding e) : enc_(e) {}
  TextEncoding encoding() const { return enc_; }
  int Push(uint8_t b, char16_t* out) { return enc_ == TextEncoding::Gbk ? gbk_.Push(b, out) : utf8_.Push(b, out); }
  bool HasPending() const { return enc_ == TextEncoding::Gbk ? gbk_.HasPending() : utf8_.HasPending(); }
  void Reset() {
    gbk_.Reset();
    utf8_.Reset();
  }
  // Appends the characters the bytes complete; with `skipZeros` bytes of
  // value 0 are left out first (they do not break a character in two).
  void Decode(const uint8_t* data, size_t size, QString& out, bool skipZeros);

 private:
  TextEncoding enc_ = TextEncoding::Gbk;
  GbkDecoder gbk_;
  Utf8Decoder utf8_;
};

QByteArray EncodeText(const QString& text, TextEncoding e);
// A whole file's text: UTF-8 when chosen; with GBK chosen, UTF-8 still wins
// when the bytes are valid UTF-8 (as loading always did), else GBK.
QString DecodeFileText(const QByteArray& bytes, TextEncoding e);

// Display width in cells of a monospaced font: East Asian wide characters take
// two, the low half of a surrogate pair none (its high half counts two).
inline int CellWidth(char16_t c) {
  if (c < 0x1100) return 1;
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0xD800 && c <= 0xDBFF))
    return 2;
  if (c >= 0xDC00 && c <= 0xDFFF) return 0;
  return 1;
}
