// Text of the file payload of the upload and download events.
#include "vcs/notify_file.h"

#include "vcs/state_item.h"

namespace kestrun::vcs {

std::string notify_file::to_string() const {
  return std::to_string(file->size()) + " " + file->name_text();
}

}  // namespace kestrun::vcs
