// Wide text written as a list of code points, for tables of converter cases whose units (lone
// surrogates, U+FFFD, zero) read badly or not at all as wide literals. A value above 0xFFFF is one
// unit where wchar_t has 32 bits and a surrogate pair where it has 16.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace kestrun::test {

inline std::wstring units(std::initializer_list<std::uint32_t> values) {
  std::wstring out;
  for (auto v : values) {
    if (sizeof(wchar_t) == 2 && v > 0xFFFF) {
      v -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (v >> 10));
      out += static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<wchar_t>(v);
    }
  }
  return out;
}

}  // namespace kestrun::test
