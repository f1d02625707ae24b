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
  // The location of a schema kept for reuse, put back into the state of a fresh schema: its
  // tables emptied and refilled from a copy taken when it was new (generated keys go on
  // counting). The first call creates it. Only one repository may use it at a time.
  std::string reusedLocation(std::string* error);

 private:
  PostgresCluster() = default;
  std::string folder_;
  std::string binaries_;
  std::string runAs_;  // command prefix that runs as the cluster's owner
  std::string admin_;
  int schemas_ = 0;
  std::string reused_;       // location of the reused schema; empty until first asked
  std::string resetReused_;  // the SQL that empties it again
};

// The cluster of the PostgreSQL pass, or null in the SQLite pass (and when it could not start).
PostgresCluster* testCluster();
// True in the PostgreSQL pass (MDSERVER_TEST_BACKEND=postgresql).
bool postgresPass();

// A repository location that several connections (several processes, in effect) can open on
// the backend of this pass: a fresh schema, or a new SQLite file in the temporary folder, removed
// with its journal files when this goes (declare it before the repositories opened on it).
// Empty in the PostgreSQL pass when the cluster did not start.
class SharedLocation {
 public:
  explicit SharedLocation(const std::string& prefix);
  ~SharedLocation();
  SharedLocation(const SharedLocation&) = delete;
  SharedLocation& operator=(const SharedLocation&) = delete;
  const std::string& location() const { return location_; }

 private:
  std::string location_;
  std::string file_;  // the SQLite file; empty in the PostgreSQL pass
};

// A new empty repository on the backend of this pass: in memory, or a fresh schema.
std::unique_ptr<Repository> openScratchRepository(std::string* error = nullptr);
// The same, for callers that open very many one after another and hold one at a time: on
// PostgreSQL the one reused schema, emptied again, instead of a new schema each time.
std::unique_ptr<Repository> reopenScratchRepository(std::string* error = nullptr);

}  // namespace mdserver::testing
