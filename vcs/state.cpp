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

}  // namespace kestrun::vcs
