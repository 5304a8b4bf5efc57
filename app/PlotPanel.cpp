#include "app/PlotPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <cmath>

namespace {
// Far more than a window shows; the oldest go first.
constexpr size_t kKeep = 200000;
}

PlotPanel::PlotPanel(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("实时曲线"));
  chart_ = new QChart;
  chart_->legend()->setAlignment(Qt::AlignBottom);
  x_ = new QValueAxis;
  y_ = new QValueAxis;
  x_->setTitleText(QStringLiteral("样本"));
  chart_->addAxis(x_, Qt::AlignBottom);
  chart_->addAxis(y_, Qt::AlignLeft);
  for (int i = 0; i < kPlotMaxSeries; ++i) {
    series_[i] = new QLineSeries;
    series_[i]->setUseOpenGL(false);
    chart_->addSeries(series_[i]);
    series_[i]->attachAxis(x_);
    series_[i]->attachAxis(y_);
    series_[i]->setVisible(false);
  }
  view_ = new QChartView(chart_);
  view_->setRenderHint(QPainter::Antialiasing, false);
  // Drag a rectangle to zoom in; the right button zooms out.
  view_->setRubberBand(QChartView::RectangleRubberBand);

  mode_ = new QComboBox;
  mode_->addItems({QStringLiteral("自动"), QStringLiteral("分列"), QStringLiteral("名=值"), QStringLiteral("正则表达式")});
  regex_ = new QLineEdit;
  regex_->setPlaceholderText(QStringLiteral("正则表达式，捕获组为数值"));
  regex_->setEnabled(false);
  unit_ = new QComboBox;
  unit_->addItems({QStringLiteral("最近样本数"), QStringLiteral("最近秒数")});
  span_ = new QSpinBox;
  span_->setRange(1, 100000);
  span_->setValue(500);
  pause_ = new QCheckBox(QStringLiteral("暂停"));
  autoscale_ = new QCheckBox(QStringLiteral("自动缩放"));
  autoscale_->setChecked(true);
  auto* csv = new QPushButton(QStringLiteral("导出CSV…"));
  auto* png = new QPushButton(QStringLiteral("导出图片…"));
  auto* clear = new QPushButton(QStringLiteral("清除"));
  status_ = new QLabel;

  auto* row = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{mode_, regex_, unit_, span_, pause_, autoscale_, csv, png, clear})
    row->addWidget(w);
  auto* col = new QVBoxLayout(this);
  col->addLayout(row);
  col->addWidget(view_, 1);
  col->addWidget(status_);
  resize(900, 520);

  connect(mode_, &QComboBox::currentIndexChanged, this, [this] { ApplyMode(); });
  connect(regex_, &QLineEdit::editingFinished, this, [this] { ApplyMode(); });
  connect(unit_, &QComboBox::currentIndexChanged, this, [this] {
    x_->setTitleText(unit_->currentIndex() == 0 ? QStringLiteral("样本") : QStringLiteral("秒"));
    dirty_ = true;
  });
  connect(span_, &QSpinBox::valueChanged, this, [this] { dirty_ = true; });
  connect(autoscale_, &QCheckBox::toggled, this, [this](bool on) {
    if (on) chart_->zoomReset();
    dirty_ = true;
  });
  connect(pause_, &QCheckBox::toggled, this, [this] { dirty_ = true; });
  connect(clear, &QPushButton::clicked, this, [this] {
    samples_.clear();
    parser_.Reset();
    dirty_ = true;
  });
  connect(csv, &QPushButton::clicked, this, [this] {
    const QString f = QFileDialog::getSaveFileName(this, QStringLiteral("导出CSV"), QString(), QStringLiteral("CSV 文件 (*.csv)"));
    if (!f.isEmpty() && !ExportCsv(f)) QMessageBox::warning(this, QStringLiteral("实时曲线"), QStringLiteral("无法写入文件 %1").arg(f));
  });
  connect(png, &QPushButton::clicked, this, [this] {
    const QString f = QFileDialog::getSaveFileName(this, QStringLiteral("导出图片"), QString(), QStringLiteral("PNG 图片 (*.png)"));
    if (!f.isEmpty() && !ExportPng(f)) QMessageBox::warning(this, QStringLiteral("实时曲线"), QStringLiteral("无法写入文件 %1").arg(f));
  });
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, [this] { Repaint(); });
  timer_->start(50);
}

void PlotPanel::ApplyMode() {
  const int m = mode_->currentIndex();
  regex_->setEnabled(m == 3);
  if (m == 3) {
    if (!parser_.SetRegex(regex_->text())) status_->setText(parser_.error());
  } else {
    parser_.SetMode(m == 0 ? PlotLineParser::Mode::Auto : m == 1 ? PlotLineParser::Mode::Columns : PlotLineParser::Mode::Pairs);
  }
  dirty_ = true;
}

void PlotPanel::Feed(const uint8_t* data, size_t size) {
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  if (startMs_ < 0) startMs_ = now;
  std::vector<PlotSample> got;
  parser_.Feed(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), (now - startMs_) / 1000.0, got);
  if (got.empty()) return;
  // While paused the samples still arrive, so nothing is missing afterwards.
  for (auto& s : got) samples_.push_back(std::move(s));
  while (samples_.size() > kKeep) samples_.pop_front();
  dirty_ = true;
}

std::pair<size_t, size_t> PlotPanel::Visible() const {
  if (samples_.empty()) return {0, 0};
  if (unit_->currentIndex() == 0) {
    const size_t n = std::min<size_t>(samples_.size(), static_cast<size_t>(span_->value()));
    return {samples_.size() - n, samples_.size()};
  }
  const double from = samples_.back().t - span_->value();
  size_t b = samples_.size();
  while (b > 0 && samples_[b - 1].t >= from) --b;
  return {b, samples_.size()};
}

void PlotPanel::Repaint() {
  if (!dirty_ || pause_->isChecked()) return;
  dirty_ = false;
  const auto [b, e] = Visible();
  const bool bySeconds = unit_->currentIndex() == 1;
  double lo = INFINITY, hi = -INFINITY;
  for (int i = 0; i < kPlotMaxSeries; ++i) {
    QList<QPointF> pts;
    pts.reserve(static_cast<qsizetype>(e - b));
    for (size_t k = b; k < e; ++k) {
      const auto& s = samples_[k];
      if (i >= static_cast<int>(s.values.size()) || std::isnan(s.values[i])) continue;
      const double v = s.values[i];
      pts.append(QPointF(bySeconds ? s.t : static_cast<double>(k), v));
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    series_[i]->setVisible(i < parser_.names().size());
    if (i < parser_.names().size()) series_[i]->setName(parser_.names()[i]);
    series_[i]->replace(pts);
  }
  if (autoscale_->isChecked() && e > b) {
    if (bySeconds) x_->setRange(samples_[b].t, std::max(samples_[e - 1].t, samples_[b].t + 1e-3));
    else x_->setRange(static_cast<double>(b), static_cast<double>(std::max(e - 1, b + 1)));
    if (std::isfinite(lo)) {
      const double pad = hi > lo ? (hi - lo) * 0.05 : 1;
      y_->setRange(lo - pad, hi + pad);
    }
  }
  status_->setText(QStringLiteral("样本 %1，无效数值 %2").arg(samples_.size()).arg(parser_.malformed()));
}

bool PlotPanel::ExportCsv(const QString& path) const {
  const auto [b, e] = Visible();
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  f.write(PlotCsv(parser_.names(), samples_, b, e));
  return f.error() == QFile::NoError;
}

bool PlotPanel::ExportPng(const QString& path) { return view_->grab().save(path, "PNG"); }
