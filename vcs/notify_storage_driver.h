// The event payload of the connect and disconnect events of a storage driver: its link.
#pragma once

#include <string>

#include "common/notify/event.h"

namespace kestrun::vcs {

class storage_driver;

class notify_storage_driver : public notify::data {
 public:
  explicit notify_storage_driver(const storage_driver* source) : driver(source) {}

  // The link in UTF-8 with an FTP password shown as "***" (masked_link, storage_link.h).
  std::string to_string() const override;

  const storage_driver* driver;  // not owned: fired and released inside the driver's call
};

}  // namespace kestrun::vcs
