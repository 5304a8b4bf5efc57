// The settings file: its text form, and what survives a bad file.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "platform/SettingsStore.h"

TEST(SettingsStore, TextAndIntegersRoundTripWithEscapes) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/a/b/Vortana.reg";
  SettingsStore w(path);
  EXPECT_FALSE(w.KeyExists());
  ASSERT_TRUE(w.CreateKey());
  w.WriteInteger("Port", -1);
  w.WriteString("SendStr", "发送区\r\n\"q\"\t\\end");
  w.WriteBool("AutoRST", true);
  ASSERT_TRUE(w.Save());
  SettingsStore r(path);
  ASSERT_TRUE(r.Open());
  EXPECT_EQ(r.ReadInteger("Port"), -1);
  EXPECT_EQ(r.ReadString("SendStr"), QString("发送区\r\n\"q\"\t\\end"));
  EXPECT_EQ(r.ReadBool("AutoRST"), true);
  // Wrong types and missing values.
  EXPECT_EQ(r.ReadInteger("SendStr"), std::nullopt);
  EXPECT_EQ(r.ReadString("Port"), std::nullopt);
  EXPECT_EQ(r.ReadInteger("Nothing"), std::nullopt);
  EXPECT_EQ(r.ReadString("Nothing"), QString());
}

TEST(SettingsStore, MalformedLinesAreIgnored) {
  EXPECT_FALSE(SettingsStore::ParseLine("\"Port\"=dword:0000000").has_value());    // 7 digits
  EXPECT_FALSE(SettingsStore::ParseLine("\"Port\"=dword:0000000G").has_value());
  EXPECT_FALSE(SettingsStore::ParseLine("\"Name\"=\"unterminated").has_value());
  EXPECT_FALSE(SettingsStore::ParseLine("Port=dword:00000001").has_value());
  auto ok = SettingsStore::ParseLine("\"Port\"=dword:0000000a");
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(std::get<uint32_t>(ok->second), 10u);
}

TEST(SettingsStore, SaveKeepsWriteOrderThenOtherValuesAndReplacesTheFileWhole) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/Vortana.reg";
  {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("\"Old\"=\"kept\"\n\"Port\"=dword:00000001\n");
  }
  SettingsStore s(path);
  ASSERT_TRUE(s.Open());
  s.WriteInteger("Model", 1);
  s.WriteInteger("Port", 5);
  ASSERT_TRUE(s.Save());
  QFile f(path);
  f.open(QIODevice::ReadOnly);
  EXPECT_EQ(QString::fromUtf8(f.readAll()), "\"Model\"=dword:00000001\n\"Port\"=dword:00000005\n\"Old\"=\"kept\"\n");
}

TEST(SettingsStore, HandWrittenBackslashesStayAndTheLaterOfTwoLinesCounts) {
  QTemporaryDir dir;
  const QString path = dir.path() + "/Vortana.reg";
  {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("\"FileName\"=\"C:\\fw\\blink.hex\"\n"  // backslashes that start no escape
            "\"Port\"=dword:00000001\n"
            "\"Mixed\"=\"a\\qb\\n\\\\c\"\n"
            "\"Port\"=dword:00000004\n");
  }
  SettingsStore s(path);
  ASSERT_TRUE(s.Open());
  EXPECT_EQ(s.ReadString("FileName"), QString("C:\\fw\\blink.hex"));
  EXPECT_EQ(s.ReadString("Mixed"), QString("a\\qb\n\\c"));
  EXPECT_EQ(s.ReadInteger("Port"), 4);
  // Saved and read again, the text is unchanged.
  ASSERT_TRUE(s.Save());
  SettingsStore again(path);
  ASSERT_TRUE(again.Open());
  EXPECT_EQ(again.ReadString("FileName"), QString("C:\\fw\\blink.hex"));
  EXPECT_EQ(again.ReadInteger("Port"), 4);
}
