// The state's map order, adding and removing entries, and the difference between two states.
#include "vcs/state.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/stream/binary_io.h"
#include "vcs/state_test_fixture.h"
#include "vcs/transform.h"

namespace kestrun::vcs {
namespace {

class StateTest : public test::project_fixture {
 protected:
  // A state from a compact description: "D:x" a folder, "F:x:size:time" a file, "L:x:target".
  std::shared_ptr<state> make_state(const std::shared_ptr<storage_driver>& driver, std::int32_t nn,
                                    const std::vector<std::string>& entries) {
    state_items items;
    for (const auto& entry : entries) {
      const std::size_t first = entry.find(':', 2);
      auto name = std::make_shared<std::string>(entry.substr(2, first - 2));
      std::shared_ptr<state_item> item;
      if (entry[0] == 'D') {
        item = std::make_shared<state_item_dir>(driver, name);
      } else if (entry[0] == 'L') {
        item = std::make_shared<state_item_link>(driver, name, entry.substr(first + 1));
      } else {
        const std::size_t second = entry.find(':', first + 1);
        item = std::make_shared<state_item_file>(
            driver, name, std::stoull(entry.substr(first + 1, second - first - 1)),
            std::stoll(entry.substr(second + 1)));
      }
      EXPECT_TRUE(add_item(items, item));
    }
    return std::make_shared<state>(driver, nn, items);
  }

  // "A x" / "R x" for each command.
  static std::vector<std::string> listing(const transform& t) {
    std::vector<std::string> lines;
    for (const auto& c : t.commands()) {
      lines.push_back(std::string(1, static_cast<char>(c->type())) + " " + *c->path());
    }
    return lines;
  }
};

TEST(NameLessTest, OrdersByUnsignedBytes) {
  const std::vector<std::string> given = {"a0", "a/b", "\xc3\xa9", "a-b", "a", "z", "a b", "B"};
  state_items items;
  for (const auto& name : given) {
    auto key = std::make_shared<std::string>(name);
    items.emplace(key, nullptr);
  }
  std::vector<std::string> order;
  for (const auto& [key, item] : items) order.push_back(*key);
  const std::vector<std::string> want = {"B", "a", "a b", "a-b", "a/b", "a0", "z", "\xc3\xa9"};
  EXPECT_EQ(order, want);
}

TEST_F(StateTest, AddKeepsTheFirstAndRemoveNeedsTheName) {
  const auto owner = local_driver();
  state_items items;
  auto first = std::make_shared<state_item_dir>(owner, std::make_shared<std::string>("x"));
  auto second = std::make_shared<state_item_dir>(owner, std::make_shared<std::string>("x"));
  EXPECT_TRUE(add_item(items, first));
  EXPECT_FALSE(add_item(items, second));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items.begin()->second, first);
  EXPECT_EQ(items.begin()->first.get(), first->name().get());  // the key is the item's own name

  EXPECT_FALSE(remove_item(items, std::make_shared<std::string>("y")));
  EXPECT_TRUE(remove_item(items, std::make_shared<std::string>("x")));  // compared by text
  EXPECT_TRUE(items.empty());
}

TEST_F(StateTest, EqualStatesGiveNoCommands) {
  const auto local = local_driver();
  const auto stored = storage_driver_for(L"nosuch://x");
  const std::vector<std::string> entries = {"D:a", "F:a/f:4:100", "L:l:a"};
  auto mine = make_state(local, -1, entries);
  auto theirs = make_state(stored, 3, entries);
  const auto t = mine->diff(theirs);
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->commands().empty());
  ASSERT_EQ(test::events_named("kestrun::vcs::state::diff::start").size(), 1u);
  EXPECT_EQ(test::events_named("kestrun::vcs::state::diff::start")[0].text, "3/3");
  EXPECT_EQ(test::events_named("kestrun::vcs::state::diff::finish")[0].text, "0");
}

TEST_F(StateTest, CommandOrderRemovalsDescendingThenChangesAscending) {
  const auto local = local_driver();
  const auto stored = storage_driver_for(L"nosuch://x");
  auto mine = make_state(
      local, -1, {"F:changed:4:200", "F:kind:1:1", "D:x", "F:x/y:1:1", "L:link:new", "F:same:3:3"});
  auto theirs = make_state(stored, 7,
                           {"D:a", "D:a/b", "F:a/b/c:1:1", "F:changed:5:100", "D:kind",
                            "L:link:old", "F:same:3:3", "F:zz:1:1"});
  const auto t = mine->diff(theirs);
  const std::vector<std::string> want = {"R zz",      "R a/b/c",   "R a/b",  "R a",
                                         "R changed", "A changed", "R kind", "A kind",
                                         "R link",    "A link",    "A x",    "A x/y"};
  EXPECT_EQ(listing(*t), want);
  EXPECT_EQ(test::events_named("kestrun::vcs::state::diff::start")[0].text, "6/8");
  EXPECT_EQ(test::events_named("kestrun::vcs::state::diff::finish")[0].text, "12");

  // Adds carry the target's own items; removals carry none.
  for (const auto& c : t->commands()) {
    if (c->type() == transform_command::remove) {
      EXPECT_FALSE(c->item());
      continue;
    }
    EXPECT_EQ(c->item(), mine->items().find(c->path())->second);
    EXPECT_EQ(c->path().get(), c->item()->name().get());
  }
}

// Below a folder that could not be read, both ways of a run see what the storage holds: no
// command removes, adds or changes anything there; the rest is compared as always.
TEST_F(StateTest, UnreadFoldersKeepWhatTheStorageHolds) {
  const auto local = local_driver();
  const auto stored = storage_driver_for(L"nosuch://x");
  const std::vector<std::string> in_storage = {"D:a",      "D:a/b", "F:a/b/c:1:1", "F:a/f:2:2",
                                               "F:ab:1:1", "D:d",   "F:d/x:1:1",   "F:top:1:1"};
  struct row {
    std::vector<std::string> unread;
    std::vector<std::string> backup;
  };
  const row rows[] = {
      {{}, {"R top", "R d/x", "R ab", "R a/f", "R a/b/c", "A a/g"}},
      {{"a"}, {"R top", "R d/x", "R ab"}},  // a/g, listed before the failure, waits
      {{"a", "d"}, {"R top", "R ab"}},
      {{"a/b"}, {"R top", "R d/x", "R ab", "R a/f", "A a/g"}},
      {{""}, {}},  // the scanned folder itself
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.unread.empty() ? "none" : r.unread[0]);
    auto scanned = make_state(local, -1, {"D:a", "D:a/b", "F:a/g:5:5", "D:d"});
    auto theirs = make_state(stored, 4, in_storage);
    scanned->set_unread(r.unread, 0);
    EXPECT_EQ(scanned->incomplete(), !r.unread.empty());
    scanned->keep_unread_from(*theirs);
    std::vector<std::string> backup = listing(*scanned->diff(theirs));
    EXPECT_EQ(backup, r.backup);
    // A restore of the stored state touches nothing below them either.
    for (const auto& line : listing(*theirs->diff(scanned))) {
      for (const auto& folder : r.unread) {
        EXPECT_FALSE(folder.empty() || line.substr(2).starts_with(folder + "/")) << line;
      }
    }
  }
}

TEST_F(StateTest, BackupDriverAndNumber) {
  // Backup: the folder's state against the storage's; the commands write to the storage.
  auto mine = make_state(local_driver(), -1, {"D:a", "F:a/f:1:1"});
  auto empty_storage = make_state(storage_driver_for(L"nosuch://st"), 0, {});
  const auto t = mine->diff(empty_storage);
  EXPECT_EQ(listing(*t), (std::vector<std::string>{"A a", "A a/f"}));
  EXPECT_EQ(t->nn(), 1u);
  EXPECT_EQ(t->driver()->link(), L"nosuch://st");
  EXPECT_FALSE(t->driver()->is_local());
  EXPECT_NE(t->driver(), empty_storage->driver());  // a driver of its own
  EXPECT_EQ(t->driver()->project(), project_.get());
}

TEST_F(StateTest, RestoreDriverAndNumber) {
  // Restore: the storage's state against the folder's; the commands apply to the folder but keep
  // the storage's link to download from.
  auto wanted = make_state(storage_driver_for(L"nosuch://st"), 4, {"D:a"});
  auto folder = make_state(local_driver(), -1, {"D:b"});
  const auto t = wanted->diff(folder);
  EXPECT_EQ(listing(*t), (std::vector<std::string>{"R b", "A a"}));
  EXPECT_EQ(t->nn(), 0u);
  EXPECT_EQ(t->driver()->link(), L"nosuch://st");
  EXPECT_TRUE(t->driver()->is_local());
  EXPECT_EQ(t->driver()->project_temp(), &project_->temp);
}

TEST_F(StateTest, ChangedContentWithSameSizeIsFoundByIdentity) {
  folder_.write("f", "new!");
  auto local = local_driver();
  auto mine = make_state(local, -1, {"F:f:4:200"});
  // The stored item's identity (all zero) cannot match the file's.
  std::istringstream body(std::string(8 + 8 + 36, '\0').replace(0, 2, "\x04\0", 2));
  stream_reader reader(body);
  auto stored_item = std::make_shared<state_item_file>(storage_driver_for(L"nosuch://x"),
                                                       std::make_shared<std::string>("f"), reader);
  ASSERT_EQ(stored_item->size(), 4u);
  state_items stored_items;
  add_item(stored_items, stored_item);
  auto theirs = std::make_shared<state>(stored_item->owner(), 1, stored_items);
  EXPECT_EQ(listing(*mine->diff(theirs)), (std::vector<std::string>{"R f", "A f"}));
  EXPECT_EQ(
      std::static_pointer_cast<state_item_file>(mine->items().begin()->second)->identity().size(),
      36u);
}

}  // namespace
}  // namespace kestrun::vcs
