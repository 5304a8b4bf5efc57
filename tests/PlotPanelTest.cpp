// The live plot window fed as a board would feed it: what it exports is the
// visible window, in the series' names, and the picture is written.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QSpinBox>
#include <QTemporaryDir>

#include <cmath>

#include "app/PlotPanel.h"

namespace {

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
