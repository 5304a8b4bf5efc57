#include "isp/lpc/LPC.h"
#include "isp/lpc/LpcReplies.h"

#include "isp/IspFamily.h"

#include "isp/IspImagePatch.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>

#include "firmware/HexFault.h"
#include "firmware/ImageFile.h"

namespace {

constexpr int kMaxSends = 20;
constexpr int kMaxSyncAttempts = 250;
// One R asks for this much: five checksum exchanges of 20 lines each.
constexpr uint32_t kReadPiece = 4096;
// The part may start the program without a word; a refusal comes at once.
constexpr int kGoAnswerMs = 500;
// What erased flash reads on every part of the family.
constexpr uint8_t kErased = 0xFF;
// M's answers that the engine reads.
constexpr int kInvalidCommand = 1;
constexpr int kCompareError = 10;

const char kUnlock[] = "U 23130";
const QString kPortLost = QStringLiteral("串口已断开或无法写入");

QString Hex(uint32_t v, int digits = 8) {
  return QStringLiteral("0x") + QString::number(v, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

// Bytes from the line as a user can read them: printable ASCII as it is,
// line ends and the rest escaped, cut after a few dozen.
QString Shown(const QByteArray& bytes) {
  constexpr qsizetype kMost = 32;
  QString out;
  for (qsizetype i = 0; i < bytes.size() && i < kMost; ++i) {
    const auto c = static_cast<uint8_t>(bytes[i]);
    if (c == '\r') out += QStringLiteral("\\r");
    else if (c == '\n') out += QStringLiteral("\\n");
    else if (c >= 0x20 && c < 0x7F) out += QLatin1Char(static_cast<char>(c));
    else out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
  }
  if (bytes.size() > kMost) out += QStringLiteral("…");
  return out;
}

// The return code on reply line `i`; -1 when there is none.
int CodeAt(const QList<QByteArray>& lines, int i) { return i < lines.size() ? LpcReturnCode(lines[i]) : -1; }

}  // namespace

TLPCFrm::TLPCFrm(IspHost& host, QObject* parent) : QObject(parent), host_(host) {
  Timer1.setInterval(8000);
  // A coarse timer may fire 5 % early; the step time-out is a promise to the user.
  Timer1.setTimerType(Qt::PreciseTimer);
  Timer2.setInterval(200);
  Timer3.setInterval(300);
  Timer4.setInterval(300);
  Timer5.setInterval(3);
  Timer5.setTimerType(Qt::PreciseTimer);
  connect(&Timer1, &QTimer::timeout, this, &TLPCFrm::Timer1Timer);
  connect(&Timer2, &QTimer::timeout, this, &TLPCFrm::Timer2Timer);
  connect(&Timer3, &QTimer::timeout, this, &TLPCFrm::Timer3Timer);
  connect(&Timer4, &QTimer::timeout, this, &TLPCFrm::Timer4Timer);
  connect(&Timer5, &QTimer::timeout, this, &TLPCFrm::Timer5Timer);
  spinner_ = true;
  fillDigits_ = QStringLiteral("00");
  ImagePresent = false;
  lineEnd_ = "\r\n";
  Timer4.start();
}

TLPCFrm::~TLPCFrm() {
  if (hooked_) host_.Link().StopListening();
}

// A running timer keeps its period when it is enabled again.
void TLPCFrm::EnableTimer(QTimer& t) {
  if (!t.isActive()) t.start();
}

void TLPCFrm::Show(const QString& text) { host_.ShowStatus(text); }

void TLPCFrm::Report(const QString& text) { ReportStatus(host_, text); }

int TLPCFrm::PacingMs() const {
  return std::max(job_.lpcLinePauseMs, 0);
}

bool TLPCFrm::Supports(IspJobKind kind) const { return FamilyFacts(IspFamily::Lpc).Supports(kind); }

void TLPCFrm::BitBtn1Click(const IspJob& job) { Start(job); }

void TLPCFrm::Start(const IspJob& job) {
  if (running_) return;  // one session at a time
  if (!host_.ComPort_Open()) {
    IspResult r = IspResult::Failure(host_.PortOpenError(), QStringLiteral("打开串口"));
    r.usageError = true;
    lastResult_ = r;
    host_.SessionEnded(r);
    return;
  }
  job_ = job;
  running_ = true;
  ++session_;
  rx_.clear();
  afterRaw_ = false;
  info_.clear();
  bootVersion_.clear();
  Edit4.clear();
  answered_ = false;
  Part = nullptr;
  lastResult_ = IspResult();
  crystalLine_ = CrystalLine(job_.lpcCrystalKHz);
  lastReply_.clear();
  bytesHeard_ = 0;
  heard_.clear();
  blankLast_ = -1;
  IspLink& link = host_.Link();
  // Every byte the port reads comes here, whichever poll reads it, so a
  // reply longer than the driver's buffer is never cut; an unplugged
  // adapter ends the session at once.
  hooked_ = true;
  link.Listen(
      [this](const uint8_t* data, int size) {
        if (!running_) return;
        rx_.append(reinterpret_cast<const char*>(data), size);
        bytesHeard_ += static_cast<uint64_t>(size);
        if (!answered_ && heard_.size() < 64) heard_.append(reinterpret_cast<const char*>(data), std::min(size, 64));
      },
      [this] {
        if (running_) QMetaObject::invokeMethod(this, &TLPCFrm::PortLost, Qt::QueuedConnection);
      });
  if (job_.reset || job_.autoReset) {
    const ResetSequence seq = job_.reset ? *job_.reset : ResetPresets::Lpc();
    RunResetSteps(seq, seq.entry,
                  {[&link](bool on) { link.SetDtr(on); }, [&link](bool on) { link.SetRts(on); },
                   [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }});
  }
  SyncAttempts = 1;
  LpcIspState = Syncing;
  link.Poll();  // what came before the "?" is no answer to it
  rx_.clear();
  if (!Send("?")) return;
  Report(QStringLiteral("正在查找。。。"));
  EnableTimer(Timer3);
  EnableTimer(Timer1);
  EnableTimer(Timer5);
  host_.SessionStarted(job_);
}

void TLPCFrm::Abort() {
  if (!running_) return;
  running_ = false;
  Timer1.stop();
  Timer2.stop();
  Timer3.stop();
  Timer5.stop();
  LpcIspState = Syncing;
  if (hooked_) {
    host_.Link().StopListening();
    hooked_ = false;
  }
  host_.ComPort_Close();
  host_.SetProgress(0);
}

bool TLPCFrm::Send(const QByteArray& bytes) {
  if (!host_.Link().Write(bytes.constData(), static_cast<int>(bytes.size()))) {
    PortLost();
    return false;
  }
  return true;
}

QByteArray TLPCFrm::CrystalLine(const QByteArray& khz) {
  bool ok = false;
  const double value = khz.trimmed().toDouble(&ok);
  if (!ok || value < 1 || value > 1e6) return khz.trimmed();
  return QByteArray::number(static_cast<qint64>(value + 0.5));
}

void TLPCFrm::SendCommand(const QByteArray& command) {
  lastCommand_ = command;
  lastReply_.clear();
  rx_.clear();
  if (!Send(command + lineEnd_)) return;
  EnableTimer(Timer1);
}

void TLPCFrm::SendEntry(size_t index) {
  if (index == 0 || index >= TransferList.size()) return;
  const LpcTransferEntry& entry = TransferList[index];
  rx_.clear();
  if (entry.EntryKind == ekCommand) {
    const QByteArray line = entry.Line(0);
    lastCommand_ = line.trimmed();
    if (!Send(line)) return;
    if (line.startsWith('C')) {
      writeMode_ = false;
      Show(QStringLiteral("正在将RAM内容复制到Flash"));
    } else {
      writeMode_ = true;
    }
    return;
  }
  if (entry.EntryKind == ekRawData) {
    Send(entry.Raw);
    return;
  }
  const int pause = PacingMs();
  for (int i = 0; i < entry.LineCount; ++i) {
    if (!Send(entry.Line(i))) return;
    if (pause > 0) QThread::msleep(static_cast<unsigned long>(pause));
  }
}

int TLPCFrm::ReturnCode(const QByteArray& line) { return LpcReturnCode(line); }

// How many lines make the reply that begins with `lines`; 0 while unknown.
int TLPCFrm::ReplyLines(const QList<QByteArray>& lines) const {
  switch (LpcIspState) {
    case SyncEcho:
    case CrystalSent:
    case Unlocking:
    case EchoOff:
      return 2;  // the echo, then the answer
    case ReadingPartId:
      return ReturnCode(lines.first()) == 0 ? 2 : 1;
    case ReadingBootVersion:
      return ReturnCode(lines.first()) == 0 ? 3 : 1;
    case ReadingSerial:
      return ReturnCode(lines.first()) == 0 ? 5 : 1;
    case BlankChecking:  // SECTOR_NOT_BLANK names the offset and its contents
      return ReturnCode(lines.first()) == 8 ? 3 : 1;
    case Comparing:  // COMPARE_ERROR names the offset of the first mismatch
      return ReturnCode(lines.first()) == kCompareError ? 2 : 1;
    default:
      return 1;
  }
}

// The reply in rx_ once all its lines have arrived, each ended by CR LF,
// however the bytes were cut on the way. Boot loaders that end lines with
// CR LF LF leave empty lines, which are no lines. Bytes after the reply that
// are not line ends stay attached, so that a reply with extra characters
// compares as a wrong one. While searching, noise lines may come before
// "Synchronized": every line in so far is the reply, unless "Synchronized"
// is still arriving.
bool TLPCFrm::TakeReply(QByteArray* reply) {
  const bool syncing = LpcIspState == Syncing;
  if (syncing && LpcSyncReplyArriving(rx_)) return false;
  QList<QByteArray> lines;
  qsizetype at = 0;
  for (;;) {
    const qsizetype lf = rx_.indexOf('\n', at);
    if (lf < 0) {
      if (syncing && !lines.isEmpty()) break;
      return false;
    }
    QByteArray line = rx_.mid(at, lf - at);
    at = lf + 1;
    if (line.endsWith('\r')) line.chop(1);
    if (line.isEmpty()) continue;
    // Where the data went as raw bytes, some boot codes acknowledge them.
    if (afterRaw_ && lines.isEmpty() && line == "OK") continue;
    lines << line;
    if (!syncing && lines.size() >= ReplyLines(lines)) break;
  }
  reply->clear();
  for (const QByteArray& line : lines) *reply += line + "\r\n";
  for (qsizetype i = at; i < rx_.size(); ++i)
    if (rx_[i] != '\r' && rx_[i] != '\n') reply->append(rx_[i]);
  return true;
}

void TLPCFrm::Timer5Timer() {
  if (!running_) return;
  IspLink& link = host_.Link();
  if (!link.IsOpen()) {  // closed under the session, or gone
    PortLost();
    return;
  }
  // Fetch what has arrived now rather than at the driver's next 5 ms poll:
  // a download is some hundred exchanges, each waiting on this.
  link.Poll();
  if (!running_) return;
  if (!link.IsOpen()) {
    PortLost();
    return;
  }
  if (LpcIspState == ReadingMemory) {
    HandleReadData();
    return;
  }
  QByteArray reply;
  if (!TakeReply(&reply)) return;
  // Consumed whole: nothing of it is left for the next step.
  rx_.clear();
  afterRaw_ = false;
  HandleReply(reply);
}

void TLPCFrm::Refused(const QString& step, const QByteArray& command, int code) {
  QString cause = QStringLiteral("%1失败: %2 → 返回码 %3 %4")
                      .arg(step, QString::fromLatin1(command))
                      .arg(code)
                      .arg(LpcReturnCodeName(code));
  if (code == kLpcCodeReadProtection) cause += QStringLiteral("（器件已开启代码读保护）");
  IspResult r = IspResult::Failure(cause, step);
  r.command = QString::fromLatin1(command);
  r.code = code;
  EndSession(r);
}

void TLPCFrm::Fail(const QString& cause, const QString& step) { EndSession(IspResult::Failure(cause, step)); }

void TLPCFrm::Succeed(const QString& line) {
  IspResult r = IspResult::Success(line);
  r.info = info_;
  EndSession(r);
}

void TLPCFrm::PortLost() {
  if (!running_) return;
  Fail(kPortLost, QStringLiteral("连接"));
}

void TLPCFrm::EndSession(IspResult result, bool report) {
  if (!running_) return;
  running_ = false;
  LpcIspState = Syncing;
  Timer1.stop();
  Timer5.stop();
  Timer3.stop();
  if (hooked_) {
    host_.Link().StopListening();
    hooked_ = false;
  }
  host_.ComPort_Close();
  Timer2.stop();
  if (report) Report(result.cause);
  host_.SetProgress(0);
  if (Part) {
    result.partName = QString::fromLatin1(Part->name);
    result.partId = LpcPartIdText(Part->id);
  } else if (!Edit4.isEmpty()) {
    result.partId = Edit4;
  }
  result.partAnswered = answered_;
  lastResult_ = result;
  host_.SessionEnded(result);
}

// One handler per state: a whole reply to the command that state sent.
void TLPCFrm::HandleReply(const QByteArray& text) {
  lastReply_ = text;
  const QList<QByteArray> lines = text.split('\n');
  switch (LpcIspState) {
    case Syncing: return OnSyncing(text, lines);
    case SyncEcho: return OnSyncEcho(text, lines);
    case CrystalSent: return OnCrystalSent(text, lines);
    case Unlocking: return OnUnlocking(text, lines);
    case EchoOff: return OnEchoOff(text, lines);
    case ReadingPartId: return OnPartId(text, lines);
    case ReadingBootVersion: return OnBootVersion(text, lines);
    case Preparing: return OnPreparing(text, lines);
    case Erasing: return OnErasing(text, lines);
    case Writing: return OnWriting(text, lines);
    case Comparing: return OnComparing(text, lines);
    case ReadingSerial: return OnSerial(text, lines);
    case BlankChecking: return OnBlankCheck(text, lines);
    case Going: return OnGoing(text, lines);
    default: return;
  }
}

void TLPCFrm::OnSyncing(const QByteArray& text, const QList<QByteArray>&) {
  if (text.contains("Synchronized\r\n")) {
    answered_ = true;
    Timer1.stop();
    Timer3.stop();
    Report(QStringLiteral("已成功连接"));
    LpcIspState = SyncEcho;
    SendCommand("Synchronized");
  } else if (SyncAttempts < kMaxSyncAttempts) {
    ++SyncAttempts;
    if (!Send("?")) return;
    Show(spinner_ ? QStringLiteral("正在查找设备  \\") : QStringLiteral("正在查找设备  /"));
    spinner_ = !spinner_;
  } else {
    Report(QStringLiteral("无法和设备通讯，请重新复位"));
    SyncAttempts = 1;
    Timer3.stop();
    if (!Send("?")) return;
  }
}

void TLPCFrm::OnSyncEcho(const QByteArray& text, const QList<QByteArray>&) {
  if (text == "Synchronized\r\nOK\r\n") {
    Timer1.stop();
    Report(QStringLiteral("同步已建立"));
    LpcIspState = CrystalSent;
    SendCommand(crystalLine_);
  }
}

void TLPCFrm::OnCrystalSent(const QByteArray& text, const QList<QByteArray>&) {
  if (text == crystalLine_ + "\r\nOK\r\n") {
    Timer1.stop();
    Report(QStringLiteral("波特率发送成功"));
    LpcIspState = Unlocking;
    SendCommand(kUnlock);
  } else {
    Show(QStringLiteral("波特率发送失败"));
  }
}

void TLPCFrm::OnUnlocking(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text == QByteArray(kUnlock) + "\r\n0\r\n") {
    Timer1.stop();
    Report(QStringLiteral("解锁成功"));
    LpcIspState = EchoOff;
    SendCommand("A 0");
  } else if (CodeAt(lines, 1) > 0) {
    Refused(QStringLiteral("解锁"), kUnlock, CodeAt(lines, 1));
  }
}

void TLPCFrm::OnEchoOff(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text == "A 0\r\n0\r\n") {
    Timer1.stop();
    Show(QStringLiteral("已准备"));
    LpcIspState = ReadingPartId;
    SendCommand("J");
  } else if (CodeAt(lines, 1) > 0) {
    Refused(QStringLiteral("关闭回显"), "A 0", CodeAt(lines, 1));
  }
}

void TLPCFrm::OnPartId(const QByteArray& text, const QList<QByteArray>& lines) {
  if (CodeAt(lines, 0) > 0) return Refused(QStringLiteral("读器件ID"), "J", CodeAt(lines, 0));
  if (!text.startsWith("0\r\n")) return;
  const QString id = QString::fromLatin1(text.mid(3, text.size() - 5));
  Edit4 = id;
  const std::optional<uint32_t> number = ParseLpcPartId(id);
  Part = number ? FindLpcPart(*number) : nullptr;
  if (!Part) {
    // Refused before anything is erased: a guessed layout could erase
    // or write where the part has no such sector.
    Fail(number ? QStringLiteral("未知的器件ID: %1，不在器件表中，未擦除任何内容").arg(LpcPartIdText(*number))
                : QStringLiteral("器件ID无法识别: %1").arg(id),
         QStringLiteral("读器件ID"));
    return;
  }
  if (const QString why = LpcRefusal(*Part); !why.isEmpty()) {
    Fail(why, QStringLiteral("读器件ID"));
    return;
  }
  const bool needsImage = job_.kind == IspJobKind::Download || job_.kind == IspJobKind::Verify;
  if (needsImage) {
    if (!SectorSet(id)) return;
  } else {
    const LpcSectorLayout layout = SelectSectorLayout(id);
    std::copy(std::begin(layout.SectorMap), std::end(layout.SectorMap), std::begin(SectorMap));
    LastSector = layout.LastSector;
    FlashSize = layout.FlashSize;
  }
  Edit4Hint = QStringLiteral("SectorAmount: ") + LastSector;
  Timer1.stop();
  Show(QStringLiteral("读器件ID成功"));
  host_.AddLog(QStringLiteral("读器件ID成功") + QStringLiteral(":") + id);
  LpcIspState = ReadingBootVersion;
  SendCommand("K");
}

void TLPCFrm::OnBootVersion(const QByteArray& text, const QList<QByteArray>& lines) {
  if (CodeAt(lines, 0) > 0) return Refused(QStringLiteral("读Boot代码版本"), "K", CodeAt(lines, 0));
  if (!text.startsWith("0\r\n")) return;
  // Minor number first, then major.
  const QList<QByteArray> parts = text.mid(3).split('\n');
  auto field = [&](int i) {
    return i < parts.size() ? QString::fromLatin1(parts[i].trimmed()) : QString();
  };
  bootVersion_ = field(1) + QStringLiteral(".") + field(0);
  Timer1.stop();
  Show(QStringLiteral("读Boot代码版本成功"));
  host_.AddLog(QStringLiteral("读Boot代码版本成功:") + bootVersion_);
  AfterBootVersion();
}

void TLPCFrm::OnPreparing(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text == "0\r\n") {
    Timer1.stop();
    Report(QStringLiteral("正在擦除。。。"));
    LpcIspState = Erasing;
    int first = 0, last = 0;
    JobSectors(&first, &last);
    SendCommand("E " + QByteArray::number(first) + " " + QByteArray::number(last));
  } else if (CodeAt(lines, 0) > 0) {
    Refused(QStringLiteral("擦除"), lastCommand_, CodeAt(lines, 0));
  }
}

void TLPCFrm::OnErasing(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text == "0\r\n") {
    Timer1.stop();
    Report(QStringLiteral("擦除成功"));
    if (job_.kind == IspJobKind::Erase) return Succeed(QStringLiteral("擦除完成: 扇区 ") + SectorRangeText());
    StartWriting();
  } else if (CodeAt(lines, 0) > 0) {
    Refused(QStringLiteral("擦除"), lastCommand_, CodeAt(lines, 0));
  }
}

void TLPCFrm::OnWriting(const QByteArray& text, const QList<QByteArray>& lines) {
  if (EntryIndex == 0 || EntryIndex >= ListLength()) return;
  const LpcTransferEntry& entry = TransferList[EntryIndex];
  const QByteArray expected = entry.EntryKind == ekDataBlock ? QByteArray("OK\r\n") : QByteArray("0\r\n");
  if (text == expected) {
    Timer1.stop();
    if (entry.EntryKind == ekCommand && compareOnPart_ && StartCompare(entry.Line(0).trimmed())) return;
    NextEntry();
    return;
  }
  const int code = CodeAt(lines, 0);
  if (entry.EntryKind == ekCommand && code > 0) {
    const QString step = lastCommand_.startsWith('C')   ? QStringLiteral("复制到Flash")
                         : lastCommand_.startsWith('P') ? QStringLiteral("准备扇区")
                                                        : QStringLiteral("写RAM");
    return Refused(step, lastCommand_, code);
  }
  // A resend request, or a reply that makes no sense: the entry again.
  RetryEntry(text);
}

void TLPCFrm::RetryEntry(const QByteArray& text) {
  ++EntryRetries;
  if (EntryRetries < kMaxSends) {
    SendEntry(EntryIndex);
    if (running_) EnableTimer(Timer1);
    return;
  }
  // The fixed line first; the cause after it names what the part said.
  Report(QStringLiteral("下载的过程中出错"));
  QString what = QStringLiteral("命令 \"%1\"").arg(QString::fromLatin1(lastCommand_));
  if (TransferList[EntryIndex].EntryKind != ekCommand) {
    // The block as the W before it numbers them.
    int block = 1;
    size_t at = EntryIndex;
    while (at > 1 && TransferList[at - 1].EntryKind != ekCommand) {
      --at;
      block += TransferList[at].EntryKind == ekDataBlock;
    }
    const QByteArray w = at > 1 ? TransferList[at - 1].Line(0).trimmed() : QByteArray();
    what = QStringLiteral("\"%1\" 的第 %2 个数据块").arg(QString::fromLatin1(w)).arg(block);
  }
  Fail(text.startsWith("RESEND")
           ? QStringLiteral("写入: %1连续 %2 次被器件要求重发 (RESEND)，数据在线路上出错（干扰或波特率太高）")
                 .arg(what)
                 .arg(kMaxSends)
           : QStringLiteral("写入: %1连续 %2 次应答无效，最后收到 \"%3\"").arg(what).arg(kMaxSends).arg(Shown(text)),
       QStringLiteral("写入"));
}

void TLPCFrm::OnSerial(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text.startsWith("0\r\n") && lines.size() >= 5) {
    QStringList words;
    for (int i = 1; i <= 4; ++i) words << QString::fromLatin1(lines[i].trimmed());
    FinishInfo(words.join(QLatin1Char(' ')));
  } else if (CodeAt(lines, 0) == 1) {  // INVALID_COMMAND: this boot code has no N
    FinishInfo(QString());
  } else if (CodeAt(lines, 0) > 0) {
    Refused(QStringLiteral("读序列号"), "N", CodeAt(lines, 0));
  }
}

void TLPCFrm::OnBlankCheck(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text == "0\r\n") {
    Timer1.stop();
    Succeed(QStringLiteral("查空完成: 扇区 %1 全部为空").arg(SectorRangeText()));
  } else if (CodeAt(lines, 0) == 8 && lines.size() >= 3) {
    bool ok1 = false, ok2 = false;
    const uint32_t offset = lines[1].trimmed().toUInt(&ok1);
    const uint32_t content = lines[2].trimmed().toUInt(&ok2);
    // The offset counts from the first sector checked.
    const QList<QByteArray> words = lastCommand_.split(' ');
    const int firstChecked = words.size() > 1 ? words[1].toInt() : 0;
    const std::vector<LpcSector> sectors = LpcSectors(*Part);
    const uint32_t base =
        firstChecked >= 0 && static_cast<size_t>(firstChecked) < sectors.size() ? sectors[static_cast<size_t>(firstChecked)].start : 0;
    IspResult r = IspResult::Failure(
        ok1 && ok2 ? QStringLiteral("Flash不空: 地址 %1 的内容为 %2").arg(Hex(base + offset), Hex(content))
                   : QStringLiteral("Flash不空"),
        QStringLiteral("查空"));
    r.command = QString::fromLatin1(lastCommand_);
    r.code = 8;
    EndSession(r);
  } else if (CodeAt(lines, 0) > 0) {
    Refused(QStringLiteral("查空"), lastCommand_, CodeAt(lines, 0));
  }
}

void TLPCFrm::OnGoing(const QByteArray& text, const QList<QByteArray>& lines) {
  if (text == "0\r\n") {
    Succeed(QStringLiteral("程序已启动: ") + QString::fromLatin1(lastCommand_));
  } else if (CodeAt(lines, 0) > 0) {
    Refused(QStringLiteral("运行"), lastCommand_, CodeAt(lines, 0));
  }
}

bool TLPCFrm::JobSectors(int* first, int* last) const {
  *first = 0;
  *last = LastSector.toInt();
  if (!Part || (job_.kind != IspJobKind::Erase && job_.kind != IspJobKind::BlankCheck)) return true;
  if (!job_.address && !job_.length) return true;
  const uint32_t from = job_.address.value_or(0);
  const uint64_t end = job_.length ? uint64_t{from} + *job_.length : uint64_t{FlashSize};
  if (end <= from || end > FlashSize) return false;
  *first = LpcSectorOf(*Part, from);
  *last = LpcSectorOf(*Part, static_cast<uint32_t>(end - 1));
  return *first >= 0 && *last >= *first;
}

QString TLPCFrm::SectorRangeText() const {
  int first = 0, last = 0;
  JobSectors(&first, &last);
  return QStringLiteral("%1..%2").arg(first).arg(last);
}

void TLPCFrm::AfterBootVersion() {
  switch (job_.kind) {
    case IspJobKind::Download:
      StartPrepare();
      return;
    case IspJobKind::Erase: {
      int first = 0, last = 0;
      if (!JobSectors(&first, &last))
        return Fail(QStringLiteral("擦除范围超出Flash (%1 字节)").arg(FlashSize), QStringLiteral("擦除"));
      if (!RangeOnSectorEdges()) return;
      StartPrepare();
      return;
    }
    case IspJobKind::BlankCheck: {
      int first = 0, last = 0;
      if (!JobSectors(&first, &last))
        return Fail(QStringLiteral("查空范围超出Flash (%1 字节)").arg(FlashSize), QStringLiteral("查空"));
      const std::vector<LpcSector> sectors = LpcSectors(*Part);
      // While in ISP the first bytes of sector 0 read as the boot code, so
      // I always finds sector 0 "not blank": read the rest of it instead.
      if (first == 0 && Part->bootRemap > 0 && !sectors.empty() && Part->bootRemap < sectors[0].size) {
        host_.AddLog(QStringLiteral("地址 0x0000..%1 在ISP模式下映射为Boot代码，不参与查空").arg(Hex(Part->bootRemap - 1u, 4)));
        blankLast_ = last;
        verifying_ = false;
        StartRead({{Part->bootRemap, sectors[0].size - Part->bootRemap}});
        return;
      }
      BlankCheckSectors(first, last);
      return;
    }
    case IspJobKind::Verify:
      StartReadBack();
      return;
    case IspJobKind::Read: {
      const uint32_t from = job_.address.value_or(0);
      const uint64_t length = job_.length ? *job_.length : (FlashSize > from ? FlashSize - from : 0);
      if (length == 0 || uint64_t{from} + length > FlashSize)
        return Fail(QStringLiteral("读出范围超出Flash: %1 + %2 字节，器件Flash只有 %3 字节")
                        .arg(Hex(from)).arg(length).arg(FlashSize),
                    QStringLiteral("读出"));
      if (from < Part->bootRemap)
        host_.AddLog(QStringLiteral("注意: 地址 0x0000..%1 在ISP模式下映射为Boot代码，读出的不是用户程序")
                         .arg(Hex(Part->bootRemap - 1u, 4)));
      verifying_ = false;
      // R takes whole words; the file gets exactly what was asked.
      const uint32_t start = from & ~3u;
      const uint32_t end = static_cast<uint32_t>((uint64_t{from} + length + 3) & ~uint64_t{3});
      StartRead({{start, end - start}});
      return;
    }
    case IspJobKind::Go:
      StartGo();
      return;
    case IspJobKind::Info:
      if (Part->serialNumber) {
        LpcIspState = ReadingSerial;
        SendCommand("N");
      } else {
        FinishInfo(QString());
      }
      return;
    default:
      Fail(QStringLiteral("LPC不支持此操作: %1").arg(IspJobName(job_.kind)));
      return;
  }
}

void TLPCFrm::FinishInfo(const QString& serial) {
  Timer1.stop();
  const std::vector<LpcSector> sectors = LpcSectors(*Part);
  info_ << QStringLiteral("器件: %1").arg(QString::fromLatin1(Part->name))
        << QStringLiteral("器件ID: %1").arg(LpcPartIdText(Part->id))
        << QStringLiteral("Boot代码版本: %1").arg(bootVersion_)
        << QStringLiteral("Flash: %1 KB, %2 个扇区").arg(Part->flashKB).arg(sectors.size())
        << (Part->ircKHz ? QStringLiteral("时钟: ISP使用内部振荡器 %1 MHz，晶振设置不影响").arg(Part->ircKHz / 1000)
                         : QStringLiteral("时钟: ISP使用外部晶振，须设为实际频率（当前 %1 kHz）")
                               .arg(QString::fromLatin1(crystalLine_)))
        << QStringLiteral("SRAM: %1 KB (%2 起)").arg(Part->ramKB).arg(Hex(Part->ramBase));
  if (!serial.isEmpty()) info_ << QStringLiteral("序列号: %1").arg(serial);
  for (const QString& line : info_) host_.AddLog(line);
  lastResult_.uniqueId = serial;
  IspResult r = IspResult::Success(QStringLiteral("读器件信息完成"));
  r.info = info_;
  r.uniqueId = serial;
  EndSession(r);
}

void TLPCFrm::DownloadDone() {
  if (!job_.go) return Succeed(QStringLiteral("写入完成"));
  host_.AddLog(QStringLiteral("写入完成"));
  StartGo();
}

void TLPCFrm::StartGo() {
  const uint32_t address = job_.goAddress.value_or(0);
  LpcIspState = Going;
  SendCommand("G " + QByteArray::number(address) + (Part->core == LpcCore::Arm7 ? " A" : " T"));
  const uint64_t session = session_;
  QTimer::singleShot(kGoAnswerMs, this, [this, session] {
    if (running_ && session == session_ && LpcIspState == Going && rx_.isEmpty())
      Succeed(QStringLiteral("程序已启动: ") + QString::fromLatin1(lastCommand_));
  });
}

void TLPCFrm::NextEntry() {
  ++EntryIndex;
  // Raw data has no answer: the command after it follows at once.
  while (EntryIndex < ListLength() && TransferList[EntryIndex].EntryKind == ekRawData) {
    SendEntry(EntryIndex);
    if (!running_) return;
    afterRaw_ = true;
    ++EntryIndex;
  }
  if (EntryIndex < ListLength()) {
    EntryRetries = 0;
    SendEntry(EntryIndex);
    if (running_) EnableTimer(Timer1);
    return;
  }
  WritingDone();
}

bool TLPCFrm::StartCompare(const QByteArray& copyCommand) {
  const QList<QByteArray> words = copyCommand.split(' ');
  if (words.size() != 4 || words[0] != "C") return false;
  uint32_t flash = words[1].toUInt();
  uint32_t ram = words[2].toUInt();
  uint32_t count = words[3].toUInt();
  // In ISP the first bytes at 0 read as the boot code, so M would always
  // find them different: the part compares what is mapped, from past them.
  const uint32_t remap = Part ? Part->bootRemap : 0;
  if (flash < remap) {
    host_.AddLog(QStringLiteral("地址 0x0000..%1 在ISP模式下映射为Boot代码，不参与校验").arg(Hex(remap - 1, 4)));
    const uint32_t skip = remap - flash;
    if (count <= skip) return false;
    flash += skip;
    ram += skip;
    count -= skip;
  }
  compareFlash_ = flash;
  LpcIspState = Comparing;
  SendCommand("M " + QByteArray::number(flash) + " " + QByteArray::number(ram) + " " + QByteArray::number(count));
  return true;
}

void TLPCFrm::OnComparing(const QByteArray&, const QList<QByteArray>& lines) {
  const int code = CodeAt(lines, 0);
  if (code == 0) {
    Timer1.stop();
    LpcIspState = Writing;
    return NextEntry();
  }
  if (code == kCompareError) {
    bool ok = false;
    const uint32_t offset = lines.size() > 1 ? lines[1].trimmed().toUInt(&ok) : 0;
    IspResult r = IspResult::Failure(
        ok ? QStringLiteral("校验错误: Flash 地址 %1 与写入的数据不符").arg(Hex(compareFlash_ + offset))
           : QStringLiteral("校验错误: Flash 从 %1 起与写入的数据不符").arg(Hex(compareFlash_)),
        QStringLiteral("校验"));
    r.command = QString::fromLatin1(lastCommand_);
    r.code = code;
    return EndSession(r);
  }
  if (code == kInvalidCommand) {
    // A boot code without M: the image is read back once it is all written.
    host_.AddLog(QStringLiteral("器件不支持比较命令 M，写入后改为读出校验"));
    compareOnPart_ = false;
    compareRefused_ = true;
    Timer1.stop();
    LpcIspState = Writing;
    return NextEntry();
  }
  if (code == kLpcCodeReadProtection) {
    // As with the read-back: a protected part keeps its flash to itself.
    host_.AddLog(QStringLiteral("器件已开启代码读保护，不能读出，跳过写后校验"));
    compareOnPart_ = false;
    Timer1.stop();
    LpcIspState = Writing;
    return NextEntry();
  }
  if (code > 0) Refused(QStringLiteral("校验"), lastCommand_, code);
}

void TLPCFrm::WritingDone() {
  Timer2.stop();
  if (!job_.verify) return DownloadDone();
  if (job_.verifyReadback || compareRefused_) return StartReadBack();
  host_.AddLog(QStringLiteral("校验成功"));
  DownloadDone();
}

void TLPCFrm::StartReadBack() {
  // Past the bytes that read as boot code while in ISP.
  const uint32_t from = std::min<uint32_t>(Part ? Part->bootRemap : 0, static_cast<uint32_t>(LpcImage.size()));
  host_.AddLog(QStringLiteral("开始校验。。。"));
  if (from > 0)
    host_.AddLog(QStringLiteral("地址 0x0000..%1 在ISP模式下映射为Boot代码，不参与校验").arg(Hex(from - 1, 4)));
  verifying_ = true;
  StartRead({{from, static_cast<uint32_t>(LpcImage.size()) - from}});
}

void TLPCFrm::StartPrepare() {
  int first = 0, last = 0;
  JobSectors(&first, &last);
  LpcIspState = Preparing;
  SendCommand("P " + QByteArray::number(first) + " " + QByteArray::number(last));
}

void TLPCFrm::StartWriting() {
  EntryIndex = 1;
  EntryRetries = 0;
  LpcIspState = Writing;
  compareOnPart_ = job_.verify && !job_.verifyReadback;
  compareRefused_ = false;
  if (ListLength() <= 1) {
    // Nothing to write (a loaded image never gives this).
    Succeed(QStringLiteral("写入完成"));
    return;
  }
  SendEntry(EntryIndex);
  if (!running_) return;
  EnableTimer(Timer1);
  writeMode_ = true;
  EnableTimer(Timer2);
  host_.AddLog(QStringLiteral("开始写入。。。"));
}

void TLPCFrm::StartRead(std::vector<ReadRange> ranges) {
  reads_ = std::move(ranges);
  readIndex_ = 0;
  readBack_.clear();
  readTotal_ = 0;
  readDone_ = 0;
  for (const ReadRange& r : reads_) readTotal_ += r.length;
  readAt_ = reads_.empty() ? 0 : reads_[0].address;
  LpcIspState = ReadingMemory;
  SendNextRead();
}

void TLPCFrm::SendNextRead() {
  while (readIndex_ < reads_.size() && readAt_ >= reads_[readIndex_].address + reads_[readIndex_].length) {
    if (++readIndex_ < reads_.size()) readAt_ = reads_[readIndex_].address;
  }
  if (readIndex_ >= reads_.size()) return ReadFinished();
  const ReadRange& r = reads_[readIndex_];
  pieceAddress_ = readAt_;
  pieceLength_ = std::min(kReadPiece, r.address + r.length - readAt_);
  piece_.clear();
  block_.clear();
  blockSum_ = 0;
  blockLines_ = 0;
  codeSeen_ = false;
  readResends_ = 0;
  Timer1.stop();
  SendCommand("R " + QByteArray::number(pieceAddress_) + " " + QByteArray::number(pieceLength_));
}

void TLPCFrm::HandleReadData() {
  const QString step = StepOf(ReadingMemory);
  if (!codeSeen_) {
    for (;;) {
      const qsizetype lf = rx_.indexOf('\n');
      if (lf < 0) return;
      QByteArray line = rx_.left(lf);
      rx_.remove(0, lf + 1);
      if (line.endsWith('\r')) line.chop(1);
      if (line.isEmpty()) continue;
      const int code = ReturnCode(line);
      if (code < 0) continue;  // no return code: not this reply's start
      if (code == kLpcCodeReadProtection && verifying_ && job_.kind == IspJobKind::Download) {
        host_.AddLog(QStringLiteral("器件已开启代码读保护，不能读出，跳过写后校验"));
        return DownloadDone();
      }
      if (code != 0) return Refused(step, lastCommand_, code);
      codeSeen_ = true;
      break;
    }
  }
  const bool binary = Part && Part->data == LpcData::Binary;
  if (binary) {
    if (static_cast<uint32_t>(rx_.size()) < pieceLength_) return;
    piece_.assign(rx_.begin(), rx_.begin() + pieceLength_);
    rx_.clear();
  } else {
    for (;;) {
      if (piece_.size() >= pieceLength_) break;
      const qsizetype lf = rx_.indexOf('\n');
      if (lf < 0) return;
      QByteArray line = rx_.left(lf);
      rx_.remove(0, lf + 1);
      if (line.endsWith('\r')) line.chop(1);
      if (line.isEmpty()) continue;
      const bool checksumDue = blockLines_ == kLpcLinesPerBlock || piece_.size() + block_.size() >= pieceLength_;
      if (!checksumDue) {
        const std::vector<uint8_t> bytes = LpcUudecode(line);
        const size_t room = pieceLength_ - piece_.size() - block_.size();
        for (size_t i = 0; i < bytes.size() && i < room; ++i) {
          block_.push_back(bytes[i]);
          blockSum_ += bytes[i];
        }
        ++blockLines_;
        continue;
      }
      bool ok = false;
      const uint32_t sum = line.trimmed().toUInt(&ok);
      if (ok && sum == blockSum_) {
        piece_.insert(piece_.end(), block_.begin(), block_.end());
        readDone_ += block_.size();
        if (!Send("OK\r\n")) return;
      } else {
        if (++readResends_ >= kMaxSends) return Fail(QStringLiteral("读出数据校验和反复错误"), step);
        if (!Send("RESEND\r\n")) return;
      }
      block_.clear();
      blockSum_ = 0;
      blockLines_ = 0;
      Timer1.stop();
      Timer1.start();  // a fresh period for each block
    }
  }
  if (binary) readDone_ += pieceLength_;
  readBack_.insert(readBack_.end(), piece_.begin(), piece_.end());
  readAt_ += pieceLength_;
  SendNextRead();
}

void TLPCFrm::BlankCheckSectors(int first, int last) {
  LpcIspState = BlankChecking;
  SendCommand("I " + QByteArray::number(first) + " " + QByteArray::number(last));
}

void TLPCFrm::BlankReadFinished() {
  const uint32_t from = reads_.empty() ? 0 : reads_[0].address;
  for (size_t i = 0; i < readBack_.size(); ++i) {
    if (readBack_[i] == kErased) continue;
    // Said as I says it: the word and its contents.
    const size_t word = i & ~size_t{3};
    uint32_t value = 0;
    for (size_t k = 0; k < 4 && word + k < readBack_.size(); ++k) value |= uint32_t{readBack_[word + k]} << (8 * k);
    IspResult r = IspResult::Failure(QStringLiteral("Flash不空: 地址 %1 的内容为 %2")
                                         .arg(Hex(from + static_cast<uint32_t>(word)), Hex(value)),
                                     QStringLiteral("查空"));
    return EndSession(r);
  }
  if (blankLast_ >= 1) return BlankCheckSectors(1, blankLast_);
  Timer1.stop();
  Succeed(QStringLiteral("查空完成: 扇区 %1 全部为空").arg(SectorRangeText()));
}

// Only whole sectors can be erased: a range that splits one would take the
// data beside it too, so it is refused, naming the sectors it would need.
bool TLPCFrm::RangeOnSectorEdges() {
  if (!job_.address && !job_.length) return true;
  const uint32_t from = job_.address.value_or(0);
  const uint64_t end = job_.length ? uint64_t{from} + *job_.length : uint64_t{FlashSize};
  int first = 0, last = 0;
  JobSectors(&first, &last);
  const std::vector<LpcSector> sectors = LpcSectors(*Part);
  const uint32_t start = sectors[static_cast<size_t>(first)].start;
  const uint64_t stop = uint64_t{sectors[static_cast<size_t>(last)].start} + sectors[static_cast<size_t>(last)].size;
  if (start == from && stop == end) return true;
  Fail(QStringLiteral("擦除范围必须是整扇区: %1..%2 要擦除扇区 %3..%4 (%5..%6)，会连同范围外的数据一起擦掉")
           .arg(Hex(from), Hex(static_cast<uint32_t>(end - 1)))
           .arg(first)
           .arg(last)
           .arg(Hex(start), Hex(static_cast<uint32_t>(stop - 1))),
       QStringLiteral("擦除"));
  return false;
}

void TLPCFrm::ReadFinished() {
  Timer1.stop();
  if (job_.kind == IspJobKind::BlankCheck) return BlankReadFinished();
  if (job_.kind == IspJobKind::Read) {
    const uint32_t from = job_.address.value_or(0);
    const uint32_t start = reads_.empty() ? from : reads_[0].address;
    const uint64_t length = job_.length ? *job_.length : readBack_.size();
    const size_t skip = from - start;
    std::vector<uint8_t> bytes(readBack_.begin() + static_cast<std::ptrdiff_t>(std::min(skip, readBack_.size())),
                               readBack_.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min<uint64_t>(skip + length, readBack_.size())));
    QString error;
    if (!WriteImageFile(job_.file, from, bytes, &error)) return Fail(error, QStringLiteral("读出"));
    return Succeed(QStringLiteral("读出完成: %1 字节 → %2").arg(bytes.size()).arg(job_.file));
  }
  // Verify: the image as written, from the first byte read.
  const uint32_t from = reads_.empty() ? 0 : reads_[0].address;
  for (size_t i = 0; i < readBack_.size(); ++i) {
    const size_t at = from + i;
    if (at >= LpcImage.size()) break;
    if (readBack_[i] != LpcImage[at]) {
      IspResult r = IspResult::Failure(QStringLiteral("校验错误: 地址 %1 应为 %2，读出 %3")
                                           .arg(Hex(static_cast<uint32_t>(at)), Hex(LpcImage[at], 2),
                                                Hex(readBack_[i], 2)),
                                       QStringLiteral("校验"));
      return EndSession(r);
    }
  }
  host_.AddLog(QStringLiteral("校验成功"));
  if (job_.kind == IspJobKind::Verify) return Succeed(QStringLiteral("校验完成"));
  DownloadDone();
}

QString TLPCFrm::StepOf(int state) const {
  switch (state) {
    case Syncing: return QStringLiteral("查找设备");
    case SyncEcho: return QStringLiteral("同步");
    case CrystalSent: return QStringLiteral("发送晶振频率");
    case Unlocking: return QStringLiteral("解锁");
    case EchoOff: return QStringLiteral("关闭回显");
    case ReadingPartId: return QStringLiteral("读器件ID");
    case ReadingBootVersion: return QStringLiteral("读Boot代码版本");
    case Preparing:
    case Erasing: return QStringLiteral("擦除");
    case Writing: return QStringLiteral("写入");
    case ReadingSerial: return QStringLiteral("读序列号");
    case BlankChecking: return QStringLiteral("查空");
    case ReadingMemory:
      return verifying_ ? QStringLiteral("校验")
             : job_.kind == IspJobKind::BlankCheck ? QStringLiteral("查空")
                                                   : QStringLiteral("读出");
    case Going: return QStringLiteral("运行");
    case Comparing: return QStringLiteral("校验");
    default: return QStringLiteral("连接");
  }
}

QString TLPCFrm::TimeoutCause(int state) const {
  const QString command = QString::fromLatin1(lastCommand_);
  // A reply that came but was not the one awaited, or part of one.
  const QByteArray got = !lastReply_.isEmpty() ? lastReply_ : rx_;
  const QString heard = got.isEmpty() ? QStringLiteral("没有收到应答")
                                      : QStringLiteral("收到的应答不对: \"%1\"").arg(Shown(got));
  switch (state) {
    case Syncing:
      if (bytesHeard_ == 0)
        return QStringLiteral("查找设备: 发送了 %1 次 \"?\"，器件没有应答任何字节（检查接线、复位和ISP引脚）")
            .arg(SyncAttempts);
      return QStringLiteral("查找设备: 收到 %1 字节，但不是 \"Synchronized\"（线路噪声或波特率不符）: \"%2\"")
          .arg(bytesHeard_)
          .arg(Shown(heard_));
    case SyncEcho:
      return QStringLiteral("同步: 器件没有确认 \"Synchronized\"，%1").arg(heard);
    case CrystalSent:
      return QStringLiteral("发送晶振频率: 器件不接受 \"%1\" kHz（没有回答 OK），%2")
          .arg(QString::fromLatin1(crystalLine_), heard);
    default:
      break;
  }
  return QStringLiteral("%1: 命令 \"%2\" %3").arg(StepOf(state), command, heard);
}

void TLPCFrm::Timer1Timer() {
  Timer1.stop();
  if (!running_) return;
  const int state = LpcIspState;
  LpcIspState = Syncing;
  host_.SetProgress(0);
  // The fixed line first, then the timers and the port, then the cause.
  Report(QStringLiteral("LPC通信超时!"));
  IspResult r = IspResult::Failure(TimeoutCause(state), StepOf(state));
  if (!lastCommand_.isEmpty() && state != Syncing) r.command = QString::fromLatin1(lastCommand_);
  Timer2.stop();
  Timer3.stop();
  Timer5.stop();
  EndSession(r);
}

void TLPCFrm::Timer2Timer() {
  ++dots_;
  if (dots_ > 3) dots_ = 0;
  static const char* const kSuffix[] = {"", " 。", " 。。", " 。。。"};
  const QString base = writeMode_ ? QStringLiteral("正在写RAM数据")
                                  : QStringLiteral("正在将RAM内容复制到Flash");
  Show(base + QString::fromUtf8(kSuffix[dots_]));
}

void TLPCFrm::Timer3Timer() {
  if (!running_) return;
  LpcIspState = Syncing;
  host_.Link().Poll();
  if (!running_) return;
  if (LpcSyncReplyArriving(rx_)) return;
  if (!Send("?")) return;
  rx_.clear();
}

void TLPCFrm::Timer4Timer() {
  if (LpcIspState == ReadingMemory && readTotal_ > 0) {
    const int percent = static_cast<int>(std::max<uint64_t>(1, readDone_ * 100 / readTotal_));
    host_.SetProgress(percent);
    // A read runs for minutes on a large part: the status line moves with it.
    Show((verifying_ ? QStringLiteral("正在校验。。。 %1%") : QStringLiteral("正在读出。。。 %1%")).arg(percent));
    return;
  }
  if (LpcIspState != Writing || ListLength() == 0) return;
  const unsigned position = static_cast<unsigned>(EntryIndex) * 100u / ListLength() + 3u;
  host_.SetProgress(static_cast<int>(position));
}

bool TLPCFrm::SectorSet(const QString& partId) {
  const LpcSectorLayout layout = SelectSectorLayout(partId);
  std::copy(std::begin(layout.SectorMap), std::end(layout.SectorMap), std::begin(SectorMap));
  LastSector = layout.LastSector;
  FlashSize = layout.FlashSize;
  if (layout.Part) Part = layout.Part;
  return RenewedlyLoadFile();
}

// Every run that ends gives the port back and leaves the page ready.
void TLPCFrm::RefuseFile(const QString& text) {
  IspResult r = IspResult::Failure(text, QStringLiteral("加载文件"));
  r.usageError = true;
  if (running_) {
    Timer2.stop();
    EndSession(r);
    return;
  }
  // Checked without a session (the command line looks at the file first).
  LpcIspState = Syncing;
  Timer1.stop();
  Timer2.stop();
  Timer3.stop();
  Timer5.stop();
  Report(text);
  host_.SetProgress(0);
  host_.ComPort_Close();
}

bool TLPCFrm::RenewedlyLoadFile() {
  const QString name = job_.file;
  LpcFileLoad load = LoadLpcHexFile(name);
  switch (load.Result) {
    case LpcFileLoad::Missing:
      RefuseFile(QStringLiteral("文件不存在"));
      return false;
    case LpcFileLoad::NotRegular:
    case LpcFileLoad::FileTooLarge:
    case LpcFileLoad::Unreadable: {
      FirmwareFileRead file;
      file.status = load.File;
      file.size = static_cast<int64_t>(load.Size);
      RefuseFile(FirmwareFileProblem(name, file));
      return false;
    }
    case LpcFileLoad::BadHex:
      RefuseFile(HexFaultText(load.Fault, load.LineNumber, load.RecordType, QFileInfo(name).fileName(), 0));
      return false;
    case LpcFileLoad::NoData:
      RefuseFile(QStringLiteral("HEX文件中没有数据"));
      return false;
    case LpcFileLoad::TooLarge:
      break;
    case LpcFileLoad::Loaded:
      break;
  }
  if (load.Result == LpcFileLoad::TooLarge || load.Size > FlashSize) {
    // Refused before anything is erased.
    LpcImage.clear();
    ImagePresent = false;
    RefuseFile(QStringLiteral("文件太大: 映像%1字节(%2 KB)，器件Flash只有%3字节(%4 KB)")
                   .arg(load.Size)
                   .arg((load.Size + 1023) / 1024)
                   .arg(FlashSize)
                   .arg(FlashSize / 1024));
    return false;
  }
  // A production line's bytes (a serial number) go in before anything is erased.
  QString patchError;
  if (running_ && !ApplyImagePatches(load.Image, 0, job_.patches, kLpcFillByte, FlashSize, &patchError)) {
    RefuseFile(patchError);
    return false;
  }
  if (running_ && !job_.patches.empty()) CompleteLpcImage(load.Image);
  LpcImage = std::move(load.Image);
  ImagePresent = true;
  host_.AddLog(QStringLiteral("CodeSize: %1 KB").arg(LpcImage.size() / 1024));
  const uint32_t slot = Part ? LpcVectorChecksumSlot(*Part) : 0x14;
  uint32_t check = 0;
  if (SetVectorChecksum(LpcImage, &check, slot))
    host_.AddLog(QStringLiteral("向量表校验字(0x%1)已设置为 0x%2")
                     .arg(QString::number(slot, 16).toUpper())
                     .arg(QString::number(check, 16).toUpper().rightJustified(8, QLatin1Char('0'))));
  if (Part) {
    TransferList = BuildTransferList(LpcImage, LpcPlanFor(*Part));
  } else {
    TransferList = BuildTransferList(LpcImage, SectorMap);
  }
  if (job_.kind == IspJobKind::Download || !running_) Report(QStringLiteral("下载目标代码"));
  return true;
}
