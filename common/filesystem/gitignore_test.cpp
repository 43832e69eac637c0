// Lines to rules: flags, where a rule looks, what it matches, and lines that give no rule.
#include "common/filesystem/gitignore.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

std::string narrow(const std::wstring& text) { return platform::native_from_wide(text); }

TEST(GitignoreTest, LinesBecomeTheseRules) {
  struct row {
    const wchar_t* line;
    bool negate;
    bool dir_only;
    bool anchored;
  };
  const row rows[] = {
      {L"*.log", false, false, false},  {L"/build", false, false, true},
      {L"build/", false, true, false},  {L"doc/*.txt", false, false, true},
      {L"**/foo", false, false, true},  {L"!keep.log", true, false, false},
      {L"logs/**/", false, true, true}, {L"!/", true, true, false},
      {L"\\!x", false, false, false},   {L"a\\/b", false, false, true},
      {L".k-vcs/", false, true, false},
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
    EXPECT_EQ(got.anchored, r.anchored);
  }
}

TEST(GitignoreTest, RulesMatchPathsBelowTheirFolder) {
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
      {L"doc/*.txt", L"/x/doc/a.txt", false},
      {L"foo/**", L"/foo/a/b", true},
      {L".k-vcs/", L"/work/proj/.k-vcs", true},
      {L"*.LOG", L"/app.log", false},  // case-sensitive
      {L"foo ", L"/foo ", true},       // trailing blanks are kept
      {L"foo ", L"/foo", false},
      {L" #x", L"/ #x", true},
      {L"\\#x", L"/#x", true},
      {L"file?.c++", L"/file1.c++", true},
      {L"a?b", L"/xa/b", false},  // '?' never takes a '/'
      {L"[!a]*.md", L"/b.md", true},
      {L"[!a]*.md", L"/a.md", false},
      {L"file(1).txt", L"/file(1).txt", true},
      {L"file(1).txt", L"/file1.txt", false},
      {L"a|b", L"/a|b", true},
      {L"a|b", L"/x/a", false},
      {L"$HOME", L"/$HOME", true},
      // A folder name with a line end or U+2028 hides nothing below it.
      {L"*.log", L"/a\nb/c.log", true},
      {L"*.log", L"/a\u2028b/c.log", true},
      {L"src/*/x", L"/src/a\rb/x", true},
      {L"\U0001F648*", L"/\U0001F648.txt", true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(narrow(r.line) + " ~ " + narrow(r.rel));
    gitignore rules;
    rules.add_rule(r.line);
    ASSERT_EQ(rules.rules.size(), 1u);
    EXPECT_EQ(rules.rules[0].matches(r.rel), r.match);
  }
}

TEST(GitignoreTest, LoadSplitsLinesAndSkipsCommentsAndBlanks) {
  gitignore lf;
  lf.load(L"*.log\n\n# comment\n #x\nbuild/\n");
  gitignore crlf;
  crlf.load(L"*.log\r\n\r\n# comment\r\n #x\r\nbuild/\r\n");
  gitignore cr;
  cr.load(L"*.log\r\r# comment\r #x\rbuild/");
  gitignore bytes;
  bytes.load_utf8("*.log\r\n\n# comment\r #x\nbuild/");
  gitignore bom;
  bom.load_utf8("\xEF\xBB\xBF*.log\n\n# comment\n #x\nbuild/\n");
  for (const gitignore* g : {&lf, &crlf, &cr, &bytes, &bom}) {
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
  EXPECT_TRUE(rules.unusable.empty());
}

// One bad line costs that line only: the rules after it still count.
TEST(GitignoreTest, LinesThatCannotBeReadGiveNoRuleAlone) {
  gitignore rules;
  rules.load_utf8(
      "# price \xBD euro\n"
      "*.log\n"
      "caf\xE9/\r\n"
      "tmp[\r\n"
      "\xED\xA0\x80x\n"  // an encoded surrogate is no text either
      "\xF0\x9F\x99\x88*\n"
      "x\\\n"
      "[[:nope:]]\n"
      "*.tmp");
  std::vector<std::wstring> lines;
  for (const auto& r : rules.rules) lines.push_back(r.line);
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"*.log", L"\U0001F648*", L"*.tmp"}));
  ASSERT_EQ(rules.unusable.size(), 3u);
  EXPECT_EQ(rules.unusable[0].line_number, 4u);
  EXPECT_EQ(rules.unusable[0].line, L"tmp[");
  EXPECT_EQ(rules.unusable[0].problem, "a bracket expression has no closing ']'");
  EXPECT_EQ(rules.unusable[1].line_number, 7u);
  EXPECT_EQ(rules.unusable[1].line, L"x\\");
  EXPECT_EQ(rules.unusable[2].line_number, 8u);
}

}  // namespace
}  // namespace kestrun::filesystem
