// Loopback tests of platform::socket: connections, bounded waits that say why they ended, and a
// peer that goes away without killing the process.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/listener.h"

namespace kestrun::platform {
namespace {

constexpr int wait_ms = 5000;  // generous: only reached when a test is about to fail anyway

using test::listener;
using status = t_transfer::t_status;

// The count a send or recv moved, -1 when it moved nothing.
std::int64_t moved(const t_transfer& result) {
  return result.moved() ? static_cast<std::int64_t>(result.count) : -1;
}

// A connected pair over 127.0.0.1: the client end and the end the listener accepted.
struct t_pair {
  listener server;
  socket client;
  socket peer;
};

void connect_pair(t_pair& pair) {
  ASSERT_TRUE(pair.client.connect("127.0.0.1", pair.server.port(), wait_ms));
  pair.peer = pair.server.accept(wait_ms);
  ASSERT_TRUE(pair.peer.is_open());
}

std::string receive(socket& from, std::size_t length) {
  std::string text;
  char buffer[256];
  while (text.size() < length) {
    const t_transfer got = from.recv(buffer, sizeof buffer, wait_ms);
    if (!got.moved()) break;
    text.append(buffer, got.count);
  }
  return text;
}

TEST(SocketTest, CarriesBytesBothWays) {
  t_pair pair;
  connect_pair(pair);
  ASSERT_EQ(moved(pair.client.send("hello", 5, wait_ms)), 5);
  EXPECT_EQ(receive(pair.peer, 5), "hello");
  ASSERT_EQ(moved(pair.peer.send("world!", 6, wait_ms)), 6);
  EXPECT_EQ(receive(pair.client, 6), "world!");

  // A moved socket carries the connection; the one it left is closed.
  socket taken(std::move(pair.client));
  EXPECT_FALSE(pair.client.is_open());
  ASSERT_EQ(moved(taken.send("x", 1, wait_ms)), 1);
  EXPECT_EQ(receive(pair.peer, 1), "x");
}

TEST(SocketTest, ResolvesHostNames) {
  listener server;
  socket client;
  EXPECT_TRUE(client.connect("localhost", server.port(), wait_ms));
  // The address actually connected to, whatever name was given.
  EXPECT_EQ(client.peer_address(), "127.0.0.1");
}

TEST(SocketTest, ConnectFailsCleanly) {
  int free_port = 0;
  {
    listener gone;
    free_port = gone.port();  // nothing listens there once it is closed
  }
  struct row {
    const char* host;
    int port;
  };
  const row rows[] = {{"127.0.0.1", free_port}, {"", 21},         {nullptr, 21}, {"127.0.0.1", 0},
                      {"127.0.0.1", 70000},     {"127.0.0.1", -1}};
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.host ? r.host : "(null)") + ":" + std::to_string(r.port));
    socket client;
    EXPECT_FALSE(client.connect(r.host, r.port, wait_ms));
    EXPECT_FALSE(client.is_open());
  }
}

TEST(SocketTest, ConnectRefusesAnOpenSocket) {
  t_pair pair;
  connect_pair(pair);
  EXPECT_FALSE(pair.client.connect("127.0.0.1", pair.server.port(), wait_ms));
  EXPECT_TRUE(pair.client.is_open());
}

TEST(SocketTest, WaitsEndAfterTheTimeout) {
  t_pair pair;
  connect_pair(pair);
  char buffer[16];
  EXPECT_EQ(pair.client.recv(buffer, sizeof buffer, 20).status, status::timed_out);  // silence
  listener idle;
  EXPECT_FALSE(idle.accept(20).is_open());  // nobody connects

  pair.peer.close();
  EXPECT_EQ(pair.client.recv(buffer, sizeof buffer, wait_ms).status, status::closed);
}

TEST(SocketTest, ClosedSocketRefusesTraffic) {
  socket closed;
  char buffer[4];
  EXPECT_EQ(closed.send("a", 1, wait_ms).status, status::failed);
  EXPECT_EQ(closed.recv(buffer, sizeof buffer, wait_ms).status, status::failed);
  EXPECT_EQ(closed.peer_address(), "");
}

// Runs in a child process: a SIGPIPE death there shows as a signal instead of a clean exit.
TEST(SocketDeathTest, SendToAVanishedPeerFailsWithoutSigpipe) {
  EXPECT_EXIT(
      {
        t_pair pair;
        connect_pair(pair);
        pair.peer.close();
        const std::vector<char> block(65536, 'x');
        t_transfer sent;
        for (int i = 0; i < 1000; ++i) {
          sent = pair.client.send(block.data(), block.size(), wait_ms);
          if (!sent.moved()) break;
        }
        // A failure of the connection, not a wait that ran out.
        std::exit(sent.status == status::failed ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kestrun::platform
