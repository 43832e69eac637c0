// gzip stream buffers: round trips in memory, agreement with zlib and the gzip tool, and the
// behaviour on failed targets and on corrupt, truncated or foreign input.
#include "common/stream/gz_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/support/gzip.h"
#include "tests/support/temp_folder.h"

namespace kestrun::stream {
namespace {

constexpr int small = 16384;

// Bytes that deflate cannot shrink much.
std::string noise(std::size_t size, std::uint32_t seed = 7) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

// Text-like bytes that compress well.
std::string prose(std::size_t size) {
  static const std::string words = "kestrun stores every version of the project folder; ";
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    out += words.substr(0, std::min(words.size(), size - out.size()));
  }
  return out;
}

std::string gzip_of(const std::string& content, int level = 9, int size = small) {
  std::stringstream coded;
  gz::obuffer codec(coded, level, size);
  std::ostream out(&codec);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.flush();
  EXPECT_TRUE(out.good());
  return coded.str();
}

using test::zlib_gunzip;

struct t_read {
  std::string content;
  bool bad = false;
  bool eof = false;
};

// Reads everything through an ibuffer, the way the engine's readers do: istream::read in pieces.
t_read read_all(const std::string& coded, int size = small, std::size_t piece = 4096) {
  std::istringstream source(coded);
  gz::ibuffer codec(source, size);
  std::istream in(&codec);
  t_read result;
  std::string chunk(piece, '\0');
  while (in.read(chunk.data(), static_cast<std::streamsize>(piece)) || in.gcount() > 0) {
    result.content.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    if (!in) break;
  }
  result.bad = in.bad();
  result.eof = in.eof();
  return result;
}

TEST(GzBufferTest, RoundTripsAcrossBufferBoundaries) {
  struct row {
    const char* name;
    std::string content;
    int size;
  };
  const row rows[] = {
      {"empty", "", small},
      {"one byte", "x", small},
      {"put area exactly", noise(small - 1), small},
      {"one input area", noise(small), small},
      {"one past", noise(small + 1), small},
      {"multiple of the area", noise(3 * small), small},
      {"large noise", noise(1000003), small},
      {"compresses very well", std::string(5000000, 'a'), small},
      {"prose", prose(777777), small},
      {"default areas", noise(3 * base::detail::buffer::default_size + 5),
       base::detail::buffer::default_size},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string coded = gzip_of(r.content, 9, r.size);
    std::string plain;
    EXPECT_TRUE(zlib_gunzip(coded, plain));
    EXPECT_TRUE(plain == r.content);
    for (std::size_t piece : {std::size_t{1} << 20, std::size_t{1000}}) {
      const t_read back = read_all(coded, r.size, piece);
      EXPECT_EQ(back.content.size(), r.content.size());
      EXPECT_TRUE(back.content == r.content);
      EXPECT_FALSE(back.bad);
      EXPECT_TRUE(back.eof);
    }
  }
}

// Records when the standard machinery hands a full put area to the codec.
class counting_obuffer : public gz::obuffer {
 public:
  using gz::obuffer::obuffer;
  std::vector<int_type> overflows;

 protected:
  int_type overflow(int_type c) override {
    overflows.push_back(c);
    return gz::obuffer::overflow(c);
  }
};

TEST(GzBufferTest, CodesOnlyWhenTheInputAreaIsFull) {
  {
    std::stringstream coded;
    counting_obuffer codec(coded, 9, small);
    std::ostream out(&codec);
    const std::string content = noise(small - 1);
    out.write(content.data(), small - 1);
    EXPECT_TRUE(codec.overflows.empty());
    EXPECT_TRUE(coded.str().empty());  // nothing coded before the flush
    out.flush();
    EXPECT_TRUE(codec.overflows.empty());
    std::string plain;
    EXPECT_TRUE(zlib_gunzip(coded.str(), plain));
    EXPECT_TRUE(plain == content);
  }
  {
    std::stringstream coded;
    counting_obuffer codec(coded, 9, small);
    std::ostream out(&codec);
    std::string content = noise(small);
    content.back() = 'Z';
    out.write(content.data(), small);
    ASSERT_EQ(codec.overflows.size(), 1u);
    EXPECT_EQ(codec.overflows[0], 'Z');
  }
}

TEST(GzBufferTest, FirstFlushEndsTheStreamAndLaterBytesFail) {
  std::stringstream coded;
  gz::obuffer codec(coded, 9, small);
  std::ostream out(&codec);
  EXPECT_EQ(codec.pubsync(), 0);
  const std::string ended = coded.str();
  std::string plain = "not empty";
  EXPECT_TRUE(zlib_gunzip(ended, plain));
  EXPECT_EQ(plain, "");
  EXPECT_EQ(codec.pubsync(), 0);  // nothing written since: nothing to do
  EXPECT_EQ(coded.str(), ended);
  // Bytes after the end could never be coded: the flush says so instead of dropping them.
  out << "late";
  out.flush();
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(coded.str(), ended);
}

TEST(GzBufferTest, FailedTargetFailsTheWritingStream) {
  {
    // Refuses to be written: a full disk, as far as the buffer can tell.
    std::ofstream full("/dev/full", std::ios::binary);
    ASSERT_TRUE(full.is_open());
    gz::obuffer codec(full, 9, small);
    std::ostream out(&codec);
    const std::string content = noise(4 * small);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    EXPECT_TRUE(out.bad());
  }
  {
    std::stringstream coded;
    coded.setstate(std::ios::failbit);
    gz::obuffer codec(coded, 9, small);
    std::ostream out(&codec);
    out << "x";
    out.flush();
    EXPECT_TRUE(out.bad());
  }
  {
    std::stringstream coded;
    gz::obuffer codec(coded, -7, small);  // not a zlib level: deflate cannot be set up
    std::ostream out(&codec);
    out << "x";
    out.flush();
    EXPECT_TRUE(out.bad());
    EXPECT_TRUE(coded.str().empty());
  }
}

TEST(GzBufferTest, LevelAboveNineIsNine) {
  const std::string content = prose(100000);
  EXPECT_TRUE(gzip_of(content, 100) == gzip_of(content, 9));
  EXPECT_FALSE(gzip_of(content, 1) == gzip_of(content, 9));
}

TEST(GzBufferTest, BadInputEndsReadingWithTheBadFlag) {
  const std::string content = noise(100000) + prose(100000);
  const std::string good = gzip_of(content);
  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x55);
  std::string bad_crc = good;
  bad_crc[good.size() - 6] = static_cast<char>(bad_crc[good.size() - 6] ^ 1);
  std::string zlib_wrapped(compressBound(10), '\0');
  uLongf zlib_size = static_cast<uLongf>(zlib_wrapped.size());
  compress(reinterpret_cast<Bytef*>(zlib_wrapped.data()), &zlib_size,
           reinterpret_cast<const Bytef*>("0123456789"), 10);
  zlib_wrapped.resize(zlib_size);
  struct row {
    const char* name;
    std::string coded;
    bool truncated;  // what was decoded before the end is then the true start of the content
  };
  const row rows[] = {
      {"header only", good.substr(0, 10), true},
      {"cut in the middle", good.substr(0, good.size() / 2), true},
      {"trailer missing", good.substr(0, good.size() - 8), true},
      {"one byte short", good.substr(0, good.size() - 1), true},
      {"one byte", "\x1f", true},
      {"flipped byte", flipped, false},
      {"wrong checksum", bad_crc, false},
      {"not compressed", "plain text, not gzip at all", false},
      {"zlib wrapper", zlib_wrapped, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const t_read back = read_all(r.coded);
    EXPECT_TRUE(back.bad);
    EXPECT_LE(back.content.size(), content.size());
    if (r.truncated) {
      EXPECT_TRUE(back.content == content.substr(0, back.content.size()));
    }
  }
}

TEST(GzBufferTest, EmptySourceIsEmptyContent) {
  const t_read back = read_all("");
  EXPECT_EQ(back.content, "");
  EXPECT_TRUE(back.eof);
  EXPECT_FALSE(back.bad);
}

TEST(GzBufferTest, ReadsMembersOneAfterAnotherAndIgnoresTrailingBytes) {
  const std::string first = prose(50000);
  const std::string second = noise(40000);
  struct row {
    const char* name;
    std::string coded;
    std::string want;
  };
  const row rows[] = {
      {"two members", gzip_of(first) + gzip_of(second), first + second},
      {"empty member between", gzip_of(first) + gzip_of("") + gzip_of(second), first + second},
      {"zero padding", gzip_of(first) + std::string(1000, '\0'), first},
      {"one stray byte", gzip_of(first) + "\x1f", first},
      {"text behind", gzip_of(first) + "trailing words", first},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const t_read back = read_all(r.coded);
    EXPECT_TRUE(back.content == r.want);
    EXPECT_FALSE(back.bad);
    EXPECT_TRUE(back.eof);
  }
}

// The gzip tool and the buffers must understand each other in both directions.
TEST(GzBufferTest, AgreesWithTheGzipTool) {
  if (std::system("gzip --version > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "the gzip tool is not installed";
  }
  test::temp_folder temp;
  const std::string content = prose(300000) + noise(300000);
  {
    std::ofstream file(temp / "ours.gz", std::ios::binary);
    gz::obuffer codec(file, 9);
    std::ostream out(&codec);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    ASSERT_TRUE(out.good());
  }
  temp.write("plain", content);
  const std::string dir = temp.path().string();
  ASSERT_EQ(std::system(("gzip -dc '" + dir + "/ours.gz' > '" + dir + "/ours'").c_str()), 0);
  EXPECT_TRUE(test::slurp(temp / "ours") == content);
  ASSERT_EQ(std::system(("gzip -c -6 '" + dir + "/plain' > '" + dir + "/theirs.gz'").c_str()), 0);
  // gzip also writes the name and time into its header; the reader must skip them.
  ASSERT_EQ(std::system(("gzip -k -1 '" + dir + "/plain'").c_str()), 0);
  for (const char* name : {"theirs.gz", "plain.gz"}) {
    SCOPED_TRACE(name);
    const t_read back = read_all(test::slurp(temp / name));
    EXPECT_TRUE(back.content == content);
    EXPECT_FALSE(back.bad);
  }
}

}  // namespace
}  // namespace kestrun::stream
