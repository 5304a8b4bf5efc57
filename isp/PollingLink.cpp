#include "isp/PollingLink.h"

#include <QSocketNotifier>

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <memory>

#include "isp/IspHost.h"

namespace {

// While the link is watched, the driver's own tick would only find the
// port empty, hundreds of times a second.
constexpr uint16_t kWatchedPollingDelayMs = 1000;

}  // namespace

PollingLink::PollingLink(TKRNCommDriver& driver) : driver_(driver) {}

PollingLink::~PollingLink() {
  // The notifier only: the driver may be gone by now.
  if (readable_) readable_->setEnabled(false);
  pauseEnd_.reset();
  if (pauseFd_ >= 0) close(pauseFd_);
}

bool PollingLink::Write(const void* data, int count) {
  if (!driver_.IsConnected()) return false;
  if (count <= 0) return true;
  // A frame fits the device's queue: one write, with no question about
  // room asked first. Only what did not fit goes the driver's patient way.
  const long n = driver_.Platform().Write(driver_.Handle(), data, static_cast<size_t>(count));
  if (n == count) return true;
  const int done = n > 0 ? static_cast<int>(n) : 0;
  const int rest = count - done;
  return driver_.SendBytes(static_cast<const uint8_t*>(data) + done, rest) == rest;
}

void PollingLink::Listen(DataFn onData, LostFn onLost) {
  if (listening_) StopListening();
  savedOnReceive_ = driver_.OnReceiveData;
  savedOnLost_ = driver_.OnDeviceLost;
  listening_ = true;
  driver_.OnReceiveData = [this, onData = std::move(onData)](TKRNCommDriver* sender, const uint8_t* data, int32_t size) {
    if (savedOnReceive_) savedOnReceive_(sender, data, size);
    // The listener keeps the bytes: the driver's own copy would only
    // overflow over a long session.
    driver_.ReceiveCount = 0;
    bytesRead_ += static_cast<uint64_t>(std::max(size, 0));
    if (onData && data && size > 0) onData(data, size);
  };
  driver_.OnDeviceLost = [this, onLost = std::move(onLost)](TKRNCommDriver* sender) {
    if (savedOnLost_) savedOnLost_(sender);
    if (onLost) onLost();
  };
}

void PollingLink::StopListening() {
  if (!listening_) return;
  listening_ = false;
  driver_.OnReceiveData = std::move(savedOnReceive_);
  driver_.OnDeviceLost = std::move(savedOnLost_);
  savedOnReceive_ = nullptr;
  savedOnLost_ = nullptr;
}

void PollingLink::Poll() {
  driver_.PollReceive();
  if (listening_) driver_.ReceiveCount = 0;
}

bool PollingLink::Drain(int timeoutMs) {
  const int fd = driver_.Handle();
  return fd >= 0 && driver_.Platform().Drain(fd, timeoutMs);
}

void PollingLink::SetParity(IspParity parity) {
  driver_.setComPortParity(parity == IspParity::Odd ? ptODD : parity == IspParity::Even ? ptEVEN : ptNONE);
}

IspLink& IspPortAccess::Link() {
  if (!defaultLink_) defaultLink_ = std::make_unique<PollingLink>(ComDriver());
  return *defaultLink_;
}

bool PollingLink::WatchReadable(ReadableFn onReadable) {
  StopWatch();
  if (!onReadable) return true;
  const int fd = driver_.Handle();
  if (fd < 0 || fcntl(fd, F_GETFD) == -1) return false;  // a stand-in device without a descriptor
  onReadable_ = std::move(onReadable);
  readable_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(readable_.get(), &QSocketNotifier::activated, [this] { Readable(); });
  savedPollingDelay_ = driver_.ComPortPollingDelay();
  driver_.setComPortPollingDelay(kWatchedPollingDelayMs);
  return true;
}

void PollingLink::PauseWatchFor(int64_t microseconds) {
  if (!readable_ || microseconds <= 0) return;
  if (pauseFd_ < 0) {
    pauseFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (pauseFd_ < 0) return;  // then it keeps watching
    pauseEnd_ = std::make_unique<QSocketNotifier>(pauseFd_, QSocketNotifier::Read);
    QObject::connect(pauseEnd_.get(), &QSocketNotifier::activated, [this] { PauseEnded(); });
  }
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(microseconds / 1000000);
  when.it_value.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
  if (timerfd_settime(pauseFd_, 0, &when, nullptr) != 0) return;
  readable_->setEnabled(false);
}

bool PollingLink::WaitReadable(int64_t microseconds) {
  const int fd = driver_.Handle();
  if (fd < 0 || microseconds <= 0) return false;
  pollfd p{fd, POLLIN, 0};
  const timespec wait{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
  return ppoll(&p, 1, &wait, nullptr) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void PollingLink::PauseEnded() {
  uint64_t expirations = 0;
  if (read(pauseFd_, &expirations, sizeof expirations) != sizeof expirations || !readable_) return;
  readable_->setEnabled(true);
  const ReadableFn notify = onReadable_;  // the call may stop the watch
  if (notify) notify();
}

void PollingLink::StopWatch() {
  if (!readable_) return;
  // Often called from the notifier's own signal: it goes once that returns.
  readable_->setEnabled(false);
  readable_.release()->deleteLater();
  onReadable_ = nullptr;
  // The pause's notifier stays: this may run inside its signal.
  if (pauseFd_ >= 0) {
    const itimerspec off{};
    timerfd_settime(pauseFd_, 0, &off, nullptr);
  }
  driver_.setComPortPollingDelay(savedPollingDelay_);
}

void PollingLink::Readable() {
  if (!readable_) return;
  const int fd = static_cast<int>(readable_->socket());
  const ReadableFn notify = onReadable_;  // the call may stop the watch
  if (fd != driver_.Handle()) {  // the port was closed under the watch
    StopWatch();
    notify();
    return;
  }
  const uint64_t before = bytesRead_;
  notify();
  // A device that has gone (adapter pulled) stays readable for ever; a
  // wake-up that brought bytes came from a device that is there.
  if (!readable_ || bytesRead_ != before || fd != driver_.Handle()) return;
  if (driver_.Platform().HungUp(fd)) {
    StopWatch();
    driver_.Disconnect();
    if (driver_.OnDeviceLost) driver_.OnDeviceLost(&driver_);
  }
}

void PollingLink::SetLowLatency(bool on) {
  const int fd = driver_.Handle();
  if (on) {
    bool wasOn = false;
    if (fd >= 0 && driver_.Platform().SetLowLatency(fd, true, &wasOn) && !wasOn) lowLatencyFd_ = fd;
    return;
  }
  if (lowLatencyFd_ >= 0 && lowLatencyFd_ == fd) driver_.Platform().SetLowLatency(fd, false, nullptr);
  lowLatencyFd_ = -1;
}
