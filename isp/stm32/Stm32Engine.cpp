#include "isp/stm32/Stm32Engine.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QThread>

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "serial/PollingComm.h"

namespace {

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kExtendedErase = 0x44;
constexpr uint8_t kWriteMemory = 0x31;

// Units a standard erase can name (one-byte page numbers), and how many
// numbers go into one erase frame: the standard count byte 0xFF would mean
// a global erase, and an extended frame stays within the frame buffer.
constexpr int kStandardPages = 256;
constexpr int kStandardPerFrame = 255;
constexpr int kExtendedPerFrame = 120;

// Flash the engine assumes when the part does not tell.
constexpr int kDefaultFlashKB = 512;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QString Hex32(uint32_t v) { return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper(); }

const QString kNoSync = QStringLiteral("设备没有应答同步字节 0x7F");
const QString kPortLost = QStringLiteral("串口已断开或无法写入");

}  // namespace

Stm32Engine::Stm32Engine(IspHost& host, QObject* parent) : QObject(parent), host_(host) {
  Timer3.setInterval(10);
  Timer5.setInterval(2);
  Timer5.setTimerType(Qt::PreciseTimer);
  OvertimeT.setInterval(1000);
  connect(&Timer3, &QTimer::timeout, this, &Stm32Engine::Timer3Timer);
  connect(&Timer5, &QTimer::timeout, this, &Stm32Engine::Timer5Timer);
  connect(&OvertimeT, &QTimer::timeout, this, &Stm32Engine::OvertimeTTimer);
}

Stm32Engine::~Stm32Engine() = default;

bool Stm32Engine::Send(const uint8_t* data, int count) {
  // A refused or timed-out write means the port is gone; the caller stops
  // and the session ends naming it.
  const int32_t sent = host_.ComDriver().SendBytes(data, count);
  if (sent == count) return true;
  portLost_ = true;
  return false;
}

bool Stm32Engine::SendCommand(uint8_t code) {
  FrameBuffer[0] = code;
  FrameBuffer[1] = static_cast<uint8_t>(~code);
  return Send(FrameBuffer, 2);
}

bool Stm32Engine::SendAddress(uint32_t address) {
  FrameBuffer[0] = static_cast<uint8_t>(address >> 24);
  FrameBuffer[1] = static_cast<uint8_t>(address >> 16);
  FrameBuffer[2] = static_cast<uint8_t>(address >> 8);
  FrameBuffer[3] = static_cast<uint8_t>(address);
  FrameBuffer[4] = FrameBuffer[0] ^ FrameBuffer[1] ^ FrameBuffer[2] ^ FrameBuffer[3];
  return Send(FrameBuffer, 5);
}

void Stm32Engine::ResetIntoBootLoader() {
  TKRNCommDriver& port = host_.ComDriver();
  if (host_.ResetMode2()) {
    port.SetRts(true);
    QThread::msleep(100);
    port.SetDtr(true);
    QThread::msleep(100);
  } else {
    port.SetDtr(true);
    port.SetRts(true);
    QThread::msleep(500);
    port.SetDtr(false);
    QThread::msleep(100);
  }
}

void Stm32Engine::ResetIntoProgram() {
  TKRNCommDriver& port = host_.ComDriver();
  if (host_.ResetMode2()) {
    port.SetDtr(false);
    QThread::msleep(100);
    port.SetRts(false);
  } else {
    port.SetRts(false);
    port.SetDtr(true);
    QThread::msleep(500);
    port.SetDtr(false);
  }
}

void Stm32Engine::Start(const IspJob& job) {
  if (Running()) return;  // one session at a time
  job_ = job;
  if (job_.file.isEmpty()) job_.file = host_.FirmwareFileName();
  if (!host_.ComPort_Open()) {
    IspResult r = IspResult::Failure(host_.PortOpenError(), QStringLiteral("打开串口"));
    r.usageError = true;
    host_.SessionEnded(r);
    return;
  }
  connected_ = false;
  ProductId.clear();
  part_ = nullptr;
  host_.SetDownloadEnabled(false);
  TKRNCommDriver& port = host_.ComDriver();
  portLost_ = false;
  syncAwaiting_ = false;
  cause_ = kNoSync;
  const int fd = port.Handle();
  // USB adapters otherwise hold every reply for their latency timer, which
  // three exchanges a block would pay again and again.
  bool wasOn = false;
  if (fd >= 0 && port.Platform().SetLowLatency(fd, true, &wasOn) && !wasOn) lowLatencyFd_ = fd;
  if (fd >= 0 && fcntl(fd, F_GETFD) != -1) {
    readable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read, this);
    connect(readable_.get(), &QSocketNotifier::activated, this, &Stm32Engine::OnReadable);
  }
  // The port's own polling tick can take a reply off the line before the
  // notifier sees it; the reply would then wait for the next Timer5 tick.
  // Have such a read hand over at once.
  savedOnReceive_ = port.OnReceiveData;
  receiveHooked_ = true;
  port.OnReceiveData = [self = QPointer<Stm32Engine>(this), prev = savedOnReceive_](
                           TKRNCommDriver* sender, const uint8_t* data, int32_t size) {
    if (prev) prev(sender, data, size);
    if (self && !self->ownRead_) QMetaObject::invokeMethod(self.data(), &Stm32Engine::Timer5Timer, Qt::QueuedConnection);
  };
  if (host_.AutoReset()) ResetIntoBootLoader();
  Timer3.start();
  StepTimeoutCounter = 5;  // about 6 s to find the boot loader
  OvertimeT.start();
  Timer5.start();
  StandardErase = false;
}

void Stm32Engine::STM32UP() { Start(IspJob::Download(host_.FirmwareFileName())); }

void Stm32Engine::Abort() {
  if (!Running() && !readable_) return;
  StmState = 1;
  EndSession();
}

void Stm32Engine::Timer3Timer() {
  TKRNCommDriver& port = host_.ComDriver();
  // The last 0x7F may still be on its way back; another one now could be
  // read as the complement of the first, or as a command code.
  if (syncAwaiting_ && NowMs() - syncSentMs_ < kSyncAnswerMs) return;
  StmState = 1;
  ReadPort();
  port.ReceiveCount = 0;  // only an answer to this byte counts
  FrameBuffer[0] = kSync;
  if (!Send(FrameBuffer, 1)) {
    Fail(kPortLost);
    return;
  }
  syncAwaiting_ = true;
  syncSentMs_ = NowMs();
  const QString searching = QStringLiteral("正在查找设备。。。");
  host_.ShowStatus(searching);
  host_.SetLogText(searching);
}

void Stm32Engine::OnReadable() {
  TKRNCommDriver& port = host_.ComDriver();
  if (!readable_) return;
  const int fd = static_cast<int>(readable_->socket());
  if (fd != port.Handle()) {  // the port was closed under the session
    StopWatching();
    Fail(kPortLost);
    return;
  }
  Timer5Timer();
  if (!readable_ || fd != port.Handle()) return;
  // A device that has gone (adapter pulled) stays readable for ever: end
  // the session instead of spinning on it.
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
    StopWatching();
    Fail(kPortLost);
  }
}

void Stm32Engine::Timer5Timer() {
  TKRNCommDriver& port = host_.ComDriver();
  if (!Running()) return;
  if (!port.IsConnected()) {  // closed under the session
    Fail(kPortLost);
    return;
  }
  ReadPort();
  if (!port.IsConnected()) {  // the device went away while being read
    Fail(kPortLost);
    return;
  }
  if (StmState < 1 || StmState > 14) StmState = 1;
  if (StmState == 1) {
    HandleSyncReply();
  } else {
    const int count = std::min<int>(port.ReceiveCount, TKRNCommDriver::kReceiveBufferSize);
    const int need = ReplyLength(port.ReceiveBuffer, count);
    if (need == 0 || count < need) return;  // never act on part of a reply
    std::memcpy(FrameBuffer, port.ReceiveBuffer, static_cast<size_t>(std::min(need, kFrameBufferSize)));
    // Whatever came with it was sent before the next command could be
    // seen, so it belongs to no reply still to come.
    port.ReceiveCount = 0;
    Dispatch(FrameBuffer);
  }
  if (portLost_) Fail(kPortLost);
}

void Stm32Engine::ReadPort() {
  ownRead_ = true;
  host_.ComDriver().PollReceive();
  ownRead_ = false;
}

void Stm32Engine::HandleSyncReply() {
  TKRNCommDriver& port = host_.ComDriver();
  const int count = std::min<int>(port.ReceiveCount, TKRNCommDriver::kReceiveBufferSize);
  if (count == 0 || !syncAwaiting_) {
    port.ReceiveCount = 0;  // nothing was asked: noise
    return;
  }
  // ACK: the boot loader has just synchronised. NACK: it was synchronised
  // already and took this byte as the end of a command; either way it now
  // waits for a command.
  bool answered = false;
  for (int i = 0; i < count; ++i)
    if (port.ReceiveBuffer[i] == kAck || port.ReceiveBuffer[i] == kNack) answered = true;
  port.ReceiveCount = 0;
  if (!answered) {
    host_.ShowStatus(QStringLiteral("无法和设备通讯，请重新复位"));
    return;
  }
  Timer3.stop();
  syncAwaiting_ = false;
  connected_ = true;
  StepTimeoutCounter = 0;
  ReportStatus(host_, QStringLiteral("已成功连接"));
  if (SendCommand(kGet)) Await(2, QStringLiteral("GET 命令没有应答"));
}

void Stm32Engine::Resynchronise() {
  StmState = 1;
  syncAwaiting_ = false;
  cause_ = kNoSync;
  if (!Timer3.isActive()) Timer3.start();
}

void Stm32Engine::Await(int32_t state, const QString& cause) {
  StmState = state;
  cause_ = cause;
}

int Stm32Engine::ReplyLength(const uint8_t* b, int n) const {
  if (n < 1) return 0;
  if (b[0] != kAck) return 1;  // NACK or a stray byte: one byte either way
  switch (StmState) {
    case 2:
    case 3:  // ACK, N, N + 1 bytes, ACK
      return n < 2 ? 0 : b[1] + 4;
    case 6:
    case 14:  // ACK, the bytes asked for
      return 1 + readLength_;
    default:
      return 1;
  }
}

void Stm32Engine::Dispatch(const uint8_t* B) {
  const bool ack = B[0] == kAck;
  const bool nack = B[0] == kNack;
  switch (StmState) {
    case 2:
      // A NACK here answers no GET: a 0x7F that crossed on the line made
      // the boot loader take the GET's code as a complement. Synchronise
      // again; the next 0x7F completes whatever it now holds.
      if (nack) {
        Resynchronise();
        return;
      }
      if (!ack || B[1] != 0x0B || B[3] != 0x00 || B[14] != kAck) {
        cause_ = QStringLiteral("GET 命令应答无效");
        return;
      }
      StepTimeoutCounter = 0;
      commands_.assign(B + 3, B + 14);
      ReportStatus(host_, QStringLiteral("Bootloader 版本 %1.%2").arg(B[2] / 16).arg(B[2] % 16));
      if (SendCommand(kGetId)) Await(3, QStringLiteral("GET ID 命令没有应答"));
      return;

    case 3:
      if (!ack || B[1] != 0x01 || B[4] != kAck) {
        cause_ = QStringLiteral("GET ID 命令应答无效");
        return;
      }
      StepTimeoutCounter = 0;
      ProductId = QStringLiteral("%1%2")
                      .arg(B[2], 2, 16, QLatin1Char('0'))
                      .arg(B[3], 2, 16, QLatin1Char('0'))
                      .toUpper();
      host_.AddLog(QStringLiteral("Product ID: ") + ProductId);
      IdentifyFamily();
      image_.FlashSizeKB = kDefaultFlashKB;
      if (SendCommand(kReadMemory)) Await(4, QStringLiteral("读 Flash 容量没有应答"));
      return;

    case 4:
      // A refused read (a read-protected part) leaves the size unknown; the
      // address frame would only be read as commands.
      if (nack) {
        StepTimeoutCounter = 0;
        LoadAndStartErase();
        return;
      }
      if (!ack) return;
      StepTimeoutCounter = 0;
      if (SendAddress(part_->flashSizeAddress)) Await(5, QStringLiteral("读 Flash 容量没有应答"));
      return;

    case 5:
      if (nack) {  // the register is not readable on this part
        StepTimeoutCounter = 0;
        LoadAndStartErase();
        return;
      }
      if (!ack) return;
      StepTimeoutCounter = 0;
      readLength_ = part_->flashSizeReadBytes;
      FrameBuffer[0] = static_cast<uint8_t>(readLength_ - 1);
      FrameBuffer[1] = static_cast<uint8_t>(~FrameBuffer[0]);
      if (Send(FrameBuffer, 2)) Await(6, QStringLiteral("读 Flash 容量没有应答"));
      return;

    case 6:
      if (nack) {
        StepTimeoutCounter = 0;
        LoadAndStartErase();
        return;
      }
      if (!ack) return;
      StepTimeoutCounter = 0;
      {
        const int kb = B[1] + 256 * B[2];
        // An unprogrammed register reads 0xFFFF; keep the assumption then.
        if (kb != 0 && kb != 0xFFFF) {
          image_.FlashSizeKB = kb;
          host_.AddLog(QStringLiteral("存储容量 Flash:%1 KB").arg(kb));
        }
      }
      LoadAndStartErase();
      return;

    case 7:
      if (nack) {
        cause_ = QStringLiteral("擦除命令被拒绝");
        return;
      }
      if (!ack) return;
      StepTimeoutCounter = 0;
      {
        const std::vector<uint8_t>& frame = eraseFrames_[eraseNext_++];
        std::memcpy(FrameBuffer, frame.data(), frame.size());
        if (!Send(FrameBuffer, static_cast<int>(frame.size()))) return;
      }
      if (eraseNext_ == 1) {
        host_.ShowStatus(QStringLiteral("正在擦除。。。"));
        host_.AddLog(QStringLiteral(" "));
        host_.AddLog(QStringLiteral("擦除页[ 0 .. %1 ]").arg(eraseUnits_ - 1));
        host_.AddLog(QStringLiteral("开始写入。。。"));
      }
      Await(8, QStringLiteral("擦除没有完成"));
      return;

    case 8:
      if (nack) {
        cause_ = WriteOffset == 0 ? QStringLiteral("擦除被拒绝")
                                  : QStringLiteral("写入被拒绝: 地址 %1").arg(Hex32(lastBlockAddress_));
        return;
      }
      if (!ack) return;
      StepTimeoutCounter = 0;
      if (eraseNext_ < eraseFrames_.size()) {
        // The page count is one byte: a long list goes in several commands.
        if (SendCommand(StandardErase ? kErase : kExtendedErase)) Await(7, QStringLiteral("擦除命令没有应答"));
        return;
      }
      if (SendCommand(kWriteMemory))
        Await(9, QStringLiteral("写命令没有应答: 地址 %1").arg(Hex32(WriteAddress)));
      return;

    case 9:
      if (nack) {
        cause_ = QStringLiteral("写命令被拒绝: 地址 %1").arg(Hex32(WriteAddress));
        return;
      }
      if (!ack) return;
      host_.ShowStatus(QStringLiteral("写地址: 0x") +
                       QStringLiteral("%1").arg(WriteAddress, 8, 16, QLatin1Char('0')).toUpper());
      if (SendAddress(WriteAddress))
        Await(10, QStringLiteral("写地址没有应答: 地址 %1").arg(Hex32(WriteAddress)));
      return;

    case 10:
      if (nack) {
        cause_ = QStringLiteral("写地址被拒绝: 地址 %1").arg(Hex32(WriteAddress));
        return;
      }
      if (!ack) return;
      WriteBlock();
      return;

    case 11:
      if (nack) {
        cause_ = QStringLiteral("写入被拒绝: 地址 %1").arg(Hex32(lastBlockAddress_));
        return;
      }
      if (!ack) return;
      if (host_.VerifyAfterWrite())
        StartVerify();
      else
        Finish();
      return;

    case 12:
      if (nack) {
        cause_ = QStringLiteral("读命令被拒绝，无法校验");
        return;
      }
      if (!ack) return;
      if (SendAddress(kFlashBase + verifyOffset_))
        Await(13, QStringLiteral("校验读取没有应答: 地址 %1").arg(Hex32(kFlashBase + verifyOffset_)));
      return;

    case 13:
      if (nack) {
        cause_ = QStringLiteral("校验读取被拒绝: 地址 %1").arg(Hex32(kFlashBase + verifyOffset_));
        return;
      }
      if (!ack) return;
      readLength_ = std::min<int>(kMaxBlock, image_.Length() - static_cast<int>(verifyOffset_));
      FrameBuffer[0] = static_cast<uint8_t>(readLength_ - 1);
      FrameBuffer[1] = static_cast<uint8_t>(~FrameBuffer[0]);
      if (Send(FrameBuffer, 2)) StmState = 14;
      return;

    case 14:
      if (nack) {
        cause_ = QStringLiteral("校验读取被拒绝: 地址 %1").arg(Hex32(kFlashBase + verifyOffset_));
        return;
      }
      if (!ack) return;
      VerifyBlock(B + 1);
      return;
  }
}

void Stm32Engine::IdentifyFamily() {
  part_ = &Stm32PartFor(static_cast<uint16_t>(ProductId.toUInt(nullptr, 16)));
  StandardErase = part_->erase == Stm32Erase::Standard;
  if (part_->erase == Stm32Erase::FromGet) {
    // Ask the boot loader which erase it knows; only a part that offers the
    // extended erase alone gets it.
    const bool standard = std::find(commands_.begin(), commands_.end(), kErase) != commands_.end();
    const bool extended = std::find(commands_.begin(), commands_.end(), kExtendedErase) != commands_.end();
    StandardErase = standard || !extended;
  }
  PageSize = part_->pageSize ? static_cast<int32_t>(part_->pageSize) : 2048;
  host_.AddLog(QString::fromUtf8(part_->familyLine));
}

std::vector<std::vector<uint8_t>> Stm32Engine::EraseFrames(bool extended, int units) {
  std::vector<std::vector<uint8_t>> frames;
  const int perFrame = extended ? kExtendedPerFrame : kStandardPerFrame;
  for (int first = 0; first < units; first += perFrame) {
    const int n = std::min(perFrame, units - first);
    std::vector<uint8_t> f;
    if (extended) {
      f = {static_cast<uint8_t>((n - 1) >> 8), static_cast<uint8_t>(n - 1)};
      for (int i = first; i < first + n; ++i) {
        f.push_back(static_cast<uint8_t>(i >> 8));
        f.push_back(static_cast<uint8_t>(i));
      }
    } else {
      f.push_back(static_cast<uint8_t>(n - 1));
      for (int i = first; i < first + n; ++i) f.push_back(static_cast<uint8_t>(i));
    }
    uint8_t x = 0;
    for (uint8_t v : f) x ^= v;
    f.push_back(x);
    frames.push_back(std::move(f));
  }
  return frames;
}

bool Stm32Engine::RenewedlyLoadFile() {
  const FirmwareLoadResult r = image_.Load(host_.FirmwareFileName());
  switch (r.outcome) {
    case FirmwareLoadResult::Outcome::Loaded:
      host_.SetProgressMax(image_.Length());
      host_.AddLog(r.sizeLine);
      host_.ShowStatus(r.status);
      return true;
    case FirmwareLoadResult::Outcome::Missing:
      // Nothing to send: wind the session up here. The port is released
      // too, so the terminal's closed-port picture tells the truth.
      StmState = 1;
      host_.AddLog(r.status);
      EndSession();
      host_.SetPortGlyph(false);
      host_.ShowStatus(r.status);
      host_.SetProgress(0);
      {
        IspResult result = IspResult::Failure(r.status, QStringLiteral("加载文件"));
        Ended(result);
      }
      return false;
    case FirmwareLoadResult::Outcome::Refused:
    case FirmwareLoadResult::Outcome::Failed:
      // Said at once: waiting for the time-out would tell the user nothing.
      if (!r.sizeLine.isEmpty()) host_.AddLog(r.sizeLine);
      Fail(r.status);
      return false;
  }
  return false;
}

void Stm32Engine::LoadAndStartErase() {
  StepTimeoutCounter = 0;
  host_.AddLog(QStringLiteral("加载文件。。。"));
  // The image is checked against the part before anything is erased.
  if (!RenewedlyLoadFile()) return;
  WriteAddress = kFlashBase;
  WriteOffset = 0;
  BytesRemaining = image_.Length();
  host_.AddLog(QStringLiteral("加载文件完成！"));

  // Exactly the units the image covers: flash after it (settings, logs)
  // keeps what it holds.
  eraseUnits_ = Stm32UnitsCovering(*part_, image_.Length());
  if (StandardErase && eraseUnits_ > kStandardPages) {
    Fail(QStringLiteral("擦除命令只能擦除 %1 页，文件需要 %2 页").arg(kStandardPages).arg(eraseUnits_));
    return;
  }
  eraseFrames_ = EraseFrames(!StandardErase, eraseUnits_);
  eraseNext_ = 0;
  if (SendCommand(StandardErase ? kErase : kExtendedErase)) Await(7, QStringLiteral("擦除命令没有应答"));
}

void Stm32Engine::WriteBlock() {
  const int L = std::min(BytesRemaining, kMaxBlock);
  if (L <= 0) {  // nothing left (cannot happen with a loaded image): finish on this ACK
    Finish();
    return;
  }
  const uint8_t* data = image_.ImageBuffer() + WriteOffset;
  uint8_t x = static_cast<uint8_t>(L - 1);
  for (int i = 0; i < L; ++i) x ^= data[i];
  // Count, data straight from the image, checksum: no copy of the block.
  FrameBuffer[0] = static_cast<uint8_t>(L - 1);
  if (!Send(FrameBuffer, 1) || !Send(data, L)) return;
  FrameBuffer[0] = x;
  if (!Send(FrameBuffer, 1)) return;
  const QString cause = QStringLiteral("写入没有应答: 地址 %1").arg(Hex32(WriteAddress));
  lastBlockAddress_ = WriteAddress;
  BytesRemaining -= L;
  WriteAddress += static_cast<uint32_t>(L);
  WriteOffset += static_cast<uint32_t>(L);
  host_.SetProgress(static_cast<int>(WriteOffset));
  Await(BytesRemaining > 0 ? 8 : 11, cause);
}

void Stm32Engine::StartVerify() {
  StepTimeoutCounter = 0;
  verifyOffset_ = 0;
  host_.ShowStatus(QStringLiteral("正在校验。。。"));
  host_.AddLog(QStringLiteral("开始校验。。。"));
  host_.SetProgress(0);
  if (SendCommand(kReadMemory)) Await(12, QStringLiteral("校验读取没有应答"));
}

void Stm32Engine::VerifyBlock(const uint8_t* data) {
  StepTimeoutCounter = 0;
  const uint8_t* expected = image_.ImageBuffer() + verifyOffset_;
  for (int i = 0; i < readLength_; ++i) {
    if (data[i] != expected[i]) {
      Fail(QStringLiteral("校验错误: 地址 %1 读出 0x%2，应为 0x%3")
               .arg(Hex32(kFlashBase + verifyOffset_ + static_cast<uint32_t>(i)))
               .arg(data[i], 2, 16, QLatin1Char('0'))
               .arg(expected[i], 2, 16, QLatin1Char('0')));
      return;
    }
  }
  verifyOffset_ += static_cast<uint32_t>(readLength_);
  host_.SetProgress(static_cast<int>(verifyOffset_));
  if (static_cast<int>(verifyOffset_) >= image_.Length()) {
    Finish();
    return;
  }
  if (SendCommand(kReadMemory))
    Await(12, QStringLiteral("校验读取没有应答: 地址 %1").arg(Hex32(kFlashBase + verifyOffset_)));
}

void Stm32Engine::Finish() {
  StmState = 1;
  host_.SetProgress(0);
  ReportStatus(host_, QStringLiteral("上载完成！"));
  OvertimeT.stop();
  Timer5.stop();
  if (host_.AutoReset()) ResetIntoProgram();
  EndSession();
  if (host_.AutoDownload()) host_.EndAutoDownload();
  Ended(IspResult::Success(QStringLiteral("上载完成！")));
}

void Stm32Engine::StopWatching() {
  // Often called from the notifier's own signal: it goes once that returns.
  if (!readable_) return;
  readable_->setEnabled(false);
  readable_.release()->deleteLater();
}

// The cause is the last line the user reads. A part that never answered
// is "连机失败 ！" first (check the cable, the reset wiring); once it has
// answered, the cause alone says what went wrong, on the status line too.
void Stm32Engine::Fail(const QString& cause) {
  if (!Running() && !readable_) return;  // ended already
  StmState = 1;
  host_.SetProgress(0);
  const QString why = cause.isEmpty() ? kNoSync : cause;
  if (!connected_) {
    ReportStatus(host_, QStringLiteral("连机失败 ！"));
    host_.AddLog(why);
  } else {
    ReportStatus(host_, why);
  }
  EndSession();
  IspResult r = IspResult::Failure(why);
  Ended(r);
}

void Stm32Engine::Ended(IspResult result) {
  result.partAnswered = connected_;
  if (!ProductId.isEmpty() && connected_) result.partId = ProductId;
  if (part_ && connected_) result.partName = QString::fromUtf8(part_->familyLine);
  host_.SessionEnded(result);
}

void Stm32Engine::EndSession() {
  OvertimeT.stop();
  Timer3.stop();
  Timer5.stop();
  StopWatching();
  syncAwaiting_ = false;
  TKRNCommDriver& port = host_.ComDriver();
  if (receiveHooked_) {
    port.OnReceiveData = std::move(savedOnReceive_);
    savedOnReceive_ = nullptr;
    receiveHooked_ = false;
  }
  if (lowLatencyFd_ >= 0 && lowLatencyFd_ == port.Handle())
    port.Platform().SetLowLatency(lowLatencyFd_, false, nullptr);
  lowLatencyFd_ = -1;
  host_.ComPort_Close();
  host_.SetDownloadEnabled(true);
  host_.SetPortListsEnabled(true);
}

void Stm32Engine::OvertimeTTimer() {
  ++StepTimeoutCounter;
  if (StepTimeoutCounter <= 10) return;
  Fail(cause_);
}
