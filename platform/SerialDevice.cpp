// The real serial device layer on Linux.
#include "platform/SerialDevice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/Termios2.h"

std::string SerialDevicePath(const std::string& portName) {
  if (!portName.empty() && portName[0] == '/') return portName;
  return "/dev/" + portName;
}

namespace {

void SetModemLine(int fd, int line, bool on) {
  // A device without modem lines (a pseudo-terminal answers ENOTTY) simply
  // has nothing to drive; that is not an error.
  int bits = line;
  ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

class LinuxSerialPlatform final : public SerialPlatform {
 public:
  int Open(const std::string& portName) override {
    if (portName.empty()) return -1;
    const std::string path = SerialDevicePath(portName);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    // Only terminals are serial ports; a plain file or /dev/null is refused
    // like a device that cannot be opened.
    if (!isatty(fd)) {
      ::close(fd);
      return -1;
    }
    // TIOCEXCL keeps other users out of the device; root ignores it, so the
    // advisory lock is what makes a second open by us or a cooperating
    // program fail.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return -1;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
  }

  void Close(int fd) override {
    if (fd < 0) return;
    // Exclusive mode belongs to the terminal, not to this descriptor: clear
    // it, or the device stays barred while anyone else still holds it open.
    ioctl(fd, TIOCNXCL);
    ::close(fd);  // releases the lock too
  }

  bool IsCharDevice(int fd) override {
    struct stat st{};
    return fd >= 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
  }

  bool ApplyLine(int fd, const SerialLineSettings& s) override {
    if (fd < 0) return false;
    // Whatever the device refuses of the settings is left as it was; the
    // result only reports whether the kernel took the block.
    const bool ok = SetTermios2(fd, BuildTermios2(s));
    // The settings own the modem lines: DTR as asked, RTS only under the
    // hardware handshake (where it signals readiness to receive).
    SetModemLine(fd, TIOCM_DTR, s.dtrOn);
    SetModemLine(fd, TIOCM_RTS, s.rtsCts);
    return ok;
  }

  bool Purge(int fd, bool input, bool output) override {
    if (fd < 0) return false;
    if (input && output) return tcflush(fd, TCIOFLUSH) == 0;
    if (input) return tcflush(fd, TCIFLUSH) == 0;
    if (output) return tcflush(fd, TCOFLUSH) == 0;
    return true;
  }

  long Read(int fd, void* buf, size_t len) override {
    if (fd < 0) return -1;
    if (len == 0) return 0;
    ssize_t n = ::read(fd, buf, len);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
  }

  // 0 means the output queue has no room right now (the descriptor is
  // non-blocking); -1 means the device refused the write.
  long Write(int fd, const void* buf, size_t len) override {
    if (fd < 0) return -1;
    if (len == 0) return 0;
    ssize_t n = ::write(fd, buf, len);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;
  }

  int OutputQueued(int fd) override {
    int queued = 0;
    if (fd < 0 || ioctl(fd, TIOCOUTQ, &queued) != 0) return -1;
    return queued;
  }

  void SetDtr(int fd, bool on) override {
    if (fd >= 0) SetModemLine(fd, TIOCM_DTR, on);
  }

  void SetRts(int fd, bool on) override {
    if (fd >= 0) SetModemLine(fd, TIOCM_RTS, on);
  }

  bool SetLowLatency(int fd, bool on, bool* wasOn) override {
    if (wasOn) *wasOn = false;
    if (fd < 0) return false;
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return false;
    if (wasOn) *wasOn = (ss.flags & ASYNC_LOW_LATENCY) != 0;
    if (on)
      ss.flags |= ASYNC_LOW_LATENCY;
    else
      ss.flags &= ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
  }

  // tcdrain() can wait as long as the kernel's closing wait (30 s) on a line
  // held by flow control; poll the queue instead so the wait is bounded.
  bool Drain(int fd, int timeoutMs) override {
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int queued = 0;
      if (ioctl(fd, TIOCOUTQ, &queued) != 0) return false;
      if (queued <= 0) break;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    // TIOCOUTQ counts the kernel's buffer; the UART's own FIFO (up to 16 or
    // 64 bytes on USB adapters) empties within a few byte times.
    return true;
  }

  int ModemLines(int fd) override {
    int bits = 0;
    if (fd < 0 || ioctl(fd, TIOCMGET, &bits) != 0) return -1;
    return bits;
  }

  bool HungUp(int fd) override {
    if (fd < 0) return true;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return false;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
};

}  // namespace

SerialPlatform& SerialPlatform::System() {
  static LinuxSerialPlatform platform;
  return platform;
}
