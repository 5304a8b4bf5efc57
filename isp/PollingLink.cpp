#include "isp/PollingLink.h"

#include <memory>

#include "isp/IspHost.h"

bool PollingLink::Write(const void* data, int count) {
  if (!driver_.IsConnected()) return false;
  return driver_.SendBytes(data, count) == count;
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
