// Server paths as text, so that the local system's path rules never touch a remote name.
#include "drivers/ftp/remote_path.h"

#include <vector>

#include "common/text.h"

namespace kestrun::net::ftp {

std::wstring remote_normal(std::wstring_view path) {
  const bool absolute = !path.empty() && path.front() == L'/';
  std::vector<std::wstring_view> kept;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t end = path.find(L'/', at);
    if (end == std::wstring_view::npos) end = path.size();
    const std::wstring_view element = path.substr(at, end - at);
    at = end + 1;
    if (element.empty() || element == L".") continue;
    if (element == L".." && !kept.empty() && kept.back() != L"..") {
      kept.pop_back();
    } else if (element != L".." || !absolute) {
      kept.push_back(element);
    }
  }
  std::wstring text = absolute ? L"/" : L"";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) text += L'/';
    text += kept[i];
  }
  if (text.empty() && !path.empty()) text = L".";
  return text;
}

std::wstring remote_parent(std::wstring_view path) {
  std::size_t end = path.rfind(L'/');
  if (end == std::wstring_view::npos) return {};
  // The separators before the last element belong to neither; only the root keeps its own.
  while (end > 0 && path[end - 1] == L'/') --end;
  return std::wstring(end == 0 ? path.substr(0, 1) : path.substr(0, end));
}

std::wstring first_folder_below(std::wstring_view base, std::wstring_view path) {
  if (base.empty() || base.front() != L'/') return {};
  const std::size_t start = base == L"/" ? 1 : base.size() + 1;
  if (path.size() <= start || path.substr(0, start - 1) != base.substr(0, start - 1) ||
      path[start - 1] != L'/') {
    return {};
  }
  const std::size_t end = path.find(L'/', start);
  if (end == std::wstring_view::npos || end == start) return {};
  return std::wstring(path.substr(0, end));
}

std::string wire_path(std::wstring_view path) { return utf16_to_utf8(std::wstring(path)); }

}  // namespace kestrun::net::ftp
