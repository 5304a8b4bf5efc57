// The session of the families after STC89 (STC10/11/12, STC15, STC8),
// taken over from BitBtn1Click once the status packet has named the part.
// It waits the same way (WhileMcuResponse, one-second ticks) and reuses the
// STC89 path's step messages where a step means the same.
#include "isp/stc/STC.h"
#include "isp/IspImagePatch.h"

#include <QFile>

#include <algorithm>
#include <cmath>

#include "isp/stc/StcModern.h"

namespace {

constexpr double kDefaultTargetHz = 11059200;  // the window's default, 11059.2 kHz

QString Mhz(double hz) { return QString::number(hz / 1e6, 'f', 3); }

}  // namespace

bool TSTCFrm::Exchange(const std::vector<uint8_t>& payload, int limit, const QString& timeoutMessage,
                       std::vector<uint8_t>& reply) {
  ReplyPending = true;
  SendHexFrame(stc::BytesToHex(stc::Frame16(payload)));
  if (!WhileMcuResponse(limit, timeoutMessage)) return false;
  reply.clear();
  stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), reply);
  return true;
}

bool TSTCFrm::ExpectReply(const std::vector<uint8_t>& reply, uint8_t command, const QString& step) {
  if (!reply.empty() && reply[0] == command) return true;
  Fail(QStringLiteral("%1失败: 芯片回应 %2 ！").arg(step, stc::BytesToHex(reply)), true);
  return false;
}

// The frame goes out at the old speed; the answer comes at the new one.
bool TSTCFrm::SwitchExchange(const std::vector<uint8_t>& payload, uint32_t baud, int limit,
                             const QString& timeoutMessage, std::vector<uint8_t>& reply) {
  ReplyPending = true;
  SendBeforeSpeedChange(stc::BytesToHex(stc::Frame16(payload)));
  if (!Reopen(baud)) return false;
  if (!WhileMcuResponse(limit, timeoutMessage)) return false;
  reply.clear();
  stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), reply);
  return true;
}

// STC15/STC8: the part answers the switch at the old speed and only then
// changes its own; the host follows once it has the answer.
bool TSTCFrm::SwitchAfterReply(const std::vector<uint8_t>& payload, uint32_t baud, int limit,
                               const QString& timeoutMessage, std::vector<uint8_t>& reply) {
  if (!Exchange(payload, limit, timeoutMessage, reply)) return false;
  return Reopen(baud);
}

// One round of trim challenges: the part measures each trim on the FE
// pulses that follow, and answers with a count per trim.
bool TSTCFrm::TrimRound(const std::vector<stc::Trim>& trims, size_t slotCount, std::vector<double>& hz,
                        bool wholeBit, int filler) {
  ReplyPending = true;
  std::vector<uint8_t> frame = stc::Frame16(stc::ChallengePacket(trims, slotCount));
  frame.insert(frame.end(), static_cast<size_t>(filler), stc::kChallengeFiller);
  SendHexFrame(stc::BytesToHex(frame));
  PulseText = QStringLiteral("FEFE");
  SeekTimer.start();
  const bool answered = WhileMcuResponse(6, QStringLiteral("调整频率超时 ！"));
  SeekTimer.stop();
  PulseText = stc::kConnectPulse;
  if (!answered) return false;
  std::vector<uint8_t> reply;
  stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), reply);
  const std::vector<uint16_t> counts = stc::ChallengeCounts(reply);
  if (counts.size() != trims.size()) {
    Fail(QStringLiteral("调整频率失败: 芯片回应 %1 ！").arg(stc::BytesToHex(reply)), true);
    return false;
  }
  hz.clear();
  for (uint16_t c : counts) hz.push_back(wholeBit ? stc::CountToHzWholeBit(c, SyncBaud) : stc::CountToHz(c, SyncBaud));
  return true;
}

void TSTCFrm::ModernSession(const std::vector<uint8_t>& statusPayload) {
  ModernRun run;
  if (!IdentifyModern(statusPayload, run)) return;
  DescribeModernPart(run);
  if (job_.kind == IspJobKind::Info) {
    EndQuietly(QStringLiteral("读器件信息完成 ！"));
    return;
  }
  if (!PrepareModernData(run)) return;

  // Even parity from here on, as these boot loaders talk.
  SetLineParity(IspParity::Even);
  if (!Reopen(SyncBaud)) return;
  if (run.protocol == stc::Protocol::Stc15a) {
    Stc15aProgram(statusPayload, run);
    return;
  }
  if (!TrimModern(run) || !SwitchModernSpeed(run) || !WriteModern(run) || !SetModernOptions(run)) return;

  // End: the part starts the new program; it does not answer.
  EndWithFlag(run.protocol == stc::Protocol::Stc8 ? 0xFF : 0x82);
}

// The end frame after a download that went through, then the port goes
// back at no parity and the session ends well.
void TSTCFrm::EndWithFlag(uint8_t command) {
  Log(QStringLiteral("发送结束标志 ！"));
  const QString end = stc::BytesToHex(stc::Frame16({command}));
  SendHexFrame(end);
  DrainOutput(static_cast<size_t>(end.size() / 2));
  Log(QStringLiteral("上载数据成功 ！"));
  host_.SetProgress(0);
  ComPort1.ClosePort();
  SetLineParity(IspParity::None);
  Ended(IspResult::Success(QStringLiteral("上载数据成功 ！")));
}

// The model and its engine from the status packet. False when the session
// has ended here: refused, or handed to the STC89 path.
bool TSTCFrm::IdentifyModern(const std::vector<uint8_t>& statusPayload, ModernRun& run) {
  const uint16_t magic = stc::StatusMagic(statusPayload).value_or(0);
  // Every family puts the boot-loader version just before the magic.
  const uint8_t version = statusPayload.size() > 17 ? statusPayload[17] : 0;
  const stc::PartRow* row = stc::FindPart(magic, version);
  const std::optional<stc::Protocol> engine = row ? stc::EngineOf(row->variant) : std::nullopt;
  // The version sits where every family puts it; the rest needs the row.
  stc::PartStatus status = stc::ParseStatus(engine.value_or(stc::Protocol::Stc15), statusPayload, SyncBaud);
  Log(QStringLiteral("连机成功! 固件版本:") + stc::VersionString(status));
  const QString magicText = QStringLiteral("%1").arg(magic, 4, 16, QLatin1Char('0')).toUpper();
  partId_ = magicText;
  if (!row) {
    Fail(QStringLiteral("未支持的 MCU: 型号代码 %1 ！").arg(magicText), true);
    return false;
  }
  if (row->variant == stc::Variant::Stc89) {
    Stc89aProgram(statusPayload, *row, StcImage);
    return false;
  }
  if (!engine) {
    partName_ = QString::fromUtf8(row->name);
    Fail(QStringLiteral("未支持的 MCU: %1 (型号代码 %2, 协议 %3)：%4 ！")
             .arg(partName_, magicText, stc::VariantName(row->variant), stc::VariantRefusal(row->variant)),
         true);
    return false;
  }
  if (!status.valid) {
    Fail(QStringLiteral("未支持的 MCU: 型号代码 %1 ！").arg(magicText), true);
    return false;
  }
  // stc12b keeps its fourth option byte one place further on.
  if (row->variant == stc::Variant::Stc12b && status.mcs.size() == 4 && statusPayload.size() > 27)
    status.mcs[3] = statusPayload[27];
  protocol_ = *engine;
  partName_ = QString::fromUtf8(row->name);
  Rx.Width = stc::SumWidth::Sum16;
  run.row = row;
  run.protocol = *engine;
  run.magic = magic;
  run.status = std::move(status);
  run.guard = stc::UsesGuardBytes(run.status);
  run.userHz = run.programClock = run.status.clockHz;
  return true;
}

// What the part is and holds, in the log and the result.
void TSTCFrm::DescribeModernPart(const ModernRun& run) {
  const stc::PartStatus& status = run.status;
  const bool crystal = run.protocol == stc::Protocol::Stc12 || status.externalClock;
  QStringList described;
  if (crystal) {
    described << partName_ + stc::ClockText(status.clockHz);
  } else {
    described << partName_ + (status.clockHz > 0
                                  ? QStringLiteral("/内部 RC 振荡器, 上次调整为 %1 MHz").arg(Mhz(status.clockHz))
                                  : QStringLiteral("/内部 RC 振荡器, 未调整"));
  }
  described << QStringLiteral("程序区 %1 KB, EEPROM %2 KB")
                   .arg(run.row->codeFlash / 1024.0)
                   .arg(run.row->eeprom / 1024.0);
  described << stc::DescribeOptions(run.protocol, status.mcs, run.row->mcs251);
  for (const QString& line : described) Log(line);
  info_ = described;
  if (crystal) NoteFrequencyIgnored(partName_);
  if (!status.uid.empty() && std::any_of(status.uid.begin(), status.uid.end(), [](uint8_t b) { return b != 0; }))
    uniqueId_ = stc::HexString(status.uid);
}

// Options, code and EEPROM as they will be written, checked against the
// part before anything is erased.
bool TSTCFrm::PrepareModernData(ModernRun& run) {
  const stc::PartRow* row = run.row;
  // STC32 code is linked for 0xFF0000, 8051 code for 0: a file for the
  // other core would run as garbage.
  if (row->mcs251 && !Mcs251Code) {
    Fail(QStringLiteral("%1 为 MCS-251 (STC32) 芯片：程序须位于 0xFF0000 起 (HEX 文件带扩展线性地址记录) ！")
             .arg(partName_),
         true);
    return false;
  }
  if (!row->mcs251 && Mcs251Code) {
    Fail(QStringLiteral("上载文件的程序位于 0xFF0000 起 (MCS-251 程序)，与 %1 不符 ！").arg(partName_), true);
    return false;
  }

  // Options asked for: every name must be one of this family's; the rest
  // keep what the part holds.
  for (auto it = job_.options.cbegin(); it != job_.options.cend(); ++it) run.settings.emplace_back(it.key(), it.value());
  QString optionError;
  run.mcs = stc::ApplyOptions(run.protocol, run.status.mcs, run.settings, optionError, row->mcs251);
  if (run.mcs.empty() && !optionError.isEmpty()) {
    Fail(optionError, true);
    return false;
  }

  // The image: code flash, and EEPROM only where asked for; a production
  // line's bytes (a serial number) in it before anything is erased.
  run.image = StcImage;
  run.eeprom = EepromImage;
  QString patchError;
  if (!ApplyImagePatches(run.image, 0, job_.patches, 0x00, row->codeFlash, &patchError)) {
    Fail(patchError, true);
    return false;
  }
  return row->mcs251 ? CheckStc32Data(run) : SplitCodeAndEeprom(run);
}

// STC32: code up to what the EEPROM asked for leaves; no EEPROM data.
bool TSTCFrm::CheckStc32Data(const ModernRun& run) {
  if (run.image.size() > run.row->codeFlash) {
    Fail(QStringLiteral("上载文件 %1 字节，超出 %2 的 Flash 容量 %3 字节 ！")
             .arg(run.image.size())
             .arg(partName_)
             .arg(run.row->codeFlash),
         true);
    return false;
  }
  if (!run.eeprom.empty()) {
    // Its data flash lies at 0xFE0000, out of reach of the write frame's
    // 16-bit address; no public trace shows another way in.
    Fail(QStringLiteral("%1 的 EEPROM 位于 0xFE0000，串口引导程序的写入帧只带 16 位地址，无法写入 EEPROM 数据 ！")
             .arg(partName_),
         true);
    return false;
  }
  if (!job_.options.contains(QLatin1String(stc::kEepromSizeOption))) return true;
  // The EEPROM asked for is taken from the same flash as the code.
  const uint32_t eepromBytes = run.mcs[4] * 256u;
  const uint32_t total = run.row->totalFlash;
  const uint32_t room = std::min<uint32_t>(65536, total > eepromBytes ? total - eepromBytes : 0);
  if (run.image.size() <= room) return true;
  Fail(QStringLiteral("上载文件 %1 字节，超出 %2 的程序区：EEPROM 设为 %3 字节后程序区只余 %4 字节 ！")
           .arg(run.image.size())
           .arg(partName_)
           .arg(eepromBytes)
           .arg(room),
       true);
  return false;
}

// 8051 parts: a HEX running past the code flash goes into the EEPROM only
// when asked for; the EEPROM must fit and be erased with the code.
bool TSTCFrm::SplitCodeAndEeprom(ModernRun& run) {
  const stc::PartRow* row = run.row;
  std::vector<uint8_t>& image = run.image;
  std::vector<uint8_t>& eeprom = run.eeprom;
  if (image.size() > row->codeFlash) {
    const bool intoEeprom = image.size() <= static_cast<size_t>(row->codeFlash) + row->eeprom;
    if (!intoEeprom) {
      Fail(QStringLiteral("上载文件 %1 字节，超出 %2 的 Flash 容量 %3 字节 ！")
               .arg(image.size())
               .arg(partName_)
               .arg(row->codeFlash + (job_.eepromInImage ? row->eeprom : 0)),
           true);
      return false;
    }
    if (!job_.eepromInImage) {
      Fail(QStringLiteral("上载文件的数据超出 %1 的程序区 (%2 字节)，进入 EEPROM 区；要写入 EEPROM 请明确要求 ！")
               .arg(partName_)
               .arg(row->codeFlash),
           true);
      return false;
    }
    eeprom.assign(image.begin() + row->codeFlash, image.end());
    image.resize(row->codeFlash);
  }
  if (eeprom.size() > row->eeprom) {
    Fail(QStringLiteral("EEPROM 文件 %1 字节，超出 %2 的 EEPROM 容量 %3 字节 ！")
             .arg(eeprom.size())
             .arg(partName_)
             .arg(row->eeprom),
         true);
    return false;
  }
  // STC15 and STC8 erase the data flash with the code only when the part
  // is set so; written over old data it would come out wrong.
  if (!eeprom.empty() && run.protocol != stc::Protocol::Stc12 &&
      stc::OptionValueName(run.protocol, run.status.mcs, QStringLiteral("eeprom_erase")) != QLatin1String("on")) {
    Fail(QStringLiteral("芯片设置为下载时不擦除 EEPROM (eeprom_erase=off)，无法写入 EEPROM；"
                        "请先以 eeprom_erase=on 下载一次 ！"),
         true);
    return false;
  }
  return true;
}

// Trims the internal oscillator to the frequency asked for (STC15, STC8;
// STC12 and parts on a crystal keep their clock).
bool TSTCFrm::TrimModern(ModernRun& run) {
  if (run.protocol == stc::Protocol::Stc12 || run.status.externalClock) return true;
  const double target = job_.frequencyKHz > 0 ? job_.frequencyKHz * 1000 : kDefaultTargetHz;
  Log(QStringLiteral("正在调整频率到 %1 MHz 。。。").arg(Mhz(target)));
  stc::TrimChoice best;
  const bool bands = run.row->variant == stc::Variant::Stc8g || run.row->variant == stc::Variant::Stc8d;
  const bool trimmed = run.protocol == stc::Protocol::Stc15 ? TrimStc15(target, run, best)
                       : bands                              ? TrimBands(target, run, best)
                                                            : TrimStc8(target, run, best);
  if (!trimmed) return false;
  if (std::abs(best.errorPercent) > stc::kTrimTolerancePercent) {
    Fail(QStringLiteral("无法调整到 %1 MHz：最接近的是 %2 MHz (%3%) ！")
             .arg(Mhz(target), Mhz(best.hz), QString::number(best.errorPercent, 'f', 2)),
         true);
    return false;
  }
  run.userTrim = best.trim;
  run.userHz = best.hz;
  Log(QStringLiteral("已调整到 %1 MHz (%2%)").arg(Mhz(run.userHz), QString::number(best.errorPercent, 'f', 2)));
  return true;
}

// STC15: the user's frequency and the programming clock trimmed together,
// six trims each a round.
bool TSTCFrm::TrimStc15(double target, ModernRun& run, stc::TrimChoice& best) {
  // Counts are 16 bits at half the pulse speed: 39 MHz at 1200 bit/s.
  if (target < 4e6 || target > 39e6) {
    Fail(QStringLiteral("无法调整到 %1 MHz：内部 RC 振荡器可调范围为 4 至 39 MHz ！").arg(Mhz(target)), true);
    return false;
  }
  std::vector<double> first, second;
  if (!TrimRound(stc::Stc15FirstRound(), 12, first)) return false;
  std::vector<stc::Trim> user = stc::Stc15Around(first, target);
  std::vector<stc::Trim> prog = stc::Stc15Around(first, stc::kStc15ProgramHz);
  for (int round = 0; round < 3; ++round) {
    std::vector<stc::Trim> both = user;
    both.insert(both.end(), prog.begin(), prog.end());
    if (!TrimRound(both, 12, second)) return false;
    const std::vector<double> userHzs(second.begin(), second.begin() + 6);
    const std::vector<double> progHzs(second.begin() + 6, second.end());
    best = stc::Nearest(user, userHzs, target);
    const stc::TrimChoice progBest = stc::Nearest(prog, progHzs, stc::kStc15ProgramHz);
    run.programTrim = progBest.trim;
    if (std::abs(best.errorPercent) <= stc::kTrimTolerancePercent &&
        std::abs(progBest.errorPercent) <= stc::kTrimTolerancePercent)
      break;
    // Closer in where the best one lies.
    user = stc::Stc15Near(best.trim);
    prog = stc::Stc15Near(progBest.trim);
  }
  run.programClock = stc::kStc15ProgramHz;
  return true;
}

// stc8g/stc8d: bands measured at both ends first, then twelve trims around
// where the target (times the divider) lies in its band.
bool TSTCFrm::TrimBands(double target, ModernRun& run, stc::TrimChoice& best) {
  const bool g = run.row->variant == stc::Variant::Stc8g;
  const std::vector<stc::Trim> round1 = g ? stc::Stc8gFirstRound() : stc::Stc8dFirstRound();
  std::vector<double> first, second;
  if (!TrimRound(round1, round1.size(), first, true, g ? 12 : 0)) return false;
  const std::optional<stc::BandChoice> band = stc::ChooseBand(round1, first, target);
  if (!band) {
    Fail(QStringLiteral("无法调整到 %1 MHz：内部 RC 振荡器经 1 至 5 分频都达不到 ！").arg(Mhz(target)), true);
    return false;
  }
  run.divider = band->divider;
  const double bandHz = target * run.divider;
  std::vector<stc::Trim> trims = stc::BandTwelve(band->centre);
  for (int round = 0; round < 3; ++round) {
    if (!TrimRound(trims, 12, second, true, g ? 19 : 0)) return false;
    best = stc::Nearest(trims, second, bandHz);
    if (std::abs(best.errorPercent) <= stc::kTrimTolerancePercent) break;
    trims = stc::BandTwelve(best.trim);
  }
  best.hz /= run.divider;
  run.programClock = stc::kStc8ProgramHz;
  return true;
}

// STC8A/8F: one band, lower frequencies through the divider.
bool TSTCFrm::TrimStc8(double target, ModernRun& run, stc::TrimChoice& best) {
  run.divider = stc::Stc8Divider(target);
  if (run.divider == 0) {
    Fail(QStringLiteral("无法调整到 %1 MHz：内部 RC 振荡器经分频可达 %2 至 %3 MHz ！")
             .arg(Mhz(target), Mhz(stc::kStc8BandLowHz / 32), Mhz(stc::kStc8BandHighHz)),
         true);
    return false;
  }
  const double band = target * run.divider;
  std::vector<double> first, second;
  if (!TrimRound(stc::Stc8FirstRound(), 2, first)) return false;
  std::vector<stc::Trim> trims = stc::Stc8Around(first, band);
  for (int round = 0; round < 3; ++round) {
    if (!TrimRound(trims, 12, second)) return false;
    best = stc::Nearest(trims, second, band);
    if (std::abs(best.errorPercent) <= stc::kTrimTolerancePercent) break;
    trims = stc::Stc8Near(best.trim);
  }
  best.hz /= run.divider;
  run.programClock = stc::kStc8ProgramHz;
  return true;
}

// The programming speed: STC12 tests it and falls back before it switches;
// STC15/STC8 switch on the part's answer and then prepare the writing.
bool TSTCFrm::SwitchModernSpeed(ModernRun& run) {
  const stc::Protocol protocol = run.protocol;
  const stc::ModernSpeed speed = stc::PlanModernSpeed(protocol, run.programClock);
  if (speed.baud == 0) {
    host_.ShowMessage(QStringLiteral("Vortana"), QStringLiteral("当前版本支持 Oscillator: 4 至 40 MHz ！"));
    Fail(QStringLiteral("未支持的 Oscillator ！"), true);
    return false;
  }
  TargetBaud = speed.baud;
  const uint8_t iap = stc::ModernIapWait(protocol, run.programClock);
  std::vector<uint8_t> reply;
  if (protocol == stc::Protocol::Stc12) {
    // Announce the handshake, test the new speed, fall back, switch.
    if (!Exchange(stc::Stc12Handshake(run.magic), 6, QStringLiteral("调整波特率一超时 ！"), reply)) return false;
    if (!ExpectReply(reply, 0x8F, QStringLiteral("调整波特率一"))) return false;
    if (!SwitchExchange(stc::Stc12SpeedPacket(0x8F, speed, iap), speed.baud, 6,
                        QStringLiteral("调整波特率一超时 ！"), reply))
      return false;
    if (!ExpectReply(reply, 0x8F, QStringLiteral("调整波特率一"))) return false;
    Log(QStringLiteral("调整波特率一完成 ！"));
    Log(QStringLiteral("第二次调整波特率 。。。"));
    if (!Reopen(SyncBaud)) return false;
    Pause(100);
    if (!SwitchExchange(stc::Stc12SpeedPacket(0x8E, speed, iap), speed.baud, 6,
                        QStringLiteral("调整波特率二超时 ！"), reply))
      return false;
    if (!ExpectReply(reply, 0x84, QStringLiteral("调整波特率二"))) return false;
    Log(QStringLiteral("调整波特率二完成 ！"));
    return true;
  }
  const bool bands = run.row->variant == stc::Variant::Stc8g || run.row->variant == stc::Variant::Stc8d;
  const std::vector<uint8_t> packet = protocol == stc::Protocol::Stc15 ? stc::Stc15Switch(run.programTrim, speed, iap)
                                      : bands                          ? stc::Stc8dSwitch(run.userTrim, speed)
                                                                       : stc::Stc8Switch(run.userTrim, speed);
  if (!SwitchAfterReply(packet, speed.baud, 6, QStringLiteral("调整波特率超时 ！"), reply)) return false;
  if (!ExpectReply(reply, 0x01, QStringLiteral("调整波特率"))) return false;
  Log(QStringLiteral("调整波特率完成 (%1 bit/s) ！").arg(speed.baud));
  Log(QStringLiteral("正在发送控制信息 。。。"));
  if (!Exchange(stc::ModernPrepare(run.guard), 6, QStringLiteral("写控制信息超时 ！"), reply)) return false;
  if (!ExpectReply(reply, 0x05, QStringLiteral("写控制信息"))) return false;
  Log(QStringLiteral("发送控制信息完成 ！"));
  return true;
}

// Erase, then everything written in one run from address 0: the code, and
// where EEPROM data follows, zeros up to the EEPROM and then its data.
bool TSTCFrm::WriteModern(ModernRun& run) {
  const bool stc12 = run.protocol == stc::Protocol::Stc12;
  std::vector<uint8_t> stream = run.image;
  if (!run.eeprom.empty()) {
    stream.resize(run.row->codeFlash, 0x00);
    stream.insert(stream.end(), run.eeprom.begin(), run.eeprom.end());
  }
  const size_t blockSize = stc12 ? 128 : stc::kModernBlock;
  stream.resize((stream.size() + blockSize - 1) / blockSize * blockSize, 0x00);
  if (stream.size() > 65536) {
    Fail(QStringLiteral("程序与 EEPROM 共 %1 字节，超出 64 KB 地址范围 ！").arg(stream.size()), true);
    return false;
  }
  if (!EraseModern(run, stream.size())) return false;

  Log(QStringLiteral("正在上载数据 。。。"));
  std::vector<uint8_t> reply;
  const int blocks = static_cast<int>(stream.size() / blockSize);
  for (int k = 0; k < blocks; ++k) {
    const uint16_t address = static_cast<uint16_t>(k * blockSize);
    const uint8_t* block = stream.data() + static_cast<size_t>(k) * blockSize;
    if (!run.eeprom.empty() && address == run.row->codeFlash) Log(QStringLiteral("正在写入 EEPROM 。。。"));
    const std::vector<uint8_t> packet =
        stc12 ? stc::Stc12Write(address, block) : stc::ModernWrite(k == 0, address, block, run.guard, blockSize);
    ReplyPending = true;
    SendHexFrame(stc::BytesToHex(stc::Frame16(packet)));
    host_.SetProgress(stc::BlockProgress(k, blocks));
    if (!WhileMcuResponse(10, QStringLiteral("上载数据超时 ！"))) return false;
    stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), reply);
    uint8_t sum = 0;
    for (size_t i = 0; i < blockSize; ++i) sum = static_cast<uint8_t>(sum + block[i]);
    // STC12 answers with the sum of the block as its flash now holds it;
    // STC15 and STC8 with 02 and 54 once it is written.
    const bool good = stc12 ? reply.size() >= 2 && reply[0] == 0x00 && reply[1] == sum
                            : reply.size() >= 2 && reply[0] == 0x02 && reply[1] == stc::kWriteAccepted;
    if (!good) {
      Fail(QStringLiteral("写入数据校验错误 ！地址: 0x%1")
               .arg(QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper()),
           true);
      return false;
    }
  }
  if (stc12 || !run.guard) return true;
  if (!Exchange(stc::ModernWriteFinish(), 10, QStringLiteral("上载数据超时 ！"), reply)) return false;
  if (reply.size() < 2 || reply[0] != 0x07 || reply[1] != stc::kWriteAccepted) {
    Fail(QStringLiteral("结束写入失败: 芯片回应 %1 ！").arg(stc::BytesToHex(reply)), true);
    return false;
  }
  return true;
}

bool TSTCFrm::EraseModern(ModernRun& run, size_t streamBytes) {
  std::vector<uint8_t> reply;
  Log(QStringLiteral("正在擦除芯片 。。。"));
  if (run.protocol == stc::Protocol::Stc12) {
    if (!Exchange(stc::Stc12Erase(static_cast<uint32_t>(streamBytes), run.row->codeFlash), 12,
                  QStringLiteral("擦除芯片超时 ！"), reply))
      return false;
    if (!ExpectReply(reply, 0x00, QStringLiteral("擦除芯片"))) return false;
  } else {
    if (!Exchange(stc::ModernErase(run.guard), 12, QStringLiteral("擦除芯片超时 ！"), reply)) return false;
    if (!ExpectReply(reply, 0x03, QStringLiteral("擦除芯片"))) return false;
  }
  Log(QStringLiteral("擦除芯片完成 ！"));
  if (reply.size() >= 8) uniqueId_ = stc::HexString(std::vector<uint8_t>(reply.begin() + 1, reply.begin() + 8));
  if (!uniqueId_.isEmpty()) Log(QStringLiteral("芯片序号: %1").arg(uniqueId_));
  return true;
}

bool TSTCFrm::SetModernOptions(ModernRun& run) {
  const stc::Protocol protocol = run.protocol;
  std::vector<uint8_t> reply;
  Log(QStringLiteral("正在设置选项 。。。"));
  if (protocol == stc::Protocol::Stc12) {
    if (!Exchange(stc::Stc12Finish(run.magic), 10, QStringLiteral("设置选项超时 ！"), reply)) return false;
    if (!ExpectReply(reply, 0x8D, QStringLiteral("设置选项"))) return false;
    if (run.row->variant == stc::Variant::Stc12b) {
      if (!Exchange(stc::Stc12bOptions(run.mcs, run.status.clockHz), 10, QStringLiteral("设置选项超时 ！"), reply))
        return false;
      if (!ExpectReply(reply, 0x80, QStringLiteral("设置选项"))) return false;
      if (run.status.version >= stc::kStc12bConfirmFrom) {
        if (!Exchange({0x50}, 10, QStringLiteral("设置选项超时 ！"), reply)) return false;
        if (!ExpectReply(reply, 0x10, QStringLiteral("设置选项"))) return false;
      }
    } else {
      if (!Exchange(stc::Stc12Options(run.mcs, run.status.clockHz), 10, QStringLiteral("设置选项超时 ！"), reply))
        return false;
      if (!ExpectReply(reply, 0x50, QStringLiteral("设置选项"))) return false;
    }
  } else {
    const std::vector<uint8_t> packet =
        protocol == stc::Protocol::Stc15 ? stc::Stc15Options(run.status, run.mcs, run.userTrim, run.userHz, run.guard)
                                         : stc::Stc8Options(run.mcs, run.userTrim, run.divider, run.userHz);
    if (!Exchange(packet, 10, QStringLiteral("设置选项超时 ！"), reply)) return false;
    if (!ExpectReply(reply, 0x04, QStringLiteral("设置选项"))) return false;
  }
  for (const auto& [name, value] : run.settings)
    Log(QStringLiteral("选项 %1 已设为 %2").arg(name, stc::OptionValueName(protocol, run.mcs, name)));
  Log(QStringLiteral("设置选项完成 ！"));
  return true;
}
