// lrzsz (sx, rx, sb, rb) as the independent other side of a transfer.
//
// lrzsz flushes its terminal's queues after every answer and on exit; on a
// pseudo-terminal that flush also throws away whatever the other end has not
// read yet (its last ACK, our EOT), so a peer on a pty pair loses bytes at
// random and the transfer stalls for a retry. The peer therefore talks over a
// socket pair, where its flushes do nothing, and only our side is a pty: a
// socat pty in front of the peer, or a relay thread of the test that can also
// damage bytes and hold a direction back.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// One lrzsz program with a socket pair end as standard input and output.
// Test files: random contents, written and read back whole.
inline QByteArray Random(qsizetype n, unsigned seed) {
  std::mt19937 rng(seed);
  QByteArray d(n, Qt::Uninitialized);
  for (auto& c : d) c = static_cast<char>(rng());
  return d;
}

inline void Write(const QString& path, const QByteArray& d) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(d);
}

inline QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

class LrzszPeer {
 public:
  LrzszPeer(const QString& workDir, const QStringList& args) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
      ADD_FAILURE() << "socketpair failed";
      return;
    }
    std::vector<std::string> a;
    for (const QString& s : args) a.push_back(s.toStdString());
    const std::string dir = workDir.toStdString();
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& s : a) argv.push_back(s.data());
      argv.push_back(nullptr);
      const int null = ::open("/dev/null", O_WRONLY);
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::dup2(sv[1], 0);
      ::dup2(sv[1], 1);
      ::dup2(null, 2);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(sv[1]);
    fd_ = sv[0];
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~LrzszPeer() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  void Signal(int sig) { ::kill(pid_, sig); }
  // The exit code, or -1 when it did not end in time or ended by a signal.
  int Wait(int timeoutMs) {
    for (int waited = 0; status_ < 0 && waited <= timeoutMs; waited += 10) {
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) status_ = st;
      else ::usleep(10000);
    }
    return status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  int status_ = -1;
};

// Copies between our pty's master and a peer. `every` > 0 damages or drops
// about one byte in `every`; a direction can be held back after a number of
// bytes until Release().
class PeerRelay {
 public:
  PeerRelay(int ours, int peer, unsigned every = 0) : fd_{ours, peer}, every_(every), t_([this] { Loop(); }) {}
  ~PeerRelay() {
    stop_ = true;
    t_.join();
  }
  // Direction 0 is ours → peer, 1 is peer → ours. Once `dir` has carried
  // `bytes`, both directions stand still until Release(): the answer to the
  // last thing that passed is held too.
  void HoldAfter(int dir, int64_t bytes) {
    holdAt_ = bytes;
    holdDir_ = dir;
  }
  void Release() { holdDir_ = -1; }
  int64_t passed(int dir) const { return passed_[dir]; }
  bool holding() const { return holdDir_ >= 0 && passed_[holdDir_] >= holdAt_; }
  int damaged() const { return damaged_; }

 private:
  void Loop() {
    std::mt19937 rng(99);
    while (!stop_) {
      if (holding()) {
        ::usleep(5000);
        continue;
      }
      pollfd p[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
      if (::poll(p, 2, 10) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN) || holding()) continue;
        uint8_t buf[4096];
        const int64_t room = holdDir_ == i ? holdAt_ - passed_[i] : int64_t{sizeof buf};
        const ssize_t n = ::read(fd_[i], buf, static_cast<size_t>(std::min<int64_t>(room, sizeof buf)));
        if (n <= 0) continue;
        passed_[i] += n;
        std::vector<uint8_t> out;
        for (ssize_t k = 0; k < n; ++k) {
          const unsigned r = every_ ? rng() % every_ : 2;
          if (r == 0) { ++damaged_; continue; }
          if (r == 1) { ++damaged_; buf[k] ^= static_cast<uint8_t>(1u << (rng() % 8)); }
          out.push_back(buf[k]);
        }
        const int to = fd_[1 - i];
        for (size_t done = 0; done < out.size() && !stop_;) {
          // A peer that has left must not take the test down with SIGPIPE.
          const ssize_t w = i == 0 ? ::send(to, out.data() + done, out.size() - done, MSG_NOSIGNAL)
                                   : ::write(to, out.data() + done, out.size() - done);
          if (w > 0) done += static_cast<size_t>(w);
          else if (w < 0 && errno != EAGAIN) break;
          else { pollfd q{to, POLLOUT, 0}; ::poll(&q, 1, 10); }
        }
      }
    }
  }
  int fd_[2];
  unsigned every_;
  std::atomic<int> holdDir_{-1};
  std::atomic<int64_t> holdAt_{0};
  std::atomic<int64_t> passed_[2] = {0, 0};
  std::atomic<bool> stop_{false};
  std::atomic<int> damaged_{0};
  std::thread t_;
};
