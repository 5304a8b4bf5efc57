// The terminal page's receive side: store, count, relay and show what the
// main port delivers, clear and save the receive area. The area shows the
// store through rows rendered on demand (terminal/ReceiveRows.h), so a
// receive costs what it brings and a switch of display costs nothing.
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "app/MainForm.h"
#include "app/FramePanels.h"
#include "app/ReceiveDisplay.h"
#include "app/TerminalOptions.h"

namespace {
// Past this count the receive area clears itself.
constexpr int32_t kReceiveClearLimit = 32505856;  // 31 MiB

// The store never holds more than the clear limit and one delivery. It gets
// that much room at once, because growing a block of tens of megabytes
// copies it, and the poll waits while the copy runs. Room never written is
// only address space.
constexpr size_t kStoreRoom = static_cast<size_t>(kReceiveClearLimit) + 4097;
}  // namespace

void TMainForm::OnPageTextShown() {
  if (rx_) rx_->showsStore = false;
}

void TMainForm::ComDriverReceiveData(TKRNCommDriver*, const uint8_t* DataPtr, int32_t DataSize) {
  const size_t n = std::min<size_t>(DataSize > 0 ? static_cast<size_t>(DataSize) : 0, 4097);
  // The log takes every byte the port delivers, before anything can drop it.
  Terminal->LogBytes(DataPtr, n);
  Terminal->FeedPlot(DataPtr, n);
  // The programmers read the driver's own buffer; once a session has given
  // the port back, the board's first words are kept for the terminal page.
  if (PageIndex() != 1 && !keepBoardOutput_) return;
  // Out of sight the area is never cleared: past the limit it waits.
  if (PageIndex() != 1 && ReceiveCounter + static_cast<int64_t>(n) > kReceiveClearLimit) return;
  if (!rx_) rx_ = std::make_unique<RxDisplay>();
  uint8_t local[4097];
  std::memcpy(local, DataPtr, n);
  if (CheckBox9->isChecked()) KRNCommDriver1->SendBytes(local, static_cast<int32_t>(n));
  Terminal->Panels().Heard(local, n);
  if (ReceiveStore.capacity() < kStoreRoom) ReceiveStore.reserve(kStoreRoom);
  ReceiveStore.insert(ReceiveStore.end(), local, local + n);
  ReceiveCounter += static_cast<int32_t>(n);
  if (PageIndex() != 1) {
    // Shown when the terminal page is (CheckHexRXDClick catches up).
    SetStatusText(2, QStringLiteral("R:%1").arg(ReceiveCounter));
    return;
  }
  if (ReceiveCounter > kReceiveClearLimit) {
    BitBtn5Click();
    SetStatusText(2, QStringLiteral("R:%1").arg(ReceiveCounter));
    return;
  }
  SetStatusText(2, QStringLiteral("R:%1").arg(ReceiveCounter));
  ReceiveRows& rows = Terminal->Rows();
  const uint32_t now = Terminal->Clock();
  rows.Appended(now);
  Terminal->Panels().Received(local, n, now);
  if (!rx_->showsStore || Memo1->source() != &rows || rows.Hex() != CheckHexRXD->isChecked()) {
    CheckHexRXDClick();
    return;
  }
  Memo1->rowsChanged();
  if (!Terminal->ScrollLock()) Memo1->scrollToEnd();
}

void TMainForm::CheckHexRXDClick() {
  if (!rx_) rx_ = std::make_unique<RxDisplay>();
  ReceiveRows& rows = Terminal->Rows();
  // With scroll lock on, the view keeps showing the same bytes.
  const bool keepPlace = Terminal->ScrollLock() && rx_->showsStore && Memo1->source() == &rows;
  const size_t topByte = keepPlace ? rows.FirstByteOfRow(Memo1->firstVisibleRow()) : 0;
  rows.Appended(Terminal->Clock());  // bytes stored while another page was shown
  rows.SetHex(CheckHexRXD->isChecked());
  Memo1->setSource(&rows);
  if (keepPlace) Memo1->scrollToRow(rows.RowOfByte(topByte));
  else Memo1->scrollToEnd();
  rx_->showsStore = true;
}

void TMainForm::BitBtn5Click() {
  std::vector<uint8_t>().swap(ReceiveStore);  // give the memory back too
  ReceiveCounter = 0;
  SetStatusText(2, QStringLiteral("R:0"));
  if (!rx_) rx_ = std::make_unique<RxDisplay>();
  ReceiveRows& rows = Terminal->Rows();
  rows.Cleared();
  Terminal->Panels().Cleared();
  rows.SetHex(CheckHexRXD->isChecked());
  Memo1->setSource(&rows);
  rx_->showsStore = true;
}

bool TMainForm::SaveReceiveArea(const QString& fileName) {
  // The save is of what was received: an area that holds a page text or a
  // session's log while the store has data shows the store first.
  if (!ReceiveStore.empty() && !(rx_ && rx_->showsStore)) CheckHexRXDClick();
  QFile f(fileName);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  // What is shown, as shown, a piece at a time: a large history is never
  // rendered whole.
  bool ok = true;
  const TextEncoding enc = Terminal->Encoding();
  Memo1->forEachPiece([&](const QString& piece) {
    const QByteArray bytes = EncodeText(piece, enc);
    ok = ok && f.write(bytes) == bytes.size();
  });
  return ok && f.flush();
}

void TMainForm::BitBtn9Click() {
  QString name = ChooseSaveFile(QStringLiteral("保存接收区"), QStringLiteral("Txt (*.Txt)"), DialogFolder(QStringLiteral("save")));
  if (name.isEmpty()) return;
  RememberDialogFolder(QStringLiteral("save"), name);
  if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".Txt");
  if (!SaveReceiveArea(name))
    ShowMessage(QStringLiteral("Vortana"), QStringLiteral("无法写入文件 %1").arg(name));
}
