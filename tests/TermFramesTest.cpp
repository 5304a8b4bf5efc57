// vortana-term's frames and Modbus jobs: the real executable against
// libmodbus's RTU server across a socat pty pair, and on a pty fed in pieces.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <modbus.h>

#include <atomic>
#include <thread>

#include "support/Pty.h"
#include "term/TermFrames.h"
#include "term/TermOptions.h"

namespace {

constexpr int kSlave = 17;

struct Outcome {
  int code = -1;
  QStringList out;
  QString lastErr;
};

Outcome RunTerm(const QStringList& args, int waitMs = 10000) {
  QProcess p;
  p.start(QStringLiteral(VORTANA_TERM_PATH), args);
  EXPECT_TRUE(p.waitForFinished(waitMs)) << args.join(u' ').toStdString();
  Outcome o;
  o.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  o.out = QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
  const QStringList err = QString::fromUtf8(p.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
  o.lastErr = err.isEmpty() ? QString() : err.last();
  return o;
}

TEST(TermFrameOptions, SpecsTakeTheChecksumBesideTheSplitter) {
  SplitRule rule;
  ChecksumPlace place;
  QString error;
  // The checksum sits before a terminator unless told otherwise.
  ASSERT_TRUE(ParseFrameRule(QStringLiteral("end=0d0a,sum8"), &rule, &place, &error)) << error.toStdString();
  EXPECT_EQ(rule.mode, SplitRule::Mode::Terminator);
  EXPECT_EQ(place.kind, ChecksumKind::Sum8);
  EXPECT_EQ(place.tail, 2);
  // Modbus frames carry their CRC low byte first without being told.
  ASSERT_TRUE(ParseFrameRule(QStringLiteral("modbus"), &rule, &place, &error));
  EXPECT_EQ(place.kind, ChecksumKind::Crc16Modbus);
  EXPECT_TRUE(place.littleEndian);
  ASSERT_TRUE(ParseFrameRule(QStringLiteral("gap=5ms,crc=ccitt,skip=1"), &rule, &place, &error));
  EXPECT_EQ(rule.gapMs, 5);
  EXPECT_FALSE(place.littleEndian);
  EXPECT_EQ(place.skipHead, 1);
  for (const char* bad : {"sum8", "gap=5ms,crc=md5", "end=0g", "gap=5ms,tail=65", "len@2"})
    EXPECT_FALSE(ParseFrameRule(QString::fromLatin1(bad), &rule, &place, &error)) << bad;
}

TEST(TermFrameOptions, ModbusTargetsPickTheFunctionAndRefuseWhatTheProtocolCannot) {
  modbus::Request r;
  bool bits = false;
  QString error;
  ASSERT_TRUE(ParseModbusWrite(QStringLiteral("1:holding:0x10:5"), &r, &bits, &error));
  EXPECT_EQ(r.function, modbus::kWriteSingleRegister);
  EXPECT_EQ(r.address, 0x10);
  ASSERT_TRUE(ParseModbusWrite(QStringLiteral("1:coils:0:1,0,1"), &r, &bits, &error));
  EXPECT_EQ(r.function, modbus::kWriteMultipleCoils);
  EXPECT_EQ(r.count, 3);
  ASSERT_TRUE(ParseModbusRead(QStringLiteral("247:inputs:65535:1"), &r, &bits, &error));
  EXPECT_EQ(r.function, modbus::kReadDiscreteInputs);
  EXPECT_TRUE(bits);
  for (const char* bad : {"0:holding:0:1", "248:holding:0:1", "1:holding:0:0", "1:holding:0:126", "1:coils:0:2001",
                          "1:holding:65535:2", "1:registers:0:1", "1:holding:0", "1:holding:-1:1"})
    EXPECT_FALSE(ParseModbusRead(QString::fromLatin1(bad), &r, &bits, &error)) << bad;
  for (const char* bad : {"1:inputs:0:1", "1:input-registers:0:1", "1:coils:0:2", "1:holding:0:70000",
                          "1:holding:0:", "1:holding:65535:1,2"})
    EXPECT_FALSE(ParseModbusWrite(QString::fromLatin1(bad), &r, &bits, &error)) << bad;
}

TEST(TermFrameOptions, UsageErrorsExitTwoBeforeAnyPortIsTouched) {
  // The port does not exist: a usage error must be found before it is opened.
  for (const QStringList& args :
       {QStringList{"-p", "/nonexistent/tty", "--frames", "gap=5ms,crc=md5"},
        QStringList{"-p", "/nonexistent/tty", "--frames"},
        QStringList{"-p", "/nonexistent/tty", "--modbus-read", "1:holding:0:0"},
        QStringList{"-p", "/nonexistent/tty", "--modbus-write", "1:inputs:0:1"},
        QStringList{"-p", "/nonexistent/tty", "--modbus-monitor", "--frames", "modbus"},
        QStringList{"-p", "/nonexistent/tty", "--modbus-read", "1:holding:0:1", "--modbus-timeout", "5"},
        QStringList{"-p", "/nonexistent/tty", "--frames", "modbus", "--hex"},
        QStringList{"--modbus-read", "1:holding:0:1"}}) {
    const Outcome o = RunTerm(args);
    EXPECT_EQ(o.code, 2) << args.join(u' ').toStdString();
    EXPECT_TRUE(o.lastErr.contains(QStringLiteral("--help"))) << o.lastErr.toStdString();
  }
}

struct TermModbus : ::testing::Test {
  QTemporaryDir dir;
  QProcess socat;
  modbus_t* ctx = nullptr;
  modbus_mapping_t* map = nullptr;
  std::atomic<bool> stop{false};
  std::thread server;
  QString port;

  void SetUp() override {
    const QString a = dir.filePath("dev");
    port = dir.filePath("host");
    socat.start("socat", {QStringLiteral("pty,raw,echo=0,link=%1").arg(a), QStringLiteral("pty,raw,echo=0,link=%1").arg(port)});
    ASSERT_TRUE(socat.waitForStarted(3000));
    for (int i = 0; i < 300 && !(QFile::exists(a) && QFile::exists(port)); ++i) QThread::msleep(10);
    ASSERT_TRUE(QFile::exists(a) && QFile::exists(port)) << "socat made no ptys";
    ctx = modbus_new_rtu(a.toLocal8Bit().constData(), 9600, 'N', 8, 1);
    ASSERT_NE(ctx, nullptr);
    modbus_set_slave(ctx, kSlave);
    ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
    modbus_set_indication_timeout(ctx, 0, 50000);  // so the loop sees `stop`
    map = modbus_mapping_new(40, 40, 40, 40);
    for (int i = 0; i < 40; ++i) {
      map->tab_registers[i] = static_cast<uint16_t>(1000 + i);
      map->tab_input_registers[i] = static_cast<uint16_t>(0xFF00 + i);
      map->tab_bits[i] = i % 3 == 0;
    }
    server = std::thread([this] {
      uint8_t q[MODBUS_RTU_MAX_ADU_LENGTH];
      while (!stop) {
        const int rc = modbus_receive(ctx, q);  // other slaves' requests give 0: no reply
        if (rc > 0) modbus_reply(ctx, q, rc, map);
      }
    });
  }
  void TearDown() override {
    stop = true;
    if (server.joinable()) server.join();
    if (ctx) {
      modbus_close(ctx);
      modbus_free(ctx);
    }
    if (map) modbus_mapping_free(map);
    socat.terminate();
    socat.waitForFinished(2000);
  }
  Outcome Term(const QStringList& job) { return RunTerm(QStringList{"-p", port, "-b", "9600"} + job); }
};

TEST_F(TermModbus, ReadsPrintTheValuesOneALine) {
  Outcome o = Term({"--modbus-read", "17:holding:3:4"});
  EXPECT_EQ(o.code, 0) << o.lastErr.toStdString();
  EXPECT_EQ(o.out, (QStringList{"1003", "1004", "1005", "1006"}));
  o = Term({"--modbus-read", "17:input-registers:1:1"});
  EXPECT_EQ(o.out, QStringList{"65281"});
  o = Term({"--modbus-read", "17:coils:0:4"});
  EXPECT_EQ(o.code, 0);
  EXPECT_EQ(o.out, (QStringList{"1", "0", "0", "1"}));
}

TEST_F(TermModbus, WritesReachTheDevice) {
  Outcome o = Term({"--modbus-write", "17:holding:5:7,0x10,65535"});
  EXPECT_EQ(o.code, 0) << o.lastErr.toStdString();
  EXPECT_TRUE(o.out.isEmpty());
  EXPECT_EQ(map->tab_registers[5], 7);
  EXPECT_EQ(map->tab_registers[6], 0x10);
  EXPECT_EQ(map->tab_registers[7], 65535);
  EXPECT_EQ(map->tab_registers[8], 1008);
  ASSERT_EQ(Term({"--modbus-write", "17:holding:2:-2"}).code, 0);
  EXPECT_EQ(map->tab_registers[2], 0xFFFE);
  ASSERT_EQ(Term({"--modbus-write", "17:coils:1:1"}).code, 0);
  EXPECT_EQ(map->tab_bits[1], 1);
  ASSERT_EQ(Term({"--modbus-write", "17:coils:9:0,1,1"}).code, 0);
  EXPECT_EQ(map->tab_bits[9], 0);
  EXPECT_EQ(map->tab_bits[10], 1);
  EXPECT_EQ(map->tab_bits[11], 1);
}

TEST_F(TermModbus, AnExceptionOrASilentSlaveExitsOneNamedLast) {
  Outcome o = Term({"--modbus-read", "17:holding:38:5"});  // past the 40 registers
  EXPECT_EQ(o.code, 1);
  EXPECT_TRUE(o.out.isEmpty());
  EXPECT_TRUE(o.lastErr.contains(QStringLiteral("非法数据地址"))) << o.lastErr.toStdString();
  o = Term({"--modbus-write", "17:coils:39:1,1"});
  EXPECT_EQ(o.code, 1);
  EXPECT_TRUE(o.lastErr.contains(QStringLiteral("非法数据地址"))) << o.lastErr.toStdString();

  o = Term({"--modbus-read", "18:holding:0:1", "--modbus-timeout", "300"});
  EXPECT_EQ(o.code, 1);
  EXPECT_TRUE(o.out.isEmpty());
  EXPECT_TRUE(o.lastErr.contains(QStringLiteral("超时"))) << o.lastErr.toStdString();
  // The device answers again once its server has let the other slave's request go by.
  QThread::msleep(1000);
  o = Term({"--modbus-read", "17:holding:0:1"});
  EXPECT_EQ(o.out, QStringList{"1000"}) << o.lastErr.toStdString();
}

// --frames on a pty, the stream written in pieces that cut the frames apart.
struct TermFramesPty : ::testing::Test {
  PtyPair pty;
  QProcess term;

  void Start(const QStringList& job) {
    term.start(QStringLiteral(VORTANA_TERM_PATH), QStringList{"-p", QString::fromStdString(pty.slavePath())} + job);
    ASSERT_TRUE(term.waitForStarted(3000));
    QThread::msleep(300);  // the port open before the first byte
  }
  QStringList Stop() {
    QThread::msleep(300);
    term.terminate();
    EXPECT_TRUE(term.waitForFinished(5000));
    EXPECT_EQ(term.exitCode(), 0) << term.readAllStandardError().toStdString();
    return QString::fromUtf8(term.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
  }
  void Pieces(const std::vector<std::vector<uint8_t>>& pieces) {
    for (const auto& p : pieces) {
      pty.Write(p);
      QThread::msleep(15);
    }
  }
};

// "12:34:56.789  6  01 02 03 06 0D 0A  正确" without its time.
QString Untimed(const QString& line) { return line.section(QStringLiteral("  "), 1); }

TEST_F(TermFramesPty, TerminatedFramesInPiecesWithTheirSums) {
  Start({"--frames", "end=0d0a,sum8"});
  Pieces({{0x01, 0x02}, {0x03, 0x06, 0x0D}, {0x0A, 0xAA, 0x01, 0x0D, 0x0A}, {0x0D, 0x0A}, {0x41, 0x42}});
  const QStringList lines = Stop();
  ASSERT_EQ(lines.size(), 4) << lines.join(u'\n').toStdString();
  EXPECT_EQ(Untimed(lines[0]), QStringLiteral("6  01 02 03 06 0D 0A  正确"));
  EXPECT_EQ(Untimed(lines[1]), QStringLiteral("4  AA 01 0D 0A  错误"));
  EXPECT_EQ(Untimed(lines[2]), QStringLiteral("2  0D 0A  帧过短"));
  // An unfinished frame is still shown when the job is stopped.
  EXPECT_EQ(Untimed(lines[3]), QStringLiteral("2  41 42  未成帧"));
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"))
                  .match(lines[0].section(QStringLiteral("  "), 0, 0))
                  .hasMatch())
      << lines[0].toStdString();
}

TEST_F(TermFramesPty, ModbusFramesCutByAUsbAdapterDecodeWhole) {
  Start({"--frames", "modbus"});
  // Read holding 0..1 of slave 1 and its reply, cut across the frame border;
  // a frame with a broken CRC after them.
  Pieces({{0x01, 0x03, 0x00}, {0x00, 0x00, 0x02, 0xC4, 0x0B, 0x01, 0x03}, {0x04, 0x00, 0x01, 0x00, 0x02},
          {0x2A, 0x32}});
  const QStringList lines = Stop();
  ASSERT_GE(lines.size(), 2) << lines.join(u'\n').toStdString();
  EXPECT_EQ(Untimed(lines[0]), QStringLiteral("8  01 03 00 00 00 02 C4 0B  正确"));
  EXPECT_EQ(Untimed(lines[1]), QStringLiteral("9  01 03 04 00 01 00 02 2A 32  正确"));
}

TEST_F(TermFramesPty, TheMonitorNamesRequestsRepliesAndExceptions) {
  Start({"--modbus-monitor"});
  // Read holding of slave 1, its reply cut in the middle, then slave 2's
  // exception reply.
  Pieces({{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B, 0x01, 0x03, 0x04}, {0x00, 0x01, 0x00, 0x02, 0x2A, 0x32},
          {0x02, 0x83, 0x02, 0x30, 0xF1}});
  const QStringList lines = Stop();
  ASSERT_EQ(lines.size(), 3) << lines.join(u'\n').toStdString();
  EXPECT_TRUE(lines[0].contains(QStringLiteral("从站 1")) && lines[0].contains(QStringLiteral("请求"))) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].contains(QStringLiteral("9  01 03 04 00 01 00 02 2A 32"))) << lines[1].toStdString();
  EXPECT_TRUE(lines[1].contains(QStringLiteral("应答"))) << lines[1].toStdString();
  EXPECT_TRUE(lines[2].contains(QStringLiteral("非法数据地址"))) << lines[2].toStdString();
}

}  // namespace
