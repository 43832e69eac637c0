// Loading a transform: from the local cache, fetched through the real folder driver, and every
// failure with its level-2 event.
#include "vcs/transform.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/params.h"
#include "common/stream/gz_buffer.h"
#include "vcs/state_item.h"
#include "vcs/state_test_fixture.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {
namespace {

std::string gzip(const std::string& plain) {
  std::ostringstream out;
  stream::gz::obuffer codec(out, 9);
  std::ostream coded(&codec);
  coded << plain;
  coded.flush();
  return out.str();
}

class TransformTest : public test::project_fixture {
 protected:
  // Version nn in the storage folder, holding one folder named `folder`.
  void store(std::uint32_t nn, const std::string& folder) {
    std::filesystem::create_directories(stored_version(nn).parent_path());
    auto item = std::make_shared<state_item_dir>(nullptr, std::make_shared<std::string>(folder));
    ASSERT_TRUE(write_version_file(
        stored_version(nn), 1000,
        {std::make_shared<transform_command>(transform_command::add, item->name(), item)}));
  }

  // One "kestrun::vcs::load" event with that level and nn, and nothing else of the kind.
  static void expect_load_event(std::uint32_t level, std::uint32_t nn) {
    const auto loads = test::events_named("kestrun::vcs::load");
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].level, level);
    EXPECT_EQ(loads[0].text, std::to_string(nn));
  }
};

TEST_F(TransformTest, FetchesIntoTheCacheAndLoads) {
  folder_.write("fetched/data.bin", std::string("\0\1\2", 3));
  const auto name = [](const char* text) { return std::make_shared<std::string>(text); };
  auto dir = std::make_shared<state_item_dir>(nullptr, name("fetched"));
  auto file = std::make_shared<state_item_file>(local_driver(), name("fetched/data.bin"), 3, 77);
  auto link = std::make_shared<state_item_link>(nullptr, name("l\xc3\xa9"), "fetched");
  const transform_commands written = {
      std::make_shared<transform_command>(transform_command::remove, name("old/\xc3\xa9")),
      std::make_shared<transform_command>(transform_command::add, dir->name(), dir),
      std::make_shared<transform_command>(transform_command::add, file->name(), file),
      std::make_shared<transform_command>(transform_command::add, link->name(), link)};
  std::filesystem::create_directories(stored_version(2).parent_path());
  ASSERT_TRUE(write_version_file(stored_version(2), 1000, written));

  const auto driver = folder_storage();
  transform t(driver, 0xFFFFFFFF);
  ASSERT_TRUE(t.load(2));
  expect_load_event(0, 2);
  EXPECT_EQ(t.nn(), 2u);
  EXPECT_EQ(t.time(), 1000);
  ASSERT_EQ(t.commands().size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    const auto& got = *t.commands()[i];
    SCOPED_TRACE(*got.path());
    EXPECT_EQ(got.type(), written[i]->type());
    EXPECT_EQ(*got.path(), *written[i]->path());
    if (got.type() == transform_command::remove) continue;
    ASSERT_TRUE(got.item());
    EXPECT_EQ(got.item()->type(), written[i]->item()->type());
    EXPECT_EQ(got.item()->owner(), driver);
    EXPECT_TRUE(got.item()->equals(written[i]->item()));
  }
  EXPECT_EQ(static_cast<state_item_file*>(t.commands()[2]->item().get())->identity(),
            file->identity());
  EXPECT_TRUE(std::filesystem::is_regular_file(driver->local_path(2)));
  EXPECT_EQ(test::events_named("kestrun::vcs::storage_driver.connect").size(), 1u);
  EXPECT_EQ(test::events_named("kestrun::vcs::storage_driver.disconnect").size(), 1u);
}

TEST_F(TransformTest, CachedFileWinsAndIsNeverFetchedAgain) {
  store(1, "stored");
  const auto driver = folder_storage();
  std::filesystem::create_directories(driver->local_path(1).parent_path());
  auto item = std::make_shared<state_item_dir>(nullptr, std::make_shared<std::string>("cached"));
  ASSERT_TRUE(write_version_file(
      driver->local_path(1), 0,
      {std::make_shared<transform_command>(transform_command::add, item->name(), item)}));

  transform t(driver, 0xFFFFFFFF);
  ASSERT_TRUE(t.load(1));
  EXPECT_EQ(*t.commands()[0]->path(), "cached");
  EXPECT_TRUE(test::events_named("kestrun::vcs::storage_driver.connect").empty());

  // A foreign cached file fails, and still the storage's good copy is not fetched.
  std::ofstream(driver->local_path(1), std::ios::binary | std::ios::trunc) << "not gzip at all";
  test::recorded_events().clear();
  transform again(driver, 0xFFFFFFFF);
  EXPECT_FALSE(again.load(1));
  expect_load_event(2, 1);
  EXPECT_TRUE(test::events_named("kestrun::vcs::storage_driver.connect").empty());
  EXPECT_EQ(kestrun::test::slurp(driver->local_path(1)), "not gzip at all");
}

TEST_F(TransformTest, MissingVersionConnectsOnceAndCachesNothing) {
  store(1, "one");
  const auto driver = folder_storage();
  transform t(driver, 0xFFFFFFFF);
  EXPECT_FALSE(t.load(3));
  expect_load_event(2, 3);
  EXPECT_EQ(test::events_named("kestrun::vcs::storage_driver.connect").size(), 1u);
  EXPECT_EQ(test::events_named("kestrun::vcs::storage_driver.disconnect").size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(driver->local_path(3)));
}

TEST_F(TransformTest, UnreadableCachedFilesFail) {
  const auto driver = folder_storage();
  struct row {
    const char* what;
    std::string bytes;  // empty: a folder stands at the cache path
  };
  const row rows[] = {
      {"a folder", ""},
      {"gzip of foreign bytes", gzip("KVCX and more")},
      {"gzip cut short", gzip("KVCS" + std::string(100, '\x01')).substr(0, 20)},
      {"plain bytes", "KVCS" + std::string(12, '\0')},
  };
  std::uint32_t nn = 10;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    const auto local = driver->local_path(++nn);
    std::filesystem::create_directories(local.parent_path());
    if (r.bytes.empty()) {
      std::filesystem::create_directory(local);
    } else {
      std::ofstream(local, std::ios::binary) << r.bytes;
    }
    test::recorded_events().clear();
    transform t(driver, 0xFFFFFFFF);
    EXPECT_FALSE(t.load(nn));
    expect_load_event(2, nn);
    EXPECT_TRUE(test::events_named("kestrun::vcs::storage_driver.connect").empty());
  }
}

// Only a fetched file read through to its checked end enters the cache; anything less is
// fetched again by the next load, so a storage that later serves the whole file recovers.
TEST_F(TransformTest, DamagedFetchCachesNothing) {
  store(1, "stored");
  const std::string whole = kestrun::test::slurp(stored_version(1));
  std::string bad_crc = whole;
  bad_crc[bad_crc.size() - 8] = static_cast<char>(bad_crc[bad_crc.size() - 8] ^ 0x01);
  struct row {
    const char* what;
    std::string bytes;
  };
  const row rows[] = {
      {"cut short", whole.substr(0, whole.size() / 2)},
      {"trailer missing", whole.substr(0, whole.size() - 8)},
      {"CRC-32 wrong", bad_crc},
      {"not gzip", "KVCS"},
  };
  const auto driver = folder_storage();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    std::ofstream(stored_version(1), std::ios::binary | std::ios::trunc) << r.bytes;
    test::recorded_events().clear();
    transform t(driver, 0xFFFFFFFF);
    EXPECT_FALSE(t.load(1));
    expect_load_event(2, 1);
    EXPECT_FALSE(std::filesystem::exists(driver->local_path(1)));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(project_->temp.path()))
      EXPECT_FALSE(entry.is_regular_file()) << entry.path();
  }
  std::ofstream(stored_version(1), std::ios::binary | std::ios::trunc) << whole;
  test::recorded_events().clear();
  transform t(driver, 0xFFFFFFFF);
  ASSERT_TRUE(t.load(1));
  EXPECT_EQ(*t.commands()[0]->path(), "stored");
  EXPECT_EQ(kestrun::test::slurp(driver->local_path(1)), whole);
}

TEST_F(TransformTest, HostileVersionIsRefused) {
  std::filesystem::create_directories(stored_version(1).parent_path());
  auto item = std::make_shared<state_item_dir>(nullptr, std::make_shared<std::string>("../x"));
  ASSERT_TRUE(write_version_file(
      stored_version(1), 0,
      {std::make_shared<transform_command>(transform_command::add, item->name(), item)}));
  transform t(folder_storage(), 0xFFFFFFFF);
  EXPECT_FALSE(t.load(1));
  expect_load_event(2, 1);
}

TEST_F(TransformTest, RefusedConnectionFailsTheLoad) {
  // A storage folder that is gone: the driver loads but cannot connect.
  const auto driver = storage_driver_for(platform::wide_from_path(folder_ / "no-such-folder"));
  transform t(driver, 0xFFFFFFFF);
  EXPECT_FALSE(t.load(1));
  expect_load_event(2, 1);
  const auto connects = test::events_named("kestrun::vcs::storage_driver.connect");
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].level, 2u);
  EXPECT_TRUE(test::events_named("kestrun::vcs::storage_driver.disconnect").empty());
}

TEST_F(TransformTest, DownloadOnlyWhenPresentAndOnlyDoneCounts) {
  // The scripted driver answers the number after the last '#' of a remote name, so the project
  // name decides what file_exists and download say.
  struct row {
    const char* project_name;
    const char* calls;  // the journal after "connect"
  };
  const row rows[] = {{"a/b#1", "file_exists download disconnect"},  // download gives 1
                      {"a/b#99", "file_exists disconnect"},          // existence unknown
                      {"a/b#2", "file_exists disconnect"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.project_name);
    kestrun::test::temp_folder folder;
    kestrun::params settings;
    ASSERT_TRUE(settings.load("{}"));
    project proj(platform::path_from_wide(platform::wide_from_path(folder.path()) + L"/"),
                 r.project_name, settings);
    const auto journal = folder / "journal";
    auto driver = std::make_shared<storage_driver>(L"fake://" + platform::wide_from_path(journal),
                                                   0, &proj, &proj.temp, test::driver_folder());
    transform t(driver, 0xFFFFFFFF);
    EXPECT_FALSE(t.load(3));
    EXPECT_FALSE(std::filesystem::exists(driver->local_path(3)));
    std::istringstream lines(kestrun::test::slurp(journal));
    std::string line;
    std::string calls;
    while (std::getline(lines, line)) {
      const std::string word = line.substr(0, line.find(' '));
      if (word != "connect") calls += (calls.empty() ? "" : " ") + word;
    }
    EXPECT_EQ(calls, r.calls);
  }
}

TEST_F(TransformTest, NewTransformKeepsItsCommandsAndTakesTheTimeNow) {
  auto item = std::make_shared<state_item_dir>(nullptr, std::make_shared<std::string>("d"));
  const transform_commands commands = {
      std::make_shared<transform_command>(transform_command::add, item->name(), item),
      std::make_shared<transform_command>(transform_command::remove, item->name())};
  const std::int64_t before = std::time(nullptr);
  transform t(local_driver(), 5, commands);
  EXPECT_GE(t.time(), before);
  EXPECT_LE(t.time(), std::time(nullptr));
  EXPECT_EQ(t.nn(), 5u);
  ASSERT_EQ(t.commands().size(), 2u);
  EXPECT_EQ(t.commands()[0], commands[0]);
  EXPECT_EQ(t.commands()[0]->item(), item);
  EXPECT_EQ(t.commands()[0]->path(), item->name());
  EXPECT_FALSE(t.commands()[1]->item());
}

}  // namespace
}  // namespace kestrun::vcs
