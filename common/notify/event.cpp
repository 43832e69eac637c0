// Events, their payloads and the free functions that create events and reach the server.
#include "common/notify/event.h"

#include <sstream>
#include <stdexcept>
#include <utility>

#include "common/notify/server.h"
#include "common/text.h"

namespace kestrun::notify {

std::string progress::to_string() const {
  // The remainder keeps its leading zeros: 10001 is 1.0001 per cent, not 1.1.
  std::string fraction = std::to_string(value % 10000);
  fraction.insert(0, 4 - fraction.size(), '0');
  return std::to_string(value / 10000) + "." + fraction;
}

std::string event_text(const event& e) {
  std::string line = e.name;
  if (e.level == 2) {
    line += '!';
  } else if (e.level == 1) {
    line += '~';
  } else if (e.type == event::t_type::progress) {
    line += '#';
  }
  line += ' ';
  if (e.data) {
    line += e.data->to_string();
  }
  return line;
}

namespace detail {

notify_event::notify_event(const std::string& event_name) : event(event_name) {}

notify_event* notify_event::set_error(bool error) {
  level = error ? 2 : 0;
  return this;
}

bool notify_event::fire_data(notify::data* payload) {
  data.reset(payload);
  return _fire(t_type::data);
}

bool notify_event::fire_text(const std::string& value) {
  data = std::make_shared<notify::text>(value);
  return _fire(t_type::text);
}

bool notify_event::fire_text(const std::wstring& value) { return fire_text(utf16_to_utf8(value)); }

bool notify_event::fire_text(const char* value) {
  return fire_text(value ? std::string(value) : std::string());
}

bool notify_event::fire_text(std::uint32_t value) { return fire_text(std::to_string(value)); }

bool notify_event::fire_text(std::uint64_t value) { return fire_text(std::to_string(value)); }

bool notify_event::fire_progress(std::uint64_t current, std::uint64_t total) {
  if (total == 0) {
    throw std::runtime_error("Math error: Attempted to divide by Zero");
  }
  // Unsigned arithmetic: the product wraps for very large counts, and only the low 32 bits of
  // the quotient are kept; the display never needs more.
  const auto parts = static_cast<std::uint32_t>(current * 1000000u / total);
  data = std::make_shared<notify::progress>(parts);
  return _fire(t_type::progress);
}

bool notify_event::_fire(const event::t_type& fired_type) {
  type = fired_type;
  return notify_server::instance().dispatch(*this);
}

}  // namespace detail

std::shared_ptr<detail::notify_event> create(const std::string& name) {
  return std::make_shared<detail::notify_event>(name);
}

void on() {
  detail::notify_server::instance().call([](detail::notify_server& s) { s.enabled = true; }, true);
}

std::uint64_t subscribe(const std::string& pattern, std::function<bool(const event*)> callback) {
  std::uint64_t id = 0;
  detail::notify_server::instance().call(
      [&](detail::notify_server& s) { id = s.add(pattern, std::move(callback)); }, false);
  return id;
}

}  // namespace kestrun::notify
