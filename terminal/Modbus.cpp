#include "terminal/Modbus.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <cstring>

#include "terminal/Checksum.h"

namespace modbus {

namespace {

bool IsRead(uint8_t f) { return f >= kReadCoils && f <= kReadInputRegisters; }
bool IsBitRead(uint8_t f) { return f == kReadCoils || f == kReadDiscreteInputs; }
bool Known(uint8_t f) { return (f >= 1 && f <= 6) || f == kWriteMultipleCoils || f == kWriteMultipleRegisters; }

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void PutCrc(std::vector<uint8_t>& out) {
  const uint32_t crc = ComputeChecksum(ChecksumKind::Crc16Modbus, out);
  out.push_back(static_cast<uint8_t>(crc));
  out.push_back(static_cast<uint8_t>(crc >> 8));
}

bool CrcOk(std::span<const uint8_t> f) {
  if (f.size() < 4) return false;
  const uint32_t crc = ComputeChecksum(ChecksumKind::Crc16Modbus, f.first(f.size() - 2));
  return f[f.size() - 2] == static_cast<uint8_t>(crc) && f[f.size() - 1] == static_cast<uint8_t>(crc >> 8);
}

std::vector<uint8_t> Fail(QString* error, const QString& why) {
  if (error) *error = why;
  return {};
}

}  // namespace

std::vector<uint8_t> EncodeRequest(const Request& req, QString* error) {
  std::vector<uint8_t> out{req.slave, req.function};
  Put16(out, req.address);
  switch (req.function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHoldingRegisters:
    case kReadInputRegisters: {
      const int max = IsBitRead(req.function) ? kMaxReadBits : kMaxReadRegisters;
      if (req.count < 1 || req.count > max) return Fail(error, QStringLiteral("数量须为 1 到 %1").arg(max));
      Put16(out, req.count);
      break;
    }
    case kWriteSingleCoil:
      if (req.values.size() != 1) return Fail(error, QStringLiteral("写单个线圈须给一个值"));
      Put16(out, req.values[0] ? 0xFF00 : 0x0000);
      break;
    case kWriteSingleRegister:
      if (req.values.size() != 1) return Fail(error, QStringLiteral("写单个寄存器须给一个值"));
      Put16(out, req.values[0]);
      break;
    case kWriteMultipleCoils: {
      const size_t n = req.values.size();
      if (n < 1 || n > kMaxWriteBits) return Fail(error, QStringLiteral("线圈数须为 1 到 %1").arg(kMaxWriteBits));
      Put16(out, static_cast<uint16_t>(n));
      out.push_back(static_cast<uint8_t>((n + 7) / 8));
      for (size_t i = 0; i < n; i += 8) {
        uint8_t b = 0;
        for (size_t k = 0; k < 8 && i + k < n; ++k)
          if (req.values[i + k]) b |= static_cast<uint8_t>(1u << k);
        out.push_back(b);
      }
      break;
    }
    case kWriteMultipleRegisters: {
      const size_t n = req.values.size();
      if (n < 1 || n > kMaxWriteRegisters)
        return Fail(error, QStringLiteral("寄存器数须为 1 到 %1").arg(kMaxWriteRegisters));
      Put16(out, static_cast<uint16_t>(n));
      out.push_back(static_cast<uint8_t>(2 * n));
      for (uint16_t v : req.values) Put16(out, v);
      break;
    }
    default:
      return Fail(error, QStringLiteral("不支持的功能码 %1").arg(req.function));
  }
  if (req.address + (IsRead(req.function) ? req.count : std::max<size_t>(req.values.size(), 1)) > 0x10000)
    return Fail(error, QStringLiteral("地址超出 65535"));
  PutCrc(out);
  return out;
}

int ReplyLength(const Request& req, std::span<const uint8_t> head) {
  if (head.size() < 2) return -1;
  if (head[1] & 0x80) return 5;
  if (IsRead(req.function)) {
    if (head.size() < 3) return -1;
    return 3 + head[2] + 2;
  }
  return 8;
}

Reply DecodeReply(const Request& req, std::span<const uint8_t> f) {
  Reply r;
  if (f.size() < 5) {
    r.error = QStringLiteral("应答过短（%1 字节）").arg(f.size());
    return r;
  }
  if (!CrcOk(f)) {
    r.status = ReplyStatus::CrcError;
    r.error = QStringLiteral("CRC 错误");
    return r;
  }
  if (f[0] != req.slave) {
    r.error = QStringLiteral("应答来自从站 %1，而非 %2").arg(f[0]).arg(req.slave);
    return r;
  }
  if (f[1] == (req.function | 0x80) && f.size() == 5) {
    r.status = ReplyStatus::Exception;
    r.exceptionCode = f[2];
    r.error = ExceptionName(f[2]);
    return r;
  }
  if (f[1] != req.function) {
    r.error = QStringLiteral("应答功能码 %1 与请求 %2 不符").arg(f[1]).arg(req.function);
    return r;
  }
  if (IsRead(req.function)) {
    const size_t want = IsBitRead(req.function) ? (req.count + 7u) / 8u : 2u * req.count;
    if (f[2] != want || f.size() != 5 + want) {
      r.error = QStringLiteral("应答字节数 %1 与请求不符（应为 %2）").arg(f[2]).arg(want);
      return r;
    }
    const uint8_t* d = f.data() + 3;
    if (IsBitRead(req.function)) {
      for (size_t i = 0; i < req.count; ++i) r.values.push_back((d[i / 8] >> (i % 8)) & 1);
    } else {
      for (size_t i = 0; i < req.count; ++i) r.values.push_back(Get16(d + 2 * i));
    }
    r.status = ReplyStatus::Ok;
    return r;
  }
  if (f.size() != 8) {
    r.error = QStringLiteral("应答长度 %1 不对").arg(f.size());
    return r;
  }
  // Writes echo the address and the value or count.
  const std::vector<uint8_t> sent = EncodeRequest(req);
  const size_t echo = 6;
  if (sent.size() < echo || !std::equal(f.begin(), f.begin() + echo, sent.begin())) {
    r.error = QStringLiteral("写应答的回显与请求不符");
    return r;
  }
  r.status = ReplyStatus::Ok;
  return r;
}

bool Transaction::Feed(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) {
    if (Done()) break;
    got_.push_back(b);
  }
  return Done();
}

bool Transaction::Done() const {
  const int n = ReplyLength(req_, got_);
  return n > 0 && got_.size() >= static_cast<size_t>(n);
}

Reply Transaction::Result() const {
  if (Done()) return DecodeReply(req_, got_);
  Reply r;
  r.status = ReplyStatus::Timeout;
  r.error = got_.empty() ? QStringLiteral("从站 %1 无应答（超时）").arg(req_.slave)
                         : QStringLiteral("从站 %1 应答不完整（收到 %2 字节）").arg(req_.slave).arg(got_.size());
  return r;
}

QString FormatValue(const std::vector<uint16_t>& regs, size_t i, ValueFormat f) {
  if (i >= regs.size()) return {};
  const uint16_t v = regs[i];
  switch (f) {
    case ValueFormat::Unsigned: return QString::number(v);
    case ValueFormat::Signed: return QString::number(static_cast<int16_t>(v));
    case ValueFormat::Hex: return QStringLiteral("0x%1").arg(v, 4, 16, QLatin1Char('0')).toUpper().replace(QStringLiteral("0X"), QStringLiteral("0x"));
    case ValueFormat::FloatAbcd:
    case ValueFormat::FloatCdab: {
      if (i % 2 || i + 1 >= regs.size()) return {};
      const uint16_t hi = f == ValueFormat::FloatAbcd ? regs[i] : regs[i + 1];
      const uint16_t lo = f == ValueFormat::FloatAbcd ? regs[i + 1] : regs[i];
      const uint32_t bits = static_cast<uint32_t>(hi) << 16 | lo;
      float x;
      static_assert(sizeof x == sizeof bits);
      std::memcpy(&x, &bits, sizeof x);
      return QString::number(static_cast<double>(x), 'g', 8);
    }
  }
  return {};
}

bool ParseValues(const QString& text, ValueFormat f, bool bits, std::vector<uint16_t>* out, QString* error) {
  std::vector<uint16_t> v;
  const QStringList parts = text.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
  if (parts.isEmpty()) {
    *error = QStringLiteral("没有要写入的值");
    return false;
  }
  for (const QString& p : parts) {
    bool ok = false;
    if (bits) {
      const int b = p.toInt(&ok, 0);
      if (!ok || (b != 0 && b != 1)) {
        *error = QStringLiteral("线圈值须为 0 或 1：%1").arg(p);
        return false;
      }
      v.push_back(static_cast<uint16_t>(b));
    } else if (f == ValueFormat::FloatAbcd || f == ValueFormat::FloatCdab) {
      const float x = p.toFloat(&ok);
      if (!ok) {
        *error = QStringLiteral("不是浮点数：%1").arg(p);
        return false;
      }
      uint32_t u;
      std::memcpy(&u, &x, sizeof u);
      const uint16_t hi = static_cast<uint16_t>(u >> 16), lo = static_cast<uint16_t>(u);
      if (f == ValueFormat::FloatAbcd) {
        v.push_back(hi);
        v.push_back(lo);
      } else {
        v.push_back(lo);
        v.push_back(hi);
      }
    } else {
      const long long n = p.toLongLong(&ok, 0);
      if (!ok || n < -32768 || n > 65535) {
        *error = QStringLiteral("超出 16 位寄存器范围：%1").arg(p);
        return false;
      }
      v.push_back(static_cast<uint16_t>(n));
    }
  }
  *out = std::move(v);
  return true;
}

QString ExceptionName(uint8_t code) {
  switch (code) {
    case 1: return QStringLiteral("非法功能");
    case 2: return QStringLiteral("非法数据地址");
    case 3: return QStringLiteral("非法数据值");
    case 4: return QStringLiteral("从站设备故障");
    case 5: return QStringLiteral("确认");
    case 6: return QStringLiteral("从站设备忙");
    case 8: return QStringLiteral("存储奇偶性差错");
    case 10: return QStringLiteral("网关路径不可用");
    case 11: return QStringLiteral("网关目标设备响应失败");
  }
  return QStringLiteral("异常码 %1").arg(code);
}

QString FunctionName(uint8_t function) {
  switch (function) {
    case kReadCoils: return QStringLiteral("读线圈");
    case kReadDiscreteInputs: return QStringLiteral("读离散输入");
    case kReadHoldingRegisters: return QStringLiteral("读保持寄存器");
    case kReadInputRegisters: return QStringLiteral("读输入寄存器");
    case kWriteSingleCoil: return QStringLiteral("写单个线圈");
    case kWriteSingleRegister: return QStringLiteral("写单个寄存器");
    case kWriteMultipleCoils: return QStringLiteral("写多个线圈");
    case kWriteMultipleRegisters: return QStringLiteral("写多个寄存器");
  }
  return QStringLiteral("功能码 %1").arg(function);
}

QString Describe(std::span<const uint8_t> f, bool reply) {
  if (f.size() < 4) return {};
  const uint8_t fn = f[1] & 0x7F;
  QString s = QStringLiteral("从站 %1 %2").arg(f[0]).arg(FunctionName(fn));
  if (f[1] & 0x80) return s + QStringLiteral(" 异常：") + ExceptionName(f[2]);
  if (!reply) {
    if (f.size() >= 8) s += QStringLiteral(" 地址 %1").arg(Get16(f.data() + 2));
    if (IsRead(fn) || fn == kWriteMultipleCoils || fn == kWriteMultipleRegisters)
      s += QStringLiteral(" 数量 %1").arg(Get16(f.data() + 4));
    else
      s += QStringLiteral(" 值 %1").arg(Get16(f.data() + 4));
    return s + QStringLiteral(" 请求");
  }
  if (IsRead(fn)) return s + QStringLiteral(" 应答 %1 字节数据").arg(f[2]);
  return s + QStringLiteral(" 应答 地址 %1").arg(Get16(f.data() + 2));
}

// ----- monitor

void Monitor::Emit(size_t n, bool valid, bool reply, std::vector<BusFrame>& out) {
  EmitNoise(out);
  BusFrame b;
  b.bytes.assign(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
  b.timeMs = firstMs_;
  b.valid = valid;
  b.reply = reply;
  b.text = Describe(b.bytes, reply);
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
  firstMs_ = lastMs_;
  out.push_back(std::move(b));
}

void Monitor::EmitNoise(std::vector<BusFrame>& out) {
  if (noise_.empty()) return;
  BusFrame b;
  b.bytes = std::move(noise_);
  noise_.clear();
  b.timeMs = noiseMs_;
  b.text = QStringLiteral("无法识别的 %1 字节").arg(b.bytes.size());
  out.push_back(std::move(b));
}

// Takes one frame or one byte of noise off the front; false when the front
// needs more bytes to tell. Each candidate length the function code allows
// (request or reply) is tried against the CRC; only when every candidate is
// complete and none checks is the first byte noise.
bool Monitor::Step(bool finalPass, std::vector<BusFrame>& out) {
  const size_t n = buf_.size();
  if (n == 0) return false;
  if (n < 2) {
    if (!finalPass) return false;
  } else {
    const uint8_t slave = buf_[0];
    const uint8_t f = buf_[1];
    struct Cand {
      size_t len;  // 0: not known yet
      bool reply;
    };
    Cand c[3];
    int nc = 0;
    if (slave <= 247) {
      if (f & 0x80) {
        if (Known(f & 0x7F)) c[nc++] = {5, true};
      } else if (Known(f)) {
        // A reply to the request just heard is tried first.
        const bool expectReply = haveRequest_ && lastRequest_.slave == slave && lastRequest_.function == f;
        Cand req{0, false}, rep{0, true};
        if (IsRead(f)) {
          req.len = 8;
          rep.len = n >= 3 ? 5u + buf_[2] : 0;
        } else if (f == kWriteMultipleCoils || f == kWriteMultipleRegisters) {
          req.len = n >= 7 ? 9u + buf_[6] : 0;
          rep.len = 8;
        } else {
          req.len = 8;
          rep = {8, true};
        }
        if (expectReply) {
          c[nc++] = rep;
          c[nc++] = req;
        } else {
          c[nc++] = req;
          c[nc++] = rep;
        }
      }
    }
    bool waiting = false;
    for (int i = 0; i < nc; ++i) {
      if (c[i].len == 0 || c[i].len > n) {
        waiting = true;
        continue;
      }
      if (CrcOk(std::span<const uint8_t>(buf_.data(), c[i].len))) {
        const bool reply = c[i].reply;
        if (!reply && c[i].len >= 8) {
          haveRequest_ = true;
          lastRequest_.slave = slave;
          lastRequest_.function = f;
        } else {
          haveRequest_ = false;
        }
        Emit(c[i].len, true, reply, out);
        return true;
      }
    }
    if (waiting && !finalPass) return false;
  }
  if (noise_.empty()) noiseMs_ = firstMs_;
  noise_.push_back(buf_.front());
  buf_.erase(buf_.begin());
  return true;
}

void Monitor::Feed(std::span<const uint8_t> bytes, int64_t nowMs, std::vector<BusFrame>& out) {
  if (bytes.empty()) return;
  Tick(nowMs, out);
  if (buf_.empty()) firstMs_ = nowMs;
  lastMs_ = nowMs;
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  while (Step(false, out)) {
  }
}

void Monitor::Tick(int64_t nowMs, std::vector<BusFrame>& out) {
  if (nowMs - lastMs_ < gapMs_) return;
  // The bus fell silent: what is left can only be a broken frame.
  while (Step(true, out)) {
  }
  EmitNoise(out);
}

void Monitor::Flush(std::vector<BusFrame>& out) {
  while (Step(true, out)) {
  }
  EmitNoise(out);
}

}  // namespace modbus
