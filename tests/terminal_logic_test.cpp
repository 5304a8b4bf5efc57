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
