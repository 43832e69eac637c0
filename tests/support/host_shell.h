// Commands for the host's POSIX shell, run by a test program on Linux or, as a Windows program,
// under Wine on Linux: how the driver tests start the loopback FTP server and look at a module.
#pragma once

#include <filesystem>
#include <string>

namespace kestrun::test {

// `path` as the host's shell names it: itself on POSIX, the Linux path of a Windows path under
// Wine. Empty when there is no such name (a missing path under Wine, or Windows without Wine).
std::string host_path(const std::filesystem::path& path);

// `text` as one word of a shell command.
std::string shell_quoted(const std::string& text);

// Runs `command` (UTF-8) with /bin/sh -c and waits for it, at most a minute under Wine. True
// when it ran and exited with 0. A command that leaves a program running in the background
// returns once the shell is done with it.
bool host_shell(const std::string& command);

}  // namespace kestrun::test
