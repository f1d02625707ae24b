#include "runner/repository_commands.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "mdserver/model/repository.h"
#include "mdserver/storage/database.h"
#include "runner/repository_command_parts.h"
#include "runner/repository_files.h"

namespace runner {
namespace fs = std::filesystem;

namespace {

using namespace repo_command;

bool isServer(const std::string& path) {
  return repositoryFileKind(path) == RepositoryFileKind::kServer;
}

// How messages name the repository: a server's location without its password.
std::string shown(const std::string& databasePath) {
  return isServer(databasePath) ? "PostgreSQL repository '" + mdserver::redactedLocation(databasePath) + "'"
                                : "repository file '" + databasePath + "'";
}

void removeDatabaseFiles(const std::string& path) {
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix, ignored);
}

}  // namespace

int importRepository(const std::string& seedPath, const std::string& databasePath,
                     const ImportChoices& choices) {
  if (!isSeed(seedPath)) {
    return refuse("import", "'" + seedPath + "' is no seed file (a seed file ends in .json; - "
                  "reads standard input)", kUsage);
  }
  if (!isDatabase(databasePath)) {
    return refuse("import", "'" + databasePath + "' is no repository file (a repository file "
                  "ends in .db, a PostgreSQL repository is postgresql://USER@HOST/DB)", kUsage);
  }
  std::string error;
  // Standard input is read whole (it cannot be read twice); a file is streamed.
  std::optional<std::string> text;
  if (seedPath == "-") {
    text = readSeedText(seedPath, &error);
    if (!text) return refuse("import", error, kUsage);
  } else {
    std::FILE* probe = std::fopen(seedPath.c_str(), "rb");
    std::error_code ignored;
    if (probe == nullptr || fs::is_directory(seedPath, ignored)) {
      const int reason = probe == nullptr ? errno : EISDIR;
      if (probe) std::fclose(probe);
      return refuse("import", cannotOpen("seed file", seedPath, reason), kUsage);
    }
    std::fclose(probe);
  }

  const auto start = std::chrono::steady_clock::now();
  std::error_code ignored;
  const bool existed = isServer(databasePath) || fs::exists(databasePath, ignored);
  mdserver::SeedImportOptions options;
  options.dryRun = choices.dryRun;
  options.mode = choices.replace ? mdserver::SeedMode::kReplace
                 : choices.merge ? mdserver::SeedMode::kMerge
                                 : mdserver::SeedMode::kAdd;
  mdserver::Outcome outcome;
  mdserver::SeedReport report;
  {
    // A dry run against a repository file that does not exist checks against an empty
    // repository in memory, so that it creates nothing.
    const std::string opened = choices.dryRun && !existed ? std::string() : databasePath;
    std::unique_ptr<mdserver::Repository> repository =
        mdserver::Repository::open(opened, &error);
    if (!repository) {
      return refuse("import", "cannot open " + shown(databasePath) + ": " + error, kUsage);
    }
    ImportProgress progress((choices.dryRun ? "checking " : "importing ") + seedPath);
    options.progress = progress.callback();
    if (text) {
      outcome = repository->importSeedText(*text, "stdin", options, &report);
    } else {
      outcome = repository->importSeedFile(seedPath, options, &report);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string shownSeed = seedPath == "-" ? "standard input" : seedPath;
  if (choices.dryRun) {
    if (report.problems.empty() && !outcome.ok()) report.problems.push_back(outcome.message);
    for (const std::string& problem : report.problems) {
      std::cerr << "mdhost repo import: " << problem << "\n";
    }
    if (!report.problems.empty()) {
      std::cerr << "mdhost repo import: checked " << shownSeed << ": "
                << report.problems.size()
                << (report.problems.size() == 1 ? " problem" : " problems")
                << "; nothing was changed\n";
      return kFailed;
    }
    std::cout << "checked " << shownSeed << " against "
              << mdserver::redactedLocation(databasePath) << ": no problems; it would import "
              << summaryText(report.summary, seconds) << "; nothing was changed\n";
    return 0;
  }
  if (!outcome.ok()) {
    // The import is one transaction; a repository file it created goes again, so a refused
    // seed leaves nothing behind.
    if (!existed) removeDatabaseFiles(databasePath);
    return refuse("import", outcome.message, kFailed);
  }
  std::cout << "imported " << shownSeed << " into "
            << mdserver::redactedLocation(databasePath) << ": "
            << summaryText(report.summary, seconds) << "\n";
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
  const auto start = std::chrono::steady_clock::now();
  mdserver::SeedExportSummary counts;
  if (seedPath != "-") {
    mdserver::Outcome outcome;
    {
      ImportProgress progress("exporting to " + seedPath);
      outcome = repository->exportSeedFile(seedPath, &counts, progress.callback());
    }
    if (!outcome.ok()) return refuse("export", outcome.message, kFailed);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "exported " << mdserver::redactedLocation(databasePath) << " to " << seedPath
              << ": " << summaryText({counts.objects, counts.properties, counts.associations},
                                     seconds)
              << "\n";
    return 0;
  }
  // Standard output carries the seed itself and nothing else, so it can be piped on; it is
  // written as it is read.
  std::cout.flush();
  try {
    repository->exportSeed(stdout, &counts);
  } catch (const std::exception& failure) {
    std::fflush(stdout);
    return refuse("export", "the repository cannot be written as a seed (" +
                  std::string(failure.what()) + ")", kFailed);
  }
  return std::fflush(stdout) == 0 ? 0 : refuse("export", "cannot write standard output", kFailed);
}

}  // namespace runner
