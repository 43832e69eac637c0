// What every call on an entry of a held folder checks first, on both sides of the layer.
#pragma once

#include <system_error>

#include "platform/platform.h"

namespace kestrun::platform::detail {

// Clears `ec`, or sets it when `folder` did not open: a folder that is not there answers every
// call below it the same way.
inline bool usable(const folder_handle& folder, std::error_code& ec) {
  ec.clear();
  if (!folder.is_open()) ec = std::make_error_code(std::errc::bad_file_descriptor);
  return !ec;
}

}  // namespace kestrun::platform::detail
