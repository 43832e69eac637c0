// The one mapping of Windows error numbers onto the questions the engine asks: was access denied
// (5), and is the thing not there (2, 3, 53, 123). The runtime's own errors come as errno values.
#include <windows.h>

#include <cerrno>
#include <system_error>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

bool is_system(const std::error_code& ec, DWORD value) {
  return ec && ec.category() == std::system_category() && static_cast<DWORD>(ec.value()) == value;
}

bool is_generic(const std::error_code& ec, int value) {
  return ec && ec.category() == std::generic_category() && ec.value() == value;
}

}  // namespace

bool is_access_denied(const std::error_code& ec) {
  return is_system(ec, ERROR_ACCESS_DENIED) || is_generic(ec, EACCES) || is_generic(ec, EPERM);
}

bool is_not_found(const std::error_code& ec) {
  return is_system(ec, ERROR_FILE_NOT_FOUND) || is_system(ec, ERROR_PATH_NOT_FOUND) ||
         is_system(ec, ERROR_BAD_NETPATH) || is_system(ec, ERROR_INVALID_NAME) ||
         is_generic(ec, ENOENT) || is_generic(ec, ENOTDIR);
}

bool is_cross_device(const std::error_code& ec) {
  return is_system(ec, ERROR_NOT_SAME_DEVICE) || is_generic(ec, EXDEV);
}

}  // namespace kestrun::platform
