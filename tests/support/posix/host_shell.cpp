// The host's shell on POSIX is the one std::system runs.
#include "tests/support/host_shell.h"

#include <cstdlib>

namespace kestrun::test {

std::string host_path(const std::filesystem::path& path) { return path.string(); }

bool host_shell(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace kestrun::test
