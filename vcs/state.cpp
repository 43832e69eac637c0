// The tree state and the two operations that keep its map keyed by the items' own names.
#include "vcs/state.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrun::vcs {

bool name_less::operator()(const std::shared_ptr<std::string>& a,
                           const std::shared_ptr<std::string>& b) const {
  // memcmp compares unsigned bytes, so every path holding UTF-8 beyond ASCII sorts after ASCII.
  const std::size_t common = std::min(a->size(), b->size());
  const int order = common == 0 ? 0 : std::memcmp(a->data(), b->data(), common);
  if (order != 0) return order < 0;
  return a->size() < b->size();
}

bool add_item(state_items& items, const std::shared_ptr<state_item>& item) {
  return items.emplace(item->name(), item).second;
}

bool remove_item(state_items& items, const std::shared_ptr<std::string>& name) {
  return items.erase(name) != 0;
}

state::state(std::shared_ptr<storage_driver> driver, std::int32_t nn, const state_items& items)
    : nn_(nn), driver_(std::move(driver)), items_(items) {}

state::state(std::shared_ptr<storage_driver> driver, std::int32_t nn, state_items&& items)
    : nn_(nn), driver_(std::move(driver)), items_(std::move(items)) {}

state::~state() = default;

void state::set_unread(std::vector<std::string> folders, std::size_t left_out) {
  unread_ = std::move(folders);
  left_out_ = left_out;
}

void state::keep_unread_from(const state& stored) {
  for (const std::string& folder : unread_) {
    // The names below "a" are those that begin with "a/": one run of the map. An empty name
    // stands for the scanned folder, whose run is everything.
    // What was listed there before the failure waits too: the stored entries stand for the
    // whole folder, so nothing there is added, changed or removed.
    const auto below = std::make_shared<std::string>(folder.empty() ? "" : folder + "/");
    auto mine = items_.lower_bound(below);
    while (mine != items_.end() && mine->first->starts_with(*below)) mine = items_.erase(mine);
    auto it = stored.items_.lower_bound(below);
    for (; it != stored.items_.end() && it->first->starts_with(*below); ++it) {
      items_.emplace(it->first, it->second);
    }
  }
}

}  // namespace kestrun::vcs
