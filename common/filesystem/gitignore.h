// The rules of one ignore file in the style of ".gitignore", each pattern compiled for matching
// against a path below the file's folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/filesystem/pattern_matcher.h"

namespace kestrun::filesystem {

class gitignore {
 public:
  struct rule {
    bool negate = false;    // the line began with "!"
    bool dir_only = false;  // the line ended with "/": tried on folders only
    // The pattern held a "/": it is matched against the whole path below the ignore file's
    // folder, else against the last part of the path.
    bool anchored = false;
    // The line as read (trailing blanks cut off), in UTF-8: one byte a character where a wide
    // copy would take four.
    std::string line;
    pattern_matcher pattern;

    // Whether the rule matches `rel`, a path below the ignore file's folder that begins with
    // "/".
    bool matches(std::wstring_view rel) const;
  };

  // A line that gave no rule because its pattern cannot be used.
  struct t_unusable {
    std::size_t line_number = 0;  // counted from 1
    std::wstring line;            // no more of it than an event shows (see shown_characters)
    std::string problem;
  };

  virtual ~gitignore() = default;

  // Adds the rules of a whole ignore-file text, read as git reads it: LF ends a line and one CR
  // before it is dropped (a CR elsewhere is a character); empty lines and lines whose first
  // character is "#" give no rule; trailing spaces are cut off unless a '\' escapes them. A line
  // whose pattern cannot be used gives no rule and is listed in `unusable`.
  void load(const std::wstring& text);

  // load() for the bytes of an ignore file, UTF-8: a line that is not valid UTF-8 gives no rule
  // and is listed in `unusable` (its bytes kept as wide_from_native gives them), and the lines
  // around it are read as usual.
  void load_utf8(std::string_view bytes);

  // Turns one non-empty line into a rule and appends it, or lists it in `unusable` under
  // `line_number`. A line that is "!" alone holds no pattern and adds nothing.
  void add_rule(const std::wstring& line, std::size_t line_number = 0);

  std::vector<rule> rules;
  std::vector<t_unusable> unusable;
  // The work that reading took: every character looked at while splitting, decoding and
  // compiling. It stays within a small multiple of the text's length (the fuzz target checks).
  std::uint64_t steps = 0;
};

}  // namespace kestrun::filesystem
