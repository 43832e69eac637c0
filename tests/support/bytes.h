// Byte helpers for the tests: known-answer texts, reproducible contents, and a comparison of long
// byte strings that does not print them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include <gtest/gtest.h>

namespace kestrun::test {

// Lower-case hexadecimal of the bytes, two digits each.
inline std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

// `size` bytes whose byte i is (7 i + 3) mod 256.
inline std::string pattern_bytes(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return data;
}

// Compares byte strings without printing them: they run to hundreds of kilobytes. A failure
// gives both sizes and the first byte that differs.
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first;
  return ::testing::AssertionFailure()
         << got.size() << " bytes where " << want.size()
         << " were expected, first difference at byte " << (diff - got.begin());
}

}  // namespace kestrun::test
