// The reparse data of links as a Windows file system hands it over: reading never goes past the
// data, never makes a longer name than the data holds, and a junction's data built from any
// target reads back as that target.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kestrun::platform;
  // A copy of exactly `size` bytes, so that a read past the end is caught by the sanitizers.
  const std::vector<std::uint8_t> bytes(data, data + size);
  std::wstring target;
  if (reparse_data_target(bytes.data(), bytes.size(), target)) {
    check(utf16_units(target).size() * 2 <= size);
  }

  // The same bytes as a target text, one character each.
  const std::wstring text(data, data + size);
  std::vector<std::uint8_t> block;
  std::size_t length = 0;
  if (junction_reparse_data(text, block, length)) {
    check(block.size() == junction_block_size && length <= block.size());
    std::wstring back;
    check(reparse_data_target(block.data(), length, back));
    std::wstring want = text;
    for (wchar_t& c : want) {
      if (c == L'/') c = L'\\';
    }
    check(back == want);
  } else {
    check(size > 256 || text.find(L'\0') != std::wstring::npos);
  }
  return 0;
}
