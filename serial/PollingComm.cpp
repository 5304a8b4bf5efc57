#include "serial/PollingComm.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t kBaudRates[kBaudRateCount] = {
    110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,  38400,
    56000, 57600, 115200, 128000, 256000, 460800, 614400, 921600, 1228800};

// One read never asks for more than ReceiveBuffer can take, whatever input
// queue size the owner configured.
size_t ReadSizeFor(uint16_t inBufSize) {
  return std::min<size_t>(inBufSize, TKRNCommDriver::kReceiveBufferSize);
}

uint32_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

uint32_t BaudRateValue(TComPortBaudRate rate) {
  const int i = static_cast<int>(rate);
  if (i < 0 || i >= kBaudRateCount) return 9600;
  return kBaudRates[i];
}

TKRNCommDriver::TKRNCommDriver(QObject* owner, SerialPlatform* platform)
    : QObject(owner), platform_(platform ? *platform : SerialPlatform::System()) {
  pollBuffer_.resize(ReadSizeFor(inBufSize_));
  // The poll period is a few milliseconds; a coarse timer would stretch it.
  pollTimer_.setTimerType(Qt::PreciseTimer);
  connect(&pollTimer_, &QTimer::timeout, this, &TKRNCommDriver::PollReceive);
}

TKRNCommDriver::~TKRNCommDriver() { Disconnect(); }

bool TKRNCommDriver::IsConnected() const { return handle_ >= 0; }

bool TKRNCommDriver::Connect() {
  if (IsConnected()) return true;
  handle_ = platform_.Open(PortName.toLocal8Bit().toStdString());
  if (!IsConnected()) {
    handle_ = -1;
    return false;
  }
  if (!ApplySettings()) return false;
  // A zero period would fire on every pass of the event loop and eat a core.
  pollTimer_.start(std::max<int>(pollingDelay_, 1));
  return true;
}

void TKRNCommDriver::Disconnect() {
  if (!IsConnected()) return;
  pollTimer_.stop();
  // Let queued output go out for as long as it needs at this speed, then
  // throw the rest away: close() would otherwise wait up to the kernel's
  // closing time (30 s) on a stalled or slow line.
  if (!platform_.HungUp(handle_)) {
    platform_.Drain(handle_, DrainTimeoutMs(platform_.OutputQueued(handle_)));
    platform_.Purge(handle_, false, true);
  }
  platform_.Close(handle_);
  handle_ = -1;
}

int TKRNCommDriver::DrainTimeoutMs(int queuedBytes) const {
  constexpr int kMarginMs = 50;
  if (queuedBytes <= 0) return kMarginMs;
  const int stopBits = stopBits_ == sb1BITS ? 1 : 2;  // 1.5 rounds up
  const int bitsPerByte = 1 + static_cast<int>(dataBits_) + 5 + (parity_ == ptNONE ? 0 : 1) + stopBits;
  const int64_t ms = static_cast<int64_t>(queuedBytes) * bitsPerByte * 1000 / BitsPerSecond() + 1;
  return static_cast<int>(std::min<int64_t>(ms + kMarginMs, kMaxDrainMs));
}

SerialLineSettings TKRNCommDriver::BuildLineSettings() const {
  SerialLineSettings s;
  s.baudRate = BitsPerSecond();
  s.dataBits = static_cast<int>(dataBits_) + 5;
  s.parity = static_cast<int>(parity_);
  s.stopBits = static_cast<int>(stopBits_);
  s.rtsCts = hw_ == hhRTSCTS;
  s.xonXoff = sw_ == shXONXOFF;
  s.parityCheck = false;  // a chosen parity is sent, received bytes are not checked
  s.dtrOn = enableDtrOnOpen_;
  s.xonChar = 0x11;
  s.xoffChar = 0x13;
  return s;
}

bool TKRNCommDriver::ApplySettings() {
  if (!IsConnected()) return false;
  // A refused line setting leaves the device as it was and is not a failure.
  platform_.ApplyLine(handle_, BuildLineSettings());
  PurgeBuffers(true, true);
  // Linux has no queue sizes to set; the one refusal kept is a zero size.
  if (inBufSize_ == 0 || outBufSize_ == 0) {
    Disconnect();
    return false;
  }
  return true;
}

void TKRNCommDriver::PurgeBuffers(bool input, bool output) {
  if (!IsConnected()) return;
  platform_.Purge(handle_, input, output);
}

uint16_t TKRNCommDriver::OutputFreeSpace() {
  if (!IsConnected()) return 65535;
  int queued = platform_.OutputQueued(handle_);
  if (queued < 0) queued = 0;  // unknown: let the write itself tell
  return static_cast<uint16_t>(static_cast<uint32_t>(outBufSize_) - static_cast<uint32_t>(queued));
}

int32_t TKRNCommDriver::SendBytes(const void* data, int32_t count) {
  if (!IsConnected() || count <= 0 || data == nullptr) return 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  int32_t sent = 0;
  uint32_t start = NowMs();
  while (sent < count) {
    if (OutputFreeSpace() != 0) {
      long n = platform_.Write(handle_, bytes + sent, static_cast<size_t>(count - sent));
      if (n < 0) return kWriteRefused;
      if (n > 0) {
        sent += static_cast<int32_t>(n);
        start = NowMs();
        continue;
      }
      // n == 0: the queue had no room after all; wait like a full queue.
    }
    if (static_cast<uint32_t>(NowMs() - start) > outputTimeout_) return -sent;
    // Wait for room without spinning; a descriptor that reports an error or
    // hang-up here wakes at once, so pause briefly before testing again.
    pollfd p{handle_, POLLOUT, 0};
    int r = poll(&p, 1, 1);
    if (r != 0 && !(p.revents & POLLOUT))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return sent;
}

int32_t TKRNCommDriver::SendText(const QByteArray& text) {
  return SendBytes(text.constData(), static_cast<int32_t>(text.size()));
}

void TKRNCommDriver::TakeReceivedText(QByteArray& text) const {
  // ReceiveCount is a public field; never read past the buffer whatever it holds.
  const int n = std::min<int>(ReceiveCount, kReceiveBufferSize);
  text = QByteArray(reinterpret_cast<const char*>(ReceiveBuffer), n);
}

int TKRNCommDriver::ModemLines() { return handle_ < 0 ? -1 : platform_.ModemLines(handle_); }

void TKRNCommDriver::SetDtr(bool on) {
  if (!IsConnected()) return;
  platform_.SetDtr(handle_, on);
}

void TKRNCommDriver::SetRts(bool on) {
  if (!IsConnected()) return;
  platform_.SetRts(handle_, on);
}

void TKRNCommDriver::PollReceive() {
  // Timer ticks arrive late while the window is busy, so one tick keeps
  // reading while whole blocks come in: a continuous 1228800 bit/s stream
  // must not outrun the device's queue. Each read is one event, as before.
  for (int reads = 0; reads < kMaxReadsPerPoll; ++reads) {
    if (!IsConnected() || pollBuffer_.empty()) return;
    long n = platform_.Read(handle_, pollBuffer_.data(), pollBuffer_.size());
    if (n <= 0) {
      // A failed read skips this tick, unless the device has gone (an
      // unplugged adapter hangs up and answers EIO): then the port closes
      // and the owner hears of it, after everything read before.
      if (platform_.HungUp(handle_)) {
        Disconnect();
        if (OnDeviceLost) OnDeviceLost(this);
      }
      return;
    }
    const int got = static_cast<int>(std::min<long>(n, static_cast<long>(pollBuffer_.size())));
    // Old bytes give way to new ones when both do not fit.
    if (static_cast<int>(ReceiveCount) + got >= kReceiveBufferSize) ReceiveCount = 0;
    std::memcpy(ReceiveBuffer + ReceiveCount, pollBuffer_.data(), static_cast<size_t>(got));
    ReceiveCount = static_cast<uint16_t>(ReceiveCount + got);
    if (OnReceiveData) OnReceiveData(this, pollBuffer_.data(), got);
    if (static_cast<size_t>(got) < pollBuffer_.size()) return;  // drained
  }
}

void TKRNCommDriver::setComPort(TComPortNumber v) {
  if (!IsConnected()) comPort_ = v;
}

void TKRNCommDriver::setComPortSpeed(TComPortBaudRate v) {
  speed_ = v;
  bitRate_ = 0;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortBitRate(uint32_t bitsPerSecond) {
  bitRate_ = bitsPerSecond;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortDataBits(TComPortDataBits v) {
  dataBits_ = v;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortStopBits(TComPortStopBits v) {
  stopBits_ = v;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortParity(TComPortParity v) {
  parity_ = v;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortHwHandshaking(TComPortHwHandshaking v) {
  hw_ = v;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortSwHandshaking(TComPortSwHandshaking v) {
  sw_ = v;
  if (IsConnected()) ApplySettings();
}

void TKRNCommDriver::setComPortInBufSize(uint16_t v) {
  if (IsConnected()) return;
  inBufSize_ = v;
  pollBuffer_.assign(ReadSizeFor(v), 0);
}

void TKRNCommDriver::setComPortOutBufSize(uint16_t v) {
  // Kept in both states: the free-space test uses it at once, the next
  // ApplySettings checks it.
  outBufSize_ = v;
}

void TKRNCommDriver::setComPortPollingDelay(uint16_t v) {
  if (v == pollingDelay_) return;
  const bool running = pollTimer_.isActive();
  pollTimer_.stop();
  pollingDelay_ = v;
  if (running) pollTimer_.start(std::max<int>(pollingDelay_, 1));
}

// The driver's meta-object code lives in this object file, so a program that
// uses only this driver does not link the other serial component with it.
#include "moc_PollingComm.cpp"
