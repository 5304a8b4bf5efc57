#include "app/PlotPanel.h"

#include <QCheckBox>
#include <QComboBox>
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
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <cmath>

PlotPanel::PlotPanel(QWidget* parent, size_t keep) : QWidget(parent, Qt::Window), keep_(std::max<size_t>(keep, 1)) {
  setWindowTitle(QStringLiteral("实时曲线"));
  chart_ = new QChart;
  chart_->legend()->setAlignment(Qt::AlignBottom);
  x_ = new QValueAxis;
  y_ = new QValueAxis;
  x_->setTitleText(QStringLiteral("样本"));
  // Ticks at round numbers that move with the data, not five fixed ticks
  // that relabel themselves with odd values on every redraw.
  for (QValueAxis* a : {x_, y_}) {
    a->setTickType(QValueAxis::TicksDynamic);
    a->setTickAnchor(0);
  }
  SetAxis(x_, 0, 1);
  SetAxis(y_, 0, 1);
  chart_->addAxis(x_, Qt::AlignBottom);
  chart_->addAxis(y_, Qt::AlignLeft);
  for (int i = 0; i < kPlotMaxSeries; ++i) {
    series_[i] = new QLineSeries;
    series_[i]->setUseOpenGL(false);
    chart_->addSeries(series_[i]);
    series_[i]->attachAxis(x_);
    series_[i]->attachAxis(y_);
    series_[i]->setVisible(false);
    // A click on a name in the legend takes its curve out of the picture and
    // out of autoscale: a counter such as t=12345 would flatten the rest.
    for (QLegendMarker* m : chart_->legend()->markers(series_[i]))
      connect(m, &QLegendMarker::clicked, this, [this, i] {
        if (i >= parser_.names().size()) return;
        const QString& name = parser_.names()[i];
        if (!hidden_.remove(name)) hidden_.insert(name);
        ApplyVisibility();
        dirty_ = true;
        if (pause_->isChecked()) return;
        Repaint();
      });
  }
  // A zoom by the user (rubber band, right button) would be undone by the
  // next autoscale at once while the board prints; zooming ends autoscale.
  for (QValueAxis* a : {x_, y_})
    connect(a, &QValueAxis::rangeChanged, this, [this, a](qreal lo, qreal hi) {
      if (ranging_) return;
      SetAxis(a, lo, hi);  // ticks for the zoomed range, not a single one
      if (autoscale_->isChecked()) autoscale_->setChecked(false);
    });
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
    Repaint();
  });
  connect(span_, &QSpinBox::valueChanged, this, [this] { dirty_ = true; });
  connect(autoscale_, &QCheckBox::toggled, this, [this](bool on) {
    if (!on) return;
    ranging_ = true;
    chart_->zoomReset();
    ranging_ = false;
    dirty_ = true;
    Repaint();
  });
  connect(pause_, &QCheckBox::toggled, this, [this] { dirty_ = true; });
  connect(clear, &QPushButton::clicked, this, [this] { Clear(); });
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

void PlotPanel::Clear() {
  samples_.clear();
  dropped_ = shownFrom_ = shownTo_ = 0;
  hidden_.clear();
  parser_.Reset();
  dirty_ = true;
  ShowStatus();
}

void PlotPanel::ShowStatus() {
  QString text = QStringLiteral("样本 %1，无效数值 %2").arg(samples_.size()).arg(parser_.malformed());
  // Said for as long as it holds, not overwritten by the next redraw.
  if (!modeError_.isEmpty()) text += QStringLiteral("；") + modeError_;
  status_->setText(text);
}

void PlotPanel::ApplyMode() {
  const int m = mode_->currentIndex();
  regex_->setEnabled(m == 3);
  if (m == 3) {
    if (!parser_.SetRegex(regex_->text())) {
      modeError_ = parser_.error();  // the lines are still read as before
      ShowStatus();
      return;
    }
  } else {
    parser_.SetMode(m == 0 ? PlotLineParser::Mode::Auto : m == 1 ? PlotLineParser::Mode::Columns : PlotLineParser::Mode::Pairs);
  }
  modeError_.clear();
  // Samples read the old way have other columns under the same numbers.
  Clear();
}

void PlotPanel::Feed(const uint8_t* data, size_t size) {
  // A monotonic clock: the wall clock set back by a time server would run
  // the seconds axis backwards.
  if (!since_.isValid()) since_.start();
  std::vector<PlotSample> got;
  parser_.Feed(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), since_.elapsed() / 1000.0, got);
  if (got.empty()) return;
  // While paused the samples still arrive, so nothing is missing afterwards.
  for (auto& s : got) samples_.push_back(std::move(s));
  while (samples_.size() > keep_) {
    samples_.pop_front();
    ++dropped_;
  }
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

void PlotPanel::SetAxis(QValueAxis* axis, double lo, double hi) {
  const double step = PlotTickStep(hi - lo, axis == x_ ? 8 : 6);
  ranging_ = true;
  axis->setTickInterval(step);
  axis->setLabelFormat(QStringLiteral("%.%1f").arg(PlotTickDecimals(step)));
  axis->setRange(lo, hi);
  ranging_ = false;
}

bool PlotPanel::Hidden(int i) const { return i < parser_.names().size() && hidden_.contains(parser_.names()[i]); }

void PlotPanel::ApplyVisibility() {
  const qsizetype named = parser_.names().size();
  for (int i = 0; i < kPlotMaxSeries; ++i) {
    series_[i]->setVisible(i < named && !Hidden(i));
    if (i < named) series_[i]->setName(parser_.names()[i]);
    // Hiding a series hides its marker too; a switched-off curve keeps its
    // name in the legend, greyed, so a second click brings it back.
    for (QLegendMarker* m : chart_->legend()->markers(series_[i])) {
      m->setVisible(i < named);
      QColor c = m->labelBrush().color();
      c.setAlpha(Hidden(i) ? 90 : 255);
      m->setLabelBrush(c);
      QBrush b = m->brush();
      QColor bc = series_[i]->color();
      bc.setAlpha(Hidden(i) ? 60 : 255);
      b.setColor(bc);
      m->setBrush(b);
    }
  }
}

void PlotPanel::Repaint() {
  if (!dirty_ || pause_->isChecked()) return;
  dirty_ = false;
  const auto [b, e] = Visible();
  shownFrom_ = dropped_ + b;
  shownTo_ = dropped_ + e;
  const bool bySeconds = unit_->currentIndex() == 1;
  // More points than the plot has pixels cost time and show nothing more.
  const int buckets = std::max(view_->width(), 200);
  double lo = INFINITY, hi = -INFINITY;
  for (int i = 0; i < kPlotMaxSeries; ++i) {
    QList<QPointF> pts;
    if (i < parser_.names().size()) {
      pts.reserve(static_cast<qsizetype>(e - b));
      for (size_t k = b; k < e; ++k) {
        const auto& s = samples_[k];
        if (i >= static_cast<int>(s.values.size()) || std::isnan(s.values[i])) continue;
        const double v = s.values[i];
        pts.append(QPointF(bySeconds ? s.t : static_cast<double>(dropped_ + k), v));
        if (Hidden(i)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
    series_[i]->replace(PlotThin(pts, buckets));
  }
  ApplyVisibility();
  if (autoscale_->isChecked() && e > b) {
    if (bySeconds)
      SetAxis(x_, samples_[b].t, std::max(samples_[e - 1].t, samples_[b].t + 1e-3));
    else
      SetAxis(x_, static_cast<double>(dropped_ + b), static_cast<double>(dropped_ + std::max(e - 1, b + 1)));
    if (std::isfinite(lo)) {
      const double pad = hi > lo ? (hi - lo) * 0.05 : std::max(1.0, std::fabs(lo) * 0.05);
      SetAxis(y_, lo - pad, hi + pad);
    }
  }
  ShowStatus();
}

bool PlotPanel::ExportCsv(const QString& path) {
  Repaint();  // the file and the picture agree
  const bool bySeconds = unit_->currentIndex() == 1;
  QByteArray out = PlotCsvHeader(parser_.names());
  // Samples trimmed since a pause are gone; the rest of what was shown stays.
  for (size_t k = std::max(shownFrom_, dropped_); k < shownTo_ && k - dropped_ < samples_.size(); ++k) {
    const PlotSample& s = samples_[k - dropped_];
    const double x = bySeconds ? s.t : static_cast<double>(k);
    if (x < x_->min() || x > x_->max()) continue;
    out += PlotCsvRow(parser_.names(), s);
  }
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  f.write(out);
  f.close();
  return f.error() == QFile::NoError;
}

bool PlotPanel::ExportPng(const QString& path) {
  Repaint();
  return view_->grab().save(path, "PNG");
}
