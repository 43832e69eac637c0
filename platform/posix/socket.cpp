// BSD sockets behind platform::socket. Descriptors stay non-blocking and every wait goes through
// poll() with a deadline, so no call on a connection can block for longer than asked.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "platform/platform.h"
#include "platform/socket_waits.h"

namespace kestrun::platform {
namespace {

using sockets::deadline_after;
using sockets::left_until;
using sockets::not_moved;
using sockets::resolve_ipv4;
using sockets::t_wait;

// Waits until `fd` reports one of `events` (or an error, which the following call then reports).
t_wait wait_for(int fd, short events, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, left_until(deadline));
    if (ready > 0) return t_wait::ready;
    if (ready == 0) return t_wait::timed_out;
    if (errno != EINTR) return t_wait::failed;
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
    if (wait_for(fd, POLLOUT, timeout_ms) != t_wait::ready) return false;
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

t_transfer socket::send(const void* data, std::size_t length, int timeout_ms) {
  if (fd_ < 0) return {};
  if (length == 0) return {t_transfer::t_status::moved, 0};
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    // MSG_NOSIGNAL: a peer that closed the connection gives EPIPE here, not a SIGPIPE death.
    const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL);
    if (sent >= 0) return {t_transfer::t_status::moved, static_cast<std::size_t>(sent)};
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return {};
    const int left = left_until(deadline);
    if (left == 0) return {t_transfer::t_status::timed_out, 0};
    const t_wait waited = wait_for(fd_, POLLOUT, left);
    if (waited != t_wait::ready) return not_moved(waited);
  }
}

t_transfer socket::recv(void* buffer, std::size_t length, int timeout_ms) {
  if (fd_ < 0) return {};
  if (length == 0) return {t_transfer::t_status::moved, 0};
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const ssize_t received = ::recv(fd_, buffer, length, 0);
    if (received > 0) return {t_transfer::t_status::moved, static_cast<std::size_t>(received)};
    if (received == 0) return {t_transfer::t_status::closed, 0};
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return {};
    const int left = left_until(deadline);
    if (left == 0) return {t_transfer::t_status::timed_out, 0};
    const t_wait waited = wait_for(fd_, POLLIN, left);
    if (waited != t_wait::ready) return not_moved(waited);
  }
}

void socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace kestrun::platform
