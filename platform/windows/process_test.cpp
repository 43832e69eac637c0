// The process section: the command line as CommandLineToArgvW splits it, converted to UTF-8 with
// surrogate pairs as one character, and the program's path.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"
#include "tests/support/windows/child.h"

namespace kestrun::platform {
namespace {

// Started again as a child: the command line, a zero after each argument, into the named file.
const bool started_as_child = [] {
  const char* out = std::getenv("KVCS_COMMAND_LINE_OUT");
  if (out == nullptr) return false;
  {
    std::ofstream file(path_from_wide(wide_from_native(out)), std::ios::binary);
    for (const auto& argument : command_line()) file << argument << '\0';
  }
  std::_Exit(0);
}();

TEST(PlatformProcessTest, ProgramPathIsThisProgram) {
  const auto path = program_path();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.extension(), ".exe");
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST(PlatformProcessTest, CommandLineKeepsEveryArgument) {
  ASSERT_FALSE(started_as_child);
  test::temp_folder folder;
  const auto out = folder / "arguments";
  const std::vector<std::wstring> given = {L"", L"-m=backup", L"caf\u00e9 \U0001F600", L"a b\tc",
                                           L"C:\\work\\site"};
  ASSERT_EQ(
      test::child::run(L"KVCS_COMMAND_LINE_OUT", wide_from_path(out), folder / "console", given),
      0);
  std::vector<std::string> seen;
  const std::string all = test::slurp(out);
  std::string::size_type start = 0;
  for (auto end = all.find('\0'); end != std::string::npos; end = all.find('\0', start)) {
    seen.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(seen.size(), given.size() + 1);
  EXPECT_EQ(seen[0], native_from_wide(wide_from_path(program_path())));
  const std::vector<std::string> want = {"", "-m=backup", "caf\xC3\xA9 \xF0\x9F\x98\x80", "a b\tc",
                                         "C:\\work\\site"};
  EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.end()), want);
}

}  // namespace
}  // namespace kestrun::platform
