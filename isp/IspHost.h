// The door between the protocol engines and whoever runs them (the main
// window, the command line, the tests). The engines report through
// IspReport and never name a control: each host decides for itself what a
// session's start and end mean for its own widgets. Every option comes
// with the job. The port is reached through IspPortAccess for now.
#pragma once

#include <QString>

#include <memory>

#include "isp/IspJob.h"
#include "isp/IspLink.h"

class TKRNCommDriver;

class IspReport {
 public:
  virtual ~IspReport() = default;

  virtual void ShowStatus(const QString& text) = 0;        // the status line
  virtual void AddLog(const QString& line) = 0;            // a new line of the log
  virtual void SetLogText(const QString& text) = 0;        // the whole log, replaced
  virtual void SetProgressMax(int max) = 0;                // the bar's range, 0..max
  virtual void SetProgress(int position) = 0;
  virtual void SetSizeLabel(const QString& text) = 0;      // the loaded image's size

  // An informational message box (the window) or its equivalent line (the
  // command line). Engines never open a box of their own.
  virtual void ShowMessage(const QString& caption, const QString& text) {
    (void)caption;
    AddLog(text);
  }

  // A session has taken the port and runs `job`; nothing else may start.
  virtual void SessionStarted(const IspJob& job) = 0;
  // Every session ends with exactly one result, after its last log line
  // (which, on failure, is the cause). The port is released by then. A
  // session refused before it started ends here too, without a start.
  virtual void SessionEnded(const IspResult& result) = 0;
};

// The main port, opened with the terminal page's line settings.
class IspPortAccess {
 public:
  virtual ~IspPortAccess() = default;
  virtual bool ComPort_Open() = 0;
  virtual bool ComPort_Close() = 0;
  virtual TKRNCommDriver& ComDriver() = 0;
  // Why the last ComPort_Open (or an engine's own open of the port named
  // by the job) failed, one line naming the cause and its remedy.
  virtual QString PortOpenError() const { return {}; }
  // The same port as the engines speak through it: by default the polling
  // driver above; a host may lend a link of its own.
  virtual IspLink& Link();

 private:
  std::unique_ptr<IspLink> defaultLink_;
};

class IspHost : public IspReport, public IspPortAccess {};

// "Report": the status line and the same text as a new log line.
inline void ReportStatus(IspReport& host, const QString& text) {
  host.ShowStatus(text);
  host.AddLog(text);
}
