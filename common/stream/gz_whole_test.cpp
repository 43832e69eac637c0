// One-step gzip of contents held whole: zlib reads what it writes, the header is zlib's own, and
// the decoder takes exactly one member of exactly the expected size and nothing else.
#include "common/stream/gz_whole.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/gzip.h"

namespace kestrun::stream::gz {
namespace {

std::string text(std::size_t size) {
  std::string out;
  while (out.size() < size) out += "row " + std::to_string(out.size() % 977) + ", value;\n";
  out.resize(size);
  return out;
}

std::string noise(std::size_t size) {
  std::string out(size, '\0');
  std::uint32_t seed = 11;
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

std::string encode(whole_encoder& encoder, const std::string& data) {
  std::string out(encoder.bound(data.size()), '\0');
  out.resize(encoder.encode(data.data(), data.size(), out.data(), out.size()));
  return out;
}

TEST(GzWhole, ZlibReadsWhatItWrites) {
  whole_encoder encoder(9);
  for (const std::string& data : {std::string(), std::string("x"), text(200000), noise(70000)}) {
    SCOPED_TRACE(data.size());
    const std::string member = encode(encoder, data);
    ASSERT_FALSE(member.empty());
    std::string plain;
    EXPECT_TRUE(test::zlib_gunzip(member, plain));
    EXPECT_EQ(plain, data);
    // Only the deflate data may differ from zlib's: the header is the one zlib writes.
    EXPECT_EQ(member.substr(0, 10), test::zlib_gzip(data).substr(0, 10));
  }
}

TEST(GzWhole, TooLittleRoomGivesNothing) {
  whole_encoder encoder(9);
  const std::string data = noise(5000);
  std::string out(1000, '\0');
  EXPECT_EQ(encoder.encode(data.data(), data.size(), out.data(), out.size()), 0u);
}

TEST(GzWhole, DecodesOnlyOneMemberOfTheExpectedSize) {
  const std::string data = text(100000);
  const std::string member = test::zlib_gzip(data);
  std::string bad_crc = member;
  bad_crc[bad_crc.size() - 6] ^= 1;
  struct row {
    const char* label;
    std::string in;
    std::size_t size;
    t_whole_result want;
  };
  const row rows[] = {
      {"whole", member, data.size(), t_whole_result::done},
      {"decodes longer", member, data.size() - 1, t_whole_result::refused},
      {"decodes shorter", member, data.size() + 1, t_whole_result::refused},
      {"cut short", member.substr(0, member.size() - 4), data.size(), t_whole_result::refused},
      {"wrong CRC", bad_crc, data.size(), t_whole_result::refused},
      {"a second member", member + test::zlib_gzip("more"), data.size(), t_whole_result::refused},
      {"bytes behind", member + "junk", data.size(), t_whole_result::refused},
      {"not gzip", data.substr(0, 5000), data.size(), t_whole_result::refused},
  };
  whole_decoder decoder;
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    // A guard byte behind the room shows any write past the expected size.
    std::string out(r.size + 1, '#');
    EXPECT_EQ(decoder.decode(r.in.data(), r.in.size(), out.data(), r.size), r.want);
    EXPECT_EQ(out.back(), '#');
    if (r.want == t_whole_result::done) {
      EXPECT_EQ(out.substr(0, r.size), data);
    }
  }
}

}  // namespace
}  // namespace kestrun::stream::gz
