// Paths of the Windows layer. File names are UTF-16 already, so a path and its wide text are the
// same units; '\' and '/' both separate, and names compare without regard to case.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrun::platform {

std::filesystem::path path_from_wide(std::wstring_view text) {
  return std::filesystem::path(std::wstring(text));
}

std::wstring wide_from_path(const std::filesystem::path& path) { return path.native(); }

std::wstring wide_from_native_name(native_string_view name) { return std::wstring(name); }

native_string native_name_from_wide(std::wstring_view text) { return native_string(text); }

std::string narrow_from_path(const std::filesystem::path& path) {
  return native_from_wide(separators_to_generic(path.native()));
}

std::wstring separators_to_generic(std::wstring text) {
  for (auto& c : text) {
    if (c == L'\\') c = L'/';
  }
  return text;
}

std::wstring separators_to_native(std::wstring text) {
  for (auto& c : text) {
    if (c == L'/') c = L'\\';
  }
  return text;
}

bool same_names(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  // The comparison the file system makes: unit by unit after the system's upper-casing.
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring_view name_as_opened(std::wstring_view name) {
  const std::size_t kept = name.find_last_not_of(L". ");
  return name.substr(0, kept == std::wstring_view::npos ? 0 : kept + 1);
}

}  // namespace kestrun::platform
