// Every STM32 line the boot loader serves, end to end over the link model:
// a part that holds an earlier firmware takes a small image (paced, replies
// in pieces) and a large one (no-delay link), and keeps every byte the
// image's erase units do not hold. Second banks, the bank-mode option, a
// size the part does not tell, and sparse images.
#include "support/Stm32Harness.h"

#include <QStringList>

#include <optional>

namespace {

using namespace stm32test;
using Stm32Lines = Stm32Harness;

// Where the units that hold [0, length) end, by the simulator's own layout.
uint32_t CoverEnd(const Stm32SimProfile& p, uint32_t length) {
  uint32_t end = 0;
  for (uint32_t size : p.eraseUnits) {
    if (end >= length) break;
    end += size;
  }
  return end;
}

// Downloads `image` over `old` and checks the whole flash: the image, erased
// flash to the end of its last unit, the old data after it.
void ExpectOnlyTheImagesUnitsChanged(Stm32Sim& sim, const std::vector<uint8_t>& image, const std::vector<uint8_t>& old) {
  const Stm32SimProfile& p = sim.profile();
  const auto length = static_cast<uint32_t>(image.size());
  const uint32_t end = CoverEnd(p, length);
  EXPECT_EQ(sim.Flash(0, length), image);
  EXPECT_EQ(sim.Flash(length, end - length), std::vector<uint8_t>(end - length, p.erasedValue));
  // What the old firmware held past the last unit is still there.
  const size_t from = std::min<size_t>(end, old.size());
  const size_t to = std::min<size_t>(old.size(), p.FlashBytes());
  EXPECT_EQ(sim.Flash(end, static_cast<uint32_t>(to - from)), std::vector<uint8_t>(old.begin() + from, old.begin() + to));
  std::vector<uint32_t> erased;
  for (uint32_t i = 0, at = 0; at < end; at += p.eraseUnits[i], ++i) erased.push_back(i);
  EXPECT_EQ(sim.ErasedUnits(), erased);
}

TEST_F(Stm32Lines, EveryPartTakesASmallImageOverEarlierFirmware) {
  unsigned seed = 1;
  for (uint16_t id : Stm32SimProfile::Products()) {
    SCOPED_TRACE(::testing::Message() << std::hex << id);
    Stm32SimOptions o;
    o.link = Paced(seed % 3 == 0 ? 16 : 0, seed);
    o.link.baud = 230400;
    Stm32SimProfile p = Stm32SimProfile::ForProduct(id);
    if (seed % 2) p.extraCommands = {0x50, 0x51, 0xA1};  // newer boot loaders list more
    StartSim(p, o);
    const auto old = RandomBytes(std::min<uint32_t>(p.FlashBytes(), 48 * 1024), seed);
    sim->Preload(0, old);
    const auto image = RandomBytes(1000, seed + 1000);
    WriteFile("fw.bin", image);
    ASSERT_TRUE(Download(30000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    ExpectOnlyTheImagesUnitsChanged(*sim, image, old);
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();
    EXPECT_TRUE(host.log.contains(QStringLiteral("Product ID: ") + QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper()));
    ++seed;
    if (HasFailure()) return;
  }
}

// One part of every line fills most of its flash over an earlier firmware
// (no-delay link): the erase of many units in several frames, the flash
// beyond the image unchanged, the part's own size respected.
TEST_F(Stm32Lines, OnePartOfEveryLineFillsMostOfItsFlash) {
  // A part of each line (its size as the line has it), with what makes the
  // line differ: sectors, second banks, pages of 128 bytes to 8 KB.
  const std::pair<uint16_t, uint32_t> parts[] = {
      {0x0442, 128}, {0x0430, 768}, {0x0411, 256}, {0x0446, 384}, {0x0413, 512}, {0x0449, 512}, {0x0467, 128},
      {0x0474, 128}, {0x0480, 128}, {0x0447, 192}, {0x0427, 256}, {0x0415, 1024}, {0x0472, 512}, {0x0494, 320},
      {0x0497, 64},  {0x0453, 32},  {0x0496, 512}, {0x0492, 1024}, {0x044D, 256}};
  host.verifyAfterWrite = false;  // the flash is compared here; the read-back has its own tests
  unsigned seed = 100;
  for (auto [id, kb] : parts) {
    SCOPED_TRACE(::testing::Message() << std::hex << id);
    StartSim(Stm32SimProfile::ForProduct(id, kb));
    const uint32_t flash = sim->profile().FlashBytes();
    const auto old = RandomBytes(flash, seed);
    sim->Preload(0, old);
    // Most of the flash, not on a unit boundary.
    const auto image = RandomBytes(flash / 8 * 7 - 1000, seed + 1);
    WriteFile("big.bin", image);
    ASSERT_TRUE(Download(120000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    auto padded = image;
    padded.resize((image.size() + sim->profile().programBytes - 1) / sim->profile().programBytes *
                      sim->profile().programBytes,
                  sim->profile().erasedValue);
    ExpectOnlyTheImagesUnitsChanged(*sim, padded, old);
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();
    ++seed;
    if (HasFailure()) return;
  }
}

// The second bank, numbered as the boot loader numbers it: where its
// numbers do not follow bank 1's (F429) and where they do.
TEST_F(Stm32Lines, SecondBankUnitsAreNumberedAsThePartNumbersThem) {
  struct Case {
    uint16_t id;
    uint32_t flashKB;
    uint32_t imageKB;
    const char* ranges;  // the log's erase lines
  };
  const Case cases[] = {
      {0x0419, 2048, 1044, "擦除页[ 0 .. 13 ]"},                       // F429: sectors 12, 13 in bank 2
      {0x0450, 2048, 1100, "擦除页[ 0 .. 8 ]"},                        // H743
      {0x0482, 2048, 1100, "擦除页[ 0 .. 137 ]"},                      // U575 2 MB: bank 2 from page 128
      {0x0455, 512, 300, "擦除页[ 0 .. 37 ]"},                         // U535 512 KB: bank 2 from page 32
      {0x0478, 512, 300, "擦除页[ 0 .. 37 ]"},                         // H523 512 KB: bank 2 from sector 32
  };
  unsigned seed = 300;
  host.verifyAfterWrite = false;  // the flash is compared here
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.id);
    StartSim(Stm32SimProfile::ForProduct(c.id, c.flashKB));
    const uint32_t flash = sim->profile().FlashBytes();
    const auto old = RandomBytes(flash, seed);
    sim->Preload(0, old);
    const auto image = RandomBytes(c.imageKB * 1024, seed + 1);
    WriteFile("fw.bin", image);
    ASSERT_TRUE(Download(60000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_TRUE(host.log.contains(QStringLiteral("存储容量 Flash:%1 KB").arg(c.flashKB)));
    QStringList erased;
    for (const QString& l : host.log)
      if (l.startsWith(QStringLiteral("擦除页"))) erased << l;
    EXPECT_EQ(erased.join('|'), QString::fromUtf8(c.ranges));
    ExpectOnlyTheImagesUnitsChanged(*sim, image, old);
    ++seed;
  }
}

// Parts whose page size follows an option bit (G47x, L4+, L5): read from
// the part; when the option cannot be read nothing is erased by guess.
TEST_F(Stm32Lines, BankModeOptionDecidesThePageSize) {
  Stm32SimProfile single = Stm32SimProfile::ForProduct(0x0469);
  single.optionWord &= ~(1u << 22);  // DBANK cleared: one bank of 4 KB pages
  single.eraseUnits.assign(128, 4096);
  single.unitNumbers.clear();
  single.bank1Units = 0;
  single.eraseUnitMs.assign(128, 22);
  const auto image = RandomBytes(5 * 1024, 400);
  for (bool dual : {true, false}) {
    SCOPED_TRACE(dual);
    StartSim(dual ? Stm32SimProfile::ForProduct(0x0469) : single);
    const auto old = RandomBytes(64 * 1024, 401);
    sim->Preload(0, old);
    WriteFile("fw.bin", image);
    ASSERT_TRUE(Download(20000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    ExpectOnlyTheImagesUnitsChanged(*sim, image, old);
  }
  Stm32SimProfile hidden = Stm32SimProfile::ForProduct(0x0470);
  hidden.optionAddress = 0;  // the boot loader does not show it,
  hidden.optionBytes.clear();  // nor the option-byte area around it
  StartSim(hidden);
  WriteFile("fw.bin", image);
  ASSERT_TRUE(Download(20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("读不出选项字节，不知道 Bank 模式和页大小，为免丢失数据不擦除"));
  EXPECT_EQ(sim->erasesDone(), 0);
}

// The size register where the boot loader does not read it (L43x): the
// line's largest is assumed and said; where the second bank's place then
// depends on the unknown size, nothing is erased.
TEST_F(Stm32Lines, FlashSizeThePartDoesNotTell) {
  StartSim(Stm32SimProfile::ForProduct(0x0435, 128));
  const auto old = RandomBytes(128 * 1024, 500);
  sim->Preload(0, old);
  const auto image = RandomBytes(70 * 1024, 501);
  WriteFile("fw.bin", image);
  ASSERT_TRUE(Download(20000)) << sim->failure();
  ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
  EXPECT_TRUE(host.log.contains(QStringLiteral("读不出 Flash 容量，按此系列最大的 256 KB")));
  ExpectOnlyTheImagesUnitsChanged(*sim, image, old);

  Stm32SimProfile l4 = Stm32SimProfile::ForProduct(0x0415, 512);
  l4.flashSizeReadable = false;
  StartSim(l4);
  WriteFile("fw.bin", RandomBytes(200 * 1024, 502));
  ASSERT_TRUE(Download(20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("读不出 Flash 容量，第二个 Bank 的页号不能确定，为免丢失数据不擦除"));
  EXPECT_EQ(sim->erasesDone(), 0);

  // L1 category 4 codes its size in one bit: 0 is 384 KB, 1 is 256 KB.
  for (uint32_t kb : {384u, 256u}) {
    StartSim(Stm32SimProfile::ForProduct(0x0436, kb));
    WriteFile("fw.bin", RandomBytes(2000, 503));
    ASSERT_TRUE(Download(20000)) << sim->failure();
    EXPECT_TRUE(host.log.contains(QStringLiteral("存储容量 Flash:%1 KB").arg(kb)));
    EXPECT_EQ(host.status, QStringLiteral("上载完成！"));
  }
}

// Parts whose map an option bit or the flash size changes, each in the mode
// it is set to, take an image filling most of their flash over earlier
// firmware (no-delay link): the option is read, the sectors or pages of
// that mode erased, and the flash past the image's units left as it was.
TEST_F(Stm32Lines, EachBankModeFillsMostOfItsFlash) {
  struct Case {
    uint16_t id;
    uint32_t flashKB;
    std::optional<uint32_t> option;  // empty: as the factory sets it
    const char* firstErase;          // the log's first erase line
  };
  const Case cases[] = {
      {0x0419, 1024, std::nullopt, "擦除页[ 0 .. 10 ]"},            // F429xG: DB1M cleared, one bank
      {0x0419, 1024, 0xFFFFFFFFu, "擦除页[ 0 .. 7 ]"},              // DB1M set: sectors 12.. in bank 2
      {0x0451, 1024, std::nullopt, "擦除页[ 0 .. 7 ]"},             // F767xG: nDBANK set, 32 KB sectors
      {0x0451, 2048, 0xFFFFDFFFu, "擦除页[ 0 .. 21 ]"},             // F767xI: nDBANK cleared, 16 KB .. 128 KB sectors
      {0x0467, 512, ~(1u << 21), "擦除页[ 0 .. 223 ]"},            // G0B1xE: one bank of 256 pages
      {0x0470, 1024, ~(1u << 21), "擦除页[ 0 .. 111 ]"},            // L4R9xG: DB1M cleared, 8 KB pages
      {0x0470, 2048, ~(1u << 22), "擦除页[ 0 .. 223 ]"},           // L4R9xI: 8 KB pages, one bank
      {0x0472, 256, ~((1u << 21) | (1u << 20)), "擦除页[ 0 .. 55 ]"},  // L552xC: DB256K cleared, 4 KB pages
      {0x0436, 256, std::nullopt, "擦除页[ 0 .. 892 ]"},            // L1 cat. 4 of 256 KB (size bit 1)
  };
  host.verifyAfterWrite = false;  // the flash is compared here
  unsigned seed = 700;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.id << std::dec << " " << c.flashKB << " KB");
    StartSim(c.option ? Stm32SimProfile::ForProduct(c.id, c.flashKB, *c.option)
                      : Stm32SimProfile::ForProduct(c.id, c.flashKB));
    const uint32_t flash = sim->profile().FlashBytes();
    ASSERT_EQ(flash, c.flashKB * 1024);
    const auto old = RandomBytes(flash, seed);
    sim->Preload(0, old);
    const auto image = RandomBytes(flash / 8 * 7 - 1000, seed + 1);
    WriteFile("big.bin", image);
    ASSERT_TRUE(Download(120000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_TRUE(host.log.contains(QStringLiteral("存储容量 Flash:%1 KB").arg(c.flashKB)));
    QString firstErase;
    for (const QString& l : host.log)
      if (firstErase.isEmpty() && l.startsWith(QStringLiteral("擦除页"))) firstErase = l;
    EXPECT_EQ(firstErase, QString::fromUtf8(c.firstErase));
    auto padded = image;
    const uint32_t unit = sim->profile().programBytes;
    padded.resize((image.size() + unit - 1) / unit * unit, sim->profile().erasedValue);
    ExpectOnlyTheImagesUnitsChanged(*sim, padded, old);
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();
    ++seed;
    if (HasFailure()) return;
  }
}

// H743xG and H7A3xG, 1 MB: bank 2 at 0x08100000, nothing between. A file
// for bank 1 goes in; one with data for bank 2 is refused (which number the
// boot loader gives bank 2's sectors on this size is not established), and
// one that runs on past bank 1 is refused too, before anything is erased.
// A line whose bank bit depends on a size the part does not tell erases
// nothing either.
TEST_F(Stm32Lines, BanksKeptApartAndSizesThatChooseTheBit) {
  host.verifyAfterWrite = false;
  for (uint16_t id : {uint16_t{0x0450}, uint16_t{0x0480}}) {
    SCOPED_TRACE(::testing::Message() << std::hex << id);
    StartSim(Stm32SimProfile::ForProduct(id, 1024));
    ASSERT_EQ(sim->profile().SpanBytes(), 1536u * 1024);
    const auto oldLow = RandomBytes(512 * 1024, 800);
    const auto oldHigh = RandomBytes(512 * 1024, 801);
    sim->Preload(0, oldLow);
    sim->Preload(1024 * 1024, oldHigh);
    const auto low = RandomBytes(380 * 1024, 802);
    const auto high = RandomBytes(380 * 1024, 803);
    WriteFile("two.hex", ToHex(low, false) + ToHex(high, true, 0x08100000));
    ASSERT_TRUE(Download(120000)) << sim->failure();
    EXPECT_TRUE(host.log.last().contains(QStringLiteral("第二个 Bank（0x08100000 起）的页号未经核实"))) << host.log.last().toStdString();
    EXPECT_EQ(sim->erasesDone(), 0);
    EXPECT_EQ(sim->Flash(1024 * 1024, 512 * 1024), oldHigh);

    WriteFile("low.hex", ToHex(low, true));
    ASSERT_TRUE(Download(120000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    const uint32_t end = 384 * 1024;  // both 128 KB sectors and 8 KB sectors end here
    EXPECT_EQ(sim->Flash(0, 380 * 1024), low);
    EXPECT_EQ(sim->Flash(380 * 1024, 4 * 1024), std::vector<uint8_t>(4 * 1024, 0xFF));
    EXPECT_EQ(sim->Flash(end, 128 * 1024), std::vector<uint8_t>(oldLow.begin() + end, oldLow.end()));
    EXPECT_EQ(sim->Flash(1024 * 1024, 512 * 1024), oldHigh);
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();

    // A binary of 600 KB reaches 0x08080000, where this part has no flash.
    StartSim(Stm32SimProfile::ForProduct(id, 1024));
    WriteFile("long.bin", RandomBytes(600 * 1024, 804));
    ASSERT_TRUE(Download(20000));
    EXPECT_EQ(host.log.last(), QStringLiteral("映像在 0x08080000 处的数据不在 Flash 之内（此器件在那里没有 Flash），为免丢失数据不擦除"));
    EXPECT_EQ(sim->erasesDone(), 0);
  }

  // L552 with SWAP_BANK set: bank 2 sits at the flash base, and which bank
  // a page number names is not known.
  StartSim(Stm32SimProfile::ForProduct(0x0472, 512, 0xFFFFFFFFu));
  WriteFile("fw.bin", RandomBytes(4096, 806));
  ASSERT_TRUE(Download(20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("选项字节 SWAP_BANK 已置位：两个 Bank 的地址互换，不知道页号对应哪个 Bank，为免丢失数据不擦除"));
  EXPECT_EQ(sim->erasesDone(), 0);

  // L552 with its size hidden: DBANK or DB256K could be the bit.
  Stm32SimProfile l5 = Stm32SimProfile::ForProduct(0x0472, 256, 1u << 21);
  l5.flashSizeReadable = false;
  StartSim(l5);
  WriteFile("fw.bin", RandomBytes(4096, 805));
  ASSERT_TRUE(Download(20000));
  EXPECT_EQ(host.log.last(), QStringLiteral("读不出 Flash 容量，不知道哪个选项位决定 Bank 模式，为免丢失数据不擦除"));
  EXPECT_EQ(sim->erasesDone(), 0);
}

// Parts whose bank-2 numbers the boot loader is not known to share: an
// image inside bank 1 goes in and leaves bank 2 as it was; one reaching
// into bank 2 is refused before anything is erased, naming the part, and
// so is an erase of a range there. An image holding every page of bank 2
// goes in through the bank erase.
TEST_F(Stm32Lines, SecondBankOfUnsureNumberingIsNeverErasedByNumber) {
  struct Case {
    uint16_t id;
    uint32_t flashKB;
    std::optional<uint32_t> option;
    const char* name;
  };
  const Case cases[] = {
      {0x0415, 512, std::nullopt, "STM32L47xxx/48xxx (512 KB)"},
      {0x0467, 256, std::nullopt, "STM32G0B0xx/B1xx/C1xx (256 KB)"},
      {0x0482, 1024, std::nullopt, "STM32U575xx/585xx (1024 KB)"},
      {0x0469, 512, std::nullopt, "STM32G47xxx/48xxx (512 KB)"},
      {0x0470, 1024, 1u << 21, "STM32L4Rxx/4Sxx (1024 KB)"},
      {0x0472, 256, 1u << 21, "STM32L552xx/562xx (256 KB)"},
  };
  host.verifyAfterWrite = false;
  unsigned seed = 900;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.id << std::dec << " " << c.flashKB << " KB");
    const Stm32SimProfile profile = c.option ? Stm32SimProfile::ForProduct(c.id, c.flashKB, *c.option)
                                             : Stm32SimProfile::ForProduct(c.id, c.flashKB);
    const uint32_t flash = c.flashKB * 1024;
    const uint32_t bank = flash / 2;
    const auto old = RandomBytes(flash, seed++);

    StartSim(profile);
    sim->Preload(0, old);
    WriteFile("fw.bin", RandomBytes(bank + 4096, seed++));
    ASSERT_TRUE(Download(60000)) << sim->failure();
    EXPECT_EQ(host.log.last(), QString::fromUtf8(c.name) +
                                   QStringLiteral("：第二个 Bank（0x%1 起）的页号未经核实，不知道启动程序认哪种编号，"
                                                  "为免擦错页不擦除；映像只在第一个 Bank 之内、或写满第二个 Bank 的每一页时可以下载")
                                       .arg(QStringLiteral("%1").arg(0x08000000u + bank, 8, 16, QLatin1Char('0')).toUpper()));
    EXPECT_EQ(sim->erasesDone(), 0);
    EXPECT_EQ(sim->Flash(0, flash), old);

    IspJob erase;
    erase.kind = IspJobKind::Erase;
    erase.address = 0x08000000u + bank;
    erase.length = 8192;
    ASSERT_TRUE(Run(erase, 20000));
    EXPECT_TRUE(host.log.last().contains(QStringLiteral("页号未经核实"))) << host.log.last().toStdString();
    EXPECT_EQ(sim->erasesDone(), 0);

    // All of bank 1 but a little: its pages go, bank 2 keeps what it held.
    StartSim(profile);
    sim->Preload(0, old);
    const auto image = RandomBytes(bank - 1000, seed++);
    WriteFile("fw.bin", image);
    ASSERT_TRUE(Download(120000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(image.size())), image);
    EXPECT_EQ(sim->Flash(bank, bank), std::vector<uint8_t>(old.begin() + bank, old.end()));
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();

    StartSim(profile);
    sim->Preload(0, old);
    const auto full = RandomBytes(flash - 1000, seed++);
    WriteFile("fw.bin", full);
    ASSERT_TRUE(Download(120000)) << sim->failure();
    ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
    EXPECT_TRUE(host.log.contains(QStringLiteral("擦除整个 Bank 2")));
    EXPECT_EQ(sim->Flash(0, flash - 1000), full);
    EXPECT_EQ(sim->Flash(flash - 1000, 1000), std::vector<uint8_t>(1000, sim->profile().erasedValue));
    EXPECT_TRUE(sim->failure().empty()) << sim->failure();
    if (HasFailure()) return;
  }
}

// After the erase, a block of nothing but erased flash is not written; the
// verify still reads it and catches a cell that did not erase. A HEX file's
// gaps are neither erased nor written.
TEST_F(Stm32Lines, BlankBlocksAreSkippedButVerified) {
  std::vector<uint8_t> sparse(256 * 1024, 0xFF);
  const auto data = RandomBytes(sparse.size(), 600);
  for (size_t block = 0; block < sparse.size() / 256; block += 4)
    std::copy(data.begin() + block * 256, data.begin() + block * 256 + 256, sparse.begin() + block * 256);
  StartSim(0x0413);
  sim->Preload(0, RandomBytes(512 * 1024, 601));
  WriteFile("sparse.bin", sparse);
  ASSERT_TRUE(Download(60000)) << sim->failure();
  ASSERT_EQ(host.status, QStringLiteral("上载完成！"));
  EXPECT_EQ(sim->blocksWritten(), 256);  // a quarter of the 1024 blocks
  EXPECT_EQ(sim->Flash(0, static_cast<uint32_t>(sparse.size())), sparse);

  Stm32SimOptions o;
  o.stuckCell = 256 * 5 + 17;  // in a blank block
  StartSim(0x0413, o);
  sim->Preload(0, RandomBytes(64 * 1024, 602));
  const uint8_t stuck = sim->Flash(static_cast<uint32_t>(o.stuckCell), 1)[0];
  ASSERT_TRUE(Download(60000));
  EXPECT_EQ(host.log.last(), QStringLiteral("校验错误: 地址 0x08000511 读出 0x%1，应为 0xff").arg(stuck, 2, 16, QLatin1Char('0')));

  // Code at the flash base and a table at 0x08006000, the pages between
  // (settings, say) left out of the file: only the pages with the file's
  // data are erased and written.
  StartSim(0x0414);
  const auto old = RandomBytes(32 * 1024, 603);
  sim->Preload(0, old);
  const auto code = RandomBytes(3000, 604);
  const auto table = RandomBytes(64, 605);
  WriteFile("two.hex", ToHex(code, false) + ToHex(table, true, 0x08006000));
  ASSERT_TRUE(Download(20000)) << sim->failure();
  ASSERT_EQ(host.status, QStringLiteral("上载完成！")) << host.log.join('\n').toStdString();
  EXPECT_EQ(sim->ErasedUnits(), (std::vector<uint32_t>{0, 1, 12}));
  EXPECT_EQ(sim->Flash(0, 3000), code);
  EXPECT_EQ(sim->Flash(4096, 0x6000 - 4096), std::vector<uint8_t>(old.begin() + 4096, old.begin() + 0x6000));
  EXPECT_EQ(sim->Flash(0x6000, 64), table);
  EXPECT_EQ(sim->Flash(0x6040, 0x800 - 0x40), std::vector<uint8_t>(0x800 - 0x40, 0xFF));
  EXPECT_EQ(sim->Flash(0x6800, 0x1000), std::vector<uint8_t>(old.begin() + 0x6800, old.begin() + 0x7800));
  EXPECT_EQ(sim->blocksWritten(), 13);  // 12 blocks of code, one of the table
}

}  // namespace
