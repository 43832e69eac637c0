// Local time of the Windows layer: the runtime's localtime_s, which refuses negative times and
// those past the year 3000.
#include <cstdint>
#include <ctime>
#include <time.h>

#include "platform/platform.h"

namespace kestrun::platform {

bool local_time(std::int64_t seconds, std::tm& out) {
  if (seconds < 0) return false;
  const std::time_t value = static_cast<std::time_t>(seconds);
  std::tm result{};
  if (::localtime_s(&result, &value) != 0) return false;
  if (result.tm_year > 3000 - 1900) return false;
  out = result;
  return true;
}

}  // namespace kestrun::platform
