// Programs an STM32 through its system-memory boot loader (USART protocol,
// ST AN3155). A state machine stepped by three timers on the GUI thread:
// Timer3 sends the synchronisation byte until the boot loader answers,
// Timer5 acts on replies, OvertimeT ends a session that stops moving.
// The engine reaches the window and the main port only through IspHost.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <vector>

#include "firmware/FirmwareImage.h"
#include "isp/IspHost.h"

class Stm32Engine : public QObject {
  Q_OBJECT
 public:
  static constexpr int kFrameBufferSize = 264;
  static constexpr uint32_t kFlashBase = 0x08000000;
  static constexpr int kMaxBlock = 256;

  explicit Stm32Engine(IspHost& host, QObject* parent = nullptr);

  // Starts a session: opens the port, resets the target if asked, and
  // starts the timers.
  void STM32UP();

  void Timer3Timer();
  void Timer5Timer();
  void OvertimeTTimer();

  // Loads the firmware file into the image; on a missing file it winds the
  // session up itself.
  bool RenewedlyLoadFile();

  // The erase frame sent after ERASE (page list) or EXTENDED ERASE
  // (sector list): enough pages or sectors to hold the image.
  static std::vector<uint8_t> EraseList(bool standardErase, const QString& productId, int pageSize,
                                        int imageLength);

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
  void Send(const uint8_t* data, int count);
  void SendCommand(uint8_t code);
  void ResetIntoBootLoader();
  void ResetIntoProgram();
  void IdentifyFamily();
  void LoadAndErase();
  void WriteBlock();
  void Finish();
  void EndSession();

  IspHost& host_;
  FirmwareImage image_;
};
