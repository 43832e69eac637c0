// A record of the events a test program fires, kept per subscription pattern, so that each test
// can check what was announced without writing its own subscriber.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/notify/event.h"

namespace kestrun::test {

struct t_recorded_event {
  std::string name;
  std::uint32_t level;
  notify::event::t_type type;  // the payload kind of the firing
  std::string text;            // the payload's text; empty without a payload
};

// The events whose whole name matches `pattern` (ECMAScript), in firing order, since the list was
// last cleared; the caller may clear it. The first call for a pattern turns notifications on and
// subscribes; the server never drops a subscriber, so the list lives until the process ends and
// later calls with the same pattern return it again. Patterns are kept apart: each list holds only
// what its own pattern matched. Throws std::regex_error for a bad pattern (nothing is kept then)
// and std::logic_error when a new pattern is asked for from inside an event callback.
std::vector<t_recorded_event>& recorded_events(const std::string& pattern);

// Those of `events` named exactly `name`, in order.
std::vector<t_recorded_event> events_named(const std::vector<t_recorded_event>& events,
                                           const std::string& name);

}  // namespace kestrun::test
