// The scan of a project folder tree into its current state; project::state forwards here.
#pragma once

#include <memory>
#include <string>

namespace kestrun::vcs {

class project;
class state;

// The state of the project's folder `prefix` (wide, '/'-separated, no leading or trailing '/';
// empty for the whole project): version -1, a local driver with an empty link, every file,
// folder and link that the ignore rules let through, named relative to the project root. Links
// whose target does not lie below the root are left out. Never empty. Fires
// "kestrun::vcs::project::state::path" and, through the finder, "kestrun::vcs::finder::scan::dir"
// and "kestrun::vcs::finder::ignore". A folder whose content cannot be read is named by the
// finder's level-2 "kestrun::vcs::finder::scan::dir" and listed in the state's unread folders;
// an entry whose name or link target is no valid text is left out and named, its bytes escaped,
// by the level-2 "kestrun::vcs::project::state::name". Either makes the state incomplete.
// Throws whatever the finder throws.
std::shared_ptr<state> scan_project(project& proj, const std::wstring& prefix);

}  // namespace kestrun::vcs
