// The storage link's one regular expression and the groups that name its parts.
#include "drivers/ftp/url.h"

#include <locale>
#include <regex>
#include <utility>

namespace kestrun {
namespace {

// Stored links and the FTP driver rely on this exact pattern and on its group numbers. Each \w is
// spelled out as the ASCII class it stands for: some runtimes (Windows') count letters such as
// U+00E9 as word characters even in the classic locale.
constexpr const wchar_t* pattern =
    LR"(^(([0-9A-Za-z_]+):)?(\/\/(([0-9A-Za-z_]+)?(:([0-9A-Za-z_]+))?@)?([^\/\?:]+)(:(\d+))?)?(\/?([^\/\?#][^\?#]*)?)?(\?([^#]+))?(#([0-9A-Za-z_]*))?)";

// "shema" is spelled so on purpose: callers ask for the scheme under that key.
const std::pair<const char*, int> keys[] = {
    {"url", 0},   {"shema", 2}, {"username", 5}, {"password", 7},  {"host", 8},
    {"port", 10}, {"path", 11}, {"query", 14},   {"fragment", 16},
};

constexpr int path_group = 11;

const std::wregex& expression() {
  static const std::wregex compiled = [] {
    std::wregex re;
    // The classic locale keeps \d and the ranges to ASCII whatever the program's locale.
    re.imbue(std::locale::classic());
    re.assign(pattern, std::regex_constants::ECMAScript);
    return re;
  }();
  return compiled;
}

}  // namespace

bool url::parse(std::wstring text) {
  parts_.clear();
  std::wsmatch match;
  if (!std::regex_match(text, match, expression())) return false;
  for (const auto& [key, group] : keys) {
    if (!match[group].matched) continue;
    // ECMAScript lets an optional group that would match only the empty text take no part, so a
    // link that ends after its host has no path; libstdc++ reports the group as matched and
    // empty. Of the stored groups only the path can match empty.
    if (group == path_group && match[group].length() == 0) continue;
    parts_[key] = match[group].str();
  }
  return true;
}

std::wstring url::get(const std::string& key, std::wstring default_value) const {
  const auto found = parts_.find(key);
  return found != parts_.end() ? found->second : std::move(default_value);
}

}  // namespace kestrun
