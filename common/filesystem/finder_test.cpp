// Walks of small trees: order, ignore files at every level, events, links and unusual names.
#include "common/filesystem/finder.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/event_recorder.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace kestrun::filesystem {
namespace {

namespace fs = std::filesystem;
using tree_finder = finder<gitignore, finder_item>;

constexpr const char* prefix = "test::finder::";

std::vector<test::t_recorded_event>& recorded() {
  return test::recorded_events("test::finder::.*");
}

// UTF-8 text with '/' separators: a path as the expectations write it, on Windows too.
std::string generic(const std::string& text) {
  return platform::native_from_wide(
      platform::separators_to_generic(platform::wide_from_native(text)));
}
std::string generic(const fs::path& path) { return generic(platform::narrow_from_path(path)); }

// Every event of the prefix recorded since the last clear, as "<name after the prefix> <text>".
std::vector<std::string> events() {
  std::vector<std::string> shown;
  for (const auto& e : recorded()) {
    shown.push_back(e.name.substr(std::string(prefix).size()) + " " + generic(e.text));
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
    std::string rel = generic(entry.entry.path()).substr(generic(root).size() + 1);
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
  // Windows names ignore case: "a" is written over "A".
  const names expected =
      test::on_windows ? names{"Z", "c", "A", "b"} : names{"Z", "c", "A", "a", "b"};
  EXPECT_EQ(walk(dir.path(), false, false).entries, expected);
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
    links = test::make_link(dir / "src", dir / "link_to_src");
  }
  // The entries of the tree that are handed out, in walking order: the link first when made.
  names walked(names entries) const {
    if (links) entries.insert(entries.begin(), "link_to_src");
    return entries;
  }
  test::temp_folder dir;
  bool links = false;
};

TEST_F(IgnoreTreeTest, WalkLeavesOutIgnoredEntriesAndReportsThem) {
  recorded().clear();
  const auto w = walk(dir.path());
  EXPECT_EQ(w.entries,
            walked({"src", ".gitignore", "keep.log", "main.c", "src/tmp", "src/.gitignore",
                    "src/build", "src/debug.log", "src/main.c", "src/tmp/t.txt"}));

  const std::string root = generic(dir.path());
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
  EXPECT_EQ(generic(platform::native_from_wide(debug->rule_source)), root + "/src/.gitignore");
  EXPECT_EQ(find_item(w, "src/.gitignore")->is_ignore_file, 1);
  EXPECT_EQ(find_item(w, "main.c")->is_ignore_file, 0);
  EXPECT_FALSE(is_link(*find_item(w, "src")));
  if (!links) GTEST_SKIP() << test::no_links << ": walked without the link";
  EXPECT_TRUE(is_link(*find_item(w, "link_to_src")));
}

TEST_F(IgnoreTreeTest, IncludeIgnoredHandsOutEverythingMarked) {
  const auto w = walk(dir.path(), true);
  std::vector<std::string> sorted = w.entries;
  std::sort(sorted.begin(), sorted.end());
  names expected =
      walked({".git*", ".git/HEAD*", ".gitignore", "a.log*", "build*", "build/out.o*", "keep.log",
              "main.c", "src", "src/.gitignore", "src/build", "src/debug.log", "src/gen*",
              "src/gen/g.c*", "src/main.c", "src/tmp", "src/tmp/t.txt", "src/x.o*", "tmp*"});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);
  // Below an ignored folder the folder's verdict is inherited, not matched again.
  const auto* out = find_item(w, "build/out.o");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->rule_line, L"build/");
  if (!links) GTEST_SKIP() << test::no_links << ": walked without the link";
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
  const std::string rule = " <skipped/> " + generic(dir / ".gitignore");
  const row rows[] = {
      {"skipped", {"sub", "file", "sub/file"}, {generic(dir / "skipped/skipped") + rule}},
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
  if (!test::make_link(dir / "real", dir / "dir_link")) GTEST_SKIP() << test::no_links;
  test::make_link(dir / "real/file", dir / "file_link");
  test::make_link(dir / "missing", dir / "dangling");
  const auto w = walk(dir.path());
  EXPECT_EQ(w.entries, (names{"dir_link", "real", "dangling", "file_link", "real/file"}));
  const auto* link = find_item(w, "dir_link");
  EXPECT_EQ(link->attributes, platform::attribute_directory | platform::attribute_reparse_point);
  EXPECT_EQ(find_item(w, "file_link")->attributes, platform::attribute_reparse_point);
}

TEST(FinderTest, UnusualNamesAreListedLosslessly) {
  test::temp_folder dir;
  dir.write("smile\xF0\x9F\x98\x80.txt", "");
  dir.write("\xF0\x9F\x99\x88.secret", "");
  dir.write(".gitignore", "\xF0\x9F\x99\x88*\n");
  // A '\' in a name, and a name that is not text, are names only where '\' is no separator
  // and the system keeps such names.
  const bool odd_names = !test::on_windows && test::keeps_invalid_names();
  const std::string invalid = "bad\xff\xfe";
  if (odd_names) {
    dir.write("back\\slash.txt", "");
    dir.write(invalid + "/inner", "");
  }
  const auto w = walk(dir.path());
  const std::wstring root = platform::separators_to_generic(platform::wide_from_path(dir.path()));
  const auto wide_of = [&](const std::string& rel) {
    return platform::separators_to_generic(
        platform::wide_from_path(find_item(w, rel)->entry.path()));
  };
  if (!odd_names) {
    EXPECT_EQ(w.entries, (names{".gitignore", "smile\xF0\x9F\x98\x80.txt"}));
    EXPECT_EQ(wide_of("smile\xF0\x9F\x98\x80.txt"), root + L"/smile\U0001F600.txt");
    GTEST_SKIP() << "names holding '\\' or bytes that are not text are not kept here";
  }
  EXPECT_EQ(w.entries, (names{invalid, ".gitignore", "back\\slash.txt", "smile\xF0\x9F\x98\x80.txt",
                              invalid + "/inner"}));
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
  if (test::on_windows) {
    EXPECT_GE(f->created, 1700000000);  // Wine reads the new write time as the creation time
  } else {
    EXPECT_GT(f->created, 1700000000);
  }
  // Windows marks a new file for archiving (FILE_ATTRIBUTE_ARCHIVE).
  EXPECT_EQ(f->attributes, test::on_windows ? 0x20u : 0u);
  EXPECT_EQ(f->size, 3u);
  EXPECT_EQ(find_item(w, "d")->attributes, platform::attribute_directory);

  EXPECT_EQ(finder_item(dir / "f").size, 3u);

  const finder_item missing(dir / "missing");
  EXPECT_EQ(missing.attributes, 0u);
  EXPECT_EQ(missing.modified, 0);
  EXPECT_EQ(missing.size, 0u);
  const finder_item empty;
  EXPECT_TRUE(empty.entry.path().empty());

  // A link has a size of its own: the length of its target text, not the target's size.
  if (!test::make_link(dir / "f", dir / "link"))
    GTEST_SKIP() << test::no_links << ": no link measured";
  const auto with_link = walk(dir.path());
  const auto* link = find_item(with_link, "link");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->size, (dir / "f").native().size());
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

// An ignore file that is a link is not read, wherever it leads, as git refuses it; a warning
// names it.
TEST(FinderTest, IgnoreFileThatIsALinkIsNotRead) {
  test::temp_folder dir;
  dir.write("rules", "*.tmp\n");
  dir.write("a/x.tmp", "");
  dir.write("b/y.tmp", "");
  dir.write("b/.git/HEAD", "");
  if (!test::make_link(dir / "rules", dir / "a" / ".gitignore")) GTEST_SKIP() << test::no_links;
  test::make_link(dir / "nowhere", dir / "b" / ".gitignore");
  recorded().clear();
  const auto w = walk(dir.path());
  EXPECT_NE(find_item(w, "a/x.tmp"), nullptr);
  EXPECT_NE(find_item(w, "b/y.tmp"), nullptr);
  EXPECT_NE(find_item(w, "a/.gitignore"), nullptr);
  // It still stands beside ".git" as an ignore file does.
  EXPECT_EQ(find_item(w, "b/.git"), nullptr);
  std::vector<std::string> warnings;
  for (const auto& e : recorded()) {
    if (e.name != std::string(prefix) + "ignore::file") continue;
    EXPECT_EQ(e.level, 1u);
    warnings.push_back(generic(e.text));
  }
  std::sort(warnings.begin(), warnings.end());
  EXPECT_EQ(warnings, (names{generic(dir / "a/.gitignore") + " is a symbolic link: not read",
                             generic(dir / "b/.gitignore") + " is a symbolic link: not read"}));
}

// A link is never a folder to the rules, as git sees it: "build/" keeps a link named build that
// leads to a folder, "obj" leaves out a link named obj. (git 2.39: `?? build`, `!! out/`.)
TEST(FinderTest, FolderRulesNeverMatchLinks) {
  test::temp_folder dir;
  dir.write(".gitignore", "build/\nobj\n");
  dir.write("real/x", "");
  dir.write("out/keep", "");
  if (!test::make_link(dir / "real", dir / "build")) GTEST_SKIP() << test::no_links;
  test::make_link(dir / "real", dir / "out" / "obj");
  test::make_link(dir / "real", dir / "out" / "build");
  const auto w = walk(dir.path());
  std::vector<std::string> sorted = w.entries;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted,
            (names{".gitignore", "build", "out", "out/build", "out/keep", "real", "real/x"}));
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
  dir.write("proj/.gitignore", "*.{js,ts}\ntmp[\n*.log\ncaf\xE9\n");
  dir.write("proj/a.js", "");
  dir.write("proj/*.{js,ts}", "");
  dir.write("proj/x.log", "");
  dir.write("proj/x.tmp", "");
  dir.write("proj/tmp[", "");
  dir.write("proj/sub/y.log", "");
  const std::string file = generic(dir / "proj/.gitignore");
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
      warnings.push_back(generic(e.text));
    }
    EXPECT_EQ(warnings, (names{"GLOBAL:1 <x[> a bracket expression has no closing ']'",
                               file + ":2 <tmp[> a bracket expression has no closing ']'",
                               generic(file + ":4 <caf\\xE9> the line is not UTF-8")}));
  }
}

// However long a rule, its events show the first few hundred characters of it.
TEST(FinderTest, EventsCutLongRules) {
  test::temp_folder dir;
  const std::string set = "[" + std::string(1000, 'b') + "]";
  dir.write(".gitignore", set + "\n" + set + "[\n");
  dir.write("b", "");
  recorded().clear();
  EXPECT_EQ(walk(dir.path()).entries, (names{".gitignore"}));
  const std::string shown = "[" + std::string(299, 'b') + "\xE2\x80\xA6";
  const std::string file = generic(dir / ".gitignore");
  EXPECT_EQ(events(), (names{"scan::dir " + generic(dir.path()),
                             "ignore::rule " + file + ":2 <" + shown +
                                 "> a bracket expression has no closing ']'",
                             "ignore " + generic(dir / "b") + " <" + shown + "> " + file}));
}

// A path longer than the system takes whole is walked all the same, its ignore files read.
TEST(FinderTest, FoldersPastThePathLimitAreWalked) {
  // The chain is made through the current folder, one name at a time.
  if (test::on_windows) {
    GTEST_SKIP() << "Windows keeps no current folder past its path limit (Wine 8 ends the "
                    "process when a Unix path grows past it)";
  }
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
    std::ofstream("deepest") << "12345";
    std::ofstream("left-out.tmp") << "";
  } catch (const fs::filesystem_error& e) {
    fs::current_path(start);
    GTEST_SKIP() << "no folder chain past the path limit can be made here: " << e.what();
  }
  fs::current_path(start);
  dir.write("z.txt", "");

  recorded().clear();
  const auto w = walk(dir.path());
  EXPECT_NE(find_item(w, "z.txt"), nullptr);
  std::string deepest_path;
  for (const auto& entry : w.entries) {
    if (entry.ends_with("/deepest")) deepest_path = entry;
    EXPECT_EQ(entry.find("left-out"), std::string::npos);
  }
  ASSERT_GT(deepest_path.size(), 6000u);
  const finder_item* deepest = find_item(w, deepest_path);
  EXPECT_TRUE(deepest->readable);
  EXPECT_EQ(deepest->size, 5u);
  for (const auto& e : recorded()) EXPECT_NE(e.level, 2u) << e.name << " " << e.text;
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
  // Levels keep '/' separators.
  const std::wstring folder =
      platform::separators_to_generic(platform::wide_from_path(dir / "sub"));
  EXPECT_EQ(added.depth, 7u);
  EXPECT_EQ(added.folder, folder);
  EXPECT_EQ(added.base_length, folder.size());
  EXPECT_EQ(added.source, L".gitignore");
  EXPECT_EQ(added.rules->rules.size(), 2u);
  f.load_ignore_files(platform::path_from_wide(folder + L"/"), 8);
  EXPECT_EQ(f.levels.back().base_length, folder.size());
}

TEST(FinderTest, RelativeTo) {
  // Windows separates with '\' and ignores case.
  struct row {
    const wchar_t* base;
    const wchar_t* path;
    const wchar_t* want;
    const wchar_t* windows;
  };
  const row rows[] = {
      {L"/proj", L"/proj/a/b", L"a/b", L"a\\b"},
      {L"/proj/", L"/proj/a/b", L"a/b", L"a\\b"},
      {L"/proj", L"/PROJ/a/b", L"", L"a\\b"},
      {L"/proj", L"/proj", L"", L""},
      {L"/proj", L"/x", L"", L""},
      {L"/proj", L"/proj/", L"", L""},
      {L"/proj", L"/project/x", L"ect/x", L"ect\\x"},
      {L"/p", L"/p/a\\b", L"a\\b", L"a\\b"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(platform::native_from_wide(std::wstring(r.base) + L" " + r.path));
    EXPECT_EQ(relative_to(r.base, r.path), test::on_windows ? r.windows : r.want);
  }
}

}  // namespace
}  // namespace kestrun::filesystem
