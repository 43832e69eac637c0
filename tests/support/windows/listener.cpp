// The tests' listener over Windows Sockets 2: non-blocking, so that accept waits only as long as
// asked. The listener and every socket it accepts hold a WSAStartup reference of their own, as
// the platform's sockets do.
#include "tests/support/listener.h"

#include <system_error>
#include <winsock2.h>  // before windows.h, which it includes itself, or winsock.h gets in first
#include <ws2tcpip.h>

namespace kestrun::test {
namespace {

SOCKET as_socket(std::intptr_t fd) { return static_cast<SOCKET>(fd); }

bool winsock_start() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

// Non-blocking and not inherited by child processes; false when either cannot be set.
bool prepare(SOCKET s) {
  u_long non_blocking = 1;
  return ::ioctlsocket(s, FIONBIO, &non_blocking) == 0 &&
         ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

listener::listener() {
  if (!winsock_start()) {
    throw std::system_error(::WSAGetLastError(), std::system_category(), "WSAStartup");
  }
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof address;
  if (s == INVALID_SOCKET || !prepare(s) ||
      ::bind(s, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(s, 16) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = ::WSAGetLastError();
    if (s != INVALID_SOCKET) ::closesocket(s);
    ::WSACleanup();
    throw std::system_error(error, std::system_category(), "listen on 127.0.0.1");
  }
  fd_ = static_cast<std::intptr_t>(s);
  port_ = ntohs(address.sin_port);
}

listener::~listener() {
  ::closesocket(as_socket(fd_));
  ::WSACleanup();
}

platform::socket listener::accept(int timeout_ms) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(as_socket(fd_), &ready);
  const int wait_ms = timeout_ms < 0 ? 0 : timeout_ms;
  timeval wait{wait_ms / 1000, (wait_ms % 1000) * 1000};
  if (::select(0, &ready, nullptr, nullptr, &wait) <= 0) return platform::socket{};
  if (!winsock_start()) return platform::socket{};  // the accepted socket's own reference
  const SOCKET s = ::accept(as_socket(fd_), nullptr, nullptr);
  if (s == INVALID_SOCKET || !prepare(s)) {
    if (s != INVALID_SOCKET) ::closesocket(s);
    ::WSACleanup();
    return platform::socket{};
  }
  return platform::socket(static_cast<std::intptr_t>(s));
}

}  // namespace kestrun::test
