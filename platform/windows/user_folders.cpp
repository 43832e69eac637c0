// The per-user folder of the Windows layer: the roaming application-data folder, where settings
// and logs live in "Kestrun VCS".
#include <windows.h>

#include <shlobj.h>
#include <string>

#include "platform/platform.h"

namespace kestrun::platform {

std::string config_folder_hint() { return "Windows names no application-data folder for the user"; }

std::filesystem::path config_folder() {
  std::wstring buffer(4096, L'\0');
  if (::SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer.data()) !=
      S_OK) {
    return {};
  }
  buffer.resize(static_cast<std::size_t>(::lstrlenW(buffer.c_str())));
  if (buffer.empty()) return {};
  return std::filesystem::path(buffer);
}

}  // namespace kestrun::platform
