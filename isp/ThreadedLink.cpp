#include "isp/ThreadedLink.h"

#include <cstdint>

bool ThreadedLink::Write(const void* data, int count) {
  if (count < 0 || count > UINT16_MAX || !comm_.IsOpen()) return false;
  if (count == 0) return true;
  return comm_.SendData(static_cast<const uint8_t*>(data), static_cast<uint16_t>(count));
}

void ThreadedLink::Listen(DataFn onData, LostFn onLost) {
  if (listening_) StopListening();
  savedOnReceive_ = comm_.OnReceiveData;
  savedOnHangup_ = comm_.OnRequestHangup;
  listening_ = true;
  comm_.OnReceiveData = [this, onData = std::move(onData)](TComm* sender, const uint8_t* data, uint16_t size) {
    if (savedOnReceive_) savedOnReceive_(sender, data, size);
    if (onData && data && size > 0) onData(data, size);
  };
  // The component reports a dropped line once for each time it was opened.
  comm_.OnRequestHangup = [this, onLost = std::move(onLost)](TComm* sender) {
    if (savedOnHangup_) savedOnHangup_(sender);
    if (onLost) onLost();
  };
}

void ThreadedLink::StopListening() {
  if (!listening_) return;
  listening_ = false;
  comm_.OnReceiveData = std::move(savedOnReceive_);
  comm_.OnRequestHangup = std::move(savedOnHangup_);
  savedOnReceive_ = nullptr;
  savedOnHangup_ = nullptr;
}

void ThreadedLink::SetDtr(bool on) { comm_.setDtrControl(on ? TDtrControl::DtrEnable : TDtrControl::DtrDisable); }

void ThreadedLink::SetRts(bool on) { comm_.setRtsControl(on ? TRtsControl::RtsEnable : TRtsControl::RtsDisable); }

void ThreadedLink::SetParity(IspParity parity) {
  comm_.setParity(parity == IspParity::Odd ? TParity::Odd : parity == IspParity::Even ? TParity::Even : TParity::None);
}
