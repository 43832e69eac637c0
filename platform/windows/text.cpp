// Paths of the Windows layer. File names are UTF-16 already, so a path and its wide text are the
// same units; '\' and '/' both separate, and names compare without regard to case.
#include <cwctype>
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
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(static_cast<std::wint_t>(a[i])) !=
        std::towupper(static_cast<std::wint_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace kestrun::platform
