// The ISP page's handlers of the main window: family choice, the download
// button's dispatch to an engine, the number fields, the mirroring of port
// and speed, the clock and the automatic re-download.
#include <QFileInfo>

#include <QAction>
#include <QMenu>

#include "app/MainForm.h"
#include "app/StcOptionsDialog.h"
#include "firmware/FileTime.h"
#include "isp/IspFamily.h"
#include "isp/IspImageCheck.h"
#include "isp/lpc/LPC.h"
#include "isp/stc/STC.h"
#include "isp/stm32/Stm32Engine.h"
#include "app/ReceiveDisplay.h"

namespace {

// The chip list's entries: LPC parts, the STM32 line, then STC parts.
std::optional<IspFamily> FamilyOfModel(int index) {
  if (index >= 0 && index <= 5) return IspFamily::Lpc;
  if (index == 6) return IspFamily::Stm32;
  if (index >= 7 && index <= 11) return IspFamily::Stc;
  return std::nullopt;
}

// The family's line goes into the terminal page's lists, where the port is
// opened from: the speed moved into the page's range for the family (the ISP
// page's speed list follows), its framing, one stop bit.
void ShowFamilyLine(const IspFamilyFacts& facts, QComboBox* speed, QComboBox* ispSpeed, QComboBox* dataBits,
                    QComboBox* stopBits, QComboBox* parity) {
  const int at = speed->findText(QString::number(facts.PageSpeed(speed->currentText().toUInt())));
  if (at >= 0 && at != speed->currentIndex()) {
    speed->setCurrentIndex(at);
    ispSpeed->setCurrentIndex(at);
  }
  const int bits = dataBits->findText(QString::number(facts.dataBits));
  if (bits >= 0) dataBits->setCurrentIndex(bits);
  stopBits->setCurrentIndex(0);
  parity->setCurrentIndex(facts.parity);
}

}  // namespace

TMainForm::~TMainForm() {
  // Engines first: they hold the host (this window) by reference.
  stc_.reset();
  lpc_.reset();
  stm32_.reset();
  ComDriver_->OnReceiveData = nullptr;
  KRNCommDriver1->OnReceiveData = nullptr;
}

void TMainForm::CreateProgrammers() {
  stm32_ = std::make_unique<Stm32Engine>(*this);
  lpc_ = std::make_unique<TLPCFrm>(*this);
  stc_ = std::make_unique<TSTCFrm>(*this);
  stc_->SetMainWindowNormal = [this] {
    if (windowFlags() & Qt::WindowStaysOnTopHint) {
      setWindowFlag(Qt::WindowStaysOnTopHint, false);
      show();
    }
  };
  UpdateJobActions();
}

void TMainForm::BitBtn1Click() {
  IspJob job = IspJob::Download(Edit2->text());
  const int index = MCUType->currentIndex();
  if (index >= 7 && index <= 11) {
    // What the STC parts are asked for beyond the image.
    // The field's default is the engine's own: only a frequency the user
    // typed is asked for (and a part without a trimmed oscillator says so).
    const double khz = EditFreq->text().toDouble();
    job.frequencyKHz = qFuzzyCompare(khz, 11059.2) ? 0 : khz;
    job.options = stcOptions_;
    job.eepromFile = stcEepromFile_;
    job.eepromInImage = stcEepromInImage_;
  }
  StartIspJob(job);
}

IspEngine* TMainForm::CurrentEngine() const {
  const int index = MCUType->currentIndex();
  if (index >= 0 && index <= 5) return lpc_.get();
  if (index == 6) return stm32_.get();
  if (index >= 7 && index <= 11) return stc_.get();
  return nullptr;
}

void TMainForm::ResetSeqChange() {
  QString why;
  const QString text = EditResetSeq->text().trimmed();
  const bool bad = !text.isEmpty() && !ResetSequence::Parse(text, &why);
  EditResetSeq->setStyleSheet(bad ? QStringLiteral("color: red") : QString());
  EditResetSeq->setToolTip(bad ? why
                               : QStringLiteral("自动复位时使用；空则为常用接法。dtr/-dtr、rts/-rts 升降信号线，"
                                                "数字为延时 (ms)，~dtr/~rts 表示该线反相，/ 之后为运行程序的序列"));
}

bool TMainForm::ApplyResetSequence(IspJob& job) {
  const QString text = EditResetSeq->text().trimmed();
  if (text.isEmpty() || !CheckBox2->isChecked()) return true;
  QString why;
  job.reset = ResetSequence::Parse(text, &why);
  if (job.reset) return true;
  const QString line = QStringLiteral("复位序列有误: ") + why;
  SetStatusText(0, line);
  AddLog(line);
  return false;
}

void TMainForm::StartIspJob(IspJob job) {
  if (!BitBtn1->isEnabled()) return;  // a session is running
  // What this session downloads; a later stamp at its end means a newer build.
  if (job.kind == IspJobKind::Download) downloadedStamp_ = FileStampText(Edit2->text());
  Memo1->clear();
  OnPageTextShown();
  // A session's status line is its own: nothing of the last one stays.
  SetStatusText(0, QString());
  if (!ApplyResetSequence(job)) return;
  const int index = MCUType->currentIndex();
  // The download keeps its own order (the file is read once the part is
  // known); every other job that reads a file reads it first, so a bad one
  // costs no reset and no byte on the line.
  if (job.kind == IspJobKind::Verify) {
    const auto family = FamilyOfModel(index);
    const QString problem =
        IspImageProblem(job.file, family ? FamilyFacts(*family).imageLimit : uint64_t{1} << 32);
    if (!problem.isEmpty()) {
      ReportStatus(*this, problem);
      IspResult r = IspResult::Failure(problem, QStringLiteral("加载文件"));
      r.usageError = true;
      SessionEnded(r);
      return;
    }
  }
  if (index >= 0 && index <= 5) {
    LendTerminalPort();
    ShowFamilyLine(FamilyFacts(IspFamily::Lpc), ComboBox2, ComboBox7, ComboBox3, ComboBox4, ComboBox5);
    // The LPC engine counts in percent and leaves the range alone: the
    // range a previous STM32 image left would swallow its figures.
    SetProgressMax(100);
    if (lpc_) lpc_->Start(FillJob(job));
  } else if (index == 6) {
    LendTerminalPort();
    ShowFamilyLine(FamilyFacts(IspFamily::Stm32), ComboBox2, ComboBox7, ComboBox3, ComboBox4, ComboBox5);
    if (stm32_) stm32_->Start(FillJob(job));
  } else if (index >= 7 && index <= 11) {
    // STC opens the port with a component of its own: a terminal holding
    // that port steps aside for the session and takes it back afterwards
    // with its settings, so the new program's first words show at once.
    const bool stepAside = PortOpen && ComDriver_->IsConnected() && ComDriver_->PortName == ComboBox1->currentText();
    if (stepAside) {
      Timer1.stop();
      ComDriver_->Disconnect();
      PortOpen = false;
    }
    Memo1->setEnabled(false);
    BitBtn2->setEnabled(false);
    if (stc_) stc_->Start(FillJob(job));
    BitBtn2->setEnabled(true);
    Memo1->setEnabled(true);
    if (stepAside) TakeBackTerminalPort();
  }
}

void TMainForm::TakeBackTerminalPort() {
  // The driver still holds the settings it had: reconnect as it was.
  if (ComDriver_->Connect()) {
    PortOpen = true;
    keepBoardOutput_ = true;
    CheckBox3Click();
    CheckBox4Click();
    CheckBox5Click();
  } else {
    PortOpen = false;
    SetStatusText(0, QStringLiteral("串口已断开 %1").arg(ComDriver_->PortName));
  }
  ShowPortState();
}

void TMainForm::LendTerminalPort() {
  keepBoardOutput_ = false;  // from here on the bytes are the session's
  lentLine_.reset();
  if (!PortOpen || !ComDriver_->IsConnected() || ComDriver_->PortName != ComboBox1->currentText()) return;
  lentLine_ = TerminalLine{ComboBox2->currentIndex(), ComboBox3->currentIndex(), ComboBox4->currentIndex(),
                           ComboBox5->currentIndex()};
  Timer1.stop();  // timed sending must not talk into the boot loader
}

void TMainForm::GiveBackTerminalPort(bool keepOpen) {
  const TerminalLine t = *lentLine_;
  lentLine_.reset();
  ComboBox2->setCurrentIndex(t.speed);
  ComboBox7->setCurrentIndex(t.speed);
  ComboBox3->setCurrentIndex(t.dataBits);
  ComboBox4->setCurrentIndex(t.stopBits);
  ComboBox5->setCurrentIndex(t.parity);
  if (!keepOpen || !ComDriver_->IsConnected()) {
    // Closed by the user, or unplugged during the session: a reconnect
    // opens it with the terminal's line, as it was before the session.
    ComPort_Close();
    return;
  }
  // Whatever arrived after the session's last reply is the board's: read
  // it before the new line settings clear the input queue.
  keepBoardOutput_ = true;
  ComDriver_->PollReceive();
  if (!ComDriver_->IsConnected()) {
    ComPort_Close();
    return;
  }
  ComDriver_->setComPortSpeed(static_cast<TComPortBaudRate>(t.speed));
  ComDriver_->setComPortDataBits(static_cast<TComPortDataBits>(t.dataBits));
  ComDriver_->setComPortStopBits(static_cast<TComPortStopBits>(t.stopBits));
  ComDriver_->setComPortParity(static_cast<TComPortParity>(t.parity));
  PortOpen = true;
  CheckBox3Click();
  CheckBox4Click();
  CheckBox5Click();
  ShowPortState();
}

void TMainForm::JobsMenuTriggered(IspJobKind kind) {
  IspEngine* engine = CurrentEngine();
  if (!engine || !engine->Supports(kind) || !BitBtn1->isEnabled()) return;
  IspJob job = IspJob::OfKind(kind);
  switch (kind) {
    case IspJobKind::Read: {
      const QString out = ChooseSaveFile(QStringLiteral("读出到文件"), QStringLiteral("hex; bin (*.hex *.bin)"),
                                         DialogFolder(QStringLiteral("readout"), QFileInfo(Edit2->text()).absolutePath()));
      if (out.isEmpty()) return;
      RememberDialogFolder(QStringLiteral("readout"), out);
      job.file = out;
      break;
    }
    case IspJobKind::Verify:
      job.file = Edit2->text();
      break;
    case IspJobKind::UnprotectRead:
      if (!AskYesNo(QStringLiteral("Vortana"),
                    QStringLiteral("解除读保护时芯片会擦除整个 Flash，原有程序和数据都会丢失。\r继续吗？")))
        return;
      break;
    case IspJobKind::ProtectRead:
      // Undoing it later erases the whole chip.
      if (!AskYesNo(QStringLiteral("Vortana"),
                    QStringLiteral("设置读保护后不能再读出 Flash；以后解除读保护时芯片会擦除整个 Flash。\r继续吗？")))
        return;
      break;
    case IspJobKind::Erase:
      if (!AskYesNo(QStringLiteral("Vortana"), QStringLiteral("擦除整片 Flash？原有程序和数据都会丢失。"))) return;
      break;
    default:
      break;
  }
  StartIspJob(job);
}

void TMainForm::StcOptionsClick() {
  StcDownloadExtras current{stcOptions_, stcEepromFile_, stcEepromInImage_, static_cast<StcFamily>(stcFamily_)};
  StcOptionsDialog dialog(current, this);
  if (dialog.exec() != QDialog::Accepted) return;
  const StcDownloadExtras chosen = dialog.Chosen();
  stcFamily_ = static_cast<int>(chosen.family);
  SetStcExtras(chosen.options, chosen.eepromFile, chosen.eepromInImage);
}

void TMainForm::SetStcExtras(const QMap<QString, QString>& options, const QString& eepromFile, bool eepromInImage) {
  stcOptions_ = options;
  stcEepromFile_ = eepromFile;
  stcEepromInImage_ = eepromInImage;
  UpdateJobActions();
}

void TMainForm::UpdateJobActions() {
  IspEngine* engine = CurrentEngine();
  for (auto it = jobActions_.begin(); it != jobActions_.end(); ++it)
    it.value()->setEnabled(engine && engine->Supports(it.key()));
  const bool stc = MCUType->currentIndex() > 6;
  stcOptionsAction_->setEnabled(stc);
  const int asked = static_cast<int>(stcOptions_.size()) + (stcEepromFile_.isEmpty() ? 0 : 1);
  stcOptionsAction_->setText(asked ? QStringLiteral("STC 选项… (%1 项待写入)").arg(asked) : QStringLiteral("STC 选项…"));
  const auto family = FamilyOfModel(MCUType->currentIndex());
  const bool trims = family && FamilyFacts(*family).trimsClock;
  EditFreq->setEnabled(trims);
  LabelFreq->setEnabled(trims);
  const bool crystal = family && FamilyFacts(*family).asksCrystal;
  EditCrystal->setEnabled(crystal);
  LabelCrystal->setEnabled(crystal);
}

void TMainForm::MCUTypeChange() {
  const int index = MCUType->currentIndex();
  BitBtn7->setEnabled(index > 6);
  // STC89 boot loaders cannot read their flash back: nothing to verify
  // beyond the sum each block write answers with.
  const bool stc = index > 6;
  CheckBox11->setEnabled(!stc);
  CheckBox11->setToolTip(stc ? QStringLiteral("STC89 的引导程序不能读回 Flash，无法写后校验（每块写入由芯片回报的校验和检查）")
                             : QStringLiteral("写入后读回比较"));
  // The size shown is of the file the chosen family loaded, or none.
  const int family = index < 0 ? -1 : index <= 5 ? 0 : index == 6 ? 1 : 2;
  if (family != sizeLabelFamily_) Label10->clear();
  sizeLabelFamily_ = family;
  UpdateJobActions();
}

void TMainForm::BitBtn7Click() {
  BitBtn7->setText(BitBtn7->text() == QStringLiteral("6T") ? QStringLiteral("12T") : QStringLiteral("6T"));
}

void TMainForm::CheckBox2Click() {
  const bool on = CheckBox2->isChecked();
  Edit4->setEnabled(on);
  Label11->setEnabled(on);
  Label11Unit->setEnabled(on);
  CheckBox10->setEnabled(on);
}

void TMainForm::Edit3Change() {
  const QString t = Edit3->text();
  if (t.isEmpty() || t == QStringLiteral("0")) Edit3->setText(QStringLiteral("1"));
}

void TMainForm::ComboBox6Change() { ComboBox1->setCurrentIndex(ComboBox6->currentIndex()); }

void TMainForm::ComboBox7Change() { ComboBox2->setCurrentIndex(ComboBox7->currentIndex()); }

QString TMainForm::FileStampText(const QString& path) const {
  if (path.isEmpty() || !QFileInfo(path).isFile()) return QString();
  return GetFileWriteTime(path).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void TMainForm::TimerSecTimer() {
  SetStatusText(3, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
  if (PageIndex() != 0 || !CheckBox1->isChecked() || !QFileInfo(Edit2->text()).isFile()) return;
  const QString stamp = FileStampText(Edit2->text());
  if (stamp == LastFileStamp) return;
  LastFileStamp = stamp;
  if (BitBtn1->isEnabled()) {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    show();
    if (!AutoIspTimer.isActive()) AutoIspTimer.start();
    repaint();
  }
}

void TMainForm::QueueDownloadOfNewerBuild() {
  if (PageIndex() != 0 || !CheckBox1->isChecked()) return;
  const QString stamp = FileStampText(Edit2->text());
  if (stamp.isEmpty() || stamp == downloadedStamp_) return;
  // Once per session: the next one records the stamp it downloads.
  downloadedStamp_ = stamp;
  LastFileStamp = stamp;
  if (!AutoIspTimer.isActive()) AutoIspTimer.start();
}

void TMainForm::AutoIspTimerTimer() {
  AutoIspTimer.stop();
  BitBtn1->click();
}

void TMainForm::BitBtn2Click() {
  const QString chosen = ChooseOpenFile(QStringLiteral("选择目标文件"),
                                        QStringLiteral("bin; pin; hex (*.bin *.pin *.hex)"),
                                        DialogFolder(QStringLiteral("firmware"), QFileInfo(Edit2->text()).absolutePath()));
  if (chosen.isEmpty()) return;
  RememberDialogFolder(QStringLiteral("firmware"), chosen);
  Edit2->setText(chosen);
}
