// FTP reply framing and whole-buffer transfers over one platform socket.
#include "drivers/ftp/socket.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <vector>

namespace kestrun::net {
namespace {

constexpr std::size_t piece_size = 65536;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

using steady = std::chrono::steady_clock;

// Why a send or recv of the connection moved nothing.
socket::failure_cause cause_of(const platform::t_transfer& result) {
  return result.status == platform::t_transfer::t_status::timed_out
             ? socket::failure_cause::timed_out
             : socket::failure_cause::peer_ended;
}

int left_until(steady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

reply_framer::state reply_framer::feed(std::string_view text) {
  for (;;) {
    const std::size_t line_end = text.find('\n', scanned_);
    if (line_end == std::string_view::npos) {
      scanned_ = text.size();
      return text.size() - line_start_ > reply_line_limit || text.size() > reply_size_limit
                 ? state::too_long
                 : state::incomplete;
    }
    if (line_end + 1 - line_start_ > reply_line_limit || line_end + 1 > reply_size_limit) {
      return state::too_long;
    }
    std::string_view line = text.substr(line_start_, line_end - line_start_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    scanned_ = line_end + 1;
    line_start_ = line_end + 1;
    if (first_line_) {
      first_line_ = false;
      const bool multi_line = line.size() >= 4 && is_digit(line[0]) && is_digit(line[1]) &&
                              is_digit(line[2]) && line[3] == '-';
      if (!multi_line) return state::complete;
      std::copy_n(line.data(), 3, code_);
      continue;
    }
    // The closing line repeats the code followed by a blank; a bare code is taken as one too.
    if (line.substr(0, 3) == std::string_view(code_, 3) && (line.size() == 3 || line[3] == ' ')) {
      return state::complete;
    }
  }
}

bool socket::connect(const char* host, int port) {
  if (handle.is_open()) return false;
  pending.clear();
  consumed = 0;
  failure = failure_cause::none;
  return handle.connect(host, port, timeout_ms);
}

bool socket::send_all(const char* data, int length) {
  if (data == nullptr) return false;
  const std::size_t total = length < 0 ? std::strlen(data) : static_cast<std::size_t>(length);
  for (std::size_t done = 0; done < total;) {
    const platform::t_transfer sent = handle.send(data + done, total - done, timeout_ms);
    if (!sent.moved() || sent.count == 0) {
      failure = cause_of(sent);
      close();
      return false;
    }
    done += sent.count;
  }
  return true;
}

std::string socket::read_reply(std::uint64_t limit) {
  const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  reply_framer framer;
  std::vector<char> buffer(piece_size);
  for (;;) {
    const auto state = framer.feed(std::string_view(pending).substr(consumed));
    if (state == reply_framer::state::complete) {
      std::string reply = pending.substr(consumed, std::min<std::uint64_t>(framer.end(), limit));
      consumed += framer.end();
      // Dropping the replies read is paid for by the bytes they held.
      if (consumed * 2 >= pending.size()) {
        pending.erase(0, consumed);
        consumed = 0;
      }
      return reply;
    }
    if (state == reply_framer::state::too_long || !handle.is_open()) break;
    const int left = left_until(deadline);
    if (left == 0) break;
    const platform::t_transfer received = handle.recv(buffer.data(), buffer.size(), left);
    if (!received.moved()) break;
    pending.append(buffer.data(), received.count);
  }
  close();
  return {};
}

int socket::discard_waiting_replies() {
  std::vector<char> buffer(piece_size);
  // Only what has arrived already, and no more than one reply may hold: a server that floods the
  // connection cannot keep the client here.
  for (std::size_t taken = 0; taken <= reply_size_limit && handle.is_open();) {
    const platform::t_transfer received = handle.recv(buffer.data(), buffer.size(), 0);
    if (!received.moved()) break;  // nothing waiting; a close shows in the next read
    pending.append(buffer.data(), received.count);
    taken += received.count;
  }
  int dropped = 0;
  for (;;) {
    reply_framer framer;
    if (framer.feed(std::string_view(pending).substr(consumed)) != reply_framer::state::complete) {
      break;
    }
    consumed += framer.end();
    ++dropped;
  }
  pending.erase(0, consumed);
  consumed = 0;
  return dropped;
}

bool socket::recv_to_stream(std::ostream& out, std::int64_t count) {
  // Bytes that arrived together with the last reply come first.
  const std::size_t early = static_cast<std::size_t>(
      std::min<std::int64_t>(std::max<std::int64_t>(count, 0), pending.size() - consumed));
  if (early > 0) {
    out.write(pending.data() + consumed, static_cast<std::streamsize>(early));
    consumed += early;
    count -= static_cast<std::int64_t>(early);
    if (!out.good()) {
      failure = failure_cause::local_stream;
      return false;
    }
  }
  std::vector<char> buffer(piece_size);
  while (count > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count, piece_size));
    const platform::t_transfer received = handle.recv(buffer.data(), want, timeout_ms);
    if (!received.moved()) {
      failure = cause_of(received);
      return false;
    }
    out.write(buffer.data(), static_cast<std::streamsize>(received.count));
    if (!out.good()) {
      failure = failure_cause::local_stream;
      return false;
    }
    count -= static_cast<std::int64_t>(received.count);
  }
  return true;
}

bool socket::await_end(int wait_ms) {
  if (consumed < pending.size()) {
    failure = failure_cause::more_data;
    return false;
  }
  char byte = 0;
  const platform::t_transfer received = handle.recv(&byte, 1, wait_ms < 0 ? timeout_ms : wait_ms);
  if (received.status == platform::t_transfer::t_status::closed) return true;
  failure = received.moved() ? failure_cause::more_data : cause_of(received);
  return false;
}

void socket::close() {
  handle.close();
  pending.clear();
  consumed = 0;
}

}  // namespace kestrun::net
