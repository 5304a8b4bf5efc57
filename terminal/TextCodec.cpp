#include "terminal/TextCodec.h"

#include <QStringDecoder>

namespace {
constexpr char16_t kReplacement = 0xFFFD;
}

int Utf8Decoder::Push(uint8_t b, char16_t* out) {
  int n = 0;
  if (need_ != 0) {
    if (b >= low_ && b <= high_) {
      code_ = (code_ << 6) | (b & 0x3F);
      low_ = 0x80;
      high_ = 0xBF;
      if (--need_ != 0) return 0;
      if (code_ >= 0x10000) {
        const uint32_t v = code_ - 0x10000;
        out[0] = static_cast<char16_t>(0xD800 + (v >> 10));
        out[1] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        return 2;
      }
      out[0] = static_cast<char16_t>(code_);
      return 1;
    }
    // The sequence ends early: it shows as one replacement, b starts afresh.
    need_ = 0;
    out[n++] = kReplacement;
  }
  if (b < 0x80) {
    out[n++] = b;
    return n;
  }
  low_ = 0x80;
  high_ = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need_ = 1;
    code_ = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need_ = 2;
    code_ = b & 0x0F;
    if (b == 0xE0) low_ = 0xA0;   // no overlong forms
    if (b == 0xED) high_ = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    need_ = 3;
    code_ = b & 0x07;
    if (b == 0xF0) low_ = 0x90;
    if (b == 0xF4) high_ = 0x8F;  // nothing above U+10FFFF
  } else {
    out[n++] = kReplacement;
  }
  return n;
}

void TextDecoder::Decode(const uint8_t* data, size_t size, QString& out, bool skipZeros) {
  if (enc_ == TextEncoding::Gbk) {
    gbk_.Decode(data, size, out, skipZeros);
    return;
  }
  const qsizetype start = out.size();
  out.resize(start + static_cast<qsizetype>(size) + 1);  // at most one unit a byte, plus a replacement
  char16_t* dst = reinterpret_cast<char16_t*>(out.data()) + start;
  char16_t* const begin = dst;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && skipZeros) continue;
    dst += utf8_.Push(data[i], dst);
  }
  out.resize(start + (dst - begin));
}

QByteArray EncodeText(const QString& text, TextEncoding e) {
  return e == TextEncoding::Utf8 ? text.toUtf8() : EncodeGbk(text);
}

QString DecodeFileText(const QByteArray& bytes, TextEncoding e) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8.decode(bytes);
  if (e == TextEncoding::Utf8 || !utf8.hasError()) return text;
  return GbkDecoder().Feed(bytes);
}
