// Loading ignore files and compiling their patterns; which rules apply to an entry is the
// finder's.
#include "common/filesystem/gitignore.h"

#include <algorithm>

#include "common/text.h"
#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

// Calls `on_line(line, number)` for every line of `text`, as git splits an ignore file: only LF
// ends a line, and one CR just before it (or before the end of the text) is no part of the
// line. A CR anywhere else is a character of the pattern: "Icon\r\r\n" names "Icon\r".
template <class char_t, class on_line_t>
void for_each_line(std::basic_string_view<char_t> text, const on_line_t& on_line) {
  std::size_t number = 1;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(char_t('\n'), start);
    const std::size_t next = end == std::basic_string_view<char_t>::npos ? text.size() : end + 1;
    if (end == std::basic_string_view<char_t>::npos) end = text.size();
    std::basic_string_view<char_t> line = text.substr(start, end - start);
    if (!line.empty() && line.back() == char_t('\r')) line.remove_suffix(1);
    on_line(line, number);
    start = next;
    ++number;
  }
}

// The length of `line` without its trailing blanks, as git trims them: a run of spaces at the
// end goes unless a '\\' escapes its first one; tabs and other blanks stay.
template <class char_t>
std::size_t trimmed_length(std::basic_string_view<char_t> line) {
  std::size_t kept = 0;  // the length up to the end of the last character that is no blank
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == char_t(' ')) continue;
    if (line[i] == char_t('\\')) {
      // An escaped character is kept whatever it is; a '\\' that ends the line leaves the line
      // as it is, as git does.
      if (++i == line.size()) return line.size();
    }
    kept = i + 1;
  }
  return kept;
}

// A line that holds a rule: neither empty nor a comment, with its trailing blanks cut off. An
// empty view when the line gives no rule.
template <class char_t>
std::basic_string_view<char_t> rule_text(std::basic_string_view<char_t> line) {
  if (line.empty() || line.front() == char_t('#')) return {};
  return line.substr(0, trimmed_length(line));
}

void add_line(gitignore& rules, std::wstring_view line, std::size_t number) {
  line = rule_text(line);
  if (line.empty()) return;
  rules.add_rule(std::wstring(line), number);
}

}  // namespace

bool gitignore::rule::matches(std::wstring_view rel) const {
  if (anchored) return pattern.match(rel.substr(rel.empty() || rel.front() != L'/' ? 0 : 1));
  const std::size_t slash = rel.rfind(L'/');
  return pattern.match(slash == std::wstring_view::npos ? rel : rel.substr(slash + 1));
}

void gitignore::load(const std::wstring& text) {
  for_each_line(std::wstring_view(text), [this](std::wstring_view line, std::size_t number) {
    add_line(*this, line, number);
  });
}

void gitignore::load_utf8(std::string_view bytes) {
  // Editors on Windows start a UTF-8 file with a byte order mark; as in git, it is no part of the
  // first rule.
  constexpr std::string_view bom = "\xEF\xBB\xBF";
  if (bytes.substr(0, bom.size()) == bom) bytes.remove_prefix(bom.size());
  // Room for one rule a line at once: a vector that doubles as it goes holds twice what it
  // needs while it moves, which for a large file is most of its memory.
  rules.reserve(rules.size() +
                static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
  std::wstring wide;
  steps += bytes.size();
  for_each_line(bytes, [this, &wide](std::string_view line, std::size_t number) {
    steps += 2 * line.size() + 1;  // finding its end, trimming it
    line = rule_text(line);
    steps += line.size();  // decoding it
    if (line.empty()) return;
    // A line that is not text cannot say what it means; the others still can.
    if (!platform::strict_wide_from_utf8(line, wide)) {
      // No more of it than an event shows (four bytes cover any character).
      unusable.push_back({number,
                          platform::wide_from_native(line.substr(0, 4 * shown_characters + 4)),
                          "the line is not UTF-8"});
      return;
    }
    add_rule(wide, number);
  });
}

void gitignore::add_rule(const std::wstring& line, std::size_t line_number) {
  rule r;
  r.line = platform::native_from_wide(line);
  std::wstring_view s = line;
  if (!s.empty() && s.front() == L'!') {
    r.negate = true;
    s.remove_prefix(1);
  }
  // "!" alone leaves no pattern to negate; like git, take the line as no rule at all.
  if (s.empty()) return;
  if (s.back() == L'/') {
    r.dir_only = true;
    s.remove_suffix(1);
  }
  if (s.find(L'/') != std::wstring_view::npos) {
    // A pattern with a '/' in it is anchored at the ignore file's folder.
    r.anchored = true;
    if (s.front() == L'/') s.remove_prefix(1);
  }
  std::string problem;
  steps += line.size();  // the copy and the flags
  if (!r.pattern.compile(s, problem, &steps)) {
    unusable.push_back({line_number, line.substr(0, 2 * shown_characters + 2), std::move(problem)});
    return;
  }
  rules.push_back(std::move(r));
}

}  // namespace kestrun::filesystem
