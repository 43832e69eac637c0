// Maps stored paths onto the project folder without ever leaving it.
#include "vcs/safe_path.h"

#include <system_error>

#include "platform/platform.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {

std::filesystem::path path_from_utf8_strict(const std::string& text) {
  std::wstring wide;
  if (!platform::strict_wide_from_utf8(text, wide)) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "invalid UTF-8 name");
  }
  return platform::path_from_wide(wide);
}

std::optional<std::filesystem::path> safe_local_path(const std::filesystem::path& root,
                                                     const std::string& stored) {
  const std::filesystem::path relative = path_from_utf8_strict(stored);
  if (!is_safe_stored_path(stored) || relative.has_root_path()) return std::nullopt;
  // A folder below the root that is really a link would carry the path elsewhere. Any reparse
  // point counts: what one does with a path is the file system's business, not the project's.
  std::filesystem::path walk = root;
  auto last = relative.end();
  --last;
  for (auto it = relative.begin(); it != last; ++it) {
    walk /= *it;
    platform::t_entry_info info;
    std::error_code ec;
    if (!platform::entry_info(walk, info, ec)) break;  // nothing there leads nowhere
    if (platform::is_reparse_point(info.attributes)) return std::nullopt;
  }
  return root / relative;
}

}  // namespace kestrun::vcs
