// Fixed-width little-endian values, raw bytes and zero-terminated strings on standard streams:
// the byte layout of version files and stored file headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

namespace kestrun {

// Writes to `out` (not owned; must outlive the writer). Each write returns true when the state
// of `out` is clean afterwards; nothing throws unless `out` has exceptions enabled.
class stream_writer {
 public:
  explicit stream_writer(std::ostream& target) : out(&target) {}
  virtual ~stream_writer() = default;

  bool write(const void* data, const std::int32_t& count);  // false for a negative count
  bool write_u8(const std::uint8_t& value);
  bool write_u32(const std::uint32_t& value);  // least significant byte first
  bool write_u64(const std::uint64_t& value);
  bool write_string(const std::string& s);  // its bytes, then one 0 byte

  std::ostream* out;
};

// Reads from `in` (not owned; must outlive the reader). Each read returns true when the state of
// `in` is clean afterwards, so a value cut short by the end of the data is a failed read.
class stream_reader {
 public:
  explicit stream_reader(std::istream& source) : in(&source) {}
  virtual ~stream_reader() = default;

  bool read(void* data, const std::int32_t& count);  // false for a negative count
  bool read_u8(std::uint8_t& value);
  bool read_u32(std::uint32_t& value);  // least significant byte first
  bool read_u64(std::uint64_t& value);
  bool read_string(std::string& s);  // up to and without the 0 byte; false when none comes
  // The same, but false (with the stream's failbit set) as soon as more than `max_length` bytes
  // come before the 0 byte: a hostile stream cannot make one string of all its bytes.
  bool read_string(std::string& s, std::size_t max_length);

  std::istream* in;
};

}  // namespace kestrun
