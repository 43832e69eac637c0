// Sockets of the Windows layer. Windows Sockets are not wired up yet: a connection is never made,
// so the FTP driver builds and reports every connection as failed.
#include <system_error>
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

bool socket::connect(const char*, int, int) { return false; }

std::int64_t socket::send(const void*, std::size_t, int) { return -1; }

std::int64_t socket::recv(void*, std::size_t, int) { return -1; }

void socket::close() { fd_ = -1; }

listener::listener() {
  throw std::system_error(std::make_error_code(std::errc::function_not_supported),
                          "listen on 127.0.0.1");
}

listener::~listener() = default;

socket listener::accept(int) { return socket{}; }

}  // namespace kestrun::platform
