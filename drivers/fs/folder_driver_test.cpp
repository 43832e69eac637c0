// The folder driver through its five exports, loaded from bin/ as kvcs loads it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "drivers/storage_api.h"
#include "drivers/storage_exports.h"
#include "platform/platform.h"
#include "tests/support/host_shell.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

// A path as the driver takes it: UTF-8 (bytes on POSIX).
std::string text(const fs::path& path) { return platform::narrow_from_path(path); }

// The number of names a file has. The Windows runtime's stat always says 1: there the host's
// stat counts them, under Wine.
std::uintmax_t link_count(const fs::path& path) {
  if (!test::on_windows) return fs::hard_link_count(path);
  const test::temp_folder out;
  std::uintmax_t count = 0;
  if (test::host_shell("stat -c %h " + test::shell_quoted(test::host_path(path)) + " > " +
                       test::shell_quoted(test::host_path(out.path()) + "/count"))) {
    std::istringstream(test::slurp(out / "count")) >> count;
  }
  return count;
}

// A folder on another file system than `near` (a memory file system), or empty where there is
// none: no hard link reaches it from there.
fs::path folder_elsewhere(const fs::path& near) {
  if (test::on_windows) return {};  // no memory file system at a known place
  const fs::path far = fs::path("/dev/shm") / ("kvcs-driver-test-" + near.filename().string());
  std::error_code ec;
  fs::create_directory(far, ec);
  if (ec) return {};
  const fs::path probe = near / "probe-for-links";
  { std::ofstream(probe) << "p"; }
  fs::create_hard_link(probe, far / "probe", ec);
  fs::remove(probe);
  if (!ec) {
    fs::remove_all(far, ec);
    return {};
  }
  return far;
}

// Whether the placement seam refuses hard links in this process (see CMakeLists.txt).
bool links_refused_here() {
  const char* seam = std::getenv("KVCS_SEAM_LINK");
  return seam != nullptr && std::string(seam) == "refuse";
}

// The names in `folder` that hold ".partial-": copies in progress, or left by cut uploads.
std::vector<std::string> partials(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = platform::narrow_from_path(entry.path().filename());
    if (name.find(".partial-") != std::string::npos) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

// The five exports of the real kellar-fs library.
class FolderDriverTest : public ::testing::Test, protected t_storage_exports {
 protected:
  void SetUp() override {
    const fs::path bin = test::driver_folder();
    ASSERT_FALSE(bin.empty()) << "KVCS_BIN names the folder of the built libraries";
    ASSERT_TRUE(load(test::library_file(bin, "kellar-fs")));
    root = temp / "store";
    fs::create_directory(root);
  }

  storage_handle open_root() { return connect(text(root).c_str()); }

  test::temp_folder temp;
  fs::path root;
};

TEST_F(FolderDriverTest, ConnectNeedsAnExistingEntry) {
  const auto file = temp.write("plain.txt", "x");
  struct row {
    const char* name;
    std::string link;
    bool connects;
  };
  const row rows[] = {{"folder", text(root), true},
                      {"regular file", text(file), true},
                      {"missing folder", text(temp / "missing"), false},
                      {"below a regular file", text(file / "sub"), false},
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
  EXPECT_EQ(file_exists(h, "files/ABC"), 0);
  EXPECT_EQ(upload(h, text(first).c_str(), "files/ABC"), 0);
  EXPECT_EQ(test::slurp(root / "files" / "ABC"), "one");
  EXPECT_EQ(upload(h, text(second).c_str(), "files/ABC"), 1);
  EXPECT_EQ(test::slurp(root / "files" / "ABC"), "one");
  EXPECT_EQ(file_exists(h, "files/ABC"), 1);
  EXPECT_EQ(file_exists(h, "files"), 1);  // a folder counts as present
  disconnect(h);
}

TEST_F(FolderDriverTest, DownloadCreatesFoldersOrNothing) {
  const storage_handle h = open_root();
  const auto stored = temp.write("store/projects/x/y/1.gz", "version");
  const fs::path target = temp / "out" / "deep" / "1.gz";
  EXPECT_EQ(download(h, "projects/x/y/1.gz", text(target).c_str()), 0);
  EXPECT_EQ(test::slurp(target), "version");

  const fs::path nowhere = temp / "none" / "2.gz";
  EXPECT_EQ(download(h, "projects/x/y/2.gz", text(nowhere).c_str()), 1);
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
  // Windows has no memory file system at a known place.
  if (!test::on_windows) {
    const fs::path far =
        fs::path("/dev/shm") / ("kvcs-driver-test-" + temp.path().filename().string());
    std::error_code ec;
    fs::create_directory(far, ec);
    fs::create_hard_link(stored, far / "probe", ec);
    if (ec) rows.push_back({"other file system", far, 1});  // no link reaches there
    fs::remove_all(far, ec);
  }
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    const fs::path target = r.folder / "blob";
    EXPECT_EQ(download(h, "files/blob", text(target).c_str()), 0);
    EXPECT_EQ(test::slurp(target), "stored bytes");
    EXPECT_EQ(link_count(target), r.links);
    fs::remove_all(r.folder);
    EXPECT_EQ(test::slurp(stored), "stored bytes");
  }
  disconnect(h);
}

// A storage on another file system gets copies, the same bytes a link would show, and goes on
// taking contents once the first link failed.
TEST_F(FolderDriverTest, ContentsForAnotherFileSystemAreCopied) {
  const fs::path far = folder_elsewhere(temp.path());
  if (far.empty()) GTEST_SKIP() << "no second file system to store into";
  const storage_handle h = connect(text(far).c_str());
  ASSERT_NE(h, 0u);
  for (const char* name : {"files/A/B/C/D/one", "files/A/B/C/E/two", "files/A/B/C/E/three"}) {
    SCOPED_TRACE(name);
    const std::string content = std::string(70000, 'c') + name;
    const fs::path local =
        temp.write(std::string("packed-") + (std::strrchr(name, '/') + 1), content);
    EXPECT_EQ(upload(h, text(local).c_str(), name), 0);
    EXPECT_EQ(link_count(local), 1u);
    fs::remove(local);
    EXPECT_EQ(test::slurp(far / name), content);
    EXPECT_EQ(partials(far / fs::path(name).parent_path()), std::vector<std::string>{});
  }
  disconnect(h);
  fs::remove_all(far);
}

TEST_F(FolderDriverTest, UnknownHandlesGiveFailure) {
  const auto local = temp.write("local", "x");
  const storage_handle h = open_root();
  disconnect(h);
  for (const storage_handle bad : {storage_handle{0}, h, storage_handle{42}}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(file_exists(bad, "a"), 99);
    EXPECT_EQ(upload(bad, text(local).c_str(), "a"), 99);
    EXPECT_EQ(download(bad, "a", text(temp / "b").c_str()), 99);
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
  struct row {
    const char* name;
    std::function<void()> call;
    const char* operation;
  };
  std::vector<row> rows = {
      {"local file missing", [&] { upload(h, text(temp / "nope").c_str(), "n"); }, "copy_file"},
      {"local target present", [&] { download(h, "stored", text(existing).c_str()); }, "copy_file"},
      {"folder cannot be made", [&] { upload(h, text(local).c_str(), "blocker/sub/f"); },
       "create_directories"},
  };
  // A link to itself: a status query that fails, but not as "not found".
  std::error_code ec;
  const bool links =
      test::can_make_links() && platform::create_file_link("loop", root / "loop", ec);
  if (links) {
    rows.push_back({"status of a link loop", [&] { file_exists(h, "loop"); }, "exists"});
    rows.push_back(
        {"upload onto a link loop", [&] { upload(h, text(local).c_str(), "loop"); }, "exists"});
  }
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
  if (!links) GTEST_SKIP() << test::no_links << ": no link loop tried";
}

TEST_F(FolderDriverTest, NamesKeepTheirBytes) {
  // Non-ASCII names, and a native name that is not valid UTF-8, travel as kvcs sends them.
  const bool invalid = test::keeps_invalid_names();
  const std::string odd = std::string("caf\xc3\xa9-") + (invalid ? "\xff" : "") + ".bin";
  const auto local = temp.write(odd, "bytes");
  const storage_handle h = open_root();
  const std::string remote = "files/\xc3\xa9t\xc3\xa9";
  // kvcs sends the escaped byte 0xFF as the UTF-8 form of U+DCFF.
  const std::string sent = std::string("caf\xc3\xa9-") + (invalid ? "\xed\xb3\xbf" : "") + ".bin";
  EXPECT_EQ(upload(h, (text(temp.path()) + "/" + sent).c_str(), remote.c_str()), 0);
  EXPECT_EQ(test::slurp(temp / ("store/" + remote)), "bytes");
  disconnect(h);
  if (!invalid) GTEST_SKIP() << test::no_invalid_names << ": sent a name that is text";
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

// Placing a stored file. These also run with the placement seam preloaded (see CMakeLists.txt),
// which refuses hard links as FAT and SMB shares do, and renameat2 too, so that every way of
// placing meets the same checks.
using FolderDriverPlacement = FolderDriverTest;

// Two machines saving one version at the same moment: one of them stores it, whole; every other
// one is told that the name is taken, and nothing is left beside it.
TEST_F(FolderDriverPlacement, ConcurrentUploadsOfOneNameStoreExactlyOne) {
  constexpr int uploaders = 6;
  std::vector<std::string> contents;
  std::vector<fs::path> locals;
  for (int i = 0; i < uploaders; ++i) {
    contents.push_back(std::string(20000 + i * 1000, static_cast<char>('a' + i)));
    locals.push_back(temp.write("local/" + std::to_string(i), contents.back()));
  }
  for (const char* name : {"projects/o/p/2.gz", "files/A/B/C/D/blob7"}) {
    SCOPED_TRACE(name);
    std::vector<int> results(uploaders, -1);
    {
      std::vector<std::thread> threads;
      for (int i = 0; i < uploaders; ++i) {
        threads.emplace_back([&, i] {
          const storage_handle h = open_root();
          results[static_cast<std::size_t>(i)] = upload(h, text(locals[i]).c_str(), name);
          disconnect(h);
        });
      }
      for (std::thread& t : threads) t.join();
    }
    EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1);
    EXPECT_EQ(std::count(results.begin(), results.end(), 1), uploaders - 1);
    const auto winner = std::find(results.begin(), results.end(), 0) - results.begin();
    const fs::path stored = root / name;
    if (winner < uploaders) {
      EXPECT_EQ(test::slurp(stored), contents[static_cast<std::size_t>(winner)]);
    }
    EXPECT_EQ(partials(stored.parent_path()), std::vector<std::string>{});
  }
}

// A content arrives whole under its name: on the storage's file system as a further name of the
// packed file (nothing copied), where links are refused as a copy; the same bytes either way.
// The packed file may go afterwards, and a name that is there is never replaced.
TEST_F(FolderDriverPlacement, ContentIsLinkedWhereItCanBeAndCopiedWhereNot) {
  const std::string content = std::string(300000, 'z') + "end";
  const fs::path packed = temp.write("temp/00/00/01", content);
  const storage_handle h = open_root();
  const char* name = "files/Q/R/S/T/content";
  EXPECT_EQ(upload(h, text(packed).c_str(), name), 0);
  EXPECT_EQ(test::slurp(root / name), content);
  EXPECT_EQ(link_count(root / name), links_refused_here() ? 1u : 2u);
  fs::remove(packed);
  EXPECT_EQ(test::slurp(root / name), content);
  EXPECT_EQ(link_count(root / name), 1u);

  const fs::path other = temp.write("temp/00/00/02", "another content under the same name");
  EXPECT_EQ(upload(h, text(other).c_str(), name), 1);
  EXPECT_EQ(test::slurp(root / name), content);
  EXPECT_EQ(link_count(other), 1u);
  EXPECT_EQ(partials(root / "files" / "Q" / "R" / "S" / "T"), std::vector<std::string>{});
  disconnect(h);
}

// The folders a connection made are not made again for each content; one that another process
// removed meanwhile is made again, and the content is stored all the same.
TEST_F(FolderDriverPlacement, FoldersRemovedBehindTheConnectionAreMadeAgain) {
  const storage_handle h = open_root();
  const fs::path first = temp.write("local/1", "first");
  const fs::path second = temp.write("local/2", "second");
  const fs::path third = temp.write("local/3", "third");
  EXPECT_EQ(upload(h, text(first).c_str(), "files/A/B/C/D/first"), 0);
  fs::remove_all(root / "files");
  EXPECT_EQ(upload(h, text(second).c_str(), "files/A/B/C/D/second"), 0);
  EXPECT_EQ(test::slurp(root / "files/A/B/C/D/second"), "second");
  fs::remove_all(root / "files" / "A" / "B" / "C");
  EXPECT_EQ(upload(h, text(third).c_str(), "files/A/B/C/E/third"), 0);
  EXPECT_EQ(test::slurp(root / "files/A/B/C/E/third"), "third");
  disconnect(h);
}

// A cut upload leaves one temporary file; the next upload of that name clears what earlier ones
// left, and so does finding the name stored. Files that only look alike stay.
TEST_F(FolderDriverPlacement, LeftoversOfCutUploadsGoOnceTheNameIsStored) {
  const auto local = temp.write("local", "content");
  for (const char* left : {"store/files/ABC.partial-123", "store/files/ABC.partial-9876543210",
                           "store/files/ABD.partial-7", "store/files/ABC.partial-x",
                           "store/files/ABC.partial-", "store/projects/o/p/3.gz.partial-55"}) {
    temp.write(left, "cut");
  }
  const storage_handle h = open_root();
  EXPECT_EQ(upload(h, text(local).c_str(), "files/ABC"), 0);
  EXPECT_EQ(test::slurp(root / "files" / "ABC"), "content");
  EXPECT_EQ(partials(root / "files"),
            (std::vector<std::string>{"ABC.partial-", "ABC.partial-x", "ABD.partial-7"}));

  temp.write("store/files/ABC.partial-42", "cut again");
  EXPECT_EQ(upload(h, text(local).c_str(), "files/ABC"), 1);
  EXPECT_EQ(partials(root / "files"),
            (std::vector<std::string>{"ABC.partial-", "ABC.partial-x", "ABD.partial-7"}));

  // A leftover of a name never stored goes at the next upload of that name.
  EXPECT_EQ(upload(h, text(local).c_str(), "projects/o/p/3.gz"), 0);
  EXPECT_EQ(partials(root / "projects" / "o" / "p"), std::vector<std::string>{});
  disconnect(h);
}

// A download that cannot be a link is a copy, placed the same way: never over a local file.
TEST_F(FolderDriverPlacement, DownloadNeverWritesOverALocalFile) {
  const storage_handle h = open_root();
  temp.write("store/files/blob", "stored bytes");
  const fs::path target = temp / "out" / "blob";
  EXPECT_EQ(download(h, "files/blob", text(target).c_str()), 0);
  EXPECT_EQ(test::slurp(target), "stored bytes");
  EXPECT_THROW(download(h, "files/blob", text(target).c_str()), fs::filesystem_error);
  EXPECT_EQ(test::slurp(root / "files" / "blob"), "stored bytes");
  EXPECT_EQ(partials(target.parent_path()), std::vector<std::string>{});
  disconnect(h);
}

}  // namespace
}  // namespace kestrun
