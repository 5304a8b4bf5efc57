// The byte layer of the STM32 USART boot loader, free of ports and timers:
// every frame the host sends, built whole so that it can go out in one
// write, and the reader that decides when a reply is complete.
#pragma once

#include <cstdint>
#include <vector>

namespace stm32 {

inline constexpr uint8_t kSync = 0x7F;
inline constexpr uint8_t kAck = 0x79;
inline constexpr uint8_t kNack = 0x1F;
inline constexpr int kMaxBlock = 256;

// Units a standard erase can name (one-byte page numbers), and how many
// numbers go into one erase frame: the standard count byte 0xFF would mean
// a global erase, and an extended frame stays within the part's buffer.
inline constexpr int kStandardPages = 256;
inline constexpr int kStandardPerFrame = 255;
inline constexpr int kExtendedPerFrame = 120;

using Frame = std::vector<uint8_t>;

// A command code and its complement.
Frame CommandFrame(uint8_t code);
// Four address bytes, most significant first, and their XOR.
Frame AddressFrame(uint32_t address);
// READ MEMORY's count: N - 1 and its complement (1 <= length <= 256).
Frame ReadCountFrame(int length);
// WRITE MEMORY's data: N - 1, the bytes, the XOR of all of them
// (1 <= length <= 256).
Frame WriteDataFrame(const uint8_t* data, int length);
// The erase frames sent after ERASE (one-byte page numbers, at most
// perFrame, never 255 a frame) or EXTENDED ERASE (two-byte numbers): each
// frame count, numbers, checksum.
std::vector<Frame> EraseFrames(bool extended, const std::vector<uint32_t>& numbers, int perFrame);
// Units 0 .. units - 1, as many a frame as a frame takes.
std::vector<Frame> EraseFrames(bool extended, int units);
// The whole flash: 0xFF (ERASE) or 0xFFFF (EXTENDED ERASE), with checksum.
Frame MassEraseFrame(bool extended);
// EXTENDED ERASE of bank 2 as a whole: 0xFFFD and its checksum.
Frame Bank2EraseFrame();
// The number of units an erase frame names.
int UnitsInEraseFrame(bool extended, const Frame& frame);

// The reply a step waits for.
enum class ReplyKind : uint8_t {
  Ack,     // ACK (or NACK)
  Listed,  // ACK, N, N + 1 bytes, ACK (GET, GET ID)
  Bytes,   // ACK and `bytes` bytes (READ MEMORY's data)
  AckAck,  // ACK, then ACK once the option bytes are written (they may come together)
};

struct Reply {
  enum class Status : uint8_t {
    Incomplete,  // more is due; nothing is to be taken yet
    Ack,         // complete and well formed
    Nack,
    Invalid,     // complete, but its closing byte is no ACK
  };
  Status status = Status::Incomplete;
  int skip = 0;     // line noise before the reply's first byte
  int length = 0;   // the reply's bytes from `skip` (complete replies)
  int missing = 0;  // Incomplete: bytes still due, where the reply says (0: unknown)
};

// Reads `size` received bytes as the reply to a step. Noise before the
// first ACK or NACK is no reply and is skipped; a reply is complete only
// when all of it has arrived.
Reply ReadReply(const uint8_t* data, int size, ReplyKind kind, int bytes = 0);

// The answer to a synchronisation byte: an ACK (just synchronised) or a
// NACK (synchronised already) anywhere among what came.
bool SyncAnswered(const uint8_t* data, int size);

}  // namespace stm32
