// Downloads a 64 KB image at 57600 and 115200 bit/s to a simulated LPC2136
// behind the paced link model, which spends real erase and programming
// time: with the command line's default (no line pause, read-back on), with
// the read-back off, and with the window's shortest pause (Edit3 = "1").
// Prints each time as a ratio to the time the exchanged bytes need on the
// wire plus the flash's own busy time; then runs the installed lpc21isp
// against the same simulated part as a yardstick.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>

#include "isp/lpc/LPC.h"
#include "sim/HexText.h"
#include "sim/LpcSim.h"
#include "support/EventPump.h"
#include "support/FakeIspHost.h"
#include "support/Pty.h"

namespace {

LpcSimOptions PacedPart(uint32_t rate) {
  LpcSimOptions o;
  o.Link.baud = rate;
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

Figures Measure(LpcSim& sim, double elapsed, uint32_t rate) {
  Figures f;
  f.elapsed = elapsed;
  f.session = static_cast<double>(sim.Link().LastInNs() - sim.Link().FirstInNs()) / 1e9;
  const uint64_t bytes = sim.Link().BytesIn() + sim.Link().BytesOut();
  f.wire = static_cast<double>(bytes) * 10.0 / rate;
  f.busy = static_cast<double>(sim.FlashBusyMs.load()) / 1000.0;
  return f;
}

void Print(const char* who, const Figures& f) {
  std::printf("%-22s %.2f s (session %.2f s); wire %.2f s + erase/program %.2f s = %.2f s; "
              "ratio %.2f\n",
              who, f.elapsed, f.session, f.wire, f.busy, f.wire + f.busy,
              f.session / (f.wire + f.busy));
}

Figures Ours(const QString& file, uint32_t rate, const char* pacing, bool verify) {
  PtyPair pty;
  LpcSim sim(pty, LpcPartProfile::LPC2136(), PacedPart(rate));
  FakeIspHost host;
  host.portName = QString::fromStdString(pty.slavePath());
  host.speed = rate == 115200 ? br115200 : br57600;
  host.parity = ptNONE;
  host.firmwareFileName = file;
  host.timeoutText = QString::fromLatin1(pacing);
  host.verifyAfterWrite = verify;
  TLPCFrm frm(host);
  QElapsedTimer t;
  t.start();
  frm.BitBtn1Click(host.Job());
  EXPECT_TRUE(PumpUntil([&] { return host.downloadEnabled; }, 180000));
  EXPECT_EQ(host.log.last(), QStringLiteral("写入完成"));
  const Figures f = Measure(sim, static_cast<double>(t.elapsed()) / 1000.0, rate);
  sim.Stop();
  return f;
}

Figures Peer(const QString& tool, const QString& file, const QString& dir, uint32_t rate) {
  PtyPair pty;
  LpcSim sim(pty, LpcPartProfile::LPC2136(), PacedPart(rate));
  QProcess p;
  p.setWorkingDirectory(dir);
  QElapsedTimer t;
  t.start();
  p.start(tool, {QStringLiteral("-donotstart"), file, QString::fromStdString(pty.slavePath()),
                 QString::number(rate), QStringLiteral("11059")});
  EXPECT_TRUE(p.waitForFinished(180000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAll().toStdString();
  const Figures f = Measure(sim, static_cast<double>(t.elapsed()) / 1000.0, rate);
  sim.Stop();
  return f;
}

}  // namespace

TEST(LpcDownloadBench, SixtyFourKilobytes) {
  QTemporaryDir dir;
  const QString file = dir.filePath(QStringLiteral("fw.hex"));
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(HexText(PatternImage(64 * 1024, 21)));
  }
  const QString tool = QStringLiteral("/usr/bin/lpc21isp");
  for (uint32_t rate : {57600u, 115200u}) {
    std::printf("LPC2136, 64 KB at %u bit/s, link paced at the line rate\n", rate);
    const Figures plain = Ours(file, rate, "0", true);
    Print("Vortana (read-back)", plain);
    const Figures noVerify = Ours(file, rate, "0", false);
    Print("Vortana (no read-back)", noVerify);
    Print("Vortana (Edit3=1)", Ours(file, rate, "1", false));
    if (!QFile::exists(tool)) {
      std::printf("lpc21isp not installed\n");
      continue;
    }
    const Figures peer = Peer(tool, file, dir.path(), rate);
    Print("lpc21isp", peer);
    std::printf("Vortana (no read-back) / lpc21isp session time: %.2f\n", noVerify.session / peer.session);
  }
}
