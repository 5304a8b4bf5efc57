#include "isp/stc/StcModern.h"

#include "isp/stc/StcFrames.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stc {

namespace {

// Leading bytes, then `n` bytes from `tail`, built with the room reserved
// first: inserting into a brace-built vector trips a false -Warray-bounds in
// GCC 12 at -O2.
std::vector<uint8_t> Join(std::initializer_list<uint8_t> head, const uint8_t* tail, size_t n) {
  std::vector<uint8_t> v;
  v.reserve(head.size() + n);
  v.insert(v.end(), head.begin(), head.end());
  v.insert(v.end(), tail, tail + n);
  return v;
}

}  // namespace

std::vector<uint8_t> Frame16(const std::vector<uint8_t>& payload, uint8_t direction) {
  std::vector<uint8_t> f = Join({0x46, 0xB9, direction, 0, 0}, payload.data(), payload.size());
  const size_t length = f.size() - 2 + 3;  // direction byte through the end byte
  f[3] = static_cast<uint8_t>(length >> 8);
  f[4] = static_cast<uint8_t>(length);
  uint16_t sum = 0;
  for (size_t i = 2; i < f.size(); ++i) sum = static_cast<uint16_t>(sum + f[i]);
  f.push_back(static_cast<uint8_t>(sum >> 8));
  f.push_back(static_cast<uint8_t>(sum));
  f.push_back(0x16);
  return f;
}

bool ParseFrame16(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& payload) {
  const size_t end = bytes.size();
  // Shortest: 46 B9 68, length, one payload byte, sum, 16.
  if (end < 9 || bytes[end - 1] != 0x16) return false;
  for (size_t s = end - 9 + 1; s-- > 0;) {
    if (bytes[s] != 0x46 || bytes[s + 1] != 0xB9 || bytes[s + 2] != 0x68) continue;
    const size_t length = (static_cast<size_t>(bytes[s + 3]) << 8) | bytes[s + 4];
    if (length < 7 || s + 2 + length != end) continue;
    uint16_t sum = 0;
    for (size_t i = s + 2; i < end - 3; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
    if (sum != ((bytes[end - 3] << 8) | bytes[end - 2])) continue;
    payload.assign(bytes.begin() + static_cast<long>(s + 5), bytes.end() - 3);
    return true;
  }
  return false;
}

std::optional<uint16_t> StatusMagic(const std::vector<uint8_t>& payload) {
  if (payload.size() < 22 || payload[0] != 0x50) return std::nullopt;
  return static_cast<uint16_t>((payload[20] << 8) | payload[21]);
}

namespace {

uint32_t Be32(const std::vector<uint8_t>& p, size_t at) {
  return (static_cast<uint32_t>(p[at]) << 24) | (static_cast<uint32_t>(p[at + 1]) << 16) |
         (static_cast<uint32_t>(p[at + 2]) << 8) | p[at + 3];
}

void PutBe32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
  p[at] = static_cast<uint8_t>(v >> 24);
  p[at + 1] = static_cast<uint8_t>(v >> 16);
  p[at + 2] = static_cast<uint8_t>(v >> 8);
  p[at + 3] = static_cast<uint8_t>(v);
}

}  // namespace

PartStatus ParseStatus(Protocol protocol, const std::vector<uint8_t>& p, uint32_t syncBaud) {
  PartStatus s;
  const std::optional<uint16_t> magic = StatusMagic(p);
  if (!magic) return s;
  s.magic = *magic;
  s.payload = p;
  s.version = p[17];
  s.stepping = static_cast<char>(p[18]);
  switch (protocol) {
    case Protocol::Stc12: {
      // 50, eight pulse counts, version, stepping, 00, magic, 8C, MCS0..7,
      // then the unique ID on boot loaders that send one.
      if (p.size() < 27) return s;
      double sum = 0;
      for (size_t i = 0; i < 8; ++i) sum += (p[1 + 2 * i] << 8) | p[2 + 2 * i];
      s.clockHz = syncBaud * (sum / 8) * 12.0 / 7.0;
      s.mcs.assign(p.begin() + 23, p.begin() + 27);
      if (p.size() >= 38) s.uid.assign(p.begin() + 31, p.begin() + 38);
      break;
    }
    case Protocol::Stc15: {
      // 50, wake-up timer, factory trim, MCS2..4, frequency (32 bits), MCSX,
      // crystal count, 00 00, version, stepping, 00, magic, minor ...; the
      // STC15W4 packet also carries the core voltage setting (MCSY).
      if (p.size() < 23) return s;
      s.minor = p[22];
      s.mcs = {0xFF, 0xFF, p[5], p[6], p[7], p[12], static_cast<uint8_t>(p.size() > 37 ? p[37] : 0xFF)};
      s.externalClock = (p[7] & 0x01) == 0;
      if (s.externalClock) {
        s.clockHz = static_cast<double>(syncBaud) * ((p[13] << 8) | p[14]);
      } else {
        const uint32_t f = Be32(p, 8);
        s.clockHz = f == 0xFFFFFFFFu ? 0 : f;
      }
      break;
    }
    case Protocol::Stc15a: {
      const Stc15aStatus a = ParseStc15aStatus(p, syncBaud);
      if (!a.valid) return s;
      s.clockHz = a.clockHz;
      s.mcs = a.mcs;
      break;
    }
    case Protocol::Stc8: {
      // 50, frequency (32 bits), trim, divider, MCS0..2 among fixed bytes,
      // wake-up timer, MCS3, MCS4, version, stepping, 00, magic, minor ...
      if (p.size() < 23) return s;
      s.minor = p[22];
      const uint32_t f = Be32(p, 1);
      s.clockHz = f == 0xFFFFFFFFu ? 0 : f;
      s.mcs = {p[9], p[10], p[11], p[15], p[16]};
      break;
    }
  }
  s.valid = true;
  return s;
}

QString VersionString(const PartStatus& s) {
  QString v = QStringLiteral("%1.%2").arg(s.version >> 4).arg(s.version & 0x0F);
  if (s.minor != 0) v += QStringLiteral(".%1").arg(s.minor);
  if (s.stepping >= 0x20 && s.stepping < 0x7F) v += QChar(s.stepping);
  return v;
}

QString HexString(const std::vector<uint8_t>& bytes) { return BytesToHex(bytes); }

bool UsesGuardBytes(const PartStatus& s) { return s.version >= 0x72; }

// --- Trimming ------------------------------------------------------------

double CountToHz(uint16_t count, uint32_t syncBaud) { return count * (syncBaud / 2.0); }

std::vector<uint8_t> ChallengePacket(const std::vector<Trim>& trims, size_t slotCount) {
  std::vector<uint8_t> p = {0x00, static_cast<uint8_t>(trims.size())};
  const size_t n = std::max(slotCount, trims.size());
  for (size_t i = 0; i < n; ++i) {
    const Trim t = i < trims.size() ? trims[i] : Trim{};
    p.push_back(t.a);
    p.push_back(t.b);
  }
  return p;
}

std::vector<uint16_t> ChallengeCounts(const std::vector<uint8_t>& p) {
  if (p.size() < 2 || p[0] != 0x00) return {};
  const size_t n = p[1];
  if (p.size() < 2 + 2 * n) return {};
  std::vector<uint16_t> counts;
  for (size_t i = 0; i < n; ++i) counts.push_back(static_cast<uint16_t>((p[2 + 2 * i] << 8) | p[3 + 2 * i]));
  return counts;
}

namespace {

const uint8_t kStc15Ranges[4] = {0xC0, 0x80, 0x40, 0x00};  // slowest first

// Six adjust values from `centre` - 2, inside 00..FF.
std::vector<Trim> SixAround(int centre, uint8_t range) {
  const int first = std::clamp(centre - 2, 0, 255 - 5);
  std::vector<Trim> t;
  for (int i = 0; i < 6; ++i) t.push_back({static_cast<uint8_t>(first + i), range});
  return t;
}

// x where the line through (x0, y0), (x1, y1) reaches y.
double Interpolate(double x0, double y0, double x1, double y1, double y) {
  if (y1 == y0) return x0;
  return x0 + (y - y0) * (x1 - x0) / (y1 - y0);
}

}  // namespace

std::vector<Trim> Stc15FirstRound() {
  std::vector<Trim> t;
  for (uint8_t range : kStc15Ranges)
    for (uint8_t adj : {0x00, 0x80, 0xFF})
      if (!(range == 0x00 && adj == 0xFF)) t.push_back({adj, range});
  return t;
}

std::vector<Trim> Stc15Around(const std::vector<double>& f, double target) {
  if (f.size() < 11) return {};
  // Per range: the measurements at adjust 00, 80 and FF (the fastest range
  // only to 80; its upper half is extrapolated).
  int bestRange = -1;
  double bestMargin = -1e300, bestAdj = 0x80;
  for (int r = 0; r < 4; ++r) {
    const double f0 = f[3 * r], f80 = f[3 * r + 1];
    const double fFF = r < 3 ? f[3 * r + 2] : f80 + (f80 - f0) * 127.0 / 128.0;
    const double lo = std::min(f0, fFF), hi = std::max(f0, fFF);
    // How far inside the range the target lies, relative to its span.
    const double margin = std::min(target - lo, hi - target) / (hi - lo);
    if (margin <= bestMargin) continue;
    bestMargin = margin;
    bestRange = r;
    bestAdj = target <= f80 ? Interpolate(0x00, f0, 0x80, f80, target) : Interpolate(0x80, f80, 0xFF, fFF, target);
  }
  if (bestRange < 0) return {};
  return SixAround(static_cast<int>(std::lround(bestAdj)), kStc15Ranges[bestRange]);
}

std::vector<Trim> Stc15Near(Trim t) { return SixAround(t.a, t.b); }

int Stc8Divider(double target) {
  if (target <= 0) return 0;
  const double middle = (kStc8BandLowHz + kStc8BandHighHz) / 2;
  int best = 0;
  double bestDistance = 1e300;
  for (int d = 1; d <= 32; ++d) {
    const double f = target * d;
    if (f < kStc8BandLowHz || f > kStc8BandHighHz) continue;
    // The band's ends are where a part's spread may leave it short.
    const double distance = std::abs(f - middle);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = d;
    }
  }
  return best;
}

std::vector<Trim> Stc8FirstRound() { return {{0x00, 0x00}, {0x80, 0x00}}; }

namespace {
std::vector<Trim> TwelveAround(int centre) {
  const int first = std::clamp(centre - 1, 0, 255 - 2);
  std::vector<Trim> t;
  for (int i = 0; i < 3; ++i)
    for (uint8_t fine = 0; fine < 4; ++fine) t.push_back({static_cast<uint8_t>(first + i), fine});
  return t;
}
}  // namespace

std::vector<Trim> Stc8Around(const std::vector<double>& f, double bandHz) {
  if (f.size() < 2) return {};
  return TwelveAround(static_cast<int>(std::lround(Interpolate(0x00, f[0], 0x80, f[1], bandHz))));
}

std::vector<Trim> Stc8Near(Trim t) { return TwelveAround(t.a); }

double CountToHzWholeBit(uint16_t count, uint32_t syncBaud) { return static_cast<double>(count) * syncBaud; }

std::vector<Trim> Stc8gFirstRound() { return {{0x00, 0x00}, {0x80, 0x00}, {0x00, 0x80}, {0x80, 0x80}, {0xFF, 0x00}}; }

std::vector<Trim> Stc8dFirstRound() {
  std::vector<Trim> t;
  for (uint8_t band : {0x00, 0x10, 0x20, 0x30}) {
    t.push_back({0x00, band});
    t.push_back({0xFF, band});
  }
  return t;
}

std::optional<BandChoice> ChooseBand(const std::vector<Trim>& first, const std::vector<double>& hz, double targetHz) {
  // Pairs of the first round: both ends of one band, the lower trim first.
  for (int divider = 1; divider <= 5; ++divider) {
    const double want = targetHz * divider;
    for (size_t i = 0; i + 1 < std::min(first.size(), hz.size()); i += 2) {
      const Trim lo = first[i], hi = first[i + 1];
      if (lo.b != hi.b || hz[i] >= hz[i + 1]) continue;
      if (want < hz[i] || want > hz[i + 1]) continue;
      const double a = Interpolate(lo.a, hz[i], hi.a, hz[i + 1], want);
      return BandChoice{Trim{static_cast<uint8_t>(std::clamp<long>(std::lround(a), 0, 255)), lo.b}, divider};
    }
  }
  return std::nullopt;
}

std::vector<Trim> BandTwelve(Trim t) {
  const int first = std::clamp(t.a - 6, 0, 255 - 11);
  std::vector<Trim> out;
  for (int i = 0; i < 12; ++i) out.push_back({static_cast<uint8_t>(first + i), t.b});
  return out;
}

std::vector<uint8_t> Stc8dSwitch(Trim userTrim, const ModernSpeed& speed) {
  return {0x01, 0x00, 0x00, static_cast<uint8_t>(speed.reload >> 8), static_cast<uint8_t>(speed.reload),
          userTrim.b, userTrim.a, 0x98};
}

TrimChoice Nearest(const std::vector<Trim>& trims, const std::vector<double>& hz, double target) {
  TrimChoice c;
  double best = 1e300;
  for (size_t i = 0; i < std::min(trims.size(), hz.size()); ++i) {
    const double d = std::abs(hz[i] - target);
    if (d < best) {
      best = d;
      c.trim = trims[i];
      c.hz = hz[i];
    }
  }
  if (target > 0) c.errorPercent = (c.hz - target) / target * 100;
  return c;
}

// --- Speed ---------------------------------------------------------------

ModernSpeed PlanModernSpeed(Protocol p, double clock) {
  ModernSpeed s;
  const double samples = p == Protocol::Stc12 ? 16 : 4;
  const long range = p == Protocol::Stc12 ? 256 : 65536;
  if (clock <= 0) return s;
  for (uint32_t baud : {115200u, 57600u, 38400u, 19200u, 9600u, 4800u, 2400u}) {
    const long divisor = std::lround(clock / (samples * baud));
    if (divisor < 1 || divisor >= range) continue;
    const double actual = clock / (samples * static_cast<double>(divisor));
    if (std::abs(actual - baud) > baud * kSpeedTolerance) continue;
    s.baud = baud;
    s.reload = static_cast<uint16_t>(range - divisor);
    s.actualBaud = actual;
    return s;
  }
  return s;
}

uint8_t ModernIapWait(Protocol p, double clockHz) {
  // STC12 and STC15 share the wait table (data sheets, IAP_CONTR); STC15
  // programs at its fixed programming clock.
  return Stc12IapWait(p == Protocol::Stc15 || p == Protocol::Stc15a ? kStc15ProgramHz : clockHz);
}

std::vector<uint8_t> Stc12Handshake(uint16_t magic) {
  return {0x50, 0x00, 0x00, 0x36, 0x01, static_cast<uint8_t>(magic >> 8), static_cast<uint8_t>(magic)};
}

std::vector<uint8_t> Stc12SpeedPacket(uint8_t command, const ModernSpeed& speed, uint8_t iapWait) {
  const uint8_t brt = static_cast<uint8_t>(speed.reload);
  // The part waits this long after the change before it listens (the
  // maker's program sends A0).
  constexpr uint8_t kDelay = 0xA0;
  std::vector<uint8_t> p = {command, 0xC0, brt, 0x3F, static_cast<uint8_t>(2 * (256 - brt)), kDelay};
  if (command == 0x8F) p.push_back(iapWait);
  return p;
}

std::vector<uint8_t> Stc12Finish(uint16_t magic) {
  return {0x69, 0x00, 0x00, 0x36, 0x01, static_cast<uint8_t>(magic >> 8), static_cast<uint8_t>(magic)};
}

std::vector<uint8_t> Stc12Erase(uint32_t eraseBytes, uint32_t codeFlash) {
  // Counts of 256-byte blocks, in whole 512-byte sectors; then a fixed run
  // 80 down to 0E that guards against an erase by line noise.
  const uint32_t blocks = std::min<uint32_t>(0xFE, (eraseBytes + 511) / 512 * 2);
  const uint8_t zeros[12] = {};
  std::vector<uint8_t> p = Join({0x84, 0x00, 0x00, static_cast<uint8_t>(blocks), 0x00, 0x00,
                                 static_cast<uint8_t>(std::min<uint32_t>(0xFF, codeFlash / 256))},
                                zeros, sizeof zeros);
  for (int v = 0x80; v >= 0x0E; --v) p.push_back(static_cast<uint8_t>(v));
  return p;
}

std::vector<uint8_t> Stc12Write(uint16_t address, const uint8_t* block) {
  return Join({0x00, 0x00, 0x00, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0x00, 0x80},
              block, 128);
}

std::vector<uint8_t> Stc12Options(const std::vector<uint8_t>& mcs, double clockHz) {
  std::vector<uint8_t> p = {0x8D};
  for (size_t i = 0; i < 16; ++i) p.push_back(i < mcs.size() ? mcs[i] : 0xFF);
  p.resize(p.size() + 4);
  PutBe32(p, p.size() - 4, static_cast<uint32_t>(std::lround(clockHz)));
  return p;
}

std::vector<uint8_t> Stc12bOptions(const std::vector<uint8_t>& mcs, double clockHz) {
  // The STC12C52xx/56xx boot loader takes its four option bytes in the
  // layout of the STC12C2052 generation: each byte stands twice, the clock
  // twice, the rest FF.
  const auto m = [&mcs](size_t i) -> uint8_t { return i < mcs.size() ? mcs[i] : 0xFF; };
  const uint32_t hz = static_cast<uint32_t>(std::lround(clockHz));
  const auto clock = [hz](std::vector<uint8_t>& p) {
    for (int shift = 24; shift >= 0; shift -= 8) p.push_back(static_cast<uint8_t>(hz >> shift));
  };
  std::vector<uint8_t> p = {0x8D, m(0), m(1), m(2), 0xFF, m(3)};
  clock(p);
  p.insert(p.end(), {m(3), 0xFF, m(0), m(1), 0xFF, 0xFF, 0xFF, 0xFF, m(2)});
  p.insert(p.end(), 7, 0xFF);
  clock(p);
  p.insert(p.end(), 3, 0xFF);
  return p;
}

std::vector<uint8_t> Stc15Switch(Trim programTrim, const ModernSpeed& speed, uint8_t iapWait) {
  // 01, the trim for the programming clock, the UART reload, then two bytes
  // every dump shows as 80 7x, and the IAP wait.
  return {0x01, programTrim.a, programTrim.b, static_cast<uint8_t>(speed.reload >> 8),
          static_cast<uint8_t>(speed.reload), 0x80, 0x73, iapWait};
}

std::vector<uint8_t> Stc8Switch(Trim userTrim, const ModernSpeed& speed) {
  // 01 00 00, the UART reload for the 24 MHz programming clock, 01, the
  // trim chosen, 80 (as the dumps show them).
  return {0x01, 0x00, 0x00, static_cast<uint8_t>(speed.reload >> 8), static_cast<uint8_t>(speed.reload),
          0x01, userTrim.a, 0x80};
}

namespace {
std::vector<uint8_t> WithGuard(std::vector<uint8_t> head, bool guard) {
  if (guard) head.insert(head.end(), {0x00, 0x00, 0x5A, 0xA5});
  return head;
}
}  // namespace

std::vector<uint8_t> ModernPrepare(bool guard) { return WithGuard({0x05}, guard); }

std::vector<uint8_t> ModernErase(bool guard) {
  return guard ? WithGuard({0x03}, true) : std::vector<uint8_t>{0x03, 0x00};
}

std::vector<uint8_t> ModernWrite(bool first, uint16_t address, const uint8_t* block, bool guard, size_t size) {
  const uint8_t op = first ? 0x22 : 0x02;
  const uint8_t hi = static_cast<uint8_t>(address >> 8), lo = static_cast<uint8_t>(address);
  return guard ? Join({op, hi, lo, 0x5A, 0xA5}, block, size) : Join({op, hi, lo}, block, size);
}

std::vector<uint8_t> ModernWriteFinish() { return {0x07, 0x00, 0x00, 0x5A, 0xA5}; }

std::vector<uint8_t> Stc15Options(const PartStatus& s, const std::vector<uint8_t>& mcs, Trim userTrim,
                                  double userHz, bool guard) {
  // 64 bytes, FF where nothing is set: the frequency one byte in two, MCSX,
  // MCSY, then the trim (adjust, range + 3F) and MCS2..4 at the end.
  std::vector<uint8_t> o(64, 0xFF);
  o[3] = o[6] = o[22] = 0x00;
  const uint32_t f = static_cast<uint32_t>(std::lround(userHz));
  o[23] = static_cast<uint8_t>(f >> 24);
  o[25] = static_cast<uint8_t>(f >> 16);
  o[27] = static_cast<uint8_t>(f >> 8);
  o[29] = static_cast<uint8_t>(f);
  o[31] = mcs.size() > 5 ? mcs[5] : 0xFF;
  o[32] = 0x03;
  o[55] = mcs.size() > 6 ? mcs[6] : 0xFF;
  o[59] = userTrim.a;
  o[60] = static_cast<uint8_t>(userTrim.b + 0x3F);
  for (int i = 0; i < 3; ++i) o[61 + i] = mcs.size() > 2u + i ? mcs[2 + i] : 0xFF;
  (void)s;
  return guard ? Join({0x04, 0x00, 0x00, 0x5A, 0xA5}, o.data(), o.size()) : Join({0x04, 0x00, 0x00}, o.data(), o.size());
}

std::vector<uint8_t> Stc8Options(const std::vector<uint8_t>& mcs, Trim userTrim, int divider, double userHz) {
  // 40 bytes: the frequency, trim and divider, then MCS0 and MCS1..4.
  std::vector<uint8_t> o(40, 0xFF);
  o[3] = o[6] = o[22] = 0x00;
  PutBe32(o, 24, static_cast<uint32_t>(std::lround(userHz)));
  o[28] = userTrim.a;
  o[29] = userTrim.b;
  o[30] = static_cast<uint8_t>(divider);
  const size_t at[5] = {32, 36, 37, 38, 39};
  for (size_t i = 0; i < 5 && i < mcs.size(); ++i) o[at[i]] = mcs[i];
  return Join({0x04, 0x00, 0x00, 0x5A, 0xA5}, o.data(), o.size());
}

// --- Options -------------------------------------------------------------

std::vector<const OptionDef*> OptionsOf(Protocol p, bool mcs251) {
  std::vector<const OptionDef*> out;
  for (const OptionDef& d : OptionDefs())
    if (d.protocol == p && (mcs251 || std::strcmp(d.name, kEepromSizeOption) != 0)) out.push_back(&d);
  return out;
}

namespace {
const OptionValue* ValueOf(const OptionDef& d, const std::vector<uint8_t>& mcs) {
  if (d.byte < 0 || static_cast<size_t>(d.byte) >= mcs.size()) return nullptr;
  const uint8_t bits = mcs[static_cast<size_t>(d.byte)] & d.mask;
  for (const OptionValue& v : d.values)
    if (v.bits == bits) return &v;
  return nullptr;
}
}  // namespace

QStringList DescribeOptions(Protocol p, const std::vector<uint8_t>& mcs, bool mcs251) {
  QStringList lines;
  for (const OptionDef* d : OptionsOf(p, mcs251)) {
    const OptionValue* v = ValueOf(*d, mcs);
    if (!v) continue;
    lines << QStringLiteral("选项 %1 (%2=%3): %4")
                 .arg(QString::fromUtf8(d->label), QString::fromUtf8(d->name), QString::fromUtf8(v->name),
                      QString::fromUtf8(v->text));
  }
  return lines;
}

QString OptionValueName(Protocol p, const std::vector<uint8_t>& mcs, const QString& name) {
  for (const OptionDef* d : OptionsOf(p, true))
    if (name == QLatin1String(d->name)) {
      const OptionValue* v = ValueOf(*d, mcs);
      return v ? QString::fromUtf8(v->name) : QString();
    }
  return {};
}

std::vector<uint8_t> ApplyOptions(Protocol p, const std::vector<uint8_t>& mcs,
                                  const std::vector<std::pair<QString, QString>>& settings, QString& error,
                                  bool mcs251) {
  std::vector<uint8_t> out = mcs;
  for (const auto& [name, value] : settings) {
    const OptionDef* def = nullptr;
    for (const OptionDef* d : OptionsOf(p, mcs251))
      if (name == QLatin1String(d->name)) def = d;
    if (!def && name == QLatin1String(kEepromSizeOption)) {
      error = QStringLiteral("选项 %1 只用于 STC32 (MCS-251) 芯片 ！").arg(name);
      return {};
    }
    if (!def || static_cast<size_t>(def->byte) >= out.size()) {
      error = QStringLiteral("%1 系列没有选项 %2 ！").arg(ProtocolName(p), name);
      return {};
    }
    const OptionValue* chosen = nullptr;
    for (const OptionValue& v : def->values)
      if (value.compare(QLatin1String(v.name), Qt::CaseInsensitive) == 0) chosen = &v;
    if (!chosen) {
      QStringList names;
      for (const OptionValue& v : def->values) names << QString::fromUtf8(v.name);
      error = QStringLiteral("选项 %1 不能取值 %2 (可取: %3) ！").arg(name, value, names.join(QLatin1Char('|')));
      return {};
    }
    uint8_t& b = out[static_cast<size_t>(def->byte)];
    b = static_cast<uint8_t>((b & ~def->mask) | chosen->bits);
  }
  return out;
}

// --- stc15a ----------------------------------------------------------------

Stc15aStatus ParseStc15aStatus(const std::vector<uint8_t>& p, uint32_t syncBaud) {
  // 50, four pulse counts, two other counts, 00 00 00 00, version, stepping,
  // FF, magic, 8C, MCS0..12, ..., the seven trim constants at 51.
  Stc15aStatus s;
  if (p.size() < 58 || p[0] != 0x50) return s;
  double sum = 0;
  for (size_t i = 0; i < 4; ++i) sum += (p[1 + 2 * i] << 8) | p[2 + 2 * i];
  s.countAverage = sum / 4;
  s.clockHz = Stc15aCountToHz(s.countAverage, syncBaud);
  s.mcs.assign(p.begin() + 23, p.begin() + 36);
  std::copy(p.begin() + 51, p.begin() + 58, s.constants.begin());
  s.valid = s.countAverage > 0;
  return s;
}

double Stc15aCountToHz(double count, uint32_t syncBaud) { return count * syncBaud * 12.0 / 7.0; }

std::vector<uint16_t> Stc15aCoarse(double f) {
  // The ranges of the oscillator's coarse steps (high byte 18, 58, 98, D8)
  // as the maker's program tries them; the last pair brackets 22.1184 MHz.
  std::vector<uint16_t> t;
  if (f < 7.5e6) t = {0x1800, 0x1880, 0x1880, 0x18FF};
  else if (f < 10e6) t = {0x1880, 0x18FF, 0x5800, 0x58FF};
  else if (f < 15e6) t = {0x5800, 0x5880, 0x5880, 0x58FF};
  else if (f < 21e6) t = {0x5880, 0x58FF, 0x9800, 0x9880};
  else if (f < 31e6) t = {0x9800, 0x9880, 0x9880, 0x98FF};
  else t = {0xD800, 0xD880, 0xD880, 0xD8B4};
  t.push_back(0x9800);
  t.push_back(0x9880);
  return t;
}

std::vector<uint8_t> Stc15aChallenge(const std::array<uint8_t, 7>& constants, const std::vector<uint16_t>& trims) {
  std::vector<uint8_t> p = {0x65};
  p.insert(p.end(), constants.begin(), constants.end());
  p.insert(p.end(), {0xFF, 0xFF, 0x06, static_cast<uint8_t>(trims.size())});
  for (uint16_t t : trims) p.insert(p.end(), {static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t), 0x02, 0x00});
  return p;
}

std::vector<std::pair<uint16_t, uint16_t>> Stc15aCounts(const std::vector<uint8_t>& p) {
  std::vector<std::pair<uint16_t, uint16_t>> out;
  if (p.size() < 12 || p[0] != 0x65) return out;
  const size_t n = p[11];
  if (p.size() < 12 + 4 * n) return out;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* q = p.data() + 12 + 4 * i;
    out.emplace_back(static_cast<uint16_t>((q[0] << 8) | q[1]), static_cast<uint16_t>((q[2] << 8) | q[3]));
  }
  return out;
}

std::optional<uint16_t> Stc15aInterpolate(std::pair<uint16_t, uint16_t> a, std::pair<uint16_t, uint16_t> b,
                                          double count) {
  if (a.second == b.second) return std::nullopt;
  const double m = (static_cast<double>(b.first) - a.first) / (static_cast<double>(b.second) - a.second);
  const double t = std::round(a.first + m * (count - a.second));
  if (t < 0 || t > 65535) return std::nullopt;
  return static_cast<uint16_t>(t);
}

std::vector<uint8_t> Stc15aSwitch(uint16_t programTrim, uint32_t baud, uint8_t iapWait) {
  // A1 64 B8 and 20 FF 00 as every dump of the fast programming clock has.
  return {0x8E, static_cast<uint8_t>(programTrim >> 8), static_cast<uint8_t>(programTrim),
          static_cast<uint8_t>(230400 / baud), 0xA1, 0x64, 0xB8, 0x00, iapWait, 0x20, 0xFF, 0x00};
}

std::vector<uint8_t> Stc15aErase(uint32_t eraseBytes, uint32_t codeFlash) {
  const uint32_t blocks = std::min<uint32_t>(0xFE, (eraseBytes + 511) / 512 * 2);
  const uint32_t size = std::min<uint32_t>(0xFE, (codeFlash + 511) / 512 * 2);
  std::vector<uint8_t> p = {0x84, 0xFF, 0x00, static_cast<uint8_t>(blocks), 0x00, 0x00, static_cast<uint8_t>(size)};
  p.resize(p.size() + 12, 0x00);
  for (int v = 0x80; v > 0x5E; --v) p.push_back(static_cast<uint8_t>(v));
  return p;
}

std::vector<uint8_t> Stc15aWrite(uint16_t address, const uint8_t* block) {
  return Join({0x00, 0x00, 0x00, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0x00, 0x40},
              block, kStc15aBlock);
}

std::vector<uint8_t> Stc15aOptions(const std::vector<uint8_t>& mcs13) {
  std::vector<uint8_t> p = {0x8D};
  for (size_t i = 0; i < 13; ++i) p.push_back(i < mcs13.size() ? mcs13[i] : 0xFF);
  p.resize(p.size() + 6, 0xFF);
  return p;
}

}  // namespace stc
