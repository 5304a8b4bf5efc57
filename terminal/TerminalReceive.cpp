// The terminal page's receive side: store, count, relay and show what the
// main port delivers, clear and save the receive area.
#include <QFile>
#include <QFileInfo>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "app/MainForm.h"
#include "platform/Gbk.h"
#include "terminal/ReceiveDisplay.h"

namespace {
// Past this count the receive area clears itself.
constexpr int32_t kReceiveClearLimit = 32505856;  // 31 MiB

// The store never holds more than the clear limit and one delivery, and its
// rendering never more than three characters per byte. Both are given that
// much room at once, because growing a block of tens or hundreds of megabytes
// copies it, and the poll waits while the copy runs (long enough at the
// fastest line rates for the device's queue to overflow). Room that is never
// written is only address space: memory in use stays what the store needs.
constexpr size_t kStoreRoom = static_cast<size_t>(kReceiveClearLimit) + 4097;

size_t TextRoom(bool hex, size_t storeSize) {
  const size_t bytes = std::max(storeSize, kStoreRoom);
  return hex ? bytes * 3 : bytes + 1;
}

// An empty text with room for `chars` characters. A rebuild writes much of it
// in one pass; faulting that in as small pages takes most of the rebuild's
// time, so the block asks for huge pages (ignored where there are none).
QString LargeText(size_t chars) {
  QString s;
  s.reserve(static_cast<qsizetype>(chars));
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const size_t bytes = chars * sizeof(char16_t);
  if (bytes >= 4 * kHuge) {
    const auto begin = reinterpret_cast<uintptr_t>(s.constData());
    const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t last = (begin + bytes) & ~(kHuge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
  return s;
}

QString WholeHex(const std::vector<uint8_t>& store) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  QString out = LargeText(TextRoom(true, store.size()));
  out.resize(static_cast<qsizetype>(store.size() * 3));
  char16_t* dst = reinterpret_cast<char16_t*>(out.data());
  for (const uint8_t b : store) {
    dst[0] = kDigits[b >> 4];
    dst[1] = kDigits[b & 0x0F];
    dst[2] = u' ';
    dst += 3;
  }
  return out;
}
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
  if (ReceiveStore.capacity() < kStoreRoom) ReceiveStore.reserve(kStoreRoom);
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
  if (rx_->hex) {
    Memo1->setPlainText(WholeHex(ReceiveStore));
  } else {
    // Decoded into one block sized for the worst case (one character per
    // byte, plus one for a lead byte without its trail).
    QString text = LargeText(TextRoom(false, ReceiveStore.size()));
    GbkDecoder decoder;
    decoder.Decode(ReceiveStore.data(), ReceiveStore.size(), text, /*skipZeros=*/true);
    // The next increment continues where the whole store ends: with the lead
    // byte still waiting, which is the last byte that is not 0.
    rx_->renderer.Reset();
    if (decoder.HasPending()) {
      auto last = ReceiveStore.rbegin();
      while (*last == 0) ++last;
      rx_->renderer.RenderTextIncrement(&*last, 1);
    }
    Memo1->setPlainText(text);
  }
  Memo1->scrollToEnd();
  rx_->showsStore = true;
}

void TMainForm::BitBtn5Click() {
  std::vector<uint8_t>().swap(ReceiveStore);  // give the memory back too
  // Empty, with room for what the next receives append.
  Memo1->setPlainText(LargeText(TextRoom(CheckHexRXD->isChecked(), 0)));
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
  QString name = ChooseSaveFile(QStringLiteral("保存接收区"), QStringLiteral("Txt (*.Txt)"), DialogFolder(QStringLiteral("save")));
  if (name.isEmpty()) return;
  RememberDialogFolder(QStringLiteral("save"), name);
  if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".Txt");
  if (!SaveReceiveArea(name))
    ShowMessage(QStringLiteral("Vortana"), QStringLiteral("无法写入文件 %1").arg(name));
}
