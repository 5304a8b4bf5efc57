// Programs an STM32 through its system-memory boot loader (USART protocol,
// ST AN3155), and runs the other jobs a host asks for (read back, erase,
// blank check, read-out and write protection, GO, identify). A state
// machine on the GUI thread: Timer3 sends the synchronisation byte until
// the boot loader answers, OvertimeT ends a session that stops moving, and
// the link's readable notification hands each reply over as its last byte
// arrives (Timer5 only backs that up, slowly: nothing polls the line).
//
// Every step sends one frame and states the reply it waits for; a reply is
// taken only when it is complete, and nothing of it is carried into the
// next step. Only one synchronisation byte is ever unanswered: a boot
// loader that is already synchronised (a part not reset since an earlier
// session) reads a 0x7F as a command code and waits for its complement, so
// a second 0x7F is sent only once the first has had time to be answered;
// its NACK then shows the part listening.
//
// What the engine knows of the part is a row of Stm32Parts; it erases only
// the units that hold the image's data, writes only the blocks that hold
// more than erased flash, and refuses what it cannot do safely (a part
// whose layout it does not know, a range that splits an erase unit).
//
// The engine reaches the window only through IspHost, and the port only
// through the host's IspLink; frames and replies are Stm32Frames' work.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "firmware/FirmwareImage.h"
#include "isp/IspHost.h"
#include "isp/IspJob.h"
#include "isp/stm32/Stm32Frames.h"
#include "isp/stm32/Stm32Parts.h"

class Stm32Engine : public QObject, public IspEngine {
  Q_OBJECT
 public:
  static constexpr int kFrameBufferSize = 264;
  static constexpr uint32_t kFlashBase = 0x08000000;
  static constexpr int kMaxBlock = stm32::kMaxBlock;
  // How long a synchronisation byte may go unanswered before the next one:
  // past any USB adapter's latency timer, so its answer cannot cross it.
  static constexpr int kSyncAnswerMs = 200;
  // The replies come through the port's readable notification; this tick
  // only catches one that slipped past it.
  static constexpr int kBackupTickMs = 100;
  // Erase frames are cut so that none keeps the part busy much longer than
  // this (by the data sheet's longest erase of a unit).
  static constexpr int kEraseFrameMs = 4000;

  explicit Stm32Engine(IspHost& host, QObject* parent = nullptr);
  ~Stm32Engine() override;

  // The window's download button: Start(Download).
  // The window's download button: `job` holds what its controls said.
  void STM32UP(const IspJob& job);

  // IspEngine.
  void Start(const IspJob& job) override;
  bool Busy() const override { return Running(); }
  void Abort() override;
  bool Supports(IspJobKind kind) const override;

  void Timer3Timer();
  void Timer5Timer();
  void OvertimeTTimer();

  // Loads the firmware file into the image; on a missing file it winds the
  // session up itself.
  bool RenewedlyLoadFile();

  // The stretches a download writes (and a verify reads back): the image's
  // data cut at 256-byte boundaries from the flash base, each on whole
  // programming units.
  struct Block {
    uint32_t offset;
    uint32_t length;
  };
  static std::vector<Block> WriteBlocks(const std::vector<FirmwareImage::Segment>& segments, uint32_t imageLength,
                                        uint32_t unit);

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
  QTimer Timer5;     // replies the notification missed
  QTimer OvertimeT;  // 1 s: step time-out
  QTimer Silence;    // a job that fails fast: the step's own longest wait

 private:
  using Reply = stm32::ReplyKind;
  struct Expect {
    int32_t state = 0;
    Reply reply = Reply::Ack;
    int bytes = 0;
    QString timeout;            // the cause should the part stay silent
    QString refused;            // ... should it answer NACK
    bool keepCounter = false;   // a block's three exchanges share one time budget
    int busyMs = 0;             // the part's own work before it answers (erase, programming)
    std::function<void(const uint8_t*)> ack;  // the reply, ACK first
    std::function<void()> nack;               // instead of the refusal
  };
  enum class ReadRefusal { Command, Address, Count };
  // How long a job that fails fast waits for a reply: what the part does
  // first, the reply's wire time and an adapter's latency.
  int SilenceMs(const Expect& e, int sentBytes) const;

  bool Send(const std::vector<uint8_t>& frame);
  bool SendCommand(uint8_t code);
  bool SendAddress(uint32_t address);
  void Await(Expect e);
  int64_t QuickWaitUs() const;
  int64_t WireUs(int bytes) const;
  void Command(uint8_t code, Expect e);
  void ReadMemory(int32_t state, uint32_t address, int length, const QString& timeout,
                  std::function<void(const uint8_t*)> data, std::function<void(ReadRefusal)> refused);
  void Refuse(const QString& cause);
  void Invalid(const QString& cause);
  bool Offers(uint8_t code) const;

  void ResetIntoBootLoader();
  void ResetIntoProgram();
  ResetSequence Wiring() const;
  bool ResetsPart() const;
  void RunLines(const std::vector<ResetStep> ResetSequence::*which);
  void OpenLink();
  void Received(const uint8_t* data, int size);
  void ReadPort();
  void HandleReply();
  void HandleSyncReply();
  void SyncNoise();
  void Resynchronise();

  // The session's steps.
  void SendGet();
  void SendGetId();
  void Identified();
  void ReadFlashSize();
  void ReadBankMode();
  void Prepared();
  bool MakeMap();
  // False (and the session failed) when a unit's number is not established.
  bool NumbersSure(const std::vector<Stm32Unit>& units);
  void StartJob();
  void StartDownload();
  bool LoadForJob();
  // eraseBank2: bank 2 goes as a whole (the bank erase) after the numbered units.
  void StartErase(const std::vector<uint32_t>& numbers, bool thenWrite, bool eraseBank2 = false);
  void MassErase(std::vector<uint8_t> frame, const QString& line);
  void NextEraseFrame();
  void StartWrite();
  void WriteBlock();
  void StartVerify();
  void VerifyBlock();
  void StartRead();
  void ReadBlock();
  void GoTo(uint32_t address, std::function<void()> then);
  void Protection(uint8_t code, const QString& done);
  void ReadUniqueId();
  void FetchUniqueId(std::function<void()> then);
  void ReadInfoOptions();
  void ReadInfoOptionBytes(size_t area);
  void ReportInfo();
  void EraseRange();
  void Finish();
  void Succeed(const QString& line);
  void Fail(const QString& cause);
  void EndSession();
  void Ended(IspResult result);
  QString ProtectedCause() const;
  QString StepName() const;
  uint32_t FlashBytes() const;

  IspHost& host_;
  IspJob job_;
  bool connected_ = false;    // the boot loader has answered this session
  bool resynchronised_ = false;
  FirmwareImage image_;
  const Stm32Part* part_ = nullptr;
  std::vector<uint8_t> commands_;  // from the GET reply
  uint8_t version_ = 0;
  std::optional<uint32_t> flashKB_;  // as the part reports it
  std::optional<uint32_t> bankOptionWord_;  // the bank-mode option word, where read
  bool readProtected_ = false;
  bool probed_ = false;       // Info: the flash base was asked about protection
  bool wentTo_ = false;       // GO was obeyed: the program runs, no reset after it
  uint8_t lastCommand_ = 0;   // the command of the step under way
  QString step_;             // what is under way, for the result
  std::unique_ptr<Stm32FlashMap> map_;
  QStringList info_;
  QString uniqueId_;
  QStringList optionBytesLines_;  // Info: each option-byte area as read

  bool expecting_ = false;
  Expect expect_;
  int stepLimit_ = 10;        // seconds a step may take
  bool stallOnRefusal_ = false;  // a download: a refusal ends by the time-out

  std::vector<std::vector<uint8_t>> eraseFrames_;
  size_t eraseNext_ = 0;
  std::vector<Block> blocks_;
  size_t blockNext_ = 0;
  uint32_t readAddress_ = 0;
  uint32_t readLength_ = 0;
  QByteArray readBytes_;

  bool syncAwaiting_ = false;
  int sentSinceAwait_ = 0;    // bytes written since the last reply was awaited
  int awaitSent_ = 0;         // ... and before the reply now awaited
  QByteArray syncNoise_;      // what came back to 0x7F that was neither ACK nor NACK
  uint64_t syncNoiseBytes_ = 0;
  int64_t syncSentMs_ = 0;
  bool portLost_ = false;
  QString cause_;             // what failed if the time-out ends the session
  bool linked_ = false;       // listening to the link this session
  bool watching_ = false;     // the link says when the port is readable
  bool ownRead_ = false;      // inside the engine's own poll
  bool handOver_ = false;     // a read by someone else is on its way to Timer5Timer
  std::vector<uint8_t> rx_;   // what has arrived and is not yet taken
};
