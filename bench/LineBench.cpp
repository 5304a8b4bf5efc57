// A production run of N boards at once (N = 1, 4, 8, 16): N simulated
// STM32 boot loaders, each on its own pseudo-terminal behind a paced wire
// (115200 bit/s with the part's erase and programming times), programmed by
// one vortana-isp run. Prints the run's wall time over one board's alone and
// the CPU time each board's process took, which says how many boards one
// machine can serve.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <random>

#include "sim/Stm32Sim.h"
#include "support/Pty.h"

namespace {

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct Run {
  bool ok = false;
  double wall = 0;
  double cpu = 0;  // the run's processes, all of them
};

Run Program(int boards, const QString& tool, const QString& file, int imageBytes) {
  std::vector<std::unique_ptr<PtyPair>> ptys;
  std::vector<std::unique_ptr<Stm32Sim>> sims;
  Stm32SimOptions o;
  o.link = SimLinkOptions{115200, 11};
  o.realisticTiming = true;
  QStringList args{QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--reset"), QStringLiteral("none")};
  for (int i = 0; i < boards; ++i) {
    ptys.push_back(std::make_unique<PtyPair>());
    sims.push_back(std::make_unique<Stm32Sim>(ptys.back()->master(), Stm32SimProfile::ForProduct(0x0414), o));
    args << QStringLiteral("-p") << QString::fromStdString(ptys.back()->slavePath());
  }
  args << file;
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  QElapsedTimer t;
  t.start();
  QProcess p;
  p.start(tool, args);
  Run r;
  r.ok = p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
  r.wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
  getrusage(RUSAGE_CHILDREN, &after);
  r.cpu = CpuSeconds(after) - CpuSeconds(before);
  for (int i = 0; i < boards && r.ok; ++i) {
    const std::vector<uint8_t> flash = sims[i]->Flash(0, static_cast<uint32_t>(imageBytes));
    QFile f(file);
    f.open(QIODevice::ReadOnly);
    const QByteArray want = f.readAll();
    r.ok = std::equal(flash.begin(), flash.end(), reinterpret_cast<const uint8_t*>(want.constData()));
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/vortana-isp");
  QTemporaryDir dir;
  const int imageBytes = argc > 1 ? std::atoi(argv[1]) : 32 * 1024;
  std::vector<uint8_t> image(static_cast<size_t>(imageBytes));
  std::mt19937 rng(5);
  for (auto& b : image) b = static_cast<uint8_t>(rng());
  const QString file = dir.filePath(QStringLiteral("fw.bin"));
  QFile f(file);
  f.open(QIODevice::WriteOnly);
  f.write(reinterpret_cast<const char*>(image.data()), imageBytes);
  f.close();

  std::printf("Production run: %d KB image, STM32F1 at 115200 bit/s with verify, paced wire, one vortana-isp run\n",
              imageBytes / 1024);
  double one = 0;
  for (int n : {1, 4, 8, 16}) {
    const Run r = Program(n, tool, file, imageBytes);
    if (n == 1) one = r.wall;
    std::printf("  N = %2d  %s  wall %7.2f s  ratio to one board %.3f  CPU per board %.3f s\n", n,
                r.ok ? "ok    " : "FAILED", r.wall, one > 0 ? r.wall / one : 0.0, r.cpu / n);
  }
  return 0;
}
