// What a test needs to know about the system it runs on, asked at run time rather than compiled
// in, so that one test source serves Linux and Windows.
#pragma once

#include <filesystem>
#include <string>

namespace kestrun::test {

// True where '\' separates path elements and names ignore case (Windows).
inline constexpr bool on_windows = std::filesystem::path::preferred_separator == L'\\';

// True when this system really makes symbolic links and junctions: Wine 8 cannot, and answers
// with an error or a success that made nothing. Checked once by making one of each.
bool can_make_links();

// The reason printed by a test skipped for want of links.
inline constexpr const char* no_links = "this system cannot make symbolic links or junctions";

// Makes `link` lead to `target` as a user's tree holds one: a junction to a folder, a symbolic
// link to anything else. False, with nothing made, where this system makes no links; where it
// does, a link that cannot be made fails the test.
bool make_link(const std::filesystem::path& target, const std::filesystem::path& link);

// True when a file name that is not valid text (bytes that are not UTF-8 on POSIX, an unpaired
// surrogate on Windows) is kept as given: Wine 8 maps such a Windows name to another one.
bool keeps_invalid_names();

inline constexpr const char* no_invalid_names =
    "this system does not keep file names that are not valid text";

// The shared library `name` in `folder`, with this system's suffix (".so", ".dll").
std::filesystem::path library_file(const std::filesystem::path& folder, const std::string& name);

// The folder of the driver libraries built beside kvcs, named by KVCS_BIN; empty when unset.
std::filesystem::path driver_folder();

}  // namespace kestrun::test
