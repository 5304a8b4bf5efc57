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

void TLPCFrm::BitBtn1Click() {
  if (!host_.ComPort_Open()) return;
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
  const int state = std::clamp(LpcIspState, 1, 10);
  if (drv.ReceiveCount < kMinReplyLength[state]) return;
  QByteArray text;
  drv.TakeReceivedText(text);
  if (!text.endsWith("\r\n")) return;
  drv.ReceiveCount = 0;
  try {
    HandleReply(text);
  } catch (...) {
    // A failing step is left to the step time-out.
  }
}

void TLPCFrm::HandleReply(const QByteArray& text) {
  TKRNCommDriver& drv = host_.ComDriver();
  switch (LpcIspState) {
    case Syncing:
      if (text.contains("Synchronized\r\n")) {
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
        }
        return;
      }
      ++EntryRetries;
      if (EntryRetries < kMaxSends) {
        SendEntry(EntryIndex);
        EnableTimer(Timer1);
      } else {
        EndRun(QStringLiteral("下载的过程中出错"));
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
  return RenewedlyLoadFile();
}

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
}

bool TLPCFrm::RenewedlyLoadFile() {
  LpcFileLoad load = LoadLpcHexFile(host_.FirmwareFileName());
  switch (load.Result) {
    case LpcFileLoad::Missing:
      // The port stays open: a new run may start on it at once.
      Timer1.stop();
      Timer2.stop();
      Timer5.stop();
      Report(QStringLiteral("文件不存在"));
      host_.SetProgress(0);
      host_.SetDownloadEnabled(true);
      return false;
    case LpcFileLoad::Unreadable:
      RefuseFile(QStringLiteral("文件无法读取"));
      return false;
    case LpcFileLoad::BadLine:
      RefuseFile(QStringLiteral("HEX文件第%1行格式错误").arg(load.LineNumber));
      return false;
    case LpcFileLoad::BadChecksum:
      RefuseFile(QStringLiteral("HEX文件第%1行校验和错误").arg(load.LineNumber));
      return false;
    case LpcFileLoad::NoData:
      RefuseFile(QStringLiteral("HEX文件中没有数据"));
      return false;
    case LpcFileLoad::TooLarge:
      // The step time-out keeps running and ends the download.
      LpcImage.clear();
      ImagePresent = false;
      Report(QStringLiteral("文件太大，不能用于256K Flash的LPC ARM"));
      return false;
    case LpcFileLoad::Loaded:
      break;
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
