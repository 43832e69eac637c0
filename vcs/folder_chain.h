// The folders of the project that a restore changes, held open from the root down and entered by
// name without following a link.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace kestrun::vcs {

// Entries come in path order, so the folders that hold one mostly hold the next ones too: each
// folder is opened once for all of them, and no call walks a whole path again, however deep the
// tree. A link that stands where a folder should be (one the scan left out, or one put there while
// the restore runs) is never entered, so nothing done below a folder of the chain can land outside
// the project.
class folder_chain {
 public:
  explicit folder_chain(const std::filesystem::path& root);

  bool root_open() const { return root_.is_open(); }

  // The open folder that holds the entry `stored` (a safe stored path: '/'-separated, no empty,
  // "." or ".." element), and in `name` its last element. With `make`, missing folders on the
  // way are made. Null with `ec` when a folder on the way is missing
  // (std::errc::no_such_file_or_directory), is not a folder, or is a link
  // (std::errc::too_many_symbolic_link_levels); the folders before it stay held. Only the
  // folders above the entry stay held, never the entry itself: it may be removed or replaced.
  const platform::folder_handle* parent_of(const std::string& stored, bool make,
                                           std::filesystem::path& name, std::error_code& ec);

 private:
  platform::folder_handle root_;
  std::string held_;               // the stored path of the deepest folder held, "" for the root
  std::vector<std::size_t> ends_;  // where each held folder's path ends in held_
  std::vector<std::unique_ptr<platform::folder_below>> open_;
};

}  // namespace kestrun::vcs
