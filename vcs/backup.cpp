// Writes a new version into the storage. Blobs go first and the version file last, so a version
// that the storage lists always has every content it names.
#include "vcs/backup.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

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

// file_exists answers 1 present, 0 absent; anything else (a handle the driver lost) is neither,
// and taking it for "present" could name a blob in a version that the storage never got.
enum class t_presence { absent, present, unknown };

t_presence presence(storage_driver& driver, const std::wstring& name) {
  switch (driver.file_exists(name)) {
    case 0:
      return t_presence::absent;
    case 1:
      return t_presence::present;
    default:
      return t_presence::unknown;
  }
}

// The version file in a temporary file, and the list of contents the storage lacks.
bool write_version(transform& t, const std::filesystem::path& file,
                   std::vector<packer::t_file_info>& upload_list) {
  storage_driver& driver = *t.driver();
  version_file_writer out;
  const transform_commands& commands = t.commands();
  const auto count = static_cast<std::uint32_t>(commands.size());
  bool ok = out.open_new(file, t.time(), count);
  if (ok) {
    connection link(driver);
    ok = link.opened();
    const std::filesystem::path& root = driver.project()->root();
    std::uint64_t done = 0;
    for (const auto& command : commands) {
      if (!ok) break;
      if (!out.write(*command)) {
        ok = false;
        break;
      }
      const auto& item = command->item();
      if (command->type() == transform_command::add && item && item->type() == 'F') {
        auto* file_item = static_cast<state_item_file*>(item.get());
        switch (presence(driver, file_item->filename())) {
          case t_presence::absent:
            upload_list.push_back(
                {file_item, root / path_from_utf8_strict(file_item->name_text())});
            break;
          case t_presence::present:
            break;
          case t_presence::unknown:
            ok = false;
            break;
        }
      }
      ++done;
      notify::create("kestrun::vcs::command::write")->fire_progress(done, commands.size());
    }
  }
  // A version file cut short by a full disk must never be uploaded; close() ends the gzip stream
  // and says whether every byte reached the disk.
  const bool written = out.close();
  return ok && written;
}

// Contents this large are packed with the connection closed: packing one may take longer than
// an FTP server keeps an idle connection, and a fresh one costs little beside such a content.
constexpr std::uint64_t pack_unconnected = std::uint64_t{64} << 20;

// One packed content into the storage, unless it is there already (a twin may have brought it).
bool upload_blob(storage_driver& driver, const packer::t_file_info& info) {
  std::error_code ec;
  if (!std::filesystem::exists(info.path, ec)) return false;
  const std::wstring name = info.item->filename();
  switch (presence(driver, name)) {
    case t_presence::absent: {
      const int result = driver.upload(info.path, name);
      auto event = notify::create("kestrun::vcs::file::upload");
      event->set_error(result != 0)->fire_data(new notify_file(info.item));
      return result == 0;
    }
    case t_presence::present:
      return true;
    case t_presence::unknown:
      break;
  }
  return false;
}

// Every missing blob, in command order, each packed just before it goes up and its packed file
// removed once it is stored: a backup needs room in the project for its largest content, not for
// all of them. A content that cannot be packed stops the uploads there; what went up before it
// belongs to no version until a later backup names it.
bool upload_blobs(const std::shared_ptr<storage_driver>& driver,
                  std::vector<packer::t_file_info>& upload_list) {
  packer::encoder packing(driver, upload_list.size());
  std::optional<connection> link;
  std::uint64_t done = 0;
  for (packer::t_file_info& info : upload_list) {
    if (info.item->size() > pack_unconnected) link.reset();
    if (!packing.pack(info)) return false;
    if (!link) {
      link.emplace(*driver);
      if (!link->opened()) return false;
    }
    const bool stored = upload_blob(*driver, info);
    std::error_code ec;
    std::filesystem::remove(info.path, ec);
    if (!stored) return false;
    ++done;
    notify::create("kestrun::vcs::file::upload")->fire_progress(done, upload_list.size());
  }
  return true;
}

// The version file goes last, and never over one that is there: a listed version always has
// every content it names.
bool upload_version(storage_driver& driver, std::uint32_t nn, const std::filesystem::path& file) {
  connection link(driver);
  if (!link.opened()) return false;
  const std::wstring remote = driver.remote_name(nn);
  if (driver.file_exists(remote) != 0) return false;
  return driver.upload(file, remote) == 0;
}

// The version file just stored is the storage's own: the next run replays it from the cache and
// finds it so. A cache that cannot take it only costs that run a download.
void cache_version(storage_driver& driver, std::uint32_t nn, const std::filesystem::path& file) {
  const std::filesystem::path local = driver.local_path(nn);
  std::error_code ec;
  if (platform::create_folders(local.parent_path(), ec)) std::filesystem::rename(file, local, ec);
}

}  // namespace

bool save_backup(transform& t) {
  const std::shared_ptr<storage_driver> driver = t.driver();
  // A count that failed gives -1: no version 0 is ever written.
  const std::int32_t last = driver->last_nn();
  bool ok = last >= 0 && static_cast<std::int64_t>(t.nn()) == std::int64_t{last} + 1;
  if (ok) {
    const std::filesystem::path version_file = driver->project_temp()->new_path();
    std::vector<packer::t_file_info> upload_list;
    ok = write_version(t, version_file, upload_list);
    if (ok && !upload_list.empty()) {
      ok = upload_blobs(driver, upload_list);
    }
    if (ok) ok = upload_version(*driver, t.nn(), version_file);
    if (ok) cache_version(*driver, t.nn(), version_file);
  }
  // A version saved from a folder that could not be read in full is saved all the same, but the
  // run did not do all of its work.
  const bool whole = ok && !t.incomplete();
  notify::create("kestrun::vcs::save")->set_error(!whole)->fire_text(t.nn());
  return whole;
}

}  // namespace kestrun::vcs
