// One run of kvcs, from its command line to its exit code. Kept apart from main() so that tests
// can drive a whole run in-process.
#pragma once

#include "common/app_info.h"

namespace kestrun::vcs {

// The whole program: sets the locale, parses the process's command line (a parse error ends the
// process with exit code 1 through fail_command_line), then runs inside the exception guard.
// Returns the exit code, 0 for every run that gets past the command line.
int console_main(int argc, char** argv);

// Start-up, the work of the run and its closing steps, for a parsed program description. Throws
// what the run throws (the caller's guard reports it); the console's log is then still completed
// as a gzip stream, without its end line. Returns 0.
int run(const app_info& info);

}  // namespace kestrun::vcs
