#include "tests/support/platform_facts.h"

#include <system_error>

#include "tests/support/temp_folder.h"

namespace kestrun::test {

bool can_make_links() {
  static const bool answer = [] {
    temp_folder folder;
    std::filesystem::create_directory(folder / "target");
    std::error_code ec;
    std::filesystem::create_directory_symlink(folder / "target", folder / "link", ec);
    return !ec && std::filesystem::is_symlink(std::filesystem::symlink_status(folder / "link", ec));
  }();
  return answer;
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

}  // namespace kestrun::test
