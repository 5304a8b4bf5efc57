// A strip that scrolls one text from right to left (RzMarqueeStatus1).
#pragma once

#include <QTimer>
#include <QWidget>

class Marquee : public QWidget {
  Q_OBJECT
 public:
  explicit Marquee(QWidget* parent = nullptr);
  void setText(const QString& text);
  QString text() const { return text_; }
  void setFillColor(const QColor& c);
  QColor fillColor() const { return fill_; }
  QSize sizeHint() const override { return {100, fontMetrics().height() + 6}; }
  QSize minimumSizeHint() const override { return {40, fontMetrics().height() + 6}; }

 signals:
  void clicked();

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;

 private:
  QString text_;
  QColor fill_;
  int offset_ = 0;
  QTimer timer_;
};
