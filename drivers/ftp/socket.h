// One TCP connection of the FTP client (control or data) with FTP's reply framing on top of the
// platform socket. Every wait gives up after the socket's time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "platform/platform.h"

namespace kestrun::net {

// How long one wait for the network (connect, a reply, a piece of data, room to send) may last
// before the operation fails.
inline constexpr int default_timeout_ms = 30000;

class socket {
 public:
  // Why the last failed send_all or recv_to_stream failed.
  enum class failure_cause {
    none,
    peer_ended,    // the peer closed or reset the connection (or another error of the connection)
    timed_out,     // the peer neither took nor sent anything within the time-out
    local_stream,  // the output stream stopped being good
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

  // One whole reply as RFC 959 frames it, line ends included: a single line, or for a reply that
  // opens with "ddd-" every line up to the one that starts with "ddd ". Bytes after the reply are
  // kept for the next call. Empty when the connection closes, fails or stays silent past the
  // time-out before the reply is complete (the connection is then closed, as it is out of step),
  // or when more than `limit` bytes arrive without completing one; a complete reply longer than
  // `limit` is cut to it.
  std::string read_reply(std::uint64_t limit);

  // Receives exactly `count` bytes into `out`. False when the connection closes or stalls first,
  // or `out` stops being good; last_failure() tells which.
  bool recv_to_stream(std::ostream& out, std::int64_t count);

  failure_cause last_failure() const { return failure; }

  void close();
  bool is_open() const { return handle.is_open(); }

 private:
  // The cause of a failed wait of `handle`, which reports a closed peer and a wait that ran out
  // alike: only the latter takes the whole time-out.
  failure_cause cause_since(std::chrono::steady_clock::time_point start) const;

  platform::socket handle;
  int timeout_ms;
  std::string pending;  // received beyond the last reply
  failure_cause failure = failure_cause::none;
};

}  // namespace kestrun::net
