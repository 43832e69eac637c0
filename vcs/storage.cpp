// The storage of a run and the replay of its version files into a tree state.
#include "vcs/storage.h"

#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "common/notify/event.h"
#include "common/text.h"
#include "vcs/kept_state.h"
#include "vcs/project.h"
#include "vcs/state.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"

namespace kestrun::vcs {

std::shared_ptr<storage> storage::open(project& proj, const std::wstring& link) {
  auto driver = std::make_shared<storage_driver>(link, 0, &proj, &proj.temp);
  // The driver's own connect event is the only trace of a refused connection.
  if (!driver->test()) return {};
  return std::make_shared<storage>(std::move(driver));
}

storage::storage(std::shared_ptr<storage_driver> driver) : driver_(std::move(driver)) {}

storage::~storage() = default;

std::int32_t storage::last_nn() { return driver_->last_nn(); }

void replay_command(state_items& items, const std::string& filter,
                    const transform_command& command) {
  const std::string& path = *command.path();
  if (path.compare(0, filter.size(), filter) != 0) return;
  if (command.type() == transform_command::add) {
    // An entry already there stays: the difference never adds without removing first.
    add_item(items, command.item());
  } else if (command.type() == transform_command::remove) {
    remove_item(items, command.path());
  }
}

namespace {

// Proves the cached version files among 1..nn the storage's own before any is replayed: the
// newest cached one is compared with the stored one and, while that differs (the storage was
// emptied, put back or rewritten), the next older cached one too, so that a run pays one download
// when nothing changed. `proven` becomes the version found the same (0: none is cached any more),
// `stale` whether a cached one was fetched again or dropped. False after the level-2
// "kestrun::vcs::load" of a version that could not be checked.
bool check_cache(const std::shared_ptr<storage_driver>& driver, std::int32_t nn,
                 std::uint32_t& proven, bool& stale) {
  proven = 0;
  stale = false;
  for (std::int32_t i = nn; i >= 1; --i) {
    const auto version = static_cast<std::uint32_t>(i);
    std::error_code ec;
    const bool cached = std::filesystem::exists(driver->local_path(version), ec);
    switch (transform::check_cached(driver, version)) {
      case transform::t_cached::same:
        proven = version;
        return true;
      case transform::t_cached::fetched_again:
        stale = true;
        break;
      case transform::t_cached::absent:
        // A cached file the storage lacks was dropped; one that was never cached says nothing.
        stale = stale || cached;
        break;
      case transform::t_cached::failed:
        notify::create("kestrun::vcs::load")->set_error(true)->fire_text(version);
        return false;
    }
  }
  return true;
}

}  // namespace

std::shared_ptr<vcs::state> storage::state(const std::wstring& prefix, std::int32_t nn) {
  // A last version that cannot be told is no version 0: counting that failed ends here, after
  // its own level-2 event.
  if (nn == -1 && (nn = last_nn()) < 0) return {};
  notify::create("kestrun::vcs::storage::state::path")->fire_text(prefix);
  notify::create("kestrun::vcs::storage::state::nn")->fire_text(static_cast<std::uint32_t>(nn));

  state_items items;
  if (nn > 0) {
    std::uint32_t proven = 0;
    bool stale = false;
    if (!check_cache(driver_, nn, proven, stale)) return {};
    // A cache that was not the storage's own may have been what the kept state was replayed
    // from.
    if (stale) drop_kept_state(*driver_);
    // The slash keeps a sibling whose name merely begins with the prefix (srcx) out.
    const std::string filter = prefix.empty() ? std::string() : utf16_to_utf8(prefix) + "/";
    const auto last = static_cast<std::uint32_t>(nn);
    std::uint32_t kept = 0;
    const t_kept found = read_kept_state(driver_, last, proven, filter, items, kept);
    for (std::uint32_t i = kept + 1; i <= last; ++i) {
      transform version(driver_, std::numeric_limits<std::uint32_t>::max());
      // Each command is applied as it is read: a version of millions of commands costs only
      // the state they build.
      const bool loaded = version.load(i, [&](const std::shared_ptr<transform_command>& command) {
        replay_command(items, filter, *command);
      });
      if (!loaded) return {};
    }
    // The next run starts from here, unless nothing was replayed, the state is only a part of
    // the tree, or a newer one is kept (this run restores an older version).
    if (kept < last && prefix.empty() && found != t_kept::newer) {
      (void)write_kept_state(*driver_, last, items);
    }
  }
  return std::make_shared<vcs::state>(driver_, nn, std::move(items));
}

}  // namespace kestrun::vcs
