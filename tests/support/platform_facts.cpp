#include "tests/support/platform_facts.h"

#include <cstdlib>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::test {

bool can_make_links() {
  static const bool answer = [] {
    temp_folder folder;
    std::filesystem::create_directory(folder / "target");
    const auto file = folder.write("file", "");
    // The layer makes sure of what it made: a success that left nothing is a failure there.
    // Windows makes junctions for anyone, file links only in developer mode or when elevated.
    std::error_code ec;
    return platform::create_junction(folder / "target", folder / "link", ec) &&
           platform::create_file_link(file, folder / "file_link", ec);
  }();
  return answer;
}

bool make_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  if (!can_make_links()) return false;
  std::error_code ec;
  const bool made = std::filesystem::is_directory(target)
                        ? platform::create_junction(target, link, ec)
                        : platform::create_file_link(target, link, ec);
  EXPECT_TRUE(made) << link << ": " << ec.message();
  return made;
}

bool keeps_invalid_names() {
  static const bool answer = [] {
    temp_folder folder;
    const auto file = folder.write("bad\xFF", "");
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path(), ec)) {
      if (entry.path() == file) return true;
    }
    return false;
  }();
  return answer;
}

std::filesystem::path library_file(const std::filesystem::path& folder, const std::string& name) {
  return folder /
         platform::path_from_wide(platform::wide_from_native(name) + platform::library_suffix());
}

std::filesystem::path driver_folder() {
  const char* bin = std::getenv("KVCS_BIN");
  return bin != nullptr ? platform::path_from_wide(platform::wide_from_native(bin))
                        : std::filesystem::path();
}

}  // namespace kestrun::test
