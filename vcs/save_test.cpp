// Backups and restores through the real folder driver: what lands in the storage (read back by a
// decoder of its own), what comes back into a folder, and how each failure ends the save.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "common/notify/event.h"
#include "platform/platform.h"
#include "tests/support/gzip.h"
#include "tests/support/host_shell.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"
#include "vcs/project.h"
#include "vcs/state.h"
#include "vcs/state_item.h"
#include "vcs/storage.h"
#include "vcs/storage_driver.h"
#include "vcs/transform.h"

namespace kestrun::vcs {
namespace {

namespace fs = std::filesystem;

struct t_recorded {
  std::string name;
  std::uint32_t level;
  std::string text;
  bool progress;
};

// Called for every event before it is recorded; a test sets it to act at a chosen moment of a
// save (it must not fire events itself).
std::function<void(const t_recorded&)>& hook() {
  static std::function<void(const t_recorded&)> callback;
  return callback;
}

std::vector<t_recorded>& recorded() {
  static std::vector<t_recorded> events;
  static const bool subscribed = [] {
    notify::on();
    notify::subscribe("kestrun::vcs::.*", [](const notify::event* e) {
      t_recorded r{e->name, e->level, e->data ? e->data->to_string() : std::string(),
                   e->type == notify::event::t_type::progress};
      if (hook()) hook()(r);
      events.push_back(r);
      return true;
    });
    return true;
  }();
  (void)subscribed;
  return events;
}

std::vector<t_recorded> named(const std::string& name, bool progress = false) {
  std::vector<t_recorded> out;
  for (const auto& e : recorded()) {
    if (e.name == name && e.progress == progress) out.push_back(e);
  }
  return out;
}

// The verdict of the last save: level and text of its final event.
std::pair<std::uint32_t, std::string> verdict() {
  const auto saves = named("kestrun::vcs::save");
  if (saves.empty()) return {99, "no save event"};
  return {saves.back().level, saves.back().text};
}

// zlib's reading of a stored file, independent of the engine's.
std::string gunzip(const std::string& data) { return test::zlib_gunzip(data); }

// A version file decoded from its bytes alone.
struct t_command {
  char type;
  std::string path;
  char item = 0;
  std::uint64_t size = 0;
  std::int64_t time = 0;
  std::string identity;
  std::string target;
};

struct t_version {
  std::string magic;
  std::uint64_t time = 0;
  std::vector<t_command> commands;
};

t_version decode_version(const fs::path& file) {
  const std::string bytes = gunzip(test::slurp(file));
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    EXPECT_LE(at + n, bytes.size());
    std::string piece = bytes.substr(at, n);
    at += n;
    return piece;
  };
  auto number = [&](std::size_t n) {
    const std::string piece = take(n);
    std::uint64_t value = 0;
    for (std::size_t i = piece.size(); i-- > 0;) value = (value << 8) | std::uint8_t(piece[i]);
    return value;
  };
  auto text = [&] {
    const std::size_t end = bytes.find('\0', at);
    EXPECT_NE(end, std::string::npos);
    std::string piece = bytes.substr(at, end - at);
    at = end + 1;
    return piece;
  };
  t_version version;
  version.magic = take(4);
  version.time = number(8);
  const std::uint64_t count = number(4);
  for (std::uint64_t i = 0; i < count && at < bytes.size(); ++i) {
    t_command c;
    c.type = take(1)[0];
    c.path = text();
    if (c.type == 'A') {
      c.item = take(1)[0];
      if (c.item == 'F') {
        c.size = number(8);
        c.time = static_cast<std::int64_t>(number(8));
        c.identity = take(36);
      } else if (c.item == 'L') {
        c.target = text();
      }
    }
    version.commands.push_back(c);
  }
  EXPECT_EQ(version.commands.size(), count);
  EXPECT_EQ(at, bytes.size());
  return version;
}

// Where the storage keeps a content: base 32 of the identity, least significant bits first, in
// an alphabet whose values 0 and 10 are both '0', with a '/' after each of the first four
// characters, then the decimal size.
std::string blob_name(const std::string& identity, std::uint64_t size) {
  static const char alphabet[] = "01234567890ABCDEFGHXJKYMNWPQRSTUV";
  std::string text;
  std::uint32_t acc = 0;
  int bits = 0;
  for (unsigned char byte : identity) {
    acc |= std::uint32_t{byte} << bits;
    bits += 8;
    while (bits >= 5) {
      text += alphabet[acc & 31];
      if (text.size() <= 7 && text.size() % 2 == 1) text += '/';
      acc >>= 5;
      bits -= 5;
    }
  }
  if (bits > 0) text += alphabet[acc & 31];
  return "files/" + text + std::to_string(size);
}

// What a folder holds, for comparing two trees: type, bytes or link target, modification time.
struct t_entry {
  char type;
  std::string content;
  std::int64_t time;
  bool operator==(const t_entry&) const = default;
};

bool is_link(const fs::path& path) {
  platform::t_entry_info info;
  std::error_code ec;
  return platform::entry_info(path, info, ec) &&
         platform::is_link_entry(info.attributes, info.reparse_tag);
}

// The target a link stores; empty when `link` is none.
fs::path link_target(const fs::path& link) {
  std::wstring target;
  std::error_code ec;
  return platform::read_link(link, target, ec) ? platform::path_from_wide(target) : fs::path();
}

std::map<std::string, t_entry> tree_of(const fs::path& root) {
  std::map<std::string, t_entry> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path rel = it->path().lexically_relative(root);
    if (*rel.begin() == ".k-vcs") {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    platform::t_entry_info info;
    std::error_code ec;
    platform::entry_info(it->path(), info, ec);
    const std::string name = platform::narrow_from_path(rel);
    if (platform::is_link_entry(info.attributes, info.reparse_tag)) {
      it.disable_recursion_pending();
      out[name] = {'L',
                   platform::narrow_from_path(link_target(it->path()).lexically_relative(root)), 0};
    } else if (it->is_directory()) {
      out[name] = {'D', "", 0};
    } else {
      out[name] = {'F', test::slurp(it->path()), info.write_time};
    }
  }
  return out;
}

void set_time(const fs::path& path, std::int64_t seconds) {
  std::error_code ec;
  ASSERT_TRUE(platform::set_modification_time(path, seconds, ec)) << path;
}

std::string text_bytes(std::size_t size, const std::string& seed) {
  std::string out;
  while (out.size() < size) out += seed + " line " + std::to_string(out.size()) + "\n";
  out.resize(size);
  return out;
}

// Makes an entry unchangeable for the test's duration, where the system allows it: the host's
// immutable flag (root ignores permissions, but not this flag), which a Windows program under
// Wine sets through the host's shell. A file there gets the read-only attribute instead, as on
// Windows: Wine reports the removal of an immutable file done and leaves it.
class immutable {
 public:
  explicit immutable(fs::path path)
      : path_(std::move(path)), read_only_(test::on_windows && !fs::is_directory(path_)) {
    if (read_only_) {
      std::error_code ec;
      fs::permissions(path_, write_bits, fs::perm_options::remove, ec);
      ok_ = !ec;
    } else {
      const std::string host = test::host_path(path_);
      ok_ = !host.empty() &&
            test::host_shell("chattr +i " + test::shell_quoted(host) + " 2>/dev/null");
    }
  }
  ~immutable() { release(); }
  void release() {
    if (ok_ && read_only_) {
      fs::permissions(path_, write_bits, fs::perm_options::add);
    } else if (ok_) {
      test::host_shell("chattr -i " + test::shell_quoted(test::host_path(path_)));
    }
    ok_ = false;
  }
  bool ok() const { return ok_; }
  // Why it is not: printed by a test that skips for want of it.
  static constexpr const char* reason = "chattr is not available on this file system";

 private:
  static constexpr fs::perms write_bits =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::path path_;
  bool read_only_;
  bool ok_ = false;
};

class SaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin = test::driver_folder();
    if (bin.empty()) bin = platform::program_path().parent_path().parent_path() / "bin";
    ASSERT_TRUE(fs::exists(test::library_file(bin, "kellar-fs")))
        << "build kellar-fs first: " << bin;
    store = base.path() / "store";
    fs::create_directories(store);
    work = open("work");
    recorded().clear();
    hook() = nullptr;
  }
  void TearDown() override { hook() = nullptr; }

  std::shared_ptr<project> open(const std::string& folder) {
    base.write(folder + "/kestrun-vcs.json", R"({"name": "test/save"})");
    set_time(base.path() / folder / "kestrun-vcs.json", 1500000000);
    std::wstring sub_path;
    auto proj = project::open(platform::wide_from_path(base.path() / folder), sub_path);
    EXPECT_TRUE(proj);
    return proj;
  }

  std::shared_ptr<storage_driver> driver(project& proj, std::uint8_t local) {
    return std::make_shared<storage_driver>(platform::wide_from_path(store), local, &proj,
                                            &proj.temp, bin);
  }

  // The transform a run would save, bound to the driver library of this build.
  std::shared_ptr<transform> backup_transform(project& proj, const std::wstring& sub = L"") {
    auto current = proj.state(sub);
    storage st(driver(proj, 0));
    auto stored = st.state(sub, -1);
    if (!stored) return nullptr;
    auto diff = current->diff(stored);
    return std::make_shared<transform>(driver(proj, 0), diff->nn(), diff->commands());
  }
  // `n` as the command line gives it: 1 and above a version, 0 the latest, -k the k-th before.
  std::shared_ptr<transform> restore_transform(project& proj, std::int32_t n,
                                               const std::wstring& sub = L"") {
    storage st(driver(proj, 0));
    auto stored = st.state(sub, n >= 1 ? n : n + st.last_nn());
    if (!stored) return nullptr;
    auto diff = stored->diff(proj.state(sub));
    return std::make_shared<transform>(driver(proj, 1), diff->nn(), diff->commands());
  }
  bool backup(project& proj, const std::wstring& sub = L"") {
    auto t = backup_transform(proj, sub);
    return t && t->save();
  }
  bool restore(project& proj, std::int32_t n, const std::wstring& sub = L"") {
    auto t = restore_transform(proj, n, sub);
    return t && t->save();
  }

  fs::path root(const project& proj) const { return proj.root(); }
  fs::path version_file(std::uint32_t nn) const {
    return store / "projects" / "test" / "save" / (std::to_string(nn) + ".gz");
  }
  std::set<std::string> blobs() const {
    std::set<std::string> out;
    if (!fs::exists(store / "files")) return out;
    for (const auto& e : fs::recursive_directory_iterator(store / "files")) {
      if (e.is_regular_file()) out.insert(fs::relative(e.path(), store).generic_string());
    }
    return out;
  }
  fs::path write(const project& proj, const std::string& name, const std::string& content,
                 std::int64_t time = 1600000000) {
    const fs::path path = root(proj) / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    set_time(path, time);
    return path;
  }

  test::temp_folder base;
  fs::path bin;
  fs::path store;
  std::shared_ptr<project> work;
};

TEST_F(SaveTest, BackupStoresWhatTheFormatSays) {
  const std::string shared = text_bytes(20000, "same");
  write(*work, "src/main.cpp", text_bytes(30000, "main"), 1600000001);
  write(*work, "src/copy.cpp", shared, 1600000002);
  write(*work, "docs/twin.txt", shared, 1600000003);
  write(*work, "empty.txt", "", 1600000004);
  write(*work, "photo.jpg", text_bytes(5000, "jpg"), 1600000005);
  const bool links = test::make_link(root(*work) / "src", root(*work) / "lnk");
  int uploads_before_version = 0;  // the version file is stored after every blob
  hook() = [&](const t_recorded& e) {
    if (e.name == "kestrun::vcs::file::upload" && !e.progress && !fs::exists(version_file(1))) {
      ++uploads_before_version;
    }
  };

  ASSERT_TRUE(backup(*work));
  hook() = nullptr;
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("1")));

  const t_version version = decode_version(version_file(1));
  EXPECT_EQ(version.magic, "KVCS");
  std::vector<std::string> order;
  for (const auto& c : version.commands) order.push_back(std::string(1, c.type) + c.path);
  std::vector<std::string> expected{
      "Adocs",      "Adocs/twin.txt", "Aempty.txt",    "Akestrun-vcs.json",
      "Aphoto.jpg", "Asrc",           "Asrc/copy.cpp", "Asrc/main.cpp"};
  if (links) expected.insert(expected.begin() + 4, "Alnk");
  EXPECT_EQ(order, expected);
  std::set<std::string> named_blobs;
  for (const auto& c : version.commands) {
    SCOPED_TRACE(c.path);
    if (c.item == 'L') {
      EXPECT_EQ(c.target, "src");
    }
    if (c.item != 'F') continue;
    const std::string content = test::slurp(root(*work) / c.path);
    EXPECT_EQ(c.size, content.size());
    platform::t_entry_info info;
    std::error_code ec;
    ASSERT_TRUE(platform::entry_info(root(*work) / c.path, info, ec));
    EXPECT_EQ(c.time, info.write_time);
    const std::string name = blob_name(c.identity, c.size);
    named_blobs.insert(name);
    const std::string blob = test::slurp(store / name);
    ASSERT_FALSE(blob.empty());
    if (c.path == "photo.jpg" || c.path == "empty.txt") {
      EXPECT_EQ(blob[0], 0);
    } else if (c.path == "src/main.cpp") {
      EXPECT_EQ(blob[0], 1);
    }
    EXPECT_EQ(blob[0] == 0 ? blob.substr(1) : gunzip(blob.substr(1)), content);
  }
  EXPECT_EQ(blobs(), named_blobs);  // the shared content is stored once
  EXPECT_EQ(named_blobs.size(), 5u);
  EXPECT_EQ(named("kestrun::vcs::file::upload").size(), 5u);
  EXPECT_EQ(named("kestrun::vcs::file::upload", true).back().text, "100.0000");
  EXPECT_EQ(named("kestrun::vcs::command::write", true).size(), expected.size());
  EXPECT_EQ(named("kestrun::vcs::file::upload")[0].text, "20000 docs/twin.txt");
  EXPECT_EQ(uploads_before_version, 5);
  if (!links) GTEST_SKIP() << test::no_links << ": stored without its link";
}

// Each content goes up soon after it is packed and its packed file goes once it is stored: at
// no moment does the temporary folder hold more than the version file and one packed content.
TEST_F(SaveTest, BackupHoldsOnePackedContentAtATime) {
  const std::string shared = text_bytes(9000, "twin");
  write(*work, "a.txt", text_bytes(12000, "a"));
  write(*work, "b/c.txt", shared);
  write(*work, "b/d.txt", shared);
  write(*work, "e.bin", text_bytes(9u << 20, "streamed"));  // beyond what is packed in memory
  write(*work, "f.zip", text_bytes(3000, "raw"));
  const fs::path temp = work->temp.path();
  auto files_in_temp = [&temp] {
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(temp)) {
      if (entry.is_regular_file()) ++count;
    }
    return count;
  };
  std::size_t most = 0;
  std::vector<std::size_t> at_upload;
  hook() = [&](const t_recorded& e) {
    const std::size_t count = files_in_temp();
    most = std::max(most, count);
    if (e.name == "kestrun::vcs::file::upload" && !e.progress) at_upload.push_back(count);
  };
  ASSERT_TRUE(backup(*work));
  hook() = nullptr;
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("1")));
  EXPECT_EQ(most, 2u);  // the version file beside one packed content
  // a.txt, b/c.txt, e.bin, f.zip and the project file; b/d.txt finds its twin stored.
  EXPECT_EQ(at_upload, std::vector<std::size_t>(5, 2));
  EXPECT_EQ(blobs().size(), 5u);
  EXPECT_EQ(named("kestrun::vcs::file::pack").size(), 6u);
  EXPECT_EQ(files_in_temp(), 0u);  // the version file went into the cache
}

TEST_F(SaveTest, UnchangedFolderSavesNothing) {
  write(*work, "a.txt", "alpha");
  ASSERT_TRUE(backup(*work));
  recorded().clear();
  ASSERT_TRUE(backup(*work));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("commands empty")));
  ASSERT_EQ(named("kestrun::vcs::save::count").size(), 1u);
  EXPECT_EQ(named("kestrun::vcs::save::count")[0].text, "0");
  EXPECT_FALSE(fs::exists(version_file(2)));
  for (const auto& e : recorded()) EXPECT_NE(e.name, "kestrun::vcs::file::upload");
}

TEST_F(SaveTest, IncrementalBackupUploadsOnlyNewContents) {
  write(*work, "keep.txt", "keep");
  write(*work, "gone.txt", "gone");
  write(*work, "change.txt", "before");
  ASSERT_TRUE(backup(*work));
  const auto first = blobs();
  fs::remove(root(*work) / "gone.txt");
  write(*work, "change.txt", "after!", 1600000500);
  write(*work, "new.txt", "keep", 1600000600);  // a content the storage holds already
  recorded().clear();
  ASSERT_TRUE(backup(*work));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("2")));
  EXPECT_EQ(blobs().size(), first.size() + 1);
  EXPECT_EQ(named("kestrun::vcs::file::upload").size(), 1u);
  std::vector<std::string> order;
  for (const auto& c : decode_version(version_file(2)).commands) {
    order.push_back(std::string(1, c.type) + c.path);
  }
  EXPECT_EQ(order,
            (std::vector<std::string>{"Rgone.txt", "Rchange.txt", "Achange.txt", "Anew.txt"}));

  // Removals only: no blob step, the version still stored.
  fs::remove(root(*work) / "new.txt");
  recorded().clear();
  ASSERT_TRUE(backup(*work));
  EXPECT_EQ(decode_version(version_file(3)).commands.size(), 1u);
  EXPECT_TRUE(named("kestrun::vcs::file::pack").empty());
}

TEST_F(SaveTest, VersionNumberTakenMeanwhileIsRefused) {
  write(*work, "a.txt", "alpha");
  auto late = backup_transform(*work);
  ASSERT_TRUE(backup(*work));  // another run stores version 1 first
  const auto before = blobs();
  recorded().clear();
  EXPECT_FALSE(late->save());
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("1")));
  EXPECT_TRUE(named("kestrun::vcs::command::write", true).empty());  // nothing written
  EXPECT_EQ(blobs(), before);
  EXPECT_FALSE(fs::exists(version_file(2)));
}

// A version file that appears while the blobs go up is never replaced, and the next backup
// stores the same number again without uploading the blobs twice.
TEST_F(SaveTest, VersionFileAlreadyPresentFailsTheSave) {
  write(*work, "a.txt", "alpha");
  write(*work, "b.txt", "beta");
  hook() = [this](const t_recorded& e) {
    if (e.name == "kestrun::vcs::file::upload" && e.progress && e.text == "100.0000") {
      fs::create_directories(version_file(1).parent_path());
      std::ofstream(version_file(1)) << "another run's";
    }
  };
  EXPECT_FALSE(backup(*work));
  hook() = nullptr;
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("1")));
  EXPECT_EQ(test::slurp(version_file(1)), "another run's");
  EXPECT_EQ(blobs().size(), 3u);

  fs::remove(version_file(1));
  recorded().clear();
  ASSERT_TRUE(backup(*work));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("1")));
  // The blobs were found present while the version file was written: no blob step at all.
  EXPECT_TRUE(named("kestrun::vcs::file::upload").empty());
  EXPECT_TRUE(named("kestrun::vcs::file::pack").empty());
  EXPECT_TRUE(fs::exists(version_file(1)));
}

// The file changes after the version file recorded its identity, while it waits to be packed.
TEST_F(SaveTest, FileChangedWhilePackedStoresNoVersion) {
  write(*work, "a.txt", text_bytes(5000, "a"));
  write(*work, "b.txt", text_bytes(5000, "b"));
  const fs::path victim = root(*work) / "b.txt";
  hook() = [victim](const t_recorded& e) {
    if (e.name == "kestrun::vcs::command::write" && e.text == "100.0000") {
      std::ofstream(victim, std::ios::binary) << text_bytes(5000, "B");
    }
  };
  EXPECT_FALSE(backup(*work));
  hook() = nullptr;
  const auto packs = named("kestrun::vcs::file::pack");
  ASSERT_FALSE(packs.empty());
  EXPECT_EQ(packs.back().level, 2u);
  EXPECT_EQ(packs.back().text, "b.txt file packing error");
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("1")));
  // The uploads stop at b.txt: what went up before it belongs to no version.
  for (const auto& upload : named("kestrun::vcs::file::upload")) {
    EXPECT_EQ(upload.text.find("b.txt"), std::string::npos);
  }
  EXPECT_EQ(blobs().size(), 1u);
  EXPECT_FALSE(fs::exists(version_file(1)));

  recorded().clear();
  EXPECT_TRUE(backup(*work));  // the next backup stores the new content
}

// The storage refuses new files midway (an immutable folder): blobs stored so far stay, no
// version file names them, and the next backup completes without uploading them again.
TEST_F(SaveTest, StorageRefusingWritesLeavesNoVersion) {
  write(*work, "a.txt", "alpha");
  write(*work, "b.txt", "beta");
  fs::create_directories(version_file(1).parent_path());
  immutable frozen(version_file(1).parent_path());
  if (!frozen.ok()) GTEST_SKIP() << immutable::reason;
  // On Windows the exception belongs to the driver library's own runtime: the library must
  // outlive it, though the binding that loaded it is destroyed on the way up.
  EXPECT_THROW((void)backup(*work), fs::filesystem_error);  // the folder driver's "copy_file"
  EXPECT_FALSE(fs::exists(version_file(1)));
  EXPECT_EQ(blobs().size(), 3u);
  frozen.release();
  recorded().clear();
  ASSERT_TRUE(backup(*work));
  EXPECT_EQ(named("kestrun::vcs::file::upload").size(), 0u);
  EXPECT_TRUE(fs::exists(version_file(1)));
}

TEST_F(SaveTest, UnreachableStorageFailsTheSave) {
  write(*work, "a.txt", "alpha");
  auto t = backup_transform(*work);
  fs::remove_all(store);
  EXPECT_FALSE(t->save());
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("1")));
}

// What a backup stored is the storage's own: the version file enters the cache as it was
// uploaded, over a stale one of the same number (the storage was emptied meanwhile).
TEST_F(SaveTest, StoredVersionFileEntersTheCache) {
  write(*work, "a.txt", "alpha");
  const fs::path cached = driver(*work, 0)->local_path(1);
  fs::create_directories(cached.parent_path());
  std::ofstream(cached, std::ios::binary) << "an older storage's version 1";
  auto t = std::make_shared<transform>(
      driver(*work, 0), 1,
      work->state(L"")
          ->diff(std::make_shared<state>(driver(*work, 0), 0, state_items()))
          ->commands());
  ASSERT_TRUE(t->save());
  EXPECT_EQ(test::slurp(cached), test::slurp(version_file(1)));
}

// A count that could not ask the storage (its connection turned away, as by a server full of
// users) never passes for an empty storage: nothing is written, and never a version 0.
TEST_F(SaveTest, VersionZeroIsNeverWritten) {
  write(*work, "a.txt", "alpha");
  const fs::path journal = base.path() / "journal";
  auto refusing = std::make_shared<storage_driver>(
      L"fake://" + platform::wide_from_path(journal) + L"|refuse=1", 0, work.get(), &work->temp,
      bin);
  auto t = std::make_shared<transform>(
      refusing, 0,
      work->state(L"")->diff(std::make_shared<state>(refusing, -1, state_items()))->commands());
  EXPECT_FALSE(t->save());
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("0")));
  // The driver was asked for nothing but the connection it turned away.
  std::ifstream in(journal);
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) calls.push_back(line.substr(0, line.find(' ')));
  EXPECT_EQ(calls, std::vector<std::string>{"connect"});
}

TEST_F(SaveTest, RestoreIntoEmptyFolderReproducesTheTree) {
  write(*work, "src/main.cpp", text_bytes(30000, "main"), 1600000001);
  write(*work, "src/twin.cpp", text_bytes(30000, "main"), 1600000002);
  write(*work, "empty.txt", "", 1600000003);
  write(*work, "noise.png", text_bytes(3000, "png"), 1600000004);
  write(*work, "\xc3\xa9t\xc3\xa9/\xf0\x9f\x98\x80 back\\slash.txt", "unicode", 1600000005);
  fs::create_directories(root(*work) / "empty-dir");
  const bool links = test::make_link(root(*work) / "src", root(*work) / "src-link") &&
                     test::make_link(root(*work) / "src/main.cpp", root(*work) / "main-link");
  ASSERT_TRUE(backup(*work));

  auto copy = open("copy");
  recorded().clear();
  ASSERT_TRUE(restore(*copy, 0));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("local")));
  EXPECT_EQ(tree_of(root(*copy)), tree_of(root(*work)));
  EXPECT_EQ(named("kestrun::vcs::file::download").size(), 5u);  // the project file is there
  EXPECT_EQ(named("kestrun::vcs::file::download")[0].text, "0 empty.txt");
  if (!links) GTEST_SKIP() << test::no_links << ": restored without links";
  EXPECT_EQ(named("kestrun::vcs::link::create", true).back().text, "100.0000");
  EXPECT_TRUE(is_link(root(*copy) / "src-link"));
  EXPECT_EQ(link_target(root(*copy) / "src-link"), root(*copy) / "src");
}

TEST_F(SaveTest, RestoreOlderVersionUndoesLaterChanges) {
  write(*work, "a/x.txt", "x1");
  write(*work, "f", "a file");
  ASSERT_TRUE(backup(*work));
  const auto first = tree_of(root(*work));
  fs::remove(root(*work) / "f");
  write(*work, "f/inner.txt", "now a folder");
  write(*work, "a/x.txt", "x2", 1600009999);
  write(*work, "b/y/z.txt", "new");
  ASSERT_TRUE(backup(*work));

  recorded().clear();
  ASSERT_TRUE(restore(*work, 1));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("local")));
  EXPECT_EQ(tree_of(root(*work)), first);
  ASSERT_TRUE(restore(*work, 2));
  EXPECT_EQ(test::slurp(root(*work) / "f/inner.txt"), "now a folder");
}

TEST_F(SaveTest, RestoreOfSubfolderTouchesNothingElse) {
  write(*work, "src/a.txt", "a");
  write(*work, "other/b.txt", "b");
  ASSERT_TRUE(backup(*work));
  fs::remove_all(root(*work) / "src");
  fs::create_directory(root(*work) / "src");
  fs::remove(root(*work) / "other/b.txt");
  ASSERT_TRUE(restore(*work, 0, L"src"));
  EXPECT_EQ(test::slurp(root(*work) / "src/a.txt"), "a");
  EXPECT_FALSE(fs::exists(root(*work) / "other/b.txt"));
}

// A version backed up from a subfolder has no item for that subfolder itself; a whole restore
// into an empty folder still rebuilds it.
TEST_F(SaveTest, RestoreMakesFoldersAVersionDoesNotName) {
  write(*work, "part/inner/deep.txt", "deep");
  write(*work, "part/top.txt", "top");
  ASSERT_TRUE(backup(*work, L"part"));

  auto copy = open("copy");
  ASSERT_TRUE(restore(*copy, 0));
  EXPECT_EQ(test::slurp(root(*copy) / "part/inner/deep.txt"), "deep");
  EXPECT_EQ(test::slurp(root(*copy) / "part/top.txt"), "top");
}

// The one warning of `event` (its other events are not warnings), which names `entry` and gives a
// reason.
void expect_warning(const char* event, const std::string& entry) {
  auto warnings = named(event);
  std::erase_if(warnings, [](const auto& e) { return e.level == 0; });
  ASSERT_EQ(warnings.size(), 1u) << event;
  EXPECT_EQ(warnings[0].level, 1u);
  EXPECT_EQ(warnings[0].text.rfind(entry + ": ", 0), 0u) << warnings[0].text;
  EXPECT_GT(warnings[0].text.size(), entry.size() + 2) << "no reason given";
}

// An ignored file keeps its folder from being removed: the folder stays with it, the rest of the
// version is restored, and the verdict says the folder is not the version.
TEST_F(SaveTest, IgnoredFilesKeepTheirFolder) {
  write(*work, ".gitignore", "*.log\n");
  write(*work, "a.txt", "a");
  ASSERT_TRUE(backup(*work));
  write(*work, "logs/run.log", "ignored");
  write(*work, "z.txt", "later");
  fs::remove(root(*work) / "a.txt");
  recorded().clear();
  EXPECT_FALSE(restore(*work, 1));
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
  EXPECT_TRUE(fs::exists(root(*work) / "logs/run.log"));
  EXPECT_FALSE(fs::exists(root(*work) / "z.txt"));
  EXPECT_EQ(test::slurp(root(*work) / "a.txt"), "a");
  expect_warning("kestrun::vcs::file::remove", platform::narrow_from_path(root(*work) / "logs"));
}

// Something the scan did not see (an ignored file) where the version has a folder: it stays, the
// folder and what it holds cannot be made and are named, the rest is restored.
TEST_F(SaveTest, FileBlockingAFolderIsWarnedAbout) {
  write(*work, "d/inner.txt", "inner");
  write(*work, "e.txt", "e");
  ASSERT_TRUE(backup(*work));
  fs::remove_all(root(*work) / "d");
  fs::remove(root(*work) / "e.txt");
  write(*work, ".gitignore", "d\n");
  write(*work, "d", "blocking file");
  recorded().clear();
  EXPECT_FALSE(restore(*work, 1));
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
  EXPECT_EQ(test::slurp(root(*work) / "d"), "blocking file");
  EXPECT_EQ(test::slurp(root(*work) / "e.txt"), "e");
  expect_warning("kestrun::vcs::folder::create", "d");
  expect_warning("kestrun::vcs::file::write::open", "d/inner.txt");
}

// A folder that already stands (made behind the scan's back, or hidden from it) is the folder the
// version holds.
TEST_F(SaveTest, FolderAlreadyThereSatisfiesItsAdd) {
  write(*work, "d/inner.txt", "inner");
  ASSERT_TRUE(backup(*work));
  fs::remove_all(root(*work) / "d");
  auto t = restore_transform(*work, 1);
  fs::create_directories(root(*work) / "d");
  recorded().clear();
  EXPECT_TRUE(t->save());
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("local")));
  EXPECT_EQ(test::slurp(root(*work) / "d/inner.txt"), "inner");
}

// A content the storage lacks spoils its own file only: that file keeps its local content, local
// edits included, with a warning naming it; everything else is restored.
TEST_F(SaveTest, MissingContentLeavesItsFileAndRestoresTheRest) {
  write(*work, "a.txt", "alpha");
  write(*work, "b.txt", "beta");
  const bool links = test::make_link(root(*work) / "b.txt", root(*work) / "lnk");
  ASSERT_TRUE(backup(*work));
  auto copy = open("copy");
  write(*copy, "a.txt", "local edit, not backed up", 1600000777);
  write(*copy, "extra.txt", "not in the version");
  auto t = restore_transform(*copy, 0);
  ASSERT_TRUE(t);
  for (const auto& name : blobs()) {
    if (test::slurp(store / name).size() == 6) fs::remove(store / name);  // "alpha", raw
  }
  ASSERT_EQ(blobs().size(), 2u);  // beta and the project file
  recorded().clear();
  EXPECT_FALSE(t->save());
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
  expect_warning("kestrun::vcs::file::download", "a.txt");
  EXPECT_EQ(test::slurp(root(*copy) / "a.txt"), "local edit, not backed up");
  EXPECT_EQ(test::slurp(root(*copy) / "b.txt"), "beta");
  EXPECT_FALSE(fs::exists(root(*copy) / "extra.txt"));
  EXPECT_EQ(test::slurp(root(*copy) / "kestrun-vcs.json"), R"({"name": "test/save"})");
  if (!links) GTEST_SKIP() << test::no_links << ": restored without a link";
  EXPECT_TRUE(is_link(root(*copy) / "lnk"));
}

// A storage that answers the restore's test and is gone when the contents are fetched: the
// folder stays exactly as it was. Gone after the first content: what was fetched is restored,
// the rest stays as it was, each named.
TEST_F(SaveTest, StorageGoneWhileFetchingLosesNothing) {
  write(*work, "a.txt", "alpha");
  write(*work, "b.txt", "beta");
  write(*work, "c.txt", "gamma");
  ASSERT_TRUE(backup(*work));
  struct row {
    const char* label;
    const char* moment;  // the event after which the storage goes away
    bool first_restored;
  };
  const row rows[] = {{"before the contents", "kestrun::vcs::storage_driver.disconnect", false},
                      {"after one content", "kestrun::vcs::file::download", true}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) write(*work, name, "edit", 1600000888);
    write(*work, "extra.txt", "extra");
    const auto before = tree_of(root(*work));
    auto t = restore_transform(*work, 1);
    ASSERT_TRUE(t);
    recorded().clear();
    const fs::path moved = base.path() / "moved";
    hook() = [&](const t_recorded& e) {
      if (e.name == r.moment && !e.progress && !fs::exists(moved)) fs::rename(store, moved);
    };
    EXPECT_FALSE(t->save());
    hook() = nullptr;
    fs::rename(moved, store);
    EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
    if (!r.first_restored) {
      EXPECT_EQ(tree_of(root(*work)), before);
      continue;
    }
    EXPECT_EQ(test::slurp(root(*work) / "a.txt"), "alpha");
    EXPECT_EQ(test::slurp(root(*work) / "b.txt"), "edit");
    EXPECT_EQ(test::slurp(root(*work) / "c.txt"), "edit");
    EXPECT_FALSE(fs::exists(root(*work) / "extra.txt"));
    EXPECT_EQ(named("kestrun::vcs::file::download").size(), 3u);
  }
}

TEST_F(SaveTest, UnreachableStorageChangesNothing) {
  write(*work, "a.txt", "alpha");
  ASSERT_TRUE(backup(*work));
  write(*work, "extra.txt", "extra");
  auto t = restore_transform(*work, 1);
  fs::rename(store, base.path() / "moved");
  EXPECT_FALSE(t->save());
  EXPECT_TRUE(fs::exists(root(*work) / "extra.txt"));
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
}

// Versions backed up from a subfolder name neither that folder nor the root's files: a restore of
// the root keeps the project file, removes no folder the version holds entries below, and ends
// with the folder equal to the version.
TEST_F(SaveTest, RestoreOfSubfolderBackupsKeepsTheProjectFile) {
  write(*work, "app/main.c", "int main;");
  write(*work, "top.txt", "top");
  ASSERT_TRUE(backup(*work, L"app"));
  write(*work, "app/main.c", "int main(void);", 1600000999);
  ASSERT_TRUE(backup(*work, L"app"));
  write(*work, "kestrun-vcs.json", R"({"name": "test/save", "note": "local"})");
  recorded().clear();
  EXPECT_TRUE(restore(*work, 1));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("local")));
  EXPECT_EQ(test::slurp(root(*work) / "kestrun-vcs.json"),
            R"({"name": "test/save", "note": "local"})");
  EXPECT_EQ(test::slurp(root(*work) / "app/main.c"), "int main;");
  EXPECT_FALSE(fs::exists(root(*work) / "top.txt"));
  for (const auto& e : named("kestrun::vcs::file::remove")) ADD_FAILURE() << e.text;
}

// An entry the restore cannot change (immutable) is warned about and skipped; every other entry
// is still restored, and the verdict says that the folder does not match the version.
TEST_F(SaveTest, EntriesThatCannotChangeFailTheVerdictButNotTheRest) {
  struct row {
    const char* label;
    const char* frozen;   // made immutable after the backup
    const char* warning;  // the one warning expected
    std::string text;     // its text
  };
  write(*work, "a.txt", "alpha");
  write(*work, "kept/b.txt", "beta");
  ASSERT_TRUE(backup(*work));
  const fs::path stuck = root(*work) / "stuck.txt";
  const row rows[] = {
      {"extra file not removed", "stuck.txt", "kestrun::vcs::file::remove", stuck.string()},
      {"changed file not replaced", "kept/b.txt", "kestrun::vcs::file::write::open", "kept/b.txt"},
      {"new file in a frozen folder", "kept", "kestrun::vcs::file::write::open", "kept/b.txt"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    ASSERT_TRUE(restore(*work, 1));
    write(*work, "stuck.txt", "stuck");
    write(*work, "kept/b.txt", "changed", 1600000555);
    if (std::string(r.frozen) == "kept") fs::remove(root(*work) / "kept/b.txt");
    fs::remove(root(*work) / "a.txt");
    immutable frozen(root(*work) / r.frozen);
    if (!frozen.ok()) GTEST_SKIP() << immutable::reason;
    recorded().clear();
    EXPECT_FALSE(restore(*work, 1));
    EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
    const auto warnings = named(r.warning);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0].level, 1u);
    EXPECT_EQ(warnings[0].text.rfind(r.text + ": ", 0), 0u) << warnings[0].text;
    EXPECT_EQ(test::slurp(root(*work) / "a.txt"), "alpha");  // the rest went on
    frozen.release();
    fs::remove(stuck);
  }
}

// Links are made after everything else, a link to a link after that one, and a link to nothing
// all the same (it is only its text).
TEST_F(SaveTest, LinksToLinksAndToNothingAreMade) {
  write(*work, "real.txt", "real");
  write(*work, "gone.txt", "gone");
  if (!test::make_link(root(*work) / "real.txt", root(*work) / "z_link") ||
      !test::make_link(root(*work) / "z_link", root(*work) / "a_link") ||
      !test::make_link(root(*work) / "gone.txt", root(*work) / "dangling")) {
    GTEST_SKIP() << test::no_links;
  }
  fs::create_directories(root(*work) / "dir");
  ASSERT_TRUE(test::make_link(root(*work) / "dir", root(*work) / "m_dir"));
  ASSERT_TRUE(test::make_link(root(*work) / "m_dir", root(*work) / "b_dir"));
  fs::remove(root(*work) / "gone.txt");
  ASSERT_TRUE(backup(*work));
  auto copy = open("copy");
  recorded().clear();
  EXPECT_TRUE(restore(*copy, 1));
  EXPECT_EQ(verdict(), std::make_pair(0u, std::string("local")));
  for (const auto& e : named("kestrun::vcs::link::create")) ADD_FAILURE() << e.text;
  EXPECT_EQ(tree_of(root(*copy)), tree_of(root(*work)));
  EXPECT_EQ(test::slurp(root(*copy) / "a_link"), "real");
  EXPECT_TRUE(fs::is_directory(root(*copy) / "b_dir"));
  EXPECT_EQ(named("kestrun::vcs::link::create", true).back().text, "100.0000");
}

// A link that cannot be made fails the verdict like any other entry.
TEST_F(SaveTest, LinkThatCannotBeMadeFailsTheVerdict) {
  write(*work, "a.txt", "alpha");
  if (!test::make_link(root(*work) / "a.txt", root(*work) / "lnk")) GTEST_SKIP() << test::no_links;
  ASSERT_TRUE(backup(*work));
  auto copy = open("copy");
  auto t = restore_transform(*copy, 1);
  ASSERT_TRUE(t);
  write(*copy, "lnk", "made behind the scan's back");
  recorded().clear();
  EXPECT_FALSE(t->save());
  EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
  expect_warning("kestrun::vcs::link::create", "lnk=>a.txt");
  EXPECT_EQ(test::slurp(root(*copy) / "lnk"), "made behind the scan's back");
  EXPECT_EQ(test::slurp(root(*copy) / "a.txt"), "alpha");
}

// Commands that would reach outside the project root fail the restore and touch nothing.
TEST_F(SaveTest, PathsOutsideTheRootAreRefused) {
  test::temp_folder outside;
  const fs::path victim = outside.write("victim.txt", "keep");
  const bool links = test::make_link(outside.path(), root(*work) / "escape");
  auto local = driver(*work, 1);
  struct row {
    const char* label;
    std::shared_ptr<transform_command> command;
  };
  auto path = [](const std::string& p) { return std::make_shared<std::string>(p); };
  std::vector<row> rows = {
      {"remove above", std::make_shared<transform_command>('R', path("../victim.txt"))},
      {"remove absolute",
       std::make_shared<transform_command>('R', path(platform::narrow_from_path(victim)))},
  };
  if (links) {
    rows.push_back({"remove through link",
                    std::make_shared<transform_command>('R', path("escape/victim.txt"))});
    rows.push_back(
        {"folder through link", std::make_shared<transform_command>(
                                    'A', path("escape/new"),
                                    std::make_shared<state_item_dir>(local, path("escape/new")))});
  }
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    recorded().clear();
    transform t(local, 1, {r.command});
    EXPECT_FALSE(t.save());
    EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
    const std::string& stored = *r.command->path();
    EXPECT_TRUE(std::any_of(recorded().begin(), recorded().end(),
                            [&stored](const t_recorded& e) {
                              return e.level == 1 && e.text.rfind(stored + ": ", 0) == 0;
                            }))
        << "no warning names " << stored;
    EXPECT_EQ(test::slurp(victim), "keep");
    EXPECT_FALSE(fs::exists(outside.path() / "new"));
  }
  if (!links) GTEST_SKIP() << test::no_links << ": tried without a link leading out";
}

// Entries past the length the system takes as one path, reached through their open folders as
// the restore reaches them: a test cannot write or read them by their whole path.
std::string deep_prefix(int levels) {
  std::string out;
  for (int i = 0; i < levels; ++i) out += std::string(200, static_cast<char>('a' + i % 26)) + "/";
  return out;
}

void write_deep(const fs::path& path, const std::string& content, std::int64_t time) {
  std::error_code ec;
  ASSERT_TRUE(platform::create_folders(path.parent_path(), ec)) << ec.message();
  const platform::folder_handle folder(path.parent_path());
  ASSERT_TRUE(folder.is_open());
  platform::new_file file;
  ASSERT_TRUE(file.create(folder, ec)) << ec.message();
  ASSERT_TRUE(file.write(content.data(), content.size(), ec)) << ec.message();
  ASSERT_TRUE(file.finish(time, ec)) << ec.message();
  ASSERT_TRUE(file.replace(path.filename(), ec)) << ec.message();
}

// The content and modification time of a file, or "(none)" when no file stands there.
std::string read_deep(const fs::path& path) {
  platform::input_file in;
  platform::t_entry_info info;
  std::error_code ec;
  if (!platform::entry_info(path, info, ec) || !in.open(path)) return "(none)";
  std::string content(1024, '\0');
  content.resize(in.read(content.data(), content.size()));
  return content + "@" + std::to_string(info.write_time);
}

bool stands(const fs::path& path) {
  platform::t_entry_info info;
  std::error_code ec;
  return platform::entry_info(path, info, ec);
}

// A tree whose paths pass 4,096 bytes comes back whole, and an older version of it undoes the
// later changes down there: files replaced and removed, a folder and its file removed.
TEST_F(SaveTest, TreesDeeperThanThePathLimitAreRestored) {
  // Windows reaches such entries by their whole long-path form, which Wine 8 turns into a Unix
  // path that the system refuses past 4,096 bytes.
  if (test::on_windows) GTEST_SKIP() << "Wine 8 holds no path past the Unix path limit";
  const std::string deep = deep_prefix(24);  // about 4,800 bytes
  const std::string mid = deep_prefix(12);
  write_deep(root(*work) / (mid + "mid.txt"), "middle", 1600000010);
  write_deep(root(*work) / (deep + "deepest.txt"), "deepest v1", 1600000011);
  write_deep(root(*work) / (deep + "other.txt"), "other", 1600000012);
  std::error_code ec;
  const bool links = test::can_make_links() &&
                     platform::create_link_at(platform::folder_handle(root(*work) / deep), "to_mid",
                                              root(*work) / (mid + "mid.txt"), false, ec);
  ASSERT_TRUE(backup(*work));
  write_deep(root(*work) / (deep + "deepest.txt"), "deepest v2", 1600000021);
  ASSERT_TRUE(
      platform::remove_entry_at(platform::folder_handle(root(*work) / deep), "other.txt", ec));
  write_deep(root(*work) / (deep + "later/new.txt"), "new", 1600000022);
  ASSERT_TRUE(backup(*work));

  auto copy = open("copy");
  recorded().clear();
  ASSERT_TRUE(restore(*copy, 2));
  for (const auto& e : recorded()) EXPECT_EQ(e.level, 0u) << e.name << " " << e.text;
  EXPECT_EQ(read_deep(root(*copy) / (mid + "mid.txt")), "middle@1600000010");
  EXPECT_EQ(read_deep(root(*copy) / (deep + "deepest.txt")), "deepest v2@1600000021");
  EXPECT_EQ(read_deep(root(*copy) / (deep + "later/new.txt")), "new@1600000022");
  EXPECT_FALSE(stands(root(*copy) / (deep + "other.txt")));

  recorded().clear();
  ASSERT_TRUE(restore(*copy, 1));
  for (const auto& e : recorded()) EXPECT_EQ(e.level, 0u) << e.name << " " << e.text;
  EXPECT_EQ(read_deep(root(*copy) / (deep + "deepest.txt")), "deepest v1@1600000011");
  EXPECT_EQ(read_deep(root(*copy) / (deep + "other.txt")), "other@1600000012");
  EXPECT_FALSE(stands(root(*copy) / (deep + "later")));
  if (!links) GTEST_SKIP() << test::no_links << ": restored without the link";
  EXPECT_TRUE(is_link(root(*copy) / (deep + "to_mid")));
  EXPECT_EQ(read_deep(root(*copy) / (deep + "to_mid")).rfind("middle@", 0), 0u);
}

// A folder swapped for a link to elsewhere after the restore looked at the tree (by another
// process) is never written through: nothing is removed, made or replaced where it leads, near
// the root or past the path limit, and each entry it stopped is warned about.
TEST_F(SaveTest, LinksPlantedWhileRestoringAreNeverFollowed) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  write(*work, "sub/keep.txt", "keep");
  write(*work, "sub/new/x.txt", "x");
  fs::create_directories(root(*work) / "sub/dir");
  ASSERT_TRUE(test::make_link(root(*work) / "sub/keep.txt", root(*work) / "sub/lnk"));
  ASSERT_TRUE(backup(*work));
  for (const bool far : {false, true}) {
    SCOPED_TRACE(far ? "past the path limit" : "near the root");
    const std::string prefix = far ? deep_prefix(24) : std::string();
    if (far) {
      // The same version one level below a path longer than the system takes whole.
      write_deep(root(*work) / (prefix + "sub/keep.txt"), "keep", 1600000000);
      write_deep(root(*work) / (prefix + "sub/new/x.txt"), "x", 1600000000);
      std::error_code ec;
      ASSERT_TRUE(platform::create_folders(root(*work) / (prefix + "sub/dir"), ec));
      ASSERT_TRUE(backup(*work));
    }
    auto copy = open(far ? "copy-far" : "copy-near");
    test::temp_folder outside;
    outside.write("extra.txt", "outside");
    write_deep(root(*copy) / (prefix + "sub/extra.txt"), "extra", 1600000000);
    auto t = restore_transform(*copy, 0);
    ASSERT_TRUE(t);
    std::error_code ec;
    const fs::path above = root(*copy) / prefix;
    ASSERT_TRUE(platform::remove_entry_at(platform::folder_handle(above / "sub"), "extra.txt", ec));
    ASSERT_TRUE(platform::remove_entry_at(platform::folder_handle(above), "sub", ec));
    ASSERT_TRUE(
        platform::create_link_at(platform::folder_handle(above), "sub", outside.path(), true, ec))
        << ec.message();
    recorded().clear();
    EXPECT_FALSE(t->save());
    EXPECT_EQ(verdict(), std::make_pair(2u, std::string("local")));
    EXPECT_EQ(test::slurp(outside.path() / "extra.txt"), "outside");
    for (const char* made : {"keep.txt", "new", "dir", "lnk"}) {
      EXPECT_FALSE(stands(outside.path() / made)) << made;
    }
    for (const std::string entry : {"sub/extra.txt", "sub/dir", "sub/keep.txt", "sub/new"}) {
      EXPECT_TRUE(std::any_of(recorded().begin(), recorded().end(),
                              [&](const t_recorded& e) {
                                return e.level == 1 && e.text.rfind(prefix + entry + ": ", 0) == 0;
                              }))
          << "no warning names " << entry;
    }
  }
}

}  // namespace
}  // namespace kestrun::vcs
