#include "isp/stc/StcFrames.h"

#include "firmware/FirmwareFile.h"
#include "firmware/HexFault.h"
#include "firmware/ihextobin/iHexToBin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

#include <cmath>
#include <cstddef>
#include <vector>

namespace stc {
namespace {

int Digit(QChar c) {
  const char16_t u = c.unicode();
  if (u >= u'A' && u <= u'F') return u - u'A' + 10;
  if (u >= u'a' && u <= u'f') return u - u'a' + 10;
  return u & 0x0F;
}

const char kDigits[] = "0123456789ABCDEF";

struct ModelRow {
  const char* signature;
  const char* name;
  size_t flashSize;   // program flash in bytes
  uint8_t eraseCount; // what the part's fixed erase frame carries (0: its own frame)
  SpeedTimer speedTimer;
};
// Searched in this order; a later match overrides an earlier one.
const ModelRow kModels[] = {
    {"F00282", "STC89C52RC", 8 * 1024, 0x05, SpeedTimer::Timer2},
    {"F10582", "STC89C55RD+", 20 * 1024, 0x0C, SpeedTimer::Timer2},
    {"F11082", "STC89C516RD+", 63 * 1024, 0x0C, SpeedTimer::Timer2},
    {"F00182", "STC89C51RC", 4 * 1024, 0x05, SpeedTimer::Timer2},
    // A 1T part: its boot loader takes an 8-bit reload (the 12C2052AD packet
    // dump shows the same 8F layout: C0, reload, 3F, check, delay, wait).
    {"F20183", "STC12C1052", 1 * 1024, 0x00, SpeedTimer::Brt8},
    {"F10882", "STC89C58RD+", 32 * 1024, 0x07, SpeedTimer::Timer2},
};

struct OscRow {
  const char* signatures[5];
  const char* text;
};
// The "3B00xx" signatures are what the current boot loader's status packet
// gives: its length byte 3B, a 00, then the high byte of the first frequency
// count, which is about 7 x crystal / (12 x 1200) at the connect speed.
const OscRow kOscillators[] = {
    {{"1C0014", "280014", "390014", "3B0014", "3B0015"}, "/时钟频率: 11.0592M"},
    {{"1C0022", "390022", "3B0022", "3B0023", nullptr}, "/时钟频率: 18.432M"},
    {{"1C0029", "390029", "3B0029", "3B002A", nullptr}, "/时钟频率: 22.1184M"},
    {{"1C0045", "390045", "3B0045", "3B0046", nullptr}, "/时钟频率: 36.864M"},
    {{"1C0016", "390016", "3B0016", nullptr, nullptr}, "/时钟频率: 12.000M"},
    {{"1C002D", "39002D", "3B002D", nullptr, nullptr}, "/时钟频率: 24.000M"},
};

}  // namespace

std::vector<uint8_t> HexToBytes(const QString& text) {
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(text.size() / 2));
  for (qsizetype i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<uint8_t>(Digit(text[i]) * 16 + Digit(text[i + 1])));
  return out;
}

QString BytesToHex(const uint8_t* data, size_t count) {
  QString out;
  out.reserve(static_cast<qsizetype>(count * 2));
  for (size_t i = 0; i < count; ++i) {
    out += QLatin1Char(kDigits[data[i] >> 4]);
    out += QLatin1Char(kDigits[data[i] & 0x0F]);
  }
  return out;
}

QString BytesToHex(const std::vector<uint8_t>& bytes) {
  return BytesToHex(bytes.data(), bytes.size());
}

QString FrameChecksum(const QString& text) {
  QString clean = text;
  clean.remove(QLatin1Char(' '));
  clean = clean.trimmed();
  uint8_t sum = 0;
  for (uint8_t b : HexToBytes(clean)) sum = static_cast<uint8_t>(sum + b);
  sum = static_cast<uint8_t>(sum + 1);
  return BytesToHex(&sum, 1);
}

int ModelCodeOf(const QString& reply) {
  int code = 0;
  for (int i = 0; i < 6; ++i)
    if (reply.contains(QLatin1String(kModels[i].signature))) code = i + 1;
  return code;
}

int OscCodeOf(const QString& reply) {
  int code = 0;
  for (int i = 0; i < 6; ++i)
    for (const char* sig : kOscillators[i].signatures)
      if (sig && reply.contains(QLatin1String(sig))) code = i + 1;
  return code;
}

QString ModelName(int modelCode) {
  if (modelCode < 1 || modelCode > 6) return {};
  return QString::fromUtf8(kModels[modelCode - 1].name);
}

size_t FlashSizeOf(int modelCode) {
  if (modelCode < 1 || modelCode > 6) return 0;
  return kModels[modelCode - 1].flashSize;
}

SpeedTimer SpeedTimerOf(int modelCode) {
  if (modelCode < 1 || modelCode > 6) return SpeedTimer::Timer2;
  return kModels[modelCode - 1].speedTimer;
}

QString OscText(int oscCode) {
  if (oscCode < 1 || oscCode > 6) return {};
  return QString::fromUtf8(kOscillators[oscCode - 1].text);
}

std::optional<std::pair<uint16_t, uint8_t>> StatusMagicAndVersion(const QString& statusHex) {
  const std::vector<uint8_t> b = HexToBytes(statusHex);
  const size_t d = b.size() >= 2 && b[0] == 0x46 && b[1] == 0xB9 ? 2 : 0;
  const size_t payload = d + 3;  // 68 and the 16-bit length first
  if (b.size() < payload + 22 || b[d] != 0x68) return std::nullopt;
  return std::make_pair(static_cast<uint16_t>((b[payload + 20] << 8) | b[payload + 21]), b[payload + 17]);
}

double MeasuredClockHz(const QString& statusHex, uint32_t syncBaud) {
  const std::vector<uint8_t> b = HexToBytes(statusHex);
  // 68, a 16-bit length, the packet's first payload byte, then the counts;
  // the header 46 B9 comes first where the part sends one.
  const size_t d = b.size() >= 2 && b[0] == 0x46 && b[1] == 0xB9 ? 2 : 0;
  const size_t first = d + 4;
  if (b.size() < first + 16 || b[d] != 0x68 || syncBaud == 0) return 0;
  double sum = 0;
  for (size_t i = 0; i < 8; ++i) sum += (b[first + 2 * i] << 8) | b[first + 2 * i + 1];
  return syncBaud * (sum / 8) * 12.0 / 7.0;
}

bool SixTModeOf(const QString& statusHex) {
  const std::vector<uint8_t> b = HexToBytes(statusHex);
  const size_t d = b.size() >= 2 && b[0] == 0x46 && b[1] == 0xB9 ? 2 : 0;
  // 68, length, 00, sixteen count bytes, version, stepping, options.
  const size_t at = d + 3 + 1 + 16 + 2;
  return b.size() > at && b[d] == 0x68 && (b[at] & 0x01) == 0;
}

namespace {
const double kCrystals[6] = {11059200, 18432000, 22118400, 36864000, 12000000, 24000000};
}

int OscCodeOfClock(double clockHz) {
  for (int i = 0; i < 6; ++i)
    if (std::abs(clockHz - kCrystals[i]) <= kCrystals[i] * 0.01) return i + 1;
  return 0;
}

QString ClockText(double clockHz) {
  if (const int code = OscCodeOfClock(clockHz)) return OscText(code);
  return QStringLiteral("/时钟频率: %1M").arg(clockHz / 1e6, 0, 'f', 3);
}

uint8_t Stc89IapWait(double clockHz) {
  // WT2..0: 011 up to 5 MHz, 010 up to 10, 001 up to 20, 000 up to 40.
  if (clockHz < 5e6) return 0x83;
  if (clockHz < 10e6) return 0x82;
  if (clockHz < 20e6) return 0x81;
  return 0x80;
}

uint8_t Stc12IapWait(double clockHz) {
  // WT2..0: 111 up to 1 MHz, 110 to 2, 101 to 3, 100 to 6, 011 to 12,
  // 010 to 20, 001 to 24, 000 to 30 (and above, the longest wait).
  const double limits[] = {1e6, 2e6, 3e6, 6e6, 12e6, 20e6, 24e6};
  for (int i = 0; i < 7; ++i)
    if (clockHz < limits[i]) return static_cast<uint8_t>(0x87 - i);
  return 0x80;
}

SpeedPlan PlanSpeed(SpeedTimer timer, double clockHz, bool sixT) {
  SpeedPlan plan;
  if (clockHz <= 0) return plan;
  const double samples = timer == SpeedTimer::Brt8 ? 16 : (sixT ? 16 : 32);
  const long range = timer == SpeedTimer::Brt8 ? 256 : 65536;
  // The fastest speed the part's divider reaches closely enough.
  for (uint32_t baud : {115200u, 57600u, 38400u, 19200u, 9600u, 4800u, 2400u}) {
    const long divisor = std::lround(clockHz / (samples * baud));
    if (divisor < 1 || divisor >= range) continue;
    const double actual = clockHz / (samples * static_cast<double>(divisor));
    if (std::abs(actual - baud) > baud * kSpeedTolerance) continue;
    plan.baud = baud;
    plan.reload = static_cast<uint16_t>(range - divisor);
    plan.actualBaud = actual;
    plan.iapWait = timer == SpeedTimer::Brt8 ? Stc12IapWait(clockHz) : Stc89IapWait(clockHz);
    return plan;
  }
  return plan;
}

namespace {

// Payload of 8F and 8E; 8F carries the IAP wait as well.
std::vector<uint8_t> SpeedPayload(SpeedTimer timer, const SpeedPlan& plan, bool withIap) {
  std::vector<uint8_t> p;
  // The part waits this long after the change before it answers.
  constexpr uint8_t kDelay = 0x28;
  if (timer == SpeedTimer::Timer2) {
    const uint8_t hi = static_cast<uint8_t>(plan.reload >> 8), lo = static_cast<uint8_t>(plan.reload);
    p = {hi, lo, static_cast<uint8_t>(0xFF - hi), static_cast<uint8_t>(2 * (256 - lo)), kDelay};
  } else {
    const uint8_t brt = static_cast<uint8_t>(plan.reload);
    p = {0xC0, brt, 0x3F, static_cast<uint8_t>(2 * (256 - brt)), kDelay};
  }
  if (withIap) p.push_back(plan.iapWait);
  return p;
}

}  // namespace

QString HostFrame(uint8_t command, const std::vector<uint8_t>& payload) {
  // Sized first and filled in place: inserting into a brace-built vector
  // trips a false -Warray-bounds in GCC 12 at -O2.
  std::vector<uint8_t> f(6 + payload.size());
  f[0] = 0x46;
  f[1] = 0xB9;
  f[2] = 0x6A;
  f[5] = command;
  std::copy(payload.begin(), payload.end(), f.begin() + 6);
  // Counted from the direction byte through the end byte.
  const size_t length = f.size() - 2 + 2;
  f[3] = static_cast<uint8_t>(length >> 8);
  f[4] = static_cast<uint8_t>(length);
  const QString text = BytesToHex(f);
  return text + FrameChecksum(text) + QStringLiteral("16");
}

QString SpeedFrame1(SpeedTimer timer, const SpeedPlan& plan) {
  if (plan.baud == 0) return {};
  return HostFrame(0x8F, SpeedPayload(timer, plan, true));
}

QString SpeedFrame2(SpeedTimer timer, const SpeedPlan& plan) {
  if (plan.baud == 0) return {};
  return HostFrame(0x8E, SpeedPayload(timer, plan, false));
}

QString ControlFrame(int modelCode) {
  if (modelCode >= 1 && modelCode <= 4) return QStringLiteral("46B96A000A80020036012D16");
  if (modelCode == 5) return QStringLiteral("46B96A000C8003003601F2012316");
  if (modelCode == 6) return QStringLiteral("46B96A000C8002003601F1082816");
  return {};
}

QString EraseFrame(int modelCode, size_t imageLength) {
  if (modelCode == 5) {
    // The small part's frame names its own range; it is kept as it is.
    return QStringLiteral(
               "46B96A008B84FF0003EA0010000000000000000000000000807F7E7D7C7B7A797877767574737271"
               "706F6E6D6C6B6A69686766") +
           QStringLiteral(
               "6564636261605F5E5D5C5B5A595857565554535251504F4E4D4C4B4A49484746454443424140"
               "3F3E3D3C3B3A3938373635343") +
           QStringLiteral(
               "33231302F2E2D2C2B2A292827262524232221201F1E1D1C1B1A191817161514131211100F0E5A16");
  }
  if (modelCode < 1 || modelCode > 6) return {};
  // Two counts per 512 bytes of image, so a part that holds an earlier
  // firmware is erased under all of the new one.
  const size_t needed = (imageLength + 511) / 512 * 2;
  const size_t count = std::min<size_t>(0xFF, std::max<size_t>(kModels[modelCode - 1].eraseCount, needed));
  const uint8_t c = static_cast<uint8_t>(count);
  const QString text = QStringLiteral("46B96A000D84") + BytesToHex(&c, 1) + QStringLiteral("333333333333");
  return text + FrameChecksum(text) + QStringLiteral("16");
}

QString ClockFrame(bool doubleSpeed) {
  return doubleSpeed ? QStringLiteral("46B96A000A8DFCFFFAFFF516")
                     : QStringLiteral("46B96A000A8DFDFFFDFFF916");
}

QStringList SplitIntoBlocks(const std::vector<uint8_t>& image) {
  QStringList blocks;
  for (size_t at = 0; at < image.size(); at += kBlockSize) {
    const size_t n = std::min<size_t>(kBlockSize, image.size() - at);
    QString text = BytesToHex(image.data() + at, n);
    while (text.size() < kBlockSize * 2) text += QStringLiteral("00");
    blocks << text;
  }
  return blocks;
}

QString DataFrame(int blockIndex, const QString& blockText) {
  const uint16_t address = static_cast<uint16_t>(blockIndex * kBlockSize);
  const uint8_t addr[2] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  QString text = QStringLiteral("46B96A008C000000") + BytesToHex(addr, 2) +
                 QStringLiteral("0080") + blockText;
  return text + FrameChecksum(text) + QStringLiteral("16");
}

uint8_t BlockSum(const QString& blockText) {
  uint8_t sum = 0;
  for (uint8_t b : HexToBytes(blockText)) sum = static_cast<uint8_t>(sum + b);
  return sum;
}

bool BlockReplyMatches(const QString& replyHex, uint8_t sum) {
  const std::vector<uint8_t> r = HexToBytes(replyHex);
  // The direction byte follows the header when there is one.
  const size_t d = r.size() >= 2 && r[0] == 0x46 && r[1] == 0xB9 ? 2 : 0;
  // 68, length, 80, the sum, checksum, 16.
  return r.size() >= d + 7 && r[d] == 0x68 && r[d + 3] == 0x80 && r[d + 4] == sum;
}

int BlockProgress(int blockIndex, int blocks) {
  if (blocks <= 0) return 0;
  const long long num = static_cast<long long>(blockIndex + 1) * 100;
  long long q = num / blocks;
  const long long rem = num % blocks;
  if (rem * 2 > blocks || (rem * 2 == blocks && (q & 1))) ++q;
  return static_cast<int>(q);
}

QString SizeLabelText(size_t length) {
  return QStringLiteral("%1.%2 KB").arg(length / 1024).arg((length % 1024) * 10 / 1024);
}

QString FirmwareVersionOf(const QString& replyHex) {
  const qsizetype bytes = replyHex.size() / 2;
  qsizetype first, second;  // 0-based byte positions
  if (replyHex.size() > 56) {
    first = 20;
    second = 21;
  } else {
    first = std::max<qsizetype>(0, bytes - 8);
    second = std::max<qsizetype>(0, bytes - 7);
  }
  if (bytes == 0) return {};
  first = std::min(first, bytes - 1);
  second = std::min(second, bytes - 1);
  const std::vector<uint8_t> b = HexToBytes(replyHex.mid(second * 2, 2));
  return replyHex.mid(first * 2, 2) + QChar(static_cast<char16_t>(b.empty() ? 0 : b[0]));
}

QString VersionText(const QString& firmwareVersion) {
  return firmwareVersion.left(1) + QStringLiteral(".") + firmwareVersion.mid(1, 2);
}

long CompleteFrameStart(const std::vector<uint8_t>& bytes, SumWidth width) {
  const size_t end = bytes.size();
  // Shortest frame: 68, length, sum, 16.
  if (end < 5 || bytes[end - 1] != 0x16) return -1;
  // The latest start first: a frame inside a longer run of noise wins.
  for (size_t s = end - 5 + 1; s-- > 0;) {
    if (bytes[s] != 0x68) continue;
    const size_t length = (static_cast<size_t>(bytes[s + 1]) << 8) | bytes[s + 2];
    if (length < 5 || s + length != end) continue;
    const bool header = s >= 2 && bytes[s - 2] == 0x46 && bytes[s - 1] == 0xB9;
    bool good = false;
    if (width != SumWidth::Sum16) {
      uint8_t sum = 0;
      for (size_t i = s; i < end - 2; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
      good = sum == bytes[end - 2];
    }
    // The later families: a 16-bit sum, always behind the 46 B9 header.
    if (!good && width != SumWidth::Sum8 && header && length >= 6) {
      uint16_t sum = 0;
      for (size_t i = s; i < end - 3; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
      good = sum == ((bytes[end - 3] << 8) | bytes[end - 2]);
    }
    if (!good) continue;
    if (header) return static_cast<long>(s - 2);
    return static_cast<long>(s);
  }
  return -1;
}

namespace {

// A headed frame ends here by its length, whatever its sum.
bool EndsWithBadSum(const std::vector<uint8_t>& bytes) {
  const size_t end = bytes.size();
  for (size_t s = 2; s + 5 <= end; ++s) {
    if (bytes[s] != 0x68 || bytes[s - 2] != 0x46 || bytes[s - 1] != 0xB9) continue;
    const size_t length = (static_cast<size_t>(bytes[s + 1]) << 8) | bytes[s + 2];
    if (length >= 5 && s + length == end) return true;
  }
  return false;
}

}  // namespace

bool ReplyCollector::Feed(const uint8_t* data, size_t count) {
  // Longest reply is a status packet of some sixty bytes; a stream that
  // never forms a frame must not grow without bound.
  constexpr size_t kKeep = 4096;
  for (size_t i = 0; i < count; ++i) {
    if (pending_.size() >= kKeep) pending_.erase(pending_.begin(), pending_.begin() + kKeep / 2);
    pending_.push_back(data[i]);
    if (data[i] != 0x16) continue;
    const long start = CompleteFrameStart(pending_, Width);
    if (start < 0) {
      if (EndsWithBadSum(pending_)) ++BadSums;
      continue;
    }
    LastReply = BytesToHex(pending_.data() + start, pending_.size() - static_cast<size_t>(start));
    FirmwareVersion = FirmwareVersionOf(LastReply);
    pending_.clear();
    return true;
  }
  return false;
}

QString ReplyCollector::RxHex() const { return BytesToHex(pending_); }

QStringList ProgramLibrarySearchPath() {
  // The dynamic linker's own list for the program: LD_LIBRARY_PATH, the
  // executable's run path ($ORIGIN already expanded), then the system folders.
  QStringList dirs;
  void* self = dlopen(nullptr, RTLD_NOW);
  if (!self) return dirs;
  Dl_serinfo size{};
  if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
    std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    info->dls_size = size.dls_size;
    info->dls_cnt = size.dls_cnt;
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, info) == 0 && dlinfo(self, RTLD_DI_SERINFO, info) == 0)
      for (unsigned i = 0; i < info->dls_cnt; ++i) dirs << QFile::decodeName(info->dls_serpath[i].dls_name);
  }
  dlclose(self);
  return dirs;
}

QString ConverterLibraryPath() {
  const QString name = QStringLiteral("libiHexToBin.so");
  // The converter is private to the program: its folder is on the
  // executables' run path (beside them in a build, /usr/lib/vortana once
  // installed), never in the system's library folders.
  for (const QString& dir : ProgramLibrarySearchPath()) {
    const QString path = QDir(dir).filePath(name);
    if (QFileInfo(path).isFile()) return path;
  }
  // Not found: the linker's own search by name, which fails with the usual
  // "Unable to Load iHexToBin".
  return name;
}

namespace {

// The reader's words for each refusal, as the other families show them.
QString RefusalText(int check, int line, const QString& fileName) {
  const QString name = QFileInfo(fileName).fileName();
  ihex::Fault fault = ihex::Fault::Syntax;
  switch (check) {
    case IHEXTOBIN_CHECK_UNREADABLE:
      return QStringLiteral("无法读取上载文件 %1 ！").arg(QDir::toNativeSeparators(fileName));
    case IHEXTOBIN_CHECK_TOO_LARGE: {
      FirmwareFileRead file;
      file.status = FirmwareFileStatus::TooLarge;
      file.size = QFileInfo(fileName).size();
      return FirmwareFileProblem(fileName, file);
    }
    case IHEXTOBIN_CHECK_NO_EOF: fault = ihex::Fault::NoEndRecord; break;
    case IHEXTOBIN_CHECK_CHECKSUM: fault = ihex::Fault::Checksum; break;
    case IHEXTOBIN_CHECK_ABOVE_64K: fault = ihex::Fault::AboveLimit; break;
    case IHEXTOBIN_CHECK_NOT_INTEL_HEX: fault = ihex::Fault::NotHex; break;
    case IHEXTOBIN_CHECK_UNKNOWN_TYPE: fault = ihex::Fault::UnknownType; break;
    case IHEXTOBIN_CHECK_OVERLAP: fault = ihex::Fault::Overlap; break;
    default: break;
  }
  int type = 0;
  if (fault == ihex::Fault::UnknownType) {
    // The library gives the line; the type is read back from it.
    QFile f(fileName);
    if (f.open(QIODevice::ReadOnly)) {
      const ihex::Result r = [&] {
        const QByteArray text = f.read(ihex::kMaxFileBytes);
        return ihex::Read(text.constData(), static_cast<size_t>(text.size()), kImageCapacity);
      }();
      type = r.type;
    }
  }
  return HexFaultText(fault, line, type, name, kImageCapacity);
}

}  // namespace

HexImage LoadHexImage(const QString& libraryPath, const QString& fileName) {
  HexImage result;
  void* lib = dlopen(QFile::encodeName(libraryPath).constData(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    result.status = ImageStatus::LibraryMissing;
    result.error = QStringLiteral("Unable to Load iHexToBin");
    return result;
  }
  auto decode = reinterpret_cast<DecodeHexFn>(dlsym(lib, "DecodeHex"));
  auto check = reinterpret_cast<CheckHexFn>(dlsym(lib, "CheckHex"));
  if (!decode || !check) {
    const char* why = dlerror();
    result.status = ImageStatus::ExportMissing;
    result.error = why ? QString::fromLocal8Bit(why) : QStringLiteral("DecodeHex not found");
    dlclose(lib);
    return result;
  }
  const QByteArray name = QFile::encodeName(fileName);
  // Nothing of a file that is cut off or damaged is flashed.
  int32_t line = 0;
  result.checkResult = check(name.constData(), &line);
  if (result.checkResult != IHEXTOBIN_CHECK_OK) {
    dlclose(lib);
    result.status = ImageStatus::Refused;
    result.errorLine = line;
    result.error = RefusalText(result.checkResult, line, fileName);
    return result;
  }
  std::vector<uint8_t> work(kImageCapacity, 0);
  result.decodeResult = decode(name.constData(), work.data());
  dlclose(lib);
  if (result.decodeResult != 1) {
    // Checked a moment ago; changed or gone since.
    result.status = ImageStatus::Refused;
    result.error = RefusalText(result.decodeResult == 0 ? IHEXTOBIN_CHECK_UNREADABLE
                                                        : IHEXTOBIN_CHECK_NO_EOF,
                               0, fileName);
    return result;
  }

  // Trailing 00 bytes are never sent; a gap in the file reads as 00.
  size_t length = kImageCapacity;
  while (length > 0 && work[length - 1] == 0) --length;
  if (length == 0) {
    result.status = ImageStatus::NoData;
    return result;
  }
  work.resize(length);
  result.bytes = std::move(work);
  result.status = ImageStatus::Ok;
  return result;
}

}  // namespace stc
