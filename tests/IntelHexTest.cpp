// The one HEX reader: the rules every family's loader relies on, where a
// fault would slip a wrong image past all three.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "firmware/IntelHex.h"

namespace {

ihex::Result Read(const std::string& text, uint64_t limit = uint64_t{1} << 32) {
  return ihex::Read(text.data(), text.size(), limit);
}

const std::string kEnd = ":00000001FF\n";

}  // namespace

TEST(IntelHex, WhichLineIsNamed) {
  // The first line decides whether this is HEX at all; later, a line
  // without its ':' is a damaged record.
  EXPECT_EQ(Read("hello\n" + kEnd).fault, ihex::Fault::NotHex);
  EXPECT_EQ(Read("\n\n0100000012ED\n" + kEnd).fault, ihex::Fault::NotHex);
  ihex::Result r = Read(":0100000012ED\n\n0100010034CA\n" + kEnd);
  EXPECT_EQ(r.fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.line, 3);
  // A damaged first record is named as such, not as another format.
  r = Read(":01000000G2ED\n" + kEnd);
  EXPECT_EQ(r.fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.line, 1);
  // Lines after the end record are lines too.
  r = Read(":0100000012ED\n" + kEnd + "junk\n");
  EXPECT_EQ(r.fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.line, 3);
  // Only blank lines, or nothing: cut short, not some other format.
  EXPECT_EQ(Read(" \r\n\t\n").fault, ihex::Fault::NoEndRecord);
  EXPECT_EQ(Read("").fault, ihex::Fault::NoEndRecord);
  // Start-address records must carry their four bytes.
  r = Read(":0100000012ED\n:020000050000F9\n" + kEnd);
  EXPECT_EQ(r.fault, ihex::Fault::Syntax);
  EXPECT_EQ(r.line, 2);
}

TEST(IntelHex, OverlapNamesTheFirstLineThatCoversEarlierData) {
  // Line 3 lies inside line 1's bytes, line 4 inside line 2's: line 3 is
  // the first that covers data given before it, whatever the address order
  // or the order of the two faults in the file.
  auto line = [](uint16_t address, std::initializer_list<uint8_t> data) {
    uint8_t sum = static_cast<uint8_t>(data.size() + (address >> 8) + (address & 0xFF));
    std::string s = ":";
    char b[3];
    snprintf(b, sizeof b, "%02X", static_cast<unsigned>(data.size()));
    s += b;
    snprintf(b, sizeof b, "%02X", address >> 8);
    s += b;
    snprintf(b, sizeof b, "%02X", address & 0xFF);
    s += b;
    s += "00";
    for (uint8_t d : data) {
      snprintf(b, sizeof b, "%02X", d);
      s += b;
      sum = static_cast<uint8_t>(sum + d);
    }
    snprintf(b, sizeof b, "%02X", static_cast<uint8_t>(-sum));
    return s + b + "\n";
  };
  ihex::Result r = Read(line(0x10, {1, 2, 3, 4}) + line(0x00, {5, 6, 7, 8}) + line(0x12, {9}) + line(0x01, {9}) + kEnd);
  EXPECT_EQ(r.fault, ihex::Fault::Overlap);
  EXPECT_EQ(r.line, 3);
  r = Read(line(0x10, {1, 2, 3, 4}) + line(0x00, {5, 6, 7, 8}) + line(0x01, {9}) + line(0x12, {9}) + kEnd);
  EXPECT_EQ(r.line, 3);
  // Touching is no overlap; the stretches merge, the image fills the rest.
  r = Read(line(0x04, {1, 2}) + line(0x00, {5, 6, 7, 8}) + line(0x06, {3}) + kEnd);
  ASSERT_TRUE(r.Ok());
  ASSERT_EQ(r.segments.size(), 1u);
  EXPECT_EQ(r.End(), 7u);
  EXPECT_EQ(r.Image(0, 8, 0xFF), (std::vector<uint8_t>{5, 6, 7, 8, 1, 2, 3, 0xFF}));
}

TEST(IntelHex, AddressesAndLimits) {
  // A segment record's data wraps inside its 64 KB segment.
  ihex::Result r = Read(":020000021000EC\n:04FFFE00AABBCCDDF1\n" + kEnd);
  ASSERT_TRUE(r.Ok()) << int(r.fault);
  ASSERT_EQ(r.segments.size(), 2u);
  EXPECT_EQ(r.segments[0].address, 0x10000u);
  EXPECT_EQ(r.segments[1].address, 0x1FFFEu);
  // Data past the caller's limit names its line, even one byte past.
  r = Read(":0100000012ED\n:02FFFF001122CD\n" + kEnd, 0x10000);
  EXPECT_EQ(r.fault, ihex::Fault::AboveLimit);
  EXPECT_EQ(r.line, 2);
  EXPECT_TRUE(Read(":01FFFF0012EF\n" + kEnd, 0x10000).Ok());
  // Records after the end record still count.
  r = Read(kEnd + ":0100000012ED\n");
  ASSERT_TRUE(r.Ok());
  EXPECT_EQ(r.dataBytes, 1u);
}
