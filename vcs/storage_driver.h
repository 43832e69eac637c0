// Binds one storage link to its driver library ("kellar-" + scheme + ".so", or ".dll" on Windows,
// beside the program) and gives the engine counted connections, the three file operations and the
// names under which a version is stored and cached.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "drivers/storage_api.h"
#include "drivers/storage_exports.h"

namespace kestrun::vcs {

class project;
class project_temp;

class storage_driver {
 public:
  // Derives id, scheme and connection text from `link` and, unless the link is empty, loads the
  // library of its scheme from `library_folder` (empty: see set_library_folder) and binds
  // the five functions. Never fails: a library that is missing, not a library, or lacks exports
  // leaves the driver unbound (test() false), with no event. `local`: non-zero for the driver of
  // a scanned project state, 0 for a storage. `owner` and `temp` are not owned and must outlive
  // the driver; `owner` must not be null.
  storage_driver(std::wstring link, std::uint8_t local, vcs::project* owner,
                 vcs::project_temp* temp, std::filesystem::path library_folder = {});
  // Frees the library. Does not disconnect.
  virtual ~storage_driver();
  storage_driver(const storage_driver&) = delete;
  storage_driver& operator=(const storage_driver&) = delete;

  // 0 connected, 99 not. Only the outermost connect reaches the library; nested ones share its
  // handle and are counted. Fires "kestrun::vcs::storage_driver.connect" on every call: level 0
  // when connected, 2 when not.
  [[nodiscard]] int connect();
  // Undoes one successful connect; the last one calls the library's disconnect. Fires
  // "kestrun::vcs::storage_driver.disconnect" (level 0) on every call, connected or not.
  void disconnect();

  // The library's result, unchanged: 0 done, 1 nothing copied (source missing or target already
  // stored), 99 failure. For use between connect() and disconnect(); 99 on an unbound driver.
  // Texts cross the boundary as UTF-8; the library's file-system errors pass through as
  // std::filesystem::filesystem_error.
  int upload(const std::filesystem::path& local_file, const std::wstring& remote_name);
  int download(const std::wstring& remote_name, const std::filesystem::path& local_file);
  // 1 present, 0 absent, 99 failure (or an unbound driver).
  int file_exists(const std::wstring& remote_name);

  // True for an empty link. Otherwise false when the library or one of its functions is missing
  // (no event) or the connection is refused (the level-2 connect event); true after one connect
  // and disconnect succeeded.
  [[nodiscard]] bool test();

  // The last version N such that versions 1..N are all stored: 0 when version 1 is absent. -1
  // when it cannot be told: the connection is refused (its level-2 connect event), the driver
  // answers neither present nor absent for a version (level-2 "kestrun::vcs::load" naming that
  // version), or a version is absent while one of the two after it is present: a damaged
  // history, whose next version must not be written into the gap (level-2 "kestrun::vcs::load"
  // naming the missing version). Connects and disconnects once; the level-2 load event comes
  // after the disconnect.
  [[nodiscard]] std::int32_t last_nn();

  // projects/<owner>/<project>/<nn>.gz
  std::wstring remote_name(std::uint32_t nn) const;
  // <project root>/.k-vcs/<id>/<nn>.gz: where a fetched version file is cached.
  std::filesystem::path local_path(std::uint32_t nn) const;

  bool is_local() const { return local != 0; }
  vcs::project* project() const { return project_; }
  vcs::project_temp* project_temp() const { return project_temp_; }

  const std::wstring& link() const { return link_; }
  // storage_id(link()) (storage_link.h): names the link's cache folder inside ".k-vcs".
  const std::wstring& id() const { return id_; }
  // The scheme and the UTF-8 text given to storage_connect, as split_link (storage_link.h) splits
  // the link: the link after "://", or all of it. Both empty for an empty link.
  const std::wstring& scheme() const { return scheme_; }
  const std::string& connection() const { return connection_; }
  // "projects" and "projects/<owner>/<project>".
  const std::wstring& projects() const { return projects_; }
  const std::wstring& base() const { return base_; }
  std::uint32_t connect_count() const { return connect_count_; }
  storage_handle handle() const { return handle_; }
  // True when the library is loaded and provides all five functions.
  bool bound() const;

  // The folder that drivers constructed without one load their libraries from; empty (the
  // default) means the running program's folder. Test programs, which do not stand beside the
  // libraries, point it at the folder of the built libraries once.
  static void set_library_folder(std::filesystem::path folder);

 private:
  std::wstring link_;
  std::uint8_t local;
  vcs::project* project_;  // not owned: the project outlives its drivers
  std::wstring id_;
  std::wstring scheme_;
  std::string connection_;
  std::wstring projects_;
  std::wstring base_;
  vcs::project_temp* project_temp_;  // not owned: the project's member
  std::uint32_t connect_count_ = 0;
  storage_handle handle_ = 0;
  t_storage_exports exports_;
};

}  // namespace kestrun::vcs
