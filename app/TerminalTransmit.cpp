// The terminal page's transmit side: the send button in text and hex mode,
// timed sending, send-per-key, loading a file into the send area.
#include <QFile>

#include "app/MainForm.h"
#include "terminal/HexText.h"
#include "app/TerminalOptions.h"

void TMainForm::ReportWriteFailure() {
  ComPort_Close();
  BitBtn3->setText(QStringLiteral("打开串口"));
  ShowMessage(QStringLiteral("Vortana"),
              QStringLiteral("当前串口号操作错误 ！\r请选择其它串口，或检查串口是否已经无效。"));
}

void TMainForm::BitBtn_TXClick() {
  if (!PortOpen) return;
  if (CheckHexTXD->isChecked()) {
    SendHex(Memo2->text());
  } else {
    // The chosen line break stands for the send area's own line breaks and
    // for the one "发送新行" appends; the chosen encoding gives the bytes.
    const TextEncoding enc = Terminal->Encoding();
    const LineEnding end = Terminal->LineEnd();
    QByteArray bytes = EncodeText(WithLineBreaks(Memo2->text(), end), enc);
    if (CheckBox7->isChecked()) bytes += EncodeText(LineBreak(end), enc);
    if (ComDriver_->SendText(bytes) == TKRNCommDriver::kWriteRefused) ReportWriteFailure();
    // The text's own length, read again: the appended line break is not counted.
    SendCounter += static_cast<int32_t>(EncodeText(WithLineBreaks(Memo2->text(), end), enc).size());
    SetStatusText(1, QStringLiteral("S:%1").arg(SendCounter));
  }
  if (CheckBox8->isChecked()) Memo2->clear();
}

void TMainForm::SendHex(const QString& text) {
  const std::vector<uint8_t> bytes = HexDigitsToBytes(text);
  // Longer text than one send buffer holds goes out in several pieces.
  for (auto piece : SplitIntoPieces(bytes)) {
    if (ComDriver_->SendBytes(piece.data(), static_cast<int32_t>(piece.size())) == TKRNCommDriver::kWriteRefused) {
      ReportWriteFailure();
      break;
    }
  }
  SendCounter += static_cast<int32_t>(bytes.size());
  SetStatusText(1, QStringLiteral("S:%1").arg(SendCounter));
}

void TMainForm::CheckHexTXDClick() {
  const bool hex = CheckHexTXD->isChecked();
  CheckBox6->setEnabled(!hex);
  CheckBox7->setEnabled(!hex);
}

void TMainForm::CheckBox5Click() {
  const bool on = CheckBox5->isChecked();
  Edit1->setEnabled(!on);
  Label8->setEnabled(!on);
  if (!on) {
    Timer1.stop();
    return;
  }
  bool ok = false;
  const int interval = Edit1->text().toInt(&ok, 10);
  if (!ok || interval <= 0) {
    // Never run a timer on an interval that is not a positive number.
    Timer1.stop();
    CheckBox5->setChecked(false);
    Edit1->setEnabled(true);
    Label8->setEnabled(true);
    ShowMessage(QStringLiteral("Vortana"), QStringLiteral("定时发送的间隔 \"%1\" 不是有效的数字 (1 ~ 9999 ms)。")
                                               .arg(Edit1->text()));
    return;
  }
  Timer1.start(interval);
}

void TMainForm::Timer1Timer() {
  if (PageIndex() == 1) BitBtn_TXClick();
}

void TMainForm::Edit1Change(QLineEdit* edit) {
  const QString t = edit->text();
  if (t.isEmpty() || t == QStringLiteral("0")) edit->setText(QStringLiteral("1"));
}

void TMainForm::Memo2KeyDown(int virtualKey) {
  if (!CheckBox6->isChecked()) return;
  ComDriver_->SendText(QByteArray(1, static_cast<char>(virtualKey & 0xFF)));
  if (CheckBox8->isChecked()) Memo2->clear();
}

void TMainForm::BitBtn6Click() {
  const QString name = ChooseOpenFile(QStringLiteral("读入文件"), QStringLiteral("TXT (*.TXT *.txt);;ALL (*.*)"),
                                      DialogFolder(QStringLiteral("send")));
  if (name.isEmpty()) return;
  RememberDialogFolder(QStringLiteral("send"), name);
  QFile f(name);
  if (!f.open(QIODevice::ReadOnly)) {
    ShowMessage(QStringLiteral("Vortana"), QStringLiteral("无法读取文件 %1").arg(name));
    return;
  }
  const QString text = DecodeFileText(f.readAll(), Terminal->Encoding());
  Memo2->setToolTip(name);
  Memo2->setText(text);
}

void TMainForm::BitBtn8Click() {
  Memo2->clear();
  SendCounter = 0;
  SetStatusText(1, QStringLiteral("S:0"));
}
