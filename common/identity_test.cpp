// hash_file: the identity layout, the pieces handed to the callback and the failure result.
#include "common/identity.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/bytes.h"
#include "tests/support/temp_folder.h"

namespace kestrun {
namespace {

using test::hex;

std::string content(std::size_t size) { return test::pattern_bytes(size); }

TEST(IdentityTest, IdentitiesAndPieces) {
  struct row {
    std::size_t size;
    const char* identity;  // digest, then the CRC least significant byte first
    std::vector<std::int64_t> pieces;
  };
  const row rows[] = {
      {0,
       "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470"
       "00000000",
       {0}},
      {135,
       "00ef96af9cf4b24c7f269d922294444a197d0a33638c2e56634c57e892103a8f"
       "7c16141d",
       {135}},
      {136,
       "742061bcad767ed4c4f5883b1dcb1aad11afdcc140dc469d953759b127b9f9ed"
       "19b1a047",
       {136}},
      {137,
       "e3371f61e770abf254c34239c3b0099ad90594507415bc81dd0a10b9692bbf2a"
       "f88d9dea",
       {137}},
      {272,
       "ac141fd7b0a0ffcd2e967254d508da3ec616596493c36fa304425647d90e6de5"
       "a7a78991",
       {272, 0}},
      {273,
       "16192ea86793083e47731cb3c970600f04768414d92bc0540e54ce8607a0fce0"
       "e7702d53",
       {272, 1}},
      {544,
       "48dcd3f02d97eb8e815292f694f0d45e4472fac16744b288f261c03dbd402cc7"
       "de6c1f31",
       {272, 272, 0}},
  };
  test::temp_folder dir;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.size);
    const auto file = dir.write("f" + std::to_string(r.size), content(r.size));
    std::vector<std::int64_t> pieces;
    std::string seen;
    std::string identity = "old";
    ASSERT_TRUE(hash_file(
        file,
        [&](const char* data, std::int64_t size) {
          pieces.push_back(size);
          seen.append(data, static_cast<std::size_t>(size));
        },
        identity));
    EXPECT_EQ(hex(identity), r.identity);
    EXPECT_EQ(pieces, r.pieces);
    EXPECT_EQ(seen, content(r.size));
  }
}

TEST(IdentityTest, Abc) {
  test::temp_folder dir;
  std::string identity;
  ASSERT_TRUE(hash_file(dir.write("abc", "abc"), {}, identity));
  ASSERT_EQ(identity.size(), 36u);
  EXPECT_EQ(hex(identity.substr(0, 4)), "4e03657a");
  EXPECT_EQ(hex(identity.substr(32)), "c2412435");
}

TEST(IdentityTest, LargeFileReadInManyPiecesAgreesWithTheHasherParts) {
  // Crosses the internal read size several times, with a short tail.
  test::temp_folder dir;
  const std::string data = content(272 * 1000 + 5);
  std::string identity;
  std::size_t calls = 0;
  std::int64_t last = -1;
  ASSERT_TRUE(hash_file(
      dir.write("big", data),
      [&](const char*, std::int64_t size) {
        ++calls;
        last = size;
      },
      identity));
  EXPECT_EQ(calls, 1001u);
  EXPECT_EQ(last, 5);
  std::string again;
  ASSERT_TRUE(hash_file(dir.write("copy", data), {}, again));
  EXPECT_EQ(again, identity);
}

TEST(IdentityTest, BlocksGiveTheWholeContentAndTheSameIdentity) {
  test::temp_folder dir;
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{272}, std::size_t{272 * 240}, std::size_t{272 * 1000 + 5}}) {
    SCOPED_TRACE(size);
    const auto file = dir.write("f" + std::to_string(size), content(size));
    std::string seen;
    std::size_t calls = 0;
    std::string identity;
    ASSERT_TRUE(hash_file_blocks(
        file,
        [&](const char* data, std::size_t got) {
          ++calls;
          EXPECT_GT(got, 0u);
          seen.append(data, got);
        },
        identity));
    EXPECT_EQ(seen, content(size));
    EXPECT_EQ(calls == 0, size == 0);  // an empty file gives no block at all
    std::string by_pieces;
    ASSERT_TRUE(hash_file(file, {}, by_pieces));
    EXPECT_EQ(identity, by_pieces);
  }
  std::string kept = "kept";
  EXPECT_FALSE(hash_file_blocks(dir / "missing", {}, kept));
  EXPECT_FALSE(hash_file_blocks(dir.path(), {}, kept));  // a folder
  EXPECT_EQ(kept, "kept");
}

// A FIFO in a file's place (swapped in after the scan looked) is refused at once: opening it for
// reading would wait for a writer that never comes.
TEST(IdentityTest, UnreadablePathsGiveFalseAndKeepTheIdentity) {
  test::temp_folder dir;
  std::filesystem::create_directory(dir / "folder");
  std::vector<std::filesystem::path> paths{dir / "missing", dir / "folder"};
  if (std::system(("mkfifo '" + (dir / "fifo").string() + "' 2>/dev/null").c_str()) == 0) {
    paths.push_back(dir / "fifo");
  }
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    std::string identity = "kept";
    bool called = false;
    EXPECT_FALSE(hash_file(
        path, [&](const char*, std::int64_t) { called = true; }, identity));
    EXPECT_EQ(identity, "kept");
    EXPECT_FALSE(called);
  }
}

TEST(IdentityTest, CallbackExceptionPassesThrough) {
  test::temp_folder dir;
  std::string identity = "kept";
  EXPECT_THROW(hash_file(
                   dir.write("f", "data"),
                   [](const char*, std::int64_t) { throw std::runtime_error("stop"); }, identity),
               std::runtime_error);
  EXPECT_EQ(identity, "kept");
}

}  // namespace
}  // namespace kestrun
