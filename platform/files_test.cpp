// The FILETIME rule: whole Unix seconds, the nearest one, a half second rounding up.
#include <cstdint>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace kestrun::platform {
namespace {

TEST(FilesTest, FiletimeRoundsToTheNearestSecond) {
  struct row {
    std::uint64_t filetime;
    std::int64_t seconds;
  };
  const row rows[] = {
      {116444736000000000ull, 0},          {116444736004999999ull, 0}, {116444736005000000ull, 1},
      {116444736014999999ull, 1},          {116444735995000000ull, 0}, {116444735994999999ull, -1},
      {133444736007500000ull, 1700000001},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.filetime);
    EXPECT_EQ(unix_time_from_filetime(r.filetime), r.seconds);
  }
}

}  // namespace
}  // namespace kestrun::platform
