// Tests of the text, path, time and whole-file helpers: the converters' tables and stop rule, the
// generic path form, whole-file reads and time formatting.
#include "common/text.h"

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wide_units.h"

namespace kestrun {
namespace {

using test::units;

TEST(TextTest, DecodesEachForm) {
  struct row {
    const char* name;
    std::string bytes;
    std::wstring want;
  };
  const row rows[] = {
      {"empty", "", L""},
      {"ascii and two bytes", "A\xC3\xA9", units({0x41, 0xE9})},
      {"three bytes", "\xE4\xB8\xAD", units({0x4E2D})},
      {"four bytes keep the whole code point", "\xF0\x9F\x98\x80", units({0x1F600})},
      {"zero byte is a character", std::string("a\0b", 3), units({'a', 0, 'b'})},
      {"continuation bits are not checked", "\xC3\x29", units({0xE9})},
      {"encoded surrogate decodes to its unit", "\xED\xA0\xBD", units({0xD83D})},
      {"five-byte form", "a\xF8\x88\x80\x80\x80z", units({'a', 0xFFFD, 'z'})},
      {"six-byte form", "\xFC\x84\x80\x80\x80\x80", units({0xFFFD})},
      {"stray byte repeats the previous unit and ends",
       "ab\x80"
       "cd",
       L"abb"},
      {"stray byte after a wide unit",
       "\xC3\xA9\xBF"
       "x",
       units({0xE9, 0xE9})},
      {"bad first byte gives '!'",
       "\xFF"
       "abc",
       L"!"},
      {"0xFE is no lead", "\xFE", L"!"},
      {"form cut short at the end is dropped", "a\xC3", L"a"},
      {"four-byte form cut short", "ab\xF0\x9F\x98", L"ab"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(utf8_to_utf16(r.bytes), r.want);
  }
}

TEST(TextTest, EncodesEachUnitOnItsOwn) {
  struct row {
    std::uint32_t unit;
    std::string want;
  };
  const row rows[] = {
      {0x41, "A"},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0xD83D, "\xED\xA0\xBD"},  // a lone surrogate takes three bytes
      {0xDCFF, "\xED\xB3\xBF"},  // so does an escaped file-name byte
      {0x1F600, "\xF0\x9F\x98\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.unit);
    EXPECT_EQ(utf16_to_utf8(units({r.unit})), r.want);
  }
  EXPECT_EQ(utf16_to_utf8(L""), "");
}

TEST(TextTest, SurrogatePairIsOneCharacter) {
  struct row {
    const char* name;
    std::wstring units;
    std::string want;
  };
  const row rows[] = {
      {"pair", units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
      {"pair between letters", units({'a', 0xD83D, 0xDE00, 'b'}),
       "a\xF0\x9F\x98\x80"
       "b"},
      {"low before high", units({0xDE00, 0xD83D}), "\xED\xB8\x80\xED\xA0\xBD"},
      {"high at the end", units({'a', 0xD83D}), "a\xED\xA0\xBD"},
      {"high before a letter", units({0xD83D, 'a'}),
       "\xED\xA0\xBD"
       "a"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(utf16_to_utf8(r.units), r.want);
  }
  // The 4-byte form decodes to the character, which is that pair where wide units are 16 bits.
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), units({0x1F600}));
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16("\xF0\x9F\x98\x80")), "\xF0\x9F\x98\x80");
  // Each half written as three bytes (CESU-8) reads back as the two halves.
  EXPECT_EQ(utf8_to_utf16("\xED\xA0\xBD\xED\xB8\x80"), units({0xD83D, 0xDE00}));
}

TEST(TextTest, EveryCodePointRoundTripsAsStandardUtf8) {
  std::wstring all;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp < 0xD800 || cp > 0xDFFF) platform::append_code_point(cp, all);
  }
  const std::string bytes = utf16_to_utf8(all);
  std::string standard;
  ASSERT_TRUE(platform::strict_utf8_from_wide(all, standard));
  EXPECT_TRUE(bytes == standard);
  EXPECT_TRUE(utf8_to_utf16(bytes) == all);
}

TEST(TextTest, PathToGeneric) {
  struct row {
    std::string path;
    bool trailing_slash;
    std::wstring want;
  };
  const row rows[] = {
      {"/srv/dir/./sub/../file", false, L"/srv/dir/file"},
      {"/srv/dir/./sub/../file", true, L"/srv/dir/file/"},
      {"", true, L"/"},
      {"", false, L""},
      {"dir/", false, L"dir"},
      {"dir/", true, L"dir/"},
      {"a//b///c", false, L"a/b/c"},
      {"/", false, L""},  // exactly one trailing '/' goes, as a bare drive loses its '/'
      // '\' separates on Windows only; elsewhere it is an ordinary name character.
      {"a\\b", false, test::on_windows ? L"a/b" : L"a\\b"},
      {"/tmp/caf\xC3\xA9/\xF0\x9F\x98\x80", false, L"/tmp/caf\u00E9/\U0001F600"},
      {"/tmp/bad\xFF", true, units({'/', 't', 'm', 'p', '/', 'b', 'a', 'd', 0xDCFF, '/'})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path + (r.trailing_slash ? " with slash" : " without slash"));
    // The bytes are UTF-8 (or raw bytes) on every platform, not the Windows ANSI code page.
    const auto path = platform::path_from_wide(platform::wide_from_native(r.path));
    EXPECT_EQ(path_to_generic(path, r.trailing_slash), r.want);
  }
}

TEST(TextTest, ReadFileGivesEveryByte) {
  test::temp_folder folder;
  const std::string content("line\r\n\0\xFF end", 12);
  const auto file = folder.write("data.bin", content);
  std::string out;
  read_file(platform::wide_from_path(file), out);
  EXPECT_EQ(out, content);

  folder.write("empty", "");
  std::string empty = "";
  read_file(platform::wide_from_path(folder / "empty"), empty);
  EXPECT_EQ(empty, "");
}

TEST(TextTest, ReadFileTakesNamesBeyondAscii) {
  test::temp_folder folder;
  // A valid name beyond the BMP, and a name that is not UTF-8 at all.
  for (const std::string name : {"\xF0\x9F\x98\x80 caf\xC3\xA9.txt", "raw\xFF\xFE"}) {
    SCOPED_TRACE(name);
    if (name.starts_with("raw") && !test::keeps_invalid_names()) {
      std::cout << "skipped " << name << ": " << test::no_invalid_names << '\n';
      continue;
    }
    const auto file = folder.write(name, "content of " + name);
    std::string out;
    read_file(platform::wide_from_path(file), out);
    EXPECT_EQ(out, "content of " + name);
  }
}

TEST(TextTest, ReadFileLeavesTextAloneWhenNothingCanBeRead) {
  test::temp_folder folder;
  std::filesystem::create_directory(folder / "sub");
  for (const auto& path : {folder / "sub", folder / "missing", folder / "missing" / "x"}) {
    SCOPED_TRACE(path.string());
    std::string out = "kept";
    read_file(platform::wide_from_path(path), out);
    EXPECT_EQ(out, "kept");
  }
}

TEST(TextTest, FormatTime) {
  const std::string year = format_time(0, "%Y");
  EXPECT_TRUE(year == "1970" || year == "1969") << year;
  EXPECT_EQ(format_time(-1, "%Y"), "");
  EXPECT_EQ(format_time(-86400LL * 365, "%Y"), "");
  // The middle of the year 3000 still converts; a time in 3002 does not.
  EXPECT_EQ(format_time(32519318400LL, "%Y"), "3000");
  EXPECT_EQ(format_time(32535215999LL + 86400LL * 365, "%Y"), "");
  EXPECT_EQ(format_time(1700000000, ""), "");
  // 2023-11-14 22:13:20 in UTC: a day either way in other zones.
  const std::string stamp = format_time(1700000000, "%Y-%m-%d_%H-%M-%S");
  ASSERT_EQ(stamp.size(), 19u) << stamp;
  EXPECT_TRUE(stamp.compare(0, 9, "2023-11-1") == 0) << stamp;
  for (std::size_t i : {4, 7, 13, 16}) EXPECT_EQ(stamp[i], '-') << stamp;
  EXPECT_EQ(stamp[10], '_') << stamp;
}

TEST(TextTest, SplitText) {
  struct row {
    std::wstring text;
    std::wstring delimiter;
    std::vector<std::wstring> want;
  };
  const row rows[] = {
      {L"", L"|", {L""}},
      {L"a||b", L"|", {L"a", L"", L"b"}},
      {L"a|", L"|", {L"a", L""}},
      {L"|", L"|", {L"", L""}},
      {L"abc", L"|", {L"abc"}},
      {L"x/**/y/**/", L"**/", {L"x/", L"y/", L""}},
      {L"line1\nline2", L"\n", {L"line1", L"line2"}},
      {L"abc", L"", {L"abc"}},  // an empty delimiter splits nothing
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(utf16_to_utf8(r.text) + " at " + utf16_to_utf8(r.delimiter));
    EXPECT_EQ(split_text(r.text, r.delimiter), r.want);
  }
}

// Whatever a name or a rule holds, its display is valid UTF-8 of bounded length.
TEST(TextTest, DisplayTextEscapesWhatIsNoTextAndCutsLongTexts) {
  struct row {
    std::wstring text;
    std::size_t limit;
    std::string shown;
  };
  const std::wstring long_rule(1000, L'a');
  const row rows[] = {
      {platform::wide_from_native("caf\xE9-menu.txt"), 300, "caf\\xE9-menu.txt"},
      {platform::wide_from_native("\xFF\xFE"), 300, "\\xFF\\xFE"},
      {L"caf\u00e9 \U0001F600", 300, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {long_rule, 300, std::string(300, 'a') + "\xE2\x80\xA6"},
      {std::wstring(300, L'a'), 300, std::string(300, 'a')},
      {L"\U0001F600\U0001F600", 1, "\xF0\x9F\x98\x80\xE2\x80\xA6"},
      {L"", 300, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.shown);
    EXPECT_EQ(display_text(r.text, r.limit), r.shown);
  }
  if (sizeof(wchar_t) == 2) {
    EXPECT_EQ(display_text(std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x"), "\\uD800x");
  }
}

}  // namespace
}  // namespace kestrun
