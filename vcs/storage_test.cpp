// Opening a storage and replaying its versions through the real folder driver.
#include "vcs/storage.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/stream/binary_io.h"
#include "vcs/state.h"
#include "vcs/state_item.h"
#include "vcs/state_test_fixture.h"
#include "vcs/transform.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {
namespace {

class StorageTest : public test::project_fixture {
 protected:
  // Stores version nn from commands written as "R path", "D path", "L path>target" and
  // "F path:size".
  void store(std::uint32_t nn, const std::vector<std::string>& lines) {
    transform_commands commands;
    for (const auto& line : lines) {
      const std::string rest = line.substr(2);
      if (line[0] == 'R') {
        commands.push_back(std::make_shared<transform_command>(
            transform_command::remove, std::make_shared<std::string>(rest)));
        continue;
      }
      std::shared_ptr<state_item> item;
      if (line[0] == 'D') {
        item = std::make_shared<state_item_dir>(nullptr, std::make_shared<std::string>(rest));
      } else if (line[0] == 'L') {
        const std::size_t arrow = rest.find('>');
        item = std::make_shared<state_item_link>(
            nullptr, std::make_shared<std::string>(rest.substr(0, arrow)), rest.substr(arrow + 1));
      } else {
        // As a version file brings it: with its identity, without a file on the disk.
        const std::size_t colon = rest.find(':');
        std::ostringstream body;
        stream_writer writer(body);
        writer.write_u64(std::stoull(rest.substr(colon + 1)));
        writer.write_u64(0);
        writer.write(std::string(36, 'i').data(), 36);
        std::istringstream in(body.str());
        stream_reader reader(in);
        item = std::make_shared<state_item_file>(
            nullptr, std::make_shared<std::string>(rest.substr(0, colon)), reader);
      }
      commands.push_back(
          std::make_shared<transform_command>(transform_command::add, item->name(), item));
    }
    std::filesystem::create_directories(stored_version(nn).parent_path());
    // Written anew, never in place: the folder driver hands out a stored file as a hard link.
    std::filesystem::remove(stored_version(nn));
    ASSERT_TRUE(write_version_file(stored_version(nn), 0, commands));
  }

  std::shared_ptr<storage> open_storage() { return std::make_shared<storage>(folder_storage()); }

  static std::vector<std::string> names(const state& s) {
    std::vector<std::string> found;
    for (const auto& [name, item] : s.items()) found.push_back(*name);
    return found;
  }
};

TEST_F(StorageTest, OpenNeedsABoundDriverThatConnects) {
  EXPECT_FALSE(storage::open(*project_, L"nosuch://anything"));
  EXPECT_TRUE(test::events_named("kestrun::vcs::storage_driver.connect").empty());
  // An empty link binds nothing and needs nothing.
  const auto empty = storage::open(*project_, L"");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->driver()->link(), L"");
  EXPECT_FALSE(empty->driver()->is_local());
}

TEST_F(StorageTest, VersionZeroGivesAnEmptyStateWithoutLoading) {
  store(1, {"D a"});
  const auto st = open_storage()->state(L"", 0);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->nn(), 0);
  EXPECT_TRUE(st->items().empty());
  EXPECT_EQ(test::events_named("kestrun::vcs::storage::state::path")[0].text, "");
  EXPECT_EQ(test::events_named("kestrun::vcs::storage::state::nn")[0].text, "0");
  EXPECT_TRUE(test::events_named("kestrun::vcs::load").empty());
}

TEST_F(StorageTest, ReplayAddsRemovesAndAddsAgain) {
  store(1, {"D a", "F a/f:1", "D keep"});
  store(2, {"R a/f", "L l>a"});
  store(3, {"F a/f:3", "D keep"});  // an add over an existing entry leaves the older one
  const auto s = open_storage();
  EXPECT_EQ(s->last_nn(), 3);
  test::recorded_events().clear();
  const auto st = s->state(L"", -1);
  ASSERT_TRUE(st);
  EXPECT_EQ(st->nn(), 3);
  EXPECT_EQ(test::events_named("kestrun::vcs::storage::state::nn")[0].text, "3");
  EXPECT_EQ(test::events_named("kestrun::vcs::load").size(), 3u);
  EXPECT_EQ(names(*st), (std::vector<std::string>{"a", "a/f", "keep", "l"}));
  const auto& file = st->items().find(std::make_shared<std::string>("a/f"))->second;
  EXPECT_EQ(static_cast<state_item_file*>(file.get())->size(), 3u);
  EXPECT_EQ(file->owner(), s->driver());
  EXPECT_EQ(st->driver(), s->driver());
  for (const auto& [name, item] : st->items()) EXPECT_EQ(name.get(), item->name().get());

  // The fetched versions are cached: a second replay only proves the newest of them the
  // storage's own, with one connection, and reads the rest from the cache.
  test::recorded_events().clear();
  ASSERT_TRUE(s->state(L"", 3));
  EXPECT_EQ(test::events_named("kestrun::vcs::storage_driver.connect").size(), 1u);
  EXPECT_TRUE(test::events_named("kestrun::vcs::cache::stale").empty());
}

TEST_F(StorageTest, PrefixKeepsOnlyPathsBelowIt) {
  store(1, {"D src", "F src/a:1", "D src/sub", "F srcx/a:1", "F other:1", "D s\xc3\xa9"});
  const auto st = open_storage()->state(L"src", -1);
  ASSERT_TRUE(st);
  EXPECT_EQ(test::events_named("kestrun::vcs::storage::state::path")[0].text, "src");
  EXPECT_EQ(names(*st), (std::vector<std::string>{"src/a", "src/sub"}));
  const auto wide = open_storage()->state(L"s\u00e9", -1);
  EXPECT_TRUE(wide->items().empty());
}

TEST_F(StorageTest, MissingVersionFailsTheWholeReplay) {
  store(1, {"D a"});
  store(2, {"D b"});
  const auto st = open_storage()->state(L"", 3);
  EXPECT_FALSE(st);
  const auto loads = test::events_named("kestrun::vcs::load");
  ASSERT_EQ(loads.size(), 3u);
  EXPECT_EQ(loads[0].level, 0u);
  EXPECT_EQ(loads[1].level, 0u);
  EXPECT_EQ(loads[2].level, 2u);
  EXPECT_EQ(loads[2].text, "3");
}

TEST_F(StorageTest, UnreachableStorageGivesNoStateForTheLast) {
  kestrun::test::temp_folder gone;
  const auto s = std::make_shared<storage>(
      storage_driver_for(platform::wide_from_path(gone.path() / "vanished")));
  EXPECT_FALSE(s->state(L"", -1));
  // No state of a made-up number: the refused connection is the last word.
  EXPECT_TRUE(test::events_named("kestrun::vcs::storage::state::nn").empty());
  EXPECT_TRUE(test::events_named("kestrun::vcs::load").empty());
  EXPECT_EQ(test::recorded_events().back().name, "kestrun::vcs::storage_driver.connect");
  EXPECT_EQ(test::recorded_events().back().level, 2u);
}

TEST_F(StorageTest, GapInTheHistoryGivesNoState) {
  store(1, {"D a"});
  store(3, {"D c"});
  const auto st = open_storage()->state(L"", -1);
  EXPECT_FALSE(st);
  EXPECT_TRUE(test::events_named("kestrun::vcs::storage::state::nn").empty());
  ASSERT_FALSE(test::recorded_events().empty());
  EXPECT_EQ(test::recorded_events().back().name, "kestrun::vcs::load");
  EXPECT_EQ(test::recorded_events().back().level, 2u);
  EXPECT_EQ(test::recorded_events().back().text, "2");
}

// The cache of a storage that was emptied and written anew, or rolled back and rewritten by
// another machine: only the storage's own version files are replayed, and only the versions that
// differ are fetched again.
TEST_F(StorageTest, CachedVersionsThatAreNoLongerTheStoragesOwnAreFetchedAgain) {
  store(1, {"D a", "F a/f:1"});
  store(2, {"D b"});
  store(3, {"D c"});
  const auto s = open_storage();
  ASSERT_TRUE(s->state(L"", -1));  // caches 1 to 3

  // Rolled back to version 1, and another machine writes 2 anew.
  std::filesystem::remove(stored_version(3));
  store(2, {"R a/f", "D other"});
  test::recorded_events().clear();
  auto st = s->state(L"", -1);
  ASSERT_TRUE(st);
  EXPECT_EQ(names(*st), (std::vector<std::string>{"a", "other"}));
  const auto stale = test::events_named("kestrun::vcs::cache::stale");
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].level, 1u);
  EXPECT_EQ(stale[0].text, "2");
  // The count, version 2 found different, version 1 found the same: three connections.
  EXPECT_EQ(test::events_named("kestrun::vcs::storage_driver.connect").size(), 3u);

  // Emptied, then written anew from another folder: every cached version differs.
  std::filesystem::remove_all(stored_version(1).parent_path());
  store(1, {"D x"});
  store(2, {"D y"});
  test::recorded_events().clear();
  st = s->state(L"", -1);
  ASSERT_TRUE(st);
  EXPECT_EQ(names(*st), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(test::events_named("kestrun::vcs::cache::stale").size(), 2u);
  // Now the cache is the storage's own again.
  test::recorded_events().clear();
  ASSERT_TRUE(s->state(L"", -1));
  EXPECT_TRUE(test::events_named("kestrun::vcs::cache::stale").empty());
}

TEST_F(StorageTest, CachedVersionTheStorageLostIsNotReplayed) {
  store(1, {"D a"});
  store(2, {"D b"});
  const auto s = open_storage();
  ASSERT_TRUE(s->state(L"", 2));
  std::filesystem::remove(stored_version(2));
  test::recorded_events().clear();
  EXPECT_FALSE(s->state(L"", 2));
  EXPECT_FALSE(std::filesystem::exists(s->driver()->local_path(2)));
  EXPECT_EQ(test::recorded_events().back().name, "kestrun::vcs::load");
  EXPECT_EQ(test::recorded_events().back().text, "2");
}

TEST_F(StorageTest, CachedVersionThatCannotBeCheckedFailsTheReplay) {
  store(1, {"D a"});
  const auto s = open_storage();
  ASSERT_TRUE(s->state(L"", 1));
  // The storage's file is damaged: the cache cannot be proven, and it stays as it was.
  const std::string cached = kestrun::test::slurp(s->driver()->local_path(1));
  std::filesystem::remove(stored_version(1));
  std::ofstream(stored_version(1), std::ios::binary) << "not a version file";
  test::recorded_events().clear();
  EXPECT_FALSE(s->state(L"", 1));
  EXPECT_EQ(test::recorded_events().back().name, "kestrun::vcs::load");
  EXPECT_EQ(test::recorded_events().back().level, 2u);
  EXPECT_EQ(kestrun::test::slurp(s->driver()->local_path(1)), cached);
}

}  // namespace
}  // namespace kestrun::vcs
