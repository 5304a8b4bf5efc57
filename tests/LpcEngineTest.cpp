// The LPC2xxx download from the download button against a simulated boot
// loader on a pseudo-terminal, behind the link model: instant, paced at the
// line rate, behind USB adapters, with replies cut into pieces.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "isp/lpc/LPC.h"
#include "sim/LpcHexText.h"
#include "sim/LpcSim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

namespace {

// Also notes every write, so the modem lines can be placed against the bytes.
class WireRecorder : public RecordingSerialPlatform {
 public:
  long Write(int fd, const void* buf, size_t len) override {
    calls.push_back("TX " + std::string(static_cast<const char*>(buf), std::min<size_t>(len, 6)));
    return RecordingSerialPlatform::Write(fd, buf, len);
  }
};

QString VectorLine(const std::vector<uint8_t>& withChecksum) {
  const uint32_t check = static_cast<uint32_t>(withChecksum[0x14]) | withChecksum[0x15] << 8 |
                         withChecksum[0x16] << 16 | static_cast<uint32_t>(withChecksum[0x17]) << 24;
  return QStringLiteral("向量表校验字(0x14)已设置为 0x%1")
      .arg(QString::number(check, 16).toUpper().rightJustified(8, QLatin1Char('0')));
}

class LpcDownload : public ::testing::Test {
 protected:
  void WriteFirmware(const QByteArray& hex) {
    QFile f(host_.firmwareFileName);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(hex);
  }
  // A fresh simulated part on the same line, then the download button.
  // A null hex leaves the file as it is (or absent).
  void Start(LpcPartProfile part, LpcSimOptions options, const QByteArray& hex) {
    if (!hex.isNull()) WriteFirmware(hex);
    if (sim_) sim_->Stop();
    sim_.reset();
    sim_ = std::make_unique<LpcSim>(pty_, std::move(part), options);
    if (!frm_) frm_ = std::make_unique<TLPCFrm>(host_);
    host_.log.clear();
    rec_.Clear();
    frm_->BitBtn1Click();
    EXPECT_FALSE(host_.downloadEnabled);
  }
  // Runs until the engine gives the download button back.
  bool Finish(int timeoutMs) {
    return PumpUntil([&] { return host_.downloadEnabled; }, timeoutMs);
  }
  void ExpectIdle() {
    EXPECT_TRUE(host_.downloadEnabled);
    EXPECT_FALSE(host_.driver.IsConnected());
    EXPECT_FALSE(frm_->Timer1.isActive());
    EXPECT_FALSE(frm_->Timer2.isActive());
    EXPECT_FALSE(frm_->Timer3.isActive());
    EXPECT_FALSE(frm_->Timer5.isActive());
    EXPECT_TRUE(frm_->Timer4.isActive());
    EXPECT_EQ(host_.progress, 0);
    EXPECT_EQ(frm_->LpcIspState, TLPCFrm::Syncing);
  }
  std::string SuccessLog(const QString& partId, const QString& boot, int kb,
                         const std::vector<uint8_t>& flashImage) {
    return QStringList{QStringLiteral("正在查找。。。"), QStringLiteral("已成功连接"),
            QStringLiteral("同步已建立"), QStringLiteral("波特率发送成功"),
            QStringLiteral("解锁成功"), QStringLiteral("CodeSize: %1 KB").arg(kb),
            VectorLine(flashImage), QStringLiteral("下载目标代码"),
            QStringLiteral("读器件ID成功:") + partId,
            QStringLiteral("读Boot代码版本成功:") + boot, QStringLiteral("正在擦除。。。"),
            QStringLiteral("擦除成功"), QStringLiteral("开始写入。。。"),
            QStringLiteral("写入完成")}.join('\n').toStdString();
  }
  // The image where it belongs, erased flash after it up to the end of its
  // last 4 KB chunk, and no byte programmed over flash that was not erased.
  void ExpectFlashHolds(const std::vector<uint8_t>& image, bool checkTail = true) {
    const std::vector<uint8_t> flash = sim_->Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash differs";
    EXPECT_EQ(sim_->CopyOverwrites.load(), 0);
    EXPECT_TRUE(sim_->VectorsValid());
    if (!checkTail) return;
    const size_t end = std::min(flash.size(), (image.size() + 4095) / 4096 * 4096);
    EXPECT_TRUE(std::all_of(flash.begin() + static_cast<std::ptrdiff_t>(image.size()),
                            flash.begin() + static_cast<std::ptrdiff_t>(end),
                            [](uint8_t b) { return b == 0xFF; }))
        << "the last chunk carried something after the image";
  }
  int Count(char command) const {
    int n = 0;
    for (const std::string& c : sim_->Commands()) n += c[0] == command;
    return n;
  }
  std::string Log() const { return host_.log.join('\n').toStdString(); }

  void SetUp() override {
    host_.firmwareFileName = dir_.filePath(QStringLiteral("fw.hex"));
    host_.portName = QString::fromStdString(pty_.slavePath());
    host_.speed = br57600;
    host_.parity = ptNONE;
    host_.timeoutText = QStringLiteral("1");
  }
  void TearDown() override {
    frm_.reset();
    host_.ComPort_Close();
    if (sim_) sim_->Stop();
  }

  QTemporaryDir dir_;
  PtyPair pty_;
  WireRecorder rec_;  // passes everything on to the pty
  FakeIspHost host_{&rec_};
  std::unique_ptr<LpcSim> sim_;
  std::unique_ptr<TLPCFrm> frm_;
};

struct PartCase {
  LpcPartProfile (*profile)();
  const char* boot;
  size_t size;
  const char* pacing;  // Edit3
};
void PrintTo(const PartCase& c, std::ostream* os) {
  *os << c.profile().Name << ", " << c.size << " bytes, Edit3 " << c.pacing;
}

class LpcDownloadParts : public LpcDownload, public ::testing::WithParamInterface<PartCase> {};

TEST_P(LpcDownloadParts, FlashHoldsTheImageAndTheLogIsComplete) {
  const PartCase c = GetParam();
  const std::vector<uint8_t> image = PatternImage(c.size, 11);
  const LpcPartProfile part = c.profile();
  host_.autoDownload = true;
  host_.timeoutText = QString::fromLatin1(c.pacing);
  Start(part, {}, HexText(image));
  ASSERT_TRUE(Finish(60000)) << Log();
  const std::vector<uint8_t> expect = WithVectorChecksum(image);
  ExpectFlashHolds(expect);
  EXPECT_EQ(Log(), SuccessLog(QString::fromStdString(part.PartId), QString::fromLatin1(c.boot),
                               static_cast<int>(expect.size() / 1024), expect));
  EXPECT_EQ(host_.status, QStringLiteral("写入完成"));
  EXPECT_EQ(host_.autoDownloadEnded, 1);
  EXPECT_EQ(frm_->Edit4, QString::fromStdString(part.PartId));
  EXPECT_EQ(frm_->Edit4Hint, QStringLiteral("SectorAmount: ") + frm_->LastSector);
  ExpectIdle();
}

// 10000 bytes: two full chunks and a remainder; 68 KB on the 8 KB / 64 KB part
// reaches its first 64 KB sector; 300 KB fits only the LPC2138's 500 KB (the
// large ones sent without line pauses, "00", to stay quick).
INSTANTIATE_TEST_SUITE_P(
    Parts, LpcDownloadParts,
    ::testing::Values(PartCase{&LpcPartProfile::LPC2136, "2.12", 10000, "1"},
                      PartCase{&LpcPartProfile::LPC2138, "2.12", 5000, "2"},
                      PartCase{&LpcPartProfile::LPC2294, "1.65", 68 * 1024 + 100, "00"},
                      PartCase{&LpcPartProfile::LPC2138, "2.12", 300 * 1024, "00"}));

// Every run programs the image exactly, whatever the wire does to the bytes.
struct WireCase {
  int latencyMs;
  uint32_t seed;
};
void PrintTo(const WireCase& c, std::ostream* os) {
  *os << c.latencyMs << " ms, seed " << c.seed;
}

class LpcDownloadWire : public LpcDownload, public ::testing::WithParamInterface<WireCase> {};

TEST_P(LpcDownloadWire, PacedAt57600) {
  const WireCase c = GetParam();
  const std::vector<uint8_t> image = PatternImage(1000, c.seed + 40);
  LpcSimOptions o;
  o.Link.baud = 57600;
  o.Link.adapterLatencyMs = c.latencyMs;
  o.Link.seed = c.seed;
  o.DoubleLineFeed = c.seed % 2 == 1;
  Start(LpcPartProfile::LPC2132(), o, HexText(image));
  ASSERT_TRUE(Finish(30000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成")) << Log();
  ExpectFlashHolds(WithVectorChecksum(image));
  EXPECT_EQ(sim_->Syncs.load(), 1);
  ExpectIdle();
}

std::vector<WireCase> WireCases() {
  std::vector<WireCase> cases;
  for (int latency : {0, 4, 8, 12, 16, 25, 35, 50}) cases.push_back({latency, 0});
  for (uint32_t seed = 1; seed <= 20; ++seed) cases.push_back({static_cast<int>(seed * 7 % 51), seed});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Link, LpcDownloadWire, ::testing::ValuesIn(WireCases()),
                         [](const ::testing::TestParamInfo<WireCase>& i) {
                           return "Latency" + std::to_string(i.param.latencyMs) + "Seed" +
                                  std::to_string(i.param.seed);
                         });

TEST_F(LpcDownload, IdAndVersionRepliesCutAnywhereAreTakenWhole) {
  // Each reply leaves in two pieces, the engine polling in between; the
  // reply must be taken once, whole, and nothing of it left for the prepare.
  const std::vector<uint8_t> image = PatternImage(200, 30);
  const std::vector<uint8_t> expect = WithVectorChecksum(image);
  struct Reply { char command; size_t length; };
  for (const Reply r : {Reply{'J', 11}, Reply{'K', 10}}) {  // "0\r\n196369\r\n", "0\r\n12\r\n2\r\n"
    for (size_t at = 1; at < r.length; ++at) {
      SCOPED_TRACE(std::string(1, r.command) + " cut before byte " + std::to_string(at));
      LpcSimOptions o;
      o.SplitCommand = r.command;
      o.SplitAt = at;
      o.SplitPauseMs = 25;
      Start(LpcPartProfile::LPC2132(), o, HexText(image));
      ASSERT_TRUE(Finish(20000)) << Log();
      EXPECT_EQ(Log(), SuccessLog(QStringLiteral("196369"), QStringLiteral("2.12"), 0, expect));
      ExpectFlashHolds(expect);
    }
  }
}

TEST_F(LpcDownload, ReplyPausedForASecondIsTakenOnce) {
  const std::vector<uint8_t> image = PatternImage(200, 31);
  LpcSimOptions o;
  o.SplitCommand = 'K';
  o.SplitAt = 5;  // "0\r\n12" ... "\r\n2\r\n"
  o.SplitPauseMs = 1000;
  o.DoubleLineFeed = true;
  Start(LpcPartProfile::LPC2131(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_TRUE(host_.log.contains(QStringLiteral("读Boot代码版本成功:2.12"))) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  EXPECT_EQ(Count('P'), 2);  // the erase's and the one chunk's: nothing resent
  ExpectFlashHolds(WithVectorChecksum(image));
}

TEST_F(LpcDownload, SlowSynchronizedIsNotInterruptedByAnotherQuestionMark) {
  // A noise line, "Synchro" ... 700 ms ... "nized": a "?" sent meanwhile (by
  // the repeater or for the noise) would land in the line the boot loader
  // now expects and spoil the handshake.
  const std::vector<uint8_t> image = PatternImage(200, 34);
  LpcSimOptions o;
  o.SyncNoise = "\xff\x80\xfe\x81\x01\x7f\xf0\x0f\r\n";
  o.SplitCommand = '?';
  o.SplitAt = 10 + 7;
  o.SplitPauseMs = 700;
  Start(LpcPartProfile::LPC2131(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  EXPECT_EQ(sim_->Syncs.load(), 1);
  ExpectFlashHolds(WithVectorChecksum(image));
}

TEST_F(LpcDownload, ResetPulsesComeBeforeTheFirstQuestionMarkAndAreReleased) {
  // "自动复位": RTS holds the boot pin, DTR pulses reset and lets go before
  // the first "?"; nothing touches the lines afterwards until the port closes.
  host_.autoReset = true;
  Start(LpcPartProfile::LPC2131(), {}, HexText(PatternImage(100, 32)));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  std::vector<std::string> before;  // modem entries after opening, before the first byte
  size_t at = 0;
  while (at < rec_.calls.size() && rec_.calls[at] != "LINE") ++at;
  at += 3;  // the lines as the settings leave them: DTR0 RTS0
  for (; at < rec_.calls.size() && rec_.calls[at].rfind("TX", 0) != 0; ++at)
    if (rec_.calls[at] != "PURGE") before.push_back(rec_.calls[at]);
  EXPECT_EQ(before, (std::vector<std::string>{"RTS1", "DTR1", "DTR0"}));
  ASSERT_LT(at, rec_.calls.size());
  EXPECT_EQ(rec_.calls[at], "TX ?");
  EXPECT_FALSE(rec_.dtr) << "the target is left held in reset";
  for (size_t i = at; i < rec_.calls.size(); ++i)
    EXPECT_TRUE(rec_.calls[i].rfind("DTR", 0) != 0 && rec_.calls[i].rfind("RTS", 0) != 0)
        << rec_.calls[i] << " after the first byte";
  EXPECT_EQ(rec_.calls.back(), "CLOSE");

  // Without it the engine leaves the lines alone.
  host_.autoReset = false;
  sim_->Reset();
  Start(LpcPartProfile::LPC2131(), {}, HexText(PatternImage(100, 32)));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  EXPECT_EQ(rec_.Lines(), (std::vector<std::string>{"DTR0", "RTS0"}));  // from opening only
}

TEST_F(LpcDownload, ResendRequestsAreAnsweredByResendingTheBlock) {
  const std::vector<uint8_t> image = PatternImage(6000, 12);
  LpcSimOptions o;
  o.ResendEvery = 3;
  Start(LpcPartProfile::LPC2136(), o, HexText(image));
  ASSERT_TRUE(Finish(60000));
  EXPECT_GE(sim_->ResendsRequested.load(), 2);
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  ExpectFlashHolds(WithVectorChecksum(image));
}

TEST_F(LpcDownload, WrongSyncAnswersAreAnsweredWithAnotherQuestionMark) {
  const std::vector<uint8_t> image = PatternImage(200, 19);
  LpcSimOptions o;
  o.GarbledSyncs = 3;
  Start(LpcPartProfile::LPC2131(), o, HexText(image));
  ASSERT_TRUE(Finish(30000));
  EXPECT_EQ(sim_->Syncs.load(), 4);
  EXPECT_EQ(frm_->SyncAttempts, 4);
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  EXPECT_EQ(host_.log.size(), 14);  // the searching texts stay in the status line
  ExpectFlashHolds(WithVectorChecksum(image));
}

TEST_F(LpcDownload, NineteenErrorsAreRetriedTwentyEndTheRun) {
  // 19 refusals of the copy, then success.
  const std::vector<uint8_t> image = PatternImage(300, 13);
  LpcSimOptions o;
  o.ErrorCommand = 'C';
  o.ErrorCode = LpcSim::SECTOR_NOT_PREPARED;
  o.ErrorCount = 19;
  Start(LpcPartProfile::LPC2136(), o, HexText(image));
  ASSERT_TRUE(Finish(30000));
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  ExpectFlashHolds(WithVectorChecksum(image));
  EXPECT_EQ(Count('C'), 20);

  o.ErrorCount = -1;
  Start(LpcPartProfile::LPC2136(), o, HexText(PatternImage(300, 14)));
  ASSERT_TRUE(Finish(30000));
  EXPECT_EQ(host_.log.last(), QStringLiteral("下载的过程中出错"));
  EXPECT_EQ(host_.status, QStringLiteral("下载的过程中出错"));
  EXPECT_EQ(Count('C'), 20);
  EXPECT_EQ(host_.autoDownloadEnded, 0);
  ExpectIdle();
}

TEST_F(LpcDownload, FilesThatCannotBeWrittenEndTheRunAtOnceWithThePortReleased) {
  // Each is refused after the part ID, before anything is erased, and the
  // next run starts normally on the same port.
  const QByteArray good = HexText(PatternImage(200, 15));
  QByteArray wrongSum = good;
  const qsizetype third = wrongSum.indexOf('\n', wrongSum.indexOf('\n', wrongSum.indexOf('\n') + 1) + 1);
  wrongSum[third - 3] = wrongSum[third - 3] == '0' ? '1' : '0';  // checksum of line 3
  const QByteArray cut = good.left(good.indexOf(":00000001FF"));
  const QString name = host_.firmwareFileName;
  struct Case { QByteArray hex; LpcPartProfile (*part)(); QString message; };
  const Case cases[] = {
      {wrongSum, &LpcPartProfile::LPC2132, QStringLiteral("HEX文件第3行校验和错误")},
      {":00000001FF\r\n", &LpcPartProfile::LPC2132, QStringLiteral("HEX文件中没有数据")},
      {cut, &LpcPartProfile::LPC2132, QStringLiteral("HEX文件不完整(没有结束记录): ") + name},
      {HexText(PatternImage(40 * 1024, 1)), &LpcPartProfile::LPC2131,
       QStringLiteral("文件太大: 映像40960字节(40 KB)，器件Flash只有32768字节(32 KB)")},
      {HexText(PatternImage(248 * 1024 + 4, 1)), &LpcPartProfile::LPC2294,
       QStringLiteral("文件太大: 映像253956字节(249 KB)，器件Flash只有253952字节(248 KB)")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.toStdString());
    Start(c.part(), {}, c.hex);
    ASSERT_TRUE(Finish(4000)) << Log();  // not by the 8 s time-out
    EXPECT_EQ(host_.log.last(), c.message);
    EXPECT_EQ(Count('E'), 0);
    EXPECT_EQ(Count('W'), 0);
    ExpectIdle();
  }

  // Missing, a device: the same.
  for (const QString& file : {dir_.filePath(QStringLiteral("gone.hex")), QStringLiteral("/dev/zero")}) {
    host_.firmwareFileName = file;
    Start(LpcPartProfile::LPC2131(), {}, QByteArray());
    ASSERT_TRUE(Finish(4000)) << Log();
    EXPECT_EQ(host_.log.last(), file == QStringLiteral("/dev/zero")
                                    ? QStringLiteral("不是普通文件: /dev/zero")
                                    : QStringLiteral("文件不存在"));
    ExpectIdle();
  }

  host_.firmwareFileName = name;
  const std::vector<uint8_t> image = PatternImage(100, 16);
  Start(LpcPartProfile::LPC2131(), {}, HexText(image));
  ASSERT_TRUE(Finish(30000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  ExpectFlashHolds(WithVectorChecksum(image));
}

TEST_F(LpcDownload, SilentPartTimesOutAfterEightSeconds) {
  LpcSimOptions o;
  o.Silent = true;
  Start(LpcPartProfile::LPC2136(), o, HexText(PatternImage(100, 17)));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Finish(12000));
  EXPECT_GE(t.elapsed(), 7950);
  EXPECT_EQ(Log(), "正在查找。。。\nLPC通信超时!");
  EXPECT_EQ(host_.status, QStringLiteral("LPC通信超时!"));
  ExpectIdle();
}

TEST_F(LpcDownload, HangUpHalfWayLeavesAChipThatStaysInTheBootLoader) {
  // Three chunks; the line goes dead once the second chunk (written first)
  // is in flash. The vector chunk has not been written, so the boot check
  // fails and the chip waits in its boot loader for the next download.
  const std::vector<uint8_t> image = PatternImage(10000, 18);
  LpcSimOptions o;
  o.HangUpAfterBlocks = 6;
  Start(LpcPartProfile::LPC2136(), o, HexText(image));
  ASSERT_TRUE(Finish(20000));
  EXPECT_TRUE(sim_->HungUp.load());
  EXPECT_EQ(host_.log.last(), QStringLiteral("LPC通信超时!"));
  ExpectIdle();
  const std::vector<uint8_t> flash = sim_->Flash();
  EXPECT_TRUE(std::equal(image.begin() + 4096, image.begin() + 8192, flash.begin() + 4096));
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 4096, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_FALSE(sim_->VectorsValid());
}

TEST_F(LpcDownload, IndependentHostProgramsTheSimulatedPart) {
  // An established host tool against the same simulated part: it must
  // agree with our reading of the protocol on every byte of the flash.
  const QString tool = QStringLiteral("/usr/bin/lpc21isp");
  if (!QFile::exists(tool)) GTEST_SKIP() << "lpc21isp is not installed";
  const std::vector<uint8_t> image = PatternImage(10000, 33);
  WriteFirmware(HexText(image));
  sim_ = std::make_unique<LpcSim>(pty_, LpcPartProfile::LPC2136(), LpcSimOptions{});
  QProcess p;
  p.setWorkingDirectory(dir_.path());  // it leaves a file of its own there
  p.start(tool, {QStringLiteral("-donotstart"), host_.firmwareFileName,
                 QString::fromStdString(pty_.slavePath()), QStringLiteral("57600"),
                 QStringLiteral("11059")});
  ASSERT_TRUE(p.waitForFinished(60000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
  // It copies whole 4 KB chunks, so the tail after the image is its own affair.
  ExpectFlashHolds(WithVectorChecksum(image), false);
}

}  // namespace
