#include "app/SendListWindow.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>

SendListWindow::SendListWindow(std::vector<SendEntry>& list, std::function<bool(const std::vector<uint8_t>&)> send,
                               std::function<std::pair<TextEncoding, LineEnding>()> encoding, std::function<void()> changed, QWidget* parent)
    : QWidget(parent, Qt::Window), list_(list), send_(std::move(send)), encoding_(std::move(encoding)),
      changed_(std::move(changed)) {
  setWindowTitle(QStringLiteral("发送列表"));
  names_ = new QListWidget;
  names_->setToolTip(QStringLiteral("双击发送"));
  name_ = new QLineEdit;
  data_ = new QPlainTextEdit;
  data_->setTabChangesFocus(true);
  hex_ = new QCheckBox(QStringLiteral("十六进制"));
  sum_ = new QComboBox;
  for (ChecksumKind k : kChecksumKinds) sum_->addItem(ChecksumName(k), static_cast<int>(k));
  order_ = new QComboBox;
  order_->addItems({QStringLiteral("高字节在前"), QStringLiteral("低字节在前")});
  skip_ = new QSpinBox;
  skip_->setRange(0, 64);
  skip_->setToolTip(QStringLiteral("开头不计入校验的字节数（如帧头）"));
  delay_ = new QSpinBox;
  delay_->setRange(1, 3600000);
  delay_->setSuffix(QStringLiteral(" ms"));
  key_ = new QKeySequenceEdit;
  preview_ = new QLabel;
  preview_->setWordWrap(true);
  preview_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_ = new QLabel;

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("名称"), name_);
  form->addRow(QStringLiteral("数据"), data_);
  form->addRow(QString(), hex_);
  auto* sumRow = new QHBoxLayout;
  sumRow->addWidget(sum_, 1);
  sumRow->addWidget(order_);
  form->addRow(QStringLiteral("校验"), sumRow);
  form->addRow(QStringLiteral("跳过帧头"), skip_);
  form->addRow(QStringLiteral("序列延时"), delay_);
  form->addRow(QStringLiteral("快捷键"), key_);
  form->addRow(QStringLiteral("发送字节"), preview_);

  auto* add = new QPushButton(QStringLiteral("新建"));
  auto* remove = new QPushButton(QStringLiteral("删除"));
  auto* sendOne = new QPushButton(QStringLiteral("发送"));
  auto* sequence = new QPushButton(QStringLiteral("序列发送"));
  auto* stop = new QPushButton(QStringLiteral("停止"));
  repeat_ = new QCheckBox(QStringLiteral("循环"));
  auto* exportButton = new QPushButton(QStringLiteral("导出…"));
  auto* importButton = new QPushButton(QStringLiteral("导入…"));
  auto* buttons = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{add, remove, sendOne, sequence, repeat_, stop, exportButton, importButton})
    buttons->addWidget(w);
  buttons->addStretch(1);

  auto* body = new QHBoxLayout;
  body->addWidget(names_, 1);
  body->addLayout(form, 2);
  auto* lay = new QVBoxLayout(this);
  lay->addLayout(body, 1);
  lay->addLayout(buttons);
  lay->addWidget(status_);

  connect(names_, &QListWidget::currentRowChanged, this, [this](int row) { ShowEntry(row); });
  connect(names_, &QListWidget::itemDoubleClicked, this, [this] { SendEntryAt(names_->currentRow()); });
  auto store = [this] { StoreEntry(); };
  connect(name_, &QLineEdit::textEdited, this, store);
  connect(data_, &QPlainTextEdit::textChanged, this, store);
  connect(hex_, &QCheckBox::toggled, this, store);
  connect(sum_, &QComboBox::currentIndexChanged, this, store);
  connect(order_, &QComboBox::currentIndexChanged, this, store);
  connect(skip_, &QSpinBox::valueChanged, this, store);
  connect(delay_, &QSpinBox::valueChanged, this, store);
  connect(key_, &QKeySequenceEdit::editingFinished, this, store);
  connect(add, &QPushButton::clicked, this, [this] { AddEntry(); });
  connect(remove, &QPushButton::clicked, this, [this] { RemoveEntry(); });
  connect(sendOne, &QPushButton::clicked, this, [this] { SendEntryAt(names_->currentRow()); });
  connect(sequence, &QPushButton::clicked, this, [this] { StartSequence(); });
  connect(stop, &QPushButton::clicked, this, [this] { StopSequence(); });
  auto choose = [this](bool save) {
    if (ChooseFile) return ChooseFile(save);
    const QString filter = QStringLiteral("发送列表 (*.json)");
    return save ? QFileDialog::getSaveFileName(this, QStringLiteral("导出发送列表"), QString(), filter)
                : QFileDialog::getOpenFileName(this, QStringLiteral("导入发送列表"), QString(), filter);
  };
  connect(exportButton, &QPushButton::clicked, this, [this, choose] {
    const QString path = choose(true);
    if (!path.isEmpty()) Export(path);
  });
  connect(importButton, &QPushButton::clicked, this, [this, choose] {
    const QString path = choose(false);
    if (!path.isEmpty()) Import(path);
  });
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
  resize(720, 420);
  Reload();
}

void SendListWindow::Reload() {
  loading_ = true;
  const int keep = names_->currentRow();
  names_->clear();
  for (const SendEntry& e : list_) names_->addItem(e.name);
  loading_ = false;
  names_->setCurrentRow(list_.empty() ? -1 : std::clamp(keep, 0, static_cast<int>(list_.size()) - 1));
  ShowEntry(names_->currentRow());
}

void SendListWindow::ShowEntry(int row) {
  loading_ = true;
  const bool have = row >= 0 && row < static_cast<int>(list_.size());
  const SendEntry e = have ? list_[static_cast<size_t>(row)] : SendEntry{};
  for (QWidget* w : std::initializer_list<QWidget*>{name_, data_, hex_, sum_, order_, skip_, delay_, key_})
    w->setEnabled(have);
  name_->setText(e.name);
  data_->setPlainText(e.data);
  hex_->setChecked(e.hex);
  sum_->setCurrentIndex(sum_->findData(static_cast<int>(e.checksum)));
  order_->setCurrentIndex(e.littleEndian ? 1 : 0);
  skip_->setValue(e.skipHead);
  delay_->setValue(e.delayMs);
  key_->setKeySequence(QKeySequence(e.shortcut));
  loading_ = false;
  QString error;
  const auto bytes = have ? EntryBytes(e, encoding_().first, encoding_().second, &error) : std::vector<uint8_t>();
  QString hex;
  for (uint8_t b : bytes) hex += QString::asprintf("%02X ", b);
  preview_->setText(error.isEmpty() ? hex.trimmed() : error);
}

void SendListWindow::StoreEntry() {
  const int row = names_->currentRow();
  if (loading_ || row < 0 || row >= static_cast<int>(list_.size())) return;
  SendEntry& e = list_[static_cast<size_t>(row)];
  e.name = name_->text();
  e.data = data_->toPlainText();
  e.hex = hex_->isChecked();
  e.checksum = static_cast<ChecksumKind>(sum_->currentData().toInt());
  e.littleEndian = order_->currentIndex() == 1;
  e.skipHead = skip_->value();
  e.delayMs = delay_->value();
  e.shortcut = key_->keySequence().toString(QKeySequence::PortableText);
  if (QListWidgetItem* item = names_->item(row)) item->setText(e.name);
  ShowEntry(row);
  if (changed_) changed_();
}

void SendListWindow::AddEntry() {
  SendEntry e;
  e.name = QStringLiteral("条目 %1").arg(list_.size() + 1);
  list_.push_back(e);
  names_->addItem(e.name);
  names_->setCurrentRow(static_cast<int>(list_.size()) - 1);
  if (changed_) changed_();
}

void SendListWindow::RemoveEntry() {
  const int row = names_->currentRow();
  if (row < 0 || row >= static_cast<int>(list_.size())) return;
  StopSequence();
  list_.erase(list_.begin() + row);
  Reload();
  if (changed_) changed_();
}

bool SendListWindow::SendEntryAt(int row) {
  if (row < 0 || row >= static_cast<int>(list_.size())) return false;
  const SendEntry& e = list_[static_cast<size_t>(row)];
  QString error;
  const auto bytes = EntryBytes(e, encoding_().first, encoding_().second, &error);
  if (!error.isEmpty()) {
    status_->setText(error);
    return false;
  }
  if (bytes.empty()) return true;  // an empty text entry sends nothing
  if (!send_(bytes)) {
    status_->setText(QStringLiteral("串口未打开，“%1”未发送").arg(e.name));
    return false;
  }
  status_->setText(QStringLiteral("已发送“%1”（%2 字节）").arg(e.name).arg(bytes.size()));
  return true;
}

void SendListWindow::StartSequence() {
  if (list_.empty()) return;
  timer_.stop();
  seq_.Start(static_cast<int>(list_.size()), repeat_->isChecked());
  Step();
}

void SendListWindow::StopSequence() {
  seq_.Stop();
  timer_.stop();
}

// One entry, then its wait; a failed send ends the sequence, so a closed
// port does not go on failing in a loop.
void SendListWindow::Step() {
  const int i = seq_.Next();
  if (i < 0 || i >= static_cast<int>(list_.size())) {
    StopSequence();
    return;
  }
  if (!SendEntryAt(i)) {
    StopSequence();
    return;
  }
  if (seq_.Running()) timer_.start(list_[static_cast<size_t>(i)].delayMs);
}

bool SendListWindow::Export(const QString& path) {
  QFile f(path);
  const QByteArray text = SendListToJson(list_).toUtf8();
  const bool ok = f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size() && f.flush();
  status_->setText(ok ? QStringLiteral("已导出到 %1").arg(path) : QStringLiteral("无法写入文件 %1").arg(path));
  return ok;
}

bool SendListWindow::Import(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    status_->setText(QStringLiteral("无法读取文件 %1").arg(path));
    return false;
  }
  std::vector<SendEntry> read;
  QString error;
  if (!SendListFromJson(QString::fromUtf8(f.readAll()), &read, &error)) {
    status_->setText(error);
    return false;
  }
  // Added after the entries already there: an import never loses any.
  StopSequence();
  list_.insert(list_.end(), read.begin(), read.end());
  Reload();
  if (changed_) changed_();
  status_->setText(QStringLiteral("已导入 %1 条").arg(read.size()));
  return true;
}

QString SendListWindow::StatusText() const { return status_->text(); }
