// The process section of the Windows layer: the wide command line split by the shell's rules,
// and the path of the running program's file.
#include <windows.h>

#include <shellapi.h>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrun::platform {

std::vector<std::string> command_line() {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(count));
  // UTF-8 without loss: an unpaired surrogate keeps its own three-byte form.
  for (int i = 0; i < count; ++i) out.push_back(native_from_wide(arguments[i]));
  ::LocalFree(arguments);
  return out;
}

std::filesystem::path program_path() {
  const HMODULE module = ::GetModuleHandleW(nullptr);
  if (module == nullptr) return {};
  // The call does not say how long the name is: double the buffer until the name fits.
  std::wstring buffer(128, L'\0');
  for (;;) {
    buffer.resize(buffer.size() * 2);
    const DWORD length =
        ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) break;
    if (buffer.size() >= (std::size_t{1} << 16)) return {};
  }
  buffer.resize(static_cast<std::size_t>(::lstrlenW(buffer.c_str())));
  return std::filesystem::path(buffer);
}

}  // namespace kestrun::platform
