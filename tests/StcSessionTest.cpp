// Whole STC sessions from the download button against a simulated boot
// loader on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <memory>

#include "isp/stc/STC.h"
#include "sim/StcSim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

namespace {

class RecordingHost : public FakeIspHost {
 public:
  std::vector<int> progressSteps;
  void SetProgress(int position) override {
    FakeIspHost::SetProgress(position);
    progressSteps.push_back(position);
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

std::vector<uint8_t> Firmware(size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
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

class StcSession : public ::testing::Test {
 protected:
  void SetUp() override {
    host.portName = QString::fromStdString(pty.slavePath());
    host.timeoutText = QStringLiteral("2");
    host.firmwareFileName = dir.filePath(QStringLiteral("fw.hex"));
    frm = std::make_unique<TSTCFrm>(host, nullptr, &lines);
    frm->ShowMessage = [this](const QString& text) { boxes << text; };
    frm->SetMainWindowNormal = [this] { ++normalStyle; };
  }

  std::vector<uint8_t> WriteFirmware(size_t size) {
    std::vector<uint8_t> image = Firmware(size);
    std::ofstream(host.firmwareFileName.toStdString(), std::ios::binary) << HexText(image);
    return image;
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
  }

  void ExpectSuccess(const StcSim& sim, const std::vector<uint8_t>& image, const QString& model,
                     bool doubleSpeed) {
    QStringList expected = kSuccessLog;
    expected[3] = model;
    expected[12] = doubleSpeed ? QStringLiteral("设置为双倍速 ！") : QStringLiteral("设置为单倍速 ！");
    expected[13] = doubleSpeed ? QStringLiteral("设置为双倍速完成 ！")
                               : QStringLiteral("设置为单倍速完成 ！");
    EXPECT_EQ(host.log, expected);
    const std::vector<uint8_t> flash = sim.Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // The last block is padded with 00; beyond it the flash stays erased.
    const size_t end = (image.size() + 127) / 128 * 128;
    for (size_t i = image.size(); i < end; ++i) ASSERT_EQ(flash[i], 0x00) << i;
    for (size_t i = end; i < flash.size(); ++i) ASSERT_EQ(flash[i], 0xFF) << i;
    EXPECT_EQ(sim.Frames(0x80), 5);
    EXPECT_EQ(sim.Frames(0x00), static_cast<int>((image.size() + 127) / 128));
    EXPECT_EQ(sim.Frames(0x50), 1);
    EXPECT_EQ(sim.BadFrames(), 0);
    EXPECT_TRUE(sim.EndFlagSeen());
    EXPECT_EQ(sim.SyncBaud(), 1200u);
    const std::vector<uint8_t> option = doubleSpeed ? std::vector<uint8_t>{0xFC, 0xFF, 0xFA, 0xFF}
                                                    : std::vector<uint8_t>{0xFD, 0xFF, 0xFD, 0xFF};
    EXPECT_EQ(sim.ClockOption(), option);
    EXPECT_TRUE(boxes.isEmpty());
    ExpectIdle();
  }

  PtyPair pty;
  RecordingSerialPlatform lines;  // passes everything on to the pty
  QTemporaryDir dir;
  RecordingHost host;
  std::unique_ptr<TSTCFrm> frm;
  QStringList boxes;
  int normalStyle = 0;
};

TEST_F(StcSession, Stc89C52RcAt11MHz) {
  const std::vector<uint8_t> image = WriteFirmware(200);
  host.autoReset = true;  // RTS is not there on a pty: not an error
  host.resetDelayText = QStringLiteral("20");
  host.autoDownload = true;
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  frm->BitBtn1Click();
  ExpectSuccess(sim, image, QStringLiteral("STC89C52RC/时钟频率: 11.0592M"), false);
  EXPECT_EQ(sim.HostProgrammingSpeed(), 115200u);
  EXPECT_EQ(host.sizeLabel, QStringLiteral("0.1 KB"));
  EXPECT_EQ(host.progressSteps, (std::vector<int>{50, 100, 0}));
  EXPECT_EQ(host.autoDownloadEnded, 1);
  // One reset pulse on RTS; DTR stays released throughout.
  const std::vector<std::string> modem = lines.Lines();
  EXPECT_EQ(std::count(modem.begin(), modem.end(), "RTS1"), 1);
  EXPECT_EQ(std::count(modem.begin(), modem.end(), "DTR1"), 0);
}

TEST_F(StcSession, Stc89C58RdPlusAt22MHzDoubleSpeedWithSplitReplies) {
  const std::vector<uint8_t> image = WriteFirmware(300);
  host.clockModeCaption = QStringLiteral("6T");
  StcSimFaults faults;
  faults.splitReplies = true;
  StcSim sim(pty, StcProfile("STC89C58RD+", 22118400), faults);
  frm->BitBtn1Click();
  ExpectSuccess(sim, image, QStringLiteral("STC89C58RD+/时钟频率: 22.1184M"), true);
  EXPECT_EQ(sim.HostProgrammingSpeed(), 115200u);
  EXPECT_EQ(host.autoDownloadEnded, 0);
}

TEST_F(StcSession, TwelveMHzPartProgramsAt38400) {
  const std::vector<uint8_t> image = WriteFirmware(130);
  StcSim sim(pty, StcProfile("STC89C51RC", 12000000));
  frm->BitBtn1Click();
  ExpectSuccess(sim, image, QStringLiteral("STC89C51RC/时钟频率: 12.000M"), false);
  EXPECT_EQ(sim.HostProgrammingSpeed(), 38400u);
}

TEST_F(StcSession, NoAnswerToConnectPulses) {
  WriteFirmware(64);
  host.timeoutText = QStringLiteral("1");
  StcSimFaults faults;
  faults.silent = true;
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200), faults);
  frm->BitBtn1Click();
  EXPECT_EQ(host.log.last(), QStringLiteral("连接超时 ！"));
  EXPECT_EQ(sim.SyncBaud(), 1200u);  // the pulses went out at 1200
  EXPECT_EQ(normalStyle, 0);  // this path leaves the window's style alone
  const std::vector<std::string> modem = lines.Lines();
  EXPECT_EQ(std::count(modem.begin(), modem.end(), "RTS1"), 0);  // no reset asked for
  ExpectIdle();
}

TEST_F(StcSession, UnknownModelIsRefused) {
  WriteFirmware(64);
  StcSim sim(pty, StcProfile("unknown", 11059200));
  frm->BitBtn1Click();
  EXPECT_EQ(host.log.last(), QStringLiteral("未支持的 MCU ！"));
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_TRUE(boxes[0].startsWith(QStringLiteral("当前版本支持 MCU:")));
  EXPECT_EQ(normalStyle, 1);
  EXPECT_EQ(sim.Frames(0x8F), 0);
  ExpectIdle();
}

TEST_F(StcSession, SilentEraseTimesOut) {
  WriteFirmware(64);
  FastTicks();
  StcSimFaults faults;
  faults.noReplyTo = 0x84;
  StcSim sim(pty, StcProfile("STC89C55RD+", 18432000), faults);
  frm->BitBtn1Click();
  EXPECT_EQ(host.log.last(), QStringLiteral("擦除芯片超时 ！"));
  EXPECT_EQ(sim.Frames(0x84), 1);
  EXPECT_EQ(sim.Frames(0x00), 0);
  EXPECT_EQ(normalStyle, 1);
  ExpectIdle();
}

TEST_F(StcSession, HangUpDuringWrite) {
  WriteFirmware(600);
  FastTicks();
  StcSimFaults faults;
  faults.hangUpOn = 0x00;
  faults.hangUpAfter = 2;
  StcSim sim(pty, StcProfile("STC89C516RD+", 11059200), faults);
  frm->BitBtn1Click();
  EXPECT_EQ(host.log.last(), QStringLiteral("上载数据超时 ！"));
  EXPECT_EQ(host.progressSteps.back(), 0);
  EXPECT_EQ(sim.Frames(0x00), 2);
  ExpectIdle();
}

TEST_F(StcSession, NothingIsOpenedWithoutAnImage) {
  // Missing file.
  frm->BitBtn1Click();
  EXPECT_EQ(host.log, QStringList{QStringLiteral("上载文件不存在 ！")});
  ExpectIdle();

  // A file without any data.
  host.log.clear();
  std::ofstream(host.firmwareFileName.toStdString()) << ":0200000000000E\r\n:00000001FF\r\n";
  frm->BitBtn1Click();
  EXPECT_EQ(host.log.size(), 1);
  EXPECT_EQ(host.log.last(), QStringLiteral("上载文件中没有可下载的数据 ！"));
  ExpectIdle();

  // The converter library cannot be loaded: the page is usable again.
  host.log.clear();
  WriteFirmware(64);
  host.logAndChooserEnabled = false;
  frm->LibraryPath = dir.filePath(QStringLiteral("libmissing.so"));
  frm->BitBtn1Click();
  EXPECT_EQ(boxes, QStringList{QStringLiteral("Unable to Load iHexToBin")});
  EXPECT_TRUE(host.logAndChooserEnabled);
  ExpectIdle();
  EXPECT_EQ(pty.ReadUntilQuiet(50, 200).size(), 0u);  // the port was never opened
}

}  // namespace
