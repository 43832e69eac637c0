// The difference between two tree states as the commands that turn one into the other.
#include <memory>
#include <string>
#include <utility>

#include "common/notify/event.h"
#include "vcs/state.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"

namespace kestrun::vcs {

std::shared_ptr<transform> state::diff(const std::shared_ptr<state>& other) const {
  notify::create("kestrun::vcs::state::diff::start")
      ->fire_text(std::to_string(items_.size()) + "/" + std::to_string(other->items_.size()));

  // Both maps are sorted by the same order, so one merge walk looks every entry up in the other
  // map. Removals are gathered ascending and reversed at the end: contents go before their
  // folder, while additions keep ascending order so a folder comes before its contents.
  // A folder that this side holds entries below is present here, named or not (a version
  // backed up from a subfolder names none of the folders above it): it is no removal.
  const auto holds_entries_below = [this](const state_item& item) {
    if (item.type() != 'D') return false;
    const auto below = std::make_shared<std::string>(*item.name() + "/");
    const auto next = items_.lower_bound(below);
    return next != items_.end() && next->first->compare(0, below->size(), *below) == 0;
  };
  transform_commands removals;
  transform_commands changes;
  const name_less less;
  auto mine = items_.begin();
  auto theirs = other->items_.begin();
  while (mine != items_.end() || theirs != other->items_.end()) {
    if (theirs == other->items_.end() ||
        (mine != items_.end() && less(mine->first, theirs->first))) {
      changes.push_back(std::make_shared<transform_command>(transform_command::add,
                                                            mine->second->name(), mine->second));
      ++mine;
    } else if (mine == items_.end() || less(theirs->first, mine->first)) {
      if (!holds_entries_below(*theirs->second)) {
        removals.push_back(
            std::make_shared<transform_command>(transform_command::remove, theirs->second->name()));
      }
      ++theirs;
    } else {
      const auto& wanted = mine->second;
      const auto& present = theirs->second;
      // The target's item judges equality: a local file computes its identity only when the
      // sizes match and the times differ.
      if (present->type() != wanted->type() || !wanted->equals(present)) {
        changes.push_back(
            std::make_shared<transform_command>(transform_command::remove, wanted->name()));
        changes.push_back(
            std::make_shared<transform_command>(transform_command::add, wanted->name(), wanted));
      }
      ++mine;
      ++theirs;
    }
  }

  transform_commands commands;
  commands.reserve(removals.size() + changes.size());
  commands.insert(commands.end(), std::make_move_iterator(removals.rbegin()),
                  std::make_move_iterator(removals.rend()));
  commands.insert(commands.end(), std::make_move_iterator(changes.begin()),
                  std::make_move_iterator(changes.end()));

  notify::create("kestrun::vcs::state::diff::finish")
      ->fire_text(static_cast<std::uint32_t>(commands.size()));

  // The transform works on the side that `other` describes: a storage for a backup, the folder
  // for a restore, which still needs the storage's link to download from.
  const auto& from = other->driver();
  const std::wstring& link = from->is_local() ? driver_->link() : from->link();
  auto driver = std::make_shared<storage_driver>(link, from->is_local(), from->project(),
                                                 from->project_temp());
  return std::make_shared<transform>(std::move(driver), static_cast<std::uint32_t>(other->nn_) + 1,
                                     commands);
}

}  // namespace kestrun::vcs
