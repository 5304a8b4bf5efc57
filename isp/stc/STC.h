// The STC 8051 programmer. Its window is never shown: it only owns the
// threaded serial component, the two timers and the session state. The
// whole download runs inside BitBtn1Click, which keeps the program alive
// by processing pending events while it waits for the boot loader.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "isp/IspFamily.h"
#include "isp/IspHost.h"
#include "isp/IspJob.h"
#include "isp/ThreadedLink.h"
#include "isp/stc/StcFrames.h"
#include "isp/stc/StcModern.h"
#include "serial/ThreadedComm.h"

class TSTCFrm : public QObject, public IspEngine {
  Q_OBJECT
 public:
  // `platform` is the device layer of ComPort1 (nullptr: the real one).
  explicit TSTCFrm(IspHost& host, QObject* parent = nullptr, SerialPlatform* platform = nullptr);
  ~TSTCFrm() override;

  // Runs one whole session; returns when it has ended, well or not.
  // The window's download button: Start(Download).
  // The window's download button: `job` holds what its controls said.
  void BitBtn1Click(const IspJob& job);

  // IspEngine. Start runs the whole session before it returns.
  void Start(const IspJob& job) override;
  bool Busy() const override { return running_; }
  void Abort() override;
  bool Supports(IspJobKind kind) const override { return FamilyFacts(IspFamily::Stc).Supports(kind); }
  // True when a reply arrived; false after `limit` one-second ticks, having
  // released the port and logged `message`.
  bool WhileMcuResponse(int limit, const QString& message);
  void SeekTimerTimer();
  void TimeOutTMTimer();
  void FormClose();

  void SendHexFrame(const QString& text);
  void ComPort1ReceiveData(const uint8_t* buffer, uint16_t length);
  bool PrepareImage();
  bool LoadHexImage(const QString& fileName);
  void SplitIntoBlocks();

  TComm ComPort1;
  // Sessions speak through `link` instead of the component's own link
  // (opening and closing stay with ComPort1); nullptr gives the own one
  // back. Ignored while a session runs.
  void LendLink(IspLink* link);
  QTimer SeekTimer;   // connect pulses, 20 ms
  QTimer TimeOutTM;   // one-second ticks of every wait

  // Session state.
  bool ConnectPending = false;
  bool ReplyPending = false;
  int TimeoutTicks = 0;
  int ModelCode = 0;
  int OscCode = 0;
  uint32_t TargetBaud = 0;
  uint32_t SyncBaud = 1200;  // the connect pulses' speed, which the trim counts are taken at
  double ClockHz = 0;      // as the part measured it
  bool HungUp = false;     // the port reported a hang-up during this session
  stc::ReplyCollector Rx;  // RxHex, LastReply, FirmwareVersion
  std::vector<uint8_t> StcImage;
  bool Mcs251Code = false;  // StcImage came from 0xFF0000 on (an STC32 HEX)
  std::vector<uint8_t> EepromImage;  // the job's EEPROM file, from EEPROM offset 0
  QStringList BlockList;
  // What SeekTimer sends: the connect pulses, or FE while a trim round runs.
  QString PulseText = stc::kConnectPulse;
  bool SessionRunning() const { return running_; }

  // Where the converter library is looked for (beside the program).
  QString LibraryPath;
  // Puts the main window back from stay-on-top to its normal style; the
  // main window wires it to its own style.
  std::function<void()> SetMainWindowNormal;

 private:
  // The line is the cause; `step` is what was under way, for the result.
  // The line's parity, through the link, remembered for ReleasePart.
  void SetLineParity(IspParity parity);
  void Fail(const QString& logLine, bool normalStyle, const QString& step = {});
  // Sends a part that answered out of its boot loader before the port closes.
  void ReleasePart();
  // A frequency asked for a part whose clock the host does not trim.
  void NoteFrequencyIgnored(const QString& part);
  void EndQuietly(const QString& line);
  void NormalStyle();
  void Pause(int ms);
  void DrainOutput(size_t bytes);
  void EndWithFlag(uint8_t command);
  void SendBeforeSpeedChange(const QString& frame);
  bool Reopen(uint32_t baud, const QString& step = {});
  void PulseReset();

  // The families after STC89 (StcModernSession.cpp), step by step; each
  // step returns false once the session has ended.
  struct ModernRun {
    const stc::PartRow* row = nullptr;
    stc::Protocol protocol = stc::Protocol::Stc12;
    uint16_t magic = 0;
    stc::PartStatus status;
    std::vector<std::pair<QString, QString>> settings;  // options named by the job
    std::vector<uint8_t> mcs;                           // option bytes to write
    std::vector<uint8_t> image, eeprom;
    stc::Trim userTrim, programTrim;
    double userHz = 0, programClock = 0;
    int divider = 1;
    bool guard = false;  // 5A A5 in the packets (boot loaders from 7.2 on)
    uint16_t programTrim16 = 0;  // stc15a: the 16-bit trim of the programming clock
  };
  void ModernSession(const std::vector<uint8_t>& statusPayload);
  bool IdentifyModern(const std::vector<uint8_t>& statusPayload, ModernRun& run);
  void DescribeModernPart(const ModernRun& run);
  bool PrepareModernData(ModernRun& run);
  bool CheckStc32Data(const ModernRun& run);
  bool SplitCodeAndEeprom(ModernRun& run);
  bool TrimModern(ModernRun& run);
  bool TrimStc15(double target, ModernRun& run, stc::TrimChoice& best);
  bool TrimBands(double target, ModernRun& run, stc::TrimChoice& best);
  bool TrimStc8(double target, ModernRun& run, stc::TrimChoice& best);
  bool SwitchModernSpeed(ModernRun& run);
  bool WriteModern(ModernRun& run);
  bool EraseModern(ModernRun& run, size_t streamBytes);
  bool SetModernOptions(ModernRun& run);
  bool Exchange(const std::vector<uint8_t>& payload, int limit, const QString& timeoutMessage,
                std::vector<uint8_t>& reply);
  bool SwitchExchange(const std::vector<uint8_t>& payload, uint32_t baud, int limit, const QString& timeoutMessage,
                      std::vector<uint8_t>& reply);
  bool SwitchAfterReply(const std::vector<uint8_t>& payload, uint32_t baud, int limit, const QString& timeoutMessage,
                        std::vector<uint8_t>& reply);
  bool ExpectReply(const std::vector<uint8_t>& reply, uint8_t command, const QString& step);
  // `wholeBit`: the part counts over whole pulse bits (stc8d, stc8g);
  // `filler`: bytes of 66 sent between the challenge and the pulses.
  bool TrimRound(const std::vector<stc::Trim>& trims, size_t slotCount, std::vector<double>& hz,
                 bool wholeBit = false, int filler = 0);
  bool CheckJobOptions();
  // STC89 on the newer boot loader (Stc89aSession.cpp).
  void Stc89aProgram(const std::vector<uint8_t>& statusPayload, const stc::PartRow& row,
                     const std::vector<uint8_t>& image);
  // STC15F10x/20x (Stc15aSession.cpp).
  bool Stc15aRound(const std::array<uint8_t, 7>& constants, const std::vector<uint16_t>& trims,
                   std::vector<std::pair<uint16_t, uint16_t>>& counts);
  void Stc15aProgram(const std::vector<uint8_t>& statusPayload, ModernRun& run);
  bool Stc15aTrim(const stc::Stc15aStatus& status, ModernRun& run);
  bool Stc15aWriteAll(ModernRun& run);

  void Ended(IspResult result);
  // The session, step by step; each step returns false once it has ended.
  void Session();
  bool OpenSession(bool info);
  bool ConnectToPart();
  bool TakeModernStatus();  // true: the status was a later family's
  bool IdentifyStc89(bool info, stc::SpeedTimer& timer, stc::SpeedPlan& speed);
  bool Stc89SwitchSpeed(stc::SpeedTimer timer, const stc::SpeedPlan& speed);
  bool Stc89Write();
  void Stc89Finish();
  void Log(const QString& line);  // Memo1, remembering the last line

  QString lastLog_;
  // What this session learned of the part, for its result.
  QString partName_, partId_, uniqueId_;
  QStringList info_;

  ThreadedLink ownLink_{ComPort1};
  IspLink* link_ = &ownLink_;
  IspParity parity_ = IspParity::None;

  IspHost& host_;
  IspJob job_;
  bool running_ = false;
  bool aborted_ = false;
  bool answered_ = false;  // the status packet came this session
  std::optional<stc::Protocol> protocol_;  // the family after STC89 that answered, if one did
};
