// The files section of the Windows layer: what FindFirstFileW says of an entry, reading a whole
// file, and the modification time of a restored file through CreateFileW and SetFileTime.
#include <windows.h>

#include <cstdint>
#include <system_error>
#include <vector>

#include "platform/folder_checks.h"
#include "platform/platform.h"
#include "platform/windows/shared.h"

namespace kestrun::platform {

std::wstring system_path(const std::filesystem::path& path) {
  // Room is left for the names the callers append (a file of a folder, the "\*" of a listing).
  constexpr std::size_t short_enough = MAX_PATH - 20;
  const std::wstring& text = path.native();
  if (text.size() < short_enough || text.starts_with(L"\\\\?\\") || !path.is_absolute()) {
    return text;
  }
  const std::wstring full = path.lexically_normal().make_preferred().native();
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // a share
  return L"\\\\?\\" + full;
}

// The C runtime's own listing (and so the standard library's) makes the folder's full path in a
// buffer of MAX_PATH characters and, past it, lists the current folder instead.
bool list_folder(const std::filesystem::path& folder,
                 std::vector<std::filesystem::directory_entry>& out, std::error_code& ec) {
  ec.clear();
  WIN32_FIND_DATAW data{};
  const HANDLE search =
      ::FindFirstFileExW(system_path(folder / L"*").c_str(), FindExInfoBasic, &data,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    ec = last_error();
    return false;
  }
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::filesystem::directory_entry entry;
    std::error_code status_ec;  // the entry's own status is asked for through this layer
    entry.assign(folder / data.cFileName, status_ec);
    out.push_back(std::move(entry));
  } while (::FindNextFileW(search, &data));
  const DWORD error = ::GetLastError();
  ::FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    ec = std::error_code(static_cast<int>(error), std::system_category());
    return false;
  }
  return true;
}

bool entry_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec) {
  out = t_entry_info{};
  ec.clear();
  // The search takes its last element as a pattern: a name with a wildcard (none can exist, but
  // a stored path may hold one) would answer for some other entry.
  if (path.filename().native().find_first_of(L"*?<>\"") != std::wstring::npos) {
    ec = std::error_code(ERROR_INVALID_NAME, std::system_category());
    return false;
  }
  WIN32_FIND_DATAW data{};
  // The entry itself, a link included: the search lists the name, it does not follow it.
  const HANDLE search = ::FindFirstFileW(system_path(path).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    ec = last_error();
    return false;
  }
  ::FindClose(search);
  out.attributes = data.dwFileAttributes;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    out.reparse_tag = data.dwReserved0;
  out.creation_time = unix_time_from_filetime(ticks(data.ftCreationTime));
  out.write_time = unix_time_from_filetime(ticks(data.ftLastWriteTime));
  out.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

folder_handle::folder_handle(const std::filesystem::path& folder) : folder_(folder) {
  // Entries are asked for by their whole path; the folder only has to be there.
  const DWORD attributes = ::GetFileAttributesW(system_path(folder).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    fd_ = 0;
  }
}

folder_handle::~folder_handle() = default;

bool entry_info_at(const folder_handle& folder, const native_char* name, t_entry_info& out,
                   std::error_code& ec) {
  if (!detail::usable(folder, ec)) {
    out = t_entry_info{};
    return false;
  }
  return entry_info(folder.folder_ / name, out, ec);
}

// Entries of a folder are reached by their whole path here, as everywhere on this side.
bool remove_entry_at(const folder_handle& folder, const std::filesystem::path& name,
                     std::error_code& ec) {
  if (!detail::usable(folder, ec)) return false;
  return remove_entry(folder.folder_ / name, ec);
}

bool create_folder_at(const folder_handle& folder, const std::filesystem::path& name,
                      std::error_code& ec) {
  if (!detail::usable(folder, ec)) return false;
  const std::wstring path = system_path(folder.folder_ / name);
  if (::CreateDirectoryW(path.c_str(), nullptr)) return true;
  if (::GetLastError() != ERROR_ALREADY_EXISTS) {
    ec = last_error();
    return false;
  }
  // Another process may have made it first: what counts is that a folder stands there.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return true;
  }
  ec = std::make_error_code(std::errc::file_exists);
  return false;
}

bool create_link_at(const folder_handle& folder, const std::filesystem::path& name,
                    const std::filesystem::path& target, bool to_folder, std::error_code& ec) {
  if (!detail::usable(folder, ec)) return false;
  return to_folder ? create_junction(target, folder.folder_ / name, ec)
                   : create_file_link(target, folder.folder_ / name, ec);
}

input_file::~input_file() { close(); }

bool input_file::open(const std::filesystem::path& path) {
  close();
  // Without backup semantics a folder does not open; others may go on reading and writing.
  const HANDLE file = ::CreateFileW(system_path(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  fd_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

std::size_t input_file::read(char* buffer, std::size_t size) {
  std::size_t got = 0;
  while (is_open() && got < size) {
    const std::size_t piece = size - got < 0x40000000 ? size - got : 0x40000000;
    DWORD n = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(fd_), buffer + got, static_cast<DWORD>(piece), &n,
                    nullptr) ||
        n == 0) {
      break;
    }
    got += n;
  }
  return got;
}

void input_file::close() {
  if (is_open()) ::CloseHandle(reinterpret_cast<HANDLE>(fd_));
  fd_ = -1;
}

bool create_folders(const std::filesystem::path& path, std::error_code& ec) {
  ec.clear();
  // Each folder is made through the system's own form of its path, which takes any length.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path at = path; !at.empty(); at = at.parent_path()) {
    const DWORD attributes = GetFileAttributesW(system_path(at).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ec = std::make_error_code(std::errc::not_a_directory);
        return false;
      }
      break;
    }
    missing.push_back(at);
    if (at.parent_path() == at) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (!CreateDirectoryW(system_path(*it).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      ec = last_error();
      return false;
    }
  }
  return true;
}

bool set_modification_time(const std::filesystem::path& path, std::int64_t seconds,
                           std::error_code& ec) {
  ec.clear();
  const FILETIME time = filetime_of(seconds);
  const HANDLE file = ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ec = last_error();
    return false;
  }
  // Creation and access times stay as they are.
  const bool set = ::SetFileTime(file, nullptr, nullptr, &time) != 0;
  if (!set) ec = last_error();
  ::CloseHandle(file);
  return set;
}

}  // namespace kestrun::platform
