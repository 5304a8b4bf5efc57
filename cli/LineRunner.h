// A production run: many boards at once from one command. Each board gets
// a vortana-isp of its own (--porcelain), so one board's failure or hang
// never stops or slows another and the engines stay single-threaded; this
// process starts them, shows a line per board, appends a record per board
// to the report and ends with a summary table.
//
// In station mode (--watch-boards) it stays: a board is programmed when it
// appears on one of the ports (its adapter's device node appears, or the
// boot loader answers), then the port waits for the next board. Ctrl-C ends
// it once the boards in progress finish; a second Ctrl-C stops them.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

#include "cli/BoardRecord.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/Porcelain.h"

class LineRunner : public QObject {
  Q_OBJECT
 public:
  LineRunner(const CliOptions& options, Console& console, FILE* err, bool errIsTerminal);
  ~LineRunner() override;

  // Runs until every board is done (or, for a station, until Ctrl-C);
  // returns the exit status: 0 every board succeeded, 1 one failed, 2 usage.
  int Exec();

  // The ports a pattern names: every discovered port or device path whose
  // name (or path) matches the shell pattern.
  static QStringList PortsMatching(const QString& pattern);

 private:
  enum class Phase {
    Absent,       // station: waiting for the port's device to appear
    Working,      // the job's process runs
    Probing,      // station: asking whether the board is still there
    Resting,      // station: between probes / waiting for the board to go
    Done,         // not a station: finished
  };
  struct Board {
    QString port;
    Phase phase = Phase::Absent;
    std::unique_ptr<QProcess> proc;
    bool probe = false;         // the process is a probe (--info), not the job
    QByteArray pending;         // stdout not yet a whole line
    std::optional<PorcelainEvent> result;
    QString part;
    QString text;               // the newest log or status line
    int percent = 0;
    std::optional<uint64_t> serial;
    QElapsedTimer clock;
    QString lastUid;            // the board programmed last on this port
    QString identity;           // station: the adapter seen on this port (serial number or USB path)
    // Station: the adapter left while its board was done. Back under another
    // number with its serial number, it is the same board, not a new one.
    bool boardStays = false;
    qint64 restUntil = 0;       // station: next look at the port (ms of runClock_)
    int boards = 0;             // boards this port has done
  };

  void StartJob(Board& b);
  void StartProbe(Board& b);
  void Launch(Board& b, const QStringList& args);
  void ReadOutput(Board& b);
  void Finished(Board& b);
  void JobEnded(Board& b, const PorcelainEvent& result);
  void Tick();
  void Interrupted();
  void Redraw(bool force = false);
  void Say(const Board& b, const QString& text);
  QString BoardLine(const Board& b) const;
  bool AllDone() const;
  void End();
  bool Present(const QString& port) const;
  // Station: the port now leads to an adapter other than the one the board
  // was programmed through (false when either is unknown).
  bool OtherAdapter(const Board& b) const;

  CliOptions options_;
  Console& console_;
  FILE* err_;
  bool tty_;
  std::vector<std::unique_ptr<Board>> boards_;
  std::vector<BoardRecord> records_;
  QString imageSha_;
  uint64_t nextSerial_ = 0;
  qint64 nextScan_ = 0;         // station with --ports: next look at the pattern
  bool infoProbe_ = false;      // the family can say which part is there
  int interrupts_ = 0;
  bool ended_ = false;
  int drawnLines_ = 0;
  QElapsedTimer sinceDraw_;
  QElapsedTimer runClock_;
  QTimer tick_;
  std::unique_ptr<QSocketNotifier> signalNotifier_;
};
