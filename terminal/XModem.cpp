#include "terminal/XModem.h"

#include <algorithm>
#include <cstdlib>

using namespace xmodem;

uint16_t Crc16Xmodem(std::span<const uint8_t> data, uint16_t crc) {
  for (uint8_t b : data) {
    crc ^= static_cast<uint16_t>(b) << 8;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
  }
  return crc;
}

std::string SafeFileName(const std::string& name) {
  std::string base = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
  if (base.empty() || base == "." || base == "..") return {};
  for (char c : base)
    if (static_cast<unsigned char>(c) < 0x20) return {};
  return base;
}

// ---- common ----

void XferMachine::Cancel() {
  if (status_ == Status::Running) Fail(QStringLiteral("已取消传输"), true);
}

std::vector<uint8_t> XferMachine::TakeOutput() {
  std::vector<uint8_t> o;
  o.swap(out_);
  return o;
}

void XferMachine::Fail(const QString& cause, bool sendCancel) {
  if (status_ != Status::Running) return;
  // Several CANs: a peer that loses one byte to noise still sees two in a row.
  if (sendCancel) out_.insert(out_.end(), 8, CAN);
  status_ = Status::Failed;
  cause_ = cause;
}

bool XferMachine::SawCancel(uint8_t b) {
  cans_ = (b == CAN) ? cans_ + 1 : 0;
  return cans_ >= 2;
}

// ---- sender ----

XmodemSender::XmodemSender(std::vector<XferFile> files, bool ymodem, bool oneK, XferTiming t)
    : files_(std::move(files)), ymodem_(ymodem), oneK_(oneK) {
  t_ = t;
  if (!ymodem_ && files_.size() > 1) files_.resize(1);
  inHeader_ = ymodem_;
  total_ = 0;
  for (const auto& f : files_) total_ += static_cast<int64_t>(f.data.size());
}

void XmodemSender::Start(int64_t now) { deadline_ = now + t_.replyMs; }

std::vector<uint8_t> XmodemSender::Header(size_t i) const {
  std::vector<uint8_t> h;
  if (i < files_.size()) {
    const std::string n = files_[i].name + '\0' + std::to_string(files_[i].data.size());
    h.assign(n.begin(), n.end());
  }
  h.resize(h.size() <= 128 ? 128 : 1024, 0);
  return h;
}

void XmodemSender::SendBlock(int64_t now) {
  std::vector<uint8_t> payload;
  if (inHeader_) {
    payload = Header(file_);
    if (payload.size() > 1024) payload.resize(1024);
    blockNo_ = 0;
    st_ = file_ < files_.size() ? St::WaitAck : St::WaitFinalAck;
  } else {
    const auto& d = files_[file_].data;
    const size_t left = d.size() - offset_;
    if (left == 0) {
      frame_.assign(1, EOT);
      eotRefused_ = false;
      Emit(frame_);
      st_ = St::WaitEotAck;
      deadline_ = now + t_.replyMs;
      return;
    }
    // 1K blocks need CRC; a short tail goes in 128-byte blocks to waste less.
    const size_t len = (oneK_ && crc_ && left > 896) ? 1024 : 128;
    blockLen_ = std::min(len, left);
    payload.assign(d.begin() + static_cast<ptrdiff_t>(offset_), d.begin() + static_cast<ptrdiff_t>(offset_ + blockLen_));
    payload.resize(len, SUB);
    st_ = St::WaitAck;
  }
  frame_.clear();
  frame_.push_back(payload.size() == 1024 ? STX : SOH);
  frame_.push_back(blockNo_);
  frame_.push_back(static_cast<uint8_t>(~blockNo_));
  frame_.insert(frame_.end(), payload.begin(), payload.end());
  if (crc_) {
    const uint16_t c = Crc16Xmodem(payload);
    frame_.push_back(static_cast<uint8_t>(c >> 8));
    frame_.push_back(static_cast<uint8_t>(c));
  } else {
    uint8_t sum = 0;
    for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
    frame_.push_back(sum);
  }
  Emit(frame_);
  deadline_ = now + (st_ == St::WaitFinalAck ? std::min(t_.replyMs, 2000) : t_.replyMs);
}

void XmodemSender::Retry(int64_t now, const QString& cause) {
  ++retries_;
  ++retriesTotal_;
  if (retries_ > t_.retries) {
    Fail(cause, true);
    return;
  }
  if (st_ != St::WaitStart) Emit(frame_);
  deadline_ = now + t_.replyMs;
}

void XmodemSender::NextAfterAck(int64_t now) {
  retries_ = 0;
  if (inHeader_) {
    // Block 0 taken: the receiver asks again with 'C' for the data.
    inHeader_ = false;
    offset_ = 0;
    blockNo_ = 1;
    st_ = St::WaitStart;
    deadline_ = now + t_.replyMs;
    return;
  }
  offset_ += blockLen_;
  done_ += static_cast<int64_t>(blockLen_);
  blockLen_ = 0;
  ++blockNo_;
  SendBlock(now);
}

void XmodemSender::Feed(std::span<const uint8_t> bytes, int64_t now) {
  for (uint8_t b : bytes) {
    if (status_ != Status::Running) return;
    if (SawCancel(b)) {
      Fail(QStringLiteral("对方取消了传输"), false);
      return;
    }
    switch (st_) {
      case St::WaitStart:
        if (b == CRC_START || (b == NAK && (!ymodem_ || !inHeader_))) {
          if (!ymodem_ && file_ == 0 && offset_ == 0 && blockNo_ == 1) crc_ = (b == CRC_START);
          retries_ = 0;
          SendBlock(now);
        }
        break;
      case St::WaitAck:
        if (b == ACK) NextAfterAck(now);
        else if (b == NAK || (b == CRC_START && (inHeader_ || blockNo_ == 1)))
          // Until the first block of a file is in, a receiver asks again with 'C'.
          Retry(now, QStringLiteral("接收方多次拒收数据块"));
        break;
      case St::WaitEotAck:
        if (b == ACK) {
          retries_ = 0;
          if (!ymodem_) {
            Finish();
            return;
          }
          ++file_;
          inHeader_ = true;
          st_ = St::WaitStart;
          deadline_ = now + t_.replyMs;
        } else if (b == NAK && !eotRefused_) {
          // A receiver may refuse the first EOT on purpose to see it twice.
          eotRefused_ = true;
          Emit(frame_);
          deadline_ = now + t_.replyMs;
        } else if (b == NAK) {
          Retry(now, QStringLiteral("接收方不确认传输结束"));
        }
        break;
      case St::WaitFinalAck:
        if (b == ACK) {
          Finish();
          return;
        }
        if (b == NAK) Retry(now, QStringLiteral("接收方不确认传输结束"));
        break;
    }
  }
}

void XmodemSender::Tick(int64_t now) {
  if (status_ != Status::Running || now < deadline_) return;
  // Every file was confirmed by its EOT; a receiver that leaves at once after
  // the empty block 0 often loses its last ACK on the way out.
  if (st_ == St::WaitFinalAck) {
    Finish();
    return;
  }
  // A time-out only counts: the receiver asks again with NAK when its own
  // wait ends. Resending here as well would put two copies on the line, and
  // the ACK of the second would be taken for the next block's.
  ++retries_;
  ++retriesTotal_;
  if (retries_ > t_.retries) {
    Fail(st_ == St::WaitStart ? QStringLiteral("接收方没有响应") : QStringLiteral("接收方没有应答"), true);
    return;
  }
  // A second EOT is harmless: a receiver that took the first answers it again.
  if (st_ == St::WaitEotAck) Emit(frame_);
  deadline_ = now + t_.replyMs;
}

// ---- receiver ----

XmodemReceiver::XmodemReceiver(bool ymodem, bool useChecksum, XferTiming t)
    : ymodem_(ymodem), checksum_(useChecksum && !ymodem), wantHeader_(ymodem) {
  t_ = t;
  expect_ = ymodem_ ? 0 : 1;
}

void XmodemReceiver::Start(int64_t now) { Ask(now); }

std::vector<XferFile> XmodemReceiver::TakeFiles() {
  std::vector<XferFile> f;
  f.swap(files_);
  return f;
}

// Asks for the first block of a file with the start character, for anything
// else with NAK.
void XmodemReceiver::Ask(int64_t now) {
  const bool fresh = wantHeader_ || (expect_ == 1 && current_.data.empty());
  if (fresh && st_ == St::Polling) {
    ++polls_;
    // No answer to 'C' three times: perhaps a sender that knows only the checksum.
    if (!ymodem_ && polls_ > 3 && !checksum_) checksum_ = true;
  }
  Emit(fresh ? (checksum_ ? NAK : CRC_START) : NAK);
  deadline_ = now + (st_ == St::Polling ? std::min(t_.replyMs, 3000) : t_.replyMs);
}

void XmodemReceiver::Feed(std::span<const uint8_t> bytes, int64_t now) {
  for (uint8_t b : bytes) {
    if (status_ != Status::Running) return;
    Byte(b, now);
  }
}

void XmodemReceiver::Byte(uint8_t b, int64_t now) {
  switch (st_) {
    case St::InBlock:
      block_.push_back(b);
      deadline_ = now + t_.byteMs;
      if (block_.size() == need_) BlockDone(now);
      return;
    case St::Purging:
      deadline_ = now + t_.quietMs;
      return;
    case St::Polling:
    case St::WaitHeader:
      break;
  }
  if (SawCancel(b)) {
    Fail(QStringLiteral("对方取消了传输"), false);
    return;
  }
  if (b == CAN) return;  // one alone may be noise; wait for the second
  if (b == SOH || b == STX) {
    block_.assign(1, b);
    need_ = (b == STX ? 1024u : 128u) + 3 + (checksum_ ? 1 : 2);
    st_ = St::InBlock;
    deadline_ = now + t_.byteMs;
    return;
  }
  if (b == EOT) {
    if (wantHeader_) {
      // Our ACK of the last EOT was lost; the sender repeats it.
      if (!files_.empty()) Emit(ACK);
      return;
    }
    if (!sawEot_) {
      // A lone EOT may be a block header hit by noise: make the sender repeat it.
      sawEot_ = true;
      Emit(NAK);
      st_ = St::WaitHeader;
      deadline_ = now + t_.replyMs;
      return;
    }
    Emit(ACK);
    if (size_ >= 0 && static_cast<int64_t>(current_.data.size()) > size_) current_.data.resize(static_cast<size_t>(size_));
    files_.push_back(std::move(current_));
    current_ = {};
    sawEot_ = false;
    retries_ = 0;
    if (!ymodem_) {
      Finish();
      return;
    }
    wantHeader_ = true;
    expect_ = 0;
    size_ = -1;
    st_ = St::WaitHeader;
    Ask(now);
    return;
  }
  if (st_ == St::WaitHeader) {
    // Noise where a header should be: let the rest of it pass, then ask again.
    st_ = St::Purging;
    deadline_ = now + t_.quietMs;
  }
  // Before the first block, text the board prints is not ours to judge.
}

void XmodemReceiver::Bad(int64_t now) {
  ++retries_;
  ++retriesTotal_;
  if (retries_ > t_.retries) {
    Fail(QStringLiteral("线路错误太多，已放弃"), true);
    return;
  }
  st_ = St::Purging;
  deadline_ = now + t_.quietMs;
}

bool XmodemReceiver::AcceptHeaderBlock(std::span<const uint8_t> d, int64_t now) {
  const auto nul = std::find(d.begin(), d.end(), uint8_t{0});
  const std::string name(d.begin(), nul);
  if (name.empty()) {
    Emit(ACK);
    Finish();
    return true;
  }
  current_ = {};
  current_.name = SafeFileName(name);
  if (current_.name.empty()) {
    Fail(QStringLiteral("对方发来的文件名无效: ") + QString::fromStdString(name), true);
    return false;
  }
  size_ = -1;
  if (nul != d.end()) {
    std::string rest(nul + 1, std::find(nul + 1, d.end(), uint8_t{0}));
    char* end = nullptr;
    const long long s = std::strtoll(rest.c_str(), &end, 10);
    if (end != rest.c_str() && s >= 0) size_ = s;
  }
  total_ = size_ >= 0 ? done_ + size_ : -1;
  wantHeader_ = false;
  expect_ = 1;
  retries_ = 0;
  Emit(ACK);
  st_ = St::WaitHeader;
  Ask(now);
  return true;
}

void XmodemReceiver::BlockDone(int64_t now) {
  const uint8_t no = block_[1];
  const size_t len = block_[0] == STX ? 1024 : 128;
  const std::span<const uint8_t> data(block_.data() + 3, len);
  bool ok = static_cast<uint8_t>(no ^ block_[2]) == 0xFF;
  if (ok && checksum_) {
    uint8_t sum = 0;
    for (uint8_t b : data) sum = static_cast<uint8_t>(sum + b);
    ok = sum == block_[3 + len];
  } else if (ok) {
    ok = Crc16Xmodem(data) == ((block_[3 + len] << 8) | block_[4 + len]);
  }
  if (!ok) {
    Bad(now);
    return;
  }
  sawEot_ = false;
  st_ = St::WaitHeader;
  deadline_ = now + t_.replyMs;
  if (wantHeader_) {
    if (no != 0) {
      Bad(now);
      return;
    }
    AcceptHeaderBlock(data, now);
    return;
  }
  if (no == expect_) {
    current_.data.insert(current_.data.end(), data.begin(), data.end());
    done_ += static_cast<int64_t>(len);
    if (size_ >= 0) done_ = std::min(done_, total_);
    ++expect_;
    retries_ = 0;
    Emit(ACK);
  } else if (no == static_cast<uint8_t>(expect_ - 1)) {
    // Our ACK was lost and the block came again: take it once only.
    Emit(ACK);
    if (ymodem_ && no == 0) Emit(CRC_START);
  } else {
    Fail(QStringLiteral("数据块序号错乱，传输已中止"), true);
  }
}

void XmodemReceiver::Tick(int64_t now) {
  if (status_ != Status::Running || now < deadline_) return;
  switch (st_) {
    case St::Polling:
      if (polls_ > t_.retries) {
        Fail(QStringLiteral("发送方没有响应"), true);
        return;
      }
      Ask(now);
      return;
    case St::WaitHeader:
      ++retries_;
      ++retriesTotal_;
      if (retries_ > t_.retries) {
        Fail(QStringLiteral("发送方没有响应"), true);
        return;
      }
      Ask(now);
      return;
    case St::InBlock:
      Bad(now);
      return;
    case St::Purging:
      st_ = St::WaitHeader;
      Ask(now);
      return;
  }
}
