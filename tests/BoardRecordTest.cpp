// What a production run writes of each board, and the serial numbers it
// hands out: the rules a line's traceability rests on.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "cli/BoardRecord.h"
#include "cli/CliOptions.h"
#include "cli/Porcelain.h"

namespace {

BoardRecord Board(const QString& port, bool ok, std::optional<uint64_t> serial, const QString& cause = {}) {
  BoardRecord r;
  r.time = QDateTime(QDate(2026, 12, 9), QTime(10, 30, 5, 250), Qt::UTC);
  r.port = port;
  r.family = QStringLiteral("stm32");
  r.part = QStringLiteral("STM32F10x 家族");
  r.uniqueId = QStringLiteral("0123456789ABCDEF01234567");
  r.imageFile = QStringLiteral("/fw/a,b.hex");
  r.imageSha256 = QStringLiteral("ab");
  r.serial = serial;
  r.ok = ok;
  r.cause = cause;
  r.seconds = 12.34;
  return r;
}

TEST(BoardRecord, JsonAndCsvCarryEveryFieldAndSurviveCommasAndQuotes) {
  const BoardRecord r = Board(QStringLiteral("ttyUSB3"), false, 41, QStringLiteral("写命令被拒绝, \"0x08000000\""));
  const QJsonObject o = QJsonDocument::fromJson(RecordJsonLine(r)).object();
  EXPECT_EQ(o.value("port").toString(), QStringLiteral("ttyUSB3"));
  EXPECT_EQ(o.value("result").toString(), QStringLiteral("failed"));
  EXPECT_EQ(o.value("cause").toString(), r.cause);
  EXPECT_EQ(o.value("serial").toDouble(), 41);
  EXPECT_EQ(o.value("uid").toString(), r.uniqueId);
  EXPECT_EQ(o.value("sha256").toString(), QStringLiteral("ab"));
  EXPECT_DOUBLE_EQ(o.value("seconds").toDouble(), 12.3);
  EXPECT_TRUE(o.value("time").toString().startsWith(QStringLiteral("2026-12-09T10:30:05.250")));
  EXPECT_TRUE(QJsonDocument::fromJson(RecordJsonLine(Board("p", true, std::nullopt))).object().value("serial").isNull());

  const QByteArray row = RecordCsvRow(r);
  EXPECT_TRUE(row.endsWith('\n'));
  EXPECT_TRUE(row.contains("\"/fw/a,b.hex\""));
  EXPECT_TRUE(row.contains("\"写命令被拒绝, \"\"0x08000000\"\"\"") ) << row.toStdString();
  EXPECT_EQ(RecordCsvHeader().count(','), row.count(',') - 2);  // two commas sit inside quotes
}

TEST(BoardRecord, ReportsAppendAndSerialsAreNeverHandedOutTwice) {
  QTemporaryDir dir;
  for (const QString& name : {QStringLiteral("line.jsonl"), QStringLiteral("line.csv")}) {
    SCOPED_TRACE(name.toStdString());
    const QString path = dir.filePath(name);
    EXPECT_TRUE(SerialsInReport(path).empty());
    QString why;
    ASSERT_TRUE(AppendRecord(path, Board("a", true, 100), &why)) << why.toStdString();
    ASSERT_TRUE(AppendRecord(path, Board("b", false, 101, QStringLiteral("x, y")), &why));
    ASSERT_TRUE(AppendRecord(path, Board("c", true, std::nullopt), &why));
    EXPECT_EQ(SerialsInReport(path), (std::vector<uint64_t>{100, 101}));
    // A run asked to start at 50 or at 101 continues after the file's numbers.
    EXPECT_EQ(FirstFreeSerial(50, SerialsInReport(path)), 102u);
    EXPECT_EQ(FirstFreeSerial(101, SerialsInReport(path)), 102u);
    EXPECT_EQ(FirstFreeSerial(500, SerialsInReport(path)), 500u);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    EXPECT_EQ(lines.size(), IsCsvReport(path) ? 5 : 4);  // CSV: one header; the last split is empty
  }
  EXPECT_FALSE(AppendRecord(dir.filePath("no/such/dir.jsonl"), Board("a", true, 1), nullptr));
}

TEST(BoardRecord, SerialNumberBytes) {
  EXPECT_EQ(SerialNumberBytes(0x12345678, QStringLiteral("u32le")), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_TRUE(SerialNumberBytes(0x100000000ull, QStringLiteral("u32le")).empty());
  const std::vector<uint8_t> a = SerialNumberBytes(42, QStringLiteral("ascii"));
  EXPECT_EQ(std::string(a.begin(), a.end()), "0000000042");
  EXPECT_TRUE(SerialNumberBytes(10000000000ull, QStringLiteral("ascii")).empty());
}

TEST(BoardRecord, SummaryColumnsLineUpWithChineseText) {
  const std::vector<BoardRecord> boards = {Board("ttyUSB0", true, 7), Board("ttyUSB10", false, 8, QStringLiteral("设备没有应答同步字节 0x7F"))};
  const QStringList t = SummaryTable(boards);
  ASSERT_EQ(t.size(), 3);
  EXPECT_TRUE(t[0].startsWith(QStringLiteral("端口")));
  // The result column starts at the same terminal cell on every row.
  const int at = DisplayWidth(t[1].left(t[1].indexOf(QStringLiteral("成功"))));
  EXPECT_EQ(DisplayWidth(t[2].left(t[2].indexOf(QStringLiteral("失败")))), at);
  EXPECT_EQ(DisplayWidth(t[0].left(t[0].indexOf(QStringLiteral("结果")))), at);
  EXPECT_TRUE(t[2].endsWith(QStringLiteral("设备没有应答同步字节 0x7F")));
  // The unique ID column holds the chip's ID; the serial has its own.
  const int uidAt = DisplayWidth(t[0].left(t[0].indexOf(QStringLiteral("唯一ID"))));
  const int serialAt = DisplayWidth(t[0].left(t[0].indexOf(QStringLiteral("序列号"))));
  EXPECT_EQ(DisplayWidth(t[1].left(t[1].indexOf(QStringLiteral("0123456789ABCDEF01234567")))), uidAt);
  EXPECT_EQ(DisplayWidth(t[2].left(t[2].indexOf(QStringLiteral(" 8  ")) + 1)), serialAt);
  EXPECT_FALSE(t[1].contains(QStringLiteral("#7")));
  EXPECT_EQ(DisplayWidth(QStringLiteral("中a")), 3);
  EXPECT_EQ(PadCells(QStringLiteral("中文中文"), 5), QStringLiteral("中文…"));
  EXPECT_EQ(PadCells(QStringLiteral("中文中文"), 6), QStringLiteral("中文… "));
}

// A board's command line says all the run's options for that board, and
// reads back as them.
TEST(BoardRecord, BoardArgumentsReadBackAsTheRunsOptions) {
  const ParsedCommandLine run = ParseCommandLine(QStringLiteral(
      "-p a -p b -f stm32 -b 460800 --reset mode2 --no-verify --go=0x08000100 --serial-start 9 --serial-address 0x0800FFF0 "
      "--report r.jsonl fw.bin").split(' '));
  ASSERT_EQ(run.kind, ParsedCommandLine::Kind::Run) << run.error.toStdString();
  const ParsedCommandLine board = ParseCommandLine(BoardArguments(run.options, QStringLiteral("b"), 12));
  ASSERT_EQ(board.kind, ParsedCommandLine::Kind::Run) << board.error.toStdString();
  const CliOptions& o = board.options;
  EXPECT_TRUE(o.porcelain);
  EXPECT_EQ(o.ports, QStringList{QStringLiteral("b")});
  EXPECT_FALSE(IsProductionRun(o));
  EXPECT_EQ(o.baud, 460800u);
  EXPECT_EQ(o.reset, ResetWiring::Mode2);
  EXPECT_FALSE(o.verify);
  EXPECT_TRUE(o.job.go);
  EXPECT_EQ(o.job.goAddress.value_or(0), 0x08000100u);
  EXPECT_EQ(o.serialStart.value_or(0), 12u);
  EXPECT_EQ(o.serialAddress.value_or(0), 0x0800FFF0u);
  EXPECT_EQ(o.file, QStringLiteral("fw.bin"));

  const ParsedCommandLine stc = ParseCommandLine(QStringLiteral(
      "--ports ttyUSB* -f stc --timeout 7 --reset-ms 250 --frequency 24000 --option reset_pin=io fw.hex").split(' '));
  ASSERT_EQ(stc.kind, ParsedCommandLine::Kind::Run) << stc.error.toStdString();
  EXPECT_TRUE(IsProductionRun(stc.options));
  const CliOptions s = ParseCommandLine(BoardArguments(stc.options, QStringLiteral("ttyUSB4"), std::nullopt)).options;
  EXPECT_EQ(s.timeoutS, 7);
  EXPECT_EQ(s.resetMs, 250);
  EXPECT_DOUBLE_EQ(s.job.frequencyKHz, 24000);
  EXPECT_EQ(s.job.options.value(QStringLiteral("reset_pin")), QStringLiteral("io"));

  // A sequence of the user's own reaches every board as it was given.
  const ParsedCommandLine seq = ParseCommandLine(
      QStringLiteral("-p a -p b -f lpc --reset ~dtr,rts,dtr,100,-dtr/dtr,5,-dtr fw.hex").split(' '));
  ASSERT_EQ(seq.kind, ParsedCommandLine::Kind::Run) << seq.error.toStdString();
  const CliOptions q = ParseCommandLine(BoardArguments(seq.options, QStringLiteral("a"), std::nullopt)).options;
  EXPECT_EQ(q.reset, ResetWiring::Custom);
  EXPECT_EQ(q.resetSequence, seq.options.resetSequence);

  const CliOptions read = ParseCommandLine(BoardArguments(
      ParseCommandLine(QStringLiteral("-p a -p b -f lpc --read out.bin --address 0x100 --length 4K").split(' ')).options,
      QStringLiteral("a"), std::nullopt)).options;
  EXPECT_EQ(read.job.kind, IspJobKind::Read);
  EXPECT_EQ(read.job.file, QStringLiteral("out.bin"));
  EXPECT_EQ(read.job.address.value_or(0), 0x100u);
  EXPECT_EQ(read.job.length.value_or(0), 4096u);
}

TEST(Porcelain, ResultsTravelWhole) {
  IspResult r = IspResult::Failure(QStringLiteral("擦除失败: E 0 3"), QStringLiteral("擦除"));
  r.command = QStringLiteral("E 0 3");
  r.code = 9;
  r.partAnswered = true;
  r.partName = QStringLiteral("LPC2148");
  r.uniqueId = QStringLiteral("A1B2");
  QByteArray line = PorcelainResult(r, 1);
  ASSERT_TRUE(line.endsWith('\n'));
  line.chop(1);
  const PorcelainEvent e = ParsePorcelainLine(line);
  ASSERT_EQ(e.kind, PorcelainEvent::Kind::Result);
  EXPECT_EQ(e.result.cause, r.cause);
  EXPECT_EQ(e.result.command, r.command);
  EXPECT_EQ(e.result.code, 9);
  EXPECT_TRUE(e.result.partAnswered);
  EXPECT_EQ(e.result.uniqueId, r.uniqueId);
  EXPECT_EQ(e.exitStatus, 1);
  QByteArray p = PorcelainProgress(42, 100, 200);
  p.chop(1);
  EXPECT_EQ(ParsePorcelainLine(p).percent, 42);
  EXPECT_EQ(ParsePorcelainLine("==123==ERROR: AddressSanitizer").kind, PorcelainEvent::Kind::Unknown);
}

}  // namespace
