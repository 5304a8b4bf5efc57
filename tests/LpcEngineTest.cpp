// The LPC2xxx download from the download button against a simulated boot
// loader on a pseudo-terminal, behind the link model: instant, paced at the
// line rate, behind USB adapters, with replies cut into pieces.
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "isp/lpc/LPC.h"
#include "sim/HexText.h"
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

QString VectorLine(const std::vector<uint8_t>& withChecksum, size_t slot = 0x14) {
  const uint32_t check = static_cast<uint32_t>(withChecksum[slot]) | withChecksum[slot + 1] << 8 |
                         withChecksum[slot + 2] << 16 | static_cast<uint32_t>(withChecksum[slot + 3]) << 24;
  return QStringLiteral("向量表校验字(0x%1)已设置为 0x%2")
      .arg(QString::number(slot, 16).toUpper())
      .arg(QString::number(check, 16).toUpper().rightJustified(8, QLatin1Char('0')));
}

// Every Cortex-M line has its RAM away from 0x40000000 (LPC15xx: 0x02000000).
bool IsCortexM(const LpcPartProfile& p) { return p.RamBase != 0x40000000u; }

// The wire the job tests run over: 115200 bit/s behind an adapter, replies
// cut at random points.
LpcSimOptions Paced(uint32_t seed, LpcSimOptions o = {}) {
  o.Link = SimLinkOptions{115200, 10, 6, 62, seed, 8};
  return o;
}
size_t Slot(const LpcPartProfile& p) { return IsCortexM(p) ? 0x1C : 0x14; }

class LpcDownload : public ::testing::Test {
 protected:
  void WriteFirmware(const QByteArray& hex) {
    QFile f(host_.firmwareFileName);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(hex);
  }
  // A fresh simulated part on the same line, then the download button.
  // A null hex leaves the file as it is (or absent).
  void Start(LpcPartProfile part, LpcSimOptions options, const QByteArray& hex,
             std::optional<IspJob> job = std::nullopt) {
    if (!hex.isNull()) WriteFirmware(hex);
    if (sim_) sim_->Stop();
    sim_.reset();
    sim_ = std::make_unique<LpcSim>(pty_, std::move(part), options);
    if (!frm_) frm_ = std::make_unique<TLPCFrm>(host_);
    host_.log.clear();
    host_.results.clear();
    rec_.Clear();
    if (job)
      frm_->Start(host_.Fill(*job));
    else
      frm_->BitBtn1Click(host_.Job());
    EXPECT_FALSE(host_.downloadEnabled);
  }
  // Another session with the same simulated part, its flash as it is, after
  // a reset of the board.
  void Continue(const IspJob& job) {
    sim_->Reset();
    host_.log.clear();
    host_.results.clear();
    frm_->Start(host_.Fill(job));
  }
  // The one result of the session that just ended.
  IspResult Result() {
    EXPECT_EQ(host_.results.size(), 1u);
    return host_.results.empty() ? IspResult() : host_.results.back();
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
  // The download's lines in their order; the check before the last (the
  // part's compare after each copy, or the read-back after all of them).
  std::string SuccessLog(const QString& partId, const QString& boot, int kb,
                         const std::vector<uint8_t>& flashImage, size_t slot = 0x14, bool readBack = false) {
    QStringList lines{QStringLiteral("正在查找。。。"), QStringLiteral("已成功连接"),
            QStringLiteral("同步已建立"), QStringLiteral("波特率发送成功"),
            QStringLiteral("解锁成功"), QStringLiteral("CodeSize: %1 KB").arg(kb),
            VectorLine(flashImage, slot), QStringLiteral("下载目标代码"),
            QStringLiteral("读器件ID成功:") + partId,
            QStringLiteral("读Boot代码版本成功:") + boot, QStringLiteral("正在擦除。。。"),
            QStringLiteral("擦除成功"), QStringLiteral("开始写入。。。"),
            QStringLiteral("开始校验。。。"),
            slot == 0x14 ? QStringLiteral("地址 0x0000..0x003F 在ISP模式下映射为Boot代码，不参与校验")
                         : QStringLiteral("地址 0x0000..0x01FF 在ISP模式下映射为Boot代码，不参与校验"),
            QStringLiteral("校验成功"), QStringLiteral("写入完成")};
    if (!readBack) lines.removeOne(QStringLiteral("开始校验。。。"));
    return lines.join('\n').toStdString();
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
        << "the last chunk carried something after the image: "
        << std::find_if(flash.begin() + static_cast<std::ptrdiff_t>(image.size()), flash.begin() + static_cast<std::ptrdiff_t>(end),
                        [](uint8_t b) { return b != 0xFF; }) - flash.begin();
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
  EXPECT_EQ(host_.log.size(), 16);  // the searching texts stay in the status line
  ExpectFlashHolds(WithVectorChecksum(image));
}

TEST_F(LpcDownload, ABlockResentTwentyTimesEndsTheRun) {
  // Every block answered RESEND: the first block goes out 20 times, then
  // the run ends, the port released.
  LpcSimOptions o;
  o.ResendEvery = 1;
  Start(LpcPartProfile::LPC2136(), o, HexText(PatternImage(300, 14)));
  ASSERT_TRUE(Finish(30000));
  ASSERT_GE(host_.log.size(), 2);
  EXPECT_EQ(host_.log[host_.log.size() - 2], QStringLiteral("下载的过程中出错"));
  const QString cause = QStringLiteral("写入: \"W 1073742336 512\" 的第 1 个数据块连续 20 次被器件要求重发 (RESEND)，数据在线路上出错（干扰或波特率太高）");
  EXPECT_EQ(host_.log.last(), cause);
  EXPECT_EQ(host_.status, cause);
  EXPECT_EQ(Result().step, QStringLiteral("写入"));
  EXPECT_EQ(sim_->ResendsRequested.load(), 20);
  EXPECT_EQ(Count('C'), 0);
  EXPECT_EQ(host_.autoDownloadEnded, 0);
  EXPECT_FALSE(Result().ok);
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
      {wrongSum, &LpcPartProfile::LPC2132, QStringLiteral("HEX文件第 3 行校验和错误")},
      {":00000001FF\r\n", &LpcPartProfile::LPC2132, QStringLiteral("HEX文件中没有数据")},
      {cut, &LpcPartProfile::LPC2132, QStringLiteral("HEX文件不完整（没有结束记录）: ") + QFileInfo(name).fileName()},
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
  EXPECT_EQ(host_.log.mid(0, 2).join('\n'), QStringLiteral("正在查找。。。\nLPC通信超时!"));
  ASSERT_EQ(host_.log.size(), 3);
  EXPECT_TRUE(host_.log.last().startsWith(QStringLiteral("查找设备: 发送了 "))) << Log();
  EXPECT_TRUE(host_.log.last().endsWith(QStringLiteral(" 次 \"?\"，器件没有应答任何字节（检查接线、复位和ISP引脚）")));
  EXPECT_EQ(Result().step, QStringLiteral("查找设备"));
  ExpectIdle();
}

TEST_F(LpcDownload, TimeOutsNameTheStepAndWhatCameBack) {
  // Noise instead of "Synchronized", and a crystal line the part does not
  // take: each names what the part did, after the fixed line.
  struct Case {
    int garbled;
    QByteArray crystal;
    QString cause;
  };
  const Case cases[] = {
      {1000, "11059", QStringLiteral("查找设备: 收到 %1 字节，但不是 \"Synchronized\"（线路噪声或波特率不符）: "
                                     "\"Synchronised?!\\r\\nSynchronised?!\\r\\n…\"")},
      {0, "fast", QStringLiteral("发送晶振频率: 器件不接受 \"fast\" kHz（没有回答 OK），收到的应答不对: \"fast\\r\\n\"")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause.toStdString());
    frm_ = std::make_unique<TLPCFrm>(host_);
    frm_->Timer1.setInterval(1500);
    host_.crystalKHz = c.crystal;
    LpcSimOptions o;
    o.GarbledSyncs = c.garbled;
    Start(LpcPartProfile::LPC2136(), o, HexText(PatternImage(100, 17)));
    ASSERT_TRUE(Finish(5000));
    ASSERT_GE(host_.log.size(), 2);
    EXPECT_EQ(host_.log[host_.log.size() - 2], QStringLiteral("LPC通信超时!"));
    if (c.garbled) {
      // The part may still be answering one more "?" as the engine gives
      // up: that reply is counted by the part, not yet heard by the engine.
      const int syncs = sim_->Syncs.load();
      EXPECT_TRUE(host_.log.last() == c.cause.arg(syncs * 16) || host_.log.last() == c.cause.arg((syncs - 1) * 16))
          << host_.log.last().toStdString() << " after " << syncs << " answers";
    } else {
      EXPECT_EQ(host_.log.last(), c.cause);
    }
    EXPECT_EQ(Result().cause, host_.log.last());
    ExpectIdle();
  }
}

TEST_F(LpcDownload, HangUpHalfWayLeavesAChipThatStaysInTheBootLoader) {
  // Three chunks; the line goes dead once the second chunk (written first)
  // is in flash. The vector chunk has not been written, so the boot check
  // fails and the chip waits in its boot loader for the next download.
  // The unplug is noticed at once, not at the step's time-out.
  const std::vector<uint8_t> image = PatternImage(10000, 18);
  LpcSimOptions o;
  o.HangUpAfterBlocks = 6;
  Start(LpcPartProfile::LPC2136(), o, HexText(image));
  ASSERT_TRUE(PumpUntil([&] { return sim_->HungUp.load(); }, 20000));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Finish(20000));
  EXPECT_LT(t.elapsed(), 1500);
  EXPECT_EQ(host_.log.last(), QStringLiteral("串口已断开或无法写入"));
  EXPECT_FALSE(Result().ok);
  ExpectIdle();
  const std::vector<uint8_t> flash = sim_->Flash();
  EXPECT_TRUE(std::equal(image.begin() + 4096, image.begin() + 8192, flash.begin() + 4096));
  EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 4096, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_FALSE(sim_->VectorsValid());
}

// An established host tool against the same simulated parts: it must agree
// with our reading of the protocol on every byte of the flash.
struct PeerCase {
  LpcPartProfile (*profile)();
  const char* crystal;
};
void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.profile().Name; }

class LpcPeer : public LpcDownload, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(LpcPeer, IndependentHostProgramsTheSimulatedPart) {
  const QString tool = QStringLiteral("/usr/bin/lpc21isp");
  if (!QFile::exists(tool)) GTEST_SKIP() << "lpc21isp is not installed";
  const LpcPartProfile part = GetParam().profile();
  const std::vector<uint8_t> image = PatternImage(10000, 33);
  WriteFirmware(HexText(image));
  sim_ = std::make_unique<LpcSim>(pty_, part, LpcSimOptions{});
  QProcess p;
  p.setWorkingDirectory(dir_.path());  // it leaves a file of its own there
  p.start(tool, {QStringLiteral("-donotstart"), host_.firmwareFileName,
                 QString::fromStdString(pty_.slavePath()), QStringLiteral("57600"),
                 QString::fromLatin1(GetParam().crystal)});
  ASSERT_TRUE(p.waitForFinished(60000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
  // It copies whole chunks of its own, so the tail after the image is its own affair.
  ExpectFlashHolds(WithVectorChecksum(image, Slot(part)), false);
}

INSTANTIATE_TEST_SUITE_P(Parts, LpcPeer,
                         ::testing::Values(PeerCase{&LpcPartProfile::LPC2136, "11059"},
                                           PeerCase{&LpcPartProfile::LPC2148, "12000"},
                                           PeerCase{&LpcPartProfile::LPC2294, "14746"},
                                           PeerCase{&LpcPartProfile::LPC1768, "12000"},
                                           PeerCase{&LpcPartProfile::LPC1114, "12000"},
                                           PeerCase{&LpcPartProfile::LPC1343, "12000"},
                                           PeerCase{&LpcPartProfile::LPC2103, "11059"},
                                           PeerCase{&LpcPartProfile::LPC2387Early, "12000"}));

// One part of each line, a small image, over the paced link with replies in
// pieces; every image is read back.
struct LineCase {
  LpcPartProfile (*profile)();
  uint32_t baud;
  size_t size;
  uint32_t seed;
};
void PrintTo(const LineCase& c, std::ostream* os) {
  *os << c.profile().Name << " at " << c.baud << ", " << c.size << " bytes, seed " << c.seed;
}

class LpcLines : public LpcDownload, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LpcLines, SmallImageLandsAndReadsBack) {
  const LineCase c = GetParam();
  const LpcPartProfile part = c.profile();
  const std::vector<uint8_t> image = PatternImage(c.size, c.seed);
  LpcSimOptions o;
  o.Link.baud = c.baud;
  o.Link.adapterLatencyMs = static_cast<int>(c.seed % 17);
  o.Link.seed = c.seed;
  o.DoubleLineFeed = c.seed % 2 == 0 && !part.Binary;  // the binary lines end theirs CR LF
  host_.speed = c.baud == 115200 ? br115200 : br57600;
  frm_ = std::make_unique<TLPCFrm>(host_);
  host_.crystalKHz = IsCortexM(part) ? "12000" : "11059";
  Start(part, o, HexText(image));
  ASSERT_TRUE(Finish(30000)) << Log();
  const std::vector<uint8_t> expect = WithVectorChecksum(image, Slot(part));
  ExpectFlashHolds(expect);
  EXPECT_EQ(Log(), SuccessLog(QString::fromStdString(part.PartId),
                              QString::fromStdString(part.BootMajor + "." + part.BootMinor),
                              static_cast<int>((expect.size() + 3) / 4 * 4 / 1024), expect, Slot(part)));
  const IspResult r = Result();
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.partName.startsWith(QString::fromStdString(part.Name))) << r.partName.toStdString();
  EXPECT_EQ(sim_->Syncs.load(), 1);
  ExpectIdle();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LpcLines,
    ::testing::Values(LineCase{&LpcPartProfile::LPC2103, 57600, 1500, 1},
                      LineCase{&LpcPartProfile::LPC2104, 115200, 5000, 2},
                      LineCase{&LpcPartProfile::LPC2134, 57600, 1200, 3},
                      LineCase{&LpcPartProfile::LPC2148, 115200, 4500, 4},
                      LineCase{&LpcPartProfile::LPC2294, 57600, 908, 5},
                      LineCase{&LpcPartProfile::LPC2378, 115200, 2000, 6},
                      LineCase{&LpcPartProfile::LPC2468, 57600, 1000, 7},
                      LineCase{&LpcPartProfile::LPC1768, 115200, 5000, 8},
                      LineCase{&LpcPartProfile::LPC1788, 57600, 800, 9},
                      LineCase{&LpcPartProfile::LPC1114, 115200, 3000, 10},
                      LineCase{&LpcPartProfile::LPC11C24, 57600, 700, 11},
                      LineCase{&LpcPartProfile::LPC11U35, 115200, 4200, 12},
                      LineCase{&LpcPartProfile::LPC1227, 57600, 1100, 13},
                      LineCase{&LpcPartProfile::LPC1343, 115200, 2600, 14},
                      LineCase{&LpcPartProfile::LPC812, 57600, 1300, 15},
                      LineCase{&LpcPartProfile::LPC845, 115200, 2100, 16}));

// Images that fill most of the flash, on the instant link and without line
// pauses to stay quick.
class LpcFull : public LpcDownload, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LpcFull, ImageFillingMostOfTheFlashLands) {
  const LineCase c = GetParam();
  const LpcPartProfile part = c.profile();
  const std::vector<uint8_t> image = PatternImage(c.size, c.seed);
  host_.timeoutText = QStringLiteral("00");
  Start(part, {}, HexText(image));
  ASSERT_TRUE(Finish(120000)) << Log();
  ExpectFlashHolds(WithVectorChecksum(image, Slot(part)));
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成")) << Log();
  EXPECT_TRUE(host_.log.contains(QStringLiteral("校验成功")));
}

INSTANTIATE_TEST_SUITE_P(Parts, LpcFull,
                         ::testing::Values(LineCase{&LpcPartProfile::LPC2104, 0, 118 * 1024, 21},
                                           LineCase{&LpcPartProfile::LPC1768, 0, 500 * 1024, 22},
                                           LineCase{&LpcPartProfile::LPC1114, 0, 31 * 1024 + 100, 23},
                                           LineCase{&LpcPartProfile::LPC845, 0, 63 * 1024 + 8, 24}));

// The parts whose rows were mended or added, one of each kind, on a part
// that holds earlier firmware: an image filling most of the flash lands, and
// every byte after it is the earlier firmware where the engine erased
// nothing and the erased value where it did. A row that gives a part more
// RAM than it has ends here with the boot code refusing the write.
class LpcMended : public LpcDownload, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LpcMended, ImageFillingMostOfTheFlashLeavesTheRestAlone) {
  const LineCase c = GetParam();
  const LpcPartProfile part = c.profile();
  const std::vector<uint8_t> image = PatternImage(c.size, c.seed);
  LpcSimOptions o;
  o.Earlier = PatternImage(part.FlashSize(), c.seed + 1000);
  host_.timeoutText = QStringLiteral("00");
  Start(part, o, HexText(image));
  ASSERT_TRUE(Finish(120000)) << Log();
  ASSERT_TRUE(Result().ok) << Log();
  const std::vector<uint8_t> expect = WithVectorChecksum(image, Slot(part));
  const std::vector<uint8_t> flash = sim_->Flash();
  ASSERT_EQ(flash.size(), part.FlashSize());
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), flash.begin())) << "flash differs";
  EXPECT_EQ(sim_->CopyOverwrites.load(), 0);
  EXPECT_TRUE(sim_->VectorsValid());
  std::vector<bool> erased(part.Sectors.size(), false);
  for (const std::string& cmd : sim_->Commands()) {
    unsigned first = 0, last = 0;
    if (std::sscanf(cmd.c_str(), "E %u %u", &first, &last) == 2)
      for (unsigned s = first; s <= last && s < erased.size(); ++s) erased[s] = true;
  }
  size_t sector = 0;
  for (size_t at = expect.size(); at < flash.size(); ++at) {
    while (at >= part.SectorStart(sector + 1)) ++sector;
    const uint8_t want = erased[sector] ? part.Erased : o.Earlier[at];
    ASSERT_EQ(flash[at], want) << "at " << at << ", sector " << sector << (erased[sector] ? " (erased)" : "");
  }
}

INSTANTIATE_TEST_SUITE_P(Parts, LpcMended,
                         ::testing::Values(LineCase{&LpcPartProfile::LPC2103, 0, 30 * 1024 + 36, 61},
                                           LineCase{&LpcPartProfile::LPC2361, 0, 60 * 1024 + 8, 62},
                                           LineCase{&LpcPartProfile::LPC2387Early, 0, 490 * 1024 + 4, 63},
                                           LineCase{&LpcPartProfile::LPC1114_203, 0, 31 * 1024 + 100, 64},
                                           LineCase{&LpcPartProfile::LPC1114_323, 0, 46 * 1024 + 12, 65},
                                           LineCase{&LpcPartProfile::LPC11U68, 0, 250 * 1024 + 40, 66},
                                           LineCase{&LpcPartProfile::LPC4088, 0, 500 * 1024 + 20, 67},
                                           LineCase{&LpcPartProfile::LPC1549, 0, 250 * 1024 + 16, 68},
                                           LineCase{&LpcPartProfile::LPC802, 0, 15 * 1024 + 28, 69}));

TEST_F(LpcDownload, TwoWordIdOfABankedPartIsRefusedByName) {
  Start(LpcPartProfile::LPC4357(), Paced(42), HexText(PatternImage(200, 42)));
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(),
            QStringLiteral("LPC4357/4353 不受支持：Flash 分为 A、B 两个存储区 (0x1A000000/0x1B000000)，"
                           "扇区命令须带存储区号，未擦除任何内容"));
  EXPECT_EQ(Count('P'), 0);
  EXPECT_EQ(Count('E'), 0);
  EXPECT_EQ(Count('W'), 0);
  EXPECT_FALSE(Result().ok);
  ExpectIdle();
}

TEST_F(LpcDownload, EveryRefusedCommandIsNamedAtOnce) {
  // The part's return code ends the step at once, naming the command, the
  // code and its name, as the last line and in the result.
  struct Case {
    char command;
    int code;
    QString cause;
  };
  const Case cases[] = {
      {'U', LpcSim::INVALID_CODE, QStringLiteral("解锁失败: U 23130 → 返回码 16 INVALID_CODE")},
      {'A', LpcSim::PARAM_ERROR, QStringLiteral("关闭回显失败: A 0 → 返回码 12 PARAM_ERROR")},
      {'J', LpcSim::INVALID_COMMAND, QStringLiteral("读器件ID失败: J → 返回码 1 INVALID_COMMAND")},
      {'K', LpcSim::BUSY, QStringLiteral("读Boot代码版本失败: K → 返回码 11 BUSY")},
      {'P', LpcSim::INVALID_SECTOR, QStringLiteral("擦除失败: P 0 7 → 返回码 7 INVALID_SECTOR")},
      {'E', LpcSim::CODE_READ_PROTECTION_ENABLED,
       QStringLiteral("擦除失败: E 0 7 → 返回码 19 CODE_READ_PROTECTION_ENABLED（器件已开启代码读保护）")},
      {'W', LpcSim::ADDR_NOT_MAPPED, QStringLiteral("写RAM失败: W 1073742336 256 → 返回码 14 ADDR_NOT_MAPPED")},
      {'C', LpcSim::SECTOR_NOT_PREPARED,
       QStringLiteral("复制到Flash失败: C 0 1073742336 256 → 返回码 9 SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION")},
      {'M', LpcSim::ADDR_ERROR, QStringLiteral("校验失败: M 64 1073742400 192 → 返回码 13 ADDR_ERROR")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.command));
    LpcSimOptions o = Paced(static_cast<uint32_t>(c.command));
    o.ErrorCommand = c.command;
    o.ErrorCode = c.code;
    QElapsedTimer t;
    t.start();
    Start(LpcPartProfile::LPC2131(), o, HexText(PatternImage(200, 40)));
    ASSERT_TRUE(Finish(5000)) << Log();
    EXPECT_LT(t.elapsed(), 3000);
    EXPECT_EQ(host_.log.last(), c.cause);
    EXPECT_EQ(host_.status, c.cause);
    const IspResult r = Result();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.cause, c.cause);
    ExpectIdle();
    if (c.command != 'E' && c.command != 'W' && c.command != 'C' && c.command != 'M') {
      EXPECT_EQ(Count('E'), 0);
    }
  }
}

TEST_F(LpcDownload, UnknownPartIsRefusedWithItsIdBeforeAnythingIsErased) {
  Start(LpcPartProfile::Unknown(), Paced(41), HexText(PatternImage(200, 41)));
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("未知的器件ID: 0x12345678 (305419896)，不在器件表中，未擦除任何内容"));
  EXPECT_EQ(Count('P'), 0);
  EXPECT_EQ(Count('E'), 0);
  EXPECT_EQ(Count('W'), 0);
  EXPECT_FALSE(Result().ok);
  ExpectIdle();
}

TEST_F(LpcDownload, CrystalOfAnyLengthCompletes) {
  // The crystal line is complete by its lines, whatever its length.
  // A fraction is rounded: the boot code parses whole kHz and ignores a
  // line with a '.' in it.
  for (const char* khz : {"11059", "4000", "12000.000", "11059.2"}) {
    SCOPED_TRACE(khz);
    frm_ = std::make_unique<TLPCFrm>(host_);
    host_.crystalKHz = khz;
    Start(LpcPartProfile::LPC2131(), Paced(42), HexText(PatternImage(200, 42)));
    ASSERT_TRUE(Finish(5000)) << Log();
    EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
    EXPECT_EQ(sim_->Commands().size(), Count('U') + Count('A') + Count('J') + Count('K') + Count('P') + Count('E') +
                                           Count('W') + Count('C') + Count('M'));
  }
}

TEST_F(LpcDownload, CheckAfterWritingCatchesAFlashCellThatDidNotProgram) {
  // One bit at 5000 stays set. The part's compare after that copy names the
  // address and nothing after it is written; the read-back, when chosen,
  // names it with both values. Without "写后校验" the same run ends as
  // written, which is what the box promises.
  const std::vector<uint8_t> image = [] {
    std::vector<uint8_t> i = PatternImage(9200, 43);
    i[5000] = 0x00;
    return i;
  }();
  LpcSimOptions o = Paced(43);
  o.StuckBit = 5000;
  Start(LpcPartProfile::LPC2136(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("校验错误: Flash 地址 0x00001388 与写入的数据不符"));
  IspResult r = Result();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.code, 10);
  EXPECT_EQ(r.step, QStringLiteral("校验"));
  EXPECT_EQ(Count('C'), 1);  // chunk 2 first: the run ends at its compare
  EXPECT_EQ(Count('R'), 0);
  ExpectIdle();

  IspJob readBack = IspJob::Download(host_.firmwareFileName);
  readBack.verifyReadback = true;
  Start(LpcPartProfile::LPC2136(), o, HexText(image), readBack);
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("校验错误: 地址 0x00001388 应为 0x00，读出 0x10"));
  EXPECT_EQ(Count('M'), 0);
  EXPECT_FALSE(Result().ok);
  ExpectIdle();

  host_.verifyAfterWrite = false;
  Start(LpcPartProfile::LPC2136(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  EXPECT_EQ(Count('R'), 0);
  EXPECT_EQ(Count('M'), 0);
}

TEST_F(LpcDownload, CompareFindsOneFlippedByteInAnySector) {
  // 32 KB over the LPC2131's eight 4 KB sectors; the part flips one byte
  // after the copy that programs it. The first word past the boot block,
  // a middle sector, and the very last word of flash; the address named is
  // the word's, as the part's compare counts.
  const std::vector<uint8_t> image = PatternImage(32 * 1024, 50);
  struct Flip { int64_t at; const char* named; };
  for (const Flip f : {Flip{0x41, "0x00000040"}, Flip{0x3003, "0x00003000"}, Flip{0x7FFF, "0x00007FFC"}}) {
    SCOPED_TRACE(f.named);
    LpcSimOptions o = Paced(50);
    o.FlipAfterCopy = f.at;
    Start(LpcPartProfile::LPC2131(), o, HexText(image));
    ASSERT_TRUE(Finish(30000)) << Log();
    EXPECT_EQ(host_.log.last(), QStringLiteral("校验错误: Flash 地址 %1 与写入的数据不符").arg(QLatin1String(f.named)));
    EXPECT_EQ(Result().code, 10);
    // Nothing is copied after the compare that failed.
    EXPECT_EQ(sim_->Commands().back()[0], 'M');
    ExpectIdle();
  }
}

TEST_F(LpcDownload, CompareSkipsTheBootBlockMappedAtZero) {
  // In ISP the first 64 bytes read as the boot code: a compare from 0 would
  // always fail. A flip there is out of the part's sight, as it is of R's.
  const std::vector<uint8_t> image = PatternImage(6000, 51);
  LpcSimOptions o = Paced(51);
  o.FlipAfterCopy = 0x10;
  Start(LpcPartProfile::LPC2131(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  std::vector<std::string> compares;
  for (const std::string& c : sim_->Commands())
    if (c[0] == 'M') compares.push_back(c);
  EXPECT_EQ(compares, (std::vector<std::string>{"M 4096 1073742336 4096", "M 64 1073742400 4032"}));
}

TEST_F(LpcDownload, PartWithoutCompareIsReadBackAndTheLogSaysSo) {
  const std::vector<uint8_t> image = PatternImage(9000, 52);
  LpcSimOptions o = Paced(52);
  o.NoCompare = true;
  Start(LpcPartProfile::LPC2131(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  EXPECT_EQ(host_.log.count(QStringLiteral("器件不支持比较命令 M，写入后改为读出校验")), 1);
  EXPECT_TRUE(host_.log.contains(QStringLiteral("开始校验。。。")));
  EXPECT_EQ(Count('M'), 1);  // asked once, not after every copy
  EXPECT_GT(Count('R'), 0);
  ExpectFlashHolds(WithVectorChecksum(image));
  // And the read-back it falls back to still finds a bad cell.
  o.StuckBit = 5000;
  std::vector<uint8_t> bad = image;
  bad[5000] = 0x00;
  Start(LpcPartProfile::LPC2131(), o, HexText(bad));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("校验错误: 地址 0x00001388 应为 0x00，读出 0x10"));
}

TEST_F(LpcDownload, CodeReadProtectionIsNamed) {
  // Level 1: the whole flash may be erased, but sector 0 is not written.
  LpcSimOptions crp1 = Paced(44);
  crp1.Crp = 1;
  Start(LpcPartProfile::LPC1114(), crp1, HexText(PatternImage(6000, 44)));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(),
            QStringLiteral("复制到Flash失败: C 0 268436224 4096 → 返回码 19 CODE_READ_PROTECTION_ENABLED（器件已开启代码读保护）"));
  EXPECT_EQ(Result().code, 19);
  // Level 2: nothing goes into RAM at all.
  LpcSimOptions crp2 = Paced(45);
  crp2.Crp = 2;
  Start(LpcPartProfile::LPC1114(), crp2, HexText(PatternImage(6000, 44)));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(),
            QStringLiteral("写RAM失败: W 268436224 4096 → 返回码 19 CODE_READ_PROTECTION_ENABLED（器件已开启代码读保护）"));
  // Reading is refused on either level.
  IspJob read = IspJob::OfKind(IspJobKind::Read);
  read.file = dir_.filePath(QStringLiteral("out.bin"));
  Start(LpcPartProfile::LPC1114(), crp1, QByteArray(), read);
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(),
            QStringLiteral("读出失败: R 0 4096 → 返回码 19 CODE_READ_PROTECTION_ENABLED（器件已开启代码读保护）"));
  EXPECT_FALSE(QFile::exists(read.file));
}

TEST_F(LpcDownload, BinaryDataAcknowledgedWithOkAsTheManualsSay) {
  const std::vector<uint8_t> image = PatternImage(3000, 45);
  LpcSimOptions o = Paced(46);
  o.OkAfterBinary = true;
  Start(LpcPartProfile::LPC812(), o, HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  ExpectFlashHolds(WithVectorChecksum(image, 0x1C));
}

TEST_F(LpcDownload, InfoNamesThePartItsBootCodeFlashAndSerial) {
  Start(LpcPartProfile::LPC1768(), Paced(47), QByteArray(), IspJob::OfKind(IspJobKind::Info));
  ASSERT_TRUE(Finish(5000)) << Log();
  const IspResult r = Result();
  ASSERT_TRUE(r.ok) << r.cause.toStdString();
  EXPECT_EQ(r.info, (QStringList{QStringLiteral("器件: LPC1768"), QStringLiteral("器件ID: 0x26013F37 (637615927)"),
                                 QStringLiteral("Boot代码版本: 2.12"), QStringLiteral("Flash: 512 KB, 30 个扇区"),
                                 QStringLiteral("时钟: ISP使用内部振荡器 4 MHz，晶振设置不影响"),
                                 QStringLiteral("SRAM: 32 KB (0x10000000 起)"),
                                 QStringLiteral("序列号: 4294967295 305419896 19088743 2882400018")}));
  EXPECT_EQ(r.uniqueId, QStringLiteral("4294967295 305419896 19088743 2882400018"));
  EXPECT_EQ(r.partName, QStringLiteral("LPC1768"));
  EXPECT_EQ(host_.log.last(), QStringLiteral("读器件信息完成"));
  EXPECT_EQ(Count('E') + Count('W') + Count('P'), 0);

  // A boot code without N: no serial line, no failure.
  Start(LpcPartProfile::LPC2136(), Paced(48), QByteArray(), IspJob::OfKind(IspJobKind::Info));
  ASSERT_TRUE(Finish(5000)) << Log();
  const IspResult arm7 = Result();
  ASSERT_TRUE(arm7.ok);
  EXPECT_EQ(arm7.info.size(), 6);
  // Whole kHz, as the boot code is told it.
  EXPECT_TRUE(arm7.info.contains(QStringLiteral("时钟: ISP使用外部晶振，须设为实际频率（当前 11059 kHz）")));
  EXPECT_TRUE(arm7.info.contains(QStringLiteral("SRAM: 32 KB (0x40000000 起)")));
}

TEST_F(LpcDownload, ReadWritesWhatTheFlashHolds) {
  // A binary of a range past the boot code's window, and a HEX from the
  // flash base with its addresses.
  Start(LpcPartProfile::LPC2131(), Paced(49), HexText(PatternImage(7000, 46)));
  ASSERT_TRUE(Finish(20000)) << Log();
  ASSERT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  const std::vector<uint8_t> flash = sim_->Flash();

  IspJob bin = IspJob::OfKind(IspJobKind::Read);
  bin.file = dir_.filePath(QStringLiteral("part.bin"));
  bin.address = 4098;
  bin.length = 2001;  // neither end on a word
  Continue(bin);
  ASSERT_TRUE(Finish(20000)) << Log();
  QFile f(bin.file);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray got = f.readAll();
  EXPECT_EQ(got, QByteArray(reinterpret_cast<const char*>(flash.data()) + 4098, 2001));
  EXPECT_TRUE(host_.log.last().startsWith(QStringLiteral("读出完成: 2001 字节")));

  IspJob hex = IspJob::OfKind(IspJobKind::Read);
  hex.file = dir_.filePath(QStringLiteral("part.hex"));
  hex.length = 8192;  // from the flash base
  Continue(hex);
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_TRUE(host_.log.contains(QStringLiteral("注意: 地址 0x0000..0x003F 在ISP模式下映射为Boot代码，读出的不是用户程序")));
  const LpcFileLoad load = LoadLpcHexFile(hex.file);
  ASSERT_EQ(load.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(load.Image.size(), 8192u);
  EXPECT_TRUE(std::equal(load.Image.begin() + 64, load.Image.end(), flash.begin() + 64));

  // Past the flash: refused before anything is read.
  IspJob past = IspJob::OfKind(IspJobKind::Read);
  past.file = dir_.filePath(QStringLiteral("past.bin"));
  past.address = 32000;
  past.length = 1024;
  Start(LpcPartProfile::LPC2131(), Paced(50), QByteArray(), past);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_TRUE(host_.log.last().startsWith(QStringLiteral("读出范围超出Flash")));
  EXPECT_EQ(Count('R'), 0);
}

TEST_F(LpcDownload, EraseBlankCheckVerifyAndGo) {
  // The simulated part holds old firmware: not blank; erased: blank.
  Start(LpcPartProfile::LPC1343(), Paced(51), QByteArray(), IspJob::OfKind(IspJobKind::BlankCheck));
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("Flash不空: 地址 0x00000200 的内容为 0xA5A5A5A5"));

  Start(LpcPartProfile::LPC1343(), Paced(52), QByteArray(), IspJob::OfKind(IspJobKind::Erase));
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("擦除完成: 扇区 0..7"));
  const std::vector<uint8_t> flash = sim_->Flash();
  EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(sim_->Commands(), (std::vector<std::string>{"U 23130", "A 0", "J", "K", "P 0 7", "E 0 7"}));

  // Erased, it is blank: the boot code's vectors that sector 0 shows while
  // in ISP are not the flash's.
  Continue(IspJob::OfKind(IspJobKind::BlankCheck));
  ASSERT_TRUE(Finish(10000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("查空完成: 扇区 0..7 全部为空"));
  EXPECT_TRUE(host_.log.contains(QStringLiteral("地址 0x0000..0x01FF 在ISP模式下映射为Boot代码，不参与查空")));
}

TEST_F(LpcDownload, RangesOfEraseAndBlankCheckGoBySectors) {
  // A range that splits a sector is refused before anything is erased,
  // naming the sectors it would take; one on sector edges erases them.
  IspJob split = IspJob::OfKind(IspJobKind::Erase);
  split.address = 0x1100;
  split.length = 0x100;
  Start(LpcPartProfile::LPC1343(), Paced(53), QByteArray(), split);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("擦除范围必须是整扇区: 0x00001100..0x000011FF 要擦除扇区 1..1 "
                                             "(0x00001000..0x00001FFF)，会连同范围外的数据一起擦掉"));
  EXPECT_EQ(Count('E') + Count('P'), 0);
  EXPECT_EQ(sim_->Flash()[0x1000], 0xA5);
  ExpectIdle();

  IspJob some = IspJob::OfKind(IspJobKind::Erase);
  some.address = 0x1000;
  some.length = 0x2000;
  Continue(some);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("擦除完成: 扇区 1..2"));
  const std::vector<uint8_t> partly = sim_->Flash();
  EXPECT_EQ(partly[0x0FFF], 0xA5);
  EXPECT_EQ(partly[0x1000], 0xFF);
  EXPECT_EQ(partly[0x2FFF], 0xFF);
  EXPECT_EQ(partly[0x3000], 0xA5);

  // The part counts its offset from the first sector checked; the address
  // said is the flash's.
  IspJob blank = IspJob::OfKind(IspJobKind::BlankCheck);
  blank.address = 0x2000;
  blank.length = 0x2000;
  Continue(blank);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("Flash不空: 地址 0x00003000 的内容为 0xA5A5A5A5"));
  EXPECT_EQ(Result().code, 8);
  blank.length = 0x1000;
  Continue(blank);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("查空完成: 扇区 2..2 全部为空"));

  // Verify compares without writing.
  const std::vector<uint8_t> image = PatternImage(3000, 47);
  Start(LpcPartProfile::LPC1343(), Paced(54), HexText(image));
  ASSERT_TRUE(Finish(20000)) << Log();
  ASSERT_EQ(host_.log.last(), QStringLiteral("写入完成"));
  IspJob verify = IspJob::OfKind(IspJobKind::Verify);
  verify.file = host_.firmwareFileName;
  const int written = Count('W') + Count('E');
  Continue(verify);
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("校验完成"));
  EXPECT_EQ(Count('W') + Count('E'), written);
  std::vector<uint8_t> other = image;
  other[2999] ^= 1;
  WriteFirmware(HexText(other));
  Continue(verify);
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_TRUE(host_.log.last().startsWith(QStringLiteral("校验错误: 地址 0x00000BB7"))) << Log();

  // Go: the Thumb mode on a Cortex-M part, at the address given.
  IspJob go = IspJob::OfKind(IspJobKind::Go);
  go.goAddress = 0x200;
  Continue(go);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("程序已启动: G 512 T"));
  EXPECT_TRUE(sim_->Started.load());
}

TEST_F(LpcDownload, SerialNumberGoesInAndTheProgramStartsAfterTheDownload) {
  const std::vector<uint8_t> image = PatternImage(6000, 48);
  IspJob job = IspJob::Download(host_.firmwareFileName);
  job.patches.push_back({0x1000, {0x78, 0x56, 0x34, 0x12}});
  job.patches.push_back({7000, {0xAB, 0xCD}});  // past the image: it grows
  job.go = true;
  Start(LpcPartProfile::LPC2148(), Paced(55), HexText(image), job);
  ASSERT_TRUE(Finish(20000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("程序已启动: G 0 A"));
  EXPECT_TRUE(host_.log.contains(QStringLiteral("写入完成")));
  EXPECT_TRUE(host_.log.contains(QStringLiteral("校验成功")));
  EXPECT_TRUE(sim_->Started.load());
  std::vector<uint8_t> expect = image;
  std::copy_n(job.patches[0].bytes.begin(), 4, expect.begin() + 0x1000);
  expect.resize(7004, 0x00);
  expect[7000] = 0xAB;
  expect[7001] = 0xCD;
  ExpectFlashHolds(WithVectorChecksum(expect));

  // A serial number outside the flash is refused before anything is erased.
  job.patches = {{0x7D000, {1, 2, 3, 4}}};
  Start(LpcPartProfile::LPC2148(), Paced(56), QByteArray(), job);
  ASSERT_TRUE(Finish(5000)) << Log();
  EXPECT_EQ(host_.log.last(), QStringLiteral("写入地址 0x0007D000 超出器件Flash (512000 字节)"));
  EXPECT_EQ(Count('E'), 0);
}

TEST_F(LpcDownload, RefusalsOfTheJobsOwnCommandsAreNamed) {
  struct Case {
    IspJobKind kind;
    char command;
    int code;
    QString cause;
  };
  const Case cases[] = {
      {IspJobKind::BlankCheck, 'I', LpcSim::PARAM_ERROR, QStringLiteral("查空失败: I 1 7 → 返回码 12 PARAM_ERROR")},
      {IspJobKind::Go, 'G', LpcSim::CMD_LOCKED, QStringLiteral("运行失败: G 0 T → 返回码 15 CMD_LOCKED")},
      {IspJobKind::Info, 'N', LpcSim::BUSY, QStringLiteral("读序列号失败: N → 返回码 11 BUSY")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.command));
    LpcSimOptions o = Paced(60 + static_cast<uint32_t>(c.code));
    o.ErrorCommand = c.command;
    o.ErrorCode = c.code;
    IspJob job = IspJob::OfKind(c.kind);
    if (c.kind == IspJobKind::BlankCheck) job.address = 0x1000;  // past sector 0, which is read instead
    Start(LpcPartProfile::LPC1343(), o, QByteArray(), job);
    ASSERT_TRUE(Finish(5000)) << Log();
    EXPECT_EQ(host_.log.last(), c.cause);
    EXPECT_EQ(Result().code, c.code);
    ExpectIdle();
  }
}

}  // namespace
