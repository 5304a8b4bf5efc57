// Downloads a 64 KB image at 57600 bit/s with the shortest line pause
// (Edit3 = "1") to a simulated LPC2136 that takes bytes no faster than the
// line carries them and spends real erase and programming time. Prints the
// download time as a ratio to the time the exchanged bytes need on the wire
// plus the flash's own busy time.
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

#include "isp/lpc/LPC.h"
#include "sim/LpcHexText.h"
#include "sim/LpcSim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

TEST(LpcDownloadBench, SixtyFourKilobytesAt57600) {
  constexpr uint32_t kRate = 57600;
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("fw.hex"));
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(HexText(PatternImage(64 * 1024, 21)));
  }
  PtyPair pty;
  LpcSimOptions o;
  o.LineRate = kRate;
  o.EraseMs = 400;       // sector or whole-chip erase
  o.CopyMsPer256 = 1;    // programming time per 256 bytes
  LpcSim sim(pty, LpcPartProfile::LPC2136(), o);
  FakeIspHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.speed = br57600;
  host.parity = ptNONE;
  host.firmwareFileName = file;
  host.timeoutText = QStringLiteral("1");
  TLPCFrm frm(host);
  QElapsedTimer t;
  t.start();
  frm.BitBtn1Click();
  ASSERT_TRUE(PumpUntil([&] { return host.downloadEnabled; }, 120000));
  const double elapsed = static_cast<double>(t.elapsed()) / 1000.0;
  ASSERT_EQ(host.log.last(), QStringLiteral("写入完成"));
  const uint64_t bytes = sim.BytesIn.load() + sim.BytesOut.load();
  const double wire = static_cast<double>(bytes) * 10.0 / kRate;
  const double busy = static_cast<double>(sim.FlashBusyMs.load()) / 1000.0;
  std::printf("LPC 64 KB at %u bit/s, Edit3=1: %.2f s; bytes on the wire %llu (%.2f s) + "
              "erase/copy %.2f s = %.2f s; ratio %.2f\n",
              kRate, elapsed, static_cast<unsigned long long>(bytes), wire, busy, wire + busy,
              elapsed / (wire + busy));
  sim.Stop();
}
