#include "platform/Gbk.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <vector>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Byte classes for the bytes 0x80..0xFF on their own.
constexpr uint8_t kSingleChar = 0;  // a character of its own (0x80 is the euro sign)
constexpr uint8_t kLead = 1;        // first byte of a double-byte character
constexpr uint8_t kInvalid = 2;     // never valid

bool InTrailRange(uint8_t b) { return b >= 0x40 && b != 0x7F && b != 0xFF; }

// Decoding tables, built once from the C library's GBK converter so that the
// hot loop does a table look-up per byte instead of a converter call.
struct GbkTables {
  std::array<uint8_t, 128> highClass{};  // class of byte 0x80 + i
  std::array<char16_t, 128> highChar{};  // character when kSingleChar
  // pair[(lead - 0x80) * 256 + trail]: the character, U+FFFD for an
  // unassigned pair, 0 when `trail` cannot follow a lead byte.
  std::vector<char16_t> pair = std::vector<char16_t>(128 * 256, 0);

  GbkTables() {
    iconv_t cd = iconv_open("UTF-16LE", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      // No converter on this system: show every non-ASCII byte as U+FFFD.
      highClass.fill(kInvalid);
      return;
    }
    for (int i = 0; i < 128; ++i) {
      const uint8_t b = static_cast<uint8_t>(0x80 + i);
      char16_t c = 0;
      const int r = Convert(cd, &b, 1, &c);
      if (r == 1) {
        highClass[i] = kSingleChar;
        highChar[i] = c;
      } else if (r == 0) {
        highClass[i] = kLead;
      } else {
        highClass[i] = kInvalid;
      }
    }
    for (int i = 0; i < 128; ++i) {
      if (highClass[i] != kLead) continue;
      for (int t = 0; t < 256; ++t) {
        const uint8_t in[2] = {static_cast<uint8_t>(0x80 + i), static_cast<uint8_t>(t)};
        char16_t c = 0;
        char16_t& slot = pair[static_cast<size_t>(i) * 256 + t];
        if (InTrailRange(in[1]) && Convert(cd, in, 2, &c) == 1 && c != 0)
          slot = c;
        else if (InTrailRange(in[1]))
          slot = kReplacement;
        else
          slot = 0;
      }
    }
    iconv_close(cd);
  }

  // Converts `n` bytes that must form exactly one BMP character.
  // Returns 1 on success, 0 when the input is an incomplete character,
  // -1 when it is invalid.
  static int Convert(iconv_t cd, const uint8_t* bytes, size_t n, char16_t* outChar) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char inBuf[2] = {};
    for (size_t k = 0; k < n; ++k) inBuf[k] = static_cast<char>(bytes[k]);
    char outBuf[8] = {};
    char* inPtr = inBuf;
    char* outPtr = outBuf;
    size_t inLeft = n;
    size_t outLeft = sizeof outBuf;
    const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    if (r == static_cast<size_t>(-1)) return errno == EINVAL ? 0 : -1;
    if (inLeft != 0 || sizeof outBuf - outLeft != 2) return -1;  // not exactly one UTF-16 unit
    *outChar = static_cast<char16_t>(static_cast<uint8_t>(outBuf[0]) |
                                     (static_cast<uint8_t>(outBuf[1]) << 8));
    return 1;
  }
};

const GbkTables& Tables() {
  static const GbkTables tables;
  return tables;
}

}  // namespace

void GbkDecoder::Decode(const uint8_t* data, size_t size, QString& out, bool skipZeros) {
  if (size == 0) return;
  const GbkTables& t = Tables();
  // Each byte yields at most one character, plus one U+FFFD for a waiting
  // lead byte that turns out to have no trail: size + 1 bounds the output.
  const qsizetype start = out.size();
  out.resize(start + static_cast<qsizetype>(size) + 1);
  char16_t* dst = reinterpret_cast<char16_t*>(out.data()) + start;
  char16_t* const begin = dst;
  uint8_t pending = pending_;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = data[i];
    if (b == 0 && skipZeros) continue;
    if (pending != 0) {
      const char16_t c = t.pair[static_cast<size_t>(pending - 0x80) * 256 + b];
      pending = 0;
      if (c != 0) {
        *dst++ = c;
        continue;
      }
      *dst++ = kReplacement;  // the lead byte had no trail; decode b afresh
    }
    if (b < 0x80) {
      *dst++ = b;
      continue;
    }
    switch (t.highClass[b - 0x80]) {
      case kLead:
        pending = b;
        break;
      case kSingleChar:
        *dst++ = t.highChar[b - 0x80];
        break;
      default:
        *dst++ = kReplacement;
        break;
    }
  }
  pending_ = pending;
  out.resize(start + (dst - begin));
}

int GbkDecoder::Push(uint8_t b, char16_t* out) {
  const GbkTables& t = Tables();
  int n = 0;
  if (pending_ != 0) {
    const char16_t c = t.pair[static_cast<size_t>(pending_ - 0x80) * 256 + b];
    pending_ = 0;
    if (c != 0) {
      out[0] = c;
      return 1;
    }
    out[n++] = kReplacement;
  }
  if (b < 0x80) {
    out[n++] = b;
    return n;
  }
  switch (t.highClass[b - 0x80]) {
    case kLead:
      pending_ = b;
      break;
    case kSingleChar:
      out[n++] = t.highChar[b - 0x80];
      break;
    default:
      out[n++] = kReplacement;
      break;
  }
  return n;
}

QString GbkDecoder::Feed(const QByteArray& bytes) {
  QString out;
  Decode(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()),
         out);
  return out;
}

QByteArray EncodeGbk(const QString& text) {
  QByteArray out;
  out.reserve(text.size() * 2);
  const char16_t* units = reinterpret_cast<const char16_t*>(text.utf16());
  const qsizetype n = text.size();
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  bool triedOpen = false;
  qsizetype i = 0;
  while (i < n) {
    if (units[i] < 0x80) {
      out.append(static_cast<char>(units[i]));
      ++i;
      continue;
    }
    // A run of non-ASCII units goes through the converter in one call.
    qsizetype runEnd = i;
    while (runEnd < n && units[runEnd] >= 0x80) ++runEnd;
    if (!triedOpen) {
      cd = iconv_open("GBK", "UTF-16LE");
      triedOpen = true;
    }
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      for (; i < runEnd; ++i) {
        const bool pairOfSurrogates = QChar::isHighSurrogate(units[i]) && i + 1 < runEnd &&
                                      QChar::isLowSurrogate(units[i + 1]);
        out.append('?');
        if (pairOfSurrogates) ++i;
      }
      continue;
    }
    // UTF-16LE input: build the little-endian bytes of the run.
    std::vector<char> in;
    in.reserve(static_cast<size_t>(runEnd - i) * 2);
    for (qsizetype k = i; k < runEnd; ++k) {
      in.push_back(static_cast<char>(units[k] & 0xFF));
      in.push_back(static_cast<char>(units[k] >> 8));
    }
    std::vector<char> buf(in.size() * 2 + 8);  // GBK needs at most 2 bytes per unit
    char* inPtr = in.data();
    size_t inLeft = in.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (inLeft > 0) {
      char* outPtr = buf.data();
      size_t outLeft = buf.size();
      const size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
      out.append(buf.data(), static_cast<qsizetype>(buf.size() - outLeft));
      if (r != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) continue;
      // Not representable (or a lone surrogate): one '?' per character.
      const size_t consumed = in.size() - inLeft;
      const qsizetype unit = i + static_cast<qsizetype>(consumed / 2);
      size_t skip = 2;
      if (QChar::isHighSurrogate(units[unit]) && unit + 1 < runEnd &&
          QChar::isLowSurrogate(units[unit + 1]))
        skip = 4;
      if (skip > inLeft) skip = inLeft;
      out.append('?');
      inPtr += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    i = runEnd;
  }
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  return out;
}
