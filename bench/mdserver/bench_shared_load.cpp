// Load on one shared repository: N worker processes (default 8) on a PostgreSQL database of
// many objects (default 100,000) for a while (default 30 s), each doing a mix of resolutions
// (40%), attribute reads (30%), attribute writes (20%) and authorization checks and changes
// (10%); then the same mix in one process on an SQLite file. Prints operations per second and
// the 99th-percentile latency of each run, and checks afterwards, from the log each worker
// writes of what it committed, that no committed change was lost or torn.
//
// Every worker process opens its own connection through the repository layer, as each mdhost
// process does. Sizes: MDSERVER_LOAD_OBJECTS, MDSERVER_LOAD_SECONDS, MDSERVER_LOAD_PROCESSES.
// The PostgreSQL cluster is a scratch one (scripts/pg-scratch-cluster.sh), removed at the end;
// without PostgreSQL that part is skipped with a message.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/bench_summary.h"
#include "mdserver/repository.h"
#include "mdserver/security_store.h"

namespace {

using mdserver::Repository;
using Clock = std::chrono::steady_clock;

int64_t setting(const char* name, int64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::atoll(text) : fallback;
}

std::string objectId(int64_t n) {
  char id[32];
  std::snprintf(id, sizeof id, "L0000001.%08lld", static_cast<long long>(n));
  return id;
}

bool load(Repository& repository, int64_t objects) {
  if (!repository.addType("Thing").ok() || !repository.addType("Person").ok()) return false;
  if (!repository.addRepository("L0000001", "Load", "load test").ok()) return false;
  constexpr int64_t kBatch = 5000;
  for (int64_t start = 0; start < objects; start += kBatch) {
    std::vector<mdserver::ObjectDraft> drafts;
    for (int64_t n = start; n < std::min(objects, start + kBatch); ++n) {
      drafts.push_back({"L0000001", "Thing", objectId(n), "T" + std::to_string(n), "",
                        {{"Group", std::to_string(n % 100)}, {"Size", "0"}}});
    }
    mdserver::Outcome outcome = repository.createObjects(drafts, nullptr);
    if (!outcome.ok()) {
      std::fprintf(stderr, "load failed: %s\n", outcome.message.c_str());
      return false;
    }
  }
  return true;
}

struct WorkerResult {
  int64_t operations = 0;
  int64_t failures = 0;
  std::vector<float> latencyMs;
};

// One worker: the mix until the deadline. Each committed write goes to the log as
// "A object attribute value" or "E target identity seq" (two entries set in one change).
void work(const std::string& location, int worker, int64_t objects, double seconds,
          const std::string& logPath, const std::string& latencyPath) {
  std::string error;
  auto repository = Repository::open(location, &error);
  if (!repository) {
    std::fprintf(stderr, "worker %d: %s\n", worker, error.c_str());
    std::_Exit(2);
  }
  std::ofstream log(logPath);
  std::mt19937_64 random(worker * 7919 + 1);
  std::uniform_int_distribution<int64_t> pick(0, objects - 1);
  std::uniform_int_distribution<int> mix(0, 99);
  WorkerResult result;
  const std::string attribute = "W" + std::to_string(worker);
  const std::string identity = "L0000001.P" + std::to_string(1000000 + worker);
  int64_t seq = 0;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const int64_t n = pick(random);
    const int kind = mix(random);
    const auto start = Clock::now();
    bool ok = true;
    if (kind < 40) {
      std::vector<mdserver::ObjectRow> rows;
      ok = repository->resolve("vqsobj:Thing?@Name='T" + std::to_string(n) + "'", 0, rows).ok() &&
           rows.size() == 1;
    } else if (kind < 70) {
      std::optional<std::string> value;
      ok = repository->attribute(objectId(n), "Group", value).ok() && value;
    } else if (kind < 90) {
      const std::string value = std::to_string(++seq);
      ok = repository->setAttribute(objectId(n), attribute, value).ok();
      if (ok) log << "A " << objectId(n) << ' ' << attribute << ' ' << value << '\n';
    } else if (kind < 95) {
      std::vector<mdserver::AccessEntry> entries;
      ok = repository->security().entries(objectId(n), entries).ok();
    } else {
      // Two entries in one change: afterwards both carry the same grant of the last change.
      const bool grant = (++seq % 2) == 0;
      std::vector<mdserver::AuthorizationChange> changes(2);
      changes[0].entry = {objectId(n), identity, "ReadMetadata", grant};
      changes[1].entry = {objectId(n), identity, "WriteMetadata", grant};
      ok = repository->security().apply(changes).ok();
      if (ok) log << "E " << objectId(n) << ' ' << identity << ' ' << grant << '\n';
    }
    const float ms = std::chrono::duration<float, std::milli>(Clock::now() - start).count();
    ++result.operations;
    if (!ok) ++result.failures;
    result.latencyMs.push_back(ms);
  }
  log.close();
  std::ofstream out(latencyPath, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&result.failures), sizeof result.failures);
  out.write(reinterpret_cast<const char*>(result.latencyMs.data()),
            static_cast<std::streamsize>(result.latencyMs.size() * sizeof(float)));
  std::_Exit(out ? 0 : 3);
}

struct RunReport {
  bool ran = false;
  double opsPerSecond = 0;
  double p99Ms = 0;
  int64_t operations = 0;
  int64_t failures = 0;
  int64_t checked = 0;
  int64_t lost = 0;
};

// Every last committed value of each worker's log is what the repository holds.
void check(Repository& repository, const std::vector<std::string>& logs, RunReport& report) {
  for (const std::string& path : logs) {
    std::ifstream in(path);
    std::map<std::pair<std::string, std::string>, std::string> lastValue;
    std::map<std::pair<std::string, std::string>, bool> lastGrant;
    std::string kind, a, b, c;
    while (in >> kind >> a >> b >> c) {
      if (kind == "A") lastValue[{a, b}] = c;
      if (kind == "E") lastGrant[{a, b}] = c == "1";
    }
    for (const auto& [key, value] : lastValue) {
      std::optional<std::string> stored;
      ++report.checked;
      if (!repository.attribute(key.first, key.second, stored).ok() || stored != value) {
        ++report.lost;
      }
    }
    for (const auto& [key, grant] : lastGrant) {
      std::vector<mdserver::AccessEntry> entries;
      ++report.checked;
      repository.security().entries(key.first, entries);
      int matching = 0;
      for (const mdserver::AccessEntry& e : entries) {
        if (e.identityId == key.second && e.grant == grant) ++matching;
      }
      if (matching != 2) ++report.lost;  // lost, or torn: one entry of the pair differs
    }
  }
}

RunReport run(const std::string& location, int processes, int64_t objects, double seconds,
              const std::string& scratch, const char* label) {
  RunReport report;
  std::string error;
  {
    auto repository = Repository::open(location, &error);
    if (!repository) {
      std::fprintf(stderr, "%s: %s\n", label, error.c_str());
      return report;
    }
    const auto start = Clock::now();
    if (!load(*repository, objects)) return report;
    std::printf("%s: loaded %lld objects in %.1f s\n", label, static_cast<long long>(objects),
                std::chrono::duration<double>(Clock::now() - start).count());
    std::fflush(stdout);
  }
  std::vector<std::string> logs, latencies;
  std::vector<pid_t> children;
  const auto start = Clock::now();
  for (int w = 0; w < processes; ++w) {
    logs.push_back(scratch + "/" + label + "-committed-" + std::to_string(w) + ".log");
    latencies.push_back(scratch + "/" + label + "-latency-" + std::to_string(w) + ".bin");
    pid_t pid = fork();
    if (pid == 0) work(location, w, objects, seconds, logs.back(), latencies.back());
    children.push_back(pid);
  }
  bool allExited = true;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    allExited = allExited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  if (!allExited) std::fprintf(stderr, "%s: a worker failed\n", label);
  std::vector<float> all;
  for (const std::string& path : latencies) {
    std::ifstream in(path, std::ios::binary);
    int64_t failures = 0;
    in.read(reinterpret_cast<char*>(&failures), sizeof failures);
    report.failures += failures;
    float ms;
    while (in.read(reinterpret_cast<char*>(&ms), sizeof ms)) all.push_back(ms);
  }
  report.operations = static_cast<int64_t>(all.size());
  report.opsPerSecond = all.size() / elapsed;
  if (!all.empty()) {
    const size_t at = std::min(all.size() - 1, static_cast<size_t>(all.size() * 0.99));
    std::nth_element(all.begin(), all.begin() + at, all.end());
    report.p99Ms = all[at];
  }
  auto repository = Repository::open(location, &error);
  if (repository) check(*repository, logs, report);
  report.ran = allExited && repository;
  std::printf("%s: %d process(es), %lld operations in %.1f s: %.0f ops/s, p99 %.2f ms, %lld "
              "failed calls; closing check: %lld committed changes checked, %lld lost or torn\n",
              label, processes, static_cast<long long>(report.operations), elapsed,
              report.opsPerSecond, report.p99Ms, static_cast<long long>(report.failures),
              static_cast<long long>(report.checked), static_cast<long long>(report.lost));
  std::fflush(stdout);
  return report;
}

std::string commandOutput(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  std::array<char, 256> buffer;
  while (fgets(buffer.data(), buffer.size(), pipe)) out += buffer.data();
  *status = pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

int main() {
  const int64_t objects = setting("MDSERVER_LOAD_OBJECTS", 100'000);
  const double seconds = static_cast<double>(setting("MDSERVER_LOAD_SECONDS", 30));
  const int processes = static_cast<int>(setting("MDSERVER_LOAD_PROCESSES", 8));
  char scratchTemplate[] = "/tmp/mdserver-load-XXXXXX";
  const std::string scratch = mkdtemp(scratchTemplate);
  int lost = 0;

  const std::string script = std::string(RUX_SOURCE_DIR) + "/scripts/pg-scratch-cluster.sh";
  int status = 0;
  const std::string cluster = commandOutput(script + " start", &status);
  RunReport shared;
  if (status != 0 || cluster.empty()) {
    std::printf("PostgreSQL part skipped: the scratch cluster did not start (see above)\n");
  } else {
    shared = run("postgresql://postgres@/postgres?host=" + cluster, processes, objects, seconds,
                 scratch, "postgresql");
    [[maybe_unused]] int ignored = std::system((script + " stop " + cluster).c_str());
    lost += shared.lost;
  }
  RunReport single = run(scratch + "/load.db", 1, objects, seconds, scratch, "sqlite");
  lost += single.lost;
  std::system(("rm -rf " + scratch).c_str());

  if (shared.ran && single.ran && single.opsPerSecond > 0 && single.p99Ms > 0) {
    // Ratios against SQLite with one process; they inform (goal 0).
    bench::reportRatio("shared load: PostgreSQL " + std::to_string(processes) +
                           " processes ops/s vs SQLite 1 process",
                       0, shared.opsPerSecond / single.opsPerSecond);
    bench::reportRatio("shared load: PostgreSQL p99 latency vs SQLite 1 process", 0,
                       shared.p99Ms / single.p99Ms);
  }
  bench::reportRatio("shared load: committed changes lost or torn (count)", 0, lost);
  return lost == 0 ? 0 : 1;
}
