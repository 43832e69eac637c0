// CRC-32 two ways that give the same register as the byte-at-a-time table method: carry-less
// multiplication folding 64 bytes a step where the processor has it (x86-64 with PCLMULQDQ),
// slice-by-16 tables everywhere else and for the short tails.
#include "common/crc32.h"

#include <array>
#include <bit>
#include <cstring>

// The folding needs one processor instruction set; elsewhere only the tables are built.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KESTRUN_CRC32_CLMUL 1
#include <immintrin.h>
#endif

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

std::uint32_t crc32_tables(std::uint32_t state, const unsigned char* p, std::size_t size) {
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

#ifdef KESTRUN_CRC32_CLMUL

// Folding constants of the reflected polynomial: x^(4*128+32), x^(4*128-32), x^(128+32),
// x^(128-32) and x^64 mod P, each reflected and shifted left by one; then P itself and
// floor(x^64 / P), reflected, for the final Barrett reduction.
alignas(16) constexpr std::uint64_t k1k2[2] = {0x154442bd4, 0x1c6e41596};
alignas(16) constexpr std::uint64_t k3k4[2] = {0x1751997d0, 0x0ccaa009e};
alignas(16) constexpr std::uint64_t k5k0[2] = {0x163cd6124, 0};
alignas(16) constexpr std::uint64_t poly_mu[2] = {0x1db710641, 0x1f7011641};

// One 128-bit lane folded forward over the next 16 bytes.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i into, __m128i next,
                                                             __m128i k) {
  const __m128i low = _mm_clmulepi64_si128(into, k, 0x00);
  const __m128i high = _mm_clmulepi64_si128(into, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, next), low);
}

// The register after `size` bytes, size at least 64 and a multiple of 16: four lanes of 128 bits
// fold 64 bytes a step, then fold into one lane, then reduce to 32 bits.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc32_clmul(std::uint32_t state,
                                                                   const unsigned char* p,
                                                                   std::size_t size) {
  const auto load = [](const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  __m128i x1 = load(p);
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  p += 64;
  size -= 64;
  while (size >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, k, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, k, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, k, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, k, 0x00);
    x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11), x5), load(p));
    x2 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x2, k, 0x11), x6), load(p + 16));
    x3 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x3, k, 0x11), x7), load(p + 32));
    x4 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x4, k, 0x11), x8), load(p + 48));
    p += 64;
    size -= 64;
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold(x1, x2, k);
  x1 = fold(x1, x3, k);
  x1 = fold(x1, x4, k);
  while (size >= 16) {
    x1 = fold(x1, load(p), k);
    p += 16;
    size -= 16;
  }
  // 128 bits to 64, then to 32 with the Barrett reduction.
  const __m128i mask32 = _mm_setr_epi32(-1, 0, -1, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00), x2);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly_mu));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

const bool has_clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");

#endif

}  // namespace

std::uint32_t crc32_update(std::uint32_t state, const void* data, std::size_t size) {
  auto p = static_cast<const unsigned char*>(data);
#ifdef KESTRUN_CRC32_CLMUL
  if (size >= 64 && has_clmul) {
    const std::size_t folded = size & ~std::size_t{15};
    state = crc32_clmul(state, p, folded);
    p += folded;
    size -= folded;
  }
#endif
  return crc32_tables(state, p, size);
}

}  // namespace kestrun
