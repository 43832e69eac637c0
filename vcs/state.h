// A tree state: the entries of a project tree, scanned from the disk or rebuilt from the stored
// versions, keyed by their '/'-separated UTF-8 paths in byte order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vcs/state_item.h"

namespace kestrun::vcs {

class storage_driver;
class transform;

// Orders the pointed-to paths by their bytes (unsigned), a shorter path before a longer one that
// begins with it: B, a, a-b, a/b, a0.
struct name_less {
  bool operator()(const std::shared_ptr<std::string>& a,
                  const std::shared_ptr<std::string>& b) const;
};

// Every key is its item's own name pointer.
using state_items = std::map<std::shared_ptr<std::string>, std::shared_ptr<state_item>, name_less>;

// Inserts the item under its name; false (and the entry already there stays) when taken.
bool add_item(state_items& items, const std::shared_ptr<state_item>& item);
// Erases the entry with that name text; false when there is none.
bool remove_item(state_items& items, const std::shared_ptr<std::string>& name);

class state {
 public:
  // nn: the version the state was rebuilt from, -1 for a scanned folder. The map is copied; its
  // items are shared.
  state(std::shared_ptr<storage_driver> driver, std::int32_t nn, const state_items& items);
  state(std::shared_ptr<storage_driver> driver, std::int32_t nn, state_items&& items);
  virtual ~state();
  state(const state&) = delete;
  state& operator=(const state&) = delete;

  // The commands that turn `other` (what is) into this state (what should be): removals of the
  // entries only `other` has, in descending path order, then replacements and additions in
  // ascending order. The transform's driver is a new one: the link of `other`'s driver when that
  // is a storage, else this state's link; local flag, project and temporary folder of `other`'s
  // driver. Its nn is other's + 1. Never empty. Fires "kestrun::vcs::state::diff::start"
  // ("{this}/{other}" entry counts) and "kestrun::vcs::state::diff::finish" (command count).
  std::shared_ptr<transform> diff(const std::shared_ptr<state>& other) const;

  // A scanned state's folders whose content could not be read (UTF-8 names; "" for the scanned
  // folder itself), and its entries left out because their names or link targets are no text:
  // the state does not show all of the folder.
  void set_unread(std::vector<std::string> folders, std::size_t left_out);
  const std::vector<std::string>& unread() const { return unread_; }
  bool incomplete() const { return !unread_.empty() || left_out_ != 0; }

  // Replaces what this state holds below each unread folder by what `stored` holds there, so
  // that a difference with `stored` removes, adds and changes nothing there: what could not be
  // read keeps what the storage knows of it.
  void keep_unread_from(const state& stored);

  // Files that a run cut short left beside their targets, found by the scan and left out of it;
  // a run that may change the folder removes them.
  void set_leftovers(std::vector<std::filesystem::path> paths) { leftovers_ = std::move(paths); }
  const std::vector<std::filesystem::path>& leftovers() const { return leftovers_; }

  std::int32_t nn() const { return nn_; }
  const std::shared_ptr<storage_driver>& driver() const { return driver_; }
  const state_items& items() const { return items_; }

 private:
  std::int32_t nn_;
  std::shared_ptr<storage_driver> driver_;
  state_items items_;
  std::vector<std::string> unread_;
  std::size_t left_out_ = 0;
  std::vector<std::filesystem::path> leftovers_;
};

}  // namespace kestrun::vcs
