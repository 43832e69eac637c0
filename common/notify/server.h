// The process-wide event server: the subscribers and the switch that turns notifications on.
// Each binary (the program, every driver library) has its own copy and so its own server.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "common/notify/event.h"

namespace kestrun::notify::detail {

class notify_server {
 public:
  struct subscriber {
    std::uint64_t id;
    std::regex pattern;  // ECMAScript, matched against the whole event name
    std::function<bool(const event*)> callback;
  };

  notify_server() = default;
  virtual ~notify_server() = default;
  notify_server(const notify_server&) = delete;
  notify_server& operator=(const notify_server&) = delete;

  // The one server, built on first use and destroyed at process exit.
  static notify_server& instance();

  // Runs `step` under the lock when the server is on or `force` is set; otherwise nothing. An
  // exception from `step` reaches the caller with the lock released. Throws std::logic_error
  // when this thread already holds the lock (a callback that subscribes or fires).
  void call(const std::function<void(notify_server&)>& step, bool force);

  // Adds a subscriber (the lock must be held): the id is spent before the pattern is compiled,
  // so a std::regex_error leaves a gap. std::invalid_argument for an empty callback.
  std::uint64_t add(const std::string& pattern, std::function<bool(const event*)> callback);

  // Hands `e` to every matching subscriber in order of subscription; the AND of their results,
  // true when off or nothing matches. Same lock rules as call.
  bool dispatch(const event& e);

  std::uint64_t last_id = 0;
  std::vector<subscriber> subscribers;  // never shrinks
  bool enabled = false;                 // set once by notify::on
  std::mutex lock;

 private:
  // Takes the lock, refusing to deadlock when this thread holds it already.
  class guard;
};

}  // namespace kestrun::notify::detail
