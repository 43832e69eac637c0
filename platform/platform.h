// What the rest of kvcs may ask of the operating system. Neutral types only: the POSIX
// implementation lives in posix/, the Windows one in windows/, one file per section, and what both
// share beside this header (text.cpp, reparse.cpp, files.cpp, socket.cpp, socket_waits.h,
// folder_checks.h).
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

// The per-user configuration folder: on POSIX $XDG_CONFIG_HOME when set and absolute, else
// $HOME/.config, else the account's home folder followed by .config; on Windows the roaming
// application-data folder. Empty when none can be determined.
std::filesystem::path config_folder();

// How a user is told where that folder comes from, for a message when it is unknown.
std::string config_folder_hint();

// --- console ---------------------------------------------------------------------------------

// "Wide" console output: UTF-8 bytes written to the ordinary narrow streams, so narrow and wide
// writes never fight over a stream's orientation. A console shows them as text; a file or pipe
// receives the bytes unchanged (no line-end translation).
void write_out(std::string_view utf8);
void write_err(std::string_view utf8);
void flush_out();
void flush_err();

// True when standard output is a terminal.
bool stdout_is_terminal();

// Hides the terminal cursor for its lifetime. Writes nothing when standard output is not a
// terminal, nor while another guard holds the cursor hidden. The cursor is shown again by the
// destructor and, should the process end without unwinding, at exit or when an interrupt,
// termination, hang-up or quit signal ends it (signals the process ignores or handles are left
// alone).
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

// Wide text holds UTF-32 code points where wchar_t has 32 bits and UTF-16 units where it has 16
// (Windows); on both, a high surrogate followed by a low one is one character.

// The unsigned value of one wide unit (wchar_t is signed on some platforms).
inline char32_t unit_value(wchar_t c) {
  return static_cast<char32_t>(static_cast<std::uint32_t>(c));
}
// The character at `index`, which moves past it: a surrogate pair is one, anything else one unit.
char32_t next_code_point(std::wstring_view text, std::size_t& index);
// Appends a code point as the platform's wide units (a pair above the BMP where they are 16 bits;
// U+FFFD for a value no pair can hold).
void append_code_point(char32_t cp, std::wstring& out);
// Appends the 1- to 4-byte UTF-8 form of a value up to 0x1FFFFF (surrogates take three bytes).
void append_utf8(char32_t cp, std::string& out);

// Byte text (POSIX file names, UTF-8 from anywhere) to wide text and back without loss: valid
// UTF-8 becomes characters, each byte of an invalid sequence becomes 0xDC00 + byte.
std::wstring wide_from_native(std::string_view bytes);
std::string native_from_wide(std::wstring_view text);

// The system's own form of path text: bytes on POSIX, UTF-16 units on Windows.
using native_char = std::filesystem::path::value_type;
using native_string = std::filesystem::path::string_type;
using native_string_view = std::basic_string_view<native_char>;

// A separator in the system's path text: '/' everywhere, and '\' on Windows too.
inline bool is_native_separator(native_char c) {
  return c == native_char('/') || c == std::filesystem::path::preferred_separator;
}

// A name in the system's form (one path element, as a listing gives it) as wide text, and the
// reverse; lossless both ways.
std::wstring wide_from_native_name(native_string_view name);
native_string native_name_from_wide(std::wstring_view text);

// A path as narrow text for messages and logs: its bytes on POSIX, UTF-8 on Windows.
std::string narrow_from_path(const std::filesystem::path& path);

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

// True when two name texts name the same thing: exactly equal on POSIX, equal after upper-casing
// each unit on Windows, whose file names do not depend on case.
bool same_names(std::wstring_view a, std::wstring_view b);

// The name the file system opens for one path element: Windows drops trailing dots and spaces
// (so "a. " opens "a"); elsewhere the name itself.
std::wstring_view name_as_opened(std::wstring_view name);

// --- files and links -------------------------------------------------------------------------

// Windows attribute and reparse-tag values the finder and the scan test for.
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;
inline constexpr std::uint32_t attribute_device = 0x40;
inline constexpr std::uint32_t reparse_tag_symlink = 0xA000000C;
inline constexpr std::uint32_t reparse_tag_mount_point = 0xA0000003;  // a junction

// The questions asked of those bits: outside this layer no code tests them itself.
// A folder, or a link or junction to one.
inline bool is_folder(std::uint32_t attributes) { return (attributes & attribute_directory) != 0; }
// Neither a file, a folder nor a link: a FIFO, a socket, a device.
inline bool is_device(std::uint32_t attributes) { return (attributes & attribute_device) != 0; }
// A reparse point of any kind: a link or a junction, or what Windows keeps elsewhere (a file
// in the cloud, say).
inline bool is_reparse_point(std::uint32_t attributes) {
  return (attributes & attribute_reparse_point) != 0;
}
// A file, whatever else Windows says of it (read-only, hidden, archive): no folder, reparse point
// or device. An entry that could not be read, whose attributes are all zero, counts as one.
inline bool is_file(std::uint32_t attributes) {
  return !is_folder(attributes) && !is_reparse_point(attributes) && !is_device(attributes);
}

// What a directory listing says of one entry, read from the entry itself (links not followed).
struct t_entry_info {
  std::uint32_t attributes = 0;    // attribute_directory for a folder and a link to one,
                                   // attribute_reparse_point for a symbolic link,
                                   // attribute_device for what is neither a file, a folder nor
                                   // a link (a FIFO, a socket, a device)
  std::uint32_t reparse_tag = 0;   // reparse_tag_symlink for a symbolic link, else 0
  std::int64_t creation_time = 0;  // birth time where kept, else change time; whole seconds
  std::int64_t write_time = 0;     // modification time; whole seconds
  std::uint64_t size = 0;
};

// False with `ec` set when the entry cannot be read; `out` is then all zero.
bool entry_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec);

// The entries of `folder`, "." and ".." left out, appended to `out` in the system's order. False
// with `ec` when the folder cannot be listed or the listing fails partway; what was listed before
// the failure stays. A folder too deep for the C runtime's own listing is listed all the same.
bool list_folder(const std::filesystem::path& folder,
                 std::vector<std::filesystem::directory_entry>& out, std::error_code& ec);

// A folder held open so that its entries can be queried by name, which spares the system a walk
// along the whole path for each of them. Closed by the destructor; is_open() is false when the
// folder could not be opened.
class folder_handle {
 public:
  explicit folder_handle(const std::filesystem::path& folder);
  ~folder_handle();
  folder_handle(const folder_handle&) = delete;
  folder_handle& operator=(const folder_handle&) = delete;

  bool is_open() const { return fd_ != -1; }

 private:
  friend bool entry_info_at(const folder_handle&, const native_char*, t_entry_info&,
                            std::error_code&);
  friend bool remove_entry_at(const folder_handle&, const std::filesystem::path&, std::error_code&);
  friend bool create_folder_at(const folder_handle&, const std::filesystem::path&,
                               std::error_code&);
  friend bool create_link_at(const folder_handle&, const std::filesystem::path&,
                             const std::filesystem::path&, bool, std::error_code&);
  friend class folder_below;
  friend class new_file;
  folder_handle() = default;      // closed; for folder_below
  std::intptr_t fd_ = -1;         // a descriptor, or a marker where the system needs none
  std::filesystem::path folder_;  // kept where entries are queried by their whole path
};

// entry_info for the entry `name` (one element, no separator) of an open folder.
bool entry_info_at(const folder_handle& folder, const native_char* name, t_entry_info& out,
                   std::error_code& ec);

// A file read from its start to its end, closed by the destructor.
class input_file {
 public:
  input_file() = default;
  ~input_file();
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  // Opens the file (links followed) for reading, closing what was open before. False, and
  // nothing open, when it cannot be opened or is not a regular file. Never waits: a FIFO or
  // device put in a file's place is refused, not read.
  bool open(const std::filesystem::path& path);

  // Reads up to `size` bytes into `buffer` and gives the count: fewer than `size` only at the end
  // of the file or when reading fails (the bytes before the failure are kept), 0 when nothing
  // is open.
  std::size_t read(char* buffer, std::size_t size);

  bool is_open() const { return fd_ != -1; }
  void close();

  // The size of the open file, 0 when nothing is open or the system does not say.
  std::uint64_t size() const;

 private:
  std::intptr_t fd_ = -1;  // a descriptor or a file handle
};

// Whole Unix seconds of a FILETIME (100-nanosecond units since 1601-01-01): the nearest second,
// a half second rounding up. entry_info applies the same rule to the system's nanosecond times.
std::int64_t unix_time_from_filetime(std::uint64_t filetime);

// Makes the folder `path` and every missing folder above it, at any depth the file system
// holds (past the length the system takes as one path, too). True when a folder stands there
// afterwards (one already there included); false with `ec` for the first one that cannot be
// made, or when something else stands in the way.
bool create_folders(const std::filesystem::path& path, std::error_code& ec);

// Gives a file its modification time (seconds since 1970), leaving the access time alone.
bool set_modification_time(const std::filesystem::path& path, std::int64_t seconds,
                           std::error_code& ec);

// --- links and junctions --------------------------------------------------------------------

// True for an entry that is a symbolic link or a junction: one the finder hands out but never
// walks into. Other reparse points (a Windows file kept in the cloud, say) count as what they
// hold. A reparse point without a tag is a link too: no Windows file system writes one, but Wine
// shows a Unix link that way, and walking into it could leave the folder.
inline bool is_link_entry(std::uint32_t attributes, std::uint32_t reparse_tag) {
  return is_reparse_point(attributes) &&
         (reparse_tag == reparse_tag_symlink || reparse_tag == reparse_tag_mount_point ||
          reparse_tag == 0);
}

// A folder that is no link or junction: one the finder walks into, and what git takes for a
// folder.
inline bool is_real_folder(std::uint32_t attributes, std::uint32_t reparse_tag) {
  return is_folder(attributes) && !is_link_entry(attributes, reparse_tag);
}

// entry_info of what `path` leads to, links followed.
bool target_info(const std::filesystem::path& path, t_entry_info& out, std::error_code& ec);

// The target text stored in the link or junction `path`, as written. False with `ec` when `path`
// is not one or its data cannot be read.
bool read_link(const std::filesystem::path& path, std::wstring& target, std::error_code& ec);

// Makes `link` a symbolic link to the file `target`, whose text is stored with the system's
// separators. True only when a link really stands at `link` afterwards (some systems report
// success and make nothing); an entry already at `link` is left alone.
bool create_file_link(const std::filesystem::path& target, const std::filesystem::path& link,
                      std::error_code& ec);

// Makes `link` a new junction to the folder text `target`, stored unchanged but for '/' becoming
// '\'. On Windows a new folder carries the mount-point data, and is removed again when that
// cannot be written; where there are no junctions it is a symbolic link to the text. False with
// `ec` when not made: an entry already at `link` is left alone, nothing is left behind.
bool create_junction(const std::filesystem::path& target, const std::filesystem::path& link,
                     std::error_code& ec);

// Enables the privilege that writing and reading junctions take (SeRestorePrivilege) for the
// rest of the process; true when the system's calls succeeded, and where there is none.
bool enable_restore_privilege();

// Removes the entry at `path` itself: a file, an empty folder, or a link or junction (never what
// it leads to). False with `ec` clear when nothing is there, with `ec` set when it stays.
bool remove_entry(const std::filesystem::path& path, std::error_code& ec);

// Removes `path` and everything below it; a link or junction on the way is removed as itself,
// never followed. True when nothing is left (nothing there included); false with `ec` at the
// first entry that stays.
bool remove_tree(const std::filesystem::path& path, std::error_code& ec);

// The mount-point reparse data of a junction to `target`, in a zero-filled block of
// junction_block_size bytes: "\??\", the target with '/' turned into '\', one more '\' and a
// zero unit, the stored name leaving that last '\' out. `length` is the count of bytes the system
// is handed. False when the target does not fit (more than 256 UTF-16 units) or holds a zero.
inline constexpr std::size_t junction_block_size = 540;
bool junction_reparse_data(std::wstring_view target, std::vector<std::uint8_t>& block,
                           std::size_t& length);

// The target that the reparse data of a junction or a symbolic link names: a junction's
// substitute name without its "\??\"; a symbolic link's print name, or its substitute name
// without "\??\" when the print name is empty. False for other kinds of data and for names that
// do not lie inside the `size` bytes.
bool reparse_data_target(const std::uint8_t* data, std::size_t size, std::wstring& target);

// --- files written below a folder ------------------------------------------------------------

// A folder reached from an open folder by one name, the name itself never followed: when a link
// (or junction) stands there, the folder stays closed with
// std::errc::too_many_symbolic_link_levels, so nothing opened through it can lie outside the folder
// it was reached from. Any other failure (nothing there, a file there) leaves it closed with the
// system's error.
class folder_below : public folder_handle {
 public:
  folder_below(const folder_handle& parent, const std::filesystem::path& name, std::error_code& ec);
};

// The entry `name` (one element) of an open folder, handled as remove_entry, create_folders and
// create_file_link or create_junction handle a whole path, but with no walk along the path and
// nothing on the way followed.
// Removes the entry itself (never what a link leads to): false with `ec` clear when nothing is
// there, with `ec` set when it stays.
bool remove_entry_at(const folder_handle& folder, const std::filesystem::path& name,
                     std::error_code& ec);
// Makes the folder; true when a folder stands there afterwards (one already there included),
// false with `ec` when something else does (a link to a folder too: std::errc::file_exists).
bool create_folder_at(const folder_handle& folder, const std::filesystem::path& name,
                      std::error_code& ec);
// Makes a link to `target`: a junction when `to_folder`, else a file link; an entry already
// there is left alone.
bool create_link_at(const folder_handle& folder, const std::filesystem::path& name,
                    const std::filesystem::path& target, bool to_folder, std::error_code& ec);

// A new file of a folder, written under a temporary name of that folder and moved over its final
// name only once complete: a run that ends midway never leaves a cut-short file under the final
// name. Destroying it without a completed move removes the temporary file.
class new_file {
 public:
  new_file() = default;
  ~new_file();
  new_file(const new_file&) = delete;
  new_file& operator=(const new_file&) = delete;

  // Creates the temporary file in `folder`, which must stay open until the file is moved or
  // discarded. False with `ec` when it cannot be created (a read-only folder, say).
  bool create(const folder_handle& folder, std::error_code& ec);
  // Appends all `size` bytes; false with `ec` on any failure (a full disk).
  bool write(const char* data, std::size_t size, std::error_code& ec);
  // Gives the file its modification time (seconds since 1970; a failure there is not reported)
  // and closes it; false with `ec` when the close reports an error.
  bool finish(std::int64_t seconds, std::error_code& ec);
  // Moves the finished file over `name` (one element) in its folder. A file already there must
  // be one that this process may write: it is replaced, and its permissions pass to the new
  // file. Refused with `ec` when a link, a folder or anything but a file stands there, or the
  // file there may not be written; the temporary file then stays for discard.
  bool replace(const std::filesystem::path& name, std::error_code& ec);
  // The same move into another open folder of the same file system; `is_cross_device(ec)` when
  // that folder lies on another one. The file then belongs to neither folder handle: `folder`
  // need not outlive it.
  bool replace(const folder_handle& folder, const std::filesystem::path& name, std::error_code& ec);
  // Removes the temporary file, when there is one.
  void discard();
  // The temporary file's name in its folder; empty once moved or removed.
  const std::string& temporary_file() const { return temp_name_; }
  // Whether `name` (one element) has the form of a temporary file's name: what a run cut short
  // leaves beside the file it was replacing.
  static bool is_temporary_name(const std::string& name);

 private:
  // A fresh name for the temporary file, random so that two runs (or a name left by a killed
  // one) stay apart; creating it exclusively does the rest.
  static std::string temporary_name();
  // replace() into the folder that `target_fd` (POSIX) or `target_folder` (Windows) names.
  bool move_into(std::intptr_t target_fd, const std::filesystem::path& target_folder,
                 const std::filesystem::path& name, std::error_code& ec);

  std::intptr_t folder_fd_ = -1;  // not owned
  std::intptr_t fd_ = -1;         // a descriptor or a file handle
  std::filesystem::path folder_;  // where the system names files by their whole path
  std::string temp_name_;         // empty once moved or removed
};

// --- files that must not meet another run's ---------------------------------------------------

// An exclusive lock on one file, held from acquire until release or destruction, and released by
// the system when the process ends however it ends (a kill included): a lock never outlives the
// run that took it.
class file_lock {
 public:
  file_lock() = default;
  ~file_lock();
  file_lock(file_lock&& other) noexcept;
  file_lock& operator=(file_lock&& other) noexcept;
  file_lock(const file_lock&) = delete;
  file_lock& operator=(const file_lock&) = delete;

  // Opens `path` (created when missing) and takes its lock without waiting. False with `ec`
  // when it cannot: std::errc::device_or_resource_busy when another holder has it (another
  // process, or another lock of this one), the system's error otherwise.
  bool acquire(const std::filesystem::path& path, std::error_code& ec);
  void release();
  bool held() const { return fd_ != -1; }

 private:
  std::intptr_t fd_ = -1;  // a descriptor or a file handle
};

// Creates `path` as a new, empty file; fails (std::errc::file_exists) when any entry holds the
// name, a link included, which is never followed. A file made so shares its data with nothing.
bool create_new_file(const std::filesystem::path& path, std::error_code& ec);

// Copies the file `from` into the new file `to`, created as create_new_file does; with `flush`
// its data is on the disk before this returns. On failure `to` is removed again (unless it was
// there before).
bool copy_to_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                      bool flush, std::error_code& ec);

// Puts the complete file `from` in place under the name `to` of the same folder by an operation
// that fails when the name is taken, so a file already there is never replaced: a hard link
// (then `from` is removed); where the file system has none, a move that refuses to replace
// (Linux: renameat2 with RENAME_NOREPLACE; Windows: MoveFileExW without
// MOVEFILE_REPLACE_EXISTING); where it has neither, `to` is created exclusively and `from` copied
// into it and flushed. `taken` when the name exists (`from` stays), `failed` with `ec` otherwise.
enum class t_placed { placed, taken, failed };
t_placed place_new_file(const std::filesystem::path& from, const std::filesystem::path& to,
                        std::error_code& ec);

// Gives the complete regular file `from` (never a link) the further name `to`, a hard link,
// which fails when the name is taken: a file already there is never replaced, and `to` holds the
// whole content from the moment it appears. With `flush` the content is on the disk before the
// name appears. `from` keeps its name. `taken` when the name exists; `failed` with `ec` where no
// link can be made (another file system: is_cross_device; one without hard links; `from` or the
// folder missing).
t_placed link_file(const std::filesystem::path& from, const std::filesystem::path& to, bool flush,
                   std::error_code& ec);

// Makes the entries of `folder` (files placed or removed there) durable; true with nothing to do
// where the system keeps them with the files (Windows).
bool sync_folder(const std::filesystem::path& folder, std::error_code& ec);

// True where one call can put every written file of a file system on its disk (syncfs); where
// not (Windows), each file is flushed as it is written.
bool can_sync_file_system();
// Puts all written data and metadata of the file system that holds `path` on its disk. False
// with `ec` when it cannot (std::errc::not_supported where can_sync_file_system is false).
bool sync_file_system(const std::filesystem::path& path, std::error_code& ec);

// --- libraries -------------------------------------------------------------------------------

// The file-name suffix of a shared library: ".so" on POSIX, ".dll" on Windows.
std::wstring library_suffix();

// A loaded shared library, closed by the destructor where the system lets exceptions outlive it
// (POSIX); on Windows it stays loaded until the process ends.
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

// --- sockets ---------------------------------------------------------------------------------

// What one send or recv did: the bytes it moved, or why it moved none.
struct t_transfer {
  enum class t_status {
    moved,      // `count` bytes moved (0 only when 0 were asked for)
    closed,     // the peer closed the connection (recv only)
    timed_out,  // the connection neither took nor brought a byte within the time-out
    failed,     // an error of the connection (a send to a peer that went away among them), or
                // the socket is closed
  };
  t_status status = t_status::failed;
  std::size_t count = 0;
  bool moved() const { return status == t_status::moved; }
};

// One IPv4 TCP connection, closed by the destructor. Every wait on the connection is bounded by
// the caller's time-out in milliseconds (the name lookup of connect is the system resolver's and
// is not), and a send to a peer that went away fails instead of raising SIGPIPE.
class socket {
 public:
  socket() = default;  // closed
  // Takes over a connected stream socket of the system (a descriptor, a SOCKET) that is in
  // non-blocking mode; on Windows it must hold a WSAStartup reference of its own, which close()
  // gives back. For servers that accept connections themselves (the tests' loopback servers).
  explicit socket(std::intptr_t handle) : fd_(handle) {}
  ~socket();
  socket(socket&& other) noexcept;
  socket& operator=(socket&& other) noexcept;
  socket(const socket&) = delete;
  socket& operator=(const socket&) = delete;

  // Resolves `host` (a name or a dotted address) and connects to the last IPv4 address the
  // resolver lists, waiting at most `timeout_ms` for the connection; the lookup of a name takes
  // as long as the system's resolver does. False, and the socket stays closed, when it is already
  // open, the host is unknown, the port lies outside 1..65535, or the connection is refused or
  // not made in time.
  bool connect(const char* host, int port, int timeout_ms);

  bool is_open() const { return fd_ != -1; }

  // The IPv4 address of the connected peer in dotted form; empty when closed or not known.
  std::string peer_address() const;

  // Sends up to `length` bytes once the connection accepts data, waiting at most `timeout_ms`.
  t_transfer send(const void* data, std::size_t length, int timeout_ms);

  // Receives up to `length` bytes, waiting at most `timeout_ms` for the first of them.
  t_transfer recv(void* buffer, std::size_t length, int timeout_ms);

  void close();

 private:
  std::intptr_t fd_ = -1;  // wide enough for a Windows SOCKET
};

// --- errors ----------------------------------------------------------------------------------

// The one place that maps the system's error numbers onto the two questions the engine asks.
bool is_access_denied(const std::error_code& ec);
bool is_not_found(const std::error_code& ec);
// A move that the system refuses because source and target lie on different file systems.
bool is_cross_device(const std::error_code& ec);

}  // namespace kestrun::platform
