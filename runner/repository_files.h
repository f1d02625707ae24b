// The one rule for the files mdhost reads and writes as repositories, used by --repository and by
// the repo subcommands alike: a repository file ends in ".db", a seed file in ".json", and "-"
// stands for standard input where a seed is read and standard output where one is written.
// Also the reading and writing of those files with messages that name the file and the reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mdserver/model/repository.h"

namespace runner {

// kServer: a PostgreSQL database named by a connection URI ("postgresql://USER@HOST/DB").
enum class RepositoryFileKind { kDatabase, kSeed, kStandardStream, kServer, kUnknown };

inline constexpr const char* kDatabaseExtension = ".db";
inline constexpr const char* kSeedExtension = ".json";

RepositoryFileKind repositoryFileKind(const std::string& path);

// "cannot open seed file 'x.json': No such file or directory": what, the path and errno's text.
std::string cannotOpen(std::string_view what, const std::string& path, int error);

// The whole text of a seed file, or of standard input for "-"; nullopt with *error set.
std::optional<std::string> readSeedText(const std::string& path, std::string* error);

// The one-line summary of a seed import: "3 objects, 2 properties, 4 associations in 0.01 s".
std::string summaryText(const mdserver::SeedSummary& summary, double seconds);

// A progress display on standard error while a long import runs, when standard error is a
// terminal; silent otherwise. Call finish() before printing anything else.
class ImportProgress {
 public:
  explicit ImportProgress(std::string label);
  ~ImportProgress();
  mdserver::SeedProgress callback();
  void finish();

 private:
  std::string label_;
  bool terminal_ = false;
  bool shown_ = false;
  int64_t lastShownMilliseconds_ = -1;
  int64_t startMilliseconds_ = 0;
};

}  // namespace runner
