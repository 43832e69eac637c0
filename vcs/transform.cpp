// Transform commands, and the load of a transform from its version file, fetched into the local
// cache through the storage driver when it is not there yet.
#include "vcs/transform.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "common/notify/event.h"
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

// Reads the version file at `file` into `time` and `commands`.
bool read_file(const std::filesystem::path& file, const std::shared_ptr<storage_driver>& owner,
               std::int64_t& time, transform_commands& commands) {
  std::ifstream in(file, std::ios::in | std::ios::binary);
  return in.is_open() && read_version_file(in, owner, time, commands);
}

// Downloads version nn into a new temporary file and returns its path; empty when the storage
// lacks the version or the download fails (nothing is left behind then).
std::optional<std::filesystem::path> download(storage_driver& driver, std::uint32_t nn,
                                              const std::filesystem::path& local) {
  if (driver.connect() != 0) return std::nullopt;
  const std::wstring remote = driver.remote_name(nn);
  std::optional<std::filesystem::path> fetched;
  if (driver.file_exists(remote) == 1) {
    vcs::project_temp* temp = driver.project_temp();
    const std::filesystem::path partial = temp != nullptr ? temp->new_path() : local;
    if (driver.download(remote, partial) == 0) {
      fetched = partial;
    } else {
      std::error_code ec;
      std::filesystem::remove(partial, ec);
    }
  }
  driver.disconnect();
  return fetched;
}

}  // namespace

bool transform::load(std::uint32_t nn) {
  nn_ = nn;
  const std::filesystem::path local = driver_->local_path(nn);
  std::error_code ec;
  // Anything already at the cache path counts as cached and keeps its meaning: it is read as it
  // stands and never fetched again.
  const bool cached = std::filesystem::exists(local, ec);
  if (ec) throw std::filesystem::filesystem_error("exists", local, ec);
  bool ok = false;
  if (cached) {
    ok = read_file(local, driver_, time_, commands_);
  } else if (const auto fetched = download(*driver_, nn, local)) {
    // Since a cached file is never fetched again, only a file read through to its checked end
    // may stand under the cache name: a cut-short or damaged fetch leaves nothing there.
    ok = read_file(*fetched, driver_, time_, commands_);
    if (ok && *fetched != local) {
      std::filesystem::create_directories(local.parent_path(), ec);
      if (!ec) std::filesystem::rename(*fetched, local, ec);
      ok = !ec;
    }
    if (!ok) std::filesystem::remove(*fetched, ec);
  }
  auto done = notify::create("kestrun::vcs::load");
  done->set_error(!ok);
  done->fire_text(nn);
  return ok;
}

}  // namespace kestrun::vcs
