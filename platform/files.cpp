// The FILETIME rule that both platforms' entry times follow, the names of new files, and the moves
// of a file lock.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>

#include "platform/platform.h"

namespace kestrun::platform {

std::int64_t unix_time_from_filetime(std::uint64_t filetime) {
  constexpr std::uint64_t ticks_per_second = 10'000'000;  // FILETIME counts 100 ns
  constexpr std::int64_t seconds_1601_to_1970 = 11'644'473'600;
  const auto whole = static_cast<std::int64_t>(filetime / ticks_per_second);
  const auto rest = filetime % ticks_per_second;
  return whole - seconds_1601_to_1970 + (rest >= ticks_per_second / 2 ? 1 : 0);
}

std::string new_file::temporary_name() {
  static std::mt19937_64 random{std::random_device{}()};
  char text[32];
  std::snprintf(text, sizeof text, ".k-vcs-new-%012llx",
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFULL));
  return text;
}

bool new_file::is_temporary_name(const std::string& name) {
  static const std::string prefix = ".k-vcs-new-";
  if (name.size() != prefix.size() + 12 || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A lock's moves and destructor need no system call: one copy serves both platforms.
file_lock::~file_lock() { release(); }

file_lock::file_lock(file_lock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

file_lock& file_lock::operator=(file_lock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

}  // namespace kestrun::platform
