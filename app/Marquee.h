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
