#include "cli/CliOptions.h"

#include <QMap>
#include <QRegularExpression>

#include "isp/stc/StcModern.h"

namespace {

bool ParseInt(const QString& text, int low, int high, int* value) {
  bool ok = false;
  const int v = text.toInt(&ok, 10);
  if (!ok || v < low || v > high) return false;
  *value = v;
  return true;
}

QString FamilyName(IspFamily f) { return FamilyFacts(f).Name(); }

}  // namespace

bool ParseCliNumber(const QString& text, uint32_t* value) {
  QString t = text.trimmed();
  uint64_t scale = 1;
  if (t.endsWith(QLatin1Char('K'), Qt::CaseInsensitive)) scale = 1024;
  if (t.endsWith(QLatin1Char('M'), Qt::CaseInsensitive)) scale = 1024 * 1024;
  if (scale != 1) t.chop(1);
  if (t.isEmpty()) return false;
  bool ok = false;
  const uint64_t v = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toULongLong(&ok, 16)
                                                                             : t.toULongLong(&ok, 10);
  if (!ok || (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && t.size() == 2)) return false;
  if (v > 0xFFFFFFFFull / scale) return false;
  *value = static_cast<uint32_t>(v * scale);
  return true;
}

const QList<uint32_t>& Stm32ExtraSpeeds() {
  // The boot loader measures the speed on its first 0x7F: it takes the
  // usual rates the lists leave out as well.
  static const QList<uint32_t> speeds = {76800, 153600, 230400, 500000, 576000, 1000000, 1152000, 1500000, 2000000};
  return speeds;
}

const QList<uint32_t>& ListSpeeds() {
  static const QList<uint32_t> speeds = {110,   300,   600,    1200,   2400,   4800,   9600,
                                         14400, 19200, 38400,  56000,  57600,  115200, 128000,
                                         256000, 460800, 614400, 921600, 1228800};
  return speeds;
}

ParsedCommandLine ParseCommandLine(const QStringList& args) {
  ParsedCommandLine r;
  CliOptions& o = r.options;
  auto fail = [&r](const QString& why) {
    r.kind = ParsedCommandLine::Kind::UsageError;
    r.error = why;
    return r;
  };

  QString family, baud, reset, resetMs, timeout, crystal;
  QString readFile, address, length, eraseRange, frequency, eeprom, report, serialStart, serialAddress,
      serialFormat, handshake;
  QStringList files, jobs, optionValues;
  IspJobKind kind = IspJobKind::Download;
  bool optionsEnd = false;
  // An option given twice must say the same both times: which of two
  // values was meant cannot be guessed, and a production line must not
  // run with the wrong one.
  QMap<const QString*, QPair<QString, QString>> given;  // slot: name as typed, value
  for (int i = 0; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (optionsEnd || arg == QLatin1String("-") || !arg.startsWith(QLatin1Char('-'))) {
      files << arg;
      continue;
    }
    if (arg == QLatin1String("--")) {
      optionsEnd = true;
      continue;
    }
    if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
      r.kind = ParsedCommandLine::Kind::Help;
      return r;
    }
    if (arg == QLatin1String("--no-verify")) {
      o.verify = false;
      continue;
    }
    if (arg == QLatin1String("--verify-readback")) {
      o.verifyReadback = true;
      continue;
    }
    if (arg == QLatin1String("--watch")) {
      o.watch = true;
      continue;
    }
    if (arg == QLatin1String("--term") || arg.startsWith(QLatin1String("--term="))) {
      o.termBaud = 115200;
      if (arg.size() > 6 && (!ParseCliNumber(arg.mid(7), &o.termBaud) || o.termBaud == 0))
        return fail(QStringLiteral("--term takes a speed in bit/s, not '%1'").arg(arg.mid(7)));
      continue;
    }
    if (arg == QLatin1String("--watch-boards")) {
      o.watchBoards = true;
      continue;
    }
    if (arg == QLatin1String("--porcelain")) {
      o.porcelain = true;
      continue;
    }
    if (arg == QLatin1String("--eeprom-in-image")) {
      o.job.eepromInImage = true;
      continue;
    }
    {
      // Jobs without a value.
      static const QList<QPair<QString, IspJobKind>> kFlags = {
          {QStringLiteral("--erase"), IspJobKind::Erase},
          {QStringLiteral("--blank-check"), IspJobKind::BlankCheck},
          {QStringLiteral("--protect-read"), IspJobKind::ProtectRead},
          {QStringLiteral("--unprotect-read"), IspJobKind::UnprotectRead},
          {QStringLiteral("--unprotect-write"), IspJobKind::UnprotectWrite},
          {QStringLiteral("--info"), IspJobKind::Info},
          {QStringLiteral("--verify-only"), IspJobKind::Verify},
      };
      bool matched = false;
      for (const auto& f : kFlags)
        if (arg == f.first) {
          jobs << f.first;
          kind = f.second;
          matched = true;
        }
      if (matched) continue;
    }
    if (arg == QLatin1String("--go") || arg.startsWith(QLatin1String("--go="))) {
      o.job.go = true;
      if (arg.size() > 5) {
        uint32_t a = 0;
        if (!ParseCliNumber(arg.mid(5), &a)) return fail(QStringLiteral("--go= takes an address, not '%1'").arg(arg.mid(5)));
        o.job.goAddress = a;
      }
      continue;
    }

    // Options with a value: "-p X", "-pX", "--port X", "--port=X".
    QString name = arg, value;
    bool inlineValue = false;
    if (arg.startsWith(QLatin1String("--"))) {
      const qsizetype eq = arg.indexOf(QLatin1Char('='));
      if (eq > 0) {
        name = arg.left(eq);
        value = arg.mid(eq + 1);
        inlineValue = true;
      }
    } else if (arg.size() > 2) {
      name = arg.left(2);
      value = arg.mid(2);
      inlineValue = true;
    }
    QString* slot = nullptr;
    QString portValue, optionValue;
    if (name == QLatin1String("-p") || name == QLatin1String("--port")) slot = &portValue;
    else if (name == QLatin1String("--ports")) slot = &o.portPattern;
    else if (name == QLatin1String("--read")) slot = &readFile;
    else if (name == QLatin1String("--address")) slot = &address;
    else if (name == QLatin1String("--length")) slot = &length;
    else if (name == QLatin1String("--erase-range")) slot = &eraseRange;
    else if (name == QLatin1String("--frequency")) slot = &frequency;
    else if (name == QLatin1String("--handshake-baud")) slot = &handshake;
    else if (name == QLatin1String("--option")) slot = &optionValue;
    else if (name == QLatin1String("--eeprom")) slot = &eeprom;
    else if (name == QLatin1String("--report")) slot = &report;
    else if (name == QLatin1String("--serial-start")) slot = &serialStart;
    else if (name == QLatin1String("--serial-address")) slot = &serialAddress;
    else if (name == QLatin1String("--serial-format")) slot = &serialFormat;
    else if (name == QLatin1String("-f") || name == QLatin1String("--family")) slot = &family;
    else if (name == QLatin1String("-b") || name == QLatin1String("--baud")) slot = &baud;
    else if (name == QLatin1String("--reset")) slot = &reset;
    else if (name == QLatin1String("--reset-ms")) slot = &resetMs;
    else if (name == QLatin1String("--timeout")) slot = &timeout;
    else if (name == QLatin1String("--crystal-khz")) slot = &crystal;
    if (!slot) return fail(QStringLiteral("unknown option '%1'").arg(arg));
    if (!inlineValue) {
      if (i + 1 >= args.size()) return fail(QStringLiteral("option '%1' needs a value").arg(name));
      value = args[++i];
    }
    if (value.isEmpty()) return fail(QStringLiteral("option '%1' needs a value").arg(name));
    if (slot != &portValue && slot != &optionValue) {
      const auto before = given.constFind(slot);
      if (before != given.constEnd() && before->second != value)
        return fail(QStringLiteral("%1 given twice with different values: '%2' and '%3'")
                        .arg(name, before->second, value));
      given.insert(slot, {name, value});
    }
    *slot = value;
    if (slot == &portValue) o.ports << value;
    if (slot == &optionValue) optionValues << value;
    if (slot == &readFile) {
      jobs << QStringLiteral("--read");
      kind = IspJobKind::Read;
    }
    if (slot == &eraseRange) {
      jobs << QStringLiteral("--erase-range");
      kind = IspJobKind::Erase;
    }
  }

  if (o.ports.isEmpty() && o.portPattern.isEmpty()) return fail(QStringLiteral("no port given (-p PORT)"));
  if (!o.ports.isEmpty()) o.port = o.ports.first();
  if (family.isEmpty()) return fail(QStringLiteral("no family given (-f stm32|lpc|stc)"));

  // One job a run; --go may follow a download.
  if (jobs.size() > 1) return fail(QStringLiteral("one job at a time, not %1").arg(jobs.join(QStringLiteral(" and "))));
  if (kind == IspJobKind::Download && files.isEmpty() && o.job.go) kind = IspJobKind::Go;
  o.job.kind = kind;
  const bool takesFile = kind == IspJobKind::Download || kind == IspJobKind::Verify;
  if (takesFile) {
    if (files.isEmpty()) return fail(QStringLiteral("no firmware file given"));
    if (files.size() > 1) return fail(QStringLiteral("one firmware file only, not '%1'").arg(files.join(' ')));
    o.file = files.first();
    o.job.file = o.file;
  } else {
    if (!files.isEmpty())
      return fail(QStringLiteral("%1 takes no firmware file ('%2')").arg(jobs.isEmpty() ? QStringLiteral("--go") : jobs.first(), files.join(' ')));
    if (kind == IspJobKind::Read) o.job.file = readFile;
  }
  if (o.job.go && kind != IspJobKind::Download && kind != IspJobKind::Go)
    return fail(QStringLiteral("--go follows a download, or stands alone"));
  if (o.watch && kind != IspJobKind::Download) return fail(QStringLiteral("--watch watches a firmware file to download"));

  // Ranges: --read, --erase-range, --blank-check.
  if (!address.isEmpty() || !length.isEmpty()) {
    if (kind != IspJobKind::Read && kind != IspJobKind::BlankCheck && kind != IspJobKind::Verify)
      return fail(QStringLiteral("--address and --length go with --read or --blank-check"));
    uint32_t v = 0;
    if (!address.isEmpty()) {
      if (!ParseCliNumber(address, &v)) return fail(QStringLiteral("--address takes a number (0x08000000, 4096), not '%1'").arg(address));
      o.job.address = v;
    }
    if (!length.isEmpty()) {
      if (!ParseCliNumber(length, &v) || v == 0) return fail(QStringLiteral("--length takes a byte count above 0 (256, 64K), not '%1'").arg(length));
      o.job.length = v;
    }
  }
  if (!eraseRange.isEmpty()) {
    const qsizetype colon = eraseRange.indexOf(QLatin1Char(':'));
    uint32_t a = 0, n = 0;
    if (colon <= 0 || !ParseCliNumber(eraseRange.left(colon), &a) || !ParseCliNumber(eraseRange.mid(colon + 1), &n) || n == 0)
      return fail(QStringLiteral("--erase-range takes ADDRESS:LENGTH (0x08004000:16K), not '%1'").arg(eraseRange));
    o.job.address = a;
    o.job.length = n;
  }

  // Options of the parts that trim their own oscillator and carry option bytes.
  if (!frequency.isEmpty()) {
    bool ok = false;
    const double khz = frequency.toDouble(&ok);
    if (!ok || khz < 1000 || khz > 100000)
      return fail(QStringLiteral("--frequency takes kHz, 1000 ... 100000, not '%1'").arg(frequency));
    o.job.frequencyKHz = khz;
  }
  if (!handshake.isEmpty()) {
    // The trim counts are 16 bits: slower than 1200 overflows them at
    // 40 MHz; the boot loaders' autobaud is not known beyond 19200.
    bool ok = false;
    const uint handshakeBaud = handshake.toUInt(&ok);
    if (!ok || handshakeBaud < 1200 || handshakeBaud > 19200)
      return fail(QStringLiteral("--handshake-baud takes 1200 ... 19200, not '%1'").arg(handshake));
    o.job.handshakeBaud = handshakeBaud;
  }
  for (const QString& ov : optionValues) {
    const qsizetype eq = ov.indexOf(QLatin1Char('='));
    if (eq <= 0 || eq == ov.size() - 1) return fail(QStringLiteral("--option takes name=value, not '%1'").arg(ov));
    const QString key = ov.left(eq).trimmed().toLower(), val = ov.mid(eq + 1).trimmed();
    const auto before = o.job.options.constFind(key);
    if (before != o.job.options.constEnd() && before->compare(val, Qt::CaseInsensitive) != 0)
      return fail(QStringLiteral("--option %1 given twice with different values: '%2' and '%3'").arg(key, *before, val));
    o.job.options.insert(key, val);
  }
  o.job.eepromFile = eeprom;

  // A production run.
  o.reportFile = report;
  if (!serialStart.isEmpty() || !serialAddress.isEmpty()) {
    if (serialStart.isEmpty() || serialAddress.isEmpty())
      return fail(QStringLiteral("--serial-start and --serial-address go together"));
    bool ok = false;
    const qulonglong n = serialStart.toULongLong(&ok, 0);
    if (!ok) return fail(QStringLiteral("--serial-start takes a number, not '%1'").arg(serialStart));
    o.serialStart = n;
    uint32_t a = 0;
    if (!ParseCliNumber(serialAddress, &a)) return fail(QStringLiteral("--serial-address takes an address, not '%1'").arg(serialAddress));
    o.serialAddress = a;
    if (kind != IspJobKind::Download) return fail(QStringLiteral("serial numbers go into a download"));
  }
  if (!serialFormat.isEmpty()) {
    const QString f = serialFormat.toLower();
    if (f != QLatin1String("u32le") && f != QLatin1String("ascii"))
      return fail(QStringLiteral("--serial-format is u32le or ascii, not '%1'").arg(serialFormat));
    o.serialFormat = f;
  }
  if (o.serialStart) {
    const QString why = SerialRangeProblem(o.serialFormat, *o.serialStart, 1);
    if (!why.isEmpty()) return fail(why);
  }

  const QString fam = family.toLower();
  if (fam == QLatin1String("stm32")) o.family = IspFamily::Stm32;
  else if (fam == QLatin1String("lpc")) o.family = IspFamily::Lpc;
  else if (fam == QLatin1String("stc")) o.family = IspFamily::Stc;
  else return fail(QStringLiteral("unknown family '%1' (stm32, lpc or stc)").arg(family));
  const QString fname = FamilyName(o.family);

  // The window's line settings: STM32 runs at 19200 bit/s or faster (115200
  // unless told), LPC at 57600 unless told (its boot loader takes up to
  // 115200, and more on some parts); STC parts choose their own speeds.
  o.baud = FamilyFacts(o.family).defaultSpeed;
  if (!baud.isEmpty()) {
    bool ok = false;
    const uint32_t b = baud.toUInt(&ok, 10);
    const bool stm32 = o.family == IspFamily::Stm32;
    // The LPC boot loader finds the speed from "?": with a suitable crystal
    // it takes the rates between the lists' steps as well.
    const bool lpcExtra = o.family == IspFamily::Lpc && Stm32ExtraSpeeds().contains(b) && b <= 230400;
    if (!ok || !(ListSpeeds().contains(b) || (stm32 && Stm32ExtraSpeeds().contains(b)) || lpcExtra))
      return fail(stm32 ? QStringLiteral("speed '%1' is not one of the port speeds or the STM32 boot loader's (19200 ... 2000000)").arg(baud)
                        : QStringLiteral("speed '%1' is not one of the port speeds (110 ... 1228800)").arg(baud));
    if (stm32 && b < 19200)
      return fail(QStringLiteral("STM32 downloads run at 19200 bit/s or faster"));
    if (o.family == IspFamily::Lpc && b > 230400)
      return fail(QStringLiteral("LPC downloads run at 230400 bit/s or slower"));
    if (o.family == IspFamily::Stc)
      r.notes << QStringLiteral("-b is ignored: STC parts set their own speeds");
    else
      o.baud = b;
  }

  if (!reset.isEmpty()) {
    const QString w = reset.toLower();
    if (w == QLatin1String("none")) o.reset = ResetWiring::None;
    else if (w == QLatin1String("dtr")) o.reset = ResetWiring::Dtr;
    else if (w == QLatin1String("mode2")) o.reset = ResetWiring::Mode2;
    else {
      QString why;
      const std::optional<ResetSequence> seq = ResetSequence::Parse(reset, &why);
      if (!seq)
        return fail(QStringLiteral("unknown reset wiring '%1' (none, dtr, mode2 or steps like 'rts,dtr,100,-dtr'): %2")
                        .arg(reset, why));
      o.reset = ResetWiring::Custom;
      o.resetSequence = seq;
    }
    if (o.reset == ResetWiring::Mode2 && o.family != IspFamily::Stm32)
      return fail(QStringLiteral("--reset mode2 is an STM32 wiring"));
  }

  // The ranges of the page's number fields.
  if (!resetMs.isEmpty()) {
    if (!ParseInt(resetMs, 1, 999, &o.resetMs))
      return fail(QStringLiteral("--reset-ms takes 1 ... 999, not '%1'").arg(resetMs));
    if (o.family != IspFamily::Stc)
      r.notes << QStringLiteral("--reset-ms is ignored: %1 resets use fixed pulses").arg(fname);
  }
  if (!timeout.isEmpty()) {
    if (!ParseInt(timeout, 1, 99, &o.timeoutS))
      return fail(QStringLiteral("--timeout takes 1 ... 99 seconds, not '%1'").arg(timeout));
    o.timeoutGiven = true;
    if (o.family == IspFamily::Stm32)
      r.notes << QStringLiteral("--timeout is ignored: STM32 sessions use fixed time-outs");
  }
  if (!crystal.isEmpty()) {
    // Sent to the boot loader as typed, so only plain decimal kHz.
    static const QRegularExpression form(QStringLiteral("^[0-9]{1,6}(\\.[0-9]{1,3})?$"));
    const double khz = crystal.toDouble();
    if (!form.match(crystal).hasMatch() || khz < 1000 || khz > 50000)
      return fail(QStringLiteral("--crystal-khz takes the crystal in kHz, 1000 ... 50000, not '%1'").arg(crystal));
    if (o.family == IspFamily::Lpc)
      o.crystalKHz = crystal;
    else
      r.notes << QStringLiteral("--crystal-khz is ignored: %1 parts report their crystal").arg(fname);
  }

  if (!o.verify && o.verifyReadback)
    return fail(QStringLiteral("--no-verify and --verify-readback cannot go together"));
  if (o.family != IspFamily::Lpc && o.verifyReadback)
    r.notes << QStringLiteral("--verify-readback is for LPC: STM32 always reads back, STC parts cannot be read");
  if (o.family == IspFamily::Stc && !o.verify)
    r.notes << QStringLiteral("--no-verify changes nothing for STC: the parts cannot be read back");
  if (o.family != IspFamily::Stc) {
    if (o.job.frequencyKHz > 0) return fail(QStringLiteral("--frequency is for STC parts, which trim their own oscillator"));
    if (o.job.handshakeBaud != 0) return fail(QStringLiteral("--handshake-baud is for STC parts"));
    if (!o.job.options.isEmpty()) return fail(QStringLiteral("--option is for STC parts"));
    if (!o.job.eepromFile.isEmpty() || o.job.eepromInImage) return fail(QStringLiteral("--eeprom is for STC parts"));
  }
  if (o.family == IspFamily::Stc && o.job.handshakeBaud == 0) o.job.handshakeBaud = kStcFastHandshakeBaud;

  r.kind = ParsedCommandLine::Kind::Run;
  return r;
}

QString SerialRangeProblem(const QString& format, uint64_t first, uint64_t boards) {
  const bool ascii = format == QLatin1String("ascii");
  const uint64_t largest = ascii ? 9999999999ull : 0xFFFFFFFFull;
  const QString range = ascii ? QStringLiteral("ascii holds 10 digits, 0 ... 9999999999")
                              : QStringLiteral("u32le holds 0 ... 4294967295");
  if (first > largest) return QStringLiteral("serial number %1 does not fit: %2").arg(first).arg(range);
  if (boards > 1 && boards - 1 > largest - first)
    return QStringLiteral("%1 boards from serial number %2 would pass %3: %4")
        .arg(boards)
        .arg(first)
        .arg(largest)
        .arg(range);
  return {};
}

bool IsProductionRun(const CliOptions& o) {
  return o.ports.size() > 1 || !o.portPattern.isEmpty() || o.watchBoards || !o.reportFile.isEmpty();
}

QStringList BoardArguments(const CliOptions& o, const QString& port, std::optional<uint64_t> serial) {
  auto hex = [](uint32_t v) { return QStringLiteral("0x") + QString::number(v, 16).toUpper(); };
  QStringList a{QStringLiteral("--porcelain"), QStringLiteral("-p"), port, QStringLiteral("-f"),
                o.family == IspFamily::Stm32 ? QStringLiteral("stm32")
                : o.family == IspFamily::Lpc ? QStringLiteral("lpc")
                                             : QStringLiteral("stc")};
  if (o.family != IspFamily::Stc) a << QStringLiteral("-b") << QString::number(o.baud);
  a << QStringLiteral("--reset")
    << (o.reset == ResetWiring::None ? QStringLiteral("none")
        : o.reset == ResetWiring::Mode2 ? QStringLiteral("mode2")
        : o.reset == ResetWiring::Custom && o.resetSequence ? o.resetSequence->Text()
                                        : QStringLiteral("dtr"));
  if (o.family == IspFamily::Stc) a << QStringLiteral("--reset-ms") << QString::number(o.resetMs);
  if (o.family != IspFamily::Stm32) a << QStringLiteral("--timeout") << QString::number(o.timeoutS);
  if (o.family == IspFamily::Lpc) a << QStringLiteral("--crystal-khz") << o.crystalKHz;
  if (!o.verify && o.family != IspFamily::Stc) a << QStringLiteral("--no-verify");
  if (o.verifyReadback && o.family == IspFamily::Lpc) a << QStringLiteral("--verify-readback");
  const IspJob& j = o.job;
  switch (j.kind) {
    case IspJobKind::Download: break;
    case IspJobKind::Verify: a << QStringLiteral("--verify-only"); break;
    case IspJobKind::Read: a << QStringLiteral("--read") << j.file; break;
    case IspJobKind::Erase:
      if (j.length)
        a << QStringLiteral("--erase-range") << hex(j.address.value_or(0)) + QLatin1Char(':') + QString::number(*j.length);
      else
        a << QStringLiteral("--erase");
      break;
    case IspJobKind::BlankCheck: a << QStringLiteral("--blank-check"); break;
    case IspJobKind::ProtectRead: a << QStringLiteral("--protect-read"); break;
    case IspJobKind::UnprotectRead: a << QStringLiteral("--unprotect-read"); break;
    case IspJobKind::UnprotectWrite: a << QStringLiteral("--unprotect-write"); break;
    case IspJobKind::Go: break;
    case IspJobKind::Info: a << QStringLiteral("--info"); break;
  }
  const bool ranged = j.kind == IspJobKind::Read || j.kind == IspJobKind::BlankCheck || j.kind == IspJobKind::Verify;
  if (ranged && j.address) a << QStringLiteral("--address") << hex(*j.address);
  if (ranged && j.length) a << QStringLiteral("--length") << QString::number(*j.length);
  if (j.go) a << (j.goAddress ? QStringLiteral("--go=") + hex(*j.goAddress) : QStringLiteral("--go"));
  if (j.frequencyKHz > 0) a << QStringLiteral("--frequency") << QString::number(j.frequencyKHz, 'f', 3);
  if (j.handshakeBaud != 0) a << QStringLiteral("--handshake-baud") << QString::number(j.handshakeBaud);
  for (auto it = j.options.begin(); it != j.options.end(); ++it)
    a << QStringLiteral("--option") << it.key() + QLatin1Char('=') + it.value();
  if (!j.eepromFile.isEmpty()) a << QStringLiteral("--eeprom") << j.eepromFile;
  if (j.eepromInImage) a << QStringLiteral("--eeprom-in-image");
  if (serial && o.serialAddress)
    a << QStringLiteral("--serial-start") << QString::number(*serial) << QStringLiteral("--serial-address")
      << hex(*o.serialAddress) << QStringLiteral("--serial-format") << o.serialFormat;
  if (j.kind == IspJobKind::Download || j.kind == IspJobKind::Verify) a << QStringLiteral("--") << o.file;
  return a;
}

namespace {

// "      reset_pin=reset|io  复位脚 (STC12, STC15, STC8)", one a setting,
// from the option table itself so the list never falls behind it.
QString StcOptionHelp() {
  QStringList names;
  QMap<QString, QStringList> values, families;
  QMap<QString, QString> labels;
  for (const stc::OptionDef& d : stc::OptionDefs()) {
    const QString name = QString::fromLatin1(d.name);
    if (!names.contains(name)) names << name;
    labels.insert(name, QString::fromUtf8(d.label));
    for (const stc::OptionValue& v : d.values)
      if (!values[name].contains(QString::fromLatin1(v.name))) values[name] << QString::fromLatin1(v.name);
    const QString family = stc::ProtocolName(d.protocol);
    if (!families[name].contains(family)) families[name] << family;
  }
  QString out = QStringLiteral("      option names (--option NAME=VALUE):\n");
  for (const QString& n : names) {
    QStringList v = values[n];
    const QString shown = v.size() > 4 ? v.first() + QStringLiteral(" ... ") + v.last() : v.join(QLatin1Char('|'));
    out += QStringLiteral("        %1=%2  %3 (%4)\n").arg(n, shown, labels[n], families[n].join(QStringLiteral(", ")));
  }
  return out;
}

}  // namespace

QString HelpText() {
  return QStringLiteral(
      "Usage: vortana-isp -p PORT -f stm32|lpc|stc [options] FILE\n"
      "       vortana-isp -p PORT -f FAMILY JOB [options]\n"
      "Downloads FILE (Intel HEX; raw binary for STM32) into a microcontroller\n"
      "through its serial boot loader, with the engines of the Vortana window,\n"
      "or does one other job on the part.\n"
      "\n"
      "  -p, --port PORT       device path or port name as the lists show it (ttyUSB0);\n"
      "                        several -p program several boards at once\n"
      "      --ports PATTERN   every present port that matches ('ttyUSB*'; a path\n"
      "                        pattern takes serial devices only); with\n"
      "                        --watch-boards also those that appear later\n"
      "  -f, --family FAMILY   stm32 (8E1), lpc (8N1) or stc (its own speeds)\n"
      "  -b, --baud BAUD       port speed: STM32 19200 ... 2000000 (230400 too), default 115200;\n"
      "                        LPC 110 ... 230400, default 57600\n"
      "      --reset WIRING    reset into the boot loader on DTR/RTS: dtr (default),\n"
      "                        mode2 (the second STM32 wiring), none, or a sequence\n"
      "                        of steps: dtr/-dtr and rts/-rts raise/drop a line, a\n"
      "                        number pauses that many ms (up to 10000), ~dtr/~rts\n"
      "                        mark a line the adapter inverts; after a '/', the\n"
      "                        steps that start the program (STM32), e.g.\n"
      "                        --reset 'rts,dtr,100,-dtr,50,-rts'\n"
      "      --reset-ms N      STC reset pulse on RTS, 1 ... 999 ms (default 500)\n"
      "      --timeout S       STC: seconds to wait for the chip (default 5); LPC:\n"
      "                        a pause of S x 3 ms after each data line (default\n"
      "                        none); 1 ... 99\n"
      "      --crystal-khz K   LPC ARM7 crystal in kHz, sent rounded to whole kHz\n"
      "                        (default 11059); LPC23xx/24xx\n"
      "                        and the Cortex-M parts run their ISP on the IRC\n"
      "      --no-verify       skip the check after writing (STM32 and LPC; STC parts\n"
      "                        cannot be read back, each block write is checked by\n"
      "                        the sum the part answers)\n"
      "      --verify-readback LPC: read the whole image back after writing instead\n"
      "                        of the part comparing each copy with its RAM (M);\n"
      "                        slower, compares with the file itself\n"
      "      --go[=ADDRESS]    start the program after the download (or alone)\n"
      "      --watch           stay and download again whenever FILE changes;\n"
      "                        Ctrl-C ends it (the exit status is the last download's)\n"
      "      --term[=BAUD]     after a job that succeeded, become vortana-term on the\n"
      "                        same port (default 115200 8N1) to see the program start\n"
      "\n"
      "Jobs instead of a download (one a run):\n"
      "      --read OUT        read the part back into OUT (.hex: Intel HEX, else binary);\n"
      "                        --address A and --length N choose a range (default: all)\n"
      "      --verify-only     compare the part with FILE, write nothing\n"
      "      --erase           erase the whole flash\n"
      "      --erase-range A:N erase A ... A+N-1; STM32: whole pages or sectors only\n"
      "      --blank-check     check that the flash (or --address/--length) is erased\n"
      "      --info            identify the part; nothing is written\n"
      "      --unprotect-read  remove read-out protection (erases the whole flash)\n"
      "      --protect-read    turn read-out protection on\n"
      "      --unprotect-write remove write protection\n"
      "\n"
      "STC parts:\n"
      "      --frequency KHZ   trim the internal oscillator to KHZ (e.g. 24000)\n"
      "      --handshake-baud N  speed of the connect pulses and trimming\n"
      "                        (1200 ... 19200, default 2400)\n"
      "      --option N=V      set one option byte (repeat for more); others keep\n"
      "                        what the part holds\n"
      "      --eeprom FILE     program the data flash (EEPROM) from FILE\n"
      "      --eeprom-in-image accept a HEX whose data runs on into the EEPROM\n"
      "%1"
      "\n"
      "Several boards (a production line):\n"
      "      --report FILE     append a JSON line per board (CSV when FILE ends .csv)\n"
      "      --watch-boards    stay; program each board as it is connected\n"
      "      --serial-start N --serial-address A [--serial-format u32le|ascii]\n"
      "                        write a serial number, one up per board, into the image;\n"
      "                        A must lie inside the image. A board that fails keeps\n"
      "                        its number used (it may hold it already): the next\n"
      "                        board gets the next number, the report records both\n"
      "\n"
      "Ports:\n"
      "      --list-ports      list the serial ports with their adapters and stable\n"
      "                        names (/dev/serial/by-id/..., accepted as PORT)\n"
      "      --doctor [PORT]   name what keeps a port from working, with the remedy;\n"
      "                        exit 1 when something was found, 0 when nothing\n"
      "  -h, --help            this text\n"
      "\n"
      "Prints the status lines of the window's log, one a line, on standard output,\n"
      "and the progress on standard error. Exit status: 0 the job is done (the image\n"
      "is in the chip), 1 it failed (the reason is the last line), 2 usage, file or\n"
      "port error (nothing was sent).\n").arg(StcOptionHelp());
}
