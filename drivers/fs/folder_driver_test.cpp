// The folder driver through its five exports, loaded from bin/ as kvcs loads it.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "drivers/storage_api.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

// The five exports of the real kellar-fs.so.
class FolderDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin = std::getenv("KVCS_BIN");
    ASSERT_NE(bin, nullptr) << "KVCS_BIN names the folder of the built libraries";
    module = platform::library::open(fs::path(bin) / "kellar-fs.so");
    ASSERT_NE(module, nullptr);
    connect = bind<storage_connect_fn>("storage_connect");
    disconnect = bind<storage_disconnect_fn>("storage_disconnect");
    upload = bind<storage_upload_fn>("storage_upload");
    download = bind<storage_download_fn>("storage_download");
    exists = bind<storage_file_exists_fn>("storage_file_exists");
    ASSERT_TRUE(connect && disconnect && upload && download && exists);
    root = temp / "store";
    fs::create_directory(root);
  }

  template <typename F>
  F bind(const char* name) {
    return reinterpret_cast<F>(module->symbol(name));
  }

  storage_handle open_root() { return connect(root.c_str()); }

  test::temp_folder temp;
  fs::path root;
  std::unique_ptr<platform::library> module;
  storage_connect_fn connect = nullptr;
  storage_disconnect_fn disconnect = nullptr;
  storage_upload_fn upload = nullptr;
  storage_download_fn download = nullptr;
  storage_file_exists_fn exists = nullptr;
};

TEST_F(FolderDriverTest, ConnectNeedsAnExistingEntry) {
  const auto file = temp.write("plain.txt", "x");
  struct row {
    const char* name;
    std::string link;
    bool connects;
  };
  const row rows[] = {{"folder", root.string(), true},
                      {"regular file", file.string(), true},
                      {"missing folder", (temp / "missing").string(), false},
                      {"below a regular file", (file / "sub").string(), false},
                      {"empty link", "", false}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const storage_handle h = connect(r.link.c_str());
    EXPECT_EQ(h != 0, r.connects);
    disconnect(h);
  }
}

TEST_F(FolderDriverTest, HandlesAreReusedLastInFirstOut) {
  const storage_handle a = open_root(), b = open_root(), c = open_root();
  EXPECT_EQ(std::vector<storage_handle>({a, b, c}), std::vector<storage_handle>({1, 2, 3}));
  disconnect(1);
  disconnect(2);
  EXPECT_EQ(open_root(), 2u);
  EXPECT_EQ(open_root(), 1u);
  for (storage_handle h : {1u, 2u, 3u}) disconnect(h);
}

TEST_F(FolderDriverTest, UploadStoresOnceAndNeverOverwrites) {
  const auto first = temp.write("first", "one");
  const auto second = temp.write("second", "two");
  const storage_handle h = open_root();
  ASSERT_NE(h, 0u);
  EXPECT_EQ(exists(h, "files/ABC"), 0);
  EXPECT_EQ(upload(h, first.c_str(), "files/ABC"), 0);
  EXPECT_EQ(test::slurp(root / "files" / "ABC"), "one");
  EXPECT_EQ(upload(h, second.c_str(), "files/ABC"), 1);
  EXPECT_EQ(test::slurp(root / "files" / "ABC"), "one");
  EXPECT_EQ(exists(h, "files/ABC"), 1);
  EXPECT_EQ(exists(h, "files"), 1);  // a folder counts as present
  disconnect(h);
}

TEST_F(FolderDriverTest, DownloadCreatesFoldersOrNothing) {
  const storage_handle h = open_root();
  const auto stored = temp.write("store/projects/x/y/1.gz", "version");
  const fs::path target = temp / "out" / "deep" / "1.gz";
  EXPECT_EQ(download(h, "projects/x/y/1.gz", target.c_str()), 0);
  EXPECT_EQ(test::slurp(target), "version");

  const fs::path nowhere = temp / "none" / "2.gz";
  EXPECT_EQ(download(h, "projects/x/y/2.gz", nowhere.c_str()), 1);
  EXPECT_FALSE(fs::exists(temp / "none"));
  disconnect(h);
}

// Beside the storage a download is the stored file itself, linked; on another file system (a
// memory file system here) it is a copy. Either way it holds the stored bytes.
TEST_F(FolderDriverTest, DownloadLinksOnTheSameFileSystemAndCopiesElsewhere) {
  const storage_handle h = open_root();
  const auto stored = temp.write("store/files/blob", "stored bytes");
  struct row {
    const char* label;
    fs::path folder;
    std::uintmax_t links;
  };
  std::vector<row> rows = {{"same file system", temp / "near", 2}};
  const fs::path far =
      fs::path("/dev/shm") / ("kvcs-driver-test-" + temp.path().filename().string());
  std::error_code ec;
  fs::create_directory(far, ec);
  fs::create_hard_link(stored, far / "probe", ec);
  if (ec) rows.push_back({"other file system", far, 1});  // no link reaches there
  fs::remove_all(far, ec);
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    const fs::path target = r.folder / "blob";
    EXPECT_EQ(download(h, "files/blob", target.c_str()), 0);
    EXPECT_EQ(test::slurp(target), "stored bytes");
    EXPECT_EQ(fs::hard_link_count(target), r.links);
    fs::remove_all(r.folder);
    EXPECT_EQ(test::slurp(stored), "stored bytes");
  }
  disconnect(h);
}

TEST_F(FolderDriverTest, UnknownHandlesGiveFailure) {
  const auto local = temp.write("local", "x");
  const storage_handle h = open_root();
  disconnect(h);
  for (const storage_handle bad : {storage_handle{0}, h, storage_handle{42}}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(exists(bad, "a"), 99);
    EXPECT_EQ(upload(bad, local.c_str(), "a"), 99);
    EXPECT_EQ(download(bad, "a", (temp / "b").c_str()), 99);
    disconnect(bad);  // ignored
  }
  EXPECT_FALSE(fs::exists(root / "a"));
}

TEST_F(FolderDriverTest, FileSystemErrorsLeaveAsExceptions) {
  const auto local = temp.write("local", "x");
  temp.write("store/blocker", "a regular file where a folder is wanted");
  temp.write("store/stored", "s");
  const storage_handle h = open_root();
  const fs::path existing = temp.write("already", "here");
  fs::create_symlink("loop", root / "loop");  // a status query that fails, but not as "not found"
  struct row {
    const char* name;
    std::function<void()> call;
    const char* operation;
  };
  const row rows[] = {
      {"local file missing", [&] { upload(h, (temp / "nope").c_str(), "n"); }, "copy_file"},
      {"local target present", [&] { download(h, "stored", existing.c_str()); }, "copy_file"},
      {"folder cannot be made", [&] { upload(h, local.c_str(), "blocker/sub/f"); },
       "create_directories"},
      {"status of a link loop", [&] { exists(h, "loop"); }, "exists"},
      {"upload onto a link loop", [&] { upload(h, local.c_str(), "loop"); }, "exists"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    try {
      r.call();
      ADD_FAILURE() << "no exception";
    } catch (const fs::filesystem_error& e) {
      EXPECT_NE(std::string(e.what()).find(r.operation), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(test::slurp(existing), "here");
  // A failed copy leaves nothing behind, neither under its own name nor under a temporary one.
  EXPECT_FALSE(fs::exists(root / "n"));
  for (const auto& entry : fs::recursive_directory_iterator(temp.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial-"), std::string::npos)
        << entry.path();
  }
  disconnect(h);
}

TEST_F(FolderDriverTest, NamesKeepTheirBytes) {
  // Non-ASCII names, and a native name that is not valid UTF-8, travel as kvcs sends them.
  const std::string odd = std::string("caf\xc3\xa9-") + "\xff" + ".bin";
  const auto local = temp.write(odd, "bytes");
  const storage_handle h = open_root();
  const std::string remote = "files/\xc3\xa9t\xc3\xa9";
  // kvcs sends the escaped byte 0xFF as the UTF-8 form of U+DCFF.
  const std::string sent = std::string("caf\xc3\xa9-") + "\xed\xb3\xbf" + ".bin";
  EXPECT_EQ(upload(h, (temp.path().string() + "/" + sent).c_str(), remote.c_str()), 0);
  EXPECT_EQ(test::slurp(root / "files" / "\xc3\xa9t\xc3\xa9"), "bytes");
  disconnect(h);
}

}  // namespace
}  // namespace kestrun
