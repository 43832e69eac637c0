// Files written below a folder, the Windows way: the system names files by their whole path, so
// a folder reached by one name is checked for a reparse point (a link or junction) before
// anything is written below it, and a new file is moved over its final name with MoveFileExW
// only once complete.
#include <windows.h>

#include <cstdint>
#include <system_error>

#include "platform/platform.h"
#include "platform/windows/shared.h"

namespace kestrun::platform {
namespace {

HANDLE handle_of(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

std::filesystem::path native_path(const std::filesystem::path& folder, const std::string& name) {
  return folder / std::filesystem::path(std::wstring(name.begin(), name.end()));
}

}  // namespace

std::uint64_t input_file::size() const {
  LARGE_INTEGER size{};
  if (!is_open() || !::GetFileSizeEx(handle_of(fd_), &size)) return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

folder_below::folder_below(const folder_handle& parent, const std::filesystem::path& name,
                           std::error_code& ec) {
  ec.clear();
  if (!parent.is_open()) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return;
  }
  const std::filesystem::path path = parent.folder_ / name;
  const DWORD attributes = ::GetFileAttributesW(system_path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    ec = last_error();
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ec = std::make_error_code(std::errc::not_a_directory);
    return;
  }
  folder_ = path;
  fd_ = 0;
}

new_file::~new_file() { discard(); }

bool new_file::create(const folder_handle& folder, std::error_code& ec) {
  discard();
  ec.clear();
  if (!folder.is_open()) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  folder_ = folder.folder_;
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporary_name();
    const HANDLE file =
        ::CreateFileW(system_path(native_path(folder_, name)).c_str(), GENERIC_WRITE, 0, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      fd_ = reinterpret_cast<std::intptr_t>(file);
      temp_name_ = std::move(name);
      return true;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  ec = last_error();
  return false;
}

bool new_file::write(const char* data, std::size_t size, std::error_code& ec) {
  ec.clear();
  while (size > 0) {
    if (fd_ == -1) {
      ec = std::make_error_code(std::errc::bad_file_descriptor);
      return false;
    }
    const DWORD piece = size < 0x40000000 ? static_cast<DWORD>(size) : 0x40000000;
    DWORD n = 0;
    if (!::WriteFile(handle_of(fd_), data, piece, &n, nullptr)) {
      ec = last_error();
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

bool new_file::finish(std::int64_t seconds, std::error_code& ec) {
  ec.clear();
  if (fd_ == -1) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  const FILETIME time = filetime_of(seconds);
  // The time is cosmetic next to the content: a failure to set it is not reported.
  ::SetFileTime(handle_of(fd_), nullptr, nullptr, &time);
  const bool closed = ::CloseHandle(handle_of(fd_)) != 0;
  fd_ = -1;
  if (!closed) {
    ec = last_error();
    return false;
  }
  return true;
}

bool new_file::replace(const std::filesystem::path& name, std::error_code& ec) {
  return move_into(-1, folder_, name, ec);
}

bool new_file::replace(const folder_handle& folder, const std::filesystem::path& name,
                       std::error_code& ec) {
  if (!folder.is_open()) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  return move_into(-1, folder.folder_, name, ec);
}

bool new_file::move_into(std::intptr_t, const std::filesystem::path& target_folder,
                         const std::filesystem::path& name, std::error_code& ec) {
  ec.clear();
  if (temp_name_.empty() || fd_ != -1) {
    ec = std::make_error_code(std::errc::bad_file_descriptor);
    return false;
  }
  const std::filesystem::path target = target_folder / name;
  const DWORD attributes = ::GetFileAttributesW(system_path(target).c_str());
  DWORD flags = 0;
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
      return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ec = std::make_error_code(std::errc::is_a_directory);
      return false;
    }
    // A file that may not be written (read-only, in use) is not replaced either.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      ec = std::make_error_code(std::errc::permission_denied);
      return false;
    }
    const HANDLE probe =
        ::CreateFileW(system_path(target).c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
      ec = last_error();
      return false;
    }
    ::CloseHandle(probe);
    flags = MOVEFILE_REPLACE_EXISTING;
  } else if (const DWORD error = ::GetLastError();
             error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
    ec = std::error_code(static_cast<int>(error), std::system_category());
    return false;
  }
  if (!::MoveFileExW(system_path(native_path(folder_, temp_name_)).c_str(),
                     system_path(target).c_str(), flags)) {
    ec = last_error();
    return false;
  }
  temp_name_.clear();
  return true;
}

void new_file::discard() {
  if (fd_ != -1) ::CloseHandle(handle_of(fd_));
  fd_ = -1;
  if (!temp_name_.empty()) ::DeleteFileW(system_path(native_path(folder_, temp_name_)).c_str());
  temp_name_.clear();
}

}  // namespace kestrun::platform
