// The restore branch of transform::save: applies a stored version's difference to the folder.
#pragma once

namespace kestrun::vcs {

class transform;

// Applies `t` (a transform whose driver is local) to the project folder. First every new file
// content is downloaded and proven into the project's temporary folder; nothing in the folder
// changes before that, and nothing at all when the storage cannot be reached for the contents.
// Then, in command order: entries the version lacks are removed, folders made (one that already
// stands satisfies its addition), each file moved over its old one in one step; links last, each
// after the link it leads to, a link to a missing target made all the same. The root's project
// file is never removed or changed. An entry that cannot be changed (not fetched or not proven,
// not removable, a folder holding entries the version does not manage, something in the way, a
// link that cannot be made, a path through a link) stays as it was with a level-1 warning
// "{entry}: {reason}" ("kestrun::vcs::file::download", "kestrun::vcs::file::unpack",
// "kestrun::vcs::file::remove", "kestrun::vcs::folder::create", "kestrun::vcs::file::write::open",
// "kestrun::vcs::link::create"), and the rest goes on. A version holding a path that could leave
// the project changes nothing. Fires the download, unpack and link progress, and finally
// "kestrun::vcs::save" with the text "local": level 0 when the folder is the version, 2
// otherwise. Throws, before anything in the folder changes, std::system_error when a stored path
// or link target is not valid UTF-8, and std::filesystem::filesystem_error when the project's
// temporary folder cannot be opened for the contents.
bool apply_restore(transform& t);

}  // namespace kestrun::vcs
