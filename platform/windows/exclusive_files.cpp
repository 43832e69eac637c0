// Locks, files created new, placing a file without replacing another, and flushing to the disk,
// the Windows way: LockFileEx, CREATE_NEW, MoveFileExW without MOVEFILE_REPLACE_EXISTING (which
// refuses an existing name on NTFS, FAT and SMB shares alike), CreateHardLinkW and
// FlushFileBuffers.
#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>

#include "platform/platform.h"
#include "platform/windows/shared.h"

namespace kestrun::platform {
namespace {

HANDLE handle_of(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

bool name_taken(DWORD error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }

// The last error, with a taken name as the portable code the callers compare with.
std::error_code create_error() {
  const DWORD error = ::GetLastError();
  if (name_taken(error)) return std::make_error_code(std::errc::file_exists);
  return std::error_code(static_cast<int>(error), std::system_category());
}

HANDLE open_new(const std::filesystem::path& path) {
  return ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// What a call that gives a file a name which must be free did, from its result and last error.
t_placed naming_outcome(bool named, std::error_code& ec) {
  if (named) return t_placed::placed;
  const DWORD error = ::GetLastError();
  if (name_taken(error)) return t_placed::taken;
  ec = std::error_code(static_cast<int>(error), std::system_category());
  return t_placed::failed;
}

bool copy_handles(HANDLE from, HANDLE to, std::error_code& ec) {
  std::string block(std::size_t{1} << 20, '\0');
  while (true) {
    DWORD n = 0;
    if (!::ReadFile(from, block.data(), static_cast<DWORD>(block.size()), &n, nullptr)) {
      ec = last_error();
      return false;
    }
    if (n == 0) return true;
    DWORD done = 0;
    while (done < n) {
      DWORD w = 0;
      if (!::WriteFile(to, block.data() + done, n - done, &w, nullptr)) {
        ec = last_error();
        return false;
      }
      done += w;
    }
  }
}

}  // namespace

bool file_lock::acquire(const std::filesystem::path& path, std::error_code& ec) {
  release();
  ec.clear();
  const HANDLE file = ::CreateFileW(system_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ec = last_error();
    return false;
  }
  OVERLAPPED at{};
  if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    ec = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING
             ? std::make_error_code(std::errc::device_or_resource_busy)
             : std::error_code(static_cast<int>(error), std::system_category());
    return false;
  }
  fd_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

void file_lock::release() {
  if (fd_ == -1) return;
  // Closing the handle releases its locks; so does the end of the process.
  ::CloseHandle(handle_of(fd_));
  fd_ = -1;
}

bool create_new_file(const std::filesystem::path& path, std::error_code& ec) {
  ec.clear();
  const HANDLE file = open_new(path);
  if (file == INVALID_HANDLE_VALUE) {
    ec = create_error();
    return false;
  }
  ::CloseHandle(file);
  return true;
}

bool copy_to_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                      bool flush, std::error_code& ec) {
  ec.clear();
  const HANDLE in = ::CreateFileW(system_path(from).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) {
    ec = last_error();
    return false;
  }
  const HANDLE out = open_new(to);
  if (out == INVALID_HANDLE_VALUE) {
    ec = create_error();
    ::CloseHandle(in);
    return false;
  }
  bool ok = copy_handles(in, out, ec);
  if (ok && flush && !::FlushFileBuffers(out)) {
    ec = last_error();
    ok = false;
  }
  if (!::CloseHandle(out) && ok) {
    ec = last_error();
    ok = false;
  }
  ::CloseHandle(in);
  if (!ok) ::DeleteFileW(system_path(to).c_str());
  return ok;
}

t_placed place_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                        std::error_code& ec) {
  ec.clear();
  // Without MOVEFILE_REPLACE_EXISTING the move fails when the name exists, on every file system
  // Windows writes to; the write-through flag returns only once the move is on the disk.
  return naming_outcome(::MoveFileExW(system_path(from).c_str(), system_path(to).c_str(),
                                      MOVEFILE_WRITE_THROUGH) != 0,
                        ec);
}

t_placed link_file(const std::filesystem::path& from, const std::filesystem::path& to, bool flush,
                   std::error_code& ec) {
  ec.clear();
  if (flush) {
    // FlushFileBuffers needs a handle that may write.
    const HANDLE file = ::CreateFileW(system_path(from).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      ec = last_error();
      return t_placed::failed;
    }
    const bool flushed = ::FlushFileBuffers(file) != 0;
    if (!flushed) ec = last_error();
    ::CloseHandle(file);
    if (!flushed) return t_placed::failed;
  }
  return naming_outcome(
      ::CreateHardLinkW(system_path(to).c_str(), system_path(from).c_str(), nullptr) != 0, ec);
}

bool sync_folder(const std::filesystem::path&, std::error_code& ec) {
  ec.clear();
  return true;
}

bool can_sync_file_system() { return false; }

bool sync_file_system(const std::filesystem::path&, std::error_code& ec) {
  ec = std::make_error_code(std::errc::not_supported);
  return false;
}

}  // namespace kestrun::platform
