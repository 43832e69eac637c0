// Console output and the console cursor on Windows. Both standard streams are put in binary mode
// before main runs, so UTF-8 lines reach a file or pipe as they are, without "\r\n"; a console
// is switched to the UTF-8 code page while the program runs, so it shows the same bytes as text.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

#include "platform/platform.h"

namespace kestrun::platform {

namespace {

HANDLE output_handle() {
  // Asked once per process and kept, as the console calls expect.
  static const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return handle;
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

UINT original_code_page = 0;
std::atomic<bool> cursor_hidden{false};

void set_cursor_visible(bool visible) {
  CONSOLE_CURSOR_INFO info{};
  if (!::GetConsoleCursorInfo(output_handle(), &info)) return;
  info.bVisible = visible ? TRUE : FALSE;
  ::SetConsoleCursorInfo(output_handle(), &info);
}

void restore_console() {
  if (cursor_hidden.exchange(false)) set_cursor_visible(true);
  if (original_code_page != 0) ::SetConsoleOutputCP(original_code_page);
}

BOOL WINAPI on_console_event(DWORD) {
  // Ctrl+C and the like end the process without unwinding: show the cursor first.
  if (cursor_hidden.exchange(false)) set_cursor_visible(true);
  return FALSE;
}

const bool streams_ready = [] {
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  if (is_console(output_handle())) {
    const UINT current = ::GetConsoleOutputCP();
    if (current != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
      original_code_page = current;
      std::atexit(restore_console);
    }
  }
  return true;
}();

}  // namespace

void write_out(std::string_view utf8) { std::fwrite(utf8.data(), 1, utf8.size(), stdout); }

void write_err(std::string_view utf8) { std::fwrite(utf8.data(), 1, utf8.size(), stderr); }

void flush_out() { std::fflush(stdout); }

void flush_err() { std::fflush(stderr); }

bool stdout_is_terminal() { return is_console(output_handle()); }

hidden_cursor::hidden_cursor() {
  (void)streams_ready;
  if (!stdout_is_terminal() || cursor_hidden.load()) return;
  static const bool registered =
      std::atexit(restore_console) == 0 && ::SetConsoleCtrlHandler(on_console_event, TRUE);
  (void)registered;
  std::fflush(stdout);
  set_cursor_visible(false);
  cursor_hidden.store(true);
  hidden_ = true;
}

hidden_cursor::~hidden_cursor() {
  if (!hidden_) return;
  std::fflush(stdout);
  if (cursor_hidden.exchange(false)) set_cursor_visible(true);
}

}  // namespace kestrun::platform
