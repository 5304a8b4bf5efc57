#include "isp/stc/STC.h"

#include <QCoreApplication>
#include <QFile>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>

#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareImage.h"
#include "firmware/ihextobin/iHexToBin.h"
#include "isp/IspImagePatch.h"
#include "platform/SerialOpenError.h"

namespace {

const QString kPortBusy = QStringLiteral(
    "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
const QString kCaption = QStringLiteral("Vortana");
const QString kPortLost = QStringLiteral("串口已断开 ！");

// Longest the program waits for a frame to leave the wire: the longest
// frame (142 bytes) takes 1.2 s at 1200 bit/s.
constexpr int kDrainLimitMs = 3000;

// A HEX text of a full 64 KB image in one-byte records is about 1 MB.
constexpr int64_t kMaxHexFileBytes = 16 * 1024 * 1024;

// Waits for the next event without spinning. Only called while a timer runs
// (the one-second tick or the 20 ms connect pulses), so it always wakes up.
void ProcessPending() {
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace

TSTCFrm::TSTCFrm(IspHost& host, QObject* parent, SerialPlatform* platform)
    : QObject(parent), ComPort1(nullptr, platform), host_(host) {
  // The component as this window configures it: 1200 bit/s, 8N1, modem
  // lines released, no flow control, 100 ms read interval.
  ComPort1.setCommName(QStringLiteral("COM1"));
  ComPort1.setBaudRate(1200);
  ComPort1.setByteSize(TByteSize::_8);
  ComPort1.setStopBits(TStopBits::_1);
  ComPort1.setParity(TParity::None);
  ComPort1.setDtrControl(TDtrControl::DtrDisable);
  ComPort1.setRtsControl(TRtsControl::RtsDisable);
  ComPort1.setOutx_CtsFlow(false);
  ComPort1.setOutx_DsrFlow(false);
  ComPort1.setOutx_XonXoffFlow(false);
  ComPort1.setInx_XonXoffFlow(false);
  ComPort1.setTxContinueOnXoff(true);
  ComPort1.setXonLimit(500);
  ComPort1.setXoffLimit(500);
  ComPort1.setXonChar(0x11);
  ComPort1.setXoffChar(0x13);
  ComPort1.setReplacedChar(0);
  // Every piece is handed over as it arrives: a reply is complete when its
  // frame is, not after a pause on the line.
  ComPort1.setReadIntervalTimeout(0xFFFFFFFFu);
  ComPort1.setLowLatency(true);
  ComPort1.setReadTotalTimeoutMultiplier(0);
  ComPort1.setReadTotalTimeoutConstant(0);
  ComPort1.setWriteTotalTimeoutMultiplier(0);
  ComPort1.setWriteTotalTimeoutConstant(0);

  SeekTimer.setInterval(20);
  connect(&SeekTimer, &QTimer::timeout, this, &TSTCFrm::SeekTimerTimer);
  TimeOutTM.setInterval(1000);
  connect(&TimeOutTM, &QTimer::timeout, this, &TSTCFrm::TimeOutTMTimer);
  TimeOutTM.start();

  LibraryPath = stc::ConverterLibraryPath();
}

TSTCFrm::~TSTCFrm() { FormClose(); }

void TSTCFrm::FormClose() { ComPort1.ClosePort(); }

void TSTCFrm::LendLink(IspLink* link) {
  if (running_) return;
  link_ = link ? link : &ownLink_;
}

void TSTCFrm::SetLineParity(IspParity parity) {
  link_->SetParity(parity);
  parity_ = parity;
}

// The pulses go on while the status packet comes in (half a second at
// 1200 bit/s); the collector passes over anything that is not a frame, so
// nothing received is thrown away here.
void TSTCFrm::SeekTimerTimer() { SendHexFrame(PulseText); }

void TSTCFrm::TimeOutTMTimer() { ++TimeoutTicks; }

void TSTCFrm::SendHexFrame(const QString& text) {
  const std::vector<uint8_t> bytes = stc::HexToBytes(text);
  if (bytes.empty() || bytes.size() > UINT16_MAX) return;
  link_->Write(bytes.data(), static_cast<int>(bytes.size()));
}

void TSTCFrm::ComPort1ReceiveData(const uint8_t* buffer, uint16_t length) {
  if (Rx.Feed(buffer, length)) {
    ConnectPending = false;
    ReplyPending = false;
  }
}

namespace {

// STC32 (MCS-251) code lives at 0xFF0000: its HEX files place it there with
// an extended linear address record. The image from that address on, gaps
// as 00 like the converter's; nullopt when the file is not such a file.
// `refusal` is set for a file with data at 0xFE0000-0xFEFFFF, the MCS-251
// space below the code's 64 KB, which the write frame cannot address.
std::optional<std::vector<uint8_t>> Mcs251Image(const QString& fileName, QString& refusal) {
  constexpr uint64_t kCodeBase = 0xFF0000, kCodeEnd = 0x1000000, kLowBase = 0xFE0000;
  QFile f(fileName);
  if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
  const HexDecodeResult d = DecodeIntelHex(f.readAll(), kCodeEnd);
  if (d.error != HexDecodeResult::Error::None || d.segments.empty() || d.baseAddress != 0 || d.span > kCodeEnd)
    return std::nullopt;
  const uint64_t first = d.segments.front().address;
  if (first >= kLowBase && first < kCodeBase) {
    refusal = QStringLiteral("上载文件在 0x%1 处有数据：STC32 的写入帧只带 16 位地址，只能写入 0xFF0000-0xFFFFFF "
                             "的 64 KB 程序 ！")
                  .arg(QString::number(first, 16).toUpper());
    return std::nullopt;
  }
  if (first < kCodeBase) return std::nullopt;
  std::vector<uint8_t> image(static_cast<size_t>(d.span - kCodeBase), 0x00);
  for (const auto& sg : d.segments)
    std::copy_n(d.image.constData() + sg.address, sg.length, image.begin() + static_cast<long>(sg.address - kCodeBase));
  return image;
}

}  // namespace

bool TSTCFrm::LoadHexImage(const QString& fileName) {
  stc::HexImage image = stc::LoadHexImage(LibraryPath, fileName);
  Mcs251Code = false;
  if (image.status == stc::ImageStatus::Refused &&
      (image.checkResult == IHEXTOBIN_CHECK_ABOVE_64K || image.checkResult == IHEXTOBIN_CHECK_PLACEMENT)) {
    QString refusal;
    if (std::optional<std::vector<uint8_t>> code = Mcs251Image(fileName, refusal)) {
      Mcs251Code = true;
      image.status = stc::ImageStatus::Ok;
      image.bytes = std::move(*code);
      while (!image.bytes.empty() && image.bytes.back() == 0) image.bytes.pop_back();
      if (image.bytes.empty()) image.status = stc::ImageStatus::NoData;
    } else if (!refusal.isEmpty()) {
      image.error = refusal;
    }
  }
  if (image.status == stc::ImageStatus::LibraryMissing ||
      image.status == stc::ImageStatus::ExportMissing) {
    // Stands in for the application's error report; the block list keeps
    // what it held.
    Log(image.error);
    host_.ShowMessage(kCaption, image.error);
    return false;
  }
  if (image.status == stc::ImageStatus::Refused) {
    Log(image.error);
    return false;
  }
  if (image.status == stc::ImageStatus::NoData) {
    StcImage.clear();
    host_.SetSizeLabel(stc::SizeLabelText(0));
    Log(QStringLiteral("上载文件中没有可下载的数据 ！"));
    return false;
  }
  StcImage = std::move(image.bytes);
  host_.SetSizeLabel(stc::SizeLabelText(StcImage.size()));
  return true;
}

void TSTCFrm::SplitIntoBlocks() { BlockList = stc::SplitIntoBlocks(StcImage); }

bool TSTCFrm::PrepareImage() {
  const QString fileName = job_.file;
  FirmwareFileRead file = fileName.isEmpty() ? FirmwareFileRead{FirmwareFileStatus::Missing, 0, {}}
                                             : CheckFirmwareFile(fileName);
  // The converter reads the whole file: a device, a FIFO or a file far
  // beyond any 64 KB image is refused before it is opened.
  if (file.status == FirmwareFileStatus::Ok && file.size > kMaxHexFileBytes)
    file.status = FirmwareFileStatus::TooLarge;
  bool ready = false;
  if (file.status == FirmwareFileStatus::Missing) {
    Log(QStringLiteral("上载文件不存在 ！"));
  } else if (file.status != FirmwareFileStatus::Ok) {
    Log(FirmwareFileProblem(fileName, file));
  } else {
    ready = LoadHexImage(fileName);
  }
  if (!ready) {
    // Nothing was opened; the page must stay usable.
    host_.SetProgress(0);
    return false;
  }
  SplitIntoBlocks();
  if (!CheckJobOptions()) {
    host_.SetProgress(0);
    return false;
  }
  Log(QStringLiteral("下载目标代码"));
  return true;
}

// What the job asks beyond the image, checked before the port opens: option
// names and values some family knows, and the EEPROM file.
bool TSTCFrm::CheckJobOptions() {
  for (auto it = job_.options.cbegin(); it != job_.options.cend(); ++it) {
    bool name = false, value = false;
    for (const stc::OptionDef& d : stc::OptionDefs()) {
      if (it.key() != QLatin1String(d.name)) continue;
      name = true;
      for (const stc::OptionValue& v : d.values)
        value = value || it.value().compare(QLatin1String(v.name), Qt::CaseInsensitive) == 0;
    }
    if (!name || !value) {
      Log(name ? QStringLiteral("选项 %1 不能取值 %2 ！").arg(it.key(), it.value())
               : QStringLiteral("没有选项 %1 ！").arg(it.key()));
      return false;
    }
  }
  EepromImage.clear();
  if (job_.eepromFile.isEmpty()) return true;
  const FirmwareFileRead file = CheckFirmwareFile(job_.eepromFile);
  if (file.status != FirmwareFileStatus::Ok) {
    Log(FirmwareFileProblem(job_.eepromFile, file));
    return false;
  }
  stc::HexImage image = stc::LoadHexImage(LibraryPath, job_.eepromFile);
  if (image.status != stc::ImageStatus::Ok) {
    Log(image.status == stc::ImageStatus::NoData ? QStringLiteral("EEPROM 文件中没有数据 ！") : image.error);
    return false;
  }
  EepromImage = std::move(image.bytes);
  return true;
}

void TSTCFrm::NormalStyle() {
  if (SetMainWindowNormal) SetMainWindowNormal();
}

void TSTCFrm::Pause(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

// Waits until a frame of `bytes` just handed to the component has left the
// wire, so that a speed change or a close cannot cut it short. The driver's
// queue is waited for first; what it has passed on may still sit in the
// UART's or the USB adapter's own buffer, which nothing reports, so the
// frame's wire time is allowed on top.
void TSTCFrm::DrainOutput(size_t bytes) {
  link_->Drain(kDrainLimitMs);
  const uint32_t baud = std::max<uint32_t>(1, link_->BitsPerSecond());
  const uint64_t us = static_cast<uint64_t>(bytes) * 10 * 1000000 / baud + 1000;
  QThread::usleep(static_cast<unsigned long>(us));
}

// Sends a frame before a speed change: the pause the boot loader is given
// runs from the moment the frame is queued, and never ends before the frame
// is out.
void TSTCFrm::SendBeforeSpeedChange(const QString& frame) {
  QElapsedTimer t;
  t.start();
  SendHexFrame(frame);
  DrainOutput(static_cast<size_t>(frame.size() / 2));
  const qint64 left = 100 - t.elapsed();
  if (left > 0) Pause(static_cast<int>(left));
}

void TSTCFrm::Log(const QString& line) {
  lastLog_ = line;
  host_.AddLog(line);
}

void TSTCFrm::Ended(IspResult result) {
  if (aborted_) return;  // the host ended it and wants no word of it
  result.partAnswered = answered_;
  if (ModelCode > 0) result.partName = stc::ModelName(ModelCode);
  if (!partName_.isEmpty()) result.partName = partName_;
  result.partId = partId_;
  result.uniqueId = uniqueId_;
  result.info = info_;
  host_.SessionEnded(result);
}

void TSTCFrm::Abort() {
  if (!running_) return;
  aborted_ = true;
  SeekTimer.stop();
  ComPort1.ClosePort();
  // The session's loop sees the reply it waits for never come: end it now.
  ConnectPending = false;
  ReplyPending = false;
  TimeoutTicks = 1 << 20;
}

// A session that has learned what it came for and writes nothing: the part
// is sent on to its program, the port is released.
void TSTCFrm::EndQuietly(const QString& line) {
  SeekTimer.stop();
  TimeOutTM.stop();
  ReleasePart();
  ComPort1.ClosePort();
  SetLineParity(IspParity::None);
  host_.SetProgress(0);
  Log(line);
  Ended(IspResult::Success(line));
}

void TSTCFrm::Fail(const QString& logLine, bool normalStyle, const QString& step) {
  host_.SetProgress(0);
  ConnectPending = false;
  SeekTimer.stop();
  TimeOutTM.stop();
  ReleasePart();
  ComPort1.ClosePort();
  Log(logLine);
  if (normalStyle) NormalStyle();
  Ended(IspResult::Failure(logLine, step));
}

// A boot loader that has sent its status packet serves that host until it
// is told to leave: left alone it ignores the next connect pulses, and the
// next try times out. The family's end frame sends it to its program, as a
// finished download does. STC89 frames it with the 8-bit sum and no parity;
// the later families with the 16-bit sum under even parity.
void TSTCFrm::ReleasePart() {
  if (!answered_ || HungUp || !link_->IsOpen()) return;
  // A status packet of no family known here: no frame it is known to take.
  if (!protocol_ && Rx.Width != stc::SumWidth::Sum8) return;
  QString end = stc::kEndFlagFrame;
  if (protocol_) {
    end = stc::BytesToHex(stc::Frame16({static_cast<uint8_t>(*protocol_ == stc::Protocol::Stc8 ? 0xFF : 0x82)}));
    if (parity_ != IspParity::Even) {
      ComPort1.ClosePort();
      SetLineParity(IspParity::Even);
      try {
        ComPort1.OpenPort();
      } catch (const ECommsError&) {
        return;  // the failure being reported is the one that counts
      }
    }
  }
  SendHexFrame(end);
  DrainOutput(static_cast<size_t>(end.size() / 2));
}

void TSTCFrm::NoteFrequencyIgnored(const QString& part) {
  if (job_.frequencyKHz <= 0) return;
  Log(QStringLiteral("%1 没有由下载调整的内部 RC 振荡器：频率 %2 kHz 不起作用，时钟由晶振决定")
          .arg(part, QString::number(job_.frequencyKHz, 'g', 9)));
}

bool TSTCFrm::WhileMcuResponse(int limit, const QString& message) {
  TimeoutTicks = 0;
  Rx.BadSums = 0;
  if (!TimeOutTM.isActive()) TimeOutTM.start();
  for (;;) {
    if (!ReplyPending) {
      TimeOutTM.stop();
      return true;
    }
    ProcessPending();
    link_->Poll();
    if (HungUp) {
      Fail(kPortLost, true);
      return false;
    }
    if (TimeoutTicks >= limit) break;
  }
  QString step = message;
  step.remove(QStringLiteral("超时 ！"));
  if (Rx.BadSums > 0) {
    // The part did answer, over a line that spoils its frames: the fixed
    // line, then why.
    Log(message);
    Fail(QStringLiteral("%1: 器件应答了 %2 帧，但校验和不对（线路干扰或波特率偏差）").arg(step).arg(Rx.BadSums), true, step);
    return false;
  }
  Fail(message, true, step);
  return false;
}

// Closes and opens again at another speed. The port was open a moment
// ago, so a failure here is nearly always the adapter pulled out between
// the two: the cause names the step and what the open found.
bool TSTCFrm::Reopen(uint32_t baud, const QString& step) {
  const QString during = step.isEmpty() ? QStringLiteral("切换波特率") : step;
  ComPort1.ClosePort();
  if (HungUp) {
    Fail(kPortLost, true, during);
    return false;
  }
  link_->SetBitsPerSecond(baud);
  try {
    ComPort1.OpenPort();
  } catch (const ECommsError&) {
    const QString why = QString::fromStdString(SerialOpenFailureText(ComPort1.CommName().toStdString()));
    Fail(QStringLiteral("%1: 以 %2 bit/s 重新打开串口失败: %3").arg(during).arg(baud).arg(why), true, during);
    return false;
  }
  return true;
}

void TSTCFrm::PulseReset() {
  const int ms = std::max(job_.resetDelayMs, 0);
  const ResetSequence seq = job_.reset ? *job_.reset : ResetPresets::Stc(ms);
  RunResetSteps(seq, seq.entry,
                {[this](bool on) { link_->SetDtr(on); }, [this](bool on) { link_->SetRts(on); },
                 [this](int pause) { Pause(pause); }});
}

void TSTCFrm::BitBtn1Click(const IspJob& job) { Start(job); }

void TSTCFrm::Start(const IspJob& job) {
  if (running_) return;
  running_ = true;
  aborted_ = false;
  // Every byte the session hears comes through the link; an adapter pulled
  // out ends the wait at once, not after its time-out.
  link_->Listen([this](const uint8_t* data, int size) {
    ComPort1ReceiveData(data, static_cast<uint16_t>(std::min(size, static_cast<int>(UINT16_MAX))));
  }, [this] { HungUp = true; });
  struct Done {
    bool& flag;
    IspLink& link;
    ~Done() {
      link.StopListening();
      flag = false;
    }
  } done{running_, *link_};
  job_ = job;
  ModelCode = 0;
  answered_ = false;
  protocol_.reset();
  partName_.clear();
  partId_.clear();
  uniqueId_.clear();
  info_.clear();
  PulseText = stc::kConnectPulse;
  Rx.Width = stc::SumWidth::Either;
  Session();
}

void TSTCFrm::Session() {
  host_.SetProgressMax(100);
  const bool info = job_.kind == IspJobKind::Info;
  if (!OpenSession(info) || !ConnectToPart()) return;

  // 6. Connected.
  answered_ = true;
  SeekTimer.stop();
  TimeOutTM.stop();
  if (TakeModernStatus()) return;
  Rx.Width = stc::SumWidth::Sum8;
  Log(QStringLiteral("连机成功! 固件版本:") + stc::VersionText(Rx.FirmwareVersion));

  stc::SpeedTimer timer{};
  stc::SpeedPlan speed;
  if (!IdentifyStc89(info, timer, speed) || !Stc89SwitchSpeed(timer, speed) || !Stc89Write()) return;
  Stc89Finish();
}

// Steps 1 to 4: the image, the port at the handshake speed, the reset.
bool TSTCFrm::OpenSession(bool info) {
  // 1. Image first: nothing is opened for a file that cannot be sent. An
  // Info job sends nothing and needs none.
  if (info) {
    StcImage.clear();
    BlockList.clear();
  }
  if (!info && !PrepareImage()) {
    IspResult r = IspResult::Failure(lastLog_, QStringLiteral("加载文件"));
    r.usageError = true;
    Ended(r);
    return false;
  }

  // 2. Port at the handshake speed, no parity whatever the last session left.
  SyncBaud = job_.handshakeBaud != 0 ? job_.handshakeBaud : kStcHandshakeBaud;
  SetLineParity(IspParity::None);
  ComPort1.setCommName(job_.port);
  link_->SetBitsPerSecond(SyncBaud);
  try {
    ComPort1.OpenPort();
  } catch (const ECommsError&) {
    const QString why = QString::fromStdString(SerialOpenFailureText(job_.port.toStdString()));
    host_.ShowMessage(kCaption, kPortBusy + QStringLiteral("\r\r") + why);
    NormalStyle();
    IspResult r = IspResult::Failure(why, QStringLiteral("打开串口"));
    r.usageError = true;
    Ended(r);
    return false;
  }

  HungUp = false;

  // 3.-4. Line settings, optional reset pulse on RTS.
  host_.SessionStarted(job_);
  SetLineParity(IspParity::None);
  link_->SetBitsPerSecond(SyncBaud);
  Pause(100);
  if (job_.reset || job_.autoReset) PulseReset();
  return true;
}

// Step 5: connect pulses until the boot loader sends its status packet.
bool TSTCFrm::ConnectToPart() {
  Log(QStringLiteral("正在连机 。。。"));
  Rx.Clear();
  SeekTimer.start();
  TimeoutTicks = 0;
  ConnectPending = true;
  while (ConnectPending) {
    ProcessPending();
    link_->Poll();
    if (!ConnectPending) break;
    if (HungUp) {
      Fail(kPortLost, false);
      return false;
    }
    if (!TimeOutTM.isActive()) TimeOutTM.start();
    if (TimeoutTicks >= job_.connectTimeoutS) {
      Fail(QStringLiteral("连接超时 ！"), false);
      return false;
    }
  }
  return true;
}

// The later families frame their status packet with a 16-bit sum and
// name themselves by a magic; the rest is theirs. True when the session
// went to them (or ended on their status), false for an STC89 packet.
bool TSTCFrm::TakeModernStatus() {
  std::vector<uint8_t> payload;
  if (!stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), payload)) return false;
  if (stc::StatusMagic(payload)) {
    ModernSession(payload);
    return true;
  }
  // STC15F10x/20x boot loaders first answer 80, want it echoed and
  // more pulses, and only then send their status.
  if (payload.size() == 1 && payload[0] == 0x80) {
    Rx.Width = stc::SumWidth::Sum16;
    ReplyPending = true;
    SendHexFrame(stc::BytesToHex(stc::Frame16({0x80})));
    SeekTimer.start();
    const bool answered = WhileMcuResponse(6, QStringLiteral("连机超时: 芯片回应 80 后未发送状态包 ！"));
    SeekTimer.stop();
    if (!answered) return true;
    payload.clear();
    if (stc::ParseFrame16(stc::HexToBytes(Rx.LastReply), payload) && stc::StatusMagic(payload)) {
      ModernSession(payload);
      return true;
    }
  }
  Log(QStringLiteral("连机成功! 芯片回应 %1").arg(stc::BytesToHex(payload)));
  Fail(QStringLiteral("未支持的 MCU: 无法识别的状态包 ！"), true);
  return true;
}

// Step 7: model and crystal, and what the job asks of them.
bool TSTCFrm::IdentifyStc89(bool info, stc::SpeedTimer& timer, stc::SpeedPlan& speed) {
  ModelCode = stc::ModelCodeOf(Rx.LastReply);
  // The speed step is built from the clock the part measured, whatever the
  // crystal; a clock no speed of the list can be divided from is refused.
  // A part left in 6T mode counts the pulses twice as fast and runs its
  // UART on 16 samples a bit: the same reload, half the crystal.
  const bool sixT = stc::SixTModeOf(Rx.LastReply);
  ClockHz = stc::MeasuredClockHz(Rx.LastReply, SyncBaud) / (sixT ? 2 : 1);
  timer = stc::SpeedTimerOf(ModelCode);
  speed = stc::PlanSpeed(timer, ClockHz, sixT);
  OscCode = speed.baud != 0 ? std::max(1, stc::OscCodeOfClock(ClockHz)) : 0;
  if (ModelCode == 0) {
    host_.ShowMessage(kCaption, QStringLiteral(
        "当前版本支持 MCU: 12C1052/89C51RC/89C52RC/89C55RD+/89C516RD+ ！"));
    // Named by the model list where it knows the magic.
    QString why = QStringLiteral("未支持的 MCU ！");
    if (const auto id = stc::StatusMagicAndVersion(Rx.LastReply)) {
      partId_ = QStringLiteral("%1").arg(id->first, 4, 16, QLatin1Char('0')).toUpper();
      const stc::PartRow* row = stc::FindPart(id->first, id->second);
      if (row) partName_ = QString::fromUtf8(row->name);
      why = row ? QStringLiteral("未支持的 MCU: %1 (型号代码 %2) ！").arg(partName_, partId_)
                : QStringLiteral("未支持的 MCU: 型号代码 %1 ！").arg(partId_);
    }
    Fail(why, true);
    return false;
  }
  if (OscCode == 0) {
    host_.ShowMessage(kCaption, QStringLiteral(
        "当前版本支持 Oscillator: 11.0592/12.00/18.432/22.1184/24.00/36.864 ！"));
    Fail(QStringLiteral("未支持的 Oscillator ！"), true);
    return false;
  }
  TargetBaud = speed.baud;
  Log(stc::ModelName(ModelCode) + stc::ClockText(ClockHz));
  NoteFrequencyIgnored(stc::ModelName(ModelCode));
  // An image the part cannot hold would run into its EEPROM and beyond.
  const size_t flash = stc::FlashSizeOf(ModelCode);
  if (StcImage.size() > flash) {
    Fail(QStringLiteral("上载文件 %1 字节，超出 %2 的 Flash 容量 %3 字节 ！")
             .arg(StcImage.size())
             .arg(stc::ModelName(ModelCode))
             .arg(flash),
         true);
    return false;
  }
  // A production line's bytes (a serial number) go in before anything is
  // erased; the image's gaps read 00 as the converter leaves them.
  if (!info && !job_.patches.empty()) {
    QString why;
    if (!ApplyImagePatches(StcImage, 0, job_.patches, 0x00, flash, &why)) {
      Fail(why, true);
      return false;
    }
    SplitIntoBlocks();
  }
  if (info) {
    info_ = QStringList{stc::ModelName(ModelCode) + stc::ClockText(ClockHz)};
    EndQuietly(QStringLiteral("读器件信息完成 ！"));
    return false;
  }
  // These parts have no option bytes or data flash of this kind: what was
  // asked for cannot be done, and is not silently left out.
  if (!job_.options.isEmpty() || !job_.eepromFile.isEmpty()) {
    Fail(QStringLiteral("%1 不支持设置选项或写入 EEPROM ！").arg(stc::ModelName(ModelCode)), true);
    return false;
  }
  return true;
}

// Steps 8 and 9: the programming speed, tried and then confirmed.
bool TSTCFrm::Stc89SwitchSpeed(stc::SpeedTimer timer, const stc::SpeedPlan& speed) {
  // 8. First speed step: announce the new speed at the handshake speed, answer comes at
  // the new speed.
  ReplyPending = true;
  SendBeforeSpeedChange(stc::SpeedFrame1(timer, speed));
  if (!Reopen(TargetBaud, QStringLiteral("调整波特率一"))) return false;
  if (!WhileMcuResponse(6, QStringLiteral("调整波特率一超时 ！"))) return false;
  Log(QStringLiteral("调整波特率一完成 ！"));

  // 9. Second speed step confirms it; the boot loader falls back to the old
  // speed until then.
  Log(QStringLiteral("第二次调整波特率 。。。"));
  if (!Reopen(SyncBaud, QStringLiteral("调整波特率二"))) return false;
  Pause(100);
  ReplyPending = true;
  SendBeforeSpeedChange(stc::SpeedFrame2(timer, speed));
  if (!Reopen(TargetBaud, QStringLiteral("调整波特率二"))) return false;
  if (!WhileMcuResponse(6, QStringLiteral("调整波特率二超时 ！"))) return false;
  Log(QStringLiteral("调整波特率二完成 ！"));
  return true;
}

// Steps 10 to 12: control information, erase, the blocks.
bool TSTCFrm::Stc89Write() {
  // 10. Control information, five times, each with its own reply.
  Log(QStringLiteral("正在发送控制信息 。。。"));
  for (int i = 0; i < 5; ++i) {
    ReplyPending = true;
    SendHexFrame(stc::ControlFrame(ModelCode));
    if (!WhileMcuResponse(6, QStringLiteral("写控制信息超时 ！"))) return false;
  }
  Log(QStringLiteral("发送控制信息完成 ！"));

  // 11. Erase.
  Log(QStringLiteral("正在擦除芯片 。。。"));
  ReplyPending = true;
  SendHexFrame(stc::EraseFrame(ModelCode, StcImage.size()));
  if (!WhileMcuResponse(12, QStringLiteral("擦除芯片超时 ！"))) return false;
  Log(QStringLiteral("擦除芯片完成 ！"));

  // 12. Write the blocks.
  ReplyPending = false;
  Log(QStringLiteral("正在上载数据 。。。"));
  const int blocks = static_cast<int>(BlockList.size());
  for (int k = 0; k < blocks; ++k) {
    const QString frame = stc::DataFrame(k, BlockList[k]);
    ReplyPending = true;
    SendHexFrame(frame);
    host_.SetProgress(stc::BlockProgress(k, blocks));
    if (!WhileMcuResponse(10, QStringLiteral("上载数据超时 ！"))) return false;
    // The part answers with the sum of the block as its flash now holds it.
    if (!stc::BlockReplyMatches(Rx.LastReply, stc::BlockSum(BlockList[k]))) {
      const QString address =
          QStringLiteral("%1").arg(k * stc::kBlockSize, 4, 16, QLatin1Char('0')).toUpper();
      Fail(QStringLiteral("写入数据校验错误 ！地址: 0x%1").arg(address), true);
      return false;
    }
  }
  return true;
}

// Steps 13 to 15: clock option, confirmation, end flag.
void TSTCFrm::Stc89Finish() {
  // 13. Clock option, read now so that a change during the write counts.
  const bool doubleSpeed = job_.stcDoubleSpeed;
  Log(doubleSpeed ? QStringLiteral("设置为双倍速 ！") : QStringLiteral("设置为单倍速 ！"));
  ReplyPending = true;
  SendHexFrame(stc::ClockFrame(doubleSpeed));
  if (!WhileMcuResponse(10, QStringLiteral("设置选项超时 ！"))) return;
  Log(doubleSpeed ? QStringLiteral("设置为双倍速完成 ！")
                           : QStringLiteral("设置为单倍速完成 ！"));

  // 14. Option confirmation.
  ReplyPending = true;
  SendHexFrame(stc::kConfirmFrame);
  if (!WhileMcuResponse(10, QStringLiteral("设置选项超时 ！"))) return;

  // 15. End flag. Its reply is never awaited, but it has to leave the wire
  // before the speed changes and the port closes, which would cut it off.
  Log(QStringLiteral("发送结束标志 ！"));
  ReplyPending = true;
  SendHexFrame(stc::kEndFlagFrame);
  DrainOutput(static_cast<size_t>(stc::kEndFlagFrame.size() / 2));
  Log(QStringLiteral("上载数据成功 ！"));
  host_.SetProgress(0);
  link_->SetBitsPerSecond(1200);
  ComPort1.ClosePort();
  Ended(IspResult::Success(QStringLiteral("上载数据成功 ！")));
}
