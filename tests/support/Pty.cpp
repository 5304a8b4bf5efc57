#include "support/Pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
  char name[128] = {};
  int slave = -1;
  if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  keeper_ = slave;
  slavePath_ = name;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // A program the test starts must not inherit the master: while it held
  // it, closing ours would not hang the line up.
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(keeper_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
  if (keeper_ >= 0) close(keeper_);
  if (master_ >= 0) close(master_);
}

void PtyPair::Write(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  auto start = std::chrono::steady_clock::now();
  while (done < bytes.size() && master_ >= 0) {
    ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(10)) {
      ADD_FAILURE() << "pty write stalled";
      return;
    }
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 10);
  }
}

void PtyPair::Write(const std::string& bytes) {
  Write(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> PtyPair::Read(size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buf[4096];
  while (out.size() < count && master_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) out.insert(out.end(), buf, buf + n);
    else if (n < 0 && errno != EAGAIN) break;
  }
  return out;
}

std::vector<uint8_t> PtyPair::ReadUntilQuiet(int quietMs, int timeoutMs) {
  std::vector<uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buf[4096];
  while (master_ >= 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, quietMs) <= 0) break;
    ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) out.insert(out.end(), buf, buf + n);
    else if (n < 0 && errno != EAGAIN) break;
  }
  return out;
}

void PtyPair::CloseKeeper() {
  if (keeper_ >= 0) close(keeper_);
  keeper_ = -1;
}

void PtyPair::HangUp() {
  CloseKeeper();
  if (master_ >= 0) close(master_);
  master_ = -1;
}
