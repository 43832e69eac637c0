// The front of the console program kvcs: its option table, the command-line error report, the
// Storage ID lookup, the gzip log file of a run, the display of engine events and the report that
// ends the program when an exception escapes.
#pragma once

#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "common/app_info.h"
#include "common/params.h"

namespace kestrun::notify {
class event;
}
namespace kestrun::platform {
class hidden_cursor;
}
namespace kestrun::stream::gz {
class obuffer;
}

namespace kestrun::vcs {

// Name and version of the program as the console, the usage text and the log show them.
inline constexpr char program_name[] = "Kestrun VCS";
inline constexpr char program_version[] = "1.0.0-beta.15";

// Time stamps of the log: its file name, its first line and its end line.
inline constexpr char log_time_format[] = "%Y-%m-%d_%H-%M-%S";

// The log's file name for a run started at `stamp`: the stamp and ".gz" for the first run of that
// second (n = 1), the stamp, "_", n and ".gz" for the n-th (2026-12-10_09-23-57_2.gz).
std::string log_file_name(const std::string& stamp, unsigned n);
// Runs that start in one second share a stamp; past this many the log cannot be opened.
inline constexpr unsigned log_names_per_second = 100;

// The configuring callback of app_info::init: sets name and version and declares the options.
void configure_tool(app_info::tool* tool);

// "storages.json" in the program's folder of the user's configuration folder. Empty when the
// configuration folder cannot be determined.
std::filesystem::path storages_path();

// Writes the parser's error, the usage text and the settings file path to the error stream and
// ends the process with exit code 1.
[[noreturn]] void fail_command_line(const std::string& error_text, const app_info& info);

// The storage link for what -s gave: the member `storage` of the JSON object in `file` when there
// is one, else `storage` unchanged (a missing, unreadable, empty or non-JSON file and a value that
// is not an object say nothing). `settings` holds the loaded file afterwards. Throws
// nlohmann::json::type_error (302) when the member is not a JSON string.
std::string lookup_storage(const std::string& storage, const std::filesystem::path& file,
                           params& settings);

// Writes a backspace unless `first`, then the next of the spinner characters - \ | /, to standard
// output. The position is process-wide and advances with every character written.
void turn_spinner(bool first);

// The display of one engine event: its log line into `log` (skipped when null), and on the console
// either the line (with `log_on_screen`) or a spinner step; errors get a line of their own in both
// modes. Always true.
bool show_event(std::ostream* log, bool log_on_screen, const notify::event* e);

// Writes "std::exception" and the exception's text as one line to standard output.
void report_exception(const std::exception& e);

// Runs `body` inside the program's one exception guard: a standard exception that escapes it is
// reported (after the objects of `body` are released) and gives 0.
int guarded(const std::function<int()>& body);

// What start-up sets up for a run and what the run ends with: the settings holder, the storage
// link, the log file with its gzip stream, the subscription of the event display and the hidden
// cursor. Not copyable; one per run.
class console {
 public:
  console();
  // Completes the gzip stream of a log that close_log did not close (the run ended through an
  // exception), without an end line; stops the display; shows the cursor again.
  ~console();
  console(const console&) = delete;
  console& operator=(const console&) = delete;

  // Prints name, version and folder, resolves the Storage ID, prints the log file's path, opens
  // the log and writes its first lines, switches the event server on, hides the cursor and
  // subscribes the display to "kestrun::vcs::.*". False when the log file cannot be opened: the
  // run must then end at once (exit code 0), with nothing switched on. Throws
  // std::filesystem::filesystem_error when the log folder cannot be created,
  // nlohmann::json::type_error when the Storage ID maps to a non-string, std::runtime_error when
  // there is no configuration folder to hold the log.
  [[nodiscard]] bool start(const app_info& info);

  // The storage link: the value of -s after the Storage ID lookup.
  const std::string& link() const { return link_; }
  const std::filesystem::path& log_path() const { return log_path_; }

  // Writes the end time line, completes the gzip stream and closes the log file. Events fired
  // afterwards still reach the console, no longer the log.
  void close_log();

 private:
  struct t_display;  // the display's state, shared with the subscription

  void finish_log();

  std::string link_;
  params settings_;
  std::filesystem::path log_path_;
  std::ofstream file_;
  std::unique_ptr<stream::gz::obuffer> buffer_;
  std::unique_ptr<std::ostream> log_;
  std::shared_ptr<t_display> display_;
  std::unique_ptr<platform::hidden_cursor> cursor_;
};

}  // namespace kestrun::vcs
