// The text of a project payload.
#include "vcs/notify_project.h"

#include "common/text.h"
#include "platform/platform.h"
#include "vcs/project.h"

namespace kestrun::vcs {

std::string notify_project::to_string() const {
  return utf16_to_utf8(project->name()) + " " +
         utf16_to_utf8(platform::wide_from_path(project->root()));
}

}  // namespace kestrun::vcs
