// Start-up of kvcs in-process: the option table, the command-line report, the Storage ID lookup,
// the event display and spinner, and the log file of whole runs, the exception's end included.
#include "vcs/console.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/notify/event.h"
#include "common/stream/gz_buffer.h"
#include "common/text.h"
#include "platform/platform.h"
#include "tests/support/environment.h"
#include "tests/support/platform_facts.h"
#include "tests/support/temp_folder.h"
#include "vcs/run.h"

namespace kestrun::vcs {
namespace {

const std::string spinner_chars = "-\\|/";

// Points XDG_CONFIG_HOME at a folder for the test's lifetime. Windows takes the folder from the
// user's profile instead, whatever the environment says.
class config_home {
 public:
  explicit config_home(const std::filesystem::path& folder) {
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) {
      old_ = old;
      had_ = true;
    }
    test::set_environment("XDG_CONFIG_HOME", platform::narrow_from_path(folder).c_str());
  }
  ~config_home() { test::set_environment("XDG_CONFIG_HOME", had_ ? old_.c_str() : nullptr); }

  static constexpr const char* unmoved =
      "Windows takes the configuration folder from the user's profile, which a test cannot "
      "move";

 private:
  std::string old_;
  bool had_ = false;
};

// A description configured by configure_tool and parsed from `args` (the program name first).
struct parsed {
  app_info info;
  bool ok = false;
  explicit parsed(std::vector<std::string> args) {
    app_info::tool tool;
    tool.owner = &info;
    configure_tool(&tool);
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    ok = info.parse(static_cast<int>(argv.size()), argv.data());
  }
};

std::string captured_stdout() {
  platform::flush_out();
  return testing::internal::GetCapturedStdout();
}

// The lines of a gzip log; `complete` tells whether the gzip stream ended properly.
std::vector<std::string> read_log(const std::filesystem::path& path, bool& complete) {
  std::ifstream file(path, std::ios::binary);
  stream::gz::ibuffer buffer(file);
  std::istream in(&buffer);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  complete = file.is_open() && !in.bad();
  return lines;
}

TEST(ConsoleTest, OptionTableParsesTheCommandLine) {
  struct row {
    std::vector<std::string> args;
    const char* error;  // empty: the parse succeeds
  };
  const row rows[] = {
      {{"kvcs"}, "The value of parameter 'folder' is not defined"},
      {{"kvcs", "/p", "-m=backup"}, "The value of parameter '-s' is not defined"},
      {{"kvcs", "/p", "-m=copy", "-s=x"}, "[copy] value is not possible for '-m' parameter"},
      {{"kvcs", "/p", "--mode=copy", "-s=x"}, "[copy] value is not possible for '-m' parameter"},
      {{"kvcs", "/p", "-x=1", "-m=backup", "-s=x"}, "Argument '-x' is not defined"},
      {{"kvcs", "/p", "-m=backup", "--mode=restore", "-s=x"},
       "Argument '--mode=restore' cannot be repeated"},
      {{"kvcs", "/p", "-m=restore", "--storage=x", "--log", "--nn=-2", "--nosave"}, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.args));
    parsed p(r.args);
    EXPECT_EQ(p.ok, *r.error == '\0');
    EXPECT_EQ(p.info.error, r.error);
  }
  parsed full({"kvcs", "/p", "-m=restore", "-s=x"});
  ASSERT_TRUE(full.ok);
  EXPECT_EQ(full.info.name, "Kestrun VCS");
  EXPECT_EQ(full.info.version, "1.0.0-beta.15");
  EXPECT_EQ(full.info.get("folder", ""), "/p");
  EXPECT_EQ(full.info.get("--mode", ""), "restore");
  EXPECT_EQ(full.info.get_int("-n", 7), 0);
  EXPECT_FALSE(full.info.has("-l"));
  EXPECT_FALSE(full.info.has("--nosave"));
}

TEST(ConsoleTest, UsageTextListsTheOptions) {
  parsed p({"kvcs"});
  const std::string program = platform::program_path().filename().string();
  EXPECT_EQ(p.info.usage(), "Kestrun VCS version 1.0.0-beta.15\n\nUsage: " + program +
                                " -m -s [-l] [-n] [--nosave] folder\n\n"
                                "Positional arguments:\n"
                                "  folder Project folder\n\n"
                                "Optional arguments:\n"
                                "  -m, --mode    Working mode\n"
                                "    backup  Save data to storage\n"
                                "    restore Restore data from storage\n"
                                "  -s, --storage Link to storage/Storage ID\n"
                                "  -l, --log     Display log on screen\n"
                                "  -n, --nn      Recovery Version ID\n"
                                "  --nosave      Without saving the result\n");
}

TEST(ConsoleTest, StoragesPathLiesInTheConfigurationFolder) {
  test::temp_folder temp;
  config_home home(temp.path());
  if (test::on_windows) {
    EXPECT_EQ(storages_path(), platform::config_folder() / "Kestrun VCS" / "storages.json");
    GTEST_SKIP() << config_home::unmoved;
  }
  EXPECT_EQ(storages_path(), temp.path() / "Kestrun VCS" / "storages.json");
}

TEST(ConsoleTest, CommandLineErrorGoesToTheErrorStreamAndExitsWithOne) {
  test::temp_folder temp;
  config_home home(temp.path());
  const std::filesystem::path config = test::on_windows ? platform::config_folder() : temp.path();
  parsed p({"kvcs", "/p", "-m=copy", "-s=x"});
  ASSERT_FALSE(p.ok);
  const std::string expected = p.info.error + "\n\n" + p.info.usage() +
                               "\nStorage ID settings file:\n  " +
                               platform::narrow_from_path(config) + "/Kestrun VCS/storages.json\n";
  EXPECT_EXIT(fail_command_line(p.info.error, p.info), testing::ExitedWithCode(1),
              testing::Eq(expected));
}

TEST(ConsoleTest, StorageIdIsLookedUpInTheSettingsFile) {
  test::temp_folder temp;
  struct row {
    const char* label;
    const char* content;  // null: no file at all
    const char* storage;
    const char* link;
  };
  const row rows[] = {
      {"no file", nullptr, "x", "x"},
      {"empty", "", "x", "x"},
      {"not JSON", "{\"x\": \"a\",}", "x", "x"},
      {"array", "[\"x\"]", "x", "x"},
      {"string", "\"x\"", "x", "x"},
      {"member absent", "{\"y\": \"a\"}", "x", "x"},
      {"member", "{\"x\": \"ftp://u:p@h:21/b\", \"y\": 1}", "x", "ftp://u:p@h:21/b"},
      {"byte-wise key", "{\"X\": \"a\"}", "x", "x"},
      {"non-ASCII", "{\"k\xc3\xa9\": \"/d/\xf0\x9f\x98\x80\"}", "k\xc3\xa9", "/d/\xf0\x9f\x98\x80"},
      {"folder link", "{}", "/srv/backup", "/srv/backup"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    const auto file = temp / r.label / "storages.json";
    if (r.content != nullptr) temp.write(std::string(r.label) + "/storages.json", r.content);
    params settings;
    EXPECT_EQ(lookup_storage(r.storage, file, settings), r.link);
  }
  // A folder where the file should be reads as nothing.
  std::filesystem::create_directories(temp / "folder" / "storages.json");
  params settings;
  EXPECT_EQ(lookup_storage("x", temp / "folder" / "storages.json", settings), "x");
}

TEST(ConsoleTest, StorageIdMappedToANumberIsATypeError) {
  test::temp_folder temp;
  const auto file = temp.write("storages.json", "{\"x\": 5, \"y\": null}");
  for (const char* id : {"x", "y"}) {
    SCOPED_TRACE(id);
    params settings;
    try {
      (void)lookup_storage(id, file, settings);
      ADD_FAILURE() << "no exception";
    } catch (const nlohmann::json::type_error& e) {
      EXPECT_EQ(e.id, 302);
      EXPECT_EQ(std::string(e.what()), std::string("[json.exception.type_error.302] type must be "
                                                   "string, but is ") +
                                           (*id == 'x' ? "number" : "null"));
    }
  }
}

TEST(ConsoleTest, SpinnerTurnsThroughFourCharacters) {
  testing::internal::CaptureStdout();
  turn_spinner(true);
  for (int i = 0; i < 4; ++i) turn_spinner(false);
  const std::string out = captured_stdout();
  ASSERT_EQ(out.size(), 9u);
  const auto first = spinner_chars.find(out[0]);
  ASSERT_NE(first, std::string::npos);
  for (std::size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(out[2 * i - 1], '\b');
    EXPECT_EQ(out[2 * i], spinner_chars[(first + i) % 4]);
  }
  EXPECT_EQ(out[8], out[0]);
}

TEST(ConsoleTest, ShowEventWritesTheLogAndTheConsole) {
  struct row {
    std::uint32_t level;
    bool progress;
    bool on_screen;
    const char* log;
    const char* console;  // '@' stands for the spinner character
  };
  const row rows[] = {
      {0, false, false, "kestrun::vcs::e t\n", "\b@"},
      {1, false, false, "kestrun::vcs::e~ t\n", "\b@"},
      {0, true, false, "kestrun::vcs::e# 33.3333\n", "\b@"},
      {1, true, false, "kestrun::vcs::e~ 33.3333\n", "\b@"},
      {2, true, false, "kestrun::vcs::e! 33.3333\n", "\nkestrun::vcs::e! 33.3333\n@"},
      {2, false, false, "kestrun::vcs::e! t\n", "\nkestrun::vcs::e! t\n@"},
      {0, false, true, "kestrun::vcs::e t\n", "kestrun::vcs::e t\n"},
      {2, false, true, "kestrun::vcs::e! t\n", "kestrun::vcs::e! t\n"},
      {0, true, true, "kestrun::vcs::e# 33.3333\n", "kestrun::vcs::e# 33.3333\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "level " << r.level << (r.progress ? " progress" : "")
                                    << (r.on_screen ? " -l" : ""));
    notify::event e("kestrun::vcs::e");
    e.level = r.level;
    if (r.progress) {
      e.type = notify::event::t_type::progress;
      e.data = std::make_shared<notify::progress>(333333);
    } else {
      e.type = notify::event::t_type::text;
      e.data = std::make_shared<notify::text>("t");
    }
    std::ostringstream log;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(show_event(&log, r.on_screen, &e));
    std::string out = captured_stdout();
    EXPECT_EQ(log.str(), r.log);
    std::string want = r.console;
    if (!want.empty() && want.back() == '@') {
      ASSERT_FALSE(out.empty());
      EXPECT_NE(spinner_chars.find(out.back()), std::string::npos);
      out.back() = '@';
    }
    EXPECT_EQ(out, want);
  }
  // Without a log (closed) only the console shows the event.
  notify::event e("kestrun::vcs::e");
  e.data = std::make_shared<notify::text>("t");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(show_event(nullptr, true, &e));
  EXPECT_EQ(captured_stdout(), "kestrun::vcs::e t\n");
}

// A whole start-up with its log, in the configuration folder of a temporary folder.
class ConsoleRunTest : public testing::Test {
 protected:
  void SetUp() override {
    if (test::on_windows) GTEST_SKIP() << config_home::unmoved;
  }

  test::temp_folder temp;
  config_home home{temp / "config"};
  std::filesystem::path logs = temp / "config" / "Kestrun VCS" / "logs";
  std::string folder = (temp / "project").string();

  std::string expected_head(const console& c) const {
    return "name: Kestrun VCS\nversion: 1.0.0-beta.15\nFolder: " + folder +
           "/\nLog file: " + c.log_path().string() + "\n";
  }
};

TEST_F(ConsoleRunTest, LogHoldsStampVersionEventsAndEndStamp) {
  temp.write("config/Kestrun VCS/storages.json", "{\"x\": \"/srv/storage\"}");
  parsed p({"kvcs", folder + "/sub/..", "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  std::string link;
  std::filesystem::path log_path;
  std::string head;
  {
    console c;
    ASSERT_TRUE(c.start(p.info));
    link = c.link();
    log_path = c.log_path();
    head = expected_head(c);
    notify::create("kestrun::vcs::step")->fire_text("one");
    notify::create("elsewhere::step")->fire_text("not shown");
    notify::create("kestrun::vcs::save")->set_error(true)->fire_text("local");
    c.close_log();
    notify::create("kestrun::vcs::project::close")->fire_text("after the log");
  }
  notify::create("kestrun::vcs::late")->set_error(true)->fire_text("nobody listens");
  std::string out = captured_stdout();

  EXPECT_EQ(link, "/srv/storage");
  EXPECT_EQ(log_path.parent_path(), logs);
  ASSERT_GE(out.size(), head.size());
  EXPECT_EQ(out.substr(0, head.size()), head);
  // Spinner, a turn, the error on its own line, the spinner again, a turn after the log closed.
  const std::string rest = out.substr(head.size());
  EXPECT_THAT(rest, testing::MatchesRegex("[-\\\\|/]\b[-\\\\|/]\nkestrun::vcs::save! local\n"
                                          "[-\\\\|/]\b[-\\\\|/]"));

  bool complete = false;
  const auto lines = read_log(log_path, complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0] + ".gz", log_path.filename().string());
  EXPECT_THAT(lines[0], testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{2}-[0-9]{2}-"
                                              "[0-9]{2}"));
  EXPECT_EQ(lines[1], "1.0.0-beta.15");
  EXPECT_EQ(lines[2], "kestrun::vcs::step one");
  EXPECT_EQ(lines[3], "kestrun::vcs::save! local");
  EXPECT_GE(lines[4], lines[0]);
  EXPECT_EQ(lines[4].size(), lines[0].size());
}

TEST_F(ConsoleRunTest, LogOnScreenShowsEveryEventAndNoSpinner) {
  parsed p({"kvcs", folder, "-m=restore", "-s=/d", "-l"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  std::string head;
  {
    console c;
    ASSERT_TRUE(c.start(p.info));
    head = expected_head(c);
    EXPECT_EQ(c.link(), "/d");
    notify::create("kestrun::vcs::step")->fire_progress(1, 4);
    c.close_log();
  }
  EXPECT_EQ(captured_stdout(), head + "kestrun::vcs::step# 25.0000\n");
}

TEST_F(ConsoleRunTest, ExceptionReportStillCompletesTheLog) {
  parsed p({"kvcs", folder, "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  std::filesystem::path log_path;
  const int code = guarded([&] {
    console c;
    if (!c.start(p.info)) return 5;
    log_path = c.log_path();
    notify::create("kestrun::vcs::step")->fire_text("before");
    throw std::runtime_error("Math error: Attempted to divide by Zero");
  });
  const std::string out = captured_stdout();
  EXPECT_EQ(code, 0);
  // The report stands on a line of its own, below the spinner's.
  const std::string report = "\nstd::exceptionMath error: Attempted to divide by Zero\n";
  ASSERT_THAT(out, testing::EndsWith(report));
  ASSERT_GT(out.size(), report.size());
  EXPECT_NE(spinner_chars.find(out[out.size() - report.size() - 1]), std::string::npos);
  bool complete = false;
  const auto lines = read_log(log_path, complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(lines.size(), 3u);  // no end line
  EXPECT_EQ(lines[2], "kestrun::vcs::step before");
}

TEST_F(ConsoleRunTest, StorageIdMappedToANumberEndsBeforeTheLog) {
  temp.write("config/Kestrun VCS/storages.json", "{\"x\": 5}");
  parsed p({"kvcs", folder, "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  EXPECT_EQ(guarded([&] { return run(p.info); }), 0);
  EXPECT_EQ(captured_stdout(),
            "name: Kestrun VCS\nversion: 1.0.0-beta.15\nFolder: " + folder +
                "/\nstd::exception[json.exception.type_error.302] type must be string, but is "
                "number\n");
  EXPECT_FALSE(std::filesystem::exists(logs));
}

TEST_F(ConsoleRunTest, LogFolderThatCannotBeCreatedIsReported) {
  temp.write("config/Kestrun VCS/logs", "a file where the folder should be");
  parsed p({"kvcs", folder, "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  EXPECT_EQ(guarded([&] { return run(p.info); }), 0);
  const std::string out = captured_stdout();
  EXPECT_THAT(out, testing::HasSubstr("\nLog file: " + logs.string() + "/"));
  EXPECT_THAT(out, testing::HasSubstr("\nstd::exceptionfilesystem error: create_directories: "));
  EXPECT_THAT(out, testing::HasSubstr("[" + logs.string() + "]\n"));
}

TEST(LogFileName, CountsFromTheSecondRunOfASecond) {
  EXPECT_EQ(log_file_name("2026-12-10_09-23-57", 1), "2026-12-10_09-23-57.gz");
  EXPECT_EQ(log_file_name("2026-12-10_09-23-57", 2), "2026-12-10_09-23-57_2.gz");
  EXPECT_EQ(log_file_name("2026-12-10_09-23-57", 17), "2026-12-10_09-23-57_17.gz");
}

// Runs that start in one second each keep a log of their own: the first name taken (by another
// run's log, or by anything else) gives the next counted one, created new; every log's first line
// is the start stamp.
TEST_F(ConsoleRunTest, RunsOfOneSecondKeepTheirOwnLogs) {
  parsed p({"kvcs", folder, "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  // The runs below start within the next few seconds; each second's first name is taken.
  for (int i = 0; i <= 5; ++i) {
    temp.write("config/Kestrun VCS/logs/" + log_file_name(format_time(now + i, log_time_format), 1),
               "an earlier run's log");
  }
  testing::internal::CaptureStdout();
  std::vector<std::filesystem::path> paths;
  for (int run = 0; run < 3; ++run) {
    console c;
    ASSERT_TRUE(c.start(p.info));
    paths.push_back(c.log_path());
    c.close_log();
  }
  captured_stdout();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i].string());
    bool complete = false;
    const auto lines = read_log(paths[i], complete);
    EXPECT_TRUE(complete);
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(paths[i].filename().string(), testing::MatchesRegex(lines[0] + "_[0-9]+\\.gz"));
    for (std::size_t j = 0; j < i; ++j) EXPECT_NE(paths[i], paths[j]);
  }
  for (int i = 0; i <= 5; ++i) {
    EXPECT_EQ(test::slurp(logs / log_file_name(format_time(now + i, log_time_format), 1)),
              "an earlier run's log");
  }
}

TEST_F(ConsoleRunTest, LogFileThatCannotBeOpenedEndsTheRunQuietly) {
  // Folders stand where every log file of the next minute would go.
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  for (int i = 0; i <= 60; ++i) {
    for (unsigned n = 1; n <= log_names_per_second; ++n) {
      std::filesystem::create_directories(logs /
                                          log_file_name(format_time(now + i, log_time_format), n));
    }
  }
  parsed p({"kvcs", folder, "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  std::string head;
  {
    console c;
    EXPECT_FALSE(c.start(p.info));
    head = expected_head(c);
  }
  EXPECT_EQ(captured_stdout(), head);
}

TEST_F(ConsoleRunTest, WholeRunLeavesACompleteLog) {
  parsed p({"kvcs", folder, "-m=backup", "-s=x"});
  ASSERT_TRUE(p.ok);
  testing::internal::CaptureStdout();
  EXPECT_EQ(guarded([&] { return run(p.info); }), 0);
  const std::string out = captured_stdout();
  EXPECT_THAT(out, testing::StartsWith("name: Kestrun VCS\n"));
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  bool complete = false;
  const auto lines = read_log(files[0], complete);
  EXPECT_TRUE(complete);
  // The folder holds no project: the run reports that and goes straight to its end.
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1], "1.0.0-beta.15");
  EXPECT_EQ(lines[2], "kestrun::vcs::project! Not found file project kestrun-vcs.json!");
  EXPECT_EQ(lines[3].size(), lines[0].size());
}

}  // namespace
}  // namespace kestrun::vcs
