// Any bytes as a HEX file: the reader either refuses them with a line, or
// gives records and segments that agree with each other; the image and
// placement helpers stay inside their buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "firmware/IntelHex.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks a limit, so data above it is exercised as well.
  const uint64_t limit = size > 0 && (data[0] & 1) ? 0x10000 : uint64_t{1} << 32;
  const ihex::Result r = ihex::Read(reinterpret_cast<const char*>(data), size, limit);
  if (!r.Ok()) {
    Check(r.records.empty() && r.bytes.empty() && r.segments.empty() && r.dataBytes == 0);
    return 0;
  }
  uint64_t total = 0;
  for (const ihex::Record& rec : r.records) {
    Check(uint64_t{rec.offset} + rec.length <= r.bytes.size());
    Check(rec.address + rec.length <= limit);
    total += rec.length;
  }
  Check(total == r.dataBytes && total == r.bytes.size());
  uint64_t segmentBytes = 0;
  for (size_t i = 0; i < r.segments.size(); ++i) {
    Check(r.segments[i].length > 0);
    if (i) Check(r.segments[i - 1].address + r.segments[i - 1].length < r.segments[i].address);
    segmentBytes += r.segments[i].length;
  }
  Check(segmentBytes == r.dataBytes);  // no byte is given twice
  if (!r.Empty()) {
    const uint64_t span = r.End() - r.Lowest();
    const uint64_t length = span < 4096 ? span : 4096;
    const std::vector<uint8_t> image = r.Image(r.Lowest(), length, 0xFF);
    Check(image.size() == length);
    std::vector<uint8_t> out(256, 0);
    r.Place(r.Lowest() + 8, out.data(), out.size());
  }
  return 0;
}
