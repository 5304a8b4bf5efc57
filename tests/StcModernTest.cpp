// The byte layer of STC10/11/12, STC15 and STC8 against real parts' packets
// (public dumps and reports): frames, status packets, option bytes, trim
// arithmetic and the model table.
#include <gtest/gtest.h>

#include <QString>

#include "isp/stc/StcFrames.h"
#include "isp/stc/StcModern.h"

using namespace stc;

namespace {

std::vector<uint8_t> Hex(const char* text) { return HexToBytes(QString::fromLatin1(text).remove(QLatin1Char(' '))); }

std::vector<uint8_t> PayloadOf(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> p;
  EXPECT_TRUE(ParseFrame16(frame, p));
  return p;
}

// Status packets as real parts sent them.
const char* kStc12C5A60S2 =
    "46 B9 68 00 31 50 04 BD 04 BC 04 BC 04 BD 04 BC 04 BC 04 BC 04 BC 62 49 00 D1 7E 8C FF 7F F7 FF "
    "FF FF 00 00 00 03 00 B0 02 2E 6B 00 CD 80 00 00 11 7E 16";
const char* kStc15W4K56S4 =
    "46 B9 68 00 34 50 8D FF 73 96 F7 BC 9F 00 5B 7A C0 FD 27 ED 00 00 73 54 00 F5 28 04 06 70 96 02 "
    "15 19 1C 1E 23 00 EC E0 04 D7 EA 92 FF FF FF 15 09 25 60 14 BD 16";
const char* kIap15F2K61S2 =
    "46 B9 68 00 2B 50 87 D3 75 9C F7 BB 9F 00 A8 AD 40 FD 09 FE 00 00 71 53 00 F4 49 04 06 58 9C 02 "
    "0E 14 17 19 19 00 F4 F4 04 D2 0F 62 16";
const char* kStc15L2K16S2 =
    "46 B9 68 00 34 50 6C EA 7C 91 F7 BA 9E 00 A8 D7 70 FD 27 02 FF FF 72 53 00 F4 82 04 06 70 91 02 "
    "18 1C 21 23 24 00 F4 40 04 DB FF 7C BF FF FF 15 07 21 51 15 6E 16";
const char* kStc8H1K08 =
    "46 B9 68 00 38 50 FF FF FF FF C5 10 04 FF FF BF FD FF 26 DB F5 20 73 55 00 F7 34 0D 89 1C 9C C5 "
    "0F 1F 20 FF 00 30 00 20 04 A6 23 08 15 32 FF 6A 20 48 74 91 AC D8 FF 18 AC 16";
const char* kStc8F2K08S2 =
    "46 B9 68 00 30 50 FF FF FF FF 8F 00 04 FF FF 8B FD FF 27 3E F5 73 73 55 00 F6 41 0A 88 86 6F 8F "
    "08 20 20 20 01 00 00 20 05 3C 18 05 22 32 FF 12 18 16";
const char* kStc8Trimmed20MHz =
    "46 B9 68 00 30 50 01 31 2E 90 38 01 01 FF FD 8B BF FF 27 35 F7 FE 73 55 00 F6 28 09 85 E3 5F 80 "
    "07 20 20 20 01 00 00 FE 05 3A 17 05 25 91 FF 10 54 16";

}  // namespace

// Our frames are the parts' frames: each real packet rebuilt from its
// payload comes out byte for byte, and a few host packets of the dumps are
// what the builders make.
TEST(StcModern, FramesAsRealPartsSendThem) {
  for (const char* dump : {kStc12C5A60S2, kStc15W4K56S4, kIap15F2K61S2, kStc15L2K16S2, kStc8H1K08, kStc8F2K08S2,
                           kStc8Trimmed20MHz}) {
    const std::vector<uint8_t> frame = Hex(dump);
    EXPECT_EQ(Frame16(PayloadOf(frame), 0x68), frame) << dump;
    // One byte off anywhere: no frame.
    std::vector<uint8_t> damaged = frame;
    damaged[10] ^= 0x01;
    std::vector<uint8_t> p;
    EXPECT_FALSE(ParseFrame16(damaged, p));
  }
  EXPECT_EQ(Frame16(Stc12Handshake(0xD17E)), Hex("46 B9 6A 00 0D 50 00 00 36 01 D1 7E 02 4D 16"));
  EXPECT_EQ(Frame16(Stc12Finish(0xD17E)), Hex("46 B9 6A 00 0D 69 00 00 36 01 D1 7E 02 66 16"));
  // The end packets STC15 (82) and STC8 (FF) parts were sent.
  EXPECT_EQ(Frame16({0x82}), Hex("46 B9 6A 00 07 82 00 F3 16"));
  EXPECT_EQ(Frame16({0xFF}), Hex("46 B9 6A 00 07 FF 01 70 16"));
  EXPECT_EQ(Frame16(ModernPrepare(false)), Hex("46 B9 6A 00 07 05 00 76 16"));
  EXPECT_EQ(Frame16(ModernErase(false)), Hex("46 B9 6A 00 08 03 00 00 75 16"));
  EXPECT_EQ(Frame16(ModernPrepare(true)), Hex("46 B9 6A 00 0B 05 00 00 5A A5 01 79 16"));
  EXPECT_EQ(Frame16(ModernErase(true)), Hex("46 B9 6A 00 0B 03 00 00 5A A5 01 77 16"));
  EXPECT_EQ(Frame16(ChallengePacket(Stc15FirstRound(), 12)),
            Hex("46 B9 6A 00 20 00 0B 00 C0 80 C0 FF C0 00 80 80 80 FF 80 00 40 80 40 FF 40 00 00 80 00 00 00 0A 12 16"));
  EXPECT_EQ(Frame16(ChallengePacket(Stc8FirstRound(), 2)), Hex("46 B9 6A 00 0C 00 02 00 00 80 00 00 F8 16"));
  // STC8 switch to 115200 on its 24 MHz programming clock, trim 7C.
  const ModernSpeed stc8 = PlanModernSpeed(Protocol::Stc8, kStc8ProgramHz);
  EXPECT_EQ(stc8.baud, 115200u);
  EXPECT_EQ(Frame16(Stc8Switch({0x7C, 0x02}, stc8)), Hex("46 B9 6A 00 0E 01 00 00 FF CC 01 7C 80 03 41 16"));
  // STC12 at 9600 on 20 MHz: reload 7E, delay A0, the wait for 20 MHz.
  const ModernSpeed stc12 = {9600, 0x7E, 9615};
  const std::vector<uint8_t> test = Stc12SpeedPacket(0x8F, stc12, ModernIapWait(Protocol::Stc12, 20e6));
  EXPECT_EQ(test, (std::vector<uint8_t>{0x8F, 0xC0, 0x7E, 0x3F, 0x04, 0xA0, 0x81}));
  // STC15 switch: the programming trim, the reload (9600 at 22.1184 MHz:
  // FDC0 as the IAP15F2K61S2 dump has it), the wait for 22.1184 MHz.
  const std::vector<uint8_t> sw = Stc15Switch({0x74, 0x40}, {9600, 0xFDC0, 9600}, ModernIapWait(Protocol::Stc15, 0));
  const std::vector<uint8_t> dump = {0x01, 0x74, 0x40, 0xFD, 0xC0};
  EXPECT_TRUE(std::equal(dump.begin(), dump.end(), sw.begin()));
  EXPECT_EQ(sw.back(), 0x81);
}

// What the status packets tell, against what the public reports decoded
// from the same packets.
TEST(StcModern, StatusPacketsOfRealParts) {
  PartStatus s = ParseStatus(Protocol::Stc12, PayloadOf(Hex(kStc12C5A60S2)), 9600);
  ASSERT_TRUE(s.valid);
  EXPECT_EQ(s.magic, 0xD17E);
  EXPECT_EQ(VersionString(s), QStringLiteral("6.2I"));
  EXPECT_NEAR(s.clockHz, 20e6, 20e6 * 0.003);  // a 20 MHz crystal
  EXPECT_EQ(s.mcs, (std::vector<uint8_t>{0xFF, 0x7F, 0xF7, 0xFF}));
  EXPECT_EQ(OptionValueName(Protocol::Stc12, s.mcs, QStringLiteral("clock_source")), QStringLiteral("external"));

  s = ParseStatus(Protocol::Stc15, PayloadOf(Hex(kStc15W4K56S4)), 2400);
  EXPECT_EQ(s.magic, 0xF528);
  EXPECT_EQ(VersionString(s), QStringLiteral("7.3.4T"));
  EXPECT_FALSE(s.externalClock);
  EXPECT_EQ(s.clockHz, 0x005B7AC0);
  EXPECT_TRUE(UsesGuardBytes(s));

  s = ParseStatus(Protocol::Stc15, PayloadOf(Hex(kIap15F2K61S2)), 9600);
  EXPECT_EQ(VersionString(s), QStringLiteral("7.1.4S"));
  EXPECT_EQ(s.clockHz, 11054400);
  EXPECT_FALSE(UsesGuardBytes(s));

  // STC15L2K16S2 on a crystal, pulses at 2400: 23.966 MHz, and the options
  // the report lists.
  s = ParseStatus(Protocol::Stc15, PayloadOf(Hex(kStc15L2K16S2)), 2400);
  EXPECT_TRUE(s.externalClock);
  EXPECT_NEAR(s.clockHz, 23.966e6, 1e3);
  const struct {
    const char* name;
    const char* value;
  } l2k16[] = {{"reset_pin", "io"},         {"clock_source", "external"}, {"clock_gain", "high"},
               {"watchdog", "off"},         {"watchdog_idle_stop", "on"}, {"watchdog_prescale", "256"},
               {"low_voltage_reset", "on"}, {"lvd_level", "2"},           {"eeprom_erase", "off"},
               {"boot_pins", "off"},        {"por_delay", "long"}};
  for (const auto& o : l2k16)
    EXPECT_EQ(OptionValueName(Protocol::Stc15, s.mcs, QLatin1String(o.name)), QLatin1String(o.value)) << o.name;

  s = ParseStatus(Protocol::Stc8, PayloadOf(Hex(kStc8H1K08)), 2400);
  EXPECT_EQ(s.magic, 0xF734);
  EXPECT_EQ(VersionString(s), QStringLiteral("7.3.13U"));
  EXPECT_EQ(s.clockHz, 0);  // never trimmed
  const struct {
    const char* name;
    const char* value;
  } h1k08[] = {{"reset_pin", "io"},          {"clock_gain", "high"},        {"watchdog", "off"},
               {"watchdog_idle_stop", "on"}, {"watchdog_prescale", "64"},   {"low_voltage_reset", "off"},
               {"lvd_level", "2.7v"},        {"eeprom_erase", "on"},        {"boot_pins", "off"},
               {"por_delay", "long"}};
  for (const auto& o : h1k08)
    EXPECT_EQ(OptionValueName(Protocol::Stc8, s.mcs, QLatin1String(o.name)), QLatin1String(o.value)) << o.name;

  s = ParseStatus(Protocol::Stc8, PayloadOf(Hex(kStc8F2K08S2)), 2400);
  EXPECT_EQ(VersionString(s), QStringLiteral("7.3.10U"));
  EXPECT_EQ(OptionValueName(Protocol::Stc8, s.mcs, QStringLiteral("watchdog_prescale")), QStringLiteral("64"));
  s = ParseStatus(Protocol::Stc8, PayloadOf(Hex(kStc8Trimmed20MHz)), 2400);
  EXPECT_EQ(s.clockHz, 20000400);
}

// Each dump's magic, with its boot loader's version, names its model.
TEST(StcModern, ModelTable) {
  const struct {
    const char* dump;
    const char* name;
    uint32_t code, eeprom;
  } parts[] = {{kStc12C5A60S2, "STC12C5A60S2", 61440, 2048},  {kStc15W4K56S4, "STC15W4K56S4", 57344, 3072},
               {kIap15F2K61S2, "IAP15F2K61S2", 62464, 0},      {kStc15L2K16S2, "STC15L2K16S2", 16384, 46080},
               {kStc8H1K08, "STC8H1K08", 8192, 4096},          {kStc8F2K08S2, "STC8F2K08S2", 8192, 57344},
               {kStc8Trimmed20MHz, "STC8A8K64S4A12", 65024, 512}};
  for (const auto& p : parts) {
    const std::vector<uint8_t> payload = PayloadOf(Hex(p.dump));
    const PartRow* row = FindPart(*StatusMagic(payload), payload[17]);
    ASSERT_NE(row, nullptr) << p.name;
    EXPECT_STREQ(row->name, p.name);
    EXPECT_EQ(row->codeFlash, p.code);
    EXPECT_EQ(row->eeprom, p.eeprom);
  }
  EXPECT_EQ(StatusMagic({0x80, 0x00}), std::nullopt);
}

// Options: only what is named changes; a name or value the family does not
// have is refused, naming it.
TEST(StcModern, OptionsChangeOnlyWhatIsAsked) {
  const std::vector<uint8_t> mcs = ParseStatus(Protocol::Stc8, PayloadOf(Hex(kStc8H1K08)), 2400).mcs;
  QString error;
  const std::vector<uint8_t> set =
      ApplyOptions(Protocol::Stc8, mcs, {{QStringLiteral("reset_pin"), QStringLiteral("reset")},
                                         {QStringLiteral("lvd_level"), QStringLiteral("3.0V")}},
                   error);
  ASSERT_EQ(set.size(), mcs.size()) << error.toStdString();
  for (const OptionDef* d : OptionsOf(Protocol::Stc8)) {
    const QString now = OptionValueName(Protocol::Stc8, set, QLatin1String(d->name));
    if (QLatin1String(d->name) == QLatin1String("reset_pin")) EXPECT_EQ(now, QStringLiteral("reset"));
    else if (QLatin1String(d->name) == QLatin1String("lvd_level")) EXPECT_EQ(now, QStringLiteral("3.0v"));
    else EXPECT_EQ(now, OptionValueName(Protocol::Stc8, mcs, QLatin1String(d->name))) << d->name;
  }
  // Bits no option covers are left as they are.
  EXPECT_EQ(set[2] & ~(0x10 | 0x03), mcs[2] & ~(0x10 | 0x03));
  EXPECT_EQ(set[4], mcs[4]);

  EXPECT_TRUE(ApplyOptions(Protocol::Stc8, mcs, {{QStringLiteral("clock_source"), QStringLiteral("external")}}, error)
                  .empty());
  EXPECT_TRUE(error.contains(QStringLiteral("clock_source")));
  EXPECT_TRUE(ApplyOptions(Protocol::Stc15, {0xFF, 0xFF, 0xF7, 0xBB, 0x9F, 0xFD, 0xFF},
                           {{QStringLiteral("watchdog_prescale"), QStringLiteral("300")}}, error)
                  .empty());
  EXPECT_TRUE(error.contains(QStringLiteral("300")));
  EXPECT_EQ(DescribeOptions(Protocol::Stc8, mcs).size(), static_cast<qsizetype>(OptionsOf(Protocol::Stc8).size()));
}

// The second round sits where the maker's program put it, given the first
// round's counts of real parts (STC15W4K56S4 at 2400 bit/s, IAP15F2K61S2
// at 9600, an STC8 at 2400), within two trim steps.
TEST(StcModern, TrimRoundsFollowRealMeasurements) {
  auto hz = [](std::vector<uint16_t> counts, uint32_t baud) {
    std::vector<double> f;
    for (uint16_t c : counts) f.push_back(CountToHz(c, baud));
    return f;
  };
  const std::vector<double> w4 = hz({0x0D21, 0x12BC, 0x183E, 0x1A05, 0x24FA, 0x2FB3, 0x34D1, 0x4A52, 0x5EC0,
                                     0x52DB, 0x731A},
                                    2400);
  std::vector<Trim> user = Stc15Around(w4, 11059200);
  ASSERT_EQ(user.size(), 6u);
  EXPECT_EQ(user[0].b, 0x80);
  EXPECT_NEAR(user[0].a, 0x71, 2);  // the dump: 71..76 80
  std::vector<Trim> prog = Stc15Around(w4, kStc15ProgramHz);
  EXPECT_EQ(prog[0].b, 0x40);
  EXPECT_NEAR(prog[0].a, 0x6F, 2);  // 6F..74 40

  const std::vector<double> iap = hz({0x0337, 0x049A, 0x0602, 0x066B, 0x0927, 0x0BE8, 0x0D0A, 0x125A, 0x179B,
                                      0x148F, 0x1C96},
                                     9600);
  user = Stc15Around(iap, 11059200);
  EXPECT_EQ(user[0].b, 0x80);
  EXPECT_NEAR(user[0].a, 0x75, 2);  // 75..7A 80
  prog = Stc15Around(iap, kStc15ProgramHz);
  EXPECT_EQ(prog[0].b, 0x40);
  EXPECT_NEAR(prog[0].a, 0x74, 2);  // 74..79 40

  const std::vector<Trim> stc8 = Stc8Around(hz({0x36AD, 0x4E83}, 2400), 24e6);
  ASSERT_EQ(stc8.size(), 12u);
  EXPECT_NEAR(stc8[0].a, 0x7C, 2);  // 7C 00 .. 7E 03
  EXPECT_EQ(stc8[3].b, 3);

  // The nearest measured trim, with its error.
  const TrimChoice c = Nearest({{1, 0}, {2, 0}, {3, 0}}, {23.9e6, 24.01e6, 24.2e6}, 24e6);
  EXPECT_EQ(c.trim, (Trim{2, 0}));
  EXPECT_NEAR(c.errorPercent, 0.0417, 0.001);

  // Dividers keep the oscillator in its band.
  for (double mhz : {6.0, 11.0592, 24.0, 35.0, 1.0, 0.6}) {
    const int d = Stc8Divider(mhz * 1e6);
    ASSERT_GT(d, 0) << mhz;
    EXPECT_GE(mhz * 1e6 * d, kStc8BandLowHz);
    EXPECT_LE(mhz * 1e6 * d, kStc8BandHighHz);
  }
  EXPECT_EQ(Stc8Divider(11059200), 2);
  EXPECT_EQ(Stc8Divider(0.3e6), 0);
  // The refusal names band low / 32 up to band high as reachable: every
  // target in between has a divider, the lowest ones only 32.
  for (double hz = kStc8BandLowHz / 32; hz <= kStc8BandHighHz; hz += 997) ASSERT_GT(Stc8Divider(hz), 0) << hz;
  EXPECT_EQ(Stc8Divider(kStc8BandLowHz / 32), 32);
  EXPECT_EQ(Stc8Divider(0.516e6), 32);
  EXPECT_EQ(Stc8Divider(kStc8BandHighHz), 1);
  EXPECT_EQ(Stc8Divider(kStc8BandLowHz / 32 - 1), 0);
  EXPECT_EQ(Stc8Divider(kStc8BandHighHz + 1), 0);
}

// Option packets put the trim, frequency and option bytes where the parts'
// own option packets have them.
TEST(StcModern, OptionPacketsLikeTheDumps) {
  // STC15W4K56S4's option packet: trim 74 in range 80, 11047200 Hz.
  const std::vector<uint8_t> w4 = Hex(
      "46 B9 6A 00 4B 04 00 00 5A A5 FF FF FF 00 FF FF 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
      "00 00 FF A8 FF 91 FF 20 FF FD 03 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
      "FF EC FF FF FF 74 BF F7 BC 9F 39 51 16");
  PartStatus s = ParseStatus(Protocol::Stc15, PayloadOf(Hex(kStc15W4K56S4)), 2400);
  std::vector<uint8_t> mcs = s.mcs;
  mcs[6] = 0xEC;
  EXPECT_EQ(Frame16(Stc15Options(s, mcs, {0x74, 0x80}, 11047200, true)), w4);
  // STC8 at 22.1 MHz, trim 5D 02, divider 1.
  const std::vector<uint8_t> stc8 = Hex(
      "04 00 00 5A A5 FF FF FF 00 FF FF 00 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF 00 FF 01 51 6D 40 "
      "5D 02 01 FF FD FF FF FF 8B BF F7 FE");
  EXPECT_EQ(Stc8Options({0xFD, 0x8B, 0xBF, 0xF7, 0xFE}, {0x5D, 0x02}, 1, 0x01516D40), stc8);
  // STC12: the four option bytes, FF, the clock.
  const std::vector<uint8_t> stc12 = Stc12Options({0xFF, 0x7F, 0xF7, 0xFF}, 19946057);
  EXPECT_EQ(Frame16(stc12), Hex("46 B9 6A 00 1B 8D FF 7F F7 FF FF FF FF FF FF FF FF FF FF FF FF FF 01 30 5A 49 11 4E 16"));
  // Erase: 512-byte sectors as 256-byte counts, the part's size, the guard run.
  const std::vector<uint8_t> erase = Stc12Erase(100, 60 * 1024);
  EXPECT_EQ(erase[3], 0x02);
  EXPECT_EQ(erase[6], 0xF0);
  EXPECT_EQ(Frame16(erase).size(), 0x8Cu + 2);
}

// Bands of STC8G/STC8H: the lowest divider whose target lands inside a
// measured band, the trim read off the band's line; twelve trims around it
// that stay inside 00..FF.
TEST(StcModern, BandChoice) {
  const std::vector<Trim> g = Stc8gFirstRound();
  // Band 00 measured 15.5..28.5 MHz, band 80 27..44 MHz, FF of band 00.
  const std::vector<double> hz = {15.5e6, 28.5e6, 27e6, 44e6, 41e6};
  std::optional<BandChoice> c = ChooseBand(g, hz, 22e6);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->divider, 1);
  EXPECT_EQ(c->centre, (Trim{64, 0x00}));
  c = ChooseBand(g, hz, 40e6);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->centre.b, 0x80);
  c = ChooseBand(g, hz, 6e6);  // 12 MHz is below every band, 18 MHz is not
  ASSERT_TRUE(c);
  EXPECT_EQ(c->divider, 3);
  EXPECT_FALSE(ChooseBand(g, hz, 50e6));
  EXPECT_FALSE(ChooseBand(g, hz, 2e6));
  // A band that measured backwards (a broken pair) is never chosen.
  EXPECT_FALSE(ChooseBand(g, {28.5e6, 15.5e6, 44e6, 27e6, 41e6}, 22e6));

  EXPECT_EQ(BandTwelve({0x03, 0x20}).front(), (Trim{0x00, 0x20}));
  EXPECT_EQ(BandTwelve({0xFE, 0x20}).back(), (Trim{0xFF, 0x20}));
  const std::vector<Trim> mid = BandTwelve({0x40, 0x80});
  ASSERT_EQ(mid.size(), 12u);
  EXPECT_EQ(mid.front(), (Trim{0x3A, 0x80}));
  EXPECT_EQ(mid.back(), (Trim{0x45, 0x80}));
  // The switch: range before trim, the fixed wait last.
  const std::vector<uint8_t> sw = Stc8dSwitch({0x41, 0x80}, PlanModernSpeed(Protocol::Stc8, kStc8ProgramHz));
  EXPECT_EQ(std::vector<uint8_t>(sw.begin() + 5, sw.end()), (std::vector<uint8_t>{0x80, 0x41, 0x98}));
}

// STC15F104E, boot loader 6.7Q: the packets of a recorded download (the
// public STC15A reverse-engineering notes, "Program hello.bin").
TEST(Stc15a, PacketsOfARecordedDownload) {
  const std::vector<uint8_t> status = PayloadOf(Hex(
      "46 B9 68 00 40 50 02 9C 02 9C 02 9C 02 9C 02 E6 02 E7 00 00 00 00 67 51 FF F2 94 8C EF FC F7 58 "
      "29 FF FF FF FF FF FF FF FF FF FF FF 00 00 00 00 FF FF FF 12 FF FF FF FF 58 50 0C 95 21 FF 2B 21 01 16"));
  const Stc15aStatus s = ParseStc15aStatus(status, 2400);
  ASSERT_TRUE(s.valid);
  EXPECT_EQ(s.countAverage, 0x29C);
  EXPECT_EQ(s.mcs, Hex("EF FC F7 58 29 FF FF FF FF FF FF FF FF"));
  EXPECT_EQ(s.constants, (std::array<uint8_t, 7>{0x58, 0x50, 0x0C, 0x95, 0x21, 0xFF, 0x2B}));
  // Too short a packet is no status.
  EXPECT_FALSE(ParseStc15aStatus(std::vector<uint8_t>(status.begin(), status.begin() + 57), 2400).valid);

  // The second challenge and the part's counts for it.
  std::vector<uint16_t> trims;
  for (uint16_t t = 0x5824; t <= 0x582E; ++t) trims.push_back(t);
  EXPECT_EQ(Frame16(Stc15aChallenge(s.constants, trims)),
            (Hex("46 B9 6A 00 3E 65 58 50 0C 95 21 FF 2B FF FF 06 0B 58 24 02 00 58 25 02 00 58 26 02 00 "
                          "58 27 02 00 58 28 02 00 58 29 02 00 58 2A 02 00 58 2B 02 00 58 2C 02 00 58 2D 02 00 "
                          "58 2E 02 00 0B 51 16")));
  const auto counts = Stc15aCounts(PayloadOf(
      Hex("46 B9 68 00 3E 65 58 50 0C 95 21 FF 2B FF FF 06 0B 58 24 02 92 58 25 02 94 58 26 02 97 58 27 02 "
          "9A 58 28 02 9A 58 29 02 9C 58 2A 02 9F 58 2B 02 A2 58 2C 02 A1 58 2D 02 A4 58 2E 02 A8 12 0A 16")));
  ASSERT_EQ(counts.size(), 11u);
  EXPECT_EQ(counts[5], (std::pair<uint16_t, uint16_t>{0x5829, 0x29C}));
  EXPECT_EQ(counts[10], (std::pair<uint16_t, uint16_t>{0x582E, 0x2A8}));
  // A reply cut short yields nothing rather than counts read past its end.
  std::vector<uint8_t> cut = Stc15aChallenge(s.constants, trims);
  cut.resize(cut.size() - 1);
  EXPECT_TRUE(Stc15aCounts(cut).empty());

  EXPECT_EQ(Frame16(Stc15aErase(512, 4096)),
            (Hex("46 B9 6A 00 3B 84 FF 00 02 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 80 7F 7E 7D 7C "
                          "7B 7A 79 78 77 76 75 74 73 72 71 70 6F 6E 6D 6C 6B 6A 69 68 67 66 65 64 63 62 61 60 5F "
                          "11 09 16")));
  std::vector<uint8_t> block(64, 0x00);
  std::string expected = "46 B9 6A 00 4D 00 00 00 01 00 00 40";
  for (int i = 0; i < 64; ++i) expected += " 00";
  EXPECT_EQ(Frame16(Stc15aWrite(0x0100, block.data())), Hex((expected + " 00 F8 16").c_str()));
  EXPECT_EQ(Frame16(Stc15aOptions(s.mcs)),
            Hex("46 B9 6A 00 1A 8D EF FC F7 58 29 FF FF FF FF FF FF FF FF FF FF FF FF FF FF 12 66 16"));
}

TEST(Stc15a, TrimArithmetic) {
  // The recorded part, trimmed to 11.0592 MHz, counted 0x29C on 9600 bit/s pulses.
  EXPECT_NEAR(Stc15aCountToHz(0x29C, 9600), 11059200, 11059200 * 0.01);
  // Interpolation between the ends of a coarse range, and refusal where
  // the two points measured alike (no slope) or the line leaves 16 bits.
  EXPECT_EQ(Stc15aInterpolate({0x5800, 0x24A}, {0x5880, 0x345}, 0x29C), 0x5800 + std::lround(0x80 * 82.0 / 251));
  EXPECT_FALSE(Stc15aInterpolate({0x5800, 0x24A}, {0x5880, 0x24A}, 0x29C));
  EXPECT_FALSE(Stc15aInterpolate({0xFF00, 0x100}, {0xFF80, 0x101}, 0x200));
  // The coarse ranges bracket the frequency, the programming pair last.
  for (double f : {6e6, 11.0592e6, 24e6, 35e6}) {
    const std::vector<uint16_t> c = Stc15aCoarse(f);
    ASSERT_EQ(c.size(), 6u);
    EXPECT_EQ(c[4], 0x9800);
    EXPECT_EQ(c[5], 0x9880);
  }
  EXPECT_EQ(Stc15aCoarse(24e6)[0], 0x9800);
  EXPECT_EQ(Stc15aCoarse(6e6)[3], 0x18FF);
}
