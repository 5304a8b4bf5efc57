// A production run of vortana-isp: several simulated boards on several
// pseudo-terminals at once, some of them bad, and the station that waits
// for boards to come and go.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "sim/Stm32Sim.h"
#include "support/FakeSysfs.h"
#include "support/IspTool.h"
#include "support/Pty.h"

namespace {
using namespace isptool;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
  return v;
}

QString Write(QTemporaryDir& dir, const QString& name, const std::vector<uint8_t>& bytes) {
  QFile f(dir.filePath(name));
  EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
  return f.fileName();
}

std::vector<QJsonObject> Records(const QString& path) {
  std::vector<QJsonObject> out;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return out;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (!line.trimmed().isEmpty()) out.push_back(QJsonDocument::fromJson(line).object());
  return out;
}

QJsonObject RecordOf(const std::vector<QJsonObject>& records, const std::string& port) {
  for (const QJsonObject& r : records)
    if (r.value("port").toString() == QString::fromStdString(port)) return r;
  return {};
}

// Four boards, one command: two good (one behind a slow adapter), one
// silent, one that stops answering mid-download.
TEST(LineTest, EveryGoodBoardIsExactAndEveryBadOneIsNamed) {
  QTemporaryDir dir;
  const std::vector<uint8_t> image = Pattern(6000, 1);
  const QString file = Write(dir, QStringLiteral("fw.bin"), image);
  const QString report = dir.filePath(QStringLiteral("line.jsonl"));
  PtyPair good, slow, silent, dying;
  Stm32SimOptions paced;
  paced.link = SimLinkOptions{115200, 11};
  Stm32SimOptions lagging = paced;
  lagging.link.adapterLatencyMs = 16;
  lagging.link.seed = 7;
  Stm32SimOptions mute;
  mute.silent = true;
  Stm32SimOptions dies = paced;
  dies.stopAfterReplies = 20;
  Stm32Sim a(good.master(), Stm32SimProfile::ForProduct(0x0414), paced);
  Stm32Sim b(slow.master(), Stm32SimProfile::ForProduct(0x0413), lagging);
  Stm32Sim c(silent.master(), Stm32SimProfile::ForProduct(0x0414), mute);
  Stm32Sim d(dying.master(), Stm32SimProfile::ForProduct(0x0414), dies);
  a.Preload(0, Pattern(8192, 9));  // used boards
  b.Preload(0, Pattern(8192, 9));
  QStringList args{QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--report"), report};
  for (PtyPair* p : {&good, &slow, &silent, &dying}) args << QStringLiteral("-p") << QString::fromStdString(p->slavePath());
  args << file;
  const Outcome o = RunTool(args, 90000);
  ASSERT_TRUE(o.exited) << o.err.toStdString();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(a.Flash(0, 6000), image);
  EXPECT_EQ(b.Flash(0, 6000), image);

  // The summary: a row per board, the failed ones with their cause.
  const QString all = o.out.join('\n');
  auto row = [&](const PtyPair& p) {
    for (const QString& line : o.out)
      if (line.startsWith(QString::fromStdString(p.slavePath()) + QLatin1Char(' '))) return line;
    return QString();
  };
  EXPECT_TRUE(row(good).contains(QStringLiteral("成功"))) << all.toStdString();
  EXPECT_TRUE(row(slow).contains(QStringLiteral("成功")));
  EXPECT_TRUE(row(silent).contains(QStringLiteral("失败")));
  EXPECT_TRUE(row(silent).contains(QStringLiteral("设备没有应答同步字节 0x7F")));
  EXPECT_TRUE(row(dying).contains(QStringLiteral("失败")));
  EXPECT_TRUE(o.out.last().contains(QStringLiteral("4 块板: 2 成功, 2 失败"))) << all.toStdString();

  const std::vector<QJsonObject> records = Records(report);
  ASSERT_EQ(records.size(), 4u);
  const QJsonObject ra = RecordOf(records, good.slavePath());
  EXPECT_EQ(ra.value("result").toString(), QStringLiteral("ok"));
  // The device name and unique ID --info prints for the same part.
  EXPECT_EQ(ra.value("part").toString(), QStringLiteral("STM32F10xxx high-density"));
  const Outcome info = RunTool({QStringLiteral("-p"), QString::fromStdString(good.slavePath()), QStringLiteral("-f"),
                                QStringLiteral("stm32"), QStringLiteral("--info")});
  EXPECT_TRUE(info.out.contains(QStringLiteral("器件: STM32F10xxx high-density"))) << info.out.join('\n').toStdString();
  EXPECT_EQ(ra.value("uid").toString().size(), 24);
  EXPECT_TRUE(info.out.contains(QStringLiteral("唯一 ID: ") + ra.value("uid").toString()));
  EXPECT_TRUE(row(good).contains(ra.value("uid").toString())) << row(good).toStdString();
  EXPECT_EQ(ra.value("family").toString(), QStringLiteral("stm32"));
  EXPECT_EQ(ra.value("sha256").toString().size(), 64);
  EXPECT_EQ(RecordOf(records, silent.slavePath()).value("cause").toString(), QStringLiteral("设备没有应答同步字节 0x7F"));
  EXPECT_EQ(RecordOf(records, dying.slavePath()).value("result").toString(), QStringLiteral("failed"));
  EXPECT_FALSE(RecordOf(records, dying.slavePath()).value("cause").toString().isEmpty());
  for (PtyPair* p : {&good, &slow, &silent, &dying}) EXPECT_TRUE(PortFree(p->slavePath()));
}

// Serial numbers: one up per board, in each image, recorded; a second run
// with the same report never hands out a number it holds.
TEST(LineTest, SerialNumbersAreUniqueAndInTheImage) {
  QTemporaryDir dir;
  const std::vector<uint8_t> image = Pattern(4096, 3);
  const QString file = Write(dir, QStringLiteral("fw.bin"), image);
  const QString report = dir.filePath(QStringLiteral("serials.jsonl"));
  auto run = [&](int boards) {
    std::vector<std::unique_ptr<PtyPair>> ptys;
    std::vector<std::unique_ptr<Stm32Sim>> sims;
    QStringList args{QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--report"), report,
                     QStringLiteral("--serial-start"), QStringLiteral("500"), QStringLiteral("--serial-address"),
                     QStringLiteral("0x08000F00")};
    for (int i = 0; i < boards; ++i) {
      ptys.push_back(std::make_unique<PtyPair>());
      sims.push_back(std::make_unique<Stm32Sim>(ptys.back()->master(), Stm32SimProfile::ForProduct(0x0414)));
      args << QStringLiteral("-p") << QString::fromStdString(ptys.back()->slavePath());
    }
    const Outcome o = RunTool(args << file, 60000);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    std::vector<uint32_t> found;
    for (auto& sim : sims) {
      const std::vector<uint8_t> f = sim->Flash(0, 4096);
      EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xF00, f.begin()));
      EXPECT_TRUE(std::equal(image.begin() + 0xF04, image.end(), f.begin() + 0xF04));
      found.push_back(f[0xF00] | f[0xF01] << 8 | f[0xF02] << 16 | static_cast<uint32_t>(f[0xF03]) << 24);
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  EXPECT_EQ(run(3), (std::vector<uint32_t>{500, 501, 502}));
  EXPECT_EQ(run(2), (std::vector<uint32_t>{503, 504}));
  std::vector<double> recorded;
  for (const QJsonObject& r : Records(report)) recorded.push_back(r.value("serial").toDouble());
  std::sort(recorded.begin(), recorded.end());
  EXPECT_EQ(recorded, (std::vector<double>{500, 501, 502, 503, 504}));
}

// A station port with no usable board gives its serial number back only
// while no later one is out: here the other port's board has taken the next
// number, and handing the first one out again would put one number on two
// boards.
TEST(LineTest, NumberGivenBackOnlyWhileNoLaterOneIsOut) {
  QTemporaryDir dir;
  const std::vector<uint8_t> image = Pattern(4096, 4);  // the serial's place lies inside it
  const QString file = Write(dir, QStringLiteral("fw.bin"), image);
  const QString report = dir.filePath(QStringLiteral("station.jsonl"));
  const QString port0 = Write(dir, QStringLiteral("fixture0"), {0x55});  // no serial device yet
  const QString port1 = dir.filePath(QStringLiteral("fixture1"));
  PtyPair pty0, pty1;
  Stm32Sim sim0(pty0.master(), Stm32SimProfile::ForProduct(0x0414));
  Stm32Sim sim1(pty1.master(), Stm32SimProfile::ForProduct(0x0414));
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty1.slavePath()), port1));
  Tool tool;
  tool.Start({QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--watch-boards"), QStringLiteral("-p"), port0,
              QStringLiteral("-p"), port1, QStringLiteral("--report"), report, QStringLiteral("--serial-start"),
              QStringLiteral("700"), QStringLiteral("--serial-address"), QStringLiteral("0x08000F00"), file});
  // 700 goes to the first port, 701 to the second; the first port's job
  // fails without a board and the second's board takes its number.
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(port1 + QStringLiteral(": 成功")); }, 30000))
      << tool.Lines().join('\n').toStdString();
  // Now a board on the first port.
  ASSERT_TRUE(QFile::remove(port0));
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty0.slavePath()), port0));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(port0 + QStringLiteral(": 成功")); }, 30000))
      << tool.Lines().join('\n').toStdString();
  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(20000);
  ASSERT_TRUE(o.exited) << o.out.join('\n').toStdString() << o.err.toStdString();
  EXPECT_EQ(o.status, 0);

  auto serialIn = [](const Stm32Sim& sim) {
    const std::vector<uint8_t> f = sim.Flash(0xF00, 4);
    return f[0] | f[1] << 8 | f[2] << 16 | static_cast<uint32_t>(f[3]) << 24;
  };
  EXPECT_EQ(serialIn(sim1), 701u);
  EXPECT_EQ(serialIn(sim0), 702u);
  std::vector<double> recorded;
  for (const QJsonObject& r : Records(report)) recorded.push_back(r.value("serial").toDouble());
  std::sort(recorded.begin(), recorded.end());
  EXPECT_EQ(recorded, (std::vector<double>{701, 702}));
}

// Ctrl-C while the station asks a board that has stopped answering whether
// it is still there: the question is called off and the run ends with its
// summary, not waiting for a process that is no longer running.
TEST(LineTest, InterruptDuringAProbeEndsTheRun) {
  QTemporaryDir dir;
  const QString file = Write(dir, QStringLiteral("fw.bin"), Pattern(1000, 5));
  PtyPair pty;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  Tool tool;
  const QString port = QString::fromStdString(pty.slavePath());
  tool.Start({QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--watch-boards"), QStringLiteral("-p"), port,
              file});
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(port + QStringLiteral(": 成功")); }, 30000))
      << tool.Lines().join('\n').toStdString();
  sim.Stop();              // the board hangs: a probe now waits seconds for its answer
  QThread::msleep(1500);   // past the rest between probes
  tool.Signal(SIGINT);
  QElapsedTimer t;
  t.start();
  const Outcome o = tool.Wait(10000);
  ASSERT_TRUE(o.exited) << o.err.toStdString();
  EXPECT_LT(t.elapsed(), 3000);
  EXPECT_EQ(o.status, 0);
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_TRUE(o.out.last().contains(QStringLiteral("1 块板: 1 成功, 0 失败"))) << o.out.join('\n').toStdString();
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

// A station: boards come and go on two ports; each is programmed once when
// it appears, and Ctrl-C ends the run with its summary.
TEST(LineTest, StationProgramsEachBoardAsItAppears) {
  QTemporaryDir dir;
  const std::vector<uint8_t> image = Pattern(3000, 2);
  const QString file = Write(dir, QStringLiteral("fw.bin"), image);
  const QString report = dir.filePath(QStringLiteral("station.csv"));
  const QString port0 = dir.filePath(QStringLiteral("fixture0"));
  const QString port1 = dir.filePath(QStringLiteral("fixture1"));
  Tool tool;
  tool.Start({QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--watch-boards"), QStringLiteral("-p"), port0,
              QStringLiteral("-p"), port1, QStringLiteral("--report"), report, file});
  QThread::msleep(500);
  EXPECT_TRUE(Records(report).empty());

  // A board's adapter appears on the first port.
  auto board = [&](const QString& port, PtyPair& pty) {
    return QFile::link(QString::fromStdString(pty.slavePath()), port);
  };
  auto pty1 = std::make_unique<PtyPair>();
  auto sim1 = std::make_unique<Stm32Sim>(pty1->master(), Stm32SimProfile::ForProduct(0x0414));
  ASSERT_TRUE(board(port0, *pty1));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(port0 + QStringLiteral(": 成功")); }, 30000))
      << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim1->Flash(0, 3000), image);
  // It is taken away; the next board arrives on the same port.
  QFile::remove(port0);
  sim1->Stop();
  pty1->HangUp();
  QThread::msleep(800);
  auto pty2 = std::make_unique<PtyPair>();
  Stm32Sim sim2(pty2->master(), Stm32SimProfile::ForProduct(0x0414));
  ASSERT_TRUE(board(port0, *pty2));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().count(port0 + QStringLiteral(": 成功")) == 2; }, 30000))
      << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim2.Flash(0, 3000), image);
  // A board that stays is not programmed again.
  QThread::msleep(2500);
  EXPECT_EQ(tool.Lines().count(port0 + QStringLiteral(": 成功")), 2);

  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(20000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.out.last().contains(QStringLiteral("2 块板: 2 成功, 0 失败"))) << o.out.join('\n').toStdString();
  QFile f(report);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
  ASSERT_EQ(lines.size(), 3);  // the header and two boards
  EXPECT_TRUE(lines[0].startsWith("time,port,"));
  EXPECT_TRUE(lines[1].contains(port0.toUtf8()) && lines[1].contains(",ok,"));
  EXPECT_TRUE(PortFree(pty2->slavePath()));
}

// Serial numbers are checked before any board starts: a run that would
// pass the format's largest number, or a number outside the image.
TEST(LineTest, SerialsThatCannotBeWrittenStopTheRunBeforeAnyBoard) {
  QTemporaryDir dir;
  const QString file = Write(dir, QStringLiteral("fw.bin"), Pattern(1024, 4));
  PtyPair p0, p1;
  Stm32Sim s0(p0.master(), Stm32SimProfile::ForProduct(0x0414));
  Stm32Sim s1(p1.master(), Stm32SimProfile::ForProduct(0x0414));
  auto run = [&](const QString& start, const QString& address) {
    return RunTool({QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("-p"), QString::fromStdString(p0.slavePath()),
                    QStringLiteral("-p"), QString::fromStdString(p1.slavePath()), QStringLiteral("--serial-start"), start,
                    QStringLiteral("--serial-address"), address, file},
                   20000);
  };
  Outcome o = run(QStringLiteral("4294967295"), QStringLiteral("0x08000100"));
  EXPECT_EQ(o.status, 2);
  EXPECT_TRUE(o.err.contains(QStringLiteral("2 boards from serial number 4294967295 would pass 4294967295")))
      << o.err.toStdString();
  o = run(QStringLiteral("1"), QStringLiteral("0x080003FE"));  // two of its four bytes past the end
  EXPECT_EQ(o.status, 2);
  EXPECT_TRUE(o.err.contains(QStringLiteral("--serial-address 0x080003FE is outside the image (0x08000000 ... 0x080003FF)")))
      << o.err.toStdString();
  EXPECT_EQ(s0.bytesReceived() + s1.bytesReceived(), 0u);
}

// A station on a path pattern serves serial devices that appear after the
// start and never its own report, which the pattern matches too; a board
// that comes when the serial numbers have run out fails, untouched.
TEST(LineTest, StationRescansItsPatternForSerialDevicesOnly) {
  QTemporaryDir dir;
  const std::vector<uint8_t> image = Pattern(2048, 5);
  const QString file = Write(dir, QStringLiteral("fw.bin"), image);
  const QString report = dir.filePath(QStringLiteral("fixture-report.jsonl"));
  Write(dir, QStringLiteral("fixture-report.jsonl"), {});
  const QString port0 = dir.filePath(QStringLiteral("fixture0"));
  const QString port1 = dir.filePath(QStringLiteral("fixture1"));
  Tool tool;
  tool.Start({QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--watch-boards"), QStringLiteral("--ports"),
              dir.filePath(QStringLiteral("fixture*")), QStringLiteral("--report"), report, QStringLiteral("--serial-start"),
              QStringLiteral("4294967295"), QStringLiteral("--serial-address"), QStringLiteral("0x08000400"), file});
  QThread::msleep(800);
  EXPECT_TRUE(Records(report).empty());

  PtyPair pty0, pty1;
  Stm32Sim sim0(pty0.master(), Stm32SimProfile::ForProduct(0x0414));
  Stm32Sim sim1(pty1.master(), Stm32SimProfile::ForProduct(0x0414));
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty0.slavePath()), port0));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(port0 + QStringLiteral(": 成功")); }, 30000))
      << tool.Lines().join('\n').toStdString();
  const std::vector<uint8_t> f = sim0.Flash(0x400, 4);
  EXPECT_EQ(f, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(QFile::link(QString::fromStdString(pty1.slavePath()), port1));
  const QString refused = port1 + QStringLiteral(": 失败: serial number 4294967296 does not fit: u32le holds 0 ... 4294967295");
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(refused); }, 30000)) << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim1.bytesReceived(), 0u);

  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(20000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 1);
  for (const QString& line : o.out) EXPECT_FALSE(line.startsWith(report)) << line.toStdString();
  const std::vector<QJsonObject> records = Records(report);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].value("port").toString(), port0);
  EXPECT_EQ(records[0].value("result").toString(), QStringLiteral("ok"));
  EXPECT_EQ(records[0].value("serial").toDouble(), 4294967295.0);
  EXPECT_EQ(records[1].value("port").toString(), port1);
  EXPECT_EQ(records[1].value("result").toString(), QStringLiteral("failed"));
}

// A station on a pattern follows its adapters by identity (serial number),
// not by ttyUSBn: the adapter back under a new number still carries the
// board that was done, and another adapter that takes the old number
// carries a new board, programmed on a line of its own.
TEST(LineTest, StationTellsBoardsByTheirAdapterNotTheirNumber) {
  QTemporaryDir dir;
  const std::vector<uint8_t> image = Pattern(2048, 6);
  const QString file = Write(dir, QStringLiteral("fw.bin"), image);
  FakeSysfs sys(dir.filePath(QStringLiteral("sys")).toStdString());
  qputenv("VORTANA_SYSFS_ROOT", QByteArray::fromStdString(sys.root()));
  struct Unset {
    ~Unset() { qunsetenv("VORTANA_SYSFS_ROOT"); }
  } unset;
  const auto ttyOf = [](const PtyPair& p) { return std::filesystem::path(p.slavePath()).filename().string(); };
  const auto name = [&](int n) { return dir.filePath(QStringLiteral("ttyUSB%1").arg(n)); };
  // As udev renames: the new link replaces the old in one step.
  const auto plug = [&](int n, const PtyPair& p) {
    const std::string link = name(n).toStdString();
    std::filesystem::create_symlink(p.slavePath(), link + ".new");
    std::filesystem::rename(link + ".new", link);
  };
  PtyPair px, py;
  sys.AddAdapter(ttyOf(px), "1-2", "0403", "6001", "FT232R", "X1");
  sys.AddAdapter(ttyOf(py), "1-3", "0403", "6001", "FT232R", "Y2");
  Stm32Sim simX(px.master(), Stm32SimProfile::ForProduct(0x0414));
  Stm32Sim simY(py.master(), Stm32SimProfile::ForProduct(0x0414));  // the same unique ID as X's
  plug(0, px);
  Tool tool;
  tool.Start({QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--watch-boards"), QStringLiteral("--ports"),
              dir.filePath(QStringLiteral("ttyUSB*")), file});
  const auto done = [&](int n) { return tool.Lines().count(name(n) + QStringLiteral(": 成功")); };
  ASSERT_TRUE(WaitFor([&] { return done(0) == 1; }, 30000)) << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(simX.Flash(0, 2048), image);

  // X re-enumerates as ttyUSB1: the same board, not programmed again.
  std::filesystem::remove(name(0).toStdString());
  QThread::msleep(600);
  plug(1, px);
  QThread::msleep(2500);  // past a scan and a probe
  EXPECT_EQ(done(1), 0) << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(simX.erasesDone(), 1);

  // Y takes the number X had: a board of its own, though it answers with
  // the same unique ID.
  plug(1, py);
  ASSERT_TRUE(WaitFor([&] { return done(1) == 1; }, 30000)) << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(simY.Flash(0, 2048), image);

  // X comes back once more: its slot took it, and it is still the same board.
  plug(2, px);
  QThread::msleep(2500);
  EXPECT_EQ(done(2), 0) << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(simX.erasesDone(), 1);

  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(20000);
  ASSERT_TRUE(o.exited) << o.err.toStdString();
  EXPECT_EQ(o.status, 0);
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_TRUE(o.out.last().contains(QStringLiteral("2 块板: 2 成功, 0 失败"))) << o.out.join('\n').toStdString();
}

}  // namespace
