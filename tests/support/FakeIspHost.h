// An IspHost without a window: records what an engine reports and opens
// the main port on a given device (usually a pseudo-terminal) with the line
// settings a test chooses.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

#include "isp/IspHost.h"
#include "serial/PollingComm.h"

class FakeIspHost : public IspHost {
 public:
  // platform: where the driver's device calls go (nullptr: the real layer);
  // a recording platform lets a test see the modem lines an engine drives.
  explicit FakeIspHost(SerialPlatform* platform = nullptr) : driver(nullptr, platform) {}

  // What the window would hold.
  QString status;
  QStringList log;          // Memo1, line by line
  int progressMax = 0;
  int progress = 0;
  QString sizeLabel;
  bool downloadEnabled = true;
  bool portListsEnabled = true;
  bool portGlyphOpen = false;
  bool logAndChooserEnabled = true;
  int autoDownloadEnded = 0;
  int openFailures = 0;

  // The page's controls, read into a job the way the window reads them.
  bool autoDownload = false;
  bool autoReset = false;
  bool resetMode2 = false;
  QString timeoutText = QStringLiteral("5");
  QString resetDelayText = QStringLiteral("500");
  QString clockModeCaption = QStringLiteral("12T");
  QString portName;
  QString firmwareFileName;
  QByteArray crystalKHz = "11059";

  // Line settings ComPort_Open applies (the terminal page's lists).
  TComPortBaudRate speed = br57600;
  TComPortDataBits dataBits = db8BITS;
  TComPortStopBits stopBits = sb1BITS;
  TComPortParity parity = ptNONE;

  TKRNCommDriver driver;
  bool portOpen = false;
  bool verifyAfterWrite = true;        // "写后校验"
  std::vector<IspResult> results;      // every SessionEnded, in order
  std::optional<IspJob> running;       // the session under way

  // `job` with what the controls above hold (its own file, when it has one).
  IspJob Fill(IspJob job) const {
    if (job.file.isEmpty() && (job.kind == IspJobKind::Download || job.kind == IspJobKind::Verify))
      job.file = firmwareFileName;
    job.port = portName;
    job.autoReset = autoReset;
    job.resetMode2 = resetMode2;
    job.resetDelayMs = IspJob::ResetDelayOf(resetDelayText);
    job.connectTimeoutS = IspJob::ConnectTimeoutOf(timeoutText);
    job.lpcLinePauseMs = IspJob::LinePauseOf(timeoutText);
    job.lpcCrystalKHz = crystalKHz;
    job.stcDoubleSpeed = clockModeCaption == QStringLiteral("6T");
    job.verify = verifyAfterWrite;
    job.autoDownload = autoDownload;
    return job;
  }
  // The download button's job.
  IspJob Job() const { return Fill(IspJob::Download(firmwareFileName)); }

  void ShowStatus(const QString& text) override { status = text; }
  void AddLog(const QString& line) override { log << line; }
  void SetLogText(const QString& text) override {
    log = text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
  }
  void SetProgressMax(int max) override { progressMax = max; }
  void SetProgress(int position) override { progress = position; }
  void SetSizeLabel(const QString& text) override { sizeLabel = text; }
  // What the window does with its controls at a session's start and end.
  void SessionStarted(const IspJob& job) override {
    downloadEnabled = false;
    running = job;
    portGlyphOpen = true;
  }
  void SessionEnded(const IspResult& result) override {
    downloadEnabled = true;
    portListsEnabled = true;
    portGlyphOpen = portOpen;
    logAndChooserEnabled = true;
    if (result.ok && running && running->kind == IspJobKind::Download && autoDownload) ++autoDownloadEnded;
    running.reset();
    results.push_back(result);
  }

  bool ComPort_Open() override {
    portOpen = driver.IsConnected();
    driver.PortName = portName;
    driver.setComPortSpeed(speed);
    driver.setComPortDataBits(dataBits);
    driver.setComPortStopBits(stopBits);
    driver.setComPortParity(parity);
    driver.ReceiveCount = 0;
    if (driver.Connect()) {
      portOpen = true;
      portGlyphOpen = true;
      return true;
    }
    ++openFailures;
    return false;
  }
  bool ComPort_Close() override {
    portGlyphOpen = false;
    if (portOpen) {
      portOpen = false;
      driver.Disconnect();
    }
    return true;
  }
  TKRNCommDriver& ComDriver() override { return driver; }
};
