// Storage links as users write them: the hand-made matcher of the link grammar never crashes, its
// parts are pieces of the text, and on texts short enough for std::regex it agrees with the
// grammar written as a regular expression.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "drivers/ftp/url.h"
#include "tests/support/url_regex.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Bytes as characters, so that every character the grammar tells apart is reachable.
  const std::wstring text(data, data + size);
  kestrun::url link;
  const bool matched = link.parse(text);
  check(matched == !link.parts().empty());
  if (matched) check(link.get("url", L"") == text);
  for (const auto& [key, part] : link.parts()) check(text.find(part) != std::wstring::npos);
  if (size <= 200) check(link.parts() == kestrun::test::regex_parts(text));
  return 0;
}
