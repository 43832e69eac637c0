// The reparse data of links and junctions, built and read as plain bytes on every platform: the
// one part of Windows links that Wine cannot show, tested where it can always run.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/wide_units.h"

namespace kestrun::platform {
namespace {

using bytes = std::vector<std::uint8_t>;

std::uint32_t field(const bytes& block, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = (value << 8) | block.at(at + i);
  return value;
}

void put(bytes& block, std::size_t at, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    block.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

void put_units(bytes& block, std::size_t at, const std::u16string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) put(block, at + 2 * i, text[i], 2);
}

std::u16string units_at(const bytes& block, std::size_t at, std::size_t count) {
  std::u16string text;
  for (std::size_t i = 0; i < count; ++i)
    text += static_cast<char16_t>(field(block, at + 2 * i, 2));
  return text;
}

// Symbolic-link reparse data as Windows writes it: substitute name first, then the print name.
bytes symlink_data(const std::u16string& substitute, const std::u16string& print,
                   std::uint32_t flags = 0) {
  bytes block(20 + 2 * (substitute.size() + print.size()), 0);
  put(block, 0, reparse_tag_symlink, 4);
  put(block, 4, static_cast<std::uint32_t>(block.size() - 8), 2);
  put(block, 8, 0, 2);
  put(block, 10, static_cast<std::uint32_t>(2 * substitute.size()), 2);
  put(block, 12, static_cast<std::uint32_t>(2 * substitute.size()), 2);
  put(block, 14, static_cast<std::uint32_t>(2 * print.size()), 2);
  put(block, 16, flags, 4);
  put_units(block, 20, substitute);
  put_units(block, 20 + 2 * substitute.size(), print);
  return block;
}

std::wstring target_of(const bytes& block) {
  std::wstring target;
  EXPECT_TRUE(reparse_data_target(block.data(), block.size(), target));
  return target;
}

TEST(ReparseDataTest, JunctionBlockHoldsTheTargetBehindTheSystemPrefix) {
  bytes block;
  std::size_t length = 0;
  ASSERT_TRUE(junction_reparse_data(L"C:/data", block, length));
  ASSERT_EQ(block.size(), junction_block_size);
  EXPECT_EQ(field(block, 0, 4), 0xA0000003u);
  EXPECT_EQ(field(block, 4, 2), 34u);  // the substitute name's length + 12
  EXPECT_EQ(field(block, 6, 2), 0u);
  EXPECT_EQ(field(block, 8, 2), 0u);
  EXPECT_EQ(field(block, 10, 2), 22u);  // "\??\C:\data", without the '\' appended
  EXPECT_EQ(field(block, 12, 2), 24u);  // the print name is the empty text at the zero unit
  EXPECT_EQ(field(block, 14, 2), 0u);
  EXPECT_EQ(units_at(block, 16, 13), std::u16string(u"\\??\\C:\\data\\") + u'\0');
  EXPECT_EQ(length, 42u);
  for (std::size_t i = 16 + 2 * 12; i < block.size(); ++i) ASSERT_EQ(block[i], 0) << i;
  EXPECT_EQ(target_of(block), L"C:\\data");
}

TEST(ReparseDataTest, JunctionTargetsThatFitAndThoseThatDoNot) {
  struct row {
    const char* what;
    std::wstring target;
    bool fits;
    std::wstring reads;
  };
  const row rows[] = {
      // A separator of the target's own stays at the end of the stored name.
      {"trailing separator", L"C:/t/", true, L"C:\\t\\"},
      {"share", L"\\\\server\\share\\x", true, L"\\\\server\\share\\x"},
      {"256 units", L"C:\\" + std::wstring(253, L'a'), true, L"C:\\" + std::wstring(253, L'a')},
      {"257 units", L"C:\\" + std::wstring(254, L'a'), false, L""},
      // A character beyond the BMP is a pair of units in the block.
      {"255 units and a pair", L"C:\\" + std::wstring(251, L'a') + test::units({0x1F600}), true,
       L"C:\\" + std::wstring(251, L'a') + test::units({0x1F600})},
      {"254 units and a pair", L"C:\\" + std::wstring(252, L'a') + test::units({0x1F600}), false,
       L""},
      {"a zero unit", std::wstring(L"C:\\a\0b", 6), false, L""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    bytes block;
    std::size_t length = 0;
    ASSERT_EQ(junction_reparse_data(r.target, block, length), r.fits);
    if (!r.fits) continue;
    EXPECT_EQ(length, 20 + field(block, 10, 2));
    EXPECT_EQ(target_of(block), r.reads);
  }
}

TEST(ReparseDataTest, LinksReadByTheirKind) {
  bytes junction(16 + 2 * 12, 0);
  put(junction, 0, reparse_tag_mount_point, 4);
  put(junction, 10, 22, 2);
  put_units(junction, 16, u"\\??\\C:\\t\\x\\");
  struct row {
    const char* what;
    bytes data;
    std::wstring target;
  };
  const row rows[] = {
      {"junction made elsewhere", junction, L"C:\\t\\x\\"},
      {"symbolic link", symlink_data(u"\\??\\C:\\p\\a.txt", u"C:\\p\\a.txt"), L"C:\\p\\a.txt"},
      {"no print name", symlink_data(u"\\??\\C:\\p\\a.txt", u""), L"C:\\p\\a.txt"},
      // A relative link keeps its text; only the scan decides what it is worth.
      {"relative", symlink_data(u"sub\\a.txt", u"sub\\a.txt", 1), L"sub\\a.txt"},
      {"beyond the BMP", symlink_data(u"\\??\\C:\\\xD83D\xDE00", u""),
       L"C:\\" + test::units({0x1F600})},
      {"unpaired surrogate", symlink_data(u"\\??\\C:\\\xD83D", u""),
       L"C:\\" + test::units({0xD83D})},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(target_of(r.data), r.target);
  }
}

TEST(ReparseDataTest, DataThatDoesNotHoldItsNamesIsRefused) {
  const bytes link = symlink_data(u"\\??\\C:\\x", u"C:\\x");
  auto with = [&](std::size_t at, std::uint32_t value, std::size_t size) {
    bytes changed = link;
    put(changed, at, value, size);
    return changed;
  };
  // With no print name, the substitute name is read: here it runs past the end.
  bytes far_substitute = with(14, 0, 2);
  put(far_substitute, 10, 0xFFFE, 2);
  struct row {
    const char* what;
    bytes data;
  };
  const row rows[] = {
      {"empty", {}},
      {"cut before the names", bytes(link.begin(), link.begin() + 18)},
      {"cut inside the print name", bytes(link.begin(), link.end() - 1)},
      {"print name past the end", with(12, 0xFFF0, 2)},
      {"print name of half a unit", with(14, 3, 2)},
      {"substitute name past the end", far_substitute},
      {"another kind of reparse point", with(0, 0x9000001A, 4)},  // a file kept in the cloud
      {"not reparse data", bytes(64, 0xFF)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::wstring target = L"left over";
    EXPECT_FALSE(reparse_data_target(r.data.data(), r.data.size(), target));
    EXPECT_EQ(target, L"");
  }
}

}  // namespace
}  // namespace kestrun::platform
