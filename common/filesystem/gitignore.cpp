// Loading ignore files and converting their patterns; matching them is the finder's.
#include "common/filesystem/gitignore.h"

#include "common/text.h"

namespace kestrun::filesystem {
namespace {

// Replaces every `from` by `to`, left to right, going on after the inserted text.
void replace_all(std::wstring& text, std::wstring_view from, std::wstring_view to) {
  for (std::size_t at = text.find(from); at != std::wstring::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

std::wstring join(const std::vector<std::wstring>& pieces, std::wstring_view separator) {
  std::wstring out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += separator;
    out += pieces[i];
  }
  return out;
}

}  // namespace

bool gitignore::rule::matches(const t_match_subject& subject) const {
  if (quick.supported()) return quick.match(subject);
  return std::regex_match(subject.text.begin(), subject.text.end(), regex);
}

void gitignore::load(const std::wstring& text) {
  std::wstring lines = text;
  for (auto& c : lines) {
    if (c == L'\r') c = L'\n';
  }
  for (const auto& line : split_text(lines, L"\n")) {
    if (line.empty() || line.front() == L'#') continue;
    add_rule(line);
  }
}

void gitignore::add_rule(const std::wstring& line) {
  rule r;
  r.line = line;
  std::wstring s = line;
  if (!s.empty() && s.front() == L'!') {
    r.negate = true;
    s.erase(0, 1);
  }
  // "!" alone leaves no pattern to negate; like git, take the line as no rule at all.
  if (s.empty()) return;
  if (s.back() == L'/') {
    r.dir_only = true;
    s.pop_back();
  }
  if (s.find(L'/') != std::wstring::npos) {
    // A pattern with a '/' in it is anchored at the ignore file's folder.
    if (s.front() == L'/') s.erase(0, 1);
    pattern_to_regex(s);
    r.regex_text = L"^\\/" + s + L"$";
  } else {
    // Otherwise it matches the last part of a path at any depth.
    pattern_to_regex(s);
    r.regex_text = L".*\\/" + s;
  }
  r.regex = std::wregex(r.regex_text, std::regex_constants::ECMAScript);
  r.quick = pattern_matcher(r.regex_text);
  rules.push_back(std::move(r));
}

void gitignore::pattern_to_regex(std::wstring& pattern) {
  auto pieces = split_text(pattern, L"**/");
  for (auto& piece : pieces) {
    if (!piece.empty()) segment_to_regex(piece);
  }
  pattern = join(pieces, L"(.*\\/|)");
}

void gitignore::segment_to_regex(std::wstring& segment) {
  auto pieces = split_text(segment, L"*");
  for (auto& piece : pieces) {
    if (piece.empty()) continue;
    replace_all(piece, L".", L"\\.");
    replace_all(piece, L"/", L"\\/");
    replace_all(piece, L"+", L"\\+");
    replace_all(piece, L"$", L"\\$");
    replace_all(piece, L"?", L".");
    replace_all(piece, L"!", L"^");
  }
  segment = join(pieces, L"[^\\/]*");
}

}  // namespace kestrun::filesystem
