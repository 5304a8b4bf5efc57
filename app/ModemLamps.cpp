#include "app/ModemLamps.h"

#include <QFontInfo>
#include <QPainter>

#include <sys/ioctl.h>

namespace {
const char* const kNames[4] = {"CTS", "DSR", "DCD", "RI"};
const int kBits[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI};
constexpr int kPad = 3;  // each side of a name
constexpr int kGap = 2;  // between lamps
}  // namespace

ModemLamps::ModemLamps(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ModemLamps::Show(int bits) {
  if (bits < 0) bits = -1;
  if (bits == bits_) return;
  bits_ = bits;
  update();
}

QString ModemLamps::StateText() const {
  QStringList parts;
  for (int i = 0; i < 4; ++i)
    parts << QLatin1String(kNames[i]) +
                 (bits_ < 0 ? QStringLiteral("-") : (bits_ & kBits[i]) ? QStringLiteral("1") : QStringLiteral("0"));
  return parts.join(u' ');
}

int ModemLamps::Width(int pixelSize) const {
  QFont f = font();
  f.setPixelSize(pixelSize);
  const QFontMetrics fm(f);
  int w = 3 * kGap;
  for (const char* n : kNames) w += fm.horizontalAdvance(QLatin1String(n)) + 2 * kPad;
  return w;
}

QSize ModemLamps::sizeHint() const {
  const int px = std::max(8, QFontInfo(font()).pixelSize() * 4 / 5);
  return {Width(px) + 4, QFontMetrics(font()).height()};
}

QSize ModemLamps::minimumSizeHint() const { return {Width(8) + 4, 12}; }

void ModemLamps::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  QFont f = font();
  int px = std::max(8, QFontInfo(font()).pixelSize() * 4 / 5);
  while (px > 8 && Width(px) + 4 > width()) --px;  // the room the bar leaves
  f.setPixelSize(px);
  p.setFont(f);
  const QFontMetrics fm(f);
  const int h = std::min(height() - 2, fm.height() + 2);
  const int y = (height() - h) / 2;
  int x = std::max(2, (width() - Width(px)) / 2);
  for (int i = 0; i < 4; ++i) {
    const QString name = QLatin1String(kNames[i]);
    const QRect r(x, y, fm.horizontalAdvance(name) + 2 * kPad, h);
    const bool known = bits_ >= 0;
    const bool on = known && (bits_ & kBits[i]);
    if (on) {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x1f, 0xa3, 0x1f));
      p.drawRoundedRect(r, 3, 3);
      p.setPen(Qt::white);
    } else {
      p.setPen(palette().color(known ? QPalette::Active : QPalette::Disabled, QPalette::Mid));
      p.setBrush(Qt::NoBrush);
      p.drawRoundedRect(r.adjusted(0, 0, -1, -1), 3, 3);
      p.setPen(palette().color(known ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    }
    p.drawText(r, Qt::AlignCenter, name);
    x = r.right() + 1 + kGap;
  }
}
