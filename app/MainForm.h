// TMainForm: the one window of the program, with its four pages (ISP,
// terminal, printer test, about), the shared output area, the status bar and
// the main port. Handlers of each page live beside their subsystem
// (terminal/, isp/, printer/); this class is the window they share.
#pragma once

#include <QCheckBox>
#include <QCoreApplication>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "app/OutputView.h"
#include "isp/IspHost.h"
#include "serial/PollingComm.h"

class Marquee;
class QMenu;
class QToolButton;
class IspEngine;
class ClickableLabel;
class SendMemo;
class Stm32Engine;
class TLPCFrm;
class TSTCFrm;
class TerminalOptions;
class FileTransfer;

// Item data of the port lists: the adapter behind the port, shown after its name.
inline constexpr int kPortAdapterRole = Qt::UserRole + 7;

class TMainForm : public QMainWindow, public IspHost {
  Q_OBJECT
 public:
  // platform: the serial layer under the window's two drivers; nullptr is
  // the real one (tests pass a recording one to watch the drivers).
  explicit TMainForm(QWidget* parent = nullptr, SerialPlatform* platform = nullptr);
  ~TMainForm() override;

  // Program entry creates the two programmer windows after the main window.
  void CreateProgrammers();

  // ---- Shared state ----
  bool PortOpen = false;
  int32_t SendCounter = 0;
  int32_t ReceiveCounter = 0;
  std::vector<uint8_t> ReceiveStore;
  QString LastFileStamp;
  bool SettingsKeyCreateFailed = false;

  TKRNCommDriver* ComDriver_ = nullptr;      // the main port
  TKRNCommDriver* KRNCommDriver1 = nullptr;  // the bridge port

  // ---- Controls (names as the window defines them) ----
  OutputView* Memo1 = nullptr;
  QWidget* Panel1 = nullptr;
  ClickableLabel* Image3 = nullptr;
  QTabWidget* RzPageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QWidget* TabSheet3 = nullptr;
  QWidget* TabSheet4 = nullptr;
  ClickableLabel* StatusBar1 = nullptr;  // the strip; its panels below
  QLabel* StatusPanel[4] = {};
  ClickableLabel* Image5 = nullptr;
  QPixmap Image1;  // closed-port glyph
  QPixmap Image2;  // open-port glyph

  // ISP page.
  QComboBox* MCUType = nullptr;
  QComboBox* ComboBox6 = nullptr;
  QComboBox* ComboBox7 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QPushButton* BitBtn2 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QCheckBox* CheckBox2 = nullptr;
  QCheckBox* CheckBox10 = nullptr;
  QCheckBox* CheckBox11 = nullptr;  // "写后校验"
  // Beyond the download: the other jobs of the chosen family ("更多"), and
  // the frequency STC parts with an internal oscillator are trimmed to.
  QToolButton* BitBtnJobs = nullptr;
  QMenu* JobsMenu = nullptr;
  QAction* VerifyReadbackAction = nullptr;  // under "更多": LPC verify by reading back
  QLineEdit* EditResetSeq = nullptr;  // under "更多": a reset sequence of the user's own
  QLineEdit* EditFreq = nullptr;    // kHz
  QLabel* LabelFreq = nullptr;
  QLineEdit* EditCrystal = nullptr;  // kHz, LPC
  QLabel* LabelCrystal = nullptr;
  QLineEdit* Edit3 = nullptr;
  QLineEdit* Edit4 = nullptr;
  QLabel* Label11 = nullptr;      // "复位时间"
  QLabel* Label11Unit = nullptr;  // its unit, "ms"
  QPushButton* BitBtn7 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QLabel* Label10 = nullptr;
  Marquee* RzMarqueeStatus1 = nullptr;

  // Terminal page.
  QComboBox* ComboBox1 = nullptr;
  QComboBox* ComboBox2 = nullptr;
  QComboBox* ComboBox3 = nullptr;
  QComboBox* ComboBox4 = nullptr;
  QComboBox* ComboBox5 = nullptr;
  QCheckBox* CheckBox3 = nullptr;
  QCheckBox* CheckBox4 = nullptr;
  QPushButton* BitBtn3 = nullptr;
  QCheckBox* CheckBox9 = nullptr;
  QPushButton* BitBtn10 = nullptr;
  SendMemo* Memo2 = nullptr;
  QPushButton* BitBtn_TX = nullptr;
  QCheckBox* CheckHexTXD = nullptr;
  QCheckBox* CheckBox7 = nullptr;
  QCheckBox* CheckBox6 = nullptr;
  QCheckBox* CheckBox8 = nullptr;
  QCheckBox* CheckBox5 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLabel* Label8 = nullptr;
  QPushButton* BitBtn6 = nullptr;
  QPushButton* BitBtn8 = nullptr;
  QCheckBox* CheckHexRXD = nullptr;
  QPushButton* BitBtn5 = nullptr;
  QPushButton* BitBtn9 = nullptr;

  // Printer page.
  QLabel* ESC_IMG = nullptr;
  QImage EscImage;  // the picture ESC_IMG shows
  QPushButton* BitBtn11 = nullptr;
  SendMemo* ESC_STA = nullptr;
  SendMemo* ESC_END = nullptr;
  QComboBox* ComboBox8 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;

  // About page.
  QPlainTextEdit* Memo6 = nullptr;

  // Timers.
  QTimer TimerSec;
  QTimer AutoIspTimer;
  QTimer USB_Change;
  QTimer Timer1;

  // ---- Window and port control ----
  void FormCreate();
  void FormShow();
  void FormClose();
  void RzPageControl1Change();
  bool ComPort_Open() override;
  bool ComPort_Close() override;
  void BitBtn3Click();
  void ComboBox1Change();
  void CheckBox3Click();
  void CheckBox4Click();
  void BitBtn10Click();
  void Image3Click();
  void StatusBar1Click();
  void Image4Click();
  void RzMarqueeStatus1Click();
  void SetStatusText(int panel, const QString& text);
  // The open/close button's caption and glyph follow PortOpen.
  void ShowPortState();
  // The device behind the open main port has gone (driver event).
  void ComDriverDeviceLost();
  QString StatusText(int panel) const;
  int PageIndex() const;
  // The window's text at `scale` times its 16 px; the window grows to fit.
  void SetFontScale(double scale);

  // ---- Port discovery ----
  void WMDeviceChange(int eventCode);
  void USB_ChangeTimer();
  // Where the device list comes from; tests replace it.
  std::function<QStringList()> ListSerialPorts;

  // ---- Terminal transmit ----
  void BitBtn_TXClick();
  void SendHex(const QString& text);
  void CheckHexTXDClick();
  void CheckBox5Click();
  void Timer1Timer();
  void Edit1Change(QLineEdit* edit);
  void Memo2KeyDown(int virtualKey);
  void BitBtn6Click();
  void BitBtn8Click();
  void ReportWriteFailure();

  // ---- Terminal receive ----
  void ComDriverReceiveData(TKRNCommDriver* Sender, const uint8_t* DataPtr, int32_t DataSize);
  void CheckHexRXDClick();
  void BitBtn5Click();
  void BitBtn9Click();
  bool SaveReceiveArea(const QString& fileName);

  // ---- Terminal options: receive and send menus, find, log, modem lamps ----
  TerminalOptions* Terminal = nullptr;
  // XMODEM/YMODEM from the receive area's menu.
  FileTransfer* Transfers = nullptr;

  // ---- Bridge ----
  void CheckBox9Click();
  void KRNCommDriver1ReceiveData(TKRNCommDriver* Sender, const uint8_t* DataPtr, int32_t DataSize);

  // ---- ISP page ----
  void BitBtn1Click();
  void MCUTypeChange();
  void BitBtn7Click();
  void CheckBox2Click();
  void Edit3Change();
  void ComboBox6Change();
  void ComboBox7Change();
  void TimerSecTimer();
  void AutoIspTimerTimer();
  void BitBtn2Click();
  QString FileStampText(const QString& path) const;
  // A session has ended: a build saved while it ran is downloaded next.
  void QueueDownloadOfNewerBuild();

  // ---- Printer page ----
  void BitBtn11Click();
  bool LoadPrintPicture(const QString& fileName);
  void ComboBox8Change();
  void Button1Click();

  // ---- IspHost ----
  void ShowStatus(const QString& text) override;
  void AddLog(const QString& line) override;
  void SetLogText(const QString& text) override;
  void SetProgressMax(int max) override;
  void SetProgress(int position) override;
  void SetSizeLabel(const QString& text) override;
  void SessionStarted(const IspJob& job) override;
  // `job` with everything the page's controls say, read once.
  IspJob FillJob(IspJob job) const;
  TKRNCommDriver& ComDriver() override { return *ComDriver_; }

  // An information box with the caption given (the settings failure keeps
  // its warning box).
  void ShowMessage(const QString& caption, const QString& text) override;
  QString PortOpenError() const override { return portOpenError_; }
  void SessionEnded(const IspResult& result) override;
  // Message boxes go through here so tests can see them without a modal loop.
  std::function<void(const QString& caption, const QString& text)> ShowMessageHook;
  // When set, every new window shows its messages here instead (tests).
  static std::function<void(const QString& caption, const QString& text)> MessageSink;
  // File dialogs likewise: return the chosen name or empty text.
  std::function<QString(const QString& title, const QString& filter, const QString& start)> ChooseOpenFile;
  std::function<QString(const QString& title, const QString& filter, const QString& start)> ChooseSaveFile;
  // A question with Yes and No (No is the default); true for Yes.
  std::function<bool(const QString& caption, const QString& text)> AskYesNo;
  // Opening a mail or web link.
  std::function<void(const QString& url)> OpenUrl;

  // Ticks or unticks a box and runs its click handler, as a user's click does.
  void SetCheckForTest(QCheckBox* box, bool on) { SetCheck(box, on); }

  Stm32Engine* Stm32() const { return stm32_.get(); }
  TLPCFrm* LPCFrm() const { return lpc_.get(); }
  TSTCFrm* STCFrm() const { return stc_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildIspPage();
  void BuildTerminalPage();
  void BuildPrinterPage();
  void BuildAboutPage();
  void BuildStatusBar();
  void ConnectHandlers();
  void ReadSettingsFrom(class SettingsStore& store);
  // After the first refill: the stored name when that device is listed,
  // else the stored position when it is within the list.
  void ApplyStoredPort();
  // Where the window was at the last close (values added after the others).
  void ReadWindowPlace(class SettingsStore& store);
  bool placeRestored_ = false;
  bool OpenMainPort(bool quiet);
  // An unplugged port comes back: reopen it as it was (after a refill).
  void ReopenLostPort(const QStringList& presentPorts);
  QString MoreCauses(const QString& port) const;
 public:
  // True while an unplugged main port is waited for (the log stays open).
  bool WaitingForLostPort() const { return !lostPortName_.isEmpty(); }
  // The port doctor's report on the chosen port, as "串口诊断" shows it.
  QString PortDoctorText() const;
 private:
  // Start folder of a file dialog, and remembering the one chosen there.
  QString DialogFolder(const QString& which, const QString& fallback = QString()) const;
  void RememberDialogFolder(const QString& which, const QString& chosenFile);
  // Memo1 now holds a page text or log lines, not the receive rendering.
  void OnPageTextShown();
  void SetCheck(QCheckBox* box, bool on);  // runs the box's click handler
  void Sleep(int ms);

  // Whether the output area shows the receive store (app/TerminalReceive.cpp).
  struct RxDisplay;
  std::unique_ptr<RxDisplay> rx_;

  QString portOpenError_;  // why the main port last failed to open
  // The jobs of the ISP page: the download button's and the menu's.
 public:
  // What the STC options dialog chose: options to set, EEPROM to program.
  void SetStcExtras(const QMap<QString, QString>& options, const QString& eepromFile, bool eepromInImage);
 private:
  void StartIspJob(IspJob job);
  IspEngine* CurrentEngine() const;
  void JobsMenuTriggered(IspJobKind kind);
  void ResetSeqChange();
  void TakeBackTerminalPort();  // after an STC session on the terminal's port
  // An STM32 or LPC session speaks through the port the terminal holds:
  // the terminal's own line, put back when the session lets go of it.
  struct TerminalLine {
    int speed, dataBits, stopBits, parity;
  };
  std::optional<TerminalLine> lentLine_;
  void LendTerminalPort();
  void GiveBackTerminalPort(bool keepOpen);
  // The port came back from a session: what the board says first is kept
  // even while another page is shown, until the terminal page is.
  bool keepBoardOutput_ = false;
  // The custom reset sequence while "自动复位" is on; false (and the cause
  // shown) when the field holds no sequence.
  bool ApplyResetSequence(IspJob& job);
  void StcOptionsClick();
  void UpdateJobActions();
  QMap<IspJobKind, QAction*> jobActions_;
  QAction* stcOptionsAction_ = nullptr;
  QMap<QString, QString> stcOptions_;  // asked for in the STC options dialog
  QString stcEepromFile_;
  bool stcEepromInImage_ = false;
  // The STC family the options dialog opens on: the one chosen there last,
  // or the one the last STC session met (an int of StcFamily; the list's
  // STC items name STC89 parts).
  int stcFamily_ = 0;
  int sizeLabelFamily_ = -1;  // the family whose file Label10 describes
  int panelBase_[4] = {150, 65, 65, 128};  // status panels' own widths
  void FitCounter(int panel);
  std::unique_ptr<Stm32Engine> stm32_;
  std::unique_ptr<TLPCFrm> lpc_;
  std::unique_ptr<TSTCFrm> stc_;
  bool shown_ = false;
  bool closing_ = false;
  std::optional<int32_t> storedPort_;
  QString storedPortName_;
  // Device nodes coming and going: /dev, and wherever the main port's path
  // and the link it follows live (/dev/pts, /dev/serial/by-id, a user's link).
  QFileSystemWatcher devWatch_;
  void WatchPortPath(const QString& portName);
  QString lostPortName_;        // the main port's name when its device vanished
  QString portIdentity_;        // the open main port's adapter (serial number or USB path)
  QString portLabel_;           // and how the status bar names it
  QString storedPortStable_;    // /dev/serial/by-… link of the port chosen last time
  std::optional<IspJobKind> sessionKind_;  // the job of the session under way
  QString downloadedStamp_;     // stamp of the firmware file when the session started
  std::map<QString, QString> dialogFolders_;
};

// Glyph-carrying label that reports clicks.
class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
  // A label holding a layout (the status bar's strip) needs what the layout needs.
  QSize minimumSizeHint() const override;
 signals:
  void clicked();
 protected:
  void mousePressEvent(QMouseEvent* e) override;
};

// Qt's own texts (context menus, file dialogs, "OK") in Chinese, as the
// window's are: the translations of Debian's Qt 6 translations package.
// False when they are not installed (the texts stay English).
bool LoadQtChineseTexts(QCoreApplication& app);

// A status panel whose text never pushes its neighbours: too long a text is
// cut with an ellipsis instead of widening the panel.
class ElidedLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override;
  QSize sizeHint() const override;
  void setPreferredWidth(int w) { preferred_ = w; updateGeometry(); }
 protected:
  void paintEvent(QPaintEvent* e) override;
 private:
  int preferred_ = 150;
};

// Multi-line text box that reports each key press before it takes the key.
class SendMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  using QPlainTextEdit::QPlainTextEdit;
  std::function<void(int virtualKey)> OnKeyDown;
  // The text as the memo holds it: line breaks as CR LF.
  QString text() const;
  void setText(const QString& t);
 protected:
  void keyPressEvent(QKeyEvent* e) override;
};

// The virtual-key code the original keyboard layer reports for a Qt key
// (letters upper-case, Enter 0x0D, Shift 0x10, Ctrl 0x11, ...); keys of the
// numeric keypad have codes of their own (0x60-0x6F).
int VirtualKeyCode(int qtKey, const QString& text, bool keypad = false);
