// Storage links as users write them: the hand-made matcher of the link grammar never crashes, its
// parts are pieces of the text, and on texts short enough for std::regex it agrees with the
// grammar written as a regular expression.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <locale>
#include <map>
#include <regex>
#include <string>

#include "drivers/ftp/url.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::map<std::string, std::wstring> regex_parts(const std::wstring& text) {
  static const std::wregex pattern = [] {
    std::wregex re;
    re.imbue(std::locale::classic());
    re.assign(
        LR"(^((\w+):)?(\/\/((\w+)?(:(\w+))?@)?([^\/\?:]+)(:(\d+))?)?(\/?([^\/\?#][^\?#]*)?)?(\?([^#]+))?(#(\w*))?)",
        std::regex_constants::ECMAScript);
    return re;
  }();
  static const std::pair<const char*, int> keys[] = {
      {"url", 0},   {"shema", 2}, {"username", 5}, {"password", 7},  {"host", 8},
      {"port", 10}, {"path", 11}, {"query", 14},   {"fragment", 16},
  };
  std::map<std::string, std::wstring> parts;
  std::wsmatch match;
  if (!std::regex_match(text, match, pattern)) return parts;
  for (const auto& [key, group] : keys) {
    if (!match[group].matched || (group == 11 && match[group].length() == 0)) continue;
    parts[key] = match[group].str();
  }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Bytes as characters, so that every character the grammar tells apart is reachable.
  const std::wstring text(data, data + size);
  kestrun::url link;
  const bool matched = link.parse(text);
  check(matched == !link.parts().empty());
  if (matched) check(link.get("url", L"") == text);
  for (const auto& [key, part] : link.parts()) check(text.find(part) != std::wstring::npos);
  if (size <= 200) check(link.parts() == regex_parts(text));
  return 0;
}
