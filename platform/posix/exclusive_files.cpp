// Locks, files created new, placing a file without replacing another (moved, or linked under a
// further name), and flushing to the disk, with the POSIX calls. Every call that another file
// system may refuse has a way round it: the folder driver meets FAT sticks and SMB shares as well
// as the disks of the machine.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

std::error_code errno_code(int value) { return {value, std::generic_category()}; }

int retry_close(int fd) {
  // A close cut by a signal has closed the descriptor all the same on Linux: never close twice.
  const int result = ::close(fd);
  return result != 0 && errno == EINTR ? 0 : result;
}

// Everything of `from` (at its start) into `to`, where the kernel can without copying through
// this process, else by blocks.
bool copy_all(int from, int to, std::error_code& ec) {
  bool kernel_copy = true;
  while (kernel_copy) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    // Not between these two files (another file system, an old kernel): the plain way, from
    // where the kernel stopped.
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
        errno != EPERM) {
      ec = errno_code(errno);
      return false;
    }
    kernel_copy = false;
  }
  std::string block(std::size_t{1} << 20, '\0');
  while (true) {
    const ssize_t n = ::read(from, block.data(), block.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      ec = errno_code(errno);
      return false;
    }
    std::size_t written = 0;
    while (written < static_cast<std::size_t>(n)) {
      const ssize_t w = ::write(to, block.data() + written, static_cast<std::size_t>(n) - written);
      if (w < 0) {
        if (errno == EINTR) continue;
        ec = errno_code(errno);
        return false;
      }
      written += static_cast<std::size_t>(w);
    }
  }
}

int open_new(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// `from`, opened, into the new file `to`; `to` is removed again when anything fails.
bool copy_into_new(int from, const std::filesystem::path& to, bool flush, std::error_code& ec) {
  const int out = open_new(to);
  if (out < 0) {
    ec = errno_code(errno);
    return false;
  }
  bool ok = copy_all(from, out, ec);
  if (ok && flush && ::fsync(out) != 0) {
    ec = errno_code(errno);
    ok = false;
  }
  if (retry_close(out) != 0 && ok) {
    ec = errno_code(errno);
    ok = false;
  }
  if (!ok) ::unlink(to.c_str());
  return ok;
}

// The errors with which a file system says it has no hard links (FAT answers EPERM, some SMB
// shares EOPNOTSUPP), as against a link that failed for a reason of its own.
bool links_refused(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOTSUP || error == ENOSYS ||
         error == EMLINK;
}

}  // namespace

bool file_lock::acquire(const std::filesystem::path& path, std::error_code& ec) {
  release();
  ec.clear();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    ec = errno_code(errno);
    return false;
  }
  // flock, not fcntl: its lock belongs to this open file, so no other descriptor of the file
  // that the process closes can drop it, and two locks of one process exclude each other too.
  int result = 0;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const int error = errno;
    retry_close(fd);
    ec = error == EWOULDBLOCK ? std::make_error_code(std::errc::device_or_resource_busy)
                              : errno_code(error);
    return false;
  }
  fd_ = fd;
  return true;
}

void file_lock::release() {
  if (fd_ < 0) return;
  // Closing the only descriptor of the open file releases its lock.
  retry_close(static_cast<int>(fd_));
  fd_ = -1;
}

bool create_new_file(const std::filesystem::path& path, std::error_code& ec) {
  ec.clear();
  const int fd = open_new(path);
  if (fd < 0) {
    ec = errno_code(errno);
    return false;
  }
  if (retry_close(fd) != 0) {
    ec = errno_code(errno);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

bool copy_to_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                      bool flush, std::error_code& ec) {
  ec.clear();
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    ec = errno_code(errno);
    return false;
  }
  const bool ok = copy_into_new(in, to, flush, ec);
  retry_close(in);
  return ok;
}

t_placed place_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                        std::error_code& ec) {
  ec.clear();
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return t_placed::placed;
  }
  if (errno == EEXIST) return t_placed::taken;
  if (!links_refused(errno)) {
    ec = errno_code(errno);
    return t_placed::failed;
  }
#if KESTRUN_HAVE_RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return t_placed::placed;
  }
  if (errno == EEXIST) return t_placed::taken;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTSUP) {
    ec = errno_code(errno);
    return t_placed::failed;
  }
#endif
  // Neither: the name is taken by creating it exclusively. `from` is opened first, so that its
  // name may go (another run clearing leftovers) without the claimed name being left empty.
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    ec = errno_code(errno);
    return t_placed::failed;
  }
  const bool copied = copy_into_new(in, to, true, ec);
  retry_close(in);
  if (!copied) return ec == std::errc::file_exists ? t_placed::taken : t_placed::failed;
  ::unlink(from.c_str());
  return t_placed::placed;
}

t_placed link_file(const std::filesystem::path& from, const std::filesystem::path& to, bool flush,
                   std::error_code& ec) {
  ec.clear();
  if (flush) {
    const int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      ec = errno_code(errno);
      return t_placed::failed;
    }
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    retry_close(fd);
    if (!synced) {
      ec = errno_code(error);
      return t_placed::failed;
    }
  }
  if (::link(from.c_str(), to.c_str()) == 0) return t_placed::placed;
  if (errno == EEXIST) return t_placed::taken;
  ec = errno_code(errno);
  return t_placed::failed;
}

bool sync_folder(const std::filesystem::path& folder, std::error_code& ec) {
  ec.clear();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    ec = errno_code(errno);
    return false;
  }
  bool ok = ::fsync(fd) == 0;
  // Some file systems (and some network shares) cannot flush a folder; their entries reach the
  // disk with the files.
  if (!ok && (errno == EINVAL || errno == EROFS || errno == ENOTSUP)) ok = true;
  if (!ok) ec = errno_code(errno);
  retry_close(fd);
  return ok;
}

bool can_sync_file_system() { return true; }

bool sync_file_system(const std::filesystem::path& path, std::error_code& ec) {
  ec.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ec = errno_code(errno);
    return false;
  }
  const bool ok = ::syncfs(fd) == 0;
  if (!ok) ec = errno_code(errno);
  retry_close(fd);
  return ok;
}

}  // namespace kestrun::platform
