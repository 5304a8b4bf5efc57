// A board printing three values per line at 1,000 lines/s over 921600 bit/s
// (a third of what the line carries): how many lines per second the parser
// takes in each format, what a redraw of the plot window costs with a short
// and a long window on screen, and how late the event loop runs while the
// window plots a live 1,000 lines/s. Offscreen platform.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "app/PlotPanel.h"

namespace {

QByteArray Lines(const char* format, int count) {
  QByteArray text;
  for (int i = 0; i < count; ++i) {
    const QByteArray n = QByteArray::number(i), a = QByteArray::number(1000 + (i * 37) % 200),
                     b = QByteArray::number(-3.25 + (i % 50) * 0.1);
    if (format[0] == 'p') text += "t=" + n + ", a=" + a + ", b=" + b + "\r\n";
    else if (format[0] == 'c') text += n + "," + a + "," + b + "\r\n";
    else text += "[" + n + "] adc " + a + " mV, offset " + b + " mV\r\n";
  }
  return text;
}

void Parse(const char* format, PlotLineParser::Mode mode) {
  const QByteArray text = Lines(format, 200000);
  PlotLineParser p;
  if (mode == PlotLineParser::Mode::Regex) p.SetRegex(QStringLiteral(R"(adc (\d+) mV, offset ([-\d.]+))"));
  else p.SetMode(mode);
  std::vector<PlotSample> out;
  out.reserve(200000);
  QElapsedTimer t;
  t.start();
  // Deliveries of the size the driver polls in (4 KiB).
  for (qsizetype i = 0; i < text.size(); i += 4096) p.Feed(text.mid(i, 4096), 0, out);
  const double s = t.nsecsElapsed() / 1e9;
  std::printf("parser, %-8s %zu lines in %.3f s = %8.0f lines/s (%.1f MB/s)\n", format, out.size(), s,
              out.size() / s, text.size() / s / 1e6);
}

// Fifty lines (a 20 Hz redraw's worth at 1,000 lines/s) then a redraw and a
// paint, again and again, with `span` samples on screen.
void Redraws(QApplication& app, int span, int steps) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.findChild<QSpinBox*>()->setValue(span);
  panel.show();
  app.processEvents();
  const QByteArray text = Lines("pairs", span + 50 * steps);
  const qsizetype line = text.indexOf('\n') + 1;
  panel.Feed(reinterpret_cast<const uint8_t*>(text.constData()), static_cast<size_t>(span * line));
  panel.Repaint();
  double worst = 0, sum = 0;
  qsizetype at = span * line;
  QElapsedTimer t;
  for (int i = 0; i < steps; ++i) {
    const qsizetype to = std::min<qsizetype>(text.size(), at + 50 * line);
    panel.Feed(reinterpret_cast<const uint8_t*>(text.constData() + at), static_cast<size_t>(to - at));
    at = to;
    t.start();
    panel.Repaint();
    panel.repaint();
    const double ms = t.nsecsElapsed() / 1e6;
    worst = std::max(worst, ms);
    sum += ms;
  }
  std::printf("redraw, %6d samples on screen, 3 series: mean %.2f ms, worst %.2f ms over %d\n", span, sum / steps,
              worst, steps);
}

// The real event loop for three seconds: ten lines every 10 ms as a port
// delivers them, the panel's own 20 Hz redraws, and a 5 ms probe whose
// lateness is what a click would wait.
void Live(QApplication& app) {
  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  const QByteArray text = Lines("pairs", 3000);
  const qsizetype line = text.indexOf('\n') + 1;
  qsizetype at = 0;
  QTimer feed;
  feed.setTimerType(Qt::PreciseTimer);
  QObject::connect(&feed, &QTimer::timeout, [&] {
    const qsizetype to = std::min<qsizetype>(text.size(), at + 10 * line);
    panel.Feed(reinterpret_cast<const uint8_t*>(text.constData() + at), static_cast<size_t>(to - at));
    at = to;
    if (at >= text.size()) app.quit();
  });
  QElapsedTimer clock;
  clock.start();
  qint64 last = 0, worst = 0, sum = 0, ticks = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    if (last) {
      const qint64 late = std::max<qint64>(0, now - last - 5000000);
      worst = std::max(worst, late);
      sum += late;
      ++ticks;
    }
    last = now;
  });
  feed.start(10);
  probe.start(5);
  app.exec();
  std::printf("live 1,000 lines/s for %.1f s: %zu samples, event loop late by mean %.2f ms, worst %.2f ms\n",
              clock.nsecsElapsed() / 1e9, panel.SampleCount(), sum / 1e6 / std::max<qint64>(ticks, 1),
              worst / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Parse("pairs", PlotLineParser::Mode::Auto);
  Parse("columns", PlotLineParser::Mode::Auto);
  Parse("regex", PlotLineParser::Mode::Regex);
  Redraws(app, 500, 50);
  Redraws(app, 10000, 50);
  Redraws(app, 100000, 20);
  Live(app);
  return 0;
}
