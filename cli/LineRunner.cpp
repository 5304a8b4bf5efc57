#include "cli/LineRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/PortDiscovery.h"
#include "cli/CliHost.h"
#include "cli/ProgressText.h"
#include "cli/Signals.h"
#include "isp/lpc/LPC.h"
#include "isp/stc/STC.h"
#include "isp/stm32/Stm32Engine.h"
#include "platform/SerialAdapter.h"
#include "platform/SerialDevice.h"

namespace {

constexpr int kTickMs = 100;
constexpr int kRedrawMs = 100;
constexpr int kPresenceMs = 300;   // station: how often an absent port is looked at
constexpr int kProbeRestMs = 1000; // station: between probes of a board that stays
constexpr int kUsageRestMs = 2000; // station: after a port or file that could not be used

QString FamilyArg(IspFamily f) {
  return f == IspFamily::Stm32 ? QStringLiteral("stm32") : f == IspFamily::Lpc ? QStringLiteral("lpc")
                                                                                : QStringLiteral("stc");
}

// Whether the family can identify a part without touching its flash: then a
// station tells a new board from the one just programmed by its unique ID.
bool FamilyHasInfo(const CliOptions& o, Console& console) {
  CliOptions quiet = o;
  CliHost host(quiet, console);
  host.SetQuiet(true);
  switch (o.family) {
    case IspFamily::Stm32: return Stm32Engine(host).Supports(IspJobKind::Info);
    case IspFamily::Lpc: return TLPCFrm(host).Supports(IspJobKind::Info);
    case IspFamily::Stc: return TSTCFrm(host).Supports(IspJobKind::Info);
  }
  return false;
}

}  // namespace

QStringList LineRunner::PortsMatching(const QString& pattern) {
  const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern),
                              QRegularExpression::UseUnicodePropertiesOption);
  QStringList found;
  if (pattern.contains(QLatin1Char('/'))) {
    // A path pattern: the serial devices that match in its folder. Only
    // character devices: the run's own logs and reports may match too.
    const QFileInfo fi(pattern);
    QDir dir(fi.path());
    for (const QString& name : dir.entryList({fi.fileName()}, QDir::System | QDir::Files | QDir::NoDotAndDotDot,
                                             QDir::Name)) {
      struct stat st {};
      const QString path = dir.filePath(name);
      if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode)) found << path;
    }
    return found;
  }
  for (const QString& name : DiscoverPorts())
    if (re.match(name).hasMatch() || re.match(QFileInfo(name).fileName()).hasMatch()) found << name;
  return found;
}

LineRunner::LineRunner(const CliOptions& options, Console& console, FILE* err, bool errIsTerminal)
    : options_(options), console_(console), err_(err), tty_(errIsTerminal) {
  tick_.setInterval(kTickMs);
  connect(&tick_, &QTimer::timeout, this, &LineRunner::Tick);
}

LineRunner::~LineRunner() {
  for (auto& b : boards_)
    if (b->proc && b->proc->state() != QProcess::NotRunning) {
      b->proc->terminate();
      b->proc->waitForFinished(3000);
    }
}

bool LineRunner::Present(const QString& port) const {
  struct stat st {};
  return ::stat(SerialDevicePath(port.toStdString()).c_str(), &st) == 0;
}

bool LineRunner::OtherAdapter(const Board& b) const {
  if (b.identity.isEmpty()) return false;
  const std::string id = AdapterOfPort(b.port.toStdString()).Identity();
  return !id.empty() && QString::fromStdString(id) != b.identity;
}

int LineRunner::Exec() {
  QStringList ports = options_.ports;
  if (!options_.portPattern.isEmpty())
    for (const QString& p : PortsMatching(options_.portPattern))
      if (!ports.contains(p)) ports << p;
  // A station serves the pattern's ports as they appear; a run of the
  // boards there now needs one.
  if (ports.isEmpty() && !options_.watchBoards) {
    console_.Error(QStringLiteral("no port matches '%1'").arg(options_.portPattern));
    return 2;
  }
  if (ports.removeDuplicates() > 0) console_.Error(QStringLiteral("a port named twice is programmed once"));

  const bool takesFile = options_.job.kind == IspJobKind::Download || options_.job.kind == IspJobKind::Verify;
  if (takesFile) {
    if (!QFileInfo(options_.file).isFile()) {
      console_.Line(QStringLiteral("文件不存在: %1").arg(options_.file));
      return 2;
    }
    imageSha_ = FileSha256(options_.file);
  }
  if (options_.serialStart) {
    const uint64_t first = options_.reportFile.isEmpty()
                               ? *options_.serialStart
                               : FirstFreeSerial(*options_.serialStart, SerialsInReport(options_.reportFile));
    if (first != *options_.serialStart)
      console_.Error(QStringLiteral("serial numbers below %1 are in %2 already: starting at %1")
                         .arg(first)
                         .arg(options_.reportFile));
    nextSerial_ = first;
    // Every board of a run gets its number, or none starts; a station
    // learns of a number that does not fit when the board comes.
    const QString range =
        SerialRangeProblem(options_.serialFormat, first, options_.watchBoards ? 1 : static_cast<uint64_t>(ports.size()));
    if (!range.isEmpty()) {
      console_.Error(range);
      return 2;
    }
    if (options_.serialAddress && takesFile) {
      const QString place = SerialPlacementProblem(
          options_.family == IspFamily::Stm32, options_.file, *options_.serialAddress,
          static_cast<uint32_t>(SerialNumberBytes(first, options_.serialFormat).size()));
      if (!place.isEmpty()) {
        console_.Error(place);
        return 2;
      }
    }
  }
  if (!options_.reportFile.isEmpty()) {
    QFile f(options_.reportFile);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) {
      console_.Error(QStringLiteral("cannot write the report %1: %2").arg(options_.reportFile, f.errorString()));
      return 2;
    }
  }
  infoProbe_ = options_.watchBoards && FamilyHasInfo(options_, console_);

  // A second Ctrl-C is the run's too: it stops the boards, each releasing
  // its port, rather than killing this process.
  const int signalFd = SignalPipe(false);
  if (signalFd >= 0) {
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    connect(signalNotifier_.get(), &QSocketNotifier::activated, this, &LineRunner::Interrupted);
  }

  runClock_.start();
  for (const QString& p : ports) {
    auto b = std::make_unique<Board>();
    b->port = p;
    boards_.push_back(std::move(b));
  }
  if (options_.watchBoards && !options_.portPattern.isEmpty())
    console_.Error(QStringLiteral("station: %1 port(s) now, and every port matching '%2' that appears; a board is "
                                  "programmed when it is connected; Ctrl-C ends")
                       .arg(ports.size())
                       .arg(options_.portPattern));
  else if (options_.watchBoards)
    console_.Error(QStringLiteral("station: %1 port(s); a board is programmed when it is connected; Ctrl-C ends")
                       .arg(ports.size()));
  for (auto& b : boards_) {
    if (!options_.watchBoards || Present(b->port))
      StartJob(*b);
    else
      b->phase = Phase::Absent;
  }
  tick_.start();
  Redraw(true);
  return QCoreApplication::exec();
}

void LineRunner::StartJob(Board& b) {
  if (const std::string id = AdapterOfPort(b.port.toStdString()).Identity(); !id.empty())
    b.identity = QString::fromStdString(id);
  b.boardStays = false;
  b.probe = false;
  b.result.reset();
  b.text.clear();
  b.percent = 0;
  b.serial.reset();
  if (options_.serialStart) b.serial = nextSerial_++;
  b.clock.start();
  b.phase = Phase::Working;
  if (b.serial && SerialNumberBytes(*b.serial, options_.serialFormat).empty()) {
    // The numbers have run out: this board fails without being touched,
    // and is recorded so (never as programmed).
    PorcelainEvent e;
    e.kind = PorcelainEvent::Kind::Result;
    e.result.cause = SerialRangeProblem(options_.serialFormat, *b.serial, 1);
    e.result.partAnswered = true;  // a board came; it is recorded, not waited for
    e.exitStatus = 1;
    JobEnded(b, e);
    return;
  }
  Launch(b, BoardArguments(options_, b.port, b.serial));
}

void LineRunner::StartProbe(Board& b) {
  b.probe = true;
  b.result.reset();
  b.phase = Phase::Probing;
  CliOptions info = options_;
  info.job = IspJob::OfKind(IspJobKind::Info);
  Launch(b, BoardArguments(info, b.port, std::nullopt));
}

void LineRunner::Launch(Board& b, const QStringList& args) {
  b.pending.clear();
  b.proc = std::make_unique<QProcess>();
  QProcess* p = b.proc.get();
  p->setProgram(QCoreApplication::applicationFilePath());
  p->setArguments(args);
  // A board's process stays out of the terminal's process group: Ctrl-C is
  // this run's to decide (let the boards in progress finish), not theirs.
  p->setChildProcessModifier([] { ::setpgid(0, 0); });
  p->setProcessChannelMode(QProcess::SeparateChannels);
  connect(p, &QProcess::readyReadStandardOutput, this, [this, &b] { ReadOutput(b); });
  connect(p, &QProcess::readyReadStandardError, this, [this, &b, p] {
    for (const QByteArray& line : p->readAllStandardError().split('\n'))
      if (!line.trimmed().isEmpty() && !b.probe) Say(b, QString::fromUtf8(line.trimmed()));
  });
  connect(p, &QProcess::finished, this, [this, &b] { Finished(b); });
  connect(p, &QProcess::errorOccurred, this, [this, &b](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) Finished(b);
  });
  p->start();
}

void LineRunner::ReadOutput(Board& b) {
  if (!b.proc) return;
  b.pending += b.proc->readAllStandardOutput();
  qsizetype nl;
  while ((nl = b.pending.indexOf('\n')) >= 0) {
    const QByteArray line = b.pending.left(nl);
    b.pending.remove(0, nl + 1);
    const PorcelainEvent e = ParsePorcelainLine(line);
    if (b.probe) {
      if (e.kind == PorcelainEvent::Kind::Result) b.result = e;
      continue;
    }
    switch (e.kind) {
      case PorcelainEvent::Kind::Log:
      case PorcelainEvent::Kind::Error:
      case PorcelainEvent::Kind::Unknown:
        Say(b, e.text);
        break;
      case PorcelainEvent::Kind::Status:
        if (!e.text.trimmed().isEmpty()) b.text = e.text;
        Redraw();
        break;
      case PorcelainEvent::Kind::Progress:
        b.percent = std::clamp(e.percent, 0, 100);
        if (!tty_ && b.percent / 10 != (b.percent - 1) / 10)
          console_.Line(QStringLiteral("%1: %2%").arg(b.port).arg(b.percent));
        Redraw();
        break;
      case PorcelainEvent::Kind::Result:
        b.result = e;
        if (!e.result.partName.isEmpty()) b.part = e.result.partName;
        break;
    }
  }
}

void LineRunner::Say(const Board& b, const QString& text) {
  Board& m = const_cast<Board&>(b);
  m.text = text;
  if (!tty_) console_.Line(b.port + QStringLiteral(": ") + text);
  Redraw();
}

void LineRunner::Finished(Board& b) {
  if (!b.proc) return;
  ReadOutput(b);
  const int exitCode = b.proc->exitStatus() == QProcess::NormalExit ? b.proc->exitCode() : -1;
  const bool started = b.proc->error() != QProcess::FailedToStart;
  b.proc.release()->deleteLater();
  PorcelainEvent r;
  if (b.result) {
    r = *b.result;
  } else {
    // A board process that died without its result (killed, crashed).
    r.kind = PorcelainEvent::Kind::Result;
    r.result.cause = started ? QStringLiteral("进程异常结束 (%1)").arg(exitCode) : QStringLiteral("无法启动 vortana-isp");
    r.exitStatus = 1;
  }
  if (b.probe) {
    // Still the same board, or none, or a new one?
    const bool answered = r.result.partAnswered;
    const QString uid = r.result.uniqueId;
    if (!answered) {
      b.phase = Phase::Absent;  // the board has gone: wait for the next
      b.lastUid.clear();
      b.text = QStringLiteral("等待下一块板…");
      b.restUntil = runClock_.elapsed() + kPresenceMs;
    } else if (!uid.isEmpty() && !b.lastUid.isEmpty() && uid != b.lastUid && interrupts_ == 0) {
      StartJob(b);
    } else {
      b.phase = Phase::Resting;
      b.restUntil = runClock_.elapsed() + kProbeRestMs;
    }
    Redraw();
    // Ctrl-C stopped this probe: it may have been the last process running.
    if (AllDone()) End();
    return;
  }
  JobEnded(b, r);
}

void LineRunner::JobEnded(Board& b, const PorcelainEvent& e) {
  const IspResult& r = e.result;
  if (options_.watchBoards && !r.partAnswered && interrupts_ == 0) {
    // Nothing answered (or the port is not usable yet): no board on this
    // port. Not a board to record; the line says why it waits.
    if (b.serial && *b.serial + 1 == nextSerial_) --nextSerial_;  // the number was not used
    b.phase = Phase::Absent;
    b.text = r.usageError ? r.cause : QStringLiteral("等待器件…");
    // A port or file that cannot be used will not mend itself in a moment.
    b.restUntil = runClock_.elapsed() + (r.usageError ? kUsageRestMs : kPresenceMs);
    Redraw();
    return;
  }
  BoardRecord rec;
  rec.time = QDateTime::currentDateTime();
  rec.port = b.port;
  rec.family = FamilyArg(options_.family);
  rec.part = r.partName;
  rec.partId = r.partId;
  rec.uniqueId = r.uniqueId;
  if (options_.job.kind == IspJobKind::Download || options_.job.kind == IspJobKind::Verify) {
    rec.imageFile = QFileInfo(options_.file).absoluteFilePath();
    rec.imageSha256 = imageSha_;
  }
  rec.serial = b.serial;
  rec.ok = r.ok;
  rec.cause = r.cause;
  rec.seconds = static_cast<double>(b.clock.elapsed()) / 1000.0;
  records_.push_back(rec);
  ++b.boards;
  b.lastUid = r.uniqueId;
  b.part = r.partName.isEmpty() ? r.partId : r.partName;
  b.text = r.ok ? QStringLiteral("成功") : QStringLiteral("失败: ") + r.cause;
  b.percent = r.ok ? 100 : b.percent;
  if (!tty_) console_.Line(b.port + QStringLiteral(": ") + b.text);
  if (!options_.reportFile.isEmpty()) {
    QString why;
    if (!AppendRecord(options_.reportFile, rec, &why)) console_.Error(why);
  }
  if (options_.watchBoards && interrupts_ == 0) {
    // The board stays connected until someone takes it away.
    b.phase = Phase::Resting;
    b.restUntil = runClock_.elapsed() + kProbeRestMs;
  } else {
    b.phase = Phase::Done;
  }
  Redraw(true);
  if (AllDone()) End();
}

bool LineRunner::AllDone() const {
  for (const auto& b : boards_) {
    if (b->proc) return false;
    if (b->phase == Phase::Working || b->phase == Phase::Probing) return false;
    if (!options_.watchBoards && b->phase != Phase::Done) return false;
  }
  return !options_.watchBoards || interrupts_ > 0;
}

void LineRunner::Tick() {
  if (ended_) return;
  if (options_.watchBoards && interrupts_ == 0) {
    const qint64 now = runClock_.elapsed();
    if (!options_.portPattern.isEmpty() && now >= nextScan_) {
      // Adapters plugged in after the start are the station's too.
      nextScan_ = now + kPresenceMs;
      for (const QString& p : PortsMatching(options_.portPattern)) {
        const bool known = std::any_of(boards_.begin(), boards_.end(), [&](const auto& b) { return b->port == p; });
        if (known) continue;
        // The adapter of a waiting slot back under another number is that
        // slot, not a new one; with its serial number it also still carries
        // the board that was done (a USB path alone may be a new board's).
        const SerialAdapter adapter = AdapterOfPort(p.toStdString());
        const QString id = QString::fromStdString(adapter.Identity());
        const auto same = std::find_if(boards_.begin(), boards_.end(), [&](const auto& b) {
          return !id.isEmpty() && b->identity == id && b->phase == Phase::Absent && !b->proc;
        });
        if (same != boards_.end()) {
          Board& b = **same;
          b.port = p;
          if (b.boardStays && !adapter.serial.empty()) {
            b.phase = Phase::Resting;
            b.text = QStringLiteral("同一块板，已换到此串口");
            b.restUntil = now + kProbeRestMs;
          }
          b.boardStays = false;
          continue;
        }
        auto b = std::make_unique<Board>();
        b->port = p;
        b->phase = Phase::Absent;
        boards_.push_back(std::move(b));
      }
    }
    std::vector<QString> newcomers;  // ports another slot's adapter left, now with another adapter
    for (auto& bp : boards_) {
      Board& b = *bp;
      if (b.proc) continue;
      // A board that stays: its device vanishing (looked at every tick: an
      // adapter is soon plugged back), another adapter under its name, a
      // probe that finds nothing, or a new unique ID means the next board.
      if (b.phase == Phase::Resting && (!Present(b.port) || OtherAdapter(b))) {
        b.phase = Phase::Absent;
        b.lastUid.clear();
        b.boardStays = true;
        b.text = QStringLiteral("等待下一块板…");
        b.restUntil = now + kPresenceMs;
        continue;
      }
      if (now < b.restUntil) continue;
      if (b.phase == Phase::Absent) {
        if (!Present(b.port)) {
          b.restUntil = now + kPresenceMs;
        } else if (!options_.portPattern.isEmpty() && OtherAdapter(b)) {
          // A station that follows adapters: this slot waits for its own,
          // and the newcomer under the old name is a board of its own.
          const bool served = std::any_of(boards_.begin(), boards_.end(),
                                          [&](const auto& o) { return o.get() != &b && o->port == b.port; });
          if (!served && std::find(newcomers.begin(), newcomers.end(), b.port) == newcomers.end())
            newcomers.push_back(b.port);
          b.restUntil = now + kPresenceMs;
        } else {
          StartJob(b);
        }
      } else if (b.phase == Phase::Resting) {
        if (infoProbe_) StartProbe(b);
        else b.restUntil = now + kPresenceMs;
      }
    }
    for (const QString& p : newcomers) {
      auto b = std::make_unique<Board>();
      b->port = p;
      b->phase = Phase::Absent;
      boards_.push_back(std::move(b));
    }
  }
  Redraw();
}

void LineRunner::Interrupted() {
  const int arrived = DrainSignalPipe();
  if (arrived == 0) return;
  interrupts_ += arrived;
  if (interrupts_ == 1) {
    console_.Error(QStringLiteral("stopping after the boards in progress (Ctrl-C again stops them)"));
    // Probes are no boards: stop them now.
    for (auto& b : boards_)
      if (b->proc && b->probe) b->proc->terminate();
  } else {
    console_.Error(QStringLiteral("stopping the boards in progress"));
    for (auto& b : boards_)
      if (b->proc) b->proc->terminate();  // each releases its port
  }
  if (AllDone()) End();
}

QString LineRunner::BoardLine(const Board& b) const {
  QString state;
  if (b.phase == Phase::Working) {
    ProgressSample s;
    s.percent = b.percent;
    state = ProgressBarText(s, 16).section(QLatin1Char(' '), 0, 1);
  }
  const QString part = b.part.isEmpty() ? QStringLiteral("-") : b.part;
  return PadCells(b.port, 14) + QStringLiteral(" ") + PadCells(part, 18) + QStringLiteral(" ") +
         PadCells(state, 24) + QStringLiteral(" ") + PadCells(b.text, 40);
}

void LineRunner::Redraw(bool force) {
  if (!tty_ || ended_) return;
  if (!force && sinceDraw_.isValid() && sinceDraw_.elapsed() < kRedrawMs) return;
  sinceDraw_.restart();
  QByteArray out;
  if (drawnLines_ > 0) out += "\033[" + QByteArray::number(drawnLines_) + "A";
  for (const auto& b : boards_) out += "\r\033[K" + BoardLine(*b).toUtf8() + "\n";
  drawnLines_ = static_cast<int>(boards_.size());
  std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), err_);
  std::fflush(err_);
}

void LineRunner::End() {
  if (ended_) return;
  Redraw(true);
  ended_ = true;
  tick_.stop();
  console_.Line(QString());
  // In the order the ports were named; a station's boards in turn.
  std::vector<BoardRecord> rows = records_;
  auto index = [this](const QString& port) {
    for (size_t i = 0; i < boards_.size(); ++i)
      if (boards_[i]->port == port) return i;
    return boards_.size();
  };
  std::stable_sort(rows.begin(), rows.end(),
                   [&](const BoardRecord& a, const BoardRecord& b) { return index(a.port) < index(b.port); });
  for (const QString& line : SummaryTable(rows)) console_.Line(line);
  int failed = 0;
  for (const BoardRecord& r : records_) failed += r.ok ? 0 : 1;
  console_.Line(QStringLiteral("%1 块板: %2 成功, %3 失败").arg(records_.size()).arg(records_.size() - failed).arg(failed));
  QCoreApplication::exit(failed == 0 ? 0 : 1);
}
