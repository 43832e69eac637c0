// One TCP connection of the FTP client (control or data) with FTP's reply framing on top of the
// platform socket. Every wait gives up after the socket's time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrun::net {

// How long one wait for the network (connect, a whole reply, a piece of data, room to send) may
// last before the operation fails.
inline constexpr int default_timeout_ms = 30000;

// What one reply may hold: a line (its line end included) and the whole reply. Real replies stay
// far below both; a server past them is broken or hostile, and the connection is given up.
inline constexpr std::size_t reply_line_limit = 4096;
inline constexpr std::size_t reply_size_limit = 256 * 1024;

// Finds where the first reply of a text ends as RFC 959 frames it: a single line, or for a reply
// that opens with "ddd-" every line up to the one that starts with "ddd " (or is the bare code).
// Fed the text as it grows, it looks at each byte once.
class reply_framer {
 public:
  enum class state { incomplete, complete, too_long };

  // `text` starts at the reply and holds at least what earlier calls were given. With
  // state::complete, end() is the offset just past the reply.
  state feed(std::string_view text);
  std::size_t end() const { return line_start_; }

 private:
  std::size_t line_start_ = 0;  // where the line being looked at starts
  std::size_t scanned_ = 0;     // how far the search for its line end has come
  bool first_line_ = true;
  char code_[3] = {};  // of a multi-line reply
};

class socket {
 public:
  // Why the last failed send_all or recv_to_stream failed.
  enum class failure_cause {
    none,
    peer_ended,    // the peer closed or reset the connection (or another error of the connection)
    timed_out,     // the peer neither took nor sent anything within the time-out
    local_stream,  // the output stream stopped being good
    more_data,     // bytes came where the peer should have closed the connection
  };

  explicit socket(int wait_ms = default_timeout_ms) : timeout_ms(wait_ms) {}
  virtual ~socket() = default;  // closes the connection
  socket(const socket&) = delete;
  socket& operator=(const socket&) = delete;

  // Connects to `host` (a name or an IPv4 address) and `port`, IPv4 only. False when the socket
  // is already open or the connection is not made within the time-out.
  bool connect(const char* host, int port);

  // Sends all `length` bytes (a negative length: up to the terminating zero). False when a send
  // fails or stalls past the time-out; the connection is then closed, since the peer may have
  // received part of the data and the stream is out of step. last_failure() tells which.
  bool send_all(const char* data, int length);

  // One whole reply (see reply_framer), line ends included. Bytes after the reply are kept for
  // the next call. Empty when the connection closes or fails, when the reply is not complete
  // within the time-out (counted from the call, however the bytes trickle in), or when a line or
  // the reply passes its limit; the connection is then closed, as it is out of step. A complete
  // reply longer than `limit` is cut to it.
  std::string read_reply(std::uint64_t limit);

  // Drops the complete replies that arrived unasked (nothing is waited for), so that none of them
  // can pass for the answer to the next command. How many were dropped; a reply begun stays.
  int discard_waiting_replies();

  // Receives exactly `count` bytes into `out`. False when the connection closes or stalls first,
  // or `out` stops being good; last_failure() tells which.
  bool recv_to_stream(std::ostream& out, std::int64_t count);

  // Waits for the peer to close the connection, as a sender does after the last byte of a file,
  // for at most `wait_ms` (the time-out when negative). False when more bytes come
  // (failure_cause::more_data) or the wait fails first.
  bool await_end(int wait_ms = -1);

  // The IPv4 address the connection goes to; empty when closed.
  std::string peer_address() const { return handle.peer_address(); }

  failure_cause last_failure() const { return failure; }

  void close();
  bool is_open() const { return handle.is_open(); }

 private:
  platform::socket handle;
  int timeout_ms;
  std::string pending;  // received beyond the last reply, from `consumed` on
  std::size_t consumed = 0;
  failure_cause failure = failure_cause::none;
};

}  // namespace kestrun::net
