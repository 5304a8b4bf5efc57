// The engines' host on the command line: what the window shows goes to the
// console, what its controls hold comes from the options, and the main port
// is a polling driver of its own. No widget anywhere, so vortana-isp runs
// without a display.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <functional>

#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "isp/IspHost.h"
#include "serial/PollingComm.h"

class CliHost : public IspHost {
 public:
  CliHost(const CliOptions& options, Console& console);
  ~CliHost() override;

  void ShowStatus(const QString& text) override;
  void AddLog(const QString& line) override;
  void SetLogText(const QString& text) override;
  void SetProgressMax(int max) override;
  void SetProgress(int position) override;
  void SetSizeLabel(const QString&) override {}
  void SessionStarted(const IspJob&) override { started_ = true; }
  QString FirmwareFileName() const { return fileName_; }
  // `job` with what the options say, read once.
  IspJob FillJob(IspJob job) const;
  bool ComPort_Open() override;
  QString PortOpenError() const override { return portOpenError_; }
  bool ComPort_Close() override;
  TKRNCommDriver& ComDriver() override { return driver_; }
  // A message box of the window: one line here, as it may be the reason a
  // session ends.
  void ShowMessage(const QString& caption, const QString& text) override;
  void SessionEnded(const IspResult& result) override;

  // What the runner needs of a session.
  void BeginSession();
  bool Started() const { return started_; }      // the engine started a session
  bool Succeeded() const { return succeeded_; }
  bool PortOpen() const { return driver_.IsConnected(); }
  QString LastText() const { return lastText_; }  // the newest status or log text
  QString LastLine() const { return lastLine_; }  // the newest line printed
  bool HasResult() const { return hasResult_; }
  const IspResult& Result() const { return result_; }
  // Called when a session has ended.
  std::function<void()> OnSessionEnded;
  // Image size in bytes for the progress, where the bar counts percent.
  std::function<int64_t()> ImageBytes;
  // While quiet, texts are only remembered (the file check before a session
  // uses the engines' own loaders, whose success lines belong to the session).
  void SetQuiet(bool on) { quiet_ = on; }

 private:
  const CliOptions options_;
  const QString fileName_;
  Console& console_;
  TKRNCommDriver driver_;
  bool started_ = false;
  bool succeeded_ = false;
  bool quiet_ = false;
  QString lastText_;
  QString lastLine_;
  QString portOpenError_;
  bool hasResult_ = false;
  IspResult result_;
  QString logText_;           // what SetLogText last put into the log
  int progressMax_ = 100;
  QElapsedTimer progressClock_;
  int64_t firstDone_ = -1;    // bytes at the first step of the bar
  int lastPosition_ = 0;
};
