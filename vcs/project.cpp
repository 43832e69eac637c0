// Opening a project: the search for its project file, the name rule, and the temporary folder
// that lives as long as the project.
#include "vcs/project.h"

#include <algorithm>
#include <iomanip>
#include <regex>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/notify_project.h"
#include "vcs/scan.h"

namespace kestrun::vcs {

namespace fs = std::filesystem;

namespace {

constexpr const char* project_file_name = "kestrun-vcs.json";
// Owner and project of letters, digits and _@$-: the storage keeps each project two levels
// below "projects", so exactly one '/' is allowed.
constexpr const char* name_pattern = R"([a-zA-Z0-9_@$\-]{1,}\/[a-zA-Z0-9_@$\-]{1,})";

// std::filesystem::exists, but a failure other than "not found" is reported as "exists".
bool entry_exists(const fs::path& path) {
  std::error_code ec;
  const bool found = fs::exists(path, ec);
  if (ec) throw fs::filesystem_error("exists", path, ec);
  return found;
}

// The work folder's lock file: never removed, since a run that removed it could not know that
// no other run had just opened it.
fs::path lock_path(const fs::path& root) { return root / ".k-vcs" / "lock"; }

// Takes the work folder's lock, creating ".k-vcs" when it is missing. False when another run
// holds it; any other failure throws "lock" (a folder that may not be written, a file system
// without locks), since a run that cannot tell whether it is alone must change nothing.
bool lock_work_folder(const fs::path& root, platform::file_lock& lock) {
  const fs::path path = lock_path(root);
  std::error_code ec;
  if (!platform::create_folders(path.parent_path(), ec)) {
    throw fs::filesystem_error("create_directories", path.parent_path(), ec);
  }
  if (lock.acquire(path, ec)) return true;
  if (ec == std::errc::device_or_resource_busy) return false;
  throw fs::filesystem_error("lock", path, ec);
}

// The name message names the pattern between slashes, as a regular expression is written.
std::string name_message(const std::string& name) {
  return "Project name \"" + name + "\" does not match regular expression /" + name_pattern + "/";
}

}  // namespace

project_temp::project_temp(vcs::project* owner)
    : project_(owner), path_(owner->root() / ".k-vcs" / "temp") {
  std::error_code ec;
  // A link left in the folder goes as itself: what it leads to is none of the project's business.
  if (entry_exists(path_) && !platform::remove_tree(path_, ec)) {
    throw fs::filesystem_error("remove_all", path_, ec);
  }
  if (!platform::create_folders(path_, ec)) {
    throw fs::filesystem_error("create_directories", path_, ec);
  }
}

project_temp::~project_temp() {
  // A destructor must not throw: a folder that cannot be removed (or an event that cannot be
  // fired for want of memory) leaves the folder for the next open to clear.
  try {
    std::error_code ec;
    if (!fs::exists(path_, ec)) return;
    notify::create("kestrun::vcs::project::temp")->fire_text("clear");
    platform::remove_tree(path_, ec);
  } catch (...) {
  }
}

fs::path project_temp::new_path() {
  ++counter;
  std::ostringstream hex;
  hex << std::hex << std::setfill('0') << std::setw(6) << counter;
  const std::string digits = hex.str();
  fs::path result = path_ / digits.substr(0, 2) / digits.substr(2, 2) / digits.substr(4);
  const fs::path parent = result.parent_path();
  // One folder serves 256 paths in a row; it is looked for only when a new one begins.
  if (parent != last_parent && !entry_exists(parent)) {
    std::error_code ec;
    if (!platform::create_folders(parent, ec)) {
      throw fs::filesystem_error("create_directories", parent, ec);
    }
  }
  last_parent = parent;
  return result;
}

std::shared_ptr<project> project::open(const std::wstring& folder, std::wstring& sub_path) {
  // The search is lexical. A relative folder is made absolute first, so that a project file in
  // the current folder gives that folder as root (and not the empty path or "/").
  const fs::path given = platform::path_from_wide(folder.empty() ? std::wstring(L".") : folder);
  const std::wstring folder_text = path_to_generic(fs::absolute(given), true);

  fs::path current = platform::path_from_wide(folder_text);
  fs::path candidate;
  bool found = false;
  while (true) {
    candidate = current / project_file_name;
    const fs::path previous = current;
    current = current.parent_path();
    if (entry_exists(candidate)) {
      found = true;
      break;
    }
    if (current == previous) break;
  }
  if (!found) {
    notify::create("kestrun::vcs::project")
        ->set_error(true)
        ->fire_text("Not found file project kestrun-vcs.json!");
    return {};
  }

  const fs::path file = platform::path_from_wide(path_to_generic(candidate, false));
  const std::wstring root_text = platform::wide_from_path(file.parent_path());
  std::wstring below = folder_text.substr(std::min(root_text.size(), folder_text.size()));
  if (!below.empty() && below.front() == L'/') below.erase(0, 1);
  if (!below.empty() && below.back() == L'/') below.pop_back();
  sub_path = below;
  notify::create("kestrun::vcs::project::path")->fire_text(sub_path);

  std::string text;
  read_file(platform::wide_from_path(file), text);
  kestrun::params settings;
  if (!settings.load(text)) return {};
  if (!settings.contains("name")) return {};
  const nlohmann::json& name_value = settings.value["name"];
  if (!name_value.is_string()) return {};
  const std::string name = name_value.get<std::string>();

  if (!std::regex_match(name, std::regex(name_pattern, std::regex::ECMAScript))) {
    notify::create("kestrun::vcs::project::name")->set_error(true)->fire_text(name_message(name));
    return {};
  }

  fs::path root = platform::path_from_wide(path_to_generic(file.parent_path(), true));
  // Before anything of the work folder is touched: a second run on the project would clear the
  // first one's temporary files and hand out the same names.
  platform::file_lock lock;
  if (!lock_work_folder(root, lock)) {
    notify::create("kestrun::vcs::project::lock")
        ->set_error(true)
        ->fire_text("Another run is working on the project " + name + " in " +
                    platform::narrow_from_path(root));
    return {};
  }
  return std::make_shared<project>(std::move(root), name, settings, std::move(lock));
}

namespace {

platform::file_lock held_lock(const fs::path& root, platform::file_lock lock) {
  if (!lock.held() && !lock_work_folder(root, lock)) {
    throw fs::filesystem_error("lock", lock_path(root),
                               std::make_error_code(std::errc::device_or_resource_busy));
  }
  return lock;
}

}  // namespace

project::project(fs::path project_root, const std::string& project_name,
                 const kestrun::params& settings, platform::file_lock work_lock)
    : root_(std::move(project_root)),
      work_lock_(held_lock(root_, std::move(work_lock))),
      temp(this) {
  name_ = utf8_to_utf16(project_name);
  params.value = settings.value;
  notify::create("kestrun::vcs::project::create")->fire_data(new notify_project(this));
}

project::~project() {
  notify::create("kestrun::vcs::project::destroy")->fire_data(new notify_project(this));
}

std::shared_ptr<vcs::state> project::state(const std::wstring& prefix) {
  return scan_project(*this, prefix);
}

}  // namespace kestrun::vcs
