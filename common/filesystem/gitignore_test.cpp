// Pattern lines to rules: flags, the exact expression text, and what the rules match.
#include "common/filesystem/gitignore.h"

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

std::string narrow(const std::wstring& text) { return platform::native_from_wide(text); }

bool rule_matches(const gitignore::rule& r, const std::wstring& rel) {
  return r.matches(make_match_subject(rel));
}

TEST(GitignoreTest, PatternsBecomeTheseExpressions) {
  struct row {
    const wchar_t* line;
    bool negate;
    bool dir_only;
    const wchar_t* regex;
  };
  const row rows[] = {
      {L"*.log", false, false, L".*\\/[^\\/]*\\.log"},
      {L"/build", false, false, L"^\\/build$"},
      {L"build/", false, true, L".*\\/build"},
      {L"doc/*.txt", false, false, L"^\\/doc\\/[^\\/]*\\.txt$"},
      {L"**/foo", false, false, L"^\\/(.*\\/|)foo$"},
      {L"a/**/b", false, false, L"^\\/a\\/(.*\\/|)b$"},
      {L"foo/**", false, false, L"^\\/foo\\/[^\\/]*[^\\/]*$"},
      {L"logs/**/", false, true, L"^\\/logs\\/[^\\/]*[^\\/]*$"},
      {L"!keep.log", true, false, L".*\\/keep\\.log"},
      {L"file?.c++", false, false, L".*\\/file.\\.c\\+\\+"},
      {L"[!a]*.md", false, false, L".*\\/[^a][^\\/]*\\.md"},
      {L"$HOME", false, false, L".*\\/\\$HOME"},
      {L"a+b/c.d", false, false, L"^\\/a\\+b\\/c\\.d$"},
      {L"*", false, false, L".*\\/[^\\/]*"},
      {L".k-vcs/", false, true, L".*\\/\\.k-vcs"},
      {L"a|b", false, false, L".*\\/a|b"},
      {L"!/", true, true, L".*\\/"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(narrow(r.line));
    gitignore rules;
    rules.add_rule(r.line);
    ASSERT_EQ(rules.rules.size(), 1u);
    const auto& got = rules.rules[0];
    EXPECT_EQ(got.line, r.line);
    EXPECT_EQ(got.negate, r.negate);
    EXPECT_EQ(got.dir_only, r.dir_only);
    EXPECT_EQ(narrow(got.regex_text), narrow(r.regex));
  }
}

TEST(GitignoreTest, RulesMatchWholePaths) {
  struct row {
    const wchar_t* line;
    const wchar_t* rel;
    bool match;
  };
  const row rows[] = {
      {L"*.log", L"/main.log", true},
      {L"*.log", L"/src/main.log", true},
      {L"*.log", L"/main.log/x", false},
      {L"/build", L"/build", true},
      {L"/build", L"/src/build", false},
      {L"**/foo", L"/foo", true},
      {L"**/foo", L"/a/b/foo", true},
      {L"doc/*.txt", L"/doc/a.txt", true},
      {L"doc/*.txt", L"/doc/sub/a.txt", false},
      {L".k-vcs/", L"/work/proj/.k-vcs", true},
      {L"*.LOG", L"/app.log", false},  // case-sensitive
      {L"foo ", L"/foo ", true},       // trailing blanks are kept
      {L"foo ", L"/foo", false},
      {L" #x", L"/ #x", true},
      {L"file?.c++", L"/file1.c++", true},
      {L"[!a]*.md", L"/b.md", true},
      {L"[!a]*.md", L"/a.md", false},
      {L"a|b", L"/x/a", true},  // an alternation: ".*\/a" or the whole path "b"
      {L"a|b", L"b", true},
      {L"a|b", L"/b", false},
      {L"?", L"/a\n/b", false},  // '.' does not take a line end
      {L"\U0001F648*", L"/\U0001F648.txt", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(narrow(r.line) + " ~ " + narrow(r.rel));
    gitignore rules;
    rules.add_rule(r.line);
    ASSERT_EQ(rules.rules.size(), 1u);
    EXPECT_EQ(rule_matches(rules.rules[0], r.rel), r.match);
    // The quick answer and the regular expression's always agree.
    EXPECT_EQ(std::regex_match(std::wstring(r.rel), rules.rules[0].regex), r.match);
  }
}

TEST(GitignoreTest, LoadSplitsLinesAndSkipsCommentsAndBlanks) {
  gitignore lf;
  lf.load(L"*.log\n\n# comment\n #x\nbuild/\n");
  gitignore crlf;
  crlf.load(L"*.log\r\n\r\n# comment\r\n #x\r\nbuild/\r\n");
  gitignore cr;
  cr.load(L"*.log\r\r# comment\r #x\rbuild/");
  for (const gitignore* g : {&lf, &crlf, &cr}) {
    ASSERT_EQ(g->rules.size(), 3u);
    EXPECT_EQ(g->rules[0].line, L"*.log");
    EXPECT_EQ(g->rules[1].line, L" #x");
    EXPECT_EQ(g->rules[2].line, L"build/");
  }
  gitignore empty;
  empty.load(L"");
  EXPECT_TRUE(empty.rules.empty());
}

TEST(GitignoreTest, LoneExclamationMarkAddsNoRule) {
  gitignore rules;
  rules.load(L"!\n*.tmp\n!\n");
  ASSERT_EQ(rules.rules.size(), 1u);
  EXPECT_EQ(rules.rules[0].line, L"*.tmp");
  rules.add_rule(L"!");
  EXPECT_EQ(rules.rules.size(), 1u);
}

TEST(GitignoreTest, InvalidExpressionThrowsAndKeepsEarlierRules) {
  for (const wchar_t* bad : {L"*.{js,ts}", L"(a", L"[a", L"x\\"}) {
    SCOPED_TRACE(narrow(bad));
    gitignore rules;
    EXPECT_THROW(rules.load(std::wstring(L"*.log\n") + bad + L"\n*.tmp\n"), std::regex_error);
    ASSERT_EQ(rules.rules.size(), 1u);
    EXPECT_EQ(rules.rules[0].line, L"*.log");
  }
}

TEST(GitignoreTest, ConversionHelpers) {
  std::wstring segment = L"a.b/c+d$e?f!g*h";
  gitignore::segment_to_regex(segment);
  EXPECT_EQ(narrow(segment), "a\\.b\\/c\\+d\\$e.f^g[^\\/]*h");
  std::wstring pattern = L"**/x/**/";
  gitignore::pattern_to_regex(pattern);
  EXPECT_EQ(narrow(pattern), "(.*\\/|)x\\/(.*\\/|)");
  // Characters with a meaning of their own in expressions pass unchanged.
  segment = L"[](){}|^\\";
  gitignore::segment_to_regex(segment);
  EXPECT_EQ(narrow(segment), "[](){}|^\\");
}

}  // namespace
}  // namespace kestrun::filesystem
