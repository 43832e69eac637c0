// Links through the standard library: a junction is a directory symbolic link with an absolute
// target, so no reparse data has to be built or parsed.
#include "common/filesystem/links.h"

#include "platform/platform.h"

namespace kestrun::filesystem {

std::wstring link_target(const std::filesystem::path& path, std::filesystem::file_status& status) {
  std::error_code ec;
  status = std::filesystem::symlink_status(path, ec);
  // An entry that cannot be looked at (no search permission, a path too long) leads nowhere.
  if (status.type() == std::filesystem::file_type::none) return {};
  if (!std::filesystem::is_symlink(status)) {
    // A link the standard library does not report as one (a Windows reparse point) is a link
    // whose data cannot be read here: empty text, as for any unreadable link.
    platform::t_entry_info info;
    std::error_code info_ec;
    if (platform::entry_info(path, info, info_ec) &&
        (info.attributes & platform::attribute_reparse_point) != 0 &&
        (info.reparse_tag == platform::reparse_tag_symlink ||
         info.reparse_tag == platform::reparse_tag_mount_point)) {
      return {};
    }
    return platform::wide_from_path(path);
  }
  const auto target = std::filesystem::read_symlink(path, ec);
  if (ec) return {};
  return platform::wide_from_path(target);
}

std::wstring read_junction(const std::filesystem::path& path) {
  enable_privilege();
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(path, ec);
  if (ec) return {};
  return platform::wide_from_path(target);
}

bool create_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  if (!std::filesystem::exists(target)) return false;
  // status() follows links, so a link or junction that leads to a folder counts as a folder.
  if (std::filesystem::is_directory(std::filesystem::status(target))) {
    return create_junction(target, link);
  }
  try {
    std::filesystem::create_symlink(target, link);
    return true;
  } catch (const std::exception&) {
    // Refused by the system, or something already stands at the link path.
    return false;
  }
}

bool create_junction(const std::filesystem::path& target, const std::filesystem::path& link) {
  enable_privilege();
  // symlink() fails without touching anything when the link path exists or its folder is
  // missing, and has no room limit of its own below the system's path length.
  std::error_code ec;
  std::filesystem::create_directory_symlink(target, link, ec);
  return !ec;
}

bool enable_privilege() { return true; }

}  // namespace kestrun::filesystem
