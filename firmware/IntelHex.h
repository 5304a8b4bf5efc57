// The one Intel HEX reader of the program. The STM32 loader, the LPC image
// builder and the converter library (and through it the STC programmer) all
// read HEX text here, so a file is accepted or refused the same way whatever
// family it is meant for.
//
// The rules are strict on purpose: a programmer that skips a line it cannot
// read flashes a wrong image and then verifies it against the same wrong
// image. Every non-blank line must be a whole record with a good checksum;
// record types other than 00..05, data overlapping earlier data and data at
// or above the caller's limit refuse the file, naming the line. Records
// after the end-of-file record still count, as the loaders always read on.
//
// No Qt here: the converter library is a plain C shared library and links
// this file in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ihex {

// A HEX text is a little over twice its data; no firmware for any part we
// program comes close to this, and a larger file is refused unread.
inline constexpr int64_t kMaxFileBytes = 32ll * 1024 * 1024;

enum class Fault {
  None,
  NotHex,       // the text is not Intel HEX at all (its first line is no record)
  Syntax,       // a line that is not a whole record (line)
  Checksum,     // a record whose checksum does not match (line)
  UnknownType,  // a record type other than 00..05 (line, type)
  Overlap,      // data over bytes an earlier record already gave (line)
  AboveLimit,   // data at or above the caller's address limit (line)
  NoEndRecord,  // cut short: no end-of-file record
  FileTooLarge, // larger than kMaxFileBytes (reported by the file readers)
};

struct Record {
  uint64_t address;
  uint32_t offset;  // into Result::bytes
  uint32_t length;
  int line;
};

struct Segment {
  uint64_t address;
  uint64_t length;
};

struct Result {
  Fault fault = Fault::None;
  int line = 0;          // 1-based line of a fault in a record
  int type = 0;          // UnknownType: the record type
  std::vector<Record> records;   // data records in file order
  std::vector<uint8_t> bytes;    // their data, back to back
  std::vector<Segment> segments; // absolute, sorted, touching ones merged
  uint64_t dataBytes = 0;

  bool Ok() const { return fault == Fault::None; }
  bool Empty() const { return segments.empty(); }
  uint64_t Lowest() const { return segments.empty() ? 0 : segments.front().address; }
  uint64_t End() const { return segments.empty() ? 0 : segments.back().address + segments.back().length; }

  // The bytes from `base` to `base + length`, gaps and data outside given as `fill`.
  std::vector<uint8_t> Image(uint64_t base, uint64_t length, uint8_t fill) const;
  // Copies the data into out[address - base] for addresses inside [base, base + size).
  void Place(uint64_t base, uint8_t* out, size_t size) const;
};

// Reads HEX text. Data must lie below `addressLimit` (exclusive).
Result Read(const char* text, size_t size, uint64_t addressLimit = uint64_t{1} << 32);

}  // namespace ihex
