#include "firmware/FirmwareFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

TEST(FirmwareFile, ReadsRegularFilesWholeAndRefusesEverythingElse) {
  QTemporaryDir dir;
  const QString file = dir.filePath("fw.bin");
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray(3000, '\x5A'));
  f.close();

  auto r = ReadFirmwareFile(file, 3000);
  EXPECT_EQ(r.status, FirmwareFileStatus::Ok);
  EXPECT_EQ(r.bytes, QByteArray(3000, '\x5A'));

  r = ReadFirmwareFile(file, 2999);  // one byte over the limit: nothing read
  EXPECT_EQ(r.status, FirmwareFileStatus::TooLarge);
  EXPECT_EQ(r.size, 3000);
  EXPECT_TRUE(r.bytes.isEmpty());

  EXPECT_EQ(ReadFirmwareFile(dir.filePath("none.bin"), -1).status, FirmwareFileStatus::Missing);
  EXPECT_EQ(ReadFirmwareFile(dir.path(), -1).status, FirmwareFileStatus::NotRegular);
  EXPECT_EQ(ReadFirmwareFile("/dev/zero", -1).status, FirmwareFileStatus::NotRegular);

  // A FIFO with no writer would block an ordinary open for good.
  const QString fifo = dir.filePath("pipe.hex");
  ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
  EXPECT_EQ(ReadFirmwareFile(fifo, -1).status, FirmwareFileStatus::NotRegular);
  EXPECT_FALSE(FirmwareFileProblem(fifo, ReadFirmwareFile(fifo, -1)).isEmpty());
}

TEST(FirmwareFile, HexNamesInAnyCase) {
  for (const char* name : {"fw.hex", "FW.HEX", "fw.Hex", "/a.b/fw.hEx"}) EXPECT_TRUE(IsHexName(name)) << name;
  for (const char* name : {"fw.bin", "hex", "fw.hex.bin", "/x.hex/fw", "fwhex"}) EXPECT_FALSE(IsHexName(name)) << name;
}
