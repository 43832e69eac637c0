// Loads any bytes as a ".gitignore" and matches every rule against paths made from the input's
// own lines, where a slow or wrong matcher is most likely to show: no input may crash it, make it
// read out of bounds or take more than polynomial time to match. Reading the file must be linear:
// the work it counts stays within a fixed multiple of the input's size, whatever the input holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/filesystem/gitignore.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kestrun::filesystem::gitignore rules;
  rules.load_utf8(bytes);
  // Each byte is split, trimmed and decoded once, and compiled a small number of times over.
  constexpr std::uint64_t steps_per_byte = 16;
  if (rules.steps > steps_per_byte * (size + 1)) {
    std::fprintf(stderr, "reading %zu bytes took %llu steps\n", size,
                 static_cast<unsigned long long>(rules.steps));
    std::abort();
  }

  // The first few lines, whatever their bytes, as names at the top and one folder down; plus
  // paths whose folder names hold line ends.
  std::vector<std::wstring> paths = {L"/a", L"/a/b.log", L"/x\n/y.log", L"/\u2028/.git"};
  std::size_t start = 0;
  for (int line = 0; line < 4 && start <= bytes.size(); ++line) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    const std::wstring name = kestrun::platform::wide_from_native(
        bytes.substr(start, std::min<std::size_t>(end - start, 200)));
    paths.push_back(L"/" + name);
    paths.push_back(L"/d/" + name + L"/e");
    start = end + 1;
  }
  for (const auto& rule : rules.rules) {
    for (const auto& path : paths) static_cast<void>(rule.matches(path));
  }
  return 0;
}
