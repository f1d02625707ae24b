// mdhost show URI [--json], ls TYPE [QUERY] [--json], tree [--json], graph URI [--dot]: what is
// in a repository, without writing a program. Each runs as a program with the run's options
// (--repository, --user, ...), so a user sees only what the user may read.
#pragma once

#include "runner/command_line.h"

namespace runner {

// line.operands[0] is the subcommand, the rest its operands and flag. Returns the exit status
// (2 a usage error; else as a program's run).
int browseCommand(const CommandLine& line);

}  // namespace runner
