// Transform commands, and the load of a transform from its version file, fetched into the local
// cache through the storage driver when it is not there yet.
#include "vcs/transform.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>
#include <utility>
#include <vector>

#include "common/notify/event.h"
#include "platform/platform.h"
#include "vcs/connection.h"
#include "vcs/project.h"
#include "vcs/storage_driver.h"
#include "vcs/version_file.h"

namespace kestrun::vcs {

transform_command::transform_command(std::uint8_t type, std::shared_ptr<std::string> path)
    : type_(type), path_(std::move(path)) {}

transform_command::transform_command(std::uint8_t type, std::shared_ptr<std::string> path,
                                     std::shared_ptr<state_item> item)
    : type_(type), path_(std::move(path)), item_(std::move(item)) {}

transform_command::~transform_command() = default;

transform::transform(std::shared_ptr<storage_driver> driver, std::uint32_t nn)
    : nn_(nn), driver_(std::move(driver)) {}

transform::transform(std::shared_ptr<storage_driver> driver, std::uint32_t nn,
                     const transform_commands& commands)
    : nn_(nn), driver_(std::move(driver)), time_(std::time(nullptr)), commands_(commands) {}

transform::~transform() = default;

namespace {

namespace fs = std::filesystem;

using command_apply = std::function<void(const std::shared_ptr<transform_command>&)>;

// Reads the version file at `file`, handing each command to `apply`.
bool read_file(const fs::path& file, const std::shared_ptr<storage_driver>& owner,
               std::int64_t& time, const command_apply& apply) {
  std::ifstream in(file, std::ios::in | std::ios::binary);
  return in.is_open() && read_version_file(in, owner, time, apply);
}

// Whether anything stands at the cache path; throws "exists" when that cannot be told.
bool is_cached(const fs::path& local) {
  std::error_code ec;
  const bool cached = fs::exists(local, ec);
  if (ec) throw fs::filesystem_error("exists", local, ec);
  return cached;
}

enum class t_fetch { fetched, absent, failed };

// Downloads version nn into a new temporary file, `fetched`; absent when the storage lacks the
// version, failed when it cannot be asked or the download fails (nothing is left behind then).
// Must be called connected.
t_fetch download(storage_driver& driver, std::uint32_t nn, const fs::path& local,
                 fs::path& fetched) {
  const std::wstring remote = driver.remote_name(nn);
  const int presence = driver.file_exists(remote);
  if (presence == 0) return t_fetch::absent;
  if (presence != 1) return t_fetch::failed;
  vcs::project_temp* temp = driver.project_temp();
  fetched = temp != nullptr ? temp->new_path() : local;
  if (driver.download(remote, fetched) == 0) return t_fetch::fetched;
  std::error_code ec;
  fs::remove(fetched, ec);
  return t_fetch::failed;
}

// Puts a fetched file that was read through to its checked end under the cache name, over
// whatever stood there.
bool adopt(const fs::path& fetched, const fs::path& local) {
  std::error_code ec;
  if (fetched == local) return true;
  if (platform::create_folders(local.parent_path(), ec)) fs::rename(fetched, local, ec);
  return !ec;
}

// Whether two files hold the same bytes.
bool same_bytes(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  const auto size_a = fs::file_size(a, ec);
  if (ec) return false;
  const auto size_b = fs::file_size(b, ec);
  if (ec || size_a != size_b) return false;
  std::ifstream in_a(a, std::ios::binary);
  std::ifstream in_b(b, std::ios::binary);
  if (!in_a.is_open() || !in_b.is_open()) return false;
  std::vector<char> block_a(1 << 16);
  std::vector<char> block_b(block_a.size());
  while (true) {
    in_a.read(block_a.data(), static_cast<std::streamsize>(block_a.size()));
    in_b.read(block_b.data(), static_cast<std::streamsize>(block_b.size()));
    const std::streamsize got = in_a.gcount();
    if (got != in_b.gcount() ||
        std::memcmp(block_a.data(), block_b.data(), static_cast<std::size_t>(got)) != 0) {
      return false;
    }
    if (got == 0 || in_a.eof() || in_b.eof())
      return in_a.eof() == in_b.eof() && !in_a.bad() && !in_b.bad();
  }
}

}  // namespace

bool transform::load(std::uint32_t nn) {
  return load(nn, [this](const std::shared_ptr<transform_command>& c) { commands_.push_back(c); });
}

bool transform::load(std::uint32_t nn, const command_apply& apply) {
  nn_ = nn;
  const fs::path local = driver_->local_path(nn);
  // Anything already at the cache path counts as cached and is read as it stands; whether it is
  // still the storage's own is check_cached's question, asked before a replay.
  bool ok = false;
  if (is_cached(local)) {
    ok = read_file(local, driver_, time_, apply);
  } else if (connection link(*driver_); link.opened()) {
    fs::path fetched;
    const t_fetch got = download(*driver_, nn, local, fetched);
    link.close();
    if (got == t_fetch::fetched) {
      // Only a file read through to its checked end may stand under the cache name: a
      // cut-short or damaged fetch leaves nothing there.
      ok = read_file(fetched, driver_, time_, apply) && adopt(fetched, local);
      std::error_code ec;
      if (!ok) fs::remove(fetched, ec);
    }
  }
  auto done = notify::create("kestrun::vcs::load");
  done->set_error(!ok);
  done->fire_text(nn);
  return ok;
}

transform::t_cached transform::check_cached(const std::shared_ptr<storage_driver>& driver,
                                            std::uint32_t nn) {
  const fs::path local = driver->local_path(nn);
  if (!is_cached(local)) return t_cached::absent;
  // The stored file must not be fetched onto the cached one it is compared with.
  if (driver->project_temp() == nullptr) return t_cached::failed;
  connection link(*driver);
  if (!link.opened()) return t_cached::failed;
  fs::path fetched;
  const t_fetch got = download(*driver, nn, local, fetched);
  link.close();
  std::error_code ec;
  switch (got) {
    case t_fetch::failed:
      return t_cached::failed;
    case t_fetch::absent:
      // Not the storage's: the replay must meet the storage's own answer, not this file.
      fs::remove(local, ec);
      return ec ? t_cached::failed : t_cached::absent;
    case t_fetch::fetched:
      break;
  }
  if (same_bytes(fetched, local)) {
    fs::remove(fetched, ec);
    return t_cached::same;
  }
  // The storage holds another version nn than the cache (a storage emptied or put back, or
  // rewritten by another machine): its own file takes the cache's place, once it reads whole.
  std::int64_t time = 0;
  const bool whole =
      read_file(fetched, driver, time, [](const std::shared_ptr<transform_command>&) {});
  if (!whole || !adopt(fetched, local)) {
    fs::remove(fetched, ec);
    return t_cached::failed;
  }
  auto stale = notify::create("kestrun::vcs::cache::stale");
  stale->level = 1;
  stale->fire_text(nn);
  return t_cached::fetched_again;
}

}  // namespace kestrun::vcs
