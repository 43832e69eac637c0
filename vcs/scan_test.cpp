// The project tree scan on real folders: ignore rules, links, prefixes and bad names.
#include "vcs/scan.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/params.h"
#include "vcs/state.h"
#include "vcs/state_test_fixture.h"

namespace kestrun::vcs {
namespace {

namespace fs = std::filesystem;

// The project lives in "proj" below a temporary folder, so that a ".gitignore" can stand above
// its root.
class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(base_ / "proj");
    kestrun::params settings;
    ASSERT_TRUE(settings.load(R"({"name": "a/b"})"));
    project_ = std::make_shared<project>(
        platform::path_from_wide(platform::wide_from_path(base_ / "proj") + L"/"), "a/b", settings);
    test::recorded_events().clear();
  }

  fs::path root() const { return base_ / "proj"; }
  void write(const std::string& relative, const std::string& content = "x") {
    base_.write("proj/" + relative, content);
  }

  // "D name", "F name size" or "L name>target" for every item, in map order.
  static std::vector<std::string> listing(const state& s) {
    std::vector<std::string> lines;
    for (const auto& [name, item] : s.items()) {
      std::string line = std::string(1, item->type()) + " " + *name;
      if (item->type() == 'F') {
        line += " " + std::to_string(static_cast<state_item_file*>(item.get())->size());
      } else if (item->type() == 'L') {
        line += ">" + static_cast<state_item_link*>(item.get())->target();
      }
      lines.push_back(line);
    }
    return lines;
  }

  kestrun::test::temp_folder base_;
  std::shared_ptr<project> project_;
};

TEST_F(ScanTest, EmptyFolderGivesALocalStateWithoutItems) {
  const auto st = scan_project(*project_, L"");
  ASSERT_TRUE(st);
  EXPECT_EQ(st->nn(), -1);
  EXPECT_TRUE(st->items().empty());  // the work folder ".k-vcs" is never part of it
  EXPECT_TRUE(st->driver()->is_local());
  EXPECT_EQ(st->driver()->link(), L"");
  const auto path_events = test::events_named("kestrun::vcs::project::state::path");
  ASSERT_EQ(path_events.size(), 1u);
  EXPECT_EQ(path_events[0].text, "");
}

TEST_F(ScanTest, FilesFoldersSizesAndTimes) {
  write("src/main.cpp", "int main() {}\n");
  write("src/lib/empty.h", "");
  write("README", "hello");
  fs::create_directories(root() / "docs");
  fs::last_write_time(root() / "README",
                      fs::file_time_type::clock::from_sys(
                          std::chrono::sys_seconds{std::chrono::seconds{1600000000}}));
  const auto st = scan_project(*project_, L"");
  EXPECT_EQ(listing(*st), (std::vector<std::string>{"F README 5", "D docs", "D src", "D src/lib",
                                                    "F src/lib/empty.h 0", "F src/main.cpp 14"}));
  const auto& readme = st->items().begin()->second;
  EXPECT_EQ(static_cast<state_item_file*>(readme.get())->time(), 1600000000);
  EXPECT_EQ(readme->owner(), st->driver());
  for (const auto& [name, item] : st->items()) EXPECT_EQ(name.get(), item->name().get());
  EXPECT_FALSE(test::events_named("kestrun::vcs::finder::scan::dir").empty());
}

// The state is in byte order of the names, which is not the order of the walk: "a-b" and "a0"
// fall around the contents of the folder "a".
TEST_F(ScanTest, ItemsAreInByteOrderOfTheirNames) {
  for (const char* name : {"a0", "a-b", "a/b", "a/c/d", "B", "a/b-c", "a/b0/e"}) write(name);
  const auto st = scan_project(*project_, L"");
  EXPECT_EQ(listing(*st),
            (std::vector<std::string>{"F B 1", "D a", "F a-b 1", "F a/b 1", "F a/b-c 1", "D a/b0",
                                      "F a/b0/e 1", "D a/c", "F a/c/d 1", "F a0 1"}));
}

// Anything that is neither a file, a folder nor a link is no project content: it is left out,
// and nothing opens it (a FIFO without a writer would hold the scan for ever). A link to one is
// still a link.
TEST_F(ScanTest, SpecialEntriesAreLeftOut) {
  write("plain", "12345");
  const std::string fifo = (root() / "pipe").string();
  const std::string socket = (root() / "socket").string();
  const char* const makers[] = {"mkfifo '%s'",
                                "python3 -c 'import socket,sys; "
                                "socket.socket(socket.AF_UNIX).bind(sys.argv[1])' '%s'"};
  for (const auto& [maker, path] : {std::pair{makers[0], fifo}, std::pair{makers[1], socket}}) {
    char command[4096];
    std::snprintf(command, sizeof command, maker, path.c_str());
    if (std::system((std::string(command) + " 2>/dev/null").c_str()) != 0) {
      GTEST_SKIP() << "cannot make " << path << " here";
    }
  }
  fs::create_symlink(root() / "pipe", root() / "to_pipe");
  const auto st = scan_project(*project_, L"");
  EXPECT_EQ(listing(*st), (std::vector<std::string>{"F plain 5", "L to_pipe>pipe"}));
}

// Rules above the project, and the project's own rules above the folder a run starts from, reach
// what lies below that folder but never the folder itself.
TEST_F(ScanTest, TheScannedFolderIsNeverIgnored) {
  base_.write(".gitignore", "proj/\n");
  write(".gitignore", "sub/\n*.log\n");
  write("sub/file");
  write("sub/app.log");
  write("top");
  EXPECT_EQ(listing(*scan_project(*project_, L"")),
            (std::vector<std::string>{"F .gitignore 11", "F top 1"}));
  EXPECT_EQ(listing(*scan_project(*project_, L"sub")), (std::vector<std::string>{"F sub/file 1"}));
}

TEST_F(ScanTest, IgnoreRulesAtEveryLevel) {
  base_.write(".gitignore", "above.txt\n");  // a folder above the project root
  write(".gitignore", "build/\n*.log\n");
  write("build/out.o");
  write("app.log");
  write("above.txt");
  write("keep.txt");
  write("sub/.gitignore", "local\n");
  write("sub/local");
  write("sub/other");
  write(".git/config");  // beside a ".gitignore"
  const auto st = scan_project(*project_, L"");
  EXPECT_EQ(listing(*st), (std::vector<std::string>{"F .gitignore 13", "F keep.txt 1", "D sub",
                                                    "F sub/.gitignore 6", "F sub/other 1"}));
  // One event per ignored entry; nothing below an ignored folder is visited.
  const auto ignored = test::events_named("kestrun::vcs::finder::ignore");
  EXPECT_EQ(ignored.size(), 6u);  // build, app.log, above.txt, sub/local, .git, .k-vcs
  for (const auto& e : ignored) EXPECT_EQ(e.text.find("out.o"), std::string::npos) << e.text;
}

// A ".git" folder is left out only beside an ignore file, and its event names that file.
TEST_F(ScanTest, GitFolderOnlyBesideAnIgnoreFile) {
  write(".git/HEAD");
  write("sub/.git/HEAD");
  EXPECT_EQ(listing(*scan_project(*project_, L"")),
            (std::vector<std::string>{"D .git", "F .git/HEAD 1", "D sub", "D sub/.git",
                                      "F sub/.git/HEAD 1"}));
  write(".gitignore", "");
  test::recorded_events().clear();
  EXPECT_EQ(
      listing(*scan_project(*project_, L"")),
      (std::vector<std::string>{"F .gitignore 0", "D sub", "D sub/.git", "F sub/.git/HEAD 1"}));
  const auto ignored = test::events_named("kestrun::vcs::finder::ignore");
  ASSERT_EQ(ignored.size(), 2u);  // .git and .k-vcs
  EXPECT_EQ(ignored[0].text,
            (root() / ".git").generic_string() + " <> " + (root() / ".gitignore").generic_string());
}

// Only the root's own ".k-vcs" is the work folder; an entry of that name deeper down, of any
// kind, is content like any other, and a folder of that name above the root changes nothing.
TEST_F(ScanTest, WorkFolderIsTheRootsOwnOnly) {
  write(".k-vcs/cache/1.gz");
  write("sub/.k-vcs/inner.txt");
  write("file/.k-vcs");
  fs::create_directories(root() / "link");
  std::vector<std::string> content = {"D file", "F file/.k-vcs 1", "D link",
                                      "D sub",  "D sub/.k-vcs",    "F sub/.k-vcs/inner.txt 1"};
  // Where links can be made, a link of that name is ordinary content too.
  if (kestrun::test::can_make_links()) {
    fs::create_symlink(root() / "file/.k-vcs", root() / "link/.k-vcs");
    content.insert(content.begin() + 3, "L link/.k-vcs>file/.k-vcs");
  }
  EXPECT_EQ(listing(*scan_project(*project_, L"")), content);
  const auto ignored = test::events_named("kestrun::vcs::finder::ignore");
  ASSERT_EQ(ignored.size(), 1u);
  EXPECT_EQ(ignored[0].text, (root() / ".k-vcs").generic_string() + " </.k-vcs> GLOBAL");

  // A ".gitignore" that negates the rule still does not bring the work folder in, and a run
  // started inside it finds nothing of the project.
  write(".gitignore", "!.k-vcs\n!.k-vcs/\n");
  std::vector<std::string> with_rules = content;
  with_rules.insert(with_rules.begin(), "F .gitignore 17");
  EXPECT_EQ(listing(*scan_project(*project_, L"")), with_rules);
  EXPECT_TRUE(scan_project(*project_, L".k-vcs")->items().empty());
  EXPECT_TRUE(scan_project(*project_, L".k-vcs/cache")->items().empty());
  EXPECT_EQ(listing(*scan_project(*project_, L"sub/.k-vcs")),
            (std::vector<std::string>{"F sub/.k-vcs/inner.txt 1"}));

  // A project inside a folder named ".k-vcs" is scanned whole.
  base_.write("outer/.k-vcs/inner/f", "12");
  kestrun::params settings;
  ASSERT_TRUE(settings.load(R"({"name": "a/c"})"));
  project inner(platform::path_from_wide(
                    platform::wide_from_path(base_ / "outer" / ".k-vcs" / "inner") + L"/"),
                "a/c", settings);
  EXPECT_EQ(listing(*scan_project(inner, L"")), (std::vector<std::string>{"F f 2"}));
}

TEST_F(ScanTest, LinksInsideTheProjectOnly) {
  if (!kestrun::test::can_make_links()) GTEST_SKIP() << kestrun::test::no_links;
  write("dir1/file");
  fs::create_directory_symlink(root() / "dir1", root() / "dir2");  // a junction here
  fs::create_symlink(root() / "dir1" / "file", root() / "to_file");
  fs::create_symlink("dir1", root() / "relative");                 // relative target text
  fs::create_directory_symlink(base_.path(), root() / "outside");  // leads out of the project
  base_.write("proj-sibling/x", "x");
  fs::create_directory_symlink(base_ / "proj-sibling", root() / "sibling");
  const auto st = scan_project(*project_, L"");
  EXPECT_EQ(listing(*st), (std::vector<std::string>{"D dir1", "F dir1/file 1", "L dir2>dir1",
                                                    "L to_file>dir1/file"}));
}

TEST_F(ScanTest, PrefixScansOnlyThatFolderUnderFullNames) {
  write("sub/file");
  write("sub/deeper/x");
  write("subx/y");
  write("top");
  const auto st = scan_project(*project_, L"sub");
  EXPECT_EQ(listing(*st),
            (std::vector<std::string>{"D sub/deeper", "F sub/deeper/x 1", "F sub/file 1"}));
  EXPECT_EQ(test::events_named("kestrun::vcs::project::state::path")[0].text, "sub");
}

TEST_F(ScanTest, NonAsciiNamesAreKeptAndInvalidOnesAreLeftOutByName) {
  write("caf\xc3\xa9/\xf0\x9f\x98\x80.txt");
  EXPECT_EQ(listing(*scan_project(*project_, L"")),
            (std::vector<std::string>{"D caf\xc3\xa9", "F caf\xc3\xa9/\xf0\x9f\x98\x80.txt 1"}));
  EXPECT_EQ(listing(*scan_project(*project_, L"caf\u00e9")),
            (std::vector<std::string>{"F caf\xc3\xa9/\xf0\x9f\x98\x80.txt 1"}));
  // A project root beyond ASCII.
  base_.write("r\xc3\xa9po/sub/f", "12");
  kestrun::params settings;
  ASSERT_TRUE(settings.load(R"({"name": "a/c"})"));
  project other(platform::path_from_wide(platform::wide_from_path(base_ / "r\xc3\xa9po") + L"/"),
                "a/c", settings);
  EXPECT_EQ(listing(*scan_project(other, L"sub")), (std::vector<std::string>{"F sub/f 2"}));

  if (!kestrun::test::keeps_invalid_names()) GTEST_SKIP() << kestrun::test::no_invalid_names;
  EXPECT_FALSE(scan_project(*project_, L"")->incomplete());
  write("caf\xE9-menu.txt");
  write("old\xE9/inside.txt");  // below a folder whose name is no text: named once, with it
  std::vector<std::string> want = {"D caf\xc3\xa9", "F caf\xc3\xa9/\xf0\x9f\x98\x80.txt 1"};
  std::vector<std::string> named = {"caf\\xE9-menu.txt: the name is not UTF-8, left out",
                                    "old\\xE9: the name is not UTF-8, left out"};
  if (kestrun::test::can_make_links()) {
    fs::create_symlink(root() / platform::path_from_wide(platform::wide_from_native("target\xFF")),
                       root() / "link");
    named.push_back("link: the link's target is not UTF-8, left out");
  }
  test::recorded_events().clear();
  const auto st = scan_project(*project_, L"");
  EXPECT_EQ(listing(*st), want);
  EXPECT_TRUE(st->incomplete());
  std::vector<std::string> shown;
  for (const auto& e : test::events_named("kestrun::vcs::project::state::name")) {
    EXPECT_EQ(e.level, 2u);
    shown.push_back(e.text);
  }
  std::sort(shown.begin(), shown.end());
  std::sort(named.begin(), named.end());
  EXPECT_EQ(shown, named);
}

}  // namespace
}  // namespace kestrun::vcs
