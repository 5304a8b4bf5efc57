#include "cli/CliOptions.h"

#include <QRegularExpression>

namespace {

bool ParseInt(const QString& text, int low, int high, int* value) {
  bool ok = false;
  const int v = text.toInt(&ok, 10);
  if (!ok || v < low || v > high) return false;
  *value = v;
  return true;
}

QString FamilyName(IspFamily f) {
  switch (f) {
    case IspFamily::Stm32: return QStringLiteral("STM32");
    case IspFamily::Lpc: return QStringLiteral("LPC");
    case IspFamily::Stc: return QStringLiteral("STC");
  }
  return {};
}

}  // namespace

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
  QStringList files;
  bool optionsEnd = false;
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
    if (arg == QLatin1String("--watch")) {
      o.watch = true;
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
    if (name == QLatin1String("-p") || name == QLatin1String("--port")) slot = &o.port;
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
    *slot = value;
  }

  if (o.port.isEmpty()) return fail(QStringLiteral("no port given (-p PORT)"));
  if (family.isEmpty()) return fail(QStringLiteral("no family given (-f stm32|lpc|stc)"));
  if (files.isEmpty()) return fail(QStringLiteral("no firmware file given"));
  if (files.size() > 1) return fail(QStringLiteral("one firmware file only, not '%1'").arg(files.join(' ')));
  o.file = files.first();

  const QString fam = family.toLower();
  if (fam == QLatin1String("stm32")) o.family = IspFamily::Stm32;
  else if (fam == QLatin1String("lpc")) o.family = IspFamily::Lpc;
  else if (fam == QLatin1String("stc")) o.family = IspFamily::Stc;
  else return fail(QStringLiteral("unknown family '%1' (stm32, lpc or stc)").arg(family));
  const QString fname = FamilyName(o.family);

  // The window's line settings: STM32 runs at 19200 bit/s or faster (115200
  // unless told), LPC at 57600 or slower; STC parts choose their own speeds.
  o.baud = o.family == IspFamily::Stm32 ? 115200 : o.family == IspFamily::Lpc ? 57600 : 0;
  if (!baud.isEmpty()) {
    bool ok = false;
    const uint32_t b = baud.toUInt(&ok, 10);
    if (!ok || !ListSpeeds().contains(b))
      return fail(QStringLiteral("speed '%1' is not one of the port speeds (110 ... 1228800)").arg(baud));
    if (o.family == IspFamily::Stm32 && b < 19200)
      return fail(QStringLiteral("STM32 downloads run at 19200 bit/s or faster"));
    if (o.family == IspFamily::Lpc && b > 57600)
      return fail(QStringLiteral("LPC downloads run at 57600 bit/s or slower"));
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
    else return fail(QStringLiteral("unknown reset wiring '%1' (none, dtr or mode2)").arg(reset));
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

  r.kind = ParsedCommandLine::Kind::Run;
  return r;
}

QString HelpText() {
  return QStringLiteral(
      "Usage: vortana-isp -p PORT -f stm32|lpc|stc [options] FILE\n"
      "Downloads FILE (Intel HEX; raw binary for STM32) into a microcontroller\n"
      "through its serial boot loader, with the engines of the Vortana window.\n"
      "\n"
      "  -p, --port PORT       device path or port name as the lists show it (ttyUSB0)\n"
      "  -f, --family FAMILY   stm32 (8E1), lpc (8N1) or stc (its own speeds)\n"
      "  -b, --baud BAUD       port speed: STM32 19200 ... 1228800, default 115200;\n"
      "                        LPC 110 ... 57600, default 57600\n"
      "      --reset WIRING    reset into the boot loader on DTR/RTS: dtr (default),\n"
      "                        mode2 (the second STM32 wiring) or none\n"
      "      --reset-ms N      STC reset pulse on RTS, 1 ... 999 ms (default 500)\n"
      "      --timeout S       STC: seconds to wait for the chip; LPC: paces data\n"
      "                        lines by S x 3 ms; 1 ... 99 (default 5)\n"
      "      --crystal-khz K   LPC crystal frequency in kHz (default 11059.2)\n"
      "      --no-verify       skip reading the image back after writing\n"
      "      --watch           stay and download again whenever FILE changes;\n"
      "                        Ctrl-C ends it (the exit status is the last download's)\n"
      "  -h, --help            this text\n"
      "\n"
      "Prints the status lines of the window's log, one a line, on standard output,\n"
      "and the progress on standard error. Exit status: 0 the image is in the chip,\n"
      "1 the download failed (the reason is the last line), 2 usage or file error\n"
      "(nothing was sent).\n");
}
