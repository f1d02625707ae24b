#include "runner/repository_commands.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>

#include "mdserver/model/repository.h"
#include "mdserver/storage/database.h"
#include "runner/repository_files.h"

namespace runner {
namespace fs = std::filesystem;

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int refuse(const char* command, const std::string& message, int status) {
  std::cerr << "mdhost repo " << command << ": " << message << "\n";
  return status;
}

bool isDatabase(const std::string& path) {
  const RepositoryFileKind kind = repositoryFileKind(path);
  return kind == RepositoryFileKind::kDatabase || kind == RepositoryFileKind::kServer;
}

bool isServer(const std::string& path) {
  return repositoryFileKind(path) == RepositoryFileKind::kServer;
}

// How messages name the repository: a server's location without its password.
std::string shown(const std::string& databasePath) {
  return isServer(databasePath) ? "PostgreSQL repository '" + mdserver::redactedLocation(databasePath) + "'"
                                : "repository file '" + databasePath + "'";
}

bool isSeed(const std::string& path) {
  const RepositoryFileKind kind = repositoryFileKind(path);
  return kind == RepositoryFileKind::kSeed || kind == RepositoryFileKind::kStandardStream;
}

void removeDatabaseFiles(const std::string& path) {
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix, ignored);
}

}  // namespace

int importRepository(const std::string& seedPath, const std::string& databasePath) {
  if (!isSeed(seedPath)) {
    return refuse("import", "'" + seedPath + "' is no seed file (a seed file ends in .json; - "
                  "reads standard input)", kUsage);
  }
  if (!isDatabase(databasePath)) {
    return refuse("import", "'" + databasePath + "' is no repository file (a repository file "
                  "ends in .db, a PostgreSQL repository is postgresql://USER@HOST/DB)", kUsage);
  }
  std::string error;
  const std::optional<std::string> text = readSeedText(seedPath, &error);
  if (!text) return refuse("import", error, kUsage);

  const auto start = std::chrono::steady_clock::now();
  std::error_code ignored;
  const bool existed = isServer(databasePath) || fs::exists(databasePath, ignored);
  mdserver::Outcome outcome;
  mdserver::SeedSummary summary;
  {
    std::unique_ptr<mdserver::Repository> repository =
        mdserver::Repository::open(databasePath, &error);
    if (!repository) {
      return refuse("import", "cannot open " + shown(databasePath) + ": " + error, kUsage);
    }
    ImportProgress progress("importing " + seedPath);
    outcome = repository->importSeedText(*text, seedPath == "-" ? "stdin" : seedPath, &summary,
                                         progress.callback());
  }
  if (!outcome.ok()) {
    // The import is one transaction; a repository file it created goes again, so a refused
    // seed leaves nothing behind.
    if (!existed) removeDatabaseFiles(databasePath);
    return refuse("import", outcome.message, kFailed);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "imported " << (seedPath == "-" ? "standard input" : seedPath) << " into "
            << mdserver::redactedLocation(databasePath) << ": " << summaryText(summary, seconds) << "\n";
  return 0;
}

int exportRepository(const std::string& databasePath, const std::string& seedPath) {
  if (!isDatabase(databasePath)) {
    return refuse("export", "'" + mdserver::redactedLocation(databasePath) +
                  "' is no repository file (a repository file ends in .db, a PostgreSQL "
                  "repository is postgresql://USER@HOST/DB)", kUsage);
  }
  if (!isSeed(seedPath)) {
    return refuse("export", "'" + seedPath + "' is no seed file (a seed file ends in .json; - "
                  "writes standard output)", kUsage);
  }
  std::error_code ignored;
  if (!isServer(databasePath) && !fs::is_regular_file(databasePath, ignored)) {
    // Opening would create an empty repository; exporting that hides a mistyped path.
    const int reason = fs::exists(databasePath, ignored) ? EISDIR : ENOENT;
    return refuse("export", cannotOpen("repository file", databasePath, reason), kUsage);
  }
  std::string error;
  std::unique_ptr<mdserver::Repository> repository =
      mdserver::Repository::open(databasePath, &error);
  if (!repository) {
    return refuse("export", "cannot open " + shown(databasePath) + ": " + error, kUsage);
  }
  if (seedPath != "-") {
    const mdserver::Outcome outcome = repository->exportSeedFile(seedPath);
    if (!outcome.ok()) return refuse("export", outcome.message, kFailed);
    std::cout << "exported " << mdserver::redactedLocation(databasePath) << " to " << seedPath
              << "\n";
    return 0;
  }
  // Standard output carries the seed itself and nothing else, so it can be piped on.
  std::string text;
  try {
    text = repository->exportSeedText();
  } catch (const std::exception& failure) {
    return refuse("export", "the repository cannot be written as a seed (" +
                  std::string(failure.what()) + ")", kFailed);
  }
  std::cout << text;
  std::cout.flush();
  return std::cout ? 0 : refuse("export", "cannot write standard output", kFailed);
}

}  // namespace runner
