// Whole sessions with STC10/11/12, STC15 and STC8 parts through the
// window's download path (TSTCFrm with a recording host), against the
// simulated boot loader of those families on a pseudo-terminal: used chips,
// small and full images, trimming, options set and read back, EEPROM and
// refusals.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "sim/HexText.h"
#include "isp/stc/STC.h"
#include "sim/StcModernSim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {

class ResultHost : public FakeIspHost {
 public:
  std::vector<IspResult> results;
  void SessionEnded(const IspResult& r) override {
    FakeIspHost::SessionEnded(r);
    results.push_back(r);
  }
};

std::vector<uint8_t> Firmware(size_t size, unsigned salt) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 13 + 5 + salt) & 0xFF);
  image.back() = 0x5A;
  return image;
}

struct Rig {
  Rig() {
    host.portName = QString::fromStdString(pty.slavePath());
    host.timeoutText = QStringLiteral("2");
    host.firmwareFileName = dir.filePath(QStringLiteral("fw.hex"));
    frm = std::make_unique<TSTCFrm>(host);
  }
  std::vector<uint8_t> WriteFirmware(size_t size, unsigned salt = 0) {
    const std::vector<uint8_t> image = Firmware(size, salt);
    std::ofstream(host.firmwareFileName.toStdString(), std::ios::binary) << HexText(image).toStdString();
    return image;
  }
  QString WriteHex(const QString& name, const std::vector<uint8_t>& bytes, uint32_t base = 0) {
    const QString path = dir.filePath(name);
    std::ofstream(path.toStdString(), std::ios::binary) << HexText(bytes, base).toStdString();
    return path;
  }
  IspJob Job(double khz = 0) {
    IspJob job = IspJob::Download(host.firmwareFileName);
    job.frequencyKHz = khz;
    return job;
  }
  const IspResult& Run(const IspJob& job) {
    frm->Start(host.Fill(job));
    EXPECT_EQ(host.results.size(), 1u);
    if (host.results.empty()) host.results.push_back({});
    return host.results.back();
  }
  bool Logged(const QString& line) const { return host.log.contains(line); }
  QString LogWith(const QString& part) const {
    for (const QString& l : host.log)
      if (l.contains(part)) return l;
    return {};
  }
  void ExpectIdle() {
    EXPECT_TRUE(host.downloadEnabled);
    EXPECT_FALSE(host.portGlyphOpen);
    EXPECT_FALSE(frm->ComPort1.IsOpen());
    EXPECT_FALSE(frm->SeekTimer.isActive());
  }

  PtyPair pty;
  QTemporaryDir dir;
  ResultHost host;
  std::unique_ptr<TSTCFrm> frm;
};

// The image at address 0, the erased rest of the code flash blank and
// beyond it what the used part held, the EEPROM as given or as it was.
// STC15 and STC8 erase all code flash; STC12 only the 512-byte sectors the
// data needs (`erased`).
void ExpectFlash(const StcModernSim& sim, const StcModernProfile& p, const std::vector<uint8_t>& image,
                 const std::vector<uint8_t>* eeprom = nullptr, bool eepromErased = false, size_t erased = 0) {
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_EQ(flash.size(), p.codeFlash + p.eeprom);
  ASSERT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "image differs";
  // Written in whole blocks: STC12 128 bytes, STC15/STC8 64.
  const size_t block = p.family == SimFamily::Stc12 ? 128 : 64;
  EXPECT_EQ(sim.BlockSizes(), std::set<size_t>{block});
  // Boot loaders from 7.2 on have the writing closed before the options.
  EXPECT_EQ(sim.Frames(0x07), p.family != SimFamily::Stc12 && p.status[17] >= 0x72 ? 1 : 0);
  const size_t padded = (image.size() + block - 1) / block * block;
  for (size_t i = image.size(); i < padded; ++i) ASSERT_EQ(flash[i], 0x00) << i;
  if (erased == 0) erased = p.codeFlash;
  const size_t codeEnd = eeprom ? p.codeFlash : std::max(padded, p.codeFlash);
  for (size_t i = padded; i < codeEnd; ++i) {
    if (i < erased) {
      ASSERT_TRUE(flash[i] == 0xFF || (eeprom && flash[i] == 0x00)) << i;
    } else {
      ASSERT_EQ(flash[i], StcModernSim::EarlierFirmware(i)) << i;
    }
  }
  for (size_t i = p.codeFlash; i < flash.size(); ++i) {
    const size_t k = i - p.codeFlash;
    if (eeprom && k < eeprom->size()) {
      ASSERT_EQ(flash[i], (*eeprom)[k]) << i;
    } else if (eeprom || eepromErased) {
      ASSERT_TRUE(flash[i] == 0xFF || flash[i] == 0x00) << i;
    } else {
      ASSERT_EQ(flash[i], StcModernSim::EarlierFirmware(i)) << i;
    }
  }
}

}  // namespace

// STC12C5A60S2 on its 20 MHz crystal: the clock from the pulse counts, the
// two-step speed handshake, erase, blocks answered with their sum, options
// written back as they were, the unique ID from the status packet.
TEST(StcFamilies, Stc12SmallImagePacedAndFullImage) {
  for (bool full : {false, true}) {
    SCOPED_TRACE(full);
    Rig r;
    const StcModernProfile p = ModernProfile("STC12C5A60S2");
    const std::vector<uint8_t> image = r.WriteFirmware(full ? p.codeFlash : 700, full);
    SimLinkOptions link;
    if (!full) {
      link.baud = 115200;
      link.adapterLatencyMs = 4;
      link.seed = 7;
      link.maxPauseMs = 5;
    }
    StcModernSim sim(r.pty, p, {}, link);
    const IspResult& result = r.Run(r.Job());
    EXPECT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(r.host.log.last(), QStringLiteral("上载数据成功 ！"));
    EXPECT_TRUE(r.Logged(QStringLiteral("连机成功! 固件版本:6.2I")));
    const QString clock = r.LogWith(QStringLiteral("STC12C5A60S2/时钟频率: "));
    EXPECT_NEAR(clock.section(QStringLiteral(": "), 1).chopped(1).toDouble(), 20.0, 0.06) << clock.toStdString();
    EXPECT_TRUE(r.Logged(QStringLiteral("调整波特率二完成 ！")));
    EXPECT_TRUE(r.Logged(QStringLiteral("选项 时钟源 (clock_source=external): 外部晶振")));
    EXPECT_EQ(result.partName, QStringLiteral("STC12C5A60S2"));
    EXPECT_EQ(result.uniqueId, QStringLiteral("000300B0022E6B"));
    ExpectFlash(sim, p, image, nullptr, false, (image.size() + 511) / 512 * 512);
    EXPECT_EQ(sim.Options(), (std::vector<uint8_t>{0xFF, 0x7F, 0xF7, 0xFF}));  // nothing asked, nothing changed
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.03);
    EXPECT_EQ(sim.BadFrames(), 0);
    EXPECT_TRUE(sim.EndSeen());
    r.ExpectIdle();
    sim.Stop();
  }
}

// STC12C5608AD (stc12b): STC12's session with the option frame of its own
// generation. A small image over a paced link on boot loader 6.0 leaves the
// options as they were; a full image on 6.6 sets the one option asked for
// and closes the options with 50. The fourth option byte is read where this
// variant keeps it.
TEST(StcFamilies, Stc12bSmallAndFullImageWithOptions) {
  for (bool full : {false, true}) {
    SCOPED_TRACE(full);
    Rig r;
    StcModernProfile p = ModernProfile("STC12C5608AD");
    if (full) p.status[17] = 0x66;
    const std::vector<uint8_t> image = r.WriteFirmware(full ? p.codeFlash : 900, 3);
    SimLinkOptions link;
    if (!full) {
      link.baud = 115200;
      link.adapterLatencyMs = 4;
      link.seed = 11;
      link.maxPauseMs = 5;
    }
    StcModernSim sim(r.pty, p, {}, link);
    IspJob job = r.Job();
    if (full) job.options.insert(QStringLiteral("watchdog"), QStringLiteral("on"));
    const IspResult& result = r.Run(job);
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(result.partName, QStringLiteral("STC12C5608AD"));
    EXPECT_TRUE(r.Logged(full ? QStringLiteral("连机成功! 固件版本:6.6G") : QStringLiteral("连机成功! 固件版本:6.0G")));
    EXPECT_TRUE(r.Logged(QStringLiteral("选项 下载时擦除 EEPROM (eeprom_erase=on): 开")));
    ExpectFlash(sim, p, image, nullptr, false, (image.size() + 511) / 512 * 512);
    EXPECT_EQ(sim.Options(), (std::vector<uint8_t>{0xFF, 0x7F, static_cast<uint8_t>(full ? 0xD7 : 0xF7), 0xFD}));
    EXPECT_NEAR(sim.StoredHz(), 11059200, 11059200 * 0.01);
    EXPECT_EQ(sim.Frames(0x50), full ? 2 : 1);
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.03);
    EXPECT_EQ(sim.BadFrames(), 0);
    EXPECT_TRUE(sim.EndSeen());
    r.ExpectIdle();
    sim.Stop();
  }
}

// STC15W4K56S4 on its RC oscillator, trimmed to each frequency asked for:
// the part's clock with the stored trim is within 0.5 % of it, the log says
// where it landed, and the frequency is stored with the options.
TEST(StcFamilies, Stc15TrimsToEveryFrequencyAskedFor) {
  for (double khz : {6000.0, 11059.2, 24000.0, 35000.0}) {
    SCOPED_TRACE(khz);
    Rig r;
    const StcModernProfile p = ModernProfile("STC15W4K56S4");
    const std::vector<uint8_t> image = r.WriteFirmware(khz == 24000.0 ? p.codeFlash : 300, 3);
    // The small ones over a paced line behind an adapter, replies cut.
    SimLinkOptions link;
    if (khz == 6000.0) {
      link.baud = 115200;
      link.adapterLatencyMs = 16;
      link.seed = 11;
      link.maxPauseMs = 8;
    }
    StcModernSim sim(r.pty, p, {}, link);
    const IspResult& result = r.Run(r.Job(khz));
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    const double target = khz * 1000;
    EXPECT_NEAR(sim.RunningHz(), target, target * 0.005);
    EXPECT_NEAR(sim.StoredHz(), target, target * 0.005);
    const QString line = r.LogWith(QStringLiteral("已调整到 "));
    ASSERT_FALSE(line.isEmpty());
    // "已调整到 24.003 MHz (0.01%)"
    const QString mhz = line.section(QLatin1Char(' '), 1, 1);
    EXPECT_NEAR(mhz.toDouble(), sim.StoredHz() / 1e6, 0.0011);
    EXPECT_TRUE(line.endsWith(QStringLiteral("%)")));
    EXPECT_TRUE(r.Logged(QStringLiteral("芯片序号: F52800A5032749")));
    EXPECT_EQ(result.uniqueId, QStringLiteral("F52800A5032749"));
    ExpectFlash(sim, p, image);
    EXPECT_GE(sim.TrimRounds(), 2);
    r.ExpectIdle();
    sim.Stop();
  }
}

// STC15F104E (answers 80 first, 16-bit trims): trimmed to each frequency
// within 0.5 %, the trim stored in the option bytes, a used chip written
// exactly; options asked for changed and read back, the rest kept.
TEST(StcFamilies, Stc15aTrimsWritesAndKeepsOptions) {
  for (double khz : {6000.0, 11059.2, 24000.0, 35000.0}) {
    SCOPED_TRACE(khz);
    Rig r;
    const StcModernProfile p = ModernProfile("STC15F104E");
    const std::vector<uint8_t> image = r.WriteFirmware(khz == 24000.0 ? p.codeFlash : 300, 5);
    SimLinkOptions link;
    if (khz == 11059.2) {
      link.baud = 115200;
      link.adapterLatencyMs = 8;
      link.seed = 5;
      link.maxPauseMs = 6;
    }
    StcModernSim sim(r.pty, p, {}, link);
    const std::vector<uint8_t> before = sim.Options();
    IspJob job = r.Job(khz);
    if (khz == 6000.0) job.options.insert(QStringLiteral("reset_pin"), QStringLiteral("reset"));
    const IspResult& result = r.Run(job);
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(result.partName, QStringLiteral("STC15F104E"));
    EXPECT_TRUE(r.Logged(QStringLiteral("连机成功! 固件版本:6.7Q")));
    const double target = khz * 1000;
    EXPECT_NEAR(sim.RunningHz(), target, target * 0.005);
    const QString line = r.LogWith(QStringLiteral("已调整到 "));
    EXPECT_NEAR(line.section(QLatin1Char(' '), 1, 1).toDouble(), target / 1e6, target / 1e6 * 0.005);
    EXPECT_EQ(result.uniqueId, QStringLiteral("F52800A5032749"));
    // Erased as STC12: the 512-byte sectors the data needs.
    ExpectFlash(sim, p, image, nullptr, false, (image.size() + 511) / 512 * 512);
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.025);
    const std::vector<uint8_t> after = sim.Options();
    for (size_t i = 0; i < after.size(); ++i) {
      if (i == 3 || i == 4) continue;  // the trim
      EXPECT_EQ(after[i], i == 0 && khz == 6000.0 ? (before[0] | 0x10) : before[i]) << i;
    }
    EXPECT_TRUE(sim.EndSeen());
    EXPECT_EQ(sim.BadFrames(), 0);
    r.ExpectIdle();
    if (khz == 6000.0) {
      // Read back by the next session.
      r.host.log.clear();
      r.host.results.clear();
      sim.Stop();
      StcModernProfile q = p;
      q.status = sim.Status();
      StcModernSim again(r.pty, q);
      ASSERT_TRUE(r.Run(IspJob::OfKind(IspJobKind::Info)).ok);
      EXPECT_TRUE(r.Logged(QStringLiteral("选项 复位脚 (reset_pin=reset): 用作复位")));
      // "STC15F104E/内部 RC 振荡器, 上次调整为 5.992 MHz": measured on the pulses.
      const QString clock = r.LogWith(QStringLiteral("STC15F104E/内部 RC 振荡器, 上次调整为 "));
      EXPECT_NEAR(clock.section(QLatin1Char(' '), 4, 4).toDouble(), 6.0, 6.0 * 0.005) << clock.toStdString();
      again.Stop();
    }
    sim.Stop();
  }
}

// STC89C52 on the newer boot loader (16-bit frames): clock from the
// pulses, speed switched after the part's answer, a used chip written
// exactly in 128-byte blocks, its option byte kept; options refused.
TEST(StcFamilies, Stc89NewerBootLoader) {
  for (size_t size : {300u, 8192u}) {
    SCOPED_TRACE(size);
    Rig r;
    const StcModernProfile p = ModernProfile("STC89C52");
    const std::vector<uint8_t> image = r.WriteFirmware(size, 2);
    SimLinkOptions link;
    if (size == 300) {
      link.baud = 115200;
      link.adapterLatencyMs = 6;
      link.seed = 9;
      link.maxPauseMs = 4;
    }
    StcModernSim sim(r.pty, p, {}, link);
    const IspResult& result = r.Run(r.Job());
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(result.partName, QStringLiteral("STC89C52"));
    const QString clock = r.LogWith(QStringLiteral("STC89C52/时钟频率: "));
    EXPECT_NEAR(clock.section(QStringLiteral(": "), 1).chopped(1).toDouble(), 11.0592, 0.06) << clock.toStdString();
    const std::vector<uint8_t> flash = sim.Flash();
    ASSERT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    for (size_t i = image.size(); i < flash.size(); ++i) ASSERT_TRUE(flash[i] == 0x00 || flash[i] == 0xFF) << i;
    EXPECT_EQ(sim.BlockSizes(), std::set<size_t>{128});
    EXPECT_EQ(sim.Options(), std::vector<uint8_t>{0xFD});
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.025);
    // The end frame may still be crossing the paced link when the session
    // reports its end.
    for (int i = 0; i < 200 && !sim.EndSeen(); ++i) QThread::msleep(5);
    EXPECT_TRUE(sim.EndSeen());
    r.ExpectIdle();
    sim.Stop();
  }
  Rig r;
  r.WriteFirmware(100);
  StcModernSim sim(r.pty, ModernProfile("STC89C52"));
  IspJob job = r.Job();
  job.options.insert(QStringLiteral("reset_pin"), QStringLiteral("io"));
  const IspResult& result = r.Run(job);
  EXPECT_EQ(result.cause, QStringLiteral("STC89 系列没有可设置的选项，也不能写入 EEPROM ！"));
  EXPECT_EQ(sim.Frames(0x01) + sim.Frames(0x03), 0);
  sim.Stop();
}

// Options set on one download and read back on the next: what was asked
// changed, nothing else did; the IAP15F2K61S2's older boot loader (7.1,
// no 5A A5 guard) on the same path; paced with replies in pieces.
TEST(StcFamilies, Stc15OptionsSetAndReadBack) {
  Rig r;
  const StcModernProfile p = ModernProfile("IAP15F2K61S2");
  const std::vector<uint8_t> image = r.WriteFirmware(500, 9);
  SimLinkOptions link;
  link.baud = 115200;
  link.adapterLatencyMs = 8;
  link.seed = 3;
  StcModernSim sim(r.pty, p, {}, link);
  const std::vector<uint8_t> before = sim.Options();
  IspJob job = r.Job(22118.4);
  job.options.insert(QStringLiteral("reset_pin"), QStringLiteral("io"));
  job.options.insert(QStringLiteral("watchdog"), QStringLiteral("on"));
  job.options.insert(QStringLiteral("watchdog_prescale"), QStringLiteral("32"));
  const IspResult& first = r.Run(job);
  ASSERT_TRUE(first.ok) << first.cause.toStdString();
  EXPECT_TRUE(r.Logged(QStringLiteral("选项 reset_pin 已设为 io")));
  ExpectFlash(sim, p, image);
  const std::vector<uint8_t> after = sim.Options();
  EXPECT_EQ(after[4] & 0x10, 0x10);       // MCS4 bit 4: reset pin as I/O
  EXPECT_EQ(after[2] & 0x27, 0x04);       // MCS2: watchdog on, prescaler 32
  EXPECT_EQ(after[2] & ~0x27, before[2] & ~0x27);
  EXPECT_EQ(after[3], before[3]);
  EXPECT_EQ(after[5], before[5]);
  EXPECT_EQ(after[4] & ~0x10, before[4] & ~0x10);

  // The next session reads them back from the part.
  r.host.log.clear();
  r.host.results.clear();
  sim.Stop();
  StcModernSim again(r.pty, [&] {
    StcModernProfile q = p;
    q.status = sim.Status();
    return q;
  }());
  const IspResult& second = r.Run(r.Job(22118.4));
  ASSERT_TRUE(second.ok) << second.cause.toStdString();
  EXPECT_TRUE(r.Logged(QStringLiteral("选项 复位脚 (reset_pin=io): I/O 口")));
  EXPECT_TRUE(r.Logged(QStringLiteral("选项 上电启动看门狗 (watchdog=on): 开")));
  EXPECT_TRUE(r.Logged(QStringLiteral("选项 看门狗预分频 (watchdog_prescale=32): 32 分频")));
  EXPECT_TRUE(r.LogWith(QStringLiteral("上次调整为 22.1")).contains(QStringLiteral("内部 RC")));
  EXPECT_EQ(again.Options(), after);
  again.Stop();
}

// STC8A8K64S4A12 and STC8F2K08S2: trimmed through the divider (6 MHz is the band
// divided by 4), 35 MHz undivided; small and full images.
TEST(StcFamilies, Stc8TrimsThroughTheDivider) {
  const struct {
    const char* part;
    double khz;
    bool full;
  } cases[] = {{"STC8A8K64S4A12", 6000, false}, {"STC8A8K64S4A12", 35000, true},
               {"STC8F2K08S2", 11059.2, true}, {"STC8F2K08S2", 24000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    SCOPED_TRACE(c.khz);
    Rig r;
    const StcModernProfile p = ModernProfile(c.part);
    const std::vector<uint8_t> image = r.WriteFirmware(c.full ? p.codeFlash : 200, 5);
    SimLinkOptions link;
    if (!c.full) {
      link.baud = 115200;
      link.adapterLatencyMs = 8;
      link.seed = static_cast<uint32_t>(c.khz);
      link.maxPauseMs = 6;
    }
    StcModernSim sim(r.pty, p, {}, link);
    const IspResult& result = r.Run(r.Job(c.khz));
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_NEAR(sim.RunningHz(), c.khz * 1000, c.khz * 1000 * 0.005);
    EXPECT_EQ(sim.StoredDivider(), c.khz == 6000 ? 4 : c.khz == 11059.2 ? 2 : 1);
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.03);
    // Both parts are set to erase their EEPROM with the code.
    ExpectFlash(sim, p, image, nullptr, true);
    EXPECT_FALSE(result.uniqueId.isEmpty());
    r.ExpectIdle();
    sim.Stop();
  }
}

// STC8H1K08 (stc8g, two bands) and STC8H8K64U (stc8d, four bands): the
// counts taken over whole pulse bits, a band and divider chosen from the
// first round, the switch with its fixed IAP wait; each frequency within
// 0.5 %, small images over a paced line and a full one.
TEST(StcFamilies, Stc8gAndStc8dTrimInBands) {
  const struct {
    const char* part;
    double khz;
    bool full;
  } cases[] = {{"STC8H1K08", 6000, false},   {"STC8H1K08", 11059.2, false}, {"STC8H1K08", 24000, true},
               {"STC8H1K08", 35000, false},  {"STC8H8K64U", 6000, false},   {"STC8H8K64U", 11059.2, true},
               {"STC8H8K64U", 24000, false}, {"STC8H8K64U", 35000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    SCOPED_TRACE(c.khz);
    Rig r;
    const StcModernProfile p = ModernProfile(c.part);
    const std::vector<uint8_t> image = r.WriteFirmware(c.full ? p.codeFlash : 300, 9);
    SimLinkOptions link;
    if (!c.full) {
      link.baud = 115200;
      link.adapterLatencyMs = 4;
      link.seed = static_cast<uint32_t>(c.khz);
      link.maxPauseMs = 3;
    }
    StcModernSim sim(r.pty, p, {}, link);
    const IspResult& result = r.Run(r.Job(c.khz));
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_NEAR(sim.RunningHz(), c.khz * 1000, c.khz * 1000 * 0.005);
    EXPECT_NEAR(sim.StoredHz(), c.khz * 1000, c.khz * 1000 * 0.005);
    EXPECT_EQ(sim.TrimRounds(), 2);
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.03);
    EXPECT_TRUE(r.LogWith(QStringLiteral("已调整到")).startsWith(QStringLiteral("已调整到 ")));
    ExpectFlash(sim, p, image, nullptr, true);
    r.ExpectIdle();
    sim.Stop();
  }
}

// The handshake speed asked for carries the pulses, the part's answers
// and the trim counts: STC15 and STC8G trimmed right at 1200 and 9600
// bit/s as at the default.
TEST(StcFamilies, HandshakeSpeed) {
  const struct {
    const char* part;
    uint32_t baud;
  } cases[] = {{"STC15W4K56S4", 1200}, {"STC15W4K56S4", 9600}, {"STC8H1K08", 1200}, {"STC8H1K08", 9600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    SCOPED_TRACE(c.baud);
    Rig r;
    const StcModernProfile p = ModernProfile(c.part);
    const std::vector<uint8_t> image = r.WriteFirmware(500, 2);
    StcModernSim sim(r.pty, p);
    IspJob job = r.Job(22118.4);
    job.handshakeBaud = c.baud;
    const IspResult& result = r.Run(job);
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(sim.PulseBaud(), c.baud);
    EXPECT_NEAR(sim.RunningHz(), 22118400, 22118400 * 0.005);
    EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.03);
    // Only the STC8H1K08 is set to erase its EEPROM with the code.
    ExpectFlash(sim, p, image, nullptr, p.trim == SimTrim::Stc8g);
    sim.Stop();
  }
}

// STC32G8K64: code from a HEX placed at 0xFF0000 (extended linear address
// records) lands at flash address 0, trimmed like the other stc8d parts; a
// plain 8051 HEX for it, or an 0xFF0000 HEX for an 8051, is refused before
// anything is erased.
TEST(StcFamilies, Stc32CodeAtFF0000) {
  const StcModernProfile p = ModernProfile("STC32G8K64");
  {
    Rig r;
    const std::vector<uint8_t> image = Firmware(3000, 11);
    r.WriteHex(QStringLiteral("fw.hex"), image, 0xFF0000);
    StcModernSim sim(r.pty, p);
    const IspResult& result = r.Run(r.Job(24000));
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(result.partName, QStringLiteral("STC32G8K64"));
    EXPECT_NEAR(sim.RunningHz(), 24e6, 24e6 * 0.005);
    ExpectFlash(sim, p, image, nullptr, true);
    sim.Stop();
  }
  {
    Rig r;
    r.WriteFirmware(3000);
    StcModernSim sim(r.pty, p);
    const IspResult& result = r.Run(r.Job(24000));
    EXPECT_TRUE(result.cause.contains(QStringLiteral("0xFF0000"))) << result.cause.toStdString();
    EXPECT_EQ(sim.TrimRounds() + sim.Frames(0x03), 0);
    sim.Stop();
  }
  {
    Rig r;
    r.WriteHex(QStringLiteral("fw.hex"), Firmware(300, 1), 0xFF0000);
    StcModernSim sim(r.pty, ModernProfile("STC8H8K64U"));
    const IspResult& result = r.Run(r.Job(24000));
    EXPECT_TRUE(result.cause.contains(QStringLiteral("与 STC8H8K64U 不符"))) << result.cause.toStdString();
    EXPECT_EQ(sim.TrimRounds() + sim.Frames(0x03), 0);
    sim.Stop();
  }
}

// STC32G12K128: a whole 64 KB of code at 0xFF0000-0xFFFFFF written in
// blocks addressed from 0, the EEPROM size set and read back with every
// other option kept. What cannot be written is refused before anything is
// erased: data at 0xFE0000, EEPROM data, code that the EEPROM asked for
// leaves no room for, and the EEPROM size on an 8051 part.
TEST(StcFamilies, Stc32FullCodeAndEepromSize) {
  const StcModernProfile p = ModernProfile("STC32G12K128");
  {
    Rig r;
    const std::vector<uint8_t> image = Firmware(65536, 2);
    r.WriteHex(QStringLiteral("fw.hex"), image, 0xFF0000);
    StcModernSim sim(r.pty, p);
    const std::vector<uint8_t> before = sim.Options();
    IspJob job = r.Job(24000);
    job.options.insert(QStringLiteral("eeprom_size"), QStringLiteral("4096"));
    const IspResult& result = r.Run(job);
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_EQ(result.partName, QStringLiteral("STC32G12K128"));
    ExpectFlash(sim, p, image, nullptr, true);
    const std::vector<uint8_t> after = sim.Options();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], i == 4 ? 0x10 : before[i]) << i;
    EXPECT_TRUE(r.Logged(QStringLiteral("选项 eeprom_size 已设为 4096")));
    sim.Stop();
    // Read back by the next session.
    r.host.log.clear();
    r.host.results.clear();
    StcModernProfile q = p;
    q.status = sim.Status();
    StcModernSim again(r.pty, q);
    ASSERT_TRUE(r.Run(IspJob::OfKind(IspJobKind::Info)).ok);
    EXPECT_TRUE(r.Logged(QStringLiteral("选项 EEPROM 大小 (仅 STC32) (eeprom_size=4096): 4096 字节")));
    again.Stop();
  }
  struct Refused {
    const char* profile;
    uint32_t base;
    size_t size;
    const char* option;
    bool eepromFile;
    const char* cause;
  };
  const Refused cases[] = {
      {"STC32G12K128", 0xFE0000, 70000, nullptr, false, "上载文件在 0xFE0000 处有数据"},
      {"STC32G12K128", 0xFF0000, 3000, nullptr, true, "的 EEPROM 位于 0xFE0000"},
      {"STC32G8K64", 0xFF0000, 3000, "64512", false, "EEPROM 设为 64512 字节后程序区只余 1024 字节"},
      {"STC8H8K64U", 0, 3000, "4096", false, "选项 eeprom_size 只用于 STC32"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.cause);
    Rig r;
    r.WriteHex(QStringLiteral("fw.hex"), Firmware(c.size, 4), c.base);
    StcModernSim sim(r.pty, ModernProfile(c.profile));
    IspJob job = r.Job(24000);
    if (c.option) job.options.insert(QStringLiteral("eeprom_size"), QString::fromLatin1(c.option));
    if (c.eepromFile) job.eepromFile = r.WriteHex(QStringLiteral("ee.hex"), Firmware(100, 5));
    const IspResult& result = r.Run(job);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.cause.contains(QString::fromUtf8(c.cause))) << result.cause.toStdString();
    EXPECT_EQ(sim.TrimRounds() + sim.Frames(0x03) + sim.Frames(0x22), 0);
    r.ExpectIdle();
    sim.Stop();
  }
}

// EEPROM: its own file lands at the data flash; a HEX that runs past the
// code flash is refused unless asked for, and then lands the same way; a
// part that keeps its EEPROM at erase is refused before the erase.
TEST(StcFamilies, Eeprom) {
  const StcModernProfile p = ModernProfile("STC8A8K64S4A12");
  const std::vector<uint8_t> data = Firmware(300, 77);
  {
    Rig r;
    const std::vector<uint8_t> image = r.WriteFirmware(1000, 1);
    StcModernSim sim(r.pty, p);
    IspJob job = r.Job(24000);
    job.eepromFile = r.WriteHex(QStringLiteral("ee.hex"), data);
    const IspResult& result = r.Run(job);
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    EXPECT_TRUE(r.Logged(QStringLiteral("正在写入 EEPROM 。。。")));
    ExpectFlash(sim, p, image, &data);
    sim.Stop();
  }
  {
    // Code and EEPROM in one HEX: refused, then accepted when asked for.
    Rig r;
    std::vector<uint8_t> whole = Firmware(p.codeFlash, 2);
    whole.insert(whole.end(), data.begin(), data.end());
    r.WriteHex(QStringLiteral("fw.hex"), whole);
    StcModernSim sim(r.pty, p);
    const IspResult& refused = r.Run(r.Job(24000));
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.cause.contains(QStringLiteral("进入 EEPROM 区"))) << refused.cause.toStdString();
    EXPECT_EQ(sim.Frames(0x03), 0);  // nothing erased
    r.host.results.clear();
    // The part waits in its boot loader; the next session starts it afresh.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    IspJob job = r.Job(24000);
    job.eepromInImage = true;
    const IspResult& result = r.Run(job);
    ASSERT_TRUE(result.ok) << result.cause.toStdString();
    const std::vector<uint8_t> code(whole.begin(), whole.begin() + static_cast<long>(p.codeFlash));
    ExpectFlash(sim, p, code, &data);
    sim.Stop();
  }
  {
    // The option that erases the EEPROM with the code is off on this part.
    Rig r;
    r.WriteFirmware(100);
    StcModernProfile keeps = p;
    keeps.status[9] &= static_cast<uint8_t>(~0x02);
    StcModernSim sim(r.pty, keeps);
    IspJob job = r.Job(24000);
    job.eepromFile = r.WriteHex(QStringLiteral("ee.hex"), data);
    const IspResult& result = r.Run(job);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.cause.contains(QStringLiteral("eeprom_erase=off")));
    EXPECT_EQ(sim.Frames(0x03), 0);
    r.ExpectIdle();
    sim.Stop();
  }
}

// Refusals, each before anything is erased and with its cause last: a
// magic the table does not have (a real STC8 packet the notes leave
// unnamed), a frequency no trim reaches, an option the family lacks, an
// option no family has (before the port opens), a write the part refuses,
// an unplug.
TEST(StcFamilies, Refusals) {
  {
    Rig r;
    r.WriteFirmware(100);
    StcModernProfile unknown = ModernProfile("STC8A8K64S4A12");
    unknown.status[20] = 0x12;  // a magic the model list does not have
    unknown.status[21] = 0x34;
    StcModernSim sim(r.pty, unknown);
    const IspResult& result = r.Run(r.Job());
    EXPECT_EQ(result.cause, QStringLiteral("未支持的 MCU: 型号代码 1234 ！"));
    EXPECT_EQ(result.partId, QStringLiteral("1234"));
    EXPECT_EQ(r.host.log.last(), result.cause);
    EXPECT_EQ(sim.Frames(0x00) + sim.Frames(0x03), 0);
    r.ExpectIdle();
    sim.Stop();
  }
  {
    // A model the list names without a boot-loader variant (here one of the
    // maker's off-line programmers): named with the reason, and nothing at
    // all sent after the status packet, not even the end frame.
    Rig r;
    r.WriteFirmware(100);
    StcModernProfile b = ModernProfile("STC12C5A60S2");
    b.status[20] = 0xF5;  // U8W's magic
    b.status[21] = 0x6C;
    StcModernSim sim(r.pty, b);
    const IspResult& result = r.Run(r.Job());
    EXPECT_TRUE(result.cause.startsWith(QStringLiteral("未支持的 MCU: U8W (型号代码 F56C, 协议 other)：型号表没有给出")))
        << result.cause.toStdString();
    EXPECT_EQ(result.partName, QStringLiteral("U8W"));
    EXPECT_EQ(r.host.log.last(), result.cause);
    EXPECT_EQ(sim.TrimRounds(), 0);
    for (uint8_t c : {0x50, 0x8F, 0x84, 0x00, 0x82, 0xFF}) EXPECT_EQ(sim.Frames(c), 0) << int(c);
    r.ExpectIdle();
    sim.Stop();
  }
  {
    Rig r;
    r.WriteFirmware(100);
    StcModernSim sim(r.pty, ModernProfile("STC15W4K56S4"));
    const IspResult& result = r.Run(r.Job(45000));
    EXPECT_TRUE(result.cause.startsWith(QStringLiteral("无法调整到 45.000 MHz"))) << result.cause.toStdString();
    EXPECT_EQ(sim.Frames(0x03), 0);
    sim.Stop();
  }
  {
    Rig r;
    r.WriteFirmware(100);
    StcModernSim sim(r.pty, ModernProfile("STC8A8K64S4A12"));
    IspJob job = r.Job(24000);
    job.options.insert(QStringLiteral("clock_source"), QStringLiteral("external"));
    const IspResult& result = r.Run(job);
    EXPECT_EQ(result.cause, QStringLiteral("STC8 系列没有选项 clock_source ！"));
    EXPECT_EQ(sim.Frames(0x03), 0);
    EXPECT_TRUE(sim.EndSeen());  // sent on to its program, not left in the boot loader
    sim.Stop();
  }
  {
    Rig r;
    r.WriteFirmware(100);
    StcModernSim sim(r.pty, ModernProfile("STC8A8K64S4A12"));
    IspJob job = r.Job(24000);
    job.options.insert(QStringLiteral("colour"), QStringLiteral("blue"));
    const IspResult& result = r.Run(job);
    EXPECT_EQ(result.cause, QStringLiteral("没有选项 colour ！"));
    EXPECT_TRUE(result.usageError);
    EXPECT_EQ(sim.Sessions(), 0);
    sim.Stop();
  }
  {
    Rig r;
    r.WriteFirmware(1000);
    StcModernFaults faults;
    faults.refuseWriteBlock = 3;
    StcModernSim sim(r.pty, ModernProfile("STC15W4K56S4"), faults);
    const IspResult& result = r.Run(r.Job());
    EXPECT_EQ(result.cause, QStringLiteral("写入数据校验错误 ！地址: 0x00C0"));
    EXPECT_EQ(sim.Frames(0x04), 0);  // no options after a failed write
    r.ExpectIdle();
    sim.Stop();
  }
  {
    Rig r;
    r.WriteFirmware(2000);
    StcModernFaults faults;
    faults.hangUpOn = 0x02;
    faults.hangUpAfter = 3;
    StcModernSim sim(r.pty, ModernProfile("STC8A8K64S4A12"), faults);
    const IspResult& result = r.Run(r.Job(24000));
    EXPECT_EQ(result.cause, QStringLiteral("串口已断开 ！"));
    EXPECT_EQ(r.frm->TimeoutTicks, 0);
    r.ExpectIdle();
    sim.Stop();
  }
}

// Info: the part named, its options shown and returned; nothing trimmed,
// erased or written, and no file needed.
TEST(StcFamilies, InfoWritesNothing) {
  Rig r;
  StcModernSim sim(r.pty, ModernProfile("STC8F2K08S2"));
  const IspResult& result = r.Run(IspJob::OfKind(IspJobKind::Info));
  ASSERT_TRUE(result.ok) << result.cause.toStdString();
  EXPECT_EQ(result.partName, QStringLiteral("STC8F2K08S2"));
  EXPECT_EQ(result.partId, QStringLiteral("F641"));
  EXPECT_TRUE(result.info.contains(QStringLiteral("选项 低压检测门槛 (lvd_level=2.7v): 2.7 V")));
  EXPECT_TRUE(result.info.contains(QStringLiteral("STC8F2K08S2/内部 RC 振荡器, 未调整")));
  EXPECT_EQ(r.host.log.last(), QStringLiteral("读器件信息完成 ！"));
  EXPECT_EQ(sim.TrimRounds(), 0);
  EXPECT_EQ(sim.Frames(0x03) + sim.Frames(0x02) + sim.Frames(0x22) + sim.Frames(0x04), 0);
  EXPECT_TRUE(sim.EndSeen());
  r.ExpectIdle();
}

// An STC15 on an external crystal: its clock comes from the crystal count,
// nothing is trimmed, the UART reload is built from the crystal.
TEST(StcFamilies, Stc15OnACrystalIsNotTrimmed) {
  Rig r;
  const StcModernProfile p = ModernProfile("IAP15F2K61S2-crystal");
  const std::vector<uint8_t> image = r.WriteFirmware(400, 4);
  StcModernSim sim(r.pty, p);
  const IspResult& result = r.Run(r.Job(24000));
  ASSERT_TRUE(result.ok) << result.cause.toStdString();
  EXPECT_TRUE(r.Logged(QStringLiteral("IAP15F2K61S2/时钟频率: 22.1184M")));
  EXPECT_TRUE(r.LogWith(QStringLiteral("已调整到")).isEmpty());
  EXPECT_TRUE(r.Logged(
      QStringLiteral("IAP15F2K61S2 没有由下载调整的内部 RC 振荡器：频率 24000 kHz 不起作用，时钟由晶振决定")));
  EXPECT_EQ(sim.TrimRounds(), 0);
  EXPECT_NEAR(sim.ProgrammingBaud(), 115200, 115200 * 0.03);
  ExpectFlash(sim, p, image);
  sim.Stop();
}

// A production line's serial number goes into the image before the erase,
// past the file's end too; one outside the code flash ends the session
// before anything is erased.
TEST(StcFamilies, SerialNumberPatchedIntoTheImage) {
  Rig r;
  const StcModernProfile p = ModernProfile("STC8A8K64S4A12");
  const std::vector<uint8_t> image = r.WriteFirmware(400, 5);
  StcModernSim sim(r.pty, p);
  IspJob job = r.Job(24000);
  job.patches.push_back({0x1000, {0x78, 0x56, 0x34, 0x12}});
  const IspResult& result = r.Run(job);
  ASSERT_TRUE(result.ok) << result.cause.toStdString();
  const std::vector<uint8_t> flash = sim.Flash();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x1000, flash.begin() + 0x1004),
            (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(flash[0x0FFF], 0x00);  // the gap up to it reads as the converter fills it
  sim.Stop();

  r.host.results.clear();
  StcModernSim again(r.pty, p);
  IspJob outside = r.Job(24000);
  outside.patches.push_back({static_cast<uint32_t>(p.codeFlash) - 2, {1, 2, 3, 4}});
  const IspResult& refused = r.Run(outside);
  EXPECT_FALSE(refused.ok);
  EXPECT_TRUE(refused.cause.startsWith(QStringLiteral("写入地址 0x0000FDFE 超出器件Flash"))) << refused.cause.toStdString();
  EXPECT_EQ(again.Frames(0x03), 0) << "erased before the refusal";
  again.Stop();
}
