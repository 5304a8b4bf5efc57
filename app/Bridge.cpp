// The relay bridge: bytes received on either port are written out of the other.
#include <cstring>

#include "app/MainForm.h"
#include "terminal/BridgeName.h"

void TMainForm::CheckBox9Click() {
  if (!CheckBox9->isChecked()) {
    KRNCommDriver1->Disconnect();
    return;
  }
  KRNCommDriver1->PortName = BridgePortName(ComboBox1->currentText());
  KRNCommDriver1->setComPortSpeed(static_cast<TComPortBaudRate>(ComboBox2->currentIndex()));
  KRNCommDriver1->setComPortDataBits(static_cast<TComPortDataBits>(ComboBox3->currentIndex()));
  KRNCommDriver1->setComPortStopBits(static_cast<TComPortStopBits>(ComboBox4->currentIndex()));
  KRNCommDriver1->setComPortParity(static_cast<TComPortParity>(ComboBox5->currentIndex()));
  KRNCommDriver1->ReceiveCount = 0;
  if (!KRNCommDriver1->Connect()) {
    ShowMessage(QStringLiteral("Vortana"),
                QStringLiteral("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。"));
    SetCheck(CheckBox9, false);
  }
}

void TMainForm::KRNCommDriver1ReceiveData(TKRNCommDriver*, const uint8_t* DataPtr, int32_t DataSize) {
  uint8_t local[4097];
  const size_t n = std::min<size_t>(DataSize > 0 ? static_cast<size_t>(DataSize) : 0, sizeof local);
  std::memcpy(local, DataPtr, n);
  if (CheckBox9->isChecked()) ComDriver_->SendBytes(local, static_cast<int32_t>(n));
}
