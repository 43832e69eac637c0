// zlib's own gzip coding, as the packer and the stream buffers write it (level 9, window bits
// 31, memory level 8), and its own reading: the references the tests hold the engine's coding
// against, independent of the code under test.
#pragma once

#include <string>

#include <zlib.h>

namespace kestrun::test {

inline std::string zlib_gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// True, with the content in `out`, when `coded` is exactly one whole gzip member; false when it
// is damaged, cut short or followed by other bytes (`out` then holds what came before the fault).
inline bool zlib_gunzip(const std::string& coded, std::string& out) {
  out.clear();
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(coded.data()));
  z.avail_in = static_cast<uInt>(coded.size());
  int ret = Z_OK;
  char chunk[65536];
  while (ret == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    ret = inflate(&z, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - z.avail_out);
  }
  inflateEnd(&z);
  return ret == Z_STREAM_END && z.avail_in == 0;
}

// The same for comparisons: the content, or "<not one gzip member>", which no test content is.
inline std::string zlib_gunzip(const std::string& coded) {
  std::string out;
  return zlib_gunzip(coded, out) ? out : "<not one gzip member>";
}

}  // namespace kestrun::test
