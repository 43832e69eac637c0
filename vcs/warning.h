// The one form of a restore's warning about an entry it could not change: the entry, then why.
#pragma once

#include <string>
#include <system_error>

#include "common/notify/event.h"

namespace kestrun::vcs {

// Fires `event` with level 1 and the text "{entry}: {reason}".
inline void fire_warning(const char* event, const std::string& entry, const std::string& reason) {
  auto warning = notify::create(event);
  warning->level = 1;
  warning->fire_text(entry + ": " + reason);
}

// The same with the system's own words for `ec`.
inline void fire_warning(const char* event, const std::string& entry, const std::error_code& ec) {
  std::string reason = ec.message();
  // Some systems end their messages with a line break.
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
    reason.pop_back();
  }
  fire_warning(event, entry, reason);
}

}  // namespace kestrun::vcs
