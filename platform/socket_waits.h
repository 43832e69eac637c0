// What the BSD and the Windows sockets share: deadlines for bounded waits, what a wait gives a
// send or recv, and the IPv4 lookup.
// Included by posix/socket.cpp and windows/socket.cpp only, after their system's socket headers,
// which declare getaddrinfo and sockaddr_in under the same names.
#pragma once

#include <chrono>
#include <cstring>

#include "platform/platform.h"

namespace kestrun::platform::sockets {

using steady = std::chrono::steady_clock;

inline steady::time_point deadline_after(int timeout_ms) {
  return steady::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
}

inline int left_until(steady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// How a wait for a connection to become ready ended.
enum class t_wait { ready, timed_out, failed };

// What a send or recv gives when the wait before it ended without the connection ready.
inline t_transfer not_moved(t_wait waited) {
  return {
      waited == t_wait::timed_out ? t_transfer::t_status::timed_out : t_transfer::t_status::failed,
      0};
}

// The last IPv4 address the resolver lists for `host`; false when it lists none.
inline bool resolve_ipv4(const char* host, in_addr& out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the connection is IPv4 only: IPv6 entries are not asked for
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
  bool found = false;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    sockaddr_in address{};
    std::memcpy(&address, entry->ai_addr, sizeof address);
    out = address.sin_addr;
    found = true;
  }
  ::freeaddrinfo(list);
  return found;
}

}  // namespace kestrun::platform::sockets
