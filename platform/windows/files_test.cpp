// Entry attributes and times as FindFirstFileW reports them, files read whole, and the
// modification time that SetFileTime gives a restored file.
#include <windows.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::platform {
namespace {

TEST(FilesTest, EntryInfoOfFilesAndFolders) {
  test::temp_folder dir;
  const auto file = dir.write("file", "12345");
  const auto wide_name = dir / "\xF0\x9F\x98\x80 caf\xC3\xA9";
  std::filesystem::create_directory(wide_name);
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  struct row {
    std::filesystem::path path;
    std::uint32_t directory;
    std::uint64_t size;
  };
  const row rows[] = {{file, 0, 5}, {wide_name, attribute_directory, 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(narrow_from_path(r.path));
    t_entry_info info;
    std::error_code ec;
    ASSERT_TRUE(entry_info(r.path, info, ec)) << ec.message();
    EXPECT_EQ(info.attributes & attribute_directory, r.directory);
    EXPECT_EQ(info.attributes & attribute_reparse_point, 0u);
    EXPECT_EQ(info.reparse_tag, 0u);
    EXPECT_EQ(info.size, r.size);
    EXPECT_LE(std::abs(info.write_time - now), 60);
  }
}

TEST(FilesTest, MissingEntryIsNotFound) {
  test::temp_folder dir;
  for (const auto& path : {dir / "missing", dir / "missing" / "below"}) {
    t_entry_info info;
    info.size = 7;
    std::error_code ec;
    EXPECT_FALSE(entry_info(path, info, ec));
    EXPECT_TRUE(is_not_found(ec)) << ec.value();
    EXPECT_EQ(info.size, 0u);
  }
}

TEST(FilesTest, EntriesOfAnOpenFolderByName) {
  test::temp_folder dir;
  dir.write("sub/\xF0\x9F\x98\x80.txt", "abc");
  const folder_handle folder(dir / "sub");
  ASSERT_TRUE(folder.is_open());
  t_entry_info info;
  std::error_code ec;
  ASSERT_TRUE(entry_info_at(folder, L"\U0001F600.txt", info, ec));
  EXPECT_EQ(info.size, 3u);
  EXPECT_FALSE(entry_info_at(folder, L"other", info, ec));
  EXPECT_FALSE(folder_handle(dir / "missing").is_open());
  EXPECT_FALSE(folder_handle(dir / "sub" / "\xF0\x9F\x98\x80.txt").is_open());
}

TEST(FilesTest, ModificationTimeIsSetAndReadBack) {
  test::temp_folder dir;
  const auto file = dir.write("\xF0\x9F\x98\x80.bin", "x");
  for (const std::int64_t seconds : {0LL, 1000000000LL, 1600000001LL, 4102444800LL}) {
    SCOPED_TRACE(seconds);
    std::error_code ec;
    ASSERT_TRUE(set_modification_time(file, seconds, ec)) << ec.message();
    t_entry_info info;
    ASSERT_TRUE(entry_info(file, info, ec));
    EXPECT_EQ(info.write_time, seconds);
  }
  std::error_code ec;
  EXPECT_FALSE(set_modification_time(dir / "missing", 0, ec));
  EXPECT_TRUE(is_not_found(ec));
}

TEST(FilesTest, InputFileReadsWholeFilesOnly) {
  test::temp_folder dir;
  const std::string content(300000, 'k');
  const auto file = dir.write("data", content);
  input_file in;
  ASSERT_TRUE(in.open(file));
  std::string got(content.size() + 10, '\0');
  EXPECT_EQ(in.read(got.data(), got.size()), content.size());
  got.resize(content.size());
  EXPECT_EQ(got, content);
  EXPECT_EQ(in.read(got.data(), 1), 0u);
  in.close();
  EXPECT_FALSE(in.is_open());
  EXPECT_EQ(in.read(got.data(), 1), 0u);
  std::filesystem::create_directory(dir / "folder");
  EXPECT_FALSE(in.open(dir / "folder"));
  EXPECT_FALSE(in.open(dir / "missing"));
}

}  // namespace
}  // namespace kestrun::platform
