// The threaded serial component as an engine's link. Opening, closing and
// the port's other settings stay with whoever owns the component; the link
// carries what a session does on an open line.
#pragma once

#include "isp/IspLink.h"
#include "serial/ThreadedComm.h"

class ThreadedLink : public IspLink {
 public:
  explicit ThreadedLink(TComm& comm) : comm_(comm) {}
  ~ThreadedLink() override { StopListening(); }

  bool IsOpen() const override { return comm_.IsOpen(); }
  bool Write(const void* data, int count) override;
  // The component's worker threads queue what they read; it reaches the
  // listener when the owner's thread processes its events.
  void Listen(DataFn onData, LostFn onLost) override;
  void StopListening() override;
  // Nothing to read here: delivery comes through the owner's event loop.
  void Poll() override {}
  bool Drain(int timeoutMs) override { return comm_.Drain(timeoutMs); }
  void SetDtr(bool on) override;
  void SetRts(bool on) override;
  uint32_t BitsPerSecond() const override { return comm_.BaudRate(); }
  void SetBitsPerSecond(uint32_t bps) override { comm_.setBaudRate(bps); }
  void SetParity(IspParity parity) override;

 private:
  TComm& comm_;
  bool listening_ = false;
  TReceiveDataEvent savedOnReceive_;
  TNotifyEvent savedOnHangup_;
};
