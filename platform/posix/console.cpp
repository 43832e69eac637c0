// Console output and the terminal cursor on POSIX. All output, narrow and "wide", goes through the
// C standard streams so that bytes written by different callers keep their order.
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

constexpr char hide_sequence[] = "\x1b[?25l";
constexpr char show_sequence[] = "\x1b[?25h";

// Set while a hidden_cursor holds the cursor hidden; read by the exit and signal handlers.
std::atomic<bool> cursor_hidden{false};

// Signals that end a process by default; the cursor is shown again before such an end.
constexpr std::array<int, 4> ending_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, ending_signals.size()> previous_actions{};
std::array<bool, ending_signals.size()> handler_installed{};

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void show_cursor_at_exit() {
  if (cursor_hidden.exchange(false)) {
    std::fputs(show_sequence, stdout);
    std::fflush(stdout);
  }
}

// Async-signal-safe: a raw write, then the signal's default action so the process still ends the
// way the sender asked (exit status and core dump included).
extern "C" void show_cursor_on_signal(int signal_number) {
  if (cursor_hidden.exchange(false)) {
    write_all(STDOUT_FILENO, show_sequence, sizeof show_sequence - 1);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void install_signal_handlers() {
  for (std::size_t i = 0; i < ending_signals.size(); ++i) {
    struct sigaction current {};
    if (::sigaction(ending_signals[i], nullptr, &current) != 0) continue;
    // A signal the parent chose to ignore (nohup) or one the program handles stays as it is.
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = show_cursor_on_signal;
    sigemptyset(&action.sa_mask);
    if (::sigaction(ending_signals[i], &action, &previous_actions[i]) == 0) {
      handler_installed[i] = true;
    }
  }
}

void restore_signal_handlers() {
  for (std::size_t i = 0; i < ending_signals.size(); ++i) {
    if (handler_installed[i]) {
      ::sigaction(ending_signals[i], &previous_actions[i], nullptr);
      handler_installed[i] = false;
    }
  }
}

}  // namespace

void write_out(std::string_view utf8) { std::fwrite(utf8.data(), 1, utf8.size(), stdout); }

void write_err(std::string_view utf8) { std::fwrite(utf8.data(), 1, utf8.size(), stderr); }

void flush_out() { std::fflush(stdout); }

void flush_err() { std::fflush(stderr); }

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

hidden_cursor::hidden_cursor() {
  if (!stdout_is_terminal() || cursor_hidden.load()) return;
  static const bool registered = std::atexit(show_cursor_at_exit) == 0;
  (void)registered;
  std::fputs(hide_sequence, stdout);
  std::fflush(stdout);
  cursor_hidden.store(true);
  hidden_ = true;
  install_signal_handlers();
}

hidden_cursor::~hidden_cursor() {
  if (!hidden_) return;
  restore_signal_handlers();
  if (cursor_hidden.exchange(false)) {
    std::fputs(show_sequence, stdout);
    std::fflush(stdout);
  }
}

}  // namespace kestrun::platform
