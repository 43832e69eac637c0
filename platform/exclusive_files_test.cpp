// Locks, files created new and files placed without replacing another, on every platform.
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileLock, OneHolderAtATimeUntilReleased) {
  const test::temp_folder temp;
  const fs::path path = temp / "lock";
  std::error_code ec;
  file_lock first;
  ASSERT_TRUE(first.acquire(path, ec)) << ec.message();
  EXPECT_TRUE(first.held());
  file_lock second;
  EXPECT_FALSE(second.acquire(path, ec));
  EXPECT_EQ(ec, std::errc::device_or_resource_busy);
  EXPECT_FALSE(second.held());
  // A lock moved to another owner stays held.
  file_lock moved = std::move(first);
  EXPECT_FALSE(first.held());
  EXPECT_FALSE(second.acquire(path, ec));
  moved.release();
  EXPECT_TRUE(second.acquire(path, ec)) << ec.message();
  EXPECT_TRUE(fs::exists(path));  // the file stays: removing it would let two runs in
}

TEST(FileLock, MissingFolderIsAnError) {
  const test::temp_folder temp;
  std::error_code ec;
  file_lock lock;
  EXPECT_FALSE(lock.acquire(temp / "none" / "lock", ec));
  EXPECT_TRUE(ec);
  EXPECT_NE(ec, std::errc::device_or_resource_busy);
}

TEST(NewFile, NeverOpensWhatHoldsTheName) {
  const test::temp_folder temp;
  std::error_code ec;
  const fs::path fresh = temp / "fresh";
  ASSERT_TRUE(create_new_file(fresh, ec)) << ec.message();
  EXPECT_EQ(fs::file_size(fresh), 0u);
  const fs::path held = temp.write("held", "kept");
  EXPECT_FALSE(create_new_file(held, ec));
  EXPECT_EQ(ec, std::errc::file_exists);
  EXPECT_EQ(test::slurp(held), "kept");

  const fs::path source = temp.write("source", std::string(300000, 's'));
  for (const bool flush : {false, true}) {
    const fs::path copy = temp / ("copy" + std::to_string(flush));
    ASSERT_TRUE(copy_to_new_file(source, copy, flush, ec)) << ec.message();
    EXPECT_EQ(test::slurp(copy), std::string(300000, 's'));
  }
  EXPECT_FALSE(copy_to_new_file(source, held, false, ec));
  EXPECT_EQ(ec, std::errc::file_exists);
  EXPECT_EQ(test::slurp(held), "kept");
  EXPECT_FALSE(copy_to_new_file(temp / "missing", temp / "copy-of-missing", false, ec));
  EXPECT_FALSE(fs::exists(temp / "copy-of-missing"));
}

TEST(PlaceNewFile, TakesAFreeNameAndNeverReplaces) {
  const test::temp_folder temp;
  std::error_code ec;
  const fs::path first = temp.write("first.partial", "first");
  EXPECT_EQ(place_new_file(first, temp / "stored", ec), t_placed::placed) << ec.message();
  EXPECT_EQ(test::slurp(temp / "stored"), "first");
  EXPECT_FALSE(fs::exists(first));

  const fs::path second = temp.write("second.partial", "second");
  EXPECT_EQ(place_new_file(second, temp / "stored", ec), t_placed::taken);
  EXPECT_EQ(test::slurp(temp / "stored"), "first");
  EXPECT_EQ(test::slurp(second), "second");  // left for the caller to remove

  EXPECT_EQ(place_new_file(temp / "gone", temp / "other", ec), t_placed::failed);
  EXPECT_FALSE(fs::exists(temp / "other"));

  EXPECT_TRUE(sync_folder(temp.path(), ec)) << ec.message();
  if (can_sync_file_system()) {
    EXPECT_TRUE(sync_file_system(temp.path(), ec)) << ec.message();
  } else {
    EXPECT_FALSE(sync_file_system(temp.path(), ec));
    EXPECT_EQ(ec, std::errc::not_supported);
  }
}

// A further name for a finished file: it shows the whole content, never takes a name that is
// there, and leaves the first name as it was. With `flush` too, which only adds the flush.
TEST(LinkFile, GivesAFreeNameTheWholeFileAndNeverReplaces) {
  const test::temp_folder temp;
  std::error_code ec;
  for (const bool flush : {false, true}) {
    SCOPED_TRACE(flush ? "flushed" : "not flushed");
    const std::string content(300000, flush ? 'f' : 'n');
    const fs::path packed = temp.write(flush ? "packed-f" : "packed-n", content);
    const fs::path stored = temp / (flush ? "stored-f" : "stored-n");
    ASSERT_EQ(link_file(packed, stored, flush, ec), t_placed::placed) << ec.message();
    EXPECT_EQ(test::slurp(stored), content);
    EXPECT_EQ(test::slurp(packed), content);

    const fs::path other = temp.write(flush ? "other-f" : "other-n", "other");
    EXPECT_EQ(link_file(other, stored, flush, ec), t_placed::taken);
    EXPECT_EQ(test::slurp(stored), content);
    fs::remove(packed);  // the packed copy goes; the stored name keeps the content
    EXPECT_EQ(test::slurp(stored), content);
  }
  EXPECT_EQ(link_file(temp / "gone", temp / "nowhere", false, ec), t_placed::failed);
  EXPECT_TRUE(is_not_found(ec)) << ec.message();
  EXPECT_FALSE(fs::exists(temp / "nowhere"));
  const fs::path file = temp.write("file", "x");
  EXPECT_EQ(link_file(file, temp / "missing" / "name", false, ec), t_placed::failed);
  EXPECT_TRUE(is_not_found(ec)) << ec.message();
}

}  // namespace
}  // namespace kestrun::platform
