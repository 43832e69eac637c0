// FTP commands over the control connection and whole-file transfers over passive data
// connections.
#include "drivers/ftp/client.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <vector>

#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"

namespace kestrun::net::ftp {
namespace {

constexpr std::uint64_t reply_limit = 4294967295u;
constexpr std::int64_t piece_size = 65536;

void fire(const char* name, const std::string& text) { notify::create(name)->fire_text(text); }

// Paths on the wire: the native text of the path as UTF-8, '/'-separated.
std::string wire_path(const std::wstring& path) {
  return platform::native_from_wide(platform::separators_to_generic(path));
}

// A command as it may be shown: the password never leaves the client.
std::string shown(const std::string& command) {
  return command.rfind("PASS ", 0) == 0 ? std::string("PASS ***") : command;
}

bool is_preliminary(int code) { return code >= 100 && code < 200; }

// 150 opens the data connection; 125 says it is open already, as servers answer when the client
// connected before sending the command.
bool transfer_starts(int code) { return code == 150 || code == 125; }

}  // namespace

bool client::open(const char* host, int port) {
  spoiled_ = false;
  if (!control_.connect(host, port)) return false;
  if (reply_code(control_.read_reply(reply_limit)) == 220) return true;
  control_.close();
  return false;
}

std::string client::send_command(const std::string& command) {
  fire("kestrun::net::ftp::client::send_command", shown(command));
  // A line break inside a name would smuggle a second command onto the connection.
  if (command.find_first_of("\r\n") != std::string::npos) return {};
  const std::string line = command + "\r\n";
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
  return send_command_code("CWD " + wire_path(path)) == 250;
}

bool client::set_binary() { return send_command_code("TYPE I") == 200; }

std::int64_t client::size(const std::wstring& path) {
  set_binary();  // servers refuse SIZE in ASCII type; a refusal shows in the SIZE reply
  const std::string reply = send_command("SIZE " + wire_path(path));
  if (reply_code(reply) != 213 || reply.size() <= 4) return -1;
  std::istringstream in(reply.substr(4));
  std::int64_t value = -1;
  if (!(in >> value) || value < 0) return -1;
  return value;
}

bool client::passive(std::string& host, int& port) {
  const std::string reply = send_command("PASV");
  if (reply_code(reply) != 227) return false;
  const std::size_t open = reply.find('(');
  const char* numbers = reply.c_str() + (open == std::string::npos ? 0 : open + 1);
  unsigned v[6] = {};
  if (std::sscanf(numbers, "%u,%u,%u,%u,%u,%u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) {
    return false;
  }
  if (std::any_of(std::begin(v), std::end(v), [](unsigned n) { return n > 255; })) return false;
  host = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
  port = static_cast<int>(v[4] * 256 + v[5]);
  return true;
}

std::optional<int> client::start_transfer(const std::string& command, net::socket& data) {
  std::string host;
  int port = 0;
  if (!passive(host, port)) return std::nullopt;
  if (!data.connect(host.c_str(), port)) return std::nullopt;
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

bool client::move_into_place(const std::wstring& from, const std::wstring& to) {
  const std::string rename_from = "RNFR " + wire_path(from);
  const std::string rename_to = "RNTO " + wire_path(to);
  if (send_command_code(rename_from) != 350) return false;
  if (send_command_code(rename_to) == 250) return true;
  // Some servers will not rename onto an existing name. A refused RNTO also ends the RNFR, so
  // both are sent again.
  if (send_command_code("DELE " + wire_path(to)) != 250) return false;
  return send_command_code(rename_from) == 350 && send_command_code(rename_to) == 250;
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
    // Exactly the announced size: the server's close of the data connection is not awaited.
    moved = data.recv_to_stream(out, total);
    server_ended = !moved && data.last_failure() == net::socket::failure_cause::peer_ended;
  }
  if (!is_preliminary(*code)) return false;
  const int final_code =
      finish_transfer(data, server_ended, "kestrun::net::ftp::client::download::recv");
  return final_code == 226 && moved;
}

bool client::upload(std::istream& in, std::int64_t size, const std::wstring& path) {
  // Walk up until a folder exists; every folder passed on the way is missing.
  std::vector<std::filesystem::path> missing;
  std::filesystem::path folder = platform::path_from_wide(path).parent_path();
  while (!folder.empty()) {
    if (change_dir(platform::wide_from_path(folder))) break;
    missing.push_back(folder);
    std::filesystem::path parent = folder.parent_path();
    if (parent == folder) break;  // the root itself is missing
    folder = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (send_command_code("MKD " + utf16_to_utf8(platform::wide_from_path(*it))) != 257) {
      return false;
    }
  }

  // A transfer cut off (a killed run, a dropped connection) leaves the server a shorter file that
  // it cannot tell from a whole one; under the final name it would pass for the stored content ever
  // after. So the bytes go to a name of their own, and the file is renamed once it is whole.
  const std::wstring partial = path + L".partial-" + std::to_wstring(random_());
  net::socket data(timeout_ms);
  const std::optional<int> code = start_transfer("STOR " + wire_path(partial), data);
  if (!code) return false;
  bool moved = false;
  bool server_ended = false;
  if (transfer_starts(*code)) {
    fire("kestrun::net::ftp::client::upload::size", std::to_string(size));
    std::vector<char> buffer(piece_size);
    moved = true;
    for (std::int64_t remaining = size; remaining > 0 && moved;) {
      const auto want = static_cast<std::streamsize>(std::min(remaining, piece_size));
      in.read(buffer.data(), want);
      // A source cut short ends the data early; the server stores what came, and it is deleted.
      moved = in.gcount() == want;
      if (moved && !data.send_all(buffer.data(), static_cast<int>(want))) {
        moved = false;
        // A server that cannot take the file (a full disk, a size limit) drops the connection.
        server_ended = data.last_failure() == net::socket::failure_cause::peer_ended;
      }
      remaining -= want;
    }
  }
  bool stored = false;
  if (is_preliminary(*code)) {
    const int final_code =
        finish_transfer(data, server_ended, "kestrun::net::ftp::client::upload::recv");
    stored = final_code == 226 && moved;
  }
  data.close();
  if (stored && move_into_place(partial, path)) return true;
  // Whatever the server kept of the transfer is not needed by anyone.
  send_command("DELE " + wire_path(partial));
  return false;
}

}  // namespace kestrun::net::ftp
