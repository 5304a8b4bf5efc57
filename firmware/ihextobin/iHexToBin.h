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
// the text does not start with ':' or ends without an end-of-file record.
IHEXTOBIN_API int32_t DecodeHex(const char* fileName, uint8_t* output);

// Hex text to numbers: two, four, or all characters up to the NUL.
// "A".."F"/"a".."f" are 10..15; any other character gives the low four bits
// of its code. Reading stops at a NUL (counted as 0) and never goes past it.
IHEXTOBIN_API uint32_t HexToByte(const char* text);
IHEXTOBIN_API uint32_t HexToWord(const char* text);
IHEXTOBIN_API uint32_t HexToDword(const char* text);

typedef int32_t (*DecodeHexFn)(const char* fileName, uint8_t* output);

#ifdef __cplusplus
}
#endif
