// One ".gitignore" pattern compiled for matching, in the pattern language of git's wildmatch:
// '*', '?', bracket expressions, "**" between separators and backslash escapes. Matching never
// backtracks more than once per wildcard, so its time stays polynomial in both lengths whatever
// the pattern holds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun::filesystem {

class pattern_matcher {
 public:
  pattern_matcher() = default;  // matches nothing

  // Compiles `pattern`. '*' stands for any run of characters other than '/', '?' for one such
  // character, a bracket expression ("[a-z]", "[!0-9]", "[^x]", "[[:digit:]]") for one character
  // of its set (never '/'), "**" that fills a whole part between separators for any run of
  // folders, and '\' makes the character after it plain; every other character stands for
  // itself. False, with `problem` saying why, when the pattern cannot be used: a bracket
  // expression without its closing ']', an unknown class name, a '\' with nothing after it. The
  // matcher then matches nothing.
  bool compile(std::wstring_view pattern, std::string& problem);

  // Whether the whole of `path` ('/'-separated, no leading '/') matches.
  bool match(std::wstring_view path) const;

 private:
  enum class t_kind : std::uint8_t { literal, any, star, set };
  struct t_token {
    t_kind kind;
    wchar_t ch = 0;         // literal
    std::uint32_t set = 0;  // index into sets_
  };
  struct t_set {
    bool negated = false;
    std::uint16_t classes = 0;                        // named classes, one bit each
    std::vector<std::pair<wchar_t, wchar_t>> ranges;  // a single character is a range of one
  };
  // The tokens of one part between separators; "**" alone there takes any number of parts.
  struct t_part {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    bool any_parts = false;
  };

  bool parse_set(std::wstring_view pattern, std::size_t& pos, std::string& problem);
  bool char_matches(const t_token& token, wchar_t c) const;
  bool part_matches(const t_part& part, std::wstring_view name) const;

  std::vector<t_token> tokens_;
  std::vector<t_set> sets_;
  std::vector<t_part> parts_;
  bool usable_ = false;
  // Plain characters every match ends with, and the whole text for a pattern without wildcards:
  // most paths are told apart by these without running the parts.
  std::wstring suffix_;
  bool plain_ = false;
};

}  // namespace kestrun::filesystem
