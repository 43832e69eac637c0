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
    EXPECT_EQ(got.line, narrow(r.line));
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
      {L"foo\\ ", L"/foo ", true},     // an escaped trailing blank is kept
      {L"foo\\ ", L"/foo", false},
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

// The verdict of one file's rules on a file: the last rule that matches decides.
bool ignores(const gitignore& rules, std::wstring_view rel) {
  bool ignored = false;
  for (const auto& r : rules.rules) {
    if (!r.dir_only && r.negate == ignored && r.matches(rel)) ignored = !ignored;
  }
  return ignored;
}

// Line ends and trailing blanks as git reads them. The expected values are git's own answers
// (git 2.39, `git status --ignored` on these files beside this ".gitignore").
TEST(GitignoreTest, LineEndsAndTrailingBlanksAsGitReadsThem) {
  const std::string text =
      "Icon\r\r\n"           // an old macOS template: the name holds a CR
      "*.log\n!keep.log \n"  // the blank after a negation is no part of it
      "foo\\ \n"             // an escaped blank stays
      "bar  \n"
      "tab\t\n"   // only spaces are trimmed
      "z.tmp\r";  // a CR at the end of the text is a line end too
  struct row {
    const wchar_t* rel;
    bool ignored;
  };
  const row rows[] = {
      {L"/Icon", false}, {L"/Icon\r", true}, {L"/a.log", true}, {L"/keep.log", false},
      {L"/foo ", true},  {L"/foo", false},   {L"/bar", true},   {L"/bar ", false},
      {L"/tab\t", true}, {L"/tab", false},   {L"/z.tmp", true},
  };
  gitignore wide;
  wide.load(platform::wide_from_native(text));
  gitignore bytes;
  bytes.load_utf8(text);
  for (const gitignore* g : {&wide, &bytes}) {
    EXPECT_TRUE(g->unusable.empty());
    for (const auto& r : rows) {
      SCOPED_TRACE(narrow(r.rel));
      EXPECT_EQ(ignores(*g, r.rel), r.ignored);
    }
  }
  // A line of blanks alone gives no rule, as an empty line gives none.
  gitignore blanks;
  blanks.load_utf8("   \n \r\n");
  EXPECT_TRUE(blanks.rules.empty());
}

TEST(GitignoreTest, LoadSplitsLinesAndSkipsCommentsAndBlanks) {
  gitignore lf;
  lf.load(L"*.log\n\n# comment\n #x\nbuild/\n");
  gitignore crlf;
  crlf.load(L"*.log\r\n\r\n# comment\r\n #x\r\nbuild/\r\n");
  gitignore bytes;
  bytes.load_utf8("*.log\r\n\n# comment\r\n #x\nbuild/");
  gitignore bom;
  bom.load_utf8("\xEF\xBB\xBF*.log\n\n# comment\n #x\nbuild/\n");
  for (const gitignore* g : {&lf, &crlf, &bytes, &bom}) {
    ASSERT_EQ(g->rules.size(), 3u);
    EXPECT_EQ(g->rules[0].line, "*.log");
    EXPECT_EQ(g->rules[1].line, " #x");
    EXPECT_EQ(g->rules[2].line, "build/");
  }
  gitignore empty;
  empty.load(L"");
  EXPECT_TRUE(empty.rules.empty());
}

TEST(GitignoreTest, LoneExclamationMarkAddsNoRule) {
  gitignore rules;
  rules.load(L"!\n*.tmp\n!\n");
  ASSERT_EQ(rules.rules.size(), 1u);
  EXPECT_EQ(rules.rules[0].line, "*.tmp");
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
  std::vector<std::string> lines;
  for (const auto& r : rules.rules) lines.push_back(r.line);
  EXPECT_EQ(lines, (std::vector<std::string>{"*.log", "\xF0\x9F\x99\x88*", "*.tmp"}));
  struct row {
    std::size_t line_number;
    std::wstring line;
    std::string problem;
  };
  const row want[] = {{3, L"caf\xDCE9/", "the line is not UTF-8"},
                      {4, L"tmp[", "a bracket expression has no closing ']'"},
                      {5, L"\xDCED\xDCA0\xDC80x", "the line is not UTF-8"},
                      {7, L"x\\", "a '\\' ends the pattern"},
                      {8, L"[[:nope:]]", "a bracket expression names an unknown class"}};
  ASSERT_EQ(rules.unusable.size(), std::size(want));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(rules.unusable[i].line_number, want[i].line_number);
    EXPECT_EQ(rules.unusable[i].line, want[i].line);
    EXPECT_EQ(rules.unusable[i].problem, want[i].problem);
  }
}

}  // namespace
}  // namespace kestrun::filesystem
