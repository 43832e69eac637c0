// The C runtime keeps its own copy of the environment, which is what its time functions read:
// _putenv changes that copy and the process's one together.
#include "tests/support/environment.h"

#include <stdlib.h>
#include <string>
#include <time.h>

namespace kestrun::test {

void set_environment(const char* name, const char* value) {
  // "NAME=" removes the variable.
  ::_putenv((std::string(name) + "=" + (value != nullptr ? value : "")).c_str());
}

void reread_time_zone() { ::_tzset(); }

}  // namespace kestrun::test
