#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "isp/lpc/LpcImage.h"
#include "sim/HexText.h"

namespace {

uint8_t Map4K[kLpcSectorMapSize];

std::vector<uint8_t> Decode(const QByteArray& line) {
  // Reverses one uuencoded line (CR LF included) to its bytes.
  std::vector<uint8_t> out;
  const int n = (line[0] - 32) & 63;
  for (qsizetype i = 1; i + 4 <= line.size() - 2; i += 4) {
    uint8_t v[4];
    for (int k = 0; k < 4; ++k) v[k] = static_cast<uint8_t>((line[i + k] - 32) & 63);
    out.push_back(static_cast<uint8_t>(v[0] << 2 | v[1] >> 4));
    out.push_back(static_cast<uint8_t>(v[1] << 4 | v[2] >> 2));
    out.push_back(static_cast<uint8_t>(v[2] << 6 | v[3]));
  }
  out.resize(static_cast<size_t>(n));
  return out;
}

// What a boot loader does with the list: every data block lands in RAM
// (its checksum line checked), every copy moves RAM to an erased flash.
// Returns the flash; `copies` gets the flash addresses in the order copied.
std::vector<uint8_t> Program(const LpcTransferList& list, std::vector<uint32_t>* copies = nullptr) {
  std::vector<uint8_t> flash(kLpcMaxImage, 0xFF);
  std::vector<uint8_t> ram;
  uint32_t expected = 0;
  for (size_t e = 1; e < list.size(); ++e) {
    const LpcTransferEntry& entry = list[e];
    if (entry.EntryKind == ekDataBlock) {
      EXPECT_GE(entry.LineCount, 2);
      EXPECT_LE(entry.LineCount, 21);
      uint32_t sum = 0;
      for (int i = 0; i + 1 < entry.LineCount; ++i) {
        const QByteArray line = entry.Line(i);
        EXPECT_TRUE(line.endsWith("\r\n"));
        EXPECT_NE(line, " \r\n") << "empty data line in entry " << e;
        for (uint8_t b : Decode(line)) {
          ram.push_back(b);
          sum += b;
        }
      }
      EXPECT_EQ(entry.Line(entry.LineCount - 1), QByteArray::number(sum) + "\r\n");
      continue;
    }
    const QList<QByteArray> w = entry.Line(0).trimmed().split(' ');
    if (w[0] == "W") {
      EXPECT_EQ(ram.size(), expected) << "entry " << e;
      ram.clear();
      expected = w[2].toUInt();
      EXPECT_EQ(w[1].toUInt(), kLpcRamBuffer);
    } else if (w[0] == "C") {
      EXPECT_EQ(ram.size(), expected) << "entry " << e;
      const uint32_t dst = w[1].toUInt(), count = w[3].toUInt();
      EXPECT_EQ(count, expected) << "the copy takes exactly what was written to RAM";
      EXPECT_LE(dst + count, flash.size());
      for (uint32_t i = 0; i < count && i < ram.size() && dst + i < flash.size(); ++i)
        flash[dst + i] = ram[i];
      if (copies) copies->push_back(dst);
    }
  }
  return flash;
}

// The flash a correct download of `image` leaves.
std::vector<uint8_t> Flashed(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> flash(kLpcMaxImage, 0xFF);
  std::copy(image.begin(), image.end(), flash.begin());
  return flash;
}

const QByteArray kEnd = ":00000001FF\r\n";
LpcFileLoad Load(const QByteArray& text) { return LoadLpcHexText(text); }

class LpcImage : public ::testing::Test {
 protected:
  void SetUp() override {
    const LpcSectorLayout layout = SelectSectorLayout(QStringLiteral("196387"));
    std::copy(std::begin(layout.SectorMap), std::end(layout.SectorMap), std::begin(Map4K));
  }
};

}  // namespace

TEST_F(LpcImage, RecordsArePlacedAtTheirAddresses) {
  // A first record at 0x100 gets 256 fill bytes; blank lines and the end
  // record are passed over without stopping; linear base 0 changes nothing.
  QByteArray text = HexRecord(4, 0, {0, 0}) +
                    HexRecord(0, 0x100, {1, 2, 3, 4, 5, 6, 7, 8}) + "\r\n" +
                    kEnd + HexRecord(0, 0x108, {0xAA, 0xBB}) +
                    HexRecord(0, 0x10A, {0xCC}).toLower();
  LpcFileLoad r = Load(text);
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(r.Image.size(), 0x10Cu);
  for (int i = 0; i < 0x100; ++i) ASSERT_EQ(r.Image[i], 0) << i;
  EXPECT_EQ(std::vector<uint8_t>(r.Image.begin() + 0x100, r.Image.end()),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0xAA, 0xBB, 0xCC, 0}));

  // Segment and linear bases add to the record offset.
  r = Load(HexRecord(2, 0, {0x01, 0x00}) + HexRecord(0, 0x0010, {9}) + kEnd);
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(r.Image.size(), 0x1014u);
  EXPECT_EQ(r.Image[0x1010], 9);
  r = Load(HexRecord(4, 0, {0x00, 0x01}) + HexRecord(0, 0x0002, {7}) + kEnd);
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image[0x10002], 7);

  // Records of up to 255 bytes.
  r = Load(HexRecord(0, 0, std::vector<uint8_t>(255, 0x11)) + kEnd);
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image.size(), 256u);
  EXPECT_EQ(r.Image[254], 0x11);
}

TEST_F(LpcImage, BrokenFilesAreRefusedWithTheLineNumber) {
  const QByteArray good = HexRecord(0, 0, {1, 2, 3, 4});
  QByteArray bad = HexRecord(0, 4, {5, 6, 7, 8});

  QByteArray wrongSum = bad;
  wrongSum[wrongSum.size() - 3] = wrongSum[wrongSum.size() - 3] == '0' ? '1' : '0';
  LpcFileLoad r = Load(good + "\n" + wrongSum + good + kEnd);
  EXPECT_EQ(r.Result, LpcFileLoad::BadHex);
  EXPECT_EQ(r.Fault, ihex::Fault::Checksum);
  EXPECT_EQ(r.LineNumber, 3);

  QByteArray notHex = bad;
  notHex[10] = 'G';
  r = Load(good + notHex + kEnd);
  EXPECT_EQ(r.Result, LpcFileLoad::BadHex);
  EXPECT_EQ(r.Fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.LineNumber, 2);

  // Shorter than its byte count claims, or than the fixed fields.
  r = Load(good + bad.left(bad.size() - 6) + "\r\n" + kEnd);
  EXPECT_EQ(r.Result, LpcFileLoad::BadHex);
  EXPECT_EQ(r.Fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.LineNumber, 2);
  r = Load(":0400\r\n");
  EXPECT_EQ(r.Result, LpcFileLoad::BadHex);
  EXPECT_EQ(r.Fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.LineNumber, 1);
  r = Load(HexRecord(4, 0, {}) + good + kEnd);  // a base record without its value
  EXPECT_EQ(r.Result, LpcFileLoad::BadHex);
  EXPECT_EQ(r.Fault, ihex::Fault::Syntax);

  // No data at all; a raw binary is no HEX file.
  EXPECT_EQ(Load(kEnd).Result, LpcFileLoad::NoData);
  r = Load(QByteArray("\x7f" "ELF\x01\x02\n\x00\x00", 9));
  EXPECT_EQ(r.Result, LpcFileLoad::BadHex);
  EXPECT_EQ(r.Fault, ihex::Fault::NotHex);

  // Data far above the flash (an address in another memory) is too large,
  // without trying to fill the gap, and the size says where it reaches.
  r = Load(HexRecord(4, 0, {0x08, 0x00}) + good + kEnd);
  EXPECT_EQ(r.Result, LpcFileLoad::TooLarge);
  EXPECT_EQ(r.Size, 0x08000004u);
}

TEST_F(LpcImage, FileCutAtAnyLineIsIncomplete) {
  // A linker still writing the file: every cut at a line end before the end
  // record is refused, and so is every cut inside a line.
  const QByteArray whole = HexText(PatternImage(300, 4));
  ASSERT_EQ(Load(whole).Result, LpcFileLoad::Loaded);
  int cuts = 0;
  for (qsizetype at = whole.indexOf('\n'); at >= 0 && at + 1 < whole.size();
       at = whole.indexOf('\n', at + 1)) {
    ++cuts;
    const LpcFileLoad cut = Load(whole.left(at + 1));
    EXPECT_EQ(cut.Result, LpcFileLoad::BadHex) << "cut at " << at;
    EXPECT_EQ(cut.Fault, ihex::Fault::NoEndRecord) << "cut at " << at;
    EXPECT_NE(Load(whole.left(at - 4)).Result, LpcFileLoad::Loaded) << "cut at " << at - 4;
  }
  EXPECT_EQ(cuts, 11);  // the base record and ten data records
}

TEST_F(LpcImage, OnlyRegularFilesOfBoundedSizeAreRead) {
  QTemporaryDir dir;
  EXPECT_EQ(LoadLpcHexFile(dir.filePath("none.hex")).Result, LpcFileLoad::Missing);
  EXPECT_EQ(LoadLpcHexFile(QString()).Result, LpcFileLoad::Missing);

  // The extension is no part of the test: any case, or none, reads as HEX.
  const QByteArray hex = HexText(PatternImage(64, 2));
  for (const char* name : {"fw.hex", "fw.Hex", "FW.HEX", "fw.ihx"}) {
    QFile f(dir.filePath(QLatin1String(name)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(hex);
    f.close();
    const LpcFileLoad r = LoadLpcHexFile(f.fileName());
    EXPECT_EQ(r.Result, LpcFileLoad::Loaded) << name;
    EXPECT_EQ(r.Image, PatternImage(64, 2)) << name;
  }

  // A device, a FIFO nobody writes to and a folder are refused at once,
  // never read (a FIFO would block the window, /dev/zero would never end).
  const QString fifo = dir.filePath("pipe.hex");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(LoadLpcHexFile(QStringLiteral("/dev/zero")).Result, LpcFileLoad::NotRegular);
  EXPECT_EQ(LoadLpcHexFile(fifo).Result, LpcFileLoad::NotRegular);
  EXPECT_EQ(LoadLpcHexFile(dir.path()).Result, LpcFileLoad::NotRegular);
  EXPECT_LT(t.elapsed(), 2000);

  // The size is checked before anything is read: a sparse file far larger
  // than any HEX text is refused with its size.
  const QString big = dir.filePath("big.hex");
  {
    QFile f(big);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_TRUE(f.resize(kLpcMaxHexFileSize + 1));
  }
  const LpcFileLoad r = LoadLpcHexFile(big);
  EXPECT_EQ(r.Result, LpcFileLoad::FileTooLarge);
  EXPECT_EQ(r.Size, static_cast<uint64_t>(kLpcMaxHexFileSize + 1));
}

TEST_F(LpcImage, CompletionAndSizeLimit) {
  // 4095 bytes: a remainder of 91 whole lines gets a fill byte, one full chunk.
  LpcFileLoad r = Load(HexText(PatternImage(4095)));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image.size(), 4096u);
  EXPECT_EQ(BuildTransferList(r.Image, Map4K).size(), 9u);

  // 45 bytes -> 46 -> 48; the chunk is padded with 0xFF to the smallest copy
  // (256 bytes), so what RAM held before never reaches the flash.
  const std::vector<uint8_t> small = PatternImage(45);
  r = Load(HexText(small));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  ASSERT_EQ(r.Image.size(), 48u);
  LpcTransferList list = BuildTransferList(r.Image, Map4K);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[1].Line(0), "W 1073742336 256\r\n");
  ASSERT_EQ(list[2].EntryKind, ekDataBlock);
  ASSERT_EQ(list[2].LineCount, 7);  // five lines of 45, one of 31, the checksum
  EXPECT_EQ(list[2].Line(5)[0], '?');
  EXPECT_EQ(list[3].Line(0), "P 0 0\r\n");
  EXPECT_EQ(list[4].Line(0), "C 0 1073742336 256\r\n");
  EXPECT_EQ(Program(list), Flashed(r.Image));

  // Copy sizes follow what the boot loader takes.
  EXPECT_EQ(LpcCopySize(4), 256u);
  EXPECT_EQ(LpcCopySize(256), 256u);
  EXPECT_EQ(LpcCopySize(257), 512u);
  EXPECT_EQ(LpcCopySize(1000), 1024u);
  EXPECT_EQ(LpcCopySize(1028), 4096u);
  EXPECT_EQ(LpcCopySize(4096), 4096u);

  // 5000 bytes: the second chunk holds 904 and is padded to 1024.
  r = Load(HexText(PatternImage(5000, 8)));
  ASSERT_EQ(r.Image.size(), 5000u);
  list = BuildTransferList(r.Image, Map4K);
  EXPECT_EQ(list[1].Line(0), "W 1073742336 1024\r\n");
  EXPECT_EQ(Program(list), Flashed(r.Image));

  // The largest part's 512 KB loads; one byte more is refused with the size.
  const QByteArray first = HexRecord(0, 0, {1, 2, 3, 4});
  r = Load(first + HexText({5, 6, 7, 8}, kLpcMaxImage - 4));
  ASSERT_EQ(r.Result, LpcFileLoad::Loaded);
  EXPECT_EQ(r.Image.size(), kLpcMaxImage);
  r = Load(first + HexText({9}, kLpcMaxImage));
  EXPECT_EQ(r.Result, LpcFileLoad::TooLarge);
  EXPECT_EQ(r.Size, kLpcMaxImage + 4u);
  const std::vector<uint8_t> full = PatternImage(512000, 7);
  const LpcSectorLayout lpc2138 = SelectSectorLayout(QStringLiteral("196389"));
  list = BuildTransferList(full, lpc2138.SectorMap);
  ASSERT_EQ(list.size(), 125u * 8 + 1);
  EXPECT_EQ(list[124 * 8].Line(0), "C 507904 1073742336 4096\r\n");
  EXPECT_EQ(list[125 * 8].Line(0), "C 0 1073742336 4096\r\n");
  EXPECT_TRUE(Program(list) == Flashed(full));
}

TEST_F(LpcImage, TheChunkWithTheVectorsIsWrittenLast) {
  // On either layout: every other chunk first, in address order, then the
  // first chunk, whose vector table makes the chip start the program.
  const std::vector<uint8_t> image = PatternImage(5 * 4096 + 100, 6);
  for (const char* id : {"196387", "84016915"}) {
    const LpcSectorLayout layout = SelectSectorLayout(QLatin1String(id));
    const LpcTransferList list = BuildTransferList(image, layout.SectorMap);
    std::vector<uint32_t> copies;
    EXPECT_EQ(Program(list, &copies), Flashed(image)) << id;
    EXPECT_EQ(copies, (std::vector<uint32_t>{4096, 8192, 12288, 16384, 20480, 0})) << id;
    // Each copy is prepared in the chunk's own sector just before it.
    for (size_t e = 2; e < list.size(); ++e) {
      const QByteArray line = list[e].Line(0);
      if (!line.startsWith("C ")) continue;
      const uint32_t chunk = line.split(' ')[1].toUInt() / 4096 + 1;
      const QByteArray s = QByteArray::number(layout.SectorMap[chunk]);
      EXPECT_EQ(list[e - 1].Line(0), "P " + s + " " + s + "\r\n") << id << " " << line.constData();
    }
  }
}

TEST_F(LpcImage, TransferListOfOneChunk) {
  const std::vector<uint8_t> image = PatternImage(4096, 3);
  const LpcTransferList list = BuildTransferList(image, Map4K);
  ASSERT_EQ(list.size(), 9u);
  EXPECT_EQ(list[1].EntryKind, ekCommand);
  EXPECT_EQ(list[1].LineCount, 1);
  EXPECT_EQ(list[1].Line(0), "W 1073742336 4096\r\n");
  const int lines[] = {21, 21, 21, 21, 13};
  for (int b = 0; b < 5; ++b) {
    EXPECT_EQ(list[2 + b].EntryKind, ekDataBlock);
    EXPECT_EQ(list[2 + b].LineCount, lines[b]);
  }
  EXPECT_EQ(list[6].Line(11)[0], '!');  // the last line holds one byte
  EXPECT_EQ(list[2].Line(0).size(), 63);
  EXPECT_EQ(list[7].Line(0), "P 0 0\r\n");
  EXPECT_EQ(list[8].Line(0), "C 0 1073742336 4096\r\n");
  EXPECT_EQ(Program(list), Flashed(image));
}

TEST_F(LpcImage, SectorLayoutsOfTheTextsPartsAndTheMendedIds) {
  // The four LPC213x IDs keep their last sectors; 0xFFF0FF12 is the
  // LPC2104 with fifteen 8 KB sectors; an ID in no table gives no flash.
  struct Expect { const char* id; const char* last; uint32_t flash; };
  const Expect parts[] = {{"196353", "7", 32768},     {"196369", "8", 65536},
                          {"196387", "14", 262144},   {"196389", "26", 512000},
                          {"4293984018", "14", 122880}, {"84016915", "16", 253952},
                          {"100794131", "16", 253952}, {"67239699", "16", 253952}};
  for (const Expect& p : parts) {
    const LpcSectorLayout l = SelectSectorLayout(QLatin1String(p.id));
    ASSERT_NE(l.Part, nullptr) << p.id;
    EXPECT_EQ(l.LastSector, QLatin1String(p.last)) << p.id;
    EXPECT_EQ(l.FlashSize, p.flash) << p.id;
  }
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("1963870")).Part, nullptr);
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("1963870")).FlashSize, 0u);
  EXPECT_EQ(SelectSectorLayout(QStringLiteral("")).Part, nullptr);

  // The two ARM7 maps as the layouts define them.
  const LpcSectorLayout a = SelectSectorLayout(QStringLiteral("196389"));
  EXPECT_EQ(a.SectorMap[9], 8);
  EXPECT_EQ(a.SectorMap[120], 21);
  EXPECT_EQ(a.SectorMap[121], 22);
  EXPECT_EQ(a.SectorMap[125], 26);
  const LpcSectorLayout b = SelectSectorLayout(QStringLiteral("84016915"));
  EXPECT_EQ(b.SectorMap[3], 1);
  EXPECT_EQ(b.SectorMap[17], 8);
  EXPECT_EQ(b.SectorMap[48], 9);
  EXPECT_EQ(b.SectorMap[49], 10);
  EXPECT_EQ(b.SectorMap[62], 16);
  const LpcSectorLayout c = SelectSectorLayout(QStringLiteral("4293984018"));
  EXPECT_EQ(c.SectorMap[3], 1);
  EXPECT_EQ(c.SectorMap[30], 14);
}

TEST_F(LpcImage, UuencodingMatchesSharutils) {
  EXPECT_EQ(UuChar(0), '`');
  EXPECT_EQ(UuChar(1), '!');
  EXPECT_EQ(UuChar(63), '_');
  uint32_t sum = 99;
  EXPECT_EQ(UuencodeLine(nullptr, 0, &sum), " \r\n");
  EXPECT_EQ(sum, 0u);

  // Zero bytes included, so the backquote shows; the tail is a partial group.
  std::vector<uint8_t> data = PatternImage(45 * 3 + 7, 5);
  for (size_t i = 0; i < data.size(); i += 5) data[i] = 0;
  QTemporaryDir dir;
  const QString path = dir.filePath("blob");
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
  }
  const std::string cmd = "/usr/bin/uuencode '" + path.toStdString() + "' blob";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> lines;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) {
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    lines.push_back(s);
  }
  ASSERT_EQ(pclose(p), 0);
  ASSERT_EQ(lines.size(), 7u);  // begin, 4 data lines, "`", end
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = i * 45;
    const int n = static_cast<int>(std::min<size_t>(45, data.size() - at));
    uint32_t s = 0;
    QByteArray ours = UuencodeLine(data.data() + at, n, &s);
    ASSERT_TRUE(ours.endsWith("\r\n"));
    ours.chop(2);
    EXPECT_EQ(ours.toStdString(), lines[1 + i]) << "line " << i;
    uint32_t expect = 0;
    for (int k = 0; k < n; ++k) expect += data[at + static_cast<size_t>(k)];
    EXPECT_EQ(s, expect);
  }
}

TEST_F(LpcImage, VectorChecksumMakesTheTableAddUpToZero) {
  std::vector<uint8_t> image = PatternImage(64, 9);
  const std::vector<uint8_t> before = image;
  uint32_t value = 0;
  ASSERT_TRUE(SetVectorChecksum(image, &value));
  uint32_t sum = 0;
  for (size_t at = 0; at < 32; at += 4)
    sum += static_cast<uint32_t>(image[at]) | image[at + 1] << 8 | image[at + 2] << 16 |
           static_cast<uint32_t>(image[at + 3]) << 24;
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(image[0x14], static_cast<uint8_t>(value));
  EXPECT_EQ(image[0x17], static_cast<uint8_t>(value >> 24));
  for (size_t i = 0; i < image.size(); ++i) {
    if (i < 0x14 || i >= 0x18) {
      ASSERT_EQ(image[i], before[i]) << i;
    }
  }

  std::vector<uint8_t> shortImage(28, 0x12);
  EXPECT_FALSE(SetVectorChecksum(shortImage, &value));
  EXPECT_EQ(shortImage, std::vector<uint8_t>(28, 0x12));
}
