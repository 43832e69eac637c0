// The text of a storage driver payload.
#include "vcs/notify_storage_driver.h"

#include "common/text.h"
#include "vcs/storage_driver.h"
#include "vcs/storage_link.h"

namespace kestrun::vcs {

std::string notify_storage_driver::to_string() const {
  return utf16_to_utf8(masked_link(driver->link()));
}

}  // namespace kestrun::vcs
