// The exports of kellar-ftp: one logged-in FTP control connection per handle, whole files moved
// over passive data connections. A missing stored file is a failure; an upload replaces, and its
// name appears on the server only once the file is whole.
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

#include "common/text.h"
#include "drivers/conteiner.h"
#include "drivers/ftp/client.h"
#include "drivers/ftp/remote_path.h"
#include "drivers/ftp/url.h"
#include "drivers/storage_api.h"
#include "platform/platform.h"

namespace kestrun {
namespace {

// What stands behind a handle. Destroying it closes an open control connection without QUIT.
struct t_ftp_client_info {
  net::ftp::client client;
  std::wstring root;  // the link's folder with its leading '/', or "/"
  // What a new session needs (see renew_spoiled_session).
  std::string host;
  int port = 0;
  std::string user;
  std::string password;
};

// The library's one table: made when the library is loaded, emptied when it is unloaded.
conteiner<t_ftp_client_info, unsigned> clients;

// The servers ("host:port") that refused a rename while the library is loaded. A write-once
// server keeps refusing, and every refusal leaves behind a temporary file that it will not delete
// either, so later sessions store plainly from the start.
std::mutex write_once_guard;
std::set<std::string> write_once_servers;

std::string server_key(const t_ftp_client_info& info) {
  return info.host + ":" + std::to_string(info.port);
}

std::filesystem::path path_from_utf8(const char* text) {
  return platform::path_from_wide(utf8_to_utf16(text != nullptr ? text : ""));
}

// The absolute server path of a stored name: below the root (a name that starts with '/' stands
// for itself), lexically normal. A name that leads to the server's root gives the empty text,
// which names no file there.
std::wstring remote_path(const t_ftp_client_info& info, const char* remote_name) {
  const std::wstring name = utf8_to_utf16(remote_name != nullptr ? remote_name : "");
  const bool own = info.root.empty() || (!name.empty() && name.front() == L'/');
  std::wstring path = net::ftp::remote_normal(own ? name : info.root + L"/" + name);
  if (path == L"/") path.clear();
  return path;
}

// Connects, reads the greeting (220; a busy server is tried again for a few seconds), logs in and
// changes into the root. False on any failure, with the session ended.
bool open_session(t_ftp_client_info& info) {
  if (!info.client.open(info.host.c_str(), info.port)) return false;
  if (info.client.login(info.user.c_str(), info.password.c_str()) &&
      info.client.change_dir(info.root)) {
    std::lock_guard<std::mutex> lock(write_once_guard);
    if (write_once_servers.count(server_key(info)) != 0) info.client.store_plainly();
    return true;
  }
  info.client.quit();
  return false;
}

// After a failed transfer: a session that the server spoiled is ended and a new one opened in its
// place, so that the handle keeps working while the server does. When the new one cannot be
// opened, every later operation on the handle fails at once on the closed connection.
void renew_spoiled_session(t_ftp_client_info& info) {
  if (!info.client.spoiled()) return;
  info.client.quit();
  open_session(info);
}

storage_handle connect(const char* link) {
  auto info = std::make_unique<t_ftp_client_info>();
  url parts;
  // The driver is given what follows "://". A link that is not one of this driver's, or not as
  // its writer meant it, is refused before anything is sent anywhere: connecting would send the
  // password to the wrong host, or inside a command.
  if (!parts.parse(L"ftp://" + utf8_to_utf16(link != nullptr ? link : "")) ||
      !parts.meant_as_written()) {
    return 0;
  }
  info->root = parts.get("path", L"/");
  std::wistringstream(parts.get("port", L"21")) >> info->port;
  info->host = utf16_to_utf8(parts.get("host", L""));
  info->user = utf16_to_utf8(parts.get("username", L""));
  info->password = utf16_to_utf8(parts.get("password", L""));
  if (!open_session(*info)) return 0;
  return clients.add(info.release());
}

void disconnect(storage_handle handle) {
  const auto info = clients.get(handle);
  if (!info) return;
  info->client.quit();
  clients.remove(handle);
}

storage_result download(storage_handle handle, const char* remote_name, const char* local_path) {
  const auto info = clients.get(handle);
  if (!info) return STORAGE_FAILURE;
  const std::wstring remote = remote_path(*info, remote_name);
  const std::filesystem::path local = path_from_utf8(local_path);

  std::error_code ec;
  platform::create_folders(local.parent_path(), ec);  // a failure shows in the open
  std::ofstream file(local, std::ios::binary | std::ios::trunc);
  if (!file.is_open()) return STORAGE_FAILURE;
  bool done = info->client.download(remote, file);
  if (!done) renew_spoiled_session(*info);
  file.close();
  done = done && !file.fail();
  if (done) return STORAGE_DONE;

  // No partial file stays behind to pass for the stored content.
  if (!std::filesystem::remove(local, ec) && ec && !platform::is_not_found(ec)) {
    throw std::filesystem::filesystem_error("remove", local, ec);
  }
  return STORAGE_FAILURE;
}

storage_result upload(storage_handle handle, const char* local_path, const char* remote_name) {
  const auto info = clients.get(handle);
  if (!info) return STORAGE_FAILURE;
  const std::filesystem::path local = path_from_utf8(local_path);
  const std::wstring remote = remote_path(*info, remote_name);

  std::ifstream file(local, std::ios::binary);
  if (!file.is_open()) return STORAGE_FAILURE;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(local, ec);
  if (ec) throw std::filesystem::filesystem_error("file_size", local, ec);
  // A content's name follows from its bytes, so every writer of it writes the same; a version
  // file two machines may save at once with different bytes.
  const bool unique = std::string_view(remote_name).rfind("projects/", 0) == 0;
  const bool done = info->client.upload(file, static_cast<std::int64_t>(size), remote, unique);
  if (info->client.stores_plainly()) {
    std::lock_guard<std::mutex> lock(write_once_guard);
    write_once_servers.insert(server_key(*info));
  }
  if (!done) renew_spoiled_session(*info);
  return done ? STORAGE_DONE : STORAGE_FAILURE;
}

storage_result file_exists(storage_handle handle, const char* remote_name) {
  const auto info = clients.get(handle);
  if (!info) return STORAGE_FAILURE;
  // Absent only when the server says so: a storage that could not be asked is not an empty one.
  switch (info->client.probe(remote_path(*info, remote_name))) {
    case net::ftp::client::presence::present:  // an empty stored file too
      return 1;
    case net::ftp::client::presence::absent:
      return 0;
    case net::ftp::client::presence::unknown:
      break;
  }
  return STORAGE_FAILURE;
}

}  // namespace
}  // namespace kestrun

extern "C" {

storage_handle storage_connect(const char* link) { return kestrun::connect(link); }

void storage_disconnect(storage_handle handle) { kestrun::disconnect(handle); }

storage_result storage_upload(storage_handle handle, const char* local_path,
                              const char* remote_name) {
  return kestrun::upload(handle, local_path, remote_name);
}

storage_result storage_download(storage_handle handle, const char* remote_name,
                                const char* local_path) {
  return kestrun::download(handle, remote_name, local_path);
}

storage_result storage_file_exists(storage_handle handle, const char* remote_name) {
  return kestrun::file_exists(handle, remote_name);
}
}
