// Named events with a level and a payload, fired to the subscribers of the process-wide server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrun::notify {

// A payload: owned by its event, turns itself into display text.
class data {
 public:
  virtual ~data() = default;
  virtual std::string to_string() const = 0;
};

class text : public data {
 public:
  explicit text(std::string value) : text_(std::move(value)) {}
  std::string to_string() const override { return text_; }
  std::string text_;
};

// Parts per million of a step count.
class progress : public data {
 public:
  explicit progress(std::uint32_t value) : value(value) {}
  std::string to_string() const override;
  std::uint32_t value;
};

// The event as subscribers see it.
class event {
 public:
  enum class t_type : std::uint32_t { none = 0, data = 1, text = 2, progress = 3 };

  explicit event(const std::string& event_name) : name(event_name) {}
  virtual ~event() = default;

  std::uint32_t level = 0;  // 0 normal, 1 warning, 2 error
  t_type type = t_type::none;
  std::string name;
  std::shared_ptr<notify::data> data;
};

// Log-line text of an event: name, sign ('!' error, '~' warning, '#' progress), blank, payload.
std::string event_text(const event& e);

namespace detail {

// The fireable event. Subscribers receive it as a const event*.
class notify_event : protected event {
 public:
  explicit notify_event(const std::string& name);
  ~notify_event() override = default;

  notify_event* set_error(bool error);  // level 2 or 0; returns this so a fire can follow

  // Each attaches its payload, then fires; true unless a matching callback returned false.
  bool fire_data(notify::data* payload);  // takes ownership
  bool fire_text(const std::string& value);
  bool fire_text(const std::wstring& value);
  bool fire_text(const char* value);
  bool fire_text(std::uint32_t value);
  bool fire_text(std::uint64_t value);
  // Throws std::runtime_error("Math error: Attempted to divide by Zero") for total 0.
  bool fire_progress(std::uint64_t current, std::uint64_t total);

  using event::data;
  using event::level;
  using event::name;
  using event::type;
  const event* as_event() const { return this; }

 protected:
  bool _fire(const event::t_type& type);
};

}  // namespace detail

std::shared_ptr<detail::notify_event> create(const std::string& name);

// Switches the server on; events fired before reach nobody.
void on();

// Subscribes a callback to every event whose whole name matches `pattern` (ECMAScript). Returns
// the subscription id, or 0 when the server is still off. Throws std::regex_error for a bad one.
std::uint64_t subscribe(const std::string& pattern, std::function<bool(const event*)> callback);

}  // namespace kestrun::notify
