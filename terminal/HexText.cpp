#include "terminal/HexText.h"

#include <algorithm>

namespace {

// Value of a hexadecimal digit, or -1.
inline int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

std::vector<uint8_t> HexDigitsToBytes(const QString& text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(text.size() / 2));
  const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
  const char16_t* const end = p + text.size();
  int high = -1;  // first digit of a pair waiting for its second
  for (; p != end; ++p) {
    const int v = HexValue(*p);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return bytes;
}

std::vector<std::span<const uint8_t>> SplitIntoPieces(std::span<const uint8_t> bytes,
                                                      size_t maxPiece) {
  std::vector<std::span<const uint8_t>> pieces;
  if (maxPiece == 0) maxPiece = 1;  // a zero size would never finish
  for (size_t pos = 0; pos < bytes.size(); pos += maxPiece)
    pieces.push_back(bytes.subspan(pos, std::min(maxPiece, bytes.size() - pos)));
  return pieces;
}
