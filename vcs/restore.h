// The restore branch of transform::save: applies a stored version's difference to the folder.
#pragma once

namespace kestrun::vcs {

class transform;

// Applies `t` (a transform whose driver is local) to the project folder: folders are created and
// entries removed in command order, then the files are downloaded and unpacked with their
// modification times, then links and junctions are made. Stops at the first failure (a folder
// already there, an entry that cannot be removed, a download or unpack failure). A removal
// refused with access denied ("kestrun::vcs::file::remove", level 1) and a file whose target
// cannot be written ("kestrun::vcs::file::write::open", level 1) are skipped and the rest goes
// on, but the final event is then the failure; a link that cannot be made only warns
// ("kestrun::vcs::link::create", level 1). Never touches anything outside the project root:
// a path that would lead there fails the restore. Fires "kestrun::vcs::file::download" (a
// notify_file payload) and its progress, the packer's events, "kestrun::vcs::link::create"
// progress, and finally "kestrun::vcs::save" with level 0 or 2 and the text "local". Throws
// std::filesystem::filesystem_error ("create_directory") when a folder cannot be created for
// another reason than being there already.
bool apply_restore(transform& t);

}  // namespace kestrun::vcs
