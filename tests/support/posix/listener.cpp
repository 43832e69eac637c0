// The tests' listener over BSD sockets: non-blocking, so that accept waits only as long as asked.
#include "tests/support/listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace kestrun::test {

listener::listener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  const int fd = static_cast<int>(fd_);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

listener::~listener() { ::close(static_cast<int>(fd_)); }

platform::socket listener::accept(int timeout_ms) {
  pollfd entry{static_cast<int>(fd_), POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, timeout_ms < 0 ? 0 : timeout_ms);
  } while (ready < 0 && errno == EINTR);  // a test's wait need not be exact
  if (ready <= 0) return platform::socket{};
  const int fd = ::accept4(static_cast<int>(fd_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd < 0 ? platform::socket{} : platform::socket(fd);
}

}  // namespace kestrun::test
