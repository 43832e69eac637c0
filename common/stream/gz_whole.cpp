// One-step gzip over libdeflate or zlib. The gzip header and trailer are the same with either:
// the header is the one zlib itself writes for the level, so a content differs from zlib's only
// in its deflate data.
#include "common/stream/gz_whole.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include <zlib.h>

#ifdef KESTRUN_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace kestrun::stream::gz {
namespace {

constexpr int gzip_window_bits = 31;  // 15-bit window, gzip header and trailer
constexpr int memory_level = 8;

}  // namespace

#ifdef KESTRUN_HAVE_LIBDEFLATE

namespace {

constexpr std::size_t header_size = 10;
constexpr std::size_t trailer_size = 8;  // CRC-32 and the size modulo 2^32, both little-endian

// The ten header bytes zlib writes at `level` (its level flag and system byte included): taken
// from zlib's own empty member, so that they match it on every platform.
std::array<unsigned char, header_size> zlib_header(int level) {
  std::array<unsigned char, header_size> header{};
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, gzip_window_bits, memory_level, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return header;
  }
  unsigned char out[64];
  z.next_out = out;
  z.avail_out = sizeof out;
  deflate(&z, Z_FINISH);
  std::memcpy(header.data(), out, header_size);
  deflateEnd(&z);
  return header;
}

void put_le32(unsigned char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

struct whole_encoder::t_state {
  libdeflate_compressor* compressor = nullptr;
  std::array<unsigned char, header_size> header{};
};

// libdeflate searches harder than zlib at the same level number: at its level 7 it packs source
// text, data and logs within half a percent of zlib's level 9 (smaller on most files), in half
// the time of its own level 9, so zlib's best level is served by that one.
namespace {
int libdeflate_level(int zlib_level) { return zlib_level >= 7 ? 7 : zlib_level; }
}  // namespace

whole_encoder::whole_encoder(int level) : state_(std::make_unique<t_state>()) {
  level = std::clamp(level, 1, 9);
  state_->compressor = libdeflate_alloc_compressor(libdeflate_level(level));
  state_->header = zlib_header(level);
}

whole_encoder::~whole_encoder() {
  if (state_->compressor != nullptr) libdeflate_free_compressor(state_->compressor);
}

std::size_t whole_encoder::encode(const char* in, std::size_t size, char* out,
                                  std::size_t capacity) {
  if (state_->compressor == nullptr || capacity <= header_size + trailer_size) return 0;
  auto* target = reinterpret_cast<unsigned char*>(out);
  const std::size_t coded = libdeflate_deflate_compress(
      state_->compressor, in, size, target + header_size, capacity - header_size - trailer_size);
  if (coded == 0) return 0;
  std::memcpy(target, state_->header.data(), header_size);
  unsigned char* trailer = target + header_size + coded;
  put_le32(trailer, libdeflate_crc32(0, in, size));
  put_le32(trailer + 4, static_cast<std::uint32_t>(size));
  return header_size + coded + trailer_size;
}

std::size_t whole_encoder::bound(std::size_t size) const {
  return header_size + libdeflate_deflate_compress_bound(state_->compressor, size) + trailer_size;
}

struct whole_decoder::t_state {
  libdeflate_decompressor* decompressor = nullptr;
};

whole_decoder::whole_decoder() : state_(std::make_unique<t_state>()) {
  state_->decompressor = libdeflate_alloc_decompressor();
}

whole_decoder::~whole_decoder() {
  if (state_->decompressor != nullptr) libdeflate_free_decompressor(state_->decompressor);
}

t_whole_result whole_decoder::decode(const char* in, std::size_t in_size, char* out,
                                     std::size_t size) {
  if (state_->decompressor == nullptr) return t_whole_result::refused;
  std::size_t used = 0;
  std::size_t produced = 0;
  const libdeflate_result result =
      libdeflate_gzip_decompress_ex(state_->decompressor, in, in_size, out, size, &used, &produced);
  // It checks the trailer's CRC-32 and size; a content that would pass `size` is
  // LIBDEFLATE_INSUFFICIENT_SPACE, with nothing written beyond it.
  const bool whole = result == LIBDEFLATE_SUCCESS && used == in_size && produced == size;
  return whole ? t_whole_result::done : t_whole_result::refused;
}

#else  // zlib

namespace {

unsigned char* bytes(const char* data) {
  return reinterpret_cast<unsigned char*>(const_cast<char*>(data));
}

}  // namespace

struct whole_encoder::t_state {
  z_stream z{};
  bool ready = false;
};

whole_encoder::whole_encoder(int level) : state_(std::make_unique<t_state>()) {
  state_->ready = deflateInit2(&state_->z, std::clamp(level, 1, 9), Z_DEFLATED, gzip_window_bits,
                               memory_level, Z_DEFAULT_STRATEGY) == Z_OK;
}

whole_encoder::~whole_encoder() {
  if (state_->ready) deflateEnd(&state_->z);
}

std::size_t whole_encoder::encode(const char* in, std::size_t size, char* out,
                                  std::size_t capacity) {
  z_stream& z = state_->z;
  if (!state_->ready || deflateReset(&z) != Z_OK) return 0;
  z.next_in = bytes(in);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reinterpret_cast<unsigned char*>(out);
  z.avail_out = static_cast<uInt>(capacity);
  // Sizes beyond uInt never come here: the packer holds whole only files of a few megabytes.
  if (size != z.avail_in || capacity != z.avail_out) return 0;
  return deflate(&z, Z_FINISH) == Z_STREAM_END ? static_cast<std::size_t>(z.total_out) : 0;
}

std::size_t whole_encoder::bound(std::size_t size) const {
  return static_cast<std::size_t>(deflateBound(&state_->z, static_cast<uLong>(size))) + 32;
}

struct whole_decoder::t_state {
  z_stream z{};
  bool ready = false;
};

whole_decoder::whole_decoder() : state_(std::make_unique<t_state>()) {
  state_->ready = inflateInit2(&state_->z, gzip_window_bits) == Z_OK;
}

whole_decoder::~whole_decoder() {
  if (state_->ready) inflateEnd(&state_->z);
}

t_whole_result whole_decoder::decode(const char* in, std::size_t in_size, char* out,
                                     std::size_t size) {
  z_stream& z = state_->z;
  if (!state_->ready || inflateReset(&z) != Z_OK) return t_whole_result::refused;
  char none = 0;  // zlib wants somewhere to point for an empty output
  z.next_in = bytes(in);
  z.avail_in = static_cast<uInt>(in_size);
  z.next_out = reinterpret_cast<unsigned char*>(size > 0 ? out : &none);
  z.avail_out = static_cast<uInt>(size);
  if (in_size != z.avail_in || size != z.avail_out) return t_whole_result::refused;
  // inflate checks the trailer; with no room left it stops at `size` and reports no end.
  const bool whole =
      inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0 && z.total_out == size;
  return whole ? t_whole_result::done : t_whole_result::refused;
}

#endif

}  // namespace kestrun::stream::gz
