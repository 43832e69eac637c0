// Tests of the command-line description: declaring, parsing with the console program's option
// table, reading values, the usage text, and init against this process's own command line.
#include "common/app_info.h"

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun {
namespace {

// The console program's option table.
void declare_kvcs(app_info::tool* tool) {
  tool->owner->name = "Kestrun VCS";
  tool->owner->version = "1.0.0-beta.15";
  tool->add_argument("folder")->set_description("Project folder");
  tool->add_argument("-m")
      ->add_alias("--mode")
      ->set_description("Working mode")
      ->add_value("backup", "Save data to storage")
      ->add_value("restore", "Restore data from storage");
  tool->add_argument("-s")->add_alias("--storage")->set_description("Link to storage/Storage ID");
  tool->add_argument("-l")->add_alias("--log")->set_description("Display log on screen")->optional =
      true;
  tool->add_argument("-n")
      ->add_alias("--nn")
      ->set_description("Recovery Version ID")
      ->set_default("0")
      ->optional = true;
  tool->add_argument("--nosave")->set_description("Without saving the result")->optional = true;
}

// A fresh description with the kvcs table, parsed from the texts after the program's name.
class AppInfoTest : public ::testing::Test {
 protected:
  AppInfoTest() {
    app_info::tool tool;
    tool.owner = &info;
    declare_kvcs(&tool);
  }

  bool parse(std::vector<std::string> texts) {
    texts.insert(texts.begin(), "/usr/bin/kvcs");
    std::vector<const char*> argv;
    for (const auto& text : texts) argv.push_back(text.c_str());
    return info.parse(static_cast<int>(argv.size()), argv.data());
  }

  app_info info;
};

TEST_F(AppInfoTest, ReportsTheFirstError) {
  struct row {
    std::vector<std::string> texts;
    std::string error;
  };
  const row rows[] = {
      {{}, "The value of parameter 'folder' is not defined"},
      {{"/srv/p", "-m=backup"}, "The value of parameter '-s' is not defined"},
      {{"/srv/p", "-m=copy", "-s=x"}, "[copy] value is not possible for '-m' parameter"},
      {{"/srv/p", "--mode=copy", "-s=x"}, "[copy] value is not possible for '-m' parameter"},
      {{"/srv/p", "-m", "-s=x"}, "[] value is not possible for '-m' parameter"},
      {{"/srv/p", "/srv/q", "-m=backup", "-s=x"}, "Argument '/srv/q' is not defined"},
      {{"/srv/p", "-x=1", "-m=backup", "-s=x"}, "Argument '-x' is not defined"},
      {{"-x=1"}, "Argument '-x' is not defined"},  // checked before the missing arguments
      {{"/srv/p", "-m=backup", "--mode=restore", "-s=x"},
       "Argument '--mode=restore' cannot be repeated"},
      {{"/srv/p", "--nosave", "--nosave=1", "-m=backup", "-s=x"},
       "Argument '--nosave=1' cannot be repeated"},
      {{"-dir", "-m=backup", "-s=x"}, "Argument '-dir' is not defined"},
      {{"/srv/p", "-M=backup", "-s=x"}, "Argument '-M' is not defined"},
      {{"/srv/p", "-m=Backup", "-s=x"}, "[Backup] value is not possible for '-m' parameter"},
      {{"/srv/p", "-m=backup", "-s=x", "-m=restore"}, "Argument '-m=restore' cannot be repeated"},
      {{"/srv/p", "-m=backup", "=x", "-s=x"}, "Argument '=x' is not defined"},
      {{"/srv/p", "-", "-m=backup", "-s=x"}, "Argument '-' is not defined"},
  };
  for (const auto& r : rows) {
    std::string trace;
    for (const auto& text : r.texts) trace += "[" + text + "]";
    SCOPED_TRACE(trace);
    app_info fresh;
    app_info::tool tool;
    tool.owner = &fresh;
    declare_kvcs(&tool);
    std::vector<const char*> argv = {"kvcs"};
    for (const auto& text : r.texts) argv.push_back(text.c_str());
    EXPECT_FALSE(fresh.parse(static_cast<int>(argv.size()), argv.data()));
    EXPECT_EQ(fresh.error, r.error);
  }
}

TEST_F(AppInfoTest, ValuesAfterSuccess) {
  ASSERT_TRUE(parse({"/srv/p", "-m=restore", "-s=x"}));
  EXPECT_EQ(info.error, "");
  for (const char* name : {"folder", "-m", "--mode", "-s", "--storage", "-n", "--nn"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(info.has(name));
  }
  for (const char* name : {"-l", "--log", "--nosave", "-x", "", "mode"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(info.has(name));
  }
  EXPECT_EQ(info.get("folder", ""), "/srv/p");
  EXPECT_EQ(info.get("--mode", ""), "restore");
  EXPECT_EQ(info.get("-s", ""), "x");
  EXPECT_EQ(info.get("--nn", ""), "0");
  EXPECT_EQ(info.get_int("-n", 7), 0);
  EXPECT_EQ(info.get("-l", "none"), "none");
  EXPECT_EQ(info.get("-unknown", "none"), "none");
  EXPECT_EQ(info.get_int("-l", 7), 7);
  EXPECT_EQ(info.get_int("-unknown", 7), 7);
}

TEST_F(AppInfoTest, ValueFollowsTheFirstEquals) {
  ASSERT_TRUE(parse({"-s=a=b", "/srv/p", "--mode=backup", "--nosave=anything", "-l"}));
  EXPECT_EQ(info.get("--storage", ""), "a=b");
  EXPECT_TRUE(info.has("--nosave"));
  EXPECT_EQ(info.get("--nosave", "?"), "anything");
  EXPECT_TRUE(info.has("-l"));
  EXPECT_EQ(info.get("--log", "?"), "");
}

TEST_F(AppInfoTest, ValuesAreKeptAsBytes) {
  // Text that is not UTF-8, and text beyond the BMP, pass through unchanged.
  ASSERT_TRUE(parse({"/srv/caf\xC3\xA9 \xF0\x9F\x98\x80", "-m=backup", "-s=\xFF\xFE"}));
  EXPECT_EQ(info.get("folder", ""), "/srv/caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(info.get("-s", ""), "\xFF\xFE");
}

TEST_F(AppInfoTest, GetIntReadsLikeAStream) {
  struct row {
    const char* text;
    int want;
  };
  const row rows[] = {
      {"-n=3", 3},
      {"-n=-2", -2},
      {"-n=abc", 0},
      {"-n=", 42},
      {"-n=7x", 7},
      {"-n= 12", 12},
      {"-n=+5", 5},
      {"-n=99999999999", INT_MAX},
      {"-n=-99999999999", INT_MIN},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    app_info fresh;
    app_info::tool tool;
    tool.owner = &fresh;
    declare_kvcs(&tool);
    const char* argv[] = {"kvcs", "/srv/p", "-m=backup", "-s=x", r.text};
    ASSERT_TRUE(fresh.parse(5, argv));
    EXPECT_EQ(fresh.get_int("--nn", 42), r.want);
  }
}

TEST_F(AppInfoTest, DeclaringANameTwiceThrows) {
  app_info::tool tool;
  tool.owner = &info;
  tool.counter = info.arguments.size();
  for (const char* name : {"-m", "--mode", "folder", "--nosave"}) {
    SCOPED_TRACE(name);
    try {
      tool.add_argument(name);
      FAIL() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Argument ") + name + " already defined!");
    }
  }
  EXPECT_THROW(info.arguments.front()->add_alias("-s"), std::runtime_error);
  EXPECT_EQ(info.arguments.size(), 6u);
  EXPECT_EQ(info.arguments.front()->alias, "");
  EXPECT_TRUE(info.check_name_free("-q"));
}

TEST_F(AppInfoTest, RecordsKeepTheirDeclaration) {
  ASSERT_EQ(info.arguments.size(), 6u);
  for (std::size_t i = 0; i < info.arguments.size(); ++i) {
    EXPECT_EQ(info.arguments[i]->order, i + 1);
    EXPECT_EQ(info.arguments[i]->owner, &info);
  }
  EXPECT_EQ(info.by_name.size(), 10u);
  EXPECT_EQ(info.by_name.at("--mode"), info.arguments[1].get());
}

TEST_F(AppInfoTest, SecondAliasReplacesTheShownOne) {
  app_info::argument* mode = info.by_name.at("-m");
  mode->add_alias("--how");
  EXPECT_EQ(mode->alias, "--how");
  ASSERT_TRUE(parse({"/srv/p", "--mode=backup", "-s=x"}));
  EXPECT_EQ(info.get("--how", ""), "backup");
}

TEST_F(AppInfoTest, UsageText) {
  const std::string program = program_path().filename().string();
  const std::string want =
      "Kestrun VCS version 1.0.0-beta.15\n"
      "\n"
      "Usage: " +
      program +
      " -m -s [-l] [-n] [--nosave] folder\n"
      "\n"
      "Positional arguments:\n"
      "  folder Project folder\n"
      "\n"
      "Optional arguments:\n"
      "  -m, --mode    Working mode\n"
      "    backup  Save data to storage\n"
      "    restore Restore data from storage\n"
      "  -s, --storage Link to storage/Storage ID\n"
      "  -l, --log     Display log on screen\n"
      "  -n, --nn      Recovery Version ID\n"
      "  --nosave      Without saving the result\n";
  EXPECT_EQ(info.usage(), want);
  EXPECT_EQ(program_path().stem().string(), "common_tests");
}

TEST(AppInfoUsageTest, OnlyTheSectionsThatHaveArguments) {
  app_info info;
  info.name = "n";
  info.version = "v";
  app_info::tool tool;
  tool.owner = &info;
  tool.add_argument("src")->set_description("Source")->add_value("a", "first");
  tool.add_argument("destination")->set_description("Target");
  const std::string program = program_path().filename().string();
  EXPECT_EQ(info.usage(), "n version v\n\nUsage: " + program +
                              " src destination\n\n"
                              "Positional arguments:\n"
                              "  src         Source\n"
                              "    a first\n"
                              "  destination Target\n"
                              "\n");

  app_info empty;
  EXPECT_EQ(empty.usage(), " version \n\nUsage: " + program + " \n\n");
}

// init reads this very process's command line. Whatever the test runner passed is declared
// first, so that the parse must succeed and every text must arrive where it belongs. The
// description is process-wide, so this is the only test that calls init.
TEST(AppInfoInitTest, ParsesTheProcessCommandLineOnce) {
  ASSERT_EQ(app_info::instance(), nullptr);
  const std::vector<std::string> given = platform::command_line();
  ASSERT_FALSE(given.empty());
  int calls = 0;
  const bool parsed = app_info::init(0, nullptr, [&](app_info::tool* tool) {
    ++calls;
    tool->owner->version = "9";
    for (std::size_t i = 1; i < given.size(); ++i) {
      const std::string& text = given[i];
      const std::string key = !text.empty() && text[0] == '-' ? text.substr(0, text.find('='))
                                                              : "p" + std::to_string(i);
      if (tool->owner->by_name.count(key) == 0) tool->add_argument(key)->optional = true;
    }
  });
  EXPECT_TRUE(parsed) << app_info::instance()->error;
  ASSERT_NE(app_info::instance(), nullptr);
  app_info* info = app_info::instance();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(info->name, "common_tests");
  EXPECT_EQ(info->version, "9");
  EXPECT_EQ(info->error, "");
  for (std::size_t i = 1; i < given.size(); ++i) {
    if (given[i].empty() || given[i][0] != '-') {
      EXPECT_EQ(info->get("p" + std::to_string(i), "?"), given[i]);
    }
  }

  EXPECT_FALSE(app_info::init(0, nullptr, [&](app_info::tool*) { ++calls; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(app_info::instance(), info);
  EXPECT_EQ(info->version, "9");
}

}  // namespace
}  // namespace kestrun
