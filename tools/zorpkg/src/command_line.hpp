// The command line of zorpkg: its subcommands, options and help, parsed with CLI11.
#pragma once

namespace zorpkg {

// Parses the arguments, runs the chosen subcommand and returns the exit status: 0 on success,
// 1 when a command failed (after one "zorpkg: error: ..." line on standard error), 2 for a usage
// error.
[[nodiscard]] int run_command_line(int argc, char** argv);

}  // namespace zorpkg
