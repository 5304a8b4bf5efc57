// The LPC2xxx download from the download button against a simulated boot
// loader on a pseudo-terminal.
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#include "isp/lpc/LPC.h"
#include "sim/LpcHexText.h"
#include "sim/LpcSim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {


QString VectorLine(const std::vector<uint8_t>& withChecksum) {
  const uint32_t check = static_cast<uint32_t>(withChecksum[0x14]) | withChecksum[0x15] << 8 |
                         withChecksum[0x16] << 16 | static_cast<uint32_t>(withChecksum[0x17]) << 24;
  return QStringLiteral("向量表校验字(0x14)已设置为 0x%1")
      .arg(QString::number(check, 16).toUpper().rightJustified(8, QLatin1Char('0')));
}

class LpcDownload : public ::testing::Test {
 protected:
  void Start(LpcPartProfile part, LpcSimOptions options, const QByteArray& hex) {
    const QString file = dir_.filePath(QStringLiteral("fw.hex"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(hex);
    f.close();
    sim_ = std::make_unique<LpcSim>(pty_, std::move(part), options);
    host_.portName = QString::fromStdString(pty_.slavePath());
    host_.speed = br57600;
    host_.parity = ptNONE;
    host_.firmwareFileName = file;
    frm_ = std::make_unique<TLPCFrm>(host_);
    frm_->BitBtn1Click();
    EXPECT_FALSE(host_.downloadEnabled);
  }
  // Runs until the engine gives the download button back.
  bool Finish(int timeoutMs) {
    timer_.start();
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
  }
  QStringList SuccessLog(const QString& partId, const QString& boot, int kb,
                         const std::vector<uint8_t>& flashImage) {
    return {QStringLiteral("正在查找。。。"), QStringLiteral("已成功连接"),
            QStringLiteral("同步已建立"), QStringLiteral("波特率发送成功"),
            QStringLiteral("解锁成功"), QStringLiteral("CodeSize: %1 KB").arg(kb),
            VectorLine(flashImage), QStringLiteral("下载目标代码"),
            QStringLiteral("读器件ID成功:") + partId,
            QStringLiteral("读Boot代码版本成功:") + boot, QStringLiteral("正在擦除。。。"),
            QStringLiteral("擦除成功"), QStringLiteral("开始写入。。。"),
            QStringLiteral("写入完成")};
  }
  void ExpectFlashHolds(const std::vector<uint8_t>& image) {
    const std::vector<uint8_t> flash = sim_->Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << "flash differs";
    EXPECT_EQ(sim_->CopyOverwrites.load(), 0);
  }

  void SetUp() override { host_.timeoutText = QStringLiteral("1"); }

  QTemporaryDir dir_;
  PtyPair pty_;
  std::unique_ptr<LpcSim> sim_;
  FakeIspHost host_;
  std::unique_ptr<TLPCFrm> frm_;
  QElapsedTimer timer_;

  void TearDown() override {
    frm_.reset();
    host_.ComPort_Close();
    if (sim_) sim_->Stop();
  }
};

struct PartCase {
  LpcPartProfile (*profile)();
  const char* boot;
  size_t size;
  const char* pacing;  // Edit3
};

class LpcDownloadParts : public LpcDownload, public ::testing::WithParamInterface<PartCase> {};

TEST_P(LpcDownloadParts, FlashHoldsTheImageAndTheLogIsComplete) {
  const PartCase c = GetParam();
  const std::vector<uint8_t> image = PatternImage(c.size, 11);
  const LpcPartProfile part = c.profile();
  host_.autoDownload = true;
  host_.timeoutText = QString::fromLatin1(c.pacing);
  Start(part, {}, HexText(image));
  ASSERT_TRUE(Finish(60000)) << host_.log.join('\n').toStdString();
  const std::vector<uint8_t> expect = WithVectorChecksum(image);
  ExpectFlashHolds(expect);
  EXPECT_EQ(host_.log, SuccessLog(QString::fromStdString(part.PartId), QString::fromLatin1(c.boot),
                                  static_cast<int>(expect.size() / 1024), expect));
  EXPECT_EQ(host_.status, QStringLiteral("写入完成"));
  EXPECT_EQ(host_.autoDownloadEnded, 1);
  EXPECT_EQ(frm_->Edit4, QString::fromStdString(part.PartId));
  EXPECT_EQ(frm_->Edit4Hint, QStringLiteral("SectorAmount: ") + frm_->LastSector);
  ExpectIdle();
}

// 10000 bytes: two full chunks and a remainder; 68 KB on the 8 KB / 64 KB part
// reaches its first 64 KB sector (sent without line pauses, "00", to stay quick).
INSTANTIATE_TEST_SUITE_P(
    Parts, LpcDownloadParts,
    ::testing::Values(PartCase{&LpcPartProfile::LPC2136, "2.12", 10000, "1"},
                      PartCase{&LpcPartProfile::LPC2138, "2.12", 10000, "2"},
                      PartCase{&LpcPartProfile::LPC2294, "1.65", 68 * 1024 + 100, "00"}));

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
  host_.autoReset = true;  // a pseudo-terminal has no modem lines; the pulses must not hurt
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
  int copies = 0;
  for (const std::string& c : sim_->Commands()) copies += c[0] == 'C';
  EXPECT_EQ(copies, 20);
}

TEST_F(LpcDownload, TwentyWrongAnswersEndWithAnError) {
  LpcSimOptions o;
  o.ErrorCommand = 'C';
  o.ErrorCode = LpcSim::SECTOR_NOT_PREPARED;
  Start(LpcPartProfile::LPC2136(), o, HexText(PatternImage(300, 14)));
  ASSERT_TRUE(Finish(30000));
  EXPECT_EQ(host_.log.last(), QStringLiteral("下载的过程中出错"));
  EXPECT_EQ(host_.status, QStringLiteral("下载的过程中出错"));
  int copies = 0;
  for (const std::string& c : sim_->Commands()) copies += c[0] == 'C';
  EXPECT_EQ(copies, 20);
  EXPECT_EQ(host_.autoDownloadEnded, 0);
  ExpectIdle();
}

TEST_F(LpcDownload, BrokenFileEndsTheRunAtOnce) {
  QByteArray hex = HexText(PatternImage(200, 15));
  const qsizetype third = hex.indexOf('\n', hex.indexOf('\n', hex.indexOf('\n') + 1) + 1);
  hex[third - 3] = hex[third - 3] == '0' ? '1' : '0';  // checksum of line 3
  Start(LpcPartProfile::LPC2132(), {}, hex);
  ASSERT_TRUE(Finish(4000));
  EXPECT_EQ(host_.log.last(), QStringLiteral("HEX文件第3行校验和错误"));
  for (const std::string& c : sim_->Commands()) EXPECT_NE(c[0], 'W') << c;
  ExpectIdle();

  // Without data the file is refused too, and a new run starts normally.
  QFile f(host_.firmwareFileName);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(":00000001FF\r\n");
  f.close();
  host_.log.clear();
  sim_->Reset();
  PumpFor(30);
  frm_->BitBtn1Click();
  ASSERT_TRUE(Finish(4000));
  EXPECT_EQ(host_.log.last(), QStringLiteral("HEX文件中没有数据"));
  ExpectIdle();
}

TEST_F(LpcDownload, MissingFileReleasesThePortForTheNextRun) {
  Start(LpcPartProfile::LPC2131(), {}, HexText(PatternImage(100, 16)));
  QFile::remove(host_.firmwareFileName);
  ASSERT_TRUE(Finish(4000));
  EXPECT_EQ(host_.log.last(), QStringLiteral("文件不存在"));
  ExpectIdle();
  EXPECT_EQ(frm_->LpcIspState, TLPCFrm::Syncing);

  const std::vector<uint8_t> image = PatternImage(100, 16);
  QFile f(host_.firmwareFileName);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(HexText(image));
  f.close();
  host_.log.clear();
  sim_->Reset();
  PumpFor(30);
  frm_->BitBtn1Click();
  ASSERT_TRUE(Finish(30000));
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
  EXPECT_EQ(host_.log, QStringList({QStringLiteral("正在查找。。。"), QStringLiteral("LPC通信超时!")}));
  EXPECT_EQ(host_.status, QStringLiteral("LPC通信超时!"));
  ExpectIdle();
}

TEST_F(LpcDownload, HangUpMidDownloadEndsCleanly) {
  LpcSimOptions o;
  o.HangUpAfterBlocks = 3;
  Start(LpcPartProfile::LPC2136(), o, HexText(PatternImage(10000, 18)));
  ASSERT_TRUE(Finish(20000));
  EXPECT_TRUE(sim_->HungUp.load());
  EXPECT_EQ(host_.log.last(), QStringLiteral("LPC通信超时!"));
  ExpectIdle();
}

}  // namespace
