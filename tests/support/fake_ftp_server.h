// A scripted FTP server on a loopback thread, for what a real server will not do on demand (split
// or missing replies, dropped data connections, refusals).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/support/listener.h"

namespace kestrun::test {

inline constexpr int fake_ftp_server_wait_ms = 5000;  // only reached when a test is already failing

inline void send_text(platform::socket& to, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const auto sent = to.send(text.data() + done, text.size() - done, fake_ftp_server_wait_ms);
    if (!sent.moved()) return;
    done += sent.count;
  }
}

// Everything the connection brings until the peer closes it.
inline std::string receive_all(platform::socket& from) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const auto got = from.recv(buffer, sizeof buffer, fake_ftp_server_wait_ms);
    if (!got.moved()) return text;
    text.append(buffer, got.count);
  }
}

inline bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// An answer that sends nothing, where an empty one would let a chain of answer functions go on to
// the next.
inline const std::string stay_silent(1, '\0');
// An answer that ends the session at once, as a server that drops the connection does.
inline const std::string hang_up(1, '\1');

// An FTP server on 127.0.0.1 that serves `sessions` control connections one after another: it
// sends each a greeting and answers every command line with what `answer` returns (nothing for an
// empty text or stay_silent), on its own thread. A session ends when the client closes the
// connection, or after a 221 reply to QUIT. With `linger_ms`, it lets go of a session only that
// long after it ended, as servers that allow one session per client address do: a connection
// that comes sooner is greeted with 421 and closed, and counts as no session.
class fake_ftp_server {
 public:
  using answer_fn = std::function<std::string(const std::string& command, fake_ftp_server& self)>;

  fake_ftp_server(std::string greeting, answer_fn answer, int sessions = 1, int linger_ms = 0)
      : greeting_(std::move(greeting)),
        answer_(std::move(answer)),
        sessions_(sessions),
        linger_(linger_ms),
        thread_([this] { run(); }) {}
  ~fake_ftp_server() { join(); }
  fake_ftp_server(const fake_ftp_server&) = delete;
  fake_ftp_server& operator=(const fake_ftp_server&) = delete;

  int port() const { return control_listener_.port(); }

  // The command lines heard in all sessions; waits until the client has closed the last one.
  std::vector<std::string> heard() {
    join();
    return heard_;
  }

  // For answers: a passive reply that points at the data listener, the data connection, and
  // a way to send part of a reply before the rest.
  std::string passive_reply() const {
    const int data_port = data_listener_.port();
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(data_port / 256) + "," +
           std::to_string(data_port % 256) + ")\r\n";
  }
  platform::socket accept_data() { return data_listener_.accept(fake_ftp_server_wait_ms); }
  void say(const std::string& text) { send_text(control_, text); }

  int session() const { return session_; }  // 1 for the first

  // The connections greeted with 421; waits as heard() does.
  int turned_away() {
    join();
    return turned_away_;
  }

 private:
  void run() {
    auto free_at = std::chrono::steady_clock::now();
    for (session_ = 1; session_ <= sessions_; ++session_) {
      control_ = control_listener_.accept(fake_ftp_server_wait_ms);
      if (!control_.is_open()) return;
      if (std::chrono::steady_clock::now() < free_at) {
        send_text(control_, "421 There are too many connections from your internet address.\r\n");
        control_.close();
        ++turned_away_;
        --session_;
        continue;
      }
      buffer_.clear();
      say(greeting_);
      std::string line;
      while (read_line(line)) {
        heard_.push_back(line);
        // A data connection that the last transfer left unused is no part of the next one.
        if (line == "PASV") {
          while (data_listener_.accept(0).is_open()) {
          }
        }
        const std::string reply = answer_(line, *this);
        if (reply == hang_up) break;
        if (reply != stay_silent) say(reply);
        if (line == "QUIT" && starts_with(reply, "221")) break;  // the server ends the session
      }
      control_.close();
      free_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(linger_);
    }
  }

  bool read_line(std::string& line) {
    for (;;) {
      const auto end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return true;
      }
      char piece[1024];
      const auto got = control_.recv(piece, sizeof piece, fake_ftp_server_wait_ms);
      if (!got.moved()) return false;
      buffer_.append(piece, got.count);
    }
  }

  void join() {
    if (thread_.joinable()) thread_.join();
  }

  listener control_listener_;
  listener data_listener_;
  platform::socket control_;
  std::string greeting_;
  answer_fn answer_;
  int sessions_;
  int linger_;
  int session_ = 0;
  int turned_away_ = 0;
  std::string buffer_;
  std::vector<std::string> heard_;
  std::thread thread_;  // last: it starts once everything above exists
};

// Answers a logged-in session's plain commands; `more` comes first and may answer anything.
inline fake_ftp_server::answer_fn plain_answers(fake_ftp_server::answer_fn more = nullptr) {
  return [more](const std::string& command, fake_ftp_server& self) -> std::string {
    if (more) {
      std::string reply = more(command, self);
      if (!reply.empty()) return reply;
    }
    if (command == "TYPE I") return "200 Type set to I\r\n";
    if (command == "PASV") return self.passive_reply();
    if (command == "NOOP") return "200 ok\r\n";
    if (starts_with(command, "CWD ")) return "250 ok\r\n";
    if (starts_with(command, "DELE ")) return "250 deleted\r\n";
    return "502 not here\r\n";
  };
}

}  // namespace kestrun::test
