// STC15F10x/20x after the status packet: the RC trim in two rounds of 65
// challenges, the speed switch (8E, answered at the new speed), the STC12
// erase, 64-byte writes, 69 to close, the 13 option bytes with the trim.
#include "isp/stc/STC.h"

#include <algorithm>
#include <cmath>

#include "isp/stc/StcModern.h"

namespace {

constexpr double kDefaultTargetHz = 11059200;
// Speeds the 8E divider reaches exactly from the 22.1184 MHz programming clock.
constexpr uint32_t kStc15aBaud = 115200;

QString Mhz(double hz) { return QString::number(hz / 1e6, 'f', 3); }

}  // namespace

// One challenge round: the part measures each trim on the 7F pulses that
// follow and answers with (trim, count) pairs.
bool TSTCFrm::Stc15aRound(const std::array<uint8_t, 7>& constants, const std::vector<uint16_t>& trims,
                          std::vector<std::pair<uint16_t, uint16_t>>& counts) {
  ReplyPending = true;
  SendHexFrame(stc::BytesToHex(stc::Frame16(stc::Stc15aChallenge(constants, trims))));
  SeekTimer.start();
  const bool answered = WhileMcuResponse(6, QStringLiteral("调整频率超时 ！"));
  SeekTimer.stop();
  if (!answered) return false;
  std::vector<uint8_t> reply;
  stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), reply);
  counts = stc::Stc15aCounts(reply);
  bool same = counts.size() == trims.size();
  for (size_t i = 0; same && i < trims.size(); ++i) same = counts[i].first == trims[i];
  if (!same) {
    Fail(QStringLiteral("调整频率失败: 芯片回应 %1 ！").arg(stc::BytesToHex(reply)), true);
    return false;
  }
  return true;
}

void TSTCFrm::Stc15aProgram(const std::vector<uint8_t>& statusPayload, ModernRun& run) {
  const stc::Stc15aStatus status = stc::ParseStc15aStatus(statusPayload, SyncBaud);
  std::vector<uint8_t> reply;
  if (!Exchange(stc::Stc12Handshake(run.magic), 6, QStringLiteral("调整频率超时 ！"), reply)) return;
  if (!ExpectReply(reply, 0x8F, QStringLiteral("调整频率"))) return;
  if (!Stc15aTrim(status, run)) return;

  // Answered at the new speed.
  TargetBaud = kStc15aBaud;
  if (!SwitchExchange(stc::Stc15aSwitch(run.programTrim16, kStc15aBaud,
                                        stc::ModernIapWait(stc::Protocol::Stc15a, stc::kStc15aProgramHz)),
                      kStc15aBaud, 6, QStringLiteral("调整波特率超时 ！"), reply))
    return;
  if (!ExpectReply(reply, 0x84, QStringLiteral("调整波特率"))) return;
  Log(QStringLiteral("调整波特率完成 (%1 bit/s) ！").arg(kStc15aBaud));

  if (!Stc15aWriteAll(run)) return;

  Log(QStringLiteral("正在设置选项 。。。"));
  if (!Exchange(stc::Stc12Finish(run.magic), 10, QStringLiteral("设置选项超时 ！"), reply)) return;
  if (!ExpectReply(reply, 0x8D, QStringLiteral("设置选项"))) return;
  if (!Exchange(stc::Stc15aOptions(run.mcs), 10, QStringLiteral("设置选项超时 ！"), reply)) return;
  if (!ExpectReply(reply, 0x50, QStringLiteral("设置选项"))) return;
  for (const auto& [name, value] : run.settings)
    Log(QStringLiteral("选项 %1 已设为 %2").arg(name, stc::OptionValueName(stc::Protocol::Stc15a, run.mcs, name)));
  Log(QStringLiteral("设置选项完成 ！"));

  EndWithFlag(0x82);
}

// The user's frequency and the programming clock's trim, read off a coarse
// round and then up to three runs of eleven trims; the user's trim goes
// into MCS3/MCS4.
bool TSTCFrm::Stc15aTrim(const stc::Stc15aStatus& status, ModernRun& run) {
  const double target = job_.frequencyKHz > 0 ? job_.frequencyKHz * 1000 : kDefaultTargetHz;
  Log(QStringLiteral("正在调整频率到 %1 MHz 。。。").arg(Mhz(target)));
  // Counts are 16 bits: at the handshake speed the top of the range must fit.
  const double perCount = stc::Stc15aCountToHz(1, SyncBaud);
  if (target < 4e6 || target > 40e6 || target / perCount > 65000) {
    Fail(QStringLiteral("无法调整到 %1 MHz：内部 RC 振荡器可调范围为 4 至 40 MHz ！").arg(Mhz(target)), true);
    return false;
  }
  const double userCount = target / perCount;
  const double programCount = stc::kStc15aProgramHz / perCount;
  std::vector<std::pair<uint16_t, uint16_t>> first, counts;
  if (!Stc15aRound(status.constants, stc::Stc15aCoarse(target), first)) return false;
  const std::optional<uint16_t> programTrim = stc::Stc15aInterpolate(first[4], first[5], programCount);
  if (programTrim) run.programTrim16 = *programTrim;
  // The coarse pair whose counts bracket the target, else the lower one.
  const bool upper = first[2].second <= userCount && userCount <= first[3].second;
  const auto lo = upper ? first[2] : first[0];
  const auto hi = upper ? first[3] : first[1];
  const std::optional<uint16_t> centre = stc::Stc15aInterpolate(lo, hi, userCount);
  if (!programTrim || !centre) {
    Fail(QStringLiteral("调整频率失败: 芯片对不同调整值测得相同频率 ！"), true);
    return false;
  }
  int start = std::clamp<int>(*centre - 5, std::min(lo.first, hi.first), std::max(lo.first, hi.first));
  stc::TrimChoice best;
  uint16_t bestTrim = 0;
  for (int round = 0; round < 3; ++round) {
    start = std::clamp(start, 0, 65535 - 10);
    std::vector<uint16_t> trims;
    for (int i = 0; i < 11; ++i) trims.push_back(static_cast<uint16_t>(start + i));
    if (!Stc15aRound(status.constants, trims, counts)) return false;
    size_t k = 0;
    for (size_t i = 1; i < counts.size(); ++i)
      if (std::abs(counts[i].second - userCount) < std::abs(counts[k].second - userCount)) k = i;
    bestTrim = counts[k].first;
    best.hz = counts[k].second * perCount;
    best.errorPercent = (best.hz - target) / target * 100;
    if (std::abs(best.errorPercent) <= stc::kTrimTolerancePercent) break;
    // The best at an end of the run: the target lies beyond it.
    start = bestTrim - 5 + (k == 0 ? -5 : k == 10 ? 5 : 0);
  }
  if (std::abs(best.errorPercent) > stc::kTrimTolerancePercent) {
    Fail(QStringLiteral("无法调整到 %1 MHz：最接近的是 %2 MHz (%3%) ！")
             .arg(Mhz(target), Mhz(best.hz), QString::number(best.errorPercent, 'f', 2)),
         true);
    return false;
  }
  Log(QStringLiteral("已调整到 %1 MHz (%2%)").arg(Mhz(best.hz), QString::number(best.errorPercent, 'f', 2)));
  // The part starts from the trim in MCS3/MCS4.
  run.mcs[3] = static_cast<uint8_t>(bestTrim >> 8);
  run.mcs[4] = static_cast<uint8_t>(bestTrim);
  return true;
}

// Erase, then the code (and EEPROM) in 64-byte blocks, each answered with
// its sum as the flash holds it.
bool TSTCFrm::Stc15aWriteAll(ModernRun& run) {
  std::vector<uint8_t> reply;
  std::vector<uint8_t> stream = run.image;
  if (!run.eeprom.empty()) {
    stream.resize(run.row->codeFlash, 0x00);
    stream.insert(stream.end(), run.eeprom.begin(), run.eeprom.end());
  }
  constexpr size_t kBlock = stc::kStc15aBlock;
  stream.resize((stream.size() + kBlock - 1) / kBlock * kBlock, 0x00);

  Log(QStringLiteral("正在擦除芯片 。。。"));
  if (!Exchange(stc::Stc15aErase(static_cast<uint32_t>(stream.size()), run.row->codeFlash), 12,
                QStringLiteral("擦除芯片超时 ！"), reply))
    return false;
  if (!ExpectReply(reply, 0x00, QStringLiteral("擦除芯片"))) return false;
  Log(QStringLiteral("擦除芯片完成 ！"));
  if (reply.size() >= 8) {
    uniqueId_ = stc::HexString(std::vector<uint8_t>(reply.begin() + 1, reply.begin() + 8));
    Log(QStringLiteral("芯片序号: %1").arg(uniqueId_));
  }

  Log(QStringLiteral("正在上载数据 。。。"));
  const int blocks = static_cast<int>(stream.size() / kBlock);
  for (int k = 0; k < blocks; ++k) {
    const uint16_t address = static_cast<uint16_t>(k * kBlock);
    const uint8_t* block = stream.data() + static_cast<size_t>(k) * kBlock;
    if (!run.eeprom.empty() && address == run.row->codeFlash) Log(QStringLiteral("正在写入 EEPROM 。。。"));
    ReplyPending = true;
    SendHexFrame(stc::BytesToHex(stc::Frame16(stc::Stc15aWrite(address, block))));
    host_.SetProgress(stc::BlockProgress(k, blocks));
    if (!WhileMcuResponse(10, QStringLiteral("上载数据超时 ！"))) return false;
    stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), reply);
    // The part answers with the sum of the block as its flash now holds it.
    uint8_t sum = 0;
    for (size_t i = 0; i < kBlock; ++i) sum = static_cast<uint8_t>(sum + block[i]);
    if (reply.size() < 2 || reply[0] != 0x00 || reply[1] != sum) {
      Fail(QStringLiteral("写入数据校验错误 ！地址: 0x%1")
               .arg(QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper()),
           true);
      return false;
    }
  }
  return true;
}
