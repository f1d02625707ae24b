// A throw-away PostgreSQL cluster for tests: initdb and pg_ctl into a temporary folder (as the
// unprivileged user "nobody" when the tests run as root), listening only on a Unix socket in
// that folder, stopped and removed again at the end.
//
// The repository tests run twice: once on SQLite, once with MDSERVER_TEST_BACKEND=postgresql
// (a second CTest entry), where every scratch repository is a fresh schema of this cluster's database.
// Without PostgreSQL binaries the second run skips every test, saying why.
#pragma once

#include <memory>
#include <string>

#include "mdserver/model/repository.h"

namespace mdserver::testing {

class PostgresCluster {
 public:
  // Starts a cluster; null with *reason when that is impossible here.
  static std::unique_ptr<PostgresCluster> start(std::string* reason);
  ~PostgresCluster();

  // A location (libpq URI) of an empty schema of its own.
  std::string newLocation();
  // The location of the cluster's database without a schema choice (for administration).
  const std::string& adminLocation() const { return admin_; }
  // Runs SQL on the admin connection; false with *error on failure.
  bool run(const std::string& sql, std::string* error = nullptr);
  bool runIn(const std::string& location, const std::string& sql, std::string* error = nullptr);

 private:
  PostgresCluster() = default;
  std::string folder_;
  std::string binaries_;
  std::string runAs_;  // command prefix that runs as the cluster's owner
  std::string admin_;
  int schemas_ = 0;
};

// The cluster of the PostgreSQL pass, or null in the SQLite pass (and when it could not start).
PostgresCluster* testCluster();
// True in the PostgreSQL pass (MDSERVER_TEST_BACKEND=postgresql).
bool postgresPass();

// A new empty repository on the backend of this pass: in memory, or a fresh schema.
std::unique_ptr<Repository> openScratchRepository(std::string* error = nullptr);

}  // namespace mdserver::testing
