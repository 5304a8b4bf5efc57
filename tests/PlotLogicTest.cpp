// Line parsing for the live plot, and the XMODEM/YMODEM machines run against
// each other over a model line that can lose or damage bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

#include "terminal/PlotLines.h"
#include "terminal/XModem.h"

namespace {

std::vector<PlotSample> FeedAll(PlotLineParser& p, const QByteArray& text, int chunk = 0) {
  std::vector<PlotSample> out;
  if (chunk <= 0) {
    p.Feed(text, 0, out);
  } else {
    for (qsizetype i = 0; i < text.size(); i += chunk) p.Feed(text.mid(i, chunk), 0, out);
  }
  return out;
}

TEST(PlotLines, ColumnsWithEverySeparatorAndAHeader) {
  PlotLineParser p;
  const auto s = FeedAll(p, "temp,hum\r\n1.5,2\n-3 +4e2\n5\t6\n7,,9\n");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(p.names(), (QStringList{"temp", "hum"}));
  EXPECT_EQ(s[0].values, (std::vector<double>{1.5, 2}));
  EXPECT_EQ(s[1].values, (std::vector<double>{-3, 400}));
  EXPECT_EQ(s[2].values, (std::vector<double>{5, 6}));
  // An empty field keeps the columns in place.
  ASSERT_EQ(s[3].values.size(), 3u);
  EXPECT_TRUE(std::isnan(s[3].values[1]));
  EXPECT_EQ(s[3].values[2], 9);
  EXPECT_EQ(p.malformed(), 0);

  // Without a header the series get numbered names; a text line after the
  // numbers is the board talking and renames nothing.
  PlotLineParser q;
  FeedAll(q, "1 2 3\nBooting again\n");
  EXPECT_EQ(q.names(), (QStringList{"通道1", "通道2", "通道3"}));
}

TEST(PlotLines, PairsNameTheSeriesInOrderUpToEight) {
  PlotLineParser p;
  auto s = FeedAll(p, "t=1 rpm: 300, v=2.5\nv=3 t=2\n12:30:05 a=1 b=2 c=3 d=4 e=5 f=6 g=7\n");
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(p.names().mid(0, 3), (QStringList{"t", "rpm", "v"}));
  EXPECT_EQ(s[0].values, (std::vector<double>{1, 300, 2.5}));
  ASSERT_GE(s[1].values.size(), 3u);
  EXPECT_EQ(s[1].values[0], 2);
  EXPECT_TRUE(std::isnan(s[1].values[1]));
  EXPECT_EQ(s[1].values[2], 3);
  // The time of day is not a pair; the ninth name finds no series.
  EXPECT_EQ(p.names().size(), 8);
  EXPECT_FALSE(p.names().contains("g"));
  EXPECT_EQ(s[2].values.size(), 8u);
}

TEST(PlotLines, UserExpressionCapturesValues) {
  PlotLineParser p;
  EXPECT_FALSE(p.SetRegex("adc(")) ;
  EXPECT_FALSE(p.error().isEmpty());
  EXPECT_FALSE(p.SetRegex("adc \\d+"));  // no capture group
  ASSERT_TRUE(p.SetRegex(R"(ADC0=(?<a0>\S+) mV ADC1=(\S+))"));
  EXPECT_EQ(p.names(), (QStringList{"a0", "通道2"}));
  const auto s = FeedAll(p, "ADC0=12 mV ADC1=-4\nnoise line\nADC0=1x mV ADC1=8\n");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].values, (std::vector<double>{12, -4}));
  EXPECT_TRUE(std::isnan(s[1].values[0]));
  EXPECT_EQ(s[1].values[1], 8);
  EXPECT_EQ(p.malformed(), 1);
}

TEST(PlotLines, LinesCutAnywhereGiveTheSameSamples) {
  // CR LF, LF and CR alone all end a line.
  const QByteArray text = "a=1,b=2\r\nc=3.25\r\n4 5 6\r\nx=7\ny=8\rz=9\r";
  PlotLineParser whole;
  const auto ref = FeedAll(whole, text);
  ASSERT_EQ(ref.size(), 6u);
  EXPECT_EQ(ref[5].values.back(), 9);
  for (int chunk : {1, 2, 3, 7}) {
    PlotLineParser p;
    const auto s = FeedAll(p, text, chunk);
    ASSERT_EQ(s.size(), ref.size()) << chunk;
    for (size_t i = 0; i < s.size(); ++i) {
      ASSERT_EQ(s[i].values.size(), ref[i].values.size()) << chunk;
      for (size_t k = 0; k < s[i].values.size(); ++k)
        EXPECT_TRUE(s[i].values[k] == ref[i].values[k] || (std::isnan(s[i].values[k]) && std::isnan(ref[i].values[k])));
    }
    EXPECT_EQ(p.names(), whole.names());
  }
}

TEST(PlotLines, MalformedNumbersAreSkippedAndCountedNeverACrash) {
  PlotLineParser p;
  auto s = FeedAll(p, "1.2, 3.4x, nan, inf, 1e999, 5\nv=--1 w=2\n");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].values[0], 1.2);
  EXPECT_EQ(s[0].values[5], 5);
  for (int i = 1; i <= 4; ++i) EXPECT_TRUE(std::isnan(s[0].values[i])) << i;
  EXPECT_EQ(p.malformed(), 5);

  // A board that never ends its line: the buffer stays bounded.
  std::vector<PlotSample> out;
  for (int i = 0; i < 100; ++i) p.Feed(QByteArray(1000, '7'), 0, out);
  p.Feed("\n1 2\n", 0, out);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back().values, (std::vector<double>{1, 2}));

  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    QByteArray junk;
    for (int i = 0; i < 300; ++i) junk.append(static_cast<char>(rng() % 256));
    for (auto mode : {PlotLineParser::Mode::Auto, PlotLineParser::Mode::Columns, PlotLineParser::Mode::Pairs}) {
      p.SetMode(mode);
      p.Feed(junk, 0, out);
    }
  }
  for (const auto& x : out)
    EXPECT_LE(x.values.size(), static_cast<size_t>(kPlotMaxSeries));
}

// ---- XMODEM / YMODEM ----

TEST(PlotLines, CsvKeepsEveryColumnApart) {
  // A board's own t must not share its name with the arrival time, and a
  // name with a comma or a quote must not split into two columns.
  EXPECT_EQ(PlotCsvHeader({"t", "a,b", "q\"x"}), "t_s,t,\"a,b\",\"q\"\"x\"\r\n");
  EXPECT_EQ(PlotCsvHeader({"t_s", "t"}), "t_s_,t_s,t\r\n");
  EXPECT_EQ(PlotCsvHeader({"temp"}), "t,temp\r\n");
  PlotSample s;
  s.t = 1.5;
  s.values = {std::nan(""), 2.25};
  EXPECT_EQ(PlotCsvRow({"a", "b", "c"}, s), "1.500,,2.25,\r\n");
}

TEST(PlotLines, TicksFallOnRoundNumbersWhateverTheSpan) {
  EXPECT_EQ(PlotTickStep(1000, 5), 200);
  EXPECT_EQ(PlotTickStep(499, 8), 100);  // 62.4 rounds up to 100, not down to 50
  EXPECT_DOUBLE_EQ(PlotTickStep(0.3, 6), 0.05);
  EXPECT_DOUBLE_EQ(PlotTickStep(7e-6, 6), 2e-6);
  EXPECT_EQ(PlotTickStep(1e9, 6), 2e8);
  // A flat or broken range still gives a usable step, never zero or NaN.
  for (double span : {0.0, -5.0, std::nan(""), double(INFINITY)}) EXPECT_EQ(PlotTickStep(span, 6), 1) << span;
  EXPECT_EQ(PlotTickDecimals(200), 0);
  EXPECT_EQ(PlotTickDecimals(1), 0);
  EXPECT_EQ(PlotTickDecimals(0.5), 1);
  EXPECT_EQ(PlotTickDecimals(0.05), 2);
  EXPECT_EQ(PlotTickDecimals(PlotTickStep(0.3, 6)), 2);  // computed, not exactly 0.05
  EXPECT_EQ(PlotTickDecimals(0), 0);
}

TEST(PlotLines, ThinningKeepsSpikesAndOrder) {
  QList<QPointF> pts;
  for (int i = 0; i < 10000; ++i) pts.append(QPointF(i, std::sin(i / 300.0)));
  pts[4321].setY(50);   // one spike up and one down among ten thousand
  pts[8765].setY(-50);
  const QList<QPointF> thin = PlotThin(pts, 300);
  EXPECT_LE(thin.size(), 600);
  EXPECT_GE(thin.size(), 300);
  EXPECT_TRUE(thin.contains(pts[4321]));
  EXPECT_TRUE(thin.contains(pts[8765]));
  EXPECT_EQ(thin.first().x(), 0);
  for (qsizetype i = 1; i < thin.size(); ++i) ASSERT_LT(thin[i - 1].x(), thin[i].x()) << i;
  // Few enough points, or a flat line, come back as they are or halved at most.
  const QList<QPointF> few = pts.mid(0, 600);
  EXPECT_EQ(PlotThin(few, 300), few);
  QList<QPointF> flat;
  for (int i = 0; i < 1000; ++i) flat.append(QPointF(i, 7));
  const QList<QPointF> f = PlotThin(flat, 100);
  EXPECT_EQ(f.size(), 100);
  EXPECT_EQ(PlotThin({}, 100), QList<QPointF>{});
}

TEST(XModem, Crc16MatchesTheXmodemCheckValue) {
  const std::string s = "123456789";
  EXPECT_EQ(Crc16Xmodem({reinterpret_cast<const uint8_t*>(s.data()), s.size()}), 0x31C3);
}

using Fault = std::function<void(std::vector<uint8_t>&)>;

// Runs both machines on a virtual clock until both stop; each direction of
// the line may pass through a fault.
int64_t Pump(XferMachine& a, XferMachine& b, Fault ab = {}, Fault ba = {}, int64_t limitMs = 600000,
            std::function<void(int64_t)> step = {}) {
  int64_t now = 0;
  a.Start(now);
  b.Start(now);
  while (now < limitMs && (a.status() == XferMachine::Status::Running || b.status() == XferMachine::Status::Running)) {
    auto x = a.TakeOutput();
    auto y = b.TakeOutput();
    if (ab && !x.empty()) ab(x);
    if (ba && !y.empty()) ba(y);
    if (!x.empty()) b.Feed(x, now);
    if (!y.empty()) a.Feed(y, now);
    if (x.empty() && y.empty()) ++now;
    a.Tick(now);
    b.Tick(now);
    if (step) step(now);
  }
  return now;
}

XferTiming Quick() {
  XferTiming t;
  t.replyMs = 200;
  t.byteMs = 50;
  t.quietMs = 30;
  t.retries = 10;
  return t;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> d(n);
  std::mt19937 rng(seed);
  for (auto& b : d) b = static_cast<uint8_t>(rng());
  return d;
}

TEST(XModem, EveryFlavourCarriesEverySizeExactly) {
  struct Flavour { bool ymodem, oneK, checksum; };
  for (Flavour f : {Flavour{false, false, false}, Flavour{false, false, true}, Flavour{false, true, false},
                    Flavour{true, true, false}, Flavour{true, false, false}}) {
    for (size_t n : {size_t{1}, size_t{128}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{70000}}) {
      SCOPED_TRACE(testing::Message() << "ymodem " << f.ymodem << " 1k " << f.oneK << " sum " << f.checksum << " n " << n);
      const auto data = Pattern(n, static_cast<uint32_t>(n));
      XmodemSender tx({{"a.bin", data}}, f.ymodem, f.oneK, Quick());
      XmodemReceiver rx(f.ymodem, f.checksum, Quick());
      Pump(tx, rx);
      ASSERT_EQ(tx.status(), XferMachine::Status::Done) << tx.cause().toStdString();
      ASSERT_EQ(rx.status(), XferMachine::Status::Done) << rx.cause().toStdString();
      ASSERT_EQ(rx.files().size(), 1u);
      const auto& got = rx.files()[0].data;
      EXPECT_EQ(tx.bytesDone(), static_cast<int64_t>(n));
      EXPECT_EQ(tx.retriesUsed(), 0);
      if (f.ymodem) {
        EXPECT_EQ(rx.files()[0].name, "a.bin");
        EXPECT_EQ(got, data);
      } else {
        // XMODEM knows no size: whole blocks, the tail padded with SUB.
        ASSERT_EQ(got.size() % 128, 0u);
        ASSERT_GE(got.size(), n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
        for (size_t i = n; i < got.size(); ++i) ASSERT_EQ(got[i], xmodem::SUB);
      }
    }
  }
}

TEST(XModem, YmodemBatchOfSeveralFilesAndAnEmptyOne) {
  std::vector<XferFile> files{{"one.txt", Pattern(5, 1)}, {"empty", {}}, {"big.bin", Pattern(3000, 2)}};
  XmodemSender tx(files, true, true, Quick());
  XmodemReceiver rx(true, false, Quick());
  Pump(tx, rx);
  ASSERT_EQ(tx.status(), XferMachine::Status::Done) << tx.cause().toStdString();
  ASSERT_EQ(rx.status(), XferMachine::Status::Done);
  ASSERT_EQ(rx.files().size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rx.files()[i].name, files[i].name);
    EXPECT_EQ(rx.files()[i].data, files[i].data);
  }

  // The receiver's ACK of the batch end lost: every file was confirmed, so
  // the sender completes rather than failing after its retries.
  XmodemSender tx2({{"x", Pattern(10, 3)}}, true, false, Quick());
  XmodemReceiver rx2(true, false, Quick());
  Fault lastAckLost = [&](std::vector<uint8_t>& v) {
    if (rx2.status() == XferMachine::Status::Done) v.clear();
  };
  Pump(tx2, rx2, {}, lastAckLost, 60000);
  EXPECT_EQ(tx2.status(), XferMachine::Status::Done) << tx2.cause().toStdString();
}

TEST(XModem, NoisyLineStillDeliversExactly) {
  for (bool ymodem : {false, true}) {
    std::mt19937 rng(ymodem ? 11 : 12);
    // Damages or drops about one byte in 10000 in both directions.
    Fault noise = [&](std::vector<uint8_t>& v) {
      std::vector<uint8_t> o;
      for (uint8_t b : v) {
        const unsigned r = rng() % 20000;
        if (r == 0) continue;
        o.push_back(r == 1 ? static_cast<uint8_t>(b ^ (1u << (rng() % 8))) : b);
      }
      v.swap(o);
    };
    const auto data = Pattern(200000, 3);
    XmodemSender tx({{"n.bin", data}}, ymodem, true, Quick());
    XmodemReceiver rx(ymodem, false, Quick());
    Pump(tx, rx, noise, noise);
    ASSERT_EQ(tx.status(), XferMachine::Status::Done) << tx.cause().toStdString() << " / " << rx.cause().toStdString();
    ASSERT_EQ(rx.status(), XferMachine::Status::Done) << rx.cause().toStdString();
    EXPECT_GT(tx.retriesUsed(), 0);
    const auto& got = rx.files().at(0).data;
    ASSERT_GE(got.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    if (ymodem) {
      EXPECT_EQ(got.size(), data.size());
    }
  }
}

TEST(XModem, ABlockRepeatedAfterALostAckIsTakenOnce) {
  const auto data = Pattern(3 * 128, 8);
  XmodemSender tx({{"d", data}}, false, false, Quick());
  XmodemReceiver rx(false, false, Quick());
  int acks = 0;
  Fault loseSecondAck = [&](std::vector<uint8_t>& v) {
    for (size_t i = 0; i < v.size(); ++i)
      if (v[i] == xmodem::ACK && ++acks == 2) v.erase(v.begin() + static_cast<ptrdiff_t>(i));
  };
  Pump(tx, rx, {}, loseSecondAck);
  ASSERT_EQ(tx.status(), XferMachine::Status::Done) << tx.cause().toStdString();
  ASSERT_EQ(rx.files().size(), 1u);
  EXPECT_EQ(rx.files()[0].data, data);
}

TEST(XModem, CancelFromEitherSideEndsBothWithTheCause) {
  for (bool senderCancels : {true, false}) {
    XmodemSender tx({{"c.bin", Pattern(50000, 4)}}, true, true, Quick());
    XmodemReceiver rx(true, false, Quick());
    XferMachine& who = senderCancels ? static_cast<XferMachine&>(tx) : rx;
    XferMachine& other = senderCancels ? static_cast<XferMachine&>(rx) : tx;
    const int64_t end = Pump(tx, rx, {}, {}, 600000, [&](int64_t) {
      if (tx.bytesDone() > 10000) who.Cancel();
    });
    EXPECT_LT(end, 1000);  // at once, not after the time-outs
    EXPECT_EQ(who.status(), XferMachine::Status::Failed);
    EXPECT_EQ(who.cause(), "已取消传输");
    EXPECT_EQ(other.status(), XferMachine::Status::Failed);
    EXPECT_EQ(other.cause(), "对方取消了传输");
    EXPECT_TRUE(rx.files().empty());
  }
}

TEST(XModem, SilentOrRefusingPeerEndsWithItsCauseAfterTheRetries) {
  auto silent = [](std::vector<uint8_t>& v) { v.clear(); };
  {
    XmodemSender tx({{"s", Pattern(10, 5)}}, false, false, Quick());
    XmodemReceiver rx(false, false, Quick());
    const int64_t end = Pump(tx, rx, {}, silent, 60000);
    EXPECT_EQ(tx.status(), XferMachine::Status::Failed);
    EXPECT_EQ(tx.cause(), "接收方没有响应");
    EXPECT_LE(end, 200 * 12);
  }
  {
    XmodemSender tx({{"s", Pattern(10, 5)}}, true, false, Quick());
    XmodemReceiver rx(true, false, Quick());
    Pump(tx, rx, silent, {}, 60000);
    EXPECT_EQ(rx.status(), XferMachine::Status::Failed);
    EXPECT_EQ(rx.cause(), "发送方没有响应");
  }
  {
    // Every block refused: the sender gives up after its retries, not before.
    XmodemSender tx({{"s", Pattern(300, 6)}}, false, false, Quick());
    XmodemReceiver rx(false, false, Quick());
    int blocksSent = 0;
    Fault countBlocks = [&](std::vector<uint8_t>& v) { blocksSent += (v[0] == xmodem::SOH); };
    Fault refuse = [](std::vector<uint8_t>& v) {
      for (auto& b : v) if (b == xmodem::ACK) b = xmodem::NAK;
    };
    Pump(tx, rx, countBlocks, refuse, 60000);
    EXPECT_EQ(tx.status(), XferMachine::Status::Failed);
    EXPECT_EQ(tx.cause(), "接收方多次拒收数据块");
    EXPECT_EQ(blocksSent, Quick().retries + 1);
  }
}

TEST(XModem, YmodemNamesCannotLeaveTheFolder) {
  EXPECT_EQ(SafeFileName("../../etc/passwd"), "passwd");
  EXPECT_EQ(SafeFileName("C:\\boot\\fw.bin"), "fw.bin");
  EXPECT_EQ(SafeFileName(".."), "");
  EXPECT_EQ(SafeFileName("dir/"), "");
  EXPECT_EQ(SafeFileName("a\nb"), "");

  XmodemSender tx({{"../x/..", Pattern(3, 7)}}, true, false, Quick());
  XmodemReceiver rx(true, false, Quick());
  Pump(tx, rx);
  EXPECT_EQ(rx.status(), XferMachine::Status::Failed);
  EXPECT_TRUE(rx.cause().startsWith("对方发来的文件名无效"));
  EXPECT_EQ(tx.cause(), "对方取消了传输");
}

}  // namespace
