// Archive file streams on real files: both methods, the method byte in front, the level table,
// and failures that a caller must see (unknown method, unopenable path, a full disk).
#include "common/stream/arc_stream.h"

#include <cstdint>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::stream::arc {
namespace {

std::wstring wide(const std::filesystem::path& path) { return platform::wide_from_path(path); }

std::string sample(std::size_t size) {
  std::string out(size, '\0');
  std::uint32_t seed = 11;
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    out[i] = static_cast<char>(i % 3 == 0 ? 'k' : (seed >> 16));
  }
  return out;
}

// Writes the packer's way: method byte straight into the file, then the content through writer.
bool write_stored(const std::filesystem::path& path, std::uint8_t method, const std::string& body) {
  ofstream out;
  if (!out.open(wide(path), method, 4)) return false;
  out.file.put(static_cast<char>(method));
  out.writer->write(body.data(), static_cast<std::int32_t>(body.size()));
  return out.close();
}

bool read_stored(const std::filesystem::path& path, std::string& body) {
  ifstream in;
  in.file.open(path, std::ios::in | std::ios::binary);
  const int method = in.file.get();
  if (method == std::char_traits<char>::eof() || !in.open(static_cast<std::uint8_t>(method))) {
    return false;
  }
  std::istream& coded = *in.reader->in;
  char chunk[65536];
  body.clear();
  while (coded.read(chunk, sizeof chunk) || coded.gcount() > 0) {
    body.append(chunk, static_cast<std::size_t>(coded.gcount()));
  }
  return !coded.bad();
}

TEST(ArcStreamTest, LevelIndexTable) {
  struct row {
    std::uint32_t index;
    int level;
  };
  const row rows[] = {{0, 0},
                      {1, 1},
                      {2, 5},
                      {3, 7},
                      {4, 9},
                      {5, Z_DEFAULT_COMPRESSION},
                      {100, Z_DEFAULT_COMPRESSION},
                      {0xFFFFFFFFu, Z_DEFAULT_COMPRESSION}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.index);
    EXPECT_EQ(zlib_level(r.index), r.level);
  }
}

TEST(ArcStreamTest, BothMethodsRoundTripBehindTheMethodByte) {
  test::temp_folder temp;
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1} << 20}) {
    for (const std::uint8_t method : {method_plain, method_gzip}) {
      SCOPED_TRACE(std::to_string(size) + " bytes, method " + std::to_string(method));
      const auto path = temp / ("stored" + std::to_string(method));
      const std::string body = sample(size);
      ASSERT_TRUE(write_stored(path, method, body));
      const std::string bytes = test::slurp(path);
      ASSERT_FALSE(bytes.empty());
      EXPECT_EQ(bytes[0], static_cast<char>(method));
      if (method == method_plain) {
        EXPECT_TRUE(bytes.substr(1) == body);
      } else {
        EXPECT_EQ(bytes.substr(1, 2), "\x1f\x8b");  // a bare gzip stream follows the byte
      }
      std::string back;
      EXPECT_TRUE(read_stored(path, back));
      EXPECT_TRUE(back == body);
    }
  }
}

// One stream that writes many files in turn keeps its gzip coder: every file must come out
// exactly as a stream of its own writes it, whatever was written before (another method, or a
// file that could not be written at all).
TEST(ArcStreamTest, OneStreamWritingFilesInTurnGivesTheirOwnBytes) {
  test::temp_folder temp;
  struct row {
    std::uint8_t method;
    std::size_t size;
  };
  const row rows[] = {{method_gzip, 100000},  {method_gzip, 0},      {method_plain, 5000},
                      {method_gzip, 1 << 20}, {method_gzip, 300000}, {method_gzip, 1}};
  ofstream shared;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const row& r = rows[i];
    SCOPED_TRACE(i);
    const std::string body = sample(r.size + i);
    const auto alone = temp / ("alone" + std::to_string(i));
    ASSERT_TRUE(write_stored(alone, r.method, body));
    const auto turn = temp / ("turn" + std::to_string(i));
    ASSERT_TRUE(shared.open(wide(turn), r.method, 4));
    shared.file.put(static_cast<char>(r.method));
    shared.writer->write(body.data(), static_cast<std::int32_t>(body.size()));
    ASSERT_TRUE(shared.close());
    EXPECT_TRUE(test::slurp(turn) == test::slurp(alone));
    if (i == 2 && std::filesystem::exists("/dev/full")) {
      // A file that fails midway leaves the coder ready for the next one.
      ASSERT_TRUE(shared.open(L"/dev/full", method_gzip, 4));
      const std::string big = sample(1 << 20);
      shared.writer->write(big.data(), static_cast<std::int32_t>(big.size()));
      EXPECT_FALSE(shared.close());
    }
  }
}

TEST(ArcStreamTest, UnknownMethodLeavesAnEmptyFile) {
  test::temp_folder temp;
  const auto path = temp.write("old", "previous content");
  {
    ofstream out;
    EXPECT_FALSE(out.open(wide(path), 2, 4));
    EXPECT_EQ(out.writer, nullptr);
    EXPECT_TRUE(out.file.is_open());
  }
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);

  ifstream in;
  EXPECT_FALSE(in.open(method_plain));  // the user has not opened the file
  in.file.open(path, std::ios::in | std::ios::binary);
  EXPECT_FALSE(in.open(2));
  EXPECT_EQ(in.reader, nullptr);
  EXPECT_TRUE(in.open(method_gzip));
  std::uint8_t byte = 0;
  EXPECT_FALSE(in.reader->read_u8(byte));  // empty file: nothing to read
}

TEST(ArcStreamTest, OpenFailsWhereNoFileCanBeMade) {
  test::temp_folder temp;
  ofstream out;
  EXPECT_FALSE(out.open(wide(temp / "missing" / "file"), method_gzip, 4));
  EXPECT_EQ(out.writer, nullptr);
  EXPECT_TRUE(out.close());  // nothing was open
}

TEST(ArcStreamTest, CloseReportsAFullDisk) {
  for (const std::uint8_t method : {method_plain, method_gzip}) {
    SCOPED_TRACE(static_cast<int>(method));
    ofstream out;
    ASSERT_TRUE(out.open(L"/dev/full", method, 0));
    const std::string body = sample(1 << 20);
    out.writer->write(body.data(), static_cast<std::int32_t>(body.size()));
    EXPECT_FALSE(out.close());
  }
}

TEST(ArcStreamTest, CallbackAppendsRawBytesAfterTheCodedData) {
  test::temp_folder temp;
  const auto path = temp / "with_tail";
  ofstream out;
  ASSERT_TRUE(out.open(wide(path), method_gzip, 4));
  out.writer->write_string("content");
  EXPECT_TRUE(out.close([](stream_writer& raw) { raw.write_u32(0xDDCCBBAAu); }));
  const std::string bytes = test::slurp(path);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(bytes.size() - 4), "\xAA\xBB\xCC\xDD");
  EXPECT_EQ(out.writer, nullptr);
  EXPECT_FALSE(out.file.is_open());
}

TEST(ArcStreamTest, DestructorFinishesTheStream) {
  test::temp_folder temp;
  const auto path = temp / "unclosed";
  {
    ofstream out;
    ASSERT_TRUE(out.open(wide(path), method_gzip, 4));
    out.writer->write_string("kept");
  }
  ifstream in;
  in.file.open(path, std::ios::in | std::ios::binary);
  ASSERT_TRUE(in.open(method_gzip));
  std::string text;
  EXPECT_TRUE(in.reader->read_string(text));
  EXPECT_EQ(text, "kept");
  in.close();
  EXPECT_EQ(in.reader, nullptr);
  EXPECT_FALSE(in.file.is_open());
}

TEST(ArcStreamTest, TruncatedStoredContentIsABadRead) {
  test::temp_folder temp;
  const auto path = temp / "cut";
  ASSERT_TRUE(write_stored(path, method_gzip, sample(200000)));
  std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
  std::string back;
  EXPECT_FALSE(read_stored(path, back));
}

}  // namespace
}  // namespace kestrun::stream::arc
