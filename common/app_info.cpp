// The command-line description and parser. Error texts are exactly those users have always seen,
// and every argument may be given once.
#include "common/app_info.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "common/text.h"
#include "platform/platform.h"

namespace kestrun {

namespace {

// Made once by app_info::init and destroyed at process exit, with its argument records.
std::shared_ptr<app_info> global_instance;

// Replaces each "{}" of `pattern` in turn by the next of `values`.
std::string format_error(const std::string& pattern, std::initializer_list<std::string> values) {
  std::string out;
  auto next = values.begin();
  std::string::size_type start = 0;
  for (;;) {
    const auto hole = pattern.find("{}", start);
    if (hole == std::string::npos || next == values.end()) break;
    out.append(pattern, start, hole - start);
    out += *next++;
    start = hole + 2;
  }
  out.append(pattern, start, std::string::npos);
  return out;
}

void pad_to(std::string& out, std::size_t length, std::size_t width) {
  if (length < width) out.append(width - length, ' ');
}

bool is_option(const std::string& name) { return !name.empty() && name.front() == '-'; }

}  // namespace

std::filesystem::path program_path() { return platform::program_path(); }

// --- declaring ---------------------------------------------------------------------------------

app_info::argument* app_info::argument::add_alias(const std::string& alias_name) {
  owner->check_name_free(alias_name);
  alias = alias_name;
  owner->by_name[alias_name] = this;
  return this;
}

app_info::argument* app_info::argument::set_default(const std::string& value) {
  default_value = value;
  has_default = true;
  return this;
}

app_info::argument* app_info::argument::set_description(const std::string& text) {
  description = text;
  return this;
}

app_info::argument* app_info::argument::add_value(const std::string& value,
                                                  const std::string& value_description) {
  allowed.emplace_back(value, value_description);
  return this;
}

app_info::argument* app_info::tool::add_argument(const std::string& name) {
  owner->check_name_free(name);
  auto record = std::make_unique<argument>();
  record->owner = owner;
  record->order = ++counter;
  record->name = name;
  argument* raw = record.get();
  owner->arguments.push_back(std::move(record));
  owner->by_name[name] = raw;
  return raw;
}

bool app_info::check_name_free(const std::string& candidate) const {
  if (by_name.count(candidate) != 0) {
    // Declaring a name twice is a fault of the declaring code, not of the user.
    throw std::runtime_error(format_error("Argument {} already defined!", {candidate}));
  }
  return true;
}

// --- the process-wide description ----------------------------------------------------------

app_info::~app_info() = default;

app_info* app_info::instance() { return global_instance.get(); }

bool app_info::init(int /*argc*/, char** /*argv*/, std::function<void(tool*)> configure) {
  if (global_instance) return false;
  global_instance = std::make_shared<app_info>();
  app_info& info = *global_instance;
  {
    tool declarations;
    declarations.owner = &info;
    if (configure) configure(&declarations);
  }
  if (info.name.empty()) info.name = program_path().stem().string();

  // The command line is read from the system, as the program was started, not from main's copy.
  const std::vector<std::string> native = platform::command_line();
  if (native.empty()) return false;
  // Bytes that are not UTF-8 become escaped units on the way through wide text, so a folder
  // name that is not valid text still reaches the program intact instead of being cut short.
  std::vector<std::string> texts;
  texts.reserve(native.size());
  for (const auto& argument_text : native) {
    texts.push_back(utf16_to_utf8(platform::wide_from_native(argument_text)));
  }
  std::vector<const char*> pointers;
  pointers.reserve(texts.size());
  for (const auto& text : texts) pointers.push_back(text.c_str());
  return info.parse(static_cast<int>(pointers.size()), pointers.data());
}

// --- parsing -------------------------------------------------------------------------------

bool app_info::parse(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string text = argv[i] != nullptr ? argv[i] : "";
    argument* record = nullptr;
    std::string value;
    if (is_option(text)) {
      // The value follows the first '=': "-s=a=b" gives "a=b".
      const auto equals = text.find('=');
      const std::string key = text.substr(0, equals);
      if (equals != std::string::npos) value = text.substr(equals + 1);
      const auto found = by_name.find(key);
      if (found == by_name.end()) {
        error = format_error("Argument '{}' is not defined", {key});
        return false;
      }
      record = found->second;
    } else {
      for (const auto& candidate : arguments) {
        if (!is_option(candidate->name) && !candidate->taken) {
          record = candidate.get();
          break;
        }
      }
      if (record == nullptr) {
        error = format_error("Argument '{}' is not defined", {text});
        return false;
      }
      record->taken = true;
      value = text;
    }
    record->values.push_back(value);
    if (record->values.size() > 1) {
      error = format_error("Argument '{}' cannot be repeated", {text});
      return false;
    }
    if (!record->allowed.empty() &&
        std::none_of(record->allowed.begin(), record->allowed.end(),
                     [&](const auto& pair) { return pair.first == value; })) {
      error = format_error("[{}] value is not possible for '{}' parameter", {value, record->name});
      return false;
    }
  }
  for (const auto& record : arguments) {
    if (!record->optional && record->values.empty() && !record->has_default) {
      error = format_error("The value of parameter '{}' is not defined", {record->name});
      return false;
    }
  }
  return true;
}

// --- reading values ------------------------------------------------------------------------

const app_info::argument* app_info::find(const std::string& key) const {
  const auto found = by_name.find(key);
  return found == by_name.end() ? nullptr : found->second;
}

bool app_info::has(const std::string& key) const {
  const argument* record = find(key);
  return record != nullptr && (!record->values.empty() || record->has_default);
}

std::string app_info::get(const std::string& key, const std::string& fallback) const {
  const argument* record = find(key);
  if (record == nullptr) return fallback;
  if (!record->values.empty()) return record->values.front();
  if (record->has_default) return record->default_value;
  return fallback;
}

int app_info::get_int(const std::string& key, int fallback) const {
  if (!has(key)) return fallback;
  std::stringstream stream;
  stream << get(key, std::string());
  // A failed extraction stores 0; an empty text leaves the fallback in place.
  int result = fallback;
  stream >> result;
  return result;
}

// --- usage text ----------------------------------------------------------------------------

std::string app_info::usage() const {
  std::string out = name + " version " + version + "\n\nUsage: " +
                    utf16_to_utf8(platform::wide_from_path(program_path().filename()));

  std::size_t option_width = 0;
  std::size_t positional_width = 0;
  bool any_option = false;
  bool any_positional = false;
  for (const auto& record : arguments) {
    if (!is_option(record->name)) continue;
    any_option = true;
    out += ' ';
    if (record->optional) out += '[';
    out += record->name;
    if (record->optional) out += ']';
    const std::size_t length =
        record->name.size() + (record->alias.empty() ? 0 : 2 + record->alias.size());
    option_width = std::max(option_width, length);
  }
  out += ' ';
  const char* separator = "";
  for (const auto& record : arguments) {
    if (is_option(record->name)) continue;
    any_positional = true;
    out += separator;
    out += record->name;
    separator = " ";
    positional_width = std::max(positional_width, record->name.size());
  }
  out += "\n\n";

  if (any_positional) {
    out += "Positional arguments:\n";
    for (const auto& record : arguments) {
      if (is_option(record->name)) continue;
      out += "  " + record->name;
      pad_to(out, record->name.size(), positional_width);
      out += " " + record->description + "\n";
      print_allowed_values(out, *record);
    }
    out += "\n";
  }
  if (any_option) {
    out += "Optional arguments:\n";
    for (const auto& record : arguments) {
      if (!is_option(record->name)) continue;
      std::string names = record->name;
      if (!record->alias.empty()) names += ", " + record->alias;
      out += "  " + names;
      pad_to(out, names.size(), option_width);
      out += " " + record->description + "\n";
      print_allowed_values(out, *record);
    }
  }
  return out;
}

void app_info::print_allowed_values(std::string& out, const argument& arg) const {
  std::size_t width = 0;
  for (const auto& [value, description] : arg.allowed) width = std::max(width, value.size());
  for (const auto& [value, description] : arg.allowed) {
    out += "    " + value;
    pad_to(out, value.size(), width);
    out += " " + description + "\n";
  }
}

}  // namespace kestrun
