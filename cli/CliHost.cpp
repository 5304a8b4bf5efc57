#include "cli/CliHost.h"

#include <QFileInfo>

#include <algorithm>

#include "app/PortDiscovery.h"

namespace {

const QString kPortBusy = QStringLiteral(
    "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");

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
  if (!quiet_) console_.Line(line);
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

void CliHost::SetDownloadEnabled(bool on) {
  const bool was = downloadEnabled_;
  downloadEnabled_ = on;
  if (!on) {
    started_ = true;
  } else if (!was && started_ && !quiet_ && OnSessionEnded) {
    OnSessionEnded();
  }
}

void CliHost::BeginSession() {
  started_ = false;
  succeeded_ = false;
  downloadEnabled_ = true;
  logText_.clear();
  lastText_.clear();
  firstDone_ = -1;
  lastPosition_ = 0;
  progressMax_ = 100;
}

bool CliHost::ComPort_Open() {
  // The window's port settings: the family's framing at the chosen speed.
  driver_.PortName = options_.port;
  driver_.setComPortSpeed(SpeedIndex(options_.baud));
  driver_.setComPortDataBits(db8BITS);
  driver_.setComPortStopBits(sb1BITS);
  driver_.setComPortParity(options_.family == IspFamily::Stm32 ? ptEVEN : ptNONE);
  driver_.ReceiveCount = 0;
  if (driver_.IsConnected() || driver_.Connect()) return true;
  const QString path = QString::fromStdString(SerialDevicePath(options_.port.toStdString()));
  if (!QFileInfo::exists(path)) {
    const QStringList found = DiscoverPorts();
    console_.Error(QStringLiteral("%1: no such device; ports found: %2")
                       .arg(path, found.isEmpty() ? QStringLiteral("none") : found.join(QStringLiteral(", "))));
  }
  ShowMessage(QStringLiteral("Vortana"), kPortBusy);
  return false;
}

bool CliHost::ComPort_Close() {
  if (driver_.IsConnected()) driver_.Disconnect();
  return true;
}
