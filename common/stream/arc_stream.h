// Archive file streams: a file with either nothing (method 0, plain) or a gzip buffer (method 1)
// between it and its user. Stored file contents are written and read through them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "common/stream/binary_io.h"
#include "common/stream/gz_buffer.h"

namespace kestrun::stream::arc {

inline constexpr std::uint8_t method_plain = 0;
inline constexpr std::uint8_t method_gzip = 1;

// The zlib level of a level index: 0, 1, 5, 7, 9 for 0 to 4; zlib's default for anything else.
int zlib_level(std::uint32_t level_index);

class ofstream {
 public:
  ofstream() = default;
  virtual ~ofstream();  // closes with no callback; never throws
  ofstream(const ofstream&) = delete;
  ofstream& operator=(const ofstream&) = delete;

  // Creates or truncates the file (closing what was open before) and sets up `writer`. False
  // when the file cannot be opened, or for a method other than 0 and 1 (the file is then left
  // open and empty). A gzip coder that cannot be set up still gives true; every write then fails.
  bool open(const std::wstring& path, std::uint8_t method, std::uint32_t level_index);
  // The same for a file that must be new: false when anything already holds the name (a file
  // left there, or one that shares its data with another, such as a hard link), which is never
  // opened.
  bool open_new(const std::wstring& path, std::uint8_t method, std::uint32_t level_index);

  // Ends the gzip stream, lets `callback` (may be empty) append raw bytes to `file`, closes the
  // file and frees `writer`. True when every byte reached the file and it closed cleanly; false
  // after any failed write (a full disk, say). True when nothing was open. The gzip coder's
  // memory is kept until the stream is destroyed, so one stream that writes many files in turn
  // (the packer's) does not build a coder for each of them.
  bool close(std::function<void(stream_writer&)> callback = {});

  std::ofstream file;  // its user may write raw bytes here (before the coded data)
  std::unique_ptr<stream_writer> writer;  // null until open succeeds

 private:
  bool open_file(const std::wstring& path, std::uint8_t method, std::uint32_t level_index,
                 bool must_be_new);

  std::unique_ptr<gz::obuffer> codec;  // made by the first method 1 open, then kept
  std::unique_ptr<std::ostream> codec_stream;
};

// Opens `file` for binary output on a file it creates new and exclusively at `path`: false, with
// nothing opened, when any entry already holds the name (`ec` std::errc::file_exists) or the file
// cannot be made. What is written can then never reach another file's data through a name that
// was taken.
bool open_new_file(std::ofstream& file, const std::filesystem::path& path, std::error_code& ec);

class ifstream {
 public:
  ifstream() = default;
  virtual ~ifstream();  // closes; never throws
  ifstream(const ifstream&) = delete;
  ifstream& operator=(const ifstream&) = delete;

  // Sets up `reader` on `file`, which its user has opened (binary) and positioned at the first
  // coded byte. False for a method other than 0 and 1, or when `file` is not open. Corrupt or
  // truncated gzip data set the bad flag of the reader's stream.
  bool open(std::uint8_t method);

  // Closes `file` and frees `reader`.
  void close();

  std::ifstream file;
  std::unique_ptr<stream_reader> reader;  // null until open succeeds

 private:
  std::unique_ptr<gz::ibuffer> codec;  // method 1 only
  std::unique_ptr<std::istream> codec_stream;
};

}  // namespace kestrun::stream::arc
