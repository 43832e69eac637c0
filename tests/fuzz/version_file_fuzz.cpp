// The version-file reader on arbitrary bytes: a stored version may be damaged or hostile, and it
// must be refused or read, never crash, hang or allocate without bound. Input that begins like a
// gzip stream is read as a version file; anything else as the decompressed bytes of one, so that
// the command reader is reached without the fuzzer having to find valid deflate data first. The
// commands are replayed into a state as a restore replays them, so that memory follows the
// state, not the number of commands.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "vcs/state.h"
#include "vcs/storage.h"
#include "vcs/transform.h"
#include "vcs/version_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::int64_t time = 0;
  kestrun::vcs::state_items items;
  const auto replay = [&items](const std::shared_ptr<kestrun::vcs::transform_command>& command) {
    kestrun::vcs::replay_command(items, std::string(), *command);
  };
  const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
  if (gzip) {
    (void)kestrun::vcs::read_version_file(in, nullptr, time, replay);
  } else {
    (void)kestrun::vcs::read_version(in, nullptr, time, replay);
  }
  return 0;
}
