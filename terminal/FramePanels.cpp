#include "terminal/FramePanels.h"

#include <QMenu>

#include "app/MainForm.h"
#include "platform/SettingsStore.h"
#include "terminal/FrameWindow.h"

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

FramePanels::~FramePanels() { delete frames_; }

void FramePanels::Received(const uint8_t*, size_t, uint32_t msOfDay) {
  if (log_.Appended(mono_.elapsed(), msOfDay) && frames_) frames_->LogGrew();
  if (log_.PendingBytes() && log_.Rule().mode == SplitRule::Mode::Gap && !tick_.isActive()) tick_.start();
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

void FramePanels::AddSendMenuEntries(QMenu*) {}

void FramePanels::ReadSettings(const SettingsStore&) {}
void FramePanels::WriteSettings(SettingsStore&) const {}
