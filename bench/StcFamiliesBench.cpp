// Downloads into simulated STC15 and STC8 parts over the paced wire model:
// connect and trim at 1200 bit/s, the rest at 115200. Prints how long the
// whole session takes, the part of it before the first erase (connect,
// trim rounds, speed switch) and the write rate.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "sim/HexText.h"
#include "isp/stc/STC.h"
#include "sim/StcModernSim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {

class StageHost : public FakeIspHost {
 public:
  QElapsedTimer clock;
  double eraseAt = 0;
  void AddLog(const QString& line) override {
    FakeIspHost::AddLog(line);
    if (line == QStringLiteral("正在擦除芯片 。。。")) eraseAt = clock.nsecsElapsed() / 1e9;
  }
};

int RunOnce(const char* part, size_t bytes, double khz) {
  PtyPair pty;
  QTemporaryDir dir;
  std::vector<uint8_t> image(bytes);
  std::mt19937 gen(5);
  for (auto& b : image) b = static_cast<uint8_t>(gen() | 1);
  const QString path = dir.filePath(QStringLiteral("bench.hex"));
  std::ofstream(path.toStdString()) << HexText(image).toStdString();

  StageHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.firmwareFileName = path;
  SimLinkOptions link;
  link.baud = 115200;
  link.adapterLatencyMs = 1;
  StcModernSim sim(pty, ModernProfile(part), {}, link);
  TSTCFrm frm(host);
  IspJob job = IspJob::Download(path);
  job.frequencyKHz = khz;
  host.clock.start();
  frm.Start(host.Fill(job));
  const double elapsed = host.clock.nsecsElapsed() / 1e9;
  const std::vector<uint8_t> flash = sim.Flash();
  const bool ok = host.log.value(host.log.size() - 1) == QStringLiteral("上载数据成功 ！") &&
                  std::equal(image.begin(), image.end(), flash.begin());
  sim.Stop();
  if (khz > 0)
    std::printf("%s, %zu bytes, trimmed to %.4f MHz: %s\n", part, bytes, khz / 1000,
                ok ? "flash verified" : "DOWNLOAD FAILED");
  else
    std::printf("%s, %zu bytes, on its crystal: %s\n", part, bytes, ok ? "flash verified" : "DOWNLOAD FAILED");
  std::printf("  session %.2f s; connect, trim and speed switch %.2f s; erase and write %.2f s (%.1f KB/s)\n",
              elapsed, host.eraseAt, elapsed - host.eraseAt, bytes / 1024.0 / (elapsed - host.eraseAt));
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int rc = RunOnce("STC15W4K56S4", 16384, 24000);
  rc |= RunOnce("STC8H1K08", 8192, 11059.2);
  rc |= RunOnce("STC12C5A60S2", 16384, 0);
  return rc;
}
