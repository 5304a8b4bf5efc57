// GBK (code page 936) conversion for the terminal: text typed into the send
// area goes out as GBK bytes, received bytes are shown decoded from GBK.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

// Encodes text as GBK. A character GBK cannot hold becomes '?', so the byte
// count stays predictable and nothing is silently dropped.
QByteArray EncodeGbk(const QString& text);

// Streaming GBK decoder. Bytes may arrive in any split: a lead byte at the
// end of one feed waits for its trail byte in the next feed, so the result of
// feeding a byte sequence in pieces is the same as feeding it whole.
//
// Malformed input never vanishes and never stalls the decoder:
//  - a byte that is neither a character nor a lead byte (0xFF) shows as U+FFFD;
//  - a lead byte followed by a byte in the trail range that names no character
//    shows as one U+FFFD for the pair;
//  - a lead byte followed by a byte outside the trail range shows as U+FFFD and
//    the following byte is decoded afresh.
class GbkDecoder {
 public:
  // Decodes `size` bytes and appends the complete characters to `out`.
  // With `skipZeros`, bytes of value 0 are left out before decoding (a 0
  // between a lead byte and its trail byte does not break the pair).
  void Decode(const uint8_t* data, size_t size, QString& out, bool skipZeros = false);

  // Convenience form: returns the complete characters of this feed.
  QString Feed(const QByteArray& bytes);

  // Decodes one byte (not 0-skipping) and writes the characters it completes
  // to `out`: none while a lead byte waits, one, or two when a waiting lead
  // byte had no trail (U+FFFD, then the byte decoded afresh). Gives exactly
  // what Decode gives for the same bytes.
  int Push(uint8_t b, char16_t* out);

  // True while a lead byte waits for its trail byte.
  bool HasPending() const { return pending_ != 0; }

  // Forgets a waiting lead byte.
  void Reset() { pending_ = 0; }

 private:
  uint8_t pending_ = 0;  // waiting lead byte, 0 when none
};
