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

#include "isp/stm32/Stm32Engine.h"
#include "sim/Stm32Sim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// The image as Intel HEX from 0x08000000, 16-byte records.
std::string ToHex(const std::vector<uint8_t>& image, bool endRecord = true) {
  std::string s;
  char buf[80];
  auto record = [&](uint16_t offset, uint8_t type, const uint8_t* data, size_t n) {
    uint8_t sum = static_cast<uint8_t>(n + (offset >> 8) + offset + type);
    int len = snprintf(buf, sizeof buf, ":%02X%04X%02X", unsigned(n), unsigned(offset), unsigned(type));
    s.append(buf, len);
    for (size_t i = 0; i < n; ++i) {
      sum = static_cast<uint8_t>(sum + data[i]);
      len = snprintf(buf, sizeof buf, "%02X", data[i]);
      s.append(buf, len);
    }
    len = snprintf(buf, sizeof buf, "%02X\r\n", uint8_t(-sum));
    s.append(buf, len);
  };
  for (size_t off = 0; off < image.size(); off += 16) {
    if (off % 0x10000 == 0) {
      uint8_t upper[2] = {0x08, static_cast<uint8_t>(off >> 16)};
      record(0, 4, upper, 2);
    }
    record(static_cast<uint16_t>(off), 0, image.data() + off, std::min<size_t>(16, image.size() - off));
  }
  if (endRecord) record(0, 1, nullptr, 0);
  return s;
}

// Records every write too, so the modem lines can be placed against the
// first and the last byte sent.
class WireRecorder : public RecordingSerialPlatform {
 public:
  long Write(int fd, const void* buf, size_t len) override {
    calls.push_back("W");
    return RecordingSerialPlatform::Write(fd, buf, len);
  }
  // Modem-line entries before the first write and after the last one.
  std::vector<std::string> LinesBeforeFirstWrite() const {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < calls.size() && calls[i] != "LINE") ++i;
    for (i += 3; i < calls.size() && calls[i] != "W"; ++i)  // after LINE's own DTR and RTS
      if (IsLine(calls[i])) out.push_back(calls[i]);
    return out;
  }
  std::vector<std::string> LinesAfterLastWrite() const {
    std::vector<std::string> out;
    size_t last = calls.size();
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == "W") last = i;
    for (size_t i = last + 1; i < calls.size(); ++i)
      if (IsLine(calls[i])) out.push_back(calls[i]);
    return out;
  }

 private:
  static bool IsLine(const std::string& c) { return c.rfind("DTR", 0) == 0 || c.rfind("RTS", 0) == 0; }
};

class RecordingHost : public FakeIspHost {
 public:
  WireRecorder platform;
  TKRNCommDriver recDriver{nullptr, &platform};
  bool verify = true;

  bool VerifyAfterWrite() const override { return verify; }
  bool ComPort_Open() override {
    recDriver.PortName = portName;
    recDriver.setComPortSpeed(speed);
    recDriver.setComPortDataBits(dataBits);
    recDriver.setComPortStopBits(stopBits);
    recDriver.setComPortParity(parity);
    recDriver.ReceiveCount = 0;
    if (!recDriver.Connect()) {
      ++openFailures;
      return false;
    }
    portOpen = portGlyphOpen = true;
    return true;
  }
  bool ComPort_Close() override {
    portGlyphOpen = portOpen = false;
    recDriver.Disconnect();
    return true;
  }
  TKRNCommDriver& ComDriver() override { return recDriver; }
};

SimLinkOptions Paced(int latencyMs = 0, uint32_t seed = 0) {
  SimLinkOptions o;
  o.baud = 115200;
  o.bitsPerByte = 11;
  o.adapterLatencyMs = latencyMs;
  o.seed = seed;
  o.maxPauseMs = 10;
  return o;
}

class Stm32EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.portName = QString::fromStdString(pty.slavePath());
    host.speed = br115200;
    host.parity = ptEVEN;
  }

  void StartSim(uint16_t productId, Stm32SimOptions options = {}) {
    StartSim(Stm32SimProfile::ForProduct(productId), options);
  }
  void StartSim(const Stm32SimProfile& profile, Stm32SimOptions options = {}) {
    sim.reset();
    sim = std::make_unique<Stm32Sim>(pty.master(), profile, options);
  }

  QString WriteFile(const QString& name, const std::string& content) {
    QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content.data(), static_cast<qint64>(content.size()));
    host.firmwareFileName = path;
    return path;
  }
  QString WriteFile(const QString& name, const std::vector<uint8_t>& content) {
    return WriteFile(name, std::string(content.begin(), content.end()));
  }

  bool Ended() const { return host.downloadEnabled && !engine.Running(); }

  // Presses download and waits for the session to end, in an event loop
  // of its own so that a reply is handled as soon as it arrives.
  bool Download(int timeoutMs) {
    host.log.clear();
    engine.STM32UP();
    EXPECT_FALSE(host.downloadEnabled);
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
      if (Ended() || t.elapsed() > timeoutMs) loop.quit();
    });
    check.start(10);
    loop.exec();
    return Ended();
  }

  void ExpectPortReleased() {
    EXPECT_FALSE(host.recDriver.IsConnected());
    EXPECT_FALSE(host.portGlyphOpen);
    EXPECT_TRUE(host.downloadEnabled);
    EXPECT_TRUE(host.portListsEnabled);
    EXPECT_FALSE(engine.Running());
  }

  static QStringList SuccessLog(const QString& version, const QString& id, const QString& family,
                                const QString& flashLine, int length, int lastUnit, bool verify = true) {
    QStringList l{QStringLiteral("正在查找设备。。。"), QStringLiteral("已成功连接"),
                  QStringLiteral("Bootloader 版本 ") + version, QStringLiteral("Product ID: ") + id, family};
    if (!flashLine.isEmpty()) l << flashLine;
    l << QStringLiteral("加载文件。。。")
      << QStringLiteral("文件尺寸: %1 Byte / %2 KB").arg(length).arg(length / 1024)
      << QStringLiteral("加载文件完成！") << QStringLiteral(" ")
      << QStringLiteral("擦除页[ 0 .. %1 ]").arg(lastUnit) << QStringLiteral("开始写入。。。");
    if (verify) l << QStringLiteral("开始校验。。。");
    l << QStringLiteral("上载完成！");
    return l;
  }

  void ExpectFlashHolds(const std::vector<uint8_t>& image, uint32_t tailFF = 64) {
    EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(sim->Flash(static_cast<uint32_t>(image.size()), tailFF), std::vector<uint8_t>(tailFF, 0xFF));
  }

  // One download that must succeed and leave exactly the image.
  void ExpectDownloads(const std::vector<uint8_t>& image, bool clean = true) {
    WriteFile("fw.bin", image);
    ASSERT_TRUE(Download(30000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(image.size())), image);
    if (clean) {
      EXPECT_TRUE(sim->failure().empty()) << sim->failure();
    }
    ExpectPortReleased();
  }

  PtyPair pty;
  QTemporaryDir dir;
  RecordingHost host;
  std::unique_ptr<Stm32Sim> sim;
  Stm32Engine engine{host};
};

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
    EXPECT_EQ(host.log, SuccessLog("3.1", QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')),
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

// An ID the engine does not know, whose boot loader offers only the
// extended erase: erased with it, page by page, from the size it reports.
TEST_F(Stm32EngineTest, UnknownIdTakesTheEraseItsBootLoaderOffers) {
  Stm32SimProfile p = Stm32SimProfile::ForProduct(0x0999);
  p.productId = 0x0999;
  p.extendedErase = true;
  p.eraseUnits.assign(64, 2048);
  StartSim(p);
  sim->Preload(0, RandomBytes(128 * 1024, 40));
  const auto image = RandomBytes(5000, 41);
  WriteFile("fw.bin", image);
  ASSERT_TRUE(Download(20000)) << sim->failure();
  ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
  EXPECT_EQ(host.log[4], QStringLiteral("CPU :Fxxx"));
  EXPECT_EQ(host.log[5], QStringLiteral("存储容量 Flash:128 KB"));
  EXPECT_EQ(sim->ErasedUnits(), (std::vector<uint32_t>{0, 1, 2}));
  EXPECT_EQ(sim->Flash(0, 5000), image);
  EXPECT_TRUE(sim->failure().empty()) << sim->failure();

  // A size the engine cannot read (kept elsewhere on this part, so it reads
  // erased bytes) leaves the usual 512 KB and no size line.
  p.flashSizeAddress = 0x1FFF7A22;
  p.eraseUnits.assign(512, 2048);
  StartSim(p);
  WriteFile("big.bin", std::string(513 * 1024, 'x'));
  ASSERT_TRUE(Download(20000));
  EXPECT_EQ(host.log.mid(5, 3), (QStringList{QStringLiteral("加载文件。。。"),
                                             QStringLiteral("文件尺寸: 525312 Byte / 513 KB"),
                                             QStringLiteral("文件太大，不能用于512K Flash")}));
  EXPECT_EQ(sim->erasesDone(), 0);
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
  host.verify = false;
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
  engine.STM32UP();
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
  engine.STM32UP();
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
  engine.STM32UP();
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

TEST(Stm32EraseFrames, CoverTheImageExactly) {
  const Stm32Part& f1 = Stm32PartFor(0x0414);
  EXPECT_EQ(Stm32UnitsCovering(f1, 2047), 1);
  EXPECT_EQ(Stm32UnitsCovering(f1, 2048), 1);  // ends on the boundary: no page more
  EXPECT_EQ(Stm32UnitsCovering(f1, 2049), 2);
  EXPECT_EQ(Stm32UnitsCovering(Stm32PartFor(0x0410), 2048), 2);
  const Stm32Part& f4 = Stm32PartFor(0x0413);
  EXPECT_EQ(Stm32UnitsCovering(f4, 15360), 1);
  EXPECT_EQ(Stm32UnitsCovering(f4, 16384), 1);
  EXPECT_EQ(Stm32UnitsCovering(f4, 16385), 2);
  EXPECT_EQ(Stm32UnitsCovering(f4, 65536), 4);
  EXPECT_EQ(Stm32UnitsCovering(f4, 65537), 5);
  EXPECT_EQ(Stm32UnitsCovering(f4, 131072), 5);
  EXPECT_EQ(Stm32UnitsCovering(f4, 1 << 20), 12);
  const Stm32Part& h7 = Stm32PartFor(0x0483);
  EXPECT_EQ(Stm32UnitsCovering(h7, 131072), 1);
  EXPECT_EQ(Stm32UnitsCovering(h7, 131073), 2);
  EXPECT_STREQ(Stm32PartFor(0x0999).familyLine, "CPU :Fxxx");

  // The standard count byte takes 255 pages at most (0xFF would erase all).
  auto frames = Stm32Engine::EraseFrames(false, 256);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].size(), 257u);
  EXPECT_EQ(frames[0][0], 254);
  EXPECT_EQ(frames[1], (std::vector<uint8_t>{0x00, 0xFF, 0xFF}));
  frames = Stm32Engine::EraseFrames(true, 3);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], (std::vector<uint8_t>{0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x01}));
  for (const auto& f : Stm32Engine::EraseFrames(true, 300)) {
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < f.size(); ++i) x ^= f[i];
    EXPECT_EQ(x, f.back());
    EXPECT_LE(f.size(), size_t(Stm32Engine::kFrameBufferSize));
  }
}

// An independent reading of the simulated boot loader: the Debian stm32flash
// tool programs and verifies it over the same pseudo-terminal.
TEST(Stm32SimYardstick, Stm32flashProgramsTheSimulatedPart) {
  const QString tool = QStringLiteral("/usr/bin/stm32flash");
  if (!QFile::exists(tool)) GTEST_SKIP() << "stm32flash not installed";
  PtyPair pty;
  QTemporaryDir dir;
  for (uint16_t id : {uint16_t(0x0414), uint16_t(0x0413)}) {
    SCOPED_TRACE(id);
    Stm32SimOptions o;
    o.link = Paced();
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(id), o);
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
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().toStdString() << p.readAllStandardError().toStdString();
    EXPECT_EQ(sim.Flash(0, 3000), image);
    EXPECT_EQ(sim.Flash(3000, 16), std::vector<uint8_t>(16, 0xFF));
    sim.Stop();
  }
}

}  // namespace
