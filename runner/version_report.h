// `mdhost --version`: the tool's own version and, for each package it would load, the version
// record the host reads through tkvercn1.
#pragma once

#include <string>

namespace runner {

inline constexpr const char* kMdhostVersion = "1.0.0";

// Prints the versions; `packages` is --packages (empty: the usual search). Returns the exit
// status: 0, or 2 when a package cannot be found or loaded (the tool's line is printed anyway).
int printVersions(const std::string& packages);

}  // namespace runner
