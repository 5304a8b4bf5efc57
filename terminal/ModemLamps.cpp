#include "terminal/ModemLamps.h"

#include <QHBoxLayout>

#include <sys/ioctl.h>

namespace {
const char* const kNames[4] = {"CTS", "DSR", "DCD", "RI"};
const int kBits[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RI};
}  // namespace

ModemLamps::ModemLamps(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(2, 0, 2, 0);
  layout->setSpacing(2);
  for (int i = 0; i < 4; ++i) {
    lamp_[i] = new QLabel(this);
    lamp_[i]->setTextFormat(Qt::RichText);
    layout->addWidget(lamp_[i]);
  }
  Show(-1);
}

void ModemLamps::Show(int bits) {
  if (bits < 0) bits = -1;
  if (bits == bits_) return;
  bits_ = bits;
  for (int i = 0; i < 4; ++i) {
    const bool known = bits >= 0;
    const bool on = known && (bits & kBits[i]);
    const char* colour = !known ? "#b8b8b8" : on ? "#10b010" : "#505050";
    lamp_[i]->setEnabled(known);
    lamp_[i]->setText(QStringLiteral("<span style='color:%1'>&#9679;</span>%2")
                          .arg(QLatin1String(colour), QLatin1String(kNames[i])));
    lamp_[i]->setToolTip(known ? QStringLiteral("%1 %2").arg(QLatin1String(kNames[i]), on ? QStringLiteral("高") : QStringLiteral("低"))
                               : QStringLiteral("%1 无法读取").arg(QLatin1String(kNames[i])));
  }
}

QString ModemLamps::StateText() const {
  QStringList parts;
  for (int i = 0; i < 4; ++i)
    parts << QLatin1String(kNames[i]) + (bits_ < 0 ? QStringLiteral("-") : (bits_ & kBits[i]) ? QStringLiteral("1") : QStringLiteral("0"));
  return parts.join(u' ');
}
