// Runs downloads on the command line: checks the file with the family's own
// loader before the port is touched, starts the family's engine on the
// event loop, waits for it to give the download button back and turns the
// outcome into an exit status. With --watch it stays and downloads again
// whenever the file changes; SIGINT and SIGTERM end it with the port
// released.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>

#include "cli/CliHost.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"

class IspEngine;
class Stm32Engine;
class TLPCFrm;
class TSTCFrm;

// Exit statuses.
inline constexpr int kExitInChip = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// What identifies one version of the firmware file.
struct FileStamp {
  bool exists = false;
  int64_t mtimeNs = 0;
  int64_t size = 0;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const QString& path);

class IspRunner : public QObject {
  Q_OBJECT
 public:
  IspRunner(const CliOptions& options, Console& console);
  ~IspRunner() override;

  // Runs the event loop until the work is done; returns the exit status.
  int Exec();

 private:
  enum class Check { Good, Missing, Refused };
  Check CheckFile();
  void StartDownload();
  void StartSession();
  void SessionEnded();
  void Finish(int status);
  void PollFile();
  void Interrupted();
  void ReleasePort();

  CliOptions options_;
  Console& console_;
  CliHost host_;
  std::unique_ptr<Stm32Engine> stm32_;
  std::unique_ptr<TLPCFrm> lpc_;
  std::unique_ptr<TSTCFrm> stc_;
  IspEngine* engine_ = nullptr;  // the family's, one of the three

  int status_ = kExitFailed;
  bool running_ = false;      // a session is on
  int stcDepth_ = 0;          // inside the STC session, which runs its own loop
  bool endPending_ = false;
  FileStamp tried_;           // the file as the last attempt found it
  FileStamp seen_;            // the file at the previous poll
  QTimer watchTimer_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
};
