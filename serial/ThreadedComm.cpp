#include "serial/ThreadedComm.h"

#include "platform/SerialDevice.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <linux/serial.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Notification numbers, kept as the component has always numbered them.
enum CommMsg : int {
  CommMsgData = 1025,
  CommMsgError = 1026,
  CommMsgHangup = 1027,
  CommMsgModem = 1028,
  CommMsgSendEmpty = 1029,
};

constexpr size_t kReadBlock = 2048;
// How often the receive thread samples line-error counters and modem lines
// on devices that have them; a pseudo-terminal has neither and then the
// thread sleeps until bytes or the close event arrive.
constexpr auto kLineSamplePeriod = std::chrono::milliseconds(50);
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

QEvent::Type CommEventType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// One notification on its way to the owner's thread. The received block
// travels inside it, so whoever deletes the event (the dispatcher after the
// handler, or Qt when the queue is dropped) frees the block.
class CommEvent : public QEvent {
 public:
  CommEvent(uint64_t generation, CommMsg msg, uint32_t param,
            std::unique_ptr<uint8_t[]> block = nullptr, uint16_t count = 0)
      : QEvent(CommEventType()), generation(generation), msg(msg), param(param),
        block(std::move(block)), count(count) {}
  uint64_t generation;
  CommMsg msg;
  uint32_t param;
  std::unique_ptr<uint8_t[]> block;
  uint16_t count;
};

// Stands in for the hidden notification window: lives on the owner's thread
// and hands every CommEvent to the component.
class Notifier : public QObject {
 public:
  explicit Notifier(std::function<void(CommEvent&)> dispatch) : dispatch_(std::move(dispatch)) {}
  bool event(QEvent* e) override {
    if (e->type() != CommEventType()) return QObject::event(e);
    dispatch_(*static_cast<CommEvent*>(e));
    return true;
  }

 private:
  std::function<void(CommEvent&)> dispatch_;
};

struct Block {
  std::unique_ptr<uint8_t[]> data;
  size_t count = 0;
};

int PollTimeoutUntil(std::optional<Clock::time_point> deadline) {
  if (!deadline) return -1;
  auto now = Clock::now();
  if (*deadline <= now) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

bool IsSignalled(int efd) {
  pollfd p{efd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void Signal(int efd) {
  uint64_t one = 1;
  ssize_t n;
  do n = ::write(efd, &one, sizeof one);
  while (n < 0 && errno == EINTR);
}

// Line-error counters and modem lines, sampled by the receive thread.
class LineWatch {
 public:
  explicit LineWatch(int fd) : fd_(fd) {
    icountOk_ = ioctl(fd_, TIOCGICOUNT, &count_) == 0;
    modemOk_ = ioctl(fd_, TIOCMGET, &bits_) == 0;
  }
  bool active() const { return icountOk_ || modemOk_; }

  void Sample(uint32_t& errors, uint32_t& modem) {
    errors = 0;
    modem = 0;
    if (icountOk_) {
      serial_icounter_struct now{};
      if (ioctl(fd_, TIOCGICOUNT, &now) == 0) {
        if (now.buf_overrun != count_.buf_overrun) errors |= CommErrorRxOver;
        if (now.overrun != count_.overrun) errors |= CommErrorOverrun;
        if (now.parity != count_.parity) errors |= CommErrorParity;
        if (now.frame != count_.frame) errors |= CommErrorFrame;
        if (now.brk != count_.brk) errors |= CommErrorBreak;
        if (now.dcd != count_.dcd) modem |= ModemRlsd;
        if (now.rng != count_.rng) modem |= ModemRing;
        count_ = now;
      }
    }
    if (modemOk_) {
      int bits = 0;
      if (ioctl(fd_, TIOCMGET, &bits) == 0) {
        if ((bits ^ bits_) & TIOCM_CD) modem |= ModemRlsd;
        if (bits & ~bits_ & TIOCM_RNG) modem |= ModemRing;
        bits_ = bits;
      }
    }
  }

 private:
  int fd_;
  bool icountOk_ = false;
  bool modemOk_ = false;
  serial_icounter_struct count_{};
  int bits_ = 0;
};

}  // namespace

struct TComm::Impl {
  SerialPlatform* platform = nullptr;
  std::unique_ptr<Notifier> notifier;

  int fd = -1;
  bool restoreLowLatency = false;  // the driver's flag was off before this open
  int closeEvent = -1;  // eventfd, written once by ClosePort and never reset
  int writeWake = -1;   // eventfd, written by SendData for each queued block
  int hangupWake = -1;  // eventfd, written by the transmit thread when it meets a dead device
  std::thread readThread;
  std::thread writeThread;

  // Notifications carry the generation of the open that produced them; the
  // dispatcher drops those of an earlier open.
  uint64_t generation = 0;
  std::atomic<bool> hangupPosted{false};
  std::atomic<bool> writerAlive{false};
  std::atomic<bool> readerAlive{false};

  std::mutex queueMutex;
  std::deque<Block> queue;    // guarded by queueMutex
  std::atomic<bool> outputIdle{true};

  // The read time-outs as the receive thread sees them.
  std::atomic<uint32_t> readInterval{100};
  std::atomic<uint32_t> readTotalMultiplier{0};
  std::atomic<uint32_t> readTotalConstant{0};

  void Post(uint64_t gen, CommMsg msg, uint32_t param = 0,
            std::unique_ptr<uint8_t[]> block = nullptr, uint16_t count = 0) {
    QCoreApplication::postEvent(notifier.get(),
                                new CommEvent(gen, msg, param, std::move(block), count));
  }

  // A vanished device shows up in both threads; the owner hears of it once.
  void PostHangup(uint64_t gen) {
    if (!hangupPosted.exchange(true)) Post(gen, CommMsgHangup);
  }

  // The transmit thread's hang-up goes through the receive thread while that
  // runs, so that bytes it still holds are delivered before the hang-up.
  void WriterHangup(uint64_t gen) {
    if (readerAlive) Signal(hangupWake);
    else PostHangup(gen);
  }

  void Deliver(uint64_t gen, const uint8_t* bytes, size_t count) {
    auto block = std::make_unique<uint8_t[]>(count + 1);  // zero-filled: 00 after the bytes
    std::memcpy(block.get(), bytes, count);
    Post(gen, CommMsgData, 0, std::move(block), static_cast<uint16_t>(count));
  }

  void ReadLoop(uint64_t gen);
  void WriteLoop(uint64_t gen);
  bool WriteBlock(uint64_t gen, const uint8_t* data, size_t count);
  void StopReadThread();
  void StopWriteThread();
};

// The receive thread. A read waits for its first byte, then keeps reading
// until the interval passes without a byte, the total time-out expires or the
// block is full, and delivers the block as one notification.
void TComm::Impl::ReadLoop(uint64_t gen) {
  uint8_t block[kReadBlock];
  size_t got = 0;
  LineWatch watch(fd);
  Clock::time_point readStart = Clock::now();
  Clock::time_point lastByte = readStart;
  Clock::time_point nextSample = readStart + kLineSamplePeriod;
  bool hangup = false;

  for (;;) {
    const uint32_t interval = readInterval.load();
    const uint64_t totalMs = uint64_t(readTotalMultiplier.load()) * kReadBlock + readTotalConstant.load();
    const bool useInterval = interval > 0 && interval != kMaxDword;
    // Interval "maximum" with no total time-out means: take what is there.
    const bool immediate = interval == kMaxDword && totalMs == 0;
    const auto total = std::chrono::milliseconds(totalMs);
    auto now = Clock::now();

    if (got > 0) {
      bool done = got == kReadBlock || immediate ||
                  (useInterval && now - lastByte >= std::chrono::milliseconds(interval)) ||
                  (totalMs > 0 && now - readStart >= total);
      if (done) {
        Deliver(gen, block, got);
        got = 0;
        readStart = now;
        continue;
      }
    } else if (totalMs > 0 && now - readStart >= total) {
      readStart = now;  // an empty read completed; the next one starts now
    }

    std::optional<Clock::time_point> deadline;
    auto earliest = [&](Clock::time_point t) { deadline = deadline ? std::min(*deadline, t) : t; };
    if (got > 0 && useInterval) earliest(lastByte + std::chrono::milliseconds(interval));
    if (totalMs > 0) earliest(readStart + total);
    if (watch.active()) earliest(nextSample);

    pollfd p[3] = {{closeEvent, POLLIN, 0}, {fd, POLLIN, 0}, {hangupWake, POLLIN, 0}};
    int r = poll(p, 3, PollTimeoutUntil(deadline));
    if (r < 0) {
      if (errno == EINTR) continue;
      hangup = true;
      break;
    }
    if (p[0].revents) break;
    if (p[2].revents & POLLIN) {
      // The transmit thread found the device gone: take what is still
      // readable, then report.
      uint64_t counter;
      [[maybe_unused]] ssize_t k = ::read(hangupWake, &counter, sizeof counter);
      for (;;) {
        if (got == kReadBlock) {
          Deliver(gen, block, got);
          got = 0;
        }
        const ssize_t n = ::read(fd, block + got, kReadBlock - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      if (got > 0) Deliver(gen, block, got);
      got = 0;
      PostHangup(gen);
      readStart = Clock::now();
      continue;
    }

    if (watch.active() && Clock::now() >= nextSample) {
      uint32_t errors = 0, modem = 0;
      watch.Sample(errors, modem);
      if (errors) Post(gen, CommMsgError, errors);
      if (modem) Post(gen, CommMsgModem, modem);
      nextSample = Clock::now() + kLineSamplePeriod;
    }
    if (r == 0) continue;

    const short ev = p[1].revents;
    if (ev & POLLNVAL) break;  // the handle went away under us: no hang-up
    if (ev & POLLIN) {
      ssize_t n = ::read(fd, block + got, kReadBlock - got);
      if (n > 0) {
        got += static_cast<size_t>(n);
        lastByte = Clock::now();
        continue;
      }
      if (n < 0 && errno == EBADF) break;
      if (n < 0 && (errno == EAGAIN || errno == EINTR) && !(ev & (POLLHUP | POLLERR))) continue;
      // 0 from a tty is a hang-up; so is EIO from a pty whose master closed.
      hangup = true;
      break;
    }
    if (ev & (POLLHUP | POLLERR)) {
      hangup = true;
      break;
    }
  }

  // Bytes read before a hang-up reach the owner before it hears of it.
  if (hangup) {
    if (got > 0) Deliver(gen, block, got);
    PostHangup(gen);
  }
  readerAlive = false;
  // A hang-up the transmit thread handed over too late is passed on here.
  if (IsSignalled(hangupWake)) PostHangup(gen);
  tcflush(fd, TCIFLUSH);
}

// Writes one block completely. Fails without a notification when the close
// event is signalled or the handle became invalid.
bool TComm::Impl::WriteBlock(uint64_t gen, const uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd, data + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EBADF) return false;
    if (n < 0 && errno == EAGAIN) {
      pollfd p[2] = {{closeEvent, POLLIN, 0}, {fd, POLLOUT, 0}};
      int r = poll(p, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        WriterHangup(gen);
        return false;
      }
      if (p[0].revents) return false;
      if (p[1].revents & POLLNVAL) return false;
      if ((p[1].revents & (POLLHUP | POLLERR)) && !(p[1].revents & POLLOUT)) {
        WriterHangup(gen);
        return false;
      }
      continue;
    }
    WriterHangup(gen);
    return false;
  }
  return true;
}

// The transmit thread: writes queued blocks in order and reports each time
// the queue runs dry after it wrote something (and once at start).
void TComm::Impl::WriteLoop(uint64_t gen) {
  bool notify = true;
  for (;;) {
    Block next;
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      if (!queue.empty()) {
        next = std::move(queue.front());
        queue.pop_front();
      } else {
        outputIdle = true;
      }
    }
    if (!next.data) {
      if (notify) {
        Post(gen, CommMsgSendEmpty);
        notify = false;
      }
      pollfd p[2] = {{closeEvent, POLLIN, 0}, {writeWake, POLLIN, 0}};
      int r = poll(p, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        WriterHangup(gen);
        break;
      }
      if (p[0].revents) break;
      if (p[1].revents & POLLIN) {
        uint64_t counter;
        [[maybe_unused]] ssize_t n = ::read(writeWake, &counter, sizeof counter);
      }
      continue;
    }
    if (IsSignalled(closeEvent)) break;
    if (!WriteBlock(gen, next.data.get(), next.count)) break;
    notify = true;
  }
  tcflush(fd, TCOFLUSH);
  outputIdle = true;
  writerAlive = false;
}

void TComm::Impl::StopReadThread() {
  if (!readThread.joinable()) return;
  Signal(closeEvent);
  tcflush(fd, TCIFLUSH);
  // Every wait of the thread includes the close event, so it ends promptly.
  readThread.join();
}

void TComm::Impl::StopWriteThread() {
  if (!writeThread.joinable()) return;
  Signal(closeEvent);
  tcflush(fd, TCOFLUSH);
  outputIdle = true;
  writeThread.join();
}

TComm::TComm(QObject* owner, SerialPlatform* platform) : QObject(owner), impl_(std::make_unique<Impl>()) {
  impl_->platform = platform ? platform : &SerialPlatform::System();
  impl_->notifier = std::make_unique<Notifier>([this](CommEvent& ev) {
    if (ev.generation != impl_->generation) return;  // from a port closed since
    switch (ev.msg) {
      case CommMsgData:
        if (OnReceiveData) OnReceiveData(this, ev.block.get(), ev.count);
        break;
      case CommMsgError:
        if (OnReceiveError) OnReceiveError(this, ev.param);
        break;
      case CommMsgHangup:
        if (OnRequestHangup) OnRequestHangup(this);
        break;
      case CommMsgModem:
        if (OnModemStateChange) OnModemStateChange(this, ev.param);
        break;
      case CommMsgSendEmpty:
        if (OnSendDataEmpty) OnSendDataEmpty(this);
        break;
    }
  });
}

// The threads reference the component, so an open port is closed before the
// component goes; queued notifications go with the notifier.
TComm::~TComm() { ClosePort(); }

bool TComm::IsOpen() const { return impl_->fd >= 0; }

bool TComm::OutputIdle() const { return impl_->outputIdle; }

bool TComm::Drain(int timeoutMs) {
  Impl& d = *impl_;
  if (d.fd < 0) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  while (!d.outputIdle && d.writerAlive) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return d.platform->Drain(d.fd, static_cast<int>(std::max<long long>(0, left)));
}

void TComm::OpenPort() {
  Impl& d = *impl_;
  if (d.fd >= 0) throw ECommsError("This serial port already opened");

  int fd = d.platform->Open(commName_.toStdString());
  if (fd < 0) throw ECommsError("Error opening serial port");
  if (!d.platform->IsCharDevice(fd) || !isatty(fd)) {
    d.platform->Close(fd);
    throw ECommsError("File handle is not a comm handle ");
  }
  // The device queue sizes (4096 each way) have no kernel counterpart.

  d.fd = fd;
  d.restoreLowLatency = false;
  if (lowLatency_) {
    // A device that has no such flag (a pty) is used as it is.
    bool wasOn = false;
    d.restoreLowLatency = d.platform->SetLowLatency(fd, true, &wasOn) && !wasOn;
  }
  d.platform->Purge(fd, true, true);
  d.outputIdle = true;
  ApplyTimeouts();
  ApplyLineSettings();

  d.closeEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  d.writeWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  d.hangupWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.closeEvent < 0 || d.writeWake < 0 || d.hangupWake < 0) {
    if (d.closeEvent >= 0) ::close(d.closeEvent);
    if (d.writeWake >= 0) ::close(d.writeWake);
    if (d.hangupWake >= 0) ::close(d.hangupWake);
    d.closeEvent = d.writeWake = d.hangupWake = -1;
    if (d.restoreLowLatency) d.platform->SetLowLatency(fd, false, nullptr);
    d.platform->Close(fd);
    d.fd = -1;
    throw ECommsError("Unable to create event");
  }

  const uint64_t gen = ++d.generation;
  d.hangupPosted = false;
  auto undoEvents = [&] {
    ::close(d.closeEvent);
    ::close(d.writeWake);
    ::close(d.hangupWake);
    d.closeEvent = d.writeWake = d.hangupWake = -1;
    if (d.restoreLowLatency) d.platform->SetLowLatency(fd, false, nullptr);
    d.platform->Close(fd);
    d.fd = -1;
    ++d.generation;
  };

  try {
    d.readerAlive = true;
    d.readThread = std::thread([&d, gen] { d.ReadLoop(gen); });
  } catch (const std::system_error&) {
    d.readerAlive = false;
    undoEvents();
    throw ECommsError("Unable to create read thread");
  }
  try {
    d.writerAlive = true;
    d.writeThread = std::thread([&d, gen] { d.WriteLoop(gen); });
  } catch (const std::system_error&) {
    d.writerAlive = false;
    d.StopReadThread();
    undoEvents();
    throw ECommsError("Unable to create write thread");
  }
}

void TComm::ClosePort() {
  Impl& d = *impl_;
  if (d.fd < 0) return;
  d.StopReadThread();
  d.StopWriteThread();
  ::close(d.closeEvent);
  ::close(d.writeWake);
  ::close(d.hangupWake);
  d.closeEvent = d.writeWake = d.hangupWake = -1;
  if (d.restoreLowLatency) d.platform->SetLowLatency(d.fd, false, nullptr);
  d.restoreLowLatency = false;
  d.platform->Close(d.fd);
  d.fd = -1;
  d.writerAlive = false;
  d.readerAlive = false;
  {
    std::lock_guard<std::mutex> lock(d.queueMutex);
    d.queue.clear();
  }
  d.outputIdle = true;
  // Nothing of this open reaches the owner any more.
  ++d.generation;
  QCoreApplication::removePostedEvents(d.notifier.get(), CommEventType());
}

bool TComm::SendData(const uint8_t* bytes, uint16_t count) {
  Impl& d = *impl_;
  if (d.fd < 0 || !d.writerAlive || count == 0 || bytes == nullptr) return false;
  Block block{std::make_unique<uint8_t[]>(size_t(count) + 1), count};  // zero-filled
  std::memcpy(block.data.get(), bytes, count);
  {
    std::lock_guard<std::mutex> lock(d.queueMutex);
    d.queue.push_back(std::move(block));
    // Cleared under the lock so the thread cannot have found the queue
    // empty in between and left the flag stale.
    d.outputIdle = false;
  }
  Signal(d.writeWake);
  return true;
}

void TComm::ApplyLineSettings() {
  Impl& d = *impl_;
  if (d.fd < 0) return;
  SerialLineSettings s;
  s.baudRate = baudRate_;
  s.dataBits = 5 + static_cast<int>(byteSize_);
  s.parity = static_cast<int>(parity_);
  s.stopBits = static_cast<int>(stopBits_);
  s.rtsCts = outxCtsFlow_;
  s.xonXoff = outxXonXoff_ || inxXonXoff_;
  s.parityCheck = parityCheck_;
  s.dtrOn = dtrControl_ != TDtrControl::DtrDisable;
  s.xonChar = static_cast<uint8_t>(xonChar_);
  s.xoffChar = static_cast<uint8_t>(xoffChar_);
  // Refused settings are not reported, as on any serial port.
  d.platform->ApplyLine(d.fd, s);
  if (rtsControl_ == TRtsControl::RtsEnable) d.platform->SetRts(d.fd, true);
  if (rtsControl_ == TRtsControl::RtsDisable) d.platform->SetRts(d.fd, false);
}

void TComm::ApplyTimeouts() {
  Impl& d = *impl_;
  d.readInterval = readIntervalTimeout_;
  d.readTotalMultiplier = readTotalMultiplier_;
  d.readTotalConstant = readTotalConstant_;
  // Writes always complete in full: a short write is simply continued, so the
  // write time-outs change nothing here.
}

namespace {
template <class T>
bool Change(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}
}  // namespace

#define TCOMM_LINE_SETTER(Name, Type, field) \
  void TComm::set##Name(Type v) {            \
    if (Change(field, v) && IsOpen()) ApplyLineSettings(); \
  }
#define TCOMM_TIMEOUT_SETTER(Name, field) \
  void TComm::set##Name(uint32_t v) {     \
    if (Change(field, v) && IsOpen()) ApplyTimeouts(); \
  }

TCOMM_LINE_SETTER(BaudRate, uint32_t, baudRate_)
TCOMM_LINE_SETTER(ParityCheck, bool, parityCheck_)
TCOMM_LINE_SETTER(Outx_CtsFlow, bool, outxCtsFlow_)
TCOMM_LINE_SETTER(Outx_DsrFlow, bool, outxDsrFlow_)
TCOMM_LINE_SETTER(DtrControl, TDtrControl, dtrControl_)
TCOMM_LINE_SETTER(DsrSensitivity, bool, dsrSensitivity_)
TCOMM_LINE_SETTER(TxContinueOnXoff, bool, txContinueOnXoff_)
TCOMM_LINE_SETTER(Outx_XonXoffFlow, bool, outxXonXoff_)
TCOMM_LINE_SETTER(Inx_XonXoffFlow, bool, inxXonXoff_)
TCOMM_LINE_SETTER(ReplaceWhenParityError, bool, replaceWhenParityError_)
TCOMM_LINE_SETTER(IgnoreNullChar, bool, ignoreNullChar_)
TCOMM_LINE_SETTER(RtsControl, TRtsControl, rtsControl_)
TCOMM_LINE_SETTER(XonLimit, uint16_t, xonLimit_)
TCOMM_LINE_SETTER(XoffLimit, uint16_t, xoffLimit_)
TCOMM_LINE_SETTER(ByteSize, TByteSize, byteSize_)
TCOMM_LINE_SETTER(StopBits, TStopBits, stopBits_)
TCOMM_LINE_SETTER(XonChar, char, xonChar_)
TCOMM_LINE_SETTER(XoffChar, char, xoffChar_)
TCOMM_LINE_SETTER(ReplacedChar, char, replacedChar_)

// Parity is only remembered: it reaches the device with the next open or
// the next change of another line property.
void TComm::setParity(TParity v) { parity_ = v; }

TCOMM_TIMEOUT_SETTER(ReadIntervalTimeout, readIntervalTimeout_)
TCOMM_TIMEOUT_SETTER(ReadTotalTimeoutMultiplier, readTotalMultiplier_)
TCOMM_TIMEOUT_SETTER(ReadTotalTimeoutConstant, readTotalConstant_)
TCOMM_TIMEOUT_SETTER(WriteTotalTimeoutMultiplier, writeTotalMultiplier_)
TCOMM_TIMEOUT_SETTER(WriteTotalTimeoutConstant, writeTotalConstant_)
