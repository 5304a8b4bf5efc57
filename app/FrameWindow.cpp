#include "app/FrameWindow.h"

#include <QBoxLayout>
#include <QBrush>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableView>
#include <QTimer>

#include "terminal/Modbus.h"

namespace {
// A row shows this much of a long frame; the CSV has all of it.
constexpr size_t kShownBytes = 256;
constexpr int kRefreshMs = 100;
}  // namespace

QVariant FrameModel::data(const QModelIndex& index, int role) const {
  const size_t i = static_cast<size_t>(index.row());
  if (!index.isValid() || i >= log_.Count()) return {};
  const FrameLog::Entry& e = log_.At(i);
  if (role == Qt::DisplayRole) {
    switch (index.column()) {
      case 0: return log_.TimeText(i);
      case 1: return static_cast<int>(e.length);
      case 2: return log_.HexText(i, kShownBytes);
      case 3:
        // On a Modbus bus the text says what each frame asks or answers.
        if (log_.Rule().mode == SplitRule::Mode::Modbus && !e.stray) return modbus::Describe(log_.Bytes(i), e.reply);
        return log_.PlainText(i, kShownBytes);
      case 4: return e.stray ? QStringLiteral("未成帧") : FrameLog::VerdictText(e.verdict);
    }
  }
  if (role == Qt::ForegroundRole) {
    if (e.verdict == static_cast<uint8_t>(ChecksumVerdict::Bad) || e.verdict == static_cast<uint8_t>(ChecksumVerdict::TooShort))
      return QBrush(Qt::red);
    if (e.stray) return QBrush(Qt::gray);
  }
  if (role == Qt::TextAlignmentRole && index.column() == 1) return int(Qt::AlignRight | Qt::AlignVCenter);
  return {};
}

QVariant FrameModel::headerData(int section, Qt::Orientation o, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (o == Qt::Vertical) return section + 1;
  static const char16_t* const kHeads[] = {u"时间", u"长度", u"十六进制", u"文本", u"校验"};
  return section >= 0 && section < 5 ? QString::fromUtf16(kHeads[section]) : QVariant();
}

void FrameModel::Grew() {
  const int now = static_cast<int>(std::min<size_t>(log_.Count(), INT32_MAX));
  if (now < shown_) {
    Reset();
    return;
  }
  if (now == shown_) return;
  beginInsertRows({}, shown_, now - 1);
  shown_ = now;
  endInsertRows();
}

void FrameModel::Reset() {
  beginResetModel();
  shown_ = static_cast<int>(std::min<size_t>(log_.Count(), INT32_MAX));
  endResetModel();
}

FrameWindow::FrameWindow(FrameLog& log, QWidget* parent) : QWidget(parent, Qt::Window), log_(log) {
  setWindowTitle(QStringLiteral("帧视图"));
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("分帧")));
  rule_ = new QLineEdit(QStringLiteral("gap=20ms"));
  rule_->setToolTip(QStringLiteral(
      "gap=5ms　静默 5 ms 分帧\nend=0d0a　以 0D 0A 结尾\nfixed=8　每 8 字节一帧\n"
      "len@2:1+2,head=aa55　帧头 AA 55，第 2 字节为长度（计其后字节），另加 2 字节\n"
      "　宽度 1/2/4，be/le 字节序，whole 表示长度计整帧，max=N 最长帧\n"
      "modbus　Modbus RTU 总线监听（按 CRC 与功能码分帧）"));
  top->addWidget(rule_, 1);
  top->addWidget(new QLabel(QStringLiteral("校验")));
  sum_ = new QComboBox;
  for (ChecksumKind k : kChecksumKinds) sum_->addItem(ChecksumName(k), static_cast<int>(k));
  top->addWidget(sum_);
  order_ = new QComboBox;
  order_->addItems({QStringLiteral("高字节在前"), QStringLiteral("低字节在前")});
  top->addWidget(order_);
  top->addWidget(new QLabel(QStringLiteral("跳过帧头")));
  skip_ = new QSpinBox;
  skip_->setRange(0, 64);
  top->addWidget(skip_);
  top->addWidget(new QLabel(QStringLiteral("帧尾")));
  tail_ = new QSpinBox;
  tail_->setRange(0, 64);
  tail_->setToolTip(QStringLiteral("校验值之后、不计入校验的字节数（如结束符）"));
  top->addWidget(tail_);
  auto* save = new QPushButton(QStringLiteral("保存 CSV"));
  top->addWidget(save);

  model_ = new FrameModel(log_, this);
  table_ = new QTableView;
  table_->setModel(model_);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->verticalHeader()->setDefaultSectionSize(20);
  table_->horizontalHeader()->setStretchLastSection(false);
  table_->setColumnWidth(0, 100);
  table_->setColumnWidth(1, 50);
  table_->setColumnWidth(2, 330);
  table_->setColumnWidth(3, 250);
  table_->setColumnWidth(4, 60);
  table_->setWordWrap(false);

  auto* findRow = new QHBoxLayout;
  findRow->addWidget(new QLabel(QStringLiteral("查找")));
  find_ = new QLineEdit;
  find_->setPlaceholderText(QStringLiteral("十六进制（如 01 03）或文本"));
  findRow->addWidget(find_, 1);
  status_ = new QLabel;
  status_->setMinimumWidth(220);
  findRow->addWidget(status_);

  auto* lay = new QVBoxLayout(this);
  lay->addLayout(top);
  lay->addWidget(table_, 1);
  lay->addLayout(findRow);

  auto apply = [this] { ApplyChoices(); };
  connect(rule_, &QLineEdit::returnPressed, this, apply);
  connect(sum_, &QComboBox::currentIndexChanged, this, apply);
  connect(order_, &QComboBox::currentIndexChanged, this, apply);
  connect(skip_, &QSpinBox::valueChanged, this, apply);
  connect(tail_, &QSpinBox::valueChanged, this, apply);
  connect(find_, &QLineEdit::returnPressed, this, [this] { FindNext(); });
  connect(save, &QPushButton::clicked, this, [this] {
    const QString path = ChooseCsvFile ? ChooseCsvFile()
                                       : QFileDialog::getSaveFileName(this, QStringLiteral("保存帧"), QString(),
                                                                      QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty()) SaveCsv(path);
  });
  auto* findKey = new QShortcut(QKeySequence::Find, this);
  connect(findKey, &QShortcut::activated, this, [this] { ShowFindBar(); });

  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, [this] { Refresh(); });
  timer->start(kRefreshMs);
  resize(900, 420);
  model_->Reset();
}

void FrameWindow::LogReset() {
  model_->Reset();
  dirty_ = false;
}

void FrameWindow::Refresh() {
  if (!dirty_) return;
  dirty_ = false;
  const bool atEnd = model_->rowCount() == 0 ||
                     table_->rowAt(table_->viewport()->height() - 1) < 0 ||
                     table_->rowAt(table_->viewport()->height() - 1) >= model_->rowCount() - 1;
  model_->Grew();
  if (atEnd) table_->scrollToBottom();
  status_->setText(QStringLiteral("%1 帧").arg(log_.Count()));
}

bool FrameWindow::ApplyChoices() {
  QString error;
  const SplitRule rule = SplitRule::Parse(rule_->text().trimmed(), &error);
  if (!error.isEmpty()) {
    status_->setText(QStringLiteral("分帧规则有误：%1").arg(error));
    return false;
  }
  if (rule.mode == SplitRule::Mode::Modbus && sum_->currentData().toInt() == static_cast<int>(ChecksumKind::None)) {
    // A Modbus bus has its own check: CRC-16/MODBUS, low byte first.
    const QSignalBlocker b1(sum_), b2(order_);
    sum_->setCurrentIndex(sum_->findData(static_cast<int>(ChecksumKind::Crc16Modbus)));
    order_->setCurrentIndex(1);
  }
  ChecksumPlace place;
  place.kind = static_cast<ChecksumKind>(sum_->currentData().toInt());
  place.littleEndian = order_->currentIndex() == 1;
  place.skipHead = skip_->value();
  place.tail = tail_->value();
  log_.SetChecksum(place);
  const SplitRule& old = log_.Rule();
  const bool same = old.mode == rule.mode && old.gapMs == rule.gapMs && old.terminator == rule.terminator &&
                    old.fixedLength == rule.fixedLength && old.header == rule.header &&
                    old.lengthOffset == rule.lengthOffset && old.lengthWidth == rule.lengthWidth &&
                    old.lengthBigEndian == rule.lengthBigEndian && old.lengthCountsWholeFrame == rule.lengthCountsWholeFrame &&
                    old.lengthExtra == rule.lengthExtra && old.maxFrame == rule.maxFrame;
  if (!same) log_.SetRule(rule);
  LogReset();
  status_->setText(QStringLiteral("%1 帧").arg(log_.Count()));
  return true;
}

void FrameWindow::ShowFindBar() {
  find_->setFocus();
  find_->selectAll();
}

bool FrameWindow::FindNext() {
  Refresh();
  const QModelIndex cur = table_->currentIndex();
  const size_t from = cur.isValid() ? static_cast<size_t>(cur.row()) + 1 : 0;
  const long long at = log_.Find(find_->text(), from);
  if (at < 0 || at >= model_->rowCount()) {
    status_->setText(QStringLiteral("找不到 \"%1\"").arg(find_->text()));
    return false;
  }
  table_->selectRow(static_cast<int>(at));
  table_->scrollTo(model_->index(static_cast<int>(at), 0));
  status_->setText(QStringLiteral("第 %1 帧").arg(at + 1));
  return true;
}

bool FrameWindow::SaveCsv(const QString& path) {
  const bool ok = log_.SaveCsv(path);
  status_->setText(ok ? QStringLiteral("已保存 %1").arg(path) : QStringLiteral("无法写入文件 %1").arg(path));
  return ok;
}
