// Files written below a folder through open folder handles: every name is looked up in a folder
// already held open and never followed when it is a link, so a link put in place of a folder
// cannot carry a write elsewhere, and the system resolves one name per call instead of a path.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

}  // namespace

std::uint64_t input_file::size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

folder_below::folder_below(const folder_handle& parent, const std::filesystem::path& name,
                           std::error_code& ec) {
  ec.clear();
  fd_ = ::openat(parent.fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ >= 0) return;
  ec = last_error();
  // O_NOFOLLOW answers ELOOP for a link, O_DIRECTORY ENOTDIR for a link on some systems: ask.
  struct stat st;
  if (ec.value() == ENOTDIR && ::fstatat(parent.fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
  }
}

new_file::~new_file() { discard(); }

bool new_file::create(const folder_handle& folder, std::error_code& ec) {
  discard();
  ec.clear();
  folder_fd_ = folder.fd_;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporary_name();
    const int fd = ::openat(folder_fd_, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_name_ = std::move(name);
      return true;
    }
    if (errno != EEXIST) break;
  }
  ec = last_error();
  return false;
}

bool new_file::write(const char* data, std::size_t size, std::error_code& ec) {
  ec.clear();
  while (size > 0) {
    if (fd_ < 0) {
      ec = std::make_error_code(std::errc::bad_file_descriptor);
      return false;
    }
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ec = last_error();
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool new_file::finish(std::int64_t seconds, std::error_code& ec) {
  ec.clear();
  if (fd_ < 0) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays as it is
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  ::futimens(fd_, times);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0 && errno != EINTR) {
    ec = last_error();
    return false;
  }
  return true;
}

bool new_file::replace(const std::filesystem::path& name, std::error_code& ec) {
  return move_into(folder_fd_, {}, name, ec);
}

bool new_file::replace(const folder_handle& folder, const std::filesystem::path& name,
                       std::error_code& ec) {
  if (!folder.is_open()) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  return move_into(folder.fd_, {}, name, ec);
}

bool new_file::move_into(std::intptr_t target_fd, const std::filesystem::path&,
                         const std::filesystem::path& name, std::error_code& ec) {
  ec.clear();
  if (temp_name_.empty() || fd_ >= 0) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  const int target = static_cast<int>(target_fd);
#if KESTRUN_HAVE_RENAME_NOREPLACE
  // Most targets are new (a restore into an empty folder): one call, and nothing to judge.
  if (::renameat2(folder_fd_, temp_name_.c_str(), target, name.c_str(), RENAME_NOREPLACE) == 0) {
    temp_name_.clear();
    return true;
  }
  if (errno == EXDEV) {
    ec = last_error();
    return false;
  }
#endif
  struct stat st;
  if (::fstatat(target, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      ec = std::make_error_code(S_ISDIR(st.st_mode) ? std::errc::is_a_directory
                                                    : std::errc::invalid_argument);
      return false;
    }
    // A file that may not be written (read-only, immutable, in use) is not replaced either.
    const int probe =
        ::openat(target, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
      ec = last_error();
      return false;
    }
    ::close(probe);
    ::fchmodat(folder_fd_, temp_name_.c_str(), st.st_mode & 07777, 0);
  } else if (errno != ENOENT) {
    ec = last_error();
    return false;
  }
  if (::renameat(folder_fd_, temp_name_.c_str(), target, name.c_str()) != 0) {
    ec = last_error();
    return false;
  }
  temp_name_.clear();
  return true;
}

void new_file::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_name_.empty()) ::unlinkat(folder_fd_, temp_name_.c_str(), 0);
  temp_name_.clear();
}

}  // namespace kestrun::platform
