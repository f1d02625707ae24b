// One run of a Lua program: the reference host configured from the command line, the packages
// loaded, the repository attached, the Lua state with the program's globals, and the order in
// which all of it is torn down (Lua state first, then the host's sessions, whose cleanups
// release the interfaces, then the repository).
#pragma once

#include "runner/command_line.h"

namespace runner {

// Runs SCRIPT, standard input, or the interactive loop; returns the exit status.
int runProgram(const CommandLine& line);

}  // namespace runner
