// transform::save: the steps shared by a backup and a restore, then the branch that the
// transform's driver picks.
#include <cstdint>

#include "common/notify/event.h"
#include "vcs/backup.h"
#include "vcs/restore.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"

namespace kestrun::vcs {

bool transform::save() {
  notify::create("kestrun::vcs::save::count")
      ->fire_text(static_cast<std::uint64_t>(commands_.size()));
  if (commands_.empty()) {
    notify::create("kestrun::vcs::save")->set_error(incomplete_)->fire_text("commands empty");
    return !incomplete_;
  }
  return driver_->is_local() ? apply_restore(*this) : save_backup(*this);
}

}  // namespace kestrun::vcs
