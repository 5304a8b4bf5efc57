// What the STM32 engine suites share: a headless host on the real polling
// driver over a pseudo-terminal (through a recording platform, so the modem
// lines and the low-latency request can be checked), a simulated boot
// loader behind the link model on the other side, and a session runner that
// waits in an event loop of its own, as the program does.
#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "isp/stm32/Stm32Engine.h"
#include "sim/Stm32Sim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

// Readable failures: QString lists print as text.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace stm32test {

inline std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// The image as Intel HEX from `base` (the flash base unless told), 16-byte records.
inline std::string ToHex(const std::vector<uint8_t>& image, bool endRecord = true, uint32_t base = 0x08000000) {
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
  uint32_t upper = 0xFFFFFFFF;
  for (size_t off = 0; off < image.size(); off += 16) {
    const uint32_t a = base + static_cast<uint32_t>(off);
    if ((a >> 16) != upper) {
      upper = a >> 16;
      uint8_t bytes[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
      record(0, 4, bytes, 2);
    }
    record(static_cast<uint16_t>(a), 0, image.data() + off, std::min<size_t>(16, image.size() - off));
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
  // Asking how full the output queue is costs a system call too.
  int OutputQueued(int fd) override {
    calls.push_back("Q");
    return RecordingSerialPlatform::OutputQueued(fd);
  }
  // Entries from the first write to the last, of the kind given.
  long CountWhileWriting(const std::string& what) const {
    const auto first = std::find(calls.begin(), calls.end(), "W");
    const auto last = std::find(calls.rbegin(), calls.rend(), "W").base();
    return first < last ? std::count(first, last, what) : 0;
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

  std::optional<IspResult> result;  // the session's, once it has ended

  void SessionEnded(const IspResult& r) override {
    FakeIspHost::SessionEnded(r);
    result = r;
  }
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

inline SimLinkOptions Paced(int latencyMs = 0, uint32_t seed = 0) {
  SimLinkOptions o;
  o.baud = 115200;
  o.bitsPerByte = 11;
  o.adapterLatencyMs = latencyMs;
  o.seed = seed;
  o.maxPauseMs = 10;
  return o;
}

class Stm32Harness : public ::testing::Test {
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
    engine.STM32UP(host.Job());
    EXPECT_FALSE(host.downloadEnabled);
    return WaitForEnd(timeoutMs);
  }

  // Runs one job to its end, the same way.
  bool Run(const IspJob& job, int timeoutMs) {
    host.log.clear();
    host.result.reset();
    engine.Start(host.Fill(job));
    return WaitForEnd(timeoutMs) && host.result.has_value();
  }

  bool WaitForEnd(int timeoutMs) {
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

}  // namespace stm32test
