// Tests of the user-folders section: the XDG rule and its fallbacks.
#include <filesystem>
#include <optional>
#include <pwd.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

// Saves XDG_CONFIG_HOME and HOME and puts them back after each test.
class PlatformUserFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto* v : {&xdg_, &home_}) {
      if (const char* value = std::getenv(v->name)) v->saved = value;
    }
  }
  void TearDown() override {
    for (auto* v : {&xdg_, &home_}) {
      if (v->saved) {
        ::setenv(v->name, v->saved->c_str(), 1);
      } else {
        ::unsetenv(v->name);
      }
    }
  }
  static void set(const char* name, const char* value) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }

 private:
  struct variable {
    const char* name;
    std::optional<std::string> saved;
  };
  variable xdg_{"XDG_CONFIG_HOME", {}};
  variable home_{"HOME", {}};
};

TEST_F(PlatformUserFoldersTest, FollowsTheXdgRule) {
  struct row {
    const char* xdg;
    const char* home;
    const char* want;
  };
  const row rows[] = {
      {"/tmp/config", "/home/u", "/tmp/config"},
      {"relative/config", "/home/u", "/home/u/.config"},
      {"", "/home/u", "/home/u/.config"},
      {nullptr, "/home/u", "/home/u/.config"},
      {"/tmp/caf\xC3\xA9", nullptr, "/tmp/caf\xC3\xA9"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.xdg ? r.xdg : "(unset)") + ", " + (r.home ? r.home : "(unset)"));
    set("XDG_CONFIG_HOME", r.xdg);
    set("HOME", r.home);
    EXPECT_EQ(config_folder(), std::filesystem::path(r.want));
  }
}

TEST_F(PlatformUserFoldersTest, FallsBackToTheAccountsHome) {
  const passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_dir == nullptr)
    GTEST_SKIP() << "this user has no account entry";
  const std::filesystem::path want = std::filesystem::path(entry->pw_dir) / ".config";
  set("XDG_CONFIG_HOME", nullptr);
  set("HOME", nullptr);
  EXPECT_EQ(config_folder(), want);
  set("HOME", "");
  EXPECT_EQ(config_folder(), want);
}

}  // namespace
}  // namespace kestrun::platform
