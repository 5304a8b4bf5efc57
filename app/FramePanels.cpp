#include "app/FramePanels.h"

#include <QMenu>

#include "app/MainForm.h"
#include "platform/SettingsStore.h"
#include "terminal/HexText.h"
#include "app/FrameWindow.h"
#include "app/ModbusWindow.h"
#include "app/SendListWindow.h"
#include "app/TerminalOptions.h"

#include <QShortcut>

namespace {
constexpr int kTickMs = 5;
}

FramePanels::FramePanels(TMainForm& form) : QObject(&form), f_(form), log_(form.ReceiveStore) {
  mono_.start();
  tick_.setInterval(kTickMs);
  connect(&tick_, &QTimer::timeout, this, [this] {
    if (log_.Tick(mono_.elapsed()) && frames_) frames_->LogGrew();
    if (log_.PendingBytes() == 0) tick_.stop();
  });
}

FramePanels::~FramePanels() {
  delete frames_;
  delete sendWindow_;
  delete modbus_;
}

void FramePanels::Heard(const uint8_t* data, size_t n) {
  if (modbus_) modbus_->Received(data, n);
}

void FramePanels::Received(const uint8_t*, size_t, uint32_t msOfDay) {
  if (log_.Appended(mono_.elapsed(), msOfDay) && frames_) frames_->LogGrew();
  const auto mode = log_.Rule().mode;
  if (log_.PendingBytes() && (mode == SplitRule::Mode::Gap || mode == SplitRule::Mode::Modbus) && !tick_.isActive())
    tick_.start();
}

void FramePanels::Cleared() {
  log_.Cleared();
  if (frames_) frames_->LogReset();
}

FrameWindow* FramePanels::ShowFrames() {
  if (!frames_) {
    frames_ = new FrameWindow(log_, nullptr);
    frames_->setAttribute(Qt::WA_QuitOnClose, false);
  }
  frames_->show();
  frames_->raise();
  frames_->activateWindow();
  return frames_;
}

void FramePanels::AddReceiveMenuEntries(QMenu* m) {
  m->addSeparator();
  m->addAction(QStringLiteral("帧视图…"), this, [this] { ShowFrames(); });
}

bool FramePanels::Send(const std::vector<uint8_t>& bytes) {
  if (!f_.PortOpen) return false;
  for (auto piece : SplitIntoPieces(bytes)) {
    if (f_.ComDriver_->SendBytes(piece.data(), static_cast<int32_t>(piece.size())) == TKRNCommDriver::kWriteRefused) {
      f_.ReportWriteFailure();
      return false;
    }
  }
  f_.SendCounter += static_cast<int32_t>(bytes.size());
  f_.SetStatusText(1, QStringLiteral("S:%1").arg(f_.SendCounter));
  return true;
}

ModbusWindow* FramePanels::ShowModbus() {
  if (!modbus_) {
    modbus_ = new ModbusWindow([this](const std::vector<uint8_t>& b) { return Send(b); }, nullptr);
    modbus_->setAttribute(Qt::WA_QuitOnClose, false);
  }
  modbus_->show();
  modbus_->raise();
  modbus_->activateWindow();
  return modbus_;
}

SendListWindow* FramePanels::ShowSendList() {
  if (!sendWindow_) {
    sendWindow_ = new SendListWindow(
        sendList_, [this](const std::vector<uint8_t>& b) { return Send(b); },
        [this] { return std::make_pair(f_.Terminal->Encoding(), f_.Terminal->LineEnd()); }, [this] { RebuildShortcuts(); }, nullptr);
    sendWindow_->setAttribute(Qt::WA_QuitOnClose, false);
  }
  sendWindow_->show();
  sendWindow_->raise();
  sendWindow_->activateWindow();
  return sendWindow_;
}

void FramePanels::RebuildShortcuts() {
  for (QShortcut* s : shortcuts_) delete s;
  shortcuts_.clear();
  for (size_t i = 0; i < sendList_.size(); ++i) {
    const QKeySequence key(sendList_[i].shortcut);
    if (key.isEmpty()) continue;
    auto* s = new QShortcut(key, &f_);
    s->setContext(Qt::ApplicationShortcut);
    connect(s, &QShortcut::activated, this, [this, i] {
      if (i >= sendList_.size()) return;
      if (sendWindow_) sendWindow_->SendEntryAt(static_cast<int>(i));
      else Send(EntryBytes(sendList_[i], f_.Terminal->Encoding(), f_.Terminal->LineEnd()));
    });
    shortcuts_.push_back(s);
  }
}

void FramePanels::AddSendMenuEntries(QMenu* m) {
  m->addSeparator();
  m->addAction(QStringLiteral("发送列表…"), this, [this] { ShowSendList(); });
  m->addAction(QStringLiteral("Modbus 主站…"), this, [this] { ShowModbus(); });
}

void FramePanels::ReadSettings(const SettingsStore& store) {
  if (auto v = store.ReadString(QStringLiteral("SendList")); v && !v->isEmpty()) {
    QString error;
    std::vector<SendEntry> list;
    if (SendListFromJson(*v, &list, &error)) sendList_ = std::move(list);
  }
  if (sendWindow_) sendWindow_->Reload();
  RebuildShortcuts();
}

void FramePanels::WriteSettings(SettingsStore& store) const {
  store.WriteString(QStringLiteral("SendList"), SendListToJson(sendList_, false));
}
