#include "firmware/IntelHex.h"

#include <algorithm>
#include <cstring>

namespace ihex {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

Result Read(const char* text, size_t size, uint64_t addressLimit) {
  Result r;
  auto fail = [&r](Fault f, int line) {
    r.fault = f;
    r.line = line;
    r.records.clear();
    r.bytes.clear();
    r.segments.clear();
    r.dataBytes = 0;
    return r;
  };
  uint64_t segmentBase = 0;  // type 02
  uint64_t linearBase = 0;   // type 04
  bool segmentMode = false;
  bool endRecord = false;
  bool anyRecord = false;
  int lineNo = 0;
  size_t pos = 0;
  while (pos < size) {
    // Lines end at LF, CR LF or a lone CR.
    size_t end = pos;
    while (end < size && text[end] != '\n' && text[end] != '\r') ++end;
    size_t next = end;
    if (next < size) next += (text[next] == '\r' && next + 1 < size && text[next + 1] == '\n') ? 2 : 1;
    ++lineNo;
    size_t b = pos, e = end;
    pos = next;
    while (b < e && IsBlank(text[b])) ++b;
    while (e > b && IsBlank(text[e - 1])) --e;
    if (b == e) continue;  // blank lines are harmless anywhere

    const char* line = text + b;
    const size_t len = e - b;
    if (line[0] != ':') {
      // A first line that is no record at all: some other kind of file.
      return fail(anyRecord ? Fault::Syntax : Fault::NotHex, lineNo);
    }
    for (size_t i = 1; i < len; ++i)
      if (HexDigit(line[i]) < 0) return fail(Fault::Syntax, lineNo);
    if (len < 11 || (len - 1) % 2 != 0) return fail(Fault::Syntax, lineNo);
    uint8_t bytes[4 + 255 + 1];
    const size_t total = (len - 1) / 2;
    if (total > sizeof bytes) return fail(Fault::Syntax, lineNo);
    uint8_t sum = 0;
    for (size_t i = 0; i < total; ++i) {
      const int hi = HexDigit(line[1 + 2 * i]), lo = HexDigit(line[2 + 2 * i]);
      bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
      sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    const uint32_t count = bytes[0];
    if (total != count + 5) return fail(Fault::Syntax, lineNo);
    anyRecord = true;
    if (sum != 0) return fail(Fault::Checksum, lineNo);

    const uint32_t offset = uint32_t{bytes[1]} << 8 | bytes[2];
    const uint8_t type = bytes[3];
    const uint8_t* payload = bytes + 4;
    auto add = [&](uint64_t address, const uint8_t* data, uint32_t n) {
      if (address + n > addressLimit) return false;
      r.records.push_back({address, static_cast<uint32_t>(r.bytes.size()), n, lineNo});
      r.bytes.insert(r.bytes.end(), data, data + n);
      r.dataBytes += n;
      return true;
    };
    switch (type) {
      case 0x00: {
        if (count == 0) break;
        bool inside;
        if (segmentMode && offset + count > 0x10000) {
          // A record that runs past the end of its segment wraps to offset 0.
          const uint32_t first = 0x10000 - offset;
          inside = add(segmentBase + offset, payload, first) && add(segmentBase, payload + first, count - first);
        } else {
          inside = add((segmentMode ? segmentBase : linearBase) + offset, payload, count);
        }
        if (!inside) return fail(Fault::AboveLimit, lineNo);
        break;
      }
      case 0x01:
        if (count != 0) return fail(Fault::Syntax, lineNo);
        endRecord = true;
        break;
      case 0x02:
        if (count != 2) return fail(Fault::Syntax, lineNo);
        segmentBase = (uint64_t{payload[0]} << 8 | payload[1]) << 4;
        segmentMode = true;
        break;
      case 0x04:
        if (count != 2) return fail(Fault::Syntax, lineNo);
        linearBase = (uint64_t{payload[0]} << 8 | payload[1]) << 16;
        segmentMode = false;
        break;
      case 0x03:
      case 0x05:
        if (count != 4) return fail(Fault::Syntax, lineNo);
        break;  // start addresses: nothing to place
      default: {
        Result bad = fail(Fault::UnknownType, lineNo);
        bad.type = type;
        return bad;
      }
    }
  }
  if (!endRecord) return fail(Fault::NoEndRecord, 0);

  // Overlaps: in address order, a record that starts before the furthest end
  // so far covers earlier bytes. The later of the two lines is named, the
  // lowest such line of all.
  std::vector<const Record*> order;
  order.reserve(r.records.size());
  for (const Record& rec : r.records) order.push_back(&rec);
  std::stable_sort(order.begin(), order.end(),
                   [](const Record* a, const Record* b) { return a->address < b->address; });
  int overlapLine = 0;
  const Record* furthest = nullptr;
  for (const Record* rec : order) {
    if (furthest && rec->address < furthest->address + furthest->length) {
      const int line = std::max(rec->line, furthest->line);
      if (overlapLine == 0 || line < overlapLine) overlapLine = line;
    }
    if (!furthest || rec->address + rec->length > furthest->address + furthest->length) furthest = rec;
  }
  if (overlapLine) return fail(Fault::Overlap, overlapLine);

  for (const Record* rec : order) {
    if (!r.segments.empty() && rec->address <= r.segments.back().address + r.segments.back().length) {
      Segment& last = r.segments.back();
      last.length = std::max(last.length, rec->address + rec->length - last.address);
    } else {
      r.segments.push_back({rec->address, rec->length});
    }
  }
  return r;
}

void Result::Place(uint64_t base, uint8_t* out, size_t size) const {
  for (const Record& rec : records) {
    if (rec.address + rec.length <= base || rec.address >= base + size) continue;
    const uint64_t from = std::max(rec.address, base);
    const uint64_t to = std::min<uint64_t>(rec.address + rec.length, base + size);
    std::memcpy(out + (from - base), bytes.data() + rec.offset + (from - rec.address), static_cast<size_t>(to - from));
  }
}

std::vector<uint8_t> Result::Image(uint64_t base, uint64_t length, uint8_t fill) const {
  std::vector<uint8_t> image(static_cast<size_t>(length), fill);
  Place(base, image.data(), image.size());
  return image;
}

}  // namespace ihex
