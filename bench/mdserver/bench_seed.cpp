// Seed import and export at scale (not a Google Benchmark program: each figure is one run of a
// large job, each in a child process of its own so that its peak memory is its own).
//
// A generated seed of MDSERVER_SEED_OBJECTS objects (default 1,000,000), each with three
// attributes, a property and two links (one to an object further down the file), and a
// security section, is
//  - imported into a new SQLite repository file, against a bare loader written here that
//    inserts the same rows with prepared statements and parses nothing (goal: within 3x), peak
//    memory under 200 MB;
//  - exported again (goal: no slower than the import, memory bounded), and imported and
//    exported once more: the two exports must be identical;
//  - the same on PostgreSQL (a scratch cluster; MDSERVER_SEED_PG_OBJECTS sets its size, by
//    default the same), at least 50,000 objects/s, and at 100,000
//    objects against a row-by-row loader written here (one statement per row and per look-up,
//    as an importer that works one object at a time does; goal: at least 5x faster).
// MDSERVER_SEED_PG_REFERENCE_OBJECTS sets the row-by-row loader's size apart (it is slow);
// MDSERVER_SEED_ONLY=sqlite or =postgresql runs one part. Before either, the first of the
// import's two passes over the file (numbering the identifiers) is timed both ways: the quick
// reader against the full parser it stands in for, alternating in this process.
// MDSERVER_SEED_KEEP keeps the folder and the scratch cluster (its schemas "large" and "second"
// hold the loads) for a look at the server afterwards; PG_SCRATCH_OPTIONS passes settings to the
// cluster's server (scripts/pg-scratch-cluster.sh).
// Run it niced on a shared machine: `nice -n 10 build-bench/bin/bench_seed`.
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "common/bench_summary.h"
#include "mdserver/model/repository.h"
#include "mdserver/model/seed_survey.h"

namespace {

namespace fs = std::filesystem;
using mdserver::Repository;

constexpr double kMegabyte = 1024.0 * 1024.0;

std::string objectId(uint64_t i) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "R0000001.O%07llu", static_cast<unsigned long long>(i));
  return buffer;
}
std::string propertyId(uint64_t i) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "R0000001.P%07llu", static_cast<unsigned long long>(i));
  return buffer;
}
uint64_t aheadOf(uint64_t i, uint64_t n) { return (i + 1000) % n; }
uint64_t behindOf(uint64_t i, uint64_t n) { return (i + n - 1) % n; }

void generateSeed(const std::string& path, uint64_t n) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::perror(path.c_str());
    std::exit(2);
  }
  std::fprintf(out,
               "{\"server\": {\"version\": 9.4, \"paused\": 0},\n \"types\": [\"Table\", "
               "\"Person\"],\n \"repositories\": [{\"id\": \"R0000001\", \"name\": "
               "\"Main\", \"description\": \"generated\"}],\n \"objects\": [\n");
  for (uint64_t i = 0; i < n; ++i) {
    std::fprintf(out,
                 "  {\"repository\": \"R0000001\", \"type\": \"%s\", \"id\": \"%s\", \"name\": "
                 "\"object %llu\", \"description\": \"generated object\",\n"
                 "   \"attributes\": {\"Owner\": \"team %llu\", \"Rows\": \"%llu\", \"Note\": "
                 "\"a note\"},\n"
                 "   \"properties\": [{\"id\": \"%s\", \"name\": \"Badge\", \"value\": \"%llu\"}],\n"
                 "   \"associations\": {\"Next\": [\"%s\"], \"Previous\": [\"%s\"]}}%s\n",
                 i < 1000 ? "Person" : "Table", objectId(i).c_str(),
                 static_cast<unsigned long long>(i), static_cast<unsigned long long>(i % 97),
                 static_cast<unsigned long long>(i * 13), propertyId(i).c_str(),
                 static_cast<unsigned long long>(i), objectId(aheadOf(i, n)).c_str(),
                 objectId(behindOf(i, n)).c_str(), i + 1 < n ? "," : "");
  }
  std::fprintf(out, " ],\n \"security\": {\"passwordHashing\": \"minimal\", \"permissions\": "
                    "[\"Read\", \"Write\"],\n  \"logins\": [{\"user\": \"ada\", \"password\": "
                    "\"bench-only\", \"owner\": \"R0000001.O0000000\"}],\n  \"authorizations\": [");
  for (uint64_t i = 0; i < 1000 && i < n; ++i) {
    std::fprintf(out, "%s\n   {\"target\": \"%s\", \"identity\": \"%s\", \"permission\": "
                      "\"Read\", \"decision\": \"grant\"}",
                 i ? "," : "", objectId(1000 + i < n ? 1000 + i : i).c_str(),
                 objectId(i % 1000).c_str());
  }
  std::fprintf(out, "]}}\n");
  std::fclose(out);
}

// Runs job in a child process: its seconds (as it measured them) and its peak memory in MB.
struct Run {
  bool ok = false;
  double seconds = 0;
  double peakMegabytes = 0;
};
Run inChild(const std::function<bool()>& job) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(pipeEnds[0]);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = job();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) seconds = -1;
    [[maybe_unused]] ssize_t n = write(pipeEnds[1], &seconds, sizeof seconds);
    _exit(ok ? 0 : 1);
  }
  close(pipeEnds[1]);
  double seconds = -1;
  const bool got = read(pipeEnds[0], &seconds, sizeof seconds) == sizeof seconds;
  close(pipeEnds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  Run run;
  run.ok = got && seconds >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.seconds = seconds;
  run.peakMegabytes = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

bool importInto(const std::string& location, const std::string& seed) {
  std::string error;
  auto repository = Repository::open(location, &error);
  if (!repository) {
    std::fprintf(stderr, "cannot open: %s\n", error.c_str());
    return false;
  }
  mdserver::Outcome outcome = repository->importSeedFile(seed);
  if (!outcome.ok()) std::fprintf(stderr, "import failed: %s\n", outcome.message.c_str());
  return outcome.ok();
}

bool exportFrom(const std::string& location, const std::string& seed) {
  std::string error;
  auto repository = Repository::open(location, &error);
  if (!repository) return false;
  mdserver::Outcome outcome = repository->exportSeedFile(seed);
  if (!outcome.ok()) std::fprintf(stderr, "export failed: %s\n", outcome.message.c_str());
  return outcome.ok();
}

bool sameFiles(const std::string& a, const std::string& b) {
  std::FILE* x = std::fopen(a.c_str(), "rb");
  std::FILE* y = std::fopen(b.c_str(), "rb");
  bool same = x && y;
  static char bx[1 << 16], by[1 << 16];
  while (same) {
    const size_t nx = std::fread(bx, 1, sizeof bx, x);
    const size_t ny = std::fread(by, 1, sizeof by, y);
    same = nx == ny && std::equal(bx, bx + nx, by);
    if (nx == 0) break;
  }
  if (x) std::fclose(x);
  if (y) std::fclose(y);
  return same;
}

// The same rows as the import of the generated seed, inserted with prepared statements.
bool bareSqliteLoad(const std::string& path, uint64_t n) {
  { auto schema = Repository::open(path); if (!schema) return false; }
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  sqlite3_exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON; "
                   "BEGIN IMMEDIATE; PRAGMA defer_foreign_keys = ON; "
                   "INSERT INTO types(name) VALUES('Table'), ('Person'); "
                   "INSERT INTO repositories(id, name, description) VALUES('R0000001', 'Main', "
                   "'generated')", nullptr, nullptr, nullptr);
  sqlite3_stmt *object, *attribute, *property, *link;
  sqlite3_prepare_v2(db, "INSERT INTO objects(key, id, repository, type, name, description) "
                         "VALUES(?, ?, 1, ?, ?, ?)", -1, &object, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO attributes(object, name, position, value) VALUES(?, ?, ?, ?)",
                     -1, &attribute, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO properties(property, owner, position, value) VALUES(?, ?, 1, ?)",
                     -1, &property, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO associations(source, name, target, position) VALUES(?, ?, ?, ?)",
                     -1, &link, nullptr);
  auto run = [](sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc == SQLITE_DONE;
  };
  bool ok = true;
  for (uint64_t i = 0; i < n && ok; ++i) {
    const int64_t key = static_cast<int64_t>(2 * i + 1);
    const std::string id = objectId(i), name = "object " + std::to_string(i);
    sqlite3_bind_int64(object, 1, key);
    sqlite3_bind_text(object, 2, id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(object, 3, i < 1000 ? "Person" : "Table", -1, SQLITE_STATIC);
    sqlite3_bind_text(object, 4, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(object, 5, "generated object", -1, SQLITE_STATIC);
    ok = run(object);
    const std::string values[3] = {"team " + std::to_string(i % 97), std::to_string(i * 13),
                                   "a note"};
    const char* names[3] = {"Owner", "Rows", "Note"};
    for (int a = 0; a < 3 && ok; ++a) {
      sqlite3_bind_int64(attribute, 1, key);
      sqlite3_bind_text(attribute, 2, names[a], -1, SQLITE_STATIC);
      sqlite3_bind_int64(attribute, 3, a + 1);
      sqlite3_bind_text(attribute, 4, values[a].c_str(), -1, SQLITE_TRANSIENT);
      ok = run(attribute);
    }
    const std::string pid = propertyId(i), badge = std::to_string(i);
    sqlite3_bind_int64(object, 1, key + 1);
    sqlite3_bind_text(object, 2, pid.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(object, 3, "Property", -1, SQLITE_STATIC);
    sqlite3_bind_text(object, 4, "Badge", -1, SQLITE_STATIC);
    sqlite3_bind_text(object, 5, "", -1, SQLITE_STATIC);
    ok = ok && run(object);
    sqlite3_bind_int64(property, 1, key + 1);
    sqlite3_bind_int64(property, 2, key);
    sqlite3_bind_text(property, 3, badge.c_str(), -1, SQLITE_TRANSIENT);
    ok = ok && run(property);
    const uint64_t targets[2] = {aheadOf(i, n), behindOf(i, n)};
    const char* linkNames[2] = {"Next", "Previous"};
    for (int l = 0; l < 2 && ok; ++l) {
      sqlite3_bind_int64(link, 1, key);
      sqlite3_bind_text(link, 2, linkNames[l], -1, SQLITE_STATIC);
      sqlite3_bind_int64(link, 3, static_cast<int64_t>(2 * targets[l] + 1));
      sqlite3_bind_int64(link, 4, l + 1);
      ok = run(link);
    }
  }
  for (sqlite3_stmt* s : {object, attribute, property, link}) sqlite3_finalize(s);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) std::fprintf(stderr, "bare loader: %s\n", sqlite3_errmsg(db));
  sqlite3_close(db);
  return ok;
}

// One object at a time, one statement per row and per look-up (repository, type, identifier,
// each link's target), every statement prepared once: what an importer that reuses the
// single-object paths costs in round trips.
bool rowByRowPostgres(const std::string& location, uint64_t n) {
  { auto schema = Repository::open(location); if (!schema) return false; }
  PGconn* conn = PQconnectdb(location.c_str());
  if (PQstatus(conn) != CONNECTION_OK) return false;
  auto exec = [&](const char* sql) {
    PGresult* r = PQexec(conn, sql);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (!ok) std::fprintf(stderr, "%s: %s", sql, PQerrorMessage(conn));
    PQclear(r);
    return ok;
  };
  bool ok = exec("BEGIN") &&
            exec("INSERT INTO types(name) VALUES('Table'), ('Person')") &&
            exec("INSERT INTO repositories(id, name, description) VALUES('R0000001', 'Main', "
                 "'generated')");
  const char* statements[][2] = {
      {"repo", "SELECT key FROM repositories WHERE id = $1"},
      {"type", "SELECT name FROM types WHERE name = $1"},
      {"idkey", "SELECT key FROM objects WHERE id = $1"},
      {"object", "INSERT INTO objects(key, id, repository, type, name, description) VALUES($1, "
                 "$2, 1, $3, $4, $5)"},
      {"attribute", "INSERT INTO attributes(object, name, position, value) VALUES($1, $2, $3, $4)"},
      {"property", "INSERT INTO properties(property, owner, position, value) VALUES($1, $2, 1, $3)"},
      {"link", "INSERT INTO associations(source, name, target, position) VALUES($1, $2, $3, $4)"},
  };
  for (auto& s : statements) {
    PGresult* r = PQprepare(conn, s[0], s[1], 0, nullptr);
    ok = ok && PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
  }
  auto run = [&](const char* name, std::initializer_list<std::string> values) {
    const char* params[6];
    int k = 0;
    for (const std::string& v : values) params[k++] = v.c_str();
    PGresult* r = PQexecPrepared(conn, name, k, params, nullptr, nullptr, 0);
    const bool done = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (!done) std::fprintf(stderr, "%s: %s", name, PQerrorMessage(conn));
    PQclear(r);
    return done;
  };
  // Objects first (links may reach ahead), then their properties and links.
  for (uint64_t i = 0; i < n && ok; ++i) {
    const std::string key = std::to_string(2 * i + 1);
    ok = run("repo", {"R0000001"}) && run("type", {i < 1000 ? "Person" : "Table"}) &&
         run("idkey", {objectId(i)}) &&
         run("object", {key, objectId(i), i < 1000 ? "Person" : "Table",
                        "object " + std::to_string(i), "generated object"}) &&
         run("attribute", {key, "Owner", "1", "team " + std::to_string(i % 97)}) &&
         run("attribute", {key, "Rows", "2", std::to_string(i * 13)}) &&
         run("attribute", {key, "Note", "3", "a note"});
  }
  for (uint64_t i = 0; i < n && ok; ++i) {
    const std::string key = std::to_string(2 * i + 1), pkey = std::to_string(2 * i + 2);
    ok = run("idkey", {propertyId(i)}) &&
         run("object", {pkey, propertyId(i), "Property", "Badge", ""}) &&
         run("property", {pkey, key, std::to_string(i)}) &&
         run("idkey", {objectId(aheadOf(i, n))}) &&
         run("link", {key, "Next", std::to_string(2 * aheadOf(i, n) + 1), "1"}) &&
         run("idkey", {objectId(behindOf(i, n))}) &&
         run("link", {key, "Previous", std::to_string(2 * behindOf(i, n) + 1), "2"});
  }
  ok = ok && exec("COMMIT");
  PQfinish(conn);
  return ok;
}

std::string commandOutput(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  *status = pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool runSql(const std::string& location, const std::string& sql) {
  PGconn* conn = PQconnectdb(location.c_str());
  bool ok = PQstatus(conn) == CONNECTION_OK;
  if (ok) {
    PGresult* r = PQexec(conn, sql.c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
  }
  PQfinish(conn);
  return ok;
}

// Seconds of one first pass over the seed file: the quick reader, or the full parser.
double firstPass(const std::string& path, bool quick) {
  using namespace mdserver::seed_json;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return -1;
  SeedSource source(file, 0);
  uint64_t entries = 0;
  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  if (quick) {
    ok = quickSurvey(
             source, [](const std::string&, Piece&) {},
             [&](const SurveyedEntry&) { ++entries; },
             [](uint64_t) {}) == SurveyResult::kDone;
  } else {
    SyntaxFault fault;
    ok = readSeed(
        source, [](const std::string&, Piece&) {},
        [&](uint64_t, Piece&) { ++entries; }, &fault);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(file);
  return ok && entries > 0 ? seconds : -1;
}

void print(const char* what, const Run& run, uint64_t n) {
  std::printf("  %-44s %s %8.2f s  %9.0f objects/s  peak %7.1f MB\n", what,
              run.ok ? "  " : "FAILED", run.seconds, run.seconds > 0 ? n / run.seconds : 0.0,
              run.peakMegabytes);
}

}  // namespace

int main() {
  const char* objectsSetting = std::getenv("MDSERVER_SEED_OBJECTS");
  const uint64_t n = objectsSetting ? std::strtoull(objectsSetting, nullptr, 10) : 1000000;
  // The PostgreSQL part may be run at another size (MDSERVER_SEED_PG_OBJECTS; default: the same);
  // its comparison with the row-by-row loader at 100,000 objects, or fewer when it is smaller.
  const char* pgSetting = std::getenv("MDSERVER_SEED_PG_OBJECTS");
  const uint64_t pgN = pgSetting ? std::strtoull(pgSetting, nullptr, 10) : n;
  // The row-by-row loader is slow: MDSERVER_SEED_PG_REFERENCE_OBJECTS sets its size apart
  // (default: 100,000, or fewer when the PostgreSQL part is smaller); the import is timed at
  // that size too for the ratio.
  const char* referenceSetting = std::getenv("MDSERVER_SEED_PG_REFERENCE_OBJECTS");
  const uint64_t referenceN =
      referenceSetting ? std::strtoull(referenceSetting, nullptr, 10) : std::min<uint64_t>(pgN, 100000);
  // MDSERVER_SEED_ONLY=sqlite or =postgresql runs one part.
  const std::string only = std::getenv("MDSERVER_SEED_ONLY") ? std::getenv("MDSERVER_SEED_ONLY") : "";
  const bool runSqlite = only.empty() || only == "sqlite";
  const bool runPostgres = only.empty() || only == "postgresql";
  const fs::path folder = fs::temp_directory_path() / ("bench_seed_" + std::to_string(getpid()));
  fs::create_directories(folder);
  const std::string seed = (folder / "seed.json").string();
  const std::string smallSeed = (folder / "seed_small.json").string();
  const std::string pgSeed = (folder / "seed_pg.json").string();
  if (runSqlite || pgN == n) generateSeed(seed, n);
  if (runPostgres) generateSeed(smallSeed, referenceN);
  if (runPostgres && pgN != n) generateSeed(pgSeed, pgN);
  if (fs::exists(seed)) {
    std::printf("seed of %llu objects: %.1f MB\n", static_cast<unsigned long long>(n),
                static_cast<double>(fs::file_size(seed)) / kMegabyte);
  }

  {
    const std::string& file = fs::exists(seed) ? seed : (fs::exists(pgSeed) ? pgSeed : smallSeed);
    double quick = 0, full = 0;
    bool ok = true;
    for (int round = 0; round < 2 && ok; ++round) {
      const double q = firstPass(file, true), f = firstPass(file, false);
      ok = q > 0 && f > 0;
      quick += q;
      full += f;
    }
    if (ok) {
      std::printf("  first pass, twice each: quick reader %.2f s, full parser %.2f s\n", quick,
                  full);
      bench::reportRatio("seed first pass quick reader / full parser", 1.0, quick / full);
    } else {
      std::printf("FAILED: the first pass over the seed file\n");
    }
  }

  // SQLite.
  const std::string bareDb = (folder / "bare.db").string(), db = (folder / "import.db").string();
  const std::string db2 = (folder / "again.db").string();
  const std::string out1 = (folder / "out1.json").string(), out2 = (folder / "out2.json").string();
  if (runSqlite) {
    const Run bare = inChild([&] { return bareSqliteLoad(bareDb, n); });
    print("SQLite bare loader (prepared inserts)", bare, n);
    const Run imported = inChild([&] { return importInto(db, seed); });
    print("SQLite import", imported, n);
    const Run exported = inChild([&] { return exportFrom(db, out1); });
    print("SQLite export", exported, n);
    const Run again = inChild([&] { return importInto(db2, out1) && exportFrom(db2, out2); });
    const bool sqliteExact = again.ok && sameFiles(out1, out2);
    std::printf("  SQLite round trip (export, import, export): %s\n",
                sqliteExact ? "identical" : "DIFFERENT");
    if (bare.ok && imported.ok) bench::reportRatio("seed import SQLite / bare loader", 3.0, imported.seconds / bare.seconds);
    if (imported.ok) bench::reportRatio("seed import SQLite peak memory / 200 MB", 1.0, imported.peakMegabytes / 200.0);
    if (exported.ok && imported.ok) bench::reportRatio("seed export SQLite / import", 1.0, exported.seconds / imported.seconds);
    if (exported.ok) bench::reportRatio("seed export SQLite peak memory / 200 MB", 1.0, exported.peakMegabytes / 200.0);
    bench::reportRatio("seed round trip SQLite differs (0 = identical)", 0.0, sqliteExact ? 0.0 : 1.0);
    for (const std::string& path : {bareDb, db, db2}) {
      for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    }
  }

  // PostgreSQL.
  const std::string script = std::string(RUX_SOURCE_DIR) + "/scripts/pg-scratch-cluster.sh";
  int status = 0;
  const std::string cluster = runPostgres ? commandOutput(script + " start", &status) : "";
  if (runPostgres && (status != 0 || cluster.empty())) {
    std::printf("SKIPPED: the PostgreSQL part (the scratch cluster did not start)\n");
  } else if (runPostgres) {
    const std::string admin = "postgresql://postgres@/postgres?host=" + cluster;
    auto schema = [&](const char* name) {
      runSql(admin, std::string("CREATE SCHEMA ") + name);
      return admin + "&options=-c%20search_path%3D" + name;
    };
    const std::string reference = schema("reference"), small = schema("small");
    const std::string large = schema("large"), second = schema("second");
    const Run rowByRow = inChild([&] { return rowByRowPostgres(reference, referenceN); });
    const std::string atReference = " (" + std::to_string(referenceN) + " objects)";
    print(("PostgreSQL row-by-row loader" + atReference).c_str(), rowByRow, referenceN);
    const Run smallImport = inChild([&] { return importInto(small, smallSeed); });
    print(("PostgreSQL import" + atReference).c_str(), smallImport, referenceN);
    const Run pgImport = inChild([&] { return importInto(large, pgN != n ? pgSeed : seed); });
    print("PostgreSQL import", pgImport, pgN);
    const Run pgExport = inChild([&] { return exportFrom(large, out2); });
    print("PostgreSQL export", pgExport, pgN);
    const std::string out3 = (folder / "out3.json").string();
    const Run pgAgain = inChild([&] { return importInto(second, out2) && exportFrom(second, out3); });
    // (Its export differs from SQLite's only in the login's hash: each import salts the clear
    // password of the generated seed afresh.)
    const bool pgExact = pgAgain.ok && sameFiles(out2, out3);
    std::printf("  PostgreSQL round trip (export, import, export): %s\n",
                pgExact ? "identical" : "DIFFERENT");
    if (rowByRow.ok && smallImport.ok) {
      bench::reportRatio("seed import PostgreSQL / row-by-row loader (at up to 100,000)", 0.2,
                         smallImport.seconds / rowByRow.seconds);
    }
    if (pgImport.ok) {
      bench::reportRatio("seed import PostgreSQL 50,000 objects/s / measured", 1.0,
                         50000.0 / (pgN / pgImport.seconds));
      bench::reportRatio("seed import PostgreSQL peak memory / 200 MB", 1.0, pgImport.peakMegabytes / 200.0);
    }
    if (pgExport.ok && pgImport.ok) {
      bench::reportRatio("seed export PostgreSQL / import", 1.0, pgExport.seconds / pgImport.seconds);
      bench::reportRatio("seed export PostgreSQL peak memory / 200 MB", 1.0, pgExport.peakMegabytes / 200.0);
    }
    bench::reportRatio("seed round trip PostgreSQL differs (0 = identical)", 0.0, pgExact ? 0.0 : 1.0);
    if (std::getenv("MDSERVER_SEED_KEEP")) {
      std::printf("kept the scratch cluster %s (stop: %s stop %s)\n", cluster.c_str(),
                  script.c_str(), cluster.c_str());
    } else {
      [[maybe_unused]] int ignored = std::system((script + " stop " + cluster).c_str());
    }
  }
  if (std::getenv("MDSERVER_SEED_KEEP")) {
    std::printf("kept %s\n", folder.c_str());
  } else {
    fs::remove_all(folder);
  }
  return 0;
}
