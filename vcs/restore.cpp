// Applies a stored version to the project folder: folders and removals in command order, then the
// file contents, then links, which need their targets in place.
#include "vcs/restore.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/filesystem/links.h"
#include "common/notify/event.h"
#include "platform/platform.h"
#include "vcs/connection.h"
#include "vcs/notify_file.h"
#include "vcs/packer.h"
#include "vcs/project.h"
#include "vcs/safe_path.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {
namespace {

struct t_lists {
  std::vector<packer::t_file_info> download_list;
  std::vector<state_item_link*> link_list;  // not owned: the transform's commands hold them
  // Some entry could not be removed: the folder will not match the version.
  bool incomplete = false;
  // The folder of the last file added, already checked and made: the files of one folder come
  // one after another, and the unpacking checks every folder again as it enters it.
  std::optional<std::string> last_folder;
};

// A version backed up from a subfolder holds no item for the folders above it, so a restore into
// an empty folder makes them itself. The path has passed safe_local_path: its parents lie below
// the root and none of them is a link.
void create_parents(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) throw std::filesystem::filesystem_error("create_directories", path.parent_path(), ec);
}

// One command; false stops the restore.
// A file to download. Its folder is checked and made once for all the files that share it.
bool add_file(const std::string& stored, state_item_file* item, const std::filesystem::path& root,
              t_lists& lists) {
  const std::size_t slash = stored.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : stored.substr(0, slash);
  std::filesystem::path path;
  if (lists.last_folder && folder == *lists.last_folder) {
    if (!is_safe_stored_path(stored)) return false;
    path = root / path_from_utf8_strict(stored);
  } else {
    const std::optional<std::filesystem::path> safe = safe_local_path(root, stored);
    if (!safe) return false;
    create_parents(*safe);
    lists.last_folder = folder;
    path = *safe;
  }
  lists.download_list.push_back({item, std::move(path)});
  return true;
}

bool apply_command(const transform_command& command, const std::filesystem::path& root,
                   t_lists& lists) {
  const auto& added = command.item();
  if (command.type() == transform_command::add && added && added->type() == 'F') {
    return add_file(*command.path(), static_cast<state_item_file*>(added.get()), root, lists);
  }
  const std::optional<std::filesystem::path> path = safe_local_path(root, *command.path());
  if (command.type() == transform_command::remove) {
    if (!path) return false;
    std::error_code ec;
    if (platform::remove_entry(*path, ec)) return true;
    if (!ec || !platform::is_access_denied(ec)) return false;  // missing, not empty, other error
    // A read-only entry stays; the rest of the version is still worth having, but the restore
    // must not report the folder as matching it.
    lists.incomplete = true;
    auto warning = notify::create("kestrun::vcs::file::remove");
    warning->level = 1;
    warning->fire_text(platform::wide_from_path(*path));
    return true;
  }
  const auto& item = command.item();
  if (command.type() != transform_command::add || !item) return true;
  switch (item->type()) {
    case 'D': {
      if (!path) return false;
      create_parents(*path);
      std::error_code ec;
      const bool created = std::filesystem::create_directory(*path, ec);
      if (ec) throw std::filesystem::filesystem_error("create_directory", *path, ec);
      return created;
    }
    case 'L':
      lists.link_list.push_back(static_cast<state_item_link*>(item.get()));
      return true;
    default:
      return true;
  }
}

// Every file content into its own temporary file, then all of them into place.
bool download_files(const std::shared_ptr<storage_driver>& driver,
                    std::vector<packer::t_file_info>& download_list) {
  bool ok = true;
  {
    connection link(*driver);
    if (!link.opened()) return false;
    std::uint64_t done = 0;
    for (packer::t_file_info& info : download_list) {
      info.path = driver->project_temp()->new_path();
      const int result = driver->download(info.item->filename(), info.path);
      ok = result == 0;
      notify::create("kestrun::vcs::file::download")
          ->set_error(!ok)
          ->fire_data(new notify_file(info.item));
      if (!ok) break;
      ++done;
      notify::create("kestrun::vcs::file::download")->fire_progress(done, download_list.size());
    }
  }
  return ok && packer::unpack(download_list, driver);
}

void fire_link_warning(const state_item_link& item) {
  auto warning = notify::create("kestrun::vcs::link::create");
  warning->level = 1;
  warning->fire_text(item.name_text() + "=>" + item.target());
}

void create_links(const std::filesystem::path& root, const std::vector<state_item_link*>& links) {
  std::uint64_t created = 0;
  for (const state_item_link* item : links) {
    // A target outside the root would make the restored tree reach out of the project.
    const auto target = safe_local_path(root, item->target());
    const auto link = safe_local_path(root, item->name_text());
    if (target && link && filesystem::create_link(*target, *link)) {
      ++created;
      notify::create("kestrun::vcs::link::create")->fire_progress(created, links.size());
    } else {
      fire_link_warning(*item);
    }
  }
}

}  // namespace

bool apply_restore(transform& t) {
  const std::shared_ptr<storage_driver> driver = t.driver();
  bool ok = driver->test();
  const std::filesystem::path& root = driver->project()->root();
  t_lists lists;
  for (const auto& command : t.commands()) {
    if (!ok) break;
    ok = apply_command(*command, root, lists);
  }
  if (ok && !lists.download_list.empty()) ok = download_files(driver, lists.download_list);
  if (ok) create_links(root, lists.link_list);
  // What was skipped along the way (an entry not removed, a file not written) did not stop the
  // rest, but the verdict must say it.
  const auto written = [](const packer::t_file_info& info) { return info.written; };
  ok = ok && !lists.incomplete &&
       std::all_of(lists.download_list.begin(), lists.download_list.end(), written);
  notify::create("kestrun::vcs::save")->set_error(!ok || t.incomplete())->fire_text("local");
  return ok;
}

}  // namespace kestrun::vcs
