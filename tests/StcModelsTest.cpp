// The compiled STC model table against the model list it is built from.
#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>

#include <map>

#include "isp/stc/StcModern.h"

using namespace stc;

namespace {


std::vector<QStringList> ReadTsv(QString* comments = nullptr) {
  QFile file(QStringLiteral(STC_MODELS_TSV));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << STC_MODELS_TSV;
  std::vector<QStringList> rows;
  bool header = true;
  for (const QByteArray& raw : file.readAll().split('\n')) {
    const QString line = QString::fromUtf8(raw).trimmed();
    if (line.startsWith(QLatin1Char('#'))) {
      if (comments) *comments += line + QLatin1Char('\n');
      continue;
    }
    if (line.isEmpty()) continue;
    if (header) {
      header = false;
      continue;
    }
    rows.push_back(line.split(QLatin1Char('\t')));
  }
  return rows;
}

}  // namespace

// Every row of the list is in the table with its magic, sizes, flags and
// variant, in the same order and nothing more; the list keeps its notice.
TEST(StcModels, TableIsTheList) {
  QString comments;
  const std::vector<QStringList> rows = ReadTsv(&comments);
  EXPECT_TRUE(comments.contains(QStringLiteral("MIT licence")));
  EXPECT_TRUE(comments.contains(QStringLiteral("Copyright (c) 2013-2015 Grigori Goronzy")));
  ASSERT_EQ(rows.size(), 1140u);
  ASSERT_EQ(PartTable().size(), rows.size());
  std::map<QString, int> variants;
  for (size_t i = 0; i < rows.size(); ++i) {
    const QStringList& f = rows[i];
    const PartRow& r = PartTable()[i];
    ASSERT_EQ(f.size(), 9) << i;
    SCOPED_TRACE(f[0].toStdString());
    EXPECT_EQ(QString::fromLatin1(r.name), f[0]);
    EXPECT_EQ(r.magic, f[1].toUShort(nullptr, 16));
    EXPECT_EQ(r.totalFlash, f[2].toUInt());
    EXPECT_EQ(r.codeFlash, f[3].toUInt());
    EXPECT_EQ(r.eeprom, f[4].toUInt());
    EXPECT_EQ(r.iap, f[5] == QLatin1String("1"));
    EXPECT_EQ(r.calibrate, f[6] == QLatin1String("1"));
    EXPECT_EQ(r.mcs251, f[7] == QLatin1String("1"));
    EXPECT_EQ(VariantName(r.variant), f[8]);
    ++variants[f[8]];
  }
  // Variants the list names, each present.
  for (const char* v : {"stc89", "stc12a", "stc12b", "stc12", "stc15a", "stc15", "stc8", "stc8d", "stc8g"})
    EXPECT_GT(variants[QString::fromLatin1(v)], 0) << v;
}

// A magic names one model; where two share one, the boot loader's version
// decides; an unknown magic names none.
TEST(StcModels, LookUp) {
  const struct {
    uint16_t magic;
    uint8_t version;
    const char* name;
    Variant variant;
  } cases[] = {
      {0xF628, 0x73, "STC8A8K64S4A12", Variant::Stc8},
      {0xF528, 0x73, "STC15W4K56S4", Variant::Stc15},
      {0xD17E, 0x62, "STC12C5A60S2", Variant::Stc12},
      {0xF294, 0x67, "STC15F104E", Variant::Stc15a},
      {0xF294, 0x71, "STC15F104W", Variant::Stc15},
      {0xF2D4, 0x67, "STC15L104E", Variant::Stc15a},
      {0xF2D4, 0x71, "STC15L104W", Variant::Stc15},
      {0xF734, 0x73, "STC8H1K08", Variant::Stc8g},
  };
  for (const auto& c : cases) {
    const PartRow* r = FindPart(c.magic, c.version);
    ASSERT_NE(r, nullptr) << c.name;
    EXPECT_STREQ(r->name, c.name);
    EXPECT_EQ(r->variant, c.variant) << c.name;
  }
  EXPECT_EQ(FindPart(0x1234, 0x73), nullptr);
  // Exactly the variants with an engine are served; the rest say why not.
  for (const PartRow& r : PartTable()) {
    const bool served = r.variant == Variant::Stc12 || r.variant == Variant::Stc12b || r.variant == Variant::Stc15a || r.variant == Variant::Stc15 ||
                        r.variant == Variant::Stc8 ||
                        r.variant == Variant::Stc8d || r.variant == Variant::Stc8g;
    EXPECT_EQ(EngineOf(r.variant).has_value(), served) << r.name;
    // stc89 on 16-bit frames has a path of its own, beside the engines.
    EXPECT_EQ(VariantRefusal(r.variant).isEmpty(), served || r.variant == Variant::Stc89) << r.name;
  }
}
