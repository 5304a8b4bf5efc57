// Interface of the hex-to-binary converter library (libiHexToBin.so).
// Plain C functions, no state, no messages, no exceptions across the border.
#pragma once

#include <stdint.h>

#if defined(IHEXTOBIN_BUILD)
#define IHEXTOBIN_API __attribute__((visibility("default")))
#else
#define IHEXTOBIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Size of the buffer DecodeHex writes into: one byte per 16-bit address.
enum { IHEXTOBIN_IMAGE_SIZE = 65536 };

// Reads an Intel HEX file and stores every data byte at the index of its
// address. A file the HEX reader accepts (see CheckHex) is placed by it, at
// full addresses; any other text is scanned leniently, each byte at its
// record's 16-bit address, up to the end-of-file record. The buffer must hold IHEXTOBIN_IMAGE_SIZE bytes; bytes at
// or beyond that index are dropped. Returns 0 when the file could not be
// read (nothing stored), 1 when an end-of-file record was reached, 2 when
// the text does not start with ':' (blank lines before it are passed over)
// or ends without an end-of-file record.
IHEXTOBIN_API int32_t DecodeHex(const char* fileName, uint8_t* output);

// Hex text to numbers: two, four, or all characters up to the NUL.
// "A".."F"/"a".."f" are 10..15; any other character gives the low four bits
// of its code. Reading stops at a NUL (counted as 0) and never goes past it.
IHEXTOBIN_API uint32_t HexToByte(const char* text);
IHEXTOBIN_API uint32_t HexToWord(const char* text);
IHEXTOBIN_API uint32_t HexToDword(const char* text);

// Checks a HEX file before anything is flashed from it, by the program's
// one HEX reader: every non-blank line a whole record with a good checksum,
// record types 00..05 only, no data over earlier data, all data below 64 KB
// (segment and linear bases applied). Returns one of the IHEXTOBIN_CHECK_
// values; for a fault in a record, *line (when given) receives the record's
// 1-based line number, else 0. A file CheckHex accepts is decoded by that
// reader too, its bytes placed at their full addresses.
enum {
  IHEXTOBIN_CHECK_UNREADABLE = 0,  // the file could not be read
  IHEXTOBIN_CHECK_OK = 1,
  IHEXTOBIN_CHECK_NO_EOF = 2,      // no end-of-file record: incomplete
  IHEXTOBIN_CHECK_SYNTAX = 3,      // a line that is not a whole record
  IHEXTOBIN_CHECK_NOT_HEX = 4,     // no longer returned: a bad digit is SYNTAX
  IHEXTOBIN_CHECK_CHECKSUM = 5,    // record checksum does not match
  IHEXTOBIN_CHECK_ABOVE_64K = 6,   // data at or above address 0x10000
  IHEXTOBIN_CHECK_PLACEMENT = 7,   // no longer returned: bases are applied
  IHEXTOBIN_CHECK_NOT_INTEL_HEX = 8,  // not Intel HEX at all
  IHEXTOBIN_CHECK_UNKNOWN_TYPE = 9,   // record type above 05
  IHEXTOBIN_CHECK_OVERLAP = 10,       // data over bytes given before
  IHEXTOBIN_CHECK_TOO_LARGE = 11,     // the file is too large to be firmware
};
IHEXTOBIN_API int32_t CheckHex(const char* fileName, int32_t* line);

typedef int32_t (*DecodeHexFn)(const char* fileName, uint8_t* output);
typedef int32_t (*CheckHexFn)(const char* fileName, int32_t* line);

#ifdef __cplusplus
}
#endif
