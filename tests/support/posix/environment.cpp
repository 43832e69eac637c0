#include "tests/support/environment.h"

#include <stdlib.h>
#include <time.h>

namespace kestrun::test {

void set_environment(const char* name, const char* value) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

void reread_time_zone() { ::tzset(); }

}  // namespace kestrun::test
