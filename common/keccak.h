// The Keccak hasher behind the file identity: Keccak-f[1600] sponge with the padding Keccak was
// submitted with (first pad byte 0x01), so its digests differ from SHA3-256's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrun {

class keccak {
 public:
  // A hasher for a digest of `bits` bits (this system uses 256). The rate is
  // 200 - 2 * (bits / 8) bytes. Throws std::invalid_argument unless bits is a multiple of 32
  // between 32 and 768, the sizes whose rate is a whole number of lanes.
  explicit keccak(std::int32_t bits);

  // Absorbs `size` bytes. Whole blocks are taken straight from `data`; only a partial block is
  // copied.
  void add(const void* data, std::size_t size);

  // Sets `out` to the bits / 8 digest bytes. The hasher is left as it was, so more bytes may be
  // added and another digest taken afterwards.
  void digest(std::string& out);

  // Absorbs one whole block of the rate's size.
  void process_block(const std::uint8_t* block);

 private:
  // Absorbs `count` whole blocks from `data`.
  void process_blocks(const std::uint8_t* data, std::size_t count);

  std::uint64_t lanes[25] = {};  // word i is the lane x = i mod 5, y = i div 5
  std::uint64_t absorbed_bytes = 0;
  std::uint32_t block_size;
  std::uint32_t buffer_fill = 0;  // below block_size between calls
  std::uint8_t buffer[200] = {};
  std::int32_t digest_bits;
};

namespace detail {

// Chooses the form of the permutation that hashers use from now on: the vector form (taken only
// where the processor has it; the default there) or the plain one. Both give the same digests;
// tests check each against the known answers. Returns whether the vector form is now in use.
bool use_vector_keccak(bool wanted);

}  // namespace detail

}  // namespace kestrun
