// The STM32 engine end to end: a headless host, the real polling driver on
// a pseudo-terminal (through a recording platform, so the modem lines and
// the low-latency request can be checked), and a simulated boot loader
// behind the link model on the other side.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <memory>
#include <random>

#include "support/Stm32Harness.h"

namespace {

using namespace stm32test;
using Stm32EngineTest = Stm32Harness;

TEST_F(Stm32EngineTest, StandardEraseTargetGetsTheHexImage) {
  StartSim(0x0414);
  const auto image = RandomBytes(5120, 1);
  WriteFile("fw.Hex", ToHex(image));  // the extension in any case
  ASSERT_TRUE(Download(20000)) << sim->failure();
  EXPECT_EQ(host.status, QStringLiteral("上载完成！"));
  EXPECT_EQ(host.log, SuccessLog("2.2", "0414", QStringLiteral("STM32F10x 家族"),
                                 QStringLiteral("存储容量 Flash:512 KB"), 5120, 2));
  EXPECT_EQ(sim->EraseFrame(), (std::vector<uint8_t>{0x02, 0x00, 0x01, 0x02, 0x02 ^ 0x00 ^ 0x01 ^ 0x02}));
  ExpectFlashHolds(image);
  EXPECT_EQ(sim->blocksWritten(), 20);
  EXPECT_EQ(host.progressMax, 5120);
  EXPECT_EQ(host.progress, 0);
  EXPECT_EQ(host.autoDownloadEnded, 0);
  EXPECT_TRUE(sim->failure().empty()) << sim->failure();
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, ExtendedEraseTargetsReadTheirFlashSizeAndEraseWhatTheImageCovers) {
  {
    SCOPED_TRACE("0413");
    StartSim(0x0413);
    const auto image = RandomBytes(16384, 2);  // fills sector 0 exactly
    WriteFile("f4.bin", image);
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_EQ(host.log, SuccessLog("3.1", "0413", QStringLiteral("STM32F40x 家族"),
                                   QStringLiteral("存储容量 Flash:1024 KB"), 16384, 0));
    EXPECT_EQ(sim->EraseFrame(), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00}));
    ExpectFlashHolds(image);
    ExpectPortReleased();
  }
  {
    SCOPED_TRACE("0483");
    StartSim(0x0483);
    const auto image = RandomBytes(6000, 3);
    WriteFile("h7.HEX", ToHex(image));
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_EQ(host.log, SuccessLog("9.1", "0483", QStringLiteral("STM32H7xx 家族"),
                                   QStringLiteral("存储容量 Flash:1024 KB"), 6000, 0));
    ExpectFlashHolds(image);
  }
  for (auto [id, family] : {std::pair{0x0411, "STM32F20x 家族"}, std::pair{0x0463, "STM32F41x 家族"}}) {
    SCOPED_TRACE(id);
    StartSim(static_cast<uint16_t>(id));
    const auto image = RandomBytes(1024, static_cast<unsigned>(id));
    WriteFile("f.bin", image);
    ASSERT_TRUE(Download(20000)) << sim->failure();
    const uint8_t v = sim->profile().bootloaderVersion;
    EXPECT_EQ(host.log, SuccessLog(QStringLiteral("%1.%2").arg(v / 16).arg(v % 16), QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')),
                                   QString::fromUtf8(family),
                                   QStringLiteral("存储容量 Flash:%1 KB").arg(id == 0x0463 ? 1536 : 1024), 1024, 0));
    ExpectFlashHolds(image);
  }
}

// A ragged binary ends on whole words, so its last block is not refused.
TEST_F(Stm32EngineTest, RaggedBinaryEndsOnWholeWords) {
  StartSim(0x0410);
  host.autoDownload = true;
  const auto image = RandomBytes(257, 4);
  WriteFile("small.bin", image);
  ASSERT_TRUE(Download(20000)) << sim->failure();
  EXPECT_EQ(host.status, QStringLiteral("上载完成！"));
  EXPECT_EQ(host.log[4], QStringLiteral("CPU :F10x 1K"));
  EXPECT_EQ(host.log[7], QStringLiteral("文件尺寸: 260 Byte / 0 KB"));
  auto expected = image;
  expected.insert(expected.end(), 3, 0xFF);
  ExpectFlashHolds(expected);
  EXPECT_EQ(sim->blocksWritten(), 2);
  EXPECT_EQ(sim->EraseFrame(), (std::vector<uint8_t>{0x00, 0x00, 0x00}));  // one 1 KB page
  EXPECT_EQ(host.autoDownloadEnded, 1);
  ExpectPortReleased();
}

// Behind every usual adapter latency, at the line rate, the part is found
// and programmed: after a reset, and also when it was left synchronised by
// the session before (no reset lines), where the first 0x7F is read as a
// command code. No synchronisation byte ever mixes with a command.
TEST_F(Stm32EngineTest, ConnectsBehindEveryAdapterLatencyWithOrWithoutReset) {
  Stm32SimOptions o;
  o.link = Paced();
  StartSim(0x0414, o);
  int run = 0;
  for (int latency : {0, 4, 8, 12, 16, 25, 35, 50}) {
    SCOPED_TRACE(latency);
    sim->link().SetAdapterLatency(latency);
    host.autoReset = run % 2 == 0;
    if (host.autoReset) sim->Reset();  // the lines reach the part
    ExpectDownloads(RandomBytes(512, 100 + run));  // over the previous run's firmware
    ++run;
  }
  EXPECT_GE(sim->strayCommandSyncs(), 3);  // the sessions without reset found it listening
}

// Replies cut at random points, with pauses, whatever the cuts.
TEST_F(Stm32EngineTest, RepliesCutAnywhereAreTakenWhole) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    Stm32SimOptions o;
    o.link = Paced(seed % 3 == 0 ? 16 : 0, seed);
    StartSim(seed % 2 ? 0x0414 : 0x0413, o);
    ExpectDownloads(RandomBytes(300, seed));
    if (HasFatalFailure()) return;
  }
}

// At the fastest speed a reply due within milliseconds is waited for on
// the spot, yet the window's event loop still gets its turns throughout a
// verified download (a whole read-back in one turn would be most of a
// second); replies cut with pauses longer than such a wait are still taken.
TEST_F(Stm32EngineTest, EventLoopKeepsTurningWhileRepliesAreAwaitedOnTheSpot) {
  host.speed = br921600;
  for (uint32_t seed : {0u, 4u, 5u}) {
    SCOPED_TRACE(seed);
    Stm32SimOptions o;
    o.link = Paced(0, seed);
    o.link.baud = 921600;
    StartSim(0x0414, o);
    QElapsedTimer clock;
    qint64 last = -1, longest = 0;
    bool wasRunning = false;  // the gap since the last tick began during the session
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const qint64 now = clock.elapsed();
      if (wasRunning) longest = std::max(longest, now - last);
      last = now;
      wasRunning = engine.Running();
    });
    clock.start();
    tick.start(1);
    ExpectDownloads(RandomBytes(seed ? 4096 : 64 * 1024, seed + 7));
    if (HasFatalFailure()) return;
    if (seed == 0) {
      EXPECT_LT(longest, 250);
    }
  }
}

// A retry after a failed session, or a second download with automatic reset
// off: the part is still synchronised, and may even hold a half-read command.
TEST_F(Stm32EngineTest, SecondDownloadToAPartStillSynchronised) {
  Stm32SimOptions o;
  o.link = Paced(16);
  StartSim(0x0414, o);
  ExpectDownloads(RandomBytes(1024, 20));
  EXPECT_EQ(sim->strayCommandSyncs(), 0);
  ExpectDownloads(RandomBytes(1024, 21));
  EXPECT_EQ(sim->strayCommandSyncs(), 1);
  // A session cut off after a command code: the part waits for its complement.
  host.ComPort_Open();
  const uint8_t lone = 0x31;
  host.recDriver.SendBytes(&lone, 1);
  PumpFor(20);
  host.ComPort_Close();
  ExpectDownloads(RandomBytes(1024, 22), false);  // the part complains of the cut-off command
  EXPECT_TRUE(sim->synchronised());
}

// An answer slower than any adapter: a second 0x7F has gone out and the GET
// that follows is misread. The NACK it gets sends the engine back to
// synchronise, which ends whatever the part holds; then all goes as usual.
TEST_F(Stm32EngineTest, AnswerLaterThanAnyAdapterStillConnects) {
  Stm32SimOptions o;
  o.link = Paced();
  o.syncReplyDelayMs = Stm32Engine::kSyncAnswerMs + 100;
  StartSim(0x0414, o);
  ExpectDownloads(RandomBytes(512, 23), false);
  EXPECT_EQ(host.log.first(), QStringLiteral("正在查找设备。。。"));
  EXPECT_EQ(host.log.count(QStringLiteral("已成功连接")), 1);
}

// Flash that holds an earlier firmware is erased exactly where the image
// goes (programming only clears bits); what lies beyond keeps its data.
TEST_F(Stm32EngineTest, PartHoldingEarlierFirmwareIsErasedWhereTheImageGoes) {
  {
    SCOPED_TRACE("0414, 300 KB");
    StartSim(0x0414);
    const auto old = RandomBytes(512 * 1024, 30);
    sim->Preload(0, old);
    const auto image = RandomBytes(300 * 1024, 31);
    WriteFile("big.hex", ToHex(image));
    ASSERT_TRUE(Download(60000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_TRUE(host.log.contains(QStringLiteral("擦除页[ 0 .. 149 ]")));
    EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(sim->Flash(300 * 1024, 2048), std::vector<uint8_t>(old.begin() + 300 * 1024, old.begin() + 302 * 1024));
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();
  }
  {
    SCOPED_TRACE("0413, 600 KB");
    StartSim(0x0413);
    const auto old = RandomBytes(1024 * 1024, 32);
    sim->Preload(0, old);
    const auto image = RandomBytes(600 * 1024, 33);
    WriteFile("big.bin", image);
    ASSERT_TRUE(Download(60000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_TRUE(host.log.contains(QStringLiteral("存储容量 Flash:1024 KB")));
    EXPECT_TRUE(host.log.contains(QStringLiteral("擦除页[ 0 .. 8 ]")));  // sectors 0-8 end at 640 KB
    EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(sim->Flash(640 * 1024, 64), std::vector<uint8_t>(old.begin() + 640 * 1024, old.begin() + 640 * 1024 + 64));
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();
  }
}

// An ID the engine does not know: its layout would be a guess, and a wrong
// guess erases data the image does not cover, so nothing is erased; the
// jobs that need no layout still run.
TEST_F(Stm32EngineTest, UnknownIdIsNamedAndNeverErasedByGuess) {
  Stm32SimProfile p = Stm32SimProfile::ForProduct(0x0999);
  p.extendedErase = true;
  StartSim(p);
  const auto old = RandomBytes(8192, 40);
  sim->Preload(0, old);
  WriteFile("fw.bin", RandomBytes(5000, 41));
  ASSERT_TRUE(Download(20000)) << sim->failure();
  EXPECT_EQ(host.log[4], QStringLiteral("CPU :Fxxx"));
  EXPECT_EQ(host.log.last(), QStringLiteral("未知器件 (Product ID 0999)：不在器件表中，不知道它的页布局，为免丢失数据不擦除"));
  EXPECT_EQ(host.status, host.log.last());
  EXPECT_EQ(sim->erasesDone(), 0);
  EXPECT_EQ(sim->Flash(0, 8192), old);
  ExpectPortReleased();
}

// A line the table names without its flash layout (listed for the boot
// loader, its manual not checked): named, and nothing erased or written.
TEST_F(Stm32EngineTest, NamedPartWithoutLayoutIsRefusedByName) {
  for (uint16_t id : {uint16_t{0x0485}, uint16_t{0x04B0}}) {
    Stm32SimProfile p = Stm32SimProfile::ForProduct(id);
    p.extendedErase = true;
    StartSim(p);
    const auto old = RandomBytes(8192, 42);
    sim->Preload(0, old);
    WriteFile("fw.bin", RandomBytes(5000, 43));
    ASSERT_TRUE(Download(20000)) << sim->failure();
    const QString name = QString::fromLatin1(Stm32PartFor(id).name);
    EXPECT_EQ(host.log.last(), QStringLiteral("%1 (Product ID %2) 暂不支持：器件表中没有它的 Flash 布局，为免丢失数据不擦除")
                                   .arg(name, QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper()));
    EXPECT_EQ(sim->erasesDone(), 0);
    EXPECT_EQ(sim->Flash(0, 8192), old);
  }
}

// After the erase, a block of nothing but erased flash is already in place
// and is not sent; a block that differs in one byte, at either end, is.
// Without the read-back nothing else would notice a block left out.
TEST_F(Stm32EngineTest, BlockErasedButForOneByteIsStillWritten) {
  host.verifyAfterWrite = false;
  for (uint16_t id : {uint16_t(0x0414), uint16_t(0x0457)}) {  // erased reads 0xFF, 0x00
    SCOPED_TRACE(id);
    StartSim(id);
    const uint8_t erased = sim->profile().erasedValue;
    std::vector<uint8_t> image = RandomBytes(256, id);
    image.resize(4 * 256 + 100, erased);  // then an erased block, two more and a short last one
    image[2 * 256 + 255] = 0x5A;          // its last byte only
    image[3 * 256] = 0xA5;                // its first byte only
    image.back() = 0x3C;                  // the short block's last byte only
    ExpectDownloads(image);
    EXPECT_EQ(sim->blocksWritten(), 4);
  }
}

TEST_F(Stm32EngineTest, VerifyNamesTheFirstDifferingAddress) {
  Stm32SimOptions o;
  o.weakCell = 0x3E9;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(2048, 50));
  ASSERT_TRUE(Download(20000));
  // The part answered: the cause alone ends it, on the status line too.
  EXPECT_TRUE(host.status.startsWith(QStringLiteral("校验错误: 地址 0x080003E9"))) << host.status.toStdString();
  EXPECT_FALSE(host.log.contains(QStringLiteral("上载完成！")));
  EXPECT_FALSE(host.log.contains(QStringLiteral("连机失败 ！")));
  ASSERT_GE(host.log.size(), 2);
  EXPECT_TRUE(host.log.last().startsWith(QStringLiteral("校验错误: 地址 0x080003E9")))
      << host.log.join('\n').toStdString();
  ExpectPortReleased();

  // Without the check the same part reports success, and nothing is read back.
  host.verifyAfterWrite = false;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(2048, 51));
  ASSERT_TRUE(Download(20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("上载完成！"));
  EXPECT_FALSE(host.log.contains(QStringLiteral("开始校验。。。")));
  EXPECT_LT(sim->bytesSent(), 2048u);
}

// Files that cannot be downloaded are refused at once, naming the cause,
// before anything is erased.
TEST_F(Stm32EngineTest, FileThatCannotBeDownloadedIsReportedAtOnce) {
  StartSim(0x0410);  // 128 KB
  struct Case {
    const char* name;
    std::string content;
    QString cause;
  };
  const auto image = RandomBytes(256, 60);
  std::string cut = ToHex(image, false);
  std::string bad = ToHex(image);
  bad[bad.find('\n') + 20] = 'x';  // second line
  const std::vector<Case> cases = {
      {"big.bin", std::string(130 * 1024, 'x'), QStringLiteral("文件太大，不能用于128K Flash")},
      {"cut.hex", cut, QStringLiteral("HEX文件不完整（没有结束记录）: cut.hex")},
      {"bad.hex", bad, QStringLiteral("HEX文件第 2 行格式错误")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(c.name, c.content);
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(Download(5000));
    EXPECT_LT(t.elapsed(), 4000);
    EXPECT_EQ(host.log.last(), c.cause);
    EXPECT_EQ(host.status, c.cause);
    EXPECT_FALSE(host.log.contains(QStringLiteral("连机失败 ！")));
    ExpectPortReleased();
  }
  // The too-large refusal names both sizes.
  WriteFile("big.bin", std::string(130 * 1024, 'x'));
  Download(5000);
  EXPECT_TRUE(host.log.contains(QStringLiteral("文件尺寸: 133120 Byte / 130 KB")));
  EXPECT_EQ(sim->erasesDone(), 0);
  EXPECT_EQ(sim->blocksWritten(), 0);

  host.firmwareFileName = "/dev/zero";
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Download(5000));
  EXPECT_LT(t.elapsed(), 4000);
  EXPECT_EQ(host.log.last(), QStringLiteral("不是普通文件: /dev/zero"));

  host.firmwareFileName = dir.filePath("gone.bin");
  ASSERT_TRUE(Download(5000));
  EXPECT_EQ(host.status, QStringLiteral("文件不存在"));
  EXPECT_EQ(host.log.last(), QStringLiteral("文件不存在"));
  EXPECT_EQ(sim->erasesDone(), 0);
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, SilentTargetTimesOutAfterAboutSixSeconds) {
  Stm32SimOptions o;
  o.silent = true;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(64, 7));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Download(10000));
  EXPECT_GE(t.elapsed(), 5000);
  EXPECT_LE(t.elapsed(), 8000);
  EXPECT_EQ(host.status, QStringLiteral("连机失败 ！"));
  // Never found: check the cable; then why.
  EXPECT_EQ(host.log, (QStringList{QStringLiteral("正在查找设备。。。"), QStringLiteral("连机失败 ！"),
                                   QStringLiteral("设备没有应答同步字节 0x7F")}));
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, RefusedWriteEndsByTheTimeOutNamingTheAddress) {
  Stm32SimOptions o;
  o.nackCommand = 0x31;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(1024, 8));
  ASSERT_TRUE(Download(15000));
  EXPECT_EQ(host.status, QStringLiteral("写命令被拒绝: 地址 0x08000000"));
  EXPECT_EQ(host.log.last(), QStringLiteral("写命令被拒绝: 地址 0x08000000"));
  EXPECT_FALSE(host.log.contains(QStringLiteral("连机失败 ！")));
  EXPECT_EQ(sim->erasesDone(), 1);
  EXPECT_EQ(sim->blocksWritten(), 0);
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, HangUpMidDownloadIsReportedAtOnce) {
  Stm32SimOptions o;
  o.hangUpAfterWrites = 3;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(4096, 9));
  engine.STM32UP(host.Job());
  ASSERT_TRUE(PumpUntil([&] { return sim->hungUp(); }, 10000));
  sim->Stop();
  pty.HangUp();  // the adapter is pulled
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }, 3000));
  EXPECT_EQ(host.log.last(), QStringLiteral("串口已断开或无法写入"));
  ExpectPortReleased();
}

// The window closes the port while a session runs (the terminal's button).
TEST_F(Stm32EngineTest, PortClosedUnderTheSessionEndsIt) {
  Stm32SimOptions o;
  o.link = Paced();
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(8192, 10));
  engine.STM32UP(host.Job());
  ASSERT_TRUE(PumpUntil([&] { return sim->blocksWritten() >= 2; }, 10000));
  host.ComPort_Close();
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }, 1000));
  EXPECT_EQ(host.log.last(), QStringLiteral("串口已断开或无法写入"));
  ExpectPortReleased();
}

// Stray bytes flooding in while searching must not run past the frame buffer.
TEST_F(Stm32EngineTest, ReplyFloodIsCutToTheFrameBuffer) {
  Stm32SimOptions o;
  o.silent = true;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(64, 6));
  engine.STM32UP(host.Job());
  std::vector<uint8_t> flood(900, 0x55);
  flood.back() = 0x79;
  bool connected = PumpUntil([&] {
    pty.Write(flood);
    PumpFor(3);
    return host.log.contains(QStringLiteral("已成功连接"));
  }, 3000);
  EXPECT_TRUE(connected);
  EXPECT_EQ(engine.StmState, 2);
}

// The reset lines: into the boot loader before the first synchronisation
// byte, back into the program after the last step, in the order each wiring
// needs; nothing when automatic reset is off. The low-latency request is
// made for the session and undone when the port closes.
TEST_F(Stm32EngineTest, ResetLinesAndLowLatencyAroundTheSession) {
  struct Case {
    bool autoReset, mode2;
    std::vector<std::string> before, after;
  };
  const std::vector<Case> cases = {
      {true, false, {"DTR1", "RTS1", "DTR0"}, {"RTS0", "DTR1", "DTR0"}},
      {true, true, {"RTS1", "DTR1"}, {"DTR0", "RTS0"}},
      {false, false, {}, {}},
  };
  StartSim(0x0414);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode2);
    host.autoReset = c.autoReset;
    host.resetMode2 = c.mode2;
    host.platform.Clear();
    sim->Reset();
    ExpectDownloads(RandomBytes(256, 70));
    EXPECT_EQ(host.platform.LinesBeforeFirstWrite(), c.before);
    EXPECT_EQ(host.platform.LinesAfterLastWrite(), c.after);
    const auto& calls = host.platform.calls;
    auto at = [&](const char* what) { return std::find(calls.begin(), calls.end(), what) - calls.begin(); };
    auto last = [&](const char* what) {
      return calls.rend() - std::find(calls.rbegin(), calls.rend(), what) - 1;
    };
    EXPECT_LT(at("LOWLAT1"), at("W"));
    EXPECT_GT(last("LOWLAT0"), last("W"));
    EXPECT_EQ(calls.back(), "CLOSE");
    EXPECT_FALSE(host.platform.lowLatency);
  }
  // A device that refuses, or one that was low-latency already: left alone.
  for (bool refuse : {true, false}) {
    host.platform.refuseLowLatency = refuse;
    host.platform.lowLatency = !refuse;
    host.platform.Clear();
    ExpectDownloads(RandomBytes(256, 71));
    EXPECT_EQ(std::count(host.platform.calls.begin(), host.platform.calls.end(), "LOWLAT0"), 0);
    EXPECT_EQ(host.platform.lowLatency, !refuse);
  }
}

// A sequence of the user's own replaces the wiring, whatever the host's
// reset boxes say: an adapter that inverts RTS (BOOT0) still reaches the
// boot loader, the exit part runs after the job, and no sequence at all
// leaves the lines alone.
TEST_F(Stm32EngineTest, CustomResetSequenceWithInvertedLineReachesTheBootLoader) {
  StartSim(0x0414);
  const std::vector<uint8_t> image = RandomBytes(512, 73);
  IspJob job = IspJob::Download(WriteFile("fw.bin", image));
  job.reset = ResetSequence::Parse(QStringLiteral("~rts,rts,dtr,30,-dtr,10/-rts,dtr,30,-dtr"));
  ASSERT_TRUE(job.reset);
  for (bool hostResets : {false, true}) {
    SCOPED_TRACE(hostResets);
    host.autoReset = hostResets;
    host.resetMode2 = hostResets;
    host.platform.Clear();
    sim->Reset();
    ASSERT_TRUE(Run(job, 30000)) << sim->failure();
    ASSERT_TRUE(host.result->ok) << host.log.join('\n').toStdString();
    ExpectFlashHolds(image);
    EXPECT_EQ(host.platform.LinesBeforeFirstWrite(), (std::vector<std::string>{"RTS0", "DTR1", "DTR0"}));
    EXPECT_EQ(host.platform.LinesAfterLastWrite(), (std::vector<std::string>{"RTS1", "DTR1", "DTR0"}));
  }
}

// The engine listens in on the port's receive handler for replies the
// port's own polling takes first; whoever set that handler still gets
// every byte, and has it back once the session is over.
TEST_F(Stm32EngineTest, PortReceiveHandlerSeesEveryReplyAndIsPutBack) {
  StartSim(0x0414);
  uint64_t seen = 0;
  host.recDriver.OnReceiveData = [&](TKRNCommDriver*, const uint8_t*, int32_t n) { seen += static_cast<uint64_t>(n); };
  ExpectDownloads(RandomBytes(1024, 72));
  EXPECT_EQ(seen, sim->bytesSent());
  seen = 0;
  ASSERT_TRUE(host.recDriver.OnReceiveData);
  host.recDriver.OnReceiveData(&host.recDriver, nullptr, 3);
  EXPECT_EQ(seen, 3u);
}

// An independent reading of the simulated boot loader: the Debian stm32flash
// tool programs and verifies every simulated line over the same
// pseudo-terminal, over an earlier firmware.
TEST(Stm32SimYardstick, Stm32flashProgramsEverySimulatedLine) {
  const QString tool = QStringLiteral("/usr/bin/stm32flash");
  if (!QFile::exists(tool)) GTEST_SKIP() << "stm32flash not installed";
  PtyPair pty;
  QTemporaryDir dir;
  QStringList failed, unknown;
  for (uint16_t id : Stm32SimProfile::Products()) {
    SCOPED_TRACE(::testing::Message() << std::hex << id);
    Stm32SimOptions o;
    o.link = Paced();
    o.link.baud = 460800;
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(id), o);
    const auto old = RandomBytes(8192, id + 1);
    sim.Preload(0, old);
    const auto image = RandomBytes(3000, id);
    const QString path = dir.filePath(QStringLiteral("fw%1.bin").arg(id));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size()));
    f.close();
    // A pseudo-terminal cannot keep even parity, and the tool checks that the
    // settings took; the link model counts 11 bits a byte all the same.
    QProcess p;
    p.start(tool, {"-b", "115200", "-m", "8n1", "-w", path, "-v", QString::fromStdString(pty.slavePath())});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString said = QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
    if (said.contains(QStringLiteral("Unknown/unsupported device"))) {
      unknown << QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));  // the tool's own list decides
      sim.Stop();
      continue;
    }
    const bool ok = p.exitCode() == 0 && sim.Flash(0, 3000) == image;
    if (!ok)
      failed << QStringLiteral("%1: %2 %3 | %4").arg(id, 4, 16, QLatin1Char('0')).arg(p.exitCode())
                    .arg(QString::fromStdString(sim.failure()))
                    .arg(said.right(300).simplified());
    sim.Stop();
  }
  EXPECT_TRUE(failed.isEmpty()) << failed.join('\n').toStdString();
  // This tool version knows most lines; the rest have no independent reading here.
  EXPECT_GE(Stm32SimProfile::Products().size() - static_cast<size_t>(unknown.size()), 40u) << unknown.join(' ').toStdString();
  if (!unknown.isEmpty()) std::printf("stm32flash does not know: %s\n", unknown.join(' ').toStdString().c_str());
}

// The bytes on the wire for a download with verify, a range erase and a
// read, exactly as the part reads them: however the engine builds and
// writes its frames, the part sees the same conversation, one write a frame.
std::string WireHex(const std::vector<uint8_t>& wire) {
  std::string s;
  char b[4];
  for (uint8_t v : wire) {
    std::snprintf(b, sizeof b, "%02X", v);
    s += b;
  }
  return s;
}

TEST_F(Stm32EngineTest, BytesOnTheWireForDownloadEraseAndRead) {
  const std::string hello =
      "7F"           // synchronisation
      "00FF" "02FD"  // GET, GET ID
      "11EE" "1FFFF7E0F7" "03FC";  // the flash-size register, 4 bytes
  // Eight bytes in page 0, six in page 1.
  StartSim(0x0414);
  host.platform.Clear();
  WriteFile("two.hex", ":020000040800F2\r\n"
                       ":080000000102030405060708D4\r\n"
                       ":0608040011121314151679\r\n"
                       ":00000001FF\r\n");
  ASSERT_TRUE(Download(20000)) << sim->failure();
  ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
  EXPECT_EQ(WireHex(sim->Wire()), hello +
                                     "43BC" "01000100"  // ERASE pages 0 and 1
                                     "31CE" "0800000008" "07" "0102030405060708" "0F"
                                     // the second stretch to whole words, zero-filled
                                     "31CE" "0800080404" "07" "1112131415160000" "00"
                                     "11EE" "0800000008" "07F8"  // verify
                                     "11EE" "0800080404" "07F8");
  // Each frame in one write, and no question about the output queue between.
  EXPECT_EQ(host.platform.CountWhileWriting("W"), 20);
  EXPECT_EQ(host.platform.CountWhileWriting("Q"), 0);
  StartSim(0x0414);
  IspJob erase = IspJob::OfKind(IspJobKind::Erase);
  erase.address = 0x08000800;
  erase.length = 0x1000;
  ASSERT_TRUE(Run(erase, 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_EQ(WireHex(sim->Wire()), hello + "43BC" "01010202");  // pages 1 and 2
  StartSim(0x0414);
  IspJob read = IspJob::OfKind(IspJobKind::Read);
  read.file = dir.filePath("part.bin");
  read.address = 0x08000000;
  read.length = 300;
  ASSERT_TRUE(Run(read, 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_EQ(WireHex(sim->Wire()), hello + "11EE" "0800000008" "FF00" "11EE" "0800010009" "2BD4");
}

}  // namespace
