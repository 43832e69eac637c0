// The quick matcher must answer exactly as std::regex_match does: checked on chosen expressions
// and on many generated ignore patterns and paths.
#include "common/filesystem/pattern_matcher.h"

#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/filesystem/gitignore.h"
#include "platform/platform.h"

namespace kestrun::filesystem {
namespace {

std::string narrow(const std::wstring& text) { return platform::native_from_wide(text); }

// Checks every subject against both matchers; false when the expression is not supported.
bool agrees(const std::wstring& regex_text, const std::vector<std::wstring>& subjects) {
  const std::wregex regex(regex_text);
  const pattern_matcher quick(regex_text);
  if (!quick.supported()) return false;
  for (const auto& s : subjects) {
    EXPECT_EQ(quick.match(make_match_subject(s)), std::regex_match(s, regex))
        << narrow(regex_text) << " on " << narrow(s);
  }
  return true;
}

TEST(PatternMatcherTest, ChosenExpressions) {
  const std::vector<std::wstring> subjects = {
      L"",     L"/",    L"a",      L"-",         L"/a",       L"/-",    L"/b",
      L"//",   L"/a/b", L"/a/",    L"/a-b",      L"/.",       L"/+",    L"/$",
      L"/^",   L"/\n",  L"/x\n/a", L"/\u2028/a", L"/a\u2029", L"/a\r/", L"/ab/ab",
      L"/a.b", L"/\\",  L"/c",     L"/z/a/b/c",  L"a/b",      L"/aa",   L"/ba",
  };
  const wchar_t* supported[] = {
      L".*\\/a",         L"^\\/a$",
      L".*\\/[^\\/]*",   L".*\\/[a-]",
      L".*\\/[-a]",      L".*\\/[^-]",
      L".*\\/[a-c]",     L".*\\/[\\.-\\/]",
      L"^\\/(.*\\/|)b$", L".*\\/.",
      L".*\\/a*",        L".*\\/[ab]*",
      L".*\\/.*",        L"^\\/a\\/(.*\\/|)c$",
      L".*\\/[--]",      L".*\\/[^a]b",
      L".*\\/[a^]",      L".*\\/\\$",
      L"^\\/[^\\/]*$",   L"(.*\\/|)a",
      L".*\\/",          L"^(.*\\/|)(.*\\/|)c$",
      L".*\\/[a-]b",
  };
  for (const wchar_t* regex : supported) {
    SCOPED_TRACE(narrow(regex));
    EXPECT_TRUE(agrees(regex, subjects));
  }
  // Left to std::regex: alternation, other groups and quantifiers, class names, anchors inside.
  const wchar_t* refused[] = {
      L".*\\/a|b", L"(a)",  L"a+",  L"a?",  L"a{2}", L".*\\/[[:alpha:]]", L"a^b", L"a$b",
      L"\\d",      L"[]a]", L"[^]", L"a**", L"a*?",  L"[a-b-c]",          L"\\\\"};
  for (const wchar_t* regex : refused) {
    SCOPED_TRACE(narrow(regex));
    EXPECT_FALSE(pattern_matcher(regex).supported());
  }
}

TEST(PatternMatcherTest, AgreesWithStdRegexOnGeneratedPatterns) {
  std::mt19937 random(20240611);
  const std::vector<std::wstring> pattern_parts = {
      L"a", L"b", L"/", L".",          L"*",    L"?",     L"!",  L"[", L"]",
      L"-", L"^", L"$", L"+",          L"**/",  L"\\",    L"(",  L")", L"|",
      L"{", L"}", L" ", L"\U0001F600", L"[!a]", L"[a-c]", L"[.]"};
  const std::vector<std::wstring> subject_parts = {
      L"a",  L"b",  L"c",      L"/",          L".", L"-", L"^", L"$",  L"+",  L" ",
      L"\n", L"\r", L"\u2028", L"\U0001F600", L"[", L"]", L"!", L"\\", L"ab", L"/a/"};
  const auto pick = [&](const std::vector<std::wstring>& parts, int low, int high) {
    std::wstring text;
    const int n = std::uniform_int_distribution<int>(low, high)(random);
    for (int i = 0; i < n; ++i) {
      text += parts[std::uniform_int_distribution<std::size_t>(0, parts.size() - 1)(random)];
    }
    return text;
  };
  int supported = 0;
  int matched = 0;
  int compared = 0;
  for (int p = 0; p < 5000; ++p) {
    const std::wstring line = pick(pattern_parts, 1, 6);
    gitignore rules;
    try {
      rules.add_rule(line);
    } catch (const std::regex_error&) {
      continue;  // std::wregex refused it, so no rule exists to match with
    }
    if (rules.rules.empty()) continue;
    const auto& r = rules.rules[0];
    if (!r.quick.supported()) continue;
    ++supported;
    std::vector<std::wstring> subjects;
    for (int s = 0; s < 20; ++s) subjects.push_back(pick(subject_parts, 0, 7));
    // Paths built from the pattern itself match far more often than random ones.
    for (int s = 0; s < 10; ++s) {
      std::wstring made = (s % 2 == 0) ? L"/" : pick(subject_parts, 0, 3) + L"/";
      for (wchar_t c : line) {
        if (c == L'*') {
          made += pick(subject_parts, 0, 2);
        } else if (c == L'?') {
          made += pick(subject_parts, 1, 1).substr(0, 1);
        } else if (c != L'!') {
          made += c;
        }
      }
      subjects.push_back(made);
    }
    for (const auto& s : subjects) {
      const bool want = std::regex_match(s, r.regex);
      ASSERT_EQ(r.matches(make_match_subject(s)), want)
          << "line " << narrow(line) << " regex " << narrow(r.regex_text) << " on " << narrow(s);
      matched += want ? 1 : 0;
      ++compared;
    }
  }
  // The generator must exercise both answers on many supported expressions to mean anything.
  EXPECT_GT(supported, 1000);
  EXPECT_GT(matched, 2000);
  EXPECT_GT(compared - matched, 2000);
}

TEST(PatternMatcherTest, SubjectTailsKeepTheirLandmarks) {
  const std::wstring path = L"/root/x\ny/name";
  const auto whole = make_match_subject(path);
  EXPECT_EQ(whole.last_slash, 9u);
  EXPECT_EQ(whole.last_terminator, 7u);
  const auto below = whole.tail(5);
  EXPECT_EQ(below.text, L"/x\ny/name");
  EXPECT_EQ(below.last_slash, 4u);
  EXPECT_EQ(below.last_terminator, 2u);
  const auto past = whole.tail(8);
  EXPECT_EQ(past.last_terminator, std::wstring_view::npos);
  EXPECT_EQ(whole.tail(100).text, L"");
}

}  // namespace
}  // namespace kestrun::filesystem
