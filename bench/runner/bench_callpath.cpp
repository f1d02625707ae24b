// What one package call costs a Lua program, measured inside mdhost's own runtime (the same
// host, packages, repository, session and Lua globals a program gets) against the floor of a
// bare Lua-to-C call, math.abs in the same kind of loop, in the same run:
//
//   floor     local abs = math.abs; for i = 1, n do abs(i) end
//   resolve   METADATA_RESOLVE of a cached URI with two character outputs
//   paused    METADATA_PAUSED
//   getnobj   METADATA_GETNOBJ walking a cached list of kListLength objects by index
//
// Each workload is a Lua function f(n) that makes n calls. The table of per-call times comes
// from Google Benchmark; the ratios come from rounds that run every workload in turn and keep
// each one's best round in CPU time, so a neighbour's load on the machine moves floor and call
// alike.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <lua.hpp>

#include "common/bench_summary.h"
#include "runner/command_line.h"
#include "runner/program_session.h"

namespace {

constexpr int kListLength = 1000;

// Builds the workloads in the program's state. Every call is checked once before it is timed,
// so a benchmark never times a failing call.
constexpr char kSetUp[] = R"lua(
local listLength = ...
local uri = [[vqsobj:Person?@Name='Ada Field']]
local type, id = char(20), char(60)
assert(metadata_resolve(uri, type, id) == 1 and id.trimmed == "A0000001.PERSON01",
       "the sample repository does not resolve Ada Field")
assert(metadata_paused() == 0, "the sample repository is paused")
local made = char(40)
for i = 1, listLength do
  assert(metadata_newobj("Column", made, "callpath") == 0, "cannot create a Column")
end
local listUri = [[vqsobj:Column?@Name='callpath']]
local out = char(40)
assert(metadata_getnobj(listUri, 1, out) == listLength, "the list is not as long as made")

local abs, resolve, paused, getnobj = math.abs, metadata_resolve, metadata_paused, metadata_getnobj
return {
  floor = function(n) for i = 1, n do abs(i) end end,
  resolve = function(n) for i = 1, n do resolve(uri, type, id) end end,
  paused = function(n) for i = 1, n do paused() end end,
  -- position runs 1..listLength and starts again, as a program walking the list would.
  getnobj = function(n)
    local position = 0
    for i = 1, n do
      position = position < listLength and position + 1 or 1
      getnobj(listUri, position, out)
    end
  end,
}
)lua";

const char* const kWorkloads[] = {"floor", "resolve", "paused", "getnobj"};

lua_State* state = nullptr;
int workloadTable = LUA_NOREF;

// Runs workload `name` for n calls; false (with the message on stderr) when Lua raised an error.
bool runWorkload(const char* name, lua_Integer n) {
  lua_rawgeti(state, LUA_REGISTRYINDEX, workloadTable);
  lua_getfield(state, -1, name);
  lua_pushinteger(state, n);
  const bool ok = lua_pcall(state, 1, 0, 0) == LUA_OK;
  if (!ok) std::fprintf(stderr, "bench_callpath: %s: %s\n", name, lua_tostring(state, -1));
  lua_settop(state, 0);
  return ok;
}

void perCall(benchmark::State& s, const char* name) {
  constexpr lua_Integer kBatch = 1000;
  for (auto _ : s) {
    if (!runWorkload(name, kBatch)) {
      s.SkipWithError("the workload failed");
      return;
    }
  }
  s.SetItemsProcessed(s.iterations() * kBatch);
  s.counters["ns_per_call"] = benchmark::Counter(
      static_cast<double>(s.iterations() * kBatch),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// CPU time of this thread: on a machine shared with other work, wall time would count their turns.
double threadNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double nanosecondsPerCall(const char* name, lua_Integer n) {
  const double start = threadNanoseconds();
  if (!runWorkload(name, n)) return -1;
  return (threadNanoseconds() - start) / static_cast<double>(n);
}

// Best round of each workload; rounds interleave the workloads.
std::map<std::string, double> bestOfRounds() {
  constexpr int kRounds = 60;
  std::map<std::string, double> best;
  for (int round = 0; round < kRounds; ++round) {
    for (const char* name : kWorkloads) {
      // The floor is some fifty times cheaper: more calls keep its round as long as the others.
      const lua_Integer n = std::string(name) == "floor" ? 400000 : 20000;
      const double ns = nanosecondsPerCall(name, n);
      if (ns < 0) return {};
      auto [it, fresh] = best.emplace(name, ns);
      if (!fresh) it->second = std::min(it->second, ns);
    }
  }
  return best;
}

int runAll(int argc, char** argv, lua_State* L) {
  state = L;
  if (luaL_loadstring(L, kSetUp) != LUA_OK) {
    std::fprintf(stderr, "bench_callpath: %s\n", lua_tostring(L, -1));
    return 1;
  }
  lua_pushinteger(L, kListLength);
  if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
    std::fprintf(stderr, "bench_callpath: setting up: %s\n", lua_tostring(L, -1));
    return 1;
  }
  workloadTable = luaL_ref(L, LUA_REGISTRYINDEX);
  for (const char* name : kWorkloads) {
    benchmark::RegisterBenchmark((std::string("callpath/") + name).c_str(), perCall, name);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const std::map<std::string, double> best = bestOfRounds();
  if (best.empty()) return 1;
  const double floor = best.at("floor");
  std::printf("best round, ns per call: floor %.1f, resolve %.1f, paused %.1f, getnobj %.1f\n",
              floor, best.at("resolve"), best.at("paused"), best.at("getnobj"));
  bench::reportRatio("mdhost: cached METADATA_RESOLVE, 2 outputs / math.abs call", 10.0,
                     best.at("resolve") / floor);
  bench::reportRatio("mdhost: METADATA_PAUSED / math.abs call", 10.0, best.at("paused") / floor);
  bench::reportRatio("mdhost: METADATA_GETNOBJ walking a cached list / math.abs call", 12.0,
                     best.at("getnobj") / floor);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  runner::CommandLine line;  // the bundled sample repository, packages from the build tree
  line.script = "bench_callpath";
  return runner::runWithProgramState(line, [&](lua_State* L) { return runAll(argc, argv, L); });
}
