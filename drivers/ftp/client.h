// The client side of FTP that the FTP driver needs: log in, change folder, size, fetch and store
// whole files over passive data connections in image type, and make missing folders.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "drivers/ftp/socket.h"

namespace kestrun::net::ftp {

// Runs on the caller's thread; every call blocks until its replies arrive or a wait passes the
// time-out. Paths are absolute, '/'-separated wide texts, sent as UTF-8. Events (level 0, text
// payload) go to the library's own event server: "kestrun::net::ftp::client::send_command" (the
// command line; a password is masked), "...::send_command::response" (the reply),
// "...::download::size", "...::download::recv", "...::upload::size" and "...::upload::recv".
class client {
 public:
  explicit client(int wait_ms = default_timeout_ms) : control_(wait_ms), timeout_ms(wait_ms) {}
  virtual ~client() = default;  // closes the control connection without QUIT
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  // The control connection: the owner connects it and reads the greeting (or calls open).
  net::socket& control() { return control_; }

  // Starts a session: connects the control connection to `host` and `port` and reads the
  // greeting, which must be 220 (otherwise the connection is closed). A server that allows few
  // sessions per client answers 4xx (421) while it has not yet let go of the last one: such a
  // greeting is tried again after short, growing pauses (busy_pauses_ms, 3.1 s in all). False
  // on any other failure, or when the server is still busy after the last pause. spoiled() is
  // false again afterwards, uploads try renames again, and what the last session learned of the
  // server (the transfer type, its folders and files) is forgotten.
  bool open(const char* host, int port);

  // Ends the session: QUIT, its reply, and the server's close of the connection (waited for at
  // most quit_wait_ms), so that the server has let go of the session before the next one starts.
  // Closes the control connection in any case.
  void quit();

  // The server broke the protocol on this session while it still answered: it skipped the final
  // reply of a transfer (the control connection stays in step), or sent replies that cannot be
  // told apart (the control connection is closed). What the server keeps for such a session is
  // not to be trusted (pyftpdlib then leaves every later PASV unanswered), so the owner ends it
  // and opens a new one.
  bool spoiled() const { return spoiled_; }

  // Sends the command and CR LF and returns the whole reply; empty when the send fails or no
  // reply arrives (a dead control connection). Replies that came unasked are dropped first. A
  // command with a line break, or longer than servers take (2048 bytes with CR LF), is not
  // sent: empty too, the connection staying in step.
  std::string send_command(const std::string& command);
  int send_command_code(const std::string& command);

  // The number at the start of a reply; -1 for an empty reply, 0 when it does not start with one.
  static int reply_code(const std::string& reply);

  // USER answered 331, then PASS answered 230. A null or empty user logs in without commands; a
  // null or empty password after 331 fails.
  bool login(const char* user, const char* password);
  // CWD answered 250; the folder is known from then on. The first folder a session changes into
  // is its base (the storage's root).
  bool change_dir(const std::wstring& path);
  // TYPE I answered 200; sent once per session, as the type stays until it is changed.
  bool set_binary();

  // The server's size of the file (TYPE I, then SIZE answered 213); -1 when it gives none.
  std::int64_t size(const std::wstring& path);
  static std::int64_t read_size(const std::string& reply);  // of a SIZE reply: 213 and a number

  enum class presence { present, absent, unknown };

  // Whether a file is stored: present for a SIZE answered 213 and a size, absent only for 550
  // (the reply that means no such file), unknown for anything else (a time-out, 421, a lost
  // connection, a garbled reply, a server without SIZE). No command is sent when this session
  // knows the answer: a file it stored is present; a file below a folder it made itself (empty
  // then), which it did not store since, is absent. A file's first folder below the base is
  // looked at once per session (CWD): when it is missing (550), so is every file below it, which
  // in an empty storage spares a SIZE per content.
  presence probe(const std::wstring& path);

  // PASV answered 227 with six numbers in 0..255 (see read_passive): the address and port the
  // server names for the data connection.
  bool passive(std::string& host, int& port);

  // The address and port of a 227 reply: the first six comma-separated numbers of 0..255 after
  // the code, in parentheses or not; the port must not be 0.
  static bool read_passive(const std::string& reply, std::string& host, int& port);

  // Fetches a file of size 1 or more into `out`: SIZE (always asked: the byte count must be the
  // server's), PASV, RETR answered 150 (or 125), with TYPE I once per session before them,
  // exactly that many bytes followed by the server's close of the data connection, then 226 (or
  // 250). False on any other reply, a transfer shorter or longer than the size, or a stream error;
  // the control connection stays in step (a "NOOP" follows a data connection that the server
  // ended early), or is closed when that cannot be made sure of.
  bool download(const std::wstring& path, std::ostream& out);

  // Makes the folders of `path` that this session does not know (see make_folders), then stores
  // `size` bytes of `in` under `path`. The bytes go to a temporary name beside `path` (`path` +
  // ".partial", the same on every try, so that a cut-off try leaves at most one such file, which
  // the next one replaces): PASV, TYPE I (once per session), STOR answered 150 (or 125), the
  // bytes, then 226 (or 250); only then RNFR (350) and RNTO (250) put the file under `path`, so a
  // transfer cut off at any point never leaves a file under that name. On any failure after STOR
  // the temporary file is deleted (best effort) once the transfer's final reply is read, so that
  // DELE gets its own reply; a data connection that the server ends early is followed by "NOOP"
  // first (see finish_transfer). A STOR of the temporary name refused with 5xx is tried again
  // once after making the folders anew when they were only known from before (another process
  // may have removed them); refused again, the temporary name is deleted and the file stored
  // plainly under `path` (a write-once server keeps the temporary file of a cut-off try and will
  // not replace it). A server that refuses the rename (5xx to RNFR or RNTO: a write-once server)
  // gets the file by a plain STOR under `path`, and so does every later upload of this client.
  // Nothing stored under `path` is ever deleted. With `unique_temporary` the temporary name is
  // `path` + ".partial-" and a random number instead: for a name that two writers may fill with
  // different bytes at once (two machines saving the same version), where a shared temporary
  // file would mix them.
  bool upload(std::istream& in, std::int64_t size, const std::wstring& path,
              bool unique_temporary = false);

  // Whether uploads of this session store plainly, as after a refused rename; the owner may say
  // so from the start for a server it knows to refuse renames.
  bool stores_plainly() const { return renames_refused_; }
  void store_plainly() { renames_refused_ = true; }

 private:
  // PASV, the data connection `data` to the address it names, TYPE I, then `command`. The code of
  // the command's reply; none when the command was not sent because an earlier step failed.
  std::optional<int> start_transfer(const std::string& command, net::socket& data);

  // Closes the data connection and reads the transfer's final reply (the code; -1 when none can
  // be read, the control connection then being closed), firing `event_name` with it. After a
  // preliminary reply the server sends a final one once the data connection has ended, also when
  // the transfer failed on our side; reading it keeps the control connection in step.
  // `server_ended`: the server ended the data connection before the transfer was complete, so it
  // gave up on the transfer and its final reply is sent already or never comes (pyftpdlib sends
  // none when closing the file it could not write fails). Then "NOOP" marks the end of what
  // belongs to the transfer: a reply before the NOOP's 200 is the final reply, and none there
  // means the server skipped it (spoiled() becomes true). Every wait is bounded by the time-out.
  int finish_transfer(net::socket& data, bool server_ended, const char* event_name);

  enum class rename_result { done, refused, failed };

  // RNFR `from` answered 350 and RNTO `to` answered 250. `refused` for a 5xx to either.
  rename_result move_into_place(const std::wstring& from, const std::wstring& to);

  enum class store_result { not_sent, refused, failed, done };

  // PASV, TYPE I and STOR of `size` bytes of `in` under `path`, then the final reply. `not_sent`
  // when no STOR went out (PASV or the data connection failed), `refused` for a 5xx to STOR.
  // Done: the file is known to be stored with that size.
  store_result store(std::istream& in, std::int64_t size, const std::wstring& path);

  enum class folders_result {
    known,     // every folder was known to exist: nothing was sent
    made,      // the deepest one was made (257), so all of them exist; or it is the root
    unproven,  // MKD of the deepest one said "there already" or "not made" (550, 521): the STOR
               // into it tells which
    failed,    // any other reply to an MKD
  };

  // Makes the folders down to `folder` that this session does not know, from the highest one
  // down, without looking first: MKD answered 257 makes a folder (and proves the ones above it);
  // 550 or 521 (what servers answer for a folder that exists) is taken for "there already" and
  // the next MKD goes on below it. A new content in a run thus costs no failed command where its
  // folders are new or were seen before.
  folders_result make_folders(const std::wstring& folder);

  // What this session learned of the server's folders and files: ends with the session, and is
  // dropped when the server contradicts it.
  void forget_learned();
  bool rewind(std::istream& in, std::istream::pos_type start);

  net::socket control_;
  int timeout_ms;
  bool spoiled_ = false;
  bool renames_refused_ = false;            // the server refused a rename: uploads store plainly
  bool binary_ = false;                     // TYPE I was answered 200 in this session
  std::set<std::wstring> known_folders_;    // seen to exist in this session ('/'-separated)
  std::set<std::wstring> made_folders_;     // made by this session, so empty but for its stores
  std::set<std::wstring> missing_folders_;  // answered 550 to CWD in this session
  std::wstring base_;                       // the first folder changed into, made normal
  std::map<std::wstring, std::int64_t> stored_;  // stored by this session, with their sizes
};

// The pauses between tries of a session that the server answers with 4xx, and the wait for the
// server's close after QUIT.
inline constexpr int busy_pauses_ms[] = {100, 200, 400, 800, 1600};
inline constexpr int quit_wait_ms = 1000;

}  // namespace kestrun::net::ftp
