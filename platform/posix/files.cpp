// The files-and-links section of the POSIX layer: what FindFirstFileW says of an entry, read with
// statx (fstatat where statx is missing), reading a whole file, and the modification time of a
// restored file.
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/folder_checks.h"
#include "platform/platform.h"
#include "platform/posix/deep_path.h"

namespace kestrun::platform {
namespace {

constexpr std::int64_t ticks_per_second = 10'000'000;  // FILETIME counts 100 ns

// The FILETIME rule on a time the system keeps in nanoseconds: the nanoseconds are cut to whole
// 100-ns ticks as a FILETIME would hold them, and half a second or more rounds up. tv_nsec is
// never negative, so times before 1970 round the same way.
std::int64_t rounded_seconds(std::int64_t seconds, std::int64_t nanoseconds) {
  const std::int64_t ticks = nanoseconds / 100;
  return seconds + (ticks >= ticks_per_second / 2 ? 1 : 0);
}

// `dir` and `name` locate the entry as the *at() calls take it: AT_FDCWD and a whole path, or an
// open folder and one name.
std::uint32_t attributes_of(mode_t mode, int dir, const char* name) {
  if (S_ISREG(mode)) return 0;
  if (S_ISDIR(mode)) return attribute_directory;
  if (!S_ISLNK(mode)) return attribute_device;
  // A link to a folder carries the directory bit, as a Windows directory link does; a dangling
  // link is a plain link.
  struct stat target;
  if (::fstatat(dir, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
    return attribute_reparse_point | attribute_directory;
  }
  return attribute_reparse_point;
}

bool fill_from_fstatat(int dir, const char* name, t_entry_info& out, std::error_code& ec) {
  struct stat st;
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    ec.assign(errno, std::generic_category());
    out = t_entry_info{};
    return false;
  }
  out.attributes = attributes_of(st.st_mode, dir, name);
  out.reparse_tag = S_ISLNK(st.st_mode) ? reparse_tag_symlink : 0;
  out.creation_time = rounded_seconds(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  out.write_time = rounded_seconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  out.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool query(int dir, const char* name, t_entry_info& out, std::error_code& ec) {
  out = t_entry_info{};
  ec.clear();
  struct statx stx;
  if (::statx(dir, name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
    const int error = errno;
    // Kernels and file systems without statx still answer fstatat.
    if (error == ENOSYS || error == EOPNOTSUPP) return fill_from_fstatat(dir, name, out, ec);
    ec.assign(error, std::generic_category());
    return false;
  }
  const auto mode = static_cast<mode_t>(stx.stx_mode);
  out.attributes = attributes_of(mode, dir, name);
  out.reparse_tag = S_ISLNK(mode) ? reparse_tag_symlink : 0;
  // Not every file system keeps a birth time; the change time is the nearest stand-in.
  const statx_timestamp& created =
      (stx.stx_mask & STATX_BTIME) != 0 ? stx.stx_btime : stx.stx_ctime;
  out.creation_time = rounded_seconds(created.tv_sec, created.tv_nsec);
  out.write_time = rounded_seconds(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
  out.size = stx.stx_size;
  return true;
}

}  // namespace

bool entry_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec) {
  const posix::at_path at(path);
  if (at.dir() == -1) {
    out = t_entry_info{};
    ec = at.error();
    return false;
  }
  return query(at.dir(), at.name(), out, ec);
}

folder_handle::folder_handle(const std::filesystem::path& folder) {
  std::error_code ec;
  fd_ = posix::open_folder(folder.native(), true, ec);
}

folder_handle::~folder_handle() {
  if (fd_ >= 0) ::close(fd_);
}

bool entry_info_at(const folder_handle& folder, const char* name, t_entry_info& out,
                   std::error_code& ec) {
  if (!detail::usable(folder, ec)) {
    out = t_entry_info{};
    return false;
  }
  return query(folder.fd_, name, out, ec);
}

bool remove_entry_at(const folder_handle& folder, const std::filesystem::path& name,
                     std::error_code& ec) {
  if (!detail::usable(folder, ec)) return false;
  const int fd = static_cast<int>(folder.fd_);
  // unlinkat never follows the name; a folder answers EISDIR and goes as an empty folder.
  if (::unlinkat(fd, name.c_str(), 0) == 0) return true;
  if (errno == EISDIR && ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0) return true;
  if (errno != ENOENT) ec.assign(errno, std::generic_category());
  return false;
}

bool create_folder_at(const folder_handle& folder, const std::filesystem::path& name,
                      std::error_code& ec) {
  if (!detail::usable(folder, ec)) return false;
  const int fd = static_cast<int>(folder.fd_);
  if (::mkdirat(fd, name.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) {
    ec.assign(errno, std::generic_category());
    return false;
  }
  // Another process may have made it first: what counts is that a folder stands there.
  struct stat st;
  if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    return true;
  }
  ec = std::make_error_code(std::errc::file_exists);
  return false;
}

bool create_link_at(const folder_handle& folder, const std::filesystem::path& name,
                    const std::filesystem::path& target, bool /*to_folder*/, std::error_code& ec) {
  if (!detail::usable(folder, ec)) return false;
  // A junction is a link to the folder's path here: one call makes either, and fails without
  // touching anything when the name is taken.
  if (::symlinkat(target.c_str(), static_cast<int>(folder.fd_), name.c_str()) != 0) {
    ec.assign(errno, std::generic_category());
    return false;
  }
  return true;
}

input_file::~input_file() { close(); }

bool input_file::open(const std::filesystem::path& path) {
  close();
  // Opening a FIFO waits for a writer and a device may never end, and a file can be swapped for
  // one after it was looked at: the open does not wait, and only what it opened is judged.
  // O_NONBLOCK changes nothing for the reads of a regular file.
  const posix::at_path at(path);
  const int fd =
      at.dir() == -1 ? -1 : ::openat(at.dir(), at.name(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

std::size_t input_file::read(char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (fd_ >= 0 && got < size) {
    const ssize_t n = ::read(fd_, buffer + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the end of the file, or an error that ends the reading as the end does
    }
  }
  return got;
}

void input_file::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool create_folders(const std::filesystem::path& path, std::error_code& ec) {
  ec.clear();
  if (path.native().size() < PATH_MAX) {
    // Most folders asked for are new, in one that stands: one call, and nothing to look at.
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    std::filesystem::create_directories(path, ec);
    if (ec) return false;
    if (!std::filesystem::is_directory(path, ec)) {
      if (!ec) ec = std::make_error_code(std::errc::not_a_directory);
      return false;
    }
    return true;
  }
  const int fd = posix::make_folders(path.native(), ec);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool set_modification_time(const std::filesystem::path& path, std::int64_t seconds,
                           std::error_code& ec) {
  ec.clear();
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays as it is
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  const posix::at_path at(path);
  if (at.dir() == -1) {
    ec = at.error();
    return false;
  }
  if (::utimensat(at.dir(), at.name(), times, 0) != 0) {
    ec.assign(errno, std::generic_category());
    return false;
  }
  return true;
}

namespace {

// The listing of a folder the standard listing cannot open because its path is too long: the
// folder is opened a piece at a time and read through its descriptor. The entries carry their
// paths only; what they are is asked of the folder by name.
bool list_deep_folder(const std::filesystem::path& folder,
                      std::vector<std::filesystem::directory_entry>& out, std::error_code& ec) {
  const int fd = posix::open_folder(folder.native(), true, ec);
  if (fd < 0) return false;
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    ec.assign(errno, std::generic_category());
    ::close(fd);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing);
    if (entry == nullptr) {
      if (errno != 0) ec.assign(errno, std::generic_category());
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::filesystem::directory_entry listed;
    std::error_code too_long;  // the status of so long a path is read by name, not here
    listed.assign(folder / name, too_long);
    out.push_back(std::move(listed));
  }
  ::closedir(listing);
  return !ec;
}

}  // namespace

bool list_folder(const std::filesystem::path& folder,
                 std::vector<std::filesystem::directory_entry>& out, std::error_code& ec) {
  ec.clear();
  if (folder.native().size() >= PATH_MAX) return list_deep_folder(folder, out, ec);
  std::filesystem::directory_iterator it(folder, ec);
  for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
    out.push_back(*it);
  }
  return !ec;
}

}  // namespace kestrun::platform
