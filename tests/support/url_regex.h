// The link grammar as the regular expression it is written as, matched by std::regex, for the
// hand-made matcher (its tests and its fuzz target) to agree with on texts short enough for the
// regex engine.
#pragma once

#include <locale>
#include <map>
#include <regex>
#include <string>
#include <utility>

namespace kestrun::test {

// The parts url::parse stores for `text`, as the regular expression finds them; empty when it
// does not match.
inline std::map<std::string, std::wstring> regex_parts(const std::wstring& text) {
  static const std::wregex pattern = [] {
    std::wregex re;
    // Each \w is spelled out as the ASCII class it stands for: some runtimes (Windows') count
    // letters such as U+00E9 as word characters even in the classic locale.
    re.imbue(std::locale::classic());
    re.assign(
        LR"(^(([0-9A-Za-z_]+):)?(\/\/(([0-9A-Za-z_]+)?(:([0-9A-Za-z_]+))?@)?([^\/\?:]+)(:(\d+))?)?(\/?([^\/\?#][^\?#]*)?)?(\?([^#]+))?(#([0-9A-Za-z_]*))?)",
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
    // libstdc++ reports an empty optional path as matched, where ECMAScript lets it take no part.
    if (!match[group].matched || (group == 11 && match[group].length() == 0)) continue;
    parts[key] = match[group].str();
  }
  return parts;
}

}  // namespace kestrun::test
