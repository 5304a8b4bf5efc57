// Modbus RTU frames: requests a master sends, the replies it checks, and a
// monitor that cuts a listened-to bus into frames by their CRC and the length
// their function code implies, so replies delivered by a USB adapter in
// 32- or 64-byte pieces decode as well as those that arrive whole.
#pragma once

#include <QString>
#include <cstdint>
#include <span>
#include <vector>

namespace modbus {

enum Function : uint8_t {
  kReadCoils = 0x01,
  kReadDiscreteInputs = 0x02,
  kReadHoldingRegisters = 0x03,
  kReadInputRegisters = 0x04,
  kWriteSingleCoil = 0x05,
  kWriteSingleRegister = 0x06,
  kWriteMultipleCoils = 0x0F,
  kWriteMultipleRegisters = 0x10,
};

// Limits of one request, from the protocol.
inline constexpr int kMaxReadBits = 2000;
inline constexpr int kMaxReadRegisters = 125;
inline constexpr int kMaxWriteBits = 1968;
inline constexpr int kMaxWriteRegisters = 123;

struct Request {
  uint8_t slave = 1;
  uint8_t function = kReadHoldingRegisters;
  uint16_t address = 0;
  uint16_t count = 1;             // reads and multiple writes
  std::vector<uint16_t> values;   // writes: registers, or coils as 0/1
};

// The frame with its CRC; an empty frame and a reason when the request
// breaks the protocol's limits (count 0 or too many, values not matching).
std::vector<uint8_t> EncodeRequest(const Request& req, QString* error = nullptr);

// Total length of the reply to `req` once its first bytes are in: -1 while
// more are needed to tell (an exception reply is 5 bytes).
int ReplyLength(const Request& req, std::span<const uint8_t> head);

enum class ReplyStatus { Ok, Exception, CrcError, Mismatch, Timeout };

struct Reply {
  ReplyStatus status = ReplyStatus::Mismatch;
  uint8_t exceptionCode = 0;
  std::vector<uint16_t> values;  // reads: registers, or bits as 0/1
  QString error;                 // why, for CrcError and Mismatch
};

// Checks a whole reply against the request it answers.
Reply DecodeReply(const Request& req, std::span<const uint8_t> frame);

// One request and its reply as the bytes come in, in whatever pieces.
class Transaction {
 public:
  explicit Transaction(const Request& req) : req_(req), frame_(EncodeRequest(req, &error_)) {}
  const Request& Req() const { return req_; }
  // Empty when the request breaks the protocol's limits (see Error()).
  const std::vector<uint8_t>& Frame() const { return frame_; }
  const QString& Error() const { return error_; }
  // True once the reply is whole (bytes past it are line noise and dropped).
  bool Feed(std::span<const uint8_t> bytes);
  bool Done() const;
  // The decoded reply once Done(); before it, what the wait came to: no
  // reply at all, or a reply that stopped short.
  Reply Result() const;

 private:
  Request req_;
  QString error_;
  std::vector<uint8_t> frame_;
  std::vector<uint8_t> got_;
};

// Values of a register read as the table shows them.
enum class ValueFormat { Unsigned, Signed, Hex, FloatAbcd, FloatCdab };
// The value at `i`; the float formats take registers i and i+1 (empty text
// for the second one and past the end).
QString FormatValue(const std::vector<uint16_t>& regs, size_t i, ValueFormat f);
// Typed values ("12", "-3", "0x1F", "1.5" for floats) back to registers;
// false with a cause when one does not fit.
bool ParseValues(const QString& text, ValueFormat f, bool bits, std::vector<uint16_t>* out, QString* error);

// "非法功能", "非法数据地址", ...; unknown codes by number.
QString ExceptionName(uint8_t code);
// "读线圈", "写多个寄存器", ...
QString FunctionName(uint8_t function);

// Decodes frames heard on a bus, requests and replies alike.
struct BusFrame {
  std::vector<uint8_t> bytes;
  int64_t timeMs = 0;
  bool valid = false;   // a CRC-checked frame; otherwise bytes nothing matched
  bool reply = false;   // told apart by what the bytes allow and what came before
  QString text;         // a line describing it
};

class Monitor {
 public:
  // `gapMs`: silence after which bytes that fit no frame are given up as
  // noise (the bus's 3.5 characters, with room for a USB adapter's packet
  // timer and the host's delays).
  explicit Monitor(int gapMs = 100) : gapMs_(gapMs) {}
  void Feed(std::span<const uint8_t> bytes, int64_t nowMs, std::vector<BusFrame>& out);
  void Tick(int64_t nowMs, std::vector<BusFrame>& out);
  void Flush(std::vector<BusFrame>& out);

 private:
  bool Step(bool finalPass, std::vector<BusFrame>& out);
  void Emit(size_t n, bool valid, bool reply, std::vector<BusFrame>& out);
  void EmitNoise(std::vector<BusFrame>& out);

  int gapMs_;
  std::vector<uint8_t> buf_;
  std::vector<uint8_t> noise_;
  int64_t firstMs_ = 0, lastMs_ = 0, noiseMs_ = 0;
  // The request last heard, so its reply is told from a look-alike request.
  bool haveRequest_ = false;
  Request lastRequest_;
};

// The line a monitor shows for a checked frame.
QString Describe(std::span<const uint8_t> frame, bool reply);

}  // namespace modbus
