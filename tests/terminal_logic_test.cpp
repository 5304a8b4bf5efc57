// Hex send text, receive renderings, GBK conversion and bridge names.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <random>
#include <vector>

#include "platform/Gbk.h"
#include "terminal/BridgeName.h"
#include "terminal/HexText.h"
#include "terminal/ReceiveRenderer.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

const uint8_t* Data(const QByteArray& b) { return reinterpret_cast<const uint8_t*>(b.constData()); }

TEST(HexText, DigitsArePairedFromTheStartIgnoringEverythingElse) {
  EXPECT_EQ(HexDigitsToBytes("1A 2b"), Bytes({0x1A, 0x2B}));
  EXPECT_EQ(HexDigitsToBytes("1A2B3"), Bytes({0x1A, 0x2B}));
  EXPECT_EQ(HexDigitsToBytes("1 2 3"), Bytes({0x12}));
  EXPECT_EQ(HexDigitsToBytes("0x41,0x42"), Bytes({0x04, 0x10, 0x42}));
  EXPECT_EQ(HexDigitsToBytes("41 42 43\r\n"), Bytes({0x41, 0x42, 0x43}));
  EXPECT_TRUE(HexDigitsToBytes("xyz 发送 ").empty());
  EXPECT_TRUE(HexDigitsToBytes("").empty());
  // Full-width digits and letters are not hexadecimal digits.
  EXPECT_EQ(HexDigitsToBytes(QString::fromUtf8("ＡＢ1发f")), Bytes({0x1F}));
}

TEST(HexText, LongTextSplitsIntoPiecesOfTheSendBuffer) {
  QString text;
  const int count = 2 * 50001 + 7;
  text.reserve(count * 3);
  for (int i = 0; i < count; ++i) text += QString::asprintf("%02x ", i & 0xFF);
  const std::vector<uint8_t> bytes = HexDigitsToBytes(text);
  ASSERT_EQ(bytes.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) ASSERT_EQ(bytes[i], i & 0xFF) << i;

  const auto pieces = SplitIntoPieces(bytes);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].size(), 50001u);
  EXPECT_EQ(pieces[1].size(), 50001u);
  EXPECT_EQ(pieces[2].size(), 7u);
  EXPECT_EQ(pieces[1].data(), bytes.data() + 50001);
  EXPECT_EQ(SplitIntoPieces(std::span<const uint8_t>(bytes.data(), 50001)).size(), 1u);
  EXPECT_TRUE(SplitIntoPieces(std::span<const uint8_t>()).empty());
}

TEST(Gbk, EncodesTextAndDecodesItBack) {
  const QString text = QString::fromUtf8("发送区 AB\r\n串口€　");
  const QByteArray gbk = EncodeGbk(text);
  EXPECT_EQ(gbk.left(6), QByteArray("\xB7\xA2\xCB\xCD\xC7\xF8"));
  GbkDecoder d;
  EXPECT_EQ(d.Feed(gbk), text);
  EXPECT_FALSE(d.HasPending());
  // Characters GBK cannot hold become one '?' each, a surrogate pair too.
  EXPECT_EQ(EncodeGbk(QString::fromUtf8("a😀b\u0E01c")), QByteArray("a?b?c"));
  EXPECT_EQ(EncodeGbk(QString(QChar(0xD800)) + "x"), QByteArray("?x"));
}

TEST(Gbk, SplitCharacterShowsOnceComplete) {
  GbkDecoder d;
  EXPECT_EQ(d.Feed("A\xB7"), "A");
  EXPECT_TRUE(d.HasPending());
  EXPECT_EQ(d.Feed("\xA2"
                   "B"),
            QString::fromUtf8("发B"));
  EXPECT_FALSE(d.HasPending());
}

TEST(Gbk, MalformedBytesStayVisibleAndDecodingResumes) {
  GbkDecoder d;
  // 0xFF is never valid; a lead byte before a non-trail byte shows as U+FFFD
  // and the following byte is decoded on its own.
  EXPECT_EQ(d.Feed("\xFF"
                   "A\x81"
                   "0"
                   "\xB7\xA2"),
            QString::fromUtf8("\uFFFDA\uFFFD0发"));
  // A pair in the trail range naming no character is one U+FFFD.
  EXPECT_EQ(d.Feed("\xAA\xA1"
                   "Z"),
            QString::fromUtf8("\uFFFDZ"));
  // A lead byte before a line feed: the line feed still shows.
  EXPECT_EQ(d.Feed("\xB7"
                   "\x0A"),
            QString::fromUtf8("\uFFFD\n"));
}

TEST(ReceiveRenderer, ZerosAreLeftOutAndHexKeepsEveryByte) {
  const auto b = Bytes({0x41, 0x00, 0x42});
  EXPECT_EQ(RenderWholeText(b.data(), b.size()), "AB");
  EXPECT_EQ(ReceiveRenderer::RenderHex(b.data(), b.size()), "41 00 42 ");
  const auto c = Bytes({0xAB, 0x0D, 0xFF});
  EXPECT_EQ(ReceiveRenderer::RenderHex(c.data(), c.size()), "AB 0D FF ");
  EXPECT_EQ(ReceiveRenderer::RenderHex(nullptr, 0), "");
}

TEST(ReceiveRenderer, ZeroBetweenLeadAndTrailDoesNotBreakTheCharacter) {
  ReceiveRenderer r;
  const auto first = Bytes({0xB7});
  const auto second = Bytes({0x00});
  const auto third = Bytes({0xA2, 0x43});
  QString shown = r.RenderTextIncrement(first.data(), first.size());
  shown += r.RenderTextIncrement(second.data(), second.size());
  EXPECT_EQ(shown, "");
  shown += r.RenderTextIncrement(third.data(), third.size());
  EXPECT_EQ(shown, QString::fromUtf8("发C"));
  const auto whole = Bytes({0xB7, 0x00, 0xA2, 0x43});
  EXPECT_EQ(RenderWholeText(whole.data(), whole.size()), shown);
}

// The appended increments must always equal a rebuild of the whole store,
// wherever the blocks happen to split.
TEST(ReceiveRenderer, IncrementsEqualWholeRebuildOnRandomSplits) {
  std::mt19937 rng(12345);
  const QByteArray chinese = EncodeGbk(QString::fromUtf8("串口调试助手发送区接收区€"));
  for (int round = 0; round < 200; ++round) {
    QByteArray store;
    const int parts = 1 + static_cast<int>(rng() % 60);
    for (int i = 0; i < parts; ++i) {
      switch (rng() % 5) {
        case 0:
          store += chinese.mid(rng() % chinese.size(), 1 + rng() % 8);
          break;
        case 1:
          store += '\0';
          break;
        case 2:
          store += static_cast<char>(rng() & 0xFF);
          break;
        case 3:
          store += "AB\r\n";
          break;
        default:
          store += static_cast<char>(0x81 + rng() % 0x7E);
          break;  // a lead byte
      }
    }
    ReceiveRenderer r;
    // Start from a rebuild of a prefix, as after a mode switch.
    const int prefix = static_cast<int>(rng() % (store.size() + 1));
    QString shown = r.RebuildText(Data(store), prefix);
    int pos = prefix;
    while (pos < store.size()) {
      const int len = 1 + static_cast<int>(rng() % 7);
      const int n = std::min(len, static_cast<int>(store.size()) - pos);
      shown += r.RenderTextIncrement(Data(store) + pos, n);
      pos += n;
    }
    ASSERT_EQ(shown, RenderWholeText(Data(store), store.size()))
        << "round " << round << " store " << store.toHex().toStdString();
  }
}

TEST(ReceiveRenderer, AllByteValuesRoundTripThroughHexAndText) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  const QString hex = ReceiveRenderer::RenderHex(all.data(), all.size());
  EXPECT_EQ(HexDigitsToBytes(hex), all);
  const QString text = RenderWholeText(all.data(), all.size());
  // Every byte except the zero shows something up to 0x80.
  EXPECT_EQ(text.left(0x80),
            QString::fromLatin1(reinterpret_cast<const char*>(all.data()) + 1, 0x7F) +
                QString::fromUtf8("€"));
}

TEST(BridgeName, TrailingNumberPlusOneModulo256) {
  EXPECT_EQ(BridgePortName("ttyUSB0"), "ttyUSB1");
  EXPECT_EQ(BridgePortName("COM3"), "COM4");
  EXPECT_EQ(BridgePortName("COM255"), "COM0");
  EXPECT_EQ(BridgePortName("/dev/pts/5"), "/dev/pts/6");
  EXPECT_EQ(BridgePortName("ttyS09"), "ttyS10");
  EXPECT_EQ(BridgePortName("COM"), "COM2");
  EXPECT_EQ(BridgePortName("/dev/ttyX"), "/dev/ttyX2");
  EXPECT_EQ(BridgePortName("tty99999999999999999999999"), "tty0");  // 10^23-1 = 255 mod 256
}

}  // namespace

// ---- Encodings, receive rows, find ----

#include <QRegularExpression>

#include "terminal/LineEnding.h"
#include "terminal/ReceiveRows.h"
#include "terminal/RowFinder.h"
#include "terminal/TextCodec.h"
#include "terminal/Timestamp.h"

namespace {

QString DecodeInPieces(TextEncoding e, const QByteArray& bytes, size_t cut) {
  TextDecoder d(e);
  QString out;
  d.Decode(Data(bytes), cut, out, true);
  d.Decode(Data(bytes) + cut, static_cast<size_t>(bytes.size()) - cut, out, true);
  return out;
}

TEST(TextCodec, EveryCharacterSplitAcrossTwoReadsIsJoinedInBothEncodings) {
  const QString text = QStringLiteral("温度 23.5℃ ok 😀 数据\r\n");
  for (TextEncoding e : {TextEncoding::Gbk, TextEncoding::Utf8}) {
    const QByteArray bytes = EncodeText(e == TextEncoding::Gbk ? QStringLiteral("温度 23.5℃ ok 数据\r\n") : text, e);
    const QString whole = DecodeInPieces(e, bytes, 0);
    EXPECT_EQ(whole, e == TextEncoding::Gbk ? QStringLiteral("温度 23.5℃ ok 数据\r\n") : text);
    for (size_t cut = 1; cut < static_cast<size_t>(bytes.size()); ++cut)
      ASSERT_EQ(DecodeInPieces(e, bytes, cut), whole) << "cut at " << cut;
  }
}

TEST(TextCodec, MalformedUtf8ShowsAReplacementAndDecodingResumes) {
  auto decode = [](std::vector<uint8_t> b) {
    TextDecoder d(TextEncoding::Utf8);
    QString out;
    d.Decode(b.data(), b.size(), out, true);
    return out;
  };
  EXPECT_EQ(decode({0xE4, 0xB8, 'A'}), QStringLiteral("\uFFFDA"));    // cut short
  EXPECT_EQ(decode({0xFF, 'B'}), QStringLiteral("\uFFFDB"));          // never valid
  EXPECT_EQ(decode({0xC0, 0x80}), QStringLiteral("\uFFFD\uFFFD"));    // overlong
  EXPECT_EQ(decode({0xED, 0xA0, 0x80}), QStringLiteral("\uFFFD\uFFFD\uFFFD"));  // surrogate
  EXPECT_EQ(decode({0xE4, 0x00, 0xB8, 0xAD}), QStringLiteral("中"));  // a 0 is left out first
}

TEST(TextCodec, SendLineBreaksFollowTheChoice) {
  EXPECT_EQ(WithLineBreaks("a\r\nb\r\n", LineEnding::CrLf), "a\r\nb\r\n");
  EXPECT_EQ(WithLineBreaks("a\r\nb\r\n", LineEnding::Lf), "a\nb\n");
  EXPECT_EQ(WithLineBreaks("a\r\nb", LineEnding::Cr), "a\rb");
  EXPECT_EQ(EncodeText(QStringLiteral("中"), TextEncoding::Gbk), QByteArray("\xD6\xD0"));
  EXPECT_EQ(EncodeText(QStringLiteral("中"), TextEncoding::Utf8), QByteArray("\xE4\xB8\xAD"));
  // Loading: GBK chosen still takes a valid UTF-8 file as UTF-8.
  EXPECT_EQ(DecodeFileText("\xE4\xB8\xAD", TextEncoding::Gbk), QStringLiteral("中"));
  EXPECT_EQ(DecodeFileText("\xD6\xD0", TextEncoding::Gbk), QStringLiteral("中"));
}

// A store fed in random pieces, as a terminal receives it.
struct Feed {
  std::vector<uint8_t> store;
  ReceiveRows rows{store};
  uint32_t clock = 1000;
  void Add(const std::vector<uint8_t>& bytes) {
    store.insert(store.end(), bytes.begin(), bytes.end());
    rows.Appended(clock += 7);
  }
  QString Joined() const {
    QString s;
    rows.AppendRows(0, rows.RowCount(), s, nullptr);
    return s;
  }
};

std::vector<uint8_t> MixedStream(std::mt19937& rng, TextEncoding e, size_t chars) {
  const QString alphabet = QStringLiteral("ab 01\r\n中文字\t℃");
  QString text;
  for (size_t i = 0; i < chars; ++i) text += alphabet[static_cast<qsizetype>(rng() % alphabet.size())];
  const QByteArray b = EncodeText(text, e);
  std::vector<uint8_t> out(b.begin(), b.end());
  for (int k = 0; k < 5; ++k) out.insert(out.begin() + static_cast<long>(rng() % out.size()), 0);  // zeros are left out
  return out;
}

TEST(ReceiveRows, RowsJoinToTheWholeRenderingFitTheWidthAndSurviveAnySplit) {
  std::mt19937 rng(11);
  for (TextEncoding e : {TextEncoding::Gbk, TextEncoding::Utf8}) {
    for (int cols : {8, 13, 80}) {
      Feed f;
      f.rows.SetEncoding(e);
      f.rows.Layout(cols);
      const std::vector<uint8_t> all = MixedStream(rng, e, 3000);
      for (size_t at = 0; at < all.size();) {
        const size_t n = std::min<size_t>(1 + rng() % 40, all.size() - at);
        f.Add(std::vector<uint8_t>(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(at + n)));
        at += n;
      }
      QString whole;
      TextDecoder(e).Decode(f.store.data(), f.store.size(), whole, true);
      ASSERT_EQ(f.Joined(), whole) << "text, cols " << cols;
      for (qsizetype r = 0; r < f.rows.RowCount(); ++r) {
        int cells = 0;
        for (QChar c : f.rows.Row(r)) cells += c == u'\r' || c == u'\n' ? 0 : CellWidth(c.unicode());
        ASSERT_LE(cells, cols) << "row " << r;
      }
      f.rows.SetHex(true);
      ASSERT_EQ(f.Joined(), ReceiveRenderer::RenderHex(f.store.data(), f.store.size()));
      for (qsizetype r = 0; r + 1 < f.rows.RowCount(); ++r) ASSERT_EQ(f.rows.Row(r).size(), cols / 3 * 3);
      // The same bytes stay in view across a switch.
      const size_t byte = f.rows.FirstByteOfRow(f.rows.RowCount() / 2);
      f.rows.SetHex(false);
      const qsizetype row = f.rows.RowOfByte(byte);
      EXPECT_LE(f.rows.FirstByteOfRow(row), byte);
      EXPECT_GT(row + 1 < f.rows.RowCount() ? f.rows.FirstByteOfRow(row + 1) : SIZE_MAX, byte);
    }
  }
}

TEST(ReceiveRows, ArrivalTimesStartLinesOnlyAndEachHexBlockStartsALine) {
  Feed f;
  f.rows.Layout(30);
  f.rows.SetTimestamps(true);
  f.clock = 3600000 * 13 + 60000 * 5 + 1000 * 9 + 120 - 7;  // first block at 13:05:09.120
  f.Add({'o', 'n', 'e', '\r'});
  f.Add({'\n', 't', 'w', 'o', '\r', '\n'});                     // 13:05:09.127
  f.Add(std::vector<uint8_t>(40, 'x'));                         // wraps; 13:05:09.134
  EXPECT_EQ(f.rows.Row(0), "[13:05:09.120] one\r\n");
  EXPECT_EQ(f.rows.Row(1), "[13:05:09.127] two\r\n");           // the time of its first byte
  EXPECT_EQ(f.rows.Row(2), "[13:05:09.134] " + QString(15, 'x'));
  EXPECT_EQ(f.rows.Row(3), QString(25, 'x'));                   // a wrapped row carries no time
  const QRegularExpression stamp(QStringLiteral("\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] "));
  EXPECT_EQ(f.Joined().count(stamp), 3);

  f.rows.Layout(60);  // fifteen bytes after the time
  f.rows.SetHex(true);
  EXPECT_EQ(f.rows.Row(0), "[13:05:09.120] 6F 6E 65 0D \r\n");
  EXPECT_EQ(f.rows.Row(1), "[13:05:09.127] 0A 74 77 6F 0D 0A \r\n");
  EXPECT_EQ(f.rows.Row(2), "[13:05:09.134] " + QString("78 ").repeated(15));
  EXPECT_EQ(f.rows.Row(3), QString("78 ").repeated(20));
  EXPECT_EQ(f.Joined().count(stamp), 3);
  EXPECT_EQ(StampText(86399999), "[23:59:59.999] ");
  // Off again: the plain renderings.
  f.rows.SetTimestamps(false);
  EXPECT_EQ(f.Joined(), ReceiveRenderer::RenderHex(f.store.data(), f.store.size()));
}

TEST(ReceiveRows, ANewWidthOverALargeStoreIsLaidOutInSlicesWhileDataArrives) {
  for (bool stamps : {false, true}) {
    Feed f;
    f.rows.SetTimestamps(stamps);
    f.rows.Layout(72);
    std::mt19937 rng(5);
    const std::vector<uint8_t> all = MixedStream(rng, TextEncoding::Gbk, 200000);
    for (size_t at = 0; at < all.size(); at += 1024)
      f.Add(std::vector<uint8_t>(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(std::min(all.size(), at + 1024))));
    const qsizetype before = f.rows.RowCount();
    f.rows.Layout(50);
    ASSERT_TRUE(f.rows.LayoutPending());
    EXPECT_EQ(f.rows.Columns(), 72);  // the old rows are shown meanwhile
    EXPECT_EQ(f.rows.RowCount(), before);
    int slices = 0;
    while (!f.rows.ContinueLayout(40000)) {
      if (++slices == 3) f.Add({'l', 'a', 't', 'e', '\r', '\n'});  // arrives in the middle
      ASSERT_LT(slices, 1000);
    }
    EXPECT_GT(slices, 5);
    EXPECT_EQ(f.rows.Columns(), 50);
    if (!stamps) {
      QString whole;
      TextDecoder().Decode(f.store.data(), f.store.size(), whole, true);
      EXPECT_EQ(f.Joined(), whole);
    }
    for (qsizetype r = 0; r < f.rows.RowCount(); ++r) {
      int cells = 0;
      for (QChar c : f.rows.Row(r)) cells += c == u'\r' || c == u'\n' ? 0 : CellWidth(c.unicode());
      ASSERT_LE(cells, 50) << "row " << r;
    }
    // The same rows as laying the store out at once (in hexadecimal with
    // times, where each block starts a line, only with the same blocks).
    Feed g;
    g.store = f.store;
    g.rows.SetTimestamps(stamps);
    g.rows.Layout(50);
    g.rows.Appended(0);
    EXPECT_EQ(f.rows.RowCount(), g.rows.RowCount());
    if (!stamps) {
      f.rows.SetHex(true);
      g.rows.SetHex(true);
      EXPECT_EQ(f.Joined(), g.Joined());
    }
  }
}

// A large store, so searches cross the finder's chunks.
struct BigFeed : Feed {
  explicit BigFeed(TextEncoding e) {
    rows.SetEncoding(e);
    rows.Layout(40);
    const QByteArray line = EncodeText(QStringLiteral("line 温度 ok\r\n"), e);
    std::vector<uint8_t> lines;
    for (int i = 0; i < 20000; ++i) lines.insert(lines.end(), line.begin(), line.end());
    Add(lines);
  }
};

TEST(RowFinder, FindsAcrossRowsGoesRoundAndCountsLikeASearchOfTheWholeText) {
  for (TextEncoding e : {TextEncoding::Gbk, TextEncoding::Utf8}) {
    BigFeed f(e);
    const QByteArray marker = EncodeText(QStringLiteral("温度计"), e);
    // The marker's first character arrives split over two reads, in the
    // middle of the store and near its end.
    f.Add(std::vector<uint8_t>(marker.begin(), marker.begin() + 1));
    f.Add(std::vector<uint8_t>(marker.begin() + 1, marker.end()));
    f.Add(std::vector<uint8_t>(31, '.'));  // the next marker runs over the row's end
    f.Add(std::vector<uint8_t>(marker.begin(), marker.end()));
    const QString needle = QStringLiteral("温度计");
    auto first = FindNext(f.rows, needle, {0, 0});
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->wrapped);
    EXPECT_EQ(f.rows.Slice(first->begin, first->end), needle);
    auto second = FindNext(f.rows, needle, first->end);
    ASSERT_TRUE(second);
    EXPECT_EQ(f.rows.Slice(second->begin, second->end), needle);
    EXPECT_NE(second->begin.row, second->end.row) << "the second marker runs over a row end";
    auto round = FindNext(f.rows, needle, second->end);
    ASSERT_TRUE(round);
    EXPECT_TRUE(round->wrapped);
    EXPECT_EQ(round->begin, first->begin);
    auto back = FindPrevious(f.rows, needle, first->begin);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->wrapped);
    EXPECT_EQ(back->begin, second->begin);
    EXPECT_EQ(FindPrevious(f.rows, needle, second->begin)->begin, first->begin);
    EXPECT_FALSE(FindNext(f.rows, QStringLiteral("absent"), {0, 0}));

    MatchCounter count(QStringLiteral("OK"));  // case is ignored
    int steps = 0;
    while (!count.Step(f.rows, 5000)) ++steps;
    EXPECT_GT(steps, 10);
    EXPECT_EQ(count.Count(), 20000);
    MatchCounter markers(needle);
    while (!markers.Step(f.rows, 1000)) {
    }
    EXPECT_EQ(markers.Count(), 2);
    // Rows that arrive later are counted by further steps.
    f.Add(std::vector<uint8_t>(marker.begin(), marker.end()));
    EXPECT_TRUE(markers.Step(f.rows, 1000));
    EXPECT_EQ(markers.Count(), 3);
  }
}

TEST(RowFinder, HexViewFindsByteSequencesAcrossRowsAndBlocks) {
  Feed f;
  f.rows.Layout(12);  // four bytes a row
  f.rows.SetHex(true);
  f.Add({0x01, 0x02, 0x03, 0x0D});
  f.Add({0x0A, 0x05});
  auto m = FindNext(f.rows, QStringLiteral("0d 0a"), {0, 0});
  ASSERT_TRUE(m);
  EXPECT_EQ(m->begin, (TextPos{0, 9}));
  EXPECT_EQ(m->end, (TextPos{1, 2}));
  EXPECT_EQ(f.rows.Slice(m->begin, m->end), "0D 0A");
}

}  // namespace
