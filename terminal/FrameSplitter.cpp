#include "terminal/FrameSplitter.h"

#include <QStringList>
#include <algorithm>

#include "terminal/HexText.h"
#include "terminal/Modbus.h"

FrameSplitter::FrameSplitter(const SplitRule& rule) : rule_(rule) {
  if (rule_.mode == SplitRule::Mode::Modbus) monitor_ = std::make_unique<modbus::Monitor>(rule_.gapMs);
}

FrameSplitter::~FrameSplitter() = default;

size_t FrameSplitter::Pending() const {
  return monitor_ ? monitorHeld_ : buf_.size() - head_ + noise_.size();
}

namespace {
size_t FromBus(std::vector<modbus::BusFrame>& bus, std::vector<Frame>& out) {
  size_t n = 0;
  for (auto& b : bus) {
    n += b.bytes.size();
    Frame f;
    f.bytes = std::move(b.bytes);
    f.timeMs = b.timeMs;
    f.stray = !b.valid;
    f.reply = b.reply;
    out.push_back(std::move(f));
  }
  bus.clear();
  return n;
}
}  // namespace

void FrameSplitter::Reset() {
  if (monitor_) monitor_ = std::make_unique<modbus::Monitor>(rule_.gapMs);
  monitorHeld_ = 0;
  buf_.clear();
  noise_.clear();
  head_ = 0;
  searched_ = 0;
}

void FrameSplitter::TakeNoise(size_t n, std::vector<Frame>& out) {
  if (noise_.empty()) noiseMs_ = firstMs_;
  noise_.insert(noise_.end(), buf_.begin() + static_cast<std::ptrdiff_t>(head_),
                buf_.begin() + static_cast<std::ptrdiff_t>(head_ + n));
  head_ += n;
  searched_ = 0;
  firstMs_ = nextFirstMs_;
  if (noise_.size() >= static_cast<size_t>(std::max(1, rule_.maxFrame))) GiveNoise(out);
}

void FrameSplitter::GiveNoise(std::vector<Frame>& out) {
  if (noise_.empty()) return;
  Frame f;
  f.bytes = std::move(noise_);
  noise_.clear();
  f.timeMs = noiseMs_;
  f.stray = true;
  out.push_back(std::move(f));
}

void FrameSplitter::Take(size_t n, bool stray, std::vector<Frame>& out) {
  GiveNoise(out);
  Frame f;
  f.bytes.assign(buf_.begin() + static_cast<std::ptrdiff_t>(head_),
                 buf_.begin() + static_cast<std::ptrdiff_t>(head_ + n));
  f.timeMs = firstMs_;
  f.stray = stray;
  out.push_back(std::move(f));
  head_ += n;
  searched_ = 0;
  // The next frame starts in the chunk being scanned.
  firstMs_ = nextFirstMs_;
}

void FrameSplitter::Feed(std::span<const uint8_t> bytes, int64_t nowMs, std::vector<Frame>& out) {
  if (bytes.empty()) return;
  if (monitor_) {
    std::vector<modbus::BusFrame> bus;
    monitor_->Feed(bytes, nowMs, bus);
    monitorHeld_ += bytes.size();
    monitorHeld_ -= FromBus(bus, out);
    return;
  }
  if (rule_.mode == SplitRule::Mode::Gap && !buf_.empty() && nowMs - lastMs_ >= rule_.gapMs) {
    Flush(out);
  }
  if (buf_.empty()) firstMs_ = nowMs;
  nextFirstMs_ = nowMs;
  lastMs_ = nowMs;
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  Scan(out);
  // Keep the front compact without moving bytes on every small feed.
  if (head_ > 0 && (head_ == buf_.size() || head_ >= 65536)) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void FrameSplitter::Tick(int64_t nowMs, std::vector<Frame>& out) {
  if (monitor_) {
    std::vector<modbus::BusFrame> bus;
    monitor_->Tick(nowMs, bus);
    monitorHeld_ -= FromBus(bus, out);
    return;
  }
  if (rule_.mode == SplitRule::Mode::Gap && head_ < buf_.size() && nowMs - lastMs_ >= rule_.gapMs) Flush(out);
}

void FrameSplitter::Flush(std::vector<Frame>& out) {
  if (monitor_) {
    std::vector<modbus::BusFrame> bus;
    monitor_->Flush(bus);
    monitorHeld_ -= FromBus(bus, out);
    return;
  }
  GiveNoise(out);
  if (head_ < buf_.size()) Take(buf_.size() - head_, rule_.mode != SplitRule::Mode::Gap, out);
  buf_.clear();
  head_ = 0;
  searched_ = 0;
}

void FrameSplitter::Scan(std::vector<Frame>& out) {
  const size_t maxFrame = static_cast<size_t>(std::max(1, rule_.maxFrame));
  switch (rule_.mode) {
    case SplitRule::Mode::Gap:
      while (buf_.size() - head_ >= maxFrame) Take(maxFrame, true, out);
      return;
    case SplitRule::Mode::FixedLength: {
      const size_t n = static_cast<size_t>(std::max(1, rule_.fixedLength));
      while (buf_.size() - head_ >= n) Take(n, false, out);
      return;
    }
    case SplitRule::Mode::Terminator: {
      const auto& t = rule_.terminator;
      if (t.empty()) {
        while (buf_.size() - head_ >= maxFrame) Take(maxFrame, true, out);
        return;
      }
      for (;;) {
        const size_t avail = buf_.size() - head_;
        // Resume where the last search stopped, backing up so a terminator
        // split across two chunks is still seen.
        size_t from = searched_ >= t.size() - 1 ? searched_ - (t.size() - 1) : 0;
        const auto begin = buf_.begin() + static_cast<std::ptrdiff_t>(head_);
        const auto it = std::search(begin + static_cast<std::ptrdiff_t>(from), buf_.end(), t.begin(), t.end());
        if (it != buf_.end()) {
          const size_t len = static_cast<size_t>(it - begin) + t.size();
          if (len > maxFrame) {
            Take(maxFrame, true, out);
            continue;
          }
          Take(len, false, out);
          continue;
        }
        searched_ = avail;
        if (avail >= maxFrame) {
          Take(maxFrame, true, out);
          continue;
        }
        return;
      }
    }
    case SplitRule::Mode::LengthField:
      while (ScanLength(out)) {
      }
      return;
    case SplitRule::Mode::Modbus:
      return;
  }
}

// One step of the length-field rule; true when it took bytes.
bool FrameSplitter::ScanLength(std::vector<Frame>& out) {
  const auto& h = rule_.header;
  const size_t avail = buf_.size() - head_;
  const uint8_t* p = buf_.data() + head_;
  if (!h.empty()) {
    // Bytes before a header are noise; give them out as such.
    size_t at = 0;
    while (at < avail) {
      const size_t cmp = std::min(h.size(), avail - at);
      if (std::equal(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(cmp), p + at)) break;
      ++at;
    }
    if (at > 0) {
      TakeNoise(at, out);
      return true;
    }
    if (avail < h.size()) return false;
  }
  const size_t width = static_cast<size_t>(rule_.lengthWidth == 2 || rule_.lengthWidth == 4 ? rule_.lengthWidth : 1);
  const size_t off = static_cast<size_t>(std::max(0, rule_.lengthOffset));
  if (avail < off + width) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) {
    const uint8_t b = p[off + (rule_.lengthBigEndian ? i : width - 1 - i)];
    v = (v << 8) | b;
  }
  long long len = static_cast<long long>(v) + rule_.lengthExtra;
  if (!rule_.lengthCountsWholeFrame) len += static_cast<long long>(off + width);
  const long long minLen = static_cast<long long>(std::max(off + width, h.size()));
  if (len < minLen || len > rule_.maxFrame) {
    // Not a frame: drop one byte as noise and look again for the header.
    TakeNoise(1, out);
    return true;
  }
  if (avail < static_cast<size_t>(len)) return false;
  Take(static_cast<size_t>(len), false, out);
  return true;
}

namespace {

bool ParseInt(const QString& s, int* v) {
  bool ok = false;
  *v = s.toInt(&ok, 0);
  return ok;
}

bool ParseHex(const QString& s, std::vector<uint8_t>* out) {
  QString digits = s;
  digits.remove(QLatin1Char(' '));
  if (digits.isEmpty() || digits.size() % 2) return false;
  for (QChar c : digits)
    if (!c.isDigit() && !QStringLiteral("abcdefABCDEF").contains(c)) return false;
  *out = HexDigitsToBytes(digits);
  return true;
}

}  // namespace

SplitRule SplitRule::Parse(const QString& text, QString* error) {
  SplitRule r;
  error->clear();
  bool haveMode = false;
  bool gapGiven = false;
  const QStringList parts = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
  for (const QString& rawPart : parts) {
    const QString part = rawPart.trimmed();
    const qsizetype eq = part.indexOf(QLatin1Char('='));
    const QString key = eq < 0 ? part : part.left(eq);
    const QString val = eq < 0 ? QString() : part.mid(eq + 1);
    if (key == QLatin1String("gap")) {
      QString ms = val;
      if (ms.endsWith(QLatin1String("ms"))) ms.chop(2);
      if (!ParseInt(ms, &r.gapMs) || r.gapMs < 1) {
        *error = QStringLiteral("bad gap: %1").arg(val);
        return r;
      }
      if (r.mode != Mode::Modbus) r.mode = Mode::Gap;
      gapGiven = true;
      haveMode = true;
    } else if (key == QLatin1String("end")) {
      if (!ParseHex(val, &r.terminator)) {
        *error = QStringLiteral("bad terminator (hex digits): %1").arg(val);
        return r;
      }
      r.mode = Mode::Terminator;
      haveMode = true;
    } else if (key == QLatin1String("fixed")) {
      if (!ParseInt(val, &r.fixedLength) || r.fixedLength < 1 || r.fixedLength > r.maxFrame) {
        *error = QStringLiteral("bad fixed length: %1").arg(val);
        return r;
      }
      r.mode = Mode::FixedLength;
      haveMode = true;
    } else if (key.startsWith(QLatin1String("len@"))) {
      // len@OFFSET:WIDTH{be|le}[+EXTRA|-EXTRA]
      QString field = key.mid(4);
      if (!val.isEmpty()) field += QLatin1Char('=') + val;
      const qsizetype colon = field.indexOf(QLatin1Char(':'));
      if (colon < 0) {
        *error = QStringLiteral("bad length field: %1").arg(part);
        return r;
      }
      QString w = field.mid(colon + 1);
      int extra = 0;
      const qsizetype sign = std::max(w.indexOf(QLatin1Char('+')), w.indexOf(QLatin1Char('-')));
      if (sign >= 0) {
        if (!ParseInt(w.mid(sign), &extra)) {
          *error = QStringLiteral("bad length field: %1").arg(part);
          return r;
        }
        w = w.left(sign);
      }
      bool big = true;
      if (w.endsWith(QLatin1String("le"))) big = false;
      if (w.endsWith(QLatin1String("le")) || w.endsWith(QLatin1String("be"))) w.chop(2);
      if (!ParseInt(field.left(colon), &r.lengthOffset) || r.lengthOffset < 0 || !ParseInt(w, &r.lengthWidth) ||
          (r.lengthWidth != 1 && r.lengthWidth != 2 && r.lengthWidth != 4)) {
        *error = QStringLiteral("bad length field: %1").arg(part);
        return r;
      }
      r.lengthBigEndian = big;
      r.lengthExtra = extra;
      r.mode = Mode::LengthField;
      haveMode = true;
    } else if (key == QLatin1String("modbus")) {
      r.mode = Mode::Modbus;
      // Frames are told by their CRC; the silence only gives up a broken
      // one, so it can outlast a USB adapter's 16 ms packet timer with room.
      if (!gapGiven) r.gapMs = 100;
      haveMode = true;
    } else if (key == QLatin1String("head")) {
      if (!ParseHex(val, &r.header)) {
        *error = QStringLiteral("bad header (hex digits): %1").arg(val);
        return r;
      }
    } else if (key == QLatin1String("whole")) {
      r.lengthCountsWholeFrame = true;
    } else if (key == QLatin1String("max")) {
      if (!ParseInt(val, &r.maxFrame) || r.maxFrame < 1 || r.maxFrame > 1 << 20) {
        *error = QStringLiteral("bad max: %1").arg(val);
        return r;
      }
    } else {
      *error = QStringLiteral("unknown frame rule part: %1").arg(part);
      return r;
    }
  }
  if (!haveMode) *error = QStringLiteral("no splitter named (gap=, end=, fixed=, len@ or modbus)");
  return r;
}
