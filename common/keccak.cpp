// Keccak-f[1600] with the lanes held in named locals and each round written out, so that the
// compiler keeps as much of the state in registers as it can; the sponge around it absorbs whole
// blocks straight from the caller's bytes. Where the processor has AVX-512VL, each lane lives in
// a vector register of its own instead: 32 of them hold the whole state, and the ternary-logic
// instruction does each step of chi and of the column parities in one.
#include "common/keccak.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

// The vector form needs one processor instruction set; elsewhere only the plain form is built.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KESTRUN_KECCAK_AVX512 1
#include <immintrin.h>
#endif

namespace kestrun {
namespace {

constexpr std::uint64_t round_constants[24] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000,
    0x000000000000808B, 0x0000000080000001, 0x8000000080008081, 0x8000000000008009,
    0x000000000000008A, 0x0000000000000088, 0x0000000080008009, 0x000000008000000A,
    0x000000008000808B, 0x800000000000008B, 0x8000000000008089, 0x8000000000008003,
    0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008};

// The 25 lanes by name: the row letter (b g k m s for y = 0..4) and the column letter
// (a e i o u for x = 0..4).
struct t_lanes {
  std::uint64_t ba, be, bi, bo, bu;
  std::uint64_t ga, ge, gi, go, gu;
  std::uint64_t ka, ke, ki, ko, ku;
  std::uint64_t ma, me, mi, mo, mu;
  std::uint64_t sa, se, si, so, su;
};

inline std::uint64_t rol(std::uint64_t value, int shift) { return std::rotl(value, shift); }

// One round from `a` into `e`: theta, then rho and pi while gathering each output row, then chi
// on the row and iota on the first lane. The lanes be, bi, go, ki, mi and sa are held inverted
// (lane complementing), which turns most of chi's NOT-AND steps into plain AND or OR and leaves
// five NOTs per round instead of twenty-five; the inversion is the same before and after a round.
// Forced inline: left to itself GCC keeps the round out of line and passes the lanes through
// memory, which costs a fifth of the speed.
[[gnu::always_inline]] inline void keccak_round(const t_lanes& a, t_lanes& e,
                                                std::uint64_t constant) {
  const std::uint64_t ca = a.ba ^ a.ga ^ a.ka ^ a.ma ^ a.sa;
  const std::uint64_t ce = a.be ^ a.ge ^ a.ke ^ a.me ^ a.se;
  const std::uint64_t ci = a.bi ^ a.gi ^ a.ki ^ a.mi ^ a.si;
  const std::uint64_t co = a.bo ^ a.go ^ a.ko ^ a.mo ^ a.so;
  const std::uint64_t cu = a.bu ^ a.gu ^ a.ku ^ a.mu ^ a.su;
  const std::uint64_t da = cu ^ rol(ce, 1);
  const std::uint64_t de = ca ^ rol(ci, 1);
  const std::uint64_t di = ce ^ rol(co, 1);
  const std::uint64_t d_o = ci ^ rol(cu, 1);
  const std::uint64_t du = co ^ rol(ca, 1);

  std::uint64_t b0 = a.ba ^ da;
  std::uint64_t b1 = rol(a.ge ^ de, 44);
  std::uint64_t b2 = rol(a.ki ^ di, 43);
  std::uint64_t b3 = rol(a.mo ^ d_o, 21);
  std::uint64_t b4 = rol(a.su ^ du, 14);
  e.ba = b0 ^ (b1 | b2) ^ constant;
  e.be = b1 ^ (~b2 | b3);
  e.bi = b2 ^ (b3 & b4);
  e.bo = b3 ^ (b4 | b0);
  e.bu = b4 ^ (b0 & b1);

  b0 = rol(a.bo ^ d_o, 28);
  b1 = rol(a.gu ^ du, 20);
  b2 = rol(a.ka ^ da, 3);
  b3 = rol(a.me ^ de, 45);
  b4 = rol(a.si ^ di, 61);
  e.ga = b0 ^ (b1 | b2);
  e.ge = b1 ^ (b2 & b3);
  e.gi = b2 ^ (b3 | ~b4);
  e.go = b3 ^ (b4 | b0);
  e.gu = b4 ^ (b0 & b1);

  b0 = rol(a.be ^ de, 1);
  b1 = rol(a.gi ^ di, 6);
  b2 = rol(a.ko ^ d_o, 25);
  b3 = rol(a.mu ^ du, 8);
  b4 = rol(a.sa ^ da, 18);
  e.ka = b0 ^ (b1 | b2);
  e.ke = b1 ^ (b2 & b3);
  e.ki = b2 ^ (~b3 & b4);
  e.ko = ~b3 ^ (b4 | b0);
  e.ku = b4 ^ (b0 & b1);

  b0 = rol(a.bu ^ du, 27);
  b1 = rol(a.ga ^ da, 36);
  b2 = rol(a.ke ^ de, 10);
  b3 = rol(a.mi ^ di, 15);
  b4 = rol(a.so ^ d_o, 56);
  e.ma = b0 ^ (b1 & b2);
  e.me = b1 ^ (b2 | b3);
  e.mi = b2 ^ (~b3 | b4);
  e.mo = ~b3 ^ (b4 & b0);
  e.mu = b4 ^ (b0 | b1);

  b0 = rol(a.bi ^ di, 62);
  b1 = rol(a.go ^ d_o, 55);
  b2 = rol(a.ku ^ du, 39);
  b3 = rol(a.ma ^ da, 41);
  b4 = rol(a.se ^ de, 2);
  e.sa = b0 ^ (~b1 & b2);
  e.se = ~b1 ^ (b2 | b3);
  e.si = b2 ^ (b3 & b4);
  e.so = b3 ^ (b4 | b0);
  e.su = b4 ^ (b0 & b1);
}

inline void invert_complemented(t_lanes& a) {
  a.be = ~a.be;
  a.bi = ~a.bi;
  a.go = ~a.go;
  a.ki = ~a.ki;
  a.mi = ~a.mi;
  a.sa = ~a.sa;
}

inline std::uint64_t load_le64(const std::uint8_t* bytes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
  } else {
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
    return word;
  }
}

inline void permute(t_lanes& a) {
  static_assert(sizeof(t_lanes) == 25 * sizeof(std::uint64_t));
  t_lanes e;
  // Two rounds per step let the state move a -> e -> a without copies.
  for (int r = 0; r < 24; r += 2) {
    keccak_round(a, e, round_constants[r]);
    keccak_round(e, a, round_constants[r + 1]);
  }
}

#ifdef KESTRUN_KECCAK_AVX512

// One lane in the low half of a 128-bit register; the high half is never looked at.
using t_lane = __m128i;

// The lanes by name, as in t_lanes.
struct t_vector_lanes {
  t_lane ba, be, bi, bo, bu;
  t_lane ga, ge, gi, go, gu;
  t_lane ka, ke, ki, ko, ku;
  t_lane ma, me, mi, mo, mu;
  t_lane sa, se, si, so, su;
};

#define KESTRUN_AVX512 gnu::target("avx512f,avx512vl")

// a ^ b ^ c
[[KESTRUN_AVX512, gnu::always_inline]] inline t_lane xor3(t_lane a, t_lane b, t_lane c) {
  return _mm_ternarylogic_epi64(a, b, c, 0x96);
}

// chi: a ^ (~b & c)
[[KESTRUN_AVX512, gnu::always_inline]] inline t_lane chi(t_lane a, t_lane b, t_lane c) {
  return _mm_ternarylogic_epi64(a, b, c, 0xD2);
}

// (a ^ d) rotated left by `shift`
template <int shift>
[[KESTRUN_AVX512, gnu::always_inline]] inline t_lane rho(t_lane a, t_lane d) {
  return _mm_rol_epi64(_mm_xor_si128(a, d), shift);
}

// The round of keccak_round with plain lanes: no lane is held inverted.
[[KESTRUN_AVX512, gnu::always_inline]] inline void vector_round(const t_vector_lanes& a,
                                                                t_vector_lanes& e,
                                                                t_lane constant) {
  const t_lane ca = xor3(xor3(a.ba, a.ga, a.ka), a.ma, a.sa);
  const t_lane ce = xor3(xor3(a.be, a.ge, a.ke), a.me, a.se);
  const t_lane ci = xor3(xor3(a.bi, a.gi, a.ki), a.mi, a.si);
  const t_lane co = xor3(xor3(a.bo, a.go, a.ko), a.mo, a.so);
  const t_lane cu = xor3(xor3(a.bu, a.gu, a.ku), a.mu, a.su);
  const t_lane da = _mm_xor_si128(cu, _mm_rol_epi64(ce, 1));
  const t_lane de = _mm_xor_si128(ca, _mm_rol_epi64(ci, 1));
  const t_lane di = _mm_xor_si128(ce, _mm_rol_epi64(co, 1));
  const t_lane d_o = _mm_xor_si128(ci, _mm_rol_epi64(cu, 1));
  const t_lane du = _mm_xor_si128(co, _mm_rol_epi64(ca, 1));

  t_lane b0 = _mm_xor_si128(a.ba, da);
  t_lane b1 = rho<44>(a.ge, de);
  t_lane b2 = rho<43>(a.ki, di);
  t_lane b3 = rho<21>(a.mo, d_o);
  t_lane b4 = rho<14>(a.su, du);
  e.ba = _mm_xor_si128(chi(b0, b1, b2), constant);
  e.be = chi(b1, b2, b3);
  e.bi = chi(b2, b3, b4);
  e.bo = chi(b3, b4, b0);
  e.bu = chi(b4, b0, b1);

  b0 = rho<28>(a.bo, d_o);
  b1 = rho<20>(a.gu, du);
  b2 = rho<3>(a.ka, da);
  b3 = rho<45>(a.me, de);
  b4 = rho<61>(a.si, di);
  e.ga = chi(b0, b1, b2);
  e.ge = chi(b1, b2, b3);
  e.gi = chi(b2, b3, b4);
  e.go = chi(b3, b4, b0);
  e.gu = chi(b4, b0, b1);

  b0 = rho<1>(a.be, de);
  b1 = rho<6>(a.gi, di);
  b2 = rho<25>(a.ko, d_o);
  b3 = rho<8>(a.mu, du);
  b4 = rho<18>(a.sa, da);
  e.ka = chi(b0, b1, b2);
  e.ke = chi(b1, b2, b3);
  e.ki = chi(b2, b3, b4);
  e.ko = chi(b3, b4, b0);
  e.ku = chi(b4, b0, b1);

  b0 = rho<27>(a.bu, du);
  b1 = rho<36>(a.ga, da);
  b2 = rho<10>(a.ke, de);
  b3 = rho<15>(a.mi, di);
  b4 = rho<56>(a.so, d_o);
  e.ma = chi(b0, b1, b2);
  e.me = chi(b1, b2, b3);
  e.mi = chi(b2, b3, b4);
  e.mo = chi(b3, b4, b0);
  e.mu = chi(b4, b0, b1);

  b0 = rho<62>(a.bi, di);
  b1 = rho<55>(a.go, d_o);
  b2 = rho<39>(a.ku, du);
  b3 = rho<41>(a.ma, da);
  b4 = rho<2>(a.se, de);
  e.sa = chi(b0, b1, b2);
  e.se = chi(b1, b2, b3);
  e.si = chi(b2, b3, b4);
  e.so = chi(b3, b4, b0);
  e.su = chi(b4, b0, b1);
}

// Absorbs `count` blocks of `words` lanes each into `lanes`.
[[KESTRUN_AVX512]] void vector_absorb(std::uint64_t* lanes, const std::uint8_t* data,
                                      std::size_t count, std::uint32_t words) {
  static_assert(sizeof(t_vector_lanes) == 25 * sizeof(t_lane));
  t_vector_lanes a;
  t_lane* lane = &a.ba;
  for (int i = 0; i < 25; ++i) lane[i] = _mm_cvtsi64_si128(static_cast<long long>(lanes[i]));
  const std::size_t block_size = std::size_t{words} * 8;
  for (; count > 0; --count, data += block_size) {
    for (std::uint32_t i = 0; i < words; ++i) {
      lane[i] = _mm_xor_si128(lane[i],
                              _mm_cvtsi64_si128(static_cast<long long>(load_le64(data + 8 * i))));
    }
    t_vector_lanes e;
    for (int r = 0; r < 24; r += 2) {
      vector_round(a, e, _mm_cvtsi64_si128(static_cast<long long>(round_constants[r])));
      vector_round(e, a, _mm_cvtsi64_si128(static_cast<long long>(round_constants[r + 1])));
    }
  }
  for (int i = 0; i < 25; ++i) lanes[i] = static_cast<std::uint64_t>(_mm_cvtsi128_si64(lane[i]));
}

#undef KESTRUN_AVX512

const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
bool vector_form = has_avx512;

#endif

}  // namespace

bool detail::use_vector_keccak(bool wanted) {
#ifdef KESTRUN_KECCAK_AVX512
  vector_form = wanted && has_avx512;
  return vector_form;
#else
  (void)wanted;
  return false;
#endif
}

keccak::keccak(std::int32_t bits) : digest_bits(bits) {
  if (bits < 32 || bits > 768 || bits % 32 != 0) {
    throw std::invalid_argument("keccak: unsupported digest size");
  }
  block_size = static_cast<std::uint32_t>(200 - 2 * (bits / 8));
}

void keccak::process_block(const std::uint8_t* block) { process_blocks(block, 1); }

void keccak::process_blocks(const std::uint8_t* data, std::size_t count) {
#ifdef KESTRUN_KECCAK_AVX512
  if (vector_form) {
    vector_absorb(lanes, data, count, block_size / 8);
    return;
  }
#endif
  // The state stays in locals (and inverted) from the first block to the last.
  t_lanes a;
  std::memcpy(&a, lanes, sizeof a);
  invert_complemented(a);
  if (block_size == 136) {
    for (; count > 0; --count, data += 136) {
      a.ba ^= load_le64(data);
      a.be ^= load_le64(data + 8);
      a.bi ^= load_le64(data + 16);
      a.bo ^= load_le64(data + 24);
      a.bu ^= load_le64(data + 32);
      a.ga ^= load_le64(data + 40);
      a.ge ^= load_le64(data + 48);
      a.gi ^= load_le64(data + 56);
      a.go ^= load_le64(data + 64);
      a.gu ^= load_le64(data + 72);
      a.ka ^= load_le64(data + 80);
      a.ke ^= load_le64(data + 88);
      a.ki ^= load_le64(data + 96);
      a.ko ^= load_le64(data + 104);
      a.ku ^= load_le64(data + 112);
      a.ma ^= load_le64(data + 120);
      a.me ^= load_le64(data + 128);
      permute(a);
    }
  } else {
    const std::uint32_t words = block_size / 8;
    std::uint64_t state[25];
    for (; count > 0; --count, data += block_size) {
      std::memcpy(state, &a, sizeof state);
      for (std::uint32_t i = 0; i < words; ++i) state[i] ^= load_le64(data + 8 * i);
      std::memcpy(&a, state, sizeof a);
      permute(a);
    }
  }
  invert_complemented(a);
  std::memcpy(lanes, &a, sizeof a);
}

void keccak::add(const void* data, std::size_t size) {
  auto input = static_cast<const std::uint8_t*>(data);
  if (buffer_fill > 0) {
    const std::size_t take = std::min<std::size_t>(size, block_size - buffer_fill);
    std::memcpy(buffer + buffer_fill, input, take);
    buffer_fill += static_cast<std::uint32_t>(take);
    input += take;
    size -= take;
    if (buffer_fill < block_size) return;
    process_block(buffer);
    absorbed_bytes += block_size;
    buffer_fill = 0;
  }
  const std::size_t blocks = size / block_size;
  if (blocks > 0) {
    process_blocks(input, blocks);
    absorbed_bytes += blocks * block_size;
    input += blocks * block_size;
    size -= blocks * block_size;
  }
  if (size > 0) {
    std::memcpy(buffer, input, size);
    buffer_fill = static_cast<std::uint32_t>(size);
  }
}

void keccak::digest(std::string& out) {
  std::uint64_t saved[25];
  std::memcpy(saved, lanes, sizeof saved);
  // pad10*1 as Keccak was submitted: 0x01 first, 0x80 on the block's last byte (0x81 when both
  // fall on one byte). The buffer itself stays untouched, so more input may follow.
  std::uint8_t block[200];
  std::memcpy(block, buffer, buffer_fill);
  block[buffer_fill] = 0x01;
  std::memset(block + buffer_fill + 1, 0, block_size - buffer_fill - 1);
  block[block_size - 1] |= 0x80;
  process_block(block);

  const std::size_t bytes = static_cast<std::size_t>(digest_bits / 8);
  out.resize(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    out[i] = static_cast<char>(static_cast<std::uint8_t>(lanes[i / 8] >> (8 * (i % 8))));
  }
  std::memcpy(lanes, saved, sizeof saved);
}

}  // namespace kestrun
