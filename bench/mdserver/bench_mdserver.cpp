// Resolution speed at a million objects, in a repository file: object URIs resolved by the
// repository (through the metadata client interface, and through the repository itself) beside
// the same look-ups done with one prepared SQLite statement on the same index, in the same run,
// so the difference is the repository's own cost (URI compilation, statement reuse, rows, pool
// blocks, bookkeeping).
//
// The repository is bulk-loaded into a temporary file through its own schema in one
// transaction, then the query plans of the repository's statements are checked to use the
// indexes (a plan that scans the table aborts the benchmark: every figure after it would be
// meaningless).
//
// MDSERVER_BENCH_OBJECTS sets the number of objects (default 1000000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/bench_summary.h"
#include "common/paired_timing.h"
#include "mdaccess/md_abi.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/query/object_uri.h"

namespace {

constexpr const char* kRepositoryId = "BENCH001";
// Objects are spread over several types, so that the type column of the index has to do work.
constexpr const char* kTypes[] = {"Thing", "Column", "Table", "Person"};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_mdserver: %s\n", what.c_str());
  std::exit(1);
}

std::string nameOf(size_t i) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "obj%07zu", i);
  return buffer;
}

const char* typeOf(size_t i) { return kTypes[i % kTypeCount]; }

// "BENCH001." and 8 base-36 digits; counting up keeps identifier order and key order the same.
std::string idOf(size_t i) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string id = std::string(kRepositoryId) + ".00000000";
  for (size_t at = id.size(), v = i + 1; v != 0 && at > 9; v /= 36) id[--at] = kDigits[v % 36];
  return id;
}

struct World {
  std::string path;
  std::unique_ptr<mdserver::Repository> repository;
  MetadataInterface* md = nullptr;
  size_t count = 0;

  ~World() {
    if (md) releaseInterface(md);
    repository.reset();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::remove((path + suffix).c_str());
    }
  }
};

void execute(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "?";
    sqlite3_free(message);
    die(std::string(sql) + ": " + text);
  }
}

// Every object of the repository's schema, inserted with one prepared statement in one
// transaction; the identifier serial is moved past them, as the repository's own creation would.
void bulkLoad(World& w) {
  std::lock_guard lock(w.repository->mutex());
  sqlite3* db = w.repository->rawHandle();
  execute(db, "BEGIN IMMEDIATE");
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db,
                         "INSERT INTO objects(key, id, repository, type, name, description) "
                         "VALUES(?1, ?2, (SELECT key FROM repositories WHERE id = ?3), ?4, ?5, '')",
                         -1, &insert, nullptr) != SQLITE_OK) {
    die(std::string("cannot prepare the bulk insert: ") + sqlite3_errmsg(db));
  }
  for (size_t i = 0; i < w.count; ++i) {
    const std::string id = idOf(i), name = nameOf(i);
    sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(i + 1));
    sqlite3_bind_text(insert, 2, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, kRepositoryId, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 4, typeOf(i), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) {
      die("bulk insert of object " + id + " failed: " + sqlite3_errmsg(db));
    }
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  const std::string serial = "UPDATE repositories SET serial = " + std::to_string(w.count) +
                             " WHERE id = '" + kRepositoryId + "'";
  execute(db, serial.c_str());
  execute(db, "COMMIT");
}

void build(World& built) {
  const char* env = std::getenv("MDSERVER_BENCH_OBJECTS");
  built.count = env ? std::strtoull(env, nullptr, 10) : 1000000;
  if (built.count == 0) die("MDSERVER_BENCH_OBJECTS must be a positive number");
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_mdserver_XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd < 0) die("cannot create a temporary repository file in " + pattern);
  close(fd);
  built.path = pattern;
  std::string error;
  built.repository = mdserver::Repository::open(built.path, &error);
  if (!built.repository) die("cannot open " + built.path + ": " + error);
  if (!built.repository->addRepository(kRepositoryId, "Bench", "").ok()) {
    die("cannot add the repository");
  }
  for (const char* type : kTypes) built.repository->addType(type);
  auto start = std::chrono::steady_clock::now();
  bulkLoad(built);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "built %zu objects in %s in %.1f s\n", built.count, built.path.c_str(),
               seconds);
  built.md = mdserver::openInterface(*built.repository, {});
}

World& world() {
  // Built in place, so that an exit half-way still removes the temporary file.
  static World w;
  if (!w.md) build(w);
  return w;
}

// Spread the look-ups over the whole key range so that no page stays hot by accident.
size_t pick(size_t iteration, size_t count) { return (iteration * 7919 + 13) % count; }

std::string uriFor(size_t n, bool byName) {
  return byName ? std::string("vqsobj:") + typeOf(n) + "?@Name='" + nameOf(n) + "'"
                : std::string("vqsobj:") + typeOf(n) + "\\" + idOf(n);
}

// ---- the three ways of looking an object up ---------------------------------------------------

// Through the metadata client interface, as the packages call it: a list of pool blocks.
bool resolveThroughInterface(World& w, size_t n, bool byName) {
  const std::string uri = uriFor(n, byName);
  MetadataObject* list = nullptr;
  if (resolveUri(w.md, uri.data(), static_cast<int32_t>(uri.size()), &list) != kStatusOk ||
      !list || list->next) {
    return false;
  }
  benchmark::DoNotOptimize(list->identifier[0]);
  freeObjectList(w.md, list);
  return true;
}

// Through the repository's own resolution: rows of the repository's object model.
bool resolveThroughRepository(World& w, size_t n, bool byName,
                              std::vector<mdserver::ObjectRow>& rows) {
  const std::string uri = uriFor(n, byName);
  if (!w.repository->resolve(uri, 0, rows).ok() || rows.size() != 1) return false;
  benchmark::DoNotOptimize(rows[0].id.data());
  return true;
}

// One prepared statement on the index the repository's query uses, its columns read in place.
class DirectLookUp {
 public:
  DirectLookUp(World& w, bool byName) : w_(w), byName_(byName) {
    const char* sql = byName ? "SELECT key, id, type, name, description FROM objects "
                               "WHERE type = ?1 AND name = ?2 ORDER BY id"
                             : "SELECT key, id, type, name, description FROM objects "
                               "WHERE id = ?2 AND type = ?1";
    if (sqlite3_prepare_v2(w.repository->rawHandle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      die("cannot prepare the direct look-up");
    }
  }
  ~DirectLookUp() { sqlite3_finalize(stmt_); }
  DirectLookUp(const DirectLookUp&) = delete;
  DirectLookUp& operator=(const DirectLookUp&) = delete;

  bool operator()(size_t n) {
    std::lock_guard lock(w_.repository->mutex());
    const std::string key = byName_ ? nameOf(n) : idOf(n);
    sqlite3_bind_text(stmt_, 1, typeOf(n), -1, SQLITE_STATIC);
    sqlite3_bind_text(stmt_, 2, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    bool found = sqlite3_step(stmt_) == SQLITE_ROW;
    if (found) {
      benchmark::DoNotOptimize(sqlite3_column_int64(stmt_, 0));
      for (int column = 1; column < 5; ++column) {
        benchmark::DoNotOptimize(sqlite3_column_text(stmt_, column));
      }
      found = sqlite3_step(stmt_) == SQLITE_DONE;
    }
    sqlite3_reset(stmt_);
    return found;
  }

 private:
  World& w_;
  bool byName_;
  sqlite3_stmt* stmt_ = nullptr;
};

// ---- query plans ------------------------------------------------------------------------------

std::string planOf(sqlite3* db, const mdserver::CompiledUri& compiled) {
  std::string sql = "EXPLAIN QUERY PLAN " + compiled.sql;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    die("cannot explain " + compiled.sql + ": " + sqlite3_errmsg(db));
  }
  std::string plan;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    plan += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
    plan += "; ";
  }
  sqlite3_finalize(stmt);
  return plan;
}

// The statement the repository runs for the URI must search the index named, not scan.
void checkPlan(World& w, const std::string& uri, const char* index) {
  mdserver::CompiledUri compiled;
  mdserver::UriError error;
  if (!mdserver::compileObjectUri(uri, compiled, error)) die(uri + ": " + error.text());
  std::lock_guard lock(w.repository->mutex());
  const std::string plan = planOf(w.repository->rawHandle(), compiled);
  std::fprintf(stderr, "plan of %s: %s\n", uri.c_str(), plan.c_str());
  if (plan.find(std::string("USING INDEX ") + index) == std::string::npos &&
      plan.find(std::string("USING COVERING INDEX ") + index) == std::string::npos) {
    die("the repository's statement for " + uri + " does not search " + index + ": " + plan);
  }
  if (plan.find("SCAN o0") != std::string::npos) {
    die("the repository's statement for " + uri + " scans the objects table: " + plan);
  }
}

// ---- Google Benchmark rows: time per look-up -------------------------------------------------

void BM_InterfaceByName(benchmark::State& state) {
  World& w = world();
  size_t i = 0;
  for (auto _ : state) {
    if (!resolveThroughInterface(w, pick(i++, w.count), true)) {
      state.SkipWithError("resolution failed");
      break;
    }
  }
}
void BM_InterfaceById(benchmark::State& state) {
  World& w = world();
  size_t i = 0;
  for (auto _ : state) {
    if (!resolveThroughInterface(w, pick(i++, w.count), false)) {
      state.SkipWithError("resolution failed");
      break;
    }
  }
}
void BM_RepositoryByName(benchmark::State& state) {
  World& w = world();
  std::vector<mdserver::ObjectRow> rows;
  size_t i = 0;
  for (auto _ : state) {
    if (!resolveThroughRepository(w, pick(i++, w.count), true, rows)) {
      state.SkipWithError("resolution failed");
      break;
    }
  }
}
void BM_RepositoryById(benchmark::State& state) {
  World& w = world();
  std::vector<mdserver::ObjectRow> rows;
  size_t i = 0;
  for (auto _ : state) {
    if (!resolveThroughRepository(w, pick(i++, w.count), false, rows)) {
      state.SkipWithError("resolution failed");
      break;
    }
  }
}
void BM_DirectSqliteByName(benchmark::State& state) {
  World& w = world();
  DirectLookUp lookUp(w, true);
  size_t i = 0;
  for (auto _ : state) {
    if (!lookUp(pick(i++, w.count))) {
      state.SkipWithError("direct look-up failed");
      break;
    }
  }
}
void BM_DirectSqliteById(benchmark::State& state) {
  World& w = world();
  DirectLookUp lookUp(w, false);
  size_t i = 0;
  for (auto _ : state) {
    if (!lookUp(pick(i++, w.count))) {
      state.SkipWithError("direct look-up failed");
      break;
    }
  }
}

BENCHMARK(BM_InterfaceByName);
BENCHMARK(BM_RepositoryByName);
BENCHMARK(BM_DirectSqliteByName);
BENCHMARK(BM_InterfaceById);
BENCHMARK(BM_RepositoryById);
BENCHMARK(BM_DirectSqliteById);

// ---- the goal ratios, measured in turns ------------------------------------------------------

void reportRatios(World& w) {
  // Short rounds, many of them: on a shared machine the load changes within seconds, and the
  // closer the turns, the more alike the weather both sides see.
  constexpr int kRounds = 301;
  constexpr size_t kCalls = 100;
  for (bool byName : {true, false}) {
    DirectLookUp direct(w, byName);
    std::vector<mdserver::ObjectRow> rows;
    auto require = [](bool ok, const char* what) {
      if (!ok) die(std::string(what) + " failed during the ratio measurement");
    };
    bench::PairedCost viaInterface = bench::measurePaired(
        [&](size_t i) { require(resolveThroughInterface(w, pick(i, w.count), byName), "interface"); },
        [&](size_t i) { require(direct(pick(i, w.count)), "direct look-up"); }, kRounds, kCalls);
    bench::PairedCost viaRepository = bench::measurePaired(
        [&](size_t i) {
          require(resolveThroughRepository(w, pick(i, w.count), byName, rows), "repository");
        },
        [&](size_t i) { require(direct(pick(i, w.count)), "direct look-up"); }, kRounds, kCalls);
    const char* form = byName ? "TYPE?@Name='x'" : "TYPE\\ID";
    std::fprintf(stderr,
                 "%s at %zu objects: interface %.0f ns, repository %.0f ns, direct SQLite %.0f / "
                 "%.0f ns (CPU time, median of %d rounds)\n",
                 form, w.count, viaInterface.oursNs, viaRepository.oursNs,
                 viaInterface.referenceNs, viaRepository.referenceNs, kRounds);
    const std::string scale = std::to_string(w.count / 1000) + "k objects";
    bench::reportRatio(std::string("mdserver: resolveUri ") + form + " vs direct SQLite, " + scale,
                       byName ? 1.3 : 1.2, viaInterface.ratio());
    bench::reportRatio(std::string("mdserver: Repository::resolve ") + form +
                           " vs direct SQLite, " + scale,
                       0, viaRepository.ratio());
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  World& w = world();
  checkPlan(w, uriFor(0, true), "objects_by_type_name");
  checkPlan(w, uriFor(0, false), "sqlite_autoindex_objects_1");
  benchmark::RunSpecifiedBenchmarks();
  reportRatios(w);
  benchmark::Shutdown();
  return 0;
}
