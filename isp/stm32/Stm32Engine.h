// Programs an STM32 through its system-memory boot loader (USART protocol,
// ST AN3155). A state machine stepped by three timers on the GUI thread:
// Timer3 sends the synchronisation byte until the boot loader answers,
// Timer5 acts on replies, OvertimeT ends a session that stops moving. While
// a session runs, data arriving on the port wakes the engine at once, so a
// reply is handled when its last byte is in, not on the next tick.
//
// A reply is taken only when it is complete, and nothing of it is carried
// into the next step. Only one synchronisation byte is ever unanswered: a
// boot loader that is already synchronised (a part not reset since an
// earlier session) reads a 0x7F as a command code and waits for its
// complement, so a second 0x7F is sent only once the first has had time to
// be answered; its NACK then shows the part listening.
//
// The engine reaches the window and the main port only through IspHost.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

#include "firmware/FirmwareImage.h"
#include "isp/IspHost.h"
#include "isp/IspJob.h"
#include "isp/stm32/Stm32Parts.h"
#include "serial/PollingComm.h"

class QSocketNotifier;

class Stm32Engine : public QObject, public IspEngine {
  Q_OBJECT
 public:
  static constexpr int kFrameBufferSize = 264;
  static constexpr uint32_t kFlashBase = 0x08000000;
  static constexpr int kMaxBlock = 256;
  // How long a synchronisation byte may go unanswered before the next one:
  // past any USB adapter's latency timer, so its answer cannot cross it.
  static constexpr int kSyncAnswerMs = 200;

  explicit Stm32Engine(IspHost& host, QObject* parent = nullptr);
  ~Stm32Engine() override;

  // Starts a session: opens the port, resets the target if asked, and
  // starts the timers. The window's download button: Start(Download).
  void STM32UP();

  // IspEngine.
  void Start(const IspJob& job) override;
  bool Busy() const override { return Running(); }
  void Abort() override;
  bool Supports(IspJobKind kind) const override { return kind == IspJobKind::Download; }

  void Timer3Timer();
  void Timer5Timer();
  void OvertimeTTimer();

  // Loads the firmware file into the image; on a missing file it winds the
  // session up itself.
  bool RenewedlyLoadFile();

  // The erase frames sent after ERASE (one-byte page numbers, at most 255
  // a frame) or EXTENDED ERASE (two-byte numbers): units 0 .. units - 1,
  // each frame count, numbers, checksum.
  static std::vector<std::vector<uint8_t>> EraseFrames(bool extended, int units);

  FirmwareImage& Image() { return image_; }
  bool Running() const { return OvertimeT.isActive() || Timer5.isActive() || Timer3.isActive(); }

  // Session state.
  int32_t StmState = 1;
  uint8_t FrameBuffer[kFrameBufferSize] = {};
  uint8_t StepTimeoutCounter = 0;
  QString ProductId;
  bool StandardErase = false;
  int32_t PageSize = 2048;
  uint32_t WriteAddress = kFlashBase;
  uint32_t WriteOffset = 0;
  int32_t BytesRemaining = 0;

  QTimer Timer3;     // 10 ms: synchronisation
  QTimer Timer5;     // 2 ms: replies
  QTimer OvertimeT;  // 1 s: step time-out

 private:
  bool Send(const uint8_t* data, int count);
  bool SendCommand(uint8_t code);
  bool SendAddress(uint32_t address);
  void ResetIntoBootLoader();
  void ResetIntoProgram();
  void IdentifyFamily();
  void ReadPort();  // the engine's own read of the port
  void HandleSyncReply();
  int ReplyLength(const uint8_t* b, int n) const;
  void Dispatch(const uint8_t* B);
  void LoadAndStartErase();
  void WriteBlock();
  void StartVerify();
  void VerifyBlock(const uint8_t* data);
  void Finish();
  void Fail(const QString& cause);
  void EndSession();
  void Ended(IspResult result);
  void OnReadable();
  void StopWatching();
  void Await(int32_t state, const QString& cause);
  void Resynchronise();

  IspHost& host_;
  IspJob job_;
  bool connected_ = false;    // the boot loader has answered this session
  FirmwareImage image_;
  const Stm32Part* part_ = nullptr;
  std::vector<uint8_t> commands_;                 // from the GET reply
  std::vector<std::vector<uint8_t>> eraseFrames_;
  size_t eraseNext_ = 0;
  int eraseUnits_ = 0;
  int readLength_ = 0;        // bytes the pending READ MEMORY asked for
  uint32_t verifyOffset_ = 0;
  uint32_t lastBlockAddress_ = kFlashBase;
  bool syncAwaiting_ = false;
  int64_t syncSentMs_ = 0;
  bool portLost_ = false;
  QString cause_;             // what failed if the time-out ends the session
  std::unique_ptr<QSocketNotifier> readable_;
  int lowLatencyFd_ = -1;     // the device whose low-latency setting is to restore
  bool ownRead_ = false;      // inside the engine's own PollReceive
  bool receiveHooked_ = false;
  TComPortReceiveDataEvent savedOnReceive_;  // the port's handler before the session
};
