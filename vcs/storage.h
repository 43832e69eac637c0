// The storage named by a run's storage link: the number of its last version and the tree state
// of any version, rebuilt by replaying the version files 1 to N.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kestrun::vcs {

class project;
class state;
class storage_driver;

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

  // The last stored version: 0 when there is none, -1 when the storage cannot be reached.
  std::int32_t last_nn();

  // Replays versions 1..nn (nn -1: the last one), keeping only paths below `prefix` (wide,
  // '/'-separated, no leading or trailing '/'; empty for the whole tree). An empty state for
  // nn <= 0; an empty pointer when a version cannot be loaded. Fires
  // "kestrun::vcs::storage::state::path" and "kestrun::vcs::storage::state::nn".
  std::shared_ptr<vcs::state> state(const std::wstring& prefix, std::int32_t nn);

  const std::shared_ptr<storage_driver>& driver() const { return driver_; }

 private:
  std::shared_ptr<storage_driver> driver_;
};

}  // namespace kestrun::vcs
