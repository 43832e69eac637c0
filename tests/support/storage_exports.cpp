#include "tests/support/storage_exports.h"

namespace kestrun::test {
namespace {

// The library hands out object pointers; the exports are functions of the types in storage_api.h.
template <typename F>
F bind(const platform::library& module, const char* name) {
  return reinterpret_cast<F>(module.symbol(name));
}

}  // namespace

bool t_storage_exports::load(const std::filesystem::path& file) {
  *this = t_storage_exports();
  module = platform::library::open(file);
  if (!module) return false;
  connect = bind<storage_connect_fn>(*module, "storage_connect");
  disconnect = bind<storage_disconnect_fn>(*module, "storage_disconnect");
  upload = bind<storage_upload_fn>(*module, "storage_upload");
  download = bind<storage_download_fn>(*module, "storage_download");
  file_exists = bind<storage_file_exists_fn>(*module, "storage_file_exists");
  return complete();
}

}  // namespace kestrun::test
