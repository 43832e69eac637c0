// Paths longer than the system takes whole (PATH_MAX bytes, 4,096 on Linux): a tree can hold
// entries at any depth, and the *at() calls reach them from a folder opened a piece at a time.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace kestrun::platform::posix {

// Opens the folder `folder` (following links, as a whole path would) for use as the folder of
// the *at() calls, one piece of at most PATH_MAX - 1 bytes at a time: O_PATH, or O_RDONLY when
// `readable` (for listing). -1 with `ec` when it cannot be opened.
int open_folder(std::string_view folder, bool readable, std::error_code& ec);

// make_folders: open_folder that makes each missing folder on the way (mode 0777 less the umask),
// one name at a time, so that no path handed to the system is longer than one name. The result
// is an O_PATH descriptor of the folder, or -1 with `ec`.
int make_folders(std::string_view folder, std::error_code& ec);

// An open folder and one name in it that stand for a path, for the *at() calls: the current
// folder (AT_FDCWD) and the path itself when the system takes it whole, else the path's parent
// opened with open_folder and its last element. dir() is -1 with error() set when the parent
// cannot be opened.
class at_path {
 public:
  explicit at_path(const std::filesystem::path& path);
  ~at_path();
  at_path(const at_path&) = delete;
  at_path& operator=(const at_path&) = delete;

  int dir() const { return dir_; }
  const char* name() const { return name_; }
  const std::error_code& error() const { return error_; }

 private:
  int dir_;
  bool owned_ = false;
  std::string last_;
  const char* name_;
  std::error_code error_;
};

}  // namespace kestrun::platform::posix
