// The converter library, loaded at run time like the programmer loads it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using DecodeFn = int32_t (*)(const char*, uint8_t*);
using ConvertFn = uint32_t (*)(const char*);
using CheckFn = int32_t (*)(const char*, int32_t*);

class IHexToBin : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    lib_ = dlopen((dir / "libiHexToBin.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
    decode_ = reinterpret_cast<DecodeFn>(dlsym(lib_, "DecodeHex"));
    byte_ = reinterpret_cast<ConvertFn>(dlsym(lib_, "HexToByte"));
    word_ = reinterpret_cast<ConvertFn>(dlsym(lib_, "HexToWord"));
    dword_ = reinterpret_cast<ConvertFn>(dlsym(lib_, "HexToDword"));
    check_ = reinterpret_cast<CheckFn>(dlsym(lib_, "CheckHex"));
    ASSERT_TRUE(decode_ && byte_ && word_ && dword_ && check_);
    file_ = std::filesystem::temp_directory_path() /
            ("ihextobin-" + std::to_string(::getpid()) + ".hex");
    // Exactly the size the programmer passes: ASan sees any write beyond it.
    buffer_.reset(new uint8_t[65536]);
    std::memset(buffer_.get(), 0xAA, 65536);
  }
  void TearDown() override {
    std::filesystem::remove(file_);
    if (lib_) dlclose(lib_);
  }
  int32_t Decode(const std::string& text) {
    std::ofstream(file_, std::ios::binary) << text;
    return decode_(file_.c_str(), buffer_.get());
  }
  bool Untouched() const {
    for (int i = 0; i < 65536; ++i)
      if (buffer_[i] != 0xAA) return false;
    return true;
  }

  void* lib_ = nullptr;
  DecodeFn decode_ = nullptr;
  ConvertFn byte_ = nullptr, word_ = nullptr, dword_ = nullptr;
  CheckFn check_ = nullptr;

  // CheckHex's status, with the line it names appended as "@line".
  std::string Check(const std::string& text) {
    std::ofstream(file_, std::ios::binary) << text;
    int32_t line = -1;
    const int32_t status = check_(file_.c_str(), &line);
    return std::to_string(status) + "@" + std::to_string(line);
  }
  std::filesystem::path file_;
  std::unique_ptr<uint8_t[]> buffer_;
};

TEST_F(IHexToBin, Conversions) {
  EXPECT_EQ(dword_("1A2b"), 0x1A2Bu);
  EXPECT_EQ(word_("FFFF"), 65535u);
  EXPECT_EQ(byte_("7f"), 127u);
  EXPECT_EQ(dword_("123456789"), 0x23456789u);  // earliest digits shifted out
  // A text shorter than the conversion's width is not read past its end.
  std::unique_ptr<char[]> shortText(new char[2]{'7', '\0'});
  EXPECT_EQ(word_(shortText.get()), 0x7000u);
}

TEST_F(IHexToBin, StatusValues) {
  EXPECT_EQ(decode_("/nonexistent/file.hex", buffer_.get()), 0);
  EXPECT_TRUE(Untouched());

  // Blank lines before the first record are passed over; a byte-order mark
  // or a comment there is refused at once, nothing stored.
  EXPECT_EQ(Decode("\r\n \n\t\r\n:0100000012ED\r\n\r\n:00000001FF\r\n"), 1);
  EXPECT_EQ(buffer_[0], 0x12);
  buffer_[0] = 0xAA;
  EXPECT_EQ(Decode("\xEF\xBB\xBF:0100000012ED\r\n:00000001FF\r\n"), 2);
  EXPECT_EQ(Decode("; build 7\r\n:0100000012ED\r\n:00000001FF\r\n"), 2);
  EXPECT_EQ(Decode("\r\n\r\n"), 2);
  EXPECT_TRUE(Untouched());

  // A sound file is read by the program's HEX reader, which reads on after
  // the end-of-file record; a damaged one is scanned only up to it.
  EXPECT_EQ(Decode(":0100000012ED\n:00000001FF\n:0100010034CA\n"), 1);
  EXPECT_EQ(buffer_[0], 0x12);
  EXPECT_EQ(buffer_[1], 0x34);
  buffer_[1] = 0xAA;
  EXPECT_EQ(Decode(":0100000012ED\n:00000001FF\n:0100010034CB\n"), 1);
  EXPECT_EQ(buffer_[1], 0xAA);

  // No end-of-file record: the data is stored all the same.
  EXPECT_EQ(Decode(":02001000abcd76\n"), 2);
  EXPECT_EQ(buffer_[0x10], 0xAB);  // lower-case digits
  EXPECT_EQ(buffer_[0x11], 0xCD);
}

TEST_F(IHexToBin, RecordTypesAndRegions) {
  const std::string text =
      ":01004005EEFF\n"            // type 05: skipped
      ":01004007EEFF\n"            // not a known type: skipped
      ":020000040000FA\r\n"
      ":0200200011226B\r\n"
      ":0400000300001234B3\r\n"   // type 03: skipped
      ":0100300099xx\r\n"         // checksums are not verified
      ":020000040001F9\r\n"
      ":02002000AABB79\n"          // same 16-bit address, next 64 KB region
      ":00000001FF\r\n";
  EXPECT_EQ(Decode(text), 1);
  EXPECT_EQ(buffer_[0x40], 0xAA);
  EXPECT_EQ(buffer_[0x00], 0xAA);
  EXPECT_EQ(buffer_[0x20], 0xAA);  // the later record wins
  EXPECT_EQ(buffer_[0x21], 0xBB);
  EXPECT_EQ(buffer_[0x30], 0x99);
}

TEST_F(IHexToBin, NothingStoredAtOrBeyond64K) {
  // 32 bytes at FFF0: 16 fit, 16 would fall beyond the buffer.
  std::string record = ":20FFF000";
  for (int i = 0; i < 32; ++i) record += "C3";
  record += "00\n:00000001FF\n";
  EXPECT_EQ(Decode(record), 1);
  for (int a = 0xFFF0; a <= 0xFFFF; ++a) EXPECT_EQ(buffer_[a], 0xC3);
  EXPECT_EQ(buffer_[0], 0xAA);
}

TEST_F(IHexToBin, RecordCutShortAtEndOfText) {
  // Promises 16 bytes, the file ends after two: dropped, earlier data kept.
  EXPECT_EQ(Decode(":0100000012ED\n:10001000AABB"), 2);
  EXPECT_EQ(buffer_[0], 0x12);
  EXPECT_EQ(buffer_[0x10], 0xAA);
  EXPECT_EQ(buffer_[0x11], 0xAA);
  // Cut inside the record's header.
  EXPECT_EQ(Decode(":0100000034CB\n:1000"), 2);
  EXPECT_EQ(buffer_[0], 0x34);
}

// What the programmer refuses before a byte is flashed: 1 accepted, 2 no
// end record, 3 syntax, 5 checksum, 6 above 64 KB, 8 not Intel HEX, 9 an
// unknown record type, 10 overlapping data.
TEST_F(IHexToBin, CheckNamesTheFaultyLine) {
  const std::string good =
      ":020000040000FA\r\n"
      ":020020001122AB\r\n"
      "\r\n"
      ":010030009936\r\n"
      ":00000001FF\r\n";
  EXPECT_EQ(Check(good), "1@0");
  EXPECT_EQ(Check(":0100000012ED\r:00000001FF\r"), "1@0");  // CR-only line ends
  EXPECT_EQ(Check(":0100000012ED\n:00000001FF\n:zz\n"), "3@3");  // after the end: still a line

  // Cut at every line boundary before the end record: incomplete.
  size_t at = 0;
  while ((at = good.find('\n', at)) != std::string::npos && at + 1 < good.size()) {
    ++at;
    if (good.compare(at, 11, ":00000001FF") == 0) break;
    EXPECT_EQ(Check(good.substr(0, at)).substr(0, 2), "2@") << at;
  }
  EXPECT_EQ(Check(""), "2@0");

  EXPECT_EQ(Check(":0100000012ED\n:02002000112\n:00000001FF\n"), "3@2");  // truncated line
  EXPECT_EQ(Check("\x02\x01\x1e\n"), "8@1");                               // a binary file
  EXPECT_EQ(Check("0100000012ED\n:00000001FF\n"), "8@1");                   // no colon
  EXPECT_EQ(Check(":0100000012ED\n0100010034CA\n:00000001FF\n"), "3@2");    // a later line lost it
  EXPECT_EQ(Check(":0100000012ED\n:01000100G4CA\n:00000001FF\n"), "3@2");    // not a hex digit
  EXPECT_EQ(Check(":0100000012EE\n:00000001FF\n"), "5@1");                  // checksum
  EXPECT_EQ(Check(":020000040001F9\n:0100000012ED\n:00000001FF\n"), "6@2");  // linear base 64 KB
  EXPECT_EQ(Check(":02FFFF001122CD\n:00000001FF\n"), "6@1");   // runs past FFFF
  EXPECT_EQ(Check(":020000020800F4\n:0100000012ED\n:00000001FF\n"), "1@0");  // segment 0800: at 0x8000
  EXPECT_EQ(Check(":0100000012ED\n:0100000612E7\n:00000001FF\n"), "9@2");  // record type 06
  EXPECT_EQ(Check(":0200000012AB41\n:0100010034CA\n:00000001FF\n"), "10@2");  // over line 1's byte
  EXPECT_EQ(check_("/nonexistent/file.hex", nullptr), 0);
}

}  // namespace
