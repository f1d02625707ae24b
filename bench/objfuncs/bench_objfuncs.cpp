// Cost per call of a program that walks every object of a URI with METADATA_GETNOBJ for
// n = 1..N, every type name with METADATA_GETNTYP, and every object of an association with
// METADATA_GETNASS, at N = 100, 10,000 and 100,000 in one run. The per-call time should stay flat as N grows: each call continues from where the
// previous one stopped instead of walking the list from its head again.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"

namespace {

constexpr char kUri[] = "vqsobj:Column?@Name='c'";
constexpr char kTableUri[] = "vqsobj:Table?@Name='t'";  // its Columns are the N columns

// One repository with N objects of type Column (and N type names), a host with objfuncs.so.
struct Setup {
  std::unique_ptr<mdserver::Repository> repository;
  std::unique_ptr<refhost::ReferenceHost> host;
  HostSession* session = nullptr;
  const refhost::LoadedFunction* getnobj = nullptr;
  const refhost::LoadedFunction* getntyp = nullptr;
  const refhost::LoadedFunction* getnass = nullptr;
};

// Ended explicitly before main returns, while the hosts' own statics are still alive. One
// setup at a time: the package keeps the host that loaded it last in its module globals, so a
// call through an older host would reach the newer host's sessions and repository.
std::map<int64_t, std::unique_ptr<Setup>> setups;

Setup& setupFor(int64_t n) {
  if (auto found = setups.find(n); found != setups.end()) return *found->second;
  setups.clear();
  auto& slot = setups[n];
  slot = std::make_unique<Setup>();
  Setup& s = *slot;
  std::string error;
  s.repository = mdserver::Repository::open("", &error);
  if (!s.repository) throw std::runtime_error(error);
  s.repository->addRepository("A5BENCH1", "Bench", "benchmark data");
  s.repository->addType("Column");
  s.repository->addType("Table");
  std::vector<mdserver::ObjectDraft> drafts;
  drafts.reserve(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    drafts.push_back({"A5BENCH1", "Column", "", "c", "", {}});
  }
  std::vector<std::string> columns;
  mdserver::Outcome created = s.repository->createObjects(drafts, &columns);
  if (!created.ok()) throw std::runtime_error(created.message);
  std::string table;
  created = s.repository->createObject({"A5BENCH1", "Table", "", "t", "", {}}, &table);
  if (!created.ok()) throw std::runtime_error(created.message);
  created = s.repository->setAssociation(table, "Columns", mdserver::AssociationMode::kReplace,
                                         columns);
  if (!created.ok()) throw std::runtime_error(created.message);
  for (int64_t i = 1; i < n; ++i) s.repository->addType("Type" + std::to_string(i));

  refhost::HostConfig config;
  config.logFile = nullptr;
  s.host = std::make_unique<refhost::ReferenceHost>(config);
  s.host->load(RUX_BUILD_DIR "/lib/objfuncs.so");
  mdserver::Repository* repository = s.repository.get();
  s.host->setMetadataProvider([repository](HostSession*, void** out) {
    *out = mdserver::openInterface(*repository, {"bench", "bench"});
    return kStatusOk;
  });
  s.session = s.host->newSession(nullptr, "DOSUB");
  s.getnobj = s.host->findFunction("METADATA_GETNOBJ");
  s.getntyp = s.host->findFunction("METADATA_GETNTYP");
  s.getnass = s.host->findFunction("METADATA_GETNASS");
  return s;
}

void walkObjects(benchmark::State& state) {
  const int64_t n = state.range(0);
  Setup& s = setupFor(n);
  refhost::CharacterVariable out(40);
  std::vector<refhost::Argument> args = {refhost::Argument::literal(kUri),
                                         refhost::Argument::numeric(1),
                                         refhost::Argument::of(out)};
  // The first call resolves and caches the list; it is not part of the walk.
  if (s.host->call(s.session, *s.getnobj, args).numericValue != static_cast<double>(n)) {
    state.SkipWithError("the URI does not give N objects");
    return;
  }
  int64_t index = 0;
  for (auto _ : state) {
    args[1].number = static_cast<double>(index + 1);
    double value = s.host->call(s.session, *s.getnobj, args).numericValue;
    benchmark::DoNotOptimize(value);
    index = (index + 1) % n;
  }
  state.counters["N"] = static_cast<double>(n);
}

void walkTypeNames(benchmark::State& state) {
  const int64_t n = state.range(0);
  Setup& s = setupFor(n);
  refhost::CharacterVariable out(40);
  std::vector<refhost::Argument> args = {refhost::Argument::numeric(1), refhost::Argument::of(out)};
  int64_t index = 0;
  for (auto _ : state) {
    args[0].number = static_cast<double>(index + 1);
    double value = s.host->call(s.session, *s.getntyp, args).numericValue;
    benchmark::DoNotOptimize(value);
    index = (index + 1) % n;
  }
  state.counters["N"] = static_cast<double>(n);
}

void walkAssociation(benchmark::State& state) {
  const int64_t n = state.range(0);
  Setup& s = setupFor(n);
  refhost::CharacterVariable out(48);
  std::vector<refhost::Argument> args = {
      refhost::Argument::literal(kTableUri), refhost::Argument::literal("Columns"),
      refhost::Argument::numeric(1), refhost::Argument::of(out)};
  // The first call resolves the table and asks for the association once; not part of the walk.
  const double first = s.host->call(s.session, *s.getnass, args).numericValue;
  if (first != static_cast<double>(n)) {
    state.SkipWithError(
        ("the association does not hold N objects: " + std::to_string(first)).c_str());
    return;
  }
  int64_t index = 0;
  for (auto _ : state) {
    args[2].number = static_cast<double>(index + 1);
    double value = s.host->call(s.session, *s.getnass, args).numericValue;
    benchmark::DoNotOptimize(value);
    index = (index + 1) % n;
  }
  state.counters["N"] = static_cast<double>(n);
}

BENCHMARK(walkObjects)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(walkTypeNames)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(walkAssociation)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  setups.clear();
  return 0;
}
