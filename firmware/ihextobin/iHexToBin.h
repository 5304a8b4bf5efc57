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
// 16-bit address. The buffer must hold IHEXTOBIN_IMAGE_SIZE bytes; bytes at
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

// Checks a HEX file before anything is flashed from it. DecodeHex forgives
// what a programmer must not: a cut-off file, a mistyped digit, a record
// whose checksum does not match, data it cannot place below 64 KB. Returns
// one of the IHEXTOBIN_CHECK_ values; for a fault in a record, *line (when
// given) receives the record's 1-based line number, else 0. Only the part
// up to the end-of-file record is looked at, as DecodeHex does.
enum {
  IHEXTOBIN_CHECK_UNREADABLE = 0,  // the file could not be read
  IHEXTOBIN_CHECK_OK = 1,
  IHEXTOBIN_CHECK_NO_EOF = 2,      // no end-of-file record: incomplete
  IHEXTOBIN_CHECK_SYNTAX = 3,      // not ':', too short, length not as counted
  IHEXTOBIN_CHECK_NOT_HEX = 4,     // a character that is not a hex digit
  IHEXTOBIN_CHECK_CHECKSUM = 5,    // record checksum does not match
  IHEXTOBIN_CHECK_ABOVE_64K = 6,   // data at or above address 0x10000
  IHEXTOBIN_CHECK_PLACEMENT = 7,   // segment base DecodeHex would not apply
};
IHEXTOBIN_API int32_t CheckHex(const char* fileName, int32_t* line);

typedef int32_t (*DecodeHexFn)(const char* fileName, uint8_t* output);
typedef int32_t (*CheckHexFn)(const char* fileName, int32_t* line);

#ifdef __cplusplus
}
#endif
