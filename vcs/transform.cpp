// Transform commands, and the load of a transform from its version file, fetched into the local
// cache through the storage driver when it is not there yet.
#include "vcs/transform.h"

#include <ctime>
#include <fstream>
#include <istream>
#include <system_error>
#include <utility>

#include "common/notify/event.h"
#include "common/stream/gz_buffer.h"
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

// Brings version nn into the cache. Anything already at the cache path counts as cached.
bool fetch(storage_driver& driver, std::uint32_t nn, const std::filesystem::path& local) {
  std::error_code ec;
  const bool cached = std::filesystem::exists(local, ec);
  if (ec) throw std::filesystem::filesystem_error("exists", local, ec);
  if (cached) return true;
  if (driver.connect() != 0) return false;
  const std::wstring remote = driver.remote_name(nn);
  bool ok = false;
  if (driver.file_exists(remote) == 1) {
    // A cached file is never fetched again, so a piece of one must never stand under the cache
    // name: the download lands in the temporary folder and is moved into place once complete.
    vcs::project_temp* temp = driver.project_temp();
    const std::filesystem::path partial = temp != nullptr ? temp->new_path() : local;
    ok = driver.download(remote, partial) == 0;
    if (ok && partial != local) {
      std::filesystem::create_directories(local.parent_path(), ec);
      if (!ec) std::filesystem::rename(partial, local, ec);
      ok = !ec;
    }
    if (!ok) std::filesystem::remove(partial, ec);
  }
  driver.disconnect();
  return ok;
}

}  // namespace

bool transform::load(std::uint32_t nn) {
  nn_ = nn;
  const std::filesystem::path local = driver_->local_path(nn);
  bool ok = fetch(*driver_, nn, local);
  if (ok) {
    std::ifstream file(local, std::ios::in | std::ios::binary);
    ok = file.is_open();
    if (ok) {
      stream::gz::ibuffer codec(file);
      std::istream in(&codec);
      ok = read_version(in, driver_, time_, commands_);
    }
  }
  auto done = notify::create("kestrun::vcs::load");
  done->set_error(!ok);
  done->fire_text(nn);
  return ok;
}

}  // namespace kestrun::vcs
