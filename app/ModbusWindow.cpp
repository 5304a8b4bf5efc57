#include "app/ModbusWindow.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

using namespace modbus;

namespace {
const uint8_t kReadFunction[4] = {kReadCoils, kReadDiscreteInputs, kReadHoldingRegisters, kReadInputRegisters};
}

ModbusWindow::ModbusWindow(std::function<bool(const std::vector<uint8_t>&)> send, QWidget* parent)
    : QWidget(parent, Qt::Window), send_(std::move(send)) {
  setWindowTitle(QStringLiteral("Modbus 主站"));
  slave_ = new QSpinBox;
  slave_->setRange(1, 247);
  table_ = new QComboBox;
  table_->addItems({QStringLiteral("线圈 (01)"), QStringLiteral("离散输入 (02)"), QStringLiteral("保持寄存器 (03)"),
                    QStringLiteral("输入寄存器 (04)")});
  table_->setCurrentIndex(2);
  address_ = new QSpinBox;
  address_->setRange(0, 65535);
  count_ = new QSpinBox;
  count_->setRange(1, kMaxReadBits);
  count_->setValue(10);
  format_ = new QComboBox;
  format_->addItems({QStringLiteral("无符号"), QStringLiteral("有符号"), QStringLiteral("十六进制"),
                     QStringLiteral("浮点 ABCD"), QStringLiteral("浮点 CDAB")});
  timeout_ = new QSpinBox;
  timeout_->setRange(10, 10000);
  timeout_->setValue(500);
  timeout_->setSuffix(QStringLiteral(" ms"));
  values_ = new QLineEdit;
  values_->setPlaceholderText(QStringLiteral("如 1,2,0x10；一个值用 05/06，多个用 0F/10"));
  poll_ = new QCheckBox(QStringLiteral("轮询"));
  interval_ = new QSpinBox;
  interval_->setRange(10, 3600000);
  interval_->setValue(1000);
  interval_->setSuffix(QStringLiteral(" ms"));
  auto* read = new QPushButton(QStringLiteral("读取"));
  auto* write = new QPushButton(QStringLiteral("写入"));
  view_ = new QTableWidget(0, 2);
  view_->setHorizontalHeaderLabels({QStringLiteral("地址"), QStringLiteral("值")});
  view_->verticalHeader()->setVisible(false);
  view_->horizontalHeader()->setStretchLastSection(true);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  status_ = new QLabel;
  status_->setWordWrap(true);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("从站地址"), slave_);
  form->addRow(QStringLiteral("数据区"), table_);
  form->addRow(QStringLiteral("起始地址"), address_);
  form->addRow(QStringLiteral("数量"), count_);
  form->addRow(QStringLiteral("显示"), format_);
  form->addRow(QStringLiteral("超时"), timeout_);
  auto* pollRow = new QHBoxLayout;
  pollRow->addWidget(poll_);
  pollRow->addWidget(interval_, 1);
  form->addRow(QString(), pollRow);
  form->addRow(QString(), read);
  form->addRow(QStringLiteral("写入值"), values_);
  form->addRow(QString(), write);
  auto* body = new QHBoxLayout;
  body->addLayout(form);
  body->addWidget(view_, 1);
  auto* lay = new QVBoxLayout(this);
  lay->addLayout(body, 1);
  lay->addWidget(status_);

  connect(read, &QPushButton::clicked, this, [this] { Read(); });
  connect(write, &QPushButton::clicked, this, [this] { Write(); });
  connect(format_, &QComboBox::currentIndexChanged, this, [this] { ShowValues(); });
  connect(poll_, &QCheckBox::toggled, this, [this](bool on) { SetPolling(on); });
  connect(interval_, &QSpinBox::valueChanged, this, [this](int ms) { pollTimer_.setInterval(ms); });
  wait_.setSingleShot(true);
  connect(&wait_, &QTimer::timeout, this, [this] { Finish(); });
  connect(&pollTimer_, &QTimer::timeout, this, [this] {
    if (!txn_) Read();
  });
  resize(640, 420);
}

QString ModbusWindow::StatusText() const { return status_->text(); }

void ModbusWindow::SetPolling(bool on) {
  if (!on) {
    pollTimer_.stop();
    return;
  }
  pollTimer_.start(interval_->value());
  if (!txn_) Read();
}

bool ModbusWindow::Read() {
  Request req;
  req.slave = static_cast<uint8_t>(slave_->value());
  req.function = kReadFunction[std::clamp(table_->currentIndex(), 0, 3)];
  req.address = static_cast<uint16_t>(address_->value());
  req.count = static_cast<uint16_t>(count_->value());
  return Start(req);
}

bool ModbusWindow::Write() {
  const int t = table_->currentIndex();
  if (t == 1 || t == 3) {
    status_->setText(QStringLiteral("离散输入和输入寄存器只读"));
    return false;
  }
  const bool bits = t == 0;
  Request req;
  req.slave = static_cast<uint8_t>(slave_->value());
  req.address = static_cast<uint16_t>(address_->value());
  QString error;
  if (!ParseValues(values_->text(), static_cast<ValueFormat>(format_->currentIndex()), bits, &req.values, &error)) {
    status_->setText(error);
    return false;
  }
  req.count = static_cast<uint16_t>(req.values.size());
  if (req.values.size() == 1) req.function = bits ? kWriteSingleCoil : kWriteSingleRegister;
  else req.function = bits ? kWriteMultipleCoils : kWriteMultipleRegisters;
  return Start(req);
}

bool ModbusWindow::Start(const Request& req) {
  if (txn_) {
    status_->setText(QStringLiteral("上一个请求尚未完成"));
    return false;
  }
  auto txn = std::make_unique<Transaction>(req);
  if (txn->Frame().empty()) {
    status_->setText(txn->Error());
    return false;
  }
  if (!send_(txn->Frame())) {
    status_->setText(QStringLiteral("串口未打开"));
    poll_->setChecked(false);  // a closed port ends the poll at once
    return false;
  }
  txn_ = std::move(txn);
  wait_.start(timeout_->value());
  return true;
}

void ModbusWindow::Received(const uint8_t* data, size_t n) {
  if (!txn_) return;
  if (txn_->Feed(std::span<const uint8_t>(data, n))) Finish();
}

void ModbusWindow::Finish() {
  wait_.stop();
  if (!txn_) return;
  const std::unique_ptr<Transaction> txn = std::move(txn_);
  const Reply r = txn->Result();
  last_ = r;
  ++completed_;
  const Request& req = txn->Req();
  switch (r.status) {
    case ReplyStatus::Ok:
      if (req.function <= kReadInputRegisters) {
        shown_ = req;
        shownValues_ = r.values;
        ShowValues();
        status_->setText(QStringLiteral("从站 %1 %2 成功（%3 个）").arg(req.slave).arg(FunctionName(req.function)).arg(r.values.size()));
      } else {
        status_->setText(QStringLiteral("从站 %1 %2 成功").arg(req.slave).arg(FunctionName(req.function)));
      }
      break;
    case ReplyStatus::Exception:
      status_->setText(QStringLiteral("从站 %1 异常应答 %2：%3").arg(req.slave).arg(r.exceptionCode).arg(r.error));
      break;
    default:
      status_->setText(r.error);
      break;
  }
}

void ModbusWindow::ShowValues() {
  const bool bits = shown_.function == kReadCoils || shown_.function == kReadDiscreteInputs;
  const auto fmt = static_cast<ValueFormat>(format_->currentIndex());
  view_->setRowCount(static_cast<int>(shownValues_.size()));
  for (size_t i = 0; i < shownValues_.size(); ++i) {
    const int row = static_cast<int>(i);
    auto* a = new QTableWidgetItem(QString::number(shown_.address + i));
    auto* v = new QTableWidgetItem(bits ? QString::number(shownValues_[i]) : FormatValue(shownValues_, i, fmt));
    view_->setItem(row, 0, a);
    view_->setItem(row, 1, v);
  }
}
