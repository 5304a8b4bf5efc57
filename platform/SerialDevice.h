// The thin layer between the serial drivers and Linux: open a device by
// name with exclusive use, line settings through termios2, purge, queue
// status, modem lines. The drivers talk to it through SerialPlatform so that
// tests can record what a driver asks of the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SerialLineSettings {
  uint32_t baudRate = 9600;   // any value; non-standard ones go through BOTHER
  int dataBits = 8;           // 5..8
  int parity = 0;             // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 0;           // 0 = 1, 1 = 1.5, 2 = 2 stop bits
  bool rtsCts = false;        // hardware handshake
  bool xonXoff = false;       // software handshake, both directions
  bool parityCheck = false;   // input parity checking
  bool dtrOn = false;         // DTR raised by the settings
  uint8_t xonChar = 0x11;
  uint8_t xoffChar = 0x13;
};

// "ttyUSB0" -> "/dev/ttyUSB0"; a name starting with '/' is a path already.
std::string SerialDevicePath(const std::string& portName);

class SerialPlatform {
 public:
  virtual ~SerialPlatform() = default;
  // Opens read/write, non-blocking, no controlling tty, exclusive
  // (TIOCEXCL + flock). Returns the descriptor or -1.
  virtual int Open(const std::string& portName) = 0;
  virtual void Close(int fd) = 0;
  virtual bool IsCharDevice(int fd) = 0;
  // Refused settings are not an error on the original platform either.
  virtual bool ApplyLine(int fd, const SerialLineSettings& s) = 0;
  virtual bool Purge(int fd, bool input, bool output) = 0;
  // Non-blocking; returns bytes read, 0 when nothing waits, -1 on error.
  virtual long Read(int fd, void* buf, size_t len) = 0;
  // Returns bytes written (may be short), -1 on error.
  virtual long Write(int fd, const void* buf, size_t len) = 0;
  // Bytes waiting in the output queue, -1 on error.
  virtual int OutputQueued(int fd) = 0;
  virtual void SetDtr(int fd, bool on) = 0;
  virtual void SetRts(int fd, bool on) = 0;

  // Asks the driver to hand received data over at once (ASYNC_LOW_LATENCY:
  // USB adapters otherwise hold it for their latency timer). *wasOn gets the
  // previous setting so it can be restored. False when the device refuses
  // (a pseudo-terminal, a driver without the flag): the port works as it is.
  virtual bool SetLowLatency(int fd, bool on, bool* wasOn) {
    (void)fd, (void)on;
    if (wasOn) *wasOn = false;
    return false;
  }
  // Waits until the output queue has left the wire, at most timeoutMs.
  // True when it emptied in time.
  virtual bool Drain(int fd, int timeoutMs) {
    (void)fd, (void)timeoutMs;
    return true;
  }
  // The modem status lines as TIOCM_* bits (CTS, DSR, CD, RI, ...); -1 when
  // the device cannot report them.
  virtual int ModemLines(int fd) {
    (void)fd;
    return -1;
  }
  // True when the device behind fd is gone (an adapter pulled out: the
  // descriptor reports a hang-up or an error that will not clear).
  virtual bool HungUp(int fd) {
    (void)fd;
    return false;
  }

  static SerialPlatform& System();
};
