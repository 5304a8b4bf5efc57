// STC89/90 on the newer boot loader (7.x): the 16-bit-sum frames of the
// later families with the 8051's clock measured on the pulses, no trim; a
// speed switch answered at the old speed, a ping at the new one, erase,
// 128-byte writes and the option byte, each with 46 B9 after the address.
#include "isp/stc/STC.h"

#include <cmath>

#include "isp/stc/StcModern.h"

namespace {

constexpr uint8_t kGuard[] = {0x46, 0xB9};

std::vector<uint8_t> Guarded(std::initializer_list<uint8_t> head) {
  std::vector<uint8_t> p = head;
  p.insert(p.end(), std::begin(kGuard), std::end(kGuard));
  return p;
}

}  // namespace

void TSTCFrm::Stc89aProgram(const std::vector<uint8_t>& statusPayload, const stc::PartRow& row,
                            const std::vector<uint8_t>& image) {
  const QString name = QString::fromUtf8(row.name);
  if (statusPayload.size() < 23) {
    Fail(QStringLiteral("未支持的 MCU: 无法识别的状态包 ！"), true);
    return;
  }
  // The clock: count x 12 x pulse speed; the option byte is payload 1.
  const double clock = 12.0 * ((statusPayload[13] << 8) | statusPayload[14]) * SyncBaud;
  const uint8_t msr = statusPayload[1];
  partName_ = name;
  Log(name + stc::ClockText(clock));
  info_ = QStringList{name + stc::ClockText(clock)};
  if (job_.kind == IspJobKind::Info) {
    EndQuietly(QStringLiteral("读器件信息完成 ！"));
    return;
  }
  if (!job_.options.isEmpty() || !EepromImage.empty() || job_.eepromInImage) {
    Fail(QStringLiteral("STC89 系列没有可设置的选项，也不能写入 EEPROM ！"), true);
    return;
  }
  if (image.size() > row.codeFlash) {
    Fail(QStringLiteral("上载文件 %1 字节，超出 %2 的 Flash 容量 %3 字节 ！").arg(image.size()).arg(name).arg(row.codeFlash),
         true);
    return;
  }
  // 32 samples a bit on a 16-bit reload; the fastest speed within 2.5 %.
  uint32_t baud = 0;
  uint16_t reload = 0;
  for (uint32_t b : {115200u, 57600u, 38400u, 19200u, 9600u, 4800u, 2400u}) {
    const long d = std::lround(clock / (32.0 * b));
    if (d < 1 || d > 65535 || std::abs(clock / (32.0 * d) - b) > b * 0.025) continue;
    baud = b;
    reload = static_cast<uint16_t>(65536 - d);
    break;
  }
  if (baud == 0) {
    Fail(QStringLiteral("未支持的 Oscillator ！"), true);
    return;
  }
  // The IAP wait the data sheet gives for the clock.
  const uint8_t iap = clock < 10e6 ? 0x83 : clock < 30e6 ? 0x82 : clock < 50e6 ? 0x81 : 0x80;

  SetLineParity(IspParity::Even);
  if (!Reopen(SyncBaud)) return;
  std::vector<uint8_t> reply;
  TargetBaud = baud;
  if (!SwitchAfterReply({0x01, static_cast<uint8_t>(reload >> 8), static_cast<uint8_t>(reload), iap}, baud, 6,
                        QStringLiteral("调整波特率超时 ！"), reply))
    return;
  if (!ExpectReply(reply, 0x01, QStringLiteral("调整波特率"))) return;
  if (!Exchange(Guarded({0x05, 0x00, 0x00}), 6, QStringLiteral("调整波特率超时 ！"), reply)) return;
  if (!ExpectReply(reply, 0x05, QStringLiteral("调整波特率"))) return;
  Log(QStringLiteral("调整波特率完成 (%1 bit/s) ！").arg(baud));

  Log(QStringLiteral("正在擦除芯片 。。。"));
  if (!Exchange(Guarded({0x03, 0x00, 0x00}), 12, QStringLiteral("擦除芯片超时 ！"), reply)) return;
  if (!ExpectReply(reply, 0x03, QStringLiteral("擦除芯片"))) return;
  Log(QStringLiteral("擦除芯片完成 ！"));
  if (reply.size() >= 8) uniqueId_ = stc::HexString(std::vector<uint8_t>(reply.begin() + 1, reply.begin() + 8));

  constexpr size_t kBlock = 128;
  std::vector<uint8_t> stream = image;
  stream.resize((stream.size() + kBlock - 1) / kBlock * kBlock, 0x00);
  Log(QStringLiteral("正在上载数据 。。。"));
  const int blocks = static_cast<int>(stream.size() / kBlock);
  for (int k = 0; k < blocks; ++k) {
    const uint16_t address = static_cast<uint16_t>(k * kBlock);
    // The first block after the erase goes as 22, the rest as 02.
    std::vector<uint8_t> packet = Guarded(
        {static_cast<uint8_t>(k == 0 ? 0x22 : 0x02), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)});
    packet.insert(packet.end(), stream.begin() + address, stream.begin() + address + kBlock);
    host_.SetProgress(stc::BlockProgress(k, blocks));
    if (!Exchange(packet, 10, QStringLiteral("上载数据超时 ！"), reply)) return;
    if (reply.size() < 2 || reply[0] != 0x02 || reply[1] != stc::kWriteAccepted) {
      Fail(QStringLiteral("写入数据校验错误 ！地址: 0x%1")
               .arg(QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper()),
           true);
      return;
    }
  }

  // The option byte goes back as the part holds it.
  Log(QStringLiteral("正在设置选项 。。。"));
  std::vector<uint8_t> options = Guarded({0x04, 0x00, 0x00});
  options.push_back(msr);
  if (!Exchange(options, 10, QStringLiteral("设置选项超时 ！"), reply)) return;
  if (!ExpectReply(reply, 0x04, QStringLiteral("设置选项"))) return;
  Log(QStringLiteral("设置选项完成 ！"));

  EndWithFlag(0xFF);
}
