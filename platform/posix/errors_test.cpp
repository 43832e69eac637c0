// Tests of the error section: which error numbers mean "access denied" and "not there".
#include <filesystem>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

TEST(PlatformErrorsTest, MapsErrorNumbers) {
  struct row {
    std::errc value;
    bool denied;
    bool not_found;
  };
  const row rows[] = {
      {std::errc::permission_denied, true, false},
      {std::errc::operation_not_permitted, true, false},
      {std::errc::no_such_file_or_directory, false, true},
      {std::errc::not_a_directory, false, true},
      {std::errc::file_exists, false, false},
      {std::errc::is_a_directory, false, false},
  };
  for (const auto& r : rows) {
    for (const auto& category : {&std::generic_category(), &std::system_category()}) {
      const std::error_code ec(static_cast<int>(r.value), *category);
      SCOPED_TRACE(ec.message() + " in " + category->name());
      EXPECT_EQ(is_access_denied(ec), r.denied);
      EXPECT_EQ(is_not_found(ec), r.not_found);
    }
  }
  EXPECT_FALSE(is_access_denied(std::error_code()));
  EXPECT_FALSE(is_not_found(std::error_code()));
}

TEST(PlatformErrorsTest, NotFoundFromTheFileSystem) {
  std::error_code ec;
  (void)std::filesystem::status("/nonexistent-kvcs-folder/file", ec);
  EXPECT_TRUE(is_not_found(ec));
  (void)std::filesystem::status("/proc/self/exe/below", ec);  // a file where a folder should be
  EXPECT_TRUE(is_not_found(ec));
}

}  // namespace
}  // namespace kestrun::platform
