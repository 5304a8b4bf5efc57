// TComm: a serial port owned by a receive thread and a transmit thread.
// The threads never call the owner: they queue notifications that are
// delivered, in order, on the thread that owns the component, so every event
// handler runs on the GUI thread.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

class SerialPlatform;

class ECommsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TDtrControl { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize { _5, _6, _7, _8 };
enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { _1, _1_5, _2 };

class TComm;
using TReceiveDataEvent = std::function<void(TComm* Sender, const uint8_t* Buffer, uint16_t BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm* Sender, uint32_t EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm* Sender, uint32_t ModemEvent)>;
using TNotifyEvent = std::function<void(TComm* Sender)>;
using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;

inline constexpr uint32_t ModemRlsd = 8;
inline constexpr uint32_t ModemRing = 4;

// Line error flags reported through OnReceiveError (EventMask).
inline constexpr uint32_t CommErrorRxOver = 0x0001;   // input buffer overflow
inline constexpr uint32_t CommErrorOverrun = 0x0002;  // character lost by the UART
inline constexpr uint32_t CommErrorParity = 0x0004;
inline constexpr uint32_t CommErrorFrame = 0x0008;
inline constexpr uint32_t CommErrorBreak = 0x0010;

class TComm : public QObject {
  Q_OBJECT
 public:
  // platform == nullptr uses the real device layer; tests pass a recording one.
  explicit TComm(QObject* owner = nullptr, SerialPlatform* platform = nullptr);
  ~TComm() override;

  void OpenPort();   // throws ECommsError
  void ClosePort();  // does nothing when closed
  bool SendData(const uint8_t* bytes, uint16_t count);
  bool IsOpen() const;
  // True when the transmit thread has nothing queued. A hint, not a barrier.
  bool OutputIdle() const;
  // Waits until everything queued has left the wire: the transmit thread's
  // queue first, then the device's own. At most timeoutMs; true when done.
  bool Drain(int timeoutMs);
  // Asks the driver for low-latency delivery while open (USB adapters then
  // hand data over at once instead of on their latency timer) and restores
  // the driver's setting on close. Takes effect with the next open.
  bool LowLatency() const { return lowLatency_; }
  void setLowLatency(bool v) { lowLatency_ = v; }

  // Properties: getter Name(), setter setName(v). A setter that is given the
  // current value changes nothing; others re-apply while open (see .cpp).
  QString CommName() const { return commName_; }
  void setCommName(const QString& v) { commName_ = v; }
  uint32_t BaudRate() const { return baudRate_; }
  void setBaudRate(uint32_t v);
  bool ParityCheck() const { return parityCheck_; }
  void setParityCheck(bool v);
  bool Outx_CtsFlow() const { return outxCtsFlow_; }
  void setOutx_CtsFlow(bool v);
  bool Outx_DsrFlow() const { return outxDsrFlow_; }
  void setOutx_DsrFlow(bool v);
  TDtrControl DtrControl() const { return dtrControl_; }
  void setDtrControl(TDtrControl v);
  bool DsrSensitivity() const { return dsrSensitivity_; }
  void setDsrSensitivity(bool v);
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  void setTxContinueOnXoff(bool v);
  bool Outx_XonXoffFlow() const { return outxXonXoff_; }
  void setOutx_XonXoffFlow(bool v);
  bool Inx_XonXoffFlow() const { return inxXonXoff_; }
  void setInx_XonXoffFlow(bool v);
  bool ReplaceWhenParityError() const { return replaceWhenParityError_; }
  void setReplaceWhenParityError(bool v);
  bool IgnoreNullChar() const { return ignoreNullChar_; }
  void setIgnoreNullChar(bool v);
  TRtsControl RtsControl() const { return rtsControl_; }
  void setRtsControl(TRtsControl v);
  uint16_t XonLimit() const { return xonLimit_; }
  void setXonLimit(uint16_t v);
  uint16_t XoffLimit() const { return xoffLimit_; }
  void setXoffLimit(uint16_t v);
  TByteSize ByteSize() const { return byteSize_; }
  void setByteSize(TByteSize v);
  TParity Parity() const { return parity_; }
  void setParity(TParity v);  // takes effect at the next (re-)application
  TStopBits StopBits() const { return stopBits_; }
  void setStopBits(TStopBits v);
  char XonChar() const { return xonChar_; }
  void setXonChar(char v);
  char XoffChar() const { return xoffChar_; }
  void setXoffChar(char v);
  char ReplacedChar() const { return replacedChar_; }
  void setReplacedChar(char v);
  uint32_t ReadIntervalTimeout() const { return readIntervalTimeout_; }
  void setReadIntervalTimeout(uint32_t v);
  uint32_t ReadTotalTimeoutMultiplier() const { return readTotalMultiplier_; }
  void setReadTotalTimeoutMultiplier(uint32_t v);
  uint32_t ReadTotalTimeoutConstant() const { return readTotalConstant_; }
  void setReadTotalTimeoutConstant(uint32_t v);
  uint32_t WriteTotalTimeoutMultiplier() const { return writeTotalMultiplier_; }
  void setWriteTotalTimeoutMultiplier(uint32_t v);
  uint32_t WriteTotalTimeoutConstant() const { return writeTotalConstant_; }
  void setWriteTotalTimeoutConstant(uint32_t v);

  // Events, delivered on the owner's thread.
  TReceiveDataEvent OnReceiveData;
  TReceiveErrorEvent OnReceiveError;
  TModemStateChangeEvent OnModemStateChange;
  TNotifyEvent OnRequestHangup;
  TSendDataEmptyEvent OnSendDataEmpty;

 private:
  QString commName_ = QStringLiteral("COM2");
  uint32_t baudRate_ = 9600;
  bool parityCheck_ = false;
  bool outxCtsFlow_ = false;
  bool outxDsrFlow_ = false;
  TDtrControl dtrControl_ = TDtrControl::DtrEnable;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = true;
  bool outxXonXoff_ = true;
  bool inxXonXoff_ = true;
  bool replaceWhenParityError_ = false;
  bool ignoreNullChar_ = false;
  TRtsControl rtsControl_ = TRtsControl::RtsEnable;
  uint16_t xonLimit_ = 500;
  uint16_t xoffLimit_ = 500;
  TByteSize byteSize_ = TByteSize::_8;
  TParity parity_ = TParity::None;
  TStopBits stopBits_ = TStopBits::_1;
  char xonChar_ = 0x11;
  char xoffChar_ = 0x13;
  char replacedChar_ = 0;
  uint32_t readIntervalTimeout_ = 100;
  uint32_t readTotalMultiplier_ = 0;
  uint32_t readTotalConstant_ = 0;
  uint32_t writeTotalMultiplier_ = 0;
  uint32_t writeTotalConstant_ = 0;
  bool lowLatency_ = false;

  void ApplyLineSettings();
  void ApplyTimeouts();

  struct Impl;  // device handle, close event, threads, queues
  std::unique_ptr<Impl> impl_;
};
