// Tests of the text conversions every platform shares: lossless byte text, the strict
// converters and UTF-16 units, with surrogate pairs as one character wherever wchar_t is 16 bits.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/wide_units.h"

namespace kestrun::platform {
namespace {

using test::units;

TEST(PlatformTextTest, WideFromNative) {
  struct row {
    const char* name;
    std::string bytes;
    std::wstring want;
  };
  const row rows[] = {
      {"empty", "", L""},
      {"ascii", "abc", L"abc"},
      {"two to four bytes", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", units({0xE9, 0x4E2D, 0x1F600})},
      {"stray continuation", "a\x80z", units({'a', 0xDC80, 'z'})},
      {"overlong form", "\xC0\x80", units({0xDCC0, 0xDC80})},
      {"encoded surrogate", "\xED\xA0\x80", units({0xDCED, 0xDCA0, 0xDC80})},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", units({0xDCF4, 0xDC90, 0xDC80, 0xDC80})},
      {"cut short, then valid",
       "\xE4\xB8"
       "a",
       units({0xDCE4, 0xDCB8, 'a'})},
      {"latin-1 name", "caf\xE9", units({'c', 'a', 'f', 0xDCE9})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(wide_from_native(r.bytes), r.want);
    EXPECT_EQ(native_from_wide(r.want), r.bytes);
  }
}

TEST(PlatformTextTest, EveryByteStringSurvivesTheRoundTrip) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(native_from_wide(wide_from_native(bytes)), bytes) << a << " " << b;
    }
  }
  std::mt19937 random(42);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(random() % 12, '\0');
    for (auto& c : bytes) c = static_cast<char>(random() % 256);
    ASSERT_EQ(native_from_wide(wide_from_native(bytes)), bytes);
  }
}

TEST(PlatformTextTest, StrictConvertersRefuseWhatIsNotText) {
  std::string narrow;
  EXPECT_TRUE(strict_utf8_from_wide(units({'a', 0xE9, 0x1F600}), narrow));
  EXPECT_EQ(narrow, "a\xC3\xA9\xF0\x9F\x98\x80");
  // A surrogate pair is one character wherever it stands, also as two units of a 32-bit text.
  std::wstring pair;
  pair += static_cast<wchar_t>(0xD83D);
  pair += static_cast<wchar_t>(0xDE00);
  EXPECT_TRUE(strict_utf8_from_wide(pair, narrow));
  EXPECT_EQ(narrow, "\xF0\x9F\x98\x80");
  EXPECT_FALSE(strict_utf8_from_wide(units({0xDE00, 0xD83D}), narrow));
  for (std::uint32_t bad : {0xD800u, 0xDBFFu, 0xDC80u, 0xDFFFu}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(strict_utf8_from_wide(units({'a', bad}), narrow));
  }

  std::wstring wide;
  EXPECT_TRUE(strict_wide_from_utf8("a\xC3\xA9\xF0\x9F\x98\x80", wide));
  EXPECT_EQ(wide, units({'a', 0xE9, 0x1F600}));
  EXPECT_TRUE(strict_wide_from_utf8("", wide));
  EXPECT_EQ(wide, L"");
  for (const std::string bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                                "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xC3",
                                "\xC3"
                                "a",
                                "\xFF"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(strict_wide_from_utf8(bad, wide));
  }
}

TEST(PlatformTextTest, Utf16Units) {
  EXPECT_EQ(utf16_units(units({'a', 0xE9, 0x1F600, 0x10FFFF})),
            (std::u16string{u'a', 0xE9, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
  EXPECT_EQ(utf16_units(units({0xDC80})), std::u16string(1, char16_t{0xDC80}));
  EXPECT_EQ(utf16_units(L""), u"");
}

TEST(PlatformTextTest, CodePointsAndPairs) {
  const std::wstring text = units({'a', 0x1F600, 0xE9, 0x10FFFF});
  std::vector<char32_t> seen;
  for (std::size_t i = 0; i < text.size();) seen.push_back(next_code_point(text, i));
  EXPECT_EQ(seen, (std::vector<char32_t>{'a', 0x1F600, 0xE9, 0x10FFFF}));
  std::wstring built;
  for (char32_t cp : seen) append_code_point(cp, built);
  EXPECT_EQ(built, text);
  EXPECT_EQ(native_from_wide(text), "a\xF0\x9F\x98\x80\xC3\xA9\xF4\x8F\xBF\xBF");
}

}  // namespace
}  // namespace kestrun::platform
