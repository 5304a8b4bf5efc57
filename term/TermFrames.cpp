#include "term/TermFrames.h"

#include <poll.h>
#include <unistd.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <csignal>
#include <cstdio>
#include <string>

#include "platform/PortDoctor.h"
#include "platform/SerialDevice.h"
#include "platform/SerialOpenError.h"
#include "term/TermOptions.h"
#include "terminal/FrameLog.h"

namespace {

bool ToInt(const QString& s, long long lo, long long hi, long long* v) {
  bool ok = false;
  *v = s.toLongLong(&ok, 0);
  return ok && *v >= lo && *v <= hi;
}

// SLAVE:TABLE:ADDR and what follows it, shared by reads and writes.
bool ParseTarget(const QString& text, const char* what, modbus::Request* req, bool* bits, bool forWrite,
                 QString* rest, QString* error) {
  const QStringList p = text.split(u':');
  if (p.size() != 4) {
    *error = QStringLiteral("%1 takes SLAVE:TABLE:ADDR:%2, not '%3'")
                 .arg(QLatin1String(what), forWrite ? QStringLiteral("V1,V2,...") : QStringLiteral("COUNT"), text);
    return false;
  }
  long long slave = 0, addr = 0;
  // Broadcasts (slave 0) get no reply to check, so they are not offered.
  if (!ToInt(p[0], 1, 247, &slave)) {
    *error = QStringLiteral("slave must be 1 to 247, not '%1'").arg(p[0]);
    return false;
  }
  const QString table = p[1];
  if (table == QLatin1String("coils")) {
    req->function = modbus::kReadCoils;
    *bits = true;
  } else if (table == QLatin1String("inputs")) {
    req->function = modbus::kReadDiscreteInputs;
    *bits = true;
  } else if (table == QLatin1String("holding")) {
    req->function = modbus::kReadHoldingRegisters;
    *bits = false;
  } else if (table == QLatin1String("input-registers")) {
    req->function = modbus::kReadInputRegisters;
    *bits = false;
  } else {
    *error = QStringLiteral("table must be coils, inputs, holding or input-registers, not '%1'").arg(table);
    return false;
  }
  if (!ToInt(p[2], 0, 65535, &addr)) {
    *error = QStringLiteral("address must be 0 to 65535, not '%1'").arg(p[2]);
    return false;
  }
  req->slave = static_cast<uint8_t>(slave);
  req->address = static_cast<uint16_t>(addr);
  *rest = p[3];
  return true;
}

// The request must stay inside the 64 K address space and the protocol's limits.
bool CheckRange(const modbus::Request& req, QString* error) {
  if (req.address + static_cast<int>(req.count) > 65536) {
    *error = QStringLiteral("address %1 + count %2 runs past 65535").arg(req.address).arg(req.count);
    return false;
  }
  QString why;
  if (modbus::EncodeRequest(req, &why).empty()) {
    *error = why.isEmpty() ? QStringLiteral("request breaks the protocol's limits") : why;
    return false;
  }
  return true;
}

volatile sig_atomic_t stopSignal = 0;
void OnStop(int sig) { stopSignal = sig; }

void Last(const QString& line) { std::fprintf(stderr, "%s\n", line.toUtf8().constData()); }

QString MsOfDayText(int64_t epochMs) {
  return QDateTime::fromMSecsSinceEpoch(epochMs).toString(QStringLiteral("HH:mm:ss.zzz"));
}

QString Hex(std::span<const uint8_t> b) {
  static const char kDigits[] = "0123456789ABCDEF";
  QString s;
  for (size_t k = 0; k < b.size(); ++k) {
    if (k) s += u' ';
    s += QLatin1Char(kDigits[b[k] >> 4]);
    s += QLatin1Char(kDigits[b[k] & 15]);
  }
  return s;
}

class Job {
 public:
  Job(const TermOptions& o) : o_(o), platform_(SerialPlatform::System()) {}

  int Run() {
    const std::string port = o_.port.toStdString();
    fd_ = platform_.Open(port);
    if (fd_ < 0) {
      const std::string why = SerialOpenFailureText(port);
      for (const PortFinding& f : DiagnosePort(port)) std::fprintf(stderr, "  %s — %s\n", f.cause.c_str(), f.remedy.c_str());
      std::fprintf(stderr, "%s\n", why.c_str());
      return 2;
    }
    platform_.ApplyLine(fd_, o_.line);
    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);
    std::signal(SIGHUP, OnStop);
    std::signal(SIGPIPE, SIG_IGN);
    clock_.start();
    startEpochMs_ = QDateTime::currentMSecsSinceEpoch();
    int rc = 0;
    switch (o_.frames.kind) {
      case TermFrameJob::Kind::Frames: rc = Listen(false); break;
      case TermFrameJob::Kind::ModbusMonitor: rc = Listen(true); break;
      case TermFrameJob::Kind::ModbusRead:
      case TermFrameJob::Kind::ModbusWrite: rc = Transact(); break;
      case TermFrameJob::Kind::None: break;
    }
    platform_.Close(fd_);
    return rc;
  }

 private:
  int64_t Now() const { return clock_.elapsed(); }
  QString TimeOf(int64_t monoMs) const { return MsOfDayText(startEpochMs_ + monoMs); }

  // Waits up to `ms` for bytes; 0 when none came, -1 when the port failed.
  long Read(uint8_t* buf, size_t size, int ms) {
    pollfd p{fd_, POLLIN, 0};
    const int n = ::poll(&p, 1, ms);
    if (n < 0) return errno == EINTR ? 0 : -1;
    if (n == 0) return 0;
    if (p.revents & POLLIN) {
      const long got = platform_.Read(fd_, buf, size);
      if (got == 0 && platform_.HungUp(fd_)) return -1;
      return got;
    }
    return -1;  // hang-up or error without data
  }

  void Print(const QString& line) {
    std::fprintf(stdout, "%s\n", line.toUtf8().constData());
    std::fflush(stdout);  // a pipe reader sees each frame as it ends
  }

  void PrintFrames(std::vector<Frame>& frames) {
    for (const Frame& f : frames) {
      QString verdict;
      if (f.stray) verdict = QStringLiteral("未成帧");
      else verdict = FrameLog::VerdictText(static_cast<uint8_t>(CheckFrame(o_.frames.place, f.bytes)));
      QString line = TimeOf(f.timeMs) + QStringLiteral("  ") + QString::number(f.bytes.size()) +
                     QStringLiteral("  ") + Hex(f.bytes);
      if (!verdict.isEmpty()) line += QStringLiteral("  ") + verdict;
      Print(line);
    }
    frames.clear();
  }

  void PrintBus(std::vector<modbus::BusFrame>& frames) {
    for (const modbus::BusFrame& f : frames) {
      const QString text = f.valid ? f.text : QStringLiteral("未成帧");
      Print(TimeOf(f.timeMs) + QStringLiteral("  ") + QString::number(f.bytes.size()) + QStringLiteral("  ") +
            Hex(f.bytes) + QStringLiteral("  ") + text);
    }
    frames.clear();
  }

  // --frames and --modbus-monitor: until a signal, or the port fails.
  int Listen(bool monitor) {
    FrameSplitter splitter(o_.frames.rule);
    modbus::Monitor bus;
    std::vector<Frame> frames;
    std::vector<modbus::BusFrame> busFrames;
    uint8_t buf[4096];
    int rc = 0;
    while (!stopSignal) {
      const long n = Read(buf, sizeof buf, 20);
      if (n < 0) {
        rc = 1;
        break;
      }
      const std::span<const uint8_t> got(buf, static_cast<size_t>(n));
      if (monitor) {
        if (n > 0) bus.Feed(got, Now(), busFrames);
        bus.Tick(Now(), busFrames);
        PrintBus(busFrames);
      } else {
        if (n > 0) splitter.Feed(got, Now(), frames);
        splitter.Tick(Now(), frames);
        PrintFrames(frames);
      }
    }
    // What was pending when the job ended is still shown.
    if (monitor) {
      bus.Flush(busFrames);
      PrintBus(busFrames);
    } else {
      splitter.Flush(frames);
      PrintFrames(frames);
    }
    if (rc) Last(QStringLiteral("串口已断开 %1").arg(o_.port));
    return rc;
  }

  int Transact() {
    const modbus::Request& req = o_.frames.request;
    modbus::Transaction t(req);
    // Stale bytes from before would be taken for the reply's start.
    platform_.Purge(fd_, true, false);
    const std::vector<uint8_t>& frame = t.Frame();
    size_t done = 0;
    while (done < frame.size()) {
      const long n = platform_.Write(fd_, frame.data() + done, frame.size() - done);
      if (n < 0) {
        Last(QStringLiteral("串口写入失败 %1").arg(o_.port));
        return 1;
      }
      if (n == 0) {
        pollfd w{fd_, POLLOUT, 0};
        ::poll(&w, 1, 100);
      }
      done += static_cast<size_t>(n);
    }
    const int64_t deadline = Now() + o_.frames.timeoutMs;
    uint8_t buf[512];
    while (!t.Done() && !stopSignal) {
      const int64_t left = deadline - Now();
      if (left <= 0) break;
      const long n = Read(buf, sizeof buf, static_cast<int>(std::min<int64_t>(left, 50)));
      if (n < 0) {
        Last(QStringLiteral("串口已断开 %1").arg(o_.port));
        return 1;
      }
      if (n > 0) t.Feed(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
    }
    const modbus::Reply r = t.Result();
    const QString what = QStringLiteral("从站 %1 %2").arg(req.slave).arg(modbus::FunctionName(req.function));
    switch (r.status) {
      case modbus::ReplyStatus::Ok:
        if (o_.frames.kind == TermFrameJob::Kind::ModbusRead)
          for (uint16_t v : r.values) Print(QString::number(v));
        return 0;
      case modbus::ReplyStatus::Exception:
        Last(QStringLiteral("%1 异常 %2：%3")
                 .arg(what)
                 .arg(r.exceptionCode, 2, 16, QLatin1Char('0'))
                 .arg(modbus::ExceptionName(r.exceptionCode)));
        return 1;
      case modbus::ReplyStatus::Timeout:
        Last(QStringLiteral("%1 超时：%2 ms 内没有应答").arg(what).arg(o_.frames.timeoutMs));
        return 1;
      case modbus::ReplyStatus::CrcError:
      case modbus::ReplyStatus::Mismatch:
        Last(QStringLiteral("%1 应答有误：%2").arg(what, r.error));
        return 1;
    }
    return 1;
  }

  const TermOptions& o_;
  SerialPlatform& platform_;
  int fd_ = -1;
  QElapsedTimer clock_;
  int64_t startEpochMs_ = 0;
};

}  // namespace

bool ParseFrameRule(const QString& text, SplitRule* rule, ChecksumPlace* place, QString* error) {
  ChecksumPlace p;
  bool kindGiven = false, orderGiven = false, tailGiven = false;
  QStringList splitterParts;
  for (const QString& raw : text.split(u',', Qt::SkipEmptyParts)) {
    const QString part = raw.trimmed();
    const qsizetype eq = part.indexOf(u'=');
    const QString key = eq < 0 ? part : part.left(eq);
    const QString val = eq < 0 ? QString() : part.mid(eq + 1);
    ChecksumKind kind;
    long long n = 0;
    if (key == QLatin1String("crc") || key == QLatin1String("sum")) {
      if (!ChecksumFromKey(val, &kind)) {
        *error = QStringLiteral("unknown checksum '%1' (modbus, ccitt, xmodem, crc32, crc8, sum8, xor, none)").arg(val);
        return false;
      }
      p.kind = kind;
      kindGiven = true;
    } else if (eq < 0 && key != QLatin1String("modbus") && ChecksumFromKey(key, &kind)) {
      // A bare checksum name; "modbus" alone is the splitter.
      p.kind = kind;
      kindGiven = true;
    } else if (eq < 0 && (key == QLatin1String("le") || key == QLatin1String("be"))) {
      p.littleEndian = key == QLatin1String("le");
      orderGiven = true;
    } else if (key == QLatin1String("skip") || key == QLatin1String("tail")) {
      if (!ToInt(val, 0, 64, &n)) {
        *error = QStringLiteral("%1 takes 0 to 64 bytes, not '%2'").arg(key, val);
        return false;
      }
      (key == QLatin1String("skip") ? p.skipHead : p.tail) = static_cast<int>(n);
      tailGiven |= key == QLatin1String("tail");
    } else {
      splitterParts << part;
    }
  }
  QString why;
  const SplitRule r = SplitRule::Parse(splitterParts.join(u','), &why);
  if (!why.isEmpty()) {
    *error = why;
    return false;
  }
  // A Modbus bus carries its own check; a CRC-16/MODBUS is sent low byte first.
  if (!kindGiven && r.mode == SplitRule::Mode::Modbus) p.kind = ChecksumKind::Crc16Modbus;
  if (!orderGiven) p.littleEndian = p.kind == ChecksumKind::Crc16Modbus;
  // A terminator ends the frame, so a checksum can only sit before it.
  if (!tailGiven && r.mode == SplitRule::Mode::Terminator) p.tail = static_cast<int>(r.terminator.size());
  *rule = r;
  *place = p;
  return true;
}

bool ParseModbusRead(const QString& text, modbus::Request* req, bool* bits, QString* error) {
  modbus::Request r;
  QString rest;
  if (!ParseTarget(text, "--modbus-read", &r, bits, false, &rest, error)) return false;
  long long count = 0;
  if (!ToInt(rest, 1, *bits ? modbus::kMaxReadBits : modbus::kMaxReadRegisters, &count)) {
    *error = QStringLiteral("count must be 1 to %1, not '%2'")
                 .arg(*bits ? modbus::kMaxReadBits : modbus::kMaxReadRegisters)
                 .arg(rest);
    return false;
  }
  r.count = static_cast<uint16_t>(count);
  if (!CheckRange(r, error)) return false;
  *req = r;
  return true;
}

bool ParseModbusWrite(const QString& text, modbus::Request* req, bool* bits, QString* error) {
  modbus::Request r;
  QString rest;
  if (!ParseTarget(text, "--modbus-write", &r, bits, true, &rest, error)) return false;
  if (r.function == modbus::kReadDiscreteInputs || r.function == modbus::kReadInputRegisters) {
    *error = QStringLiteral("%1 are read-only").arg(text.section(u':', 1, 1));
    return false;
  }
  // Values separated by commas only: the rest of the rule is split by colons.
  std::vector<uint16_t> values;
  if (rest.contains(u' ') || !modbus::ParseValues(rest, modbus::ValueFormat::Unsigned, *bits, &values, error)) {
    if (rest.contains(u' ')) *error = QStringLiteral("values are separated by commas: '%1'").arg(rest);
    return false;
  }
  const int limit = *bits ? modbus::kMaxWriteBits : modbus::kMaxWriteRegisters;
  if (static_cast<int>(values.size()) > limit) {
    *error = QStringLiteral("at most %1 values in one write, not %2").arg(limit).arg(values.size());
    return false;
  }
  // One value goes as a single write (05/06), more as a multiple write (0F/10).
  if (values.size() == 1)
    r.function = *bits ? modbus::kWriteSingleCoil : modbus::kWriteSingleRegister;
  else
    r.function = *bits ? modbus::kWriteMultipleCoils : modbus::kWriteMultipleRegisters;
  r.count = static_cast<uint16_t>(values.size());
  r.values = std::move(values);
  if (!CheckRange(r, error)) return false;
  *req = r;
  return true;
}

int TakeFrameOption(const QStringList& args, int& i, TermFrameJob* job, QString* error) {
  const QString& a = args[i];
  const auto value = [&](const char* name, QString* v) {
    const QString n = QString::fromLatin1(name);
    if (a == n) {
      if (i + 1 >= args.size()) {
        *error = QStringLiteral("%1 needs a value").arg(n);
        return -1;
      }
      *v = args[++i];
      return 1;
    }
    if (a.startsWith(n + u'=')) {
      *v = a.mid(n.size() + 1);
      return 1;
    }
    return 0;
  };
  const auto setKind = [&](TermFrameJob::Kind k) {
    if (job->kind != TermFrameJob::Kind::None) {
      *error = QStringLiteral("--frames, --modbus-read, --modbus-write and --modbus-monitor go one at a time");
      return false;
    }
    job->kind = k;
    return true;
  };
  QString v;
  int r = 0;
  if (a == QLatin1String("--modbus-monitor")) {
    return setKind(TermFrameJob::Kind::ModbusMonitor) ? 1 : -1;
  }
  if ((r = value("--frames", &v)) != 0) {
    if (r < 0 || !setKind(TermFrameJob::Kind::Frames)) return -1;
    QString why;
    if (!ParseFrameRule(v, &job->rule, &job->place, &why)) {
      *error = QStringLiteral("--frames: %1").arg(why);
      return -1;
    }
    return 1;
  }
  if ((r = value("--modbus-read", &v)) != 0) {
    if (r < 0 || !setKind(TermFrameJob::Kind::ModbusRead)) return -1;
    return ParseModbusRead(v, &job->request, &job->bits, error) ? 1 : -1;
  }
  if ((r = value("--modbus-write", &v)) != 0) {
    if (r < 0 || !setKind(TermFrameJob::Kind::ModbusWrite)) return -1;
    return ParseModbusWrite(v, &job->request, &job->bits, error) ? 1 : -1;
  }
  if ((r = value("--modbus-timeout", &v)) != 0) {
    long long ms = 0;
    if (r < 0) return -1;
    if (!ToInt(v, 10, 60000, &ms)) {
      *error = QStringLiteral("--modbus-timeout takes 10 to 60000 ms, not '%1'").arg(v);
      return -1;
    }
    job->timeoutMs = static_cast<int>(ms);
    return 1;
  }
  return 0;
}

QString FrameHelpText() {
  return QStringLiteral(
      "Frames and Modbus RTU: one of these replaces the terminal (not with\n"
      "--hex, --timestamps or --log)\n"
      "      --frames RULE     print one line per received frame: time, length,\n"
      "                        hex, checksum verdict; ends on Ctrl-C\n"
      "      --modbus-read SLAVE:TABLE:ADDR:COUNT\n"
      "                        read and print the values one a line; TABLE is\n"
      "                        coils, inputs, holding or input-registers\n"
      "      --modbus-write SLAVE:TABLE:ADDR:V1,V2,...\n"
      "                        write coils (0/1) or holding registers; one value\n"
      "                        goes as a single write, more as a multiple write\n"
      "      --modbus-timeout MS  wait for a reply (default 1000)\n"
      "      --modbus-monitor  decode the requests and replies heard on a bus\n"
      "RULE is comma-separated parts: one splitter\n"
      "  gap=5ms               a silence of 5 ms ends a frame\n"
      "  end=0d0a              the hex terminator ends a frame (kept in it)\n"
      "  fixed=8               frames of 8 bytes\n"
      "  len@2:2le+1           a length field at offset 2, 2 bytes, le or be,\n"
      "                        1 byte more after what it counts; with head=aa55\n"
      "                        (a frame's hex start), whole (it counts the frame)\n"
      "  modbus                Modbus RTU by CRC and function code\n"
      "  max=N                 the longest frame (default 4096)\n"
      "and a checksum after the covered bytes\n"
      "  crc=NAME or NAME      modbus, ccitt, xmodem, crc32, crc8, sum8, xor, none\n"
      "  le, be                its byte order (default: le for modbus, else be)\n"
      "  skip=N, tail=N        N bytes before the covered ones, N after the\n"
      "                        checksum (default: the terminator's length)\n"
      "e.g. gap=5ms,crc=modbus  end=0d0a,sum8  modbus\n");
}

int RunFrameJob(const TermOptions& options) { return Job(options).Run(); }
