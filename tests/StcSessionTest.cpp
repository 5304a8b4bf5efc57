// Whole STC sessions from the download button against a simulated boot
// loader on a pseudo-terminal, over the wire model: paced, behind USB
// adapters, with replies cut anywhere.
#include <gtest/gtest.h>

#include <QFileInfo>

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sys/stat.h>

#include "isp/stc/STC.h"
#include "sim/StcSim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

namespace {

class RecordingHost : public FakeIspHost {
 public:
  std::vector<int> progressSteps;
  QStringList boxes;  // message boxes, by their text
  void SetProgress(int position) override {
    FakeIspHost::SetProgress(position);
    progressSteps.push_back(position);
  }
  void ShowMessage(const QString& caption, const QString& text) override {
    EXPECT_EQ(caption, QStringLiteral("Vortana"));
    boxes << text;
  }
};

// Intel HEX text of `image`, 16 bytes a record, leaving out runs of 00 the
// way a linker leaves gaps.
std::string HexText(const std::vector<uint8_t>& image) {
  std::string out;
  char line[64];
  for (size_t at = 0; at < image.size(); at += 16) {
    const size_t n = std::min<size_t>(16, image.size() - at);
    bool allZero = true;
    for (size_t i = 0; i < n; ++i) allZero = allZero && image[at + i] == 0;
    if (allZero) continue;
    unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF));
    std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(n),
                  static_cast<unsigned>(at));
    out += line;
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(line, sizeof line, "%02X", image[at + i]);
      out += line;
      sum += image[at + i];
    }
    std::snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out += line;
  }
  return out + ":00000001FF\r\n";
}

std::vector<uint8_t> Firmware(size_t size, unsigned salt = 0) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + 3 + salt) & 0xFF);
  // A gap the HEX file leaves out: it must arrive as 00.
  if (size > 80) std::fill(image.begin() + 48, image.begin() + 80, 0);
  image.back() = 0xA5;
  return image;
}

const QStringList kSuccessLog = {
    QStringLiteral("下载目标代码"),        QStringLiteral("正在连机 。。。"),
    QStringLiteral("连机成功! 固件版本:4.3C"), QStringLiteral("<model>"),
    QStringLiteral("调整波特率一完成 ！"),  QStringLiteral("第二次调整波特率 。。。"),
    QStringLiteral("调整波特率二完成 ！"),  QStringLiteral("正在发送控制信息 。。。"),
    QStringLiteral("发送控制信息完成 ！"),  QStringLiteral("正在擦除芯片 。。。"),
    QStringLiteral("擦除芯片完成 ！"),      QStringLiteral("正在上载数据 。。。"),
    QStringLiteral("<option>"),             QStringLiteral("<option done>"),
    QStringLiteral("发送结束标志 ！"),      QStringLiteral("上载数据成功 ！"),
};

// A pseudo-terminal keeps no output queue to wait for: a write sits in the
// far side's buffer until the kernel moves it on, and a close in between
// throws it away, which no real line does once its output has drained.
// Polling the far side moves it on, so a drain here means what it means on
// a wire: the bytes are on their way to the part.
class PtyLines : public RecordingSerialPlatform {
 public:
  explicit PtyLines(int master) : master_(master) {}
  bool Drain(int fd, int timeoutMs) override {
    const bool drained = RecordingSerialPlatform::Drain(fd, timeoutMs);
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, 0);
    return drained;
  }

 private:
  int master_;
};

// One programmer with its own port, host and files; a test may build several.
struct Rig {
  Rig() {
    host.portName = QString::fromStdString(pty.slavePath());
    host.timeoutText = QStringLiteral("2");
    host.firmwareFileName = dir.filePath(QStringLiteral("fw.hex"));
    frm = std::make_unique<TSTCFrm>(host, nullptr, &lines);
    frm->SetMainWindowNormal = [this] { ++normalStyle; };
  }

  std::vector<uint8_t> WriteFirmware(size_t size, unsigned salt = 0) {
    std::vector<uint8_t> image = Firmware(size, salt);
    std::ofstream(host.firmwareFileName.toStdString(), std::ios::binary) << HexText(image);
    return image;
  }
  void WriteText(const std::string& text) {
    std::ofstream(host.firmwareFileName.toStdString(), std::ios::binary) << text;
  }

  // Shorter ticks for the failure paths: the waits still count the
  // specified number of ticks.
  void FastTicks() { frm->TimeOutTM.setInterval(150); }

  void ExpectIdle() {
    EXPECT_TRUE(host.downloadEnabled);
    EXPECT_FALSE(host.portGlyphOpen);
    EXPECT_FALSE(frm->ComPort1.IsOpen());
    EXPECT_EQ(host.progress, 0);
    EXPECT_FALSE(frm->SeekTimer.isActive());
    EXPECT_FALSE(frm->SessionRunning());
  }

  // Nothing reached the line: the port was never opened.
  void ExpectNothingSent() {
    EXPECT_EQ(std::count(lines.calls.begin(), lines.calls.end(), "OPEN"), 0);
    EXPECT_EQ(pty.ReadUntilQuiet(50, 200).size(), 0u);
  }

  // The image exactly, then the padding of its last block; the rest of the
  // erased range blank and beyond it the earlier firmware untouched.
  void ExpectFlash(const StcSim& sim, const std::vector<uint8_t>& image) {
    const std::vector<uint8_t> flash = sim.Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash differs";
    const size_t end = (image.size() + 127) / 128 * 128;
    // The small part's own erase frame carries no count: it clears all.
    const size_t erased = sim.EraseCount() == 0
                              ? flash.size()
                              : std::min(flash.size(), (static_cast<size_t>(sim.EraseCount()) * 256 + 511) / 512 * 512);
    for (size_t i = image.size(); i < end; ++i) ASSERT_EQ(flash[i], 0x00) << i;
    for (size_t i = end; i < erased; ++i) ASSERT_EQ(flash[i], 0xFF) << i;
    for (size_t i = erased; i < flash.size(); ++i) ASSERT_EQ(flash[i], StcSim::EarlierFirmware(i)) << i;
  }

  void ExpectSuccess(const StcSim& sim, const std::vector<uint8_t>& image, const QString& model,
                     bool doubleSpeed) {
    QStringList expected = kSuccessLog;
    expected[3] = model;
    expected[12] = doubleSpeed ? QStringLiteral("设置为双倍速 ！") : QStringLiteral("设置为单倍速 ！");
    expected[13] = doubleSpeed ? QStringLiteral("设置为双倍速完成 ！")
                               : QStringLiteral("设置为单倍速完成 ！");
    EXPECT_EQ(host.log, expected);
    ExpectFlash(sim, image);
    EXPECT_EQ(sim.Frames(0x80), 5);
    EXPECT_EQ(sim.Frames(0x84), 1);
    EXPECT_EQ(sim.Frames(0x00), static_cast<int>((image.size() + 127) / 128));
    EXPECT_EQ(sim.Frames(0x50), 1);
    EXPECT_EQ(sim.BadFrames(), 0);
    EXPECT_TRUE(sim.EndFlagSeen());
    EXPECT_EQ(sim.SyncBaud(), 1200u);
    const std::vector<uint8_t> option = doubleSpeed ? std::vector<uint8_t>{0xFC, 0xFF, 0xFA, 0xFF}
                                                    : std::vector<uint8_t>{0xFD, 0xFF, 0xFD, 0xFF};
    EXPECT_EQ(sim.ClockOption(), option);
    EXPECT_TRUE(host.boxes.isEmpty());
    // 8F, 8E and the end flag have left the wire before the speed changes
    // or the port closes.
    const std::vector<std::string>& calls = lines.calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "DRAIN"), 3);
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i] == "DRAIN") {
        size_t next = i + 1;
        while (next < calls.size() && calls[next] == "LOWLAT0") ++next;
        ASSERT_LT(next, calls.size());
        EXPECT_TRUE(calls[next] == "CLOSE" || calls[next] == "LINE") << i << " " << calls[next];
      }
    ExpectIdle();
  }

  PtyPair pty;
  PtyLines lines{pty.master()};  // records, and passes everything on to the pty
  QTemporaryDir dir;
  RecordingHost host;
  std::unique_ptr<TSTCFrm> frm;
  int normalStyle = 0;
};

class StcSession : public ::testing::Test {
 protected:
  Rig r;
};

TEST_F(StcSession, Stc89C52RcAt11MHz) {
  const std::vector<uint8_t> image = r.WriteFirmware(200);
  r.host.autoReset = true;  // RTS is not there on a pty: not an error
  r.host.resetDelayText = QStringLiteral("20");
  r.host.autoDownload = true;
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200));
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
  EXPECT_EQ(sim.HostProgrammingSpeed(), 115200u);
  EXPECT_EQ(r.host.sizeLabel, QStringLiteral("0.1 KB"));
  EXPECT_EQ(r.host.progressSteps, (std::vector<int>{50, 100, 0}));
  EXPECT_EQ(r.host.autoDownloadEnded, 1);
  // One reset pulse on RTS; DTR stays released throughout.
  const std::vector<std::string> modem = r.lines.Lines();
  EXPECT_EQ(std::count(modem.begin(), modem.end(), "RTS1"), 1);
  EXPECT_EQ(std::count(modem.begin(), modem.end(), "DTR1"), 0);
}

// A reply in two pieces 150 ms apart is one reply, on every step.
TEST_F(StcSession, Stc89C58RdPlusAt22MHzDoubleSpeedWithSplitReplies) {
  const std::vector<uint8_t> image = r.WriteFirmware(300);
  r.host.clockModeCaption = QStringLiteral("6T");
  StcSimFaults faults;
  faults.splitReplies = true;
  faults.splitPauseMs = 150;
  StcSim sim(r.pty, StcProfile("STC89C58RD+", 22118400), faults);
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C58RD+/时钟频率: 22.1184M"), true);
  EXPECT_EQ(sim.HostProgrammingSpeed(), 115200u);
  EXPECT_EQ(r.host.autoDownloadEnded, 0);
}

// Any letter case of the extension is a HEX file.
TEST_F(StcSession, TwelveMHzPartProgramsAt38400) {
  r.host.firmwareFileName = r.dir.filePath(QStringLiteral("FW.Hex"));
  const std::vector<uint8_t> image = r.WriteFirmware(130);
  StcSim sim(r.pty, StcProfile("STC89C51RC", 12000000));
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C51RC/时钟频率: 12.000M"), false);
  EXPECT_EQ(sim.HostProgrammingSpeed(), 38400u);
}

// Paced at the line rate behind adapters of every common latency: the
// status packet arrives over half a second in many pieces at 1200 bit/s,
// replies late and in chunks. Each wait ends when its frame is complete,
// not after a pause on the line.
TEST(StcSessionLink, PacedBehindEveryAdapterLatency) {
  std::vector<int64_t> gaps;
  for (int latency : {0, 4, 8, 12, 16, 25, 35, 50}) {
    SCOPED_TRACE(latency);
    Rig r;
    const std::vector<uint8_t> image = r.WriteFirmware(384, static_cast<unsigned>(latency));
    SimLinkOptions link;
    link.baud = 115200;
    link.adapterLatencyMs = latency;
    StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), {}, link);
    r.frm->BitBtn1Click(r.host.Job());
    r.ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
    for (const StcSimTurn& t : sim.Turns()) gaps.push_back(t.nextStartNs - t.replyDoneNs);
    sim.Stop();
  }
  // From a reply's last byte to the next frame: the program's own reaction
  // only. Waiting for a quiet line would make every turn 100 ms or more.
  ASSERT_GE(gaps.size(), 8u * 9);
  std::sort(gaps.begin(), gaps.end());
  const int64_t median = gaps[gaps.size() / 2];
  EXPECT_LT(median, 30'000'000) << "median turn " << median / 1000 << " us";
}

// Low-latency delivery is asked for on every open and the driver's setting
// restored on every close; a device without the flag is used as it is.
TEST(StcSessionLink, LowLatencyWhileThePortIsOpen) {
  for (bool refuse : {false, true}) {
    SCOPED_TRACE(refuse);
    Rig r;
    r.lines.refuseLowLatency = refuse;
    const std::vector<uint8_t> image = r.WriteFirmware(256);
    SimLinkOptions link;
    link.baud = 115200;
    link.adapterLatencyMs = 16;
    StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), {}, link);
    r.lines.onLowLatency = [&sim](bool on) { sim.SetAdapterLatency(on ? 1 : 16); };
    r.frm->BitBtn1Click(r.host.Job());
    r.ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
    const std::vector<std::string>& calls = r.lines.calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "OPEN"), 4);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "LOWLAT1"), 4);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "LOWLAT0"), refuse ? 0 : 4);
    for (size_t i = 1; i < calls.size(); ++i) {
      if (calls[i - 1] == "OPEN") {
        EXPECT_EQ(calls[i], "LOWLAT1") << i;
      }
      if (calls[i] == "CLOSE" && !refuse) {
        EXPECT_EQ(calls[i - 1], "LOWLAT0") << i;
      }
    }
    EXPECT_FALSE(r.lines.lowLatency);
    sim.Stop();
  }
}

// Replies cut at random points with random pauses: every seed programs the
// same bytes.
TEST(StcSessionLink, RepliesCutAnywhere) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    Rig r;
    const std::vector<uint8_t> image = r.WriteFirmware(200 + seed * 7, seed);
    SimLinkOptions link;
    link.seed = seed;
    link.maxPauseMs = 12;
    if (seed % 10 == 0) {  // two of them paced and behind an adapter too
      link.baud = 115200;
      link.adapterLatencyMs = 16;
    }
    StcSim sim(r.pty, StcProfile(seed % 2 ? "STC89C55RD+" : "STC89C52RC", 11059200), {}, link);
    r.frm->BitBtn1Click(r.host.Job());
    ASSERT_EQ(r.host.log.last(), QStringLiteral("上载数据成功 ！"));
    r.ExpectFlash(sim, image);
    EXPECT_EQ(sim.BadFrames(), 0);
    sim.Stop();
  }
}

// A frame whose sum does not match is no reply: the session waits for a
// real one and times out, rather than run ahead of the part.
TEST_F(StcSession, FrameWithWrongChecksumIsIgnored) {
  r.WriteFirmware(64);
  r.FastTicks();
  StcSimFaults faults;
  faults.badChecksumTo = 0x80;
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), faults);
  r.frm->BitBtn1Click(r.host.Job());
  ASSERT_GE(r.host.log.size(), 2);
  EXPECT_EQ(r.host.log[r.host.log.size() - 2], QStringLiteral("写控制信息超时 ！"));
  // The cause after it: the part answered, its frames spoilt.
  EXPECT_EQ(r.host.log.last(), QStringLiteral("写控制信息: 器件应答了 1 帧，但校验和不对（线路干扰或波特率偏差）"));
  EXPECT_EQ(r.host.results.back().step, QStringLiteral("写控制信息"));
  EXPECT_EQ(sim.Frames(0x80), 1);
  EXPECT_EQ(r.frm->TimeoutTicks, 6);
  r.ExpectIdle();
}

// A part that holds an earlier firmware: the erase covers the whole image
// (a 3000-byte image needs 12 counts, the fixed frame asks for 5), so the
// image lands exactly and the flash beyond it keeps what it held.
TEST_F(StcSession, EarlierFirmwareIsErasedUnderTheWholeImage) {
  const std::vector<uint8_t> image = r.WriteFirmware(3000);
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200));
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
  EXPECT_EQ(sim.EraseCount(), 12);
  EXPECT_EQ(sim.Flash()[4000], StcSim::EarlierFirmware(4000));
}

// A block the part did not program shows in the sum it answers: the session
// ends naming the block, never with success.
TEST_F(StcSession, BlockThatDoesNotProgramEndsTheSession) {
  r.WriteFirmware(600);
  StcSimFaults faults;
  faults.skipWriteBlock = 2;
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), faults);
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("写入数据校验错误 ！地址: 0x0100"));
  EXPECT_FALSE(r.host.log.contains(QStringLiteral("上载数据成功 ！")));
  EXPECT_EQ(sim.Frames(0x00), 3);
  EXPECT_EQ(sim.Frames(0x8D), 0);
  EXPECT_EQ(r.normalStyle, 1);
  r.ExpectIdle();
}

// One byte more than the identified part holds: refused before anything is
// erased, naming both sizes.
TEST(StcSessionLink, ImageLargerThanThePart) {
  const struct {
    const char* model;
    size_t flash;
  } parts[] = {{"STC89C51RC", 4096},     {"STC89C52RC", 8192},  {"STC89C55RD+", 20480},
               {"STC89C58RD+", 32768},   {"STC89C516RD+", 64512}, {"STC12C1052", 1024}};
  for (const auto& part : parts) {
    SCOPED_TRACE(part.model);
    Rig r;
    r.WriteFirmware(part.flash + 1);
    StcSim sim(r.pty, StcProfile(part.model, 11059200));
    r.frm->BitBtn1Click(r.host.Job());
    EXPECT_EQ(r.host.log.last(), QStringLiteral("上载文件 %1 字节，超出 %2 的 Flash 容量 %3 字节 ！")
                                     .arg(part.flash + 1)
                                     .arg(QString::fromUtf8(part.model))
                                     .arg(part.flash));
    EXPECT_EQ(sim.Frames(0x8F), 0);
    EXPECT_EQ(sim.Frames(0x84), 0);
    EXPECT_EQ(r.normalStyle, 1);
    r.ExpectIdle();
    sim.Stop();
  }
}

TEST_F(StcSession, NoAnswerToConnectPulses) {
  r.WriteFirmware(64);
  r.host.timeoutText = QStringLiteral("1");
  StcSimFaults faults;
  faults.silent = true;
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), faults);
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("连接超时 ！"));
  EXPECT_EQ(sim.SyncBaud(), 1200u);  // the window connects at 1200, as it always has
  EXPECT_EQ(r.normalStyle, 0);  // this path leaves the window's style alone
  const std::vector<std::string> modem = r.lines.Lines();
  EXPECT_EQ(std::count(modem.begin(), modem.end(), "RTS1"), 0);  // no reset asked for
  r.ExpectIdle();
}

// An STC89 part has no option bytes or data flash of the later kind: a job
// that asks for them is refused once the part is known, before the erase,
// and the part is sent out of its boot loader (left in it, it would ignore
// the next connect). A frequency asked of it is said to have no effect.
TEST_F(StcSession, OptionsAskedOfAnStc89AreRefusedAndThePartReleased) {
  r.WriteFirmware(64);
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200));
  IspJob job = IspJob::Download(r.host.firmwareFileName);
  job.options.insert(QStringLiteral("watchdog"), QStringLiteral("on"));
  job.frequencyKHz = 24000;
  r.frm->Start(r.host.Fill(job));
  EXPECT_EQ(r.host.log.last(), QStringLiteral("STC89C52RC 不支持设置选项或写入 EEPROM ！"));
  EXPECT_TRUE(r.host.log.contains(
      QStringLiteral("STC89C52RC 没有由下载调整的内部 RC 振荡器：频率 24000 kHz 不起作用，时钟由晶振决定")));
  EXPECT_EQ(sim.Frames(0x84), 0);
  EXPECT_TRUE(sim.EndFlagSeen());
  r.ExpectIdle();
  // Without a frequency asked there is nothing to say about it.
  r.host.log.clear();
  r.frm->Start(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("上载数据成功 ！"));
  EXPECT_TRUE(r.host.log.filter(QStringLiteral("不起作用")).isEmpty());
}

// The boxes go through the host: the engine opens none of its own.
TEST_F(StcSession, UnknownModelIsRefused) {
  r.WriteFirmware(64);
  StcSim sim(r.pty, StcProfile("unknown", 11059200));
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("未支持的 MCU: 型号代码 F003 ！"));
  ASSERT_EQ(r.host.boxes.size(), 1);
  EXPECT_TRUE(r.host.boxes[0].startsWith(QStringLiteral("当前版本支持 MCU:")));
  EXPECT_EQ(r.normalStyle, 1);
  EXPECT_EQ(sim.Frames(0x8F), 0);
  r.ExpectIdle();
  sim.Stop();

  // A model the list knows is named.
  r.host.log.clear();
  StcSim known(r.pty, StcProfile("STC89C54RD+", 11059200));
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("未支持的 MCU: STC89C54RD+/LE54RD+ (型号代码 F104) ！"));
  EXPECT_EQ(known.Frames(0x8F), 0);
  r.ExpectIdle();
}

// The erase is given 12 one-second ticks, a block 10: counted, not timed.
TEST_F(StcSession, SilentEraseTimesOutAfterTwelveTicks) {
  r.WriteFirmware(64);
  r.FastTicks();
  StcSimFaults faults;
  faults.noReplyTo = 0x84;
  StcSim sim(r.pty, StcProfile("STC89C55RD+", 18432000), faults);
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("擦除芯片超时 ！"));
  EXPECT_EQ(r.frm->TimeoutTicks, 12);
  EXPECT_EQ(sim.Frames(0x84), 1);
  EXPECT_EQ(sim.Frames(0x00), 0);
  EXPECT_EQ(r.normalStyle, 1);
  r.ExpectIdle();
}

// An erase that takes longer than any other wait allows still succeeds.
TEST_F(StcSession, SlowEraseWithinItsWait) {
  const std::vector<uint8_t> image = r.WriteFirmware(64);
  r.FastTicks();  // 12 ticks: 1.8 s
  StcSimFaults faults;
  faults.eraseMs = 1200;  // 8 ticks
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), faults);
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
}

// The part the old speed table failed: an STC89C58RD+ on 11.0592 MHz.
// The simulated boot loader takes the speed from the frame's reload and
// its own clock, so a wrong divider would get no answer.
TEST_F(StcSession, Stc89C58RdPlusAt11MHz) {
  const std::vector<uint8_t> image = r.WriteFirmware(700);
  StcSim sim(r.pty, StcProfile("STC89C58RD+", 11059200));
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C58RD+/时钟频率: 11.0592M"), false);
  EXPECT_EQ(sim.ProgrammingBaud(), 115200u);
  EXPECT_EQ(sim.SpeedPayload(), (std::vector<uint8_t>{0xFF, 0xFD, 0x00, 0x06, 0x28, 0x81}));
}

// Crystals outside the old table, low to high, on the models with timer 2
// and on the 1T part: each is programmed at the speed its clock divides to.
TEST(StcSessionLink, AnyCrystalFromSixToFortyMHz) {
  const struct {
    const char* model;
    uint32_t crystal;
    uint32_t baud;
  } cases[] = {
      {"STC89C52RC", 6000000, 38400},   {"STC89C516RD+", 7372800, 115200},
      {"STC89C58RD+", 20000000, 57600}, {"STC89C55RD+", 33177600, 115200},
      {"STC89C51RC", 40000000, 115200}, {"STC12C1052", 24000000, 115200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.crystal);
    Rig r;
    const std::vector<uint8_t> image = r.WriteFirmware(150, c.crystal & 0xFF);
    StcSim sim(r.pty, StcProfile(c.model, c.crystal));
    r.frm->BitBtn1Click(r.host.Job());
    // The clock as measured, to the kHz: "STC89C52RC/时钟频率: 5.999M".
    ASSERT_GE(r.host.log.size(), 4);
    const QString prefix = QString::fromUtf8(c.model) + QStringLiteral("/时钟频率: ");
    const QString line = r.host.log[3];
    ASSERT_TRUE(line.startsWith(prefix) && line.endsWith(QLatin1Char('M'))) << line.toStdString();
    EXPECT_NEAR(line.mid(prefix.size()).chopped(1).toDouble(), c.crystal / 1e6, c.crystal * 2e-9);
    r.ExpectSuccess(sim, image, line, false);
    EXPECT_NEAR(sim.ProgrammingBaud(), c.baud, c.baud * 0.025);
    sim.Stop();
  }
}

// A part an earlier double-speed download left in 6T mode: its counts are
// doubled and its UART takes 16 samples a bit. The crystal shown is the
// real one, and the speed step still lands on 115200.
TEST_F(StcSession, PartLeftInSixTMode) {
  const std::vector<uint8_t> image = r.WriteFirmware(260);
  StcSimProfile p = StcProfile("STC89C516RD+", 11059200);
  p.sixT = true;
  StcSim sim(r.pty, p);
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C516RD+/时钟频率: 11.0592M"), false);
  EXPECT_EQ(sim.ProgrammingBaud(), 115200u);
  // Reload 65536 - 6: 11.0592 MHz / (16 x 6) = 115200.
  EXPECT_EQ(sim.SpeedPayload()[1], 0xFA);
}

// Blank lines before the first record and between records are no fault.
TEST_F(StcSession, HexWithBlankLines) {
  const std::vector<uint8_t> image = Firmware(100);
  std::string text = HexText(image);
  text.insert(text.find("\r\n") + 2, "\r\n  \r\n");
  r.WriteText("\r\n\n" + text);
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200));
  r.frm->BitBtn1Click(r.host.Job());
  r.ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
}

// An adapter pulled out is noticed at once, on whichever step it happens,
// not after the step's time-out.
TEST_F(StcSession, HangUpDuringWrite) {
  r.WriteFirmware(600);
  StcSimFaults faults;
  faults.hangUpOn = 0x00;
  faults.hangUpAfter = 2;
  StcSim sim(r.pty, StcProfile("STC89C516RD+", 11059200), faults);
  QElapsedTimer t;
  t.start();
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log.last(), QStringLiteral("串口已断开 ！"));
  EXPECT_LT(r.frm->TimeoutTicks, 1);
  EXPECT_EQ(r.host.progressSteps.back(), 0);
  EXPECT_EQ(sim.Frames(0x00), 2);
  r.ExpectIdle();
}

TEST_F(StcSession, NothingIsOpenedWithoutAnImage) {
  // Missing file.
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log, QStringList{QStringLiteral("上载文件不存在 ！")});
  r.ExpectIdle();

  // A file without any data.
  r.host.log.clear();
  r.WriteText(":020000000000FE\r\n:00000001FF\r\n");
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.log, QStringList{QStringLiteral("上载文件中没有可下载的数据 ！")});
  r.ExpectIdle();

  // The converter library cannot be loaded: the page is usable again.
  r.host.log.clear();
  r.WriteFirmware(64);
  r.host.logAndChooserEnabled = false;
  const QString library = r.frm->LibraryPath;
  r.frm->LibraryPath = r.dir.filePath(QStringLiteral("libmissing.so"));
  r.frm->BitBtn1Click(r.host.Job());
  EXPECT_EQ(r.host.boxes, QStringList{QStringLiteral("Unable to Load iHexToBin")});
  EXPECT_TRUE(r.host.logAndChooserEnabled);
  r.ExpectIdle();
  r.frm->LibraryPath = library;
  r.ExpectNothingSent();
}

// A damaged file is refused with its line before the port opens; a device
// or a FIFO is refused at once instead of being read.
TEST_F(StcSession, DamagedOrSpecialFilesAreRefusedBeforeThePortOpens) {
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200));
  const std::string good = ":100000000102030405060708090A0B0C0D0E0F1068\r\n";
  const QString name = r.host.firmwareFileName;
  const struct {
    std::string text;
    QString line;
  } cases[] = {
      {good, QStringLiteral("HEX文件不完整（没有结束记录）: ") + QFileInfo(name).fileName()},
      {good + ":1000100011\r\n:00000001FF\r\n", QStringLiteral("HEX文件第 2 行格式错误")},
      {":10000000010203040506070809OA0B0C0D0E0F1068\r\n:00000001FF\r\n",
       QStringLiteral("HEX文件第 1 行格式错误")},
      {":020000040001F9\r\n" + good + ":00000001FF\r\n",
       QStringLiteral("HEX文件第 2 行的数据超出 64 KB 地址范围")},
  };
  for (const auto& c : cases) {
    r.host.log.clear();
    r.WriteText(c.text);
    r.frm->BitBtn1Click(r.host.Job());
    EXPECT_EQ(r.host.log, QStringList{c.line});
    r.ExpectIdle();
  }

  const QString fifo = r.dir.filePath(QStringLiteral("fifo.hex"));
  ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
  for (const QString& special : {QStringLiteral("/dev/zero"), fifo, r.dir.path()}) {
    r.host.log.clear();
    r.host.firmwareFileName = special;
    r.frm->BitBtn1Click(r.host.Job());  // returns: nothing waits on the file
    ASSERT_EQ(r.host.log.size(), 1);
    EXPECT_TRUE(r.host.log[0].contains(special)) << r.host.log[0].toStdString();
    r.ExpectIdle();
  }
  EXPECT_EQ(sim.StatusPackets(), 0);
  r.ExpectNothingSent();
}

}  // namespace

namespace {

// The adapter pulled out between the speed frame and the reopening at the
// new speed: said as an unplugged port with the step, not as a port that
// another program holds.
TEST_F(StcSession, UnpluggedDuringTheSpeedStepIsNamed) {
  r.WriteFirmware(200);
  StcSimFaults faults;
  faults.hangUpOn = 0x8F;
  StcSim sim(r.pty, StcProfile("STC89C52RC", 11059200), faults);
  r.frm->BitBtn1Click(r.host.Job());
  ASSERT_FALSE(r.host.log.isEmpty());
  const QString last = r.host.log.last();
  EXPECT_TRUE(last.startsWith(QStringLiteral("调整波特率一: 以 115200 bit/s 重新打开串口失败: 串口 ")))
      << last.toStdString();
  EXPECT_FALSE(r.host.log.contains(QStringLiteral("当前串口号已经被占用，或其它错误 ！"))) << last.toStdString();
  EXPECT_EQ(r.host.results.back().step, QStringLiteral("调整波特率一"));
  r.ExpectIdle();
}

}  // namespace

namespace {

// Host frames in `bytes`, by their 46 B9 6A head.
int HostFrames(const std::vector<uint8_t>& bytes) {
  const uint8_t head[] = {0x46, 0xB9, 0x6A};
  int n = 0;
  for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), head, head + 3)) != bytes.end(); ++at) ++n;
  return n;
}

// A link lent to the engine: passes everything on to the component's own
// link and keeps what went each way. A deaf one hears nothing.
class RecordingLink : public IspLink {
 public:
  explicit RecordingLink(IspLink& inner) : inner_(inner) {}
  std::vector<uint8_t> written, heard;
  std::vector<std::string> calls;
  bool deaf = false;

  bool IsOpen() const override { return inner_.IsOpen(); }
  bool Write(const void* data, int count) override {
    const auto* p = static_cast<const uint8_t*>(data);
    written.insert(written.end(), p, p + count);
    return inner_.Write(data, count);
  }
  void Listen(DataFn onData, LostFn onLost) override {
    calls.push_back("LISTEN");
    inner_.Listen(
        [this, onData = std::move(onData)](const uint8_t* data, int size) {
          if (deaf) return;
          heard.insert(heard.end(), data, data + size);
          onData(data, size);
        },
        std::move(onLost));
  }
  void StopListening() override {
    calls.push_back("STOP");
    inner_.StopListening();
  }
  void Poll() override { inner_.Poll(); }
  bool Drain(int timeoutMs) override { return inner_.Drain(timeoutMs); }
  void SetDtr(bool on) override { inner_.SetDtr(on); }
  void SetRts(bool on) override {
    calls.push_back(on ? "RTS1" : "RTS0");
    inner_.SetRts(on);
  }
  uint32_t BitsPerSecond() const override { return inner_.BitsPerSecond(); }
  void SetBitsPerSecond(uint32_t bps) override { inner_.SetBitsPerSecond(bps); }
  void SetParity(IspParity parity) override {
    calls.push_back(parity == IspParity::Even ? "EVEN" : "NOPARITY");
    inner_.SetParity(parity);
  }

 private:
  IspLink& inner_;
};

// A lent link carries the whole session: every byte the line was given
// went through it, and the part's answer is heard only through it.
TEST(StcSessionLink, LentLinkCarriesEveryByte) {
  PtyPair pty;
  PtyLines lines{pty.master()};
  QTemporaryDir dir;
  RecordingHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.timeoutText = QStringLiteral("2");
  host.firmwareFileName = dir.filePath(QStringLiteral("fw.hex"));
  host.autoReset = true;
  std::ofstream(host.firmwareFileName.toStdString(), std::ios::binary) << HexText(Firmware(64));
  TSTCFrm frm(host, nullptr, &lines);
  ThreadedLink own(frm.ComPort1);
  RecordingLink link(own);
  frm.LendLink(&link);

  // Options an STC89 cannot take: the handshake, the refusal, the part
  // sent on to its program with the end flag.
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  IspJob job = IspJob::Download(host.firmwareFileName);
  job.options.insert(QStringLiteral("watchdog"), QStringLiteral("on"));
  frm.Start(host.Fill(job));
  EXPECT_EQ(host.log.last(), QStringLiteral("STC89C52RC 不支持设置选项或写入 EEPROM ！"));
  EXPECT_TRUE(sim.EndFlagSeen());
  ASSERT_GE(link.written.size(), 2u);
  EXPECT_EQ(link.written[0], 0x7F);
  EXPECT_EQ(link.written[1], 0x7F);
  const std::vector<uint8_t> end = stc::HexToBytes(stc::kEndFlagFrame);
  ASSERT_GE(link.written.size(), end.size());
  EXPECT_TRUE(std::equal(end.begin(), end.end(), link.written.end() - static_cast<long>(end.size())));
  // Every frame the part saw was written through the link.
  int seen = sim.BadFrames();
  for (int command = 0; command < 256; ++command) seen += sim.Frames(static_cast<uint8_t>(command));
  EXPECT_EQ(HostFrames(link.written), seen);
  EXPECT_FALSE(link.heard.empty());
  // The reset pulse went through it too; listening ends with the session.
  ASSERT_FALSE(link.calls.empty());
  EXPECT_EQ(link.calls.front(), "LISTEN");
  EXPECT_EQ(link.calls.back(), "STOP");
  EXPECT_EQ(std::count(link.calls.begin(), link.calls.end(), "RTS1"), 1);
  EXPECT_FALSE(frm.ComPort1.IsOpen());
  EXPECT_FALSE(frm.ComPort1.OnReceiveData);
  sim.Stop();

  // Deaf, the link hears nothing: the part answers, the engine never
  // learns of it and times out.
  link.deaf = true;
  link.written.clear();
  link.heard.clear();
  host.log.clear();
  frm.TimeOutTM.setInterval(150);
  StcSim answering(pty, StcProfile("STC89C52RC", 11059200));
  frm.Start(host.Job());
  EXPECT_EQ(host.log.last(), QStringLiteral("连接超时 ！"));
  EXPECT_GT(answering.StatusPackets(), 0);
  EXPECT_TRUE(link.heard.empty());
  EXPECT_FALSE(frm.ComPort1.IsOpen());
}

}  // namespace
