// One JSON value loaded from a settings text ("storages.json", the project file). The holder only
// loads and answers whether a key is present; callers read the value itself.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kestrun {

class params {
 public:
  params() = default;
  virtual ~params();

  // Parses the whole UTF-8 text as strict JSON (no comments, nothing but white space after the
  // value) and keeps it. False for an empty text or one that is not JSON; the value held before
  // then stays as it was.
  [[nodiscard]] bool load(const std::string& text);

  // True when the held value is an object with a member named exactly `key`; false for any
  // other kind of value.
  bool contains(const std::string& key) const;

  // The loaded value, null until a load succeeds. Reading a member of the wrong kind throws the
  // JSON library's type_error; that is left to the caller.
  nlohmann::json value;
};

}  // namespace kestrun
