#include "cli/ProgressText.h"

#include <algorithm>
#include <cmath>

namespace {

QString Kilobytes(int64_t bytes) { return QString::number(static_cast<double>(bytes) / 1024.0, 'f', 1); }

}  // namespace

QString RateText(double bytesPerSecond) {
  if (!(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond)) return QStringLiteral("--");
  if (bytesPerSecond < 1024) return QStringLiteral("%1 B/s").arg(std::lround(bytesPerSecond));
  if (bytesPerSecond < 1024.0 * 1024.0)
    return QStringLiteral("%1 KB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
  return QStringLiteral("%1 MB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
}

QString TimeLeftText(const ProgressSample& s) {
  if (!(s.bytesPerSecond > 0) || s.totalBytes <= 0) return QStringLiteral("--:--");
  const int64_t left = std::max<int64_t>(0, s.totalBytes - s.doneBytes);
  const double secs = std::ceil(static_cast<double>(left) / s.bytesPerSecond);
  if (!(secs < 360000)) return QStringLiteral("--:--");
  const long t = static_cast<long>(secs);
  if (t >= 3600)
    return QStringLiteral("%1:%2:%3").arg(t / 3600).arg(t / 60 % 60, 2, 10, QLatin1Char('0')).arg(t % 60, 2, 10, QLatin1Char('0'));
  return QStringLiteral("%1:%2").arg(t / 60).arg(t % 60, 2, 10, QLatin1Char('0'));
}

QString ProgressLineText(const ProgressSample& s) {
  QString text = QStringLiteral("%1%").arg(std::clamp(s.percent, 0, 100), 3);
  if (s.totalBytes > 0) text += QStringLiteral("  %1/%2 bytes").arg(s.doneBytes).arg(s.totalBytes);
  text += QStringLiteral("  ") + RateText(s.bytesPerSecond);
  text += QStringLiteral("  ") + TimeLeftText(s) + QStringLiteral(" left");
  return text;
}

QString ProgressBarText(const ProgressSample& s, int barWidth) {
  const int percent = std::clamp(s.percent, 0, 100);
  const int filled = barWidth * percent / 100;
  QString text = QStringLiteral("[") + QString(filled, QLatin1Char('#')) +
                 QString(barWidth - filled, QLatin1Char('-')) + QStringLiteral("] ");
  text += QStringLiteral("%1%").arg(percent, 3);
  if (s.totalBytes > 0)
    text += QStringLiteral("  %1/%2 KB").arg(Kilobytes(s.doneBytes), Kilobytes(s.totalBytes));
  text += QStringLiteral("  ") + RateText(s.bytesPerSecond);
  text += QStringLiteral("  ") + TimeLeftText(s) + QStringLiteral(" left");
  return text;
}
