#include "cli/CliOptions.h"

#include <QMap>
#include <QRegularExpression>

#include <iterator>

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

const QList<uint32_t>& ListSpeeds() {
  static const QList<uint32_t> speeds(std::begin(kListSpeeds), std::end(kListSpeeds));
  return speeds;
}

namespace {

// The words of the command line sorted into what they name; nothing is
// checked against anything else until every word is read.
struct RawOptions {
  QString family, baud, reset, resetMs, timeout, crystal;
  QString readFile, address, length, eraseRange, frequency, eeprom, report, serialStart, serialAddress,
      serialFormat, handshake;
  QString portValue, optionValue;  // each one given also lands in ports or optionValues
  QStringList files, jobs, optionValues;
  IspJobKind kind = IspJobKind::Download;
  bool help = false;
  // An option given twice must say the same both times: which of two
  // values was meant cannot be guessed, and a production line must not
  // run with the wrong one.
  QMap<const QString*, QPair<QString, QString>> given;  // slot: name as typed, value
};

std::optional<IspJobKind> JobWithoutValue(const QString& arg) {
  static const QList<QPair<QString, IspJobKind>> kFlags = {
      {QStringLiteral("--erase"), IspJobKind::Erase},
      {QStringLiteral("--blank-check"), IspJobKind::BlankCheck},
      {QStringLiteral("--protect-read"), IspJobKind::ProtectRead},
      {QStringLiteral("--unprotect-read"), IspJobKind::UnprotectRead},
      {QStringLiteral("--unprotect-write"), IspJobKind::UnprotectWrite},
      {QStringLiteral("--info"), IspJobKind::Info},
      {QStringLiteral("--verify-only"), IspJobKind::Verify},
  };
  for (const auto& f : kFlags)
    if (arg == f.first) return f.second;
  return std::nullopt;
}

// Options without a separate value (--term and --go may carry one after
// "="). False when `arg` is none of them; *why names a bad value.
bool TakeFlag(const QString& arg, CliOptions& o, RawOptions& raw, QString* why) {
  if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
    raw.help = true;
  } else if (arg == QLatin1String("--no-verify")) {
    o.verify = false;
  } else if (arg == QLatin1String("--verify-readback")) {
    o.verifyReadback = true;
  } else if (arg == QLatin1String("--watch")) {
    o.watch = true;
  } else if (arg == QLatin1String("--term") || arg.startsWith(QLatin1String("--term="))) {
    o.termBaud = 115200;
    if (arg.size() > 6 && (!ParseCliNumber(arg.mid(7), &o.termBaud) || o.termBaud == 0))
      *why = QStringLiteral("--term takes a speed in bit/s, not '%1'").arg(arg.mid(7));
  } else if (arg == QLatin1String("--watch-boards")) {
    o.watchBoards = true;
  } else if (arg == QLatin1String("--porcelain")) {
    o.porcelain = true;
  } else if (arg == QLatin1String("--eeprom-in-image")) {
    o.job.eepromInImage = true;
  } else if (const std::optional<IspJobKind> job = JobWithoutValue(arg)) {
    raw.jobs << arg;
    raw.kind = *job;
  } else if (arg == QLatin1String("--go") || arg.startsWith(QLatin1String("--go="))) {
    o.job.go = true;
    uint32_t a = 0;
    if (arg.size() > 5 && !ParseCliNumber(arg.mid(5), &a))
      *why = QStringLiteral("--go= takes an address, not '%1'").arg(arg.mid(5));
    else if (arg.size() > 5)
      o.job.goAddress = a;
  } else {
    return false;
  }
  return true;
}

// Where an option with a value keeps it, by every name it goes by.
QString* SlotOf(const QString& name, CliOptions& o, RawOptions& raw) {
  const QPair<const char*, QString*> byName[] = {
      {"-p", &raw.portValue},
      {"--port", &raw.portValue},
      {"--ports", &o.portPattern},
      {"--read", &raw.readFile},
      {"--address", &raw.address},
      {"--length", &raw.length},
      {"--erase-range", &raw.eraseRange},
      {"--frequency", &raw.frequency},
      {"--handshake-baud", &raw.handshake},
      {"--option", &raw.optionValue},
      {"--eeprom", &raw.eeprom},
      {"--report", &raw.report},
      {"--serial-start", &raw.serialStart},
      {"--serial-address", &raw.serialAddress},
      {"--serial-format", &raw.serialFormat},
      {"-f", &raw.family},
      {"--family", &raw.family},
      {"-b", &raw.baud},
      {"--baud", &raw.baud},
      {"--reset", &raw.reset},
      {"--reset-ms", &raw.resetMs},
      {"--timeout", &raw.timeout},
      {"--crystal-khz", &raw.crystal},
  };
  for (const auto& s : byName)
    if (name == QLatin1String(s.first)) return s.second;
  return nullptr;
}

// An option with a value: "-p X", "-pX", "--port X", "--port=X". Steps *i
// over a value given as the next word.
QString TakeValueOption(const QStringList& args, int* i, CliOptions& o, RawOptions& raw) {
  const QString& arg = args[*i];
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
  QString* slot = SlotOf(name, o, raw);
  if (!slot) return QStringLiteral("unknown option '%1'").arg(arg);
  if (!inlineValue) {
    if (*i + 1 >= args.size()) return QStringLiteral("option '%1' needs a value").arg(name);
    value = args[++*i];
  }
  if (value.isEmpty()) return QStringLiteral("option '%1' needs a value").arg(name);
  if (slot != &raw.portValue && slot != &raw.optionValue) {
    const auto before = raw.given.constFind(slot);
    if (before != raw.given.constEnd() && before->second != value)
      return QStringLiteral("%1 given twice with different values: '%2' and '%3'").arg(name, before->second, value);
    raw.given.insert(slot, {name, value});
  }
  *slot = value;
  if (slot == &raw.portValue) o.ports << value;
  if (slot == &raw.optionValue) raw.optionValues << value;
  if (slot == &raw.readFile) {
    raw.jobs << QStringLiteral("--read");
    raw.kind = IspJobKind::Read;
  }
  if (slot == &raw.eraseRange) {
    raw.jobs << QStringLiteral("--erase-range");
    raw.kind = IspJobKind::Erase;
  }
  return {};
}

// Reads every word in order; stops at the first bad one or at --help.
QString ScanArguments(const QStringList& args, CliOptions& o, RawOptions& raw) {
  bool optionsEnd = false;
  for (int i = 0; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (optionsEnd || arg == QLatin1String("-") || !arg.startsWith(QLatin1Char('-'))) {
      raw.files << arg;
      continue;
    }
    if (arg == QLatin1String("--")) {
      optionsEnd = true;
      continue;
    }
    QString why;
    if (!TakeFlag(arg, o, raw, &why)) why = TakeValueOption(args, &i, o, raw);
    if (!why.isEmpty() || raw.help) return why;
  }
  return {};
}

// The checks below run in this order, each on what the scan sorted out; the
// first one that finds a fault names it. They return "" when all is well.

QString CheckPortAndJob(RawOptions& raw, CliOptions& o, QStringList&) {
  if (o.ports.isEmpty() && o.portPattern.isEmpty()) return QStringLiteral("no port given (-p PORT)");
  if (!o.ports.isEmpty()) o.port = o.ports.first();
  if (raw.family.isEmpty()) return QStringLiteral("no family given (-f stm32|lpc|stc)");

  // One job a run; --go may follow a download.
  if (raw.jobs.size() > 1) return QStringLiteral("one job at a time, not %1").arg(raw.jobs.join(QStringLiteral(" and ")));
  IspJobKind kind = raw.kind;
  if (kind == IspJobKind::Download && raw.files.isEmpty() && o.job.go) kind = IspJobKind::Go;
  o.job.kind = kind;
  const bool takesFile = kind == IspJobKind::Download || kind == IspJobKind::Verify;
  if (takesFile) {
    if (raw.files.isEmpty()) return QStringLiteral("no firmware file given");
    if (raw.files.size() > 1) return QStringLiteral("one firmware file only, not '%1'").arg(raw.files.join(' '));
    o.file = raw.files.first();
    o.job.file = o.file;
  } else {
    if (!raw.files.isEmpty())
      return QStringLiteral("%1 takes no firmware file ('%2')")
          .arg(raw.jobs.isEmpty() ? QStringLiteral("--go") : raw.jobs.first(), raw.files.join(' '));
    if (kind == IspJobKind::Read) o.job.file = raw.readFile;
  }
  if (o.job.go && kind != IspJobKind::Download && kind != IspJobKind::Go)
    return QStringLiteral("--go follows a download, or stands alone");
  if (o.watch && kind != IspJobKind::Download) return QStringLiteral("--watch watches a firmware file to download");
  return {};
}

// Ranges: --read, --erase-range, --blank-check.
QString CheckRanges(RawOptions& raw, CliOptions& o, QStringList&) {
  const IspJobKind kind = o.job.kind;
  if (!raw.address.isEmpty() || !raw.length.isEmpty()) {
    if (kind != IspJobKind::Read && kind != IspJobKind::BlankCheck && kind != IspJobKind::Verify)
      return QStringLiteral("--address and --length go with --read or --blank-check");
    uint32_t v = 0;
    if (!raw.address.isEmpty()) {
      if (!ParseCliNumber(raw.address, &v))
        return QStringLiteral("--address takes a number (0x08000000, 4096), not '%1'").arg(raw.address);
      o.job.address = v;
    }
    if (!raw.length.isEmpty()) {
      if (!ParseCliNumber(raw.length, &v) || v == 0)
        return QStringLiteral("--length takes a byte count above 0 (256, 64K), not '%1'").arg(raw.length);
      o.job.length = v;
    }
  }
  if (!raw.eraseRange.isEmpty()) {
    const qsizetype colon = raw.eraseRange.indexOf(QLatin1Char(':'));
    uint32_t a = 0, n = 0;
    if (colon <= 0 || !ParseCliNumber(raw.eraseRange.left(colon), &a) ||
        !ParseCliNumber(raw.eraseRange.mid(colon + 1), &n) || n == 0)
      return QStringLiteral("--erase-range takes ADDRESS:LENGTH (0x08004000:16K), not '%1'").arg(raw.eraseRange);
    o.job.address = a;
    o.job.length = n;
  }
  return {};
}

// Options of the parts that trim their own oscillator and carry option bytes.
QString CheckTrimAndOptionBytes(RawOptions& raw, CliOptions& o, QStringList&) {
  if (!raw.frequency.isEmpty()) {
    bool ok = false;
    const double khz = raw.frequency.toDouble(&ok);
    if (!ok || khz < 1000 || khz > 100000)
      return QStringLiteral("--frequency takes kHz, 1000 ... 100000, not '%1'").arg(raw.frequency);
    o.job.frequencyKHz = khz;
  }
  if (!raw.handshake.isEmpty()) {
    // The trim counts are 16 bits: slower than 1200 overflows them at
    // 40 MHz; the boot loaders' autobaud is not known beyond 19200.
    bool ok = false;
    const uint handshakeBaud = raw.handshake.toUInt(&ok);
    if (!ok || handshakeBaud < 1200 || handshakeBaud > 19200)
      return QStringLiteral("--handshake-baud takes 1200 ... 19200, not '%1'").arg(raw.handshake);
    o.job.handshakeBaud = handshakeBaud;
  }
  for (const QString& ov : raw.optionValues) {
    const qsizetype eq = ov.indexOf(QLatin1Char('='));
    if (eq <= 0 || eq == ov.size() - 1) return QStringLiteral("--option takes name=value, not '%1'").arg(ov);
    const QString key = ov.left(eq).trimmed().toLower(), val = ov.mid(eq + 1).trimmed();
    const auto before = o.job.options.constFind(key);
    if (before != o.job.options.constEnd() && before->compare(val, Qt::CaseInsensitive) != 0)
      return QStringLiteral("--option %1 given twice with different values: '%2' and '%3'").arg(key, *before, val);
    o.job.options.insert(key, val);
  }
  o.job.eepromFile = raw.eeprom;
  return {};
}

// A production run.
QString CheckProductionRun(RawOptions& raw, CliOptions& o, QStringList&) {
  o.reportFile = raw.report;
  if (!raw.serialStart.isEmpty() || !raw.serialAddress.isEmpty()) {
    if (raw.serialStart.isEmpty() || raw.serialAddress.isEmpty())
      return QStringLiteral("--serial-start and --serial-address go together");
    bool ok = false;
    const qulonglong n = raw.serialStart.toULongLong(&ok, 0);
    if (!ok) return QStringLiteral("--serial-start takes a number, not '%1'").arg(raw.serialStart);
    o.serialStart = n;
    uint32_t a = 0;
    if (!ParseCliNumber(raw.serialAddress, &a))
      return QStringLiteral("--serial-address takes an address, not '%1'").arg(raw.serialAddress);
    o.serialAddress = a;
    if (o.job.kind != IspJobKind::Download) return QStringLiteral("serial numbers go into a download");
  }
  if (!raw.serialFormat.isEmpty()) {
    const QString f = raw.serialFormat.toLower();
    if (f != QLatin1String("u32le") && f != QLatin1String("ascii"))
      return QStringLiteral("--serial-format is u32le or ascii, not '%1'").arg(raw.serialFormat);
    o.serialFormat = f;
  }
  if (o.serialStart) return SerialRangeProblem(o.serialFormat, *o.serialStart, 1);
  return {};
}

QString CheckFamilyAndSpeed(RawOptions& raw, CliOptions& o, QStringList& notes) {
  const QString fam = raw.family.toLower();
  if (fam == QLatin1String("stm32")) o.family = IspFamily::Stm32;
  else if (fam == QLatin1String("lpc")) o.family = IspFamily::Lpc;
  else if (fam == QLatin1String("stc")) o.family = IspFamily::Stc;
  else return QStringLiteral("unknown family '%1' (stm32, lpc or stc)").arg(raw.family);
  const QString fname = FamilyName(o.family);

  // The window's line settings: STM32 runs at 19200 bit/s or faster (115200
  // unless told), LPC at 57600 unless told (its boot loader takes up to
  // 115200, and more on some parts); STC parts choose their own speeds.
  o.baud = FamilyFacts(o.family).defaultSpeed;
  if (raw.baud.isEmpty()) return {};
  bool ok = false;
  const uint32_t b = raw.baud.toUInt(&ok, 10);
  const IspFamilyFacts& facts = FamilyFacts(o.family);
  if (!ok || !facts.KnownSpeed(b))
    return o.family == IspFamily::Stm32
               ? QStringLiteral("speed '%4' is not one of the port speeds or the %1 boot loader's (%2 ... %3)")
                     .arg(fname).arg(facts.minSpeed).arg(facts.maxSpeed).arg(raw.baud)
               : QStringLiteral("speed '%3' is not one of the port speeds (%1 ... %2)")
                     .arg(kListSpeeds[0]).arg(std::end(kListSpeeds)[-1]).arg(raw.baud);
  if (facts.minSpeed != 0 && b < facts.minSpeed)
    return QStringLiteral("%1 downloads run at %2 bit/s or faster").arg(fname).arg(facts.minSpeed);
  if (facts.maxSpeed != 0 && b > facts.maxSpeed)
    return QStringLiteral("%1 downloads run at %2 bit/s or slower").arg(fname).arg(facts.maxSpeed);
  if (o.family == IspFamily::Stc)
    notes << QStringLiteral("-b is ignored: STC parts set their own speeds");
  else
    o.baud = b;
  return {};
}

QString CheckReset(RawOptions& raw, CliOptions& o, QStringList&) {
  if (raw.reset.isEmpty()) return {};
  const QString w = raw.reset.toLower();
  if (w == QLatin1String("none")) o.reset = ResetWiring::None;
  else if (w == QLatin1String("dtr")) o.reset = ResetWiring::Dtr;
  else if (w == QLatin1String("mode2")) o.reset = ResetWiring::Mode2;
  else {
    QString why;
    const std::optional<ResetSequence> seq = ResetSequence::Parse(raw.reset, &why);
    if (!seq)
      return QStringLiteral("unknown reset wiring '%1' (none, dtr, mode2 or steps like 'rts,dtr,100,-dtr'): %2")
          .arg(raw.reset, why);
    o.reset = ResetWiring::Custom;
    o.resetSequence = seq;
  }
  if (o.reset == ResetWiring::Mode2 && o.family != IspFamily::Stm32)
    return QStringLiteral("--reset mode2 is an STM32 wiring");
  return {};
}

// The ranges of the page's number fields.
QString CheckPageFields(RawOptions& raw, CliOptions& o, QStringList& notes) {
  const QString fname = FamilyName(o.family);
  if (!raw.resetMs.isEmpty()) {
    if (!ParseInt(raw.resetMs, 1, 999, &o.resetMs))
      return QStringLiteral("--reset-ms takes 1 ... 999, not '%1'").arg(raw.resetMs);
    if (o.family != IspFamily::Stc)
      notes << QStringLiteral("--reset-ms is ignored: %1 resets use fixed pulses").arg(fname);
  }
  if (!raw.timeout.isEmpty()) {
    if (!ParseInt(raw.timeout, 1, 99, &o.timeoutS))
      return QStringLiteral("--timeout takes 1 ... 99 seconds, not '%1'").arg(raw.timeout);
    o.timeoutGiven = true;
    if (o.family == IspFamily::Stm32)
      notes << QStringLiteral("--timeout is ignored: STM32 sessions use fixed time-outs");
  }
  if (!raw.crystal.isEmpty()) {
    // Sent to the boot loader as typed, so only plain decimal kHz.
    static const QRegularExpression form(QStringLiteral("^[0-9]{1,6}(\\.[0-9]{1,3})?$"));
    const double khz = raw.crystal.toDouble();
    if (!form.match(raw.crystal).hasMatch() || khz < 1000 || khz > 50000)
      return QStringLiteral("--crystal-khz takes the crystal in kHz, 1000 ... 50000, not '%1'").arg(raw.crystal);
    if (o.family == IspFamily::Lpc)
      o.crystalKHz = raw.crystal;
    else
      notes << QStringLiteral("--crystal-khz is ignored: %1 parts report their crystal").arg(fname);
  }
  return {};
}

// Options only one family reads, and what the others cannot do.
QString CheckStcOnly(RawOptions&, CliOptions& o, QStringList& notes) {
  if (!o.verify && o.verifyReadback)
    return QStringLiteral("--no-verify and --verify-readback cannot go together");
  if (o.family != IspFamily::Lpc && o.verifyReadback)
    notes << QStringLiteral("--verify-readback is for LPC: STM32 always reads back, STC parts cannot be read");
  if (o.family == IspFamily::Stc && !o.verify)
    notes << QStringLiteral("--no-verify changes nothing for STC: the parts cannot be read back");
  if (o.family != IspFamily::Stc) {
    if (o.job.frequencyKHz > 0) return QStringLiteral("--frequency is for STC parts, which trim their own oscillator");
    if (o.job.handshakeBaud != 0) return QStringLiteral("--handshake-baud is for STC parts");
    if (!o.job.options.isEmpty()) return QStringLiteral("--option is for STC parts");
    if (!o.job.eepromFile.isEmpty() || o.job.eepromInImage) return QStringLiteral("--eeprom is for STC parts");
  }
  if (o.family == IspFamily::Stc && o.job.handshakeBaud == 0) o.job.handshakeBaud = kStcFastHandshakeBaud;
  return {};
}

}  // namespace

ParsedCommandLine ParseCommandLine(const QStringList& args) {
  ParsedCommandLine r;
  RawOptions raw;
  QString why = ScanArguments(args, r.options, raw);
  if (why.isEmpty() && raw.help) {
    r.kind = ParsedCommandLine::Kind::Help;
    return r;
  }
  using Check = QString (*)(RawOptions&, CliOptions&, QStringList&);
  for (Check check : {CheckPortAndJob, CheckRanges, CheckTrimAndOptionBytes, CheckProductionRun, CheckFamilyAndSpeed,
                      CheckReset, CheckPageFields, CheckStcOnly}) {
    if (!why.isEmpty()) break;
    why = check(raw, r.options, r.notes);
  }
  if (!why.isEmpty()) {
    r.kind = ParsedCommandLine::Kind::UsageError;
    r.error = why;
    return r;
  }
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
