// The smaller Windows sections: error numbers, local time, the application-data folder, driver
// libraries and the text of paths.
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wide_units.h"

namespace kestrun::platform {
namespace {

TEST(PlatformErrorsTest, MapsWindowsErrorNumbers) {
  struct row {
    std::error_code ec;
    bool denied;
    bool not_found;
  };
  const auto win = [](int value) { return std::error_code(value, std::system_category()); };
  const auto gen = [](int value) { return std::error_code(value, std::generic_category()); };
  const row rows[] = {
      {win(ERROR_ACCESS_DENIED), true, false},
      {win(ERROR_FILE_NOT_FOUND), false, true},
      {win(ERROR_PATH_NOT_FOUND), false, true},
      {win(ERROR_BAD_NETPATH), false, true},
      {win(ERROR_INVALID_NAME), false, true},
      {win(ERROR_ALREADY_EXISTS), false, false},
      {win(ERROR_SHARING_VIOLATION), false, false},
      {gen(EACCES), true, false},
      {gen(ENOENT), false, true},
      {gen(EEXIST), false, false},
      {std::error_code(), false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.ec.value());
    EXPECT_EQ(is_access_denied(r.ec), r.denied);
    EXPECT_EQ(is_not_found(r.ec), r.not_found);
  }
}

TEST(PlatformTimeTest, LocalTimeKeepsTheRuntimeRange) {
  std::tm out{};
  EXPECT_TRUE(local_time(0, out));
  EXPECT_TRUE(out.tm_year == 70 || out.tm_year == 69);
  EXPECT_TRUE(local_time(32519318400LL, out));  // in the year 3000
  EXPECT_EQ(out.tm_year, 3000 - 1900);
  EXPECT_FALSE(local_time(-1, out));
  EXPECT_FALSE(local_time(32535215999LL + 86400LL * 365, out));
}

TEST(PlatformUserFoldersTest, ConfigFolderIsTheRoamingApplicationDataFolder) {
  const auto folder = config_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(folder.is_absolute());
  if (const char* appdata = std::getenv("APPDATA")) {
    EXPECT_EQ(folder, path_from_wide(wide_from_native(appdata)));
  }
  EXPECT_FALSE(config_folder_hint().empty());
}

TEST(LibraryTest, LoadsTheFolderDriverAndFindsItsExports) {
  EXPECT_EQ(library_suffix(), L".dll");
  const char* bin = std::getenv("KVCS_BIN");
  ASSERT_NE(bin, nullptr);
  auto lib = library::open(path_from_wide(wide_from_native(bin)) / "kellar-fs.dll");
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(lib->symbol("storage_connect"), nullptr);
  EXPECT_EQ(lib->symbol("no_such_symbol_here"), nullptr);
}

TEST(LibraryTest, UnloadableFilesGiveNull) {
  test::temp_folder temp;
  const auto text = temp.write("kellar-junk.dll", "not a library");
  std::filesystem::create_directory(temp / "folder.dll");
  for (const auto& path : {std::filesystem::path(), temp / "missing.dll", text, temp / "folder.dll",
                           std::filesystem::path("kernel32.dll")}) {
    SCOPED_TRACE(narrow_from_path(path));
    EXPECT_EQ(library::open(path), nullptr);
  }
}

TEST(PlatformTextTest, WindowsPathRules) {
  EXPECT_EQ(separators_to_generic(L"C:\\a/b\\c"), L"C:/a/b/c");
  EXPECT_EQ(separators_to_native(L"C:/a\\b/c"), L"C:\\a\\b\\c");
  struct row {
    std::wstring a;
    std::wstring b;
    bool same;
  };
  const row rows[] = {
      {L"C:\\Work\\Site", L"c:\\work\\SITE", true},
      {L"abc", L"abd", false},
      {L"abc", L"ab", false},
      {L"", L"", true},
      {L"\u00c9t\u00e9", L"\u00e9T\u00c9", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(native_from_wide(r.a) + " " + native_from_wide(r.b));
    EXPECT_EQ(same_names(r.a, r.b), r.same);
  }
  // Paths hold UTF-16 as it is: a pair, and a lone surrogate a Windows name may carry.
  const std::wstring text = test::units({'C', ':', '\\', 0x1F600, '\\', 0xD800, 'x'});
  EXPECT_EQ(wide_from_path(path_from_wide(text)), text);
  EXPECT_EQ(narrow_from_path(path_from_wide(L"C:\\a\\\U0001F600")), "C:/a/\xF0\x9F\x98\x80");
  EXPECT_EQ(wide_from_native_name(L"n\u00e4me"), L"n\u00e4me");
}

}  // namespace
}  // namespace kestrun::platform
