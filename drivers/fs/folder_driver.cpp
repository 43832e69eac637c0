// The folder driver: a handle names a root folder; stored names are '/'-separated names below it.
#include "drivers/fs/folder_driver.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/text.h"
#include "drivers/conteiner.h"
#include "platform/platform.h"

namespace kestrun::folder_driver {

namespace fs = std::filesystem;

namespace {

// One open connection: its root, and what it has learned of the storage while it stores.
struct t_connection {
  explicit t_connection(fs::path folder) : root(std::move(folder)) {}

  const fs::path root;
  // The folders of stored names that stand, by their '/'-separated names below the root, true
  // for those this connection made: a backup makes or looks for each folder once, not once for
  // every content stored in it.
  std::unordered_map<std::string, bool> folders;
  std::mutex folders_mutex;
  // False once a link from a local file into the storage failed: the storage lies on another
  // file system than the files handed to it, or has no hard links, and contents are copied.
  std::atomic<bool> links{true};
};

// The open connections; one table for the library's whole life.
conteiner<t_connection, storage_handle> roots;

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

void create_folder(const fs::path& folder) {
  std::error_code ec;
  if (!platform::create_folders(folder, ec)) {
    throw fs::filesystem_error("create_directories", folder, ec);
  }
}

void create_parent(const fs::path& file) {
  const fs::path parent = file.parent_path();
  if (parent.empty()) return;  // a bare file name lies in the current folder
  create_folder(parent);
}

bool is_folder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// A name the folders of which can be remembered by their text: plain elements below the root.
bool is_plain_name(std::string_view name) {
  if (name.empty() || name.front() == '/') return false;
  for (std::size_t start = 0; start <= name.size();) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string_view element = name.substr(start, end - start);
    if (element.empty() || element == "." || element == ".." ||
        element.find('\\') != std::string_view::npos ||
        element.find(':') != std::string_view::npos) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

enum class t_folder { found, made };

// Makes the folder of the stored name `remote` and its missing ancestors. Each folder is made or
// looked for once per connection. Below a folder this connection made nothing stands that it has
// not made itself, so no folder there is looked for first; elsewhere a folder is looked for
// before it is made, so that one already there counts as found: cut uploads may have left files
// in it. `found` for a folder that was there, `made` for one this connection made.
t_folder make_parent(t_connection& c, const char* remote, const fs::path& target) {
  const std::string_view name(remote == nullptr ? "" : remote);
  const std::size_t slash = name.rfind('/');
  if (slash == std::string_view::npos) return t_folder::found;  // the root itself
  if (!is_plain_name(name)) {
    create_parent(target);
    return t_folder::found;
  }
  const std::string parent(name.substr(0, slash));
  std::lock_guard<std::mutex> guard(c.folders_mutex);
  if (const auto known = c.folders.find(parent); known != c.folders.end()) {
    return known->second ? t_folder::made : t_folder::found;
  }
  std::vector<std::string> missing;  // the parent first, then its ancestors
  bool below_made = false;
  for (std::string folder = parent;;) {
    if (const auto known = c.folders.find(folder); known != c.folders.end()) {
      below_made = known->second;
      break;
    }
    missing.push_back(folder);
    const std::size_t cut = folder.rfind('/');
    if (cut == std::string::npos) break;  // below the root, which stands
    folder.resize(cut);
  }
  for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
    const fs::path path = c.root / path_from_utf8(folder->c_str());
    const bool made = below_made || !is_folder(path);
    if (made) create_folder(path);
    c.folders.emplace(*folder, made);
    below_made = made;
  }
  return below_made ? t_folder::made : t_folder::found;
}

// Forgets the folders a connection knows: one was removed behind its back.
void forget_folders(t_connection& c) {
  std::lock_guard<std::mutex> guard(c.folders_mutex);
  c.folders.clear();
}

constexpr char partial_marker[] = ".partial-";

// A name beside `to` for the copy in progress; the random part keeps concurrent copies apart
// (two machines may upload one name at once), so a copy only ever places its own file.
fs::path partial_name(const fs::path& to) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  fs::path partial = to;
  partial += partial_marker + std::to_string(random());
  return partial;
}

// True for the name of a copy of `stored` in progress or left by a cut upload.
bool is_partial_of(const std::string& name, const std::string& stored) {
  const std::string prefix = stored + partial_marker;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// Removes what cut uploads of `target` left beside it: before an upload, so that at most the
// last cut one stays per stored name, and once the name is stored. Another run's copy in
// progress may go too; its placing then finds its file gone and looks again (see place_copy).
// Nothing here is worth failing an upload for.
void remove_leftovers(const fs::path& target) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  if (!platform::list_folder(target.parent_path(), entries, ec)) return;
  const std::string stored = platform::narrow_from_path(target.filename());
  for (const fs::directory_entry& entry : entries) {
    if (!is_partial_of(platform::narrow_from_path(entry.path().filename()), stored)) continue;
    platform::t_entry_info info;
    if (!platform::entry_info(entry.path(), info, ec) || !platform::is_file(info.attributes)) {
      continue;
    }
    fs::remove(entry.path(), ec);
  }
}

enum class t_copied { done, present, failed };

// The copy of `from` lands under a temporary name beside the target and is then put in place by
// an operation that fails when the name exists: a copy cut short (a killed run, a full disk)
// never leaves a partial file under the final name, which every later run would take for a
// complete one, and a file already stored (by another machine, a moment ago) is never replaced.
// With `flush` the copy is on the disk before it takes its name. A copy whose temporary file
// another run removed meanwhile is made again, a few times.
t_copied place_copy(const fs::path& from, const fs::path& to, bool flush, std::error_code& ec) {
  constexpr int attempts = 4;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const fs::path partial = partial_name(to);
    if (!platform::copy_to_new_file(from, partial, flush, ec)) {
      if (ec == std::errc::file_exists) continue;  // a name another copy drew too
      return t_copied::failed;
    }
    const platform::t_placed placed = platform::place_new_file(partial, to, ec);
    if (placed == platform::t_placed::placed) return t_copied::done;
    std::error_code ignored;
    fs::remove(partial, ignored);
    if (placed == platform::t_placed::taken) return t_copied::present;
    if (!platform::is_not_found(ec)) return t_copied::failed;
    if (entry_exists(to)) return t_copied::present;
  }
  return t_copied::failed;
}

// Stored contents live below "files/"; every other name (a version file) names contents that
// must already be on the disk, and must itself be there before the caller reports it saved.
bool is_content_name(const char* remote_name) {
  return remote_name != nullptr && std::string_view(remote_name).substr(0, 6) == "files/";
}

// Where one call of the system flushes the whole storage, contents are left to the page cache
// until a version file needs them: one flush per backup instead of one per content. Elsewhere
// every content is flushed as it is written.
bool flush_each_content() { return !platform::can_sync_file_system(); }

// A content takes its place as a further name of the caller's file where the storage lies on the
// same file system: nothing is copied, and the name shows the whole content from its first
// moment, as a placed copy does, flushed first where a copy would be. The caller never writes
// into that file again (kvcs removes its packed copy, which only drops a name). Elsewhere, or
// once a link failed, the content is copied.
t_copied place_content(t_connection& c, const fs::path& local, const fs::path& target,
                       t_folder folder, std::error_code& ec) {
  if (c.links) {
    switch (platform::link_file(local, target, flush_each_content(), ec)) {
      case platform::t_placed::placed:
        return t_copied::done;
      case platform::t_placed::taken:
        return t_copied::present;
      case platform::t_placed::failed:
        // A missing file or folder says nothing of links; anything else says they do not work.
        if (!platform::is_not_found(ec)) c.links = false;
        break;
    }
  }
  // Before a copy, what cut copies left goes: at most the last cut one stays per stored name.
  if (folder == t_folder::found) remove_leftovers(target);
  return place_copy(local, target, flush_each_content(), ec);
}

}  // namespace

storage_handle connect(const char* link) {
  fs::path root = path_from_utf8(link);
  if (!entry_exists(root)) return 0;
  return roots.add(new t_connection(std::move(root)));
}

void disconnect(storage_handle handle) { roots.remove(handle); }

storage_result upload(storage_handle handle, const char* local_path, const char* remote_name) {
  const auto c = roots.get(handle);
  if (!c) return STORAGE_FAILURE;
  const fs::path local = path_from_utf8(local_path);
  const fs::path target = c->root / path_from_utf8(remote_name);
  const bool version_file = !is_content_name(remote_name);
  // A content is not looked for first: kvcs has just asked, and placing it refuses a name that is
  // taken all the same. A version file is, since the storage is flushed for a new one only.
  if (version_file && entry_exists(target)) {
    remove_leftovers(target);
    return STORAGE_NOTHING;
  }
  std::error_code ec;
  t_folder folder = t_folder::found;
  t_copied copied = t_copied::failed;
  for (int attempt = 0; attempt < 2; ++attempt) {
    folder = make_parent(*c, remote_name, target);
    if (version_file) {
      if (folder == t_folder::found) remove_leftovers(target);
      // A version file is put in place only once every content it names is on the disk, and is
      // on the disk itself, folder entry included, before the upload reports it stored. A
      // storage that cannot say so has not stored it.
      if (!flush_each_content() && !platform::sync_file_system(c->root, ec)) {
        return STORAGE_FAILURE;
      }
      copied = place_copy(local, target, true, ec);
    } else {
      copied = place_content(*c, local, target, folder, ec);
    }
    // A folder the connection knew, removed since by another process: made again, once.
    if (copied != t_copied::failed || !platform::is_not_found(ec) ||
        is_folder(target.parent_path())) {
      break;
    }
    forget_folders(*c);
  }
  if (copied == t_copied::failed) throw fs::filesystem_error("copy_file", local, target, ec);
  if (folder == t_folder::found) remove_leftovers(target);
  if (copied == t_copied::present) return STORAGE_NOTHING;
  if (version_file && !platform::sync_folder(target.parent_path(), ec)) return STORAGE_FAILURE;
  return STORAGE_DONE;
}

storage_result download(storage_handle handle, const char* remote_name, const char* local_path) {
  const auto c = roots.get(handle);
  if (!c) return STORAGE_FAILURE;
  const fs::path source = c->root / path_from_utf8(remote_name);
  if (!entry_exists(source)) return STORAGE_NOTHING;
  const fs::path target = path_from_utf8(local_path);
  create_parent(target);
  // On the storage's own file system a hard link gives the caller the stored file without
  // copying a byte or making a new file, and it appears whole at once. Stored files are never
  // written in place, and the caller only reads what it downloads (kvcs unpacks it, or moves a
  // version file into its cache), so the shared file cannot change. Elsewhere, or where links
  // are refused, the file is copied.
  std::error_code ec;
  switch (platform::link_file(source, target, false, ec)) {
    case platform::t_placed::placed:
      return STORAGE_DONE;
    case platform::t_placed::taken:
      throw fs::filesystem_error("copy_file", source, target,
                                 std::make_error_code(std::errc::file_exists));
    case platform::t_placed::failed:
      break;
  }
  switch (place_copy(source, target, false, ec)) {
    case t_copied::done:
      return STORAGE_DONE;
    case t_copied::present:
      ec = std::make_error_code(std::errc::file_exists);
      break;
    case t_copied::failed:
      break;
  }
  throw fs::filesystem_error("copy_file", source, target, ec);
}

storage_result file_exists(storage_handle handle, const char* remote_name) {
  const auto c = roots.get(handle);
  if (!c) return STORAGE_FAILURE;
  return entry_exists(c->root / path_from_utf8(remote_name)) ? 1 : 0;  // present : absent
}

}  // namespace kestrun::folder_driver
