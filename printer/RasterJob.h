// ESC/POS raster printing of a picture: the picture becomes a dot matrix,
// the dot matrix becomes 24-dot bit-image commands written as hexadecimal
// text, one transmission per band of 24 rows, as the printer page sends them
// through the terminal's hexadecimal send.
#pragma once

#include <QImage>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

inline constexpr int kPrintMaxWidth = 750;
inline constexpr int kPrintMaxHeight = 500;
inline constexpr int kBandRows = 24;

// The line the output area gets for a picture above the limit.
QString PictureTooLargeLine();

// One bit per dot (1 = print). Dots outside the picture read as 0.
class DotMatrix {
 public:
  DotMatrix(int width, int height);

  int Width() const { return width_; }
  int Height() const { return height_; }
  // (height + 23) / 24 bands of 24 rows each.
  int BandCount() const { return (height_ + kBandRows - 1) / kBandRows; }

  bool Dot(int x, int y) const;
  void SetDot(int x, int y, bool on);

  // The three bytes of column x in band b: rows 0-7, 8-15, 16-23 of the band,
  // the upper row in the more significant bit. Rows below the picture are 0.
  std::array<uint8_t, 3> ColumnBytes(int band, int x) const;

 private:
  int width_;
  int height_;
  std::vector<uint8_t> dots_;
};

// The dots of a picture, or nothing when it is wider than 750 or higher than
// 500 pixels. The picture is taken as 24-bit colour; a dot is printed where
// any of blue, green, red is below 250, so only nearly white pixels stay
// blank. Transparent parts count as white paper.
std::optional<DotMatrix> PictureToDots(const QImage& picture);

struct RasterPrintJob {
  // The picture is above 750 x 500: nothing is sent, and the output area gets
  // PictureTooLargeLine() as a new line (its other text stays).
  bool refused = false;
  // Hex texts to send one after another, with a 5 ms pause after each: the
  // first holds the leading commands and band 0, each further one a band.
  // Empty for a picture without rows.
  std::vector<QString> bandTransmissions;
  // Sent last: the trailing commands, exactly as given.
  QString endTransmission;
  // The whole job as the output area shows it: the leading commands, every
  // band's lines, and the trailing commands appended without a line break.
  QString memo1Text;
};

// Builds the job. Each band is the line " 1B 2A 21 LL HH" (the width modulo
// 256 and divided by 256), lines of 8 columns (72 characters, " XX" per byte),
// a last shorter line when the width is not a multiple of 8, and "1B 4A 00".
// Lines end with "\n"; a leading text not ending in a line break gets one.
RasterPrintJob BuildRasterPrintJob(const QImage& picture, const QString& leadingCommands,
                                   const QString& trailingCommands);
