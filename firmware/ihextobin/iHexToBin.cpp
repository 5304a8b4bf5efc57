#define IHEXTOBIN_BUILD 1
#include "iHexToBin.h"

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

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// One record line (without its line end): the check result and, for a data
// record, where its bytes would land in full.
int32_t CheckRecord(const char* rec, size_t length, uint32_t& base, bool& eof) {
  // Trailing blanks are tolerated; anything else must be part of the record.
  while (length > 0 && (rec[length - 1] == ' ' || rec[length - 1] == '\t')) --length;
  if (length == 0 || rec[0] != ':') return IHEXTOBIN_CHECK_SYNTAX;
  for (size_t i = 1; i < length; ++i)
    if (!IsHexDigit(rec[i])) return IHEXTOBIN_CHECK_NOT_HEX;
  if (length < 11 || (length - 1) % 2 != 0) return IHEXTOBIN_CHECK_SYNTAX;
  const uint32_t count = hex2byte(rec + 1);
  if (length != 11 + 2 * static_cast<size_t>(count)) return IHEXTOBIN_CHECK_SYNTAX;
  uint32_t sum = 0;
  for (size_t i = 1; i < length; i += 2) sum += hex2byte(rec + i);
  if ((sum & 0xFFu) != 0) return IHEXTOBIN_CHECK_CHECKSUM;

  const uint32_t address = hex2word(rec + 3);
  const uint32_t type = hex2byte(rec + 7);
  switch (type) {
    case 0x00:
      if (count == 0) break;
      if (base + address + count - 1 > 0xFFFFu) return IHEXTOBIN_CHECK_ABOVE_64K;
      // Below 64 KB but moved by a segment base: DecodeHex would put the
      // bytes at the record's own address, not where the file means them.
      if (base != 0) return IHEXTOBIN_CHECK_PLACEMENT;
      break;
    case 0x01:
      eof = true;
      break;
    case 0x02:
      if (count != 2) return IHEXTOBIN_CHECK_SYNTAX;
      base = hex2word(rec + 9) << 4;
      break;
    case 0x04:
      if (count != 2) return IHEXTOBIN_CHECK_SYNTAX;
      base = hex2word(rec + 9) << 16;
      break;
    default:
      break;  // start addresses and unknown types carry no data
  }
  return IHEXTOBIN_CHECK_OK;
}

int32_t Check(const char* text, int32_t* line) {
  const size_t length = std::strlen(text);
  uint32_t base = 0;
  bool eof = false;
  int32_t lineNo = 0;
  size_t at = 0;
  while (at < length) {
    // Lines end with LF, CR LF or a lone CR.
    size_t end = at;
    while (end < length && text[end] != '\n' && text[end] != '\r') ++end;
    ++lineNo;
    // Blank lines between records are harmless.
    bool blank = true;
    for (size_t i = at; i < end && blank; ++i) blank = text[i] == ' ' || text[i] == '\t';
    if (!blank) {
      const int32_t status = CheckRecord(text + at, end - at, base, eof);
      if (status != IHEXTOBIN_CHECK_OK) {
        if (line) *line = lineNo;
        return status;
      }
      if (eof) return IHEXTOBIN_CHECK_OK;
    }
    at = end + 1;
    if (end < length && text[end] == '\r' && at < length && text[at] == '\n') ++at;
  }
  return IHEXTOBIN_CHECK_NO_EOF;
}

}  // namespace

extern "C" {

int32_t CheckHex(const char* fileName, int32_t* line) {
  if (line) *line = 0;
  if (!fileName) return IHEXTOBIN_CHECK_UNREADABLE;
  char* text = ReadWholeFile(fileName);
  if (!text) return IHEXTOBIN_CHECK_UNREADABLE;
  const int32_t status = Check(text, line);
  std::free(text);
  return status;
}

int32_t DecodeHex(const char* fileName, uint8_t* output) {
  if (!fileName || !output) return 0;
  char* text = ReadWholeFile(fileName);
  if (!text) return 0;
  const int32_t status = Decode(text, output);
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
