// The backup branch of transform::save: writes the transform as the storage's next version.
#pragma once

namespace kestrun::vcs {

class transform;

// Stores `t` (a transform whose driver is a storage) as version t.nn(): refused unless that is
// the storage's last version + 1. Writes the version file into a temporary file, packs and
// uploads every file content the storage lacks (once per content, each packed file removed once
// stored, before the next is packed), and uploads the version file last, only after every blob
// is stored: a failure leaves at most unreferenced blobs behind.
// Fires "kestrun::vcs::command::write" progress, the packer's events, "kestrun::vcs::file::upload"
// (a notify_file payload, level 2 for a refused upload) and its progress, and finally
// "kestrun::vcs::save" with level 0 or 2 and nn as text. True when the version was stored.
// Throws what the packer and the temporary folder throw (std::filesystem::filesystem_error).
bool save_backup(transform& t);

}  // namespace kestrun::vcs
