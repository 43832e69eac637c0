// The state a replay reached, kept in the storage's cache folder so that the next run replays only
// the versions stored after it. It is a cache, never the truth: it is believed only while it is
// whole, this project's and this storage's, and while the cached version file it was replayed up
// to is still the one it names; anything else makes the run replay from version 1.
//
// The file "state" of the cache folder: "KVKS", a format number (u32), the project name and the
// storage id (UTF-8, each ended by a 0 byte), the version number (u32), the 36-byte identity of
// that version's cached file, then the decompressed body of a version file ("KVCS", time,
// count, commands) holding one add command for every entry, and last the Keccak-256 digest of
// every byte before it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "vcs/state.h"

namespace kestrun::vcs {

class storage_driver;

enum class t_kept {
  none,   // nothing kept that may serve: absent, damaged, foreign or stale
  newer,  // a whole kept state of a version above the one wanted: it stays for later runs
  used,   // the kept entries went into the caller's state
};

// Whose kept state a file must be: the project name and the storage id, as UTF-8.
struct t_kept_owner {
  std::string project;
  std::string storage_id;
};

// Whether the cached version file nn still has the identity the kept state recorded.
using kept_version_check = std::function<bool(std::uint32_t nn, const std::string& identity)>;

// Reads a kept state from `file` (seekable: its size decides where the digest begins). A state of
// a version above `limit` is read through only to tell whether it is whole (newer or none). For a
// version up to `limit` that `accept` takes, every entry whose path begins with `filter` goes into
// `items` (owned by `driver`) and `nn` is set: used. Anything cut short, damaged, of another
// format, project or storage, or not accepted gives none, with `items` and `nn` left as they were.
t_kept read_kept_state(std::istream& file, const t_kept_owner& owner,
                       const std::shared_ptr<storage_driver>& driver, std::uint32_t limit,
                       const kept_version_check& accept, const std::string& filter,
                       state_items& items, std::uint32_t& nn);

// Where the kept state of the driver's storage lies: the file "state" of its cache folder.
std::filesystem::path kept_state_path(const storage_driver& driver);

// read_kept_state over the driver's own kept state. Only a state of a version up to `proven` is
// used (the newest cached version proven the storage's own, so that every cached file up to it is
// believed too), and only while the cached file of its version still has the recorded identity.
t_kept read_kept_state(const std::shared_ptr<storage_driver>& driver, std::uint32_t limit,
                       std::uint32_t proven, const std::string& filter, state_items& items,
                       std::uint32_t& nn);

// Keeps `items`, the whole state of version nn, for the driver's storage: written as a new file
// of the temporary folder and moved into place once complete, so that a reader meets the old
// kept state or the new one, whole. False (and the old one stays) when the cached version file
// nn cannot be read or the file cannot be written; that costs a later run only a longer replay.
bool write_kept_state(const storage_driver& driver, std::uint32_t nn, const state_items& items);

// Removes the driver's kept state, when there is one.
void drop_kept_state(const storage_driver& driver);

}  // namespace kestrun::vcs
