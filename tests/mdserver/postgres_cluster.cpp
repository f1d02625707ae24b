#include "postgres_cluster.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

namespace mdserver::testing {
namespace {

std::string newestBinaries() {
  std::string best;
  int bestVersion = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
    int version = std::atoi(entry.path().filename().c_str());
    if (version > bestVersion && std::filesystem::exists(entry.path() / "bin" / "initdb")) {
      bestVersion = version;
      best = (entry.path() / "bin").string();
    }
  }
  return best;
}

std::string tail(const std::string& path) {
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return all.size() > 600 ? all.substr(all.size() - 600) : all;
}

PostgresCluster* theCluster = nullptr;

class ClusterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string reason;
    cluster_ = PostgresCluster::start(&reason);
    if (!cluster_) GTEST_SKIP() << "PostgreSQL pass skipped: " << reason;
    theCluster = cluster_.get();
  }
  void TearDown() override {
    theCluster = nullptr;
    cluster_.reset();
  }

 private:
  std::unique_ptr<PostgresCluster> cluster_;
};

// Registered before main() runs, in the PostgreSQL pass only.
[[maybe_unused]] const bool registered = [] {
  if (postgresPass()) ::testing::AddGlobalTestEnvironment(new ClusterEnvironment);
  return true;
}();

}  // namespace

bool postgresPass() {
  const char* backend = std::getenv("MDSERVER_TEST_BACKEND");
  return backend && std::string(backend) == "postgresql";
}

PostgresCluster* testCluster() { return theCluster; }

std::unique_ptr<PostgresCluster> PostgresCluster::start(std::string* reason) {
  std::unique_ptr<PostgresCluster> cluster(new PostgresCluster);
  cluster->binaries_ = newestBinaries();
  if (cluster->binaries_.empty()) {
    *reason = "no PostgreSQL server binaries under /usr/lib/postgresql (install postgresql)";
    return nullptr;
  }
  char folder[] = "/tmp/mdserver-pg-XXXXXX";
  if (!mkdtemp(folder)) {
    *reason = "cannot make a temporary folder";
    return nullptr;
  }
  cluster->folder_ = folder;
  if (geteuid() == 0) {
    // The server refuses to run as root: the cluster belongs to an unprivileged user.
    const passwd* nobody = getpwnam("nobody");
    if (!nobody || chown(folder, nobody->pw_uid, nobody->pw_gid) != 0) {
      *reason = "running as root and cannot hand the cluster folder to user nobody";
      return nullptr;
    }
    cluster->runAs_ = "runuser -u nobody -- ";
  }
  const std::string data = cluster->folder_ + "/data";
  const std::string log = cluster->folder_ + "/server.log";
  const std::string initdb = cluster->runAs_ + cluster->binaries_ + "/initdb -D " + data +
                             " -A trust -U postgres -E UTF8 --locale=C --no-sync > " +
                             cluster->folder_ + "/initdb.log 2>&1";
  if (std::system(initdb.c_str()) != 0) {
    *reason = "initdb failed: " + tail(cluster->folder_ + "/initdb.log");
    return nullptr;
  }
  const std::string start =
      cluster->runAs_ + cluster->binaries_ + "/pg_ctl -D " + data + " -l " + log +
      " -w -t 60 -o \"-k " + cluster->folder_ +
      " -c listen_addresses='' -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
      " -c max_connections=60\" start > /dev/null 2>&1";
  if (std::system(start.c_str()) != 0) {
    *reason = "the server did not start: " + tail(log);
    return nullptr;
  }
  cluster->admin_ = "postgresql://postgres@/postgres?host=" + cluster->folder_;
  std::string error;
  if (!cluster->run("SELECT 1", &error)) {
    *reason = "cannot connect to the test server: " + error;
    return nullptr;
  }
  return cluster;
}

PostgresCluster::~PostgresCluster() {
  if (!admin_.empty()) {
    const std::string stop = runAs_ + binaries_ + "/pg_ctl -D " + folder_ +
                             "/data -m immediate -w stop > /dev/null 2>&1";
    [[maybe_unused]] int ignored = std::system(stop.c_str());
  }
  std::error_code error;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
}

bool PostgresCluster::run(const std::string& sql, std::string* error) {
  return runIn(admin_, sql, error);
}

bool PostgresCluster::runIn(const std::string& location, const std::string& sql,
                            std::string* error) {
  PGconn* conn = PQconnectdb(location.c_str());
  bool ok = PQstatus(conn) == CONNECTION_OK;
  if (ok) {
    PGresult* result = PQexec(conn, sql.c_str());
    ok = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    PQclear(result);
  }
  if (!ok && error) *error = PQerrorMessage(conn);
  PQfinish(conn);
  return ok;
}

std::string PostgresCluster::newLocation() {
  // A schema of its own in the one database: much cheaper than a database of its own.
  const std::string schema = "scratch" + std::to_string(++schemas_);
  std::string error;
  EXPECT_TRUE(run("CREATE SCHEMA " + schema, &error)) << error;
  return admin_ + "&options=-c%20search_path%3D" + schema;
}

std::string PostgresCluster::reusedLocation(std::string* error) {
  if (!reused_.empty()) {
    if (!runIn(reused_, resetReused_, error)) return std::string();
    return reused_;
  }
  // A fresh schema, set up by a repository as any other, and a copy of every table as it is
  // then (the schema version and whatever else a new schema holds).
  const std::string location = newLocation();
  const std::string schema = "scratch" + std::to_string(schemas_);
  if (!Repository::open(location, error)) return std::string();
  PGconn* conn = PQconnectdb(admin_.c_str());
  std::vector<std::string> tables;
  if (PQstatus(conn) == CONNECTION_OK) {
    const std::string list = "SELECT table_name FROM information_schema.tables WHERE "
                             "table_type = 'BASE TABLE' AND table_schema = '" + schema +
                             "' ORDER BY table_name";
    PGresult* result = PQexec(conn, list.c_str());
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
      for (int row = 0; row < PQntuples(result); ++row) tables.push_back(PQgetvalue(result, row, 0));
    }
    PQclear(result);
  }
  PQfinish(conn);
  if (tables.empty()) {
    if (error) *error = "the reused schema " + schema + " has no tables";
    return std::string();
  }
  std::string copy = "CREATE SCHEMA " + schema + "_fresh;";
  std::string empty;
  std::string refill;
  for (const std::string& t : tables) {
    copy += "CREATE TABLE " + schema + "_fresh." + t + " AS SELECT * FROM " + schema + "." + t + ";";
    empty += "DELETE FROM " + schema + "." + t + ";";
    refill += "INSERT INTO " + schema + "." + t + " OVERRIDING SYSTEM VALUE SELECT * FROM " +
              schema + "_fresh." + t + ";";
  }
  if (!run(copy, error)) return std::string();
  // DELETE rather than TRUNCATE: a store's tables are a few rows, and TRUNCATE makes new files
  // for every table and index (a third of a second a store). Generated keys go on counting
  // where they were; nothing shows a key. The tables' triggers (the change count) stay off
  // while the tables are put back: the copy already holds what they would write.
  resetReused_ = "SET session_replication_role = replica; BEGIN;" + empty + refill + "COMMIT;";
  reused_ = location;
  return reused_;
}

std::unique_ptr<Repository> reopenScratchRepository(std::string* error) {
  if (!postgresPass()) return Repository::open("", error);
  PostgresCluster* cluster = testCluster();
  if (!cluster) {
    if (error) *error = "no PostgreSQL test cluster";
    return nullptr;
  }
  const std::string location = cluster->reusedLocation(error);
  if (location.empty()) return nullptr;
  return Repository::open(location, error);
}

SharedLocation::SharedLocation(const std::string& prefix) {
  if (postgresPass()) {
    if (testCluster()) location_ = testCluster()->newLocation();
    return;
  }
  static std::atomic<int> counter{0};
  file_ = (std::filesystem::temp_directory_path() /
           (prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + ".db"))
              .string();
  location_ = file_;
}

SharedLocation::~SharedLocation() {
  if (file_.empty()) return;
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::filesystem::remove(file_ + suffix, ignored);
  }
}

std::unique_ptr<Repository> openScratchRepository(std::string* error) {
  if (!postgresPass()) return Repository::open("", error);
  PostgresCluster* cluster = testCluster();
  if (!cluster) {
    if (error) *error = "no PostgreSQL test cluster";
    return nullptr;
  }
  return Repository::open(cluster->newLocation(), error);
}

}  // namespace mdserver::testing
