// The five exports of a storage driver library, bound by name as kvcs binds them, for the tests
// that drive a real driver through its C boundary.
#pragma once

#include <filesystem>
#include <memory>

#include "drivers/storage_api.h"
#include "platform/platform.h"

namespace kestrun::test {

struct t_storage_exports {
  std::unique_ptr<platform::library> module;
  storage_connect_fn connect = nullptr;
  storage_disconnect_fn disconnect = nullptr;
  storage_upload_fn upload = nullptr;
  storage_download_fn download = nullptr;
  storage_file_exists_fn file_exists = nullptr;

  // Loads the library at `file` and binds the five functions by name, in place of whatever was
  // bound before. True when the library loaded and has all five; a missing one stays null.
  bool load(const std::filesystem::path& file);
  bool complete() const {
    return module && connect && disconnect && upload && download && file_exists;
  }
};

}  // namespace kestrun::test
