// Where the password of `--user` comes from, the first source that applies:
//   1. --password TEXT (visible to every user of the machine through the process list);
//   2. --password-file FILE: its first line, without the line end;
//   3. the environment variable MDHOST_PASSWORD (kPasswordVariable);
//   4. a prompt on the terminal, without echo, when standard input is a terminal;
// otherwise the password is empty (and the login fails with a clear status).
// The password is never printed, logged or put into an error text.
#pragma once

#include <optional>
#include <string>

#include "runner/command_line.h"

namespace runner {

inline constexpr const char* kPasswordVariable = "MDHOST_PASSWORD";

// The password for line.user, or nothing with *error set (a password file that cannot be read).
// Without --user: an empty password.
std::optional<std::string> resolvePassword(const CommandLine& line, std::string* error);

}  // namespace runner
