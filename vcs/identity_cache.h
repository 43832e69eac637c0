// What earlier backups learned of the project's files, kept in the work folder for the next run:
// a stored path with its size and modification time, and the content identity that went with
// them. A file touched but not changed keeps the stored version's older time, so every backup
// would read it again to find it unchanged; with this record only the first one after the touch
// does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun::vcs {

class project;
class state;

class identity_cache {
 public:
  struct t_entry {
    std::string path;  // stored form: UTF-8, '/'-separated, below the project root
    std::uint64_t size = 0;
    std::int64_t time = 0;  // Unix seconds, as the scan gives them
    std::string identity;   // 36 bytes

    bool operator==(const t_entry&) const = default;
  };

  // The file ".k-vcs/identities" of the project root.
  static std::filesystem::path file_of(const project& proj);
  // The text a cache file is bound to: another project's file (or this project's file under
  // another root) is not believed.
  static std::string owner_of(const project& proj);

  // An empty cache of `owner`, for a run that began at `now` (Unix seconds): no file this run
  // reads can have been changed before that second ended, so only entries older than it can be
  // trusted by a later run.
  identity_cache(std::string owner, std::int64_t now);

  // Reads the project's cache file, noting the clock first. A missing, unreadable, damaged,
  // truncated or foreign file gives an empty cache: the run then reads what it needs, as
  // without any cache.
  static identity_cache load(const project& proj);

  // Takes the bytes of a cache file; false (and nothing believed) unless every check holds: the
  // magic, the format version, the checksum over the whole file, the owner, each entry whole
  // and in ascending path order.
  bool parse(std::string_view bytes);
  // The bytes of a cache file holding `entries` (ascending, each older than this run's start).
  std::string serialize(const std::vector<t_entry>& entries) const;

  // Gives every file of the scanned state whose path, size and time match a trusted entry that
  // entry's identity, so the comparison need not read it. The count of files so given.
  std::size_t fill(const state& scanned) const;

  // What the next run may trust, from a backup whose result is `scanned` against `stored`: the
  // files the comparison found unchanged although their time differs from the stored one (the
  // only ones a later comparison must read again), each older than this run's start.
  std::vector<t_entry> learned(const state& scanned, const state& stored) const;

  // Replaces the project's cache file by one that holds `entries`: written under a new name of
  // its own beside it and moved over it once whole, so a reader never sees a file cut short and
  // no existing file is written through. Nothing is written when the file already holds exactly
  // these entries. False when it could not be written (the run loses nothing by that).
  bool keep(const project& proj, const std::vector<t_entry>& entries) const;

  // Removes the project's cache file, for a run whose outcome it may no longer reflect.
  static void forget(const project& proj);

  const std::vector<t_entry>& entries() const { return entries_; }
  std::int64_t learned_before() const { return learned_before_; }

 private:
  std::string owner_;
  std::int64_t now_;
  std::int64_t learned_before_ = 0;  // the start of the run that wrote the loaded file
  bool present_ = false;             // a file stood there, believed or not
  bool believed_ = false;
  std::vector<t_entry> entries_;
};

}  // namespace kestrun::vcs
