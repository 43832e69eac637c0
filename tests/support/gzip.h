// zlib's own gzip member of some bytes, as the packer and the stream buffers write it (level 9,
// window bits 31, memory level 8): the reference the tests compare the engine's coding with.
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

}  // namespace kestrun::test
