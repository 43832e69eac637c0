// Named events with a level and a payload, fired to the subscribers of the process-wide server.
// Every step of the engine announces itself this way; the console turns events into log lines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrun::notify {

// A payload: owned by its event (through the event's shared pointer), turns itself into text.
class data {
 public:
  virtual ~data() = default;
  virtual std::string to_string() const = 0;
};

// A text payload (UTF-8).
class text : public data {
 public:
  explicit text(std::string value) : text_(std::move(value)) {}
  std::string to_string() const override { return text_; }

  // The class name is taken, so the field carries a trailing '_'.
  std::string text_;
};

// A progress payload: parts per million of a step count. Reads as the whole per cent, '.', and
// the remainder in four digits (123456 reads 12.3456, 10001 reads 1.0001).
class progress : public data {
 public:
  explicit progress(std::uint32_t parts_per_million) : value(parts_per_million) {}
  std::string to_string() const override;

  std::uint32_t value;
};

// The event as subscribers see it.
class event {
 public:
  enum class t_type : std::uint32_t { none = 0, data = 1, text = 2, progress = 3 };

  explicit event(const std::string& event_name) : name(event_name) {}
  virtual ~event() = default;

  std::uint32_t level = 0;             // 0 normal, 1 warning, 2 error
  t_type type = t_type::none;          // the payload kind of the last fire
  std::string name;                    // UTF-8, fixed at creation
  std::shared_ptr<notify::data> data;  // the payload of the last fire; empty before
};

// Log-line text of an event: name, sign ('!' error, '~' warning, else '#' for progress, else no
// sign), one blank, payload text (nothing when there is no payload).
std::string event_text(const event& e);

namespace detail {

// The fireable event, always made by notify::create. It hands itself to subscribers as a
// const event*; firers reach level, type, name and data through the using-declarations.
class notify_event : protected event {
 public:
  explicit notify_event(const std::string& event_name);
  ~notify_event() override = default;

  notify_event* set_error(bool error);  // level 2 or 0; returns this so a fire can follow

  // Each attaches its payload (replacing the previous one), then fires. True unless a matching
  // callback returned false. An exception thrown by a callback reaches the caller; so does a
  // std::logic_error for a fire from inside a callback (the server is never left locked).
  bool fire_data(notify::data* payload);  // takes ownership, also when firing throws
  bool fire_text(const std::string& value);
  bool fire_text(const std::wstring& value);  // converted with utf16_to_utf8
  bool fire_text(const char* value);          // null reads as the empty text
  bool fire_text(std::uint32_t value);
  bool fire_text(std::uint64_t value);
  // current * 1000000 / total (64-bit, wrapping), low 32 bits. Throws std::runtime_error
  // "Math error: Attempted to divide by Zero" for total 0, leaving the event unchanged.
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

// A new event: level 0, type none, no payload.
std::shared_ptr<detail::notify_event> create(const std::string& name);

// Switches the server on for good; events fired before reach nobody.
void on();

// Subscribes a callback to every event whose whole name matches `pattern` (ECMAScript). Returns
// the subscription id (1, 2, ...), or 0 when the server is still off (nothing is registered).
// Throws std::regex_error for a bad pattern (its id is spent), std::invalid_argument for an
// empty callback, std::logic_error when called from inside a callback.
std::uint64_t subscribe(const std::string& pattern, std::function<bool(const event*)> callback);

}  // namespace kestrun::notify
