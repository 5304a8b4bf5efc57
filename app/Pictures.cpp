#include "app/Pictures.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>

namespace {
QPixmap PortGlyph(const QColor& lamp) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(lamp);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawEllipse(QRectF(4.5, 4, 4, 3));
  return pm;
}
}  // namespace

QPixmap ClosedPortGlyph() { return PortGlyph(QColor(150, 150, 150)); }
QPixmap OpenPortGlyph() { return PortGlyph(QColor(20, 190, 40)); }

QPixmap ConnectorPinout() {
  QPixmap pm(560, 250);
  pm.fill(QColor(250, 250, 240));
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QFont f(QStringLiteral("WenQuanYi Micro Hei"));
  f.setPixelSize(14);
  p.setFont(f);
  p.drawText(QRect(0, 6, 560, 20), Qt::AlignHCenter, QStringLiteral("DB9 串口信号线定义 (针式插头, 正视)"));
  // Connector shell: a trapezoid with five pins above four.
  QPainterPath shell;
  shell.moveTo(40, 50);
  shell.lineTo(260, 50);
  shell.lineTo(240, 130);
  shell.lineTo(60, 130);
  shell.closeSubpath();
  p.setPen(QPen(Qt::black, 2));
  p.setBrush(QColor(200, 200, 205));
  p.drawPath(shell);
  p.setBrush(QColor(230, 190, 60));
  f.setPixelSize(11);
  p.setFont(f);
  for (int i = 0; i < 5; ++i) {
    QPointF c(70 + i * 40, 75);
    p.drawEllipse(c, 8, 8);
    p.drawText(QRectF(c.x() - 8, c.y() - 7, 16, 14), Qt::AlignCenter, QString::number(i + 1));
  }
  for (int i = 0; i < 4; ++i) {
    QPointF c(90 + i * 40, 108);
    p.drawEllipse(c, 8, 8);
    p.drawText(QRectF(c.x() - 8, c.y() - 7, 16, 14), Qt::AlignCenter, QString::number(i + 6));
  }
  static const char* const kPins[] = {
      "1  DCD  载波检测 (输入)", "2  RXD  接收数据 (输入)", "3  TXD  发送数据 (输出)",
      "4  DTR  数据终端就绪 (输出)", "5  GND  信号地", "6  DSR  数据设备就绪 (输入)",
      "7  RTS  请求发送 (输出)", "8  CTS  清除发送 (输入)", "9  RI   振铃指示 (输入)"};
  f.setPixelSize(13);
  p.setFont(f);
  // The pin list on the right, the wiring note below both: no text crosses
  // the drawing or another line.
  for (int i = 0; i < 9; ++i)
    p.drawText(QPointF(300, 48 + i * 18), QString::fromUtf8(kPins[i]));
  p.drawLine(20, 206, 540, 206);
  p.drawText(QRect(20, 210, 520, 18), Qt::AlignLeft | Qt::AlignVCenter,
             QStringLiteral("ISP 复位接线: DTR 接复位, RTS 接 BOOT0 (或 P3.0 供电控制)"));
  p.drawText(QRect(20, 230, 520, 18), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("点击本图关闭"));
  return pm;
}

QPixmap LinkPicture() {
  QPixmap pm(60, 18);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(40, 90, 200));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(0.5, 0.5, 59, 17), 4, 4);
  p.setPen(Qt::white);
  QFont f(QStringLiteral("WenQuanYi Micro Hei"));
  f.setPixelSize(11);
  p.setFont(f);
  p.drawText(QRect(0, 0, 60, 18), Qt::AlignCenter, QStringLiteral("访问主页"));
  return pm;
}

QImage SamplePrintPicture() {
  QImage img(192, 72, QImage::Format_RGB888);
  img.fill(Qt::white);
  QPainter p(&img);
  p.setPen(QPen(Qt::black, 3));
  p.drawRect(2, 2, 187, 67);
  QFont f(QStringLiteral("WenQuanYi Micro Hei"));
  f.setPixelSize(26);
  f.setBold(true);
  p.setFont(f);
  p.drawText(QRect(0, 4, 192, 36), Qt::AlignCenter, QStringLiteral("Vortana"));
  f.setPixelSize(18);
  f.setBold(false);
  p.setFont(f);
  p.drawText(QRect(0, 38, 192, 28), Qt::AlignCenter, QStringLiteral("打印测试 123"));
  return img;
}
