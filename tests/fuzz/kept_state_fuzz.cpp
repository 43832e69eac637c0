// The kept-state reader on arbitrary bytes: the work folder may hold a damaged or foreign kept
// state, which must be refused or read, never crash, hang or allocate without bound. The owner is
// the one of the corpus's seeds (project kim/app, its storage's id); version 2 is the newest that
// may be used, so a seed of version 3 takes the path of a newer kept state.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "vcs/kept_state.h"
#include "vcs/state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const kestrun::vcs::t_kept_owner owner{"kim/app", "e6f1576b866c930c"};
  kestrun::vcs::state_items items;
  std::uint32_t nn = 0;
  (void)kestrun::vcs::read_kept_state(
      in, owner, nullptr, 2, [](std::uint32_t, const std::string&) { return true; }, std::string(),
      items, nn);
  return 0;
}
