// What the files of the Windows layer share: the last error as an error code, FILETIME
// conversions, and the text of a path as the system is handed it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrun::platform {

inline std::error_code last_error() {
  return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

// A FILETIME as its count of 100-nanosecond units since 1601-01-01.
inline std::uint64_t ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The FILETIME of whole Unix seconds.
inline FILETIME filetime_of(std::int64_t seconds) {
  constexpr std::int64_t seconds_1601_to_1970 = 11'644'473'600;
  const auto value = static_cast<std::uint64_t>((seconds + seconds_1601_to_1970) * 10'000'000LL);
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

// Past MAX_PATH the system takes an absolute path only in its \\?\ form, which it uses as it
// stands: '\' separators only, no "." or ".." elements. Shorter paths, and relative ones, go as
// they are.
std::wstring system_path(const std::filesystem::path& path);

}  // namespace kestrun::platform
