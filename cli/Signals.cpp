#include "cli/Signals.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};
bool g_fatal = false;
volatile sig_atomic_t g_last = 0;

void OnSignal(int sig) {
  g_last = sig;
  const char c = 1;
  [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &c, 1);
  if (g_fatal) std::signal(sig, SIG_DFL);
}

}  // namespace

int SignalPipe(bool secondIsFatal) {
  g_fatal = secondIsFatal;
  if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return g_pipe[0];
}

int DrainSignalPipe() {
  int count = 0;
  char buf[16];
  ssize_t n;
  while (g_pipe[0] >= 0 && (n = ::read(g_pipe[0], buf, sizeof buf)) > 0) count += static_cast<int>(n);
  return count;
}

const char* LastSignalName() {
  switch (g_last) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal";
  }
}
