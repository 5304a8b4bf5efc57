// Raster print jobs: dots, band layout, the hex text, and what a printer
// makes of the bytes.
#include <gtest/gtest.h>

#include <QImage>
#include <QStringList>
#include <random>

#include "printer/RasterJob.h"
#include "support/EscPosDecode.h"
#include "terminal/HexText.h"

namespace {

const QString kLeading = QStringLiteral("1B 40\n1B 33 00");
const QString kTrailing = QStringLiteral("1A 0C 00");

QImage White(int w, int h) {
  QImage img(w, h, QImage::Format_RGB888);
  img.fill(Qt::white);
  return img;
}

QStringList Lines(const QString& text) { return text.split(u'\n', Qt::SkipEmptyParts); }

// The bytes the printer receives: every transmission through the hex send.
std::vector<uint8_t> SentBytes(const RasterPrintJob& job) {
  std::vector<uint8_t> all;
  for (const QString& t : job.bandTransmissions) {
    const auto b = HexDigitsToBytes(t);
    all.insert(all.end(), b.begin(), b.end());
  }
  const auto end = HexDigitsToBytes(job.endTransmission);
  all.insert(all.end(), end.begin(), end.end());
  return all;
}

TEST(RasterJob, TenColumnsGiveAFullAndAShortLinePerBand) {
  QImage img = White(10, 30);
  img.setPixelColor(0, 0, Qt::black);
  const RasterPrintJob job = BuildRasterPrintJob(img, kLeading, kTrailing);
  ASSERT_FALSE(job.refused);
  ASSERT_EQ(job.bandTransmissions.size(), 2u);

  const QStringList first = Lines(job.bandTransmissions[0]);
  ASSERT_EQ(first.size(), 6);
  EXPECT_EQ(first[0], "1B 40");
  EXPECT_EQ(first[1], "1B 33 00");
  EXPECT_EQ(first[2], " 1B 2A 21 0A 00");
  EXPECT_EQ(first[3].size(), 72);
  EXPECT_TRUE(first[3].startsWith(" 80 00 00 00 00 00"));
  EXPECT_EQ(first[4], " 00 00 00 00 00 00");
  EXPECT_EQ(first[5], "1B 4A 00");

  const QStringList second = Lines(job.bandTransmissions[1]);
  ASSERT_EQ(second.size(), 4);
  EXPECT_EQ(second[0], " 1B 2A 21 0A 00");
  EXPECT_EQ(second[1].size(), 72);
  EXPECT_EQ(second[2].size(), 18);
  EXPECT_EQ(second[3], "1B 4A 00");

  EXPECT_EQ(job.endTransmission, kTrailing);
  EXPECT_EQ(job.memo1Text, job.bandTransmissions[0] + job.bandTransmissions[1] + kTrailing);
  EXPECT_TRUE(job.memo1Text.endsWith("1B 4A 00\n1A 0C 00"));
}

TEST(RasterJob, HeaderCarriesTheWidthLowByteFirst) {
  const RasterPrintJob job = BuildRasterPrintJob(White(384, 1), "", "");
  ASSERT_EQ(job.bandTransmissions.size(), 1u);
  const QStringList lines = Lines(job.bandTransmissions[0]);
  EXPECT_EQ(lines[0], " 1B 2A 21 80 01");
  EXPECT_EQ(lines.size(), 1 + 384 / 8 + 1);  // exact multiple of 8: no short line
  EXPECT_EQ(lines.back(), "1B 4A 00");
}

TEST(RasterJob, LastRowOfA25RowPictureIsTheTopBitOfTheSecondBand) {
  QImage img = White(3, 25);
  for (int x = 0; x < 3; ++x) img.setPixelColor(x, 24, Qt::black);
  const auto dots = PictureToDots(img);
  ASSERT_TRUE(dots);
  ASSERT_EQ(dots->BandCount(), 2);
  for (int x = 0; x < 3; ++x) {
    EXPECT_EQ(dots->ColumnBytes(0, x), (std::array<uint8_t, 3>{0, 0, 0}));
    EXPECT_EQ(dots->ColumnBytes(1, x), (std::array<uint8_t, 3>{0x80, 0, 0}));
  }
  const QStringList second = Lines(BuildRasterPrintJob(img, "", "").bandTransmissions[1]);
  EXPECT_EQ(second[1], " 80 00 00 80 00 00 80 00 00");
}

TEST(RasterJob, OnlyNearlyWhitePixelsStayBlank) {
  QImage img(4, 1, QImage::Format_RGB32);
  img.setPixel(0, 0, qRgb(255, 255, 255));
  img.setPixel(1, 0, qRgb(255, 255, 249));
  img.setPixel(2, 0, qRgb(250, 250, 250));
  img.setPixel(3, 0, qRgb(249, 255, 255));
  const auto dots = PictureToDots(img);
  ASSERT_TRUE(dots);
  EXPECT_FALSE(dots->Dot(0, 0));
  EXPECT_TRUE(dots->Dot(1, 0));
  EXPECT_FALSE(dots->Dot(2, 0));
  EXPECT_TRUE(dots->Dot(3, 0));

  // Transparent parts are paper; opaque black prints; a 1-bit picture works.
  QImage alpha(2, 1, QImage::Format_ARGB32);
  alpha.setPixel(0, 0, qRgba(0, 0, 0, 0));
  alpha.setPixel(1, 0, qRgba(0, 0, 0, 255));
  const auto a = PictureToDots(alpha);
  EXPECT_FALSE(a->Dot(0, 0));
  EXPECT_TRUE(a->Dot(1, 0));
  QImage mono(2, 1, QImage::Format_Mono);
  mono.setColor(0, qRgb(255, 255, 255));
  mono.setColor(1, qRgb(0, 0, 0));
  mono.setPixel(0, 0, 1);
  mono.setPixel(1, 0, 0);
  const auto m = PictureToDots(mono);
  EXPECT_TRUE(m->Dot(0, 0));
  EXPECT_FALSE(m->Dot(1, 0));
}

TEST(RasterJob, SizeLimits) {
  EXPECT_TRUE(BuildRasterPrintJob(White(751, 1), kLeading, kTrailing).refused);
  EXPECT_TRUE(BuildRasterPrintJob(White(1, 501), kLeading, kTrailing).refused);
  EXPECT_TRUE(BuildRasterPrintJob(White(751, 1), kLeading, kTrailing).bandTransmissions.empty());
  EXPECT_EQ(PictureTooLargeLine(), QStringLiteral("图像大于 750*500 不能处理"));

  const RasterPrintJob big = BuildRasterPrintJob(White(750, 500), kLeading, kTrailing);
  EXPECT_FALSE(big.refused);
  EXPECT_EQ(big.bandTransmissions.size(), 21u);
  EXPECT_EQ(Lines(big.bandTransmissions[20])[0], " 1B 2A 21 EE 02");
}

// Whatever the picture, a printer fed the job prints exactly its dots, and
// rows below the picture in the last band stay blank.
TEST(RasterJob, PrinterReproducesThePicture) {
  std::mt19937 rng(7);
  for (const auto& size :
       {std::pair{10, 25}, std::pair{37, 490}, std::pair{8, 24}, std::pair{1, 1}}) {
    const int w = size.first, h = size.second;
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        img.setPixel(x, y, rng() % 3 ? qRgb(255, 255, 255) : qRgb(rng() % 256, 250, 255));
    const RasterPrintJob job = BuildRasterPrintJob(img, kLeading, kTrailing);
    const std::vector<uint8_t> bytes = SentBytes(job);
    const EscPosPage page = DecodeEscPos(bytes.data(), bytes.size());
    const int bands = (h + 23) / 24;
    EXPECT_FALSE(page.truncated);
    EXPECT_EQ(page.initCount, 1);
    EXPECT_EQ(page.lineSpacing, 0);
    EXPECT_EQ(page.imageModes, std::vector<int>(bands, 33));
    EXPECT_EQ(page.feeds, std::vector<int>(bands, 0));
    EXPECT_EQ(page.otherBytes, (std::vector<uint8_t>{0x1A, 0x0C, 0x00}));
    EXPECT_EQ(page.pendingColumns, 0);
    ASSERT_EQ(page.width, w);
    ASSERT_EQ(page.height, bands * 24);
    for (int y = 0; y < page.height; ++y)
      for (int x = 0; x < w; ++x) {
        const bool expected = y < h && qRed(img.pixel(x, y)) < 250;
        ASSERT_EQ(page.Dot(x, y), expected) << w << "x" << h << " at " << x << "," << y;
      }
  }
}

TEST(EscPosDecode, TruncatedImageIsReportedNotOverread) {
  const std::vector<uint8_t> bytes{0x1B, 0x2A, 0x21, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0x01};
  const EscPosPage page = DecodeEscPos(bytes.data(), bytes.size());
  EXPECT_TRUE(page.truncated);
  EXPECT_TRUE(page.imageModes.empty());
}

}  // namespace
