#include "isp/stc/StcFrames.h"

#include "firmware/ihextobin/iHexToBin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <dlfcn.h>

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
};
// Searched in this order; a later match overrides an earlier one.
const ModelRow kModels[] = {
    {"F00282", "STC89C52RC", 8 * 1024, 0x05},    {"F10582", "STC89C55RD+", 20 * 1024, 0x0C},
    {"F11082", "STC89C516RD+", 63 * 1024, 0x0C}, {"F00182", "STC89C51RC", 4 * 1024, 0x05},
    {"F20183", "STC12C1052", 1 * 1024, 0x00},    {"F10882", "STC89C58RD+", 32 * 1024, 0x07},
};

struct OscRow {
  const char* signatures[5];
  const char* text;
  uint32_t baud;
};
// The "3B00xx" signatures are what the current boot loader's status packet
// gives: its length byte 3B, a 00, then the high byte of the first frequency
// count, which is about 7 x crystal / (12 x 1200) at the connect speed.
const OscRow kOscillators[] = {
    {{"1C0014", "280014", "390014", "3B0014", "3B0015"}, "/时钟频率: 11.0592M", 115200},
    {{"1C0022", "390022", "3B0022", "3B0023", nullptr}, "/时钟频率: 18.432M", 115200},
    {{"1C0029", "390029", "3B0029", "3B002A", nullptr}, "/时钟频率: 22.1184M", 115200},
    {{"1C0045", "390045", "3B0045", "3B0046", nullptr}, "/时钟频率: 36.864M", 115200},
    {{"1C0016", "390016", "3B0016", nullptr, nullptr}, "/时钟频率: 12.000M", 38400},
    {{"1C002D", "39002D", "3B002D", nullptr, nullptr}, "/时钟频率: 24.000M", 57600},
};

bool SmallModel(int modelCode) { return modelCode == 5 || modelCode == 6; }

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

QString OscText(int oscCode) {
  if (oscCode < 1 || oscCode > 6) return {};
  return QString::fromUtf8(kOscillators[oscCode - 1].text);
}

uint32_t TargetBaudOf(int oscCode) {
  if (oscCode < 1 || oscCode > 6) return 0;
  return kOscillators[oscCode - 1].baud;
}

QString SpeedFrame1(int oscCode, int modelCode) {
  switch (oscCode) {
    case 1:
      return SmallModel(modelCode) ? QStringLiteral("46B96A000C8FC0FA3F0C2883B516")
                                   : QStringLiteral("46B96A000C8FFFFD00062881B016");
    case 2: return QStringLiteral("46B96A000C8FFFFB000A2881B216");
    case 3: return QStringLiteral("46B96A000C8FFFFA000C2880B216");
    case 4: return QStringLiteral("46B96A000C8FFFF600142880B616");
    case 5: return QStringLiteral("46B96A000C8FFFF600142881B716");
    case 6: return QStringLiteral("46B96A000C8FFFF3001A2881BA16");
    default: return {};
  }
}

QString SpeedFrame2(int oscCode, int modelCode) {
  switch (oscCode) {
    case 1:
      return SmallModel(modelCode) ? QStringLiteral("46B96A000B8EC0FA3F0C283016")
                                   : QStringLiteral("46B96A000B8EFFFD0006282D16");
    case 2: return QStringLiteral("46B96A000B8EFFFB000A282F16");
    case 3: return QStringLiteral("46B96A000B8EFFFA000C283016");
    case 4:
    case 5: return QStringLiteral("46B96A000B8EFFF60014283416");
    case 6: return QStringLiteral("46B96A000B8EFFF3001A283716");
    default: return {};
  }
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

long CompleteFrameStart(const std::vector<uint8_t>& bytes) {
  const size_t end = bytes.size();
  // Shortest frame: 68, length, sum, 16.
  if (end < 5 || bytes[end - 1] != 0x16) return -1;
  // The latest start first: a frame inside a longer run of noise wins.
  for (size_t s = end - 5 + 1; s-- > 0;) {
    if (bytes[s] != 0x68) continue;
    const size_t length = (static_cast<size_t>(bytes[s + 1]) << 8) | bytes[s + 2];
    if (length < 5 || s + length != end) continue;
    uint8_t sum = 0;
    for (size_t i = s; i < end - 2; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    if (sum != bytes[end - 2]) continue;
    if (s >= 2 && bytes[s - 2] == 0x46 && bytes[s - 1] == 0xB9) return static_cast<long>(s - 2);
    return static_cast<long>(s);
  }
  return -1;
}

bool ReplyCollector::Feed(const uint8_t* data, size_t count) {
  // Longest reply is a status packet of some sixty bytes; a stream that
  // never forms a frame must not grow without bound.
  constexpr size_t kKeep = 4096;
  for (size_t i = 0; i < count; ++i) {
    if (pending_.size() >= kKeep) pending_.erase(pending_.begin(), pending_.begin() + kKeep / 2);
    pending_.push_back(data[i]);
    if (data[i] != 0x16) continue;
    const long start = CompleteFrameStart(pending_);
    if (start < 0) continue;
    LastReply = BytesToHex(pending_.data() + start, pending_.size() - static_cast<size_t>(start));
    FirmwareVersion = FirmwareVersionOf(LastReply);
    pending_.clear();
    return true;
  }
  return false;
}

QString ReplyCollector::RxHex() const { return BytesToHex(pending_); }

QString ConverterLibraryPath() {
  return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("libiHexToBin.so"));
}

void SaveResourceToFile(const QString& name, const QString& type, const QString& fileName) {
  QFile resource(QStringLiteral(":/%1/%2").arg(type, name));
  if (!resource.open(QIODevice::ReadOnly)) return;
  QSaveFile out(fileName);
  if (!out.open(QIODevice::WriteOnly)) return;
  out.write(resource.readAll());
  if (out.commit())
    QFile::setPermissions(fileName, QFile::permissions(fileName) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                        QFileDevice::ExeOther);
}

void PlaceConverterLibrary(const QString& path) {
  if (!QFile::exists(path)) SaveResourceToFile(QStringLiteral("SRC1"), QStringLiteral("FILE1"), path);
}

namespace {

QString RefusalText(int check, int line, const QString& fileName) {
  const QString name = QDir::toNativeSeparators(fileName);
  switch (check) {
    case IHEXTOBIN_CHECK_UNREADABLE:
      return QStringLiteral("无法读取上载文件 %1 ！").arg(name);
    case IHEXTOBIN_CHECK_NO_EOF:
      return QStringLiteral("上载文件 %1 不完整 (没有结束记录) ！").arg(name);
    case IHEXTOBIN_CHECK_SYNTAX:
      return QStringLiteral("上载文件 %1 第 %2 行格式错误 ！").arg(name).arg(line);
    case IHEXTOBIN_CHECK_NOT_HEX:
      return QStringLiteral("上载文件 %1 第 %2 行含有非十六进制字符 ！").arg(name).arg(line);
    case IHEXTOBIN_CHECK_CHECKSUM:
      return QStringLiteral("上载文件 %1 第 %2 行校验和错误 ！").arg(name).arg(line);
    case IHEXTOBIN_CHECK_ABOVE_64K:
      return QStringLiteral("上载文件 %1 第 %2 行的数据超出 64 KB 地址范围 ！").arg(name).arg(line);
    default:
      return QStringLiteral("上载文件 %1 第 %2 行的地址记录无法处理 ！").arg(name).arg(line);
  }
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
