// Resolution speed at a million objects: object URIs through the metadata client interface
// beside the same look-ups done directly in SQLite on the same data, in the same run, so the
// difference is the interface's own cost (URI compilation, pool blocks, bookkeeping).
//
// MDSERVER_BENCH_OBJECTS sets the number of objects (default 1000000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mdaccess/md_abi.h"
#include "mdserver/client_interface.h"
#include "mdserver/repository.h"

namespace {

struct World {
  std::unique_ptr<mdserver::Repository> repository;
  MetadataInterface* md = nullptr;
  std::vector<std::string> ids;
  size_t count = 0;
};

std::string nameOf(size_t i) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "obj%07zu", i);
  return buffer;
}

World& world() {
  static World w = [] {
    World built;
    const char* env = std::getenv("MDSERVER_BENCH_OBJECTS");
    built.count = env ? std::strtoull(env, nullptr, 10) : 1000000;
    built.repository = mdserver::Repository::open("");
    built.repository->addRepository("BENCH001", "Bench", "");
    built.repository->addType("Thing");
    std::vector<mdserver::ObjectDraft> drafts(built.count);
    for (size_t i = 0; i < built.count; ++i) {
      drafts[i] = {"BENCH001", "Thing", "", nameOf(i), "", {{"Serial", std::to_string(i)}}};
    }
    auto start = std::chrono::steady_clock::now();
    mdserver::Outcome outcome = built.repository->createObjects(drafts, &built.ids);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!outcome.ok()) {
      std::fprintf(stderr, "building the repository failed: %s\n", outcome.message.c_str());
      std::exit(1);
    }
    std::fprintf(stderr, "built %zu objects in %.1f s\n", built.count, seconds);
    built.md = mdserver::openInterface(*built.repository, {});
    return built;
  }();
  return w;
}

// Spread the look-ups over the whole key range so that no page stays hot by accident.
size_t pick(size_t iteration, size_t count) { return (iteration * 7919 + 13) % count; }

void resolveThroughInterface(benchmark::State& state, bool byName) {
  World& w = world();
  size_t i = 0;
  for (auto _ : state) {
    size_t n = pick(i++, w.count);
    std::string uri = byName ? "vqsobj:Thing?@Name='" + nameOf(n) + "'"
                             : "vqsobj:Thing\\" + w.ids[n];
    MetadataObject* list = nullptr;
    if (resolveUri(w.md, uri.data(), static_cast<int32_t>(uri.size()), &list) != kStatusOk ||
        !list) {
      state.SkipWithError("resolution failed");
      break;
    }
    benchmark::DoNotOptimize(list->identifier[0]);
    freeObjectList(w.md, list);
  }
}

void lookUpDirectly(benchmark::State& state, bool byName) {
  World& w = world();
  std::lock_guard lock(w.repository->mutex());
  sqlite3* db = w.repository->rawHandle();
  const char* sql = byName ? "SELECT key, id, type, name, description FROM objects "
                             "WHERE type = ?1 AND name = ?2 ORDER BY id"
                           : "SELECT key, id, type, name, description FROM objects "
                             "WHERE id = ?2 AND type = ?1";
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  size_t i = 0;
  for (auto _ : state) {
    size_t n = pick(i++, w.count);
    std::string key = byName ? nameOf(n) : w.ids[n];
    sqlite3_bind_text(stmt, 1, "Thing", 5, SQLITE_STATIC);
    sqlite3_bind_text(stmt, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(stmt) != SQLITE_ROW) {
      state.SkipWithError("direct look-up failed");
      break;
    }
    benchmark::DoNotOptimize(sqlite3_column_text(stmt, 1));
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
}

void BM_ResolveByName(benchmark::State& state) { resolveThroughInterface(state, true); }
void BM_DirectSqliteByName(benchmark::State& state) { lookUpDirectly(state, true); }
void BM_ResolveById(benchmark::State& state) { resolveThroughInterface(state, false); }
void BM_DirectSqliteById(benchmark::State& state) { lookUpDirectly(state, false); }

BENCHMARK(BM_ResolveByName);
BENCHMARK(BM_DirectSqliteByName);
BENCHMARK(BM_ResolveById);
BENCHMARK(BM_DirectSqliteById);

}  // namespace

BENCHMARK_MAIN();
