// vortana-isp run as a script runs it: the real executable in a child
// process, its lines collected, signals sent; and the checks the command-line
// suites share (a port left free for the next program, waiting on a condition).
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace isptool {

struct Outcome {
  bool exited = false;
  int status = -1;
  QStringList out;  // standard output, line by line
  QString err;
};

class Tool {
 public:
  // Standard error on a terminal instead of a pipe.
  void ErrorTo(const std::string& terminal) { proc_.setStandardErrorFile(QString::fromStdString(terminal)); }
  void Start(const QStringList& args) {
    proc_.setProgram(QStringLiteral(VORTANA_ISP_PATH));
    proc_.setArguments(args);
    proc_.start();
    ASSERT_TRUE(proc_.waitForStarted(10000));
  }
  Outcome Wait(int timeoutMs) {
    Outcome o;
    o.exited = proc_.waitForFinished(timeoutMs) && proc_.exitStatus() == QProcess::NormalExit;
    o.status = proc_.exitCode();
    Collect();
    o.out = out_;
    o.err = err_;
    return o;
  }
  // Output so far, without waiting for the end.
  QStringList Lines() {
    proc_.waitForReadyRead(50);
    Collect();
    return out_;
  }
  void Signal(int sig) { ::kill(static_cast<pid_t>(proc_.processId()), sig); }
  ~Tool() {
    if (proc_.state() != QProcess::NotRunning) {
      proc_.kill();
      proc_.waitForFinished(5000);
    }
  }

 private:
  void Collect() {
    pending_ += proc_.readAllStandardOutput();
    qsizetype nl;
    while ((nl = pending_.indexOf('\n')) >= 0) {
      out_ << QString::fromUtf8(pending_.left(nl));
      pending_.remove(0, nl + 1);
    }
    err_ += QString::fromUtf8(proc_.readAllStandardError());
  }
  QProcess proc_;
  QByteArray pending_;
  QStringList out_;
  QString err_;
};

inline Outcome RunTool(const QStringList& args, int timeoutMs = 60000) {
  Tool tool;
  tool.Start(args);
  return tool.Wait(timeoutMs);
}

// Another program can take the port: no lock, no exclusive mode left behind.
inline bool PortFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive) free = false;
  ::close(fd);
  return free;
}

inline bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QThread::msleep(20);
  }
  return true;
}

}  // namespace isptool
