// The recorder behind test::recorded_events: one list and one subscription per pattern.
#include "tests/support/event_recorder.h"

#include <exception>
#include <map>
#include <mutex>

namespace kestrun::test {
namespace {

struct t_registry {
  std::mutex lock;
  std::map<std::string, std::vector<t_recorded_event>> lists;  // nodes never move
};

// Never destroyed: the server keeps its callbacks until exit, and an event fired while statics
// are torn down must still find its list.
t_registry& registry() {
  static auto* instance = new t_registry;
  return *instance;
}

}  // namespace

std::vector<t_recorded_event>& recorded_events(const std::string& pattern) {
  t_registry& r = registry();
  std::lock_guard<std::mutex> held(r.lock);
  auto [at, added] = r.lists.try_emplace(pattern);
  if (!added) return at->second;
  std::vector<t_recorded_event>* list = &at->second;
  try {
    notify::on();
    // The callback runs under the server's lock, which serialises the firings; it fires nothing
    // and subscribes nothing, so it cannot recurse into the server.
    notify::subscribe(pattern, [list](const notify::event* e) {
      std::string text;
      // A payload that cannot show itself must not change the firing code's path.
      try {
        if (e->data) text = e->data->to_string();
      } catch (const std::exception& error) {
        text = std::string("<to_string threw: ") + error.what() + ">";
      }
      list->push_back({e->name, e->level, e->type, text});
      return true;
    });
  } catch (...) {
    r.lists.erase(at);
    throw;
  }
  return *list;
}

std::vector<t_recorded_event> events_named(const std::vector<t_recorded_event>& events,
                                           const std::string& name) {
  std::vector<t_recorded_event> found;
  for (const auto& e : events) {
    if (e.name == name) found.push_back(e);
  }
  return found;
}

}  // namespace kestrun::test
