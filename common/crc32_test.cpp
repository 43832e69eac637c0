// CRC-32 against the classic check value and zlib's figures, across the slicing boundaries.
#include "common/crc32.h"

#include <string>

#include <gtest/gtest.h>

namespace kestrun {
namespace {

std::uint32_t crc32_of(const std::string& data) {
  return crc32_update(0xFFFFFFFF, data.data(), data.size()) ^ 0xFFFFFFFF;
}

// The byte-at-a-time definition, to check the sliced loop at every length and alignment.
std::uint32_t crc32_bytewise(const std::string& data) {
  std::uint32_t state = 0xFFFFFFFF;
  for (unsigned char c : data) {
    state ^= c;
    for (int bit = 0; bit < 8; ++bit) state = (state >> 1) ^ ((state & 1) != 0 ? 0xEDB88320 : 0);
  }
  return state ^ 0xFFFFFFFF;
}

TEST(Crc32Test, KnownAnswers) {
  EXPECT_EQ(crc32_of(""), 0x00000000u);
  EXPECT_EQ(crc32_of("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc32_of("abc"), 0x352441C2u);
}

TEST(Crc32Test, FastPathsMatchTheDefinition) {
  // Short runs take the tables, long ones the folding where the processor has it; every length
  // and alignment around the 16- and 64-byte steps gives the definition's register.
  std::string data;
  for (int i = 0; i < 1100; ++i) data.push_back(static_cast<char>((i * 131 + 17) & 0xFF));
  for (std::size_t offset : {0, 1, 3, 8}) {
    for (std::size_t size = 0; size + offset <= data.size(); ++size) {
      SCOPED_TRACE(::testing::Message() << "offset " << offset << " size " << size);
      const std::string part = data.substr(offset, size);
      EXPECT_EQ(crc32_of(part), crc32_bytewise(part));
    }
  }
}

TEST(Crc32Test, RunsInPiecesContinue) {
  const std::string data = "The quick brown fox jumps over the lazy dog, twice over and again.";
  std::uint32_t state = 0xFFFFFFFF;
  state = crc32_update(state, data.data(), 5);
  state = crc32_update(state, data.data() + 5, 20);
  state = crc32_update(state, data.data() + 25, data.size() - 25);
  EXPECT_EQ(state ^ 0xFFFFFFFF, crc32_of(data));
}

}  // namespace
}  // namespace kestrun
