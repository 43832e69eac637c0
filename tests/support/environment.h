// The environment of the test process, set the same way on every system.
#pragma once

namespace kestrun::test {

// Sets the variable `name` to `value`, or removes it when `value` is null.
void set_environment(const char* name, const char* value);

// Makes the C runtime read the time zone from TZ again.
void reread_time_zone();

}  // namespace kestrun::test
