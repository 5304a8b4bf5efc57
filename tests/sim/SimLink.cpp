#include "sim/SimLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

namespace {

constexpr int64_t kMs = 1000000;

timespec ToTimespec(int64_t ns) {
  if (ns < 0) ns = 0;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

}  // namespace

int64_t SimLink::NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

SimLink::SimLink(int masterFd, SimLinkOptions options)
    : fd_(masterFd), options_(options), rng_(options.seed) {
  savedFlags_ = fcntl(fd_, F_GETFL);
  if (savedFlags_ >= 0) fcntl(fd_, F_SETFL, savedFlags_ | O_NONBLOCK);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoch_ = NowNs();
  thread_ = std::thread([this] { Run(); });
}

SimLink::~SimLink() { Stop(); }

void SimLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
    stop_ = true;
  }
  Wake();
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (savedFlags_ >= 0) fcntl(fd_, F_SETFL, savedFlags_);
  if (wakeFd_ >= 0) close(wakeFd_);
  wakeFd_ = -1;
}

void SimLink::Wake() {
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

int64_t SimLink::ByteNsLocked() const {
  if (options_.baud == 0) return 0;
  return static_cast<int64_t>(options_.bitsPerByte) * 1000000000LL / options_.baud;
}

bool SimLink::Read(uint8_t& byte, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool forever = timeoutMs < 0;
  const int64_t deadline = NowNs() + static_cast<int64_t>(forever ? 0 : timeoutMs) * kMs;
  for (;;) {
    if (stop_) return false;
    const int64_t now = NowNs();
    if (!in_.empty() && in_.front().due <= now) {
      byte = in_.front().byte;
      in_.pop_front();
      return true;
    }
    if (!forever && now >= deadline) return false;
    int64_t until = forever ? now + 100 * kMs : deadline;
    if (!in_.empty()) until = std::min(until, in_.front().due);
    changed_.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(until)));
  }
}

void SimLink::Send(const std::vector<uint8_t>& bytes) { Send(bytes.data(), bytes.size()); }

void SimLink::Send(const std::string& bytes) {
  Send(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void SimLink::Send(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    const int64_t byteNs = ByteNsLocked();
    const int64_t latency = static_cast<int64_t>(options_.adapterLatencyMs) * kMs;

    // Where the reply is cut, the target pauses before the rest leaves.
    std::vector<std::pair<size_t, int64_t>> cuts;
    if (options_.seed != 0 && count >= 2) {
      const int pieces = 1 + static_cast<int>(rng_() % 3);
      for (int i = 0; i < pieces; ++i) {
        const size_t at = 1 + rng_() % (count - 1);
        const int64_t pause = static_cast<int64_t>(rng_() % (options_.maxPauseMs + 1)) * kMs;
        cuts.emplace_back(at, pause);
      }
    }

    int64_t wire = std::max(NowNs(), outWireEnd_);
    for (size_t i = 0; i < count; ++i) {
      for (const auto& c : cuts)
        if (c.first == i) wire += c.second;
      wire += byteNs;  // the byte has fully arrived at the adapter
      int64_t due = wire;
      const uint64_t index = outBase_ + out_.size();
      if (latency > 0) {
        if (packetClose_ != 0 && wire < packetClose_ && packetCount_ < options_.adapterPacket) {
          ++packetCount_;
          due = packetClose_;
        } else {
          // The adapter's timer runs on its own; the packet leaves at its
          // next tick.
          const int64_t ticks = (wire - epoch_ + latency - 1) / latency;
          packetClose_ = epoch_ + ticks * latency;
          if (packetClose_ <= wire) packetClose_ += latency;
          packetStart_ = index;
          packetCount_ = 1;
          due = packetClose_;
        }
        if (packetCount_ >= options_.adapterPacket) {
          // A full buffer goes out at once, the bytes before it too. Every
          // earlier packet left before this one's first byte arrived.
          for (uint64_t j = std::max(packetStart_, outBase_); j < index; ++j) out_[j - outBase_].due = wire;
          due = wire;
          lastDelivery_ = std::min(lastDelivery_, wire);
          packetClose_ = 0;
          packetCount_ = 0;
        }
      }
      due = std::max(due, lastDelivery_);
      lastDelivery_ = due;
      out_.push_back({due, bytes[i]});
    }
    outWireEnd_ = wire;
  }
  Wake();
}

void SimLink::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stop_ || out_.empty(); });
}

void SimLink::SetBaud(uint32_t baud) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.baud = baud;
}

uint32_t SimLink::Baud() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_.baud;
}

void SimLink::SetAdapterLatency(int ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.adapterLatencyMs = ms;
}

void SimLink::DiscardInput() {
  std::lock_guard<std::mutex> lock(mutex_);
  in_.clear();
}

void SimLink::DiscardOutput() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outBase_ += out_.size();
    out_.clear();
    packetClose_ = 0;
    packetCount_ = 0;
  }
  changed_.notify_all();
}

uint64_t SimLink::BytesIn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytesIn_;
}

uint64_t SimLink::BytesOut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytesOut_;
}

int64_t SimLink::FirstInNs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return firstIn_;
}

int64_t SimLink::LastInNs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastIn_;
}

int64_t SimLink::LastOutNs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastOut_;
}

void SimLink::Run() {
  std::vector<uint8_t> chunk;
  uint8_t buf[4096];
  int64_t hostGoneUntil = 0;
  bool outputBlocked = false;
  for (;;) {
    int64_t nextDue = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
      // Hand over everything that is due.
      const int64_t now = NowNs();
      chunk.clear();
      for (const Timed& t : out_) {
        if (t.due > now || chunk.size() >= sizeof buf) break;
        chunk.push_back(t.byte);
      }
      outputBlocked = false;
      if (!chunk.empty()) {
        const ssize_t n = write(fd_, chunk.data(), chunk.size());
        if (n > 0) {
          for (ssize_t i = 0; i < n; ++i) out_.pop_front();
          outBase_ += static_cast<uint64_t>(n);
          bytesOut_ += static_cast<uint64_t>(n);
          lastOut_ = now;
          changed_.notify_all();
        }
        if (n < static_cast<ssize_t>(chunk.size())) outputBlocked = true;
      }
      if (!out_.empty() && !outputBlocked) nextDue = out_.front().due;
    }

    const int64_t now = NowNs();
    const bool watchHost = now >= hostGoneUntil;
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, 0, 0}};
    if (watchHost) fds[1].events = static_cast<short>(POLLIN | (outputBlocked ? POLLOUT : 0));
    int64_t waitNs = 100 * kMs;
    if (nextDue >= 0) waitNs = std::max<int64_t>(0, nextDue - now);
    if (!watchHost) waitNs = std::min(waitNs, hostGoneUntil - now);
    const timespec ts = ToTimespec(waitNs);
    const int r = ppoll(fds, watchHost ? 2 : 1, &ts, nullptr);
    if (r < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      [[maybe_unused]] ssize_t n = read(wakeFd_, &v, sizeof v);
    }
    if (!watchHost) continue;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const int64_t byteNs = ByteNsLocked();
        const int64_t at = NowNs();
        for (ssize_t i = 0; i < n; ++i) {
          inWireEnd_ = std::max(at, inWireEnd_) + byteNs;
          in_.push_back({inWireEnd_, buf[i]});
          if (bytesIn_ == 0) firstIn_ = inWireEnd_;
          lastIn_ = inWireEnd_;
          ++bytesIn_;
        }
        changed_.notify_all();
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // No slave side open (the program closed the port): look again
        // shortly, as the program may open it again.
        hostGoneUntil = NowNs() + 2 * kMs;
      }
    }
  }
}
