// Splits a storage link (scheme, user name and password, host, port, path, query, fragment) into
// named parts by one fixed grammar (see url.cpp); the FTP driver reads its link through it.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace kestrun {

class url {
 public:
  virtual ~url() = default;

  // Links longer than this are refused: no storage link needs more, and the text comes from users.
  static constexpr std::size_t max_length = 8192;

  // True when the whole text matches and is no longer than max_length. The parts that took part
  // in the match are stored under "url", "shema", "username", "password", "host", "port", "path",
  // "query" and "fragment"; a part that took no part is absent. No match leaves no part at all.
  bool parse(std::wstring text);

  // The stored part (also when its text is empty), else `default_value`.
  std::wstring get(const std::string& key, std::wstring default_value) const;

  const std::map<std::string, std::wstring>& parts() const { return parts_; }

  // Whether the parts of the last match are the ones its writer meant: a host without '@', and no
  // path or one that starts with '/'. A user part that the grammar cannot take whole (a password
  // holding '/', '?', '#', ':', '@' or '.', say) does not stop the match: the grammar then reads
  // the text before it as the host and the rest as a path that does not start with '/', or takes
  // a host that holds an '@'. False when nothing matched.
  bool meant_as_written() const;

 private:
  std::map<std::string, std::wstring> parts_;
};

}  // namespace kestrun
