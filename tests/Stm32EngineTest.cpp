// The STM32 engine end to end: a headless host, the real polling driver on
// a pseudo-terminal, and a simulated boot loader on the other side.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <random>

#include "isp/stm32/Stm32Engine.h"
#include "sim/Stm32Sim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// The image as Intel HEX from 0x08000000, 16-byte records.
std::string ToHex(const std::vector<uint8_t>& image) {
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
  record(0, 1, nullptr, 0);
  return s;
}

class Stm32EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.portName = QString::fromStdString(pty.slavePath());
    host.speed = br115200;
    host.parity = ptEVEN;
  }

  void StartSim(uint16_t productId, Stm32SimOptions options = {}) {
    if (options.baudRate == 0 && !options.silent) options.baudRate = 115200;
    sim = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(productId), options);
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

  // Presses download and waits for the session to end.
  bool Download(int timeoutMs) {
    engine.STM32UP();
    EXPECT_FALSE(host.downloadEnabled);
    return PumpUntil([this] { return Ended(); }, timeoutMs);
  }

  void ExpectPortReleased() {
    EXPECT_FALSE(host.driver.IsConnected());
    EXPECT_FALSE(host.portGlyphOpen);
    EXPECT_TRUE(host.downloadEnabled);
    EXPECT_TRUE(host.portListsEnabled);
    EXPECT_FALSE(engine.Running());
  }

  static QStringList SuccessLog(const QString& version, const QString& id, const QString& family,
                                const QString& flashLine, int length, int lastUnit) {
    QStringList l{QStringLiteral("正在查找设备。。。"), QStringLiteral("已成功连接"),
                  QStringLiteral("Bootloader 版本 ") + version, QStringLiteral("Product ID: ") + id, family};
    if (!flashLine.isEmpty()) l << flashLine;
    l << QStringLiteral("加载文件。。。")
      << QStringLiteral("文件尺寸: %1 Byte / %2 KB").arg(length).arg(length / 1024)
      << QStringLiteral("加载文件完成！") << QStringLiteral(" ")
      << QStringLiteral("擦除页[ 0 .. %1 ]").arg(lastUnit) << QStringLiteral("开始写入。。。")
      << QStringLiteral("上载完成！");
    return l;
  }

  void ExpectFlashHolds(const std::vector<uint8_t>& image, uint32_t tailFF = 64) {
    EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(sim->Flash(static_cast<uint32_t>(image.size()), tailFF), std::vector<uint8_t>(tailFF, 0xFF));
  }

  PtyPair pty;
  QTemporaryDir dir;
  FakeIspHost host;
  std::unique_ptr<Stm32Sim> sim;
  Stm32Engine engine{host};
};

TEST_F(Stm32EngineTest, StandardEraseTargetGetsTheHexImage) {
  StartSim(0x0414);
  const auto image = RandomBytes(5120, 1);
  WriteFile("fw.hex", ToHex(image));
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

TEST_F(Stm32EngineTest, ExtendedEraseTargetsGetTheirSectorList) {
  {
    SCOPED_TRACE("0413");
    StartSim(0x0413);
    const auto image = RandomBytes(16384, 2);  // 17 KB counted: sectors 0 and 1
    WriteFile("f4.bin", image);
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_EQ(host.log, SuccessLog("3.1", "0413", QStringLiteral("STM32F40x 家族"), {}, 16384, 1));
    EXPECT_EQ(sim->EraseFrame(),
              (std::vector<uint8_t>{0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00 ^ 0x01 ^ 0x00 ^ 0x00 ^ 0x00 ^ 0x01}));
    ExpectFlashHolds(image);
    ExpectPortReleased();
  }
  sim->Stop();
  {
    SCOPED_TRACE("0483");
    StartSim(0x0483);
    const auto image = RandomBytes(6000, 3);
    WriteFile("h7.HEX", ToHex(image));
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_EQ(host.log, SuccessLog("9.1", "0483", QStringLiteral("STM32H7xx 家族"), {}, 6000, 0));
    EXPECT_EQ(sim->EraseFrame(), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00}));
    ExpectFlashHolds(image);
    ExpectPortReleased();
  }
  for (auto [id, family] : {std::pair{0x0411, "STM32F20x 家族"}, std::pair{0x0463, "STM32F41x 家族"}}) {
    SCOPED_TRACE(id);
    sim->Stop();
    StartSim(static_cast<uint16_t>(id));
    const auto image = RandomBytes(1024, static_cast<unsigned>(id));
    WriteFile("f.bin", image);
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_EQ(host.log, SuccessLog("3.1", QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')),
                                   QString::fromUtf8(family), {}, 1024, 0));
    ExpectFlashHolds(image);
  }
}

// A ragged binary file: without padding its last block (1 byte) is refused
// by the boot loader and the session dies by the time-out.
TEST_F(Stm32EngineTest, RaggedBinaryEndsOnWholeWords) {
  Stm32SimOptions o;
  StartSim(0x0410, o);
  host.autoDownload = true;
  host.autoReset = true;  // modem lines do nothing on a pty; the pulses must not upset the session
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

// The ACK to 0x7F comes after the next 0x7F has gone out; the boot loader
// NACKs that one, and must still count as found.
TEST_F(Stm32EngineTest, LateSynchronisationAnswerStillConnects) {
  for (int delay : {15, 25, 4}) {  // one or two surplus 0x7F, or none
    SCOPED_TRACE(delay);
    if (sim) sim->Stop();
    Stm32SimOptions o;
    o.syncReplyDelayMs = delay;
    StartSim(0x0414, o);
    const auto image = RandomBytes(512, 10 + delay);
    WriteFile("fw.bin", image);
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_EQ(host.status, QStringLiteral("上载完成！"));
    ExpectFlashHolds(image);
  }
}

TEST(Stm32EraseList, CoversTheImage) {
  auto pages = [](int len, int pageSize = 2048) {
    auto f = Stm32Engine::EraseList(true, "0414", pageSize, len);
    return static_cast<int>(f.size()) - 2;  // count byte and checksum
  };
  EXPECT_EQ(pages(2047), 1);
  EXPECT_EQ(pages(2048), 2);
  EXPECT_EQ(pages(2048, 1024), 3);
  EXPECT_EQ(pages(260096), 127);
  EXPECT_EQ(pages(1 << 20), 127);
  auto f = Stm32Engine::EraseList(true, "0414", 2048, 260096);
  EXPECT_EQ(f[0], 126);
  EXPECT_EQ(f[127], 126);

  auto sectors = [](const char* id, int len) {
    auto f = Stm32Engine::EraseList(false, id, 2048, len);
    EXPECT_EQ(f.size(), size_t(2 * (f[1] + 1) + 3));
    uint8_t x = 0;
    for (size_t i = 0; i + 1 < f.size(); ++i) x ^= f[i];
    EXPECT_EQ(x, f.back());
    return f[1] + 1;
  };
  EXPECT_EQ(sectors("0413", 15360), 1);
  EXPECT_EQ(sectors("0413", 16384), 2);
  EXPECT_EQ(sectors("0413", 65535), 4);
  EXPECT_EQ(sectors("0413", 65536), 5);  // 65 KB counted: into the 64 KB sector
  EXPECT_EQ(sectors("0411", 1 << 20), 13);
  EXPECT_EQ(sectors("0463", 2 << 20), 16);
  EXPECT_EQ(sectors("0483", 130048), 1);
  EXPECT_EQ(sectors("0483", 131072), 2);
  EXPECT_EQ(sectors("0483", 1 << 20), 8);
}

TEST_F(Stm32EngineTest, MissingFileEndsTheSessionAtOnce) {
  StartSim(0x0414);
  host.firmwareFileName = dir.filePath("gone.bin");
  ASSERT_TRUE(Download(5000));
  EXPECT_EQ(host.status, QStringLiteral("文件不存在"));
  EXPECT_EQ(host.log.last(), QStringLiteral("加载文件。。。"));
  EXPECT_TRUE(sim->EraseFrame().empty());
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, DamagedHexIsNeverErasedOrWritten) {
  StartSim(0x0414);
  std::string hex = ToHex(RandomBytes(64, 5));
  hex[hex.find('\n') + 20] = 'x';  // second line
  WriteFile("bad.hex", hex);
  engine.STM32UP();
  ASSERT_TRUE(PumpUntil([&] { return host.log.contains(QStringLiteral("HEX文件第 2 行格式错误")); }, 5000));
  EXPECT_EQ(host.status, QStringLiteral("HEX文件第 2 行格式错误"));
  PumpFor(100);
  EXPECT_TRUE(sim->EraseFrame().empty());
  EXPECT_EQ(sim->blocksWritten(), 0);
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
  EXPECT_EQ(host.log, (QStringList{QStringLiteral("正在查找设备。。。"), QStringLiteral("连机失败 ！")}));
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, RefusedWriteEndsByTheTimeOut) {
  Stm32SimOptions o;
  o.nackCommand = 0x31;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(1024, 8));
  ASSERT_TRUE(Download(15000));
  EXPECT_EQ(host.status, QStringLiteral("连机失败 ！"));
  EXPECT_EQ(host.log.last(), QStringLiteral("连机失败 ！"));
  EXPECT_EQ(sim->erasesDone(), 1);
  EXPECT_EQ(sim->blocksWritten(), 0);
  ExpectPortReleased();
}

TEST_F(Stm32EngineTest, HangUpMidDownloadReleasesThePort) {
  Stm32SimOptions o;
  o.hangUpAfterWrites = 3;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(4096, 9));
  engine.STM32UP();
  ASSERT_TRUE(PumpUntil([&] { return sim->hungUp(); }, 10000));
  sim->Stop();
  pty.HangUp();  // the adapter is pulled
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }, 15000));
  EXPECT_EQ(host.status, QStringLiteral("连机失败 ！"));
  ExpectPortReleased();
}

}  // namespace
