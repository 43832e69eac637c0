// The scan of the project tree into the current state: one item per file, folder and link that
// the ignore rules let through, named by its path below the project root.
#include "vcs/scan.h"

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <limits>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "common/filesystem/finder.h"
#include "common/filesystem/links.h"
#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/project.h"
#include "vcs/safe_path.h"
#include "vcs/state.h"
#include "vcs/storage_driver.h"

namespace kestrun::vcs {

namespace {

// Names and link targets must be valid text: a name that is not would be stored as something
// else than the file it stands for.
bool strict_utf8(const std::wstring& text, std::string& out) {
  return platform::strict_utf8_from_wide(text, out);
}

bool is_ascii(platform::native_string_view text) {
  for (const platform::native_char c : text) {
    if (static_cast<std::make_unsigned_t<platform::native_char>>(c) >= 0x80) return false;
  }
  return true;
}

// The entry's name below the root as stored UTF-8: strict_utf8(relative_to(root, path)) read from
// the native text when both are plain ASCII, the usual case, where the two give the same bytes
// (where '\' separates, the state item turns it into '/'). False when the name is no text.
bool relative_name(const std::wstring& root_wide, const platform::native_string& root_native,
                   const std::filesystem::path& path, std::string& name) {
  const platform::native_string& native = path.native();
  const bool under_root =
      native.size() > root_native.size() && native.starts_with(root_native) &&
      ((!root_native.empty() && platform::is_native_separator(root_native.back())) ||
       platform::is_native_separator(native[root_native.size()]));
  if (under_root && is_ascii(native)) {
    std::size_t start = root_native.size();
    if (platform::is_native_separator(native[start])) ++start;
    name.clear();
    name.reserve(native.size() - start);
    for (std::size_t i = start; i < native.size(); ++i) name += static_cast<char>(native[i]);
    return true;
  }
  return strict_utf8(filesystem::relative_to(root_wide, platform::wide_from_path(path)), name);
}

// Reports an entry left out because its name or its link target is no text, its bytes shown
// escaped. An entry below a folder whose own name is no text was reported with that folder.
void report_left_out(const std::wstring& root, const std::filesystem::path& path,
                     const char* what) {
  notify::create("kestrun::vcs::project::state::name")
      ->set_error(true)
      ->fire_text(display_text(filesystem::relative_to(root, platform::wide_from_path(path))) +
                  ": " + what + " is not UTF-8, left out");
}

// Size of a file entry as the standard file_size gives it (links followed; the largest value
// when it cannot be read). A regular file that is no link is its own target, so the size read
// with its status by the finder is the same, at any depth; anything else is asked for again.
std::uint64_t file_size_of(const filesystem::finder_item& entry) {
  if (entry.readable && entry.attributes == 0) return entry.size;
  std::error_code ec;
  const std::uint64_t size = std::filesystem::file_size(entry.entry.path(), ec);
  return ec ? std::numeric_limits<std::uint64_t>::max() : size;
}

}  // namespace

std::shared_ptr<state> scan_project(project& proj, const std::wstring& prefix) {
  notify::create("kestrun::vcs::project::state::path")->fire_text(prefix);

  // The local driver marks this state as the folder side of a difference.
  auto driver = std::make_shared<storage_driver>(std::wstring(), 1, &proj, &proj.temp);
  state_items items;
  // The finder hands out each folder's entries in ascending order, and no entry found before
  // lies between two of them: each one goes right after the one before, where the map looks
  // first when told so. Only the first entry of each run needs a search.
  state_items::iterator next = items.end();

  const std::wstring root = platform::wide_from_path(proj.root());
  const platform::native_string& root_native = proj.root().native();
  // A folder inside the work folder holds nothing of the project.
  if (names_work_folder(utf16_to_utf8(prefix))) return std::make_shared<state>(driver, -1, items);
  const std::wstring folder =
      path_to_generic(proj.root() / platform::path_from_wide(prefix), false);
  filesystem::finder<filesystem::gitignore, filesystem::finder_item> finder(
      platform::path_from_wide(folder), false, true, L".gitignore", L"", "kestrun::vcs::finder::");
  // The work folder is the root's own ".k-vcs" alone: a rule anchored at the root, tried first
  // as a global rule is, keeps the walk out of it.
  auto work_folder = std::make_shared<filesystem::gitignore>();
  work_folder->load(L"/.k-vcs");
  finder.levels.insert(finder.levels.begin(),
                       {0xFFFFFFFF, L"", path_to_generic(proj.root(), false).size(), L"GLOBAL",
                        std::move(work_folder)});

  std::size_t left_out = 0;
  std::vector<std::filesystem::path> leftovers;
  filesystem::finder_item entry;
  while (finder.scan(entry)) {
    // A FIFO, socket or device is no project content, and reading one could wait for ever.
    if (platform::is_device(entry.attributes)) continue;
    const std::filesystem::path& path = entry.entry.path();
    auto name = std::make_shared<std::string>();
    if (!relative_name(root, root_native, path, *name)) {
      std::string own;
      if (!strict_utf8(platform::wide_from_native_name(path.filename().native()), own)) {
        report_left_out(root, path, "the name");
        ++left_out;
      }
      continue;
    }
    // Not even a ".gitignore" that negates the rule brings it in: no version may name it.
    if (names_work_folder(*name)) continue;
    // A restore cut short between writing a file beside its target and moving it into place
    // left this: it is no content of the project.
    if (platform::is_file(entry.attributes) &&
        platform::new_file::is_temporary_name(platform::native_from_wide(
            platform::wide_from_native_name(path.filename().native())))) {
      notify::create("kestrun::vcs::project::state::leftover")
          ->fire_text(display_text(filesystem::relative_to(root, platform::wide_from_path(path))));
      leftovers.push_back(path);
      continue;
    }
    std::shared_ptr<state_item> item;
    if (filesystem::is_link(entry)) {
      std::filesystem::file_status status;
      const std::wstring target =
          path_to_generic(platform::path_from_wide(filesystem::link_target(path, status)), false);
      // Only a link that stays inside the project can be restored as the same link.
      const std::wstring relative = filesystem::relative_to(root, target);
      if (relative.empty()) continue;
      std::string target_text;
      if (!strict_utf8(relative, target_text)) {
        report_left_out(root, path, "the link's target");
        ++left_out;
        continue;
      }
      item = std::make_shared<state_item_link>(driver, std::move(name), std::move(target_text));
    } else if (platform::is_folder(entry.attributes)) {
      item = std::make_shared<state_item_dir>(driver, std::move(name));
    } else {
      item = std::make_shared<state_item_file>(driver, std::move(name), file_size_of(entry),
                                               entry.modified);
    }
    std::shared_ptr<std::string> key = item->name();
    const std::size_t before = items.size();
    const auto placed = items.emplace_hint(next, std::move(key), std::move(item));
    // A name already taken keeps its first entry, as add_item does.
    if (items.size() != before) next = std::next(placed);
  }

  // What could not be read keeps what the storage knows of it: the folders go with the state.
  std::vector<std::string> unread;
  for (const std::filesystem::path& unread_folder : finder.unread) {
    std::string name;
    if (relative_name(root, root_native, unread_folder, name)) unread.push_back(std::move(name));
  }
  auto result = std::make_shared<state>(std::move(driver), -1, std::move(items));
  result->set_unread(std::move(unread), left_out);
  result->set_leftovers(std::move(leftovers));
  return result;
}

}  // namespace kestrun::vcs
