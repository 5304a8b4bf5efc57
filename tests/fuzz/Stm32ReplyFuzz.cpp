// Any bytes as what an STM32 boot loader sent back to a step: the reply
// reader never points past what arrived, takes a reply only when all of it
// is there, and a taken reply starts with the ACK or NACK it names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "isp/stm32/Stm32Frames.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the step: the reply kind and the data length.
  const auto kind = static_cast<stm32::ReplyKind>(data[0] % 4);
  const int bytes = 1 + data[1];
  const uint8_t* rx = data + 2;
  const int n = static_cast<int>(size - 2);
  const stm32::Reply r = stm32::ReadReply(rx, n, kind, bytes);
  if (r.skip < 0 || r.skip > n || r.length < 0 || r.skip + r.length > n || r.missing < 0) std::abort();
  for (int i = 0; i < r.skip; ++i)
    if (rx[i] == stm32::kAck || rx[i] == stm32::kNack) std::abort();  // a reply taken for noise
  using S = stm32::Reply::Status;
  if (r.status == S::Incomplete) {
    if (r.length != 0) std::abort();
    return 0;
  }
  const uint8_t first = rx[r.skip];
  if ((r.status == S::Nack) != (first == stm32::kNack) || r.length < 1) std::abort();
  if (r.status == S::Nack) return 0;
  if (kind == stm32::ReplyKind::Bytes && r.length != 1 + bytes) std::abort();
  if (kind == stm32::ReplyKind::Listed && r.length != rx[r.skip + 1] + 4) std::abort();
  const bool closed = rx[r.skip + r.length - 1] == stm32::kAck;
  if ((kind == stm32::ReplyKind::Listed || kind == stm32::ReplyKind::AckAck) && (r.status == S::Ack) != closed)
    std::abort();
  (void)stm32::SyncAnswered(rx, n);
  return 0;
}
