// Loading ignore files and compiling their patterns; which rules apply to an entry is the
// finder's.
#include "common/filesystem/gitignore.h"

#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

// Calls `on_line(line, number)` for every line of `text`; CR LF, CR and LF each end one line.
template <class char_t, class on_line_t>
void for_each_line(std::basic_string_view<char_t> text, const on_line_t& on_line) {
  std::size_t number = 1;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
    on_line(text.substr(start, i - start), number);
    if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
    start = i + 1;
    ++number;
  }
}

void add_line(gitignore& rules, std::wstring_view line, std::size_t number) {
  if (line.empty() || line.front() == L'#') return;
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
  std::wstring wide;
  for_each_line(bytes, [this, &wide](std::string_view line, std::size_t number) {
    // A line that is not text cannot say what it means; the others still can.
    if (!platform::strict_wide_from_utf8(line, wide)) return;
    add_line(*this, wide, number);
  });
}

void gitignore::add_rule(const std::wstring& line, std::size_t line_number) {
  rule r;
  r.line = line;
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
  if (!r.pattern.compile(s, problem)) {
    unusable.push_back({line_number, line, std::move(problem)});
    return;
  }
  rules.push_back(std::move(r));
}

}  // namespace kestrun::filesystem
