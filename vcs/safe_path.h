// Where a stored '/'-separated path lies in the project folder. A damaged or foreign version file
// must not make a restore write or remove anything outside the project root.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrun::vcs {

// The project root joined with the stored path. Empty when the stored path could lead outside the
// root: empty, absolute, holding an empty, "." or ".." element, or passing through a symbolic
// link, junction or other reparse point that exists below the root. The last element itself may
// be a link. Throws std::system_error when the stored path is not valid UTF-8.
std::optional<std::filesystem::path> safe_local_path(const std::filesystem::path& root,
                                                     const std::string& stored);

// The strict conversion of a stored UTF-8 name to a path: throws std::system_error
// (illegal_byte_sequence) for text that is not valid UTF-8, never replaces a character.
std::filesystem::path path_from_utf8_strict(const std::string& text);

}  // namespace kestrun::vcs
