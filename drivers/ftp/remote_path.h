// Paths on the FTP server as plain '/'-separated text. Names there follow the server's rules, not
// the local system's: no '\' separator, no drive or root names, on every platform.
#pragma once

#include <string>
#include <string_view>

namespace kestrun::net::ftp {

// `path` lexically normal: runs of '/' made one, "." elements dropped, ".." taking away the element
// before it (and none above the root), no '/' at the end but for the root "/" itself. A relative
// path keeps the ".." that nothing is left to take away, and becomes "." when nothing else is left.
std::wstring remote_normal(std::wstring_view path);

// The folder that holds `path`: the text before its last '/' ("/" for an entry of the root), the
// root "/" itself for the root, and empty for a path without '/'.
std::wstring remote_parent(std::wstring_view path);

// The first folder of `path` below `base` (both normal and absolute): `base` and the first element
// of the rest, when `path` lies at least two levels below it; empty otherwise.
std::wstring first_folder_below(std::wstring_view base, std::wstring_view path);

// `path` as every command carries it: UTF-8, which gives back the bytes the driver was handed.
std::string wire_path(std::wstring_view path);

}  // namespace kestrun::net::ftp
