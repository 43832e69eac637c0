// Where a stored '/'-separated path lies in the project folder. A damaged or foreign version file
// must not make a restore write or remove anything outside the project root.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrun::vcs {

// A stored path is safe when it is not empty, not absolute, and none of its '/'-separated
// elements is empty, "." or "..": joined to the project root it stays below it.
bool is_safe_stored_path(const std::string& path);

// Whether a stored path lies in the work folder: its first element is ".k-vcs". The scan and
// the reader apply this one rule; a ".k-vcs" deeper down is ordinary content.
bool names_work_folder(std::string_view path);

// Turns the separators of a UTF-8 path into '/': '\' too where the platform takes it as one.
// Names and link targets are stored and judged in this form.
void separators_to_generic(std::string& text);

// The stored path as a path relative to the project root. Empty when it is not safe (see
// is_safe_stored_path) or would still be rooted; throws std::system_error when a safe one is not
// valid UTF-8.
std::optional<std::filesystem::path> safe_relative_path(const std::string& stored);

// The project root joined with the stored path. Empty when the stored path could lead outside the
// root: empty, absolute, holding an empty, "." or ".." element, or passing through a symbolic
// link, junction or other reparse point that exists below the root. The last element itself may
// be a link. Throws std::system_error when a stored path that is otherwise safe is not valid UTF-8.
std::optional<std::filesystem::path> safe_local_path(const std::filesystem::path& root,
                                                     const std::string& stored);

// The strict conversion of a stored UTF-8 name to a path: throws std::system_error
// (illegal_byte_sequence) for text that is not valid UTF-8, never replaces a character.
std::filesystem::path path_from_utf8_strict(const std::string& text);

}  // namespace kestrun::vcs
