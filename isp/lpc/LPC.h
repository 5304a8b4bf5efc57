// TLPCFrm: the engine of every part that speaks NXP's ISP text protocol
// (LPC2xxx, LPC17xx, LPC11xx/11Cxx/11Uxx, LPC12xx, LPC13xx, LPC8xx). A state
// machine stepped by five timers on the GUI thread; it reaches the window,
// the main port and the options only through IspHost. What differs between
// parts (sectors, RAM window, checksum slot, data encoding) comes from the
// part's row in LpcParts.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <vector>

#include "isp/IspHost.h"
#include "isp/IspJob.h"
#include "isp/lpc/LpcImage.h"

class TLPCFrm : public QObject, public IspEngine {
  Q_OBJECT
 public:
  enum LpcIspStates {
    Syncing = 1, SyncEcho, CrystalSent, Unlocking, EchoOff,
    ReadingPartId, ReadingBootVersion, Preparing, Erasing, Writing,
    ReadingSerial, BlankChecking, ReadingMemory, Going, Comparing
  };

  explicit TLPCFrm(IspHost& host, QObject* parent = nullptr);
  ~TLPCFrm() override;

  // Starts a download of the page's file; the ISP page calls it.
  // The window's download button: `job` holds what its controls said.
  void BitBtn1Click(const IspJob& job);

  // IspEngine.
  void Start(const IspJob& job) override;
  bool Busy() const override { return running_; }
  void Abort() override;
  bool Supports(IspJobKind kind) const override;

  // Chooses the sector layout for a part ID and loads the firmware.
  bool SectorSet(const QString& partId);
  bool RenewedlyLoadFile();

  void Timer1Timer();  // step time-out
  void Timer2Timer();  // status animation while writing
  void Timer3Timer();  // "?" repeater while searching
  void Timer4Timer();  // progress while writing or reading back
  void Timer5Timer();  // reply poll

  QTimer Timer1;
  QTimer Timer2;
  QTimer Timer3;
  QTimer Timer4;
  QTimer Timer5;

  // The hidden edit: last part ID, and "SectorAmount: " with the last sector.
  QString Edit4;
  QString Edit4Hint;

  // The crystal frequency in kHz. The boot loaders parse a whole number, so
  // a fraction ("11059.2") is rounded before it is sent.
  // The crystal line as sent: whole kHz.
  static QByteArray CrystalLine(const QByteArray& khz);

  // Engine state, visible for tests.
  int LpcIspState = Syncing;
  int32_t SyncAttempts = 1;
  int32_t EntryRetries = 0;
  uint16_t EntryIndex = 0;
  QString LastSector;
  uint32_t FlashSize = 0;  // what the part ID allows an image to fill
  uint8_t SectorMap[kLpcSectorMapSize] = {};
  const LpcPartRow* Part = nullptr;  // the row of the part found
  std::vector<uint8_t> LpcImage;
  bool ImagePresent = false;
  LpcTransferList TransferList;
  size_t ListLength() const { return TransferList.size(); }
  const IspResult& LastResult() const { return lastResult_; }

 private:
  struct ReadRange {
    uint32_t address;
    uint32_t length;
  };

  // A whole reply, to the handler of the state that awaits it.
  void HandleReply(const QByteArray& text);
  void OnSyncing(const QByteArray& text, const QList<QByteArray>& lines);
  void OnSyncEcho(const QByteArray& text, const QList<QByteArray>& lines);
  void OnCrystalSent(const QByteArray& text, const QList<QByteArray>& lines);
  void OnUnlocking(const QByteArray& text, const QList<QByteArray>& lines);
  void OnEchoOff(const QByteArray& text, const QList<QByteArray>& lines);
  void OnPartId(const QByteArray& text, const QList<QByteArray>& lines);
  void OnBootVersion(const QByteArray& text, const QList<QByteArray>& lines);
  void OnPreparing(const QByteArray& text, const QList<QByteArray>& lines);
  void OnErasing(const QByteArray& text, const QList<QByteArray>& lines);
  void OnWriting(const QByteArray& text, const QList<QByteArray>& lines);
  void OnComparing(const QByteArray& text, const QList<QByteArray>& lines);
  void OnSerial(const QByteArray& text, const QList<QByteArray>& lines);
  void OnBlankCheck(const QByteArray& text, const QList<QByteArray>& lines);
  void OnGoing(const QByteArray& text, const QList<QByteArray>& lines);
  // Writing: the entry again after a resend request or a reply that makes
  // no sense, until the part has refused it too often.
  void RetryEntry(const QByteArray& text);
  bool TakeReply(QByteArray* reply);
  int ReplyLines(const QList<QByteArray>& lines) const;
  void SendCommand(const QByteArray& command);
  bool Send(const QByteArray& bytes);
  void SendEntry(size_t index);
  void EnableTimer(QTimer& t);
  void Show(const QString& text);
  void Report(const QString& text);
  int PacingMs() const;
  // A reply line as a return code; -1 when it is not a number.
  static int ReturnCode(const QByteArray& line);
  // Ends the step at once: the command the part refused, its code and name.
  void Refused(const QString& step, const QByteArray& command, int code);
  // Every end of a session: timers stopped, port released, the last line,
  // the result.
  void EndSession(IspResult result, bool report = true);
  void Fail(const QString& cause, const QString& step = {});
  void Succeed(const QString& line);
  void PortLost();
  // Ends a run that cannot go on because of the firmware file.
  void RefuseFile(const QString& text);

  // After K: the job's own steps.
  void AfterBootVersion();
  void StartPrepare();
  void StartGo();
  void DownloadDone();
  void StartWriting();
  // Writing: the entry after the one the part has just accepted.
  void NextEntry();
  // After a copy to flash: the part compares the flash with the RAM it was
  // copied from; false when there is nothing to compare.
  bool StartCompare(const QByteArray& copyCommand);
  void WritingDone();
  void StartReadBack();
  void StartRead(std::vector<ReadRange> ranges);
  void SendNextRead();
  void HandleReadData();
  void ReadFinished();
  void FinishInfo(const QString& serial);
  QString SectorRangeText() const;
  bool JobSectors(int* first, int* last) const;
  bool RangeOnSectorEdges();
  void BlankCheckSectors(int first, int last);
  void BlankReadFinished();
  // What a step that ran out of time was doing and what came back.
  QString TimeoutCause(int state) const;
  QString StepOf(int state) const;

  IspHost& host_;
  IspJob job_;
  bool running_ = false;
  bool answered_ = false;    // the boot loader synchronised this session
  bool spinner_ = true;
  bool writeMode_ = true;
  uint8_t dots_ = 0;
  QString fillDigits_;
  QByteArray lineEnd_;
  QByteArray rx_;            // bytes of the reply under way
  QByteArray lastCommand_;   // the last command line, without its line end
  QByteArray crystalLine_;   // what the crystal step sends
  QByteArray lastReply_;     // the last whole reply of the step under way
  uint64_t bytesHeard_ = 0;  // every byte the part sent this session
  QByteArray heard_;         // the first bytes heard while searching
  int blankLast_ = -1;       // BlankCheck: sector 0 read back first, then I 1 .. this
  bool afterRaw_ = false;    // the entry before was raw data: an "OK" line may lead
  IspResult lastResult_;
  QStringList info_;
  QString bootVersion_;
  uint64_t session_ = 0;     // counts sessions, so a late single-shot knows its own
  bool hooked_ = false;

  // Read-back and reading.
  std::vector<ReadRange> reads_;
  size_t readIndex_ = 0;
  uint32_t readAt_ = 0;        // next address of the current range
  uint32_t pieceAddress_ = 0;  // the R under way
  uint32_t pieceLength_ = 0;
  std::vector<uint8_t> piece_;     // bytes of the R under way, accepted blocks
  std::vector<uint8_t> block_;     // bytes of the block not yet checked
  uint32_t blockSum_ = 0;
  int blockLines_ = 0;
  bool codeSeen_ = false;
  int readResends_ = 0;
  std::vector<uint8_t> readBack_;  // everything read, in range order
  uint64_t readTotal_ = 0;
  uint64_t readDone_ = 0;
  bool verifying_ = false;
  // Verify by M after each copy; off for the read-back, or once the part
  // refused M (then the image is read back at the end).
  bool compareOnPart_ = false;
  bool compareRefused_ = false;
  uint32_t compareFlash_ = 0;  // the flash address of the M under way
};
