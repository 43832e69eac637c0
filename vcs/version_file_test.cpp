// Version files: the writer's bytes, the reader's round trip, and every damaged or hostile input
// the reader must refuse.
#include "vcs/version_file.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/stream/gz_buffer.h"
#include "tests/support/environment.h"
#include "tests/support/gzip.h"
#include "tests/support/temp_folder.h"
#include "vcs/safe_path.h"
#include "vcs/state_item.h"
#include "vcs/state_test_fixture.h"

namespace kestrun::vcs {
namespace {

class VersionFileTest : public test::project_fixture {
 protected:
  // Reads decompressed bytes; the commands stay for inspection.
  bool read(const std::string& bytes) {
    std::istringstream in(bytes);
    commands_.clear();
    return read_version(in, owner_, time_, commands_);
  }

  std::shared_ptr<storage_driver> owner_ = nullptr;
  std::int64_t time_ = 0;
  transform_commands commands_;
};

// The decompressed bytes of a version file from its parts.
std::string header(std::uint32_t count, std::uint64_t stored_time = 0) {
  std::string bytes = "KVCS";
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(stored_time >> (8 * i)));
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(count >> (8 * i)));
  return bytes;
}
std::string remove_command(const std::string& path) { return "R" + path + std::string(1, '\0'); }
std::string dir_command(const std::string& path) { return "A" + path + std::string(1, '\0') + "D"; }
std::string link_command(const std::string& path, const std::string& target) {
  return "A" + path + std::string(1, '\0') + "L" + target + std::string(1, '\0');
}
std::string file_command(const std::string& path) {
  return "A" + path + std::string(1, '\0') + "F" + std::string(52, '\x01');
}

// zlib's reading of a written version file, independent of the reader under test.
std::string gunzip(const std::filesystem::path& file) {
  return kestrun::test::zlib_gunzip(kestrun::test::slurp(file));
}

// Sets the time zone for one scope and puts the old one back.
class time_zone {
 public:
  explicit time_zone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    kestrun::test::set_environment("TZ", tz);
    kestrun::test::reread_time_zone();
  }
  ~time_zone() {
    kestrun::test::set_environment("TZ", old_ ? old_->c_str() : nullptr);
    kestrun::test::reread_time_zone();
  }

 private:
  std::optional<std::string> old_;
};

TEST_F(VersionFileTest, WrittenFileReadsBackCommandForCommand) {
  owner_ = local_driver();
  folder_.write("src/main.cpp", "int main() {}\n");
  const auto name = [](const char* text) { return std::make_shared<std::string>(text); };
  auto file = std::make_shared<state_item_file>(owner_, name("src/main.cpp"), 14, 1600000000);
  auto dir = std::make_shared<state_item_dir>(owner_, name("src"));
  auto link = std::make_shared<state_item_link>(owner_, name("l\xc3\xa9nk"), "src/\xe2\x82\xac");
  const transform_commands written = {
      std::make_shared<transform_command>(transform_command::remove, name("old/\xf0\x9f\x98\x80")),
      std::make_shared<transform_command>(transform_command::add, dir->name(), dir),
      std::make_shared<transform_command>(transform_command::add, file->name(), file),
      std::make_shared<transform_command>(transform_command::add, link->name(), link)};
  const auto path = folder_ / "1.gz";
  ASSERT_TRUE(write_version_file(path, 1000000000, written));

  const std::string bytes = gunzip(path);
  EXPECT_EQ(bytes.substr(0, 4), "KVCS");
  EXPECT_EQ(bytes.substr(12, 4), std::string("\x04\0\0\0", 4));

  std::ifstream in(path, std::ios::binary);
  stream::gz::ibuffer codec(in);
  std::istream decoded(&codec);
  transform_commands read;
  std::int64_t time = 0;
  ASSERT_TRUE(read_version(decoded, owner_, time, read));
  EXPECT_EQ(time, 1000000000);
  ASSERT_EQ(read.size(), written.size());
  for (std::size_t i = 0; i < read.size(); ++i) {
    SCOPED_TRACE(*written[i]->path());
    EXPECT_EQ(read[i]->type(), written[i]->type());
    EXPECT_EQ(*read[i]->path(), *written[i]->path());  // non-ASCII bytes kept as they are
    ASSERT_EQ(!read[i]->item(), !written[i]->item());
    if (!read[i]->item()) continue;
    EXPECT_EQ(read[i]->item()->type(), written[i]->item()->type());
    EXPECT_EQ(read[i]->item()->name().get(), read[i]->path().get());
    EXPECT_EQ(read[i]->item()->owner(), owner_);
    EXPECT_TRUE(read[i]->item()->equals(written[i]->item()));
  }
  auto* read_file = static_cast<state_item_file*>(read[2]->item().get());
  EXPECT_EQ(read_file->size(), 14u);
  EXPECT_EQ(read_file->time(), 1600000000);
  EXPECT_EQ(read_file->identity(), file->identity());
}

TEST_F(VersionFileTest, EmptyVersionAndTrailingBytes) {
  EXPECT_TRUE(read(header(0)));
  EXPECT_TRUE(commands_.empty());
  // Bytes beyond the last command belong to no version: the data is not what was written.
  EXPECT_FALSE(read(header(0) + "R"));
  EXPECT_FALSE(read(header(1) + remove_command("a") + "trailing junk"));
  // A type other than add or remove travels as read; the replay ignores it.
  EXPECT_TRUE(read(header(1) + "X" + "a" + std::string(1, '\0')));
  EXPECT_EQ(commands_[0]->type(), 'X');

  const auto path = folder_ / "empty.gz";
  ASSERT_TRUE(write_version_file(path, 0, {}));
  EXPECT_EQ(gunzip(path).size(), 16u);
}

TEST_F(VersionFileTest, DamagedDataIsRefused) {
  struct row {
    const char* what;
    std::string bytes;
  };
  const std::string two = header(2);
  const row rows[] = {
      {"empty", ""},
      {"foreign magic", "KVCX" + header(0).substr(4)},
      {"header cut in the time", header(0).substr(0, 9)},
      {"header cut in the count", header(0).substr(0, 14)},
      {"no command where one is counted", header(1)},
      {"path without its 0 byte", header(1) + "Rabc"},
      {"add without an item type", header(1) + "Aabc" + std::string(1, '\0')},
      {"add with an unknown item type", header(1) + "Aabc" + std::string(1, '\0') + "Q"},
      {"file body cut short in the last command", header(1) + file_command("f").substr(0, 40)},
      {"link target without its 0 byte", header(1) + "Al" + std::string(1, '\0') + "Ldir"},
      {"second command missing", two + dir_command("a")},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_FALSE(read(r.bytes));
  }
}

TEST_F(VersionFileTest, PathsThatCouldLeaveTheRootAreRefused) {
  const char* hostile[] = {"",     "/etc/passwd", "a//b", "./a", "a/./b", "a/..",
                           "../x", "a/../../x",   "a/",   "..",  "."};
  for (const char* path : hostile) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(is_safe_stored_path(path));
    EXPECT_FALSE(read(header(1) + remove_command(path)));
    EXPECT_FALSE(read(header(1) + dir_command(path)));
    EXPECT_FALSE(read(header(1) + file_command(path)));
    EXPECT_FALSE(read(header(1) + link_command("l", path)));
  }
  // The root's work folder is never stored: no command may name it, though a link may point at
  // it. Below the root the name is ordinary content.
  for (const char* path : {".k-vcs", ".k-vcs/temp/00/00/01"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(names_work_folder(path));
    EXPECT_FALSE(read(header(1) + remove_command(path)));
    EXPECT_FALSE(read(header(1) + dir_command(path)));
    EXPECT_FALSE(read(header(1) + file_command(path)));
    EXPECT_TRUE(read(header(1) + link_command("l", path)));
  }
  for (const char* path : {"a", "a/b", "..a/b..", ".hidden/x", "a b/c", ".k-vcs2/x", "sub/.k-vcs",
                           "sub/.k-vcs/x", "a/b/.k-vcs"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(is_safe_stored_path(path));
    EXPECT_FALSE(names_work_folder(path));
    EXPECT_TRUE(read(header(3) + dir_command(path) + file_command(path) + link_command("l", path)));
  }
}

// No version of a real tree holds a longer path than max_path_units (POSIX: bytes; Windows:
// UTF-16 units), so a longer path or link target comes only from a hostile file; it is refused
// while it is read.
TEST_F(VersionFileTest, PathsLongerThanTheSystemHoldsAreRefused) {
  // Elements of 200 characters, so that only the length is at stake.
  const auto long_path = [](std::size_t units, const std::string& unit) {
    std::string path;
    for (std::size_t i = 0; i < units; ++i) path += (i % 201 == 200) ? "/" : unit;
    return path;
  };
  const std::string longest = long_path(max_path_units, "a");
  const std::string too_long = long_path(max_path_units + 1, "a");
  EXPECT_TRUE(fits_system_path(longest));
  EXPECT_FALSE(fits_system_path(too_long));
  EXPECT_TRUE(read(header(2) + dir_command(longest) + link_command("l", longest)));
  EXPECT_FALSE(read(header(1) + remove_command(too_long)));
  EXPECT_FALSE(read(header(1) + dir_command(too_long)));
  EXPECT_FALSE(read(header(1) + link_command("l", too_long)));
  // A path that never ends is refused once it is too long, not at the end of the data.
  std::istringstream endless(header(1) + "R" + std::string(16 * max_stored_path_bytes, 'a'));
  EXPECT_FALSE(read_version(endless, nullptr, time_, commands_));
  EXPECT_LT(endless.tellg(), std::streampos(max_stored_path_bytes + 64));
  const auto repeated = [](std::size_t n, const std::string& unit) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += unit;
    return text;
  };
  if (utf16_paths) {
    // Counted in UTF-16 units: three UTF-8 bytes each for U+4E00, two units for U+1F600.
    EXPECT_TRUE(fits_system_path(repeated(max_path_units, "\xe4\xb8\x80")));
    EXPECT_FALSE(fits_system_path(repeated(max_path_units + 1, "\xe4\xb8\x80")));
    EXPECT_FALSE(fits_system_path(repeated(max_path_units / 2 + 1, "\xf0\x9f\x98\x80")));
  } else {
    EXPECT_TRUE(fits_system_path(repeated(max_path_units / 2, "\xc3\xa9")));
    EXPECT_FALSE(fits_system_path(repeated(max_path_units / 2 + 1, "\xc3\xa9")));
  }
}

// A version file is whole only when its gzip stream ends right after the last command with a
// trailer that checks; the verdict must not depend on how much the reader takes at a time.
TEST_F(VersionFileTest, OnlyAWholeGzipStreamLoads) {
  const auto name = [](const char* text) { return std::make_shared<std::string>(text); };
  auto dir = std::make_shared<state_item_dir>(nullptr, name("src"));
  const auto path = folder_ / "1.gz";
  ASSERT_TRUE(write_version_file(
      path, 1000000000,
      {std::make_shared<transform_command>(transform_command::remove, name("old.txt")),
       std::make_shared<transform_command>(transform_command::add, dir->name(), dir)}));
  const std::string whole = kestrun::test::slurp(path);
  ASSERT_GT(whole.size(), 18u);
  const auto flipped = [&](std::size_t from_end) {
    std::string bytes = whole;
    bytes[bytes.size() - from_end] = static_cast<char>(bytes[bytes.size() - from_end] ^ 0x01);
    return bytes;
  };
  struct row {
    const char* what;
    std::string bytes;
    bool loads;
  };
  const row rows[] = {
      {"whole", whole, true},
      {"CRC-32 wrong", flipped(8), false},
      {"length wrong", flipped(1), false},
      {"trailer missing", whole.substr(0, whole.size() - 8), false},
      {"trailer cut short", whole.substr(0, whole.size() - 3), false},
      {"stream cut in the commands", whole.substr(0, whole.size() - 12), false},
      {"a second stream goes on after the last command", whole + whole, false},
  };
  for (const auto& r : rows) {
    for (int size = 1; size <= 48; ++size) {
      SCOPED_TRACE(testing::Message() << r.what << ", buffer of " << size);
      std::istringstream file(r.bytes);
      stream::gz::ibuffer codec(file, size);
      std::istream in(&codec);
      commands_.clear();
      EXPECT_EQ(read_version(in, owner_, time_, commands_), r.loads);
    }
    SCOPED_TRACE(r.what);
    std::istringstream file(r.bytes);
    EXPECT_EQ(read_version_file(file, owner_, time_, commands_), r.loads);
  }
}

TEST_F(VersionFileTest, TimeIsStoredInTheWritersZone) {
  {
    time_zone zone("XYZ-3");  // three hours east of UTC
    EXPECT_EQ(to_version_time(1000000000), 999989200u);
    EXPECT_EQ(from_version_time(999989200), 1000000000);
    EXPECT_TRUE(read(header(0, 999989200)));
    EXPECT_EQ(time_, 1000000000);
  }
  {
    // Summer time does not count: the stored value carries the standard offset only.
    time_zone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const std::int64_t july = 1562000000;
    EXPECT_EQ(to_version_time(july), static_cast<std::uint64_t>(july - 3600));
    EXPECT_EQ(from_version_time(to_version_time(july)), july);
  }
}

}  // namespace
}  // namespace kestrun::vcs
