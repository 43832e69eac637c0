// Symbolic links and junctions: reading their targets and creating them. A junction is Windows'
// link to a folder; elsewhere it is a symbolic link whose stored target is the folder's path.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace kestrun::filesystem {

// The target of a symbolic link or junction as its text, or the path itself for any other entry;
// empty when a link cannot be read. `status` receives the entry's own status (links not
// followed; not_found for a missing path). A status that cannot be determined at all gives
// file_type::none and empty text; nothing is thrown.
std::wstring link_target(const std::filesystem::path& path, std::filesystem::file_status& status);

// The folder a junction leads to, as stored; empty on any failure (not a link among them).
std::wstring read_junction(const std::filesystem::path& path);

// Makes `link` lead to `target` (the caller passes an absolute target): a junction when the
// target is a folder or leads to one, a symbolic link otherwise, also when the target is missing
// (a link is only its text, and a file link is what a target of unknown kind gets). False with
// `ec` when the link cannot be made (an entry already at `link` is left alone; a system that
// reports a link it did not make gives false too). Throws std::filesystem::filesystem_error
// ("exists") when the target's status cannot be determined for another reason than its absence.
bool create_link(const std::filesystem::path& target, const std::filesystem::path& link,
                 std::error_code& ec);
bool create_link(const std::filesystem::path& target, const std::filesystem::path& link);

// Makes `link` a new junction to `target`, whose text is stored unchanged. False when it cannot
// be made: an entry already at `link` is left alone and nothing is left behind. The target need
// not exist.
bool create_junction(const std::filesystem::path& target, const std::filesystem::path& link);

// Enables the privilege that writing and reading junctions need; true when the system agreed, and
// where there is no such privilege.
bool enable_privilege();

}  // namespace kestrun::filesystem
