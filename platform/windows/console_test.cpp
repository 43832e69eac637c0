// Console output when it is redirected: UTF-8 bytes with bare line feeds, narrow and "wide"
// writes in their order, and no cursor calls.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/temp_folder.h"
#include "tests/support/windows/child.h"

namespace kestrun::platform {
namespace {

const bool started_as_child = [] {
  if (std::getenv("KVCS_CONSOLE_OUT") == nullptr) return false;
  {
    hidden_cursor cursor;  // not a console: does nothing
    write_out(stdout_is_terminal() ? "T\n" : "P\n");
    std::putchar('a');
    write_out("\xC3\xA9 \xF0\x9F\x98\x80\n");
    std::printf("line\r\nend\n");
    write_err("err\n");
    flush_out();
    flush_err();
  }
  std::_Exit(0);
}();

TEST(PlatformConsoleTest, RedirectedOutputIsUtf8WithBareLineFeeds) {
  ASSERT_FALSE(started_as_child);
  test::temp_folder folder;
  const auto out = folder / "out";
  ASSERT_EQ(test::child::run(L"KVCS_CONSOLE_OUT", L"1", out, {}), 0);
  EXPECT_EQ(test::slurp(out), "P\na\xC3\xA9 \xF0\x9F\x98\x80\nline\r\nend\nerr\n");
}

}  // namespace
}  // namespace kestrun::platform
