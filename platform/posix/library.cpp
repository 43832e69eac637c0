// Shared libraries through dlopen: the driver libraries that kvcs loads from its own folder.
#include <dlfcn.h>

#include "platform/platform.h"

namespace kestrun::platform {

std::wstring library_suffix() { return L".so"; }

std::unique_ptr<library> library::open(const std::filesystem::path& path) {
  // dlopen gives the empty name the main program and searches the system folders for a bare
  // name; a library is only ever loaded from the file the caller names.
  if (path.empty()) return nullptr;
  const std::filesystem::path file = path.has_parent_path() ? path : "." / path;
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  try {
    return std::unique_ptr<library>(new library(handle));
  } catch (...) {
    ::dlclose(handle);
    throw;
  }
}

library::~library() { ::dlclose(handle_); }

void* library::symbol(const char* name) const { return ::dlsym(handle_, name); }

}  // namespace kestrun::platform
