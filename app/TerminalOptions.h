// The terminal page's further choices, reached without moving any of its
// controls: the receive area's context menu (scroll lock, arrival times,
// encoding, logging to a file), the send area's context menu (line ending,
// encoding), Ctrl+F, and the modem-line lamps in the free part of the status
// bar. Owns the receive area's rows (the store rendered on demand). Every
// choice is kept in the settings; a file without them reads as the defaults,
// which are what the terminal always did.
#pragma once

#include <QAction>
#include <QActionGroup>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

#include "terminal/LineEnding.h"
#include "terminal/ReceiveRows.h"
#include "terminal/TextCodec.h"

class TMainForm;
class TKRNCommDriver;
class ModemLamps;
class SettingsStore;
class QMenu;
class FramePanels;

class PlotPanel;

class TerminalOptions : public QObject {
  Q_OBJECT
 public:
  explicit TerminalOptions(TMainForm& form);
  ~TerminalOptions() override;

  ReceiveRows& Rows() { return rows_; }
  // Frame view, send list, Modbus master.
  FramePanels& Panels() { return *panels_; }

  bool ScrollLock() const { return scrollLock_->isChecked(); }
  void SetScrollLock(bool on);
  bool Timestamps() const { return rows_.Timestamps(); }
  void SetTimestamps(bool on);
  TextEncoding Encoding() const { return rows_.Encoding(); }
  void SetEncoding(TextEncoding e);
  LineEnding LineEnd() const { return lineEnd_; }
  void SetLineEnding(LineEnding e);

  // Logging: every byte the main port delivers goes to the file, appended,
  // from StartLog until StopLog or the port closes (an unplugged adapter
  // that is waited for does not close it: the log goes on after the replug).
  bool StartLog(const QString& path);
  void StopLog(const QString& why = QString());
  bool Logging() const { return logFd_ >= 0; }
  QString LogPath() const { return logPath_; }
  void LogBytes(const uint8_t* data, size_t size);

  // Milliseconds since local midnight of a receive; tests set their own.
  std::function<uint32_t()> Clock;

  // The lamps and where they read the lines from (the main port by default).
  ModemLamps* Lamps() const { return lamps_; }
  void WatchDriver(TKRNCommDriver* driver) { watched_ = driver; }
  void PollLines();

  void ReadSettings(const SettingsStore& store);
  void WriteSettings(SettingsStore& store) const;
  // Values added after the window's place, so older files read as they did.
  void WriteLaterSettings(SettingsStore& store) const;

  // Menus, also used by tests to reach the entries.
  void AddReceiveMenuEntries(QMenu* menu);
  void AddSendMenuEntries(QMenu* menu);
  QAction* ScrollLockAction() const { return scrollLock_; }
  QAction* TimestampAction() const { return timestamps_; }
  QAction* LogAction() const { return log_; }

  // The live plot window, fed with every received block while it is open.
  void FeedPlot(const uint8_t* data, size_t size);
  PlotPanel* Plot() const { return plot_; }
  void ShowPlot();

 private:
  PlotPanel* plot_ = nullptr;
  void ChooseLogFile();
  void ShowRowsAgain();

  TMainForm& f_;
  ReceiveRows rows_;
  QAction* scrollLock_ = nullptr;
  QAction* timestamps_ = nullptr;
  QAction* log_ = nullptr;
  QAction* doctor_ = nullptr;  // "串口诊断"
  QActionGroup* encodingGroup_ = nullptr;
  QAction* encodingAction_[2] = {};
  QActionGroup* lineEndGroup_ = nullptr;
  QAction* lineEndAction_[3] = {};
  LineEnding lineEnd_ = LineEnding::CrLf;

  int logFd_ = -1;
  QString logPath_;
  QString lastLogPath_;  // offered again by the file dialog
  uint64_t logged_ = 0;

  ModemLamps* lamps_ = nullptr;
  TKRNCommDriver* watched_ = nullptr;
  bool mainWasOpen_ = false;
  QTimer lineTimer_;
  FramePanels* panels_ = nullptr;
};
