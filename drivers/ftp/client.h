// The client side of FTP that the FTP driver needs: log in, change folder, size, fetch and store
// whole files over passive data connections in image type, and make missing folders.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <random>
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
  // greeting, which must be 220 (otherwise the connection is closed). False on any failure.
  // spoiled() is false again afterwards, and uploads try renames again.
  bool open(const char* host, int port);

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
  bool change_dir(const std::wstring& path);  // CWD answered 250
  bool set_binary();                          // TYPE I answered 200

  // The server's size of the file (TYPE I, then SIZE answered 213); -1 when it gives none.
  std::int64_t size(const std::wstring& path);
  static std::int64_t read_size(const std::string& reply);  // of a SIZE reply: 213 and a number

  // PASV answered 227 with six numbers in 0..255 (see read_passive): the address and port the
  // server names for the data connection.
  bool passive(std::string& host, int& port);

  // The address and port of a 227 reply: the first six comma-separated numbers of 0..255 after
  // the code, in parentheses or not; the port must not be 0.
  static bool read_passive(const std::string& reply, std::string& host, int& port);

  // Fetches a file of size 1 or more into `out`: SIZE, PASV, TYPE I, RETR answered 150 (or 125),
  // exactly that many bytes followed by the server's close of the data connection, then 226 (or
  // 250). False on any other reply, a transfer shorter or longer than the size, or a stream error;
  // the control connection stays in step (a "NOOP" follows a data connection that the server
  // ended early), or is closed when that cannot be made sure of.
  bool download(const std::wstring& path, std::ostream& out);

  // Makes the missing folders of `path` (a CWD walk towards the root, then MKD answered 257 from
  // the highest one down), then stores `size` bytes of `in` under `path`. The bytes go to a
  // temporary name beside `path` (`path` + ".partial-" + a random number): PASV, TYPE I, STOR
  // answered 150 (or 125), the bytes, then 226 (or 250); only then RNFR (350) and RNTO (250) put
  // the file under `path`, so a transfer cut off at any point never leaves a file under that name.
  // On any failure after STOR the temporary file is deleted (best effort) once the transfer's
  // final reply is read, so that DELE gets its own reply; a data connection that the server ends
  // early is followed by "NOOP" first (see finish_transfer). A server that refuses the rename
  // (5xx to RNFR or RNTO: a write-once server) gets the file by a plain STOR under `path`, and so
  // does every later upload of this client. Nothing stored under `path` is ever deleted.
  bool upload(std::istream& in, std::int64_t size, const std::wstring& path);

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

  enum class store_result { not_sent, failed, done };

  // PASV, TYPE I and STOR of `size` bytes of `in` under `path`, then the final reply. `not_sent`
  // when no STOR went out (PASV or the data connection failed).
  store_result store(std::istream& in, std::int64_t size, const std::wstring& path);

  net::socket control_;
  int timeout_ms;
  bool spoiled_ = false;
  bool renames_refused_ = false;  // the server refused a rename: uploads store plainly
  std::mt19937_64 random_{std::random_device{}()};  // the temporary names of uploads
};

}  // namespace kestrun::net::ftp
