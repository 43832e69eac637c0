// Tests of the process section: the command line as given, byte for byte, and the program's path.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun::platform {
namespace {

constexpr const char* child_variable = "KVCS_COMMAND_LINE_OUT";

// Started again as a child by CommandLineKeepsEveryArgument: write the command line, zero after
// each argument, to the named file and leave before the tests run.
const bool started_as_child = [] {
  const char* out = std::getenv(child_variable);
  if (out == nullptr) return false;
  {
    std::ofstream file(out, std::ios::binary);
    for (const auto& argument : command_line()) file << argument << '\0';
  }
  std::_Exit(0);
}();

TEST(PlatformProcessTest, ProgramPathIsThisProgram) {
  const auto path = program_path();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.filename(), "platform_tests");
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST(PlatformProcessTest, CommandLineStartsWithTheProgram) {
  const auto arguments = command_line();
  ASSERT_FALSE(arguments.empty());
  EXPECT_EQ(std::filesystem::path(arguments.front()).filename(), "platform_tests");
}

TEST(PlatformProcessTest, CommandLineKeepsEveryArgument) {
  ASSERT_FALSE(started_as_child);
  test::temp_folder folder;
  const std::string out = (folder / "arguments").string();
  const std::string program = program_path().string();
  const std::vector<std::string> given = {
      program, "", "-m=backup", "caf\xC3\xA9 \xF0\x9F\x98\x80", "raw\xFF", "a b\tc"};
  std::vector<char*> argv;
  for (const auto& argument : given) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    ::setenv(child_variable, out.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  std::vector<std::string> seen;
  const std::string all = test::slurp(folder / "arguments");
  std::string::size_type start = 0;
  for (auto end = all.find('\0'); end != std::string::npos; end = all.find('\0', start)) {
    seen.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(seen, given);
}

}  // namespace
}  // namespace kestrun::platform
