// One version seen as a change: an ordered list of add and remove commands with the storage it
// belongs to, its number and its save time. Made by the difference or loaded from a version file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrun::vcs {

class state_item;
class storage_driver;

class transform_command {
 public:
  static constexpr std::uint8_t add = 'A';
  static constexpr std::uint8_t remove = 'R';

  transform_command(std::uint8_t type, std::shared_ptr<std::string> path);
  transform_command(std::uint8_t type, std::shared_ptr<std::string> path,
                    std::shared_ptr<state_item> item);
  virtual ~transform_command();

  std::uint8_t type() const { return type_; }
  // Shared with the states the command came from: the same key as in a state's map.
  const std::shared_ptr<std::string>& path() const { return path_; }
  // The added item; empty for a removal.
  const std::shared_ptr<state_item>& item() const { return item_; }

 private:
  std::uint8_t type_;
  std::shared_ptr<std::string> path_;
  std::shared_ptr<state_item> item_;
};

using transform_commands = std::vector<std::shared_ptr<transform_command>>;

class transform {
 public:
  // For loading: no commands; the time is set by load.
  transform(std::shared_ptr<storage_driver> driver, std::uint32_t nn);
  // For a new version: the command pointers are copied, the time is now.
  transform(std::shared_ptr<storage_driver> driver, std::uint32_t nn,
            const transform_commands& commands);
  virtual ~transform();
  transform(const transform&) = delete;
  transform& operator=(const transform&) = delete;

  // Fills this transform with version nn of the driver's storage. A version not yet in the local
  // cache is fetched and enters the cache only once it has been read in full; a cached file is
  // never fetched again. False when the driver cannot connect, the storage lacks the version, the
  // download fails, or the file is unreadable, foreign, cut short or damaged (its gzip stream must
  // end, with a good trailer, right after the last command), or holds a path in the work folder,
  // a path or link target that could leave the project root (empty, absolute, or an empty, "."
  // or ".." element) or an add without an item. Fires
  // "kestrun::vcs::load" with level 0 or 2 and nn as text. A failed load may leave commands
  // read so far; discard the transform. Throws filesystem_error ("exists") when the cache path's
  // status cannot be read.
  [[nodiscard]] bool load(std::uint32_t nn);
  // The same, but each command goes to `apply` as soon as it is read and none is kept in the
  // transform: memory follows what `apply` keeps, not the number of commands in the file.
  [[nodiscard]] bool load(
      std::uint32_t nn,
      const std::function<void(const std::shared_ptr<transform_command>&)>& apply);

  // What the local cache holds of a version, measured against the storage.
  enum class t_cached { absent, same, fetched_again, failed };
  // Whether the cached file of version nn is still the storage's own: the stored file is
  // downloaded into a temporary file and compared byte for byte. Different: the stored file,
  // once read through whole, replaces the cached one (fetched_again, with the warning
  // "kestrun::vcs::cache::stale" and nn as text); absent from the storage: the cached file is
  // removed (absent, as when nothing was cached). failed when the storage could not be asked or
  // its file could not be fetched or read; the cached file then stays as it was. Nothing cached:
  // absent, without a connection. Throws filesystem_error ("exists") when the cache path's status
  // cannot be read.
  static t_cached check_cached(const std::shared_ptr<storage_driver>& driver, std::uint32_t nn);

  // Stores the transform as a new version (a storage driver) or applies it to the project
  // folder (a local driver). Defined with the save and the restore.
  [[nodiscard]] bool save();

  transform_commands& commands() { return commands_; }
  const transform_commands& commands() const { return commands_; }
  std::uint32_t nn() const { return nn_; }
  std::int64_t time() const { return time_; }
  const std::shared_ptr<storage_driver>& driver() const { return driver_; }

  // The folder's state behind the transform lacked what could not be read: the save still does
  // all it can, and then reports failure.
  void mark_incomplete() { incomplete_ = true; }
  bool incomplete() const { return incomplete_; }

 private:
  std::uint32_t nn_;
  std::shared_ptr<storage_driver> driver_;
  std::int64_t time_ = 0;
  transform_commands commands_;
  bool incomplete_ = false;
};

}  // namespace kestrun::vcs
