// Windows Sockets 2 behind platform::socket. Sockets stay non-blocking and every wait goes through
// select() with a deadline, so no call on a connection can block for longer than asked.
// Each open socket holds its own WSAStartup reference and gives it back with WSACleanup when it
// closes: Winsock counts them, and a driver library never has to clean up from DllMain.
#include <climits>
#include <cstring>
#include <utility>
#include <winsock2.h>  // before windows.h, which it includes itself, or winsock.h gets in first
#include <ws2tcpip.h>

#include "platform/platform.h"
#include "platform/socket_waits.h"

namespace kestrun::platform {
namespace {

using sockets::deadline_after;
using sockets::left_until;
using sockets::not_moved;
using sockets::resolve_ipv4;
using sockets::t_wait;

bool winsock_start() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SOCKET as_socket(std::intptr_t fd) { return static_cast<SOCKET>(fd); }

bool would_block(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }

// A new non-blocking IPv4 TCP socket that child processes do not inherit, or INVALID_SOCKET.
SOCKET open_stream() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  u_long non_blocking = 1;
  if (::ioctlsocket(s, FIONBIO, &non_blocking) != 0 ||
      !::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

enum class wait_kind { read, write, connect };

// Waits until `s` is ready for `kind` (or has an error, which the following call then reports).
// A connection that failed shows in the exception set on Windows: that is a ready socket too, and
// the caller asks SO_ERROR.
t_wait wait_for(SOCKET s, wait_kind kind, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    const int left = left_until(deadline);
    timeval wait{left / 1000, (left % 1000) * 1000};
    const int count = ::select(0, kind == wait_kind::read ? &ready : nullptr,
                               kind == wait_kind::read ? nullptr : &ready,
                               kind == wait_kind::connect ? &failed : nullptr, &wait);
    if (count > 0) return t_wait::ready;
    if (count == 0) return t_wait::timed_out;
    if (::WSAGetLastError() != WSAEINTR) return t_wait::failed;
  }
}

// send and recv take an int count.
int chunk(std::size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

}  // namespace

bool socket::connect(const char* host, int port, int timeout_ms) {
  if (is_open() || host == nullptr || *host == '\0' || port < 1 || port > 65535) return false;
  if (!winsock_start()) return false;
  const SOCKET s = open_stream();
  if (s == INVALID_SOCKET) {
    ::WSACleanup();
    return false;
  }
  socket guard(static_cast<std::intptr_t>(s));  // closes it, and cleans up, on every failure
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  if (!resolve_ipv4(host, address.sin_addr)) return false;
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (!would_block(::WSAGetLastError())) return false;
    if (wait_for(s, wait_kind::connect, timeout_ms) != t_wait::ready) return false;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
      return false;
    }
  }
  *this = std::move(guard);
  return true;
}

std::string socket::peer_address() const {
  if (!is_open()) return {};
  sockaddr_in address{};
  int length = sizeof address;
  if (::getpeername(as_socket(fd_), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.sin_family != AF_INET) {
    return {};
  }
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return {};
  return text;
}

// Windows has no SIGPIPE: a send to a peer that went away fails with an error of its own.
t_transfer socket::send(const void* data, std::size_t length, int timeout_ms) {
  if (!is_open()) return {};
  if (length == 0) return {t_transfer::t_status::moved, 0};
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const int sent = ::send(as_socket(fd_), static_cast<const char*>(data), chunk(length), 0);
    if (sent >= 0) return {t_transfer::t_status::moved, static_cast<std::size_t>(sent)};
    if (!would_block(::WSAGetLastError())) return {};
    const int left = left_until(deadline);
    if (left == 0) return {t_transfer::t_status::timed_out, 0};
    const t_wait waited = wait_for(as_socket(fd_), wait_kind::write, left);
    if (waited != t_wait::ready) return not_moved(waited);
  }
}

t_transfer socket::recv(void* buffer, std::size_t length, int timeout_ms) {
  if (!is_open()) return {};
  if (length == 0) return {t_transfer::t_status::moved, 0};
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    const int received = ::recv(as_socket(fd_), static_cast<char*>(buffer), chunk(length), 0);
    if (received > 0) return {t_transfer::t_status::moved, static_cast<std::size_t>(received)};
    if (received == 0) return {t_transfer::t_status::closed, 0};
    if (!would_block(::WSAGetLastError())) return {};
    const int left = left_until(deadline);
    if (left == 0) return {t_transfer::t_status::timed_out, 0};
    const t_wait waited = wait_for(as_socket(fd_), wait_kind::read, left);
    if (waited != t_wait::ready) return not_moved(waited);
  }
}

void socket::close() {
  if (!is_open()) return;
  ::closesocket(as_socket(fd_));
  ::WSACleanup();
  fd_ = -1;
}

}  // namespace kestrun::platform
