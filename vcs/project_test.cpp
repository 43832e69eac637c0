// Opening a project: the search for the project file, the root and sub-path, the name rule, bad
// project files, and the temporary folder's life.
#include "vcs/project.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/platform.h"
#include "tests/support/event_recorder.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"

namespace kestrun::vcs {
namespace {

namespace fs = std::filesystem;

// Every project event fired while a test runs.
std::vector<test::t_recorded_event>& events() {
  return test::recorded_events("kestrun::vcs::project.*");
}

std::wstring wide(const fs::path& path) { return platform::wide_from_path(path); }

// Runs a test from another current folder and goes back afterwards.
class current_folder {
 public:
  explicit current_folder(const fs::path& folder) : previous(fs::current_path()) {
    fs::current_path(folder);
  }
  ~current_folder() { fs::current_path(previous); }

 private:
  fs::path previous;
};

class ProjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site = temp / "site";
    temp.write("site/kestrun-vcs.json", R"({"name": "alice/site"})");
    fs::create_directories(site / "src" / "lib");
    events().clear();
  }

  // The root as the project gives it: generic, one trailing '/'.
  std::string root_text() const { return utf16_to_utf8(path_to_generic(site, true)); }

  std::shared_ptr<project> open(const std::wstring& folder, std::wstring& sub_path) {
    return project::open(folder, sub_path);
  }

  test::temp_folder temp;
  fs::path site;
};

TEST_F(ProjectTest, OpensFromASubfolder) {
  std::wstring sub_path = L"unchanged";
  auto p = open(wide(site / "src" / "lib"), sub_path);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->root().string(), root_text());
  EXPECT_EQ(p->name(), L"alice/site");
  EXPECT_EQ(sub_path, L"src/lib");
  ASSERT_EQ(events().size(), 2u);
  EXPECT_EQ(events()[0].name, "kestrun::vcs::project::path");
  EXPECT_EQ(events()[0].text, "src/lib");
  EXPECT_EQ(events()[1].name, "kestrun::vcs::project::create");
  EXPECT_EQ(events()[1].level, 0u);
  EXPECT_EQ(events()[1].text, "alice/site " + root_text());
}

TEST_F(ProjectTest, FolderTextsGiveRootAndSubPath) {
  struct row {
    const char* name;
    std::wstring folder;
    std::wstring sub_path;
  };
  const std::wstring base = wide(site);
  const row rows[] = {
      {"root", base, L""},
      {"root with slash", base + L"/", L""},
      {"dotted", base + L"/./src/../src/lib/", L"src/lib"},
      {"doubled separators", base + L"//src//lib", L"src/lib"},
      {"missing subfolder", base + L"/not/there", L"not/there"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    events().clear();
    std::wstring sub_path;
    auto p = open(r.folder, sub_path);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->root().string(), root_text());
    EXPECT_EQ(sub_path, r.sub_path);
    ASSERT_FALSE(events().empty());
    EXPECT_EQ(events()[0].text, platform::native_from_wide(r.sub_path));
  }
}

TEST_F(ProjectTest, RelativeFoldersStartAtTheCurrentFolder) {
  struct row {
    const char* name;
    fs::path current;
    std::wstring folder;
    std::wstring sub_path;
  };
  const row rows[] = {
      {"dot at the root", site, L".", L""},
      {"relative subfolder", site, L"src/lib", L"src/lib"},
      {"dot in a subfolder", site / "src", L".", L"src"},
      {"parent step", site / "src" / "lib", L"..", L"src"},
      {"empty text", site / "src", L"", L"src"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    current_folder cd(r.current);
    std::wstring sub_path;
    auto p = open(r.folder, sub_path);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->root().string(), root_text());
    EXPECT_EQ(sub_path, r.sub_path);
  }
}

TEST_F(ProjectTest, NearestProjectFileWins) {
  temp.write("site/src/kestrun-vcs.json", R"({"name": "bob/inner"})");
  std::wstring sub_path;
  auto p = open(wide(site / "src" / "lib"), sub_path);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->name(), L"bob/inner");
  EXPECT_EQ(p->root().string(), utf16_to_utf8(path_to_generic(site / "src", true)));
  EXPECT_EQ(sub_path, L"lib");
}

TEST_F(ProjectTest, NoProjectFile) {
  fs::create_directories(temp / "elsewhere");
  std::wstring sub_path = L"unchanged";
  EXPECT_EQ(open(wide(temp / "elsewhere"), sub_path), nullptr);
  EXPECT_EQ(sub_path, L"unchanged");
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].name, "kestrun::vcs::project");
  EXPECT_EQ(events()[0].level, 2u);
  EXPECT_EQ(events()[0].text, "Not found file project kestrun-vcs.json!");
}

TEST_F(ProjectTest, NameRule) {
  const char* accepted[] = {"alice/site", "a-b_c/$x@y", "0/0"};
  const char* refused[] = {"alice",    "alice/",     "/site",         "a/b/c", "al ice/site",
                           "a\\\\b/c", "\xc3\xa9/x", "alice/site\\n", ""};
  for (const char* name : accepted) {
    SCOPED_TRACE(name);
    temp.write("site/kestrun-vcs.json", std::string(R"({"name": ")") + name + "\"}");
    std::wstring sub_path;
    EXPECT_NE(open(wide(site), sub_path), nullptr);
  }
  for (const char* name : refused) {
    SCOPED_TRACE(name);
    temp.write("site/kestrun-vcs.json", std::string(R"({"name": ")") + name + "\"}");
    events().clear();
    std::wstring sub_path;
    EXPECT_EQ(open(wide(site), sub_path), nullptr);
    ASSERT_EQ(events().size(), 2u);
    EXPECT_EQ(events()[1].name, "kestrun::vcs::project::name");
    EXPECT_EQ(events()[1].level, 2u);
  }
}

TEST_F(ProjectTest, NameMessage) {
  temp.write("site/kestrun-vcs.json", R"({"name": "alice"})");
  std::wstring sub_path;
  EXPECT_EQ(open(wide(site), sub_path), nullptr);
  ASSERT_EQ(events().size(), 2u);
  EXPECT_EQ(events()[1].text, R"(Project name "alice" does not match regular expression /)"
                              R"([a-zA-Z0-9_@$\-]{1,}\/[a-zA-Z0-9_@$\-]{1,}/)");
}

TEST_F(ProjectTest, BadProjectFilesGiveNothing) {
  struct row {
    const char* name;
    const char* content;  // null: a folder of that name
  };
  const row rows[] = {
      {"number name", R"({"name": 5})"},          {"no name", "{}"},  {"array", "[1]"},
      {"not json", R"({"name": "alice/site",})"}, {"empty file", ""}, {"folder", nullptr}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    fs::remove_all(site / "kestrun-vcs.json");
    if (r.content == nullptr) {
      fs::create_directory(site / "kestrun-vcs.json");
    } else {
      temp.write("site/kestrun-vcs.json", r.content);
    }
    events().clear();
    std::wstring sub_path = L"x";
    EXPECT_EQ(open(wide(site / "src"), sub_path), nullptr);
    EXPECT_EQ(sub_path, L"src");
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0].name, "kestrun::vcs::project::path");
  }
}

TEST_F(ProjectTest, TemporaryPaths) {
  std::wstring sub_path;
  auto p = open(wide(site), sub_path);
  ASSERT_NE(p, nullptr);
  const fs::path temp_folder = site / ".k-vcs" / "temp";
  EXPECT_EQ(p->temp.path(), temp_folder);
  std::vector<fs::path> paths;
  for (int i = 0; i < 256; ++i) paths.push_back(p->temp.new_path());
  EXPECT_EQ(paths[0], temp_folder / "00" / "00" / "01");
  EXPECT_EQ(paths[1], temp_folder / "00" / "00" / "02");
  EXPECT_EQ(paths[15], temp_folder / "00" / "00" / "10");
  EXPECT_EQ(paths[254], temp_folder / "00" / "00" / "ff");
  EXPECT_EQ(paths[255], temp_folder / "00" / "01" / "00");
  EXPECT_TRUE(fs::is_directory(temp_folder / "00" / "01"));
  EXPECT_FALSE(fs::exists(paths[0]));  // the file itself is not made
}

TEST_F(ProjectTest, OpenClearsTheTemporaryFolderOnly) {
  temp.write("site/.k-vcs/temp/00/00/01", "left over");
  temp.write("site/.k-vcs/cbf29ce484222325/1.gz", "cached");
  std::wstring sub_path;
  auto p = open(wide(site), sub_path);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(fs::is_directory(site / ".k-vcs" / "temp"));
  EXPECT_TRUE(fs::is_empty(site / ".k-vcs" / "temp"));
  EXPECT_EQ(test::slurp(site / ".k-vcs" / "cbf29ce484222325" / "1.gz"), "cached");
}

TEST_F(ProjectTest, ReleaseRemovesTheTemporaryFolder) {
  std::wstring sub_path;
  auto p = open(wide(site), sub_path);
  ASSERT_NE(p, nullptr);
  temp.write("site/.k-vcs/temp/00/00/01", "a temporary file");
  events().clear();
  p.reset();
  ASSERT_EQ(events().size(), 2u);
  EXPECT_EQ(events()[0].name, "kestrun::vcs::project::destroy");
  EXPECT_EQ(events()[0].text, "alice/site " + root_text());
  EXPECT_EQ(events()[1].name, "kestrun::vcs::project::temp");
  EXPECT_EQ(events()[1].text, "clear");
  EXPECT_FALSE(fs::exists(site / ".k-vcs" / "temp"));
  EXPECT_TRUE(fs::is_directory(site / ".k-vcs"));
}

TEST_F(ProjectTest, TemporaryFolderGoneBeforeRelease) {
  std::wstring sub_path;
  auto p = open(wide(site), sub_path);
  ASSERT_NE(p, nullptr);
  fs::remove_all(site / ".k-vcs" / "temp");
  events().clear();
  p.reset();
  ASSERT_EQ(events().size(), 1u);  // no "clear" for a folder that is not there
  EXPECT_EQ(events()[0].name, "kestrun::vcs::project::destroy");
}

TEST_F(ProjectTest, WorkFolderThatIsAFileThrows) {
  temp.write("site/.k-vcs", "a file where the work folder belongs");
  std::wstring sub_path;
  EXPECT_THROW(open(wide(site), sub_path), fs::filesystem_error);
}

TEST_F(ProjectTest, FailedExistenceTestThrows) {
  if (!test::can_make_links()) GTEST_SKIP() << test::no_links;
  // A link loop on the way fails the existence test with something other than "not found".
  fs::create_symlink("loop", temp / "loop");
  std::wstring sub_path;
  try {
    open(wide(temp / "loop" / "sub"), sub_path);
    ADD_FAILURE() << "no exception";
  } catch (const fs::filesystem_error& e) {
    EXPECT_NE(std::string(e.what()).find("exists"), std::string::npos) << e.what();
  }
}

// A second run on the project, from the same folder or a subfolder, finds the work folder held:
// it says so at level 2 and touches nothing, neither the first run's temporary files nor the
// cache. Once the first run has ended the project opens again.
TEST_F(ProjectTest, SecondOpenWhileTheFirstLivesChangesNothing) {
  temp.write("site/.k-vcs/cbf29ce484222325/1.gz", "cached");
  std::wstring sub_path;
  auto first = open(wide(site), sub_path);
  ASSERT_NE(first, nullptr);
  const fs::path in_use = first->temp.new_path();
  temp.write("site/.k-vcs/temp/00/00/01", "the first run's file");
  for (const fs::path& folder : {site, site / "src" / "lib"}) {
    SCOPED_TRACE(folder.string());
    events().clear();
    EXPECT_EQ(open(wide(folder), sub_path), nullptr);
    ASSERT_FALSE(events().empty());
    EXPECT_EQ(events().back().name, "kestrun::vcs::project::lock");
    EXPECT_EQ(events().back().level, 2u);
    EXPECT_EQ(events().back().text, "Another run is working on the project alice/site in " +
                                        platform::narrow_from_path(
                                            platform::path_from_wide(path_to_generic(site, true))));
    EXPECT_EQ(test::slurp(in_use), "the first run's file");
    EXPECT_EQ(test::slurp(site / ".k-vcs" / "cbf29ce484222325" / "1.gz"), "cached");
  }
  first.reset();
  auto again = open(wide(site), sub_path);
  EXPECT_NE(again, nullptr);
  EXPECT_TRUE(fs::is_empty(site / ".k-vcs" / "temp"));
}

// The lock is a file of the work folder, which a project of its own opens for the first time.
TEST_F(ProjectTest, WorkFolderLockIsTakenBeforeTheTemporaryFolderIsCleared) {
  std::wstring sub_path;
  platform::file_lock other;
  fs::create_directories(site / ".k-vcs");
  std::error_code ec;
  ASSERT_TRUE(other.acquire(site / ".k-vcs" / "lock", ec)) << ec.message();
  temp.write("site/.k-vcs/temp/00/00/01", "another run's file");
  EXPECT_EQ(open(wide(site), sub_path), nullptr);
  EXPECT_EQ(test::slurp(site / ".k-vcs" / "temp" / "00" / "00" / "01"), "another run's file");
  // A project made directly refuses the same way, by an exception.
  kestrun::params settings;
  ASSERT_TRUE(settings.load(R"({"name": "alice/site"})"));
  EXPECT_THROW(
      project(platform::path_from_wide(path_to_generic(site, true)), "alice/site", settings),
      fs::filesystem_error);
  other.release();
  EXPECT_NE(open(wide(site), sub_path), nullptr);
}

}  // namespace
}  // namespace kestrun::vcs
