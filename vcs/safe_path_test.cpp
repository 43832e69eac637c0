// Where stored paths may lead on each system: '\' separates and names ignore case on Windows,
// which drops trailing dots and spaces from a name too, so what is harmless text on POSIX can
// reach the work folder, a drive or a parent there.
#include "vcs/safe_path.h"

#include <string>

#include <gtest/gtest.h>

#include "common/filesystem/links.h"
#include "platform/platform.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace kestrun::vcs {
namespace {

TEST(SafePathTest, StoredPathsAreJudgedAsTheSystemReadsThem) {
  struct row {
    const char* path;
    bool safe_on_posix;
    bool safe_on_windows;
  };
  const row rows[] = {
      {"a/b", true, true},
      {"a\\b", true, true},
      {"a\\..\\..\\x", true, false},
      {"..\\x", true, false},
      {"a\\\\b", true, false},
      {"\\x", true, false},
      {"\\\\server\\share\\x", true, false},
      {"C:/x", true, false},
      {"c:\\x", true, false},
      {"C:x", true, false},  // relative to the drive's own current folder
      {"a/C:/x", true, true},
      // Trailing dots and spaces go: these open the folder itself or its parent.
      {"...", true, false},
      {"a/. ", true, false},
      {".. /x", true, false},
      {"a./b .", true, true},
      {"../x", false, false},
      {"/x", false, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(is_safe_stored_path(r.path), test::on_windows ? r.safe_on_windows : r.safe_on_posix);
  }
}

TEST(SafePathTest, TheWorkFolderUnderEveryNameTheSystemGivesIt) {
  struct row {
    const char* path;
    bool on_posix;
    bool on_windows;
  };
  const row rows[] = {
      {".k-vcs/temp/x", true, true}, {".K-VCS/temp/x", false, true}, {".k-vcs./x", false, true},
      {".k-vcs /x", false, true},    {".K-Vcs\\temp", false, true},  {"sub/.K-VCS", false, false},
      {".k-vcs.x/y", false, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.path);
    EXPECT_EQ(names_work_folder(r.path), test::on_windows ? r.on_windows : r.on_posix);
  }
}

TEST(SafePathTest, NoPathPassesThroughALinkBelowTheRoot) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder outside;
  test::temp_folder root;
  ASSERT_TRUE(filesystem::create_link(outside.path(), root / "Esc"));
  std::filesystem::create_directory(root / "dir");
  ASSERT_TRUE(filesystem::create_link(outside.path(), root / "dir/inner"));
  for (const char* stored : {"Esc/x", "dir/inner/x", "dir/inner/deeper/x"}) {
    SCOPED_TRACE(stored);
    EXPECT_FALSE(safe_local_path(root.path(), stored));
  }
  // The link itself may be named: a restore replaces or removes it, never goes through it.
  EXPECT_EQ(safe_local_path(root.path(), "Esc"), root / "Esc");
  EXPECT_EQ(safe_local_path(root.path(), "dir/x"), root / "dir/x");
  // Where names ignore case and '\' separates, these lead through the link too.
  for (const char* stored : {"esc/x", "ESC/x", "Esc\\x", "dir\\INNER\\x"}) {
    SCOPED_TRACE(stored);
    EXPECT_EQ(safe_local_path(root.path(), stored).has_value(), !test::on_windows);
  }
}

}  // namespace
}  // namespace kestrun::vcs
