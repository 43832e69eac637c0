// The stored form of file contents: method byte, gzip or raw by extension and size, the identity
// check of a file that changes, and unpacking with its failures and modification times.
#include "vcs/packer.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "common/identity.h"
#include "common/notify/event.h"
#include "common/stream/binary_io.h"
#include "common/stream/gz_whole.h"
#include "platform/platform.h"
#include "tests/support/event_recorder.h"
#include "tests/support/gzip.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"
#include "vcs/project.h"
#include "vcs/state_item.h"
#include "vcs/storage_driver.h"

namespace kestrun::vcs {
namespace {

namespace fs = std::filesystem;

// Everything the engine fires, in order; each test starts from an empty list.
std::vector<test::t_recorded_event>& recorded() {
  return test::recorded_events("kestrun::vcs::.*");
}

std::vector<test::t_recorded_event> named(const std::string& name, bool progress = false) {
  std::vector<test::t_recorded_event> out;
  for (const auto& e : recorded()) {
    if (e.name == name && (e.type == notify::event::t_type::progress) == progress) {
      out.push_back(e);
    }
  }
  return out;
}

// zlib's reading of a stored content, independent of the unpacking under test.
std::string gunzip(const std::string& data) { return test::zlib_gunzip(data); }

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

std::string text_bytes(std::size_t size) {
  std::string out;
  while (out.size() < size)
    out += "int main() { return value + " + std::to_string(out.size()) + "; }\n";
  out.resize(size);
  return out;
}

std::int64_t write_time(const fs::path& path) {
  platform::t_entry_info info;
  std::error_code ec;
  EXPECT_TRUE(platform::entry_info(path, info, ec)) << path;
  return info.write_time;
}

// A project in a temporary folder with the local driver a project state would have.
class PackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recorded().clear();
    folder.write("kestrun-vcs.json", R"({"name": "test/packer"})");
    std::wstring sub_path;
    proj = project::open(platform::wide_from_path(folder.path()), sub_path);
    ASSERT_TRUE(proj);
    driver = std::make_shared<storage_driver>(L"", 1, proj.get(), &proj->temp);
    recorded().clear();
  }

  // A file in the project and its item, as the scan would make it.
  std::shared_ptr<state_item_file> add_file(const std::string& name, const std::string& content,
                                            std::int64_t time = 1600000000) {
    const fs::path path = folder.write(name, content);
    auto item = std::make_shared<state_item_file>(driver, std::make_shared<std::string>(name),
                                                  content.size(), time);
    items.push_back(item);
    return item;
  }

  packer::t_file_info info_of(const std::shared_ptr<state_item_file>& item) {
    return {item.get(), folder / item->name_text()};
  }

  test::temp_folder folder;
  std::shared_ptr<project> proj;
  std::shared_ptr<storage_driver> driver;
  std::vector<std::shared_ptr<state_item_file>> items;
};

TEST_F(PackerTest, RoundTripRestoresBytesAndTimes) {
  struct row {
    const char* name;
    std::string content;
    std::uint8_t method;
  };
  const row rows[] = {
      {"src/main.cpp", text_bytes(50000), 1},
      {"empty.txt", "", 0},
      {"noise.bin", random_bytes(70000, 1), 0},  // deflate does not pay
      {"photo.jpg", text_bytes(3000), 0},        // compressible, but stored raw by extension
      {"deep/a/b/\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80.txt", text_bytes(300), 1},
      {"back\\slash.txt", text_bytes(4000), 1},
  };
  std::vector<packer::t_file_info> files;
  std::int64_t time = 1500000000;
  for (const row& r : rows) files.push_back(info_of(add_file(r.name, r.content, time += 3600)));

  ASSERT_TRUE(packer::encode(files, driver));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const std::string stored = test::slurp(files[i].path);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(static_cast<std::uint8_t>(stored[0]), rows[i].method);
    EXPECT_EQ(rows[i].method == 1 ? gunzip(stored.substr(1)) : stored.substr(1), rows[i].content);
    EXPECT_TRUE(
        fs::equivalent(files[i].path.parent_path().parent_path().parent_path(), proj->temp.path()));
  }
  EXPECT_EQ(named("kestrun::vcs::file::pack").size(), files.size());
  EXPECT_EQ(named("kestrun::vcs::file::pack")[1].text, "0=>1 empty.txt");

  for (const row& r : rows) fs::remove(folder / r.name);
  recorded().clear();
  ASSERT_TRUE(packer::unpack(files, driver));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const fs::path target = folder / rows[i].name;
    EXPECT_EQ(test::slurp(target), rows[i].content);
    EXPECT_EQ(write_time(target), items[i]->time());
  }
  const auto unpacked = named("kestrun::vcs::file::unpack");
  ASSERT_EQ(unpacked.size(), files.size());
  EXPECT_EQ(unpacked[0].text, "src/main.cpp");
  EXPECT_EQ(named("kestrun::vcs::file::unpack", true).back().text, "100.0000");
}

TEST_F(PackerTest, ExtensionsStoredRawIgnoreCase) {
  struct row {
    const char* name;
    std::uint8_t method;
  };
  const row rows[] = {
      {"Photo.JPG", 0},  {"archive.tar.gz", 0}, {"movie.Mp4", 0},      {"song.flac", 0},
      {".gitignore", 1}, {"notes.", 1},         {"dir.zip/readme", 1}, {"zip", 1},
      {"a.zipx", 1}};
  std::vector<packer::t_file_info> files;
  for (const row& r : rows) files.push_back(info_of(add_file(r.name, text_bytes(2000))));
  ASSERT_TRUE(packer::encode(files, driver));
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(static_cast<std::uint8_t>(test::slurp(files[i].path)[0]), rows[i].method);
  }
}

// Deflating must save at least one byte beyond the method byte: a 100-byte file is stored
// deflated at 98 packed bytes and raw (101 bytes) at 99.
TEST_F(PackerTest, SizeRuleNeedsAStrictGain) {
  // The coder the packer uses for small files, whichever the build has.
  stream::gz::whole_encoder encoder(9);
  std::string room(4096, '\0');
  std::string deflated_at_98;
  std::string raw_at_99;
  for (unsigned seed = 0; seed < 50 && (deflated_at_98.empty() || raw_at_99.empty()); ++seed) {
    for (std::size_t noise = 0; noise <= 100; ++noise) {
      std::string content = random_bytes(noise, seed) + std::string(100 - noise, 'a');
      const std::size_t packed =
          encoder.encode(content.data(), content.size(), room.data(), room.size()) + 1;
      if (packed == 98) deflated_at_98 = content;
      if (packed == 99) raw_at_99 = content;
    }
  }
  ASSERT_FALSE(deflated_at_98.empty());
  ASSERT_FALSE(raw_at_99.empty());
  std::vector<packer::t_file_info> files = {info_of(add_file("a.txt", deflated_at_98)),
                                            info_of(add_file("b.txt", raw_at_99))};
  ASSERT_TRUE(packer::encode(files, driver));
  EXPECT_EQ(fs::file_size(files[0].path), 98u);
  EXPECT_EQ(test::slurp(files[0].path)[0], 1);
  EXPECT_EQ(fs::file_size(files[1].path), 101u);
  EXPECT_EQ(test::slurp(files[1].path)[0], 0);
}

TEST_F(PackerTest, ProgressCountsItems) {
  std::vector<packer::t_file_info> files;
  for (const char* name : {"a", "b", "c"}) files.push_back(info_of(add_file(name, name)));
  ASSERT_TRUE(packer::encode(files, driver));
  const auto progress = named("kestrun::vcs::file::pack", true);
  ASSERT_EQ(progress.size(), 3u);
  EXPECT_EQ(progress[0].text, "33.3333");
  EXPECT_EQ(progress[1].text, "66.6666");
  EXPECT_EQ(progress[2].text, "100.0000");
}

TEST_F(PackerTest, EmptyListPacksNothing) {
  std::vector<packer::t_file_info> files;
  EXPECT_TRUE(packer::encode(files, driver));
  EXPECT_TRUE(packer::unpack(files, driver));
  EXPECT_TRUE(recorded().empty());
}

// The identity was taken (as the save does when it writes the version file), then the file
// changed: same size with other bytes, or another size.
TEST_F(PackerTest, ChangedFileIsRefused) {
  struct row {
    const char* label;
    std::string replacement;
  };
  const row rows[] = {{"same size", std::string(1000, 'y')},
                      {"grown", std::string(1001, 'x')},
                      {"shrunk", std::string(10, 'x')}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    recorded().clear();
    auto first = add_file("first.txt", "first");
    auto changed = add_file("changed.txt", std::string(1000, 'x'));
    auto after = add_file("after.txt", "after");
    ASSERT_EQ(changed->identity().size(), 36u);
    folder.write("changed.txt", r.replacement);
    std::vector<packer::t_file_info> files = {info_of(first), info_of(changed), info_of(after)};
    const fs::path changed_path = files[1].path;
    const fs::path after_path = files[2].path;

    EXPECT_FALSE(packer::encode(files, driver));
    EXPECT_NE(files[0].path.parent_path(), folder.path());  // packed before the failure
    EXPECT_EQ(files[1].path, changed_path);
    EXPECT_EQ(files[2].path, after_path);
    const auto events = named("kestrun::vcs::file::pack");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].level, 2u);
    EXPECT_EQ(events[1].text, "changed.txt file packing error");
  }
}

TEST_F(PackerTest, MissingFileIsRefused) {
  auto item = add_file("gone.txt", "content");
  fs::remove(folder.path() / "gone.txt");
  std::vector<packer::t_file_info> files = {info_of(item)};
  EXPECT_FALSE(packer::encode(files, driver));
  ASSERT_EQ(named("kestrun::vcs::file::pack").size(), 1u);
  EXPECT_EQ(named("kestrun::vcs::file::pack")[0].level, 2u);
}

// A packed file is always a new file: whatever holds its name already (a link to a device, a
// hard link that shares its data with a stored content) is never opened, let alone written
// through, and the packing fails instead.
TEST_F(PackerTest, TakenTemporaryNameIsNeverWrittenThrough) {
  const fs::path stored = folder.write("storage/files/blob", "stored content");
  struct row {
    const char* label;
    std::function<void(const fs::path&)> take;
  };
  std::vector<row> rows = {{"hard link to a stored content",
                            [&](const fs::path& name) { fs::create_hard_link(stored, name); }}};
  if (fs::exists("/dev/full") && test::can_make_links()) {
    rows.push_back({"link to a full disk",
                    [](const fs::path& name) { fs::create_symlink("/dev/full", name); }});
  }
  auto item = add_file("big.zip", random_bytes(200000, 7));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].label);
    recorded().clear();
    // Each packing takes the next temporary name: 00/00/01, then 00/00/02.
    const fs::path next = proj->temp.path() / "00" / "00" / ("0" + std::to_string(i + 1));
    fs::create_directories(next.parent_path());
    rows[i].take(next);
    std::vector<packer::t_file_info> files = {info_of(item)};
    EXPECT_FALSE(packer::encode(files, driver));
    ASSERT_EQ(named("kestrun::vcs::file::pack").size(), 1u);
    EXPECT_EQ(named("kestrun::vcs::file::pack")[0].text, "big.zip file packing error");
    EXPECT_EQ(test::slurp(stored), "stored content");
  }
}

// A packed file that cannot be written in full (a full disk) must not pass as packed. The child
// process may write files of at most 32768 bytes: the project file fits exactly, its stored form
// with the method byte does not.
TEST_F(PackerTest, FullDiskFailsThePacking) {
  if (test::on_windows) GTEST_SKIP() << "needs a POSIX shell's file-size limit (ulimit -f)";
  if (std::getenv("KVCS_FSIZE_CHILD") == nullptr) {
    const std::string command =
        "KVCS_FSIZE_CHILD=1 sh -c 'trap \"\" XFSZ; ulimit -f 64; exec \"$0\" "
        "--gtest_filter=PackerTest.FullDiskFailsThePacking >/dev/null' '" +
        platform::program_path().string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return;
  }
  auto item = add_file("big.zip", random_bytes(32768, 7));
  std::vector<packer::t_file_info> files = {info_of(item)};
  EXPECT_FALSE(packer::encode(files, driver));
  ASSERT_EQ(named("kestrun::vcs::file::pack").size(), 1u);
  EXPECT_EQ(named("kestrun::vcs::file::pack")[0].text, "big.zip file packing error");
}

class UnpackTest : public PackerTest {
 protected:
  // A stored content in the temporary folder for the item.
  packer::t_file_info stored(const std::shared_ptr<state_item_file>& item,
                             const std::string& bytes) {
    const fs::path path = proj->temp.new_path();
    std::ofstream(path, std::ios::binary) << bytes;
    return {item.get(), path};
  }

  // An item as a version file holds it: the size and identity of `content`, and a time.
  std::shared_ptr<state_item_file> stored_item(const std::string& name, const std::string& content,
                                               std::uint64_t size = ~std::uint64_t{0}) {
    std::string identity;
    EXPECT_TRUE(hash_file(scratch.write("content", content), {}, identity));
    std::string body;
    const auto put_u64 = [&body](std::uint64_t value) {
      for (int i = 0; i < 8; ++i) body.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    put_u64(size == ~std::uint64_t{0} ? content.size() : size);
    put_u64(1234567890);
    body += identity;
    std::istringstream in(body);
    stream_reader reader(in);
    auto item =
        std::make_shared<state_item_file>(driver, std::make_shared<std::string>(name), reader);
    items.push_back(item);
    return item;
  }

  // The one warning of `event` (its other events are not warnings), which names `name`.
  void expect_warning(const char* event, const std::string& name) {
    auto warnings = named(event);
    std::erase_if(warnings, [](const auto& e) { return e.level == 0; });
    ASSERT_EQ(warnings.size(), 1u) << event;
    EXPECT_EQ(warnings[0].level, 1u);
    EXPECT_EQ(warnings[0].text.rfind(name + ": ", 0), 0u) << warnings[0].text;
  }

  test::temp_folder scratch;
};

// Names below `folder` (its work folder included) that an unpack left behind.
std::vector<std::string> leftovers(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".k-vcs-new-", 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

// A content that cannot be read or proven spoils its own file only: the warning names it, and
// the next file is still written.
TEST_F(UnpackTest, UnreadableContentWarnsAndTheRestGoesOn) {
  struct row {
    const char* label;
    std::string content;  // "?": no file at all
  };
  const row rows[] = {
      {"no method byte", ""}, {"method 2", std::string("\x02xyz")}, {"missing", "?"}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    recorded().clear();
    fs::remove(folder.path() / "later.txt");
    auto bad = stored_item("bad.txt", "xyz");
    auto later = stored_item("later.txt", "abc");
    std::vector<packer::t_file_info> files = {stored(bad, r.content),
                                              stored(later, std::string("\0abc", 4))};
    if (r.content == "?") fs::remove(files[0].path);
    EXPECT_FALSE(packer::unpack(files, driver));
    EXPECT_FALSE(fs::exists(folder.path() / "bad.txt"));
    EXPECT_EQ(test::slurp(folder.path() / "later.txt"), "abc");
    EXPECT_FALSE(files[0].written);
    EXPECT_TRUE(files[1].written);
    const auto events = named("kestrun::vcs::file::unpack");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].level, 1u);
    EXPECT_EQ(events[0].text.rfind("bad.txt: ", 0), 0u) << events[0].text;
    EXPECT_EQ(events[1].text, "later.txt");
  }
}

TEST_F(UnpackTest, MissingFolderOnlyWarns) {
  auto lost = stored_item("no/such/folder/x.txt", "abc");
  auto kept = stored_item("kept.txt", "def");
  std::vector<packer::t_file_info> files = {stored(lost, std::string("\0abc", 4)),
                                            stored(kept, std::string("\0def", 4))};
  EXPECT_FALSE(packer::unpack(files, driver));
  EXPECT_EQ(test::slurp(folder.path() / "kept.txt"), "def");
  EXPECT_EQ(write_time(folder.path() / "kept.txt"), 1234567890);
  expect_warning("kestrun::vcs::file::write::open", "no/such/folder/x.txt");
  EXPECT_EQ(named("kestrun::vcs::file::unpack", true).back().text, "100.0000");
  EXPECT_EQ(leftovers(folder.path()), std::vector<std::string>{});
}

// A content that is not the one the item records (damaged, cut, longer, another file's content of
// the same size, stored raw or deflated) leaves the file under the name as it was (here the
// project's own copy), and nothing stays behind.
TEST_F(UnpackTest, ContentNotTheRecordedOneLeavesTheFileAsItWas) {
  const std::string content = text_bytes(100000);
  auto item = add_file("whole.txt", content);
  std::vector<packer::t_file_info> files = {info_of(item)};
  ASSERT_TRUE(packer::encode(files, driver));
  const std::string packed = test::slurp(files[0].path);
  const std::string longer = text_bytes(100001);
  std::string flipped = content;
  flipped[5000] ^= 0x20;
  const std::string other = random_bytes(content.size(), 7);
  struct row {
    const char* label;
    std::string bytes;
  };
  const row rows[] = {{"gzip cut short", packed.substr(0, packed.size() / 2)},
                      {"raw cut short", std::string(1, '\0') + content.substr(0, 5000)},
                      {"gzip one byte longer", std::string(1, '\1') + test::zlib_gzip(longer)},
                      {"raw one byte longer", std::string(1, '\0') + longer},
                      {"raw with a flipped byte", std::string(1, '\0') + flipped},
                      {"gzip of another content", std::string(1, '\1') + test::zlib_gzip(other)},
                      {"raw of another content", std::string(1, '\0') + other}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    recorded().clear();
    std::vector<packer::t_file_info> damaged = {stored(item, r.bytes)};
    EXPECT_FALSE(packer::unpack(damaged, driver));
    EXPECT_EQ(test::slurp(folder.path() / "whole.txt"), content);
    EXPECT_EQ(leftovers(folder.path()), std::vector<std::string>{});
    expect_warning("kestrun::vcs::file::unpack", "whole.txt");
  }
  // The real content passes, gzip or raw.
  for (const std::string& bytes : {packed, std::string(1, '\0') + content}) {
    std::vector<packer::t_file_info> good = {stored(item, bytes)};
    EXPECT_TRUE(packer::unpack(good, driver));
  }
}

// Bytes this process has handed to write calls so far; -1 where the system does not say.
long long bytes_written() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = -1;
  while (io >> key >> value) {
    if (key == "wchar:") return value;
  }
  return -1;
}

// A small content that decodes to far more than the item's size is refused before the file
// grows past that size; one that claims a huge size is written no further than it decodes.
TEST_F(UnpackTest, ContentIsNeverWrittenPastTheRecordedSize) {
  if (bytes_written() < 0) GTEST_SKIP() << "no /proc/self/io on this system";
  const std::string bomb = test::zlib_gzip(std::string(16 << 20, '\0'));  // about 16 KiB stored
  ASSERT_LT(bomb.size(), 1u << 20);
  struct row {
    const char* label;
    std::uint64_t size;
    long long limit;  // bytes the unpacking may write at most
  };
  const row rows[] = {{"decodes to more", 1000, 1 << 20},
                      {"claims more", std::uint64_t{2} << 30, 17 << 20}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    recorded().clear();
    auto item = stored_item("bomb.bin", "made-up", r.size);
    std::vector<packer::t_file_info> files = {stored(item, std::string(1, '\1') + bomb)};
    const long long before = bytes_written();
    EXPECT_FALSE(packer::unpack(files, driver));
    EXPECT_LT(bytes_written() - before, r.limit);
    EXPECT_FALSE(fs::exists(folder.path() / "bomb.bin"));
    EXPECT_EQ(leftovers(folder.path()), std::vector<std::string>{});
    expect_warning("kestrun::vcs::file::unpack", "bomb.bin");
  }
}

// A file that is there is replaced whole in one step, with the stored time and its own
// permissions; what cannot be replaced (a folder) stays and only warns.
TEST_F(UnpackTest, ReplacesAFileInPlace) {
  const fs::path old_file = folder.write("tool.sh", "old content, longer than the new one");
  fs::permissions(old_file, fs::perms(0750));
  fs::create_directory(folder.path() / "dir.txt");
  auto tool = stored_item("tool.sh", "new");
  auto dir = stored_item("dir.txt", "abc");
  std::vector<packer::t_file_info> files = {stored(tool, std::string("\0new", 4)),
                                            stored(dir, std::string("\0abc", 4))};
  EXPECT_FALSE(packer::unpack(files, driver));
  EXPECT_EQ(test::slurp(old_file), "new");
  EXPECT_EQ(write_time(old_file), 1234567890);
  // Windows keeps no permission bits to pass on, only a read-only flag.
  if (!test::on_windows) {
    EXPECT_EQ(fs::status(old_file).permissions(), fs::perms(0750));
  }
  EXPECT_TRUE(fs::is_directory(folder.path() / "dir.txt"));
  expect_warning("kestrun::vcs::file::write::open", "dir.txt");
  EXPECT_EQ(leftovers(folder.path()), std::vector<std::string>{});
}

// A full disk, played by a file-size limit of 32 KiB: the test runs again in a child process that
// has the limit and ignores the signal that would otherwise end it, so writes fail with an error.
TEST_F(UnpackTest, FullDiskFailsTheFile) {
  if (test::on_windows) GTEST_SKIP() << "needs a POSIX shell's file-size limit (ulimit -f)";
  if (std::getenv("KVCS_FSIZE_CHILD") == nullptr) {
    const std::string command =
        "KVCS_FSIZE_CHILD=1 sh -c 'trap \"\" XFSZ; ulimit -f 64; exec \"$0\" "
        "--gtest_filter=UnpackTest.FullDiskFailsTheFile >/dev/null' '" +
        platform::program_path().string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return;
  }
  const std::string content(1000000, 'a');
  auto item = stored_item("full.txt", content);
  std::vector<packer::t_file_info> files = {
      stored(item, std::string(1, '\1') + test::zlib_gzip(content))};
  EXPECT_FALSE(packer::unpack(files, driver));
  EXPECT_FALSE(fs::exists(folder.path() / "full.txt"));
  EXPECT_EQ(leftovers(folder.path()), std::vector<std::string>{});
  expect_warning("kestrun::vcs::file::unpack", "full.txt");
}

// A link that the scan left out because it leads outside the project is never written through.
TEST_F(UnpackTest, LinkAtTheTargetIsNotFollowed) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder outside;
  const fs::path victim = outside.write("victim.txt", "keep");
  fs::create_symlink(victim, folder.path() / "x.txt");
  auto item = stored_item("x.txt", "abc");
  std::vector<packer::t_file_info> files = {stored(item, std::string("\0abc", 4))};
  EXPECT_FALSE(packer::unpack(files, driver));
  EXPECT_EQ(test::slurp(victim), "keep");
  EXPECT_TRUE(fs::is_symlink(folder.path() / "x.txt"));
  expect_warning("kestrun::vcs::file::write::open", "x.txt");
  EXPECT_EQ(leftovers(folder.path()), std::vector<std::string>{});
}

// A FIFO where the file belongs is not project content and is left alone: opening it to write
// would wait for a reader that never comes.
TEST_F(UnpackTest, FifoAtTheTargetIsNotWrittenInto) {
  const fs::path fifo = folder.path() / "x.txt";
  if (std::system(("mkfifo '" + fifo.string() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "mkfifo cannot make a FIFO here";
  }
  auto item = stored_item("x.txt", "abc");
  std::vector<packer::t_file_info> files = {stored(item, std::string("\0abc", 4))};
  EXPECT_FALSE(packer::unpack(files, driver));
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
  expect_warning("kestrun::vcs::file::write::open", "x.txt");
}

TEST_F(UnpackTest, PathLeavingTheRootIsRefused) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  test::temp_folder elsewhere;
  fs::create_directory_symlink(elsewhere.path(), folder.path() / "escape");
  for (const char* name :
       {"../outside.txt", "/tmp/outside.txt", "a/../../outside.txt", "escape/outside.txt"}) {
    SCOPED_TRACE(name);
    recorded().clear();
    auto item = stored_item(name, "abc");
    std::vector<packer::t_file_info> files = {stored(item, std::string("\0abc", 4))};
    EXPECT_FALSE(packer::unpack(files, driver));
    EXPECT_FALSE(fs::exists(folder.path().parent_path() / "outside.txt"));
    EXPECT_FALSE(fs::exists(elsewhere.path() / "outside.txt"));
  }
}

}  // namespace
}  // namespace kestrun::vcs
