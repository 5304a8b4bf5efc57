#include "app/TerminalOptions.h"

#include <QBoxLayout>
#include <QFile>
#include <QMenu>

#include "app/PlotPanel.h"
#include <QShortcut>
#include <QTime>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/MainForm.h"
#include "platform/SettingsStore.h"
#include "app/FramePanels.h"
#include "app/ModemLamps.h"

namespace {
// Modem lines are sampled this often, well inside the 100 ms a lamp may lag.
constexpr int kLinePollMs = 40;
}  // namespace

TerminalOptions::TerminalOptions(TMainForm& form) : QObject(&form), f_(form), rows_(form.ReceiveStore) {
  Clock = [] { return static_cast<uint32_t>(QTime::currentTime().msecsSinceStartOfDay()); };

  scrollLock_ = new QAction(QStringLiteral("滚动锁定"), this);
  scrollLock_->setCheckable(true);
  scrollLock_->setShortcut(QKeySequence(Qt::Key_ScrollLock));
  connect(scrollLock_, &QAction::triggered, this, [this](bool on) { SetScrollLock(on); });
  timestamps_ = new QAction(QStringLiteral("显示时间戳"), this);
  timestamps_->setCheckable(true);
  connect(timestamps_, &QAction::triggered, this, [this](bool on) { SetTimestamps(on); });
  log_ = new QAction(QStringLiteral("记录到文件…"), this);
  connect(log_, &QAction::triggered, this, [this] {
    if (Logging()) StopLog();
    else ChooseLogFile();
  });

  doctor_ = new QAction(QStringLiteral("串口诊断"), this);
  connect(doctor_, &QAction::triggered, this,
          [this] { f_.ShowMessage(QStringLiteral("串口诊断"), f_.PortDoctorText()); });

  encodingGroup_ = new QActionGroup(this);
  const char* const encodings[] = {"GBK", "UTF-8"};
  for (int i = 0; i < 2; ++i) {
    encodingAction_[i] = encodingGroup_->addAction(QString::fromLatin1(encodings[i]));
    encodingAction_[i]->setCheckable(true);
    connect(encodingAction_[i], &QAction::triggered, this, [this, i] { SetEncoding(static_cast<TextEncoding>(i)); });
  }
  encodingAction_[0]->setChecked(true);
  lineEndGroup_ = new QActionGroup(this);
  const char* const endings[] = {"CR LF", "LF", "CR"};
  for (int i = 0; i < 3; ++i) {
    lineEndAction_[i] = lineEndGroup_->addAction(QString::fromLatin1(endings[i]));
    lineEndAction_[i]->setCheckable(true);
    connect(lineEndAction_[i], &QAction::triggered, this, [this, i] { SetLineEnding(static_cast<LineEnding>(i)); });
  }
  lineEndAction_[0]->setChecked(true);

  // The window's shortcuts work wherever the focus is.
  f_.addAction(scrollLock_);
  auto* find = new QShortcut(QKeySequence::Find, &f_);
  connect(find, &QShortcut::activated, this, [this] { f_.Memo1->showFindBar(); });

  f_.Memo1->setMenuExtender([this](QMenu* m) { AddReceiveMenuEntries(m); });
  f_.Memo2->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(f_.Memo2, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    std::unique_ptr<QMenu> menu(f_.Memo2->createStandardContextMenu());
    AddSendMenuEntries(menu.get());
    menu->exec(f_.Memo2->mapToGlobal(at));
  });

  // The status bar's free end, right of the clock.
  lamps_ = new ModemLamps(f_.StatusBar1);
  lamps_->setAttribute(Qt::WA_TransparentForMouseEvents);
  if (auto* panels = qobject_cast<QBoxLayout*>(f_.StatusBar1->layout())) panels->addWidget(lamps_);
  else lamps_->setGeometry(410, 1, 128, 20);
  watched_ = f_.ComDriver_;
  lineTimer_.setInterval(kLinePollMs);
  connect(&lineTimer_, &QTimer::timeout, this, [this] { PollLines(); });
  lineTimer_.start();
  panels_ = new FramePanels(f_);
}

// The window's widgets may be gone by now: only the file is closed.
TerminalOptions::~TerminalOptions() {
  if (logFd_ >= 0) ::close(logFd_);
}

void TerminalOptions::AddReceiveMenuEntries(QMenu* m) {
  m->addSeparator();
  m->addAction(scrollLock_);
  m->addAction(timestamps_);
  QMenu* enc = m->addMenu(QStringLiteral("编码"));
  enc->addActions(encodingGroup_->actions());
  m->addSeparator();
  log_->setText(Logging() ? QStringLiteral("停止记录 (%1)").arg(logPath_) : QStringLiteral("记录到文件…"));
  m->addAction(log_);
  m->addSeparator();
  m->addAction(doctor_);
  panels_->AddReceiveMenuEntries(m);
  m->addAction(QStringLiteral("实时曲线…"), this, [this] { ShowPlot(); });
}

void TerminalOptions::ShowPlot() {
  if (!plot_) plot_ = new PlotPanel(f_.window());
  plot_->show();
  plot_->raise();
}

void TerminalOptions::FeedPlot(const uint8_t* data, size_t size) {
  if (plot_ && plot_->isVisible()) plot_->Feed(data, size);
}

void TerminalOptions::AddSendMenuEntries(QMenu* m) {
  m->addSeparator();
  QMenu* ends = m->addMenu(QStringLiteral("行尾"));
  ends->addActions(lineEndGroup_->actions());
  QMenu* enc = m->addMenu(QStringLiteral("编码"));
  enc->addActions(encodingGroup_->actions());
  panels_->AddSendMenuEntries(m);
}

void TerminalOptions::ShowRowsAgain() {
  if (f_.Memo1->source() != &rows_) return;
  f_.Memo1->relayout();
  if (!ScrollLock()) f_.Memo1->scrollToEnd();
}

void TerminalOptions::SetScrollLock(bool on) {
  scrollLock_->setChecked(on);
  if (!on && f_.Memo1->source() == &rows_) f_.Memo1->scrollToEnd();
}

void TerminalOptions::SetTimestamps(bool on) {
  timestamps_->setChecked(on);
  if (on == rows_.Timestamps()) return;
  rows_.SetTimestamps(on);
  ShowRowsAgain();
}

void TerminalOptions::SetEncoding(TextEncoding e) {
  encodingAction_[static_cast<int>(e)]->setChecked(true);
  if (e == rows_.Encoding()) return;
  rows_.SetEncoding(e);
  if (!rows_.Hex()) ShowRowsAgain();
}

void TerminalOptions::SetLineEnding(LineEnding e) {
  lineEnd_ = e;
  lineEndAction_[static_cast<int>(e)]->setChecked(true);
}

// ---- Logging ----

void TerminalOptions::ChooseLogFile() {
  const QString name = f_.ChooseSaveFile(QStringLiteral("记录到文件"), QStringLiteral("Log (*.log *.txt *.bin);;ALL (*)"),
                                         lastLogPath_);
  if (!name.isEmpty()) StartLog(name);
}

bool TerminalOptions::StartLog(const QString& path) {
  StopLog();
  const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    f_.ShowMessage(QStringLiteral("Vortana"),
                   QStringLiteral("无法打开记录文件 %1\r%2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return false;
  }
  logFd_ = fd;
  logPath_ = lastLogPath_ = path;
  logged_ = 0;
  f_.SetStatusText(0, QStringLiteral("记录到 %1").arg(path));
  return true;
}

void TerminalOptions::StopLog(const QString& why) {
  if (logFd_ < 0) return;
  ::close(logFd_);
  logFd_ = -1;
  f_.SetStatusText(0, why.isEmpty() ? QStringLiteral("记录结束 %1 (%2 字节)").arg(logPath_).arg(logged_) : why);
}

void TerminalOptions::LogBytes(const uint8_t* data, size_t size) {
  if (logFd_ < 0 || size == 0) return;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(logFd_, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // The log stops; the terminal goes on. The message waits until the
    // receive that met the error has finished.
    const QString error = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
    const QString path = logPath_;
    StopLog(QStringLiteral("记录已停止：写入失败"));
    QTimer::singleShot(0, &f_, [this, path, error] {
      f_.ShowMessage(QStringLiteral("Vortana"), QStringLiteral("写入记录文件 %1 失败，记录已停止。\r%2").arg(path, error));
    });
    return;
  }
  logged_ += size;
}

// ---- Modem lines ----

void TerminalOptions::PollLines() {
  const bool open = watched_ && watched_->IsConnected();
  // The port closing ends the log (one started while it was closed waits for
  // it to open and close).
  const bool mainOpen = f_.ComDriver_->IsConnected();
  // An unplugged adapter that is waited for keeps the log: it goes on
  // when the same adapter is back.
  if (Logging() && mainWasOpen_ && !mainOpen && !f_.WaitingForLostPort()) StopLog();
  mainWasOpen_ = mainOpen;
  lamps_->Show(open ? watched_->ModemLines() : -1);
}

// ---- Settings ----

void TerminalOptions::ReadSettings(const SettingsStore& store) {
  // Each value on its own: one that is missing or of another type keeps its default.
  if (auto v = store.ReadBool(QStringLiteral("ScrollLock"))) SetScrollLock(*v);
  if (auto v = store.ReadBool(QStringLiteral("TimeStamp"))) SetTimestamps(*v);
  if (auto v = store.ReadInteger(QStringLiteral("Encoding")); v && *v >= 0 && *v <= 1)
    SetEncoding(static_cast<TextEncoding>(*v));
  if (auto v = store.ReadInteger(QStringLiteral("LineEnd")); v && *v >= 0 && *v <= 2)
    SetLineEnding(static_cast<LineEnding>(*v));
  if (store.HasValue(QStringLiteral("LogFile")))
    if (auto v = store.ReadString(QStringLiteral("LogFile"))) lastLogPath_ = *v;
  panels_->ReadSettings(store);
}

void TerminalOptions::WriteSettings(SettingsStore& store) const {
  store.WriteBool(QStringLiteral("ScrollLock"), ScrollLock());
  store.WriteBool(QStringLiteral("TimeStamp"), Timestamps());
  store.WriteInteger(QStringLiteral("Encoding"), static_cast<int32_t>(Encoding()));
  store.WriteInteger(QStringLiteral("LineEnd"), static_cast<int32_t>(lineEnd_));
  store.WriteString(QStringLiteral("LogFile"), lastLogPath_);
}

void TerminalOptions::WriteLaterSettings(SettingsStore& store) const { panels_->WriteSettings(store); }
