// The command line's rules and the progress texts, without running anything.
#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "cli/ProgressText.h"

namespace {

ParsedCommandLine Parse(const QString& line) { return ParseCommandLine(line.split(' ', Qt::SkipEmptyParts)); }

TEST(CliOptions, FamiliesTakeTheWindowsDefaults) {
  const ParsedCommandLine stm = Parse(QStringLiteral("-p ttyUSB0 -f stm32 fw.hex"));
  ASSERT_EQ(stm.kind, ParsedCommandLine::Kind::Run) << stm.error.toStdString();
  EXPECT_EQ(stm.options.port, QStringLiteral("ttyUSB0"));
  EXPECT_EQ(stm.options.baud, 115200u);
  EXPECT_EQ(stm.options.reset, ResetWiring::Dtr);
  EXPECT_EQ(stm.options.resetMs, 500);
  EXPECT_EQ(stm.options.timeoutS, 5);
  EXPECT_TRUE(stm.options.verify);
  EXPECT_FALSE(stm.options.watch);
  EXPECT_EQ(stm.options.file, QStringLiteral("fw.hex"));
  EXPECT_TRUE(stm.notes.isEmpty());

  const ParsedCommandLine lpc = Parse(QStringLiteral("fw.hex --family=LPC --port=/dev/ttyACM0 --crystal-khz 12000"));
  ASSERT_EQ(lpc.kind, ParsedCommandLine::Kind::Run) << lpc.error.toStdString();
  EXPECT_EQ(lpc.options.family, IspFamily::Lpc);
  EXPECT_EQ(lpc.options.baud, 57600u);
  EXPECT_EQ(lpc.options.crystalKHz, QStringLiteral("12000"));
  EXPECT_FALSE(lpc.options.timeoutGiven);
  // The boot loader takes 115200 and more; only the window's lists stop at 57600.
  const ParsedCommandLine fast = Parse(QStringLiteral("-p x -f lpc -b 115200 --timeout 2 fw.hex"));
  ASSERT_EQ(fast.kind, ParsedCommandLine::Kind::Run) << fast.error.toStdString();
  EXPECT_EQ(fast.options.baud, 115200u);
  EXPECT_TRUE(fast.options.timeoutGiven);

  const ParsedCommandLine stc =
      Parse(QStringLiteral("-pttyUSB1 -fstc -b 9600 --reset none --no-verify --watch --timeout 9 -- -fw.hex"));
  ASSERT_EQ(stc.kind, ParsedCommandLine::Kind::Run) << stc.error.toStdString();
  EXPECT_EQ(stc.options.port, QStringLiteral("ttyUSB1"));
  EXPECT_EQ(stc.options.family, IspFamily::Stc);
  EXPECT_EQ(stc.options.reset, ResetWiring::None);
  EXPECT_FALSE(stc.options.verify);
  EXPECT_TRUE(stc.options.watch);
  EXPECT_EQ(stc.options.timeoutS, 9);
  EXPECT_EQ(stc.options.file, QStringLiteral("-fw.hex"));
  // STC chooses its own speeds and cannot be read back: both options are
  // reported as changing nothing.
  ASSERT_EQ(stc.notes.size(), 2);
  EXPECT_TRUE(stc.notes[0].startsWith(QStringLiteral("-b")));
  EXPECT_TRUE(stc.notes[1].startsWith(QStringLiteral("--no-verify")));

  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 -b 921600 --reset mode2 f")).options.reset, ResetWiring::Mode2);
  // Any other --reset is a sequence of steps, for every family.
  for (const char* family : {"stm32", "lpc", "stc"}) {
    const ParsedCommandLine custom =
        Parse(QStringLiteral("-p x -f %1 --reset ~rts,rts,dtr,100,-dtr,50,-rts f").arg(QLatin1String(family)));
    ASSERT_EQ(custom.kind, ParsedCommandLine::Kind::Run) << custom.error.toStdString();
    EXPECT_EQ(custom.options.reset, ResetWiring::Custom);
    ASSERT_TRUE(custom.options.resetSequence);
    EXPECT_TRUE(custom.options.resetSequence->invertRts);
    EXPECT_EQ(custom.options.resetSequence->entry.size(), 6u);
  }
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 -b 921600 f")).options.baud, 921600u);
  // Every speed the STM32 boot loader takes, the lowest the window allows too.
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 -b 230400 f")).options.baud, 230400u);
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 -b 19200 f")).options.baud, 19200u);
  // LPC parts take 230400 with a suitable crystal, not more.
  EXPECT_EQ(Parse(QStringLiteral("-p x -f lpc -b 230400 f")).options.baud, 230400u);
  EXPECT_EQ(Parse(QStringLiteral("-p x -f lpc -b 460800 f")).kind, ParsedCommandLine::Kind::UsageError);
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 --crystal-khz 12000 f")).notes.size(), 1);
  EXPECT_EQ(Parse(QStringLiteral("-f stm32 --help")).kind, ParsedCommandLine::Kind::Help);
}

TEST(CliOptions, UsageErrorsSayWhatIsWrong) {
  struct Case {
    const char* line;
    const char* says;
  };
  const Case cases[] = {
      {"-f stm32 fw.hex", "no port"},
      {"-p x fw.hex", "no family"},
      {"-p x -f stm32", "no firmware file"},
      {"-p x -f stm32 a.hex b.hex", "one firmware file"},
      {"-p x -f avr fw.hex", "unknown family"},
      {"-p x -f stm32 -b 1000 fw.hex", "not one of the port speeds"},
      {"-p x -f stm32 -b 9600 fw.hex", "19200"},
      {"-p x -f lpc -b 256000 fw.hex", "230400"},
      {"-p x -f lpc --reset mode2 fw.hex", "STM32 wiring"},
      {"-p x -f stm32 --reset rts,cts fw.hex", "unknown step 'cts'"},
      {"-p x -f stm32 --reset dtr,99999 fw.hex", "unknown reset wiring"},
      {"-p x -f stc --reset-ms 0 fw.hex", "1 ... 999"},
      {"-p x -f stc --reset-ms 1000 fw.hex", "1 ... 999"},
      {"-p x -f stc --timeout 100 fw.hex", "1 ... 99"},
      {"-p x -f lpc --crystal-khz 12e3 fw.hex", "kHz"},
      {"-p x -f lpc --crystal-khz 200000 fw.hex", "kHz"},
      {"-p x -f stm32 --verbose fw.hex", "unknown option"},
      {"-p x -f stm32 fw.hex -b", "needs a value"},
      {"-p x -f stm32 --port= fw.hex", "needs a value"},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine r = Parse(QString::fromLatin1(c.line));
    EXPECT_EQ(r.kind, ParsedCommandLine::Kind::UsageError) << c.line;
    EXPECT_TRUE(r.error.contains(QString::fromLatin1(c.says))) << c.line << ": " << r.error.toStdString();
  }
}

// The speed messages come from the family table; their words stay as users
// and scripts know them, and the speed as given is quoted untouched.
TEST(CliOptions, SpeedRefusalsWordedAsBefore) {
  const std::pair<const char*, const char*> cases[] = {
      {"-p x -f stm32 -b 1000 f", "speed '1000' is not one of the port speeds or the STM32 boot loader's (19200 ... 2000000)"},
      {"-p x -f stm32 -b %1 f", "speed '%1' is not one of the port speeds or the STM32 boot loader's (19200 ... 2000000)"},
      {"-p x -f lpc -b %2 f", "speed '%2' is not one of the port speeds (110 ... 1228800)"},
      {"-p x -f lpc -b 500000 f", "speed '500000' is not one of the port speeds (110 ... 1228800)"},
      {"-p x -f stc -b 76800 f", "speed '76800' is not one of the port speeds (110 ... 1228800)"},
      {"-p x -f stm32 -b 14400 f", "STM32 downloads run at 19200 bit/s or faster"},
      {"-p x -f lpc -b 1228800 f", "LPC downloads run at 230400 bit/s or slower"},
  };
  for (const auto& [line, says] : cases) {
    const ParsedCommandLine r = Parse(QString::fromLatin1(line));
    EXPECT_EQ(r.kind, ParsedCommandLine::Kind::UsageError) << line;
    EXPECT_EQ(r.error.toStdString(), std::string(says)) << line;
  }
  // Between the lists' steps only where the boot loader measures the speed;
  // STC takes any list speed and ignores it.
  EXPECT_EQ(Parse(QStringLiteral("-p x -f lpc -b 153600 f")).options.baud, 153600u);
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 -b 2000000 f")).options.baud, 2000000u);
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stc -b 1228800 f")).kind, ParsedCommandLine::Kind::Run);
}

// The window's download moves the lists' speed into a range of its own; a
// speed it sets must be one the boot loader takes and one the lists hold.
TEST(FamilySpeeds, WindowRangeLiesInsideTheBootLoaders) {
  for (IspFamily f : {IspFamily::Stm32, IspFamily::Lpc, IspFamily::Stc}) {
    const IspFamilyFacts& facts = FamilyFacts(f);
    for (uint32_t listed : kListSpeeds) {
      const uint32_t set = facts.PageSpeed(listed);
      EXPECT_TRUE(ListSpeeds().contains(set)) << facts.name << " " << listed;
      if (facts.minSpeed != 0 || facts.maxSpeed != 0) {
        EXPECT_TRUE(facts.InRange(set)) << facts.name << " " << listed;
      }
    }
    if (facts.defaultSpeed != 0) {
      EXPECT_TRUE(facts.KnownSpeed(facts.defaultSpeed) && facts.InRange(facts.defaultSpeed)) << facts.name;
    }
  }
  EXPECT_EQ(FamilyFacts(IspFamily::Stm32).PageSpeed(14400), 19200u);
  EXPECT_EQ(FamilyFacts(IspFamily::Stm32).PageSpeed(1228800), 1228800u);
  EXPECT_EQ(FamilyFacts(IspFamily::Lpc).PageSpeed(115200), 57600u);
  EXPECT_EQ(FamilyFacts(IspFamily::Lpc).PageSpeed(110), 110u);
  EXPECT_EQ(FamilyFacts(IspFamily::Stc).PageSpeed(1228800), 1228800u);
}

// With several faults on one line the user hears of one, always the same:
// words are read in order, then the rules run port, job, ranges, STC values,
// production run, family and speed, reset, number fields, STC-only options.
TEST(CliOptions, FirstFaultNamedWhenThereAreSeveral) {
  EXPECT_EQ(Parse(QStringLiteral("-p x --help --bogus")).kind, ParsedCommandLine::Kind::Help);
  const std::pair<const char*, const char*> cases[] = {
      {"-p x --bogus --help", "unknown option '--bogus'"},
      {"-p x --term=0 --go=zz f", "--term takes a speed in bit/s, not '0'"},
      {"-p x -f stm32 --go=zz --term=0 f", "--go= takes an address, not 'zz'"},
      {"-f avr -b 1 fw.hex", "no port given (-p PORT)"},
      {"-p x -f avr --erase fw.hex --frequency x", "--erase takes no firmware file ('fw.hex')"},
      {"-p x -f avr --read o.bin --length 0 --frequency x", "--length takes a byte count above 0 (256, 64K), not '0'"},
      {"-p x -f avr --frequency x --serial-format bcd f", "--frequency takes kHz, 1000 ... 100000, not 'x'"},
      {"-p x -f avr -b 1 --serial-format bcd f", "--serial-format is u32le or ascii, not 'bcd'"},
      {"-p x -f avr -b 1 --reset mode9 f", "unknown family 'avr' (stm32, lpc or stc)"},
      {"-p x -f lpc -b 1 --reset mode2 f", "speed '1' is not one of the port speeds (110 ... 1228800)"},
      {"-p x -f lpc --reset mode2 --timeout 0 f", "--reset mode2 is an STM32 wiring"},
      {"-p x -f lpc --timeout 0 --eeprom e.bin f", "--timeout takes 1 ... 99 seconds, not '0'"},
      {"-p x -f lpc --crystal-khz 1 --eeprom e.bin f", "--crystal-khz takes the crystal in kHz, 1000 ... 50000, not '1'"},
  };
  for (const auto& [line, says] : cases) {
    const ParsedCommandLine r = Parse(QString::fromLatin1(line));
    EXPECT_EQ(r.kind, ParsedCommandLine::Kind::UsageError) << line;
    EXPECT_EQ(r.error.toStdString(), std::string(says)) << line;
  }
}

TEST(CliOptions, JobsAndTheirParameters) {
  const ParsedCommandLine read = Parse(QStringLiteral("-p x -f stm32 --read out.hex --address 0x08004000 --length 16K"));
  ASSERT_EQ(read.kind, ParsedCommandLine::Kind::Run) << read.error.toStdString();
  EXPECT_EQ(read.options.job.kind, IspJobKind::Read);
  EXPECT_EQ(read.options.job.file, QStringLiteral("out.hex"));
  EXPECT_EQ(read.options.job.address.value_or(0), 0x08004000u);
  EXPECT_EQ(read.options.job.length.value_or(0), 16384u);

  const ParsedCommandLine range = Parse(QStringLiteral("-p x -f stm32 --erase-range=0x08000000:2K"));
  ASSERT_EQ(range.kind, ParsedCommandLine::Kind::Run) << range.error.toStdString();
  EXPECT_EQ(range.options.job.kind, IspJobKind::Erase);
  EXPECT_EQ(range.options.job.length.value_or(0), 2048u);
  EXPECT_FALSE(Parse(QStringLiteral("-p x -f stm32 --erase")).options.job.length.has_value());

  // --go alone is a job; after a file it follows the download.
  const ParsedCommandLine go = Parse(QStringLiteral("-p x -f lpc --go=0x100"));
  EXPECT_EQ(go.options.job.kind, IspJobKind::Go);
  EXPECT_EQ(go.options.job.goAddress.value_or(0), 0x100u);
  const ParsedCommandLine then = Parse(QStringLiteral("-p x -f stm32 --go fw.bin"));
  EXPECT_EQ(then.options.job.kind, IspJobKind::Download);
  EXPECT_TRUE(then.options.job.go);
  EXPECT_EQ(then.options.job.file, QStringLiteral("fw.bin"));

  const ParsedCommandLine stc = Parse(QStringLiteral(
      "-p x -f stc --frequency 24000 --handshake-baud 4800 --option Reset_Pin=io --option wdt=off fw.hex"));
  ASSERT_EQ(stc.kind, ParsedCommandLine::Kind::Run) << stc.error.toStdString();
  EXPECT_DOUBLE_EQ(stc.options.job.frequencyKHz, 24000);
  EXPECT_EQ(stc.options.job.handshakeBaud, 4800u);
  EXPECT_EQ(stc.options.job.options.value(QStringLiteral("reset_pin")), QStringLiteral("io"));
  EXPECT_EQ(stc.options.job.options.size(), 2);

  // Several boards.
  const ParsedCommandLine line = Parse(QStringLiteral("-p ttyUSB0 -p ttyUSB1 -f stm32 --serial-start 100 --serial-address 0x0800FFF0 fw.bin"));
  ASSERT_EQ(line.kind, ParsedCommandLine::Kind::Run) << line.error.toStdString();
  EXPECT_EQ(line.options.ports, (QStringList{QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")}));
  EXPECT_EQ(line.options.port, QStringLiteral("ttyUSB0"));
  EXPECT_EQ(line.options.serialStart.value_or(0), 100u);

  struct Case {
    const char* line;
    const char* says;
  };
  const Case bad[] = {
      {"-p x -f stm32 --erase --info", "one job at a time"},
      {"-p x -f stm32 --erase fw.hex", "takes no firmware file"},
      {"-p x -f stm32 --verify-only", "no firmware file"},
      {"-p x -f lpc --no-verify --verify-readback fw.hex", "cannot go together"},
      {"-p x -f stm32 --read out.bin --address 12Q", "--address takes a number"},
      {"-p x -f stm32 --read out.bin --length 0", "above 0"},
      {"-p x -f stm32 --read out.bin --address 0x100000000", "--address takes a number"},
      {"-p x -f stm32 --erase-range 0x08000000", "ADDRESS:LENGTH"},
      {"-p x -f stm32 --address 0x0 fw.hex", "go with --read"},
      {"-p x -f stm32 --erase --go", "--go follows a download"},
      {"-p x -f stm32 --frequency 24000 fw.hex", "for STC parts"},
      {"-p x -f lpc --option a=b fw.hex", "for STC parts"},
      {"-p x -f stc --option noequals fw.hex", "name=value"},
      {"-p x -f stc --frequency fast fw.hex", "kHz"},
      {"-p x -f stc --handshake-baud 600 fw.hex", "1200 ... 19200"},
      {"-p x -f stm32 --handshake-baud 2400 fw.hex", "for STC parts"},
      {"-p x -f stm32 --serial-start 5 fw.hex", "go together"},
      {"-p x -f stm32 --serial-start 5 --serial-address 0 --serial-format bcd fw.hex", "u32le or ascii"},
      {"-p x -f stm32 --info --watch", "--watch watches"},
      // Serial numbers the format cannot hold.
      {"-p x -f stm32 --serial-start 4294967296 --serial-address 0x08000000 fw.hex",
       "serial number 4294967296 does not fit: u32le holds 0 ... 4294967295"},
      {"-p x -f stm32 --serial-start 10000000000 --serial-address 0x08000000 --serial-format ascii fw.hex",
       "serial number 10000000000 does not fit: ascii holds 10 digits"},
      // The same option twice, meaning two things.
      {"-p x -f stc --option watchdog=on --option watchdog=off fw.hex",
       "--option watchdog given twice with different values: 'on' and 'off'"},
      {"-p x -f stc --option WatchDog=on --option watchdog=OFF fw.hex", "given twice"},
      {"-p x -f stm32 --reset dtr --reset=none fw.hex", "--reset given twice with different values: 'dtr' and 'none'"},
      {"-p x -f stm32 -b 115200 --baud 57600 fw.hex", "given twice"},
      {"-p x -f stm32 --report a.csv --report b.csv fw.hex", "given twice"},
  };
  // Said twice alike is no conflict.
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stc --option watchdog=on --option watchdog=on --reset-ms 9 --reset-ms 9 fw.hex")).kind,
            ParsedCommandLine::Kind::Run);
  EXPECT_EQ(Parse(QStringLiteral("-p x -f stm32 --serial-start 4294967295 --serial-address 0x08000000 fw.hex")).kind,
            ParsedCommandLine::Kind::Run);
  for (const Case& c : bad) {
    const ParsedCommandLine r = Parse(QString::fromLatin1(c.line));
    EXPECT_EQ(r.kind, ParsedCommandLine::Kind::UsageError) << c.line;
    EXPECT_TRUE(r.error.contains(QString::fromLatin1(c.says))) << c.line << ": " << r.error.toStdString();
  }
}

TEST(CliOptions, HelpNamesEveryOption) {
  const QString help = HelpText();
  for (const char* option : {"-p", "-f", "-b", "--reset", "--reset-ms", "--timeout", "--crystal-khz", "--no-verify", "--verify-readback",
                             "--watch", "--help", "--read", "--address", "--length", "--erase", "--erase-range",
                             "--blank-check", "--info", "--unprotect-read", "--protect-read", "--unprotect-write",
                             "--go", "--verify-only", "--frequency", "--option", "--eeprom", "--eeprom-in-image",
                             "--ports", "--report", "--watch-boards", "--serial-start", "--serial-address",
                             "--serial-format", "--handshake-baud"})
    EXPECT_TRUE(help.contains(QString::fromLatin1(option))) << option;
}

TEST(ProgressText, RateAndTimeLeft) {
  EXPECT_EQ(RateText(0), QStringLiteral("--"));
  EXPECT_EQ(RateText(812.4), QStringLiteral("812 B/s"));
  EXPECT_EQ(RateText(5222), QStringLiteral("5.1 KB/s"));
  EXPECT_EQ(RateText(1.25 * 1024 * 1024), QStringLiteral("1.3 MB/s"));

  ProgressSample s;
  s.percent = 50;
  s.doneBytes = 12288;
  s.totalBytes = 24576;
  EXPECT_EQ(TimeLeftText(s), QStringLiteral("--:--"));  // no rate yet
  s.bytesPerSecond = 4000;
  EXPECT_EQ(TimeLeftText(s), QStringLiteral("0:04"));  // 3.07 s, rounded up
  s.bytesPerSecond = 3;
  EXPECT_EQ(TimeLeftText(s), QStringLiteral("1:08:16"));
  s.bytesPerSecond = 1e-6;
  EXPECT_EQ(TimeLeftText(s), QStringLiteral("--:--"));
}

TEST(ProgressText, BarAndLine) {
  ProgressSample s;
  s.percent = 50;
  s.doneBytes = 12288;
  s.totalBytes = 24576;
  s.bytesPerSecond = 4096;
  EXPECT_EQ(ProgressBarText(s, 10), QStringLiteral("[#####-----]  50%  12.0/24.0 KB  4.0 KB/s  0:03 left"));
  EXPECT_EQ(ProgressLineText(s), QStringLiteral(" 50%  12288/24576 bytes  4.0 KB/s  0:03 left"));
  // The LPC engine's bar runs up to 102.
  s.percent = 102;
  s.doneBytes = s.totalBytes;
  EXPECT_TRUE(ProgressBarText(s, 10).startsWith(QStringLiteral("[##########] 100%")));
  EXPECT_TRUE(ProgressLineText(s).contains(QStringLiteral("0:00 left")));
}

}  // namespace
