// The work folder's record of identities on arbitrary bytes: it lies in the project folder, where
// anything may damage it, and must be refused or read, never crash, hang or allocate without
// bound. The first byte chooses the way in: odd, the rest is sealed with its right digest first,
// so that the checks behind the digest are reached; even, the rest is taken as it is. What is
// believed must be exactly what the writer makes of the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/keccak.h"
#include "vcs/identity_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0) {
    kestrun::keccak hasher(256);
    hasher.add(bytes.data(), bytes.size());
    std::string digest;
    hasher.digest(digest);
    bytes += digest;
  }
  const std::string owner = "/p/\na/b";
  kestrun::vcs::identity_cache cache(owner, 3000);
  if (cache.parse(bytes)) {
    const kestrun::vcs::identity_cache writer(owner, cache.learned_before());
    if (writer.serialize(cache.entries()) != bytes) std::abort();
  } else if (!cache.entries().empty()) {
    std::abort();
  }
  return 0;
}
