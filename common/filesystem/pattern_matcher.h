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
  // `steps`, when given, grows by the work done: every character and token looked at, so that a
  // test can bound it by the pattern's length.
  bool compile(std::wstring_view pattern, std::string& problem, std::uint64_t* steps = nullptr);

  // Whether the whole of `path` ('/'-separated, no leading '/') matches.
  bool match(std::wstring_view path) const;

 private:
  // One token in 32 bits, so that a pattern takes little more memory than its text: the kind in
  // the top bits, below it the character of a literal (every code point fits) or the index of a
  // set.
  enum class t_kind : std::uint32_t { literal, any, star, set };
  static constexpr unsigned kind_shift = 29;
  static constexpr std::uint32_t value_mask = (1u << kind_shift) - 1;
  static t_kind kind_of(std::uint32_t token) { return static_cast<t_kind>(token >> kind_shift); }
  static std::uint32_t value_of(std::uint32_t token) { return token & value_mask; }
  // The tokens of one part between separators; "**" alone there takes any number of parts.
  struct t_part {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    bool any_parts = false;
  };
  struct t_build;  // what compile gathers before it packs it into code_

  bool parse_set(std::wstring_view pattern, std::size_t& pos, std::size_t& next_close,
                 t_build& build, std::string& problem, std::uint64_t& work);
  t_part part(std::size_t index) const;
  bool char_matches(std::uint32_t token, wchar_t c) const;
  bool part_matches(const t_part& part, std::wstring_view name) const;
  // Whether `path` ends with the plain characters every match ends with, or, for a pattern
  // without wildcards, is its whole text.
  bool fits_plain_end(std::wstring_view path) const;

  // The whole compiled pattern in one block, so that a rule costs little more than its text:
  // the tokens from 0, the parts from parts_at_ (two words each: first token, last token with
  // the "**" flag in its top bit), the sets from sets_at_ (each its negation and classes, its
  // range count, then each range's two ends).
  std::vector<std::uint32_t> code_;
  std::uint32_t parts_at_ = 0;
  std::uint32_t part_count_ = 0;
  std::uint32_t sets_at_ = 0;
  // The count of literal tokens that end the last part: most paths are told apart by these
  // without running the parts.
  std::uint32_t suffix_length_ = 0;
  bool usable_ = false;
  // A pattern without wildcards: its parts' literals joined by '/' are the whole text to match.
  bool plain_ = false;
};

}  // namespace kestrun::filesystem
