// Walks of small trees: order, ignore files at every level, events, links and unusual names.
#include "common/filesystem/finder.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/event_recorder.h"
#include "tests/support/temp_folder.h"

namespace kestrun::filesystem {
namespace {

namespace fs = std::filesystem;
using tree_finder = finder<gitignore, finder_item>;

constexpr const char* prefix = "test::finder::";

std::vector<test::t_recorded_event>& recorded() {
  return test::recorded_events("test::finder::.*");
}

// Every event of the prefix recorded since the last clear, as "<name after the prefix> <text>".
std::vector<std::string> events() {
  std::vector<std::string> shown;
  for (const auto& e : recorded()) {
    shown.push_back(e.name.substr(std::string(prefix).size()) + " " + e.text);
  }
  return shown;
}

// One handed-out entry: its path below the root, with "*" after it when it is ignored.
struct t_walk {
  std::vector<std::string> entries;
  std::vector<finder_item> items;
};

t_walk walk(tree_finder& f, const fs::path& root) {
  t_walk result;
  finder_item entry;
  while (f.scan(entry)) {
    std::string rel = entry.entry.path().native().substr(root.native().size() + 1);
    if (entry.ignored) rel += "*";
    result.entries.push_back(rel);
    result.items.push_back(entry);
  }
  // Exhausted for good.
  EXPECT_FALSE(f.scan(entry));
  return result;
}

t_walk walk(const fs::path& root, bool include_ignored = false, bool recursive = true,
            const std::wstring& global = L"") {
  tree_finder f(root, include_ignored, recursive, L".gitignore", global, prefix);
  return walk(f, root);
}

const finder_item* find_item(const t_walk& w, const std::string& rel) {
  for (std::size_t i = 0; i < w.entries.size(); ++i) {
    if (w.entries[i] == rel || w.entries[i] == rel + "*") return &w.items[i];
  }
  return nullptr;
}

using names = std::vector<std::string>;

TEST(FinderTest, FoldersFirstThenFilesEachInPathOrder) {
  test::temp_folder dir;
  for (const char* file : {"b", "A", "a"}) dir.write(file, "");
  fs::create_directory(dir / "Z");
  fs::create_directory(dir / "c");
  EXPECT_EQ(walk(dir.path(), false, false).entries, (names{"Z", "c", "A", "a", "b"}));
}

TEST(FinderTest, TrailingSeparatorAndRecursion) {
  test::temp_folder dir;
  dir.write("top.txt", "");
  dir.write("sub/inner.txt", "");
  const names all{"sub", "top.txt", "sub/inner.txt"};
  EXPECT_EQ(walk(dir.path()).entries, all);
  tree_finder slash(dir.path() / "", false, true, L".gitignore", L"", "");
  EXPECT_EQ(walk(slash, dir.path()).entries, all);
  EXPECT_EQ(walk(dir.path(), false, false).entries, (names{"sub", "top.txt"}));
}

// A tree whose every folder has at most one folder that is walked, so the order is fixed.
class IgnoreTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write(".gitignore", "*.log\n!keep.log\nbuild/\n/tmp\n");
    dir.write("a.log", "");
    dir.write("keep.log", "");
    dir.write("main.c", "");
    dir.write("tmp", "");
    dir.write("build/out.o", "");
    dir.write(".git/HEAD", "");
    dir.write("src/.gitignore", "# sources\n!debug.log\n*.o\ngen/\n");
    dir.write("src/debug.log", "");
    dir.write("src/x.o", "");
    dir.write("src/main.c", "");
    dir.write("src/build", "");      // a file: build/ is for folders only
    dir.write("src/tmp/t.txt", "");  // /tmp is anchored at the root
    dir.write("src/gen/g.c", "");
    fs::create_directory_symlink(dir / "src", dir / "link_to_src");
  }
  test::temp_folder dir;
};

TEST_F(IgnoreTreeTest, WalkLeavesOutIgnoredEntriesAndReportsThem) {
  recorded().clear();
  const auto w = walk(dir.path());
  EXPECT_EQ(w.entries,
            (names{"link_to_src", "src", ".gitignore", "keep.log", "main.c", "src/tmp",
                   "src/.gitignore", "src/build", "src/debug.log", "src/main.c", "src/tmp/t.txt"}));

  const std::string root = dir.path().native();
  std::vector<std::string> ignored;
  std::vector<std::string> listed;
  for (const auto& e : events()) {
    if (e.rfind("ignore ", 0) == 0) ignored.push_back(e.substr(7));
    if (e.rfind("scan::dir ", 0) == 0) listed.push_back(e.substr(10));
  }
  EXPECT_EQ(listed, (names{root, root + "/src", root + "/src/tmp"}));
  std::sort(ignored.begin(), ignored.end());
  EXPECT_EQ(ignored, (names{root + "/.git <> " + root + "/.gitignore",
                            root + "/a.log <*.log> " + root + "/.gitignore",
                            root + "/build <build/> " + root + "/.gitignore",
                            root + "/src/gen <gen/> " + root + "/src/.gitignore",
                            root + "/src/x.o <*.o> " + root + "/src/.gitignore",
                            root + "/tmp </tmp> " + root + "/.gitignore"}));

  // The child's negation decided last: its file is named, the rule line is empty.
  const auto* debug = find_item(w, "src/debug.log");
  ASSERT_NE(debug, nullptr);
  EXPECT_EQ(debug->ignored, 0);
  EXPECT_EQ(debug->rule_line, L"");
  EXPECT_EQ(platform::native_from_wide(debug->rule_source), root + "/src/.gitignore");
  EXPECT_EQ(find_item(w, "src/.gitignore")->is_ignore_file, 1);
  EXPECT_EQ(find_item(w, "main.c")->is_ignore_file, 0);
  EXPECT_TRUE(is_link(*find_item(w, "link_to_src")));
  EXPECT_FALSE(is_link(*find_item(w, "src")));
}

TEST_F(IgnoreTreeTest, IncludeIgnoredHandsOutEverythingMarked) {
  const auto w = walk(dir.path(), true);
  std::vector<std::string> sorted = w.entries;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted,
            (names{".git*",          ".git/HEAD*", ".gitignore",    "a.log*",   "build*",
                   "build/out.o*",   "keep.log",   "link_to_src",   "main.c",   "src",
                   "src/.gitignore", "src/build",  "src/debug.log", "src/gen*", "src/gen/g.c*",
                   "src/main.c",     "src/tmp",    "src/tmp/t.txt", "src/x.o*", "tmp*"}));
  // Below an ignored folder the folder's verdict is inherited, not matched again.
  const auto* out = find_item(w, "build/out.o");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->rule_line, L"build/");
}

TEST(FinderTest, IgnoredFolderStaysIgnoredDespiteANegationBelow) {
  test::temp_folder dir;
  dir.write(".gitignore", "logs/\n");
  dir.write("logs/.gitignore", "!keep.txt\n");
  dir.write("logs/keep.txt", "");
  dir.write("other/keep.txt", "");
  auto entries = walk(dir.path(), true).entries;
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (names{".gitignore", "logs*", "logs/.gitignore*", "logs/keep.txt*", "other",
                            "other/keep.txt"}));
}

TEST(FinderTest, IgnoreFilesAboveTheRootApply) {
  test::temp_folder dir;
  dir.write(".gitignore", "secret\nskipped/\n");
  dir.write("proj/secret", "");
  dir.write("proj/plain", "");
  EXPECT_EQ(walk(dir / "proj").entries, (names{"plain"}));
}

// The rules above the root reach what lies below it, never the root itself: a project folder
// that its parent's ignore file names, or a subfolder the project's own rules leave out, is
// still walked when it is the one asked for.
TEST(FinderTest, TheRootIsWalkedWhateverTheRulesAboveItSay) {
  test::temp_folder dir;
  dir.write(".gitignore", "skipped/\n");
  dir.write("skipped/file", "");
  dir.write("skipped/skipped/deeper", "");
  dir.write("skipped/sub/file", "");
  dir.write(".k-vcs/file", "");
  struct row {
    const char* root;
    names entries;
    names ignored;  // below the root, the rules still apply
  };
  const std::string rule = " <skipped/> " + (dir / ".gitignore").native();
  const row rows[] = {
      {"skipped", {"sub", "file", "sub/file"}, {(dir / "skipped/skipped").native() + rule}},
      {"skipped/sub", {"file"}, {}},
      {"skipped/skipped", {"deeper"}, {}},
      {".k-vcs", {"file"}, {}}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.root);
    recorded().clear();
    EXPECT_EQ(walk(dir / r.root, false, true, L".k-vcs/").entries, r.entries);
    names ignored;
    for (const auto& e : events()) {
      if (e.rfind("ignore ", 0) == 0) ignored.push_back(e.substr(7));
    }
    EXPECT_EQ(ignored, r.ignored);
  }
}

TEST(FinderTest, GlobalRulesAndTheGitFolder) {
  test::temp_folder dir;
  dir.write(".k-vcs/cache", "");
  dir.write("sub/.k-vcs/cache", "");
  dir.write("sub/.git/HEAD", "");  // no ignore file beside it: kept
  dir.write("sub/kept", "");
  dir.write("other/.gitignore", "");  // an ignore file without rules still has its level
  dir.write("other/.git", "");        // a file named .git is not special
  dir.write("other/x", "");
  const auto w = walk(dir.path(), false, true, L".k-vcs/");
  std::vector<std::string> sorted = w.entries;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (names{"other", "other/.git", "other/.gitignore", "other/x", "sub", "sub/.git",
                           "sub/.git/HEAD", "sub/kept"}));
}

TEST(FinderTest, LinksAreHandedOutAndNeverWalked) {
  test::temp_folder dir;
  dir.write("real/file", "");
  fs::create_directory_symlink(dir / "real", dir / "dir_link");
  fs::create_symlink(dir / "real/file", dir / "file_link");
  fs::create_symlink(dir / "missing", dir / "dangling");
  const auto w = walk(dir.path());
  EXPECT_EQ(w.entries, (names{"dir_link", "real", "dangling", "file_link", "real/file"}));
  const auto* link = find_item(w, "dir_link");
  EXPECT_EQ(link->attributes, platform::attribute_directory | platform::attribute_reparse_point);
  EXPECT_EQ(find_item(w, "file_link")->attributes, platform::attribute_reparse_point);
}

TEST(FinderTest, UnusualNamesAreListedLosslessly) {
  test::temp_folder dir;
  const std::string invalid = "bad\xff\xfe";
  dir.write("back\\slash.txt", "");
  dir.write("smile\xF0\x9F\x98\x80.txt", "");
  dir.write(invalid + "/inner", "");
  dir.write("\xF0\x9F\x99\x88.secret", "");
  dir.write(".gitignore", "\xF0\x9F\x99\x88*\n");
  const auto w = walk(dir.path());
  EXPECT_EQ(w.entries, (names{invalid, ".gitignore", "back\\slash.txt", "smile\xF0\x9F\x98\x80.txt",
                              invalid + "/inner"}));
  const auto wide_of = [&](const std::string& rel) {
    return platform::wide_from_path(find_item(w, rel)->entry.path());
  };
  const std::wstring root = platform::wide_from_path(dir.path());
  EXPECT_EQ(wide_of("back\\slash.txt"), root + L"/back\\slash.txt");
  EXPECT_EQ(wide_of("smile\xF0\x9F\x98\x80.txt"), root + L"/smile\U0001F600.txt");
  EXPECT_EQ(wide_of(invalid + "/inner"), root + L"/bad\xDCFF\xDCFE/inner");
  // The wide text turns back into the very same bytes.
  EXPECT_EQ(platform::path_from_wide(wide_of(invalid + "/inner")), dir / (invalid + "/inner"));
}

TEST(FinderTest, EntryTimesAndAttributes) {
  test::temp_folder dir;
  const auto file = dir.write("f", "abc");
  std::error_code ec;
  ASSERT_TRUE(platform::set_modification_time(file, 1700000000, ec));
  fs::create_directory(dir / "d");
  const auto w = walk(dir.path());
  const auto* f = find_item(w, "f");
  EXPECT_EQ(f->modified, 1700000000);
  EXPECT_GT(f->created, 1700000000);
  EXPECT_EQ(f->attributes, 0u);
  EXPECT_EQ(f->size, 3u);
  EXPECT_EQ(find_item(w, "d")->attributes, platform::attribute_directory);

  // A link has a size of its own: the length of its target text, not the target's size.
  fs::create_symlink(dir / "f", dir / "link");
  const auto with_link = walk(dir.path());
  const auto* link = find_item(with_link, "link");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->size, (dir / "f").native().size());
  EXPECT_EQ(finder_item(dir / "f").size, 3u);

  const finder_item missing(dir / "missing");
  EXPECT_EQ(missing.attributes, 0u);
  EXPECT_EQ(missing.modified, 0);
  EXPECT_EQ(missing.size, 0u);
  const finder_item empty;
  EXPECT_TRUE(empty.entry.path().empty());
}

// An empty ignore-file name (from "a||b") leads to the folder itself: every folder then has a
// level without rules, and that level alone leaves out a ".git" folder beside it.
TEST(FinderTest, EmptyIgnoreFileNameGivesEveryFolderALevel) {
  test::temp_folder dir;
  dir.write("sub/.git/config", "");
  dir.write("sub/file", "");
  tree_finder with_empty(dir.path(), false, true, L".gitignore|", L"", "");
  EXPECT_EQ(walk(with_empty, dir.path()).entries, (names{"sub", "sub/file"}));
  tree_finder without(dir.path(), false, true, L".gitignore", L"", "");
  EXPECT_EQ(walk(without, dir.path()).entries,
            (names{"sub", "sub/.git", "sub/file", "sub/.git/config"}));
}

// An ignore file that is a link counts only when it leads to something, as the system says.
TEST(FinderTest, IgnoreFileThatIsALink) {
  test::temp_folder dir;
  dir.write("rules", "*.tmp\n");
  dir.write("a/x.tmp", "");
  dir.write("b/y.tmp", "");
  fs::create_symlink(dir / "rules", dir / "a" / ".gitignore");
  fs::create_symlink(dir / "nowhere", dir / "b" / ".gitignore");
  const auto w = walk(dir.path());
  EXPECT_EQ(find_item(w, "a/x.tmp"), nullptr);
  EXPECT_NE(find_item(w, "b/y.tmp"), nullptr);
}

TEST(FinderTest, FolderThatCannotBeListedGivesNothing) {
  test::temp_folder dir;
  dir.write("gone/file", "");
  dir.write("kept", "");
  tree_finder f(dir.path(), false, true, L".gitignore", L"", "");
  finder_item entry;
  ASSERT_TRUE(f.scan(entry));
  EXPECT_EQ(entry.entry.path().filename(), "gone");
  // The folder disappears after it was found and before it is listed.
  fs::remove_all(dir / "gone");
  ASSERT_TRUE(f.scan(entry));
  EXPECT_EQ(entry.entry.path().filename(), "kept");
  EXPECT_FALSE(f.scan(entry));

  tree_finder none(dir / "never", false, true, L".gitignore", L"", "");
  EXPECT_FALSE(none.scan(entry));
}

// A rule that cannot be used is left out with a warning that names its file and line; the
// other rules of the file, and of the "GLOBAL" text, still apply.
TEST(FinderTest, UnusableRulesAreReportedAndSkipped) {
  test::temp_folder dir;
  dir.write("proj/.gitignore", "*.{js,ts}\ntmp[\n*.log\n");
  dir.write("proj/a.js", "");
  dir.write("proj/*.{js,ts}", "");
  dir.write("proj/x.log", "");
  dir.write("proj/x.tmp", "");
  dir.write("proj/tmp[", "");
  dir.write("proj/sub/y.log", "");
  const std::string file = (dir / "proj/.gitignore").native();
  struct row {
    const char* root;
    names entries;
  };
  const row rows[] = {{"proj", {"sub", ".gitignore", "a.js", "tmp["}},
                      {"proj/sub", {}}};  // the file above the root is read by the constructor
  for (const auto& r : rows) {
    SCOPED_TRACE(r.root);
    recorded().clear();
    EXPECT_EQ(walk(dir / r.root, false, true, L"x[\n*.tmp").entries, r.entries);
    std::vector<std::string> warnings;
    for (const auto& e : recorded()) {
      if (e.name != std::string(prefix) + "ignore::rule") continue;
      EXPECT_EQ(e.level, 1u);
      warnings.push_back(e.text);
    }
    EXPECT_EQ(warnings, (names{"GLOBAL:1 <x[> a bracket expression has no closing ']'",
                               file + ":2 <tmp[> a bracket expression has no closing ']'"}));
  }
}

// A path longer than the system takes cannot be listed: it gives nothing, and the walk goes on.
TEST(FinderTest, FoldersPastThePathLimitGiveNothing) {
  test::temp_folder dir;
  const std::string long_name(200, 'n');
  const fs::path start = fs::current_path();
  try {
    fs::current_path(dir.path());
    for (int i = 0; i < 30; ++i) {
      fs::create_directory(long_name);
      std::ofstream(".gitignore") << "*.tmp\n";
      fs::current_path(long_name);
    }
    std::ofstream("deepest") << "";
  } catch (const fs::filesystem_error& e) {
    fs::current_path(start);
    GTEST_SKIP() << "no folder chain past the path limit can be made here: " << e.what();
  }
  fs::current_path(start);
  dir.write("z.txt", "");

  const auto w = walk(dir.path());
  EXPECT_NE(find_item(w, "z.txt"), nullptr);
  std::size_t longest = 0;
  for (const auto& entry : w.entries) longest = std::max(longest, entry.size());
  EXPECT_GT(longest, 3000u);
  EXPECT_EQ(find_item(w, "deepest"), nullptr);
  for (const auto& entry : w.entries) EXPECT_EQ(entry.find("deepest"), std::string::npos);
}

TEST(FinderTest, LevelsOfFinishedFoldersAreDropped) {
  test::temp_folder dir;
  dir.write("a/.gitignore", "x\n");
  dir.write("a/x", "");
  dir.write("b/x", "");
  tree_finder f(dir.path(), false, true, L".gitignore|.ignore", L"*.tmp", "");
  EXPECT_EQ(f.ignore_file_names, (std::set<std::wstring>{L".gitignore", L".ignore"}));
  ASSERT_EQ(f.levels.size(), 1u);
  EXPECT_EQ(f.levels[0].source, L"GLOBAL");
  EXPECT_EQ(f.levels[0].depth, 0xFFFFFFFFu);
  const auto w = walk(f, dir.path());
  // Whichever of a and b is listed first, a's rule never reaches b/x.
  EXPECT_NE(find_item(w, "b/x"), nullptr);
  EXPECT_EQ(find_item(w, "a/x"), nullptr);
}

TEST(FinderTest, LoadIgnoreFilesRecordsTheFolder) {
  test::temp_folder dir;
  dir.write("sub/.gitignore", "a\n\nb/\n");
  tree_finder f(dir / "none", false, true, L".gitignore", L"", "");
  const std::size_t before = f.levels.size();
  f.load_ignore_files(dir / "sub", 7);
  ASSERT_EQ(f.levels.size(), before + 1);
  const auto& added = f.levels.back();
  const std::wstring folder = platform::wide_from_path(dir / "sub");
  EXPECT_EQ(added.depth, 7u);
  EXPECT_EQ(added.folder, folder);
  EXPECT_EQ(added.base_length, folder.size());
  EXPECT_EQ(added.source, L".gitignore");
  EXPECT_EQ(added.rules->rules.size(), 2u);
  f.load_ignore_files(platform::path_from_wide(folder + L"/"), 8);
  EXPECT_EQ(f.levels.back().base_length, folder.size());
}

TEST(FinderTest, RelativeTo) {
  struct row {
    const wchar_t* base;
    const wchar_t* path;
    const wchar_t* want;
  };
  const row rows[] = {
      {L"/proj", L"/proj/a/b", L"a/b"},
      {L"/proj/", L"/proj/a/b", L"a/b"},
      {L"/proj", L"/PROJ/a/b", L""},
      {L"/proj", L"/proj", L""},
      {L"/proj", L"/x", L""},
      {L"/proj", L"/proj/", L""},
      {L"/proj", L"/project/x", L"ect/x"},
      {L"/p", L"/p/a\\b", L"a\\b"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(platform::native_from_wide(std::wstring(r.base) + L" " + r.path));
    EXPECT_EQ(relative_to(r.base, r.path), r.want);
  }
}

}  // namespace
}  // namespace kestrun::filesystem
