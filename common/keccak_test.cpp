// Known answers of Keccak-256 with its original padding, around every padding boundary.
#include "common/keccak.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/bytes.h"

namespace kestrun {
namespace {

using test::hex;

std::string content(std::size_t size) { return test::pattern_bytes(size); }

std::string keccak256(const std::string& data) {
  keccak hasher(256);
  hasher.add(data.data(), data.size());
  std::string out;
  hasher.digest(out);
  return hex(out);
}

void known_answers() {
  struct row {
    std::size_t size;
    const char* digest;
  };
  // 135 leaves a single pad byte 0x81, 136 a whole padding block, 137 a fill of one.
  const row rows[] = {
      {135, "00ef96af9cf4b24c7f269d922294444a197d0a33638c2e56634c57e892103a8f"},
      {136, "742061bcad767ed4c4f5883b1dcb1aad11afdcc140dc469d953759b127b9f9ed"},
      {137, "e3371f61e770abf254c34239c3b0099ad90594507415bc81dd0a10b9692bbf2a"},
      {272, "ac141fd7b0a0ffcd2e967254d508da3ec616596493c36fa304425647d90e6de5"},
      {273, "16192ea86793083e47731cb3c970600f04768414d92bc0540e54ce8607a0fce0"},
      {544, "48dcd3f02d97eb8e815292f694f0d45e4472fac16744b288f261c03dbd402cc7"},
  };
  EXPECT_EQ(keccak256(""), "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470");
  EXPECT_EQ(keccak256("abc"), "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.size);
    EXPECT_EQ(keccak256(content(r.size)), r.digest);
  }
}

// Runs `check` with every form of the permutation this processor has, then leaves the default.
template <class check_t>
void for_each_form(const check_t& check) {
  for (const bool vector : {false, true}) {
    if (detail::use_vector_keccak(vector) != vector) continue;
    SCOPED_TRACE(vector ? "vector form" : "plain form");
    check();
  }
  detail::use_vector_keccak(true);
}

TEST(KeccakTest, KnownAnswers) { for_each_form(known_answers); }

TEST(KeccakTest, SplitInputGivesTheSameDigest) {
  const std::string data = content(1000);
  const std::string whole = keccak256(data);
  for (std::size_t step : {1, 7, 135, 136, 137, 271, 999}) {
    SCOPED_TRACE(step);
    keccak hasher(256);
    for (std::size_t at = 0; at < data.size(); at += step) {
      hasher.add(data.data() + at, std::min(step, data.size() - at));
    }
    std::string out;
    hasher.digest(out);
    EXPECT_EQ(hex(out), whole);
  }
}

TEST(KeccakTest, DigestLeavesTheHasherAsItWas) {
  keccak hasher(256);
  std::string out;
  hasher.add("ab", 2);
  hasher.digest(out);
  hasher.digest(out);  // a second digest of the same input is the same
  hasher.add("c", 1);
  hasher.digest(out);
  EXPECT_EQ(hex(out), "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45");
}

void other_digest_sizes() {
  // Keccak-512 of the empty message, original padding.
  keccak hasher(512);
  std::string out;
  hasher.digest(out);
  EXPECT_EQ(hex(out),
            "0eab42de4c3ceb9235fc91acffe746b29c29a8c366b7c60e4e67c466f36a4304"
            "c00fa9caf9d87976ba469bcbe06713b435f091ef2769fb160cdab33d3670680e");
  // Several blocks at the other rates (72 and 144 bytes).
  struct row {
    std::int32_t bits;
    const char* digest;
  };
  const row rows[] = {
      {512,
       "3063032bb25fc0367e5a36197b8be97c8fa2efabaf9292b66e40be06b66bd45b"
       "d178cc3a78f91e5a275222c55c59c648e011b15b82439193f01c94b361404ae2"},
      {224, "7ecf9da51c0d23c16c98f5706b27d185dcc4b4d0b96ef1c34357b6af"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.bits);
    keccak sized(r.bits);
    const std::string data = content(200);
    sized.add(data.data(), data.size());
    sized.digest(out);
    EXPECT_EQ(hex(out), r.digest);
  }
}

TEST(KeccakTest, OtherDigestSizes) {
  for_each_form(other_digest_sizes);
  EXPECT_THROW(keccak(0), std::invalid_argument);
  EXPECT_THROW(keccak(100), std::invalid_argument);
  EXPECT_THROW(keccak(800), std::invalid_argument);
}

}  // namespace
}  // namespace kestrun
