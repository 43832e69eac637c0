// The folder driver: a handle names a root folder; stored names are '/'-separated names below it.
#include "drivers/fs/folder_driver.h"

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "common/text.h"
#include "drivers/conteiner.h"
#include "platform/platform.h"

namespace kestrun::folder_driver {

namespace fs = std::filesystem;

namespace {

// The roots of the open connections; one table for the library's whole life.
conteiner<fs::path, storage_handle> roots;

// Every text that crosses the boundary becomes a path this way; a native name that was not
// valid UTF-8 survives the trip, since its escaped bytes come back as the same bytes.
// A null text counts as the empty one.
fs::path path_from_utf8(const char* text) {
  if (text == nullptr) return {};
  return platform::path_from_wide(utf8_to_utf16(std::string(text)));
}

// The status test of every step, links followed: false for "not found", true for any entry.
bool entry_exists(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) {
    if (platform::is_not_found(ec)) return false;
    throw fs::filesystem_error("exists", path, ec);
  }
  return status.type() != fs::file_type::not_found;
}

void create_parent(const fs::path& file) {
  const fs::path parent = file.parent_path();
  if (parent.empty()) return;  // a bare file name lies in the current folder
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) throw fs::filesystem_error("create_directories", parent, ec);
}

// A name beside `to` for the copy in progress; the random part keeps concurrent copies apart.
fs::path partial_name(const fs::path& to) {
  static std::mt19937_64 random{std::random_device{}()};
  fs::path partial = to;
  partial += ".partial-" + std::to_string(random());
  return partial;
}

// The copy lands under a temporary name beside the target and is then linked into place, so a
// copy cut short (a killed run, a full disk) never leaves a partial file under the final name,
// which every later run would take for a complete one.
storage_result copy_new(const fs::path& from, const fs::path& to) {
  const fs::path partial = partial_name(to);
  std::error_code ec;
  const bool copied = fs::copy_file(from, partial, fs::copy_options::none, ec);
  if (!ec && copied) {
    // A hard link, unlike a rename, fails when the target exists, so nothing stored is ever
    // replaced; a file system without hard links gets the rename.
    fs::create_hard_link(partial, to, ec);
    if (ec && ec != std::errc::file_exists) {
      ec.clear();
      if (fs::exists(to, ec) || ec) {
        if (!ec) ec = std::make_error_code(std::errc::file_exists);
      } else {
        fs::rename(partial, to, ec);
      }
    }
  }
  std::error_code ignored;
  fs::remove(partial, ignored);
  if (ec) throw fs::filesystem_error("copy_file", from, to, ec);
  return copied ? STORAGE_DONE : STORAGE_FAILURE;
}

}  // namespace

storage_handle connect(const char* link) {
  fs::path root = path_from_utf8(link);
  if (!entry_exists(root)) return 0;
  return roots.add(new fs::path(std::move(root)));
}

void disconnect(storage_handle handle) { roots.remove(handle); }

storage_result upload(storage_handle handle, const char* local_path, const char* remote_name) {
  const auto root = roots.get(handle);
  if (!root) return STORAGE_FAILURE;
  const fs::path local = path_from_utf8(local_path);
  const fs::path target = *root / path_from_utf8(remote_name);
  if (entry_exists(target)) return STORAGE_NOTHING;
  create_parent(target);
  return copy_new(local, target);
}

storage_result download(storage_handle handle, const char* remote_name, const char* local_path) {
  const auto root = roots.get(handle);
  if (!root) return STORAGE_FAILURE;
  const fs::path source = *root / path_from_utf8(remote_name);
  if (!entry_exists(source)) return STORAGE_NOTHING;
  const fs::path target = path_from_utf8(local_path);
  create_parent(target);
  // On the storage's own file system a hard link gives the caller the stored file without
  // copying a byte or making a new file, and it appears whole at once. Stored files are never
  // written in place, and the caller only reads what it downloads (kvcs unpacks it, or moves a
  // version file into its cache), so the shared file cannot change. Elsewhere, or where links
  // are refused, the file is copied.
  std::error_code ec;
  fs::create_hard_link(source, target, ec);
  if (!ec) return STORAGE_DONE;
  if (ec == std::errc::file_exists) throw fs::filesystem_error("copy_file", source, target, ec);
  return copy_new(source, target);
}

storage_result file_exists(storage_handle handle, const char* remote_name) {
  const auto root = roots.get(handle);
  if (!root) return STORAGE_FAILURE;
  return entry_exists(*root / path_from_utf8(remote_name)) ? 1 : 0;  // present : absent
}

}  // namespace kestrun::folder_driver
