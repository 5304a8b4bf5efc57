// A board printing three values per line as fast as 921600 bit/s allows
// (about 1,000 lines/s of "t=..., a=..., b=..." is a tenth of that line):
// how many lines per second the parser takes, and what a repaint of the
// plot window costs with a full window on screen. Offscreen platform.
#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

#include "app/PlotPanel.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  QByteArray text;
  const int lines = 200000;
  for (int i = 0; i < lines; ++i)
    text += "t=" + QByteArray::number(i) + ", a=" + QByteArray::number(1000 + (i * 37) % 200) + ", b=" +
            QByteArray::number(-3.25 + (i % 50) * 0.1) + "\r\n";

  PlotLineParser p;
  std::vector<PlotSample> out;
  out.reserve(lines);
  QElapsedTimer t;
  t.start();
  // Deliveries of the size the driver polls in (4 KiB).
  for (qsizetype i = 0; i < text.size(); i += 4096) p.Feed(text.mid(i, 4096), 0, out);
  const double parseS = t.nsecsElapsed() / 1e9;
  std::printf("parser: %zu lines in %.3f s = %.0f lines/s (%.1f MB/s)\n", out.size(), parseS, out.size() / parseS,
              text.size() / parseS / 1e6);

  PlotPanel panel;
  panel.resize(900, 520);
  panel.show();
  app.processEvents();
  // One second of a 1,000 lines/s board per step, a repaint after each.
  const qsizetype perSecond = text.indexOf('\n') * 1000;
  double worst = 0, sum = 0;
  int steps = 0;
  for (qsizetype i = 0; i + perSecond < text.size() && steps < 50; i += perSecond, ++steps) {
    panel.Feed(reinterpret_cast<const uint8_t*>(text.constData() + i), static_cast<size_t>(perSecond));
    t.restart();
    panel.Repaint();
    panel.repaint();
    const double ms = t.nsecsElapsed() / 1e6;
    worst = std::max(worst, ms);
    sum += ms;
  }
  std::printf("repaint (500-sample window, 3 series): mean %.2f ms, worst %.2f ms over %d repaints\n", sum / steps,
              worst, steps);
  return 0;
}
