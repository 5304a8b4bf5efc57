// TKRNCommDriver: a serial port polled from a timer on the GUI thread.
// Each poll that reads something appends it to ReceiveBuffer and raises
// OnReceiveData. No threads of its own; SendBytes blocks until the device
// has taken the block.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/SerialDevice.h"

enum TComPortNumber { pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8 };

enum TComPortBaudRate {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000, br460800, br614400, br921600, br1228800
};
inline constexpr int kBaudRateCount = 19;
// Bits per second, indexed by TComPortBaudRate.
uint32_t BaudRateValue(TComPortBaudRate rate);

enum TComPortDataBits { db5BITS, db6BITS, db7BITS, db8BITS };
enum TComPortStopBits { sb1BITS, sb1HALFBITS, sb2BITS };
enum TComPortParity { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking { hhNONE, hhRTSCTS };
enum TComPortSwHandshaking { shNONE, shXONXOFF };

class TKRNCommDriver;
using TComPortReceiveDataEvent =
    std::function<void(TKRNCommDriver* Sender, const uint8_t* DataPtr, int32_t DataSize)>;

class TKRNCommDriver : public QObject {
  Q_OBJECT
 public:
  static constexpr int kReceiveBufferSize = 1024;
  static constexpr int32_t kWriteRefused = 2147483647;
  static constexpr int kMaxReadsPerPoll = 16;
  // Longest wait for unsent output when the port closes; what is left after
  // it is discarded, so closing never holds the window for long.
  static constexpr int kMaxDrainMs = 2000;

  // platform == nullptr uses the real device layer; tests pass a recording fake.
  explicit TKRNCommDriver(QObject* owner = nullptr, SerialPlatform* platform = nullptr);
  ~TKRNCommDriver() override;

  // Public fields.
  QString PortName = QStringLiteral("COM1");
  uint16_t ReceiveCount = 0;
  uint8_t ReceiveBuffer[kReceiveBufferSize] = {};

  // Operations.
  bool IsConnected() const;
  bool Connect();
  void Disconnect();
  bool ApplySettings();
  void PurgeBuffers(bool input, bool output);
  uint16_t OutputFreeSpace();
  int32_t SendBytes(const void* data, int32_t count);
  int32_t SendText(const QByteArray& text);  // one byte per character, no terminator
  void TakeReceivedText(QByteArray& text) const;
  void SetDtr(bool on);
  void SetRts(bool on);
  // The modem status lines as TIOCM_* bits; -1 when closed or when the
  // device cannot report them.
  int ModemLines();
  void PollReceive();

  // Published properties.
  TComPortNumber ComPort() const { return comPort_; }
  void setComPort(TComPortNumber v);
  TComPortBaudRate ComPortSpeed() const { return speed_; }
  void setComPortSpeed(TComPortBaudRate v);  // also drops a bit rate set below
  // A speed the lists do not offer (230400 for a boot loader that takes
  // it); 0 goes back to ComPortSpeed.
  void setComPortBitRate(uint32_t bitsPerSecond);
  uint32_t BitsPerSecond() const { return bitRate_ ? bitRate_ : BaudRateValue(speed_); }
  TComPortDataBits ComPortDataBits() const { return dataBits_; }
  void setComPortDataBits(TComPortDataBits v);
  TComPortStopBits ComPortStopBits() const { return stopBits_; }
  void setComPortStopBits(TComPortStopBits v);
  TComPortParity ComPortParity() const { return parity_; }
  void setComPortParity(TComPortParity v);
  TComPortHwHandshaking ComPortHwHandshaking() const { return hw_; }
  void setComPortHwHandshaking(TComPortHwHandshaking v);
  TComPortSwHandshaking ComPortSwHandshaking() const { return sw_; }
  void setComPortSwHandshaking(TComPortSwHandshaking v);
  uint16_t ComPortInBufSize() const { return inBufSize_; }
  void setComPortInBufSize(uint16_t v);
  uint16_t ComPortOutBufSize() const { return outBufSize_; }
  void setComPortOutBufSize(uint16_t v);
  uint16_t ComPortPollingDelay() const { return pollingDelay_; }
  void setComPortPollingDelay(uint16_t v);
  bool EnableDTROnOpen() const { return enableDtrOnOpen_; }
  void setEnableDTROnOpen(bool v) { enableDtrOnOpen_ = v; }
  uint16_t OutputTimeout() const { return outputTimeout_; }
  void setOutputTimeout(uint16_t v) { outputTimeout_ = v; }
  TComPortReceiveDataEvent OnReceiveData;
  // Raised once when the device behind the open port is gone (a USB adapter
  // pulled out). The driver has closed itself by then; every byte read
  // before the hang-up was delivered through OnReceiveData first.
  std::function<void(TKRNCommDriver* Sender)> OnDeviceLost;

  // How long closing waits for the bytes still queued: their time on the
  // wire at the current speed and framing, plus a margin, at most kMaxDrainMs.
  int DrainTimeoutMs(int queuedBytes) const;

  // The open device and the layer it goes through, for callers that wait
  // on the device themselves (-1 when closed).
  int Handle() const { return handle_; }
  SerialPlatform& Platform() const { return platform_; }

  // The line settings ApplySettings hands to the device (pure, for tests).
  SerialLineSettings BuildLineSettings() const;

 private:
  SerialPlatform& platform_;
  int handle_ = -1;  // device handle; -1 = no device
  TComPortNumber comPort_ = pnCOM1;
  TComPortBaudRate speed_ = br9600;
  uint32_t bitRate_ = 0;
  TComPortDataBits dataBits_ = db8BITS;
  TComPortStopBits stopBits_ = sb1BITS;
  TComPortParity parity_ = ptNONE;
  TComPortHwHandshaking hw_ = hhNONE;
  TComPortSwHandshaking sw_ = shNONE;
  uint16_t inBufSize_ = 1024;
  uint16_t outBufSize_ = 512;
  uint16_t pollingDelay_ = 5;
  bool enableDtrOnOpen_ = false;
  uint16_t outputTimeout_ = 4000;
  std::vector<uint8_t> pollBuffer_;
  QTimer pollTimer_;  // timer id 1 of the original message window
};
