// Entry attributes, times and their rounding, and setting a file's modification time.
#include <algorithm>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/deep_path.h"
#include "tests/support/temp_folder.h"

namespace kestrun::platform {
namespace {

void set_times(const std::filesystem::path& path, std::int64_t seconds, long nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = nanoseconds;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

TEST(FilesTest, EntryInfoOfEachKind) {
  test::temp_folder dir;
  const auto file = dir.write("file", "12345");
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_directory_symlink(dir / "folder", dir / "link_to_folder");
  std::filesystem::create_symlink(dir / "file", dir / "link_to_file");
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");

  struct row {
    const char* name;
    std::uint32_t attributes;
    std::uint32_t tag;
  };
  const row rows[] = {
      {"file", 0, 0},
      {"folder", attribute_directory, 0},
      {"link_to_folder", attribute_directory | attribute_reparse_point, reparse_tag_symlink},
      {"link_to_file", attribute_reparse_point, reparse_tag_symlink},
      {"dangling", attribute_reparse_point, reparse_tag_symlink},
  };
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    t_entry_info info;
    std::error_code ec;
    ASSERT_TRUE(entry_info(dir / r.name, info, ec));
    EXPECT_FALSE(ec);
    EXPECT_EQ(info.attributes, r.attributes);
    EXPECT_EQ(info.reparse_tag, r.tag);
    EXPECT_NEAR(static_cast<double>(info.creation_time), static_cast<double>(now), 60);
    EXPECT_NEAR(static_cast<double>(info.write_time), static_cast<double>(now), 60);
  }
  t_entry_info info;
  std::error_code ec;
  ASSERT_TRUE(entry_info(file, info, ec));
  EXPECT_EQ(info.size, 5u);
}

// What is neither a file, a folder nor a link is marked as a device, and the file reader refuses
// it without waiting: a FIFO without a writer would block a plain open for ever, and a device
// such as /dev/zero never ends.
TEST(FilesTest, OtherEntriesAreDevicesAndAreNeverRead) {
  test::temp_folder dir;
  const auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto socket_path = dir / "socket";
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.native().size(), sizeof address.sun_path);
  socket_path.native().copy(address.sun_path, socket_path.native().size());
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  std::filesystem::create_symlink(fifo, dir / "link_to_fifo");

  for (const std::filesystem::path& path :
       {fifo, socket_path, std::filesystem::path("/dev/zero"), dir / "link_to_fifo"}) {
    SCOPED_TRACE(path.string());
    t_entry_info info;
    std::error_code ec;
    ASSERT_TRUE(entry_info(path, info, ec));
    if (path != dir / "link_to_fifo") {
      EXPECT_EQ(info.attributes, attribute_device);
    }
    input_file in;
    EXPECT_FALSE(in.open(path));
    EXPECT_FALSE(in.is_open());
  }
  input_file in;
  EXPECT_FALSE(in.open(dir.path()));
  ASSERT_TRUE(in.open(dir.write("file", "abc")));
  char buffer[8];
  EXPECT_EQ(in.read(buffer, sizeof buffer), 3u);
}

TEST(FilesTest, EntryInfoByNameInAnOpenFolder) {
  test::temp_folder dir;
  dir.write("file", "12345");
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_directory_symlink(dir / "folder", dir / "link");
  const folder_handle folder(dir.path());
  ASSERT_TRUE(folder.is_open());
  for (const char* name : {"file", "folder", "link"}) {
    SCOPED_TRACE(name);
    t_entry_info by_path;
    t_entry_info by_name;
    std::error_code ec;
    ASSERT_TRUE(entry_info(dir / name, by_path, ec));
    ASSERT_TRUE(entry_info_at(folder, name, by_name, ec));
    EXPECT_EQ(by_name.attributes, by_path.attributes);
    EXPECT_EQ(by_name.reparse_tag, by_path.reparse_tag);
    EXPECT_EQ(by_name.creation_time, by_path.creation_time);
    EXPECT_EQ(by_name.write_time, by_path.write_time);
    EXPECT_EQ(by_name.size, by_path.size);
  }
  t_entry_info info;
  std::error_code ec;
  EXPECT_FALSE(entry_info_at(folder, "missing", info, ec));
  EXPECT_TRUE(is_not_found(ec));
  const folder_handle missing(dir / "missing");
  EXPECT_FALSE(missing.is_open());
  EXPECT_FALSE(entry_info_at(missing, "file", info, ec));
  EXPECT_TRUE(ec);
}

TEST(FilesTest, EntryInfoRoundsNanosecondTimes) {
  test::temp_folder dir;
  const auto file = dir.write("file", "");
  struct row {
    std::int64_t seconds;
    long nanoseconds;
    std::int64_t want;
  };
  const row rows[] = {{1700000000, 0, 1700000000},
                      {1700000000, 499999999, 1700000000},
                      {1700000000, 500000000, 1700000001},
                      {1700000000, 999999999, 1700000001},
                      {-2, 600000000, -1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.seconds << "." << r.nanoseconds);
    set_times(file, r.seconds, r.nanoseconds);
    t_entry_info info;
    std::error_code ec;
    ASSERT_TRUE(entry_info(file, info, ec));
    EXPECT_EQ(info.write_time, r.want);
  }
}

TEST(FilesTest, EntryInfoOfAMissingPathFails) {
  test::temp_folder dir;
  t_entry_info info;
  info.size = 7;
  std::error_code ec;
  EXPECT_FALSE(entry_info(dir / "missing", info, ec));
  EXPECT_TRUE(is_not_found(ec));
  EXPECT_EQ(info.size, 0u);
  EXPECT_EQ(info.attributes, 0u);
}

TEST(FilesTest, SetModificationTimeKeepsTheAccessTime) {
  test::temp_folder dir;
  const auto file = dir.write("file", "x");
  struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  std::error_code ec;
  ASSERT_TRUE(set_modification_time(file, 1234567890, ec));
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);

  EXPECT_FALSE(set_modification_time(dir / "missing", 1, ec));
  EXPECT_TRUE(is_not_found(ec));
}

// Past the length the system takes as one path, every call here still reaches the entry: the
// folders are made, opened, listed and queried, a file written and read, a link read, a time set.
TEST(FilesTest, EntriesPastThePathLimit) {
  test::temp_folder dir;
  std::filesystem::path deep = dir.path();
  for (int i = 0; i < 25; ++i) deep /= std::string(200, static_cast<char>('a' + i % 26));
  ASSERT_GT(deep.native().size(), static_cast<std::size_t>(PATH_MAX));
  std::error_code ec;
  ASSERT_TRUE(create_folders(deep, ec)) << ec.message();
  ASSERT_TRUE(create_folders(deep, ec)) << "a folder already there: " << ec.message();

  {
    const folder_handle folder(deep);
    ASSERT_TRUE(folder.is_open());
    new_file file;
    ASSERT_TRUE(file.create(folder, ec)) << ec.message();
    ASSERT_TRUE(file.write("deep", 4, ec));
    ASSERT_TRUE(file.finish(1600000000, ec));
    ASSERT_TRUE(file.replace("f.txt", ec)) << ec.message();
  }
  const std::filesystem::path file = deep / "f.txt";
  t_entry_info info;
  ASSERT_TRUE(entry_info(file, info, ec)) << ec.message();
  EXPECT_EQ(info.size, 4u);
  EXPECT_EQ(info.write_time, 1600000000);
  ASSERT_TRUE(set_modification_time(file, 1700000000, ec)) << ec.message();
  ASSERT_TRUE(entry_info(file, info, ec));
  EXPECT_EQ(info.write_time, 1700000000);

  input_file in;
  ASSERT_TRUE(in.open(file));
  char text[8] = {};
  EXPECT_EQ(in.read(text, sizeof text), 4u);
  EXPECT_EQ(std::string(text), "deep");

  const int folder_fd = posix::open_folder(deep.native(), false, ec);
  ASSERT_GE(folder_fd, 0) << ec.message();
  ASSERT_EQ(::symlinkat("f.txt", folder_fd, "link"), 0);
  ::close(folder_fd);
  std::wstring target;
  ASSERT_TRUE(read_link(deep / "link", target, ec)) << ec.message();
  EXPECT_EQ(target, L"f.txt");
  ASSERT_TRUE(target_info(deep / "link", info, ec)) << ec.message();
  EXPECT_EQ(info.size, 4u);

  std::vector<std::filesystem::directory_entry> listing;
  ASSERT_TRUE(list_folder(deep, listing, ec)) << ec.message();
  std::vector<std::string> names;
  for (const auto& entry : listing) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"f.txt", "link"}));

  // What is in the way is refused.
  EXPECT_FALSE(create_folders(file / "below", ec));
  EXPECT_TRUE(ec);
  EXPECT_TRUE(remove_tree(dir.path() / std::string(200, 'a'), ec)) << ec.message();
}

}  // namespace
}  // namespace kestrun::platform
