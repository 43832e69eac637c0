// Paths of the POSIX layer. File names here are bytes: valid UTF-8 maps to code points and every
// other byte is escaped as 0xDC00 + byte (text.cpp beside this folder), so no name is ever lost or
// refused. '\' is an ordinary name character.
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrun::platform {

std::filesystem::path path_from_wide(std::wstring_view text) {
  // A path built from a std::string takes its bytes unchanged on POSIX.
  return std::filesystem::path(native_from_wide(text));
}

std::wstring wide_from_path(const std::filesystem::path& path) {
  return wide_from_native(path.native());
}

std::wstring wide_from_native_name(native_string_view name) { return wide_from_native(name); }

native_string native_name_from_wide(std::wstring_view text) { return native_from_wide(text); }

std::string narrow_from_path(const std::filesystem::path& path) { return path.native(); }

std::wstring separators_to_generic(std::wstring text) { return text; }

std::wstring separators_to_native(std::wstring text) { return text; }

bool same_names(std::wstring_view a, std::wstring_view b) { return a == b; }

std::wstring_view name_as_opened(std::wstring_view name) { return name; }

}  // namespace kestrun::platform
