// The STM32 jobs besides the download, end to end over the link model: read
// back, erase (whole, range), blank check, read-out and write protection,
// GO, identify, compare; a locked part; a boot loader that refuses GET. And
// the simulated boot loader's own rules, spoken to byte by byte, so that an
// engine that broke them could not pass.
#include "support/Stm32Harness.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "firmware/FirmwareImage.h"

namespace {

using namespace stm32test;
using Stm32Jobs = Stm32Harness;

IspJob Job(IspJobKind kind) { return IspJob::OfKind(kind); }

// The ID the simulated part gives (its own pattern), as the engine writes it.
QString SimUniqueId(const Stm32SimProfile& p) {
  QString hex;
  auto at = [&](uint32_t i) { return static_cast<uint8_t>(0x30 + i * 7 + p.productId); };
  for (uint32_t i = 0; i < 8; ++i) hex += QStringLiteral("%1").arg(at(i), 2, 16, QLatin1Char('0'));
  for (uint32_t i = 0; i < 4; ++i) hex += QStringLiteral("%1").arg(at(p.uniqueIdThirdWord + i), 2, 16, QLatin1Char('0'));
  return hex.toUpper();
}

TEST_F(Stm32Jobs, ReadsBackARangeOrTheWholeFlashToBinaryOrHex) {
  Stm32SimOptions o;
  o.link = Paced(0, 7);
  StartSim(0x0410, o);
  const auto flash = RandomBytes(128 * 1024, 1);
  sim->Preload(0, flash);
  IspJob read = Job(IspJobKind::Read);
  read.file = dir.filePath("part.bin");
  read.address = 0x08000100;
  read.length = 1000;
  ASSERT_TRUE(Run(read, 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_EQ(host.log.last(), QStringLiteral("读出完成：1000 字节已写入 ") + read.file);
  EXPECT_EQ(host.progressMax, 1000);
  QFile f(read.file);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray got = f.readAll();
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), std::vector<uint8_t>(flash.begin() + 0x100, flash.begin() + 0x100 + 1000));
  EXPECT_EQ(sim->erasesDone(), 0);
  EXPECT_EQ(sim->blocksWritten(), 0);
  ExpectPortReleased();

  // The whole flash of an L0 (its size from the part) as Intel HEX.
  StartSim(0x0457);
  const auto l0 = RandomBytes(16 * 1024, 2);
  sim->Preload(0, l0);
  read = Job(IspJobKind::Read);
  read.file = dir.filePath("whole.hex");
  ASSERT_TRUE(Run(read, 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  QFile h(read.file);
  ASSERT_TRUE(h.open(QIODevice::ReadOnly));
  const HexDecodeResult d = DecodeIntelHex(h.readAll(), 1 << 20);
  ASSERT_EQ(d.error, HexDecodeResult::Error::None);
  EXPECT_EQ(d.baseAddress, 0x08000000u);
  EXPECT_EQ(std::vector<uint8_t>(d.image.begin(), d.image.end()), l0);

  // A range the boot loader refuses: nothing is written, the cause names it.
  read.file = dir.filePath("none.bin");
  read.address = 0x08004000;  // just past the 16 KB
  read.length = 256;
  ASSERT_TRUE(Run(read, 20000));
  EXPECT_EQ(host.result->cause, QStringLiteral("读取被拒绝: 地址 0x08004000"));
  EXPECT_FALSE(QFile::exists(read.file));
}

TEST_F(Stm32Jobs, EraseTheWholeFlashOrWholeUnitsOfARange) {
  // Mass erase where the part takes it, in the form its boot loader knows.
  for (auto [id, frame] : {std::pair{uint16_t(0x0413), std::vector<uint8_t>{0xFF, 0xFF, 0x00}},
                           std::pair{uint16_t(0x0412), std::vector<uint8_t>{0xFF, 0x00}}}) {
    SCOPED_TRACE(id);
    StartSim(id);
    sim->Preload(0, RandomBytes(32 * 1024, id));
    ASSERT_TRUE(Run(Job(IspJobKind::Erase), 20000)) << sim->failure();
    EXPECT_EQ(host.log.last(), QStringLiteral("擦除完成"));
    EXPECT_EQ(sim->EraseFrame(), frame);
    EXPECT_EQ(sim->Flash(0, 32 * 1024), std::vector<uint8_t>(32 * 1024, 0xFF));
  }
  // L0 takes no mass erase: every page, in as many frames as it needs.
  StartSim(0x0457);
  sim->Preload(0, RandomBytes(16 * 1024, 3));
  ASSERT_TRUE(Run(Job(IspJobKind::Erase), 20000)) << sim->failure();
  EXPECT_EQ(host.log.last(), QStringLiteral("擦除完成"));
  EXPECT_EQ(sim->EraseFrames().size(), 2u);  // 128 pages, 120 a frame
  EXPECT_EQ(sim->Flash(0, 16 * 1024), std::vector<uint8_t>(16 * 1024, 0x00));

  // A range of whole pages: those pages only.
  StartSim(0x0414);
  const auto old = RandomBytes(16 * 1024, 4);
  sim->Preload(0, old);
  IspJob range = Job(IspJobKind::Erase);
  range.address = 0x08000800;
  range.length = 4096;
  ASSERT_TRUE(Run(range, 20000)) << sim->failure();
  EXPECT_EQ(sim->ErasedUnits(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(sim->Flash(0, 2048), std::vector<uint8_t>(old.begin(), old.begin() + 2048));
  EXPECT_EQ(sim->Flash(6144, 2048), std::vector<uint8_t>(old.begin() + 6144, old.begin() + 8192));
  // A range that splits a page would lose what lies beside it: refused.
  for (auto [address, length, says] :
       {std::tuple{0x08000100u, 256u, "擦除范围必须是整页: 0x08000100 在页 0 (0x08000000 .. 0x080007FF) 之中"},
        std::tuple{0x08000800u, 3072u, "擦除范围必须是整页: 0x08001400 在页 2 (0x08001000 .. 0x080017FF) 之中"},
        std::tuple{0x0807F800u, 4096u, "擦除范围不在 Flash 之内: 0x0807F800 .. 0x080807FF"}}) {
    range.address = address;
    range.length = length;
    ASSERT_TRUE(Run(range, 20000));
    EXPECT_FALSE(host.result->ok);
    EXPECT_EQ(host.log.last(), QString::fromUtf8(says));
  }
  EXPECT_EQ(sim->erasesDone(), 1);
}

// Sectors that take seconds each: the part answers a frame only once all of
// its units are erased, and the engine waits no longer than a step's
// time-out for that answer, so the units go a few to a frame.
TEST_F(Stm32Jobs, NoEraseFrameOutlastsAStep) {
  constexpr uint64_t kStepWaitMs = 10000;
  Stm32SimProfile f4 = Stm32SimProfile::ForProduct(0x0419, 2048);  // 24 sectors in two banks
  for (uint32_t& ms : f4.eraseUnitMs) ms = 3000;
  Stm32SimOptions o;
  o.chargeEraseTime = true;
  StartSim(f4, o);
  IspJob all = Job(IspJobKind::Erase);
  all.address = 0x08000000;
  all.length = 2048 * 1024;
  ASSERT_TRUE(Run(all, 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_EQ(sim->ErasedUnits().size(), 24u);
  const std::vector<uint64_t> frames = sim->EraseFrameMs();
  ASSERT_FALSE(frames.empty());
  for (uint64_t ms : frames) EXPECT_LE(ms, kStepWaitMs);
}

TEST_F(Stm32Jobs, BlankCheckNamesTheFirstByteThatIsNotErased) {
  StartSim(0x0457);  // erased reads 0x00 here
  ASSERT_TRUE(Run(Job(IspJobKind::BlankCheck), 20000)) << sim->failure();
  EXPECT_EQ(host.log.last(), QStringLiteral("查空完成：全部为空"));
  sim->Preload(0x2FFF, {0x5A});
  ASSERT_TRUE(Run(Job(IspJobKind::BlankCheck), 20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("不是空的: 地址 0x08002FFF 读出 0x5A"));
  IspJob part = Job(IspJobKind::BlankCheck);
  part.address = 0x08000000;
  part.length = 0x2FFF;
  ASSERT_TRUE(Run(part, 20000));
  EXPECT_TRUE(host.result->ok);
}

TEST_F(Stm32Jobs, InfoNamesThePartAndWritesNothing) {
  Stm32SimOptions o;
  o.link = Paced(16, 3);
  // Beside the name and size: the first erase unit, the line's RAM with the
  // boot loader's share, where the row names it the option word that sets the
  // bank mode (and with it the first page's size), and the option bytes as
  // the part holds them: every area of the line, or why none is read.
  struct Case {
    uint16_t id;
    QString name;
    QStringList more;
  };
  const Case cases[] = {
      {0x0410, QStringLiteral("器件: STM32F10xxx medium-density"),
       {QStringLiteral("第一个页: 1 KB"), QStringLiteral("RAM: 最多 20 KB（其中 0x20000000..0x200001FF 由 Bootloader 占用）"),
        QStringLiteral("选项字节 (0x1FFFF800): A5 5A FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00")}},
      {0x0413, QStringLiteral("器件: STM32F40xxx/41xxx"),
       {QStringLiteral("第一个扇区: 16 KB"), QStringLiteral("RAM: 最多 192 KB（其中 0x20000000..0x20002FFF 由 Bootloader 占用）"),
        QStringLiteral("选项字节 (0x1FFFC000): EC AA FF FF FF FF FF FF FF 0F FF FF FF FF FF FF")}},
      {0x0419, QStringLiteral("器件: STM32F42xxx/43xxx"),
       {QStringLiteral("第一个扇区: 16 KB"), QStringLiteral("RAM: 最多 256 KB（其中 0x20000000..0x20002FFF 由 Bootloader 占用）"),
        QStringLiteral("选项字节 (0x1FFFC008): 0xFFFF3FFF，双 Bank"),
        QStringLiteral("选项字节 (0x1FFFC000): EC AA FF FF FF FF FF FF FF 3F FF FF FF FF FF FF"),
        QStringLiteral("选项字节 (0x1FFEC000): FF FF FF FF FF FF FF FF FF 0F FF FF FF FF FF FF")}},
      {0x0417, QStringLiteral("器件: STM32L05xxx/06xxx"),
       {QStringLiteral("第一个页: 128 字节"), QStringLiteral("RAM: 最多 8 KB（其中 0x20000000..0x20000FFF 由 Bootloader 占用）"),
        QStringLiteral("选项字节 (0x1FF80000): AA 00 55 FF 70 80 8F 7F 00 00 FF FF 00 00 FF FF")}},
      {0x0469, QStringLiteral("器件: STM32G47xxx/48xxx"),
       {QStringLiteral("第一个页: 2 KB"), QStringLiteral("RAM: 最多 128 KB（其中 0x20000000..0x20003FFF 由 Bootloader 占用）"),
        QStringLiteral("选项字节 (0x1FFF7800): 0xFFEFF8AA，双 Bank"),
        QStringLiteral("选项字节 (0x1FFF7800): AA F8 EF FF 55 07 10 00 FF FF FF FF 00 00 00 00")}},
      {0x0474, QStringLiteral("器件: STM32H503xx"),
       {QStringLiteral("第一个扇区: 8 KB"), QStringLiteral("RAM: 最多 32 KB（其中 0x20000000..0x20003FFF 由 Bootloader 占用）"),
        QStringLiteral("选项字节: 只在 Flash 寄存器中，Bootloader 读不到")}},
  };
  for (const Case& c : cases) {
    const uint16_t id = c.id;
    SCOPED_TRACE(id);
    StartSim(id, o);
    ASSERT_TRUE(Run(Job(IspJobKind::Info), 20000)) << sim->failure();
    ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
    const Stm32SimProfile& p = sim->profile();
    const uint8_t v = p.bootloaderVersion;
    const QStringList expected = QStringList{
        QStringLiteral("Product ID: 0x") + QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper(),
        c.name,
        QStringLiteral("Bootloader 版本: %1.%2").arg(v / 16).arg(v % 16),
        QStringLiteral("Flash 容量: %1 KB").arg(p.FlashBytes() / 1024)} + c.more + QStringList{
        QStringLiteral("唯一 ID: ") + SimUniqueId(p),
        QStringLiteral("读保护: 未开启")};
    EXPECT_EQ(host.result->info, expected);
    EXPECT_EQ(host.result->uniqueId, SimUniqueId(p));
    EXPECT_EQ(host.log.last(), QStringLiteral("读器件信息完成"));
    EXPECT_EQ(sim->erasesDone(), 0);
    EXPECT_EQ(sim->blocksWritten(), 0);
  }

  // A boot loader that will not read the option-byte area: said so, and the
  // rest of the information still comes.
  Stm32SimProfile closed = Stm32SimProfile::ForProduct(0x0410);
  closed.optionBytes.clear();
  StartSim(closed, o);
  ASSERT_TRUE(Run(Job(IspJobKind::Info), 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_TRUE(host.result->info.contains(QStringLiteral("选项字节 (0x1FFFF800): 读不出（Bootloader 拒绝该地址）")))
      << host.result->info.join('\n').toStdString();
  EXPECT_EQ(host.result->info.last(), QStringLiteral("读保护: 未开启"));
}

// A read-protected part refuses everything but GET, GET VERSION, GET ID and
// READOUT UNPROTECT: every job says so at once; the unprotect says first that
// it erases the whole flash, and a download works after it.
TEST_F(Stm32Jobs, LockedPartSaysSoAndIsUnlockedByAnEraseOfAll) {
  Stm32SimProfile locked = Stm32SimProfile::ForProduct(0x0414);
  locked.readProtected = true;
  Stm32SimOptions o;
  o.link = Paced();
  StartSim(locked, o);
  sim->Preload(0, RandomBytes(64 * 1024, 5));
  const QString cause =
      QStringLiteral("读保护已开启：器件拒绝读写。用 vortana-isp --unprotect-read 解除（会擦除整片 Flash）");
  WriteFile("fw.bin", RandomBytes(4096, 6));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Download(20000));
  EXPECT_LT(t.elapsed(), 3000);
  EXPECT_EQ(host.log.last(), cause);
  EXPECT_EQ(host.status, cause);
  IspJob read = Job(IspJobKind::Read);
  read.file = dir.filePath("x.bin");
  ASSERT_TRUE(Run(read, 20000));
  EXPECT_EQ(host.log.last(), cause);
  ASSERT_TRUE(Run(Job(IspJobKind::Info), 20000));
  EXPECT_TRUE(host.result->info.contains(QStringLiteral("读保护: 已开启")));
  EXPECT_TRUE(host.result->info.contains(QStringLiteral("唯一 ID: 读不出（读保护已开启）")));
  EXPECT_TRUE(host.result->info.contains(QStringLiteral("选项字节 (0x1FFFF800): 读不出（读保护已开启）")));
  EXPECT_EQ(sim->erasesDone(), 0);

  ASSERT_TRUE(Run(Job(IspJobKind::UnprotectRead), 30000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  const auto warn = host.log.indexOf(QStringLiteral("解除读保护会擦除整片 Flash。。。"));
  ASSERT_GE(warn, 0);
  EXPECT_EQ(host.log.last(), QStringLiteral("读保护已解除，Flash 已擦除"));
  EXPECT_FALSE(sim->readProtected());
  EXPECT_EQ(sim->Flash(0, 64 * 1024), std::vector<uint8_t>(64 * 1024, 0xFF));
  EXPECT_EQ(sim->selfResets(), 1);
  // The part restarted in its boot loader: the next session finds it.
  ExpectDownloads(RandomBytes(4096, 7));
  // And locks again on request.
  ASSERT_TRUE(Run(Job(IspJobKind::ProtectRead), 20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("读保护已开启"));
  EXPECT_TRUE(sim->readProtected());
}

TEST_F(Stm32Jobs, WriteProtectionIsRemoved) {
  Stm32SimProfile p = Stm32SimProfile::ForProduct(0x0466);
  p.writeProtected = {0, 1};
  StartSim(p);
  ASSERT_TRUE(Run(Job(IspJobKind::UnprotectWrite), 20000)) << sim->failure();
  EXPECT_EQ(host.log.last(), QStringLiteral("写保护已解除"));
  EXPECT_FALSE(sim->writeProtected(0));
  EXPECT_FALSE(sim->writeProtected(1));
  ExpectDownloads(RandomBytes(3000, 8));
}

// GO alone (the flash base or an address), and after a download: the
// program runs, so no reset follows it.
TEST_F(Stm32Jobs, GoStartsTheProgram) {
  StartSim(0x0414);
  ASSERT_TRUE(Run(Job(IspJobKind::Go), 20000)) << sim->failure();
  EXPECT_EQ(host.log.last(), QStringLiteral("程序已从 0x08000000 开始运行"));
  EXPECT_EQ(sim->runningFrom(), 0x08000000u);
  sim->Reset();
  IspJob go = Job(IspJobKind::Go);
  go.goAddress = 0x20001000;
  ASSERT_TRUE(Run(go, 20000));
  EXPECT_EQ(sim->runningFrom(), 0x20001000u);

  sim->Reset();
  host.autoReset = true;
  host.platform.Clear();
  IspJob download = IspJob::Download(WriteFile("fw.bin", RandomBytes(2048, 9)));
  download.go = true;
  ASSERT_TRUE(Run(download, 20000)) << sim->failure();
  EXPECT_EQ(host.log.mid(host.log.size() - 2),
            (QStringList{QStringLiteral("程序已从 0x08000000 开始运行"), QStringLiteral("上载完成！")}));
  EXPECT_EQ(sim->runningFrom(), 0x08000000u);
  EXPECT_TRUE(host.platform.LinesAfterLastWrite().empty());
}

// Compare only; and the read-back after a download catches a difference in
// the last byte of a 256-byte block.
TEST_F(Stm32Jobs, VerifyComparesEveryByteAndWritesNothing) {
  StartSim(0x0414);
  const auto image = RandomBytes(3000, 10);
  sim->Preload(0, image);
  IspJob verify = Job(IspJobKind::Verify);
  verify.file = WriteFile("fw.bin", image);
  ASSERT_TRUE(Run(verify, 20000)) << sim->failure();
  EXPECT_EQ(host.log.last(), QStringLiteral("校验通过"));
  EXPECT_EQ(sim->erasesDone(), 0);
  sim->Preload(2047, {static_cast<uint8_t>(image[2047] ^ 0x10)});
  ASSERT_TRUE(Run(verify, 20000));
  EXPECT_TRUE(host.log.last().startsWith(QStringLiteral("校验错误: 地址 0x080007FF"))) << host.log.last().toStdString();

  Stm32SimOptions o;
  o.weakCell = 0xFF;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(1024, 11));
  ASSERT_TRUE(Download(20000));
  EXPECT_TRUE(host.log.last().startsWith(QStringLiteral("校验错误: 地址 0x080000FF"))) << host.log.last().toStdString();
}

// A production line's serial number goes into the image before the erase,
// where the part's flash has room for it.
TEST_F(Stm32Jobs, PatchesLandInTheImage) {
  StartSim(0x0410);
  const auto image = RandomBytes(1024, 12);
  IspJob download = IspJob::Download(WriteFile("fw.bin", image));
  download.patches.push_back({0x08000010, {1, 2, 3, 4}});
  download.patches.push_back({0x0801FFF0, {0xAA, 0xBB}});  // far past the image
  ASSERT_TRUE(Run(download, 20000)) << sim->failure();
  ASSERT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_EQ(sim->Flash(0x10, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(sim->Flash(0x1FFF0, 3), (std::vector<uint8_t>{0xAA, 0xBB, 0xFF}));
  EXPECT_EQ(sim->ErasedUnits(), (std::vector<uint32_t>{0, 127}));
  download.patches = {{0x08020000, {1}}};  // past the 128 KB
  ASSERT_TRUE(Run(download, 20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("写入数据的地址不在 Flash 之内: 地址 0x08020000"));
}

// A boot loader that refuses GET: the session ends with the cause after the
// step's time-out, having synchronised again once; it never loops.
TEST_F(Stm32Jobs, RefusedGetEndsTheSessionNeverLoops) {
  Stm32SimOptions o;
  o.nackCommand = 0x00;
  StartSim(0x0414, o);
  WriteFile("fw.bin", RandomBytes(256, 13));
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Download(20000));
  EXPECT_LT(t.elapsed(), 14000);
  EXPECT_EQ(host.log.last(), QStringLiteral("GET 命令被拒绝"));
  EXPECT_LE(host.log.count(QStringLiteral("已成功连接")), 2);
  // Any other job says so at once.
  t.restart();
  ASSERT_TRUE(Run(Job(IspJobKind::Info), 20000));
  EXPECT_LT(t.elapsed(), 3000);
  EXPECT_EQ(host.result->cause, QStringLiteral("GET 命令被拒绝"));
  ExpectPortReleased();
}

// The simulated boot loader, spoken to directly: the rules the engine
// tests rely on hold.
class RawLink {
 public:
  explicit RawLink(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~RawLink() { ::close(fd_); }
  // Sends the bytes and reads `count` back (fewer on a time-out).
  std::vector<uint8_t> Ask(const std::vector<uint8_t>& bytes, size_t count, int timeoutMs = 1000) {
    if (!bytes.empty()) {
      EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<uint8_t> got;
    while (got.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t b[300];
      const ssize_t n = ::read(fd_, b, std::min(sizeof b, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), b, b + n);
    }
    return got;
  }
  std::vector<uint8_t> Command(uint8_t code) { return Ask({code, static_cast<uint8_t>(~code)}, 1); }
  static std::vector<uint8_t> Address(uint32_t a) {
    std::vector<uint8_t> f{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    f.push_back(f[0] ^ f[1] ^ f[2] ^ f[3]);
    return f;
  }
  // WRITE MEMORY of `data` at `a`: the last reply (ACK or NACK).
  uint8_t Write(uint32_t a, const std::vector<uint8_t>& data) {
    if (Command(0x31) != std::vector<uint8_t>{0x79}) return 0;
    if (Ask(Address(a), 1) != std::vector<uint8_t>{0x79}) return 0;
    std::vector<uint8_t> f{static_cast<uint8_t>(data.size() - 1)};
    uint8_t x = f[0];
    for (uint8_t v : data) {
      f.push_back(v);
      x ^= v;
    }
    f.push_back(x);
    const auto r = Ask(f, 1);
    return r.empty() ? 0 : r[0];
  }

 private:
  int fd_ = -1;
};

TEST(Stm32SimRules, ProgrammingProtectionAndGoAsThePartsDo) {
  constexpr uint8_t ACK = 0x79, NACK = 0x1F;
  PtyPair pty;
  const std::vector<uint8_t> word{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  {
    SCOPED_TRACE("ECC: a double word once after its erase");
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0466));
    RawLink raw(pty.slavePath());
    ASSERT_EQ(raw.Ask({0x7F}, 1), std::vector<uint8_t>{ACK});
    EXPECT_EQ(raw.Write(0x08000000, word), ACK);
    EXPECT_EQ(raw.Write(0x08000000, word), NACK);                       // programmed already
    EXPECT_EQ(raw.Write(0x08000100, {1, 2, 3, 4}), ACK);                // half a double word: padded ...
    EXPECT_EQ(raw.Write(0x08000104, {5, 6, 7, 8}), NACK);               // ... and programmed whole
    EXPECT_FALSE(sim.failure().empty());
  }
  {
    SCOPED_TRACE("F4: bits are cleared, never set");
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0413));
    RawLink raw(pty.slavePath());
    ASSERT_EQ(raw.Ask({0x7F}, 1), std::vector<uint8_t>{ACK});
    EXPECT_EQ(raw.Write(0x08000000, {0xF0, 0xF0, 0xF0, 0xF0}), ACK);
    EXPECT_EQ(raw.Write(0x08000000, {0x3C, 0x3C, 0x3C, 0x3C}), ACK);
    EXPECT_EQ(sim.Flash(0, 4), (std::vector<uint8_t>{0x30, 0x30, 0x30, 0x30}));
  }
  {
    SCOPED_TRACE("read-out protection");
    Stm32SimProfile p = Stm32SimProfile::ForProduct(0x0414);
    p.readProtected = true;
    Stm32Sim sim(pty.master(), p);
    sim.Preload(0, {1, 2, 3, 4});
    RawLink raw(pty.slavePath());
    ASSERT_EQ(raw.Ask({0x7F}, 1), std::vector<uint8_t>{ACK});
    for (uint8_t refused : {0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82}) {
      EXPECT_EQ(raw.Command(refused), std::vector<uint8_t>{NACK}) << int(refused);
    }
    EXPECT_EQ(raw.Ask({0x00, 0xFF}, 15).size(), 15u);  // GET
    EXPECT_EQ(raw.Ask({0x01, 0xFE}, 5).size(), 5u);    // GET VERSION
    EXPECT_EQ(raw.Ask({0x02, 0xFD}, 5).size(), 5u);    // GET ID
    EXPECT_EQ(raw.Ask({0x92, 0x6D}, 2), (std::vector<uint8_t>{ACK, ACK}));  // erases all, then resets
    EXPECT_FALSE(sim.readProtected());
    EXPECT_EQ(sim.Flash(0, 4), std::vector<uint8_t>(4, 0xFF));
    EXPECT_EQ(raw.Ask({0x7F}, 1), std::vector<uint8_t>{ACK});  // synchronises afresh
  }
  {
    SCOPED_TRACE("write protection, GO");
    Stm32SimProfile p = Stm32SimProfile::ForProduct(0x0414);
    p.writeProtected = {0};
    Stm32Sim sim(pty.master(), p);
    sim.Preload(0, {0x00, 0x00, 0x00, 0x00});
    RawLink raw(pty.slavePath());
    ASSERT_EQ(raw.Ask({0x7F}, 1), std::vector<uint8_t>{ACK});
    ASSERT_EQ(raw.Command(0x43), std::vector<uint8_t>{ACK});
    EXPECT_EQ(raw.Ask({0x00, 0x00, 0x00}, 1), std::vector<uint8_t>{ACK});  // no error ...
    EXPECT_EQ(sim.Flash(0, 4), std::vector<uint8_t>(4, 0x00));            // ... and no erase
    EXPECT_EQ(raw.Write(0x08000000, {1, 2, 3, 4}), NACK);
    ASSERT_EQ(raw.Command(0x21), std::vector<uint8_t>{ACK});
    EXPECT_EQ(raw.Ask(RawLink::Address(0x08000000), 1), std::vector<uint8_t>{ACK});
    EXPECT_EQ(sim.runningFrom(), 0x08000000u);
    EXPECT_TRUE(raw.Ask({0x7F}, 1, 300).empty());  // the program does not answer
  }
}

}  // namespace

namespace {

// The command line's jobs fail fast: a NACK is the part's answer, and a
// missing reply is given up once the step could not still be under way on
// the slowest part. Each of these took about 10 s before.
TEST_F(Stm32Jobs, FailingFastEndsAtTheRefusalOrTheStepsOwnLongestWait) {
  struct Case {
    int nack;
    int stopAfter;
    bool go;
    QString cause;
    int mostMs;
  };
  const Case cases[] = {
      {0x31, -1, false, QStringLiteral("写命令被拒绝: 地址 0x08000000"), 1500},
      {0x00, -1, false, QStringLiteral("GET 命令被拒绝"), 1500},
      {0x02, -1, false, QStringLiteral("GET ID 命令被拒绝"), 1500},
      {0x43, -1, false, QStringLiteral("擦除命令被拒绝"), 1500},
      {0x21, -1, true, QStringLiteral("GO 命令被拒绝（读保护已开启？）"), 1500},
      // Replies stop after the erase's ACK: the erase frame's own time
      // (one 2 KB page, 40 ms at most) and no more.
      {-1, 7, false, QStringLiteral("擦除没有完成"), 1500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause.toStdString());
    Stm32SimOptions o;
    o.nackCommand = c.nack;
    o.stopAfterReplies = c.stopAfter;
    StartSim(0x0414, o);
    WriteFile("fw.bin", RandomBytes(1024, 31));
    IspJob job = IspJob::Download(host.firmwareFileName);
    job.failFast = true;
    job.go = c.go;
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(Run(job, 20000));
    EXPECT_LT(t.elapsed(), c.mostMs);
    EXPECT_FALSE(host.result->ok);
    EXPECT_EQ(host.result->cause, c.cause);
    EXPECT_EQ(host.log.last(), c.cause);
    ExpectPortReleased();
  }

  // A slow line is no silence: a block's 256 bytes take 2.3 s to cross it
  // at 1200 bit/s before the part can answer.
  Stm32SimOptions slow;
  slow.link = SimLinkOptions{1200, 11};
  StartSim(0x0414, slow);
  host.speed = br1200;
  const std::vector<uint8_t> image = RandomBytes(256, 32);
  WriteFile("fw.bin", image);
  IspJob download = IspJob::Download(host.firmwareFileName);
  download.failFast = true;
  ASSERT_TRUE(Run(download, 30000));
  EXPECT_TRUE(host.result->ok) << host.result->cause.toStdString();
  EXPECT_EQ(sim->Flash(0, 256), image);
  host.speed = br115200;

  // Nobody there: the boot loader's start-up, not 6 s.
  Stm32SimOptions silent;
  silent.silent = true;
  StartSim(0x0414, silent);
  IspJob info = Job(IspJobKind::Info);
  info.failFast = true;
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(Run(info, 20000));
  EXPECT_GE(t.elapsed(), 1900);
  EXPECT_LT(t.elapsed(), 3000);
  EXPECT_EQ(host.result->cause, QStringLiteral("设备没有应答同步字节 0x7F"));
}

// A part that runs its program instead of the boot loader answers 0x7F with
// whatever the program prints: said so, in the window and the command line.
TEST_F(Stm32Jobs, APartRunningItsProgramIsToldFromASilentOne) {
  for (bool fast : {false, true}) {
    SCOPED_TRACE(fast);
    Stm32SimOptions o;
    o.application = "hello\r\n";
    StartSim(0x0414, o);
    IspJob info = Job(IspJobKind::Info);
    info.failFast = fast;
    ASSERT_TRUE(Run(info, 20000));
    EXPECT_FALSE(host.result->partAnswered);
    ASSERT_TRUE(host.result->cause.startsWith(QStringLiteral("对同步字节 0x7F 的应答不是 ACK/NACK（收到 ")))
        << host.result->cause.toStdString();
    EXPECT_TRUE(host.result->cause.endsWith(QStringLiteral(" 字节: \"hello\\x0d\\x0ahello\\x0d\\x0ahello\\x0d\\x0ahello\\x0d\\x0ahell\"）："
                                                           "器件在运行用户程序，没有进入 Bootloader，检查 BOOT0 和复位接线")))
        << host.result->cause.toStdString();
    EXPECT_EQ(host.log.last(), host.result->cause);
    ExpectPortReleased();
  }
}

}  // namespace
