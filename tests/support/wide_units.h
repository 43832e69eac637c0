// Wide text written as a list of code units, for tables of converter cases whose units (lone
// surrogates, U+FFFD, zero) read badly or not at all as wide literals.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace kestrun::test {

inline std::wstring units(std::initializer_list<std::uint32_t> values) {
  std::wstring out;
  for (auto v : values) out += static_cast<wchar_t>(v);
  return out;
}

}  // namespace kestrun::test
