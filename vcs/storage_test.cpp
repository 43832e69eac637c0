// Opening a storage and replaying its versions through the real folder driver.
#include "vcs/storage.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/stream/binary_io.h"
#include "vcs/kept_state.h"
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

  // The versions a replay read (each read fires its load event; the cache check fires none).
  static std::vector<std::string> loaded() {
    std::vector<std::string> numbers;
    for (const auto& e : test::events_named("kestrun::vcs::load")) {
      if (e.level == 0) numbers.push_back(e.text);
    }
    return numbers;
  }

  // Replays the last version afresh, its versions read and its state's names.
  std::vector<std::string> replay(const std::shared_ptr<storage>& s, std::vector<std::string>& read,
                                  std::int32_t nn = -1) {
    test::recorded_events().clear();
    const auto st = s->state(L"", nn);
    read = loaded();
    return st ? names(*st) : std::vector<std::string>{"(no state)"};
  }

  static void put(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::remove(file);
    std::ofstream(file, std::ios::binary) << bytes;
  }

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

// A run replays only the versions stored after the state it kept; what it reads from the kept
// state is what a replay from version 1 gives, items and all.
TEST_F(StorageTest, KeptStateSparesTheVersionsAlreadyReplayed) {
  store(1, {"D a", "F a/f:1", "D keep"});
  store(2, {"R a/f", "L l>a"});
  store(3, {"F a/f:3"});
  const auto s = open_storage();
  std::vector<std::string> read;
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"a", "a/f", "keep", "l"}));
  EXPECT_EQ(read, (std::vector<std::string>{"1", "2", "3"}));
  ASSERT_TRUE(std::filesystem::exists(kept_state_path(*s->driver())));

  // Nothing new: no version file is read.
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"a", "a/f", "keep", "l"}));
  EXPECT_TRUE(read.empty());
  store(4, {"R l", "D new"});
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"a", "a/f", "keep", "new"}));
  EXPECT_EQ(read, (std::vector<std::string>{"4"}));

  // The kept items are whole: the same sizes, times, identities, targets and owner.
  test::recorded_events().clear();
  const auto from_kept = s->state(L"", -1);
  ASSERT_TRUE(from_kept);
  EXPECT_TRUE(loaded().empty());
  drop_kept_state(*s->driver());
  const auto from_one = s->state(L"", -1);
  ASSERT_TRUE(from_one);
  ASSERT_EQ(names(*from_kept), names(*from_one));
  for (const auto& [name, item] : from_kept->items()) {
    const auto& other = from_one->items().at(name);
    EXPECT_EQ(name.get(), item->name().get());
    EXPECT_EQ(item->owner(), s->driver());
    ASSERT_EQ(item->type(), other->type()) << *name;
    if (item->type() == 'F') {
      auto* a = static_cast<state_item_file*>(item.get());
      auto* b = static_cast<state_item_file*>(other.get());
      EXPECT_EQ(a->size(), b->size());
      EXPECT_EQ(a->time(), b->time());
      EXPECT_EQ(a->identity(), b->identity());
    }
  }

  // A run on a folder below the root filters the kept state and keeps it as it is.
  store(5, {"D a/g"});
  const auto before = kestrun::test::slurp(kept_state_path(*s->driver()));
  test::recorded_events().clear();
  const auto part = s->state(L"a", -1);
  ASSERT_TRUE(part);
  EXPECT_EQ(names(*part), (std::vector<std::string>{"a/f", "a/g"}));
  EXPECT_EQ(loaded(), (std::vector<std::string>{"5"}));
  EXPECT_EQ(kestrun::test::slurp(kept_state_path(*s->driver())), before);

  // An older version is replayed from version 1, and the newer kept state stays for later runs.
  EXPECT_EQ(replay(s, read, 2), (std::vector<std::string>{"a", "keep", "l"}));
  EXPECT_EQ(read, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(kestrun::test::slurp(kept_state_path(*s->driver())), before);
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"a", "a/f", "a/g", "keep", "new"}));
  EXPECT_EQ(read, (std::vector<std::string>{"5"}));
  EXPECT_EQ(replay(s, read, 5), (std::vector<std::string>{"a", "a/f", "a/g", "keep", "new"}));
  EXPECT_TRUE(read.empty());
}

// A kept state replayed from a cache that is no longer the storage's own is not believed.
TEST_F(StorageTest, KeptStateOfAVersionNoLongerTheStoragesOwnIsNotUsed) {
  store(1, {"D a"});
  store(2, {"D b"});
  const auto s = open_storage();
  std::vector<std::string> read;
  ASSERT_EQ(replay(s, read).size(), 2u);

  // Emptied and written anew by another machine: every cached version differs.
  std::filesystem::remove_all(stored_version(1).parent_path());
  store(1, {"D x"});
  store(2, {"D y"});
  store(3, {"D z"});
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"x", "y", "z"}));
  EXPECT_EQ(read, (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(test::events_named("kestrun::vcs::cache::stale").size(), 2u);

  // Rolled back to version 1 (the kept state is for 3), then version 2 written anew: the one
  // cached file that differs is fetched again and the kept state goes with it.
  std::filesystem::remove(stored_version(3));
  std::filesystem::remove(stored_version(2));
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"x"}));
  EXPECT_EQ(read, (std::vector<std::string>{"1"}));
  store(2, {"D w"});
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"w", "x"}));
  EXPECT_EQ(read, (std::vector<std::string>{"1", "2"}));

  // The cached version file the state was kept for is another one now, though the storage
  // holds it too (a backup put its own file in the cache, say): from version 1 again.
  store(2, {"D v"});
  put(s->driver()->local_path(2), kestrun::test::slurp(stored_version(2)));
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"v", "x"}));
  EXPECT_EQ(read, (std::vector<std::string>{"1", "2"}));
  EXPECT_TRUE(test::events_named("kestrun::vcs::cache::stale").empty());

  // A restore of version 2 finds it written anew; then the old version 3 is put back, the very
  // bytes the kept state was replayed up to: the state kept over the old 2 is not believed, the
  // one the restore kept of the new 2 is.
  store(3, {"D u"});
  ASSERT_EQ(replay(s, read).size(), 3u);
  const std::string old_three = kestrun::test::slurp(stored_version(3));
  std::filesystem::remove(stored_version(3));
  store(2, {"D t"});
  EXPECT_EQ(replay(s, read, 2), (std::vector<std::string>{"t", "x"}));
  put(stored_version(3), old_three);
  EXPECT_EQ(replay(s, read), (std::vector<std::string>{"t", "u", "x"}));
  EXPECT_EQ(read, (std::vector<std::string>{"3"}));
}

// A kept state that is damaged, cut short or not this storage's is ignored, and the run replays
// from version 1 and keeps a good one again.
TEST_F(StorageTest, DamagedOrForeignKeptStateIsIgnored) {
  store(1, {"D a", "F a/f:1"});
  store(2, {"D b", "L b/l>a/f"});
  const auto s = open_storage();
  std::vector<std::string> read;
  const std::vector<std::string> all = {"a", "a/f", "b", "b/l"};
  ASSERT_EQ(replay(s, read), all);
  const std::filesystem::path kept = kept_state_path(*s->driver());
  const std::string good = kestrun::test::slurp(kept);
  ASSERT_GT(good.size(), 100u);

  // The same tree kept for another storage of the same project, and for another project.
  const auto other_storage = std::make_shared<storage>(
      storage_driver_for(platform::wide_from_path(storage_folder_.path()) + L"/"));
  ASSERT_EQ(replay(other_storage, read), all);
  const std::string foreign_storage =
      kestrun::test::slurp(kept_state_path(*other_storage->driver()));
  std::string foreign_project = good;
  foreign_project.replace(foreign_project.find("a/b"), 3, "a/c");

  const auto flipped = [&](std::size_t at) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    return bytes;
  };
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"magic", flipped(0)},
      {"format", flipped(4)},
      {"version number", flipped(good.find('\0', good.find("a/b") + 4) + 1)},
      {"an entry's path", flipped(good.find("a/f"))},
      {"the digest", flipped(good.size() - 1)},
      {"cut to its header", good.substr(0, 60)},
      {"cut in its body", good.substr(0, good.size() - 40)},
      {"without its digest", good.substr(0, good.size() - 32)},
      {"one byte more", good + "x"},
      {"another storage's", foreign_storage},
      {"another project's", foreign_project},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put(kept, c.bytes);
    EXPECT_EQ(replay(s, read), all);
    EXPECT_EQ(read, (std::vector<std::string>{"1", "2"}));
    // Written anew after the replay, and used by the next one.
    EXPECT_EQ(replay(s, read), all);
    EXPECT_TRUE(read.empty());
  }

  // Not a file at all: ignored, and left as it is.
  std::filesystem::remove(kept);
  std::filesystem::create_directory(kept);
  EXPECT_EQ(replay(s, read), all);
  EXPECT_EQ(read, (std::vector<std::string>{"1", "2"}));
  EXPECT_TRUE(std::filesystem::is_directory(kept));
}

}  // namespace
}  // namespace kestrun::vcs
