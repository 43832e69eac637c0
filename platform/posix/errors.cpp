// The one mapping of POSIX error numbers onto the questions the engine asks: was access denied,
// and is the thing not there (Windows errors 5, and 2, 3, 53, 123).
#include <cerrno>
#include <system_error>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

bool is_errno(const std::error_code& ec, int value) {
  return ec &&
         (ec.category() == std::generic_category() || ec.category() == std::system_category()) &&
         ec.value() == value;
}

}  // namespace

bool is_access_denied(const std::error_code& ec) {
  return is_errno(ec, EACCES) || is_errno(ec, EPERM);
}

bool is_not_found(const std::error_code& ec) {
  return is_errno(ec, ENOENT) || is_errno(ec, ENOTDIR);
}

bool is_cross_device(const std::error_code& ec) { return is_errno(ec, EXDEV); }

}  // namespace kestrun::platform
