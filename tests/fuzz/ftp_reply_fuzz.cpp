// What an FTP server sends: reply framing however the bytes are split, reply codes, and the
// numbers of 227 and SIZE replies. The first byte of the input picks where it is split.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "drivers/ftp/client.h"
#include "drivers/ftp/socket.h"

namespace {

using kestrun::net::reply_framer;

void check(bool condition) {
  if (!condition) std::abort();
}

// The framer's verdict on `text`, fed in pieces of `step` bytes (all at once for 0).
reply_framer::state frame(std::string_view text, std::size_t step, std::size_t& end) {
  reply_framer framer;
  auto state = reply_framer::state::incomplete;
  std::size_t fed = step == 0 ? text.size() : 0;
  for (;;) {
    state = framer.feed(text.substr(0, fed));
    if (state != reply_framer::state::incomplete || fed == text.size()) break;
    fed = std::min(text.size(), fed + step);
  }
  end = framer.end();
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t step = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::size_t whole_end = 0;
  std::size_t split_end = 0;
  const auto whole = frame(text, 0, whole_end);
  const auto split = frame(text, step, split_end);
  // How the bytes arrive never changes where a reply ends.
  check(whole == split);
  if (whole == reply_framer::state::complete) {
    check(whole_end == split_end && whole_end <= text.size() && text[whole_end - 1] == '\n');
    check(whole_end <= kestrun::net::reply_size_limit);
  }

  using kestrun::net::ftp::client;
  // A code is read as a number is, sign and all; only the codes the client expects matter.
  const int code = client::reply_code(text);
  std::string host;
  int port = 0;
  if (client::read_passive(text, host, port)) {
    check(code == 227 && port >= 1 && port <= 65535 && host.size() >= 7 && host.size() <= 15);
  }
  const std::int64_t value = client::read_size(text);
  check(value >= -1 && (value == -1 || code == 213));
  return 0;
}
