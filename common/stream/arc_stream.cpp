// Archive file streams. The streams write and read no method byte themselves: the packer puts
// it in front of the coded data, through `file`.
#include "common/stream/arc_stream.h"

#include <algorithm>
#include <utility>

#include <zlib.h>

#include "platform/platform.h"

namespace kestrun::stream::arc {

int zlib_level(std::uint32_t level_index) {
  switch (level_index) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return 5;
    case 3:
      return 7;
    case 4:
      return 9;
    default:
      return Z_DEFAULT_COMPRESSION;
  }
}

ofstream::~ofstream() {
  // A destructor may not throw; a caller that cares about the outcome calls close itself.
  try {
    close();
  } catch (...) {
  }
}

bool open_new_file(std::ofstream& file, const std::filesystem::path& path, std::error_code& ec) {
  if (!platform::create_new_file(path, ec)) return false;
  // Opened for update, not created or truncated: the file is the one just made.
  file.open(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file.is_open()) ec = std::make_error_code(std::errc::io_error);
  return file.is_open();
}

bool ofstream::open(const std::wstring& path, std::uint8_t method, std::uint32_t level_index) {
  return open_file(path, method, level_index, false);
}

bool ofstream::open_new(const std::wstring& path, std::uint8_t method, std::uint32_t level_index) {
  return open_file(path, method, level_index, true);
}

bool ofstream::open_file(const std::wstring& path, std::uint8_t method, std::uint32_t level_index,
                         bool must_be_new) {
  close();
  file.clear();
  const std::filesystem::path native = platform::path_from_wide(path);
  if (must_be_new) {
    std::error_code ec;
    if (!open_new_file(file, native, ec)) return false;
  } else {
    file.open(native, std::ios::out | std::ios::binary);
  }
  if (!file.is_open()) {
    return false;
  }
  switch (method) {
    case method_plain:
      writer = std::make_unique<stream_writer>(file);
      return true;
    case method_gzip:
      // A codec kept from the last file of this stream is started again rather than rebuilt.
      if (codec && codec->zlib_level() == std::min(zlib_level(level_index), 9)) {
        codec->restart();
      } else {
        codec = std::make_unique<gz::obuffer>(file, zlib_level(level_index));
      }
      codec_stream = std::make_unique<std::ostream>(codec.get());
      writer = std::make_unique<stream_writer>(*codec_stream);
      return true;
    default:
      return false;
  }
}

bool ofstream::close(std::function<void(stream_writer&)> callback) {
  bool ok = true;
  if (codec_stream) {
    // Ends the gzip stream; its last block and trailer reach `file`.
    codec_stream->flush();
    ok = codec_stream->good();
  }
  if (file.is_open()) {
    if (callback) {
      stream_writer raw(file);
      callback(raw);
    }
    file.close();
    ok = ok && !file.fail();
  }
  writer.reset();
  codec_stream.reset();
  // The codec stays for the next open of this stream: its memory is the largest part of it.
  return ok;
}

ifstream::~ifstream() {
  // A destructor may not throw; closing a file that was only read cannot lose data.
  try {
    close();
  } catch (...) {
  }
}

bool ifstream::open(std::uint8_t method) {
  reader.reset();
  codec_stream.reset();
  codec.reset();
  if (!file.is_open()) {
    return false;
  }
  switch (method) {
    case method_plain:
      reader = std::make_unique<stream_reader>(file);
      return true;
    case method_gzip:
      codec = std::make_unique<gz::ibuffer>(file);
      codec_stream = std::make_unique<std::istream>(codec.get());
      reader = std::make_unique<stream_reader>(*codec_stream);
      return true;
    default:
      return false;
  }
}

void ifstream::close() {
  if (file.is_open()) {
    file.close();
  }
  reader.reset();
  codec_stream.reset();
  codec.reset();
}

}  // namespace kestrun::stream::arc
