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
// damaged or foreign version), which then changes nothing.
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
      : root_(root), files_(files), unpacker_(unpacker) {}

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

  std::optional<std::filesystem::path> local(const std::string& stored, const char* event) {
    std::optional<std::filesystem::path> path = safe_local_path(root_, stored);
    if (!path) {
      // A link stands where the path needs a folder: the restore never writes through one.
      fire_warning(event, stored, link_on_the_way());
      complete_ = false;
    }
    return path;
  }

  // The entry at `path` removed: true when nothing stands there any more.
  bool remove_at(const std::filesystem::path& path) {
    std::error_code ec;
    if (platform::remove_entry(path, ec) || !ec) return true;
    // A read-only entry, or a folder that still holds what the version does not manage (an
    // ignored file, say): it stays with what it holds.
    fire_warning(event_remove, platform::narrow_from_path(path), ec);
    complete_ = false;
    return false;
  }

  void remove(const std::string& stored) {
    const auto path = local(stored, event_remove);
    if (path) remove_at(*path);
  }

  // The folders above `path` that a version implies without naming them.
  bool make_parents(const std::filesystem::path& path, const std::string& stored,
                    const char* event) {
    std::error_code ec;
    if (platform::create_folders(path.parent_path(), ec)) return true;
    fire_warning(event, stored, ec);
    complete_ = false;
    return false;
  }

  void add_folder(const t_step& step) {
    const std::string& stored = *step.path;
    const auto path = local(stored, event_folder);
    if (!path) return;
    platform::t_entry_info info;
    std::error_code ec;
    if (platform::entry_info(*path, info, ec)) {
      const bool link = platform::is_link_entry(info.attributes, info.reparse_tag);
      // A folder that already stands is the folder the version holds.
      if (!link && (info.attributes & platform::attribute_directory) != 0) return;
      if (!step.remove) {
        // Something the scan did not see (an ignored file, a link it leaves out) is not the
        // restore's to take away.
        fire_warning(event_folder, stored, std::make_error_code(std::errc::file_exists));
        complete_ = false;
        return;
      }
      if (!remove_at(*path)) return;
    }
    if (!make_parents(*path, stored, event_folder)) return;
    if (!platform::create_folders(*path, ec)) {
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
    const std::size_t slash = stored.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : stored.substr(0, slash);
    std::optional<std::filesystem::path> path;
    // The files of one folder come one after another: its way is checked and made once.
    if (step.remove || !last_folder_ || folder != *last_folder_) {
      path = local(stored, event_write);
      if (!path) return;
      if (!make_parents(*path, stored, event_write)) return;
      last_folder_ = folder;
    }
    if (step.remove) {
      // A link or a folder gives way to the file; a file is replaced in one step below.
      platform::t_entry_info entry;
      std::error_code ec;
      if (platform::entry_info(*path, entry, ec) &&
          (platform::is_link_entry(entry.attributes, entry.reparse_tag) ||
           (entry.attributes & platform::attribute_directory) != 0) &&
          !remove_at(*path)) {
        return;
      }
    }
    std::error_code ec;
    if (!unpacker_->place(info, ec)) {
      fire_warning(event_write, stored, ec);
      complete_ = false;
    }
  }

  void make_link(const t_link& link, std::uint64_t& made, std::size_t total);

  const std::filesystem::path& root_;
  std::vector<packer::t_file_info>& files_;
  packer::unpacker* unpacker_;
  std::vector<t_link> links_;
  std::optional<std::string> last_folder_;
  bool complete_ = true;
};

void restore_run::make_link(const t_link& link, std::uint64_t& made, std::size_t total) {
  const state_item_link& item = *link.item;
  const std::string text = item.name_text() + "=>" + item.target();
  const auto path = safe_local_path(root_, item.name_text());
  // A target outside the root would make the restored tree reach out of the project.
  const auto target = safe_local_path(root_, item.target());
  if (!path || !target) {
    fire_warning(event_link, text, link_on_the_way());
    complete_ = false;
    return;
  }
  if (link.replaces) {
    platform::t_entry_info entry;
    std::error_code ec;
    if (platform::entry_info(*path, entry, ec) && !remove_at(*path)) return;
  }
  if (!make_parents(*path, text, event_link)) return;
  std::error_code ec;
  if (!filesystem::create_link(*target, *path, ec)) {
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
