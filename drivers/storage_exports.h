// The five exports of a storage driver library, bound by name: how kvcs reaches a driver, and how
// the tests drive a real one through its C boundary.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>

#include "drivers/storage_api.h"
#include "platform/platform.h"

namespace kestrun {

struct t_storage_exports {
  std::unique_ptr<platform::library> module;
  storage_connect_fn connect = nullptr;
  storage_disconnect_fn disconnect = nullptr;
  storage_upload_fn upload = nullptr;
  storage_download_fn download = nullptr;
  storage_file_exists_fn file_exists = nullptr;

  // Loads the library at `file` and binds the five functions by name, in place of whatever was
  // bound before. True when the library loaded and has all five; a missing one stays null.
  bool load(const std::filesystem::path& file) {
    *this = t_storage_exports();
    module = platform::library::open(file);
    if (!module) return false;
    connect = bind<storage_connect_fn>("storage_connect");
    disconnect = bind<storage_disconnect_fn>("storage_disconnect");
    upload = bind<storage_upload_fn>("storage_upload");
    download = bind<storage_download_fn>("storage_download");
    file_exists = bind<storage_file_exists_fn>("storage_file_exists");
    return complete();
  }
  bool complete() const {
    return module && connect && disconnect && upload && download && file_exists;
  }

 private:
  // The library hands out object pointers; the exports are functions of the types in
  // storage_api.h.
  template <typename F>
  F bind(const char* name) const {
    void* address = module->symbol(name);
    F function = nullptr;
    static_assert(sizeof(function) == sizeof(address));
    std::memcpy(&function, &address, sizeof(function));
    return function;
  }
};

}  // namespace kestrun
