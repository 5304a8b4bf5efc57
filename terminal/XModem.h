// XMODEM and YMODEM, sender and receiver, as state machines without I/O:
// the owner feeds received bytes and the clock, and writes out whatever
// TakeOutput() hands back. The window, vortana-term and the tests drive the
// same machines, so the protocol is tested without a port.
#pragma once

#include <QString>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

uint16_t Crc16Xmodem(std::span<const uint8_t> data, uint16_t crc = 0);

namespace xmodem {
constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18,
                  CRC_START = 'C', SUB = 0x1A;
}

struct XferTiming {
  int replyMs = 10000;  // waiting for an answer, a block or the start
  int byteMs = 1000;    // between the bytes of one block
  int quietMs = 1000;   // line quiet after a bad block before asking again
  int retries = 10;     // time-outs and refusals in a row before giving up
};

struct XferFile {
  std::string name;           // YMODEM only; the bare name, no folders
  std::vector<uint8_t> data;  // XMODEM receive: whole blocks, padding kept
};

class XferMachine {
 public:
  enum class Status { Running, Done, Failed };
  virtual ~XferMachine() = default;

  virtual void Start(int64_t nowMs) = 0;
  virtual void Feed(std::span<const uint8_t> bytes, int64_t nowMs) = 0;
  virtual void Tick(int64_t nowMs) = 0;
  // Our side gives up: CAN CAN goes out and the transfer fails.
  void Cancel();

  std::vector<uint8_t> TakeOutput();
  Status status() const { return status_; }
  const QString& cause() const { return cause_; }
  int64_t deadline() const { return deadline_; }
  int64_t bytesDone() const { return done_; }
  int64_t bytesTotal() const { return total_; }  // -1 when the size is not known
  int retriesUsed() const { return retriesTotal_; }

 protected:
  void Emit(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void Emit(uint8_t b) { out_.push_back(b); }
  void Fail(const QString& cause, bool sendCancel);
  void Finish() { status_ = Status::Done; }
  // Two CAN in a row from the other side end the transfer.
  bool SawCancel(uint8_t b);

  XferTiming t_;
  Status status_ = Status::Running;
  QString cause_;
  int64_t deadline_ = 0;
  int64_t done_ = 0;
  int64_t total_ = -1;
  int retries_ = 0;
  int retriesTotal_ = 0;

 private:
  std::vector<uint8_t> out_;
  int cans_ = 0;
};

class XmodemSender : public XferMachine {
 public:
  // ymodem: batch of files with block 0; otherwise exactly one file.
  // useChecksum: XMODEM only, answers a NAK start (a 'C' start still gets CRC).
  XmodemSender(std::vector<XferFile> files, bool ymodem, bool oneK, XferTiming t = {});
  void Start(int64_t nowMs) override;
  void Feed(std::span<const uint8_t> bytes, int64_t nowMs) override;
  void Tick(int64_t nowMs) override;

 private:
  enum class St { WaitStart, WaitAck, WaitEotAck, WaitFinalAck };
  void SendBlock(int64_t now);
  void NextAfterAck(int64_t now);
  void Retry(int64_t now, const QString& cause);
  std::vector<uint8_t> Header(size_t fileIndex) const;

  std::vector<XferFile> files_;
  bool ymodem_, oneK_;
  bool crc_ = true;
  St st_ = St::WaitStart;
  size_t file_ = 0;
  bool inHeader_ = false;     // YMODEM: block 0 of file_ (or the empty one ending the batch)
  size_t offset_ = 0;          // of the block in flight
  size_t blockLen_ = 0;
  uint8_t blockNo_ = 1;
  bool eotRefused_ = false;
  std::vector<uint8_t> frame_;
};

class XmodemReceiver : public XferMachine {
 public:
  XmodemReceiver(bool ymodem, bool useChecksum, XferTiming t = {});
  void Start(int64_t nowMs) override;
  void Feed(std::span<const uint8_t> bytes, int64_t nowMs) override;
  void Tick(int64_t nowMs) override;

  // Files received so far, complete ones only.
  const std::vector<XferFile>& files() const { return files_; }
  std::vector<XferFile> TakeFiles();

 private:
  enum class St { Polling, WaitHeader, InBlock, Purging };
  void Ask(int64_t now);
  void Byte(uint8_t b, int64_t now);
  void BlockDone(int64_t now);
  void Bad(int64_t now);
  bool AcceptHeaderBlock(std::span<const uint8_t> d, int64_t now);

  bool ymodem_, checksum_;
  St st_ = St::Polling;
  bool wantHeader_;      // YMODEM: the next block is block 0
  bool sawEot_ = false;  // the first EOT is refused, the repeat taken
  int polls_ = 0;
  uint8_t expect_ = 1;
  std::vector<uint8_t> block_;
  size_t need_ = 0;
  XferFile current_;
  int64_t size_ = -1;    // YMODEM: the exact size from block 0
  std::vector<XferFile> files_;
};

// The YMODEM file name as it may be stored: the last path element, and
// nothing that names a folder or a hidden trick ("", ".", "..").
std::string SafeFileName(const std::string& name);
