// gzip for contents held whole in memory: one member coded or decoded in one step, without the
// stream machinery. The packer takes this road for files small enough to hold; larger ones go
// through the gzip stream buffers. Built over libdeflate when the build has it (much faster at
// the same level and size), else over zlib; either way zlib's inflate reads what it writes.
#pragma once

#include <cstddef>
#include <memory>

namespace kestrun::stream::gz {

class whole_encoder {
 public:
  // `level`: a zlib level 1..9.
  explicit whole_encoder(int level);
  ~whole_encoder();
  whole_encoder(const whole_encoder&) = delete;
  whole_encoder& operator=(const whole_encoder&) = delete;

  // Codes the `size` bytes at `in` into one gzip member at `out`, with the header zlib writes for
  // this level. The member's size, or 0 when it would not fit into `capacity` bytes; a capacity
  // of at least bound(size) always suffices (with less, a member that would just fit may be
  // refused).
  std::size_t encode(const char* in, std::size_t size, char* out, std::size_t capacity);
  // The largest member `size` bytes can give.
  std::size_t bound(std::size_t size) const;

 private:
  struct t_state;
  std::unique_ptr<t_state> state_;
};

enum class t_whole_result {
  done,     // exactly one member that decodes to exactly the expected size
  refused,  // anything else: damaged, longer or shorter than expected, or more than one member
};

class whole_decoder {
 public:
  whole_decoder();
  ~whole_decoder();
  whole_decoder(const whole_decoder&) = delete;
  whole_decoder& operator=(const whole_decoder&) = delete;

  // Decodes the gzip member that fills the `in_size` bytes at `in` into `out`, which has room for
  // exactly `size` bytes: nothing beyond them is ever written, so a content that decodes to more
  // is refused before it grows.
  t_whole_result decode(const char* in, std::size_t in_size, char* out, std::size_t size);

 private:
  struct t_state;
  std::unique_ptr<t_state> state_;
};

}  // namespace kestrun::stream::gz
