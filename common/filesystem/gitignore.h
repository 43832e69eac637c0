// The rules of one ignore file in the style of ".gitignore", each pattern turned into an
// ECMAScript regular expression that is matched against a path below the file's folder.
#pragma once

#include <regex>
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
    std::wstring line;      // the line as read
    std::wstring regex_text;
    std::wregex regex;  // regex_text, ECMAScript, case-sensitive
    // Gives the same answers as `regex` for the expressions it supports, much faster.
    pattern_matcher quick;

    // Whether the whole of the subject's text matches `regex`.
    bool matches(const t_match_subject& subject) const;
  };

  virtual ~gitignore() = default;

  // Adds the rules of a whole ignore-file text. CR, LF and CR LF end lines; empty lines and
  // lines whose first character is "#" give no rule; blanks are never trimmed. Throws
  // std::regex_error for a pattern that is not a valid expression; the rules of the lines before
  // it stay.
  void load(const std::wstring& text);

  // Turns one non-empty line into a rule and appends it. A line that is "!" alone holds no
  // pattern and adds nothing. Throws std::regex_error as load does.
  void add_rule(const std::wstring& line);

  // The regular-expression text of a pattern: every "**/" may stand for any run of folders.
  static void pattern_to_regex(std::wstring& pattern);

  // The regular-expression text of a piece without "**/": "*" is any run of characters other
  // than "/", "?" any character, "!" negates a class, and ". / + $" are taken literally.
  static void segment_to_regex(std::wstring& segment);

  std::vector<rule> rules;
};

}  // namespace kestrun::filesystem
