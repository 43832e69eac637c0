// The scan of the project tree into the current state: one item per file, folder and link that
// the ignore rules let through, named by its path below the project root.
#include "vcs/scan.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "common/filesystem/finder.h"
#include "common/filesystem/links.h"
#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/project.h"
#include "vcs/state.h"
#include "vcs/storage_driver.h"

namespace kestrun::vcs {

namespace {

// Names and link targets must be valid text: a name that is not would be stored as something
// else than the file it stands for.
std::string strict_utf8(const std::wstring& text) {
  std::string out;
  if (!platform::strict_utf8_from_wide(text, out)) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "strict_utf8_from_wide");
  }
  return out;
}

}  // namespace

std::shared_ptr<state> scan_project(project& proj, const std::wstring& prefix) {
  notify::create("kestrun::vcs::project::state::path")->fire_text(prefix);

  // The local driver marks this state as the folder side of a difference.
  auto driver = std::make_shared<storage_driver>(std::wstring(), 1, &proj, &proj.temp);
  state_items items;

  const std::wstring root = platform::wide_from_path(proj.root());
  const std::wstring folder =
      path_to_generic(proj.root() / platform::path_from_wide(prefix), false);
  filesystem::finder<filesystem::gitignore, filesystem::finder_item> finder(
      platform::path_from_wide(folder), false, true, L".gitignore", L".k-vcs/",
      "kestrun::vcs::finder::");

  filesystem::finder_item entry;
  while (finder.scan(entry)) {
    const std::filesystem::path& path = entry.entry.path();
    auto name = std::make_shared<std::string>(
        strict_utf8(filesystem::relative_to(root, platform::wide_from_path(path))));
    std::shared_ptr<state_item> item;
    if (filesystem::is_link(entry)) {
      std::filesystem::file_status status;
      const std::wstring target =
          path_to_generic(platform::path_from_wide(filesystem::link_target(path, status)), false);
      // Only a link that stays inside the project can be restored as the same link.
      const std::wstring relative = filesystem::relative_to(root, target);
      if (relative.empty()) continue;
      item = std::make_shared<state_item_link>(driver, std::move(name), strict_utf8(relative));
    } else if ((entry.attributes & platform::attribute_directory) != 0) {
      item = std::make_shared<state_item_dir>(driver, std::move(name));
    } else {
      std::error_code ec;
      std::uint64_t size = std::filesystem::file_size(path, ec);
      if (ec) size = std::numeric_limits<std::uint64_t>::max();
      item = std::make_shared<state_item_file>(driver, std::move(name), size, entry.modified);
    }
    add_item(items, item);
  }
  return std::make_shared<state>(std::move(driver), -1, std::move(items));
}

}  // namespace kestrun::vcs
