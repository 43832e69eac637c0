// What the rest of kvcs may ask of the operating system. Neutral types only: the POSIX
// implementation lives in posix/, one file per section, and a Windows port would stand beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kestrun::platform {

// --- process ---------------------------------------------------------------------------------

// The process's own command line, program first, each argument as the bytes it was given (UTF-8
// on a sane system). Empty when it cannot be read.
std::vector<std::string> command_line();

// Full path of the running program's file; empty when the system does not say.
std::filesystem::path program_path();

// --- user folders ----------------------------------------------------------------------------

// The per-user configuration folder: $XDG_CONFIG_HOME when set and absolute, else $HOME/.config,
// else the account's home folder followed by .config. Empty when none can be determined.
std::filesystem::path config_folder();

// --- console ---------------------------------------------------------------------------------

// "Wide" console output: UTF-8 bytes written to the ordinary narrow streams, so narrow and wide
// writes never fight over a stream's orientation.
void write_out(std::string_view utf8);
void write_err(std::string_view utf8);
void flush_out();
void flush_err();

// True when standard output is a terminal.
bool stdout_is_terminal();

// Hides the terminal cursor for its lifetime. Writes nothing when standard output is not a
// terminal; the cursor is shown again by the destructor and, should the process end without
// unwinding (exit), at process exit.
class hidden_cursor {
 public:
  hidden_cursor();
  ~hidden_cursor();
  hidden_cursor(const hidden_cursor&) = delete;
  hidden_cursor& operator=(const hidden_cursor&) = delete;

 private:
  bool hidden_ = false;
};

// --- time ------------------------------------------------------------------------------------

// Local broken-down time of seconds since 1970. False for a negative time, one past the year
// 3000, or one the system cannot convert.
bool local_time(std::int64_t seconds, std::tm& out);

// --- text and paths --------------------------------------------------------------------------

// Native file names are bytes. These two convert them to wide text and back without loss: valid
// UTF-8 becomes code points, each byte of an invalid sequence becomes 0xDC00 + byte.
std::wstring wide_from_native(std::string_view bytes);
std::string native_from_wide(std::wstring_view text);

// The only ways a wide text becomes a path and back; never construct a path from a wstring.
std::filesystem::path path_from_wide(std::wstring_view text);
std::wstring wide_from_path(const std::filesystem::path& path);

// Strict conversions: false for a surrogate (escaped byte included) or invalid UTF-8, where the
// system's strict converters would refuse the text. `out` is unspecified on failure.
bool strict_utf8_from_wide(std::wstring_view text, std::string& out);
bool strict_wide_from_utf8(std::string_view text, std::wstring& out);

// The text as UTF-16 code units (surrogate pairs above the BMP), for hashes and stored bytes that
// must be the same on every platform.
std::u16string utf16_units(std::wstring_view text);

// '\' is a separator only on Windows: these turn the platform's separators into '/' and back.
// Here both return the text unchanged.
std::wstring separators_to_generic(std::wstring text);
std::wstring separators_to_native(std::wstring text);

// --- files and links -------------------------------------------------------------------------

// Windows attribute and reparse-tag values the finder and the scan test for.
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;
inline constexpr std::uint32_t reparse_tag_symlink = 0xA000000C;

// What a directory listing says of one entry, read from the entry itself (links not followed).
struct t_entry_info {
  std::uint32_t attributes = 0;    // attribute_directory for a folder and a link to one,
                                   // attribute_reparse_point for a symbolic link
  std::uint32_t reparse_tag = 0;   // reparse_tag_symlink for a symbolic link, else 0
  std::int64_t creation_time = 0;  // birth time where kept, else change time; whole seconds
  std::int64_t write_time = 0;     // modification time; whole seconds
  std::uint64_t size = 0;
};

// False with `ec` set when the entry cannot be read.
bool entry_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec);

// Gives a file its modification time (seconds since 1970), leaving the access time alone.
bool set_modification_time(const std::filesystem::path& path, std::int64_t seconds,
                           std::error_code& ec);

// --- libraries -------------------------------------------------------------------------------

// A loaded shared library, closed by the destructor.
class library {
 public:
  // Null when the file cannot be loaded (missing, not a library, unresolved symbols).
  static std::unique_ptr<library> open(const std::filesystem::path& path);
  ~library();
  library(const library&) = delete;
  library& operator=(const library&) = delete;

  // The address of an exported symbol, null when there is none.
  void* symbol(const char* name) const;

 private:
  explicit library(void* handle) : handle_(handle) {}
  void* handle_;
};

// --- errors ----------------------------------------------------------------------------------

// The one place that maps the system's error numbers onto the two questions the engine asks.
bool is_access_denied(const std::error_code& ec);
bool is_not_found(const std::error_code& ec);

}  // namespace kestrun::platform
