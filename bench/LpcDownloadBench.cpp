// LPC download times against the simulated boot loader behind the paced
// link model (every byte's wire time, the flash's erase and programming
// time), with the installed lpc21isp against the same simulated part as
// the yardstick.
//
// 1. A 64 KB image to an LPC2138 at 57600 and 230400 bit/s, verify on:
//    Vortana's verify as the window does it by default, its full read-back,
//    and lpc21isp -verify; runs alternated, medians of three. Also the
//    window's shortest line pause (Edit3 = "1") without verify.
// 2. What one download costs the machine as a process of its own:
//    vortana-isp (and VORTANA_ISP_BEFORE, another build of it) against
//    lpc21isp -verify: wall time, CPU (wait4) and system calls (strace -c -f).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "isp/lpc/LPC.h"
#include "sim/HexText.h"
#include "sim/LpcSim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

extern char** environ;

namespace {

constexpr uint32_t kImageBytes = 64 * 1024;
const char kPeer[] = "/usr/bin/lpc21isp";

LpcSimOptions PacedPart(uint32_t rate) {
  LpcSimOptions o;
  o.Link.baud = rate;
  o.EraseMs = 400;     // one erase command
  o.CopyMsPer256 = 1;  // programming time per 256 bytes
  return o;
}

struct Figures {
  bool ok = false;
  double elapsed = 0;  // start to end as the user waits
  double session = 0;  // first to last byte the target saw
  double floor = 0;    // every byte exchanged one after the other, plus erase and programming
};

Figures Measure(LpcSim& sim, bool ok, double elapsed, uint32_t rate) {
  Figures f;
  f.ok = ok;
  f.elapsed = elapsed;
  f.session = static_cast<double>(sim.Link().LastInNs() - sim.Link().FirstInNs()) / 1e9;
  const uint64_t bytes = sim.Link().BytesIn() + sim.Link().BytesOut();
  f.floor = static_cast<double>(bytes) * 10.0 / rate + static_cast<double>(sim.FlashBusyMs.load()) / 1000.0;
  return f;
}

void Print(const char* who, const Figures& f) {
  std::printf("  %-34s %s  wall %6.2f s  session %6.2f s  floor %6.2f s  ratio %.2f\n", who,
              f.ok ? "ok    " : "FAILED", f.elapsed, f.session, f.floor, f.floor > 0 ? f.session / f.floor : 0.0);
}

Figures Median(std::vector<Figures> runs) {
  std::sort(runs.begin(), runs.end(), [](const Figures& a, const Figures& b) { return a.session < b.session; });
  Figures m = runs[runs.size() / 2];
  for (const Figures& r : runs) m.ok = m.ok && r.ok;
  return m;
}

TComPortBaudRate ListIndex(uint32_t baud) {
  for (int i = 0; i < kBaudRateCount; ++i)
    if (BaudRateValue(static_cast<TComPortBaudRate>(i)) == baud) return static_cast<TComPortBaudRate>(i);
  return br57600;
}

bool FlashHolds(LpcSim& sim, const std::vector<uint8_t>& image) {
  const std::vector<uint8_t> flash = sim.Flash();
  // The vector checksum word (0x14) is the programmers' own.
  for (size_t i = 0; i < image.size(); ++i)
    if ((i < 0x14 || i >= 0x18) && flash[i] != image[i]) return false;
  return true;
}

enum class Verify { None, OnPart, ReadBack };

Figures Ours(const QString& file, const std::vector<uint8_t>& image, uint32_t rate, const char* pacing,
             Verify verify) {
  PtyPair pty;
  LpcSim sim(pty, LpcPartProfile::LPC2138(), PacedPart(rate));
  FakeIspHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.speed = ListIndex(rate);
  host.parity = ptNONE;
  host.firmwareFileName = file;
  host.timeoutText = QString::fromLatin1(pacing);
  host.verifyAfterWrite = verify != Verify::None;
  IspJob job = host.Job();
  job.speed = rate;
  job.verifyReadback = verify == Verify::ReadBack;
  TLPCFrm frm(host);
  QElapsedTimer t;
  t.start();
  frm.BitBtn1Click(job);
  const bool ended = PumpUntil([&] { return host.downloadEnabled && !frm.Busy(); }, 300000);
  const double elapsed = static_cast<double>(t.elapsed()) / 1000.0;
  sim.Stop();
  const bool ok = ended && !host.log.isEmpty() && host.log.last() == QStringLiteral("写入完成") && FlashHolds(sim, image);
  return Measure(sim, ok, elapsed, rate);
}

// Runs a program to its end: CPU seconds (user + system), -1 when it failed.
double Spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &quiet, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return -1;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct ProcessRun {
  Figures figures;
  double cpu = -1;
};

// `command` with PORT and FILE filled in, against a fresh paced part.
ProcessRun RunProcess(std::vector<std::string> command, const std::string& hex, const std::vector<uint8_t>& image,
                      uint32_t rate) {
  PtyPair pty;
  LpcSim sim(pty, LpcPartProfile::LPC2138(), PacedPart(rate));
  for (auto& a : command) {
    if (a == "PORT") a = pty.slavePath();
    if (a == "FILE") a = hex;
  }
  QElapsedTimer t;
  t.start();
  ProcessRun r;
  r.cpu = Spawn(command);
  const double elapsed = static_cast<double>(t.elapsed()) / 1000.0;
  sim.Stop();
  r.figures = Measure(sim, r.cpu >= 0 && FlashHolds(sim, image), elapsed, rate);
  return r;
}

// System calls of a whole run, every thread, or -1.
long SystemCalls(std::vector<std::string> command, const std::string& hex, const std::vector<uint8_t>& image,
                 uint32_t rate, const QTemporaryDir& dir) {
  if (!QFile::exists(QStringLiteral("/usr/bin/strace"))) return -1;
  const std::string out = dir.filePath(QStringLiteral("strace.txt")).toStdString();
  command.insert(command.begin(), {"/usr/bin/strace", "-c", "-f", "-o", out});
  if (!RunProcess(command, hex, image, rate).figures.ok) return -1;
  QFile f(QString::fromStdString(out));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  long total = -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.trimmed().endsWith("total")) total = line.simplified().split(' ').value(3).toLong();
  return total;
}

void Cost(const char* what, const std::vector<std::string>& command, const std::string& hex,
          const std::vector<uint8_t>& image, uint32_t rate, const QTemporaryDir& dir) {
  const ProcessRun r = RunProcess(command, hex, image, rate);
  const long calls = SystemCalls(command, hex, image, rate, dir);
  std::printf("  %-34s %s  wall %6.2f s  session %6.2f s  CPU %6.3f s  system calls %7ld\n", what,
              r.figures.ok ? "ok    " : "FAILED", r.figures.elapsed, r.figures.session, r.cpu, calls);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The simulated part keeps time with sleeps; the default 50 us slack on
  // each would be charged to whichever host is measured.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  QCoreApplication app(argc, argv);
  const bool costOnly = argc > 1 && std::string(argv[1]) == "cost";
  QTemporaryDir dir;
  const std::vector<uint8_t> image = PatternImage(kImageBytes, 21);
  const QString file = dir.filePath(QStringLiteral("fw.hex"));
  {
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    f.write(HexText(image));
  }
  const std::string hex = file.toStdString();
  const bool peer = QFile::exists(QString::fromLatin1(kPeer));
  int failures = 0;
  auto row = [&](const char* what, const Figures& f) {
    Print(what, f);
    if (!f.ok) ++failures;
  };
  for (uint32_t rate : {57600u, 230400u}) {
    if (costOnly) break;
    std::printf("LPC2138, %u bytes at %u bit/s, paced link (medians of 3, alternated)\n", kImageBytes, rate);
    std::vector<Figures> onPart, readBack, theirs;
    for (int i = 0; i < 3; ++i) {
      onPart.push_back(Ours(file, image, rate, "0", Verify::OnPart));
      if (peer)
        theirs.push_back(RunProcess({kPeer, "-verify", "-donotstart", "FILE", "PORT", std::to_string(rate), "11059"},
                                    hex, image, rate)
                             .figures);
      readBack.push_back(Ours(file, image, rate, "0", Verify::ReadBack));
    }
    const Figures ours = Median(onPart);
    row("Vortana, verify (default)", ours);
    row("Vortana, --verify-readback", Median(readBack));
    row("Vortana, no verify, Edit3=1", Ours(file, image, rate, "1", Verify::None));
    if (!peer) {
      std::printf("  lpc21isp not installed\n");
      continue;
    }
    const Figures them = Median(theirs);
    row("lpc21isp -verify", them);
    std::printf("  Vortana verify / lpc21isp -verify, session time: %.3f\n", ours.session / them.session);
  }
  std::printf("one %u-byte download with verify at 57600 bit/s as a process of its own\n", kImageBytes);
  const std::string isp = QCoreApplication::applicationDirPath().toStdString() + "/vortana-isp";
  Cost("vortana-isp", {isp, "-p", "PORT", "-f", "lpc", "-b", "57600", "--reset=none", "FILE"}, hex, image, 57600, dir);
  if (const char* before = std::getenv("VORTANA_ISP_BEFORE"))
    Cost("vortana-isp (VORTANA_ISP_BEFORE)", {before, "-p", "PORT", "-f", "lpc", "-b", "57600", "--reset=none", "FILE"},
         hex, image, 57600, dir);
  if (peer)
    Cost("lpc21isp -verify", {kPeer, "-verify", "-donotstart", "FILE", "PORT", "57600", "11059"}, hex, image, 57600,
         dir);
  return failures ? 1 : 0;
}
