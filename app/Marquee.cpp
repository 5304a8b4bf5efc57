#include "app/Marquee.h"

#include <QMouseEvent>
#include <QPainter>

Marquee::Marquee(QWidget* parent) : QWidget(parent), fill_(palette().color(QPalette::Window)) {
  timer_.setInterval(40);
  connect(&timer_, &QTimer::timeout, this, [this] {
    offset_ += 1;
    const int span = width() + fontMetrics().horizontalAdvance(text_);
    if (offset_ > span) offset_ = 0;
    update();
  });
  timer_.start();
}

void Marquee::setText(const QString& text) {
  text_ = text;
  offset_ = 0;
  update();
}

void Marquee::setFillColor(const QColor& c) {
  fill_ = c;
  update();
}

void Marquee::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), fill_);
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(QRect(width() - offset_, 0, fontMetrics().horizontalAdvance(text_) + 4, height()),
             Qt::AlignVCenter | Qt::AlignLeft, text_);
}

void Marquee::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) emit clicked();
}
