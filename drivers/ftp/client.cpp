// FTP commands over the control connection and whole-file transfers over passive data
// connections.
#include "drivers/ftp/client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "common/notify/event.h"
#include "drivers/ftp/remote_path.h"

namespace kestrun::net::ftp {
namespace {

constexpr std::uint64_t reply_limit = 4294967295u;
constexpr std::int64_t piece_size = 65536;

// Servers take command lines up to a length (pyftpdlib 2048 bytes); the rest of a longer one
// would reach them as another command, and its reply would answer the next command sent.
constexpr std::size_t command_line_limit = 2048;  // CR LF included

void fire(const char* name, const std::string& text) { notify::create(name)->fire_text(text); }

std::wstring random_suffix() {
  static std::mt19937_64 random{std::random_device{}()};
  wchar_t text[16];
  std::swprintf(text, 16, L"%012llx",
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFULL));
  return text;
}

// A command as it may be shown: the password never leaves the client.
std::string shown(const std::string& command) {
  return command.rfind("PASS ", 0) == 0 ? std::string("PASS ***") : command;
}

bool is_preliminary(int code) { return code >= 100 && code < 200; }

// 150 opens the data connection; 125 says it is open already, as servers answer when the client
// connected before sending the command.
bool transfer_starts(int code) { return code == 150 || code == 125; }

// A permanent refusal: the server will not do it, however often asked.
bool is_refusal(int code) { return code >= 500 && code < 600; }

// A transfer's final reply when the whole file was sent: 226 or, from some servers, 250.
bool transfer_done(int code) { return code == 226 || code == 250; }

// The value of a run of at most three digits at `at` (moved past it); -1 when there is none or
// it is above 255.
int byte_at(std::string_view text, std::size_t& at) {
  int value = 0;
  std::size_t digits = 0;
  for (; at < text.size() && digits < 4 && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
    value = value * 10 + (text[at] - '0');
  }
  return digits == 0 || digits > 3 || value > 255 ? -1 : value;
}

// Six numbers "h1,h2,h3,h4,p1,p2" starting at `at`.
bool six_numbers_at(std::string_view text, std::size_t at, unsigned (&v)[6]) {
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && (at >= text.size() || text[at++] != ',')) return false;
    const int value = byte_at(text, at);
    if (value < 0) return false;
    v[i] = static_cast<unsigned>(value);
  }
  return true;
}

}  // namespace

bool client::open(const char* host, int port) {
  spoiled_ = false;
  renames_refused_ = false;
  forget_learned();
  base_.clear();
  for (std::size_t attempt = 0;; ++attempt) {
    if (!control_.connect(host, port)) return false;
    const int code = reply_code(control_.read_reply(reply_limit));
    if (code == 220) return true;
    control_.close();
    // 4xx: not now. Servers that count sessions per client (vsftpd max_per_ip, pure-ftpd -C)
    // free the last one a moment after it ended.
    const bool busy = code >= 400 && code < 500;
    if (!busy || attempt == std::size(busy_pauses_ms)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(busy_pauses_ms[attempt]));
  }
}

void client::quit() {
  if (control_.is_open() && reply_code(send_command("QUIT")) > 0) {
    control_.await_end(std::min(quit_wait_ms, timeout_ms));
  }
  control_.close();
}

void client::forget_learned() {
  binary_ = false;
  known_folders_.clear();
  made_folders_.clear();
  missing_folders_.clear();
  stored_.clear();
}

std::string client::send_command(const std::string& command) {
  fire("kestrun::net::ftp::client::send_command", shown(command));
  // A line break inside a name would smuggle a second command onto the connection.
  if (command.find_first_of("\r\n") != std::string::npos) return {};
  const std::string line = command + "\r\n";
  if (line.size() > command_line_limit) {
    fire(
        "kestrun::net::ftp::client::send_command::too_long",
        std::to_string(line.size()) + " bytes, servers take " + std::to_string(command_line_limit));
    return {};
  }
  control_.discard_waiting_replies();
  if (!control_.send_all(line.data(), static_cast<int>(line.size()))) return {};
  std::string reply = control_.read_reply(reply_limit);
  fire("kestrun::net::ftp::client::send_command::response", reply);
  return reply;
}

int client::send_command_code(const std::string& command) {
  return reply_code(send_command(command));
}

int client::reply_code(const std::string& reply) {
  if (reply.empty()) return -1;
  std::istringstream in(reply.substr(0, reply.find(' ')));
  int code = 0;
  if (!(in >> code)) return 0;
  return code;
}

bool client::login(const char* user, const char* password) {
  if (user == nullptr || *user == '\0') return true;
  if (send_command_code(std::string("USER ") + user) != 331) return false;
  if (password == nullptr || *password == '\0') return false;
  return send_command_code(std::string("PASS ") + password) == 230;
}

bool client::change_dir(const std::wstring& path) {
  if (send_command_code("CWD " + wire_path(path)) != 250) return false;
  known_folders_.insert(path);
  if (base_.empty()) base_ = remote_normal(path);
  return true;
}

bool client::set_binary() {
  if (!binary_) binary_ = send_command_code("TYPE I") == 200;
  return binary_;
}

std::int64_t client::size(const std::wstring& path) {
  set_binary();  // servers refuse SIZE in ASCII type; a refusal shows in the SIZE reply
  return read_size(send_command("SIZE " + wire_path(path)));
}

client::presence client::probe(const std::wstring& path) {
  if (stored_.count(path) != 0) return presence::present;
  // The nearest folder above the file that this session knows: one it made held nothing then.
  for (std::wstring folder = remote_parent(path); !folder.empty();) {
    if (made_folders_.count(folder) != 0) return presence::absent;
    if (known_folders_.count(folder) != 0) break;
    if (missing_folders_.count(folder) != 0) return presence::absent;
    std::wstring parent = remote_parent(folder);
    if (parent == folder) break;
    folder = std::move(parent);
  }
  // The file's first folder below the base, once.
  const std::wstring top = first_folder_below(base_, path);
  if (!top.empty()) {
    if (known_folders_.count(top) == 0 && missing_folders_.count(top) == 0) {
      switch (send_command_code("CWD " + wire_path(top))) {
        case 250:
          known_folders_.insert(top);
          break;
        case 550:
          missing_folders_.insert(top);
          return presence::absent;
        default:  // the SIZE below tells
          break;
      }
    }
  }
  // In ASCII type servers refuse SIZE with 550 too, which would pass for "absent".
  if (!set_binary()) return presence::unknown;
  const std::string reply = send_command("SIZE " + wire_path(path));
  switch (reply_code(reply)) {
    case 213:
      return read_size(reply) >= 0 ? presence::present : presence::unknown;
    case 550:
      return presence::absent;
    default:
      return presence::unknown;
  }
}

std::int64_t client::read_size(const std::string& reply) {
  if (reply_code(reply) != 213 || reply.size() <= 4) return -1;
  std::istringstream in(reply.substr(4));
  std::int64_t value = -1;
  if (!(in >> value) || value < 0) return -1;
  return value;
}

bool client::passive(std::string& host, int& port) {
  return read_passive(send_command("PASV"), host, port);
}

bool client::read_passive(const std::string& reply, std::string& host, int& port) {
  if (reply_code(reply) != 227) return false;
  // The numbers need not stand in parentheses: the first run of six after the code counts.
  const std::string_view text(reply);
  for (std::size_t at = 4; at < text.size(); ++at) {
    const bool starts_run =
        text[at] >= '0' && text[at] <= '9' && !(text[at - 1] >= '0' && text[at - 1] <= '9');
    unsigned v[6] = {};
    if (!starts_run || !six_numbers_at(text, at, v)) continue;
    const int found_port = static_cast<int>(v[4] * 256 + v[5]);
    if (found_port == 0) return false;
    host = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
    port = found_port;
    return true;
  }
  return false;
}

std::optional<int> client::start_transfer(const std::string& command, net::socket& data) {
  std::string host;
  int port = 0;
  if (!passive(host, port)) return std::nullopt;
  // Only the port is taken from the reply: the data goes to the server the control connection
  // reached, never to another host that a hostile or misconfigured server names.
  const std::string server = control_.peer_address();
  if (server.empty() || !data.connect(server.c_str(), port)) return std::nullopt;
  set_binary();
  return send_command_code(command);
}

int client::finish_transfer(net::socket& data, bool server_ended, const char* event_name) {
  // Our close is the end of an upload's data for the server; it answers once it has seen it.
  data.close();
  if (!server_ended) {
    const std::string reply = control_.read_reply(reply_limit);
    fire(event_name, reply);
    return reply_code(reply);
  }

  // The server processes NOOP only after what it did when it ended the data connection, so the
  // transfer's final reply, if it sends one, comes first. A final reply is never 200.
  const std::string marker = "NOOP";
  fire("kestrun::net::ftp::client::send_command", marker);
  std::string final_reply;
  if (control_.send_all((marker + "\r\n").c_str(), -1)) {
    for (int replies = 0; replies < 2; ++replies) {
      const std::string reply = control_.read_reply(reply_limit);
      if (reply.empty()) break;  // the control connection is gone (read_reply closed it)
      if (reply_code(reply) == 200) {
        fire("kestrun::net::ftp::client::send_command::response", reply);
        fire(event_name, final_reply);
        if (!final_reply.empty()) return reply_code(final_reply);
        spoiled_ = true;
        return -1;
      }
      if (!final_reply.empty()) break;
      final_reply = reply;
    }
  }
  // Two replies and neither answers the NOOP: which reply belongs to which command is unknown,
  // and a connection out of step would give later commands the wrong answers.
  spoiled_ = spoiled_ || control_.is_open();  // a server that still answers
  control_.close();
  fire(event_name, final_reply);
  return -1;
}

client::rename_result client::move_into_place(const std::wstring& from, const std::wstring& to) {
  // A name kvcs stores is one it found absent, so a refused rename never calls for deleting
  // what is stored under `to`.
  const int from_code = send_command_code("RNFR " + wire_path(from));
  if (from_code != 350)
    return is_refusal(from_code) ? rename_result::refused : rename_result::failed;
  const int to_code = send_command_code("RNTO " + wire_path(to));
  if (to_code == 250) return rename_result::done;
  return is_refusal(to_code) ? rename_result::refused : rename_result::failed;
}

bool client::download(const std::wstring& path, std::ostream& out) {
  const std::int64_t total = size(path);
  if (total <= 0) return false;
  net::socket data(timeout_ms);
  const std::optional<int> code = start_transfer("RETR " + wire_path(path), data);
  if (!code) return false;
  bool moved = false;
  bool server_ended = false;
  if (transfer_starts(*code)) {
    fire("kestrun::net::ftp::client::download::size", std::to_string(total));
    // The announced size, and then the server's close: a SIZE that under-reports must not pass a
    // cut-short file off as the whole one.
    moved = data.recv_to_stream(out, total) && data.await_end();
    server_ended = !moved && data.last_failure() == net::socket::failure_cause::peer_ended;
  }
  if (!is_preliminary(*code)) return false;
  const int final_code =
      finish_transfer(data, server_ended, "kestrun::net::ftp::client::download::recv");
  return transfer_done(final_code) && moved;
}

client::folders_result client::make_folders(const std::wstring& folder) {
  std::vector<std::wstring> unknown;  // from the deepest up
  for (std::wstring at = folder; !at.empty() && known_folders_.count(at) == 0;) {
    std::wstring parent = remote_parent(at);
    if (parent == at) break;  // the server's root is there
    unknown.push_back(at);
    at = std::move(parent);
  }
  if (unknown.empty()) {
    // The server's root is there by nature; any other folder only by what was learned.
    const bool root = folder.empty() || remote_parent(folder) == folder;
    return root ? folders_result::made : folders_result::known;
  }
  bool made = false;
  for (auto it = unknown.rbegin(); it != unknown.rend(); ++it) {
    const int code = send_command_code("MKD " + wire_path(*it));
    made = code == 257;
    if (made) {
      // Made inside its parent: every folder above it exists.
      for (auto up = unknown.rbegin(); up != it; ++up) known_folders_.insert(*up);
      known_folders_.insert(*it);
      made_folders_.insert(*it);
    } else if (code != 550 && code != 521) {
      return folders_result::failed;
    }
  }
  return made ? folders_result::made : folders_result::unproven;
}

bool client::rewind(std::istream& in, std::istream::pos_type start) {
  if (start == std::istream::pos_type(-1)) return false;
  in.clear();
  return static_cast<bool>(in.seekg(start));
}

bool client::upload(std::istream& in, std::int64_t size, const std::wstring& path,
                    bool unique_temporary) {
  const std::wstring folder = remote_parent(path);
  folders_result folders = make_folders(folder);
  if (folders == folders_result::failed) return false;

  const std::istream::pos_type start = in.tellg();
  if (!renames_refused_) {
    // A transfer cut off (a killed run, a dropped connection) leaves the server a shorter file
    // that it cannot tell from a whole one; under the final name it would pass for the stored
    // content ever after. So the bytes go to a name of their own, renamed once the file is whole.
    const std::wstring partial =
        unique_temporary ? path + L".partial-" + random_suffix() : path + L".partial";
    store_result stored = store(in, size, partial);
    if (stored == store_result::refused && folders == folders_result::known) {
      // The folder was only known from before: another process may have removed it.
      forget_learned();
      folders = make_folders(folder);
      if (folders == folders_result::failed || !rewind(in, start)) return false;
      stored = store(in, size, partial);
    }
    if (stored == store_result::not_sent) return false;
    rename_result renamed = rename_result::failed;
    if (stored == store_result::done) {
      known_folders_.insert(folder);
      renamed = move_into_place(partial, path);
    }
    if (renamed == rename_result::done) {
      stored_[path] = size;
      return true;
    }
    // Whatever the server kept of the transfer is not needed by anyone.
    send_command("DELE " + wire_path(partial));
    if (stored == store_result::refused) {
      // The server will not take the temporary name (a write-once server that keeps the one of
      // a cut-off try): the file goes under its name directly, this once.
      if (!rewind(in, start)) return false;
    } else {
      // A write-once server refuses renames for good: this session stores plainly from now on.
      if (renamed == rename_result::failed || !rewind(in, start)) return false;
      renames_refused_ = true;
    }
  }
  if (store(in, size, path) != store_result::done) return false;
  known_folders_.insert(folder);
  stored_[path] = size;
  return true;
}

client::store_result client::store(std::istream& in, std::int64_t size, const std::wstring& path) {
  net::socket data(timeout_ms);
  const std::optional<int> code = start_transfer("STOR " + wire_path(path), data);
  if (!code) return store_result::not_sent;
  bool moved = false;
  bool server_ended = false;
  if (transfer_starts(*code)) {
    fire("kestrun::net::ftp::client::upload::size", std::to_string(size));
    std::vector<char> buffer(piece_size);
    moved = true;
    for (std::int64_t remaining = size; remaining > 0 && moved;) {
      const auto want = static_cast<std::streamsize>(std::min(remaining, piece_size));
      in.read(buffer.data(), want);
      // A source cut short ends the data early; the server stores what came.
      moved = in.gcount() == want;
      if (moved && !data.send_all(buffer.data(), static_cast<int>(want))) {
        moved = false;
        // A server that cannot take the file (a full disk, a size limit) drops the connection.
        server_ended = data.last_failure() == net::socket::failure_cause::peer_ended;
      }
      remaining -= want;
    }
  }
  if (!is_preliminary(*code))
    return is_refusal(*code) ? store_result::refused : store_result::failed;
  const int final_code =
      finish_transfer(data, server_ended, "kestrun::net::ftp::client::upload::recv");
  return transfer_done(final_code) && moved ? store_result::done : store_result::failed;
}

}  // namespace kestrun::net::ftp
