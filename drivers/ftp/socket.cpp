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

// Offset just past the first whole reply in `text`, or npos while it is incomplete.
std::size_t reply_end(const std::string& text) {
  std::size_t line_end = text.find('\n');
  if (line_end == std::string::npos) return std::string::npos;
  const bool multi_line = text.size() >= 4 && is_digit(text[0]) && is_digit(text[1]) &&
                          is_digit(text[2]) && text[3] == '-';
  if (!multi_line) return line_end + 1;
  const std::string_view code(text.data(), 3);
  for (;;) {
    const std::size_t start = line_end + 1;
    line_end = text.find('\n', start);
    if (line_end == std::string::npos) return std::string::npos;
    std::string_view line(text.data() + start, line_end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // The closing line repeats the code followed by a blank; a bare code is taken as one too.
    if (line.substr(0, 3) == code && (line.size() == 3 || line[3] == ' ')) return line_end + 1;
  }
}

}  // namespace

bool socket::connect(const char* host, int port) {
  if (handle.is_open()) return false;
  pending.clear();
  failure = failure_cause::none;
  return handle.connect(host, port, timeout_ms);
}

bool socket::send_all(const char* data, int length) {
  if (data == nullptr) return false;
  const std::size_t total = length < 0 ? std::strlen(data) : static_cast<std::size_t>(length);
  for (std::size_t done = 0; done < total;) {
    const auto start = std::chrono::steady_clock::now();
    const std::int64_t sent = handle.send(data + done, total - done, timeout_ms);
    if (sent <= 0) {
      failure = cause_since(start);
      close();
      return false;
    }
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

std::string socket::read_reply(std::uint64_t limit) {
  std::vector<char> buffer(piece_size);
  for (;;) {
    const std::size_t end = reply_end(pending);
    if (end != std::string::npos) {
      std::string reply = pending.substr(0, end);
      pending.erase(0, end);
      if (reply.size() > limit) reply.resize(static_cast<std::size_t>(limit));
      return reply;
    }
    if (pending.size() > limit || !handle.is_open()) break;
    const std::int64_t received = handle.recv(buffer.data(), buffer.size(), timeout_ms);
    if (received <= 0) break;
    pending.append(buffer.data(), static_cast<std::size_t>(received));
  }
  close();
  return {};
}

bool socket::recv_to_stream(std::ostream& out, std::int64_t count) {
  // Bytes that arrived together with the last reply come first.
  const std::size_t early = static_cast<std::size_t>(
      std::min<std::int64_t>(std::max<std::int64_t>(count, 0), pending.size()));
  if (early > 0) {
    out.write(pending.data(), static_cast<std::streamsize>(early));
    pending.erase(0, early);
    count -= static_cast<std::int64_t>(early);
    if (!out.good()) {
      failure = failure_cause::local_stream;
      return false;
    }
  }
  std::vector<char> buffer(piece_size);
  while (count > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count, piece_size));
    const auto start = std::chrono::steady_clock::now();
    const std::int64_t received = handle.recv(buffer.data(), want, timeout_ms);
    if (received <= 0) {
      failure = received == 0 ? failure_cause::peer_ended : cause_since(start);
      return false;
    }
    out.write(buffer.data(), static_cast<std::streamsize>(received));
    if (!out.good()) {
      failure = failure_cause::local_stream;
      return false;
    }
    count -= received;
  }
  return true;
}

socket::failure_cause socket::cause_since(std::chrono::steady_clock::time_point start) const {
  // The platform call returns at its deadline when nothing moved, and at once on an error.
  const auto waited = std::chrono::steady_clock::now() - start;
  return waited >= std::chrono::milliseconds(timeout_ms) ? failure_cause::timed_out
                                                         : failure_cause::peer_ended;
}

void socket::close() {
  handle.close();
  pending.clear();
}

}  // namespace kestrun::net
