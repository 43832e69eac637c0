// Console output and cursor: what only shows from outside (the bytes a terminal or a pipe
// receives, the cursor after exit or a signal) is checked in a forked child.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

constexpr char hide[] = "\x1b[?25l";
constexpr char show[] = "\x1b[?25h";

struct t_child_result {
  std::string output;  // everything the child wrote to its standard output
  int status = 0;      // as waitpid gives it
};

// Reads until the writing side is closed (EOF on a pipe, EIO on a pty master).
std::string drain(int fd) {
  std::string out;
  char buffer[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// Runs `body` in a child whose standard output is a terminal (a pseudo-terminal) or a pipe; the
// child ends with _exit(0) unless `body` ends it first. The bodies write no line feed, which the
// terminal would turn into "\r\n".
t_child_result run_child(bool terminal, const std::function<void()>& body) {
  int read_fd = -1;
  int write_fd = -1;
  if (terminal) {
    read_fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (read_fd < 0 || ::grantpt(read_fd) != 0 || ::unlockpt(read_fd) != 0) return {"no pty", -1};
    write_fd = ::open(::ptsname(read_fd), O_RDWR | O_NOCTTY);
  } else {
    int fds[2];
    if (::pipe(fds) != 0) return {"no pipe", -1};
    read_fd = fds[0];
    write_fd = fds[1];
  }
  if (write_fd < 0) return {"no slave", -1};
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(read_fd);
    ::dup2(write_fd, STDOUT_FILENO);
    ::close(write_fd);
    body();
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(write_fd);
  t_child_result result;
  result.output = drain(read_fd);
  ::close(read_fd);
  ::waitpid(pid, &result.status, 0);
  return result;
}

TEST(PlatformConsoleTest, WritesKeepTheirOrderOnOneStream) {
  auto result = run_child(false, [] {
    write_out("a");
    std::putchar('b');
    write_out("\xc3\xa9\n");
    flush_out();
  });
  EXPECT_EQ(result.output, "ab\xc3\xa9\n");
}

TEST(PlatformConsoleTest, PipeIsNotATerminalAndGetsNoEscapeSequence) {
  auto result = run_child(false, [] {
    std::putchar(stdout_is_terminal() ? 'T' : 'P');
    { hidden_cursor cursor; }
    hidden_cursor kept;
    std::exit(0);
  });
  EXPECT_EQ(result.output, "P");
}

TEST(PlatformConsoleTest, CursorIsShownAgainWhenTheGuardEnds) {
  auto result = run_child(true, [] {
    std::putchar(stdout_is_terminal() ? 'T' : 'P');
    {
      hidden_cursor cursor;
      hidden_cursor nested;  // the cursor is already hidden: writes nothing
      write_out("x");
    }
  });
  EXPECT_EQ(result.output, std::string("T") + hide + "x" + show);
}

TEST(PlatformConsoleTest, CursorIsShownAgainWhenTheProcessExits) {
  auto result = run_child(true, [] {
    static hidden_cursor* leaked = new hidden_cursor;  // never destroyed: exit must restore
    (void)leaked;
    std::exit(3);
  });
  ASSERT_TRUE(WIFEXITED(result.status));
  EXPECT_EQ(WEXITSTATUS(result.status), 3);
  EXPECT_EQ(result.output, std::string(hide) + show);
}

TEST(PlatformConsoleTest, CursorIsShownAgainWhenASignalEndsTheProcess) {
  auto result = run_child(true, [] {
    hidden_cursor cursor;
    std::fflush(stdout);
    ::raise(SIGTERM);
    write_out("not reached");
  });
  ASSERT_TRUE(WIFSIGNALED(result.status));
  EXPECT_EQ(WTERMSIG(result.status), SIGTERM);
  EXPECT_EQ(result.output, std::string(hide) + show);
}

TEST(PlatformConsoleTest, IgnoredSignalStaysIgnored) {
  auto result = run_child(true, [] {
    ::signal(SIGHUP, SIG_IGN);
    {
      hidden_cursor cursor;
      ::raise(SIGHUP);
      write_out("alive");
    }
    struct sigaction after {};
    ::sigaction(SIGHUP, nullptr, &after);
    write_out(after.sa_handler == SIG_IGN ? "+" : "-");
  });
  EXPECT_EQ(result.output, std::string(hide) + "alive" + show + "+");
}

}  // namespace
}  // namespace kestrun::platform
