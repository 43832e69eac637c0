// The project a run works on: the folder that holds "kestrun-vcs.json", its owner/project name,
// and the temporary area inside its work folder ".k-vcs".
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "common/params.h"
#include "platform/platform.h"

namespace kestrun::vcs {

class project;
class state;

// The folder ".k-vcs/temp" of a project: emptied when the project opens, removed when it closes,
// and the source of the temporary file paths of saves, restores and the packer. The project holds
// the work folder's lock while it lives, so the folder and its names belong to one run alone.
class project_temp {
 public:
  // Removes whatever an earlier run left in the folder and creates it again. Throws
  // std::filesystem::filesystem_error ("exists", "remove_all", "create_directories"). Fires
  // nothing. `owner` must outlive this object (it is the project's own member).
  explicit project_temp(vcs::project* owner);
  // Fires "kestrun::vcs::project::temp" ("clear") when the folder exists, then removes it with
  // its content. Never throws: a folder that cannot be removed is left behind.
  virtual ~project_temp();
  project_temp(const project_temp&) = delete;
  project_temp& operator=(const project_temp&) = delete;

  // A new path below the folder: the counter (first call 1) in at least six lower-case hex
  // digits, split as aa/bb/rest (1 gives temp/00/00/01). Creates the parent folders, not the
  // file. Throws std::filesystem::filesystem_error ("exists", "create_directories").
  std::filesystem::path new_path();

  // root/.k-vcs/temp
  const std::filesystem::path& path() const { return path_; }
  vcs::project* project() const { return project_; }

 private:
  vcs::project* project_;  // not owned: the owning project
  std::filesystem::path path_;
  std::uint64_t counter = 0;          // temporary paths handed out so far
  std::filesystem::path last_parent;  // the folder of the last path, known to exist
};

// An opened project. Made once per run by project::open, held by a shared pointer.
class project {
 public:
  // Finds the project file in `folder` (absolute or relative; a relative one is taken below the
  // current folder) or in the nearest parent that has one, and opens the project.
  //   - No project file: fires "kestrun::vcs::project" (level 2), returns empty; `sub_path` is
  //     left as it was.
  //   - Found: `sub_path` receives `folder`'s path below the root ('/'-separated, no leading or
  //     trailing '/', empty for the root) and "kestrun::vcs::project::path" is fired with it.
  //   - A file that cannot be read, is not a JSON object, or whose "name" is missing or not a
  //     string (a folder of that name too): empty, no further event.
  //   - A name that is not owner/project of [a-zA-Z0-9_@$-]: fires "kestrun::vcs::project::name"
  //     (level 2), returns empty.
  //   - Another run holds the project's work folder (the lock file ".k-vcs/lock"): fires
  //     "kestrun::vcs::project::lock" (level 2), returns empty, and has changed nothing.
  // Throws std::filesystem::filesystem_error when an existence test fails for another reason
  // than "not found", when the work folder cannot be locked for another reason than another
  // holder ("lock"), or when the temporary folder cannot be cleared or created.
  [[nodiscard]] static std::shared_ptr<project> open(const std::wstring& folder,
                                                     std::wstring& sub_path);

  // `project_root`: generic form with a trailing '/'; `project_name`: UTF-8, already checked.
  // Holds `work_lock` (taken here when it is not held: a lock that another holds throws
  // "lock"), clears the temporary folder, then fires "kestrun::vcs::project::create" (a
  // notify_project). Only project::open (and tests) call it; public for std::make_shared.
  project(std::filesystem::path project_root, const std::string& project_name,
          const kestrun::params& settings, platform::file_lock work_lock = {});
  // Fires "kestrun::vcs::project::destroy", then removes the temporary folder (see project_temp).
  virtual ~project();
  project(const project&) = delete;
  project& operator=(const project&) = delete;

  // The root folder in generic form with one trailing '/', e.g. /srv/work/site/.
  const std::filesystem::path& root() const { return root_; }
  // owner/project
  const std::wstring& name() const { return name_; }

  // The scanned state of the folder `prefix` below the root (empty: the whole project); see
  // scan_project in vcs/scan.h.
  std::shared_ptr<vcs::state> state(const std::wstring& prefix);

 private:
  std::filesystem::path root_;
  std::wstring name_;
  kestrun::params params;  // the project file's JSON value, kept for the project's life
  // Declared before `temp`, so it is taken before the temporary folder is cleared and released
  // only after the folder is removed.
  platform::file_lock work_lock_;

 public:
  // Reached directly by the storage drivers of this project, which keep a pointer to it.
  project_temp temp;
};

}  // namespace kestrun::vcs
