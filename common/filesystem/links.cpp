// Links and junctions through the platform layer, which alone knows what a link is on each
// system: the standard library of some tool chains neither makes nor recognises them.
#include "common/filesystem/links.h"

#include "platform/platform.h"

namespace kestrun::filesystem {

std::wstring link_target(const std::filesystem::path& path, std::filesystem::file_status& status) {
  platform::t_entry_info info;
  std::error_code ec;
  if (!platform::entry_info(path, info, ec)) {
    // An entry that cannot be looked at (no search permission, a path too long) leads nowhere.
    if (platform::is_not_found(ec)) {
      status = std::filesystem::file_status(std::filesystem::file_type::not_found);
      return platform::wide_from_path(path);
    }
    status = std::filesystem::file_status(std::filesystem::file_type::none);
    return {};
  }
  if (!platform::is_link_entry(info.attributes, info.reparse_tag)) {
    using type = std::filesystem::file_type;
    status = std::filesystem::file_status(platform::is_folder(info.attributes)   ? type::directory
                                          : platform::is_device(info.attributes) ? type::unknown
                                                                                 : type::regular);
    return platform::wide_from_path(path);
  }
  status = std::filesystem::file_status(std::filesystem::file_type::symlink);
  std::wstring target;
  return platform::read_link(path, target, ec) ? target : std::wstring();
}

std::wstring read_junction(const std::filesystem::path& path) {
  std::wstring target;
  std::error_code ec;
  return platform::read_link(path, target, ec) ? target : std::wstring();
}

bool create_link(const std::filesystem::path& target, const std::filesystem::path& link,
                 std::error_code& ec) {
  // What the target leads to decides: a link or junction to a folder counts as a folder.
  platform::t_entry_info info;
  if (!platform::target_info(target, info, ec)) {
    if (!platform::is_not_found(ec)) throw std::filesystem::filesystem_error("exists", target, ec);
    return platform::create_file_link(target, link, ec);
  }
  if (platform::is_folder(info.attributes)) return platform::create_junction(target, link, ec);
  return platform::create_file_link(target, link, ec);
}

bool create_link(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::error_code ec;
  return create_link(target, link, ec);
}

bool create_junction(const std::filesystem::path& target, const std::filesystem::path& link) {
  std::error_code ec;
  return platform::create_junction(target, link, ec);
}

bool enable_privilege() { return platform::enable_restore_privilege(); }

}  // namespace kestrun::filesystem
