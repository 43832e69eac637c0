// Creating and reading links and junctions on real folders.
#include "common/filesystem/links.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::filesystem {
namespace {

namespace fs = std::filesystem;

std::wstring wide(const fs::path& path) { return platform::wide_from_path(path); }

TEST(LinksTest, FolderTargetsGetJunctions) {
  test::temp_folder dir;
  dir.write("data/file", "x");
  fs::create_directory_symlink(dir / "data", dir / "data_link");
  // A folder, and a link that leads to one, both give a junction to the text given.
  for (const char* target : {"data", "data_link"}) {
    SCOPED_TRACE(target);
    const auto link = dir / (std::string("j_") + target);
    ASSERT_TRUE(create_link(dir / target, link));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    EXPECT_TRUE(fs::is_directory(link));
    EXPECT_EQ(read_junction(link), wide(dir / target));
    fs::file_status status;
    EXPECT_EQ(link_target(link, status), wide(dir / target));
    EXPECT_EQ(status.type(), fs::file_type::symlink);
  }
  EXPECT_EQ(test::slurp(dir / "j_data/file"), "x");
}

TEST(LinksTest, OtherTargetsGetSymbolicLinks) {
  test::temp_folder dir;
  const auto file = dir.write("file", "content");
  fs::create_symlink(file, dir / "file_link");
  for (const char* target : {"file", "file_link"}) {
    SCOPED_TRACE(target);
    const auto link = dir / (std::string("s_") + target);
    ASSERT_TRUE(create_link(dir / target, link));
    EXPECT_EQ(fs::read_symlink(link), dir / target);
    EXPECT_EQ(test::slurp(link), "content");
  }
}

TEST(LinksTest, ExistingLinkPathOrMissingTargetGiveFalse) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  fs::create_directory(dir / "folder");
  const auto taken = dir.write("taken", "keep me");
  EXPECT_FALSE(create_link(dir / "folder", taken));
  EXPECT_FALSE(create_link(file, taken));
  EXPECT_EQ(test::slurp(taken), "keep me");
  EXPECT_FALSE(create_link(dir / "missing", dir / "new_link"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "new_link")));
  // A missing parent folder: nothing is created.
  EXPECT_FALSE(create_junction(dir / "folder", dir / "no/such/link"));
  EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST(LinksTest, JunctionTargetIsStoredAsGiven) {
  test::temp_folder dir;
  fs::create_directory(dir / "t");
  // A trailing separator of the target's own stays; the text needs not exist.
  ASSERT_TRUE(create_junction(platform::path_from_wide(wide(dir / "t") + L"/"), dir / "j"));
  EXPECT_EQ(read_junction(dir / "j"), wide(dir / "t") + L"/");
  ASSERT_TRUE(create_junction(dir / "nowhere", dir / "j2"));
  EXPECT_EQ(read_junction(dir / "j2"), wide(dir / "nowhere"));
}

TEST(LinksTest, LongJunctionTargets) {
  test::temp_folder dir;
  // Far beyond the 256 characters a Windows reparse block holds: there is no such block here.
  fs::path deep = dir.path();
  for (int i = 0; i < 12; ++i) deep /= std::string(30, static_cast<char>('a' + i));
  fs::create_directories(deep);
  ASSERT_GT(wide(deep).size(), 300u);
  ASSERT_TRUE(create_link(deep, dir / "long"));
  EXPECT_EQ(read_junction(dir / "long"), wide(deep));
  // Longer than any path the system takes: refused, nothing left behind.
  const fs::path too_long = dir / std::string(5000, 'x');
  EXPECT_FALSE(create_junction(too_long, dir / "too_long"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "too_long")));
}

TEST(LinksTest, ReadingEntriesThatAreNotLinks) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  fs::file_status status;
  EXPECT_EQ(link_target(file, status), wide(file));
  EXPECT_EQ(status.type(), fs::file_type::regular);
  EXPECT_EQ(link_target(dir / "missing", status), wide(dir / "missing"));
  EXPECT_EQ(status.type(), fs::file_type::not_found);
  EXPECT_EQ(read_junction(file), L"");
  EXPECT_EQ(read_junction(dir / "missing"), L"");
  EXPECT_TRUE(enable_privilege());
}

TEST(LinksTest, RelativeLinkTextIsReturnedAsStored) {
  test::temp_folder dir;
  dir.write("a/file", "");
  fs::create_symlink("a/file", dir / "rel");
  fs::file_status status;
  EXPECT_EQ(link_target(dir / "rel", status), L"a/file");
}

}  // namespace
}  // namespace kestrun::filesystem
