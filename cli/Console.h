// Where vortana-isp writes. Standard output carries only the status lines
// of the window's log, so that a script can read them; standard error
// carries the progress (a bar redrawn in place when it is a terminal, a
// line every tenth otherwise) and the tool's own complaints.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

#include "cli/ProgressText.h"
#include "isp/IspJob.h"

class Console {
 public:
  Console(FILE* out, FILE* err, bool errIsTerminal);

  void Line(const QString& text);    // one status line on standard output
  void Error(const QString& text);   // "vortana-isp: text" on standard error
  // The window's status line: on a terminal it stands on the bottom line
  // until the bar takes over; elsewhere it is not printed.
  void Status(const QString& text);
  void Progress(const ProgressSample& s);
  void EndProgress();                // a session ended: the bar goes away
  // A board of a production run: everything goes to standard output as
  // the JSON lines of cli/Porcelain.h, the result last.
  void SetPorcelain(bool on) { porcelain_ = on; }
  bool Porcelain() const { return porcelain_; }
  void Result(const IspResult& result, int exitStatus);
  // Porcelain: a result for a run that ended before any session (a file
  // refused): the last line is its cause.
  void ResultIfNone(int exitStatus);

 private:
  void Draw(const QString& text);
  void Erase();
  void Emit(const QByteArray& line);

  FILE* out_;
  FILE* err_;
  bool tty_;
  bool porcelain_ = false;
  bool resultSent_ = false;
  QString lastLine_;          // porcelain: the last log line, the cause of an early exit
  bool drawn_ = false;        // something stands on the bottom line of the terminal
  QString bottom_;            // ... and this is it
  bool barActive_ = false;
  int lastPercent_ = -1;
  int lastTenth_ = -1;
  QElapsedTimer sinceDraw_;
};
