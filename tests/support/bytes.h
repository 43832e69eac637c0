// Byte helpers for the hashing tests: known-answer texts and reproducible contents.
#pragma once

#include <cstddef>
#include <string>

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

}  // namespace kestrun::test
