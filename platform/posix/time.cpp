// Local time of the POSIX layer: localtime_r, held to the range the Windows runtime converts, so
// that a time stamp formats the same way on every platform.
#include <cstdint>
#include <ctime>
#include <time.h>

#include "platform/platform.h"

namespace kestrun::platform {

bool local_time(std::int64_t seconds, std::tm& out) {
  if (seconds < 0) return false;
  const auto value = static_cast<std::time_t>(seconds);
  if (static_cast<std::int64_t>(value) != seconds) return false;
  std::tm result{};
  if (localtime_r(&value, &result) == nullptr) return false;
  // tm_year counts from 1900; the Windows runtime stops at the end of the year 3000.
  if (result.tm_year > 3000 - 1900) return false;
  out = result;
  return true;
}

}  // namespace kestrun::platform
