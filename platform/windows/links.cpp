// Links and junctions through the Windows calls themselves: the standard library of this tool
// chain neither makes nor recognises them. A junction is a new folder given mount-point reparse
// data; a file link comes from CreateSymbolicLinkW, and is looked at afterwards, because some
// systems (Wine) report success and make nothing.
#include <windows.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>
#include <winioctl.h>

#include "platform/platform.h"
#include "platform/windows/shared.h"

namespace kestrun::platform {

namespace {

// The largest reparse data the system keeps.
constexpr DWORD reparse_buffer_size = 16 * 1024;
constexpr DWORD allow_unprivileged_create = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE

class handle {
 public:
  explicit handle(HANDLE h) : h_(h) {}
  ~handle() {
    if (ok()) ::CloseHandle(h_);
  }
  handle(const handle&) = delete;
  handle& operator=(const handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// True when the entry at `link` is a reparse point with `tag`.
bool stands_as(const std::filesystem::path& link, std::uint32_t tag) {
  t_entry_info info;
  std::error_code ec;
  return entry_info(link, info, ec) && is_reparse_point(info.attributes) && info.reparse_tag == tag;
}

// The system's form of a link's target text: '\' separators, each run of them after a leading
// share prefix made one.
std::wstring link_text(const std::filesystem::path& target) {
  const std::wstring text = separators_to_native(wide_from_path(target));
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i > 1 && !out.empty() && out.back() == L'\\') continue;
    out += text[i];
  }
  return out;
}

// The attributes of the entry itself; false when there is none, with `ec` set only when the
// system could not say.
bool own_attributes(const std::filesystem::path& path, DWORD& attributes, std::error_code& ec) {
  ec.clear();
  attributes = ::GetFileAttributesW(system_path(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return true;
  const std::error_code error = last_error();
  if (!is_not_found(error)) ec = error;
  return false;
}

}  // namespace

bool target_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec) {
  out = t_entry_info{};
  ec.clear();
  // Backup semantics open a folder too; without the reparse-point flag the open follows links.
  const handle file(::CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION data{};
  if (!file.ok() || !::GetFileInformationByHandle(file.get(), &data)) {
    ec = last_error();
    return false;
  }
  out.attributes = data.dwFileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
  out.creation_time = unix_time_from_filetime(ticks(data.ftCreationTime));
  out.write_time = unix_time_from_filetime(ticks(data.ftLastWriteTime));
  out.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool read_link(const std::filesystem::path& path, std::wstring& target, std::error_code& ec) {
  target.clear();
  ec.clear();
  enable_restore_privilege();
  // No access right is asked for: the reparse data is readable wherever the entry can be seen,
  // and others may go on using the link meanwhile.
  const handle link(::CreateFileW(
      system_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!link.ok()) {
    ec = last_error();
    return false;
  }
  std::vector<std::uint8_t> data(reparse_buffer_size, 0);
  DWORD returned = 0;
  if (!::DeviceIoControl(link.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                         reparse_buffer_size, &returned, nullptr)) {
    ec = last_error();
    return false;
  }
  if (!reparse_data_target(data.data(), returned, target)) {
    ec = std::make_error_code(std::errc::invalid_argument);
    return false;
  }
  return true;
}

bool create_file_link(const std::filesystem::path& target, const std::filesystem::path& link,
                      std::error_code& ec) {
  ec.clear();
  const std::wstring text = link_text(target);
  // Without developer mode only an elevated process may make links; systems older than the flag
  // refuse it as a bad parameter.
  bool made = ::CreateSymbolicLinkW(system_path(link).c_str(), text.c_str(),
                                    allow_unprivileged_create) != 0;
  if (!made && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    made = ::CreateSymbolicLinkW(system_path(link).c_str(), text.c_str(), 0) != 0;
  }
  if (!made) {
    ec = last_error();
    return false;
  }
  if (!stands_as(link, reparse_tag_symlink)) {
    ec = std::make_error_code(std::errc::operation_not_supported);
    return false;
  }
  return true;
}

bool create_junction(const std::filesystem::path& target, const std::filesystem::path& link,
                     std::error_code& ec) {
  ec.clear();
  // Whatever stands at the link path already makes this fail, and is left alone.
  if (!::CreateDirectoryW(system_path(link).c_str(), nullptr)) {
    ec = last_error();
    return false;
  }
  enable_restore_privilege();  // tried either way: the outcome decides
  std::vector<std::uint8_t> block;
  std::size_t length = 0;
  bool written = false;
  if (!junction_reparse_data(wide_from_path(target), block, length)) {
    ec = std::make_error_code(std::errc::filename_too_long);
  } else {
    const handle folder(
        ::CreateFileW(system_path(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD returned = 0;
    written = folder.ok() &&
              ::DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, block.data(),
                                static_cast<DWORD>(length), nullptr, 0, &returned, nullptr);
    if (!written) ec = last_error();
  }
  if (written && !stands_as(link, reparse_tag_mount_point)) {
    written = false;
    ec = std::make_error_code(std::errc::operation_not_supported);
  }
  // The new folder is this call's own: it goes again when it did not become the junction.
  if (!written) ::RemoveDirectoryW(system_path(link).c_str());
  return written;
}

bool enable_restore_privilege() {
  // The privilege stays enabled for the rest of the process: asked once, for every junction the
  // run writes or reads.
  static const bool enabled = [] {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
    TOKEN_PRIVILEGES request{};
    request.PrivilegeCount = 1;
    request.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A process that does not hold the privilege still gets a success here; whether the
    // junction can be written then is the junction's own answer.
    const bool adjusted =
        ::LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &request.Privileges[0].Luid) &&
        ::AdjustTokenPrivileges(token, FALSE, &request, sizeof request, nullptr, nullptr);
    ::CloseHandle(token);
    return adjusted;
  }();
  return enabled;
}

// The tool chain's standard library takes a junction for the folder it leads to: its remove_all
// would empty the target. Here the entry's own attributes decide.
bool remove_entry(const std::filesystem::path& path, std::error_code& ec) {
  DWORD attributes = 0;
  if (!own_attributes(path, attributes, ec)) return false;
  // A junction or folder link carries the directory bit and goes as an empty folder does. Wine
  // refuses both ways for a Unix link to a folder: it stays, and so does what it leads to.
  const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                           ? ::RemoveDirectoryW(system_path(path).c_str()) != 0
                           : ::DeleteFileW(system_path(path).c_str()) != 0;
  if (!removed) ec = last_error();
  return removed;
}

bool remove_tree(const std::filesystem::path& path, std::error_code& ec) {
  DWORD attributes = 0;
  if (!own_attributes(path, attributes, ec)) return !ec;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW data{};
    const HANDLE search = ::FindFirstFileW(system_path(path / L"*").c_str(), &data);
    if (search != INVALID_HANDLE_VALUE) {
      bool ok = true;
      do {
        const std::wstring_view name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        ok = remove_tree(path / data.cFileName, ec);
      } while (ok && ::FindNextFileW(search, &data));
      ::FindClose(search);
      if (!ok) return false;
    }
  }
  return remove_entry(path, ec) || !ec;
}

}  // namespace kestrun::platform
