// Start-up of kvcs, its log file and the display of engine events. Console output goes through
// the platform layer's one buffered standard output, so the narrow lines, the "wide" lines and the
// spinner keep their order.
#include "vcs/console.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/notify/event.h"
#include "common/stream/arc_stream.h"
#include "common/stream/gz_buffer.h"
#include "common/text.h"
#include "platform/platform.h"

namespace kestrun::vcs {

namespace {

constexpr char spinner_chars[] = {'-', '\\', '|', '/'};
std::size_t spinner_position = 0;
// True while a spinner character ends the console's last line.
bool spinner_on_line = false;

// The log's gzip stream: deflate level 9 over work areas of 16 KiB each.
constexpr int log_level = 9;
constexpr int log_area_size = 16384;

// UTF-8 text as the "wide" console output shows it: decoded by the program's own decoder, then
// written as the terminal's bytes. Command-line bytes that are not UTF-8 reach the program as the
// three-byte forms of escaped bytes, so this gives the user's bytes back.
std::string console_text(const std::string& utf8) {
  return platform::native_from_wide(utf8_to_utf16(utf8));
}

std::string generic_text(const std::filesystem::path& path, bool trailing_slash) {
  return platform::native_from_wide(path_to_generic(path, trailing_slash));
}

// One whole line on standard output, flushed.
void console_line(const std::string& text) {
  platform::write_out(text);
  platform::write_out("\n");
  platform::flush_out();
  spinner_on_line = false;
}

std::string time_stamp() {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  return format_time(static_cast<std::int64_t>(now), log_time_format);
}

}  // namespace

std::string log_file_name(const std::string& stamp, unsigned n) {
  return n <= 1 ? stamp + ".gz" : stamp + "_" + std::to_string(n) + ".gz";
}

void configure_tool(app_info::tool* tool) {
  tool->owner->name = program_name;
  tool->owner->version = program_version;
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

std::filesystem::path storages_path() {
  const std::filesystem::path config = platform::config_folder();
  if (config.empty()) return {};
  return config / program_name / "storages.json";
}

void fail_command_line(const std::string& error_text, const app_info& info) {
  platform::write_err(console_text(error_text));
  platform::write_err("\n");
  platform::flush_err();
  platform::write_err("\n");
  platform::flush_err();
  platform::write_err(console_text(info.usage()));
  platform::write_err("\n");
  platform::flush_err();
  platform::write_err("Storage ID settings file:\n");
  platform::flush_err();
  platform::write_err("  " + generic_text(storages_path(), false) + "\n");
  platform::flush_err();
  std::exit(1);
}

std::string lookup_storage(const std::string& storage, const std::filesystem::path& file,
                           params& settings) {
  std::string text;
  read_file(platform::wide_from_path(file), text);
  if (settings.load(text) && settings.contains(storage)) {
    return settings.value.at(storage).get<std::string>();
  }
  return storage;
}

void turn_spinner(bool first) {
  // A spinner that sits in the stdio buffer does not turn: on a terminal each step is flushed.
  static const bool terminal = platform::stdout_is_terminal();
  if (!first) std::putchar('\b');
  std::putchar(spinner_chars[spinner_position]);
  spinner_position = (spinner_position + 1) % std::size(spinner_chars);
  spinner_on_line = true;
  if (terminal) platform::flush_out();
}

bool show_event(std::ostream* log, bool log_on_screen, const notify::event* e) {
  const std::string line = notify::event_text(*e);
  // Not flushed per event: the log is flushed once, when the run ends.
  if (log != nullptr) *log << line << '\n';
  if (log_on_screen) {
    console_line(console_text(line));
  } else if (e->level != 2) {
    turn_spinner(false);
  } else {
    // The error stands on a line of its own, below the spinner, which goes on on the next line.
    platform::write_out("\n");
    console_line(console_text(line));
    turn_spinner(true);
  }
  return true;
}

void report_exception(const std::exception& e) {
  // The report starts a line of its own rather than trailing the spinner.
  if (spinner_on_line) platform::write_out("\n");
  console_line(std::string("std::exception") + e.what());
}

int guarded(const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    report_exception(e);
    return 0;
  }
}

// Shared between the console and its subscription, which outlives it: the server never drops a
// subscriber, so the console switches the display off instead of leaving a dangling log pointer.
struct console::t_display {
  std::ostream* log = nullptr;  // null once the log is closed
  bool log_on_screen = false;
  bool active = true;
};

console::console() = default;

console::~console() {
  finish_log();
  if (display_) display_->active = false;
}

bool console::start(const app_info& info) {
  console_line("name: " + info.name);
  console_line("version: " + info.version);

  const std::string folder = info.get("folder", "");
  console_line("Folder: " + generic_text(platform::path_from_wide(utf8_to_utf16(folder)), true));

  const std::filesystem::path settings_file = storages_path();
  link_ = lookup_storage(info.get("-s", ""), settings_file, settings_);

  if (settings_file.empty()) {
    throw std::runtime_error("the user's configuration folder is unknown (" +
                             platform::config_folder_hint() +
                             "), so there is no place for the log file");
  }
  const std::string stamp = time_stamp();
  const std::filesystem::path logs = settings_file.parent_path() / "logs";
  // Every run keeps its own log: a run started in the same second as another takes the next
  // free name. The name shown is the first that looks free; creating the file exclusively
  // settles it, and a run that lost it to another one a moment ago shows the name it got.
  std::error_code ec;
  unsigned n = 1;
  while (n < log_names_per_second &&
         std::filesystem::symlink_status(logs / log_file_name(stamp, n), ec).type() !=
             std::filesystem::file_type::not_found) {
    ++n;
  }
  log_path_ = logs / log_file_name(stamp, n);
  console_line("Log file: " + generic_text(log_path_, false));
  if (!platform::create_folders(logs, ec)) {
    throw std::filesystem::filesystem_error("create_directories", logs, ec);
  }
  bool opened = false;
  for (; n <= log_names_per_second; ++n) {
    const std::filesystem::path candidate = logs / log_file_name(stamp, n);
    opened = stream::arc::open_new_file(file_, candidate, ec);
    if (opened || ec != std::errc::file_exists) {
      if (candidate != log_path_) console_line("Log file: " + generic_text(candidate, false));
      log_path_ = candidate;
      break;
    }
  }
  if (!opened) return false;

  buffer_ = std::make_unique<stream::gz::obuffer>(file_, log_level, log_area_size);
  log_ = std::make_unique<std::ostream>(buffer_.get());

  const bool log_on_screen = info.has("-l");
  *log_ << stamp << '\n' << info.version << '\n';

  notify::on();
  cursor_ = std::make_unique<platform::hidden_cursor>();
  if (!log_on_screen) turn_spinner(true);

  display_ = std::make_shared<t_display>();
  display_->log = log_.get();
  display_->log_on_screen = log_on_screen;
  notify::subscribe("kestrun::vcs::.*", [display = display_](const notify::event* e) {
    if (!display->active) return true;
    return show_event(display->log, display->log_on_screen, e);
  });
  return true;
}

void console::close_log() {
  if (!log_ || !file_.is_open()) return;
  *log_ << time_stamp() << '\n';
  finish_log();
}

void console::finish_log() {
  if (display_) display_->log = nullptr;
  if (log_ && file_.is_open()) {
    // The flush ends the gzip stream: without it the file lacks its last block and trailer.
    log_->flush();
    file_.close();
  }
}

}  // namespace kestrun::vcs
