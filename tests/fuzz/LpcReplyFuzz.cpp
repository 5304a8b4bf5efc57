// Any bytes as an LPC boot loader's lines: the readers of return codes,
// of the synchronisation reply and of uuencoded data stay inside the line
// and never give more bytes than the line announces.
#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "isp/lpc/LpcReplies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  (void)LpcSyncReplyArriving(text);
  for (const QByteArray& line : text.split('\n')) {
    const int code = LpcReturnCode(line);
    if (code < -1 || code > 999) std::abort();
    // Never more bytes than the line's length character announces.
    const size_t announced = line.isEmpty() ? 0 : static_cast<size_t>((line[0] - 32) & 63);
    if (LpcUudecode(line).size() > announced) std::abort();
  }
  return 0;
}
