// Applies a stored version to the project folder. Every new file content is fetched and proven
// first, inside the work folder; only then does the folder change: removals, folders and files in
// command order, each file moved over its old one in one step, and links last, once what they
// lead to stands. An entry that cannot be changed stays as it was, with a warning, and the rest
// goes on; the verdict then says that the folder does not match the version.
#include "vcs/restore.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "common/notify/event.h"
#include "platform/platform.h"
#include "vcs/connection.h"
#include "vcs/folder_chain.h"
#include "vcs/notify_file.h"
#include "vcs/packer.h"
#include "vcs/project.h"
#include "vcs/safe_path.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"
#include "vcs/version_file.h"
#include "vcs/warning.h"

namespace kestrun::vcs {
namespace {

// The project file names the project the run works on: a version cannot take it away or change
// it under the run.
constexpr const char* project_file = "kestrun-vcs.json";

constexpr std::size_t no_file = static_cast<std::size_t>(-1);

// One path of the version that the restore changes: its removal, its addition, or both (the
// entry is replaced).
struct t_step {
  const std::string* path = nullptr;
  bool remove = false;
  state_item* add = nullptr;
  std::size_t file = no_file;  // the index of an added file in the download list
};

const char* const event_remove = "kestrun::vcs::file::remove";
const char* const event_write = "kestrun::vcs::file::write::open";
const char* const event_folder = "kestrun::vcs::folder::create";
const char* const event_link = "kestrun::vcs::link::create";

std::error_code link_on_the_way() {
  return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

// The steps of the commands, in their order; false for a path that could leave the project (a
// damaged or foreign version), which then changes nothing. Throws std::system_error for a path or
// link target that is not valid UTF-8.
bool plan(const transform_commands& commands, std::vector<t_step>& steps,
          std::vector<packer::t_file_info>& files) {
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const transform_command& command = *commands[i];
    const std::string& path = *command.path();
    if (!safe_relative_path(path)) {
      fire_warning(command.type() == transform_command::remove ? event_remove : event_write, path,
                   "the path leads outside the project");
      return false;
    }
    if (path == project_file) continue;
    t_step step;
    step.path = &path;
    if (command.type() == transform_command::remove) {
      step.remove = true;
      // A replacement is its removal followed by the addition of the same path.
      if (i + 1 < commands.size() && commands[i + 1]->type() == transform_command::add &&
          *commands[i + 1]->path() == path) {
        ++i;
        step.add = commands[i]->item().get();
      }
    } else if (command.type() == transform_command::add) {
      step.add = command.item().get();
    }
    if (step.add == nullptr && !step.remove) continue;
    // A link's target is turned into a path only once the folder is changing: a target that is
    // not text must stop the restore here, before anything changed.
    if (step.add != nullptr && step.add->type() == 'L') {
      path_from_utf8_strict(static_cast<state_item_link*>(step.add)->target());
    }
    if (step.add != nullptr && step.add->type() == 'F') {
      step.file = files.size();
      files.push_back({static_cast<state_item_file*>(step.add), {}});
    }
    steps.push_back(step);
  }
  return true;
}

// Downloads and proves every file content. False when the storage cannot be reached for the
// contents at all: then nothing may change. A content that cannot be fetched or proven has been
// warned about and stays without a proven file.
bool fetch(const std::shared_ptr<storage_driver>& driver, std::vector<packer::t_file_info>& files,
           packer::unpacker& unpacker) {
  std::optional<connection> link;
  link.emplace(*driver);
  if (!link->opened()) return false;
  bool lost = false;
  bool any = false;
  std::uint64_t done = 0;
  for (packer::t_file_info& info : files) {
    const std::string name = info.item->name_text();
    if (lost) {
      fire_warning("kestrun::vcs::file::download", name, "the storage cannot be reached");
      continue;
    }
    info.path = driver->project_temp()->new_path();
    const int result = driver->download(info.item->filename(), info.path);
    if (result == 0) {
      any = true;
      notify::create("kestrun::vcs::file::download")->fire_data(new notify_file(info.item));
      ++done;
      notify::create("kestrun::vcs::file::download")->fire_progress(done, files.size());
      unpacker.prove(info);
      continue;
    }
    std::error_code ignored;
    std::filesystem::remove(info.path, ignored);  // what a cut download left
    fire_warning("kestrun::vcs::file::download", name,
                 "the storage does not give its content (" + std::to_string(result) + ")");
    // A content the storage lacks spoils only its file; a storage that went away spoils the
    // rest. A fresh connection tells them apart.
    link.reset();
    link.emplace(*driver);
    lost = !link->opened();
  }
  return any || !lost;
}

class restore_run {
 public:
  restore_run(const std::filesystem::path& root, std::vector<packer::t_file_info>& files,
              packer::unpacker* unpacker)
      : root_(root), folders_(root), files_(files), unpacker_(unpacker) {}

  void apply(const t_step& step) {
    if (step.add == nullptr) {
      remove(*step.path);
      return;
    }
    switch (step.add->type()) {
      case 'D':
        add_folder(step);
        break;
      case 'F':
        add_file(step);
        break;
      case 'L':
        links_.push_back({static_cast<state_item_link*>(step.add), step.remove});
        break;
      default:
        break;
    }
  }

  void make_links();

  bool complete() const { return complete_; }

 private:
  struct t_link {
    state_item_link* item;
    bool replaces;
  };

  // The open folder that holds `stored`, and its last element in `name`; the folders the version
  // implies without naming them are made on the way. Null after the warning "{text}: {reason}"
  // when it cannot be reached: a link on the way (the restore never writes through one), or
  // something else where a folder should be.
  const platform::folder_handle* reach(const std::string& stored, const char* event,
                                       const std::string& text, std::filesystem::path& name) {
    std::error_code ec;
    const platform::folder_handle* folder = folders_.parent_of(stored, true, name, ec);
    if (folder == nullptr) {
      fire_warning(event, text, ec);
      complete_ = false;
    }
    return folder;
  }

  // The entry `name` of `folder` removed: true when nothing stands there any more.
  bool remove_at(const platform::folder_handle& folder, const std::filesystem::path& name,
                 const std::string& stored) {
    std::error_code ec;
    if (platform::remove_entry_at(folder, name, ec) || !ec) return true;
    // A read-only entry, or a folder that still holds what the version does not manage (an
    // ignored file, say): it stays with what it holds.
    fire_warning(event_remove, platform::narrow_from_path(root_ / path_from_utf8_strict(stored)),
                 ec);
    complete_ = false;
    return false;
  }

  // What stands at `name` of `folder`, when anything does.
  static std::optional<platform::t_entry_info> standing(const platform::folder_handle& folder,
                                                        const std::filesystem::path& name) {
    platform::t_entry_info info;
    std::error_code ec;
    if (!platform::entry_info_at(folder, name.c_str(), info, ec)) return std::nullopt;
    return info;
  }

  static bool is_link(const platform::t_entry_info& info) {
    return platform::is_link_entry(info.attributes, info.reparse_tag);
  }

  void remove(const std::string& stored) {
    std::filesystem::path name;
    std::error_code ec;
    const platform::folder_handle* folder = folders_.parent_of(stored, false, name, ec);
    if (folder != nullptr) {
      remove_at(*folder, name, stored);
    } else if (!platform::is_not_found(ec)) {
      // Nothing to remove below a folder that is not there; a link on the way is never passed.
      fire_warning(event_remove, stored, ec);
      complete_ = false;
    }
  }

  void add_folder(const t_step& step) {
    const std::string& stored = *step.path;
    std::filesystem::path name;
    const platform::folder_handle* folder = reach(stored, event_folder, stored, name);
    if (folder == nullptr) return;
    if (const auto info = standing(*folder, name)) {
      // A folder that already stands is the folder the version holds.
      if (!is_link(*info) && platform::is_folder(info->attributes)) return;
      if (!step.remove) {
        // Something the scan did not see (an ignored file, a link it leaves out) is not the
        // restore's to take away.
        fire_warning(event_folder, stored, std::make_error_code(std::errc::file_exists));
        complete_ = false;
        return;
      }
      if (!remove_at(*folder, name, stored)) return;
    }
    std::error_code ec;
    if (!platform::create_folder_at(*folder, name, ec)) {
      fire_warning(event_folder, stored, ec);
      complete_ = false;
    }
  }

  void add_file(const t_step& step) {
    packer::t_file_info& info = files_[step.file];
    // Not fetched or not proven: warned about already, and the entry stays as it was.
    if (!info.proven) {
      complete_ = false;
      return;
    }
    const std::string& stored = *step.path;
    std::filesystem::path name;
    const platform::folder_handle* folder = reach(stored, event_write, stored, name);
    if (folder == nullptr) return;
    if (step.remove) {
      // A link or a folder gives way to the file; a file is replaced in one step below.
      const auto entry = standing(*folder, name);
      if (entry && (is_link(*entry) || platform::is_folder(entry->attributes)) &&
          !remove_at(*folder, name, stored)) {
        return;
      }
    }
    std::error_code ec;
    if (!unpacker_->place(info, *folder, name, ec)) {
      fire_warning(event_write, stored, ec);
      complete_ = false;
    }
  }

  void make_link(const t_link& link, std::uint64_t& made, std::size_t total);

  const std::filesystem::path& root_;
  folder_chain folders_;
  std::vector<packer::t_file_info>& files_;
  packer::unpacker* unpacker_;
  std::vector<t_link> links_;
  bool complete_ = true;
};

void restore_run::make_link(const t_link& link, std::uint64_t& made, std::size_t total) {
  const state_item_link& item = *link.item;
  const std::string& stored = item.name_text();
  const std::string target = item.target();
  const std::string text = stored + "=>" + target;
  // A target outside the root would make the restored tree reach out of the project: it must be
  // a safe stored path that passes through no link below the root.
  bool inside = safe_relative_path(target).has_value();
  if (inside) {
    std::filesystem::path name;
    std::error_code ec;
    inside = folders_.parent_of(target, false, name, ec) != nullptr || ec != link_on_the_way();
  }
  if (!inside) {
    fire_warning(event_link, text, link_on_the_way());
    complete_ = false;
    return;
  }
  std::filesystem::path name;
  const platform::folder_handle* folder = reach(stored, event_link, text, name);
  if (folder == nullptr) return;
  if (link.replaces && standing(*folder, name) && !remove_at(*folder, name, stored)) return;
  // What the target leads to decides: a link or junction to a folder counts as a folder, and a
  // target that is not there makes a file link.
  const std::filesystem::path target_path = root_ / path_from_utf8_strict(target);
  platform::t_entry_info info;
  std::error_code ec;
  const bool known = platform::target_info(target_path, info, ec);
  if ((!known && !platform::is_not_found(ec)) ||
      !platform::create_link_at(*folder, name, target_path,
                                known && platform::is_folder(info.attributes), ec)) {
    fire_warning(event_link, text, ec);
    complete_ = false;
    return;
  }
  ++made;
  notify::create(event_link)->fire_progress(made, total);
}

void restore_run::make_links() {
  // A link whose target is another link, or lies below one, waits until that one stands, so the
  // kind of what it leads to is known when it is made. Links that wait on each other in a
  // circle are made in their order at the end.
  std::set<std::string> pending;
  for (const t_link& link : links_) pending.insert(link.item->name_text());
  const auto waits = [&pending](const state_item_link& item) {
    const std::string target = item.target();
    for (std::size_t end = target.find('/');; end = target.find('/', end + 1)) {
      const std::string prefix = target.substr(0, end);
      if (prefix != item.name_text() && pending.count(prefix) != 0) return true;
      if (end == std::string::npos) return false;
    }
  };
  std::vector<bool> made_yet(links_.size(), false);
  std::uint64_t made = 0;
  for (std::size_t left = links_.size(); left > 0;) {
    bool progress = false;
    for (std::size_t i = 0; i < links_.size(); ++i) {
      if (made_yet[i] || waits(*links_[i].item)) continue;
      make_link(links_[i], made, links_.size());
      made_yet[i] = true;
      pending.erase(links_[i].item->name_text());
      progress = true;
      --left;
    }
    if (progress) continue;
    for (std::size_t i = 0; i < links_.size(); ++i) {
      if (!made_yet[i]) make_link(links_[i], made, links_.size());
    }
    break;
  }
}

bool finish(bool ok) {
  notify::create("kestrun::vcs::save")->set_error(!ok)->fire_text("local");
  return ok;
}

}  // namespace

bool apply_restore(transform& t) {
  const std::shared_ptr<storage_driver> driver = t.driver();
  if (!driver->test()) return finish(false);
  const std::filesystem::path& root = driver->project()->root();
  std::vector<t_step> steps;
  std::vector<packer::t_file_info> files;
  if (!plan(t.commands(), steps, files)) return finish(false);

  // Nothing in the folder changes before every new content is in hand.
  std::optional<packer::unpacker> unpacker;
  if (!files.empty()) {
    unpacker.emplace(driver, files.size());
    if (!fetch(driver, files, *unpacker)) return finish(false);
  }

  restore_run run(root, files, unpacker ? &*unpacker : nullptr);
  for (const t_step& step : steps) run.apply(step);
  run.make_links();
  // A folder the scan could not read kept its stored entries: the folder is not known to match.
  return finish(run.complete() && !t.incomplete());
}

}  // namespace kestrun::vcs
