// The per-user configuration folder of the POSIX layer, where settings and logs live (the XDG base
// directory rule, falling back to the account's home folder).
#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

std::string account_home() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 16384;
  std::vector<char> buffer(static_cast<std::size_t>(size));
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

std::string config_folder_hint() {
  return "neither XDG_CONFIG_HOME nor HOME is set and the account has no home folder";
}

std::filesystem::path config_folder() {
  // The XDG rule ignores a relative value: it would depend on the current folder.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(std::string(xdg));
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0')
    return std::filesystem::path(std::string(home)) / ".config";
  const std::string account = account_home();
  if (!account.empty()) return std::filesystem::path(account) / ".config";
  return {};
}

}  // namespace kestrun::platform
