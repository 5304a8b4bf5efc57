#include "term/TermSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/PortDiscovery.h"
#include "platform/PortDoctor.h"
#include "platform/SerialAdapter.h"
#include "platform/SerialOpenError.h"

namespace {

constexpr unsigned char kEscape = 0x1d;  // Ctrl-]

termios savedTty;
bool ttyRaw = false;

void RestoreKeyboard() {
  if (ttyRaw) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTty);
  ttyRaw = false;
}

volatile sig_atomic_t stopSignal = 0;
void OnSignal(int sig) { stopSignal = sig; }

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd w{fd, POLLOUT, 0};
      ::poll(&w, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string Now() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  tm t{};
  ::localtime_r(&tv.tv_sec, &t);
  char buf[32];
  std::snprintf(buf, sizeof buf, "[%02d:%02d:%02d.%03d] ", t.tm_hour, t.tm_min, t.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  return buf;
}

void Note(const std::string& line) {
  // On a raw keyboard a bare LF would not return the cursor.
  std::string t = line + (ttyRaw ? "\r\n" : "\n");
  WriteAll(STDERR_FILENO, t.data(), t.size());
}

class Session {
 public:
  explicit Session(const TermOptions& o) : o_(o), platform_(SerialPlatform::System()) {}

  int Run() {
    port_ = o_.port.toStdString();
    if (!Open(port_)) {
      const std::string why = SerialOpenFailureText(port_);
      for (const PortFinding& f : DiagnosePort(port_))
        Note("  " + f.cause + " — " + f.remedy);
      Note(why);
      return 2;
    }
    if (!o_.logFile.isEmpty()) {
      logFd_ = ::open(QFile::encodeName(o_.logFile).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (logFd_ < 0) {
        Close();
        Note("无法打开记录文件 " + o_.logFile.toStdString() + ": " + std::strerror(errno));
        return 2;
      }
    }
    const SerialAdapter a = AdapterOfPort(port_);
    identity_ = a.Identity();
    label_ = a.Label().empty() ? SerialDevicePath(port_) : a.Label();
    keyboard_ = ::isatty(STDIN_FILENO) == 1;
    if (keyboard_ && ::tcgetattr(STDIN_FILENO, &savedTty) == 0) {
      termios raw = savedTty;
      ::cfmakeraw(&raw);
      if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0) ttyRaw = true;
      std::atexit(RestoreKeyboard);
      Note("已连接 " + SerialDevicePath(port_) + "，Ctrl-] 然后 q 退出");
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    const int rc = Loop();
    RestoreKeyboard();
    Close();
    if (logFd_ >= 0) ::close(logFd_);
    return rc;
  }

 private:
  bool Open(const std::string& name) {
    fd_ = platform_.Open(name);
    if (fd_ < 0) return false;
    platform_.ApplyLine(fd_, o_.line);
    return true;
  }
  void Close() {
    if (fd_ >= 0) platform_.Close(fd_);
    fd_ = -1;
  }

  int Loop() {
    bool inputOpen = true;
    bool escaped = false;
    int idleAfterEnd = 0;
    while (!stopSignal) {
      // While the adapter is away the keyboard still works (Ctrl-] q);
      // what is typed meanwhile has nowhere to go and is dropped.
      if (fd_ < 0 && TryReconnect()) idleAfterEnd = 0;
      pollfd fds[2] = {{fd_, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
      const int n = ::poll(fds, 2, fd_ < 0 ? 200 : 100);
      if (n < 0 && errno != EINTR) return 1;
      if (fd_ >= 0) {
        const bool gone = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) ||
                          (fds[0].revents == 0 && platform_.HungUp(fd_));
        if (gone) {
          // The last bytes before a hang-up are still shown.
          if (!(fds[0].revents & POLLIN) || !Receive()) Lost();
          continue;
        }
        if (fds[0].revents & POLLIN) {
          if (!Receive()) Lost();
          idleAfterEnd = 0;
          continue;
        }
      }
      if (!inputOpen) {
        if (fd_ < 0) {
          // Input has ended and the port is gone: nothing more can happen.
          Note("串口已断开 " + SerialDevicePath(port_));
          return 1;
        }
        // Input has ended and reached the wire: what the board answers in
        // the next moment is still shown, then the session ends.
        if (++idleAfterEnd >= 3) return 0;
        continue;
      }
      if (!(fds[1].revents & (POLLIN | POLLHUP))) continue;
      unsigned char buf[4096];
      const ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        inputOpen = false;
        if (fd_ >= 0) platform_.Drain(fd_, 5000);
        continue;
      }
      std::string out;
      for (ssize_t i = 0; i < got; ++i) {
        const unsigned char c = buf[i];
        if (keyboard_ && escaped) {
          escaped = false;
          if (c == 'q' || c == 'Q') return 0;
          if (c != kEscape) out.push_back(static_cast<char>(kEscape));
          out.push_back(static_cast<char>(c));
        } else if (keyboard_ && c == kEscape) {
          escaped = true;
        } else {
          out.push_back(static_cast<char>(c));
        }
      }
      if (!out.empty() && fd_ >= 0 && !SendToPort(out)) Lost();
    }
    return 0;
  }

  bool SendToPort(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const long n = platform_.Write(fd_, data.data() + done, data.size() - done);
      if (n < 0) return false;
      if (n == 0) {
        pollfd w{fd_, POLLOUT, 0};
        if (::poll(&w, 1, 1000) <= 0 || (w.revents & (POLLHUP | POLLERR))) return false;
        continue;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  bool Receive() {
    unsigned char buf[4096];
    const long n = platform_.Read(fd_, buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return !platform_.HungUp(fd_);
    if (logFd_ >= 0) WriteAll(logFd_, buf, static_cast<size_t>(n));
    std::string out;
    for (long i = 0; i < n; ++i) {
      if (o_.timestamps && lineStart_) out += Now();
      lineStart_ = false;
      if (o_.hex) {
        char h[4];
        std::snprintf(h, sizeof h, "%02X ", buf[i]);
        out += h;
        if (buf[i] == '\n') {
          out += ttyRaw ? "\r\n" : "\n";
          lineStart_ = true;
        }
      } else {
        out.push_back(static_cast<char>(buf[i]));
        if (buf[i] == '\n') lineStart_ = true;
      }
    }
    return WriteAll(STDOUT_FILENO, out.data(), out.size());
  }

  void Lost() {
    Close();
    Note("串口已断开 " + SerialDevicePath(port_) + "，等待 " + label_ + " 重新连接");
  }

  // One look for the same adapter; true once it is open again.
  bool TryReconnect() {
    const std::string candidate = ReopenCandidate(port_, identity_);
    if (candidate.empty() || !Open(candidate)) return false;
    port_ = candidate;
    Note("串口已重新连接 " + SerialDevicePath(port_));
    return true;
  }

  const TermOptions& o_;
  SerialPlatform& platform_;
  std::string port_, identity_, label_;
  int fd_ = -1;
  int logFd_ = -1;
  bool keyboard_ = false;
  bool lineStart_ = true;
};

}  // namespace

int RunTermSession(const TermOptions& options) { return Session(options).Run(); }

int PrintPortList() {
  const QStringList lines = PortListLines();
  if (lines.isEmpty()) std::fputs("没有找到串口\n", stdout);
  for (const QString& l : lines) std::fprintf(stdout, "%s\n", l.toUtf8().constData());
  return 0;
}

int PrintDoctorReport(const QString& port) {
  const std::vector<PortFinding> findings = DiagnosePort(port.toStdString());
  std::fputs(DoctorReport(port.toStdString(), findings).c_str(), stdout);
  return findings.empty() ? 0 : 1;
}
