// Tests of the time section: local time within the range the Windows runtime also converts.
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <stdlib.h>
#include <string>
#include <time.h>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

// Runs the test in UTC so that broken-down fields are known, and restores the zone afterwards.
class PlatformTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(PlatformTimeTest, ConvertsWithinRange) {
  std::tm tm{};
  ASSERT_TRUE(local_time(0, tm));
  EXPECT_EQ(tm.tm_year, 70);
  EXPECT_EQ(tm.tm_mon, 0);
  EXPECT_EQ(tm.tm_mday, 1);
  EXPECT_EQ(tm.tm_hour, 0);

  ASSERT_TRUE(local_time(1700000000, tm));
  EXPECT_EQ(tm.tm_year, 123);
  EXPECT_EQ(tm.tm_mday, 14);
  EXPECT_EQ(tm.tm_hour, 22);
  EXPECT_EQ(tm.tm_min, 13);

  ASSERT_TRUE(local_time(32535215999LL, tm));  // the last second of the year 3000
  EXPECT_EQ(tm.tm_year, 1100);
  EXPECT_EQ(tm.tm_mon, 11);
  EXPECT_EQ(tm.tm_mday, 31);
}

TEST_F(PlatformTimeTest, RefusesTimesOutOfRange) {
  std::tm tm{};
  tm.tm_year = 42;
  for (std::int64_t seconds :
       std::initializer_list<std::int64_t>{-1, -86400, 32535216000LL, INT64_MAX, INT64_MIN}) {
    SCOPED_TRACE(seconds);
    EXPECT_FALSE(local_time(seconds, tm));
    EXPECT_EQ(tm.tm_year, 42);
  }
}

}  // namespace
}  // namespace kestrun::platform
