#include "term/TermOptions.h"

namespace {

bool TakeValue(const QStringList& args, int& i, const QString& arg, const char* longName, const char* shortName,
               QString* value, QString* error) {
  const QString l = QString::fromLatin1(longName);
  if (arg == l || (shortName && arg == QLatin1String(shortName))) {
    if (i + 1 >= args.size()) {
      *error = QStringLiteral("%1 needs a value").arg(arg);
      return true;
    }
    *value = args[++i];
    return true;
  }
  if (arg.startsWith(l + u'=')) {
    *value = arg.mid(l.size() + 1);
    return true;
  }
  return false;
}

}  // namespace

TermOptions ParseTermOptions(const QStringList& args) {
  TermOptions o;
  o.line.baudRate = 115200;
  bool list = false, doctor = false;
  auto fail = [&o](const QString& why) {
    o.mode = TermOptions::Mode::UsageError;
    o.error = why;
    return o;
  };
  for (int i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    QString v, err;
    if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
      o.mode = TermOptions::Mode::Help;
      return o;
    }
    if (a == QLatin1String("--hex")) { o.hex = true; continue; }
    if (a == QLatin1String("--1k")) { o.oneK = true; continue; }
    if (a == QLatin1String("--checksum")) { o.checksum = true; continue; }
    {
      using T = TermOptions::Transfer;
      const struct { const char* name; T kind; } transfers[] = {
          {"--send-xmodem", T::SendXmodem}, {"--receive-xmodem", T::ReceiveXmodem},
          {"--send-ymodem", T::SendYmodem}, {"--receive-ymodem", T::ReceiveYmodem}};
      bool taken = false;
      for (const auto& t : transfers) {
        if (a != QLatin1String(t.name)) continue;
        if (o.transfer != T::None) return fail(QStringLiteral("only one transfer at a time"));
        o.transfer = t.kind;
        if (i + 1 >= args.size()) return fail(QStringLiteral("%1 needs a file").arg(a));
        o.files << args[++i];
        // YMODEM sends a batch: every following name that is not an option.
        while (t.kind == T::SendYmodem && i + 1 < args.size() && !args[i + 1].startsWith(u'-')) o.files << args[++i];
        taken = true;
      }
      if (taken) continue;
    }
    if (a == QLatin1String("--timestamps")) { o.timestamps = true; continue; }
    if (a == QLatin1String("--list-ports")) { list = true; continue; }
    if (a == QLatin1String("--doctor")) {
      doctor = true;
      // An optional port right after it.
      if (i + 1 < args.size() && !args[i + 1].startsWith(u'-')) o.port = args[++i];
      continue;
    }
    if (TakeValue(args, i, a, "--port", "-p", &v, &err)) {
      if (!err.isEmpty()) return fail(err);
      o.port = v;
    } else if (TakeValue(args, i, a, "--baud", "-b", &v, &err)) {
      if (!err.isEmpty()) return fail(err);
      bool ok = false;
      const uint baud = v.toUInt(&ok);
      if (!ok || baud == 0 || baud > 12000000) return fail(QStringLiteral("bad speed '%1'").arg(v));
      o.line.baudRate = baud;
    } else if (TakeValue(args, i, a, "--parity", nullptr, &v, &err)) {
      if (!err.isEmpty()) return fail(err);
      if (v == QLatin1String("none")) o.line.parity = 0;
      else if (v == QLatin1String("odd")) o.line.parity = 1;
      else if (v == QLatin1String("even")) o.line.parity = 2;
      else return fail(QStringLiteral("--parity takes none, even or odd, not '%1'").arg(v));
    } else if (TakeValue(args, i, a, "--data", nullptr, &v, &err)) {
      if (!err.isEmpty()) return fail(err);
      bool ok = false;
      const int bits = v.toInt(&ok);
      if (!ok || bits < 5 || bits > 8) return fail(QStringLiteral("--data takes 5 to 8, not '%1'").arg(v));
      o.line.dataBits = bits;
    } else if (TakeValue(args, i, a, "--stop", nullptr, &v, &err)) {
      if (!err.isEmpty()) return fail(err);
      if (v == QLatin1String("1")) o.line.stopBits = 0;
      else if (v == QLatin1String("2")) o.line.stopBits = 2;
      else return fail(QStringLiteral("--stop takes 1 or 2, not '%1'").arg(v));
    } else if (TakeValue(args, i, a, "--log", nullptr, &v, &err)) {
      if (!err.isEmpty()) return fail(err);
      if (v.isEmpty()) return fail(QStringLiteral("--log needs a file name"));
      o.logFile = v;
    } else if (const int taken = TakeFrameOption(args, i, &o.frames, &err); taken != 0) {
      if (taken < 0) return fail(err);
    } else {
      return fail(QStringLiteral("unknown option '%1'").arg(a));
    }
  }
  if (o.frames.kind != TermFrameJob::Kind::None && (o.hex || o.timestamps || !o.logFile.isEmpty()))
    return fail(QStringLiteral("--hex, --timestamps and --log belong to the terminal, not to the frame and Modbus jobs"));
  if (list && doctor) return fail(QStringLiteral("--list-ports and --doctor do not go together"));
  if (list) o.mode = TermOptions::Mode::ListPorts;
  else if (doctor) o.mode = TermOptions::Mode::Doctor;
  else if (o.port.isEmpty()) return fail(QStringLiteral("no port given (-p PORT)"));
  else o.mode = o.transfer == TermOptions::Transfer::None ? TermOptions::Mode::Run : TermOptions::Mode::Transfer;
  if (o.transfer == TermOptions::Transfer::None && (o.oneK || o.checksum))
    return fail(QStringLiteral("--1k and --checksum go with a transfer"));
  if (o.checksum && o.transfer != TermOptions::Transfer::ReceiveXmodem)
    return fail(QStringLiteral("--checksum goes with --receive-xmodem"));
  if (o.oneK && (o.transfer == TermOptions::Transfer::ReceiveXmodem || o.transfer == TermOptions::Transfer::ReceiveYmodem))
    return fail(QStringLiteral("--1k goes with sending; the sender chooses the block size"));
  return o;
}

QString TermHelpText() {
  return QStringLiteral(
      "Usage: vortana-term -p PORT [options]\n"
      "       vortana-term --list-ports\n"
      "       vortana-term --doctor [PORT]\n"
      "Connects standard input and output to a serial port. On a terminal the\n"
      "keyboard goes to the port as typed; Ctrl-] then q quits (Ctrl-] twice\n"
      "sends one Ctrl-]). From a pipe it ends at end of input once the output\n"
      "has left the port. An unplugged adapter is waited for and reopened when\n"
      "the same adapter (serial number, or USB path) returns.\n"
      "\n"
      "  -p, --port PORT       ttyUSB0, /dev/ttyUSB0 or /dev/serial/by-id/...\n"
      "  -b, --baud BAUD       speed in bit/s (default 115200)\n"
      "      --parity P        none, even or odd (default none)\n"
      "      --data N          data bits, 5 to 8 (default 8)\n"
      "      --stop N          stop bits, 1 or 2 (default 1)\n"
      "      --hex             show received bytes in hex\n"
      "      --timestamps      start each received line with its arrival time\n"
      "      --log FILE        append every received byte, raw, to FILE\n"
      "      --send-xmodem FILE      send FILE over XMODEM (CRC or checksum, as\n"
      "                              the receiver asks)\n"
      "      --receive-xmodem FILE   receive over XMODEM into FILE (whole blocks)\n"
      "      --send-ymodem FILE...   send a batch of files over YMODEM\n"
      "      --receive-ymodem DIR    receive a YMODEM batch into folder DIR\n"
      "      --1k              send 1024-byte blocks\n"
      "      --checksum        receive XMODEM with the arithmetic checksum\n"
      "      --list-ports      list the serial ports with their adapters\n"
      "      --doctor [PORT]   name what keeps a port from working; exit 1 when\n"
      "                        something was found, 0 when nothing\n"
      "  -h, --help            this text\n"
      "\n") +
         FrameHelpText() +
         QStringLiteral(
             "\n"
      "Exit status: 0 done (a transfer completed), 1 the port failed, the other\n"
      "side gave up, a Modbus exception or a time-out (the cause on the last\n"
      "line), 2 usage or port error.\n");
}
