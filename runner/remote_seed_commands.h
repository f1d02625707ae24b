// `mdhost repo import SEED https://HOST:PORT` and `mdhost repo export https://HOST:PORT SEED`:
// the same commands as against a repository file, sent to an mdserver's import and export
// routes under the user's own login (--user and the password sources of password_source.h).
// The server decides: both need Administer on every repository it holds.
#pragma once

#include "runner/command_line.h"

namespace runner {

// True when the repo command in `line` names a server (https://) as its repository.
bool namesServer(const CommandLine& line);

// Runs the repo import or export of `line` through the server. The exit statuses are those of
// repository_commands.h: 2 for a path that breaks the file rule, a server that cannot be
// reached or a password file that cannot be read; 1 for a seed, a login or a request the
// server refused (its status text is printed as the server gave it).
int repoCommandThroughServer(const CommandLine& line);

}  // namespace runner
