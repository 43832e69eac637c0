// Folders opened a piece at a time, for paths longer than the system takes whole.
#include "platform/posix/deep_path.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun::platform::posix {
namespace {

// The most bytes one call takes as a path, its terminating zero not counted.
constexpr std::size_t whole_limit = PATH_MAX - 1;

}  // namespace

int open_folder(std::string_view folder, bool readable, std::error_code& ec) {
  ec.clear();
  const int final_flags = (readable ? O_RDONLY : O_PATH) | O_DIRECTORY | O_CLOEXEC;
  int dir = AT_FDCWD;
  std::size_t pos = 0;
  if (folder.empty()) {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
    return -1;
  }
  while (pos < folder.size()) {
    std::size_t length = folder.size() - pos;
    if (length > whole_limit) {
      // Cut at the last separator that keeps the piece within the limit; no name is longer
      // than a piece can be.
      const std::size_t cut = folder.rfind('/', pos + whole_limit);
      // A first piece that starts at the root keeps its leading '/' and is opened as absolute.
      length = cut == std::string_view::npos || cut <= pos ? 0 : cut - pos;
      if (length == 0) {
        if (dir != AT_FDCWD) ::close(dir);
        ec = std::make_error_code(std::errc::filename_too_long);
        return -1;
      }
    }
    const std::string piece(folder.substr(pos, length));
    pos += length;
    while (pos < folder.size() && folder[pos] == '/') ++pos;
    const bool last = pos >= folder.size();
    const int next =
        ::openat(dir, piece.c_str(), last ? final_flags : O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    if (dir != AT_FDCWD) ::close(dir);
    if (next < 0) {
      ec.assign(error, std::generic_category());
      return -1;
    }
    dir = next;
  }
  return dir;
}

int make_folders(std::string_view folder, std::error_code& ec) {
  ec.clear();
  int dir = AT_FDCWD;
  std::size_t pos = 0;
  if (!folder.empty() && folder.front() == '/') {
    dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      ec.assign(errno, std::generic_category());
      return -1;
    }
  }
  while (pos < folder.size()) {
    while (pos < folder.size() && folder[pos] == '/') ++pos;
    if (pos >= folder.size()) break;
    std::size_t end = folder.find('/', pos);
    if (end == std::string_view::npos) end = folder.size();
    const std::string name(folder.substr(pos, end - pos));
    pos = end;
    int next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    int error = errno;
    // Another process may make it first: what counts is that a folder stands there.
    if (next < 0 && error == ENOENT) {
      if (::mkdirat(dir, name.c_str(), 0777) == 0 || errno == EEXIST) {
        next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      error = errno;
    }
    if (dir != AT_FDCWD) ::close(dir);
    if (next < 0) {
      ec.assign(error, std::generic_category());
      return -1;
    }
    dir = next;
  }
  if (dir == AT_FDCWD) dir = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return dir;
}

at_path::at_path(const std::filesystem::path& path) : dir_(AT_FDCWD), name_(path.c_str()) {
  const std::string& text = path.native();
  if (text.size() <= whole_limit) return;
  std::size_t end = text.size();
  while (end > 1 && text[end - 1] == '/') --end;  // "a/b/" names b
  const std::size_t slash = text.rfind('/', end - 1);
  const std::string_view parent = slash == std::string::npos ? std::string_view(".")
                                  : slash == 0               ? std::string_view("/")
                                               : std::string_view(text).substr(0, slash);
  last_ = text.substr(slash == std::string::npos ? 0 : slash + 1,
                      end - (slash == std::string::npos ? 0 : slash + 1));
  name_ = last_.c_str();
  dir_ = open_folder(parent, false, error_);
  owned_ = dir_ >= 0;
}

at_path::~at_path() {
  if (owned_) ::close(dir_);
}

}  // namespace kestrun::platform::posix
