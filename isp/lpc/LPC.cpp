#include "isp/lpc/LPC.h"

#include <QThread>

#include <algorithm>

#include "serial/PollingComm.h"

namespace {

// Fewest bytes a reply can have in each state before it is looked at.
constexpr int kMinReplyLength[] = {0, 14, 18, 13, 12, 8, 5, 5, 3, 3, 3};
constexpr int kMaxSends = 20;
constexpr int kMaxSyncAttempts = 250;

const char kUnlock[] = "U 23130";

// Lines a whole reply has in each state. While the echo is on (states 2 to 5)
// the command comes back as the first line. J and K follow a "0" return code
// with their numbers; any other code stands alone.
int ReplyLines(int state, const QByteArray& firstLine) {
  switch (state) {
    case TLPCFrm::SyncEcho:
    case TLPCFrm::CrystalSent:
    case TLPCFrm::Unlocking:
    case TLPCFrm::EchoOff:
      return 2;
    case TLPCFrm::ReadingPartId:
      return firstLine == "0" ? 2 : 1;
    case TLPCFrm::ReadingBootVersion:
      return firstLine == "0" ? 3 : 1;
    default:
      return 1;
  }
}

// Whether the start of "Synchronized" is on its way, so that the next "?"
// must wait: it would land in the line the boot loader is about to expect.
bool SyncReplyArriving(const QByteArray& text) {
  const QByteArray tail = text.mid(text.lastIndexOf('\n') + 1);
  const qsizetype s = tail.lastIndexOf('S');
  return s >= 0 && QByteArrayLiteral("Synchronized\r").startsWith(tail.mid(s));
}

// The reply in `text` once all its lines have arrived, each ended by CR LF,
// however the bytes were cut on the way. Boot loaders that end lines with
// CR LF LF leave empty lines, which are no lines. Bytes after the reply that
// are not line ends stay attached, so that, as before, a reply with extra
// characters compares as a wrong one. While searching, noise lines may come
// before "Synchronized": every line in so far is the reply, unless
// "Synchronized" is still arriving.
bool WholeReply(int state, const QByteArray& text, QByteArray* reply) {
  if (state == TLPCFrm::Syncing && SyncReplyArriving(text)) return false;
  QList<QByteArray> lines;
  qsizetype at = 0;
  for (;;) {
    const qsizetype lf = text.indexOf('\n', at);
    if (lf < 0) {
      if (state == TLPCFrm::Syncing && !lines.isEmpty()) break;
      return false;
    }
    QByteArray line = text.mid(at, lf - at);
    at = lf + 1;
    if (line.endsWith('\r')) line.chop(1);
    if (line.isEmpty()) continue;
    lines << line;
    if (state != TLPCFrm::Syncing && lines.size() == ReplyLines(state, lines.first())) break;
  }
  reply->clear();
  for (const QByteArray& line : lines) *reply += line + "\r\n";
  for (qsizetype i = at; i < text.size(); ++i)
    if (text[i] != '\r' && text[i] != '\n') reply->append(text[i]);
  return true;
}

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
  FormCreate();
  Timer4.start();
}

TLPCFrm::~TLPCFrm() = default;

void TLPCFrm::FormCreate() {
  spinner_ = true;
  fillDigits_ = QStringLiteral("00");
  ImagePresent = false;
  lineEnd_ = "\r\n";
  std::fill(std::begin(SectorMap), std::end(SectorMap), uint8_t{0});
}

// A running timer keeps its period when it is enabled again.
void TLPCFrm::EnableTimer(QTimer& t) {
  if (!t.isActive()) t.start();
}

void TLPCFrm::Show(const QString& text) { host_.ShowStatus(text); }

void TLPCFrm::Report(const QString& text) { ReportStatus(host_, text); }

int TLPCFrm::PacingMs() const {
  bool ok = false;
  int value = host_.TimeoutText().trimmed().toInt(&ok);
  if (!ok) value = 5;
  return std::clamp(value, 0, 99) * 3;
}

void TLPCFrm::BitBtn1Click() { Start(IspJob::Download(host_.FirmwareFileName())); }

void TLPCFrm::Abort() {
  LpcIspState = Syncing;
  Timer1.stop();
  Timer2.stop();
  Timer3.stop();
  Timer5.stop();
  host_.ComPort_Close();
  host_.SetProgress(0);
  host_.SetDownloadEnabled(true);
}

void TLPCFrm::Ended(IspResult result) {
  result.partAnswered = answered_;
  if (!Edit4.isEmpty()) result.partId = Edit4;
  host_.SessionEnded(result);
}

void TLPCFrm::Start(const IspJob& job) {
  if (Busy()) return;
  job_ = job;
  if (job_.file.isEmpty()) job_.file = host_.FirmwareFileName();
  Edit4.clear();
  answered_ = false;
  if (!host_.ComPort_Open()) {
    IspResult r = IspResult::Failure(host_.PortOpenError(), QStringLiteral("打开串口"));
    r.usageError = true;
    host_.SessionEnded(r);
    return;
  }
  TKRNCommDriver& drv = host_.ComDriver();
  if (host_.AutoReset()) {
    // Pull the part into its boot loader: RTS holds the boot pin, DTR pulses reset.
    drv.SetRts(true);
    QThread::msleep(50);
    drv.SetDtr(true);
    QThread::msleep(300);
    drv.SetDtr(false);
  }
  SyncAttempts = 1;
  LpcIspState = Syncing;
  drv.SendText("?");
  drv.ReceiveCount = 0;
  Report(QStringLiteral("正在查找。。。"));
  EnableTimer(Timer3);
  EnableTimer(Timer1);
  EnableTimer(Timer5);
  host_.SetDownloadEnabled(false);
}

void TLPCFrm::SendCommand(const QByteArray& command) {
  host_.ComDriver().SendText(command + lineEnd_);
  EnableTimer(Timer1);
}

void TLPCFrm::SendEntry(uint16_t index) {
  if (index == 0 || index >= TransferList.size()) return;
  const LpcTransferEntry& entry = TransferList[index];
  TKRNCommDriver& drv = host_.ComDriver();
  if (entry.EntryKind == ekCommand) {
    const QByteArray line = entry.Line(0);
    drv.SendBytes(line.constData(), static_cast<int32_t>(line.size()));
    if (line.startsWith('C')) {
      writeMode_ = false;
      Show(QStringLiteral("正在将RAM内容复制到Flash"));
    } else {
      writeMode_ = true;
    }
    return;
  }
  const int pause = PacingMs();
  for (int i = 0; i < entry.LineCount; ++i) {
    const QByteArray line = entry.Line(i);
    drv.SendBytes(line.constData(), static_cast<int32_t>(line.size()));
    if (pause > 0) QThread::msleep(static_cast<unsigned long>(pause));
  }
}

void TLPCFrm::Timer5Timer() {
  TKRNCommDriver& drv = host_.ComDriver();
  // Fetch what has arrived now rather than at the driver's next 5 ms poll:
  // a download is some hundred exchanges, each waiting on this.
  drv.PollReceive();
  const int state = std::clamp(LpcIspState, 1, 10);
  if (drv.ReceiveCount < kMinReplyLength[state]) return;
  QByteArray text;
  drv.TakeReceivedText(text);
  QByteArray reply;
  if (!WholeReply(state, text, &reply)) return;
  // Consumed whole: nothing of it is left for the next step.
  drv.ReceiveCount = 0;
  try {
    HandleReply(reply);
  } catch (...) {
    // A failing step is left to the step time-out.
  }
}

void TLPCFrm::HandleReply(const QByteArray& text) {
  TKRNCommDriver& drv = host_.ComDriver();
  switch (LpcIspState) {
    case Syncing:
      if (text.contains("Synchronized\r\n")) {
        answered_ = true;
        Timer1.stop();
        Timer3.stop();
        Report(QStringLiteral("已成功连接"));
        LpcIspState = SyncEcho;
        SendCommand("Synchronized");
      } else if (SyncAttempts < kMaxSyncAttempts) {
        ++SyncAttempts;
        drv.SendText("?");
        drv.ReceiveCount = 0;
        Show(spinner_ ? QStringLiteral("正在查找设备  \\") : QStringLiteral("正在查找设备  /"));
        spinner_ = !spinner_;
      } else {
        Report(QStringLiteral("无法和设备通讯，请重新复位"));
        SyncAttempts = 1;
        Timer3.stop();
        drv.SendText("?");
        drv.ReceiveCount = 0;
      }
      return;
    case SyncEcho:
      if (text == "Synchronized\r\nOK\r\n") {
        Timer1.stop();
        Report(QStringLiteral("同步已建立"));
        LpcIspState = CrystalSent;
        SendCommand(CrystalKHz);
      }
      return;
    case CrystalSent:
      if (text == CrystalKHz + "\r\nOK\r\n") {
        Timer1.stop();
        Report(QStringLiteral("波特率发送成功"));
        LpcIspState = Unlocking;
        SendCommand(kUnlock);
      } else {
        Show(QStringLiteral("波特率发送失败"));
      }
      return;
    case Unlocking:
      if (text == QByteArray(kUnlock) + "\r\n0\r\n") {
        Timer1.stop();
        Report(QStringLiteral("解锁成功"));
        LpcIspState = EchoOff;
        SendCommand("A 0");
      }
      return;
    case EchoOff:
      if (text == "A 0\r\n0\r\n") {
        Timer1.stop();
        Show(QStringLiteral("已准备"));
        LpcIspState = ReadingPartId;
        SendCommand("J");
      }
      return;
    case ReadingPartId: {
      if (!text.startsWith("0\r\n")) return;
      const QString id = QString::fromLatin1(text.mid(3, text.size() - 5));
      Edit4 = id;
      if (!SectorSet(id)) return;
      Edit4Hint = QStringLiteral("SectorAmount: ") + LastSector;
      Timer1.stop();
      Show(QStringLiteral("读器件ID成功"));
      host_.AddLog(QStringLiteral("读器件ID成功") + QStringLiteral(":") + id);
      LpcIspState = ReadingBootVersion;
      SendCommand("K");
      return;
    }
    case ReadingBootVersion: {
      if (!text.startsWith("0\r\n")) return;
      // Minor number first, then major.
      const QList<QByteArray> parts = text.mid(3).split('\n');
      auto field = [&](int i) {
        return i < parts.size() ? QString::fromLatin1(parts[i].trimmed()) : QString();
      };
      Timer1.stop();
      Show(QStringLiteral("读Boot代码版本成功"));
      host_.AddLog(QStringLiteral("读Boot代码版本成功:") + field(1) + QStringLiteral(".") + field(0));
      LpcIspState = Preparing;
      SendCommand("P 0 " + LastSector.toLatin1());
      return;
    }
    case Preparing:
      if (text == "0\r\n") {
        Timer1.stop();
        Report(QStringLiteral("正在擦除。。。"));
        LpcIspState = Erasing;
        SendCommand("E 0 " + LastSector.toLatin1());
      }
      return;
    case Erasing:
      if (text == "0\r\n") {
        Timer1.stop();
        Report(QStringLiteral("擦除成功"));
        EntryIndex = 1;
        EntryRetries = 0;
        LpcIspState = Writing;
        if (ListLength() <= 1) {
          // Nothing to write (a loaded image never gives this).
          EndRun(QStringLiteral("写入完成"));
          Ended(IspResult::Success(QStringLiteral("写入完成")));
          return;
        }
        SendEntry(EntryIndex);
        EnableTimer(Timer1);
        writeMode_ = true;
        EnableTimer(Timer2);
        host_.AddLog(QStringLiteral("开始写入。。。"));
      }
      return;
    case Writing: {
      if (EntryIndex == 0 || EntryIndex >= ListLength()) return;
      const QByteArray expected =
          TransferList[EntryIndex].EntryKind == ekDataBlock ? QByteArray("OK\r\n") : QByteArray("0\r\n");
      if (text == expected) {
        Timer1.stop();
        ++EntryIndex;
        if (EntryIndex < ListLength()) {
          EntryRetries = 0;
          SendEntry(EntryIndex);
          EnableTimer(Timer1);
        } else {
          EndRun(QStringLiteral("写入完成"));
          if (host_.AutoDownload()) host_.EndAutoDownload();
          Ended(IspResult::Success(QStringLiteral("写入完成")));
        }
        return;
      }
      ++EntryRetries;
      if (EntryRetries < kMaxSends) {
        SendEntry(EntryIndex);
        EnableTimer(Timer1);
      } else {
        EndRun(QStringLiteral("下载的过程中出错"));
        Ended(IspResult::Failure(QStringLiteral("下载的过程中出错"), QStringLiteral("写入")));
      }
      return;
    }
    default:
      return;
  }
}

void TLPCFrm::EndRun(const QString& text) {
  LpcIspState = Syncing;
  Timer1.stop();
  Timer5.stop();
  host_.ComPort_Close();
  Timer2.stop();
  Report(text);
  host_.SetProgress(0);
  host_.SetDownloadEnabled(true);
}

void TLPCFrm::Timer1Timer() {
  Timer1.stop();
  LpcIspState = Syncing;
  host_.SetProgress(0);
  Report(QStringLiteral("LPC通信超时!"));
  Timer2.stop();
  Timer3.stop();
  Timer5.stop();
  host_.ComPort_Close();
  host_.SetDownloadEnabled(true);
  Ended(IspResult::Failure(QStringLiteral("LPC通信超时!")));
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
  LpcIspState = Syncing;
  QByteArray text;
  host_.ComDriver().TakeReceivedText(text);
  if (SyncReplyArriving(text)) return;
  host_.ComDriver().SendText("?");
  host_.ComDriver().ReceiveCount = 0;
}

void TLPCFrm::Timer4Timer() {
  if (LpcIspState != Writing || ListLength() == 0) return;
  const unsigned position = static_cast<unsigned>(EntryIndex) * 100u / ListLength() + 3u;
  host_.SetProgress(static_cast<int>(position));
}

bool TLPCFrm::SectorSet(const QString& partId) {
  const LpcSectorLayout layout = SelectSectorLayout(partId);
  std::copy(std::begin(layout.SectorMap), std::end(layout.SectorMap), std::begin(SectorMap));
  LastSector = layout.LastSector;
  FlashSize = layout.FlashSize;
  return RenewedlyLoadFile();
}

// Every run that ends gives the port back and leaves the page ready.
void TLPCFrm::RefuseFile(const QString& text) {
  LpcIspState = Syncing;
  Timer1.stop();
  Timer2.stop();
  Timer3.stop();
  Timer5.stop();
  Report(text);
  host_.SetProgress(0);
  host_.ComPort_Close();
  host_.SetDownloadEnabled(true);
  Ended(IspResult::Failure(text, QStringLiteral("加载文件")));
}

bool TLPCFrm::RenewedlyLoadFile() {
  const QString name = host_.FirmwareFileName();
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
    case LpcFileLoad::BadLine:
      RefuseFile(QStringLiteral("HEX文件第%1行格式错误").arg(load.LineNumber));
      return false;
    case LpcFileLoad::BadChecksum:
      RefuseFile(QStringLiteral("HEX文件第%1行校验和错误").arg(load.LineNumber));
      return false;
    case LpcFileLoad::NoData:
      RefuseFile(QStringLiteral("HEX文件中没有数据"));
      return false;
    case LpcFileLoad::Incomplete:
      RefuseFile(QStringLiteral("HEX文件不完整(没有结束记录): %1").arg(name));
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
  LpcImage = std::move(load.Image);
  ImagePresent = true;
  host_.AddLog(QStringLiteral("CodeSize: %1 KB").arg(LpcImage.size() / 1024));
  uint32_t check = 0;
  if (SetVectorChecksum(LpcImage, &check))
    host_.AddLog(QStringLiteral("向量表校验字(0x14)已设置为 0x%1")
                     .arg(QString::number(check, 16).toUpper().rightJustified(8, QLatin1Char('0'))));
  TransferList = BuildTransferList(LpcImage, SectorMap);
  Report(QStringLiteral("下载目标代码"));
  return true;
}
