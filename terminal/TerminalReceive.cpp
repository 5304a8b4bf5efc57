// The terminal page's receive side: store, count, relay and show what the
// main port delivers, clear and save the receive area.
#include <QFile>
#include <QFileInfo>

#include <cstring>

#include "app/MainForm.h"
#include "platform/Gbk.h"
#include "terminal/ReceiveDisplay.h"

namespace {
// Past this count the receive area clears itself.
constexpr int32_t kReceiveClearLimit = 32505856;  // 31 MiB
}  // namespace

void TMainForm::OnPageTextShown() {
  if (rx_) rx_->showsStore = false;
}

void TMainForm::ComDriverReceiveData(TKRNCommDriver*, const uint8_t* DataPtr, int32_t DataSize) {
  if (PageIndex() != 1) return;  // the programmers read the driver's own buffer
  if (!rx_) rx_ = std::make_unique<RxDisplay>();
  uint8_t local[4097];
  const size_t n = std::min<size_t>(DataSize > 0 ? static_cast<size_t>(DataSize) : 0, sizeof local);
  std::memcpy(local, DataPtr, n);
  if (CheckBox9->isChecked()) KRNCommDriver1->SendBytes(local, static_cast<int32_t>(n));
  ReceiveStore.insert(ReceiveStore.end(), local, local + n);
  ReceiveCounter += static_cast<int32_t>(n);
  bool cleared = false;
  if (ReceiveCounter > kReceiveClearLimit) {
    BitBtn5Click();
    cleared = true;
  }
  SetStatusText(2, QStringLiteral("R:%1").arg(ReceiveCounter));
  if (cleared) return;
  // Only the new bytes are rendered and appended while the area shows the
  // store in the current mode; anything else needs the whole rendering.
  if (!rx_->showsStore || rx_->hex != CheckHexRXD->isChecked()) {
    CheckHexRXDClick();
    return;
  }
  Memo1->appendText(rx_->hex ? ReceiveRenderer::RenderHex(local, n) : rx_->renderer.RenderTextIncrement(local, n));
  Memo1->scrollToEnd();
}

void TMainForm::CheckHexRXDClick() {
  if (!rx_) rx_ = std::make_unique<RxDisplay>();
  rx_->hex = CheckHexRXD->isChecked();
  Memo1->setPlainText(rx_->hex ? ReceiveRenderer::RenderHex(ReceiveStore.data(), ReceiveStore.size())
                               : rx_->renderer.RebuildText(ReceiveStore.data(), ReceiveStore.size()));
  Memo1->scrollToEnd();
  rx_->showsStore = true;
}

void TMainForm::BitBtn5Click() {
  std::vector<uint8_t>().swap(ReceiveStore);  // give the memory back too
  Memo1->clear();
  ReceiveCounter = 0;
  SetStatusText(2, QStringLiteral("R:0"));
  if (!rx_) rx_ = std::make_unique<RxDisplay>();
  rx_->renderer.Reset();
  rx_->hex = CheckHexRXD->isChecked();
  rx_->showsStore = true;
}

bool TMainForm::SaveReceiveArea(const QString& fileName) {
  QFile f(fileName);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray bytes = EncodeGbk(Memo1->toPlainText());
  return f.write(bytes) == bytes.size();
}

void TMainForm::BitBtn9Click() {
  QString name = ChooseSaveFile(QStringLiteral("保存接收区"), QStringLiteral("Txt (*.Txt)"), QString());
  if (name.isEmpty()) return;
  if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".Txt");
  if (!SaveReceiveArea(name))
    ShowMessage(QStringLiteral("Vortana"), QStringLiteral("无法写入文件 %1").arg(name));
}
