// The JSON settings holder: strict parsing, with a failed load leaving the held value untouched.
#include "common/params.h"

#include <exception>

namespace kestrun {

params::~params() = default;

bool params::load(const std::string& text) {
  if (text.empty()) return false;
  try {
    auto parsed = nlohmann::json::parse(text, nullptr, true, false);
    value.swap(parsed);
    return true;
  } catch (const std::exception&) {
    // A text that is not JSON is an expected outcome for a settings file; the caller decides.
    return false;
  }
}

bool params::contains(const std::string& key) const {
  return value.is_object() && value.find(key) != value.end();
}

}  // namespace kestrun
