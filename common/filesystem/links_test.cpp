// Creating and reading links and junctions on real folders. Where the system cannot make links
// (Wine), what can still be shown is that a link it did not make is never reported as made.
#include "common/filesystem/links.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace kestrun::filesystem {
namespace {

namespace fs = std::filesystem;

std::wstring wide(const fs::path& path) { return platform::wide_from_path(path); }
std::wstring native(const std::wstring& text) { return platform::separators_to_native(text); }

// What stands at `path` itself: nothing (false), or an entry that is or is not a link.
bool stands(const fs::path& path, bool& link) {
  platform::t_entry_info info;
  std::error_code ec;
  if (!platform::entry_info(path, info, ec)) return false;
  link = platform::is_link_entry(info.attributes, info.reparse_tag);
  return true;
}

TEST(LinksTest, FolderTargetsGetJunctions) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder dir;
  dir.write("data/file", "x");
  ASSERT_TRUE(create_junction(dir / "data", dir / "data_link"));
  // A folder, and a link that leads to one, both give a junction to the text given.
  for (const char* target : {"data", "data_link"}) {
    SCOPED_TRACE(target);
    const auto link = dir / (std::string("j_") + target);
    ASSERT_TRUE(create_link(dir / target, link));
    bool is_link = false;
    ASSERT_TRUE(stands(link, is_link));
    EXPECT_TRUE(is_link);
    EXPECT_EQ(native(read_junction(link)), native(wide(dir / target)));
    fs::file_status status;
    EXPECT_EQ(native(link_target(link, status)), native(wide(dir / target)));
    EXPECT_EQ(status.type(), fs::file_type::symlink);
  }
  EXPECT_EQ(test::slurp(dir / "j_data/file"), "x");
}

TEST(LinksTest, OtherTargetsGetSymbolicLinks) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder dir;
  const auto file = dir.write("file", "content");
  std::error_code ec;
  ASSERT_TRUE(platform::create_file_link(file, dir / "file_link", ec)) << ec.message();
  for (const char* target : {"file", "file_link"}) {
    SCOPED_TRACE(target);
    const auto link = dir / (std::string("s_") + target);
    ASSERT_TRUE(create_link(dir / target, link));
    fs::file_status status;
    EXPECT_EQ(native(link_target(link, status)), native(wide(dir / target)));
    EXPECT_EQ(test::slurp(link), "content");
  }
}

// Wine's CreateSymbolicLinkW reports success and makes nothing: the answer must come from what
// stands at the link path afterwards.
TEST(LinksTest, ALinkIsMadeOnlyWhenItReallyStands) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  fs::create_directory(dir / "folder");
  for (const char* target : {"file", "folder"}) {
    SCOPED_TRACE(target);
    const auto link = dir / (std::string("l_") + target);
    const bool made = create_link(dir / target, link);
    EXPECT_EQ(made, test::can_make_links());
    bool is_link = false;
    EXPECT_EQ(stands(link, is_link), made);
    EXPECT_EQ(is_link, made);
  }
}

TEST(LinksTest, ExistingLinkPathGivesFalse) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  fs::create_directory(dir / "folder");
  const auto taken = dir.write("taken", "keep me");
  std::error_code ec;
  EXPECT_FALSE(create_link(dir / "folder", taken, ec));
  EXPECT_TRUE(ec);
  EXPECT_FALSE(create_link(file, taken));
  EXPECT_FALSE(create_link(dir / "missing", taken));
  EXPECT_EQ(test::slurp(taken), "keep me");
  // A missing parent folder: nothing is created.
  EXPECT_FALSE(create_junction(dir / "folder", dir / "no/such/link"));
  EXPECT_FALSE(fs::exists(dir / "no"));
}

// A link is only its text: one to a target that is missing is made all the same, as a file link.
TEST(LinksTest, MissingTargetGivesAFileLink) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder dir;
  ASSERT_TRUE(create_link(dir / "missing", dir / "dangling"));
  std::wstring target;
  std::error_code ec;
  ASSERT_TRUE(platform::read_link(dir / "dangling", target, ec));
  EXPECT_EQ(fs::path(target).filename(), "missing");
  platform::t_entry_info info;
  ASSERT_TRUE(platform::entry_info(dir / "dangling", info, ec));
  EXPECT_EQ(info.reparse_tag, platform::reparse_tag_symlink);
  EXPECT_EQ(info.attributes & platform::attribute_directory, 0u);
}

TEST(LinksTest, JunctionTargetIsStoredAsGiven) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder dir;
  fs::create_directory(dir / "t");
  // A trailing separator of the target's own stays; the text needs not exist.
  ASSERT_TRUE(create_junction(platform::path_from_wide(wide(dir / "t") + L"/"), dir / "j"));
  EXPECT_EQ(native(read_junction(dir / "j")), native(wide(dir / "t") + L"/"));
  ASSERT_TRUE(create_junction(dir / "nowhere", dir / "j2"));
  EXPECT_EQ(native(read_junction(dir / "j2")), native(wide(dir / "nowhere")));
}

TEST(LinksTest, LongJunctionTargets) {
  test::temp_folder dir;
  fs::path deep = dir.path();
  for (int i = 0; i < 12; ++i) deep /= std::string(30, static_cast<char>('a' + i));
  ASSERT_GT(wide(deep).size(), 300u);
  bool is_link = false;
  if (test::on_windows) {
    // Beyond the 256 units a junction's data holds: refused, and its new folder goes again.
    EXPECT_FALSE(create_junction(deep, dir / "long"));
    EXPECT_FALSE(stands(dir / "long", is_link));
  } else {
    fs::create_directories(deep);
    ASSERT_TRUE(create_link(deep, dir / "long"));
    EXPECT_EQ(read_junction(dir / "long"), wide(deep));
  }
  // Longer than any path the system takes: refused, nothing left behind.
  const fs::path too_long = dir / std::string(5000, 'x');
  EXPECT_FALSE(create_junction(too_long, dir / "too_long"));
  EXPECT_FALSE(stands(dir / "too_long", is_link));
}

TEST(LinksTest, ReadingEntriesThatAreNotLinks) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  fs::file_status status;
  EXPECT_EQ(link_target(file, status), wide(file));
  EXPECT_EQ(status.type(), fs::file_type::regular);
  EXPECT_EQ(link_target(dir.path(), status), wide(dir.path()));
  EXPECT_EQ(status.type(), fs::file_type::directory);
  EXPECT_EQ(link_target(dir / "missing", status), wide(dir / "missing"));
  EXPECT_EQ(status.type(), fs::file_type::not_found);
  EXPECT_EQ(read_junction(file), L"");
  EXPECT_EQ(read_junction(dir / "missing"), L"");
  EXPECT_TRUE(enable_privilege());
}

TEST(LinksTest, RelativeLinkTextIsReturnedAsStored) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder dir;
  dir.write("a/file", "");
  std::error_code ec;
  ASSERT_TRUE(platform::create_file_link("a/file", dir / "rel", ec)) << ec.message();
  fs::file_status status;
  EXPECT_EQ(link_target(dir / "rel", status), native(L"a/file"));
}

}  // namespace
}  // namespace kestrun::filesystem
