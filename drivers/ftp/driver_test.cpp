// kellar-ftp through its five exports, loaded from bin/ as kvcs loads it, against the loopback
// FTP server of tests/support (pyftpdlib) on a temporary root.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/notify/event.h"
#include "drivers/storage_api.h"
#include "platform/platform.h"
#include "tests/support/temp_folder.h"

namespace kestrun {
namespace {

namespace fs = std::filesystem;

constexpr const char* user = "kvcs";
constexpr const char* password = "secret_1";
constexpr auto start_limit = std::chrono::seconds(20);
constexpr auto stop_limit = std::chrono::seconds(10);

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// The script of tests/support started in the background on a temporary root. It stops when its
// lease connection closes: in the destructor, or when this process ends in any way.
class loopback_ftp_server {
 public:
  // Throws std::runtime_error, with the server's log, when it is not up within start_limit.
  loopback_ftp_server() {
    fs::create_directories(root());
    const std::string command = "( /usr/bin/python3 " + quoted(KVCS_FTP_SERVER_SCRIPT) +
                                " --root " + quoted(root()) + " --user " + user + " --password " +
                                password + " --lease --port-file " + quoted(folder_ / "port") +
                                " </dev/null >" + quoted(folder_ / "log") + " 2>&1; echo $? >" +
                                quoted(folder_ / "exit") + " ) >/dev/null 2>&1 &";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot run " + command);

    int lease_port = 0;
    const auto limit = std::chrono::steady_clock::now() + start_limit;
    while (port_ == 0) {
      std::ifstream(folder_ / "port") >> port_ >> lease_port;
      if (port_ != 0) break;
      if (fs::exists(folder_ / "exit") || std::chrono::steady_clock::now() > limit) {
        throw std::runtime_error("the FTP server did not start:\n" + test::slurp(folder_ / "log"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!lease_.connect("127.0.0.1", lease_port, 5000)) {
      throw std::runtime_error("no lease on the FTP server:\n" + test::slurp(folder_ / "log"));
    }
  }

  ~loopback_ftp_server() {
    lease_.close();
    // The server lets go of the root before the temporary folder goes.
    const auto limit = std::chrono::steady_clock::now() + stop_limit;
    while (!fs::exists(folder_ / "exit") && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  int port() const { return port_; }
  fs::path root() const { return folder_ / "root"; }

  // The link text kellar-ftp receives: what follows "ftp://".
  std::string link(const std::string& folder, const char* name = user,
                   const char* word = password) const {
    return std::string(name) + ":" + word + "@127.0.0.1:" + std::to_string(port_) + folder;
  }

 private:
  test::temp_folder folder_;
  int port_ = 0;
  platform::socket lease_;
};

// The module's five functions, bound by name as kvcs binds them.
struct t_driver {
  std::unique_ptr<platform::library> module;
  storage_connect_fn connect = nullptr;
  storage_disconnect_fn disconnect = nullptr;
  storage_upload_fn upload = nullptr;
  storage_download_fn download = nullptr;
  storage_file_exists_fn file_exists = nullptr;
};

class FtpDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    try {
      server_ = new loopback_ftp_server();
    } catch (const std::exception& e) {
      start_error_ = new std::string(e.what());
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete start_error_;
    start_error_ = nullptr;
  }

  // A fresh load per test: its handle table starts empty.
  void SetUp() override {
    ASSERT_EQ(start_error_, nullptr) << *start_error_;
    driver.module = platform::library::open(KELLAR_FTP_MODULE);
    ASSERT_NE(driver.module, nullptr) << KELLAR_FTP_MODULE;
    driver.connect = reinterpret_cast<storage_connect_fn>(driver.module->symbol("storage_connect"));
    driver.disconnect =
        reinterpret_cast<storage_disconnect_fn>(driver.module->symbol("storage_disconnect"));
    driver.upload = reinterpret_cast<storage_upload_fn>(driver.module->symbol("storage_upload"));
    driver.download =
        reinterpret_cast<storage_download_fn>(driver.module->symbol("storage_download"));
    driver.file_exists =
        reinterpret_cast<storage_file_exists_fn>(driver.module->symbol("storage_file_exists"));
    ASSERT_TRUE(driver.connect && driver.disconnect && driver.upload && driver.download &&
                driver.file_exists);
  }

  const loopback_ftp_server& server() const { return *server_; }

  // A stored file as the server's disk holds it.
  std::string stored(const std::string& name) const { return test::slurp(server().root() / name); }

  static loopback_ftp_server* server_;
  static std::string* start_error_;
  t_driver driver;
  test::temp_folder local;
};

loopback_ftp_server* FtpDriverTest::server_ = nullptr;
std::string* FtpDriverTest::start_error_ = nullptr;

// Compares byte strings without printing them: they run to hundreds of kilobytes.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first;
  return ::testing::AssertionFailure()
         << got.size() << " bytes where " << want.size()
         << " were expected, first difference at byte " << (diff - got.begin());
}

std::string some_bytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 256);
  return bytes;
}

TEST_F(FtpDriverTest, ConnectsOnlyToAReachableFolderWithTheRightLogin) {
  fs::create_directories(server().root() / "backup" / "main");
  int free_port = 0;
  {
    platform::listener gone;
    free_port = gone.port();
  }
  struct row {
    std::string link;
    bool ok;
  };
  const row rows[] = {
      {server().link("/"), true},
      {server().link(""), true},  // no folder: the root
      {server().link("/backup/main"), true},
      {server().link("/missing"), false},
      {server().link("/", user, "wrong"), false},
      {server().link("/", "nobody"), false},
      {"kvcs@127.0.0.1:" + std::to_string(server().port()) + "/", false},       // no password
      {":secret_1@127.0.0.1:" + std::to_string(server().port()) + "/", false},  // CWD not logged in
      {"kvcs:secret_1@127.0.0.1:" + std::to_string(free_port) + "/", false},    // refused
      {"", false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.link);
    const storage_handle handle = driver.connect(r.link.c_str());
    EXPECT_EQ(handle != 0, r.ok);
    driver.disconnect(handle);
  }
  EXPECT_EQ(driver.connect(nullptr), 0u);
}

TEST_F(FtpDriverTest, StoresAndFetchesFilesBelowTheRoot) {
  fs::create_directories(server().root() / "vault");
  struct row {
    std::string name;     // remote name
    std::string on_disk;  // where the server keeps it, below its root
    std::string content;
  };
  const row rows[] = {
      {"files/A/B/C/D/K0Q2XY1000", "vault/files/A/B/C/D/K0Q2XY1000", some_bytes(1000, 1)},
      {"projects/owner/site/1.gz", "vault/projects/owner/site/1.gz", some_bytes(300000, 2)},
      {"files/\xc3\xa9t\xc3\xa9/\xf0\x9f\x98\x80.bin",
       "vault/files/\xc3\xa9t\xc3\xa9/\xf0\x9f\x98\x80.bin", some_bytes(70000, 3)},
      {"files/./x/../y", "vault/files/y", "normalised"},
  };
  const storage_handle handle = driver.connect(server().link("/vault").c_str());
  ASSERT_NE(handle, 0u);
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const fs::path source = local.write("up/" + std::to_string(&r - rows), r.content);
    EXPECT_EQ(driver.file_exists(handle, r.name.c_str()), 0);
    EXPECT_EQ(driver.upload(handle, source.c_str(), r.name.c_str()), STORAGE_DONE);
    EXPECT_TRUE(same_bytes(stored(r.on_disk), r.content));
    EXPECT_EQ(driver.file_exists(handle, r.name.c_str()), 1);

    // The local folders of a download are made on the way.
    const fs::path target = local / ("down/new/folder/" + std::to_string(&r - rows));
    EXPECT_EQ(driver.download(handle, r.name.c_str(), target.c_str()), STORAGE_DONE);
    EXPECT_TRUE(same_bytes(test::slurp(target), r.content));
  }
  driver.disconnect(handle);
}

TEST_F(FtpDriverTest, MissingAndEmptyStoredFilesCannotBeFetched) {
  const storage_handle handle = driver.connect(server().link("/").c_str());
  ASSERT_NE(handle, 0u);
  const fs::path empty = local.write("empty", "");
  EXPECT_EQ(driver.upload(handle, empty.c_str(), "files/empty"), STORAGE_DONE);
  EXPECT_TRUE(fs::exists(server().root() / "files" / "empty"));
  EXPECT_EQ(driver.file_exists(handle, "files/empty"), 1);  // present, though empty

  for (const char* name : {"files/empty", "files/missing", "nowhere/at/all"}) {
    SCOPED_TRACE(name);
    const fs::path target = local / "fetched" / name;
    EXPECT_EQ(driver.download(handle, name, target.c_str()), STORAGE_FAILURE);
    EXPECT_FALSE(fs::exists(target));  // no partial file left behind
  }
  EXPECT_EQ(driver.file_exists(handle, "files/missing"), 0);
  // The connection is still in step after the failures.
  const fs::path source = local.write("after", "still working");
  EXPECT_EQ(driver.upload(handle, source.c_str(), "after"), STORAGE_DONE);
  EXPECT_EQ(stored("after"), "still working");
  driver.disconnect(handle);
}

TEST_F(FtpDriverTest, UploadReplacesAStoredFile) {
  const storage_handle handle = driver.connect(server().link("").c_str());
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(driver.upload(handle, local.write("a", "first and longer").c_str(), "twice"),
            STORAGE_DONE);
  EXPECT_EQ(driver.upload(handle, local.write("b", "second").c_str(), "twice"), STORAGE_DONE);
  EXPECT_EQ(stored("twice"), "second");
  driver.disconnect(handle);
}

TEST_F(FtpDriverTest, LocalFilesThatCannotBeUsedFail) {
  const storage_handle handle = driver.connect(server().link("/").c_str());
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(driver.upload(handle, (local / "no such file").c_str(), "x"), STORAGE_FAILURE);
  EXPECT_FALSE(fs::exists(server().root() / "x"));

  // A download below a regular file cannot create its folder.
  EXPECT_EQ(driver.upload(handle, local.write("src", "content").c_str(), "y"), STORAGE_DONE);
  const fs::path blocker = local.write("blocker", "a file, not a folder");
  EXPECT_EQ(driver.download(handle, "y", (blocker / "y").c_str()), STORAGE_FAILURE);
  EXPECT_TRUE(fs::is_regular_file(blocker));
  driver.disconnect(handle);
}

TEST_F(FtpDriverTest, HandlesNameOpenConnectionsOnly) {
  const fs::path source = local.write("src", "content");
  const fs::path target = local / "target";
  for (const storage_handle unknown : {0u, 1u, 7u}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(driver.upload(unknown, source.c_str(), "x"), STORAGE_FAILURE);
    EXPECT_EQ(driver.download(unknown, "x", target.c_str()), STORAGE_FAILURE);
    EXPECT_EQ(driver.file_exists(unknown, "x"), STORAGE_FAILURE);
    driver.disconnect(unknown);  // ignored
  }

  // Two connections at once, each with its own handle and root.
  fs::create_directories(server().root() / "one");
  fs::create_directories(server().root() / "two");
  const storage_handle first = driver.connect(server().link("/one").c_str());
  const storage_handle second = driver.connect(server().link("/two").c_str());
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(driver.upload(first, source.c_str(), "f"), STORAGE_DONE);
  EXPECT_EQ(driver.file_exists(second, "f"), 0);
  EXPECT_EQ(driver.upload(second, source.c_str(), "f"), STORAGE_DONE);
  EXPECT_EQ(stored("one/f"), "content");
  EXPECT_EQ(stored("two/f"), "content");

  driver.disconnect(first);
  driver.disconnect(first);  // the second time changes nothing
  EXPECT_EQ(driver.file_exists(first, "f"), STORAGE_FAILURE);
  EXPECT_EQ(driver.upload(first, source.c_str(), "g"), STORAGE_FAILURE);
  EXPECT_EQ(driver.download(first, "f", target.c_str()), STORAGE_FAILURE);
  EXPECT_EQ(driver.file_exists(second, "f"), 1);
  driver.disconnect(second);
}

TEST_F(FtpDriverTest, EventsStayInsideTheLibrary) {
  // The module carries its own event server, which nothing switches on: this program's
  // subscribers hear nothing of its work.
  static int heard = 0;
  notify::on();
  notify::subscribe("kestrun::net::.*", [](const notify::event*) {
    ++heard;
    return true;
  });
  const storage_handle handle = driver.connect(server().link("/").c_str());
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(driver.file_exists(handle, "x"), 0);
  driver.disconnect(handle);
  EXPECT_EQ(heard, 0);
}

TEST(FtpModuleTest, ExportsOnlyTheFiveStorageFunctions) {
  test::temp_folder folder;
  const std::string command = "nm -D --defined-only " + quoted(KELLAR_FTP_MODULE) + " > " +
                              quoted(folder / "symbols") + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << test::slurp(folder / "symbols");
  std::ifstream in(folder / "symbols");
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    names.push_back(line.substr(line.find_last_of(' ') + 1));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"storage_connect", "storage_disconnect", "storage_download",
                                      "storage_file_exists", "storage_upload"}));
}

}  // namespace
}  // namespace kestrun
