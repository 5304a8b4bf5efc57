// Downloads a 64 KB image at 115200 bit/s into the simulated boot loader
// behind the link model, which takes every byte's wire time and the chip's
// erase and programming times. Prints the session time (first to last byte
// the target saw) against that floor; then the same download behind a
// 16 ms USB adapter, with and without the low-latency request (which the
// model answers by lowering the adapter's timer to 1 ms); and, as a
// yardstick, the Debian stm32flash tool against the same simulated part.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/prctl.h>

#include <cstdio>
#include <random>

#include "isp/stm32/Stm32Engine.h"
#include "sim/Stm32Sim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"
#include "support/RecordingSerialPlatform.h"

namespace {

constexpr uint32_t kBaud = 115200;
constexpr int kImageBytes = 64 * 1024;

class BenchHost : public FakeIspHost {
 public:
  RecordingSerialPlatform platform;
  TKRNCommDriver recDriver{nullptr, &platform};
  bool verify = true;

  bool VerifyAfterWrite() const override { return verify; }
  bool ComPort_Open() override {
    recDriver.PortName = portName;
    recDriver.setComPortSpeed(speed);
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
  std::printf("  %-44s %s  session %6.3f s  wire+device %6.3f s  ratio %.3f\n", what,
              f.ok ? "ok    " : "FAILED", f.session, f.floor, f.floor > 0 ? f.session / f.floor : 0.0);
}

Figures Measure(Stm32Sim& sim, bool ok) {
  Figures f;
  f.ok = ok;
  f.session = static_cast<double>(sim.link().LastInNs() - sim.link().FirstInNs()) / 1e9;
  const uint64_t bytes = sim.bytesReceived() + sim.bytesSent();
  f.floor = static_cast<double>(bytes) * 11 / kBaud + static_cast<double>(sim.busyMicros()) / 1e6;
  return f;
}

std::vector<uint8_t> Image() {
  std::vector<uint8_t> image(kImageBytes);
  std::mt19937 gen(42);
  for (auto& b : image) b = static_cast<uint8_t>(gen());
  return image;
}

QString WriteImage(const QTemporaryDir& dir, const std::vector<uint8_t>& image) {
  const QString path = dir.filePath("bench.bin");
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(reinterpret_cast<const char*>(image.data()), kImageBytes);
  return path;
}

// latencyMs < 0: no adapter. lowLatency: the device takes the request.
Figures RunEngine(uint16_t productId, int latencyMs, bool lowLatency, bool verify) {
  PtyPair pty;
  QTemporaryDir dir;
  const auto image = Image();
  BenchHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.speed = br115200;
  host.parity = ptEVEN;
  host.firmwareFileName = WriteImage(dir, image);
  host.verify = verify;
  Stm32SimOptions o;
  o.link.baud = kBaud;
  o.link.adapterLatencyMs = std::max(latencyMs, 0);
  o.realisticTiming = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(productId), o);
  host.platform.refuseLowLatency = !lowLatency;
  host.platform.onLowLatency = [&](bool on) {
    if (latencyMs > 0) sim.link().SetAdapterLatency(on ? 1 : latencyMs);
  };
  Stm32Engine engine(host);

  QElapsedTimer t;
  t.start();
  engine.STM32UP();
  // The program's own event loop, so timers and socket notifiers fire when due.
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if ((host.downloadEnabled && !engine.Running()) || t.elapsed() > 180000) loop.quit();
  });
  check.start(20);
  loop.exec();
  sim.Stop();
  const bool ok = host.downloadEnabled && !engine.Running() && host.status == QStringLiteral("上载完成！") &&
                  sim.Flash(0, kImageBytes) == image;
  return Measure(sim, ok);
}

Figures RunStm32flash(uint16_t productId, bool verify) {
  const QString tool = QStringLiteral("/usr/bin/stm32flash");
  if (!QFile::exists(tool)) return {};
  PtyPair pty;
  QTemporaryDir dir;
  const auto image = Image();
  Stm32SimOptions o;
  o.link.baud = kBaud;
  o.realisticTiming = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(productId), o);
  QStringList args{"-b", "115200", "-m", "8n1", "-w", WriteImage(dir, image)};
  if (verify) args << "-v";
  args << QString::fromStdString(pty.slavePath());
  QProcess p;
  p.start(tool, args);
  const bool finished = p.waitForFinished(180000);
  sim.Stop();
  return Measure(sim, finished && p.exitCode() == 0 && sim.Flash(0, kImageBytes) == image);
}

}  // namespace

int main(int argc, char** argv) {
  // The simulated part keeps time with sleeps; the kernel's default 50 us
  // slack on each would be charged to whichever host is measured. Threads
  // and the tool's process inherit the setting.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  QCoreApplication app(argc, argv);
  int failures = 0;
  for (uint16_t id : {uint16_t(0x0414), uint16_t(0x0413)}) {
    std::printf("product %04X, %d bytes at %u bit/s 8E1 (paced link, chip erase and program times)\n", id,
                kImageBytes, kBaud);
    struct Row {
      const char* what;
      Figures f;
    };
    const Row rows[] = {
        {"Vortana, verify on, no adapter", RunEngine(id, -1, true, true)},
        {"Vortana, verify off, no adapter", RunEngine(id, -1, true, false)},
        {"stm32flash -v, no adapter", RunStm32flash(id, true)},
        {"stm32flash, no adapter", RunStm32flash(id, false)},
        {"Vortana, verify on, 16 ms adapter, low latency", RunEngine(id, 16, true, true)},
        {"Vortana, verify on, 16 ms adapter, refused", RunEngine(id, 16, false, true)},
    };
    for (const Row& r : rows) {
      Print(r.what, r.f);
      if (!r.f.ok) ++failures;
    }
  }
  return failures ? 1 : 0;
}
