// The storage link's own rules. The password mask reads a link by the grammar the FTP driver
// reads it with, so that what the driver takes for a password is what the log never shows.
#include "vcs/storage_link.h"

#include <cstdint>
#include <sstream>

#include "common/text.h"
#include "drivers/ftp/url.h"
#include "platform/platform.h"

namespace kestrun::vcs {

t_link_parts split_link(const std::wstring& link) {
  const std::size_t separator = link.find(L"://");
  if (separator == std::wstring::npos) return {L"fs", utf16_to_utf8(link)};
  return {link.substr(0, separator), utf16_to_utf8(link.substr(separator + 3))};
}

std::wstring storage_id(const std::wstring& link) {
  // The hash runs over UTF-16 little-endian bytes whatever the width of wchar_t, so that a link
  // keeps its cache folder on every platform.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char16_t unit : platform::utf16_units(link)) {
    for (const unsigned byte : {unsigned{unit} & 0xFFu, unsigned{unit} >> 8}) {
      hash ^= byte;
      hash *= 0x100000001b3ULL;
    }
  }
  std::wostringstream text;
  text << std::hex << hash;
  return text.str();
}

namespace {

// Where the password of a link that the FTP driver takes as written begins, `end` just past it;
// `end` itself when such a link has a user part without a password. npos when the driver would
// not take the text after "://" (at `start`) as written, or it has no user part.
std::size_t password_as_written(const std::wstring& link, std::size_t start, std::size_t& end) {
  // The driver is given what follows "://" and reads it as an FTP link.
  const std::wstring rest = link.substr(start);
  url parts;
  if (!parts.parse(L"ftp://" + rest) || !parts.meant_as_written()) return std::wstring::npos;
  const std::size_t user = parts.get("username", L"").size();
  const bool with_password = parts.parts().count("password") != 0;
  const std::size_t password = with_password ? parts.get("password", L"").size() : 0;
  // The user part ends in the '@' before the host: a match with no user part has none there.
  const std::size_t at = user + (with_password ? 1 + password : 0);
  if (at >= rest.size() || rest[at] != L'@') return std::wstring::npos;
  if (!with_password) {
    end = start + user;
    return end;
  }
  end = start + at;
  return start + user + 1;
}

}  // namespace

std::wstring masked_link(const std::wstring& link) {
  const std::size_t separator = link.find(L"://");
  if (separator == std::wstring::npos) return link;
  const std::size_t start = separator + 3;
  std::size_t end = 0;
  const std::size_t password = password_as_written(link, start, end);
  if (password != std::wstring::npos) {
    if (password == end) return link;
    return link.substr(0, password) + L"***" + link.substr(end);
  }
  // A link its driver refuses is shown as well, and its password may hold any character, '/',
  // '@' and ':' included. So it is taken to run from the first ':' after "://" to the last '@',
  // unless the text before that ':' cannot be a user name (it holds '/', '?' or '#': the ':' and
  // '@' then lie in a path). When in doubt more is hidden (the port and path of "host:21/a@b"),
  // never less.
  const std::size_t at = link.rfind(L'@');
  if (at == std::wstring::npos || at < start) return link;
  const std::size_t colon = link.find(L':', start);
  if (colon == std::wstring::npos || colon > at) return link;
  if (link.find_first_of(L"/?#", start) < colon) return link;
  return link.substr(0, colon + 1) + L"***" + link.substr(at);
}

}  // namespace kestrun::vcs
