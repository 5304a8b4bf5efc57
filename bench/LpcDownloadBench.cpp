// Downloads a 64 KB image at 57600 bit/s with the shortest line pause
// (Edit3 = "1") to a simulated LPC2136 behind the paced link model, which
// spends real erase and programming time. Prints the download time as a
// ratio to the time the exchanged bytes need on the wire plus the flash's
// own busy time; then runs the installed lpc21isp against the same
// simulated part as a yardstick.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

#include "isp/lpc/LPC.h"
#include "sim/LpcHexText.h"
#include "sim/LpcSim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {

constexpr uint32_t kRate = 57600;

LpcSimOptions PacedPart() {
  LpcSimOptions o;
  o.Link.baud = kRate;
  o.EraseMs = 400;     // one erase command
  o.CopyMsPer256 = 1;  // programming time per 256 bytes
  return o;
}

struct Figures {
  double elapsed = 0;  // start to end as the user waits
  double session = 0;  // first to last byte the target saw
  double wire = 0;     // every byte exchanged, one after the other
  double busy = 0;     // erase and programming
};

Figures Measure(LpcSim& sim, double elapsed) {
  Figures f;
  f.elapsed = elapsed;
  f.session = static_cast<double>(sim.Link().LastInNs() - sim.Link().FirstInNs()) / 1e9;
  const uint64_t bytes = sim.Link().BytesIn() + sim.Link().BytesOut();
  f.wire = static_cast<double>(bytes) * 10.0 / kRate;
  f.busy = static_cast<double>(sim.FlashBusyMs.load()) / 1000.0;
  return f;
}

void Print(const char* who, const Figures& f) {
  std::printf("%-9s %.2f s (session %.2f s); wire %.2f s + erase/program %.2f s = %.2f s; "
              "ratio %.2f\n",
              who, f.elapsed, f.session, f.wire, f.busy, f.wire + f.busy,
              f.session / (f.wire + f.busy));
}

}  // namespace

TEST(LpcDownloadBench, SixtyFourKilobytesAt57600) {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("fw.hex"));
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(HexText(PatternImage(64 * 1024, 21)));
  }
  std::printf("LPC2136, 64 KB at %u bit/s, Edit3=1, link paced at the line rate\n", kRate);

  Figures ours;
  {
    PtyPair pty;
    LpcSim sim(pty, LpcPartProfile::LPC2136(), PacedPart());
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
    ASSERT_EQ(host.log.last(), QStringLiteral("写入完成"));
    ours = Measure(sim, static_cast<double>(t.elapsed()) / 1000.0);
    sim.Stop();
  }
  Print("Vortana", ours);

  const QString tool = QStringLiteral("/usr/bin/lpc21isp");
  if (!QFile::exists(tool)) {
    std::printf("lpc21isp  not installed\n");
    return;
  }
  PtyPair pty;
  LpcSim sim(pty, LpcPartProfile::LPC2136(), PacedPart());
  QProcess p;
  p.setWorkingDirectory(dir.path());
  QElapsedTimer t;
  t.start();
  p.start(tool, {QStringLiteral("-donotstart"), file, QString::fromStdString(pty.slavePath()),
                 QString::number(kRate), QStringLiteral("11059")});
  ASSERT_TRUE(p.waitForFinished(180000));
  ASSERT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
  const Figures peer = Measure(sim, static_cast<double>(t.elapsed()) / 1000.0);
  sim.Stop();
  Print("lpc21isp", peer);
  std::printf("Vortana / lpc21isp session time: %.2f\n", ours.session / peer.session);
}
