// Maps stored paths onto the project folder without ever leaving it.
#include "vcs/safe_path.h"

#include <system_error>

#include "platform/platform.h"

namespace kestrun::vcs {

std::filesystem::path path_from_utf8_strict(const std::string& text) {
  std::wstring wide;
  if (!platform::strict_wide_from_utf8(text, wide)) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "invalid UTF-8 name");
  }
  return platform::path_from_wide(wide);
}

std::optional<std::filesystem::path> safe_local_path(const std::filesystem::path& root,
                                                     const std::string& stored) {
  const std::optional<std::filesystem::path> safe = safe_relative_path(stored);
  if (!safe) return std::nullopt;
  const std::filesystem::path& relative = *safe;
  // A folder below the root that is really a link would carry the path elsewhere. Any reparse
  // point counts: what one does with a path is the file system's business, not the project's.
  std::filesystem::path walk = root;
  auto last = relative.end();
  --last;
  for (auto it = relative.begin(); it != last; ++it) {
    walk /= *it;
    platform::t_entry_info info;
    std::error_code ec;
    if (!platform::entry_info(walk, info, ec)) break;  // nothing there leads nowhere
    if (platform::is_reparse_point(info.attributes)) return std::nullopt;
  }
  return root / relative;
}

std::optional<std::filesystem::path> safe_relative_path(const std::string& stored) {
  // Judged before it is converted: a path refused as unsafe is refused whatever its bytes.
  if (!is_safe_stored_path(stored)) return std::nullopt;
  std::filesystem::path relative = path_from_utf8_strict(stored);
  if (relative.has_root_path()) return std::nullopt;
  return relative;
}

// '\' separates only where the platform says so. The platform's helper works on wide text, so
// the lossless round trip is taken only by the rare text that holds a '\' at all.
void separators_to_generic(std::string& text) {
  if (text.find('\\') == std::string::npos) return;
  text =
      platform::native_from_wide(platform::separators_to_generic(platform::wide_from_native(text)));
}

namespace {

// Where '\' separates (Windows), a path must be judged with it as a separator too.
std::string generic_form(std::string_view path) {
  std::string generic(path);
  separators_to_generic(generic);
  return generic;
}

}  // namespace

bool is_safe_stored_path(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  const std::string generic = generic_form(path);
  if (generic.front() == '/') return false;
  std::string_view rest = generic;
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view element = rest.substr(0, slash);
    if (element.empty() || element == "." || element == "..") return false;
    // Where the file system drops trailing dots and spaces, "..." or ". " opens the folder
    // itself, or its parent.
    if (element.back() == '.' || element.back() == ' ') {
      const std::wstring name = platform::wide_from_native(std::string(element));
      const std::wstring_view opened = platform::name_as_opened(name);
      if (opened.empty() || opened == L"." || opened == L"..") return false;
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  // A drive or share name would make the joined path absolute on Windows.
  return !platform::path_from_wide(platform::wide_from_native(generic)).has_root_path();
}

bool names_work_folder(std::string_view path) {
  const std::string generic = generic_form(path.substr(0, path.find('/')));
  const std::wstring first = platform::wide_from_native(generic.substr(0, generic.find('/')));
  // Judged as the file system opens the name: on Windows ".K-VCS." is the work folder too.
  return platform::same_names(platform::name_as_opened(first), L".k-vcs");
}

}  // namespace kestrun::vcs
