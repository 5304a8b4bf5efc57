// Downloads a 64 KB image at 115200 bit/s into the simulated boot loader,
// which takes every byte's wire time and the chip's erase and programming
// times. Prints the download time against that floor.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

#include "isp/stm32/Stm32Engine.h"
#include "sim/Stm32Sim.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {

int RunOnce(uint16_t productId, int imageBytes) {
  constexpr uint32_t kBaud = 115200;
  PtyPair pty;
  QTemporaryDir dir;
  std::vector<uint8_t> image(static_cast<size_t>(imageBytes));
  std::mt19937 gen(42);
  for (auto& b : image) b = static_cast<uint8_t>(gen());
  const QString path = dir.filePath("bench.bin");
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return 1;
  f.write(reinterpret_cast<const char*>(image.data()), imageBytes);
  f.close();

  FakeIspHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.speed = br115200;
  host.parity = ptEVEN;
  host.firmwareFileName = path;
  Stm32SimOptions o;
  o.baudRate = kBaud;
  o.realisticTiming = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(productId), o);
  Stm32Engine engine(host);

  QElapsedTimer t;
  t.start();
  engine.STM32UP();
  // The program's own event loop (not a test pump that naps between
  // passes), so timers fire when they are due.
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if ((host.downloadEnabled && !engine.Running()) || t.elapsed() > 120000) loop.quit();
  });
  check.start(20);
  loop.exec();
  const bool ended = host.downloadEnabled && !engine.Running();
  const double elapsed = t.nsecsElapsed() / 1e9;
  sim.Stop();
  const bool ok = ended && host.status == QStringLiteral("上载完成！") &&
                  sim.Flash(0, static_cast<uint32_t>(imageBytes)) == image;

  const uint64_t bytes = sim.bytesReceived() + sim.bytesSent();
  const double wire = static_cast<double>(bytes) * 11 / kBaud;  // 8E1: 11 bits a byte
  const double busy = static_cast<double>(sim.busyMicros()) / 1e6;
  const double floor = wire + busy;
  std::printf("product %04X, %d bytes at %u bit/s: %s\n", productId, imageBytes, kBaud,
              ok ? "flash verified" : "DOWNLOAD FAILED");
  std::printf("  bytes on the wire %llu (%.3f s), erase+program %.3f s, floor %.3f s\n",
              static_cast<unsigned long long>(bytes), wire, busy, floor);
  std::printf("  download %.3f s, ratio %.3f (goal <= 1.2)\n", elapsed, elapsed / floor);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int rc = RunOnce(0x0414, 64 * 1024);
  rc |= RunOnce(0x0413, 64 * 1024);
  return rc;
}
