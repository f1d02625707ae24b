#include "runner/repository_service.h"

#include <filesystem>
#include <iostream>
#include <sstream>

#include "mdserver/repository.h"
#include "runner/program_paths.h"

namespace runner {
namespace fs = std::filesystem;

namespace {

bool hasExtension(const std::string& path, const char* extension) {
  return fs::path(path).extension() == extension;
}

}  // namespace

struct RepositoryService::Impl {
  std::unique_ptr<mdserver::Repository> repository;
  Credentials credentials;
};

std::unique_ptr<RepositoryService> RepositoryService::open(const std::string& location,
                                                           Credentials credentials,
                                                           std::string* error) {
  std::unique_ptr<RepositoryService> service(new RepositoryService());
  service->impl_ = std::make_unique<Impl>();
  service->impl_->credentials = std::move(credentials);

  std::string seed;
  std::string database;
  if (location.empty()) {
    const auto sample = findSampleRepository();
    if (!sample) {
      *error = "the bundled sample repository examples/sample_repository.json was not found; "
               "use --repository FILE";
      return nullptr;
    }
    seed = sample->string();
    service->description_ = "sample repository " + seed;
  } else if (hasExtension(location, ".json")) {
    seed = location;
    service->description_ = "seed file " + seed + " (in memory)";
  } else if (hasExtension(location, ".db")) {
    database = location;
    service->description_ = "repository file " + database;
  } else {
    *error = "--repository " + location +
             ": expected a .db SQLite repository or a .json seed file";
    return nullptr;
  }

  std::string openError;
  service->impl_->repository = mdserver::Repository::open(database, &openError);
  if (!service->impl_->repository) {
    *error = "cannot open " + (database.empty() ? std::string("an in-memory repository")
                                                : "repository file " + database) +
             ": " + openError;
    return nullptr;
  }
  if (!seed.empty()) {
    const mdserver::Outcome loaded = service->impl_->repository->importSeedFile(seed);
    if (!loaded.ok()) {
      *error = loaded.message.empty() ? "cannot load seed file " + seed : loaded.message;
      return nullptr;
    }
  }
  return service;
}

RepositoryService::~RepositoryService() = default;

// NOT BUILT YET: handing out metadata client interfaces waits for the repository's interface
// API. Until then a session gets no interface and the packages report that.
refhost::MetadataProvider RepositoryService::provider() {
  return [](HostSession*, void** interfaceOut) -> StatusCode {
    *interfaceOut = nullptr;
    return refhost::kHostStatusNoMetadataServer;
  };
}

Accounting RepositoryService::accounting() { return {}; }

std::string RepositoryService::statistics() const {
  return "mdhost statistics: not built yet (interface accounting)\n";
}

int importRepository(const std::string& seedPath, const std::string& databasePath) {
  const mdserver::Outcome outcome = mdserver::importSeedIntoDatabase(databasePath, seedPath);
  if (!outcome.ok()) {
    std::cerr << "mdhost repo import: " << outcome.message << "\n";
    return 1;
  }
  std::cout << "imported " << seedPath << " into " << databasePath << "\n";
  return 0;
}

int exportRepository(const std::string& databasePath, const std::string& seedPath) {
  std::error_code ignored;
  if (!fs::is_regular_file(databasePath, ignored)) {
    // Opening would create an empty repository; exporting that hides a mistyped path.
    std::cerr << "mdhost repo export: no repository file '" << databasePath << "'\n";
    return 1;
  }
  const mdserver::Outcome outcome = mdserver::exportDatabaseToSeed(databasePath, seedPath);
  if (!outcome.ok()) {
    std::cerr << "mdhost repo export: " << outcome.message << "\n";
    return 1;
  }
  std::cout << "exported " << databasePath << " to " << seedPath << "\n";
  return 0;
}

}  // namespace runner
