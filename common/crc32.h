// CRC-32 as zlib computes it (IEEE polynomial, reflected), the second half of the file identity.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrun {

// Runs the CRC over `size` bytes. `state` is the running register: start it at 0xFFFFFFFF and
// invert it (XOR 0xFFFFFFFF) after the last byte to get the CRC-32 value.
std::uint32_t crc32_update(std::uint32_t state, const void* data, std::size_t size);

}  // namespace kestrun
