// The event payload that names one file of a save: its size and stored path, as the upload and
// download events of a backup or restore show them.
#pragma once

#include <string>

#include "common/notify/event.h"

namespace kestrun::vcs {

class state_item_file;

class notify_file : public notify::data {
 public:
  explicit notify_file(state_item_file* item) : file(item) {}

  // The size in decimal, one blank, the stored path: "4096 src/main.cpp".
  std::string to_string() const override;

  state_item_file* file;  // not owned: the payload is fired while the save holds the item
};

}  // namespace kestrun::vcs
