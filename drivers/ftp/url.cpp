// The storage link's grammar, matched by hand. Stored links and the FTP driver rely on the exact
// language and groups of the regular expression
//   ^((\w+):)?(\/\/((\w+)?(:(\w+))?@)?([^\/\?:]+)(:(\d+))?)?(\/?([^\/\?#][^\?#]*)?)?(\?([^#]+))?(#(\w*))?
// matched whole with ECMAScript's rules: the first match in its backtracking order, an optional
// group that would match only the empty text taking no part. A regex engine recurses once per
// character and crashes on long links, so each choice of that order is tried here in turn, with
// the tables below answering every question about the tail in constant time.
#include "drivers/ftp/url.h"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrun {
namespace {

// \w and \d of the classic locale: ASCII only, whatever the program's locale.
bool is_word(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
         c == L'_';
}
bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

struct span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The groups a match fills; absent when the group took no part.
struct t_groups {
  std::optional<span> scheme, username, password, host, port, path, query, fragment;
};

class matcher {
 public:
  explicit matcher(std::wstring_view text)
      : s(text),
        n(text.size()),
        next_query_or_hash(n + 1, n),
        next_hash(n + 1, n),
        words_to_end(n + 1, true) {
    for (std::size_t i = n; i-- > 0;) {
      next_query_or_hash[i] = s[i] == L'?' || s[i] == L'#' ? i : next_query_or_hash[i + 1];
      next_hash[i] = s[i] == L'#' ? i : next_hash[i + 1];
      words_to_end[i] = is_word(s[i]) && words_to_end[i + 1];
    }
  }

  // The whole text, in the order the regular expression tries it: with a scheme, then without.
  bool match(t_groups& g) {
    std::size_t word = 0;
    while (word < n && is_word(s[word])) ++word;
    if (word > 0 && word < n && s[word] == L':') {
      g = {};
      g.scheme = span{0, word};
      if (authority(word + 1, g)) return true;
    }
    g = {};
    return authority(0, g);
  }

 private:
  // (\/\/((\w+)?(:(\w+))?@)?([^\/\?:]+)(:(\d+))?)? and what follows, from `at`.
  bool authority(std::size_t at, t_groups& g) {
    if (at + 1 < n && s[at] == L'/' && s[at + 1] == L'/') {
      const std::size_t start = at + 2;
      // The user part can match in one way only: each word runs up to a character that is no
      // word character, and only ':' or '@' may follow it.
      std::size_t i = start;
      while (i < n && is_word(s[i])) ++i;
      const std::size_t user_end = i;
      std::size_t password_end = 0;
      bool with_password = false;
      if (i < n && s[i] == L':') {
        std::size_t j = i + 1;
        while (j < n && is_word(s[j])) ++j;
        if (j > i + 1 && j < n && s[j] == L'@') {
          with_password = true;
          password_end = j;
          i = j;
        }
      }
      if (i < n && s[i] == L'@') {
        t_groups with_user = g;
        if (user_end > start) with_user.username = span{start, user_end};
        if (with_password) with_user.password = span{user_end + 1, password_end};
        if (host(i + 1, with_user)) {
          g = std::move(with_user);
          return true;
        }
      }
      if (host(start, g)) return true;
    }
    return path(at, g);
  }

  // ([^\/\?:]+)(:(\d+))? and what follows: the longest host first, then ever shorter ones.
  bool host(std::size_t start, t_groups& g) {
    std::size_t end = start;
    while (end < n && s[end] != L'/' && s[end] != L'?' && s[end] != L':') ++end;
    for (std::size_t h = end; h > start; --h) {
      g.host = span{start, h};
      // Only the longest host can be followed by ':'; its port takes the most digits first.
      if (h < n && s[h] == L':') {
        std::size_t digits = h + 1;
        while (digits < n && is_digit(s[digits])) ++digits;
        for (std::size_t p = digits; p > h + 1; --p) {
          g.port = span{h + 1, p};
          if (path(p, g)) return true;
        }
        g.port.reset();
      }
      if (path(h, g)) return true;
    }
    g.host.reset();
    return false;
  }

  // (\/?([^\/\?#][^\?#]*)?)? and what follows. The path's body runs to the next '?' or '#' (a
  // shorter one would leave a character that nothing after it takes).
  bool path(std::size_t at, t_groups& g) {
    const auto body_starts = [&](std::size_t i) {
      return i < n && s[i] != L'/' && s[i] != L'?' && s[i] != L'#';
    };
    if (at < n && s[at] == L'/') {
      if (body_starts(at + 1) && tail(next_query_or_hash[at + 1], g)) {
        g.path = span{at, next_query_or_hash[at + 1]};
        return true;
      }
      if (tail(at + 1, g)) {
        g.path = span{at, at + 1};
        return true;
      }
    }
    if (body_starts(at) && tail(next_query_or_hash[at], g)) {
      g.path = span{at, next_query_or_hash[at]};
      return true;
    }
    // A path that would match nothing takes no part.
    return tail(at, g);
  }

  // (\?([^#]+))?(#(\w*))? up to the end of the text.
  bool tail(std::size_t at, t_groups& g) {
    g.query.reset();
    g.fragment.reset();
    if (at < n && s[at] == L'?') {
      const std::size_t end = next_hash[at + 1];
      if (end == at + 1 || !fragment(end, g)) return false;
      g.query = span{at + 1, end};
      return true;
    }
    return fragment(at, g);
  }

  bool fragment(std::size_t at, t_groups& g) {
    if (at == n) return true;
    if (s[at] != L'#' || !words_to_end[at + 1]) return false;
    g.fragment = span{at + 1, n};
    return true;
  }

  std::wstring_view s;
  std::size_t n;
  std::vector<std::size_t> next_query_or_hash;  // the first '?' or '#' at or after each offset
  std::vector<std::size_t> next_hash;           // the first '#' at or after each offset
  std::vector<bool> words_to_end;               // only word characters from each offset on
};

}  // namespace

bool url::parse(std::wstring text) {
  parts_.clear();
  if (text.size() > max_length) return false;
  t_groups g;
  if (!matcher(text).match(g)) return false;
  // "shema" is spelled so on purpose: callers ask for the scheme under that key.
  const std::pair<const char*, const std::optional<span>*> keys[] = {
      {"shema", &g.scheme}, {"username", &g.username}, {"password", &g.password},
      {"host", &g.host},    {"port", &g.port},         {"path", &g.path},
      {"query", &g.query},  {"fragment", &g.fragment},
  };
  for (const auto& [key, part] : keys) {
    if (*part) parts_[key] = text.substr((*part)->begin, (*part)->end - (*part)->begin);
  }
  parts_["url"] = std::move(text);
  return true;
}

std::wstring url::get(const std::string& key, std::wstring default_value) const {
  const auto found = parts_.find(key);
  return found != parts_.end() ? found->second : std::move(default_value);
}

bool url::meant_as_written() const {
  const std::wstring host = get("host", L"");
  const std::wstring path = get("path", L"/");
  return !host.empty() && host.find(L'@') == std::wstring::npos && path.rfind(L'/', 0) == 0;
}

}  // namespace kestrun
