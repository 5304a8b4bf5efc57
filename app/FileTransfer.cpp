#include "app/FileTransfer.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <chrono>

#include "app/MainForm.h"
#include "app/TerminalOptions.h"
#include "terminal/XModem.h"

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Sending(FileTransfer::Kind k) {
  return k == FileTransfer::Kind::SendXmodem || k == FileTransfer::Kind::SendYmodem;
}
bool Ymodem(FileTransfer::Kind k) {
  return k == FileTransfer::Kind::SendYmodem || k == FileTransfer::Kind::ReceiveYmodem;
}

QString ProtocolName(FileTransfer::Kind k) { return Ymodem(k) ? QStringLiteral("YMODEM") : QStringLiteral("XMODEM"); }

// Enough for the protocol's turns; the machine's own deadlines decide.
constexpr int kPumpMs = 10;

}  // namespace

FileTransfer::FileTransfer(TMainForm& form) : QObject(&form), f_(form) {
  oneK_ = new QAction(QStringLiteral("发送用 1K 数据块"), this);
  oneK_->setCheckable(true);
  oneK_->setChecked(true);
  checksum_ = new QAction(QStringLiteral("XMODEM 接收用累加和校验 (不用 CRC)"), this);
  checksum_->setCheckable(true);
  timer_.setInterval(kPumpMs);
  connect(&timer_, &QTimer::timeout, this, [this] { Pump(); });
  ChoosePaths = [this](Kind k) { return DefaultChoose(k); };
  // The receive area's menu keeps its entries; the transfers come after them.
  f_.Memo1->setMenuExtender([this](QMenu* m) {
    f_.Terminal->AddReceiveMenuEntries(m);
    AddMenuEntries(m);
  });
}

// Only the window destroys this, after its port (created first) is gone:
// the port is not touched here.
FileTransfer::~FileTransfer() = default;

void FileTransfer::AddMenuEntries(QMenu* m) {
  QMenu* sub = m->addMenu(QStringLiteral("文件传输"));
  const std::pair<Kind, QString> entries[] = {
      {Kind::SendXmodem, QStringLiteral("发送文件 (XMODEM)…")},
      {Kind::ReceiveXmodem, QStringLiteral("接收文件 (XMODEM)…")},
      {Kind::SendYmodem, QStringLiteral("发送文件 (YMODEM)…")},
      {Kind::ReceiveYmodem, QStringLiteral("接收文件 (YMODEM)…")},
  };
  for (const auto& [kind, text] : entries) {
    QAction* a = sub->addAction(text, this, [this, k = kind] { Choose(k); });
    a->setEnabled(!Running());
  }
  sub->addSeparator();
  sub->addAction(oneK_);
  sub->addAction(checksum_);
}

QStringList FileTransfer::DefaultChoose(Kind k) {
  QWidget* w = f_.window();
  switch (k) {
    case Kind::SendXmodem: {
      const QString f = QFileDialog::getOpenFileName(w, QStringLiteral("发送文件 (XMODEM)"));
      return f.isEmpty() ? QStringList() : QStringList{f};
    }
    case Kind::SendYmodem:
      return QFileDialog::getOpenFileNames(w, QStringLiteral("发送文件 (YMODEM)"));
    case Kind::ReceiveXmodem: {
      const QString f = QFileDialog::getSaveFileName(w, QStringLiteral("接收文件 (XMODEM) 保存为"));
      return f.isEmpty() ? QStringList() : QStringList{f};
    }
    case Kind::ReceiveYmodem: {
      const QString d = QFileDialog::getExistingDirectory(w, QStringLiteral("接收文件 (YMODEM) 存入文件夹"));
      return d.isEmpty() ? QStringList() : QStringList{d};
    }
  }
  return {};
}

void FileTransfer::Choose(Kind k) {
  if (Running()) return;
  const QStringList paths = ChoosePaths(k);
  if (!paths.isEmpty()) Start(k, paths);
}

bool FileTransfer::Start(Kind k, const QStringList& paths) {
  if (Running() || paths.isEmpty()) return false;
  TKRNCommDriver* port = f_.ComDriver_;
  if (!port || !port->IsConnected()) {
    f_.ShowMessage(QStringLiteral("Vortana"), QStringLiteral("请先打开串口，再传输文件"));
    return false;
  }
  if (Sending(k)) {
    std::vector<XferFile> files;
    for (const QString& name : paths) {
      QFile in(name);
      if (!in.open(QIODevice::ReadOnly)) {
        f_.ShowMessage(QStringLiteral("Vortana"), QStringLiteral("无法打开文件 %1: %2").arg(name, in.errorString()));
        return false;
      }
      const QByteArray d = in.readAll();
      files.push_back({QFileInfo(name).fileName().toStdString(), std::vector<uint8_t>(d.begin(), d.end())});
    }
    machine_ = std::make_unique<XmodemSender>(std::move(files), Ymodem(k), oneK_->isChecked());
    receiver_ = nullptr;
  } else {
    if (Ymodem(k) && !QFileInfo(paths[0]).isDir()) {
      f_.ShowMessage(QStringLiteral("Vortana"), QStringLiteral("文件夹不存在: %1").arg(paths[0]));
      return false;
    }
    auto r = std::make_unique<XmodemReceiver>(Ymodem(k), checksum_->isChecked());
    receiver_ = r.get();
    machine_ = std::move(r);
  }
  kind_ = k;
  paths_ = paths;
  lineFailed_ = false;
  storeError_.clear();
  outcome_.clear();

  if (!dialog_) {
    dialog_ = new QDialog(f_.window());
    dialog_->setWindowTitle(QStringLiteral("文件传输"));
    dialog_->setWindowModality(Qt::WindowModal);
    dialog_->setMinimumWidth(360);
    auto* box = new QVBoxLayout(dialog_);
    title_ = new QLabel(dialog_);
    bar_ = new QProgressBar(dialog_);
    state_ = new QLabel(dialog_);
    state_->setWordWrap(true);
    button_ = new QPushButton(dialog_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(button_);
    box->addWidget(title_);
    box->addWidget(bar_);
    box->addWidget(state_);
    box->addLayout(row);
    connect(button_, &QPushButton::clicked, this, [this] {
      if (Running()) Cancel();
      else dialog_->hide();
    });
    // Closing the window while a transfer runs is a cancel too.
    connect(dialog_, &QDialog::rejected, this, [this] { Cancel(); });
  }
  const QString what = Ymodem(k) && Sending(k) && paths.size() > 1
                           ? QStringLiteral("%1 个文件").arg(paths.size())
                           : QFileInfo(paths[0]).fileName();
  what_ = Sending(k) ? QStringLiteral("发送 %1 (%2)").arg(what, ProtocolName(k))
                     : QStringLiteral("接收到 %1 (%2)").arg(what, ProtocolName(k));
  title_->setText(QStringLiteral("正在") + what_);
  button_->setText(QStringLiteral("取消"));
  bar_->setRange(0, 0);
  state_->setText(Sending(k) ? QStringLiteral("等待接收方开始…") : QStringLiteral("等待发送方…"));
  dialog_->show();

  // From here the port's bytes are the transfer's, not the receive area's.
  savedHandler_ = port->OnReceiveData;
  port->OnReceiveData = [this](TKRNCommDriver*, const uint8_t* d, int32_t n) { OnBytes(d, n); };
  machine_->Start(NowMs());
  Flush();
  timer_.start();
  return true;
}

void FileTransfer::OnBytes(const uint8_t* data, int32_t size) {
  if (!machine_ || size <= 0) return;
  machine_->Feed({data, static_cast<size_t>(size)}, NowMs());
  // Answer at once: a peer waits for our ACK before its next block.
  Flush();
  Store();
  // The end is handled outside the port's callback, which must not replace
  // its own handler while it runs.
  if (machine_->status() != XferMachine::Status::Running || lineFailed_)
    QMetaObject::invokeMethod(this, [this] { Pump(); }, Qt::QueuedConnection);
}

bool FileTransfer::Flush() {
  if (!machine_ || lineFailed_) return false;
  const std::vector<uint8_t> out = machine_->TakeOutput();
  if (out.empty()) return true;
  const int32_t n = static_cast<int32_t>(out.size());
  if (f_.ComDriver_->SendBytes(out.data(), n) != n) lineFailed_ = true;
  return !lineFailed_;
}

void FileTransfer::Pump() {
  if (!machine_) return;
  if (!f_.ComDriver_->IsConnected()) lineFailed_ = true;
  if (!lineFailed_) {
    machine_->Tick(NowMs());
    Flush();
    Store();
  }
  if (lineFailed_ || machine_->status() != XferMachine::Status::Running) {
    Finish();
    return;
  }
  ShowProgress();
}

// Files are written as they complete, so a batch cut short keeps the ones done.
void FileTransfer::Store() {
  if (!receiver_ || !storeError_.isEmpty()) return;
  for (XferFile& file : receiver_->TakeFiles()) {
    const QString path = Ymodem(kind_) ? QDir(paths_[0]).filePath(QString::fromStdString(file.name)) : paths_[0];
    QFile out(path);
    const auto size = static_cast<qint64>(file.data.size());
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(reinterpret_cast<const char*>(file.data.data()), size) != size) {
      storeError_ = QStringLiteral("无法写入文件 %1: %2").arg(path, out.errorString());
      machine_->Cancel();
      Flush();
      return;
    }
  }
}

void FileTransfer::ShowProgress() {
  const int64_t done = machine_->bytesDone();
  const int64_t total = machine_->bytesTotal();
  if (total > 0) {
    bar_->setRange(0, 1000);
    bar_->setValue(static_cast<int>(std::min<int64_t>(done, total) * 1000 / total));
    state_->setText(QStringLiteral("%1 / %2 字节").arg(done).arg(total));
  } else if (done > 0) {
    state_->setText(QStringLiteral("%1 字节").arg(done));
  }
}

void FileTransfer::Cancel() {
  if (!machine_) return;
  machine_->Cancel();
  Pump();
}

void FileTransfer::Finish() {
  timer_.stop();
  // The last ACK or the CANs still have to reach the other side.
  Flush();
  Store();
  f_.ComDriver_->OnReceiveData = savedHandler_;
  const bool ok = !lineFailed_ && storeError_.isEmpty() && machine_->status() == XferMachine::Status::Done;
  if (lineFailed_) outcome_ = QStringLiteral("串口已断开，传输失败");
  else if (!storeError_.isEmpty()) outcome_ = storeError_;
  else if (!ok) outcome_ = machine_->cause();
  else outcome_ = QStringLiteral("传输完成，%1 字节").arg(machine_->bytesDone());
  if (ok) {
    bar_->setRange(0, 1);
    bar_->setValue(1);
  }
  title_->setText(what_);
  state_->setText(outcome_);
  button_->setText(QStringLiteral("关闭"));
  f_.ShowStatus(outcome_);
  machine_.reset();
  receiver_ = nullptr;
  if (Ended) Ended(ok);
}
