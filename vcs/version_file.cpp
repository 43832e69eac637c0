// Reading and writing of version files. The reader trusts nothing: a stored version may be
// damaged or hostile, and its paths later decide where a restore writes.
#include "vcs/version_file.h"

#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "common/stream/arc_stream.h"
#include "common/stream/binary_io.h"
#include "common/stream/gz_buffer.h"
#include "platform/platform.h"
#include "vcs/compression_policy.h"
#include "vcs/safe_path.h"
#include "vcs/state_item.h"

namespace kestrun::vcs {

namespace {

constexpr char magic[4] = {'K', 'V', 'C', 'S'};

// gmtime and localtime share one static result; each call's result is copied at once.
std::int64_t local_reading_of_utc(std::int64_t t) {
  const std::time_t value = static_cast<std::time_t>(t);
  const std::tm* broken = std::gmtime(&value);
  if (broken == nullptr) return t;
  std::tm copy = *broken;  // tm_isdst stays 0: the zone's standard offset applies
  const std::time_t result = std::mktime(&copy);
  return result == static_cast<std::time_t>(-1) ? t : static_cast<std::int64_t>(result);
}

std::int64_t local_round_trip(std::int64_t t) {
  const std::time_t value = static_cast<std::time_t>(t);
  const std::tm* broken = std::localtime(&value);
  if (broken == nullptr) return t;
  std::tm copy = *broken;
  const std::time_t result = std::mktime(&copy);
  return result == static_cast<std::time_t>(-1) ? t : static_cast<std::int64_t>(result);
}

}  // namespace

std::uint64_t to_version_time(std::int64_t t) {
  return static_cast<std::uint64_t>(local_reading_of_utc(t));
}

std::int64_t from_version_time(std::uint64_t stored) {
  const auto s = static_cast<std::int64_t>(stored);
  return s + (local_round_trip(s) - local_reading_of_utc(s));
}

bool write_version_header(stream_writer& writer, std::int64_t time, std::uint32_t count) {
  std::int32_t length = sizeof magic;
  if (!writer.write(magic, length)) return false;
  const std::uint64_t stored = to_version_time(time);
  if (!writer.write_u64(stored)) return false;
  return writer.write_u32(count);
}

bool write_version_command(stream_writer& writer, const transform_command& command) {
  const std::uint8_t type = command.type();
  if (!writer.write_u8(type)) return false;
  if (!writer.write_string(*command.path())) return false;
  if (type != transform_command::add) return true;
  // An add without its item could not be read back.
  const auto& item = command.item();
  if (!item) return false;
  const auto item_type = static_cast<std::uint8_t>(item->type());
  if (!writer.write_u8(item_type)) return false;
  return item->write(writer);
}

version_file_writer::version_file_writer() : out_(std::make_unique<stream::arc::ofstream>()) {}

version_file_writer::~version_file_writer() = default;

bool version_file_writer::open(const std::filesystem::path& path, std::int64_t time,
                               std::uint32_t count) {
  return start(
      out_->open(platform::wide_from_path(path), stream::arc::method_gzip, level_index_best), time,
      count);
}

bool version_file_writer::open_new(const std::filesystem::path& path, std::int64_t time,
                                   std::uint32_t count) {
  return start(
      out_->open_new(platform::wide_from_path(path), stream::arc::method_gzip, level_index_best),
      time, count);
}

bool version_file_writer::start(bool opened, std::int64_t time, std::uint32_t count) {
  return opened && write_version_header(*out_->writer, time, count);
}

bool version_file_writer::write(const transform_command& command) {
  return out_->writer && write_version_command(*out_->writer, command);
}

bool version_file_writer::close() {
  // Closing ends the gzip stream; a file whose end did not reach the disk is no version file.
  return out_->close();
}

bool write_version_file(const std::filesystem::path& path, std::int64_t time,
                        const transform_commands& commands) {
  version_file_writer out;
  bool ok = out.open(path, time, static_cast<std::uint32_t>(commands.size()));
  for (const auto& command : commands) {
    if (!ok) break;
    ok = out.write(*command);
  }
  return out.close() && ok;
}

namespace {

// The scan leaves the work folder out, so no honest version names it; a hostile one must not
// make a restore write into the cache or the temporary folder.
bool is_command_path(const std::string& path) {
  return is_safe_stored_path(path) && !names_work_folder(path);
}

}  // namespace

bool fits_system_path(const std::string& path) {
  if (path.size() > max_stored_path_bytes) return false;
  // Every UTF-16 unit takes at least one byte of UTF-8.
  if (!utf16_paths || path.size() <= max_path_units) return true;
  return platform::utf16_units(platform::wide_from_native(path)).size() <= max_path_units;
}

bool read_version(std::istream& in, const std::shared_ptr<storage_driver>& owner,
                  std::int64_t& time, const command_sink& apply) {
  stream_reader reader(in);
  char head[sizeof magic];
  if (!reader.read(head, sizeof head) || std::memcmp(head, magic, sizeof magic) != 0) return false;
  std::uint64_t stored = 0;
  if (!reader.read_u64(stored)) return false;
  time = from_version_time(stored);
  std::uint32_t count = 0;
  if (!reader.read_u32(count)) return false;

  // No room is reserved from the count, and no command is kept here: a hostile count or a
  // file of millions of commands must cost no more than what `apply` keeps of them.
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t type = 0;
    if (!reader.read_u8(type)) return false;
    auto path = std::make_shared<std::string>();
    // A path no system could hold is refused before its bytes pile up.
    if (!reader.read_string(*path, max_stored_path_bytes) || !fits_system_path(*path)) {
      return false;
    }
    if (type != transform_command::add) {
      if (!is_command_path(*path)) return false;
      apply(std::make_shared<transform_command>(type, std::move(path)));
      continue;
    }
    std::uint8_t item_type = 0;
    if (!reader.read_u8(item_type)) return false;
    std::shared_ptr<state_item> item;
    switch (item_type) {
      case 'D':
        item = std::make_shared<state_item_dir>(owner, path);
        break;
      case 'F':
        item = std::make_shared<state_item_file>(owner, path, reader);
        break;
      case 'L': {
        // The item reads its target with the same bound and fails the stream past it.
        auto link = std::make_shared<state_item_link>(owner, path, reader);
        if (in.good() &&
            (!is_safe_stored_path(link->target()) || !fits_system_path(link->target()))) {
          return false;
        }
        item = std::move(link);
        break;
      }
      default:
        // An add without an item has nothing to add; the writer never makes one.
        return false;
    }
    // A body cut short leaves the item incomplete, also in the last command. The item has
    // turned the name's separators into '/', so the path is judged in its stored form.
    if (!in.good() || !is_command_path(*path)) return false;
    apply(std::make_shared<transform_command>(type, std::move(path), std::move(item)));
  }
  // The stream must end right here: only its end proves the file whole (a gzip stream checks
  // its length and CRC-32 there), and bytes beyond the last command belong to no version.
  return in.peek() == std::istream::traits_type::eof() && !in.bad();
}

namespace {

command_sink appending_to(transform_commands& commands) {
  return [&commands](const std::shared_ptr<transform_command>& c) { commands.push_back(c); };
}

}  // namespace

bool read_version(std::istream& in, const std::shared_ptr<storage_driver>& owner,
                  std::int64_t& time, transform_commands& commands) {
  return read_version(in, owner, time, appending_to(commands));
}

bool read_version_file(std::istream& file, const std::shared_ptr<storage_driver>& owner,
                       std::int64_t& time, const command_sink& apply) {
  stream::gz::ibuffer codec(file);
  std::istream in(&codec);
  return read_version(in, owner, time, apply);
}

bool read_version_file(std::istream& file, const std::shared_ptr<storage_driver>& owner,
                       std::int64_t& time, transform_commands& commands) {
  return read_version_file(file, owner, time, appending_to(commands));
}

}  // namespace kestrun::vcs
