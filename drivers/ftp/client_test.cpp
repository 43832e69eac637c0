// The FTP client against the scripted servers of tests/support/fake_ftp_server.h: reply framing,
// refusals, passive replies, short and cut-off transfers, uploads renamed into place, silent and
// vanishing servers.
#include "drivers/ftp/client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/notify/event.h"
#include "common/text.h"
#include "platform/platform.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_ftp_server.h"

namespace kestrun::net::ftp {
namespace {

using test::fake_ftp_server;
using test::plain_answers;
using test::receive_all;
using test::same_bytes;
using test::send_text;
using test::starts_with;

constexpr int server_wait_ms = test::fake_ftp_server_wait_ms;
constexpr int client_wait_ms = 5000;
constexpr int short_wait_ms = 100;  // for servers that are meant to stay silent

// Gives the other side a moment, so that what follows arrives as a separate piece.
void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

const char* const greeting = "220 fake server ready\r\n";

// A client connected to `server` that has read the greeting.
void open_session(client& c, fake_ftp_server& server) {
  ASSERT_TRUE(c.control().connect("127.0.0.1", server.port()));
  ASSERT_EQ(client::reply_code(c.control().read_reply(4294967295u)), 220);
}

TEST(FtpReplyTest, ReadsWholeRepliesHoweverTheyArrive) {
  struct row {
    const char* name;
    std::vector<std::string> pieces;  // sent one after another, then the server closes
    std::vector<std::string> replies;
  };
  const row rows[] = {
      {"multi-line greeting followed by another reply",
       {"220-Welcome\r\n", "220-second line\r\n220 ready\r\n331 User ok\r\n"},
       {"220-Welcome\r\n220-second line\r\n220 ready\r\n", "331 User ok\r\n"}},
      {"one line in three pieces", {"22", "0 split", " line\r\n"}, {"220 split line\r\n"}},
      {"inner lines that look like codes",
       {"211-Features:\r\n SIZE\r\n211-PASV\r\n 211 not the end\r\n211 End\r\n"},
       {"211-Features:\r\n SIZE\r\n211-PASV\r\n 211 not the end\r\n211 End\r\n"}},
      {"bare line feeds",
       {"200 one\n", "230-two\n230 three\n"},
       {"200 one\n", "230-two\n230 three\n"}},
      {"a reply cut off by the close", {"226 Transfer comp"}, {""}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::listener listener;
    std::thread server([&] {
      platform::socket peer = listener.accept(server_wait_ms);
      for (const auto& piece : r.pieces) {
        send_text(peer, piece);
        pause();
      }
    });
    net::socket control(client_wait_ms);
    ASSERT_TRUE(control.connect("127.0.0.1", listener.port()));
    for (const auto& want : r.replies) EXPECT_EQ(control.read_reply(4294967295u), want);
    EXPECT_EQ(control.read_reply(4294967295u), "");  // then the close: no reply
    EXPECT_FALSE(control.is_open());
    server.join();
  }
}

// A server that sends what `next` gives, piece after piece, until the client hangs up or a piece
// is empty.
void serve_until_closed(test::listener& listener, std::function<std::string(int)> next) {
  platform::socket peer = listener.accept(server_wait_ms);
  for (int i = 0;; ++i) {
    const std::string piece = next(i);
    if (piece.empty()) {
      receive_all(peer);
      return;
    }
    for (std::size_t done = 0; done < piece.size();) {
      const auto sent = peer.send(piece.data() + done, piece.size() - done, server_wait_ms);
      if (!sent.moved()) return;
      done += sent.count;
    }
    if (piece.size() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

TEST(FtpReplyTest, RepliesHaveLimitsAndADeadline) {
  const std::string long_line = "220 " + std::string(reply_line_limit - 6, 'x') + "\r\n";
  std::string many_lines = "220-start\r\n";
  while (many_lines.size() < reply_size_limit - 1000)
    many_lines += "220-" + std::string(60, 'm') + "\r\n";
  const std::string trickled = "220 slow but steady greeting\r\n";
  struct row {
    const char* name;
    std::function<std::string(int)> next;  // the server's pieces; one byte is followed by a pause
    bool whole;                            // the first piece comes back as the reply
  };
  const row rows[] = {
      {"a line at the limit", [&](int i) { return i == 0 ? long_line : std::string(); }, true},
      {"a line past the limit", [&](int i) { return i == 0 ? "220 y" + long_line : std::string(); },
       false},
      {"a reply near its limit", [&](int i) { return i == 0 ? many_lines + "220 end\r\n" : ""; },
       true},
      {"a reply past its limit",
       [&](int i) { return i == 0 ? many_lines + many_lines + "220 end\r\n" : ""; }, false},
      {"a greeting that never ends",
       [](int i) { return i == 0 ? std::string("220-Welcome\r\n") : "220-more\r\n"; }, false},
      {"a line that never ends",
       [](int i) { return i == 0 ? std::string("220 ") : std::string(4096, 'z'); }, false},
      // Each byte comes well within the time-out; the whole reply does not.
      {"a trickled greeting",
       [&](int i) {
         return i < static_cast<int>(trickled.size()) ? trickled.substr(i, 1)
                                                      : std::string(1, '\n');
       },
       false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::listener listener;
    std::thread server([&] { serve_until_closed(listener, r.next); });
    net::socket control(r.whole ? client_wait_ms : 200);
    ASSERT_TRUE(control.connect("127.0.0.1", listener.port()));
    const std::string reply = control.read_reply(4294967295u);
    if (r.whole) {
      EXPECT_TRUE(same_bytes(reply, r.next(0)));
      EXPECT_TRUE(control.is_open());
    } else {
      EXPECT_EQ(reply.size(), 0u);
      EXPECT_FALSE(control.is_open());
    }
    control.close();
    server.join();
  }
}

// A failed wait says why it failed, however long it was asked to last: a silent peer is a
// time-out even for a wait much shorter than the socket's own, and a peer that left is no
// time-out however late it leaves.
TEST(FtpReplyTest, FailuresSayWhy) {
  test::listener listener;
  net::socket data(client_wait_ms);
  ASSERT_TRUE(data.connect("127.0.0.1", listener.port()));
  platform::socket peer = listener.accept(server_wait_ms);
  ASSERT_TRUE(peer.is_open());

  EXPECT_FALSE(data.await_end(20));  // the peer says nothing and stays
  EXPECT_EQ(data.last_failure(), net::socket::failure_cause::timed_out);

  std::thread leaves([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    peer.close();
  });
  std::ostringstream out;
  EXPECT_FALSE(data.recv_to_stream(out, 10));
  EXPECT_EQ(data.last_failure(), net::socket::failure_cause::peer_ended);
  leaves.join();
}

TEST(FtpReplyTest, ReplyCodes) {
  struct row {
    const char* reply;
    int code;
  };
  const row rows[] = {{"220 ready\r\n", 220}, {"220-Welcome\r\n220 x\r\n", 220},
                      {"550\r\n", 550},       {"", -1},
                      {"hello there\r\n", 0}, {"99999999999 big\r\n", 0}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.reply);
    EXPECT_EQ(client::reply_code(r.reply), r.code);
  }
}

TEST(FtpClientTest, LogsInOnlyWithTheExpectedReplies) {
  struct row {
    const char* name;
    const char* user;
    const char* password;
    const char* user_reply;  // may arrive in two pieces, split at '|'
    bool ok;
    std::vector<std::string> heard;
  };
  const row rows[] = {
      {"accepted",
       "kvcs",
       "secret_1",
       "331 Password please\r\n",
       true,
       {"USER kvcs", "PASS secret_1"}},
      {"331 in two pieces",
       "kvcs",
       "secret_1",
       "33|1 Password please\r\n",
       true,
       {"USER kvcs", "PASS secret_1"}},
      {"user refused", "kvcs", "secret_1", "530 Not you\r\n", false, {"USER kvcs"}},
      {"230 without a password is no login",
       "kvcs",
       "secret_1",
       "230 Welcome\r\n",
       false,
       {"USER kvcs"}},
      {"password refused",
       "kvcs",
       "wrong",
       "331 Password please\r\n",
       false,
       {"USER kvcs", "PASS wrong"}},
      {"empty password", "kvcs", "", "331 Password please\r\n", false, {"USER kvcs"}},
      {"no user: nothing sent", "", "secret_1", "", true, {}},
      {"null user", nullptr, nullptr, "", true, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string user_reply = r.user_reply;
    fake_ftp_server server(
        // A multi-line greeting must not put the replies that follow out of step.
        "220-Welcome\r\n220 ready\r\n",
        [&](const std::string& command, fake_ftp_server& self) -> std::string {
          if (starts_with(command, "USER ")) {
            const auto split = user_reply.find('|');
            if (split == std::string::npos) return user_reply;
            self.say(user_reply.substr(0, split));
            pause();
            return user_reply.substr(split + 1);
          }
          return command == "PASS secret_1" ? "230 Logged in\r\n" : "530 Login incorrect\r\n";
        });
    {
      client c(client_wait_ms);
      open_session(c, server);
      EXPECT_EQ(c.login(r.user, r.password), r.ok);
    }
    EXPECT_EQ(server.heard(), r.heard);
  }
}

TEST(FtpClientTest, PasswordNeverReachesAnEvent) {
  // Subscriptions last as long as the process, so what they fill must too.
  static std::mutex guard;
  static std::vector<std::string> texts;
  notify::on();
  notify::subscribe("kestrun::net::ftp::client::.*", [](const notify::event* e) {
    std::lock_guard<std::mutex> lock(guard);
    texts.push_back(notify::event_text(*e));
    return true;
  });
  fake_ftp_server server(greeting, [](const std::string& command, fake_ftp_server&) -> std::string {
    return starts_with(command, "USER ") ? "331 Password please\r\n" : "230 Logged in\r\n";
  });
  {
    client c(client_wait_ms);
    open_session(c, server);
    EXPECT_TRUE(c.login("kvcs", "pa55_word_9"));
  }
  server.heard();
  std::lock_guard<std::mutex> lock(guard);
  EXPECT_FALSE(texts.empty());
  for (const auto& text : texts) EXPECT_EQ(text.find("pa55_word_9"), std::string::npos) << text;
}

TEST(FtpClientTest, ReadsPassiveReplies) {
  struct row {
    const char* reply;
    bool ok;
    const char* host;
    int port;
  };
  const row rows[] = {
      {"227 Entering Passive Mode (10,0,0,5,4,1)\r\n", true, "10.0.0.5", 1025},
      {"227 Entering Passive Mode (127,0,0,1,0,21).\r\n", true, "127.0.0.1", 21},
      // The numbers need not stand in parentheses, and other numbers may come first.
      {"227 Entering Passive Mode 10,0,0,5,4,1\r\n", true, "10.0.0.5", 1025},
      {"227 =10,0,0,5,4,1\r\n", true, "10.0.0.5", 1025},
      {"227 Mode 2 of 3: 10,0,0,5,4,1\r\n", true, "10.0.0.5", 1025},
      {"227-Passive\r\n227 (10,0,0,5,4,1)\r\n", true, "10.0.0.5", 1025},
      {"227 Entering Passive Mode (10,0,0,5)\r\n", false, "", 0},
      {"227 Entering Passive Mode\r\n", false, "", 0},
      {"227 Entering Passive Mode (10,0,0,256,4,1)\r\n", false, "", 0},
      {"227 Entering Passive Mode (10,0,0,0005,4,1)\r\n", false, "", 0},
      {"227 Entering Passive Mode (10,0,0,5,0,0)\r\n", false, "", 0},
      {"227 Entering Passive Mode (a,b,c,d,e,f)\r\n", false, "", 0},
      {"227 Entering Passive Mode (10, 0, 0, 5, 4, 1)\r\n", false, "", 0},
      {"425 Cannot open passive connection (10,0,0,5,4,1)\r\n", false, "", 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.reply);
    std::string host;
    int port = 0;
    EXPECT_EQ(client::read_passive(r.reply, host, port), r.ok);
    if (r.ok) {
      EXPECT_EQ(host, r.host);
      EXPECT_EQ(port, r.port);
    }
  }
}

TEST(FtpClientTest, ReadsSizesAndTellsAbsentFromUnknown) {
  using presence = client::presence;
  struct row {
    const char* reply;  // to SIZE; null: none at all
    std::int64_t size;
    presence is;
    const char* type_reply = "200 Type set to I\r\n";
  };
  const row rows[] = {
      {"213 1024\r\n", 1024, presence::present},
      {"213 0\r\n", 0, presence::present},
      {"213 5000000000\r\n", 5000000000, presence::present},
      {"550 No such file\r\n", -1, presence::absent},
      // Only 550 says that there is no such file: the storage could not be asked otherwise.
      {"213 many\r\n", -1, presence::unknown},
      {"213 -5\r\n", -1, presence::unknown},
      {"421 Timeout\r\n", -1, presence::unknown},
      {"450 Busy\r\n", -1, presence::unknown},
      {"502 SIZE not implemented\r\n", -1, presence::unknown},
      {"garbled\r\n", -1, presence::unknown},
      {nullptr, -1, presence::unknown},  // a time-out
      // In ASCII type a server answers SIZE with 550 whatever the file.
      {"550 Not in ASCII mode\r\n", -1, presence::unknown, "504 No\r\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.reply ? r.reply : "(none)");
    const row here = r;
    fake_ftp_server server(greeting,
                           plain_answers([here](const std::string& command, fake_ftp_server&) {
                             if (command == "TYPE I") return std::string(here.type_reply);
                             if (!starts_with(command, "SIZE ")) return std::string();
                             return here.reply ? std::string(here.reply) : test::stay_silent;
                           }));
    {
      client c(r.reply ? client_wait_ms : short_wait_ms);
      open_session(c, server);
      EXPECT_EQ(c.probe(L"/files/a"), r.is);
      if (r.reply) {
        EXPECT_EQ(c.size(L"/files/a"), r.size);
      }
    }
    // The type stays once it is set; a refused TYPE I leaves the SIZE of probe() unsent.
    std::vector<std::string> want = {"TYPE I", "SIZE /files/a", "SIZE /files/a"};
    if (!r.reply) want = {"TYPE I", "SIZE /files/a"};
    if (r.type_reply[0] != '2') want = {"TYPE I", "TYPE I", "SIZE /files/a"};
    EXPECT_EQ(server.heard(), want);
  }
}

// How a server that ended the data connection before the transfer was complete goes on: its
// final reply (none: pyftpdlib's when closing the file it could not write fails), and its answer
// to the NOOP that follows.
struct t_abort {
  const char* name;
  const char* final_reply;  // null: none
  const char* noop_reply;
  bool in_step;  // the control connection stays open, for the client knows which reply is whose
  bool spoiled;
};

const t_abort aborts[] = {
    {"a final reply", "426 Connection closed; transfer aborted\r\n", "200 ok\r\n", true, false},
    {"no final reply", nullptr, "200 ok\r\n", true, true},
    {"a final reply and a NOOP without 200", "426 Connection closed\r\n", "500 Unknown\r\n", false,
     true},
};

// A server that holds `content` under /f and serves it the way `retr` says.
fake_ftp_server::answer_fn file_server(
    const std::string& size_reply, std::function<std::string(fake_ftp_server&)> retr,
    const std::string& noop_reply = "200 ok\r\n",
    std::function<std::string(fake_ftp_server&)> pasv = nullptr) {
  return plain_answers([=](const std::string& command, fake_ftp_server& self) -> std::string {
    if (command == "PASV" && pasv) return pasv(self);
    if (starts_with(command, "SIZE ")) return size_reply;
    if (starts_with(command, "RETR ")) return retr(self);
    if (command == "NOOP") return noop_reply;
    return {};
  });
}

TEST(FtpClientTest, DownloadsExactlyTheAnnouncedSize) {
  std::string content(200000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  fake_ftp_server server(greeting, file_server("213 200000\r\n", [&](fake_ftp_server& self) {
                           self.say("150 Opening BINARY mode data connection\r\n");
                           platform::socket data = self.accept_data();
                           send_text(data, content);
                           data.close();
                           return std::string("226 Transfer complete\r\n");
                         }));
  {
    client c(client_wait_ms);
    open_session(c, server);
    std::ostringstream out;
    EXPECT_TRUE(c.download(L"/f", out));
    EXPECT_TRUE(same_bytes(out.str(), content));
    EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");  // the control connection is in step
  }
  EXPECT_EQ(server.heard(),
            (std::vector<std::string>{"TYPE I", "SIZE /f", "PASV", "RETR /f", "NOOP"}));
}

TEST(FtpClientTest, DownloadTakesOnlyAWholeFileOfTheAnnouncedSize) {
  const std::string content = "0123456789";
  struct row {
    const char* name;
    const char* size_reply;
    bool close_after;  // the server closes the data connection after the bytes
    const char* final_reply;
    bool ok;
    std::size_t sent = 10;  // of the file's bytes
  };
  const row rows[] = {
      {"the size, the close, 226", "213 10\r\n", true, "226 Transfer complete\r\n", true},
      {"250 for the final reply", "213 10\r\n", true, "250 Done\r\n", true},
      // A size that under-reports: what is read first would pass for the whole file.
      {"more bytes than the size", "213 6\r\n", true, "226 Transfer complete\r\n", false},
      {"no close after the bytes", "213 10\r\n", false, "226 Transfer complete\r\n", false},
      {"a failure for the final reply", "213 10\r\n", true, "451 Read error\r\n", false},
      {"a preliminary reply for the final one", "213 10\r\n", true, "150 Again\r\n", false},
      {"a transfer that stalls", "213 10\r\n", false, "426 Aborted\r\n", false, 5},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fake_ftp_server server(greeting, file_server(r.size_reply, [&](fake_ftp_server& self) {
                             self.say("150 Opening BINARY mode data connection\r\n");
                             platform::socket data = self.accept_data();
                             send_text(data, content.substr(0, r.sent));
                             // Held open until the client gives up on it.
                             if (!r.close_after) receive_all(data);
                             return std::string(r.final_reply);
                           }));
    client c(r.close_after ? client_wait_ms : short_wait_ms * 3);
    open_session(c, server);
    std::ostringstream out;
    EXPECT_EQ(c.download(L"/f", out), r.ok);
    if (r.ok) {
      EXPECT_EQ(out.str(), content);
    }
    if (client::reply_code(r.final_reply) != 150) {
      EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");  // the control connection is in step
    }
  }
}

TEST(FtpClientTest, DataGoesOnlyToTheServerOfTheControlConnection) {
  // The reply names a host that is not the server; only its port is taken.
  const std::string content(100000, 'd');
  fake_ftp_server server(greeting, file_server(
                                       "213 100000\r\n",
                                       [&](fake_ftp_server& self) {
                                         self.say("150 Opening BINARY mode data connection\r\n");
                                         platform::socket data = self.accept_data();
                                         send_text(data, content);
                                         data.close();
                                         return std::string("226 Transfer complete\r\n");
                                       },
                                       "200 ok\r\n",
                                       [](fake_ftp_server& self) {
                                         std::string reply = self.passive_reply();
                                         reply.replace(reply.find("127,0,0,1"), 9, "10,255,255,1");
                                         return reply;
                                       }));
  client c(client_wait_ms);
  open_session(c, server);
  std::ostringstream out;
  EXPECT_TRUE(c.download(L"/f", out));
  EXPECT_TRUE(same_bytes(out.str(), content));
}

TEST(FtpClientTest, DownloadFailsWithoutASizeBeforeAnyDataConnection) {
  for (const char* size_reply : {"550 No such file\r\n", "213 0\r\n"}) {
    SCOPED_TRACE(size_reply);
    fake_ftp_server server(greeting, file_server(size_reply, [](fake_ftp_server&) {
                             return std::string("550 never asked\r\n");
                           }));
    {
      client c(client_wait_ms);
      open_session(c, server);
      std::ostringstream out;
      EXPECT_FALSE(c.download(L"/f", out));
      EXPECT_TRUE(out.str().empty());
    }
    EXPECT_EQ(server.heard(), (std::vector<std::string>{"TYPE I", "SIZE /f"}));
  }
}

TEST(FtpClientTest, DownloadFailsWhenTheDataConnectionClosesEarly) {
  for (const auto& a : aborts) {
    SCOPED_TRACE(a.name);
    fake_ftp_server server(greeting, file_server(
                                         "213 1000\r\n",
                                         [&](fake_ftp_server& self) {
                                           self.say("150 Opening BINARY mode data connection\r\n");
                                           platform::socket data = self.accept_data();
                                           send_text(data, "only ten b");
                                           data.close();
                                           return a.final_reply ? std::string(a.final_reply)
                                                                : test::stay_silent;
                                         },
                                         a.noop_reply));
    {
      client c(client_wait_ms);
      open_session(c, server);
      std::ostringstream out;
      EXPECT_FALSE(c.download(L"/f", out));
      EXPECT_EQ(c.control().is_open(), a.in_step);
      EXPECT_EQ(c.spoiled(), a.spoiled);
      if (a.in_step) {  // the final reply was read, not left for this NOOP
        EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
      }
    }
    std::vector<std::string> want = {"TYPE I", "SIZE /f", "PASV", "RETR /f", "NOOP"};
    if (a.in_step) want.push_back("NOOP");
    EXPECT_EQ(server.heard(), want);
  }
}

TEST(FtpClientTest, DownloadFailsOnARefusedRetr) {
  fake_ftp_server server(greeting, file_server("213 10\r\n", [](fake_ftp_server&) {
                           return std::string("550 Permission denied\r\n");
                         }));
  client c(client_wait_ms);
  open_session(c, server);
  std::ostringstream out;
  EXPECT_FALSE(c.download(L"/f", out));
  EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
}

// The files of a store server: what each name holds, and the name an RNFR picked for the RNTO.
// Some servers will not rename onto an existing name.
struct t_disk {
  std::map<std::string, std::string> files;
  std::set<std::string> folders = {"/"};
  bool rename_replaces = true;
  bool overwrites = true;  // false: STOR onto a stored file is refused (a write-once server)
  std::string renaming;
  // Failed CWDs in a row are answered ever later, by this much more each, as pure-ftpd does.
  int failed_cwd_delay_ms = 0;
  int failed_cwds = 0;
};

// The folder of a '/'-separated path: "/" for "/f".
std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// STOR as a server does it: the file exists (empty) from the 150 on and receives what the data
// connection brings.
void store_file(const std::string& command, fake_ftp_server& self, t_disk& disk) {
  self.say("150 Ok to send data\r\n");
  std::string& file = disk.files[command.substr(5)];
  file.clear();
  platform::socket data = self.accept_data();
  file = receive_all(data);
}

// A server that keeps files in `disk` (STOR, RNFR and RNTO, DELE, SIZE) and folders (CWD, MKD).
// `refuse` is asked first: a reply it gives stands for the server's own.
fake_ftp_server::answer_fn store_server(std::shared_ptr<t_disk> disk,
                                        const std::vector<std::string>& folders,
                                        fake_ftp_server::answer_fn refuse = nullptr) {
  disk->folders.insert(folders.begin(), folders.end());
  return plain_answers([=](const std::string& command, fake_ftp_server& self) -> std::string {
    if (refuse) {
      std::string reply = refuse(command, self);
      if (!reply.empty()) return reply;
    }
    const std::string name = command.substr(command.find(' ') + 1);
    if (starts_with(command, "CWD ")) {
      if (disk->folders.count(name) != 0) {
        disk->failed_cwds = 0;
        return "250 ok\r\n";
      }
      std::this_thread::sleep_for(
          std::chrono::milliseconds(disk->failed_cwd_delay_ms * ++disk->failed_cwds));
      return "550 No such folder\r\n";
    }
    if (starts_with(command, "MKD ")) {
      if (disk->folders.count(name) != 0) return "550 File exists\r\n";
      if (disk->folders.count(folder_of(name)) == 0) return "550 No such folder\r\n";
      disk->folders.insert(name);
      return "257 \"" + name + "\" created\r\n";
    }
    if (starts_with(command, "SIZE ")) {
      const auto file = disk->files.find(name);
      if (file == disk->files.end()) return "550 No such file\r\n";
      return "213 " + std::to_string(file->second.size()) + "\r\n";
    }
    if (starts_with(command, "STOR ")) {
      if (disk->folders.count(folder_of(name)) == 0) return "553 No such folder\r\n";
      if (!disk->overwrites && disk->files.count(name) != 0) return "550 Overwrite denied\r\n";
      store_file(command, self, *disk);
      return "226 Transfer complete\r\n";
    }
    if (starts_with(command, "RNFR ")) {
      if (disk->files.count(name) == 0) return "550 No such file\r\n";
      disk->renaming = name;
      return "350 Ready for destination name\r\n";
    }
    if (starts_with(command, "RNTO ")) {
      const std::string from = std::exchange(disk->renaming, std::string());
      if (from.empty()) return "503 Bad sequence of commands\r\n";
      if (!disk->rename_replaces && disk->files.count(name) != 0) return "553 File exists\r\n";
      disk->files[name] = disk->files[from];
      disk->files.erase(from);
      return "250 Renamed\r\n";
    }
    if (starts_with(command, "DELE ")) {
      return disk->files.erase(name) != 0 ? "250 Deleted\r\n" : "550 No such file\r\n";
    }
    return {};
  });
}

// The temporary name of an upload to `path`: the same on every try, so that tries cut off
// leave one file at most.
std::string partial_name(const std::string& path) { return path + ".partial"; }

// `lines` with every "{p}" replaced by the temporary name.
std::vector<std::string> with_partial(std::vector<std::string> lines, const std::string& partial) {
  for (auto& line : lines) {
    const auto at = line.find("{p}");
    if (at != std::string::npos) line.replace(at, 3, partial);
  }
  return lines;
}

TEST(FtpClientTest, UploadMakesTheFoldersItDoesNotKnowFromTheTopDown) {
  const std::string content(150000, 'k');
  const auto disk = std::make_shared<t_disk>();
  fake_ftp_server server(greeting, store_server(disk, {"/a"}));
  {
    client c(client_wait_ms);
    open_session(c, server);
    std::istringstream in(content);
    EXPECT_TRUE(c.upload(in, static_cast<std::int64_t>(content.size()), L"/a/b/c/file.gz"));
    EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
  }
  // No folder is looked at first: "exists" for /a is as good as made. The final name is first
  // sent once the whole file is stored: a transfer cut off at any point leaves nothing under it.
  EXPECT_EQ(server.heard(), with_partial({"MKD /a", "MKD /a/b", "MKD /a/b/c", "PASV", "TYPE I",
                                          "STOR {p}", "RNFR {p}", "RNTO /a/b/c/file.gz", "NOOP"},
                                         partial_name("/a/b/c/file.gz")));
  ASSERT_EQ(disk->files.size(), 1u);
  EXPECT_TRUE(same_bytes(disk->files["/a/b/c/file.gz"], content));
}

TEST(FtpClientTest, ATryCutOffLeavesOneTemporaryFileThatTheNextTryReplaces) {
  // What a killed run leaves: the temporary file of its upload, cut short.
  const auto disk = std::make_shared<t_disk>();
  disk->files["/same.partial"] = "fir";
  fake_ftp_server server(greeting, store_server(disk, {}));
  {
    client c(client_wait_ms);
    open_session(c, server);
    for (const char* content : {"first", "second"}) {
      std::istringstream in(content);
      EXPECT_TRUE(c.upload(in, static_cast<std::int64_t>(std::strlen(content)), L"/same"));
    }
  }
  EXPECT_EQ(server.heard(),
            (std::vector<std::string>{"PASV", "TYPE I", "STOR /same.partial", "RNFR /same.partial",
                                      "RNTO /same", "PASV", "STOR /same.partial",
                                      "RNFR /same.partial", "RNTO /same"}));
  EXPECT_EQ(disk->files, (std::map<std::string, std::string>{{"/same", "second"}}));
}

TEST(FtpClientTest, AUniqueTemporaryNameIsNeverSharedByTwoUploads) {
  // Two machines saving one version at once must not write into one temporary file.
  const auto disk = std::make_shared<t_disk>();
  disk->rename_replaces = false;
  disk->overwrites = false;
  fake_ftp_server server(greeting, store_server(disk, {}));
  {
    client c(client_wait_ms);
    open_session(c, server);
    for (const char* content : {"first", "second"}) {
      std::istringstream in(content);
      c.upload(in, static_cast<std::int64_t>(std::strlen(content)), L"/v.gz", true);
    }
  }
  std::vector<std::string> stored;
  for (const std::string& line : server.heard()) {
    if (starts_with(line, "STOR ")) stored.push_back(line);
  }
  ASSERT_GE(stored.size(), 2u);
  EXPECT_TRUE(starts_with(stored[0], "STOR /v.gz.partial-")) << stored[0];
  EXPECT_NE(stored[0], stored[1]);
  // The loser takes nothing away from the winner, and leaves nothing behind.
  EXPECT_EQ(disk->files, (std::map<std::string, std::string>{{"/v.gz", "first"}}));
}

// A reply for commands that start with `word`, and for those only.
fake_ftp_server::answer_fn refuse(const char* word, const char* reply) {
  return [=](const std::string& command, fake_ftp_server&) {
    return starts_with(command, word) ? std::string(reply) : std::string();
  };
}

// `files` with "{p}" in a name replaced by the temporary name.
std::map<std::string, std::string> with_partial(const std::map<std::string, std::string>& files,
                                                const std::string& partial) {
  std::map<std::string, std::string> named;
  for (const auto& [name, content] : files) named[with_partial({name}, partial)[0]] = content;
  return named;
}

// A write-once server: no rename, no delete.
std::string write_once(const std::string& command, fake_ftp_server&) {
  if (starts_with(command, "RNFR ") || starts_with(command, "DELE ")) {
    return "550 Permission denied\r\n";
  }
  return "";
}

TEST(FtpClientTest, UploadRenamesIntoPlaceOrStoresPlainly) {
  using files = std::map<std::string, std::string>;
  struct row {
    const char* name;
    files before;
    bool rename_replaces;  // false: RNTO onto a stored file is refused
    fake_ftp_server::answer_fn refusal;
    bool ok;
    std::vector<std::string> heard;  // after PASV and TYPE I
    files after;
    bool overwrites = true;  // false: STOR onto a stored file is refused
  };
  const row rows[] = {
      {"a new name", {}, true, nullptr, true, {"STOR {p}", "RNFR {p}", "RNTO /f"}, {{"/f", "new"}}},
      {"a stored file replaced by the rename",
       {{"/f", "old"}},
       true,
       nullptr,
       true,
       {"STOR {p}", "RNFR {p}", "RNTO /f"},
       {{"/f", "new"}}},
      // A refused rename never costs the stored file: the bytes are stored again under the name.
      {"a server that will not rename onto a stored file",
       {{"/f", "old"}, {"/g", "other"}},
       false,
       nullptr,
       true,
       {"STOR {p}", "RNFR {p}", "RNTO /f", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "new"}, {"/g", "other"}}},
      {"RNFR refused",
       {{"/f", "old"}},
       true,
       refuse("RNFR ", "550 Denied\r\n"),
       true,
       {"STOR {p}", "RNFR {p}", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "new"}}},
      {"RNTO refused",
       {},
       true,
       refuse("RNTO ", "553 Not allowed\r\n"),
       true,
       {"STOR {p}", "RNFR {p}", "RNTO /f", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "new"}}},
      {"a write-once server: no rename, no delete",
       {},
       true,
       write_once,
       true,
       {"STOR {p}", "RNFR {p}", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "new"}, {"{p}", "new"}}},
      {"the plain STOR refused as well",
       {{"/f", "old"}},
       true,
       [](const std::string& command, fake_ftp_server&) -> std::string {
         if (starts_with(command, "RNFR ")) return "550 Denied\r\n";
         return command == "STOR /f" ? "553 Not allowed\r\n" : "";
       },
       false,
       {"STOR {p}", "RNFR {p}", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "old"}}},
      // A refusal for now is no reason to store without the temporary name.
      {"RNFR refused for now",
       {{"/f", "old"}},
       true,
       refuse("RNFR ", "450 Busy\r\n"),
       false,
       {"STOR {p}", "RNFR {p}", "DELE {p}"},
       {{"/f", "old"}}},
      {"RNTO refused for now",
       {{"/f", "old"}},
       true,
       refuse("RNTO ", "450 Busy\r\n"),
       false,
       {"STOR {p}", "RNFR {p}", "RNTO /f", "DELE {p}"},
       {{"/f", "old"}}},
      {"STOR refused",
       {{"/f", "old"}},
       true,
       refuse("STOR ", "553 Not allowed\r\n"),
       false,
       {"STOR {p}", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "old"}}},
      // The temporary file of a try cut off, which the server keeps and will not replace.
      {"a write-once server that kept the temporary file",
       {{"{p}", "ne"}},
       true,
       write_once,
       true,
       {"STOR {p}", "DELE {p}", "PASV", "STOR /f"},
       {{"/f", "new"}, {"{p}", "ne"}},
       false},
      {"STOR failing after the transfer",
       {},
       true,
       [](const std::string& command, fake_ftp_server& self) -> std::string {
         if (!starts_with(command, "STOR ")) return "";
         self.say("150 Ok to send data\r\n");
         platform::socket data = self.accept_data();
         receive_all(data);
         return "451 Local error in processing\r\n";
       },
       false,
       {"STOR {p}", "DELE {p}"},
       {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const auto disk = std::make_shared<t_disk>();
    disk->files = with_partial(r.before, partial_name("/f"));
    disk->rename_replaces = r.rename_replaces;
    disk->overwrites = r.overwrites;
    fake_ftp_server server(greeting, store_server(disk, {}, r.refusal));
    {
      client c(client_wait_ms);
      open_session(c, server);
      std::istringstream in("new");
      EXPECT_EQ(c.upload(in, 3, L"/f"), r.ok);
      EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");  // the control connection is in step
    }
    const auto heard = server.heard();
    std::vector<std::string> want = {"PASV", "TYPE I"};
    want.insert(want.end(), r.heard.begin(), r.heard.end());
    want.push_back("NOOP");
    const std::string partial = partial_name("/f");
    EXPECT_EQ(heard, with_partial(want, partial));
    EXPECT_EQ(disk->files, with_partial(r.after, partial));
  }
}

TEST(FtpClientTest, AfterARefusedRenameTheSessionStoresPlainly) {
  const auto disk = std::make_shared<t_disk>();
  fake_ftp_server server(greeting, store_server(disk, {"/"}, refuse("RNFR ", "550 Denied\r\n")));
  {
    client c(client_wait_ms);
    open_session(c, server);
    for (const wchar_t* name : {L"/f", L"/g"}) {
      std::istringstream in("new");
      EXPECT_TRUE(c.upload(in, 3, name));
    }
  }
  const auto heard = server.heard();
  EXPECT_EQ(heard, with_partial({"PASV", "TYPE I", "STOR {p}", "RNFR {p}", "DELE {p}", "PASV",
                                 "STOR /f", "PASV", "STOR /g"},
                                partial_name("/f")));
  EXPECT_EQ(disk->files, (std::map<std::string, std::string>{{"/f", "new"}, {"/g", "new"}}));
}

TEST(FtpClientTest, UploadFailsWhenAFolderCannotBeMade) {
  struct row {
    const char* mkd_reply;
    std::vector<std::string> heard;
  };
  const row rows[] = {
      // Not "there already": nothing more is sent.
      {"553 Not allowed\r\n", {"MKD /a"}},
      {"450 Busy\r\n", {"MKD /a"}},
      // "There already" or not: the STOR into it tells; then the plain STOR of a server that
      // will not take the temporary name.
      {"550 Denied\r\n",
       {"MKD /a", "PASV", "TYPE I", "STOR /a/file.partial", "DELE /a/file.partial", "PASV",
        "STOR /a/file"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.mkd_reply);
    const auto disk = std::make_shared<t_disk>();
    fake_ftp_server server(greeting, store_server(disk, {}, refuse("MKD ", r.mkd_reply)));
    {
      client c(client_wait_ms);
      open_session(c, server);
      std::istringstream in("x");
      EXPECT_FALSE(c.upload(in, 1, L"/a/file"));
    }
    EXPECT_EQ(server.heard(), r.heard);
    EXPECT_TRUE(disk->files.empty());
  }
}

// Stored names laid out as a storage lays out its contents: four one-character folder levels.
std::vector<std::wstring> content_names(const wchar_t* root, int count) {
  std::vector<std::wstring> names;
  const wchar_t* const digits = L"0123456789ABCDEF";
  for (int i = 0; i < count; ++i) {
    const unsigned v = static_cast<unsigned>(i + 1) * 2654435761u;
    std::wstring name = std::wstring(root) + L"/files";
    for (int level = 0; level < 4; ++level) {
      name += L'/';
      name += digits[(v >> (4 * level)) % (level < 2 ? 3 : 16)];  // a few shared folders
    }
    names.push_back(name + L"/" + std::to_wstring(i));
  }
  return names;
}

TEST(FtpClientTest, NewContentsCostNoFailedCommandAndFewCommands) {
  // A server that answers failed CWDs ever later: a walk over the folders of every content
  // would take seconds per content.
  const auto disk = std::make_shared<t_disk>();
  disk->failed_cwd_delay_ms = 100;
  int failed = 0;
  fake_ftp_server server(
      greeting,
      [&, answer = store_server(disk, {"/vault"})](const std::string& command,
                                                   fake_ftp_server& self) {
        std::string reply = answer(command, self);
        if (reply[0] == '5') ++failed;
        return reply;
      },
      2);
  const std::vector<std::wstring> first = content_names(L"/vault", 40);
  // As a backup goes: a session asks for each content, the next asks again and stores it.
  const auto backup = [&](const std::vector<std::wstring>& names) {
    {
      client c(client_wait_ms);
      open_session(c, server);
      ASSERT_TRUE(c.change_dir(L"/vault"));
      for (const auto& name : names) EXPECT_EQ(c.probe(name), client::presence::absent);
    }
    client c(client_wait_ms);
    open_session(c, server);
    ASSERT_TRUE(c.change_dir(L"/vault"));
    for (const auto& name : names) {
      EXPECT_EQ(c.probe(name), client::presence::absent);
      std::istringstream in("content");
      EXPECT_TRUE(c.upload(in, 7, name));
      EXPECT_EQ(c.probe(name), client::presence::present);  // stored: no need to ask
    }
  };
  backup(first);
  const auto heard = server.heard();
  // No folder walk: each session changes into the root and looks once at the first folder
  // below it, which is missing (the one failed command of a session), so no content needs SIZE.
  std::vector<std::string> cwds;
  std::copy_if(heard.begin(), heard.end(), std::back_inserter(cwds),
               [](const std::string& line) { return starts_with(line, "CWD "); });
  EXPECT_EQ(cwds, (std::vector<std::string>{"CWD /vault", "CWD /vault/files", "CWD /vault",
                                            "CWD /vault/files"}));
  EXPECT_EQ(failed, 2);
  EXPECT_LE(heard.size(), 8 * first.size()) << heard.size() << " commands";
  EXPECT_EQ(disk->files.size(), first.size());
  for (const auto& name : first) EXPECT_EQ(disk->files[utf16_to_utf8(name)], "content");
}

TEST(FtpClientTest, FoldersThatExistAlreadyAndFoldersThatVanished) {
  const auto disk = std::make_shared<t_disk>();
  fake_ftp_server server(greeting, store_server(disk, {"/a", "/a/b"}));
  {
    client c(client_wait_ms);
    open_session(c, server);
    std::istringstream one("one");
    EXPECT_TRUE(c.upload(one, 3, L"/a/b/c/one"));
    // Another process removes the folder this session knows.
    disk->folders.erase("/a/b/c");
    disk->files.clear();
    std::istringstream two("two");
    EXPECT_TRUE(c.upload(two, 3, L"/a/b/c/two"));
  }
  EXPECT_EQ(
      server.heard(),
      (std::vector<std::string>{
          "MKD /a", "MKD /a/b", "MKD /a/b/c", "PASV", "TYPE I", "STOR /a/b/c/one.partial",
          "RNFR /a/b/c/one.partial", "RNTO /a/b/c/one",
          // Known, so not made: refused, and made again.
          "PASV", "STOR /a/b/c/two.partial", "MKD /a", "MKD /a/b", "MKD /a/b/c", "PASV", "TYPE I",
          "STOR /a/b/c/two.partial", "RNFR /a/b/c/two.partial", "RNTO /a/b/c/two"}));
  EXPECT_EQ(disk->files, (std::map<std::string, std::string>{{"/a/b/c/two", "two"}}));
}

TEST(FtpClientTest, UploadOfAShortSourceFailsAndRemovesThePartialFile) {
  const auto disk = std::make_shared<t_disk>();
  fake_ftp_server server(greeting, store_server(disk, {"/"}));
  {
    client c(client_wait_ms);
    open_session(c, server);
    std::istringstream in("only a few bytes");
    EXPECT_FALSE(c.upload(in, 100000, L"/file"));
  }
  const auto heard = server.heard();
  EXPECT_EQ(heard, with_partial({"PASV", "TYPE I", "STOR {p}", "DELE {p}"}, partial_name("/file")));
  EXPECT_TRUE(disk->files.empty());
}

TEST(FtpClientTest, UploadToAServerThatDropsTheDataConnectionFails) {
  for (const auto& a : aborts) {
    SCOPED_TRACE(a.name);
    const auto disk = std::make_shared<t_disk>();
    fake_ftp_server server(
        greeting, store_server(disk, {"/"}, [&](const std::string& command, fake_ftp_server& self) {
          if (command == "NOOP") return std::string(a.noop_reply);
          if (!starts_with(command, "STOR ")) return std::string();
          self.say("150 Ok to send data\r\n");
          disk->files[command.substr(5)] = "the start";  // what a server keeps of a cut transfer
          platform::socket data = self.accept_data();
          char start[1000];
          data.recv(start, sizeof start, server_wait_ms);
          data.close();  // with bytes unread: the client's next send meets a reset
          return a.final_reply ? std::string(a.final_reply) : test::stay_silent;
        }));
    {
      client c(client_wait_ms);
      open_session(c, server);
      const std::string content(4 << 20, 'x');  // more than the socket buffers hold
      std::istringstream in(content);
      EXPECT_FALSE(c.upload(in, static_cast<std::int64_t>(content.size()), L"/file"));
      EXPECT_EQ(c.control().is_open(), a.in_step);
      EXPECT_EQ(c.spoiled(), a.spoiled);
      if (a.in_step) {
        EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
      }
    }
    const auto heard = server.heard();
    // The NOOP right after the transfer tells its final reply from the DELE's.
    std::vector<std::string> want = {"PASV", "TYPE I", "STOR {p}", "NOOP"};
    if (a.in_step) want.insert(want.end(), {"DELE {p}", "NOOP"});
    EXPECT_EQ(heard, with_partial(want, partial_name("/file")));
    EXPECT_EQ(disk->files.empty(), a.in_step);
  }
}

TEST(FtpClientTest, ABusyServerIsTriedAgainForAFewSecondsOnly) {
  struct row {
    const char* name;
    std::vector<std::string> greetings;  // one per connection, in turn
    bool ok;
  };
  const std::string busy = "421 Too many connections from your address\r\n";
  const row rows[] = {
      {"free after two tries", {busy, busy, "220 ready\r\n"}, true},
      {"busy for good", std::vector<std::string>(std::size(busy_pauses_ms) + 1, busy), false},
      {"refused for good", {"530 Not for you\r\n"}, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::listener listener;
    std::thread server([&] {
      for (const auto& greeting_text : r.greetings) {
        platform::socket peer = listener.accept(server_wait_ms);
        send_text(peer, greeting_text);
        if (r.ok && &greeting_text == &r.greetings.back()) receive_all(peer);
      }
    });
    client c(client_wait_ms);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.open("127.0.0.1", listener.port()), r.ok);
    const auto waited = std::chrono::steady_clock::now() - start;
    c.control().close();
    server.join();
    EXPECT_FALSE(listener.accept(0).is_open());  // no try beyond those
    int pauses_ms = 0;
    for (std::size_t i = 0; i + 1 < r.greetings.size(); ++i) pauses_ms += busy_pauses_ms[i];
    EXPECT_GE(waited, std::chrono::milliseconds(pauses_ms));
    EXPECT_LT(waited, std::chrono::milliseconds(pauses_ms + 2000));
  }
}

TEST(FtpClientTest, GivesUpOnASilentServer) {
  // Accepts the connection and never says a word.
  fake_ftp_server server("", [](const std::string&, fake_ftp_server&) { return std::string(); });
  client c(short_wait_ms);
  ASSERT_TRUE(c.control().connect("127.0.0.1", server.port()));
  EXPECT_EQ(c.control().read_reply(4294967295u), "");
  EXPECT_FALSE(c.control().is_open());
  // Everything after fails at once on the closed connection.
  EXPECT_FALSE(c.login("kvcs", "secret_1"));
  EXPECT_EQ(c.size(L"/f"), -1);
}

TEST(FtpClientTest, GivesUpWhenACommandIsNeverAnswered) {
  fake_ftp_server server(greeting,
                         [](const std::string&, fake_ftp_server&) { return std::string(); });
  client c(short_wait_ms);
  ASSERT_TRUE(c.control().connect("127.0.0.1", server.port()));
  ASSERT_EQ(client::reply_code(c.control().read_reply(4294967295u)), 220);
  EXPECT_FALSE(c.change_dir(L"/backup"));
  EXPECT_FALSE(c.control().is_open());  // a late reply must not be taken for the next one
}

TEST(FtpClientTest, SurvivesAServerThatHangsUp) {
  test::listener listener;
  std::thread server([&] {
    platform::socket peer = listener.accept(server_wait_ms);
    send_text(peer, greeting);
  });  // the connection closes as the thread ends
  client c(client_wait_ms);
  ASSERT_TRUE(c.control().connect("127.0.0.1", listener.port()));
  ASSERT_EQ(client::reply_code(c.control().read_reply(4294967295u)), 220);
  server.join();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(c.send_command("NOOP"), "");
  std::istringstream in("data");
  EXPECT_FALSE(c.upload(in, 4, L"/d/file"));
}

TEST(FtpClientTest, SendsNoCommandLongerThanServersTake) {
  fake_ftp_server server(greeting, plain_answers());
  // "CWD " and CR LF around the path: 2048 bytes go out, 2049 do not.
  const std::wstring longest = L"/" + std::wstring(2041, L'a');
  {
    client c(client_wait_ms);
    open_session(c, server);
    EXPECT_TRUE(c.change_dir(longest));
    EXPECT_FALSE(c.change_dir(longest + L"a"));
    EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
  }
  EXPECT_EQ(server.heard(), (std::vector<std::string>{"CWD " + utf16_to_utf8(longest), "NOOP"}));
}

TEST(FtpClientTest, RepliesNobodyAskedForAnswerNoCommand) {
  // Two replies too many come with the answer to the CWD: out of step, the TYPE I and the SIZE
  // of a missing file would take them, and the file would pass for present.
  fake_ftp_server server(greeting, plain_answers([](const std::string& command, fake_ftp_server&) {
                           if (command == "CWD /a")
                             return std::string("250 ok\r\n200 x\r\n213 1000\r\n");
                           if (starts_with(command, "SIZE ")) return std::string("550 No file\r\n");
                           return std::string();
                         }));
  client c(client_wait_ms);
  open_session(c, server);
  EXPECT_TRUE(c.change_dir(L"/a"));
  EXPECT_EQ(c.size(L"/missing"), -1);
  EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
}

TEST(FtpClientTest, RefusesLineBreaksInsideACommand) {
  fake_ftp_server server(greeting, plain_answers());
  {
    client c(client_wait_ms);
    open_session(c, server);
    EXPECT_FALSE(c.change_dir(L"/a\r\nDELE /b"));
    EXPECT_EQ(c.send_command("NOOP"), "200 ok\r\n");
  }
  EXPECT_EQ(server.heard(), (std::vector<std::string>{"NOOP"}));
}

}  // namespace
}  // namespace kestrun::net::ftp
