// A quick matcher for the regular expressions that ignore patterns turn into. It understands a
// small part of the ECMAScript grammar exactly and refuses everything else, so an ignore rule can
// answer most questions without running std::regex and fall back to it for the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun::filesystem {

// A path as the matcher sees it, with what the common rule shapes need found once.
struct t_match_subject {
  std::wstring_view text;
  std::size_t last_slash = std::wstring_view::npos;  // index of the last '/' in text
  // Index of the last line terminator before last_slash ('.' does not match one), or npos.
  std::size_t last_terminator = std::wstring_view::npos;

  // The subject of the text without its first `offset` characters (all of them when the text is
  // shorter).
  t_match_subject tail(std::size_t offset) const;
};

// The subject for `text`, scanned once.
t_match_subject make_match_subject(std::wstring_view text);

class pattern_matcher {
 public:
  pattern_matcher() = default;  // supports nothing

  // Reads an ECMAScript expression. supported() is true only when the whole expression lies in
  // the understood subset: literal characters, the escapes \. \/ \+ \$, '.', bracket classes of
  // plain characters and ranges, '*' after one of those, the group (.*\/|), '^' first and '$'
  // last. The caller must have compiled `regex_text` with std::wregex first: text that
  // std::wregex rejects is never handed here.
  explicit pattern_matcher(std::wstring_view regex_text);

  bool supported() const { return supported_; }

  // Whether the whole subject matches, with the answer std::regex_match gives for the same
  // expression (ECMAScript, case-sensitive). Only meaningful when supported().
  bool match(const t_match_subject& subject) const;

 private:
  enum class t_kind : std::uint8_t {
    literal,
    any,        // '.': anything but a line terminator
    not_slash,  // [^\/]
    set,
    star_literal,
    star_any,
    star_not_slash,
    star_set,
    optional_dirs,  // (.*\/|): empty, or anything ending in '/'; followed by its two tokens
  };
  struct t_token {
    t_kind kind;
    wchar_t ch = 0;         // literal
    std::uint16_t set = 0;  // set index
    std::uint8_t skip = 0;  // optional_dirs: the token after the group
  };
  struct t_set {
    bool negated = false;
    std::vector<wchar_t> chars;
    std::vector<std::pair<wchar_t, wchar_t>> ranges;
  };

  bool parse(std::wstring_view text);
  bool parse_set(std::wstring_view text, std::size_t& pos, t_token& token);
  bool atom_matches(const t_token& token, wchar_t c) const;
  bool can_match_slash(const t_token& token) const;
  // Runs tokens [first, size) over `text` as an automaton; true when the whole text is taken.
  bool run(std::size_t first, std::wstring_view text) const;

  bool supported_ = false;
  std::vector<t_token> tokens_;
  std::vector<t_set> sets_;
  std::vector<std::uint64_t> epsilon_;  // per token: the tokens reachable without input
  // Tokens 2.. of an expression that starts with .*\/ and whose rest cannot take a '/' only
  // ever match the last part of the path.
  bool last_part_only_ = false;
  std::size_t min_length_ = 0;   // characters any match needs, counted from the first token
  std::wstring literal_suffix_;  // the literal characters every match ends with
};

}  // namespace kestrun::filesystem
