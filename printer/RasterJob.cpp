#include "printer/RasterJob.h"

QString PictureTooLargeLine() { return QStringLiteral("图像大于 750*500 不能处理"); }

DotMatrix::DotMatrix(int width, int height)
    : width_(width < 0 ? 0 : width),
      height_(height < 0 ? 0 : height),
      dots_(static_cast<size_t>(width_) * static_cast<size_t>(height_), 0) {}

bool DotMatrix::Dot(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return false;
  return dots_[static_cast<size_t>(y) * width_ + x] != 0;
}

void DotMatrix::SetDot(int x, int y, bool on) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
  dots_[static_cast<size_t>(y) * width_ + x] = on ? 1 : 0;
}

std::array<uint8_t, 3> DotMatrix::ColumnBytes(int band, int x) const {
  std::array<uint8_t, 3> bytes{};
  const int top = band * kBandRows;
  for (int k = 0; k < 3; ++k)
    for (int r = 0; r < 8; ++r)
      if (Dot(x, top + k * 8 + r)) bytes[k] |= static_cast<uint8_t>(0x80 >> r);
  return bytes;
}

namespace {

// 24-bit colour of the picture; pixels with transparency are laid on white.
QImage ToRgb888(const QImage& picture) {
  if (!picture.hasAlphaChannel()) return picture.convertToFormat(QImage::Format_RGB888);
  const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
  QImage rgb(argb.size(), QImage::Format_RGB888);
  for (int y = 0; y < argb.height(); ++y) {
    const QRgb* src = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    uchar* dst = rgb.scanLine(y);
    for (int x = 0; x < argb.width(); ++x) {
      const int a = qAlpha(src[x]);
      const auto over = [a](int c) {
        return static_cast<uchar>((c * a + 255 * (255 - a) + 127) / 255);
      };
      dst[3 * x] = over(qRed(src[x]));
      dst[3 * x + 1] = over(qGreen(src[x]));
      dst[3 * x + 2] = over(qBlue(src[x]));
    }
  }
  return rgb;
}

QString Hex2(int value) { return QString::asprintf("%02X", value & 0xFF); }

}  // namespace

std::optional<DotMatrix> PictureToDots(const QImage& picture) {
  if (picture.width() > kPrintMaxWidth || picture.height() > kPrintMaxHeight) return std::nullopt;
  DotMatrix dots(picture.width(), picture.height());
  if (picture.isNull()) return dots;
  const QImage rgb = ToRgb888(picture);
  for (int y = 0; y < rgb.height(); ++y) {
    const uchar* line = rgb.constScanLine(y);
    for (int x = 0; x < rgb.width(); ++x) {
      const uchar* px = line + 3 * x;
      dots.SetDot(x, y, px[0] < 250 || px[1] < 250 || px[2] < 250);
    }
  }
  return dots;
}

RasterPrintJob BuildRasterPrintJob(const QImage& picture, const QString& leadingCommands,
                                   const QString& trailingCommands) {
  RasterPrintJob job;
  const std::optional<DotMatrix> dots = PictureToDots(picture);
  if (!dots) {
    job.refused = true;
    return job;
  }
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  const int width = dots->Width();
  const QString header = " 1B 2A 21 " + Hex2(width % 256) + " " + Hex2(width / 256);

  QString leading = leadingCommands;
  if (!leading.isEmpty() && !leading.endsWith(u'\n')) leading += u'\n';
  job.memo1Text = leading;

  for (int band = 0; band < dots->BandCount(); ++band) {
    QString text = band == 0 ? leading : QString();
    text.reserve(text.size() + 32 + (width / 8 + 1) * 73);
    text += header + u'\n';
    QString line;
    for (int x = 0; x < width; ++x) {
      for (uint8_t b : dots->ColumnBytes(band, x)) {
        line += u' ';
        line += QChar(kHex[b >> 4]);
        line += QChar(kHex[b & 0x0F]);
      }
      if (line.size() >= 72) {  // 8 columns of 3 bytes
        text += line + u'\n';
        line.clear();
      }
    }
    if (!line.isEmpty()) text += line + u'\n';
    text += QStringLiteral("1B 4A 00\n");
    job.memo1Text += band == 0 ? text.mid(leading.size()) : text;
    job.bandTransmissions.push_back(std::move(text));
  }
  job.endTransmission = trailingCommands;
  job.memo1Text += trailingCommands;
  return job;
}
