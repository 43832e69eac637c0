// Slice-by-16 CRC-32: sixteen tables let one step consume sixteen bytes, which gives the same
// register as the byte-at-a-time table method at a fraction of its cost.
#include "common/crc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace kestrun {
namespace {

constexpr std::uint32_t polynomial = 0xEDB88320;
constexpr int slices = 16;

using t_tables = std::array<std::array<std::uint32_t, 256>, slices>;

// tables[0] is the classic byte table; tables[k][i] is the register after byte i followed by k
// zero bytes, so the bytes of one chunk can be looked up independently and XORed together.
constexpr t_tables make_tables() {
  t_tables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1) != 0 ? polynomial : 0);
    tables[0][i] = value;
  }
  for (int k = 1; k < slices; ++k) {
    for (std::uint32_t i = 0; i < 256; ++i) {
      const std::uint32_t previous = tables[k - 1][i];
      tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr t_tables tables = make_tables();

inline std::uint32_t load_le32(const unsigned char* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  } else {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
}

}  // namespace

std::uint32_t crc32_update(std::uint32_t state, const void* data, std::size_t size) {
  auto p = static_cast<const unsigned char*>(data);
  while (size >= slices) {
    const std::uint32_t w0 = load_le32(p) ^ state;
    const std::uint32_t w1 = load_le32(p + 4);
    const std::uint32_t w2 = load_le32(p + 8);
    const std::uint32_t w3 = load_le32(p + 12);
    state = tables[15][w0 & 0xFF] ^ tables[14][(w0 >> 8) & 0xFF] ^ tables[13][(w0 >> 16) & 0xFF] ^
            tables[12][w0 >> 24] ^ tables[11][w1 & 0xFF] ^ tables[10][(w1 >> 8) & 0xFF] ^
            tables[9][(w1 >> 16) & 0xFF] ^ tables[8][w1 >> 24] ^ tables[7][w2 & 0xFF] ^
            tables[6][(w2 >> 8) & 0xFF] ^ tables[5][(w2 >> 16) & 0xFF] ^ tables[4][w2 >> 24] ^
            tables[3][w3 & 0xFF] ^ tables[2][(w3 >> 8) & 0xFF] ^ tables[1][(w3 >> 16) & 0xFF] ^
            tables[0][w3 >> 24];
    p += slices;
    size -= slices;
  }
  while (size-- > 0) state = tables[0][(state ^ *p++) & 0xFF] ^ (state >> 8);
  return state;
}

}  // namespace kestrun
