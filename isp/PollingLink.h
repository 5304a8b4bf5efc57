// The main port's polling driver as an engine's link.
#pragma once

#include <memory>

#include "isp/IspLink.h"
#include "serial/PollingComm.h"

class QSocketNotifier;

class PollingLink : public IspLink {
 public:
  explicit PollingLink(TKRNCommDriver& driver);
  // Leaves the driver alone: it may be gone by then. Engines stop
  // listening when their session ends.
  ~PollingLink() override;

  bool IsOpen() const override { return driver_.IsConnected(); }
  bool Write(const void* data, int count) override;
  void Listen(DataFn onData, LostFn onLost) override;
  void StopListening() override;
  void Poll() override;
  bool Drain(int timeoutMs) override;
  void SetDtr(bool on) override { driver_.SetDtr(on); }
  void SetRts(bool on) override { driver_.SetRts(on); }
  uint32_t BitsPerSecond() const override { return driver_.BitsPerSecond(); }
  void SetBitsPerSecond(uint32_t bps) override { driver_.setComPortBitRate(bps); }
  void SetParity(IspParity parity) override;
  bool WatchReadable(ReadableFn onReadable) override;
  void PauseWatchFor(int64_t microseconds) override;
  bool WaitReadable(int64_t microseconds) override;
  void SetLowLatency(bool on) override;

 private:
  TKRNCommDriver& driver_;
  bool listening_ = false;
  TComPortReceiveDataEvent savedOnReceive_;
  std::function<void(TKRNCommDriver*)> savedOnLost_;
  uint64_t bytesRead_ = 0;  // by any poll, while listening
  std::unique_ptr<QSocketNotifier> readable_;
  // A pause's end: a timer file watched like the port, since the event
  // loop's own timers wake only on whole milliseconds.
  int pauseFd_ = -1;
  std::unique_ptr<QSocketNotifier> pauseEnd_;
  ReadableFn onReadable_;
  uint16_t savedPollingDelay_ = 0;
  int lowLatencyFd_ = -1;   // the device whose low-latency setting is to restore

  void Readable();
  void PauseEnded();
  void StopWatch();
};
