// STM32 download times against the simulated boot loader behind the link
// model, which takes every byte's wire time and the chip's erase and
// programming times; the Debian stm32flash tool against the same simulated
// part as the yardstick.
//
// 1. A 64 KB image at 57600 ... 921600 bit/s (230400 included): the session
//    time (first to last byte the target saw) against the wire + device
//    floor, Vortana and stm32flash, verify on and off.
// 2. A sparse 256 KB image (three blocks in four erased flash) at 115200.
// 3. Behind a 16 ms USB adapter, with and without the low-latency request.
// 4. What a whole download process costs the machine: vortana-isp (and, if
//    VORTANA_ISP_BEFORE names another build of it, that one) against
//    stm32flash, CPU time from wait4() and system calls from strace -c -f.
//
// "pairs BAUD N [busy]": N runs of each, Vortana and stm32flash taking
// turns, verify on and off, with the medians; "busy" keeps a process
// spinning on the machine throughout (a second core that is not free).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <random>
#include <unistd.h>

#include "isp/stm32/Stm32Engine.h"
#include "sim/Stm32Sim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

extern char** environ;

namespace {

constexpr int kImageBytes = 64 * 1024;

class BenchHost : public FakeIspHost {
 public:
  RecordingSerialPlatform platform;
  TKRNCommDriver recDriver{nullptr, &platform};
  uint32_t bitRate = 0;

  bool ComPort_Open() override {
    recDriver.PortName = portName;
    recDriver.setComPortSpeed(speed);
    if (bitRate) recDriver.setComPortBitRate(bitRate);
    recDriver.setComPortParity(parity);
    return recDriver.Connect();
  }
  bool ComPort_Close() override {
    recDriver.Disconnect();
    return true;
  }
  TKRNCommDriver& ComDriver() override { return recDriver; }
};

struct Figures {
  bool ok = false;
  double session = 0;  // first to last byte the target saw
  double floor = 0;    // wire + device
};

void Print(const char* what, const Figures& f) {
  std::printf("  %-44s %s  session %7.3f s  wire+device %7.3f s  ratio %.3f\n", what, f.ok ? "ok    " : "FAILED",
              f.session, f.floor, f.floor > 0 ? f.session / f.floor : 0.0);
}

Figures Measure(Stm32Sim& sim, bool ok, uint32_t baud) {
  Figures f;
  f.ok = ok;
  f.session = static_cast<double>(sim.link().LastInNs() - sim.link().FirstInNs()) / 1e9;
  const uint64_t bytes = sim.bytesReceived() + sim.bytesSent();
  f.floor = static_cast<double>(bytes) * 11 / baud + static_cast<double>(sim.busyMicros()) / 1e6;
  return f;
}

std::vector<uint8_t> Image(bool sparse) {
  std::vector<uint8_t> image(sparse ? 256 * 1024 : kImageBytes, 0xFF);
  std::mt19937 gen(42);
  for (size_t i = 0; i < image.size(); ++i)
    if (!sparse || (i / 256) % 4 == 0) image[i] = static_cast<uint8_t>(gen());
  return image;
}

QString WriteImage(const QTemporaryDir& dir, const std::vector<uint8_t>& image) {
  const QString path = dir.filePath("bench.bin");
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size()));
  return path;
}

TComPortBaudRate ListIndex(uint32_t baud) {
  for (int i = 0; i < kBaudRateCount; ++i)
    if (BaudRateValue(static_cast<TComPortBaudRate>(i)) == baud) return static_cast<TComPortBaudRate>(i);
  return br115200;
}

struct Run {
  uint16_t productId = 0x0414;
  uint32_t baud = 115200;
  bool verify = true;
  bool sparse = false;
  int latencyMs = -1;  // < 0: no adapter
  bool lowLatency = true;
};

Figures RunEngine(const Run& r) {
  PtyPair pty;
  QTemporaryDir dir;
  const auto image = Image(r.sparse);
  BenchHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.speed = ListIndex(r.baud);
  if (BaudRateValue(host.speed) != r.baud) host.bitRate = r.baud;
  host.parity = ptEVEN;
  host.firmwareFileName = WriteImage(dir, image);
  host.verifyAfterWrite = r.verify;
  Stm32SimOptions o;
  o.link.baud = r.baud;
  o.link.adapterLatencyMs = std::max(r.latencyMs, 0);
  o.realisticTiming = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(r.productId), o);
  host.platform.refuseLowLatency = !r.lowLatency;
  host.platform.onLowLatency = [&](bool on) {
    if (r.latencyMs > 0) sim.link().SetAdapterLatency(on ? 1 : r.latencyMs);
  };
  Stm32Engine engine(host);

  QElapsedTimer t;
  t.start();
  engine.STM32UP(host.Job());
  // The program's own event loop, so timers and socket notifiers fire when due.
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if ((host.downloadEnabled && !engine.Running()) || t.elapsed() > 600000) loop.quit();
  });
  check.start(20);
  loop.exec();
  sim.Stop();
  const bool ok = host.downloadEnabled && !engine.Running() && host.status == QStringLiteral("上载完成！") &&
                  sim.Flash(0, static_cast<uint32_t>(image.size())) == image;
  return Measure(sim, ok, r.baud);
}

Figures RunStm32flash(const Run& r) {
  const QString tool = QStringLiteral("/usr/bin/stm32flash");
  if (!QFile::exists(tool)) return {};
  PtyPair pty;
  QTemporaryDir dir;
  const auto image = Image(r.sparse);
  Stm32SimOptions o;
  o.link.baud = r.baud;
  o.realisticTiming = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(r.productId), o);
  QStringList args{"-b", QString::number(r.baud), "-m", "8n1", "-w", WriteImage(dir, image)};
  if (r.verify) args << "-v";
  args << QString::fromStdString(pty.slavePath());
  QProcess p;
  p.start(tool, args);
  const bool finished = p.waitForFinished(600000);
  sim.Stop();
  return Measure(sim, finished && p.exitCode() == 0 && sim.Flash(0, static_cast<uint32_t>(image.size())) == image,
                 r.baud);
}

// Runs a program to its end; its CPU time (user + system) in seconds, or
// -1 when it failed.
double CpuSeconds(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawn(&pid, args[0], &quiet, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return -1;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// System calls of a whole run, every thread (strace -c -f), or -1.
long SystemCalls(std::vector<std::string> argv, const QTemporaryDir& dir) {
  if (!QFile::exists(QStringLiteral("/usr/bin/strace"))) return -1;
  // VORTANA_BENCH_STRACE: each table, call by call, kept as PREFIX-1, PREFIX-2, ...
  static int kept = 0;
  const char* keep = std::getenv("VORTANA_BENCH_STRACE");
  const std::string out =
      keep ? std::string(keep) + "-" + std::to_string(++kept) : dir.filePath("strace.txt").toStdString();
  argv.insert(argv.begin(), {"/usr/bin/strace", "-c", "-f", "-o", out});
  if (CpuSeconds(argv) < 0) return -1;
  QFile f(QString::fromStdString(out));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  long total = -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.trimmed().endsWith("total")) total = line.simplified().split(' ').value(3).toLong();
  return total;
}

// One 64 KB download by a separate process, against the paced simulated
// part in this one.
void MachineCost(const char* what, const std::vector<std::string>& command, uint32_t baud) {
  double cpu = -1;
  long calls = -1;
  for (int pass = 0; pass < 2; ++pass) {
    PtyPair pty;
    QTemporaryDir dir;
    const auto image = Image(false);
    const std::string file = WriteImage(dir, image).toStdString();
    Stm32SimOptions o;
    o.link.baud = baud;
    o.realisticTiming = true;
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414), o);
    std::vector<std::string> argv = command;
    for (auto& a : argv) {
      if (a == "PORT") a = pty.slavePath();
      if (a == "FILE") a = file;
      if (a == "BAUD") a = std::to_string(baud);
    }
    if (pass == 0)
      cpu = CpuSeconds(argv);
    else
      calls = SystemCalls(argv, dir);
    sim.Stop();
    if (sim.Flash(0, kImageBytes) != image) cpu = calls = -1;
  }
  std::printf("  %-44s CPU %6.3f s  system calls %7ld\n", what, cpu, calls);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Alternating runs, so that a machine that slows down or speeds up over
// the minutes weighs on both alike.
int Pairs(uint32_t baud, int count, bool busy) {
  pid_t spinner = -1;
  if (busy) {
    spinner = fork();
    if (spinner == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the bench, however it ends
      volatile uint64_t n = 0;
      for (;;) n = n + 1;
    }
  }
  int failures = 0;
  for (bool verify : {true, false}) {
    std::printf("product 0414, %d bytes at %u bit/s, verify %s%s: %d runs each, taking turns\n", kImageBytes, baud,
                verify ? "on" : "off", busy ? ", one process spinning" : "", count);
    std::vector<double> ours, peer;
    for (int i = 0; i < count; ++i) {
      Run r;
      r.baud = baud;
      r.verify = verify;
      const Figures a = RunEngine(r);
      const Figures b = RunStm32flash(r);
      if (!a.ok || !b.ok) ++failures;
      ours.push_back(a.session);
      peer.push_back(b.session);
      std::printf("  Vortana %7.3f s   stm32flash %7.3f s   ratio %.4f%s\n", a.session, b.session,
                  b.session > 0 ? a.session / b.session : 0.0, a.ok && b.ok ? "" : "  FAILED");
    }
    const double mo = Median(ours), mp = Median(peer);
    std::printf("  medians: Vortana %.3f s, stm32flash %.3f s, ratio %.4f\n", mo, mp, mp > 0 ? mo / mp : 0.0);
  }
  if (spinner > 0) {
    kill(spinner, SIGKILL);
    waitpid(spinner, nullptr, 0);
  }
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each row as it is measured
  // The simulated part keeps time with sleeps; the kernel's default 50 us
  // slack on each would be charged to whichever host is measured. Threads
  // and the tools' processes inherit the setting.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  QCoreApplication app(argc, argv);
  // "cost": the last part alone; "quick": 115200 and 921600 only, without
  // the sparse image and the adapter.
  const bool costOnly = argc > 1 && std::string(argv[1]) == "cost";
  const bool quick = argc > 1 && std::string(argv[1]) == "quick";
  if (argc > 3 && std::string(argv[1]) == "pairs")
    return Pairs(static_cast<uint32_t>(std::stoul(argv[2])), std::max(1, std::stoi(argv[3])),
                 argc > 4 && std::string(argv[4]) == "busy");
  int failures = 0;
  auto row = [&](const char* what, const Figures& f) {
    Print(what, f);
    if (!f.ok) ++failures;
  };

  for (uint32_t baud : {57600u, 115200u, 230400u, 460800u, 921600u}) {
    if (costOnly) break;
    if (quick && baud != 115200u && baud != 921600u) continue;
    std::printf("product 0414, %d bytes at %u bit/s 8E1 (paced link, chip erase and program times)\n", kImageBytes,
                baud);
    Run r;
    r.baud = baud;
    row("Vortana, verify on", RunEngine(r));
    row("stm32flash -v", RunStm32flash(r));
    r.verify = false;
    row("Vortana, verify off", RunEngine(r));
    row("stm32flash", RunStm32flash(r));
  }
  for (uint16_t id : {uint16_t(0x0414), uint16_t(0x0413)}) {
    if (costOnly || quick) break;
    std::printf("product %04X, sparse 256 KB image (1 block in 4 holds data) at 115200 bit/s\n", id);
    Run r;
    r.productId = id;
    r.sparse = true;
    row("Vortana, verify on", RunEngine(r));
    row("stm32flash -v", RunStm32flash(r));
    r.verify = false;
    row("Vortana, verify off", RunEngine(r));
    row("stm32flash", RunStm32flash(r));
  }
  if (!costOnly && !quick) {
    std::printf("product 0414, %d bytes at 115200 bit/s behind a 16 ms USB adapter\n", kImageBytes);
    Run r;
    r.latencyMs = 16;
    row("Vortana, verify on, low latency taken", RunEngine(r));
    r.lowLatency = false;
    row("Vortana, verify on, low latency refused", RunEngine(r));
  }
  for (uint32_t baud : {115200u, 921600u}) {
    std::printf("one %d-byte download at %u bit/s as a process of its own\n", kImageBytes, baud);
    const std::string isp = QCoreApplication::applicationDirPath().toStdString() + "/vortana-isp";
    MachineCost("vortana-isp", {isp, "-p", "PORT", "-b", "BAUD", "-f", "stm32", "--reset=none", "FILE"}, baud);
    if (const char* before = std::getenv("VORTANA_ISP_BEFORE"))
      MachineCost("vortana-isp (VORTANA_ISP_BEFORE)",
                  {before, "-p", "PORT", "-b", "BAUD", "-f", "stm32", "--reset=none", "FILE"}, baud);
    if (QFile::exists(QStringLiteral("/usr/bin/stm32flash")))
      MachineCost("stm32flash -v", {"/usr/bin/stm32flash", "-b", "BAUD", "-m", "8n1", "-w", "FILE", "-v", "PORT"}, baud);
  }
  return failures ? 1 : 0;
}
