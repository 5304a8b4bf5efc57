#include "cli/CliHost.h"

#include <QFileInfo>

#include <algorithm>

#include "platform/PortDiscovery.h"
#include "platform/SerialOpenError.h"

namespace {

TComPortBaudRate SpeedIndex(uint32_t baud) {
  const qsizetype i = ListSpeeds().indexOf(baud);
  return i < 0 ? br115200 : static_cast<TComPortBaudRate>(i);
}

}  // namespace

CliHost::CliHost(const CliOptions& options, Console& console)
    : options_(options), fileName_(QFileInfo(options.file).absoluteFilePath()), console_(console) {}

CliHost::~CliHost() { ComPort_Close(); }

void CliHost::ShowStatus(const QString& text) {
  lastText_ = text;
  if (!quiet_) console_.Status(text);
}

void CliHost::AddLog(const QString& line) {
  lastText_ = line;
  if (quiet_) return;
  lastLine_ = line;
  console_.Line(line);
}

void CliHost::SessionEnded(const IspResult& result) {
  if (quiet_) return;  // the file check before a session
  result_ = result;
  hasResult_ = true;
  if (!result.ok) succeeded_ = false;
  if (result.ok) succeeded_ = true;
  if (OnSessionEnded) OnSessionEnded();
}

IspJob CliHost::FillJob(IspJob job) const {
  job.port = options_.port;
  job.speed = options_.baud;
  job.line = FamilyFacts(options_.family).Line(options_.baud);
  job.autoReset = options_.reset != ResetWiring::None;
  job.resetMode2 = options_.reset == ResetWiring::Mode2;
  job.resetDelayMs = IspJob::ResetDelayOf(QString::number(options_.resetMs));
  job.connectTimeoutS = options_.timeoutS;
  // LPC: the data lines go without a pause unless one is asked for; the
  // window's default (15 ms a line) is for the slowest adapters.
  job.lpcLinePauseMs = options_.timeoutGiven ? IspJob::LinePauseOf(QString::number(options_.timeoutS)) : 0;
  job.lpcCrystalKHz = options_.crystalKHz.toLatin1();
  job.stcDoubleSpeed = false;
  job.verify = options_.verify;
  job.verifyReadback = options_.verifyReadback;
  job.autoDownload = false;
  return job;
}

void CliHost::SetLogText(const QString& text) {
  // The STM32 search rewrites the whole log every 10 ms with the same text;
  // a log that only grows prints it once.
  if (text == logText_) return;
  logText_ = text;
  if (text.isEmpty()) return;
  for (const QString& line : text.split(QStringLiteral("\r\n"))) AddLog(line);
}

void CliHost::ShowMessage(const QString&, const QString& text) {
  QString line = text;
  line.replace(QLatin1Char('\r'), QLatin1Char(' '));
  line.replace(QLatin1Char('\n'), QLatin1Char(' '));
  AddLog(line.simplified());
}

void CliHost::SetProgressMax(int max) { progressMax_ = std::max(max, 1); }

void CliHost::SetProgress(int position) {
  if (quiet_ || position <= 0) return;  // 0: the engine resets the bar at the end
  ProgressSample s;
  s.percent = static_cast<int>(std::min<int64_t>(100, int64_t{position} * 100 / progressMax_));
  const int64_t image = ImageBytes ? ImageBytes() : 0;
  s.totalBytes = image > 0 ? image : progressMax_;
  s.doneBytes = std::min<int64_t>(s.totalBytes, s.totalBytes * std::min(position, progressMax_) / progressMax_);
  // The rate counts from the first step, so the search and the erase before
  // it do not spoil the time left; a bar that starts again (a read-back
  // after the write) is a new measure.
  if (position < lastPosition_) firstDone_ = -1;
  lastPosition_ = position;
  if (firstDone_ < 0) {
    firstDone_ = s.doneBytes;
    progressClock_.start();
  } else if (progressClock_.elapsed() >= 300) {
    s.bytesPerSecond = static_cast<double>(s.doneBytes - firstDone_) * 1000.0 /
                       static_cast<double>(progressClock_.elapsed());
  }
  console_.Progress(s);
}

void CliHost::BeginSession() {
  started_ = false;
  succeeded_ = false;
  logText_.clear();
  lastText_.clear();
  lastLine_.clear();
  hasResult_ = false;
  result_ = IspResult();
  firstDone_ = -1;
  lastPosition_ = 0;
  progressMax_ = 100;
}

bool CliHost::ComPort_Open() {
  // The window's port settings: the family's framing at the chosen speed.
  driver_.PortName = options_.port;
  driver_.setComPortSpeed(SpeedIndex(options_.baud));
  if (!ListSpeeds().contains(options_.baud)) driver_.setComPortBitRate(options_.baud);
  driver_.setComPortDataBits(db8BITS);
  driver_.setComPortStopBits(sb1BITS);
  driver_.setComPortParity(FamilyFacts(options_.family).parity == 2 ? ptEVEN : ptNONE);
  driver_.ReceiveCount = 0;
  if (driver_.IsConnected() || driver_.Connect()) return true;
  portOpenError_ = QString::fromStdString(SerialOpenFailureText(options_.port.toStdString()));
  if (portOpenError_.contains(QStringLiteral("不存在"))) {
    const QStringList found = DiscoverPorts();
    portOpenError_ += QStringLiteral("；找到的串口: ") +
                      (found.isEmpty() ? QStringLiteral("无") : found.join(QStringLiteral(", ")));
  }
  return false;
}

bool CliHost::ComPort_Close() {
  if (driver_.IsConnected()) driver_.Disconnect();
  return true;
}
