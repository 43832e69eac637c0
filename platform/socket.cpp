// The parts of platform::socket that need no system call: ownership of the connection moves with
// the object, and the last owner closes it.
#include <utility>

#include "platform/platform.h"

namespace kestrun::platform {

socket::~socket() { close(); }

socket::socket(socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

socket& socket::operator=(socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

}  // namespace kestrun::platform
