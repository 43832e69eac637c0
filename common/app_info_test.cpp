// Tests of the command-line description: declaring, parsing with a made-up tool's option
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

// The options of a made-up copying tool, one of each kind a description holds: a positional
// argument, a required option with a list of values, a required option, an optional flag, an
// optional value with a default, and an option without an alias.
void declare_sample(app_info::tool* tool) {
  tool->owner->name = "Sample Copier";
  tool->owner->version = "2.3.4-rc.1";
  struct row {
    const char* name;
    const char* alias;  // "": none
    const char* description;
    bool optional;
    const char* fallback;  // null: no default
  };
  const row rows[] = {{"source", "", "Folder to copy", false, nullptr},
                      {"-k", "--kind", "Copy kind", false, nullptr},
                      {"-t", "--target", "Folder to copy into", false, nullptr},
                      {"-q", "--quiet", "Print nothing", true, nullptr},
                      {"-r", "--retries", "Attempts per file", true, "0"},
                      {"--check", "", "Compare only", true, nullptr}};
  for (const row& r : rows) {
    app_info::argument* declared = tool->add_argument(r.name);
    if (*r.alias) declared->add_alias(r.alias);
    declared->set_description(r.description)->optional = r.optional;
    if (r.fallback) declared->set_default(r.fallback);
  }
  tool->owner->by_name.at("-k")
      ->add_value("full", "Copy every file")
      ->add_value("changed", "Copy changed files only");
}

// A fresh description with the sample table, parsed from the texts after the program's name.
class AppInfoTest : public ::testing::Test {
 protected:
  AppInfoTest() {
    app_info::tool tool;
    tool.owner = &info;
    declare_sample(&tool);
  }

  bool parse(std::vector<std::string> texts) {
    texts.insert(texts.begin(), "/usr/bin/copier");
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
      {{}, "The value of parameter 'source' is not defined"},
      {{"/srv/p", "-k=full"}, "The value of parameter '-t' is not defined"},
      {{"/srv/p", "-k=mirror", "-t=x"}, "[mirror] value is not possible for '-k' parameter"},
      {{"/srv/p", "--kind=mirror", "-t=x"}, "[mirror] value is not possible for '-k' parameter"},
      {{"/srv/p", "-k", "-t=x"}, "[] value is not possible for '-k' parameter"},
      {{"/srv/p", "/srv/q", "-k=full", "-t=x"}, "Argument '/srv/q' is not defined"},
      {{"/srv/p", "-x=1", "-k=full", "-t=x"}, "Argument '-x' is not defined"},
      {{"-x=1"}, "Argument '-x' is not defined"},  // checked before the missing arguments
      {{"/srv/p", "-k=full", "--kind=changed", "-t=x"},
       "Argument '--kind=changed' cannot be repeated"},
      {{"/srv/p", "--check", "--check=1", "-k=full", "-t=x"},
       "Argument '--check=1' cannot be repeated"},
      {{"-dir", "-k=full", "-t=x"}, "Argument '-dir' is not defined"},
      {{"/srv/p", "-K=full", "-t=x"}, "Argument '-K' is not defined"},
      {{"/srv/p", "-k=Full", "-t=x"}, "[Full] value is not possible for '-k' parameter"},
      {{"/srv/p", "-k=full", "-t=x", "-k=changed"}, "Argument '-k=changed' cannot be repeated"},
      {{"/srv/p", "-k=full", "=x", "-t=x"}, "Argument '=x' is not defined"},
      {{"/srv/p", "-", "-k=full", "-t=x"}, "Argument '-' is not defined"},
  };
  for (const auto& r : rows) {
    std::string trace;
    for (const auto& text : r.texts) trace += "[" + text + "]";
    SCOPED_TRACE(trace);
    app_info fresh;
    app_info::tool tool;
    tool.owner = &fresh;
    declare_sample(&tool);
    std::vector<const char*> argv = {"copier"};
    for (const auto& text : r.texts) argv.push_back(text.c_str());
    EXPECT_FALSE(fresh.parse(static_cast<int>(argv.size()), argv.data()));
    EXPECT_EQ(fresh.error, r.error);
  }
}

TEST_F(AppInfoTest, ValuesAfterSuccess) {
  ASSERT_TRUE(parse({"/srv/p", "-k=changed", "-t=x"}));
  EXPECT_EQ(info.error, "");
  for (const char* name : {"source", "-k", "--kind", "-t", "--target", "-r", "--retries"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(info.has(name));
  }
  for (const char* name : {"-q", "--quiet", "--check", "-x", "", "kind"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(info.has(name));
  }
  EXPECT_EQ(info.get("source", ""), "/srv/p");
  EXPECT_EQ(info.get("--kind", ""), "changed");
  EXPECT_EQ(info.get("-t", ""), "x");
  EXPECT_EQ(info.get("--retries", ""), "0");
  EXPECT_EQ(info.get_int("-r", 7), 0);
  EXPECT_EQ(info.get("-q", "none"), "none");
  EXPECT_EQ(info.get("-unknown", "none"), "none");
  EXPECT_EQ(info.get_int("-q", 7), 7);
  EXPECT_EQ(info.get_int("-unknown", 7), 7);
}

TEST_F(AppInfoTest, ValueFollowsTheFirstEquals) {
  ASSERT_TRUE(parse({"-t=a=b", "/srv/p", "--kind=full", "--check=anything", "-q"}));
  EXPECT_EQ(info.get("--target", ""), "a=b");
  EXPECT_TRUE(info.has("--check"));
  EXPECT_EQ(info.get("--check", "?"), "anything");
  EXPECT_TRUE(info.has("-q"));
  EXPECT_EQ(info.get("--quiet", "?"), "");
}

TEST_F(AppInfoTest, ValuesAreKeptAsBytes) {
  // Text that is not UTF-8, and text beyond the BMP, pass through unchanged.
  ASSERT_TRUE(parse({"/srv/caf\xC3\xA9 \xF0\x9F\x98\x80", "-k=full", "-t=\xFF\xFE"}));
  EXPECT_EQ(info.get("source", ""), "/srv/caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(info.get("-t", ""), "\xFF\xFE");
}

TEST_F(AppInfoTest, GetIntReadsLikeAStream) {
  struct row {
    const char* text;
    int want;
  };
  const row rows[] = {
      {"-r=3", 3},
      {"-r=-2", -2},
      {"-r=abc", 0},
      {"-r=", 42},
      {"-r=7x", 7},
      {"-r= 12", 12},
      {"-r=+5", 5},
      {"-r=99999999999", INT_MAX},
      {"-r=-99999999999", INT_MIN},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    app_info fresh;
    app_info::tool tool;
    tool.owner = &fresh;
    declare_sample(&tool);
    const char* argv[] = {"copier", "/srv/p", "-k=full", "-t=x", r.text};
    ASSERT_TRUE(fresh.parse(5, argv));
    EXPECT_EQ(fresh.get_int("--retries", 42), r.want);
  }
}

TEST_F(AppInfoTest, DeclaringANameTwiceThrows) {
  app_info::tool tool;
  tool.owner = &info;
  tool.counter = info.arguments.size();
  for (const char* name : {"-k", "--kind", "source", "--check"}) {
    SCOPED_TRACE(name);
    try {
      tool.add_argument(name);
      FAIL() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Argument ") + name + " already defined!");
    }
  }
  EXPECT_THROW(info.arguments.front()->add_alias("-t"), std::runtime_error);
  EXPECT_EQ(info.arguments.size(), 6u);
  EXPECT_EQ(info.arguments.front()->alias, "");
  EXPECT_TRUE(info.check_name_free("-z"));
}

TEST_F(AppInfoTest, RecordsKeepTheirDeclaration) {
  ASSERT_EQ(info.arguments.size(), 6u);
  for (std::size_t i = 0; i < info.arguments.size(); ++i) {
    EXPECT_EQ(info.arguments[i]->order, i + 1);
    EXPECT_EQ(info.arguments[i]->owner, &info);
  }
  EXPECT_EQ(info.by_name.size(), 10u);
  EXPECT_EQ(info.by_name.at("--kind"), info.arguments[1].get());
}

TEST_F(AppInfoTest, SecondAliasReplacesTheShownOne) {
  app_info::argument* kind = info.by_name.at("-k");
  kind->add_alias("--how");
  EXPECT_EQ(kind->alias, "--how");
  ASSERT_TRUE(parse({"/srv/p", "--kind=full", "-t=x"}));
  EXPECT_EQ(info.get("--how", ""), "full");
}

TEST_F(AppInfoTest, UsageText) {
  const std::string program = program_path().filename().string();
  const std::string want =
      "Sample Copier version 2.3.4-rc.1\n"
      "\n"
      "Usage: " +
      program +
      " -k -t [-q] [-r] [--check] source\n"
      "\n"
      "Positional arguments:\n"
      "  source Folder to copy\n"
      "\n"
      "Optional arguments:\n"
      "  -k, --kind    Copy kind\n"
      "    full    Copy every file\n"
      "    changed Copy changed files only\n"
      "  -t, --target  Folder to copy into\n"
      "  -q, --quiet   Print nothing\n"
      "  -r, --retries Attempts per file\n"
      "  --check       Compare only\n";
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
