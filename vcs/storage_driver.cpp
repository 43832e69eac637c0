// The binding of a storage link to its driver library: naming, loading, counted connections.
#include "vcs/storage_driver.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "common/app_info.h"
#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"
#include "vcs/connection.h"
#include "vcs/notify_storage_driver.h"
#include "vcs/project.h"
#include "vcs/storage_link.h"

namespace kestrun::vcs {

namespace fs = std::filesystem;

namespace {

// A scheme names a file beside the program; one that could name a file elsewhere (a separator,
// or a NUL that would cut the name short) names no library at all.
bool usable_scheme(const std::wstring& scheme) {
  return scheme.find_first_of(L"/\\") == std::wstring::npos &&
         scheme.find(L'\0') == std::wstring::npos;
}

// How many numbers past the first absent version the count asks for, to tell a lost version
// from the end of the history.
constexpr std::uint32_t later_versions_asked = 2;

fs::path& default_library_folder() {
  static fs::path folder;
  return folder;
}

}  // namespace

void storage_driver::set_library_folder(fs::path folder) {
  default_library_folder() = std::move(folder);
}

storage_driver::storage_driver(std::wstring link, std::uint8_t local_flag, vcs::project* owner,
                               vcs::project_temp* temp, fs::path library_folder)
    : link_(std::move(link)), local(local_flag), project_(owner), project_temp_(temp) {
  id_ = storage_id(link_);
  projects_ = L"projects";
  base_ = projects_ + L"/" + project_->name();
  if (link_.empty()) return;

  t_link_parts parts = split_link(link_);
  scheme_ = std::move(parts.scheme);
  connection_ = std::move(parts.connection);
  if (!usable_scheme(scheme_)) return;

  if (library_folder.empty()) library_folder = default_library_folder();
  if (library_folder.empty()) library_folder = program_path().parent_path();
  // A program that cannot tell where it is loads nothing rather than a file of the current folder.
  if (library_folder.empty()) return;

  // A library without all five is not bound; bound() says so.
  (void)exports_.load(library_folder /
                      platform::path_from_wide(L"kellar-" + scheme_ + platform::library_suffix()));
}

storage_driver::~storage_driver() = default;

bool storage_driver::bound() const { return exports_.complete(); }

int storage_driver::connect() {
  // Nested connects share the outer connection.
  if (connect_count_ == 0 && exports_.connect != nullptr)
    handle_ = exports_.connect(connection_.c_str());
  notify::create("kestrun::vcs::storage_driver.connect")
      ->set_error(handle_ == 0)
      ->fire_data(new notify_storage_driver(this));
  if (handle_ == 0) return STORAGE_FAILURE;
  ++connect_count_;
  return 0;
}

void storage_driver::disconnect() {
  if (handle_ != 0 && exports_.disconnect != nullptr) {
    // Only the disconnect that matches the outermost connect closes the connection.
    if (--connect_count_ == 0) {
      exports_.disconnect(handle_);
      handle_ = 0;
    }
  }
  notify::create("kestrun::vcs::storage_driver.disconnect")
      ->fire_data(new notify_storage_driver(this));
}

int storage_driver::upload(const fs::path& local_file, const std::wstring& remote_name) {
  if (exports_.upload == nullptr) return STORAGE_FAILURE;
  const std::string local_text = utf16_to_utf8(platform::wide_from_path(local_file));
  const std::string remote_text = utf16_to_utf8(remote_name);
  return exports_.upload(handle_, local_text.c_str(), remote_text.c_str());
}

int storage_driver::download(const std::wstring& remote_name, const fs::path& local_file) {
  if (exports_.download == nullptr) return STORAGE_FAILURE;
  const std::string remote_text = utf16_to_utf8(remote_name);
  const std::string local_text = utf16_to_utf8(platform::wide_from_path(local_file));
  return exports_.download(handle_, remote_text.c_str(), local_text.c_str());
}

int storage_driver::file_exists(const std::wstring& remote_name) {
  if (exports_.file_exists == nullptr) return STORAGE_FAILURE;
  const std::string remote_text = utf16_to_utf8(remote_name);
  return exports_.file_exists(handle_, remote_text.c_str());
}

bool storage_driver::test() {
  if (link_.empty()) return true;
  if (!bound()) return false;
  return vcs::connection(*this).opened();
}

std::int32_t storage_driver::last_nn() {
  vcs::connection session(*this);
  if (!session.opened()) return -1;
  // Only "absent" ends the count: any other answer but "present" (a lost connection, a server
  // that would not say) leaves the number unknown, and an unknown number taken for the end would
  // make a backup write into the history or a restore take an older version for the latest.
  std::uint32_t last = 0;
  int answer = 1;
  while (last < INT32_MAX && (answer = file_exists(remote_name(last + 1))) == 1) ++last;
  std::uint32_t missing = last + 1;  // the version the event names when the count fails
  if (answer == 0) {
    // A version after the first absent one means a lost version, not the end of the history:
    // a few numbers further are asked too.
    for (std::uint32_t later = last + 2; later <= last + 1 + later_versions_asked; ++later) {
      const int found = file_exists(remote_name(later));
      if (found == 0) continue;
      answer = found;
      if (found != 1) missing = later;
      break;
    }
  }
  session.close();
  if (answer == 0 || last == INT32_MAX) return static_cast<std::int32_t>(last);
  notify::create("kestrun::vcs::load")->set_error(true)->fire_text(missing);
  return -1;
}

std::wstring storage_driver::remote_name(std::uint32_t nn) const {
  return base_ + L"/" + std::to_wstring(nn) + L".gz";
}

fs::path storage_driver::local_path(std::uint32_t nn) const {
  return project_->root() / ".k-vcs" / platform::path_from_wide(id_) / (std::to_string(nn) + ".gz");
}

}  // namespace kestrun::vcs
