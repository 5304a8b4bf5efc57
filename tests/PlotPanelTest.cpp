// The live plot window fed as a board would feed it: what it exports is the
// visible window, in the series' names, and the picture is written.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <cmath>

#include "app/PlotPanel.h"

namespace {

void FeedText(PlotPanel& panel, const QByteArray& text) {
  panel.Feed(reinterpret_cast<const uint8_t*>(text.constData()), static_cast<size_t>(text.size()));
}

// A board printing a counter and two readings: t=N temp=... hum=...
QByteArray PairLines(int from, int to) {
  QByteArray text;
  for (int i = from; i < to; ++i)
    text += "t=" + QByteArray::number(i) + " temp=" + QByteArray::number(23 + (i % 10) * 0.1) +
            " hum=" + QByteArray::number(40 + i % 3) + "\r\n";
  return text;
}

QChart* ChartOf(PlotPanel& panel) { return panel.findChild<QChartView*>()->chart(); }
QValueAxis* Axis(PlotPanel& panel, Qt::Orientation o) {
  return qobject_cast<QValueAxis*>(ChartOf(panel)->axes(o).first());
}
QCheckBox* Box(PlotPanel& panel, const QString& text) {
  for (QCheckBox* b : panel.findChildren<QCheckBox*>())
    if (b->text() == text) return b;
  return nullptr;
}
QList<QByteArray> CsvRows(PlotPanel& panel, const QTemporaryDir& dir) {
  const QString path = dir.filePath("rows.csv");
  if (!panel.ExportCsv(path)) return {};
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  QList<QByteArray> rows = f.readAll().split('\n');
  rows.removeLast();  // after the last row's end
  return rows;
}

TEST(PlotPanel, LegendListsTheNamedSeriesOnlyAndAClickTakesACurveOutOfAutoscale) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  FeedText(panel, PairLines(0, 600));
  panel.Repaint();
  auto shown = [&] {
    QStringList names;
    for (QLegendMarker* m : ChartOf(panel)->legend()->markers())
      if (m->isVisible()) names << m->label();
    return names;
  };
  // Eight series wait in the chart; only the three the board named show.
  EXPECT_EQ(shown(), (QStringList{"t", "temp", "hum"}));
  QValueAxis* y = Axis(panel, Qt::Vertical);
  EXPECT_GT(y->max(), 599);  // the counter sets the scale

  const QList<QLegendMarker*> t = ChartOf(panel)->legend()->markers(ChartOf(panel)->series().first());
  ASSERT_EQ(t.size(), 1);
  emit t.first()->clicked();
  // The counter is off; the readings fill the height, the name stays to click again.
  EXPECT_LT(y->max(), 50);
  EXPECT_GT(y->min(), 20);
  EXPECT_EQ(shown(), (QStringList{"t", "temp", "hum"}));
  EXPECT_FALSE(ChartOf(panel)->series().first()->isVisible());
  emit t.first()->clicked();
  EXPECT_GT(y->max(), 599);
  EXPECT_TRUE(ChartOf(panel)->series().first()->isVisible());

  // Switched off again, then cleared: a clear starts afresh, so the next
  // board's curves all show, its own t among them.
  emit t.first()->clicked();
  for (QPushButton* b : panel.findChildren<QPushButton*>())
    if (b->text() == QStringLiteral("清除")) b->click();
  FeedText(panel, "v,t\r\n1,2\r\n2,3\r\n");
  panel.Repaint();
  EXPECT_EQ(shown(), (QStringList{"v", "t"}));
  EXPECT_TRUE(ChartOf(panel)->series()[1]->isVisible());
  EXPECT_TRUE(ChartOf(panel)->series().first()->isVisible());
}

TEST(PlotPanel, AnotherWayOfReadingStartsAfreshAndABadExpressionStaysSaid) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  QComboBox* mode = panel.findChildren<QComboBox*>().first();
  QLineEdit* expression = panel.findChild<QLineEdit*>();
  QLabel* status = panel.findChild<QLabel*>();
  auto shown = [&] {
    QStringList names;
    for (QLegendMarker* m : ChartOf(panel)->legend()->markers())
      if (m->isVisible()) names << m->label();
    return names;
  };
  expression->setText(QStringLiteral(R"(adc (?<adc>\d+) mV, (?<vref>\d+))"));
  mode->setCurrentIndex(3);
  FeedText(panel, "[1] adc 512 mV, 3300\n[2] adc 513 mV, 3301\n");
  panel.Repaint();
  EXPECT_EQ(shown(), (QStringList{"adc", "vref"}));
  EXPECT_EQ(panel.SampleCount(), 2u);

  // Back to automatic: the captured columns are gone and plain columns get
  // their own names, not the expression's.
  mode->setCurrentIndex(0);
  EXPECT_EQ(panel.SampleCount(), 0u);
  FeedText(panel, "1 2 3\n");
  panel.Repaint();
  EXPECT_EQ(shown(), (QStringList{"通道1", "通道2", "通道3"}));

  // A broken expression is refused and says so through the redraws that
  // follow, while the lines are still read as they were.
  expression->setText(QStringLiteral("adc ("));
  mode->setCurrentIndex(3);
  FeedText(panel, "4 5 6\n");
  panel.Repaint();
  EXPECT_EQ(panel.SampleCount(), 2u);
  EXPECT_TRUE(status->text().contains(QStringLiteral("正则表达式无效"))) << status->text().toStdString();
  mode->setCurrentIndex(0);
  panel.Repaint();
  EXPECT_FALSE(status->text().contains(QStringLiteral("正则"))) << status->text().toStdString();
}

TEST(PlotPanel, ZoomHoldsWhileLinesArriveAndAutoscaleFollowsAgain) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  FeedText(panel, PairLines(0, 600));
  panel.Repaint();
  QValueAxis* x = Axis(panel, Qt::Horizontal);
  EXPECT_EQ(x->max(), 599);
  QCheckBox* autoscale = Box(panel, QStringLiteral("自动缩放"));
  ASSERT_TRUE(autoscale && autoscale->isChecked());

  const QRectF area = ChartOf(panel)->plotArea();
  ChartOf(panel)->zoomIn(QRectF(area.center(), area.size() / 4));
  const double zx0 = x->min(), zx1 = x->max();
  EXPECT_GT(zx0, 100);
  EXPECT_FALSE(autoscale->isChecked());
  // Ticks for the zoomed range, not the one or none the whole range's step leaves.
  EXPECT_LE(x->tickInterval() * 3, zx1 - zx0);
  FeedText(panel, PairLines(600, 900));
  panel.Repaint();
  EXPECT_EQ(x->min(), zx0);
  EXPECT_EQ(x->max(), zx1);

  autoscale->setChecked(true);
  EXPECT_EQ(x->max(), 899);
  EXPECT_EQ(x->min(), 400);
}

TEST(PlotPanel, ALongWindowIsDrawnWithAboutAPointPerPixelAndKeepsItsSpike) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  panel.findChild<QSpinBox*>()->setValue(20000);
  QByteArray cols;
  for (int i = 0; i < 20000; ++i) cols += QByteArray::number(i == 12345 ? 99 : i % 7) + "\n";
  FeedText(panel, cols);
  panel.Repaint();
  const QList<QPointF> drawn = qobject_cast<QLineSeries*>(ChartOf(panel)->series()[0])->points();
  const int width = panel.findChild<QChartView*>()->width();
  EXPECT_LE(drawn.size(), 2 * width);
  EXPECT_GE(drawn.size(), width / 2);
  EXPECT_TRUE(drawn.contains(QPointF(12345, 99)));
  EXPECT_EQ(Axis(panel, Qt::Vertical)->max(), 99 + 99 * 0.05);
}

TEST(PlotPanel, ExportWhilePausedIsWhatThePlotShowsAndSampleNumbersRunPastTheTrim) {
  QTemporaryDir dir;
  PlotPanel panel(nullptr, 1000);
  panel.resize(900, 520);
  panel.show();
  panel.findChild<QSpinBox*>()->setValue(100);
  FeedText(panel, "n,v\r\n");
  QByteArray cols;
  for (int i = 0; i < 3000; ++i) cols += QByteArray::number(i) + "," + QByteArray::number(i * 2) + "\r\n";
  FeedText(panel, cols);
  panel.Repaint();
  EXPECT_EQ(panel.SampleCount(), 1000u);
  // Three thousand lines with a thousand kept: the axis still counts them all.
  EXPECT_EQ(Axis(panel, Qt::Horizontal)->max(), 2999);
  EXPECT_EQ(Axis(panel, Qt::Horizontal)->min(), 2900);
  const QList<QPointF> drawn = qobject_cast<QLineSeries*>(ChartOf(panel)->series()[1])->points();
  ASSERT_EQ(drawn.size(), 100);
  EXPECT_EQ(drawn.first(), QPointF(2900, 5800));
  EXPECT_EQ(drawn.last(), QPointF(2999, 5998));

  Box(panel, QStringLiteral("暂停"))->setChecked(true);
  QByteArray more;
  for (int i = 3000; i < 3950; ++i) more += QByteArray::number(i) + "," + QByteArray::number(i * 2) + "\r\n";
  FeedText(panel, more);
  // The picture stays at 2900..2999 and so does the file, though 950 more
  // lines came and most of what is shown has left the store.
  QList<QByteArray> rows = CsvRows(panel, dir);
  ASSERT_EQ(rows.size(), 1 + 50);  // 2950..2999 are still held
  EXPECT_EQ(rows[0], "t,n,v\r");
  EXPECT_TRUE(rows.last().endsWith(",2999,5998\r")) << rows.last().toStdString();
  EXPECT_TRUE(rows[1].endsWith(",2950,5900\r")) << rows[1].toStdString();

  Box(panel, QStringLiteral("暂停"))->setChecked(false);
  rows = CsvRows(panel, dir);
  ASSERT_EQ(rows.size(), 1 + 100);
  EXPECT_TRUE(rows.last().endsWith(",3949,7898\r")) << rows.last().toStdString();
  EXPECT_EQ(Axis(panel, Qt::Horizontal)->max(), 3949);
}

TEST(PlotPanel, ExportsTheVisibleWindowAsCsvAndTheChartAsPng) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  panel.findChild<QSpinBox*>()->setValue(200);
  // A board printing a header, then a sine and a saw in columns, cut into
  // deliveries that split lines, and a malformed value now and then.
  QByteArray text = "sin,saw\r\n";
  for (int i = 0; i < 1000; ++i)
    text += QByteArray::number(std::sin(i / 20.0), 'f', 4) + "," + (i % 97 == 0 ? QByteArray("1.2.3") : QByteArray::number(i % 50)) + "\r\n";
  for (qsizetype i = 0; i < text.size(); i += 61)
    panel.Feed(reinterpret_cast<const uint8_t*>(text.constData() + i), static_cast<size_t>(std::min<qsizetype>(61, text.size() - i)));
  panel.Repaint();
  EXPECT_EQ(panel.SampleCount(), 1000u);

  QTemporaryDir dir;
  ASSERT_TRUE(panel.ExportCsv(dir.filePath("v.csv")));
  QFile f(dir.filePath("v.csv"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QList<QByteArray> rows = f.readAll().split('\n');
  ASSERT_EQ(rows.size(), 1 + 200 + 1);  // header, the window, the empty tail
  EXPECT_EQ(rows[0], "t,sin,saw\r");
  // The last row is the last line the board printed (i = 999).
  EXPECT_TRUE(rows[200].endsWith(",49\r")) << rows[200].toStdString();
  EXPECT_TRUE(rows[200].contains("," + QByteArray::number(std::sin(999 / 20.0), 'f', 4) + ",")) << rows[200].toStdString();
  // i = 873 carried "1.2.3": its saw value is left empty, not zero.
  EXPECT_TRUE(rows[200 - (999 - 873)].endsWith(",\r")) << rows[200 - 126].toStdString();

  const QString png = qEnvironmentVariable("VORTANA_PLOT_SHOT", dir.filePath("plot.png"));
  ASSERT_TRUE(panel.ExportPng(png));
  QImage img(png);
  EXPECT_GT(img.width(), 300);
}

}  // namespace
