// State items: bodies, equality without needless reading, lazy identities and storage names.
#include "vcs/state_item.h"

#include <sstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "common/identity.h"
#include "common/stream/binary_io.h"
#include "vcs/state_test_fixture.h"

namespace kestrun::vcs {
namespace {

class StateItemTest : public test::project_fixture {};

std::shared_ptr<std::string> name_of(const std::string& text) {
  return std::make_shared<std::string>(text);
}

std::string bytes_of(state_item& item) {
  std::ostringstream out;
  stream_writer writer(out);
  EXPECT_TRUE(item.write(writer));
  return out.str();
}

// A file item as a version file would bring it: the body read from bytes.
std::shared_ptr<state_item_file> stored_file(const std::shared_ptr<storage_driver>& owner,
                                             const std::string& name, std::uint64_t size,
                                             std::int64_t time, const std::string& identity) {
  std::ostringstream body;
  stream_writer writer(body);
  writer.write_u64(size);
  writer.write_u64(static_cast<std::uint64_t>(time));
  writer.write(identity.data(), static_cast<std::int32_t>(identity.size()));
  std::istringstream in(body.str());
  stream_reader reader(in);
  return std::make_shared<state_item_file>(owner, name_of(name), reader);
}

TEST(Base32NameTest, KnownAnswers) {
  struct row {
    std::string data;
    bool slashes;
    std::string want;
  };
  const row rows[] = {{"abc", false, "1XN66"},
                      {"abc", true, "1/X/N/6/6"},
                      {std::string(1, '\x0a'), false, "00"},
                      {std::string(1, '\0'), false, "00"},
                      {"", false, ""}};
  const auto slash = [](std::string& text) {
    if (text.size() == 1 || text.size() == 3 || text.size() == 5 || text.size() == 7) {
      text.push_back('/');
    }
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.want);
    const auto* data = reinterpret_cast<const std::uint8_t*>(r.data.data());
    EXPECT_EQ(base32_name(data, r.data.size(),
                          r.slashes ? std::function<void(std::string&)>(slash) : nullptr),
              r.want);
  }
  const std::string identity(36, '\xff');
  const std::string text =
      base32_name(reinterpret_cast<const std::uint8_t*>(identity.data()), 36, nullptr);
  EXPECT_EQ(text.size(), 58u);
  // 31 is the highest group value: 'V' never appears.
  EXPECT_EQ(text, std::string(57, 'U') + "7");
}

TEST_F(StateItemTest, FileBodyAndStorageName) {
  folder_.write("five.txt", "hello");
  state_item_file item(local_driver(), name_of("five.txt"), 5, 1600000000);
  const std::string body = bytes_of(item);
  ASSERT_EQ(body.size(), 52u);
  EXPECT_EQ(body.substr(0, 16), std::string("\x05\0\0\0\0\0\0\0\x00\x10\x5e\x5f\0\0\0\0", 16));
  std::string identity;
  ASSERT_TRUE(hash_file(folder_ / "five.txt", {}, identity));
  EXPECT_EQ(body.substr(16), identity);

  const auto zero = stored_file(local_driver(), "z", 123, 0, std::string(36, '\0'));
  EXPECT_EQ(zero->filename(), L"files/0/0/0/0/" + std::wstring(54, L'0') + L"123");
  const std::wstring name = item.filename();
  EXPECT_EQ(name.size(), 6 + 62 + 1u);
  EXPECT_EQ(name.substr(0, 6), L"files/");
  for (std::size_t i = 7; i <= 13; i += 2) EXPECT_EQ(name[i], L'/') << i;
}

TEST_F(StateItemTest, DirAndLinkBodies) {
  state_item_dir dir(local_driver(), name_of("d"));
  EXPECT_EQ(bytes_of(dir), "");
  state_item_link link(local_driver(), name_of("l"), "../x");
  EXPECT_EQ(bytes_of(link), std::string("\x2e\x2e\x2f\x78\x00", 5));

  std::istringstream in(std::string("dir1/sub\0rest", 13));
  stream_reader reader(in);
  state_item_link read(local_driver(), name_of("l"), reader);
  EXPECT_EQ(read.target(), "dir1/sub");
  EXPECT_EQ(in.get(), 'r');  // the 0 byte is consumed, nothing after it
}

TEST_F(StateItemTest, FileEqualityReadsOnlyWhenTimesDiffer) {
  folder_.write("a", "0123456789");
  folder_.write("b", "abcdefghij");
  folder_.write("c", "0123456789");
  std::string identity_a;
  ASSERT_TRUE(hash_file(folder_ / "a", {}, identity_a));
  const auto owner = local_driver();

  // Sizes differ: no file is read (the names lead nowhere, yet the answer is sure).
  auto ten = std::make_shared<state_item_file>(owner, name_of("missing1"), 10, 5);
  auto eleven = std::make_shared<state_item_file>(owner, name_of("missing2"), 11, 5);
  EXPECT_FALSE(ten->equals(eleven));
  EXPECT_TRUE(ten->identity().empty());

  // Same size and time: equal without reading, even with other contents.
  auto a = std::make_shared<state_item_file>(owner, name_of("a"), 10, 7);
  auto b = std::make_shared<state_item_file>(owner, name_of("b"), 10, 7);
  EXPECT_TRUE(a->equals(b));

  // Other time, same content as stored: equal by identity; other content: not.
  const auto stored = stored_file(owner, "a", 10, 3, identity_a);
  auto c = std::make_shared<state_item_file>(owner, name_of("c"), 10, 9);
  EXPECT_TRUE(c->equals(stored));
  auto b_later = std::make_shared<state_item_file>(owner, name_of("b"), 10, 9);
  EXPECT_FALSE(b_later->equals(stored));

  // An unreadable file never equals a stored one of the same size and another time.
  auto gone = std::make_shared<state_item_file>(owner, name_of("gone"), 10, 9);
  EXPECT_FALSE(gone->equals(stored));
}

TEST_F(StateItemTest, IdentityIsComputedOnFirstUseAndRetriedWhenUnreadable) {
  auto item = std::make_shared<state_item_file>(local_driver(), name_of("sub/late.txt"), 3, 1);
  EXPECT_TRUE(item->identity().empty());
  EXPECT_EQ(item->filename(), L"files/3");
  folder_.write("sub/late.txt", "abc");
  const std::string& identity = item->identity();
  ASSERT_EQ(identity.size(), 36u);
  EXPECT_EQ(identity.substr(32), std::string("\xc2\x41\x24\x35", 4));  // CRC-32 of "abc"
  // Once known it stays, even when the file changes.
  folder_.write("sub/late.txt", "xyz");
  EXPECT_EQ(item->identity().substr(32), std::string("\xc2\x41\x24\x35", 4));
}

TEST_F(StateItemTest, NameThatIsNotUtf8CannotBeHashed) {
  auto item = std::make_shared<state_item_file>(local_driver(), name_of("bad\xff"), 1, 1);
  EXPECT_THROW(item->identity(), std::system_error);
}

TEST_F(StateItemTest, OtherItemsCompareByKindRules) {
  const auto owner = local_driver();
  auto d1 = std::make_shared<state_item_dir>(owner, name_of("x"));
  auto d2 = std::make_shared<state_item_dir>(owner, name_of("y"));
  EXPECT_TRUE(d1->equals(d2));
  auto l1 = std::make_shared<state_item_link>(owner, name_of("l"), "a/b");
  auto l2 = std::make_shared<state_item_link>(owner, name_of("l"), "a/b/");
  auto l3 = std::make_shared<state_item_link>(owner, name_of("m"), "a/b");
  EXPECT_FALSE(l1->equals(l2));
  EXPECT_TRUE(l1->equals(l3));
}

TEST_F(StateItemTest, NameStringIsSharedAndBackslashSeparatesOnlyOnWindows) {
  // '\' separates only on Windows; elsewhere it belongs to the name and must survive a backup.
  auto name = name_of("sub\\file.txt");
  state_item_dir item(local_driver(), name);
  EXPECT_EQ(item.name().get(), name.get());
  EXPECT_EQ(item.name_text(), kestrun::test::on_windows ? "sub/file.txt" : "sub\\file.txt");
  state_item_link link(local_driver(), name_of("l"), "a\\b");
  EXPECT_EQ(link.target(), kestrun::test::on_windows ? "a/b" : "a\\b");
}

}  // namespace
}  // namespace kestrun::vcs
