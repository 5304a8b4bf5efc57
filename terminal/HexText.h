// Hexadecimal send text: the digits typed into the send area become bytes.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// One hexadecimal send carries at most this many bytes (100002 digits).
inline constexpr size_t kHexSendPieceMax = 50001;

// Keeps only 0-9, a-f, A-F in order (blanks, commas, line breaks, the x of a
// 0x prefix and double-byte characters are dropped), pairs the digits from the
// start, high nibble first, and drops a last unpaired digit.
// "0x41,0x42" -> 04 10 42; "1A2B3" -> 1A 2B; "1 2 3" -> 12.
std::vector<uint8_t> HexDigitsToBytes(const QString& text);

// Splits bytes into consecutive pieces of at most `maxPiece` bytes (the last
// piece may be shorter). No bytes give no pieces. The pieces view `bytes`.
std::vector<std::span<const uint8_t>> SplitIntoPieces(std::span<const uint8_t> bytes,
                                                      size_t maxPiece = kHexSendPieceMax);
