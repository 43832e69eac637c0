// The work folder's record of identities: trusted only while size and time match, never believed
// when damaged, cut short or another project's, and written beside, never through, the old one.
#include "vcs/identity_cache.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/identity.h"
#include "common/keccak.h"
#include "platform/platform.h"
#include "tests/support/platform_facts.h"
#include "vcs/state.h"
#include "vcs/state_item.h"
#include "vcs/state_test_fixture.h"

namespace kestrun::vcs {
namespace {

using t_entry = identity_cache::t_entry;

const std::string fake_identity(36, 'x');  // no content has it: seen, it proves nothing was read

std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The digest after a change made by hand, so that only the change itself is judged.
std::string resealed(std::string bytes) {
  bytes.resize(bytes.size() - 32);
  keccak hasher(256);
  hasher.add(bytes.data(), bytes.size());
  std::string digest;
  hasher.digest(digest);
  return bytes + digest;
}

class IdentityCacheTest : public test::project_fixture {
 protected:
  std::string owner() const { return identity_cache::owner_of(*project_); }

  std::shared_ptr<state_item_file> disk_file(const std::string& name, std::uint64_t size,
                                             std::int64_t time) {
    return std::make_shared<state_item_file>(local_, std::make_shared<std::string>(name), size,
                                             time);
  }

  std::shared_ptr<state> scanned(const std::vector<std::shared_ptr<state_item>>& files) {
    state_items items;
    for (const auto& item : files) add_item(items, item);
    return std::make_shared<state>(local_, -1, items);
  }

  // A stored item as a version file gives it: the identity is part of it.
  std::shared_ptr<state_item_file> stored_file(const std::string& name, std::uint64_t size,
                                               std::int64_t time, const std::string& identity) {
    auto item =
        std::make_shared<state_item_file>(stored_, std::make_shared<std::string>(name), size, time);
    item->learn_identity(identity);
    return item;
  }

  void SetUp() override {
    project_fixture::SetUp();
    local_ = local_driver();
    stored_ = std::make_shared<storage_driver>(std::wstring(), 0, project_.get(), &project_->temp);
  }

  std::shared_ptr<storage_driver> local_;
  std::shared_ptr<storage_driver> stored_;
};

TEST_F(IdentityCacheTest, IdentityIsTakenOnlyWhileSizeAndTimeMatch) {
  folder_.write("f", "0123456789");
  std::string real;
  ASSERT_TRUE(hash_file(folder_ / "f", {}, real));
  struct row {
    const char* label;
    t_entry entry;
    std::int64_t disk_time;
    bool taken;
  };
  // The file on the disk has 10 bytes; the record was begun at 2000.
  const row rows[] = {
      {"size and time match", {"f", 10, 1500, fake_identity}, 1500, true},
      {"other size", {"f", 11, 1500, fake_identity}, 1500, false},
      {"other time", {"f", 10, 1499, fake_identity}, 1500, false},
      {"time within the second the record was begun", {"f", 10, 2000, fake_identity}, 2000, false},
      {"time after the record was begun", {"f", 10, 2500, fake_identity}, 2500, false},
      {"another path", {"g", 10, 1500, fake_identity}, 1500, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    const std::string bytes = identity_cache(owner(), 2000).serialize({r.entry});
    identity_cache cache(owner(), 3000);
    ASSERT_TRUE(cache.parse(bytes));
    auto file = disk_file("f", 10, r.disk_time);
    EXPECT_EQ(cache.fill(*scanned({file})), r.taken ? 1u : 0u);
    EXPECT_EQ(file->identity(), r.taken ? fake_identity : real);
  }

  // An identity already known stays; a folder or a stored item under the name takes nothing.
  identity_cache cache(owner(), 3000);
  ASSERT_TRUE(cache.parse(identity_cache(owner(), 2000)
                              .serialize({{"d", 10, 1500, fake_identity},
                                          {"f", 10, 1500, fake_identity},
                                          {"s", 10, 1500, fake_identity}})));
  auto known = disk_file("f", 10, 1500);
  known->learn_identity(real);
  auto lent = stored_file("s", 10, 1500, real);
  const auto tree = scanned(
      {known, lent, std::make_shared<state_item_dir>(local_, std::make_shared<std::string>("d"))});
  EXPECT_EQ(cache.fill(*tree), 0u);
  EXPECT_EQ(known->identity(), real);
  EXPECT_EQ(lent->identity(), real);
}

TEST_F(IdentityCacheTest, DamagedTruncatedOrForeignFileIsNotBelieved) {
  const std::vector<t_entry> entries = {{"a.txt", 5, 1500, fake_identity},
                                        {"sub/b.bin", 1u << 30, 1600, std::string(36, 'y')}};
  const std::string bytes = identity_cache(owner(), 2000).serialize(entries);
  {
    identity_cache cache(owner(), 3000);
    ASSERT_TRUE(cache.parse(bytes));
    EXPECT_EQ(cache.entries(), entries);
    EXPECT_EQ(cache.learned_before(), 2000);
  }
  const auto refused = [this](const std::string& damaged, const std::string& who) {
    identity_cache cache(who, 3000);
    const bool believed = cache.parse(damaged);
    auto file = disk_file("a.txt", 5, 1500);
    const bool filled = cache.fill(*scanned({file})) != 0;
    return !believed && cache.entries().empty() && !filled;
  };
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
    EXPECT_TRUE(refused(flipped, owner())) << "byte " << at << " flipped";
  }
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_TRUE(refused(bytes.substr(0, size), owner())) << "cut to " << size << " bytes";
  }
  EXPECT_TRUE(refused(bytes + '\0', owner())) << "a byte appended";

  // Whole and sealed, but another project's: another name, or this one under another root.
  EXPECT_TRUE(refused(bytes, identity_cache::owner_of(*project_) + "x"));
  EXPECT_TRUE(refused(identity_cache("/elsewhere/\na/b", 2000).serialize(entries), owner()));

  // Sealed anew after the damage, so that only the checks of the content judge it.
  std::string later_version = bytes;
  later_version[8] = 2;
  EXPECT_TRUE(refused(resealed(later_version), owner())) << "another format version";
  EXPECT_TRUE(refused(identity_cache(owner(), 2000).serialize({entries[1], entries[0]}), owner()))
      << "entries out of order";
  EXPECT_TRUE(refused(identity_cache(owner(), 2000).serialize({entries[0], entries[0]}), owner()))
      << "a path twice";
  EXPECT_TRUE(
      refused(identity_cache(owner(), 2000).serialize({{"", 5, 1500, fake_identity}}), owner()))
      << "an empty path";
  std::string short_identity = identity_cache(owner(), 2000).serialize({entries[0]});
  short_identity.erase(short_identity.size() - 33, 1);
  EXPECT_TRUE(refused(resealed(short_identity), owner())) << "an identity cut short";
  std::string huge_count = bytes;
  const std::size_t count_at = 8 + 4 + 4 + owner().size() + 8;
  huge_count[count_at + 7] = '\x7f';
  EXPECT_TRUE(refused(resealed(huge_count), owner())) << "a count the file cannot hold";
}

TEST_F(IdentityCacheTest, LearnsOnlyFilesTouchedButUnchanged) {
  const std::string same(36, 's');
  const std::string other(36, 'o');
  const auto file = [&](const char* name, std::int64_t time) {
    auto item = disk_file(name, 10, time);
    item->learn_identity(same);
    return item;
  };
  const auto tree = scanned({file("touched", 1500), file("changed", 1500), file("same-time", 1500),
                             file("racy", 2000), file("new", 1500), disk_file("unread", 10, 1500),
                             file("other-size", 1500)});
  state_items theirs;
  for (const auto& item :
       {stored_file("touched", 10, 1000, same), stored_file("changed", 10, 1000, other),
        stored_file("same-time", 10, 1500, same), stored_file("racy", 10, 1000, same),
        stored_file("unread", 10, 1000, same), stored_file("other-size", 11, 1000, same)}) {
    add_item(theirs, item);
  }
  const auto stored = std::make_shared<state>(stored_, 3, theirs);
  const identity_cache cache(owner(), 2000);
  const std::vector<t_entry> want = {{"touched", 10, 1500, same}};
  EXPECT_EQ(cache.learned(*tree, *stored), want);
}

TEST_F(IdentityCacheTest, KeptBesideAndMovedIntoPlaceNeverWrittenThrough) {
  const std::filesystem::path file = identity_cache::file_of(*project_);
  const std::vector<t_entry> entries = {{"a", 5, 1500, fake_identity}};

  // Nothing learned and no file: nothing written.
  EXPECT_TRUE(identity_cache::load(*project_).keep(*project_, {}));
  EXPECT_FALSE(std::filesystem::exists(file));

  ASSERT_TRUE(identity_cache::load(*project_).keep(*project_, entries));
  EXPECT_EQ(identity_cache::load(*project_).entries(), entries);
  const std::string first = file_text(file);

  // The same entries again: nothing is written (a new file would bear this run's time).
  std::error_code ec;
  ASSERT_TRUE(platform::set_modification_time(file, 1500000000, ec));
  EXPECT_TRUE(identity_cache::load(*project_).keep(*project_, entries));
  platform::t_entry_info info;
  ASSERT_TRUE(platform::entry_info(file, info, ec));
  EXPECT_EQ(info.write_time, 1500000000);

  // Other entries: a new file takes the name; the old one, reached through a second name, is
  // not written through.
  const std::filesystem::path twin = folder_ / "twin";
  std::filesystem::create_hard_link(file, twin);
  const std::vector<t_entry> more = {{"a", 5, 1500, fake_identity}, {"b", 6, 1501, fake_identity}};
  ASSERT_TRUE(identity_cache::load(*project_).keep(*project_, more));
  EXPECT_EQ(file_text(twin), first);
  EXPECT_EQ(identity_cache::load(*project_).entries(), more);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
    const auto name = entry.path().filename();
    // The run's own lock file is no leftover of the record.
    if (name != "identities" && name != "temp" && name != "lock") {
      left.push_back(entry.path().filename().string());
    }
  }
  EXPECT_TRUE(left.empty()) << left.front();

  // A damaged file is replaced, even by an empty record.
  std::filesystem::remove(twin);
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << "x";
  }
  auto damaged = identity_cache::load(*project_);
  EXPECT_TRUE(damaged.entries().empty());
  ASSERT_TRUE(damaged.keep(*project_, {}));
  identity_cache reread(owner(), 3000);
  EXPECT_TRUE(reread.parse(file_text(file)));
  EXPECT_TRUE(reread.entries().empty());

  identity_cache::forget(*project_);
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(IdentityCacheTest, LinkInPlaceOfTheFileIsNeitherReadNorWrittenThrough) {
  if (!kestrun::test::can_make_links()) GTEST_SKIP() << kestrun::test::no_links;
  const std::filesystem::path file = identity_cache::file_of(*project_);
  const std::filesystem::path outside = storage_folder_.path() / "outside";
  {
    std::ofstream out(outside, std::ios::binary);
    out << identity_cache(owner(), 2000).serialize({{"a", 5, 1500, fake_identity}});
  }
  ASSERT_TRUE(kestrun::test::make_link(outside, file));
  const std::string before = file_text(outside);
  auto cache = identity_cache::load(*project_);
  EXPECT_TRUE(cache.entries().empty());
  (void)cache.keep(*project_, {{"b", 6, 1500, fake_identity}});
  EXPECT_EQ(file_text(outside), before);
}

}  // namespace
}  // namespace kestrun::vcs
