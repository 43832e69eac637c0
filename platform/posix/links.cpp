// Links on POSIX: a junction is a symbolic link whose stored text is the folder's path, and there
// is no privilege to enable.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/deep_path.h"

namespace kestrun::platform {

namespace {

bool make_symlink(const std::filesystem::path& target, const std::filesystem::path& link,
                  std::error_code& ec) {
  ec.clear();
  // symlink() fails without touching anything when the link path exists or its folder is
  // missing.
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    ec.assign(errno, std::generic_category());
    return false;
  }
  return true;
}

}  // namespace

bool target_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec) {
  out = t_entry_info{};
  ec.clear();
  struct stat st;
  const posix::at_path at(path);
  if (at.dir() == -1) {
    ec = at.error();
    return false;
  }
  if (::fstatat(at.dir(), at.name(), &st, 0) != 0) {
    ec.assign(errno, std::generic_category());
    return false;
  }
  out.attributes = S_ISDIR(st.st_mode)   ? attribute_directory
                   : S_ISREG(st.st_mode) ? 0
                                         : attribute_device;
  out.creation_time = st.st_ctim.tv_sec;
  out.write_time = st.st_mtim.tv_sec;
  out.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool read_link(const std::filesystem::path& path, std::wstring& target, std::error_code& ec) {
  target.clear();
  ec.clear();
  std::string text(256, '\0');
  const posix::at_path at(path);
  if (at.dir() == -1) {
    ec = at.error();
    return false;
  }
  while (true) {
    const ssize_t n = ::readlinkat(at.dir(), at.name(), text.data(), text.size());
    if (n < 0) {
      ec.assign(errno, std::generic_category());
      return false;
    }
    if (static_cast<std::size_t>(n) < text.size()) {
      text.resize(static_cast<std::size_t>(n));
      break;
    }
    text.resize(text.size() * 2);  // cut short: the link is longer than the room given
  }
  target = wide_from_native(text);
  return true;
}

bool create_file_link(const std::filesystem::path& target, const std::filesystem::path& link,
                      std::error_code& ec) {
  return make_symlink(target, link, ec);
}

bool create_junction(const std::filesystem::path& target, const std::filesystem::path& link,
                     std::error_code& ec) {
  return make_symlink(target, link, ec);
}

bool enable_restore_privilege() { return true; }

// The standard library removes a link as itself here.
bool remove_entry(const std::filesystem::path& path, std::error_code& ec) {
  return std::filesystem::remove(path, ec);
}

bool remove_tree(const std::filesystem::path& path, std::error_code& ec) {
  std::filesystem::remove_all(path, ec);
  return !ec;
}

}  // namespace kestrun::platform
