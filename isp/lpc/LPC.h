// TLPCFrm: the LPC2xxx download engine. A state machine stepped by five
// timers on the GUI thread; it reaches the window, the main port and the
// options only through IspHost.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>

#include "isp/IspHost.h"
#include "isp/IspJob.h"
#include "isp/lpc/LpcImage.h"

class TLPCFrm : public QObject, public IspEngine {
  Q_OBJECT
 public:
  enum LpcIspStates {
    Syncing = 1, SyncEcho, CrystalSent, Unlocking, EchoOff,
    ReadingPartId, ReadingBootVersion, Preparing, Erasing, Writing
  };

  explicit TLPCFrm(IspHost& host, QObject* parent = nullptr);
  ~TLPCFrm() override;

  // Starts a download; the ISP page calls it. Start(Download) is the same.
  void BitBtn1Click();

  // IspEngine.
  void Start(const IspJob& job) override;
  bool Busy() const override { return Timer1.isActive() || Timer5.isActive() || Timer3.isActive(); }
  void Abort() override;
  bool Supports(IspJobKind kind) const override { return kind == IspJobKind::Download; }

  // Chooses the sector layout for a part ID and loads the firmware.
  bool SectorSet(const QString& partId);
  bool RenewedlyLoadFile();

  void Timer1Timer();  // step time-out
  void Timer2Timer();  // status animation while writing
  void Timer3Timer();  // "?" repeater while searching
  void Timer4Timer();  // progress while writing
  void Timer5Timer();  // reply poll

  QTimer Timer1;
  QTimer Timer2;
  QTimer Timer3;
  QTimer Timer4;
  QTimer Timer5;

  // The hidden edit: last part ID, and "SectorAmount: " with the last sector.
  QString Edit4;
  QString Edit4Hint;

  // The crystal frequency in kHz as the boot loader is told it.
  QByteArray CrystalKHz = "11059.2";

  // Engine state, visible for tests.
  int LpcIspState = Syncing;
  int32_t SyncAttempts = 1;
  int32_t EntryRetries = 0;
  uint16_t EntryIndex = 0;
  QString LastSector;
  uint32_t FlashSize = 0;  // what the part ID allows an image to fill
  uint8_t SectorMap[kLpcSectorMapSize] = {};
  std::vector<uint8_t> LpcImage;
  bool ImagePresent = false;
  LpcTransferList TransferList;
  uint16_t ListLength() const { return static_cast<uint16_t>(TransferList.size()); }

 private:
  void FormCreate();
  void HandleReply(const QByteArray& text);
  void SendCommand(const QByteArray& command);
  void SendEntry(uint16_t index);
  void EnableTimer(QTimer& t);
  void Show(const QString& text);
  void Report(const QString& text);
  void EndRun(const QString& text);
  int PacingMs() const;
  // Ends a run that cannot go on because of the firmware file.
  void RefuseFile(const QString& text);

  void Ended(IspResult result);

  IspHost& host_;
  IspJob job_;
  bool answered_ = false;  // the boot loader synchronised this session
  bool spinner_ = true;
  bool writeMode_ = true;
  uint8_t dots_ = 0;
  QString fillDigits_;
  QByteArray lineEnd_;
};
