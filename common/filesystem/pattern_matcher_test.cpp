// The pattern language as git's wildmatch reads it, checked on a table of answers, on patterns
// that cannot be used, on inputs that make a backtracking matcher run for hours, and against a
// plain recursive reading of the language on many generated patterns and paths.
#include "common/filesystem/pattern_matcher.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

std::string narrow(std::wstring_view text) { return platform::native_from_wide(text); }

bool matches(std::wstring_view pattern, std::wstring_view path) {
  pattern_matcher m;
  std::string problem;
  EXPECT_TRUE(m.compile(pattern, problem)) << narrow(pattern) << ": " << problem;
  return m.match(path);
}

TEST(PatternMatcherTest, AnswersAsGitDoes) {
  struct row {
    const wchar_t* pattern;
    const wchar_t* path;
    bool match;
  };
  const row rows[] = {
      {L"foo", L"foo", true},
      {L"foo", L"fo", false},
      {L"foo", L"foo/x", false},
      {L"*", L"", true},
      {L"*", L"a/b", false},  // no wildcard takes a '/'
      {L"*.log", L".log", true},
      {L"*.log", L"a.log.txt", false},
      {L"a*b*c", L"axxbyyc", true},
      {L"a*b*c", L"axxbyy", false},
      {L"a?c", L"abc", true},
      {L"a?c", L"a/c", false},
      {L"a?c", L"ac", false},
      // Characters with a meaning in other languages stand for themselves.
      {L"file(1).txt", L"file(1).txt", true},
      {L"file(1).txt", L"file1.txt", false},
      {L"a+b{1,2}|c^$", L"a+b{1,2}|c^$", true},
      {L"tmp(", L"tmp(", true},
      {L".", L"x", false},
      // Bracket expressions.
      {L"[abc]", L"b", true},
      {L"[abc]", L"d", false},
      {L"[a-c]x", L"bx", true},
      {L"[!a-c]x", L"dx", true},
      {L"[^a-c]x", L"bx", false},
      {L"[!a]", L"/", false},  // not even a negated class takes a '/'
      {L"[]]", L"]", true},
      {L"[]a]", L"a", true},
      {L"[!]]", L"]", false},
      {L"[a-]", L"-", true},
      {L"[-a]", L"-", true},
      {L"[z-a]", L"m", false},  // reversed: nothing
      {L"[\\]]", L"]", true},
      {L"[[:digit:]]x", L"7x", true},
      {L"[[:digit:][:upper:]]", L"Q", true},
      {L"[![:alpha:]]", L"a", false},
      {L"[[]", L"[", true},
      {L"[[:x]", L":", true},  // no class name: '[', ':' and 'x' are members
      // Escapes.
      {L"\\*", L"*", true},
      {L"\\*", L"x", false},
      {L"\\#x", L"#x", true},
      {L"\\!x", L"!x", true},
      {L"a\\/b", L"a/b", true},
      {L"\\a", L"a", true},
      // "**" between separators takes any number of folders; elsewhere it is '*'.
      {L"**/foo", L"foo", true},
      {L"**/foo", L"a/b/foo", true},
      {L"**/foo", L"a/foox", false},
      {L"a/**/b", L"a/b", true},
      {L"a/**/b", L"a/x/y/b", true},
      {L"a/**/b", L"ab", false},
      {L"a/**", L"a/x", true},
      {L"a/**", L"a/x/y", true},
      {L"a/**", L"a", false},  // what lies inside, not the folder itself
      {L"**", L"a/b/c", true},
      {L"a**b", L"axyb", true},
      {L"a**b", L"ax/yb", false},
      {L"a**/b", L"ax/b", true},
      {L"a**/b", L"a/x/b", false},
      {L"***/x", L"a/b/x", true},
      {L"**/**/x", L"x", true},
      {L"a/**/**/b", L"a/b", true},
      // Line ends and the Unicode line separators are characters like any other.
      {L"*.log", L"a\nb.log", true},
      {L"*/x", L"a\u2028b/x", true},
      {L"?", L"\n", true},
      {L"**/x.log", L"a\r/b\u2029/x.log", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(narrow(r.pattern) + " ~ " + narrow(r.path));
    EXPECT_EQ(matches(r.pattern, r.path), r.match);
  }
}

TEST(PatternMatcherTest, PatternsThatCannotBeUsedMatchNothing) {
  struct row {
    const wchar_t* pattern;
    const char* problem;
  };
  const row rows[] = {
      {L"[a", "a bracket expression has no closing ']'"},
      {L"x[", "a bracket expression has no closing ']'"},
      {L"[]", "a bracket expression has no closing ']'"},
      {L"[!]", "a bracket expression has no closing ']'"},
      {L"[a\\", "a bracket expression has no closing ']'"},
      {L"[[:alpha:]", "a bracket expression has no closing ']'"},
      {L"[[:nope:]]", "a bracket expression names an unknown class"},
      {L"x\\", "a '\\' ends the pattern"},
      {L"[[r__***********O***", "a bracket expression has no closing ']'"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(narrow(r.pattern));
    pattern_matcher m;
    std::string problem;
    EXPECT_FALSE(m.compile(r.pattern, problem));
    EXPECT_EQ(problem, r.problem);
    EXPECT_FALSE(m.match(r.pattern));
    EXPECT_FALSE(m.match(L""));
  }
  EXPECT_FALSE(pattern_matcher().match(L""));
}

// Lines that once crashed the matcher or made it run for minutes: each answer is immediate now.
TEST(PatternMatcherTest, HostileLinesAreAnsweredAtOnce) {
  std::wstring stars;
  for (int i = 0; i < 31; ++i) stars += L"*a";
  stars += L"*b";
  const std::wstring as(60, L'a');
  EXPECT_FALSE(matches(stars, as));
  EXPECT_TRUE(matches(stars, as + L"b"));

  std::wstring hash = L"\\#";
  for (int i = 0; i < 15; ++i) hash += L"*a";
  EXPECT_FALSE(matches(hash, L"#" + std::wstring(40, L'a') + L"b"));
  EXPECT_TRUE(matches(hash, L"#" + std::wstring(40, L'a')));

  const std::wstring parens = std::wstring(30000, L'(') + L"x" + std::wstring(30000, L')');
  EXPECT_TRUE(matches(parens, parens));
  EXPECT_FALSE(matches(parens, L"x"));
  EXPECT_TRUE(matches(L"\\77777777777777777777", L"77777777777777777777"));

  std::wstring folders;
  for (int i = 0; i < 40; ++i) folders += L"**/a/";
  folders += L"b";
  std::wstring path;
  for (int i = 0; i < 60; ++i) path += L"a/";
  EXPECT_FALSE(matches(folders, path + L"c"));
  EXPECT_TRUE(matches(folders, path + L"b"));
}

// The language read word for word: every way of taking the text is tried. Only fit for tiny
// inputs, and written apart from the matcher so that the two can be held against each other.
// Classes are read only as far as the generator below writes them.
bool reference(std::wstring_view p, std::wstring_view t, bool part_start) {
  if (p.empty()) return t.empty();
  const wchar_t c = p[0];
  if (c == L'*') {
    std::size_t n = 0;
    while (n < p.size() && p[n] == L'*') ++n;
    const std::wstring_view rest = p.substr(n);
    const bool before_slash = !rest.empty() && (rest[0] == L'/' || rest.starts_with(L"\\/"));
    const bool whole_part = part_start && n >= 2 && (rest.empty() || before_slash);
    // "**/" may also take no folder at all.
    if (whole_part && before_slash && reference(rest.substr(rest[0] == L'/' ? 1 : 2), t, true)) {
      return true;
    }
    for (std::size_t k = 0; k <= t.size(); ++k) {
      if (k > 0 && !whole_part && t[k - 1] == L'/') break;
      if (reference(rest, t.substr(k), false)) return true;
    }
    return false;
  }
  if (t.empty()) return false;
  if (c == L'?') return t[0] != L'/' && reference(p.substr(1), t.substr(1), false);
  if (c == L'[') {
    std::size_t i = 1;
    const bool negated = p[i] == L'!' || p[i] == L'^';
    if (negated) ++i;
    bool in = false;
    for (bool first = true; first || p[i] != L']'; first = false) {
      if (p[i + 1] == L'-' && p[i + 2] != L']') {
        in = in || (p[i] <= t[0] && t[0] <= p[i + 2]);
        i += 3;
      } else {
        in = in || p[i] == t[0];
        ++i;
      }
    }
    return in != negated && t[0] != L'/' && reference(p.substr(i + 1), t.substr(1), false);
  }
  if (c == L'\\') return t[0] == p[1] && reference(p.substr(2), t.substr(1), p[1] == L'/');
  return t[0] == c && reference(p.substr(1), t.substr(1), c == L'/');
}

TEST(PatternMatcherTest, AgreesWithAPlainReadingOfTheLanguage) {
  std::mt19937 random(20261210);
  const std::vector<std::wstring> pattern_parts = {L"a",   L"b",    L"/",    L"*",     L"**",
                                                   L"?",   L"[ab]", L"[!a]", L"[a-b]", L"\\*",
                                                   L"**/", L".",    L"\\/",  L"[]a]",  L"[^b]"};
  const std::vector<std::wstring> path_parts = {L"a", L"b", L"/", L".", L"*", L"ab", L"a/", L"]"};
  const auto pick = [&](const std::vector<std::wstring>& parts, int low, int high) {
    std::wstring text;
    const int n = std::uniform_int_distribution<int>(low, high)(random);
    for (int i = 0; i < n; ++i) {
      text += parts[std::uniform_int_distribution<std::size_t>(0, parts.size() - 1)(random)];
    }
    return text;
  };
  int matched = 0;
  int compared = 0;
  for (int p = 0; p < 4000; ++p) {
    const std::wstring pattern = pick(pattern_parts, 1, 6);
    pattern_matcher m;
    std::string problem;
    ASSERT_TRUE(m.compile(pattern, problem)) << narrow(pattern);
    std::vector<std::wstring> paths;
    for (int s = 0; s < 12; ++s) paths.push_back(pick(path_parts, 0, 6));
    // Paths spelled after the pattern match far more often than random ones.
    for (int s = 0; s < 12; ++s) {
      std::wstring made;
      for (const wchar_t c : pattern) {
        if (c == L'*') {
          made += pick(path_parts, 0, 2);
        } else if (c == L'?' || c == L'[' || c == L'!' || c == L'^' || c == L'\\') {
          made += L'a';
        } else if (c != L']' && c != L'-') {
          made += c;
        }
      }
      paths.push_back(made);
    }
    for (const auto& path : paths) {
      const bool want = reference(pattern, path, true);
      ASSERT_EQ(m.match(path), want) << narrow(pattern) << " ~ " << narrow(path);
      matched += want ? 1 : 0;
      ++compared;
    }
  }
  // Both answers must come up often for the comparison to mean anything.
  EXPECT_GT(matched, compared / 10);
  EXPECT_GT(compared - matched, compared / 10);
}

}  // namespace
}  // namespace kestrun::filesystem
