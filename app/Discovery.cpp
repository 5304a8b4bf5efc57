// Refilling the two port lists when serial devices come and go.
#include "app/MainForm.h"
#include "platform/PortDiscovery.h"
#include "platform/SerialAdapter.h"

namespace {

// Each port's adapter, for the open list to show beside the name.
void LabelPorts(QComboBox* box) {
  for (int i = 0; i < box->count(); ++i)
    box->setItemData(i, QString::fromStdString(AdapterOfPort(box->itemText(i).toStdString()).Label()), kPortAdapterRole);
}

}  // namespace

void TMainForm::WMDeviceChange(int eventCode) {
  // Only "device nodes changed"; a burst of them gives one refill, since a
  // running timer is not restarted.
  if (eventCode == 7 && !USB_Change.isActive()) USB_Change.start();
}

void TMainForm::USB_ChangeTimer() {
  USB_Change.stop();
  const QStringList ports = SortedPortList(ListSerialPorts ? ListSerialPorts() : QStringList());
  if (!ports.isEmpty()) {
    ComboBox6->clear();
    ComboBox6->addItems(ports);
    LabelPorts(ComboBox6);
  }
  const int i = ComboBox1->currentIndex();
  ComboBox6->setCurrentIndex(SelectedIndexAfterRefill(i, ComboBox6->count()));
  if (!ports.isEmpty()) {
    ComboBox1->clear();
    ComboBox1->addItems(ports);
    LabelPorts(ComboBox1);
  }
  ComboBox1->setCurrentIndex(ComboBox6->currentIndex());
  ReopenLostPort(ports);
}
