// Removing entries and trees never reaches through a link: a link goes as itself, and what it
// leads to stays whole.
#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace kestrun::platform {
namespace {

namespace fs = std::filesystem;

TEST(RemoveTest, EntriesGoAsThemselves) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  dir.write("full/inner", "y");
  fs::create_directory(dir / "empty");
  std::error_code ec;
  EXPECT_TRUE(remove_entry(file, ec));
  EXPECT_TRUE(remove_entry(dir / "empty", ec));
  EXPECT_FALSE(fs::exists(file) || fs::exists(dir / "empty"));
  EXPECT_FALSE(remove_entry(dir / "missing", ec));
  EXPECT_FALSE(ec) << "nothing there is no error";
  EXPECT_FALSE(remove_entry(dir / "full", ec));
  EXPECT_TRUE(ec) << "a folder with entries stays, and says why";
  EXPECT_EQ(test::slurp(dir / "full/inner"), "y");
}

TEST(RemoveTest, TreesGoWholeAndNothingBeyondThem) {
  test::temp_folder dir;
  dir.write("tree/a/b/c.txt", "c");
  dir.write("tree/d.txt", "d");
  fs::create_directories(dir / "tree/e/f");
  std::error_code ec;
  EXPECT_TRUE(remove_tree(dir / "tree", ec)) << ec.message();
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_TRUE(remove_tree(dir / "tree", ec)) << "nothing there is nothing left";
}

TEST(RemoveTest, LinksInATreeAreNotFollowed) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder outside;
  outside.write("keep/me.txt", "kept");
  test::temp_folder dir;
  dir.write("tree/file", "x");
  std::error_code ec;
  ASSERT_TRUE(create_junction(outside.path(), dir / "tree/junction", ec)) << ec.message();
  ASSERT_TRUE(create_file_link(outside / "keep/me.txt", dir / "tree/file_link", ec));
  ASSERT_TRUE(create_junction(outside / "keep", dir / "link", ec));
  EXPECT_TRUE(remove_entry(dir / "link", ec)) << ec.message();
  EXPECT_TRUE(remove_tree(dir / "tree", ec)) << ec.message();
  EXPECT_FALSE(fs::exists(dir / "tree"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "link")));
  EXPECT_EQ(test::slurp(outside / "keep/me.txt"), "kept");
}

}  // namespace
}  // namespace kestrun::platform
