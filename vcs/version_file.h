// The stored form of a transform: a bare gzip stream holding "KVCS", the save time, the command
// count and the commands. The backup save writes it piece by piece; the load hands each command
// on as soon as it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <memory>

#include "vcs/transform.h"

namespace kestrun {
class stream_writer;
}

namespace kestrun::stream::arc {
class ofstream;
}

namespace kestrun::vcs {

class storage_driver;

// The value stored for the save time t: t broken down as UTC and read back as local time, so t
// plus the zone's standard offset west of UTC.
std::uint64_t to_version_time(std::int64_t t);
// The inverse on a machine in the same time zone as the writer.
std::int64_t from_version_time(std::uint64_t stored);

// Writes the 16 header bytes. False as soon as a write leaves the stream not good.
bool write_version_header(stream_writer& writer, std::int64_t time, std::uint32_t count);

// Writes one command: type byte, path and its 0 byte, and for an add the item's type character
// and body (a local file item computes its identity here). False as soon as a write fails.
bool write_version_command(stream_writer& writer, const transform_command& command);

// A version file written one command at a time (gzip, zlib level 9), so that its caller can do
// its own work between commands and never holds more than the command at hand. The file is
// complete only when open, every write and close returned true.
class version_file_writer {
 public:
  version_file_writer();
  ~version_file_writer();  // a file not closed is left cut short
  version_file_writer(const version_file_writer&) = delete;
  version_file_writer& operator=(const version_file_writer&) = delete;

  // Creates or truncates the file at `path` and writes the header for `count` commands. False
  // when the file cannot be opened or the header not written.
  bool open(const std::filesystem::path& path, std::int64_t time, std::uint32_t count);
  // The same for a file that must be new: false, with nothing opened, when the name is taken.
  bool open_new(const std::filesystem::path& path, std::int64_t time, std::uint32_t count);
  // Writes one command (see write_version_command). False as soon as a write fails.
  bool write(const transform_command& command);
  // Ends the gzip stream and closes the file: false when a byte did not reach the disk. True
  // when nothing was open.
  bool close();

 private:
  bool start(bool opened, std::int64_t time, std::uint32_t count);

  std::unique_ptr<stream::arc::ofstream> out_;
};

// Writes a whole version file at `path` (gzip, zlib level 9). False when the file cannot be
// opened or a write fails; the file is complete only on true.
bool write_version_file(const std::filesystem::path& path, std::int64_t time,
                        const transform_commands& commands);

// The longest stored path or link target that a version holds: where paths are UTF-16 (Windows)
// the system's own limit of 32,767 units, which UTF-8 writes in at most three bytes each; where
// paths are bytes, 32,767 bytes. There no file system limits a whole path (4,096 bytes is only
// what one call takes, and the scan reaches deeper entries through their folders), so the bound
// only keeps a damaged or hostile version file from making a run read without end.
inline constexpr bool utf16_paths = sizeof(std::filesystem::path::value_type) > 1;
inline constexpr std::size_t max_path_units = 32767;
inline constexpr std::size_t max_stored_path_bytes =
    utf16_paths ? 3 * max_path_units : max_path_units;

// Whether a stored path or link target (UTF-8) is short enough for the system to hold.
bool fits_system_path(const std::string& path);

// Receives each command of a version file as it is read.
using command_sink = std::function<void(const std::shared_ptr<transform_command>&)>;

// Reads the decompressed bytes of a version file from `in` and hands every command to `apply`
// the moment it is read, so that what the file costs in memory is what `apply` keeps, however
// many commands it holds. Items get `owner` as their driver. False for a wrong magic, data
// ending early, an unsafe path or link target, one longer than the system can hold, a path in
// the work folder, an add whose item type is unknown, or anything but the end of `in` after the
// last command (over a gzip buffer the end is reached only when the trailer checks); the
// commands handed on before the failure stay handed on.
bool read_version(std::istream& in, const std::shared_ptr<storage_driver>& owner,
                  std::int64_t& time, const command_sink& apply);
// The same, appending every command to `commands`.
bool read_version(std::istream& in, const std::shared_ptr<storage_driver>& owner,
                  std::int64_t& time, transform_commands& commands);

// read_version over the gzip stream that `file` holds (a version file as stored).
bool read_version_file(std::istream& file, const std::shared_ptr<storage_driver>& owner,
                       std::int64_t& time, const command_sink& apply);
bool read_version_file(std::istream& file, const std::shared_ptr<storage_driver>& owner,
                       std::int64_t& time, transform_commands& commands);

}  // namespace kestrun::vcs
