// The narrow door between the protocol engines and the main window. The
// engines never touch a widget: they report through this interface and reach
// the main port through it; every option comes with the job. The
// main window implements it; tests implement it too and drive the engines
// headless against simulated targets.
#pragma once

#include <QString>

#include "isp/IspJob.h"

class TKRNCommDriver;

class IspHost {
 public:
  virtual ~IspHost() = default;

  // Output area (Memo1) and status line (status panel 0).
  virtual void ShowStatus(const QString& text) = 0;
  virtual void AddLog(const QString& line) = 0;
  virtual void SetLogText(const QString& text) = 0;
  virtual void SetProgressMax(int max) = 0;   // ProgressBar1
  virtual void SetProgress(int position) = 0;
  virtual void SetSizeLabel(const QString& text) = 0;  // Label10

  // Controls the engines switch.
  virtual void SetDownloadEnabled(bool on) = 0;        // BitBtn1
  virtual bool DownloadEnabled() const = 0;
  virtual void SetPortListsEnabled(bool on) = 0;       // ComboBox1, ComboBox2
  virtual void SetPortGlyph(bool open) = 0;            // BitBtn3's glyph
  virtual void SetLogAndChooserEnabled(bool on) = 0;   // Memo1, BitBtn2
  virtual void EndAutoDownload() = 0;  // window back to normal, application minimised

  // An informational message box (the window) or its equivalent line (the
  // command line). Engines never open a box of their own.
  virtual void ShowMessage(const QString& caption, const QString& text) {
    (void)caption;
    AddLog(text);
  }

  // Every session ends with exactly one result, after its last log line
  // (which, on failure, is the cause). The port is released by then.
  virtual void SessionEnded(const IspResult& result) { (void)result; }

  // Why the last ComPort_Open (or an engine's own open of the port named
  // named by the job) failed, one line naming the cause and its remedy.
  virtual QString PortOpenError() const { return {}; }

  // The main port, opened with the terminal page's line settings.
  virtual bool ComPort_Open() = 0;
  virtual bool ComPort_Close() = 0;
  virtual TKRNCommDriver& ComDriver() = 0;
};

// "Report": the status line and the same text as a new Memo1 line.
inline void ReportStatus(IspHost& host, const QString& text) {
  host.ShowStatus(text);
  host.AddLog(text);
}
