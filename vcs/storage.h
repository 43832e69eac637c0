// The storage named by a run's storage link: the number of its last version and the tree state
// of any version, rebuilt by replaying the version files 1 to N (or those after a kept state).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vcs/state.h"

namespace kestrun::vcs {

class project;
class state;
class storage_driver;
class transform_command;

// The replay of one stored command into `items`, for a path that begins with `filter` (empty:
// every path): an add inserts its item unless the name is already there, a removal erases the
// entry; anything else changes nothing.
void replay_command(state_items& items, const std::string& filter,
                    const transform_command& command);

class storage {
 public:
  // Binds the driver library of `link` and tests one connect. Empty when the library is missing
  // or incomplete or the connection is refused; fires no event of its own. `proj` must outlive
  // the storage and everything made from it.
  static std::shared_ptr<storage> open(project& proj, const std::wstring& link);

  explicit storage(std::shared_ptr<storage_driver> driver);
  virtual ~storage();
  storage(const storage&) = delete;
  storage& operator=(const storage&) = delete;

  // The last stored version: 0 when there is none, -1 when it cannot be told (the storage cannot
  // be reached or asked, or its history has a gap; see storage_driver::last_nn).
  std::int32_t last_nn();

  // Replays versions 1..nn (nn -1: the last one), keeping only paths below `prefix` (wide,
  // '/'-separated, no leading or trailing '/'; empty for the whole tree). Cached version files
  // are first proven to be the storage's own: the newest cached one among 1..nn is compared
  // with the stored one and, while one differs and is fetched again, the next older one too.
  // Versions up to the one whose state the last replay kept in the cache folder are not read
  // again while that kept state is whole and its version's cached file is still the proven one
  // (see kept_state.h); a replay of the whole tree keeps its state for the next run, unless a
  // newer one is kept already.
  // An empty state for nn 0 (or below, when given); an empty pointer when nn is -1 and the last
  // version cannot be told, or a version cannot be checked or loaded (the failing step's
  // level-2 event is the last word). Fires "kestrun::vcs::storage::state::path" and
  // "kestrun::vcs::storage::state::nn". Memory follows the state being built, not the number
  // of commands in the version files.
  std::shared_ptr<vcs::state> state(const std::wstring& prefix, std::int32_t nn);

  const std::shared_ptr<storage_driver>& driver() const { return driver_; }

 private:
  std::shared_ptr<storage_driver> driver_;
};

}  // namespace kestrun::vcs
