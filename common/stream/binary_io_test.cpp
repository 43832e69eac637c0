// Byte layout of the binary writer and reader, and their results on streams that fail.
#include "common/stream/binary_io.h"

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace kestrun {
namespace {

TEST(BinaryIoTest, WritesLittleEndianValuesAndTerminatedStrings) {
  std::ostringstream out;
  stream_writer writer(out);
  EXPECT_TRUE(writer.write_u32(1));
  EXPECT_TRUE(writer.write_u8(0xAB));
  EXPECT_TRUE(writer.write_u64(0x0102030405060708ull));
  EXPECT_TRUE(writer.write_string(""));
  EXPECT_TRUE(writer.write_string("ab"));
  EXPECT_TRUE(writer.write("xyz", 2));
  EXPECT_TRUE(writer.write("", 0));
  const std::string want(
      "\x01\x00\x00\x00"
      "\xAB"
      "\x08\x07\x06\x05\x04\x03\x02\x01"
      "\x00"
      "ab\x00"
      "xy",
      19);
  EXPECT_EQ(out.str(), want);
}

TEST(BinaryIoTest, ReadsBackWhatWasWritten) {
  std::stringstream data;
  stream_writer writer(data);
  const std::string with_bytes("a\xff\x01 z", 5);
  writer.write_u8(200);
  writer.write_u32(std::numeric_limits<std::uint32_t>::max());
  writer.write_u64(0x8000000000000001ull);
  writer.write_string(with_bytes);
  writer.write_string("");
  writer.write("raw", 3);

  stream_reader reader(data);
  std::uint8_t u8 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  std::string s1, s2;
  char raw[3] = {};
  EXPECT_TRUE(reader.read_u8(u8));
  EXPECT_TRUE(reader.read_u32(u32));
  EXPECT_TRUE(reader.read_u64(u64));
  EXPECT_TRUE(reader.read_string(s1));
  EXPECT_TRUE(reader.read_string(s2));
  EXPECT_TRUE(reader.read(raw, 3));
  EXPECT_EQ(u8, 200);
  EXPECT_EQ(u32, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(u64, 0x8000000000000001ull);
  EXPECT_EQ(s1, with_bytes);
  EXPECT_EQ(s2, "");
  EXPECT_EQ(std::string(raw, 3), "raw");
  EXPECT_FALSE(reader.read_u8(u8));  // the end is a failed read
}

TEST(BinaryIoTest, ShortDataIsAFailedRead) {
  struct row {
    const char* name;
    std::string data;
    bool (*read)(stream_reader&);
  };
  const row rows[] = {
      {"u32 from three bytes", std::string("\x01\x02\x03", 3),
       [](stream_reader& r) {
         std::uint32_t v = 7;
         return r.read_u32(v) || v != 7;  // also: the value is left alone
       }},
      {"u64 from seven bytes", std::string(7, '\x01'),
       [](stream_reader& r) {
         std::uint64_t v = 0;
         return r.read_u64(v);
       }},
      {"string without its 0 byte", "abc",
       [](stream_reader& r) {
         std::string s;
         return r.read_string(s);
       }},
      {"nothing at all", "",
       [](stream_reader& r) {
         std::uint8_t v = 0;
         return r.read_u8(v);
       }},
      {"negative count", "abcdef",
       [](stream_reader& r) {
         char buffer[4];
         return r.read(buffer, -1);
       }},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::istringstream in(r.data);
    stream_reader reader(in);
    EXPECT_FALSE(r.read(reader));
  }
}

TEST(BinaryIoTest, BoundedStringStopsAtItsLimit) {
  std::istringstream in(std::string("abc\0abcd\0", 9) + std::string(1, '\0'));
  stream_reader reader(in);
  std::string s;
  EXPECT_TRUE(reader.read_string(s, 3));
  EXPECT_EQ(s, "abc");
  // One byte more than the limit fails there, without reading on to the 0 byte.
  EXPECT_FALSE(reader.read_string(s, 3));
  EXPECT_TRUE(in.fail());
  EXPECT_EQ(s, "abc");
  EXPECT_FALSE(reader.read_string(s, 3));  // a failed stream reads nothing more

  std::istringstream empty(std::string(1, '\0'));
  stream_reader empty_reader(empty);
  EXPECT_TRUE(empty_reader.read_string(s, 0));
  EXPECT_EQ(s, "");
  std::istringstream unended("ab");
  stream_reader unended_reader(unended);
  EXPECT_FALSE(unended_reader.read_string(s, 5));
  EXPECT_TRUE(unended.eof());
}

TEST(BinaryIoTest, WritesToAFailedStreamReportFalse) {
  std::ostringstream out;
  stream_writer writer(out);
  EXPECT_FALSE(writer.write("abc", -1));
  EXPECT_TRUE(out.str().empty());
  out.setstate(std::ios::badbit);
  EXPECT_FALSE(writer.write_u8(1));
  EXPECT_FALSE(writer.write_u32(1));
  EXPECT_FALSE(writer.write_u64(1));
  EXPECT_FALSE(writer.write_string("x"));
  EXPECT_FALSE(writer.write("x", 1));
}

}  // namespace
}  // namespace kestrun
