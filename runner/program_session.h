// One run of a Lua program: the reference host configured from the command line, the packages
// loaded, the repository attached, the Lua state with the program's globals, and the order in
// which all of it is torn down (Lua state first, then the host's sessions, whose cleanups
// release the interfaces, then the repository).
#pragma once

#include <functional>
#include <string_view>

#include <lua.hpp>

#include "runner/command_line.h"

namespace runner {

// True for the metadata client interface operations that change a repository (refused by
// --read-only); every other operation only reads, lists, frees or brackets a transaction.
bool isChangingOperation(std::string_view operation);

// Runs SCRIPT, standard input, or the interactive loop; returns the exit status.
int runProgram(const CommandLine& line);

// Sets up everything runProgram sets up for `line` (host, packages, repository, the program's
// session and a Lua state with the program's globals), then runs `body` on that state instead of
// a script, and tears it all down in the same order. Returns what body returns, or runProgram's
// status when the set-up failed (the reason already on standard error). For benchmarks that
// time calls from inside the runtime a program uses.
int runWithProgramState(const CommandLine& line, const std::function<int(lua_State*)>& body);

}  // namespace runner
