#include "isp/stm32/Stm32Engine.h"

#include "isp/IspFamily.h"

#include <QPointer>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "firmware/ImageFile.h"
#include "isp/stm32/Stm32Frames.h"

namespace {

using stm32::kAck;
using stm32::kNack;
using stm32::kStandardPages;
using stm32::kSync;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint8_t kGo = 0x21;
constexpr uint8_t kWriteMemory = 0x31;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kExtendedErase = 0x44;
constexpr uint8_t kWriteUnprotect = 0x73;
constexpr uint8_t kReadoutProtect = 0x82;
constexpr uint8_t kReadoutUnprotect = 0x92;

// A job that fails fast waits this long for the boot loader to answer its
// first 0x7F. AN2606 gives start-up times below 100 ms; F4 parts with boot
// loader 9.1 have been seen to need about 400 ms after reset.
constexpr int kFindMs = 2000;
// A command's ACK comes as soon as its complement is read; this covers a
// USB adapter's latency timer (16 ms on FTDI) many times over.
constexpr int kAnswerMs = 500;
// One 256-byte write, programmed before its ACK. The slowest flash of the
// table, STM32L0/L1's, writes a word at a time in a few milliseconds: its
// 64 words fit in a second with room.
constexpr int kProgramBlockMs = 1000;

// A reply due within a few milliseconds is waited for on the spot, as a
// blocking reader would, rather than through turns of the event loop,
// which cost more than the wire at the fastest speeds: for its wire time
// plus a USB adapter's low-latency tick, and only while the loop has had a
// turn within the last few milliseconds. A longer reply is slept through
// until shortly before its end.
constexpr int64_t kQuickLimitUs = 4000;
constexpr int64_t kQuickMarginUs = 1000;
constexpr int64_t kQuickTurnUs = 6000;
constexpr int64_t kPauseLeadUs = 2000;

// What the engine keeps of what arrives unasked: the longest reply is 257
// bytes; old bytes give way to new ones past this.
constexpr size_t kReceiveLimit = 1024;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QString Hex32(uint32_t v) { return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper(); }
QString Hex8(uint8_t v) { return QStringLiteral("0x") + QStringLiteral("%1").arg(v, 2, 16, QLatin1Char('0')).toUpper(); }

const QString kNoSync = QStringLiteral("设备没有应答同步字节 0x7F");
const QString kPortLost = QStringLiteral("串口已断开或无法写入");

// Jobs that go by the flash's size (and so read the size register).
bool NeedsSize(IspJobKind k) {
  return k != IspJobKind::Go && k != IspJobKind::ProtectRead && k != IspJobKind::UnprotectRead &&
         k != IspJobKind::UnprotectWrite;
}

}  // namespace

Stm32Engine::Stm32Engine(IspHost& host, QObject* parent) : QObject(parent), host_(host) {
  Timer3.setInterval(10);
  Timer5.setInterval(kBackupTickMs);
  OvertimeT.setInterval(1000);
  connect(&Timer3, &QTimer::timeout, this, &Stm32Engine::Timer3Timer);
  connect(&Timer5, &QTimer::timeout, this, &Stm32Engine::Timer5Timer);
  connect(&OvertimeT, &QTimer::timeout, this, &Stm32Engine::OvertimeTTimer);
  Silence.setSingleShot(true);
  Silence.setTimerType(Qt::PreciseTimer);
  connect(&Silence, &QTimer::timeout, this, [this] {
    if (Running()) Fail(cause_);
  });
}

Stm32Engine::~Stm32Engine() = default;

bool Stm32Engine::Supports(IspJobKind kind) const { return FamilyFacts(IspFamily::Stm32).Supports(kind); }

bool Stm32Engine::Send(const std::vector<uint8_t>& frame) {
  // A frame goes out whole, in one write. A refused or timed-out write
  // means the port is gone; the caller stops and the session ends naming it.
  const int count = static_cast<int>(frame.size());
  sentSinceAwait_ += count;
  if (host_.Link().Write(frame.data(), count)) return true;
  portLost_ = true;
  return false;
}

bool Stm32Engine::SendCommand(uint8_t code) { return Send(stm32::CommandFrame(code)); }

bool Stm32Engine::SendAddress(uint32_t address) { return Send(stm32::AddressFrame(address)); }

ResetSequence Stm32Engine::Wiring() const {
  if (job_.reset) return *job_.reset;
  return job_.resetMode2 ? ResetPresets::Stm32Mode2() : ResetPresets::Stm32();
}

bool Stm32Engine::ResetsPart() const { return job_.reset.has_value() || job_.autoReset; }

void Stm32Engine::RunLines(const std::vector<ResetStep> ResetSequence::*which) {
  IspLink& link = host_.Link();
  const ResetSequence seq = Wiring();
  RunResetSteps(seq, seq.*which,
                {[&link](bool on) { link.SetDtr(on); }, [&link](bool on) { link.SetRts(on); },
                 [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }});
}

void Stm32Engine::ResetIntoBootLoader() { RunLines(&ResetSequence::entry); }

void Stm32Engine::ResetIntoProgram() { RunLines(&ResetSequence::exit); }

void Stm32Engine::STM32UP(const IspJob& job) { Start(job); }

void Stm32Engine::Start(const IspJob& job) {
  if (Running()) return;  // one session at a time
  job_ = job;
  if (!host_.ComPort_Open()) {
    IspResult r = IspResult::Failure(host_.PortOpenError(), QStringLiteral("打开串口"));
    r.usageError = true;
    host_.SessionEnded(r);
    return;
  }
  connected_ = false;
  resynchronised_ = false;
  step_ = QStringLiteral("连接");
  ProductId.clear();
  part_ = nullptr;
  commands_.clear();
  version_ = 0;
  flashKB_.reset();
  bankOptionWord_.reset();
  readProtected_ = false;
  probed_ = false;
  wentTo_ = false;
  lastCommand_ = 0;
  map_.reset();
  info_.clear();
  uniqueId_.clear();
  optionBytesLines_.clear();
  expecting_ = false;
  expect_ = {};
  stepLimit_ = 10;
  // A download ends a refused step by its time-out, as the window's
  // download always has; every other job says so at once.
  stallOnRefusal_ = job_.kind == IspJobKind::Download && !job_.failFast;
  host_.SessionStarted(job_);
  portLost_ = false;
  syncAwaiting_ = false;
  cause_ = kNoSync;
  syncNoise_.clear();
  syncNoiseBytes_ = 0;
  OpenLink();
  if (ResetsPart()) ResetIntoBootLoader();
  StmState = 1;
  Timer3.start();
  StepTimeoutCounter = 5;  // about 6 s to find the boot loader
  if (job_.failFast) Silence.start(kFindMs);
  OvertimeT.start();
  Timer5.start();
  StandardErase = false;
}

void Stm32Engine::OpenLink() {
  IspLink& link = host_.Link();
  rx_.clear();
  handOver_ = false;
  linked_ = true;
  // Every byte read, by whichever poll, comes here; one that the port's
  // own tick read is handed over at once.
  link.Listen(
      [self = QPointer<Stm32Engine>(this)](const uint8_t* data, int size) {
        if (self) self->Received(data, size);
      },
      [self = QPointer<Stm32Engine>(this)] {
        if (self)
          QMetaObject::invokeMethod(
              self.data(), [self] { if (self && self->linked_) self->Fail(kPortLost); }, Qt::QueuedConnection);
      });
  // USB adapters otherwise hold every reply for their latency timer, which
  // three exchanges a block would pay again and again.
  link.SetLowLatency(true);
  watching_ = link.WatchReadable([self = QPointer<Stm32Engine>(this)] {
    if (self) self->Timer5Timer();
  });
}

void Stm32Engine::Received(const uint8_t* data, int size) {
  if (!linked_ || size <= 0) return;
  auto n = static_cast<size_t>(size);
  if (n >= kReceiveLimit) {  // a flood: only its end can hold a reply
    data += n - (kReceiveLimit - 1);
    n = kReceiveLimit - 1;
  }
  if (rx_.size() + n >= kReceiveLimit) rx_.clear();
  rx_.insert(rx_.end(), data, data + n);
  if (ownRead_ || handOver_) return;
  handOver_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        handOver_ = false;
        Timer5Timer();
      },
      Qt::QueuedConnection);
}

void Stm32Engine::Abort() {
  if (!Running() && !linked_) return;
  StmState = 1;
  EndSession();
}

void Stm32Engine::Timer3Timer() {
  // The last 0x7F may still be on its way back; another one now could be
  // read as the complement of the first, or as a command code.
  if (syncAwaiting_ && NowMs() - syncSentMs_ < kSyncAnswerMs) return;
  StmState = 1;
  ReadPort();
  rx_.clear();  // only an answer to this byte counts
  if (!Send({kSync})) {
    Fail(kPortLost);
    return;
  }
  syncAwaiting_ = true;
  syncSentMs_ = NowMs();
  const QString searching = QStringLiteral("正在查找设备。。。");
  host_.ShowStatus(searching);
  host_.SetLogText(searching);
}

void Stm32Engine::Timer5Timer() {
  IspLink& link = host_.Link();
  if (!Running()) return;
  if (!link.IsOpen()) {  // closed under the session
    Fail(kPortLost);
    return;
  }
  const auto turn = std::chrono::steady_clock::now();
  for (;;) {
    ReadPort();
    if (!link.IsOpen()) {  // the device went away while being read
      Fail(kPortLost);
      return;
    }
    if (Timer3.isActive())
      HandleSyncReply();
    else if (!expecting_)
      rx_.clear();  // nothing was asked: noise
    else
      HandleReply();
    if (portLost_) {
      Fail(kPortLost);
      return;
    }
    if (!Running() || Timer3.isActive()) return;
    const int64_t wait = QuickWaitUs();
    const int64_t spent = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - turn).count();
    if (wait <= 0 || spent + wait > kQuickTurnUs || !link.WaitReadable(wait)) return;
  }
}

void Stm32Engine::HandleReply() {
  const stm32::Reply r = stm32::ReadReply(rx_.data(), static_cast<int>(rx_.size()), expect_.reply, expect_.bytes);
  // Line noise before a reply is no reply.
  rx_.erase(rx_.begin(), rx_.begin() + r.skip);
  if (r.status == stm32::Reply::Status::Incomplete) {
    // The rest of a long reply needs its wire time: no wake-up for each
    // of its bytes, but back in time to wait for its end on the spot.
    const int64_t restUs = WireUs(r.missing);
    if (watching_ && restUs > kQuickLimitUs) host_.Link().PauseWatchFor(restUs - kPauseLeadUs);
    return;
  }
  std::memcpy(FrameBuffer, rx_.data(), static_cast<size_t>(std::min(r.length, kFrameBufferSize)));
  // Whatever came with it was sent before the next command could be seen,
  // so it belongs to no reply still to come.
  rx_.clear();
  Expect e = std::move(expect_);
  expect_ = {};
  expecting_ = false;
  Silence.stop();
  switch (r.status) {
    case stm32::Reply::Status::Invalid:
      Invalid(e.refused);
      break;
    case stm32::Reply::Status::Ack:
      if (!e.keepCounter) StepTimeoutCounter = 0;
      if (e.ack) e.ack(FrameBuffer);
      break;
    default:
      if (e.nack)
        e.nack();
      else
        Refuse(e.refused);
  }
}

void Stm32Engine::ReadPort() {
  ownRead_ = true;
  host_.Link().Poll();
  ownRead_ = false;
}

void Stm32Engine::HandleSyncReply() {
  const int count = static_cast<int>(rx_.size());
  if (count == 0 || !syncAwaiting_) {
    rx_.clear();  // nothing was asked: noise
    return;
  }
  // ACK: the boot loader has just synchronised. NACK: it was synchronised
  // already and took this byte as the end of a command; either way it now
  // waits for a command.
  if (!stm32::SyncAnswered(rx_.data(), count)) {
    SyncNoise();
    return;
  }
  rx_.clear();
  Timer3.stop();
  syncAwaiting_ = false;
  sentSinceAwait_ = 0;
  connected_ = true;
  StepTimeoutCounter = 0;
  ReportStatus(host_, QStringLiteral("已成功连接"));
  SendGet();
}

// Something answers, but not a boot loader: most often the user's program,
// the part having started from flash (BOOT0 low, no reset).
void Stm32Engine::SyncNoise() {
  const int count = static_cast<int>(rx_.size());
  syncNoiseBytes_ += static_cast<uint64_t>(count);
  if (syncNoise_.size() < 32) syncNoise_.append(reinterpret_cast<const char*>(rx_.data()), std::min<int>(count, 32));
  QString shown;
  for (char c : syncNoise_.left(32)) {
    const auto b = static_cast<uint8_t>(c);
    shown += b >= 0x20 && b < 0x7F ? QString(QLatin1Char(c)) : QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
  }
  cause_ = QStringLiteral("对同步字节 0x7F 的应答不是 ACK/NACK（收到 %1 字节: \"%2\"）：器件在运行用户程序，"
                          "没有进入 Bootloader，检查 BOOT0 和复位接线")
               .arg(syncNoiseBytes_)
               .arg(shown);
  rx_.clear();
  host_.ShowStatus(QStringLiteral("无法和设备通讯，请重新复位"));
}

void Stm32Engine::Resynchronise() {
  StmState = 1;
  syncAwaiting_ = false;
  expecting_ = false;
  cause_ = kNoSync;
  if (!Timer3.isActive()) Timer3.start();
}

int64_t Stm32Engine::QuickWaitUs() const {
  if (!expecting_ || expect_.busyMs > 0 || expect_.reply == Reply::Listed) return 0;
  int bytes = 0;
  if (rx_.empty()) {
    bytes = awaitSent_ + 1;
    if (expect_.reply == Reply::Bytes) bytes += expect_.bytes;
    if (expect_.reply == Reply::AckAck) bytes += 1;
  } else {
    const stm32::Reply r = stm32::ReadReply(rx_.data(), static_cast<int>(rx_.size()), expect_.reply, expect_.bytes);
    if (r.status != stm32::Reply::Status::Incomplete || r.missing <= 0) return 0;
    bytes = r.missing;
  }
  const int64_t wireUs = WireUs(bytes);
  return wireUs <= kQuickLimitUs ? wireUs + kQuickMarginUs : 0;
}

int64_t Stm32Engine::WireUs(int bytes) const {
  const uint32_t bps = std::max<uint32_t>(host_.Link().BitsPerSecond(), 1200);
  return int64_t{bytes} * 11 * 1000000 / bps;
}

int Stm32Engine::SilenceMs(const Expect& e, int sentBytes) const {
  // What was just written is still on the wire (256 bytes take 2.3 s at
  // 1200 bit/s), then the part works, then its reply comes back.
  int bytes = sentBytes + 1;
  if (e.reply == Reply::Listed) bytes = sentBytes + 260;
  if (e.reply == Reply::Bytes) bytes = sentBytes + 1 + e.bytes;
  if (e.reply == Reply::AckAck) bytes = sentBytes + 2;
  const uint32_t bps = std::max<uint32_t>(host_.Link().BitsPerSecond(), 1200);
  return e.busyMs + kAnswerMs + static_cast<int>(int64_t{bytes} * 11 * 1000 / bps);
}

void Stm32Engine::Await(Expect e) {
  StmState = e.state;
  step_ = StepName();
  cause_ = e.timeout;
  if (job_.failFast) Silence.start(SilenceMs(e, sentSinceAwait_));
  awaitSent_ = sentSinceAwait_;
  sentSinceAwait_ = 0;
  expect_ = std::move(e);
  expecting_ = true;
}

void Stm32Engine::Command(uint8_t code, Expect e) {
  lastCommand_ = code;
  if (SendCommand(code)) Await(std::move(e));
}

void Stm32Engine::ReadMemory(int32_t state, uint32_t address, int length, const QString& timeout,
                             std::function<void(const uint8_t*)> data, std::function<void(ReadRefusal)> refused) {
  Expect cmd;
  cmd.state = state;
  cmd.timeout = timeout;
  cmd.nack = [this, refused] { refused(ReadRefusal::Command); };
  cmd.ack = [this, state, address, length, timeout, data, refused](const uint8_t*) {
    if (!SendAddress(address)) return;
    Expect addr;
    addr.state = state + 1;
    addr.timeout = timeout;
    addr.nack = [refused] { refused(ReadRefusal::Address); };
    addr.ack = [this, state, length, timeout, data, refused](const uint8_t*) {
      if (!Send(stm32::ReadCountFrame(length))) return;
      Expect bytes;
      bytes.state = state + 2;
      bytes.reply = Reply::Bytes;
      bytes.bytes = length;
      bytes.timeout = timeout;
      bytes.nack = [refused] { refused(ReadRefusal::Count); };
      bytes.ack = [data](const uint8_t* b) { data(b + 1); };
      Await(std::move(bytes));
    };
    Await(std::move(addr));
  };
  Command(kReadMemory, std::move(cmd));
}

void Stm32Engine::Refuse(const QString& cause) {
  if (stallOnRefusal_) {
    cause_ = cause;  // the time-out ends it, naming this
    return;
  }
  Fail(cause);
}

void Stm32Engine::Invalid(const QString& cause) { Refuse(cause); }

bool Stm32Engine::Offers(uint8_t code) const {
  return std::find(commands_.begin(), commands_.end(), code) != commands_.end();
}

void Stm32Engine::SendGet() {
  Expect e;
  e.state = 2;
  e.reply = Reply::Listed;
  e.timeout = QStringLiteral("GET 命令没有应答");
  e.refused = QStringLiteral("GET 命令应答无效");
  // A NACK here may answer no GET: a 0x7F that crossed on the line made
  // the boot loader take the GET's code as a complement. Synchronise once
  // more; the next 0x7F completes whatever it now holds. A second NACK is
  // the part's refusal.
  e.nack = [this] {
    if (!resynchronised_) {
      resynchronised_ = true;
      Resynchronise();
      return;
    }
    Refuse(QStringLiteral("GET 命令被拒绝"));
  };
  e.ack = [this](const uint8_t* b) {
    // ACK, N, version, N command codes (GET first), ACK. Newer boot loaders
    // list more than the first eleven.
    const int n = b[1];
    if (n < 1 || b[3] != kGet) {
      Invalid(QStringLiteral("GET 命令应答无效"));
      return;
    }
    version_ = b[2];
    commands_.assign(b + 3, b + 3 + n);
    ReportStatus(host_, QStringLiteral("Bootloader 版本 %1.%2").arg(version_ / 16).arg(version_ % 16));
    SendGetId();
  };
  Command(kGet, std::move(e));
}

void Stm32Engine::SendGetId() {
  Expect e;
  e.state = 3;
  e.reply = Reply::Listed;
  e.timeout = QStringLiteral("GET ID 命令没有应答");
  e.refused = QStringLiteral("GET ID 命令应答无效");
  e.nack = [this] { Refuse(QStringLiteral("GET ID 命令被拒绝")); };
  e.ack = [this](const uint8_t* b) {
    if (b[1] < 1) {
      Invalid(QStringLiteral("GET ID 命令应答无效"));
      return;
    }
    ProductId = QStringLiteral("%1%2").arg(b[2], 2, 16, QLatin1Char('0')).arg(b[3], 2, 16, QLatin1Char('0')).toUpper();
    host_.AddLog(QStringLiteral("Product ID: ") + ProductId);
    Identified();
  };
  Command(kGetId, std::move(e));
}

void Stm32Engine::Identified() {
  part_ = &Stm32PartFor(static_cast<uint16_t>(ProductId.toUInt(nullptr, 16)));
  StandardErase = part_->erase == Stm32Erase::Standard;
  if (part_->erase == Stm32Erase::FromGet) {
    // Ask the boot loader which erase it knows; only a part that offers the
    // extended erase alone gets it.
    StandardErase = Offers(kErase) || !Offers(kExtendedErase);
  }
  PageSize = part_->pageSize ? static_cast<int32_t>(part_->pageSize) : 2048;
  host_.AddLog(QString::fromUtf8(part_->familyLine));
  if (part_->flashSizeAddress && NeedsSize(job_.kind))
    ReadFlashSize();
  else
    ReadBankMode();
}

void Stm32Engine::ReadFlashSize() {
  ReadMemory(
      4, part_->flashSizeAddress, part_->flashSizeReadBytes, QStringLiteral("读 Flash 容量没有应答"),
      [this](const uint8_t* d) {
        flashKB_ = Stm32DecodeFlashSize(*part_, d[0], d[1]);
        if (flashKB_) host_.AddLog(QStringLiteral("存储容量 Flash:%1 KB").arg(*flashKB_));
        ReadBankMode();
      },
      [this](ReadRefusal why) {
        // READ MEMORY refused outright: read-out protection. A refused
        // address: the register lies where this boot loader does not read.
        if (why == ReadRefusal::Command) readProtected_ = true;
        ReadBankMode();
      });
}

void Stm32Engine::ReadBankMode() {
  // Only a part whose size lets the option choose its map needs the word;
  // an unknown size is read as the line's largest, so that one's bit counts.
  const bool needsLayout = job_.kind == IspJobKind::Download || job_.kind == IspJobKind::Erase;
  if (!part_->bankOption.MaskFor(FlashBytes() / 1024) || readProtected_ || !needsLayout) {
    Prepared();
    return;
  }
  ReadMemory(
      6, part_->bankOption.address, 4, QStringLiteral("读选项字节没有应答"),
      [this](const uint8_t* d) {
        const uint32_t word = d[0] | (uint32_t{d[1]} << 8) | (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24);
        bankOptionWord_ = word;
        const bool dual = part_->bankOption.SaysDual(FlashBytes() / 1024, word);
        host_.AddLog(QStringLiteral("选项字节 %1 = %2: %3").arg(Hex32(part_->bankOption.address)).arg(Hex32(word))
                         .arg(dual ? QStringLiteral("双 Bank") : QStringLiteral("单 Bank")));
        Prepared();
      },
      [this](ReadRefusal) { Prepared(); });
}

uint32_t Stm32Engine::FlashBytes() const {
  if (!part_) return 0;
  if (flashKB_) return *flashKB_ * 1024;
  return part_->maxFlashKB * 1024;  // the line's largest, when the part does not tell
}

QString Stm32Engine::ProtectedCause() const {
  return QStringLiteral("读保护已开启：器件拒绝读写。") + job_.unprotectReadHint + QStringLiteral("（会擦除整片 Flash）");
}

bool Stm32Engine::MakeMap() {
  if (!part_->Known()) {
    Fail(QStringLiteral("未知器件 (Product ID %1)：不在器件表中，不知道它的页布局，为免丢失数据不擦除").arg(ProductId));
    return false;
  }
  if (!part_->Described()) {
    Fail(QStringLiteral("%1 (Product ID %2) 暂不支持：器件表中没有它的 Flash 布局，为免丢失数据不擦除")
             .arg(QString::fromLatin1(part_->name), ProductId));
    return false;
  }
  if (part_->bankOption.MaskFor(FlashBytes() / 1024)) {
    if (!bankOptionWord_) {
      Fail(QStringLiteral("读不出选项字节，不知道 Bank 模式和页大小，为免丢失数据不擦除"));
      return false;
    }
    // Which bit decides depends on the size: a size the part did not
    // report could be the wrong bit's.
    if (!flashKB_ && part_->minFlashKB < part_->maxFlashKB) {
      Fail(QStringLiteral("读不出 Flash 容量，不知道哪个选项位决定 Bank 模式，为免丢失数据不擦除"));
      return false;
    }
    if (*bankOptionWord_ & part_->bankOption.swapMask) {
      Fail(QStringLiteral("选项字节 SWAP_BANK 已置位：两个 Bank 的地址互换，不知道页号对应哪个 Bank，为免丢失数据不擦除"));
      return false;
    }
  }
  map_ = std::make_unique<Stm32FlashMap>(*part_, FlashBytes(), bankOptionWord_);
  if (map_->Units().empty()) {
    Fail(QStringLiteral("不知道 %1 KB 的 %2 的页布局，为免丢失数据不擦除").arg(FlashBytes() / 1024).arg(QString::fromLatin1(part_->name)));
    return false;
  }
  return true;
}

bool Stm32Engine::NumbersSure(const std::vector<Stm32Unit>& units) {
  for (const Stm32Unit& u : units) {
    if (u.numberSure) continue;
    // The boot loader takes one number per unit; which number it gives a
    // unit of bank 2 on this size is not known, and a wrong one erases
    // some other page.
    Fail(QStringLiteral("%1 (%2 KB)：第二个 Bank（%3 起）的页号未经核实，不知道启动程序认哪种编号，"
                        "为免擦错页不擦除；映像只在第一个 Bank 之内、或写满第二个 Bank 的每一页时可以下载")
             .arg(QString::fromLatin1(part_->name))
             .arg(FlashBytes() / 1024)
             .arg(Hex32(kFlashBase + map_->Bank2Offset())));
    return false;
  }
  return true;
}

void Stm32Engine::Prepared() { StartJob(); }

void Stm32Engine::StartJob() {
  const IspJobKind k = job_.kind;
  if (readProtected_ && k != IspJobKind::Info && k != IspJobKind::UnprotectRead) {
    // Every command but GET, GET ID, GET VERSION and READOUT UNPROTECT is
    // refused now: say so instead of waiting for the refusals.
    Fail(ProtectedCause());
    return;
  }
  if (NeedsSize(k) && part_->Described() && !flashKB_ && k != IspJobKind::Info)
    host_.AddLog(QStringLiteral("读不出 Flash 容量，按此系列最大的 %1 KB").arg(part_->maxFlashKB));
  switch (k) {
    case IspJobKind::Download:
      StartDownload();
      return;
    case IspJobKind::Verify:
      if (!LoadForJob()) return;
      StartVerify();
      return;
    case IspJobKind::Read:
    case IspJobKind::BlankCheck:
      StartRead();
      return;
    case IspJobKind::Erase:
      if (job_.address || job_.length) {
        EraseRange();
      } else if (part_->massErase || !part_->Described()) {
        // The part erases itself: no layout is guessed.
        MassErase(stm32::MassEraseFrame(!StandardErase), QStringLiteral("整片擦除。。。"));
      } else {
        if (!MakeMap() || !NumbersSure(map_->Units())) return;
        std::vector<uint32_t> numbers;
        for (const Stm32Unit& u : map_->Units()) numbers.push_back(u.number);
        StartErase(numbers, false);
      }
      return;
    case IspJobKind::ProtectRead:
      Protection(kReadoutProtect, QStringLiteral("读保护已开启"));
      return;
    case IspJobKind::UnprotectRead:
      host_.AddLog(QStringLiteral("解除读保护会擦除整片 Flash。。。"));
      Protection(kReadoutUnprotect, QStringLiteral("读保护已解除，Flash 已擦除"));
      return;
    case IspJobKind::UnprotectWrite:
      Protection(kWriteUnprotect, QStringLiteral("写保护已解除"));
      return;
    case IspJobKind::Go: {
      const uint32_t at = job_.goAddress.value_or(kFlashBase);
      GoTo(at, [this, at] { Succeed(QStringLiteral("程序已从 %1 开始运行").arg(Hex32(at))); });
      return;
    }
    case IspJobKind::Info:
      ReadUniqueId();
      return;
  }
}

void Stm32Engine::StartDownload() {
  if (job_.readUniqueId && part_->uniqueIdAddress && uniqueId_.isEmpty()) {
    // A production line records which chip took the image; read before
    // anything is erased, then the job goes on either way.
    FetchUniqueId([this] { StartJob(); });
    return;
  }
  if (!MakeMap() || !LoadForJob()) return;
  // Exactly the units that hold the image's data: flash around it
  // (settings, logs) keeps what it holds.
  std::vector<Stm32Unit> units;
  for (const auto& sg : image_.Segments()) {
    const std::vector<Stm32Unit> held = map_->Covering(sg.offset, sg.length);
    units.insert(units.end(), held.begin(), held.end());
  }
  std::sort(units.begin(), units.end(), [](const Stm32Unit& a, const Stm32Unit& b) { return a.offset < b.offset; });
  units.erase(std::unique(units.begin(), units.end(),
                          [](const Stm32Unit& a, const Stm32Unit& b) { return a.offset == b.offset; }),
              units.end());
  // Bank 2's numbers unknown but the image holding every unit of it:
  // the bank erase clears exactly those units, no number needed.
  const auto unsure = std::count_if(units.begin(), units.end(), [](const Stm32Unit& u) { return !u.numberSure; });
  const auto inBank2 = std::count_if(map_->Units().begin(), map_->Units().end(),
                                     [this](const Stm32Unit& u) { return u.offset >= map_->Bank2Offset(); });
  const bool wholeBank2 = unsure > 0 && unsure == inBank2 && part_->bankErase && !StandardErase;
  if (!wholeBank2 && !NumbersSure(units)) return;
  std::vector<uint32_t> numbers;
  for (const Stm32Unit& u : units)
    if (u.numberSure) numbers.push_back(u.number);
  std::sort(numbers.begin(), numbers.end());
  StartErase(numbers, true, wholeBank2);
}

bool Stm32Engine::LoadForJob() {
  StepTimeoutCounter = 0;
  step_ = QStringLiteral("加载文件");
  host_.AddLog(QStringLiteral("加载文件。。。"));
  // Where bank 2 lies apart, an image may reach past the flash size.
  image_.FlashSizeKB = static_cast<int32_t>(std::max(FlashBytes(), map_ ? map_->SpanBytes() : 0u) / 1024);
  if (!part_->Known()) image_.FlashSizeKB = FirmwareImage::kMaxImageBytes / 1024;
  image_.ErasedValue = part_->erasedValue;
  image_.WriteUnit = part_->programBytes;
  // The image is checked against the part before anything is erased.
  if (!RenewedlyLoadFile()) return false;
  for (const IspImagePatch& p : job_.patches) {
    if (p.address < kFlashBase || !image_.Patch(p.address - kFlashBase, p.bytes)) {
      Fail(QStringLiteral("写入数据的地址不在 Flash 之内: 地址 %1").arg(Hex32(p.address)));
      return false;
    }
  }
  if (!job_.patches.empty()) host_.SetProgressMax(image_.Length());
  // Data for addresses the part does not have (the hole between two banks
  // kept apart) would be refused block by block after the erase: say so
  // before anything changes.
  if (map_) {
    for (const auto& sg : image_.Segments()) {
      if (sg.length && !map_->Holds(sg.offset, sg.length)) {
        uint32_t at = sg.offset;
        while (map_->UnitHolding(at)) at = map_->UnitHolding(at)->offset + map_->UnitHolding(at)->size;
        Fail(QStringLiteral("映像在 %1 处的数据不在 Flash 之内（此器件在那里没有 Flash），为免丢失数据不擦除").arg(Hex32(kFlashBase + at)));
        return false;
      }
    }
  }
  WriteAddress = kFlashBase;
  WriteOffset = 0;
  BytesRemaining = image_.Length();
  // Without the part's own size, a line whose parts differ in size has its
  // second bank where the size puts it: only the smallest part's first
  // bank is certain.
  if (map_ && !flashKB_ && map_->TwoBanks() && part_->minFlashKB < part_->maxFlashKB) {
    const uint32_t certain = part_->minFlashKB * 1024 / 2;
    if (static_cast<uint32_t>(image_.Length()) > certain) {
      Fail(QStringLiteral("读不出 Flash 容量，第二个 Bank 的页号不能确定，为免丢失数据不擦除"));
      return false;
    }
  }
  host_.AddLog(QStringLiteral("加载文件完成！"));
  return true;
}

bool Stm32Engine::RenewedlyLoadFile() {
  const FirmwareLoadResult r = image_.Load(job_.file);
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
      host_.ShowStatus(r.status);
      host_.SetProgress(0);
      Ended(IspResult::Failure(r.status, QStringLiteral("加载文件")));
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

std::vector<Stm32Engine::Block> Stm32Engine::WriteBlocks(const std::vector<FirmwareImage::Segment>& segments,
                                                         uint32_t imageLength, uint32_t unit) {
  std::vector<Block> blocks;
  unit = std::max<uint32_t>(unit, 4);
  uint32_t done = 0;  // everything below is in a block already
  for (const auto& sg : segments) {
    uint32_t at = std::max(sg.offset / unit * unit, done);
    const uint64_t stop = std::min<uint64_t>(imageLength, (uint64_t{sg.offset} + sg.length + unit - 1) / unit * unit);
    while (at < stop) {
      const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(stop, (uint64_t{at} / kMaxBlock + 1) * kMaxBlock));
      if (!blocks.empty() && blocks.back().offset + blocks.back().length == at && at % kMaxBlock != 0)
        blocks.back().length += end - at;  // the same 256 bytes: one frame
      else
        blocks.push_back({at, end - at});
      at = end;
    }
    done = std::max<uint32_t>(done, static_cast<uint32_t>(stop));
  }
  return blocks;
}

void Stm32Engine::StartErase(const std::vector<uint32_t>& numbers, bool thenWrite, bool eraseBank2) {
  blocks_.clear();
  blockNext_ = 0;
  if (thenWrite) blocks_ = WriteBlocks(image_.Segments(), static_cast<uint32_t>(image_.Length()), part_->programBytes);
  if (numbers.empty() && !eraseBank2) {
    if (thenWrite) StartWrite();
    else Succeed(QStringLiteral("擦除完成"));
    return;
  }
  if (StandardErase && numbers.back() >= static_cast<uint32_t>(kStandardPages)) {
    Fail(QStringLiteral("擦除命令只能擦除 %1 页，文件需要 %2 页").arg(kStandardPages).arg(numbers.back() + 1));
    return;
  }
  // A frame keeps the part busy for at most about kEraseFrameMs, so no
  // step outlasts its time-out.
  const int perFrame = static_cast<int>(kEraseFrameMs / std::max<uint32_t>(1, part_->unitEraseMaxMs));
  eraseFrames_ = numbers.empty() ? std::vector<std::vector<uint8_t>>{} : stm32::EraseFrames(!StandardErase, numbers, perFrame);
  if (eraseBank2) eraseFrames_.push_back(stm32::Bank2EraseFrame());
  eraseNext_ = 0;
  // The ranges erased, as the boot loader numbers them.
  QStringList ranges;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    ranges << QStringLiteral("擦除页[ %1 .. %2 ]").arg(numbers[i]).arg(numbers[j]);
    i = j + 1;
  }
  if (eraseBank2) ranges << QStringLiteral("擦除整个 Bank 2");
  const bool download = thenWrite;
  Expect first;
  first.state = 7;
  first.timeout = QStringLiteral("擦除命令没有应答");
  first.refused = QStringLiteral("擦除命令被拒绝");
  first.ack = [this, ranges, download](const uint8_t*) {
    host_.ShowStatus(QStringLiteral("正在擦除。。。"));
    host_.AddLog(QStringLiteral(" "));
    for (const QString& r : ranges) host_.AddLog(r);
    if (download) host_.AddLog(QStringLiteral("开始写入。。。"));
    eraseNext_ = 0;
    NextEraseFrame();
  };
  // The first frame goes once the command's ACK is in (above); the rest
  // through NextEraseFrame, each behind a command of its own.
  Command(StandardErase ? kErase : kExtendedErase, std::move(first));
}

void Stm32Engine::NextEraseFrame() {
  const std::vector<uint8_t>& frame = eraseFrames_[eraseNext_];
  const int units = stm32::UnitsInEraseFrame(!StandardErase, frame);
  if (!Send(frame)) return;
  // A whole bank takes as long as half the flash.
  if (frame == stm32::Bank2EraseFrame()) stepLimit_ = std::max(10, static_cast<int>(part_->massEraseMaxMs / 1000) + 10);
  Expect done;
  done.busyMs = units * static_cast<int>(part_->unitEraseMaxMs);
  done.state = 8;
  done.timeout = QStringLiteral("擦除没有完成");
  done.refused = QStringLiteral("擦除被拒绝");
  done.ack = [this](const uint8_t*) {
    stepLimit_ = 10;
    if (++eraseNext_ < eraseFrames_.size()) {
      // The count is one byte (two for the extended erase): a long list
      // goes in several commands.
      Expect more;
      more.state = 7;
      more.timeout = QStringLiteral("擦除命令没有应答");
      more.refused = QStringLiteral("擦除命令被拒绝");
      more.ack = [this](const uint8_t*) { NextEraseFrame(); };
      Command(StandardErase ? kErase : kExtendedErase, std::move(more));
      return;
    }
    if (!blocks_.empty() || job_.kind == IspJobKind::Download)
      StartWrite();
    else
      Succeed(QStringLiteral("擦除完成"));
  };
  Await(std::move(done));
}

void Stm32Engine::MassErase(std::vector<uint8_t> frame, const QString& line) {
  host_.ShowStatus(QStringLiteral("正在擦除。。。"));
  host_.AddLog(line);
  Expect cmd;
  cmd.state = 7;
  cmd.timeout = QStringLiteral("擦除命令没有应答");
  cmd.refused = QStringLiteral("擦除命令被拒绝");
  cmd.ack = [this, frame](const uint8_t*) {
    if (!Send(frame)) return;
    // The whole flash takes longer than one step's time.
    stepLimit_ = std::max(10, static_cast<int>(part_->massEraseMaxMs / 1000) + 10);
    Expect done;
    done.busyMs = static_cast<int>(part_->massEraseMaxMs);
    done.state = 8;
    done.timeout = QStringLiteral("擦除没有完成");
    done.refused = QStringLiteral("整片擦除被拒绝");
    done.ack = [this](const uint8_t*) {
      stepLimit_ = 10;
      Succeed(QStringLiteral("擦除完成"));
    };
    Await(std::move(done));
  };
  Command(StandardErase ? kErase : kExtendedErase, std::move(cmd));
}

void Stm32Engine::EraseRange() {
  if (!MakeMap()) return;
  const uint32_t address = job_.address.value_or(kFlashBase);
  const uint32_t length = job_.length.value_or(FlashBytes() - std::min(FlashBytes(), address - kFlashBase));
  const uint64_t end = uint64_t{address} + length;
  if (address < kFlashBase || end > uint64_t{kFlashBase} + map_->SpanBytes() || length == 0 ||
      !map_->Holds(address - kFlashBase, length)) {
    Fail(QStringLiteral("擦除范围不在 Flash 之内: %1 .. %2").arg(Hex32(address)).arg(Hex32(static_cast<uint32_t>(end - 1))));
    return;
  }
  // Only whole units can be erased: a range that splits one would lose
  // the data beside it, so it is refused, naming the unit.
  const uint32_t from = address - kFlashBase;
  const uint32_t to = static_cast<uint32_t>(end - kFlashBase);
  for (uint32_t edge : {from, to}) {
    const Stm32Unit* u = map_->UnitHolding(edge == to ? to - 1 : edge);
    if (!u) continue;
    const bool split = edge == from ? u->offset != from : u->offset + u->size != to;
    if (split) {
      Fail(QStringLiteral("擦除范围必须是整页: %1 在页 %2 (%3 .. %4) 之中")
               .arg(Hex32(kFlashBase + edge))
               .arg(u->number)
               .arg(Hex32(kFlashBase + u->offset))
               .arg(Hex32(kFlashBase + u->offset + u->size - 1)));
      return;
    }
  }
  const std::vector<Stm32Unit> units = map_->Covering(from, length);
  if (!NumbersSure(units)) return;
  std::vector<uint32_t> numbers;
  for (const Stm32Unit& u : units) numbers.push_back(u.number);
  std::sort(numbers.begin(), numbers.end());
  StartErase(numbers, false);
}

void Stm32Engine::StartWrite() { WriteBlock(); }

void Stm32Engine::WriteBlock() {
  // After an erase, a block of nothing but erased flash is already there.
  const uint8_t* image = image_.ImageBuffer();
  while (blockNext_ < blocks_.size()) {
    const Block& b = blocks_[blockNext_];
    const uint8_t* data = image + b.offset;
    if (!std::all_of(data, data + b.length, [this](uint8_t v) { return v == part_->erasedValue; })) break;
    ++blockNext_;
  }
  if (blockNext_ >= blocks_.size()) {
    WriteOffset = static_cast<uint32_t>(image_.Length());
    BytesRemaining = 0;
    host_.SetProgress(image_.Length());
    if (job_.verify)
      StartVerify();
    else
      Finish();
    return;
  }
  const Block block = blocks_[blockNext_];
  WriteAddress = kFlashBase + block.offset;
  const uint32_t address = WriteAddress;
  Expect cmd;
  cmd.state = 9;
  cmd.keepCounter = true;
  cmd.timeout = QStringLiteral("写命令没有应答: 地址 %1").arg(Hex32(address));
  cmd.refused = QStringLiteral("写命令被拒绝: 地址 %1").arg(Hex32(address));
  cmd.ack = [this, block, address](const uint8_t*) {
    host_.ShowStatus(QStringLiteral("写地址: 0x") + QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')).toUpper());
    if (!SendAddress(address)) return;
    Expect addr;
    addr.state = 10;
    addr.keepCounter = true;
    addr.timeout = QStringLiteral("写地址没有应答: 地址 %1").arg(Hex32(address));
    addr.refused = QStringLiteral("写地址被拒绝: 地址 %1").arg(Hex32(address));
    addr.ack = [this, block, address](const uint8_t*) {
      // Count, data, checksum in one write.
      if (!Send(stm32::WriteDataFrame(image_.ImageBuffer() + block.offset, static_cast<int>(block.length)))) return;
      WriteOffset = block.offset + block.length;
      BytesRemaining = image_.Length() - static_cast<int32_t>(WriteOffset);
      host_.SetProgress(static_cast<int>(WriteOffset));
      Expect done;
      done.busyMs = kProgramBlockMs;
      done.state = blockNext_ + 1 < blocks_.size() ? 8 : 11;
      done.timeout = QStringLiteral("写入没有应答: 地址 %1").arg(Hex32(address));
      done.refused = QStringLiteral("写入被拒绝: 地址 %1").arg(Hex32(address));
      done.ack = [this](const uint8_t*) {
        ++blockNext_;
        WriteBlock();
      };
      Await(std::move(done));
    };
    Await(std::move(addr));
  };
  Command(kWriteMemory, std::move(cmd));
}

void Stm32Engine::StartVerify() {
  StepTimeoutCounter = 0;
  if (job_.kind == IspJobKind::Verify)
    blocks_ = WriteBlocks(image_.Segments(), static_cast<uint32_t>(image_.Length()), part_->programBytes);
  blockNext_ = 0;
  host_.ShowStatus(QStringLiteral("正在校验。。。"));
  host_.AddLog(QStringLiteral("开始校验。。。"));
  host_.SetProgress(0);
  VerifyBlock();
}

void Stm32Engine::VerifyBlock() {
  if (blockNext_ >= blocks_.size()) {
    if (job_.kind == IspJobKind::Verify)
      Succeed(QStringLiteral("校验通过"));
    else
      Finish();
    return;
  }
  const Block block = blocks_[blockNext_];
  const uint32_t address = kFlashBase + block.offset;
  ReadMemory(
      12, address, static_cast<int>(block.length), QStringLiteral("校验读取没有应答: 地址 %1").arg(Hex32(address)),
      [this, block](const uint8_t* data) {
        const uint8_t* expected = image_.ImageBuffer() + block.offset;
        for (uint32_t i = 0; i < block.length; ++i) {
          if (data[i] != expected[i]) {
            Fail(QStringLiteral("校验错误: 地址 %1 读出 0x%2，应为 0x%3")
                     .arg(Hex32(kFlashBase + block.offset + i))
                     .arg(data[i], 2, 16, QLatin1Char('0'))
                     .arg(expected[i], 2, 16, QLatin1Char('0')));
            return;
          }
        }
        host_.SetProgress(static_cast<int>(block.offset + block.length));
        ++blockNext_;
        VerifyBlock();
      },
      [this, address](ReadRefusal why) {
        Refuse(why == ReadRefusal::Command ? QStringLiteral("读命令被拒绝，无法校验")
                                           : QStringLiteral("校验读取被拒绝: 地址 %1").arg(Hex32(address)));
      });
}

void Stm32Engine::StartRead() {
  const bool blank = job_.kind == IspJobKind::BlankCheck;
  const uint32_t flash = part_->Known() ? FlashBytes() : 0;
  readAddress_ = job_.address.value_or(kFlashBase);
  if (job_.length) {
    readLength_ = *job_.length;
  } else if (readAddress_ >= kFlashBase && readAddress_ - kFlashBase < flash) {
    readLength_ = flash - (readAddress_ - kFlashBase);
  } else {
    Fail(part_->Known() ? QStringLiteral("地址 %1 不在 Flash 之内，需要给出长度").arg(Hex32(readAddress_))
                        : QStringLiteral("未知器件，不知道 Flash 的大小，需要给出地址和长度"));
    return;
  }
  if (uint64_t{readAddress_} + readLength_ > 0x100000000ULL) {
    Fail(QStringLiteral("范围超出 4 GB 地址空间"));
    return;
  }
  readBytes_.clear();
  if (!blank) readBytes_.reserve(static_cast<qsizetype>(readLength_));
  readBytes_.resize(0);
  blockNext_ = 0;  // bytes done, here
  host_.SetProgressMax(static_cast<int>(std::min<uint32_t>(readLength_, INT32_MAX)));
  host_.SetProgress(0);
  host_.ShowStatus(blank ? QStringLiteral("正在查空。。。") : QStringLiteral("正在读出。。。"));
  host_.AddLog(QStringLiteral("%1 %2 起 %3 字节。。。")
                   .arg(blank ? QStringLiteral("查空") : QStringLiteral("读出"))
                   .arg(Hex32(readAddress_))
                   .arg(readLength_));
  ReadBlock();
}

void Stm32Engine::ReadBlock() {
  const bool blank = job_.kind == IspJobKind::BlankCheck;
  const uint32_t done = static_cast<uint32_t>(blockNext_);
  if (done >= readLength_) {
    if (blank) {
      Succeed(QStringLiteral("查空完成：全部为空"));
      return;
    }
    QString error;
    const auto* data = reinterpret_cast<const uint8_t*>(readBytes_.constData());
    if (!WriteImageFile(job_.file, readAddress_, std::vector<uint8_t>(data, data + readBytes_.size()), &error)) {
      Fail(error);
      return;
    }
    Succeed(QStringLiteral("读出完成：%1 字节已写入 %2").arg(readLength_).arg(job_.file));
    return;
  }
  const int n = static_cast<int>(std::min<uint32_t>(kMaxBlock, readLength_ - done));
  const uint32_t address = readAddress_ + done;
  ReadMemory(
      20, address, n, QStringLiteral("读取没有应答: 地址 %1").arg(Hex32(address)),
      [this, n, address, blank](const uint8_t* data) {
        if (blank) {
          const uint8_t erased = part_->erasedValue;
          for (int i = 0; i < n; ++i)
            if (data[i] != erased) {
              Fail(QStringLiteral("不是空的: 地址 %1 读出 %2").arg(Hex32(address + static_cast<uint32_t>(i))).arg(Hex8(data[i])));
              return;
            }
        } else {
          readBytes_.append(reinterpret_cast<const char*>(data), n);
        }
        blockNext_ += static_cast<size_t>(n);
        host_.SetProgress(static_cast<int>(blockNext_));
        ReadBlock();
      },
      [this, address](ReadRefusal why) {
        Fail(why == ReadRefusal::Command ? ProtectedCause()
                                         : QStringLiteral("读取被拒绝: 地址 %1").arg(Hex32(address)));
      });
}

void Stm32Engine::GoTo(uint32_t address, std::function<void()> then) {
  Expect cmd;
  cmd.state = 30;
  cmd.timeout = QStringLiteral("GO 命令没有应答");
  cmd.refused = QStringLiteral("GO 命令被拒绝（读保护已开启？）");
  cmd.ack = [this, address, then](const uint8_t*) {
    if (!SendAddress(address)) return;
    Expect addr;
    addr.state = 31;
    addr.timeout = QStringLiteral("GO 地址没有应答: 地址 %1").arg(Hex32(address));
    addr.refused = QStringLiteral("GO 地址被拒绝: 地址 %1").arg(Hex32(address));
    addr.ack = [this, then](const uint8_t*) {
      wentTo_ = true;  // the program runs: no reset after it
      then();
    };
    Await(std::move(addr));
  };
  Command(kGo, std::move(cmd));
}

void Stm32Engine::Protection(uint8_t code, const QString& done) {
  const QString name = code == kReadoutProtect     ? QStringLiteral("设置读保护")
                       : code == kReadoutUnprotect ? QStringLiteral("解除读保护")
                                                   : QStringLiteral("解除写保护");
  if (!Offers(code)) {
    Fail(QStringLiteral("这个 Bootloader 没有%1命令 (%2)").arg(name, Hex8(code)));
    return;
  }
  // ACK for the command, a second one once the option bytes are written
  // (and, to remove read-out protection, the whole flash erased); then the
  // part resets itself.
  if (code == kReadoutUnprotect) stepLimit_ = std::max(10, static_cast<int>(part_->massEraseMaxMs / 1000) + 10);
  Expect e;
  // Option bytes written, and for read-out protection the flash erased.
  e.busyMs = static_cast<int>(part_->massEraseMaxMs) + 1000;
  e.state = 40;
  e.reply = Reply::AckAck;
  e.timeout = name + QStringLiteral("没有完成");
  e.refused = name + QStringLiteral("命令被拒绝");
  e.ack = [this, done](const uint8_t*) {
    stepLimit_ = 10;
    Succeed(done);
  };
  Command(code, std::move(e));
}

void Stm32Engine::ReadUniqueId() {
  // Read-out protection shows in READ MEMORY's refusal; a part whose size
  // was not read is asked at its flash base.
  if (!readProtected_ && !flashKB_ && !probed_) {
    probed_ = true;
    ReadMemory(
        20, kFlashBase, 1, QStringLiteral("读取没有应答: 地址 %1").arg(Hex32(kFlashBase)),
        [this](const uint8_t*) { ReadUniqueId(); },
        [this](ReadRefusal why) {
          if (why == ReadRefusal::Command) readProtected_ = true;
          ReadUniqueId();
        });
    return;
  }
  if (readProtected_ || !part_->uniqueIdAddress) {
    ReadInfoOptions();
    return;
  }
  FetchUniqueId([this] { ReadInfoOptions(); });
}

// The 96-bit ID is three words, the third not always next to the first two;
// a part that refuses the read goes on without it.
void Stm32Engine::FetchUniqueId(std::function<void()> then) {
  const int third = part_->uniqueIdThirdWord;
  ReadMemory(
      50, part_->uniqueIdAddress, third + 4, QStringLiteral("读唯一 ID 没有应答"),
      [this, third, then](const uint8_t* d) {
        QByteArray id(reinterpret_cast<const char*>(d), 8);
        id.append(reinterpret_cast<const char*>(d + third), 4);
        uniqueId_ = QString::fromLatin1(id.toHex()).toUpper();
        then();
      },
      [this, then](ReadRefusal) {
        uniqueId_ = QStringLiteral("读不出");
        then();
      });
}

// The option word the row names (the bank mode): shown, and it decides the
// first erase unit of lines whose page size follows the bank mode.
void Stm32Engine::ReadInfoOptions() {
  bankOptionWord_.reset();
  if (readProtected_ || !part_->bankOption.address) {
    ReadInfoOptionBytes(0);
    return;
  }
  ReadMemory(
      50, part_->bankOption.address, 4, QStringLiteral("读选项字节没有应答"),
      [this](const uint8_t* d) {
        bankOptionWord_ = d[0] | (uint32_t{d[1]} << 8) | (uint32_t{d[2]} << 16) | (uint32_t{d[3]} << 24);
        ReadInfoOptionBytes(0);
      },
      [this](ReadRefusal) { ReadInfoOptionBytes(0); });
}

// The option bytes as the part holds them, area by area (bank 2 has its own
// on some F4 lines). A read-protected part refuses them like any other read.
void Stm32Engine::ReadInfoOptionBytes(size_t area) {
  const Stm32InfoFacts& facts = Stm32InfoFor(*part_);
  if (facts.optionsInRegisters) {
    optionBytesLines_ = {QStringLiteral("选项字节: 只在 Flash 寄存器中，Bootloader 读不到")};
    ReportInfo();
    return;
  }
  const uint32_t at = area == 0 ? facts.optionBytes : area == 1 ? facts.optionBytes2 : 0;
  if (!at || !facts.optionBytesLength) {
    if (area == 0) optionBytesLines_ = {QStringLiteral("选项字节: 此系列的位置未记录")};
    ReportInfo();
    return;
  }
  const QString head = QStringLiteral("选项字节 (%1): ").arg(Hex32(at));
  if (readProtected_) {
    optionBytesLines_ << head + QStringLiteral("读不出（读保护已开启）");
    ReadInfoOptionBytes(area + 1);
    return;
  }
  const int length = facts.optionBytesLength;
  ReadMemory(
      50, at, length, QStringLiteral("读选项字节没有应答: 地址 %1").arg(Hex32(at)),
      [this, area, head, length](const uint8_t* d) {
        const QByteArray bytes(reinterpret_cast<const char*>(d), length);
        optionBytesLines_ << head + QString::fromLatin1(bytes.toHex(' ')).toUpper();
        ReadInfoOptionBytes(area + 1);
      },
      [this, area, head](ReadRefusal why) {
        optionBytesLines_ << head + (why == ReadRefusal::Command ? QStringLiteral("读不出（读保护已开启）")
                                                                 : QStringLiteral("读不出（Bootloader 拒绝该地址）"));
        ReadInfoOptionBytes(area + 1);
      });
}

void Stm32Engine::ReportInfo() {
  info_ << QStringLiteral("Product ID: 0x") + ProductId
        << QStringLiteral("器件: %1").arg(part_->Known() ? QString::fromLatin1(part_->name) : QStringLiteral("未知"))
        << QStringLiteral("Bootloader 版本: %1.%2").arg(version_ / 16).arg(version_ % 16)
        << (flashKB_           ? QStringLiteral("Flash 容量: %1 KB").arg(*flashKB_)
            : part_->Described() ? QStringLiteral("Flash 容量: 读不出（此系列最大 %1 KB）").arg(part_->maxFlashKB)
                               : QStringLiteral("Flash 容量: 读不出"));
  // The first erase unit, where the layout is certain: a line whose pages
  // follow the bank mode needs the option word read.
  std::optional<bool> twoBanks;
  if (part_->Described() && (!part_->bankOption.MaskFor(FlashBytes() / 1024) || bankOptionWord_)) {
    const Stm32FlashMap map(*part_, FlashBytes(), bankOptionWord_);
    twoBanks = map.TwoBanks();
    if (!map.Units().empty()) {
      const uint32_t size = map.Units().front().size;
      info_ << QStringLiteral("第一个%1: %2")
                   .arg(part_->pageSize ? QStringLiteral("页") : QStringLiteral("扇区"))
                   .arg(size % 1024 ? QStringLiteral("%1 字节").arg(size) : QStringLiteral("%1 KB").arg(size / 1024));
    }
  }
  const Stm32InfoFacts& facts = Stm32InfoFor(*part_);
  const bool bootRam = part_->Known() && part_->bootRamEnd > part_->bootRamStart;
  const QString bootRamText =
      bootRam ? QStringLiteral("%1..%2 由 Bootloader 占用").arg(Hex32(part_->bootRamStart), Hex32(part_->bootRamEnd - 1))
              : QString();
  if (facts.ramKB)
    info_ << QStringLiteral("RAM: 最多 %1 KB").arg(facts.ramKB) +
                 (bootRam ? QStringLiteral("（其中 %1）").arg(bootRamText) : QString());
  else if (bootRam)
    info_ << QStringLiteral("RAM: ") + bootRamText;
  if (bankOptionWord_)
    info_ << QStringLiteral("选项字节 (%1): %2").arg(Hex32(part_->bankOption.address), Hex32(*bankOptionWord_)) +
                 (!twoBanks ? QString() : *twoBanks ? QStringLiteral("，双 Bank") : QStringLiteral("，单 Bank"));
  info_ << optionBytesLines_;
  info_ << (!part_->uniqueIdAddress ? QStringLiteral("唯一 ID: 无")
            : readProtected_        ? QStringLiteral("唯一 ID: 读不出（读保护已开启）")
                                    : QStringLiteral("唯一 ID: ") + uniqueId_)
        << (readProtected_ ? QStringLiteral("读保护: 已开启") : QStringLiteral("读保护: 未开启"));
  for (const QString& line : info_) host_.AddLog(line);
  Succeed(QStringLiteral("读器件信息完成"));
}

void Stm32Engine::Finish() {
  host_.SetProgress(0);
  if (job_.go) {
    const uint32_t at = job_.goAddress.value_or(kFlashBase);
    GoTo(at, [this, at] {
      host_.AddLog(QStringLiteral("程序已从 %1 开始运行").arg(Hex32(at)));
      Succeed(QStringLiteral("上载完成！"));
    });
    return;
  }
  Succeed(QStringLiteral("上载完成！"));
}

void Stm32Engine::Succeed(const QString& line) {
  StmState = 1;
  host_.SetProgress(0);
  ReportStatus(host_, line);
  OvertimeT.stop();
  Timer5.stop();
  if (ResetsPart() && !wentTo_) ResetIntoProgram();
  EndSession();
  IspResult r = IspResult::Success(line);
  r.info = info_;
  Ended(r);
}

// The cause is the last line the user reads. A part that never answered
// is "连机失败 ！" first (check the cable, the reset wiring); once it has
// answered, the cause alone says what went wrong, on the status line too.
void Stm32Engine::Fail(const QString& cause) {
  if (!Running() && !linked_) return;  // ended already
  StmState = 1;
  expecting_ = false;
  host_.SetProgress(0);
  const QString why = cause.isEmpty() ? kNoSync : cause;
  if (!connected_) {
    ReportStatus(host_, QStringLiteral("连机失败 ！"));
    host_.AddLog(why);
  } else {
    ReportStatus(host_, why);
  }
  EndSession();
  IspResult r = IspResult::Failure(why, step_);
  if (connected_ && why != kPortLost) r.command = Hex8(lastCommand_);
  r.info = info_;
  Ended(r);
}

QString Stm32Engine::StepName() const {
  const int s = StmState;
  if (s <= 1) return QStringLiteral("连接");
  if (s <= 3) return QStringLiteral("识别");
  if (s <= 6) return QStringLiteral("读容量");
  if (s <= 8) return QStringLiteral("擦除");
  if (s <= 11) return QStringLiteral("写入");
  if (s <= 14) return QStringLiteral("校验");
  if (s <= 22) return job_.kind == IspJobKind::BlankCheck ? QStringLiteral("查空") : QStringLiteral("读出");
  if (s <= 31) return QStringLiteral("运行程序");
  if (s <= 41) return IspJobName(job_.kind);
  return QStringLiteral("读唯一 ID");
}

void Stm32Engine::Ended(IspResult result) {
  result.partAnswered = connected_;
  if (!ProductId.isEmpty() && connected_) result.partId = ProductId;
  // The device name --info prints, not the family line of the log.
  if (part_ && connected_ && part_->Known()) result.partName = QString::fromLatin1(part_->name);
  if (!uniqueId_.isEmpty() && uniqueId_ != QStringLiteral("读不出")) result.uniqueId = uniqueId_;
  host_.SessionEnded(result);
}

void Stm32Engine::EndSession() {
  Silence.stop();
  OvertimeT.stop();
  Timer3.stop();
  Timer5.stop();
  syncAwaiting_ = false;
  expecting_ = false;
  expect_ = {};
  wentTo_ = false;
  if (linked_) {
    IspLink& link = host_.Link();
    link.WatchReadable(nullptr);
    watching_ = false;
    link.StopListening();
    link.SetLowLatency(false);
    linked_ = false;
  }
  rx_.clear();
  host_.ComPort_Close();
}

void Stm32Engine::OvertimeTTimer() {
  ++StepTimeoutCounter;
  if (StepTimeoutCounter <= stepLimit_) return;
  Fail(cause_);
}
