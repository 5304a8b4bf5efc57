// XMODEM and YMODEM from the terminal page: entries in the receive area's
// menu, a small progress window with a cancel button, and the main port's
// bytes handed to the transfer instead of the receive area while it runs.
// The protocol is the state machines vortana-term drives (terminal/XModem.h);
// this only feeds them the port and the clock and shows where they are.
#pragma once

#include <QDialog>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

#include "serial/PollingComm.h"

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class TMainForm;
class XferMachine;
class XmodemReceiver;

class FileTransfer : public QObject {
  Q_OBJECT
 public:
  enum class Kind { SendXmodem, ReceiveXmodem, SendYmodem, ReceiveYmodem };

  explicit FileTransfer(TMainForm& form);
  ~FileTransfer() override;

  void AddMenuEntries(QMenu* menu);
  // Asks for the files (or the file or folder to receive into) and starts.
  void Choose(Kind kind);
  // Starts on the open main port: the files to send, the file an XMODEM
  // receive writes, or the folder a YMODEM receive fills. False, with a
  // message, when it cannot start.
  bool Start(Kind kind, const QStringList& paths);
  bool Running() const { return machine_ != nullptr; }
  // The user gives up: CAN CAN goes out and the transfer ends.
  void Cancel();

  // The choices the protocol offers: 1K blocks when sending, the additive
  // checksum instead of CRC when receiving XMODEM.
  QAction* OneKAction() const { return oneK_; }
  QAction* ChecksumAction() const { return checksum_; }
  // The progress window; stays up after the end with the outcome last.
  QDialog* Window() const { return dialog_; }
  QString Outcome() const { return outcome_; }
  QPushButton* CancelButton() const { return button_; }

  // File choosers; tests replace them. Empty means the user chose nothing.
  std::function<QStringList(Kind)> ChoosePaths;
  // Called once when a transfer ends, true when it completed.
  std::function<void(bool)> Ended;

 private:
  void OnBytes(const uint8_t* data, int32_t size);
  void Pump();
  bool Flush();
  void Store();
  void Finish();
  void ShowProgress();
  QStringList DefaultChoose(Kind kind);

  TMainForm& f_;
  QAction* oneK_ = nullptr;
  QAction* checksum_ = nullptr;
  QDialog* dialog_ = nullptr;
  QLabel* title_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QLabel* state_ = nullptr;
  QPushButton* button_ = nullptr;
  QTimer timer_;

  std::unique_ptr<XferMachine> machine_;
  XmodemReceiver* receiver_ = nullptr;
  Kind kind_ = Kind::SendXmodem;
  QStringList paths_;
  QString what_;  // "发送 a.bin (XMODEM)"
  TComPortReceiveDataEvent savedHandler_;
  bool lineFailed_ = false;
  QString storeError_;
  QString outcome_;
};
