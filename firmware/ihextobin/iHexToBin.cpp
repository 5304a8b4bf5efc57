#define IHEXTOBIN_BUILD 1
#include "iHexToBin.h"

#include "firmware/IntelHex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

unsigned DigitValue(char c) {
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned char>(c) & 0x0Fu;
}

// Converts up to `digits` characters; a NUL ends the reading so that a short
// text is never read past its end (the missing digits count as 0).
uint32_t HexDigits(const char* text, int digits) {
  uint32_t value = 0;
  bool ended = false;
  for (int i = 0; i < digits; ++i) {
    char c = ended ? '\0' : text[i];
    if (c == '\0') ended = true;
    value = (value << 4) + DigitValue(c);
  }
  return value;
}

uint32_t hex2byte(const char* text) { return HexDigits(text, 2); }
uint32_t hex2word(const char* text) { return HexDigits(text, 4); }

// Whole file into memory, NUL-terminated. Returns nullptr on any failure.
char* ReadWholeFile(const char* fileName) {
  FILE* f = std::fopen(fileName, "rb");
  if (!f) return nullptr;
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || st.st_size < 0) {
    std::fclose(f);
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  char* text = static_cast<char*>(std::malloc(size + 1));
  if (!text) {
    std::fclose(f);
    return nullptr;
  }
  size_t got = size ? std::fread(text, 1, size, f) : 0;
  std::fclose(f);
  if (got != size) {
    std::free(text);
    return nullptr;
  }
  text[size] = '\0';
  return text;
}

int32_t Decode(const char* text, uint8_t* output) {
  // The text ends at its first NUL, as a C string would.
  const size_t length = std::strlen(text);
  // Blank lines before the first record are harmless, as between records;
  // anything else there (a byte-order mark, a comment) is not a HEX file.
  size_t at = 0;  // index of the current record's ':'
  while (at < length && (text[at] == '\r' || text[at] == '\n' || text[at] == ' ' || text[at] == '\t')) ++at;
  if (at == length || text[at] != ':') return 2;
  for (;;) {
    const size_t left = length - at;
    // Byte count, address and type occupy positions 1..8.
    if (left < 9) return 2;
    const char* rec = text + at;
    if (rec[7] == '0') {
      if (rec[8] == '1') return 1;
      if (rec[8] == '0') {
        const uint32_t count = hex2byte(rec + 1);
        const uint32_t address = hex2word(rec + 3);
        // A record the text cuts short is dropped whole: the file ends
        // inside it, so it cannot be followed by an end-of-file record.
        if (left < 9 + 2 * static_cast<size_t>(count)) return 2;
        for (uint32_t i = 0; i < count; ++i) {
          const uint32_t index = address + i;
          if (index >= IHEXTOBIN_IMAGE_SIZE) break;
          output[index] = static_cast<uint8_t>(hex2byte(rec + 9 + 2 * i));
        }
      }
      // Types 2 and 4 do not move the data: every byte lands at its own
      // record's 16-bit address. Other types are skipped.
    }
    const char* next = std::strchr(rec + 1, ':');
    if (!next) return 2;
    at = static_cast<size_t>(next - text);
  }
}

int32_t CheckCode(const ihex::Result& r) {
  switch (r.fault) {
    case ihex::Fault::None: return IHEXTOBIN_CHECK_OK;
    case ihex::Fault::NotHex: return IHEXTOBIN_CHECK_NOT_INTEL_HEX;
    case ihex::Fault::Syntax: return IHEXTOBIN_CHECK_SYNTAX;
    case ihex::Fault::Checksum: return IHEXTOBIN_CHECK_CHECKSUM;
    case ihex::Fault::UnknownType: return IHEXTOBIN_CHECK_UNKNOWN_TYPE;
    case ihex::Fault::Overlap: return IHEXTOBIN_CHECK_OVERLAP;
    case ihex::Fault::AboveLimit: return IHEXTOBIN_CHECK_ABOVE_64K;
    case ihex::Fault::NoEndRecord: return IHEXTOBIN_CHECK_NO_EOF;
    case ihex::Fault::FileTooLarge: return IHEXTOBIN_CHECK_TOO_LARGE;
  }
  return IHEXTOBIN_CHECK_SYNTAX;
}

ihex::Result ReadChecked(const char* text) {
  return ihex::Read(text, std::strlen(text), IHEXTOBIN_IMAGE_SIZE);
}

}  // namespace

extern "C" {

int32_t CheckHex(const char* fileName, int32_t* line) {
  if (line) *line = 0;
  if (!fileName) return IHEXTOBIN_CHECK_UNREADABLE;
  struct stat st {};
  if (stat(fileName, &st) == 0 && st.st_size > ihex::kMaxFileBytes) return IHEXTOBIN_CHECK_TOO_LARGE;
  char* text = ReadWholeFile(fileName);
  if (!text) return IHEXTOBIN_CHECK_UNREADABLE;
  const ihex::Result r = ReadChecked(text);
  std::free(text);
  if (line) *line = r.line;
  return CheckCode(r);
}

int32_t DecodeHex(const char* fileName, uint8_t* output) {
  if (!fileName || !output) return 0;
  char* text = ReadWholeFile(fileName);
  if (!text) return 0;
  const ihex::Result r = ReadChecked(text);
  int32_t status = 1;
  if (r.Ok())
    r.Place(0, output, IHEXTOBIN_IMAGE_SIZE);
  else
    status = Decode(text, output);
  std::free(text);
  return status;
}

uint32_t HexToByte(const char* text) { return text ? HexDigits(text, 2) : 0; }

uint32_t HexToWord(const char* text) { return text ? HexDigits(text, 4) : 0; }

uint32_t HexToDword(const char* text) {
  uint32_t value = 0;
  if (!text) return 0;
  for (const char* p = text; *p; ++p) value = (value << 4) + DigitValue(*p);
  return value;
}

}  // extern "C"
