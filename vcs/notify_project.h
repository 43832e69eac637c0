// The event payload that shows a project as its name and root, fired when a project is made and
// when it is destroyed.
#pragma once

#include <string>

#include "common/notify/event.h"

namespace kestrun::vcs {

class project;

class notify_project : public notify::data {
 public:
  explicit notify_project(const vcs::project* owner) : project(owner) {}

  // "alice/site /srv/work/site/": the name, one blank, the root (UTF-8).
  std::string to_string() const override;

  const vcs::project* project;  // not owned: fired and released inside the project's life
};

}  // namespace kestrun::vcs
