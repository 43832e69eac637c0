// Items read their attributes, times and size through the platform layer, one query per entry.
#include "common/filesystem/item.h"

#include <utility>

#include "common/text.h"
#include "platform/platform.h"

namespace kestrun::filesystem {

item::item(std::filesystem::path path) {
  if (path.empty()) return;
  // The entry caches the status of the path itself; when that query fails nothing is cached.
  std::error_code ec;
  entry.assign(platform::path_from_wide(path_to_generic(path, false)), ec);
  refresh();
}

item::item(t_listed, std::filesystem::directory_entry&& listed,
           const platform::folder_handle& folder, const std::filesystem::path::value_type* name)
    : entry(std::move(listed)) {
  if (!folder.is_open()) {
    refresh();
    return;
  }
  platform::t_entry_info info;
  std::error_code ec;
  if (!platform::entry_info_at(folder, name, info, ec)) return;
  readable = true;
  attributes = info.attributes;
  created = info.creation_time;
  modified = info.write_time;
  size = info.size;
  reparse_tag = info.reparse_tag;
}

void item::refresh() {
  readable = false;
  attributes = 0;
  created = 0;
  modified = 0;
  size = 0;
  reparse_tag = 0;
  if (entry.path().empty()) return;
  platform::t_entry_info info;
  std::error_code ec;
  if (!platform::entry_info(entry.path(), info, ec)) return;
  readable = true;
  attributes = info.attributes;
  created = info.creation_time;
  modified = info.write_time;
  size = info.size;
  reparse_tag = info.reparse_tag;
}

bool is_link(const item& entry) {
  return platform::is_link_entry(entry.attributes, entry.reparse_tag);
}

finder_item::finder_item(std::filesystem::path path) : item(std::move(path)) {}

finder_item::finder_item(t_listed tag, std::filesystem::directory_entry&& listed,
                         const platform::folder_handle& folder,
                         const std::filesystem::path::value_type* name)
    : item(tag, std::move(listed), folder, name) {}

finder_item finder_item::from_listing(const std::filesystem::directory_entry& listed,
                                      const platform::folder_handle& folder,
                                      const std::filesystem::path::value_type* name) {
  return finder_item(t_listed{}, std::filesystem::directory_entry(listed), folder, name);
}

finder_item finder_item::from_listing(std::filesystem::directory_entry&& listed,
                                      const platform::folder_handle& folder,
                                      const std::filesystem::path::value_type* name) {
  return finder_item(t_listed{}, std::move(listed), folder, name);
}

}  // namespace kestrun::filesystem
