// The process section of the POSIX layer: the command line as the kernel keeps it and the path of
// the running program, both read from /proc/self.
#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"

namespace kestrun::platform {

std::vector<std::string> command_line() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  if (!in) return {};
  const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return {};
  // Every argument ends with a zero byte, the last one included; empty arguments stay.
  std::vector<std::string> arguments;
  std::string::size_type start = 0;
  while (start < all.size()) {
    auto end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return arguments;
}

std::filesystem::path program_path() {
  // readlink does not say how long the target is: grow the buffer until the text fits.
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return std::filesystem::path(buffer);
    }
    if (buffer.size() >= (std::size_t{1} << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace kestrun::platform
