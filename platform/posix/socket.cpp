// BSD sockets behind platform::socket and platform::listener. Descriptors stay non-blocking and
// every wait goes through poll() with a deadline, so no call can block for longer than asked.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "platform/platform.h"
#include "platform/socket_waits.h"

namespace kestrun::platform {
namespace {

using sockets::deadline_after;
using sockets::left_until;
using sockets::resolve_ipv4;

// Waits until `fd` reports one of `events` (or an error, which the following call then reports).
// False when the time-out passes first or poll itself fails.
bool wait_for(int fd, short events, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, left_until(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

bool socket::connect(const char* host, int port, int timeout_ms) {
  if (fd_ >= 0 || host == nullptr || *host == '\0' || port < 1 || port > 65535) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (!resolve_ipv4(host, address.sin_addr)) return false;

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  socket guard(fd);  // closes the descriptor on every failure below
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (!wait_for(fd, POLLOUT, timeout_ms)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
  }
  *this = std::move(guard);
  return true;
}

std::string socket::peer_address() const {
  if (fd_ < 0) return {};
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

std::int64_t socket::send(const void* data, std::size_t length, int timeout_ms) {
  if (fd_ < 0) return -1;
  if (length == 0) return 0;
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    // MSG_NOSIGNAL: a peer that closed the connection gives EPIPE here, not a SIGPIPE death.
    const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    const int left = left_until(deadline);
    if (left == 0 || !wait_for(fd_, POLLOUT, left)) return -1;
  }
}

std::int64_t socket::recv(void* buffer, std::size_t length, int timeout_ms) {
  if (fd_ < 0) return -1;
  if (length == 0) return 0;
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const ssize_t received = ::recv(fd_, buffer, length, 0);
    if (received >= 0) return received;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    const int left = left_until(deadline);
    if (left == 0 || !wait_for(fd_, POLLIN, left)) return -1;
  }
}

void socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

listener::listener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(fd_);
    throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

listener::~listener() { ::close(fd_); }

socket listener::accept(int timeout_ms) {
  if (!wait_for(fd_, POLLIN, timeout_ms)) return socket{};
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd < 0 ? socket{} : socket(fd);
}

}  // namespace kestrun::platform
