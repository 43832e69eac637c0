// Tests of the POSIX text section: paths from bytes and back, and wide units beyond UTF-16.
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wide_units.h"

namespace kestrun::platform {
namespace {

using test::units;

TEST(PlatformTextTest, NativeFromWideKeepsOtherUnitsWritable) {
  EXPECT_EQ(native_from_wide(units({0xD83D})), "\xED\xA0\xBD");
  EXPECT_EQ(native_from_wide(units({0x110000})), "\xEF\xBF\xBD");
  EXPECT_EQ(native_from_wide(units({0xFFFFFFFF})), "\xEF\xBF\xBD");
}

TEST(PlatformTextTest, PathsKeepEveryName) {
  test::temp_folder folder;
  for (const std::string name :
       {"plain", "\xF0\x9F\x98\x80 caf\xC3\xA9", "raw\xFF\x80", "back\\slash"}) {
    SCOPED_TRACE(name);
    const auto file = folder.write(name, "x");
    const std::wstring wide = wide_from_path(file);
    const auto back = path_from_wide(wide);
    EXPECT_EQ(back, file);
    EXPECT_TRUE(std::filesystem::exists(back));
  }
  EXPECT_EQ(wide_from_path(std::filesystem::path("/a/\xF0\x9F\x98\x80")),
            units({'/', 'a', '/', 0x1F600}));
  EXPECT_EQ(path_from_wide(units({'/', 0x1F600})).native(), "/\xF0\x9F\x98\x80");
}

TEST(PlatformTextTest, ValuesBeyondUnicodeHaveNoText) {
  std::string narrow;
  EXPECT_FALSE(strict_utf8_from_wide(units({'a', 0x110000}), narrow));
}

TEST(PlatformTextTest, SeparatorsStayAsTheyAre) {
  EXPECT_EQ(separators_to_generic(L"a\\b/c"), L"a\\b/c");
  EXPECT_EQ(separators_to_native(L"a\\b/c"), L"a\\b/c");
}

}  // namespace
}  // namespace kestrun::platform
