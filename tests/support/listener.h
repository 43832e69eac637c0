// A listening TCP socket on 127.0.0.1 at a port the system picks, for the tests' loopback
// servers: what it accepts is a platform::socket like the client's end.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kestrun::test {

class listener {
 public:
  // Throws std::system_error when no port can be bound.
  listener();
  ~listener();
  listener(const listener&) = delete;
  listener& operator=(const listener&) = delete;

  int port() const { return port_; }

  // The next incoming connection, or a closed socket when none arrives within `timeout_ms`.
  platform::socket accept(int timeout_ms);

 private:
  std::intptr_t fd_ = -1;  // a descriptor or a SOCKET
  int port_ = 0;
};

}  // namespace kestrun::test
