// The process-wide event server. The lock is plain and not recursive, so a callback that fires
// or subscribes would deadlock; the per-thread mark turns that into an exception instead.
#include "common/notify/server.h"

#include <stdexcept>
#include <utility>

namespace kestrun::notify::detail {

namespace {
// Set while this thread holds some server's lock (each binary has its own server and mark).
thread_local bool holding_lock = false;
}  // namespace

class notify_server::guard {
 public:
  explicit guard(std::mutex& m) : lock_(lock_or_throw(m), std::adopt_lock) { holding_lock = true; }
  ~guard() { holding_lock = false; }
  guard(const guard&) = delete;
  guard& operator=(const guard&) = delete;

 private:
  static std::mutex& lock_or_throw(std::mutex& m) {
    if (holding_lock) {
      throw std::logic_error("kestrun::notify: event server used from inside a callback");
    }
    m.lock();
    return m;
  }
  std::lock_guard<std::mutex> lock_;
};

notify_server& notify_server::instance() {
  static notify_server server;
  return server;
}

void notify_server::call(const std::function<void(notify_server&)>& step, bool force) {
  guard held(lock);
  if (enabled || force) {
    step(*this);
  }
}

std::uint64_t notify_server::add(const std::string& pattern,
                                 std::function<bool(const event*)> callback) {
  const std::uint64_t id = ++last_id;
  if (!callback) {
    throw std::invalid_argument("kestrun::notify: empty callback");
  }
  std::regex compiled(pattern, std::regex::ECMAScript);
  subscribers.push_back(subscriber{id, std::move(compiled), std::move(callback)});
  return id;
}

bool notify_server::dispatch(const event& e) {
  guard held(lock);
  bool result = true;
  if (!enabled) {
    return result;
  }
  for (const subscriber& s : subscribers) {
    if (std::regex_match(e.name, s.pattern)) {
      // Every matching callback runs, also after one has said no.
      result = s.callback(&e) && result;
    }
  }
  return result;
}

}  // namespace kestrun::notify::detail
