// The main port's polling driver as an engine's link.
#pragma once

#include "isp/IspLink.h"
#include "serial/PollingComm.h"

class PollingLink : public IspLink {
 public:
  explicit PollingLink(TKRNCommDriver& driver) : driver_(driver) {}
  // Leaves the driver alone: it may be gone by then. Engines stop
  // listening when their session ends.
  ~PollingLink() override = default;

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

 private:
  TKRNCommDriver& driver_;
  bool listening_ = false;
  TComPortReceiveDataEvent savedOnReceive_;
  std::function<void(TKRNCommDriver*)> savedOnLost_;
};
