// The live plot: numbers in the lines the board prints, drawn as curves
// while they arrive. A window of its own opened from the receive area's
// menu, so no control of the terminal page moves.
#pragma once

#include <QWidget>

#include <deque>

#include "terminal/PlotLines.h"

class QChart;
class QChartView;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QLineSeries;
class QSpinBox;
class QTimer;
class QValueAxis;

class PlotPanel : public QWidget {
 public:
  explicit PlotPanel(QWidget* parent = nullptr);
  // Received bytes as the port delivers them; cheap, drawing waits for the timer.
  void Feed(const uint8_t* data, size_t size);
  // Redraws now if anything changed; the timer calls it 20 times a second.
  void Repaint();
  bool ExportCsv(const QString& path) const;
  bool ExportPng(const QString& path);
  size_t SampleCount() const { return samples_.size(); }

 private:
  void ApplyMode();
  void Trim();
  std::pair<size_t, size_t> Visible() const;

  PlotLineParser parser_;
  std::deque<PlotSample> samples_;
  qint64 startMs_ = -1;
  bool dirty_ = false;
  QChart* chart_;
  QChartView* view_;
  QValueAxis* x_;
  QValueAxis* y_;
  QLineSeries* series_[kPlotMaxSeries] = {};
  QComboBox* mode_;
  QLineEdit* regex_;
  QComboBox* unit_;
  QSpinBox* span_;
  QCheckBox* pause_;
  QCheckBox* autoscale_;
  QLabel* status_;
  QTimer* timer_;
};
