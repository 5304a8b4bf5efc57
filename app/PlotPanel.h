// The live plot: numbers in the lines the board prints, drawn as curves
// while they arrive. A window of its own opened from the receive area's
// menu, so no control of the terminal page moves.
#pragma once

#include <QElapsedTimer>
#include <QSet>
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
  // keep: the most samples held; the oldest go first.
  explicit PlotPanel(QWidget* parent = nullptr, size_t keep = 200000);
  // Received bytes as the port delivers them; cheap, drawing waits for the timer.
  void Feed(const uint8_t* data, size_t size);
  // Redraws now if anything changed and the plot is not paused; the timer
  // calls it 20 times a second, so a board's lines never cost a redraw each.
  void Repaint();
  // What the plot shows: the samples of the last redraw inside the axes'
  // range (a zoom narrows it; a pause keeps it while samples arrive).
  bool ExportCsv(const QString& path);
  bool ExportPng(const QString& path);
  size_t SampleCount() const { return samples_.size(); }

 private:
  void ApplyMode();
  void Clear();
  void ShowStatus();
  void ApplyVisibility();
  bool Hidden(int series) const;
  void SetAxis(QValueAxis* axis, double lo, double hi);
  std::pair<size_t, size_t> Visible() const;

  PlotLineParser parser_;
  std::deque<PlotSample> samples_;
  size_t keep_;
  size_t dropped_ = 0;  // samples trimmed off the front: sample k is samples_[k - dropped_]
  size_t shownFrom_ = 0, shownTo_ = 0;  // sample numbers of the last redraw
  // Names switched off in the legend: by name, as the series' order can
  // change under them (a header after numbered columns, a new expression).
  QSet<QString> hidden_;
  bool ranging_ = false;                // our own axis change, not the user's zoom
  QElapsedTimer since_;  // from the first bytes
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
  QString modeError_;  // why the expression asked for is not in use
  QTimer* timer_;
};
