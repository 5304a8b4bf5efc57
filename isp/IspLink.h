// How an engine talks to its port. The engines never reach a driver's
// buffers, its device layer or a file descriptor: they write, listen for
// what arrives, ask for what has arrived now, drive the modem lines and
// change the line's speed and parity through this. The window and the
// command line lend the main port's polling driver (PollingLink); tests
// may lend a link of their own.
#pragma once

#include <cstdint>
#include <functional>

enum class IspParity { None, Odd, Even };

class IspLink {
 public:
  using DataFn = std::function<void(const uint8_t* data, int size)>;
  using LostFn = std::function<void()>;

  virtual ~IspLink() = default;

  virtual bool IsOpen() const = 0;
  // All of it, or false: the port refused or is gone.
  virtual bool Write(const void* data, int count) = 0;
  // Every byte read from now on goes to `onData`, whoever reads it (a
  // host's own timer too); `onLost` is called once when the device goes
  // away. Whoever listened before keeps getting every byte as well.
  virtual void Listen(DataFn onData, LostFn onLost) = 0;
  // Back to the listener before Listen.
  virtual void StopListening() = 0;
  // Reads what has arrived by now and hands it to the listener.
  virtual void Poll() = 0;
  // Waits until the written bytes have left, at most `timeoutMs`.
  virtual bool Drain(int timeoutMs) = 0;
  virtual void SetDtr(bool on) = 0;
  virtual void SetRts(bool on) = 0;
  virtual uint32_t BitsPerSecond() const = 0;
  virtual void SetBitsPerSecond(uint32_t bps) = 0;
  virtual void SetParity(IspParity parity) = 0;

  // Calls `onReadable` as soon as the port has bytes to read (the caller
  // then Poll()s) rather than at a polling tick; an empty function stops
  // it. False where the link cannot: the caller polls on a timer.
  using ReadableFn = std::function<void()>;
  virtual bool WatchReadable(ReadableFn onReadable) {
    (void)onReadable;
    return false;
  }
  // Holds the watch back while a long reply is still on the wire: one
  // call of the readable function when `microseconds` have passed, then
  // the watch as before. Where a link cannot, it simply keeps watching.
  virtual void PauseWatchFor(int64_t microseconds) { (void)microseconds; }
  // Waits here, at most `microseconds`, until the port has bytes to read
  // (or has gone). False: nothing came, or the link cannot wait; the
  // caller goes back to its event loop and hears of the bytes from there.
  virtual bool WaitReadable(int64_t microseconds) {
    (void)microseconds;
    return false;
  }
  // A hint for a session of short exchanges: have a USB adapter hand each
  // reply over at once. Off undoes only what on changed.
  virtual void SetLowLatency(bool on) { (void)on; }
};
