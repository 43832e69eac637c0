// Dynamic libraries through LoadLibraryW: the driver libraries that kvcs loads from its own folder.
#include <windows.h>

#include <cstdint>
#include <system_error>

#include "platform/platform.h"

namespace kestrun::platform {

std::wstring library_suffix() { return L".dll"; }

std::unique_ptr<library> library::open(const std::filesystem::path& path) {
  // A relative name would be searched for in the system's folders: only the named file counts.
  if (path.empty()) return nullptr;
  std::error_code ec;
  const std::filesystem::path file = std::filesystem::absolute(path, ec);
  if (ec) return nullptr;
  // A file that is no library gives an error, never a message box that waits for a user.
  DWORD previous = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE handle = ::LoadLibraryW(file.c_str());
  ::SetThreadErrorMode(previous, nullptr);
  if (handle == nullptr) return nullptr;
  try {
    return std::unique_ptr<library>(new library(handle));
  } catch (...) {
    ::FreeLibrary(handle);
    throw;
  }
}

// Each module carries its own C++ runtime here: an exception a driver throws is destroyed, and
// its message and error category read, by code inside the driver's library, long after the
// binding that loaded it is gone (a handler runs once the stack is unwound). So a library stays
// loaded until the process ends; the system frees it then.
library::~library() = default;

void* library::symbol(const char* name) const {
  const FARPROC found = ::GetProcAddress(static_cast<HMODULE>(handle_), name);
  return reinterpret_cast<void*>(reinterpret_cast<std::intptr_t>(found));
}

}  // namespace kestrun::platform
