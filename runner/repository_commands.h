// `mdhost repo import SEED DB` and `mdhost repo export DB SEED`: the seed and the repository file
// follow the rule of runner/repository_files.h ("-" is standard input or output).
#pragma once

#include <string>

namespace runner {

// Each returns the exit status after printing what was done (import: a one-line summary on
// standard output) or what went wrong (standard error): 2 for a path that breaks the file rule
// or cannot be opened, 1 for a seed or repository that cannot be read as one.
struct ImportChoices {
  bool dryRun = false;  // list every problem of the seed; change nothing
  bool replace = false;
  bool merge = false;
};
// A dry run prints each problem on standard error ("FILE:LINE:COLUMN: reason") and exits 1 when
// there is any.
int importRepository(const std::string& seedPath, const std::string& databasePath,
                     const ImportChoices& choices = {});
int exportRepository(const std::string& databasePath, const std::string& seedPath);

}  // namespace runner
