// vortana-isp as a script runs it: the real executable in a child process,
// a simulated boot loader on the other side of a pseudo-terminal.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "sim/HexText.h"
#include "sim/LpcSim.h"
#include "sim/StcModernSim.h"
#include "sim/StcSim.h"
#include "firmware/FirmwareImage.h"
#include "sim/PtySpeed.h"
#include "sim/Stm32Sim.h"
#include "support/IspTool.h"
#include "support/Pty.h"

namespace {
using namespace isptool;

class CliTest : public ::testing::Test {
 protected:
  QString WriteFile(const QString& name, const QByteArray& content) {
    const QString path = dir.filePath(name);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    return path;
  }
  QStringList Args(const char* family, const QString& file, QStringList more = {}) {
    return QStringList{QStringLiteral("-p"), QString::fromStdString(pty.slavePath()), QStringLiteral("-f"),
                       QString::fromLatin1(family)} +
           more + QStringList{file};
  }

  PtyPair pty;
  QTemporaryDir dir;
};

TEST_F(CliTest, Stm32ImageLandsAndTheLogComesOutLineByLine) {
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  const std::vector<uint8_t> image = PatternImage(3000, 7);
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image, 0x08000000));
  const Outcome o = RunTool(Args("stm32", file, {QStringLiteral("--reset"), QStringLiteral("none")}));
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString() << o.err.toStdString();
  EXPECT_EQ(sim.Flash(0, 3000), image);
  // The window's log: the search line once although the engine rewrites it
  // every 10 ms, the loader's lines once although the file was checked first.
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_EQ(o.out.first(), QStringLiteral("正在查找设备。。。"));
  EXPECT_EQ(o.out.count(QStringLiteral("正在查找设备。。。")), 1);
  EXPECT_EQ(o.out.count(QStringLiteral("文件尺寸: 3000 Byte / 2 KB")), 1);
  EXPECT_TRUE(o.out.contains(QStringLiteral("Product ID: 0414")));
  EXPECT_TRUE(o.out.contains(QStringLiteral("擦除页[ 0 .. 1 ]")));
  EXPECT_TRUE(o.out.contains(QStringLiteral("开始校验。。。")));
  EXPECT_EQ(o.out.last(), QStringLiteral("上载完成！"));
  // Not a terminal: the progress comes as plain lines, the last one complete.
  EXPECT_TRUE(o.err.contains(QStringLiteral("100%  3000/3000 bytes"))) << o.err.toStdString();
  EXPECT_FALSE(o.err.contains(QLatin1Char('\r')));
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

TEST_F(CliTest, Stm32SuccessMeansTheImageReadsBackUnlessVerifyIsOff) {
  const std::vector<uint8_t> image = PatternImage(1024, 8);
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(reinterpret_cast<const char*>(image.data()), 1024));
  Stm32SimOptions weak;
  weak.weakCell = 300;  // one bit there stays wrong after writing
  auto sim = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414), weak);
  const Outcome checked = RunTool(Args("stm32", file, {QStringLiteral("--reset=none")}));
  ASSERT_TRUE(checked.exited);
  EXPECT_EQ(checked.status, 1);
  EXPECT_FALSE(checked.out.filter(QStringLiteral("校验错误: 地址")).isEmpty()) << checked.out.join('\n').toStdString();
  EXPECT_FALSE(checked.out.contains(QStringLiteral("上载完成！")));

  sim->Stop();
  sim = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414), weak);
  const Outcome unchecked = RunTool(Args("stm32", file, {QStringLiteral("--reset=none"), QStringLiteral("--no-verify")}));
  ASSERT_TRUE(unchecked.exited);
  EXPECT_EQ(unchecked.status, 0);
  EXPECT_FALSE(unchecked.out.contains(QStringLiteral("开始校验。。。")));
  EXPECT_EQ(unchecked.out.last(), QStringLiteral("上载完成！"));
}

// The STM32 jobs as a script runs them: the speed reaches the port (the
// lowest the window allows, and one beyond its lists), a read-out lands in
// its file, --info names the part, a locked part fails with the remedy last.
TEST_F(CliTest, Stm32JobsAndSpeedsFromTheCommandLine) {
  const std::vector<uint8_t> image = PatternImage(2000, 9);
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(reinterpret_cast<const char*>(image.data()), 2000));
  const QString port = QString::fromStdString(pty.slavePath());
  auto job = [&](QStringList more) {
    return QStringList{QStringLiteral("-p"), port, QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--reset=none")} + more;
  };
  for (const char* baud : {"19200", "230400"}) {
    SCOPED_TRACE(baud);
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0410));
    const Outcome o = RunTool(job({QStringLiteral("-b"), QString::fromLatin1(baud), file}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString() << o.err.toStdString();
    EXPECT_EQ(sim.Flash(0, 2000), image);
    EXPECT_EQ(PtyHostSpeed(pty.master()), QString::fromLatin1(baud).toUInt());
  }
  {
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0410));
    sim.Preload(0, image);
    const QString out = dir.filePath(QStringLiteral("back.hex"));
    const Outcome o = RunTool(job({QStringLiteral("--read"), out, QStringLiteral("--length"), QStringLiteral("2000")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString() << o.err.toStdString();
    EXPECT_EQ(o.out.last(), QStringLiteral("读出完成：2000 字节已写入 ") + out);
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const HexDecodeResult d = DecodeIntelHex(f.readAll(), 1 << 20);
    EXPECT_EQ(d.baseAddress, 0x08000000u);
    EXPECT_EQ(std::vector<uint8_t>(d.image.begin(), d.image.end()), image);

    const Outcome info = RunTool(job({QStringLiteral("--info")}));
    ASSERT_TRUE(info.exited);
    EXPECT_EQ(info.status, 0);
    EXPECT_TRUE(info.out.contains(QStringLiteral("器件: STM32F10xxx medium-density"))) << info.out.join('\n').toStdString();
    EXPECT_TRUE(info.out.contains(QStringLiteral("Flash 容量: 128 KB")));
    // The line's RAM and the option bytes as read from the part, in order.
    const qsizetype page = info.out.indexOf(QStringLiteral("第一个页: 1 KB"));
    ASSERT_GE(page, 0) << info.out.join('\n').toStdString();
    EXPECT_EQ(info.out.mid(page + 1, 2),
              (QStringList{QStringLiteral("RAM: 最多 20 KB（其中 0x20000000..0x200001FF 由 Bootloader 占用）"),
                           QStringLiteral("选项字节 (0x1FFFF800): A5 5A FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00")}))
        << info.out.join('\n').toStdString();
    EXPECT_EQ(info.out.last(), QStringLiteral("读器件信息完成"));
    EXPECT_EQ(sim.erasesDone(), 0);
  }
  Stm32SimProfile locked = Stm32SimProfile::ForProduct(0x0410);
  locked.readProtected = true;
  Stm32Sim sim(pty.master(), locked);
  const Outcome o = RunTool(job({file}));
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 1);
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_TRUE(o.out.last().startsWith(QStringLiteral("读保护已开启"))) << o.out.last().toStdString();
  EXPECT_TRUE(o.out.last().contains(QStringLiteral("--unprotect-read")));
}

TEST_F(CliTest, LpcImageLands) {
  LpcSim sim(pty, LpcPartProfile::LPC2131());
  const std::vector<uint8_t> image = PatternImage(5000, 3);
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
  const Outcome o = RunTool(Args("lpc", file, {QStringLiteral("--timeout"), QStringLiteral("1")}));
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString() << o.err.toStdString();
  const std::vector<uint8_t> expect = WithVectorChecksum(image);
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_GE(flash.size(), expect.size());
  EXPECT_TRUE(std::equal(expect.begin(), expect.end(), flash.begin()));
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_EQ(o.out.first(), QStringLiteral("正在查找。。。"));
  EXPECT_EQ(o.out.count(QStringLiteral("下载目标代码")), 1);
  EXPECT_TRUE(o.out.contains(QStringLiteral("读器件ID成功:196353")));
  EXPECT_EQ(o.out.last(), QStringLiteral("写入完成"));
}

TEST_F(CliTest, LpcVerifyByCompareOrByReadBack) {
  const std::vector<uint8_t> image = PatternImage(9000, 9);
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
  {
    LpcSimOptions o;
    o.FlipAfterCopy = 0x1001;
    LpcSim sim(pty, LpcPartProfile::LPC2131(), o);
    const Outcome out = RunTool(Args("lpc", file, {QStringLiteral("--reset=none")}));
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 1);
    ASSERT_FALSE(out.out.isEmpty());
    EXPECT_EQ(out.out.last(), QStringLiteral("校验错误: Flash 地址 0x00001000 与写入的数据不符"));
  }
  {
    LpcSim sim(pty, LpcPartProfile::LPC2131());
    const Outcome out = RunTool(Args("lpc", file, {QStringLiteral("--reset=none"), QStringLiteral("--verify-readback")}));
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 0) << out.out.join('\n').toStdString();
    EXPECT_TRUE(out.out.contains(QStringLiteral("开始校验。。。")));
    int reads = 0, compares = 0;
    for (const std::string& c : sim.Commands()) {
      reads += c[0] == 'R';
      compares += c[0] == 'M';
    }
    EXPECT_GT(reads, 0);
    EXPECT_EQ(compares, 0);
  }
  {
    LpcSimOptions o;
    o.NoCompare = true;
    LpcSim sim(pty, LpcPartProfile::LPC2131(), o);
    const Outcome out = RunTool(Args("lpc", file, {QStringLiteral("--reset=none")}));
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 0) << out.out.join('\n').toStdString();
    EXPECT_TRUE(out.out.contains(QStringLiteral("器件不支持比较命令 M，写入后改为读出校验")));
    EXPECT_EQ(out.out.last(), QStringLiteral("写入完成"));
  }
}

TEST_F(CliTest, LpcBootLoaderIsToldTheCrystalGiven) {
  // Just enough of a boot loader to hear the crystal line.
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(100, 1)));
  Tool tool;
  // Whole kHz, which is all the boot loaders parse.
  tool.Start(Args("lpc", file, {QStringLiteral("--crystal-khz"), QStringLiteral("12000.4"), QStringLiteral("--reset"),
                                QStringLiteral("none")}));
  // Bytes up to and including the first `end` (stray '?' of the search included).
  auto readThrough = [this](const std::string& end) {
    std::string heard;
    while (heard.size() < end.size() || heard.compare(heard.size() - end.size(), end.size(), end) != 0) {
      const std::vector<uint8_t> got = pty.Read(1, 10000);
      if (got.empty()) break;
      heard.push_back(static_cast<char>(got[0]));
    }
    return heard;
  };
  EXPECT_EQ(readThrough("?"), "?");
  pty.Write("Synchronized\r\n");
  EXPECT_TRUE(QByteArray::fromStdString(readThrough("Synchronized\r\n")).endsWith("Synchronized\r\n"));
  pty.Write("Synchronized\r\nOK\r\n");
  EXPECT_EQ(readThrough("\r\n"), "12000\r\n");
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.Wait(10000).status, 1);
}

TEST_F(CliTest, LpcAt115200And230400WithAnyCrystalTextAndNoLinePause) {
  // An LPC1768 at 115200 and 230400 behind a paced adapter; "11059" is as
  // good as "11059.2"; the lines go without the window's 15 ms pause.
  for (uint32_t baud : {115200u, 230400u}) {
    SCOPED_TRACE(baud);
    LpcSimOptions o;
    o.Link = SimLinkOptions{baud, 10, 4, 62, 7, 10};
    LpcSim sim(pty, LpcPartProfile::LPC1768(), o);
    const std::vector<uint8_t> image = PatternImage(9000, 5);
    const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
    QElapsedTimer t;
    t.start();
    const Outcome out = RunTool(Args("lpc", file, {QStringLiteral("-b"), QString::number(baud),
                                                   QStringLiteral("--crystal-khz"), QStringLiteral("11059"),
                                                   QStringLiteral("--reset=none")}));
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 0) << out.out.join('\n').toStdString() << out.err.toStdString();
    EXPECT_LT(t.elapsed(), 15000);
    const std::vector<uint8_t> expect = WithVectorChecksum(image, 0x1C);
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), flash.begin()));
    EXPECT_TRUE(out.out.contains(QStringLiteral("校验成功")));
    EXPECT_EQ(out.out.last(), QStringLiteral("写入完成"));
  }
}

TEST_F(CliTest, LpcRefusalsAndUnplugEndWithTheCauseLast) {
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(3000, 6)));
  {
    LpcSimOptions o;
    o.ErrorCommand = 'E';
    o.ErrorCode = LpcSim::CODE_READ_PROTECTION_ENABLED;
    LpcSim sim(pty, LpcPartProfile::LPC2148(), o);
    QElapsedTimer t;
    t.start();
    const Outcome out = RunTool(Args("lpc", file, {QStringLiteral("--reset=none")}));
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 1);
    EXPECT_LT(t.elapsed(), 4000);
    ASSERT_FALSE(out.out.isEmpty());
    EXPECT_EQ(out.out.last(),
              QStringLiteral("擦除失败: E 0 26 → 返回码 19 CODE_READ_PROTECTION_ENABLED（器件已开启代码读保护）"));
  }
  {
    LpcSimOptions o;
    o.HangUpAfterBlocks = 3;
    LpcSim sim(pty, LpcPartProfile::LPC2148(), o);
    QElapsedTimer t;
    t.start();
    const Outcome out = RunTool(Args("lpc", file, {QStringLiteral("--reset=none")}), 15000);
    EXPECT_LT(t.elapsed(), 4000);
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 1);
    ASSERT_FALSE(out.out.isEmpty());
    EXPECT_EQ(out.out.last(), QStringLiteral("串口已断开或无法写入"));
  }
}

// Files only the identified part can refuse (the cause names its flash):
// too large for it, or a serial number outside it. A file error like any
// other (exit 2, the cause last), and nothing erased or written.
TEST_F(CliTest, LpcFileRefusedOnceThePartIsKnownExitsTwo) {
  LpcSim sim(pty, LpcPartProfile::LPC1114());  // 32 KB
  const QString big = WriteFile(QStringLiteral("big.hex"), HexText(PatternImage(40 * 1024, 4)));
  const QString small = WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(1000, 4)));
  struct Case {
    QString file;
    QStringList more;
    QString says;
  };
  const Case cases[] = {
      {big, {}, QStringLiteral("文件太大: 映像40960字节(40 KB)，器件Flash只有32768字节")},
      {small,
       {QStringLiteral("--serial-start"), QStringLiteral("7"), QStringLiteral("--serial-address"),
        QStringLiteral("0x7FFE")},
       // Outside this image too, so it is refused before the port opens.
       QStringLiteral("--serial-address 0x00007FFE is outside the image")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says.toStdString());
    sim.Reset();
    const Outcome o = RunTool(Args("lpc", c.file, c.more + QStringList{QStringLiteral("--reset=none")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 2);
    ASSERT_FALSE(o.out.isEmpty()) << o.err.toStdString();
    EXPECT_TRUE(o.out.last().startsWith(c.says)) << o.out.last().toStdString();
    for (const std::string& command : sim.Commands())
      EXPECT_TRUE(command[0] != 'E' && command[0] != 'W' && command[0] != 'C') << command;
  }
}

TEST_F(CliTest, LpcJobs) {
  LpcSim sim(pty, LpcPartProfile::LPC1114());
  Outcome info = RunTool({QStringLiteral("-p"), QString::fromStdString(pty.slavePath()), QStringLiteral("-f"),
                          QStringLiteral("lpc"), QStringLiteral("--info"), QStringLiteral("--reset=none")});
  ASSERT_TRUE(info.exited);
  EXPECT_EQ(info.status, 0) << info.out.join('\n').toStdString() << info.err.toStdString();
  EXPECT_TRUE(info.out.contains(QStringLiteral("器件: LPC1114/302")));
  EXPECT_TRUE(info.out.contains(QStringLiteral("Flash: 32 KB, 8 个扇区")));
  EXPECT_TRUE(info.out.contains(QStringLiteral("SRAM: 8 KB (0x10000000 起)"))) << info.out.join('\n').toStdString();

  const QString out = dir.filePath(QStringLiteral("back.bin"));
  sim.Reset();
  Outcome read = RunTool({QStringLiteral("-p"), QString::fromStdString(pty.slavePath()), QStringLiteral("-f"),
                          QStringLiteral("lpc"), QStringLiteral("--read"), out, QStringLiteral("--address"),
                          QStringLiteral("0x1000"), QStringLiteral("--length"), QStringLiteral("1K"),
                          QStringLiteral("--reset=none")});
  ASSERT_TRUE(read.exited);
  EXPECT_EQ(read.status, 0) << read.out.join('\n').toStdString() << read.err.toStdString();
  QFile f(out);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray(1024, '\xA5'));  // the old firmware

  sim.Reset();
  Outcome blank = RunTool({QStringLiteral("-p"), QString::fromStdString(pty.slavePath()), QStringLiteral("-f"),
                           QStringLiteral("lpc"), QStringLiteral("--blank-check"), QStringLiteral("--reset=none")});
  EXPECT_EQ(blank.status, 1);
  ASSERT_FALSE(blank.out.isEmpty());
  EXPECT_EQ(blank.out.last(), QStringLiteral("Flash不空: 地址 0x00000200 的内容为 0xA5A5A5A5"));

  // A range inside a sector is refused with nothing erased; whole sectors
  // erase, and an erased part checks blank although sector 0 shows the boot
  // code while in ISP.
  auto lpc = [this](QStringList more) {
    return QStringList{QStringLiteral("-p"), QString::fromStdString(pty.slavePath()), QStringLiteral("-f"),
                       QStringLiteral("lpc"), QStringLiteral("--reset=none")} + more;
  };
  sim.Reset();
  const Outcome split = RunTool(lpc({QStringLiteral("--erase-range"), QStringLiteral("0x1100:0x100")}));
  EXPECT_EQ(split.status, 1);
  ASSERT_FALSE(split.out.isEmpty());
  EXPECT_EQ(split.out.last(), QStringLiteral("擦除范围必须是整扇区: 0x00001100..0x000011FF 要擦除扇区 1..1 "
                                             "(0x00001000..0x00001FFF)，会连同范围外的数据一起擦掉"));
  EXPECT_EQ(sim.Flash()[0x1100], 0xA5);
  sim.Reset();
  EXPECT_EQ(RunTool(lpc({QStringLiteral("--erase")})).status, 0);
  sim.Reset();
  const Outcome erased = RunTool(lpc({QStringLiteral("--blank-check")}));
  EXPECT_EQ(erased.status, 0) << erased.out.join('\n').toStdString();
  ASSERT_FALSE(erased.out.isEmpty());
  EXPECT_EQ(erased.out.last(), QStringLiteral("查空完成: 扇区 0..7 全部为空"));
}

TEST_F(CliTest, StcImageLands) {
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200));
  std::vector<uint8_t> image = PatternImage(300, 5);
  image.back() = 0xA5;  // the converter's image ends at the last byte that is not 00
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
  PtyPair terminal;
  Tool tool;
  tool.ErrorTo(terminal.slavePath());
  tool.Start(Args("stc", file, {QStringLiteral("--timeout"), QStringLiteral("3"), QStringLiteral("--reset-ms"),
                                QStringLiteral("20")}));
  const Outcome o = tool.Wait(60000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString() << o.err.toStdString();
  const std::vector<uint8_t> flash = sim.Flash();
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
  EXPECT_TRUE(sim.EndFlagSeen());
  EXPECT_TRUE(o.out.contains(QStringLiteral("STC89C52RC/时钟频率: 11.0592M")));
  EXPECT_EQ(o.out.count(QStringLiteral("下载目标代码")), 1);
  EXPECT_EQ(o.out.last(), QStringLiteral("上载数据成功 ！"));
  // On a terminal the progress is a bar drawn over itself.
  const std::vector<uint8_t> shown = terminal.ReadUntilQuiet(200, 5000);
  const std::string text(shown.begin(), shown.end());
  EXPECT_NE(text.find("\r\033[K[##############################] 100%  0.3/0.3 KB"), std::string::npos) << text;
}

TEST_F(CliTest, StcMessageBoxBecomesALineWithoutADisplay) {
  StcSim sim(pty, StcProfile("unknown", 11059200));
  std::vector<uint8_t> image = PatternImage(100, 4);
  image.back() = 0x22;
  const Outcome o = RunTool(Args("stc", WriteFile(QStringLiteral("fw.hex"), HexText(image)),
                                 {QStringLiteral("--timeout"), QStringLiteral("3")}));
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 1);
  ASSERT_GE(o.out.size(), 2);
  EXPECT_TRUE(o.out[o.out.size() - 2].startsWith(QStringLiteral("当前版本支持 MCU:")));
  EXPECT_EQ(o.out.last(), QStringLiteral("未支持的 MCU: 型号代码 F003 ！"));
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

// An STC15 part through vortana-isp: trimmed to --frequency, options set
// with --option, the data flash from --eeprom; the cause last on failure,
// exit 2 for an option no family has, before the port is touched.
TEST_F(CliTest, StcFamiliesTrimOptionsAndEeprom) {
  const StcModernProfile p = ModernProfile("STC15W4K56S4");
  std::vector<uint8_t> image = PatternImage(900, 6);
  image.back() = 0x3C;
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
  std::vector<uint8_t> data = PatternImage(200, 9);
  data.back() = 0x11;
  const QString ee = WriteFile(QStringLiteral("ee.hex"), HexText(data));
  std::vector<uint8_t> status;
  {
    // This part keeps its EEPROM at erase: the first run sets it to erase
    // it with the code, along with the reset pin.
    StcModernSim sim(pty, p);
    const Outcome o = RunTool(Args("stc", file,
                                   {QStringLiteral("--frequency"), QStringLiteral("24000"), QStringLiteral("--option"),
                                    QStringLiteral("reset_pin=io"), QStringLiteral("--option"),
                                    QStringLiteral("eeprom_erase=on")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    EXPECT_EQ(o.out.last(), QStringLiteral("上载数据成功 ！"));
    bool trimmed = false;
    for (const QString& l : o.out) trimmed = trimmed || l.startsWith(QStringLiteral("已调整到 2"));
    EXPECT_TRUE(trimmed);
    EXPECT_NEAR(sim.RunningHz(), 24e6, 24e6 * 0.005);
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(sim.Options()[4] & 0x10, 0x10);
    EXPECT_TRUE(PortFree(pty.slavePath()));
    status = sim.Status();
    sim.Stop();
  }
  {
    // The same part again, now with its EEPROM data; the options read back.
    StcModernProfile q = p;
    q.status = status;
    StcModernSim sim(pty, q);
    const Outcome o = RunTool(Args("stc", file, {QStringLiteral("--frequency"), QStringLiteral("24000"),
                                                 QStringLiteral("--eeprom"), ee}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    EXPECT_TRUE(o.out.contains(QStringLiteral("选项 复位脚 (reset_pin=io): I/O 口")));
    EXPECT_TRUE(o.out.contains(QStringLiteral("选项 下载时擦除 EEPROM (eeprom_erase=on): 开")));
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + static_cast<long>(p.codeFlash)));
    sim.Stop();
  }
  {
    const Outcome o = RunTool(Args("stc", file, {QStringLiteral("--option"), QStringLiteral("colour=blue")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 2);
    ASSERT_FALSE(o.out.isEmpty());
    EXPECT_EQ(o.out.last(), QStringLiteral("没有选项 colour ！"));
  }
}

// The newer STC boot loaders through the command line over a paced line:
// an STC8H1K08 (stc8g) at a handshake speed asked for, an STC32 from a HEX
// at 0xFF0000, an STC12C5608AD (stc12b) with an option, and a model the
// list gives no variant for refused by name.
TEST_F(CliTest, StcNewerBootLoaders) {
  SimLinkOptions link;
  link.baud = 115200;
  link.adapterLatencyMs = 4;
  link.maxPauseMs = 3;
  {
    const StcModernProfile p = ModernProfile("STC8H1K08");
    const std::vector<uint8_t> image = PatternImage(700, 3);
    const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
    StcModernSim sim(pty, p, {}, link);
    const Outcome o = RunTool(Args("stc", file, {QStringLiteral("--frequency"), QStringLiteral("11059.2"),
                                                 QStringLiteral("--handshake-baud"), QStringLiteral("4800")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    EXPECT_EQ(sim.PulseBaud(), 4800u);
    EXPECT_NEAR(sim.RunningHz(), 11059200, 11059200 * 0.005);
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(PortFree(pty.slavePath()));
    sim.Stop();
  }
  {
    const std::vector<uint8_t> image = PatternImage(2000, 4);
    const QString file = WriteFile(QStringLiteral("fw251.hex"), HexText(image, 0xFF0000));
    StcModernSim sim(pty, ModernProfile("STC32G8K64"), {}, link);
    const Outcome o = RunTool(Args("stc", file, {QStringLiteral("--frequency"), QStringLiteral("35000")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    EXPECT_NEAR(sim.RunningHz(), 35e6, 35e6 * 0.005);
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    sim.Stop();
  }
  {
    // STC15F104E (stc15a), holding earlier firmware: trimmed to 24 MHz,
    // the reset pin set, the code written exactly.
    const StcModernProfile p = ModernProfile("STC15F104E");
    const std::vector<uint8_t> image = PatternImage(1500, 8);
    const QString file = WriteFile(QStringLiteral("fw15a.hex"), HexText(image));
    StcModernSim sim(pty, p, {}, link);
    const Outcome o = RunTool(Args("stc", file, {QStringLiteral("--frequency"), QStringLiteral("24000"),
                                                 QStringLiteral("--option"), QStringLiteral("reset_pin=reset")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    EXPECT_EQ(o.out.last(), QStringLiteral("上载数据成功 ！"));
    EXPECT_NEAR(sim.RunningHz(), 24e6, 24e6 * 0.005);
    EXPECT_EQ(sim.Options()[0] & 0x10, 0x10);
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // Beyond the erased sectors the earlier firmware stays.
    EXPECT_EQ(flash[3000], StcModernSim::EarlierFirmware(3000));
    EXPECT_TRUE(PortFree(pty.slavePath()));
    sim.Stop();
  }
  {
    // STC12C5608AD (stc12b), its whole code flash, one option set.
    const StcModernProfile p = ModernProfile("STC12C5608AD");
    const std::vector<uint8_t> image = PatternImage(p.codeFlash, 6);
    const QString file = WriteFile(QStringLiteral("fw12b.hex"), HexText(image));
    StcModernSim sim(pty, p, {}, link);
    const Outcome o = RunTool(Args("stc", file, {QStringLiteral("--option"), QStringLiteral("boot_pins=on")}));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 0) << o.out.join('\n').toStdString();
    EXPECT_EQ(sim.Options(), (std::vector<uint8_t>{0xFF, 0x7F, 0xF7, 0xFC}));
    const std::vector<uint8_t> flash = sim.Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(PortFree(pty.slavePath()));
    sim.Stop();
  }
  {
    StcModernProfile b = ModernProfile("STC12C5A60S2");
    b.status[20] = 0xF5;  // U8W, an off-line programmer: no variant in the list
    b.status[21] = 0x6C;
    StcModernSim sim(pty, b, {}, link);
    const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(100, 1)));
    const Outcome o = RunTool(Args("stc", file));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 1);
    ASSERT_FALSE(o.out.isEmpty());
    EXPECT_TRUE(o.out.last().startsWith(QStringLiteral("未支持的 MCU: U8W (型号代码 F56C, 协议 other)")))
        << o.out.last().toStdString();
    EXPECT_EQ(sim.Frames(0x50) + sim.Frames(0x8F) + sim.Frames(0x84) + sim.Frames(0x82), 0);
    sim.Stop();
  }
}

TEST_F(CliTest, SilentTargetFailsWithTheReasonLastAndThePortFree) {
  Stm32SimOptions silent;
  silent.silent = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414), silent);
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(512, '\x5A'));
  const Outcome o = RunTool(Args("stm32", file));
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 1);
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_EQ(o.out.last(), QStringLiteral("设备没有应答同步字节 0x7F"));
  EXPECT_TRUE(o.out.contains(QStringLiteral("连机失败 ！")));
  EXPECT_GT(sim.bytesReceived(), 0u);
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

TEST_F(CliTest, Stm32RefusalEndsAtOnceAndAProgramAnsweringIsNamed) {
  // A NACK is the part's answer: no station is held for a time-out.
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(1024, '\x5A'));
  {
    Stm32SimOptions o;
    o.nackCommand = 0x31;
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414), o);
    QElapsedTimer t;
    t.start();
    const Outcome out = RunTool(Args("stm32", file, {QStringLiteral("--reset=none")}));
    ASSERT_TRUE(out.exited);
    EXPECT_LT(t.elapsed(), 3000);
    EXPECT_EQ(out.status, 1);
    ASSERT_FALSE(out.out.isEmpty());
    EXPECT_EQ(out.out.last(), QStringLiteral("写命令被拒绝: 地址 0x08000000"));
  }
  {
    Stm32SimOptions o;
    o.application = "OK\r\n";
    Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414), o);
    const Outcome out = RunTool(Args("stm32", file, {QStringLiteral("--reset=none")}));
    ASSERT_TRUE(out.exited);
    EXPECT_EQ(out.status, 1);
    ASSERT_FALSE(out.out.isEmpty());
    EXPECT_TRUE(out.out.last().startsWith(QStringLiteral("对同步字节 0x7F 的应答不是 ACK/NACK（收到 ")));
    EXPECT_TRUE(out.out.last().endsWith(QStringLiteral("器件在运行用户程序，没有进入 Bootloader，检查 BOOT0 和复位接线")));
  }
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

TEST_F(CliTest, FileAndUsageErrorsExitTwoWithNothingSent) {
  // Damaged HEX, judged by each family's own reader: the line is named.
  QByteArray hex = HexText(PatternImage(200, 1));
  const qsizetype third = hex.indexOf('\n', hex.indexOf('\n') + 1) + 1;
  hex[third + 9] = hex[third + 9] == '0' ? '1' : '0';  // a data digit of line 3: checksum wrong
  const QString bad = WriteFile(QStringLiteral("bad.hex"), hex);
  for (const char* family : {"stm32", "lpc", "stc"}) {
    const Outcome o = RunTool(Args(family, bad));
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(o.status, 2) << family;
    ASSERT_FALSE(o.out.isEmpty()) << family << o.err.toStdString();
    EXPECT_TRUE(o.out.last().contains(QLatin1Char('3'))) << o.out.last().toStdString();
  }

  const Outcome missing = RunTool(Args("stc", dir.filePath(QStringLiteral("none.hex"))));
  EXPECT_EQ(missing.status, 2);
  ASSERT_FALSE(missing.out.isEmpty());
  EXPECT_TRUE(missing.out.last().contains(QStringLiteral("none.hex")));
  const Outcome folder = RunTool(Args("stm32", dir.path()));
  EXPECT_EQ(folder.status, 2);
  ASSERT_FALSE(folder.out.isEmpty());
  EXPECT_TRUE(folder.out.last().startsWith(QStringLiteral("不是普通文件")));
  const Outcome slow = RunTool(Args("stm32", bad, {QStringLiteral("-b"), QStringLiteral("9600")}));
  EXPECT_EQ(slow.status, 2);
  EXPECT_TRUE(slow.err.contains(QStringLiteral("19200")));
  const Outcome help = RunTool({QStringLiteral("--help")});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.join('\n').contains(QStringLiteral("--watch")));

  EXPECT_TRUE(pty.Read(1, 200).empty()) << "a byte reached the port";
}

// What cannot end well is refused before the port is opened: an output
// that cannot be written (not after reading the whole part), a serial
// number the format cannot hold or one that would lie outside the image.
TEST_F(CliTest, HopelessJobsAreRefusedBeforeThePortOpens) {
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  const QString port = QString::fromStdString(pty.slavePath());
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(2000, '\x5A'));
  const QString nowhere = dir.filePath(QStringLiteral("no/such/folder/out.hex"));
  Outcome o = RunTool({QStringLiteral("-p"), port, QStringLiteral("-f"), QStringLiteral("stm32"), QStringLiteral("--read"), nowhere});
  EXPECT_EQ(o.status, 2);
  ASSERT_FALSE(o.out.isEmpty()) << o.err.toStdString();
  EXPECT_TRUE(o.out.last().startsWith(QStringLiteral("无法写入文件: ") + nowhere)) << o.out.last().toStdString();
  o = RunTool({QStringLiteral("-p"), port, QStringLiteral("-f"), QStringLiteral("lpc"), QStringLiteral("--read"), dir.path()});
  EXPECT_EQ(o.status, 2);
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_EQ(o.out.last(), QStringLiteral("无法写入文件: %1 (是一个文件夹)").arg(dir.path()));

  o = RunTool(Args("stm32", file, {QStringLiteral("--serial-start"), QStringLiteral("7"), QStringLiteral("--serial-address"),
                                   QStringLiteral("0x08000F00")}));
  EXPECT_EQ(o.status, 2);
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_EQ(o.out.last(), QStringLiteral("--serial-address 0x08000F00 is outside the image (0x08000000 ... 0x080007CF)"));
  o = RunTool(Args("stm32", file, {QStringLiteral("--serial-start"), QStringLiteral("4294967296"),
                                   QStringLiteral("--serial-address"), QStringLiteral("0x08000000")}));
  EXPECT_EQ(o.status, 2);
  EXPECT_TRUE(o.err.contains(QStringLiteral("serial number 4294967296 does not fit"))) << o.err.toStdString();
  EXPECT_EQ(sim.bytesReceived(), 0u);
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

// One reader for every family: each fault refuses the file with the same
// words whichever part it was meant for, before a byte goes to the port.
TEST_F(CliTest, EveryFamilyRefusesADamagedHexWithTheSameWords) {
  const QByteArray good = HexText(PatternImage(200, 1));
  const qsizetype third = good.indexOf('\n', good.indexOf('\n') + 1) + 1;
  QByteArray lostColon = good;
  lostColon.remove(third, 1);  // a data line that lost its ':'
  QByteArray type06 = good;
  type06.insert(third, ":0100000612E7\r\n");
  QByteArray overlap = good;
  overlap.insert(third, ":0100000012ED\r\n");  // over the first data byte
  QByteArray random(4096, '\0');
  for (int i = 0; i < random.size(); ++i) random[i] = char((i * 7919 + 13) % 251);
  const QString big = WriteFile(QStringLiteral("big.hex"), good);
  ASSERT_EQ(::truncate(QFile::encodeName(big).constData(), 90ll * 1024 * 1024), 0);
  const struct {
    QString file;
    QString last;
  } cases[] = {
      {WriteFile(QStringLiteral("colon.hex"), lostColon), QStringLiteral("HEX文件第 3 行格式错误")},
      {WriteFile(QStringLiteral("type.hex"), type06), QStringLiteral("HEX文件第 3 行记录类型 06 未知")},
      {WriteFile(QStringLiteral("overlap.hex"), overlap), QStringLiteral("HEX文件第 3 行的数据与前面的数据重叠")},
      {WriteFile(QStringLiteral("junk.hex"), random), QStringLiteral("不是 Intel HEX 文件: junk.hex")},
      {big, QStringLiteral("文件太大: %1 (94371840 Byte)").arg(big)},
  };
  for (const auto& c : cases) {
    for (const char* family : {"stm32", "lpc", "stc"}) {
      const Outcome o = RunTool(Args(family, c.file));
      ASSERT_TRUE(o.exited);
      EXPECT_EQ(o.status, 2) << family;
      ASSERT_FALSE(o.out.isEmpty()) << family << o.err.toStdString();
      EXPECT_EQ(o.out.last(), c.last) << family;
    }
  }
  EXPECT_TRUE(pty.Read(1, 200).empty()) << "a byte reached the port";
}

// The file is judged before the port is looked at: with no adapter at all
// a damaged file is still the cause named, and the same for every job that
// reads one.
TEST_F(CliTest, ADamagedFileIsNamedBeforeThePortIsTouched) {
  QByteArray hex = HexText(PatternImage(200, 1));
  const qsizetype third = hex.indexOf('\n', hex.indexOf('\n') + 1) + 1;
  hex[third + 9] = hex[third + 9] == '0' ? '1' : '0';  // checksum of line 3 wrong
  const QString bad = WriteFile(QStringLiteral("bad.hex"), hex);
  QStringList said;
  for (const char* family : {"stm32", "lpc", "stc"}) {
    for (const QStringList& job : {QStringList{}, QStringList{QStringLiteral("--verify-only")}}) {
      if (job.size() && QLatin1String(family) == QLatin1String("stc")) continue;  // STC parts read nothing back
      const Outcome o = RunTool(QStringList{QStringLiteral("-p"), QStringLiteral("/dev/vortana-absent"), QStringLiteral("-f"),
                                            QString::fromLatin1(family)} + job + QStringList{bad});
      ASSERT_TRUE(o.exited);
      EXPECT_EQ(o.status, 2) << family;
      ASSERT_FALSE(o.out.isEmpty()) << family << o.err.toStdString();
      said << o.out.last();
    }
  }
  ASSERT_EQ(said.size(), 5);
  EXPECT_TRUE(said[0].contains(QStringLiteral("第 3 行"))) << said[0].toStdString();
  for (const QString& line : said) EXPECT_EQ(line, said[0]);
}

// A port that will not open is a usage error with its real cause as the last
// line, for every family: the remedy differs (plug the adapter in, pick a
// serial device, close the other program).
TEST_F(CliTest, PortProblemsAreNamedAndExitTwo) {
  const QString hex = WriteFile(QStringLiteral("fw.hex"), HexText(PatternImage(64, 3)));
  const QString plain = WriteFile(QStringLiteral("plain.txt"), "not a port");
  // Another program holds the pty the way we do: an advisory lock.
  const int held = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  struct Case {
    QString port;
    QString says;
  };
  const Case cases[] = {
      {QStringLiteral("/dev/vortana-absent"), QStringLiteral("串口 /dev/vortana-absent 不存在（设备没有连接？）")},
      {QStringLiteral("/dev/null"), QStringLiteral("/dev/null 不是串口设备")},
      {plain, plain + QStringLiteral(" 不是串口设备")},
      {QString::fromStdString(pty.slavePath()),
       QStringLiteral("串口 %1 已被其它程序占用（PID %2").arg(QString::fromStdString(pty.slavePath())).arg(::getpid())},
  };
  for (const char* family : {"stm32", "lpc", "stc"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(family) + " " + c.port.toStdString());
      const Outcome o = RunTool({QStringLiteral("-p"), c.port, QStringLiteral("-f"), QString::fromLatin1(family), hex});
      ASSERT_TRUE(o.exited);
      EXPECT_EQ(o.status, 2);
      ASSERT_FALSE(o.out.isEmpty()) << o.err.toStdString();
      EXPECT_TRUE(o.out.last().startsWith(c.says)) << o.out.last().toStdString();
    }
  }
  ::close(held);

  // Permission denied, the usual case of a user not in the dialout group:
  // the program runs as nobody against a device only root may open.
  if (::geteuid() == 0 && QFile::exists(QStringLiteral("/usr/bin/setpriv"))) {
    QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                          QFileDevice::ReadOther | QFileDevice::ExeOther);
    QFile::setPermissions(hex, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    QProcess p;
    p.start(QStringLiteral("/usr/bin/setpriv"),
            {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups"),
             QStringLiteral(VORTANA_ISP_PATH), QStringLiteral("-p"), QString::fromStdString(pty.slavePath()),
             QStringLiteral("-f"), QStringLiteral("stm32"), hex});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QStringList out = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(p.exitCode(), 2);
    ASSERT_FALSE(out.isEmpty()) << p.readAllStandardError().toStdString();
    EXPECT_TRUE(out.last().startsWith(QStringLiteral("没有权限打开 ") + QString::fromStdString(pty.slavePath())))
        << out.last().toStdString();
    EXPECT_TRUE(out.last().contains(QStringLiteral("dialout")));
  }
}

TEST_F(CliTest, WatchDownloadsEachNewBuildUntilInterrupted) {
  const std::vector<uint8_t> first = PatternImage(1000, 1);
  const std::vector<uint8_t> second = PatternImage(1500, 2);
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(first, 0x08000000));
  auto sim = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  Tool tool;
  tool.Start(Args("stm32", file, {QStringLiteral("--watch"), QStringLiteral("--reset=none")}));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(QStringLiteral("上载完成！")); }, 30000))
      << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim->Flash(0, 1000), first);
  // Between downloads the port belongs to nobody (the log line comes just
  // before the engine lets go of it).
  EXPECT_TRUE(WaitFor([&] { return PortFree(pty.slavePath()); }, 5000));

  // A board reset puts a fresh boot loader on the line; then a new build lands.
  sim->Stop();
  sim = std::make_unique<Stm32Sim>(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  WriteFile(QStringLiteral("fw.hex"), HexText(second, 0x08000000));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().count(QStringLiteral("上载完成！")) == 2; }, 30000))
      << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim->Flash(0, 1500), second);

  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(10000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 0);  // the last download put the build in the chip
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

// A linker that writes its output in pieces over a second: one download,
// of the whole file, once it holds still.
TEST_F(CliTest, WatchWaitsForAFileWrittenInPieces) {
  const std::vector<uint8_t> first = PatternImage(600, 5);
  const std::vector<uint8_t> second = PatternImage(4000, 6);
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(reinterpret_cast<const char*>(first.data()), 600));
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414));
  Tool tool;
  tool.Start(Args("stm32", file, {QStringLiteral("--watch"), QStringLiteral("--reset=none")}));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(QStringLiteral("上载完成！")); }, 30000));
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    for (size_t at = 0; at < second.size(); at += 400) {
      f.write(reinterpret_cast<const char*>(second.data() + at), 400);
      f.flush();
      QThread::msleep(100);
    }
  }
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().count(QStringLiteral("上载完成！")) == 2; }, 30000))
      << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim.Flash(0, 4000), second);
  QThread::msleep(1500);
  EXPECT_EQ(tool.Lines().count(QStringLiteral("上载完成！")), 2);
  EXPECT_EQ(tool.Lines().count(QStringLiteral("加载文件。。。")), 2) << "a download started on a part-written file";
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.Wait(10000).status, 0);
}

TEST_F(CliTest, WatchDownloadsABuildThatLandsDuringADownloadAfterIt) {
  const std::vector<uint8_t> first = PatternImage(12000, 3);
  const std::vector<uint8_t> second = PatternImage(2000, 4);
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(first, 0x08000000));
  Stm32SimOptions paced;
  paced.link = SimLinkOptions{115200, 11};  // about a second for the first build
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414), paced);
  Tool tool;
  tool.Start(Args("stm32", file, {QStringLiteral("--watch"), QStringLiteral("--reset=none")}));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(QStringLiteral("开始写入。。。")); }, 30000));
  WriteFile(QStringLiteral("fw.hex"), HexText(second, 0x08000000));
  ASSERT_EQ(tool.Lines().count(QStringLiteral("上载完成！")), 0) << "the first download ended too soon";
  // The part was not reset in between: it is still synchronised.
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().count(QStringLiteral("上载完成！")) == 2; }, 60000))
      << tool.Lines().join('\n').toStdString();
  EXPECT_EQ(sim.Flash(0, 2000), second);
  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(10000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 0);
}

TEST_F(CliTest, InterruptDuringADownloadReleasesThePortAtOnce) {
  Stm32SimOptions silent;
  silent.silent = true;
  Stm32Sim sim(pty.master(), Stm32SimProfile::ForProduct(0x0414), silent);
  const QString file = WriteFile(QStringLiteral("fw.bin"), QByteArray(512, '\x33'));
  Tool tool;
  tool.Start(Args("stm32", file, {QStringLiteral("--watch")}));
  ASSERT_TRUE(WaitFor([&] { return sim.bytesReceived() > 0; }, 10000));
  tool.Signal(SIGTERM);
  const Outcome o = tool.Wait(10000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 1);
  // Ended by the signal, not by the session's own time-out, and the cause
  // is the last line of standard output too, not the step under way.
  EXPECT_TRUE(o.err.contains(QStringLiteral("interrupted")));
  EXPECT_FALSE(o.out.contains(QStringLiteral("连机失败 ！")));
  ASSERT_FALSE(o.out.isEmpty());
  EXPECT_EQ(o.out.last(), QStringLiteral("操作被中断 (SIGTERM)，端口已释放"));
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

TEST_F(CliTest, InterruptEndsTheStcSessionThatRunsItsOwnLoop) {
  StcSimFaults silent;
  silent.silent = true;
  StcSim sim(pty, StcProfile("STC89C52RC", 11059200), silent);
  std::vector<uint8_t> image = PatternImage(100, 9);
  image.back() = 0x11;
  const QString file = WriteFile(QStringLiteral("fw.hex"), HexText(image));
  Tool tool;
  tool.Start(Args("stc", file, {QStringLiteral("--timeout"), QStringLiteral("60")}));
  ASSERT_TRUE(WaitFor([&] { return tool.Lines().contains(QStringLiteral("正在连机 。。。")); }, 10000));
  tool.Signal(SIGINT);
  const Outcome o = tool.Wait(20000);
  ASSERT_TRUE(o.exited);
  EXPECT_EQ(o.status, 1) << o.err.toStdString();
  EXPECT_TRUE(o.err.contains(QStringLiteral("interrupted")));
  EXPECT_FALSE(o.out.contains(QStringLiteral("连接超时 ！")));
  EXPECT_TRUE(PortFree(pty.slavePath()));
}

TEST(CliBinary, LinksNoGuiLibrary) {
  QProcess readelf;
  readelf.start(QStringLiteral("readelf"), {QStringLiteral("-d"), QStringLiteral(VORTANA_ISP_PATH)});
  ASSERT_TRUE(readelf.waitForFinished(30000));
  QStringList needed;
  for (const QString& line : QString::fromLatin1(readelf.readAllStandardOutput()).split('\n'))
    if (line.contains(QStringLiteral("(NEEDED)"))) needed << line.section('[', 1).section(']', 0, 0);
  const std::string list = needed.join(' ').toStdString();
  EXPECT_TRUE(needed.filter(QStringLiteral("libQt6Core")).size() == 1) << list;
  EXPECT_TRUE(needed.filter(QStringLiteral("libQt6Gui")).isEmpty()) << list;
  EXPECT_TRUE(needed.filter(QStringLiteral("libQt6Widgets")).isEmpty()) << list;
}

}  // namespace
