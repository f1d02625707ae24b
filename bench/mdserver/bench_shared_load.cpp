// Load on one shared repository: N mdhost processes (default 8) on a PostgreSQL database of many
// objects (default 100,000) for a while (default 30 s), each running load_worker.lua, a mix of
// resolutions (40%), attribute reads (30%), attribute writes (20%, half of them paired) and
// authorization checks (10%); then the same mix in one mdhost process on an SQLite file holding
// the same data. Prints operations per second and the 99th-percentile latency of each run, and
// checks afterwards, from the log each worker writes of what it committed, that no committed
// change was lost or torn.
//
// Both repositories are loaded by `mdhost repo import` of one generated seed file (one
// transaction each). Sizes: MDSERVER_LOAD_OBJECTS, MDSERVER_LOAD_SECONDS,
// MDSERVER_LOAD_PROCESSES. MDSERVER_LOAD_AUDIT_ROUNDS (default 0) adds that many pairs of
// PostgreSQL runs with the audit trail on and off, and their ratio. The PostgreSQL cluster is a
// scratch one (scripts/pg-scratch-cluster.sh), removed at the end; without PostgreSQL that part
// is skipped with a message.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/bench_summary.h"
#include "mdserver/model/repository.h"

extern char** environ;

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

// The seed both repositories are imported from: objects of type Thing named T<n>, each with a
// Group attribute (n % 100) that the workers read back and a Size attribute.
bool writeSeed(const std::string& path, int64_t objects) {
  std::ofstream out(path);
  out << "{\"types\": [\"Thing\"],\n \"repositories\": [{\"id\": \"L0000001\", \"name\": \"Load\", "
         "\"description\": \"load test\"}],\n \"objects\": [\n";
  for (int64_t n = 0; n < objects; ++n) {
    out << (n ? ",\n" : "") << "  {\"repository\": \"L0000001\", \"type\": \"Thing\", \"id\": \""
        << objectId(n) << "\", \"name\": \"T" << n << "\", \"attributes\": {\"Group\": \""
        << n % 100 << "\", \"Size\": \"0\"}}";
  }
  out << "]}\n";
  return static_cast<bool>(out);
}

pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

bool succeeded(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
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

struct WorkerLog {
  std::map<std::pair<std::string, std::string>, std::string> lastValue;  // (object, attribute)
  std::map<std::string, std::string> lastPair;                            // object -> value
  std::vector<float> latencyMs;
  int64_t operations = 0, failures = 0;
  double first = 0, last = 0;
  bool complete = false;  // its closing T line was read
};

WorkerLog readLog(const std::string& path, int worker) {
  WorkerLog log;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, a, b, c;
    fields >> kind;
    if (kind == "A" && fields >> a >> b >> c) {
      log.lastValue[{a, b}] = c;
    } else if (kind == "P" && fields >> a >> b) {
      log.lastPair[a] = b;
    } else if (kind == "L") {
      float ms;
      while (fields >> ms) log.latencyMs.push_back(ms);
    } else if (kind == "T" && fields >> log.operations >> log.failures >> log.first >> log.last) {
      log.complete = true;
    }
  }
  if (!log.complete) std::fprintf(stderr, "worker %d: its log %s has no closing line\n", worker,
                                  path.c_str());
  return log;
}

// Every last committed value of a worker is what the repository holds: a single attribute
// with the value written, both attributes of a pair with the same value of the last pair.
void check(Repository& repository, int worker, const WorkerLog& log, RunReport& report) {
  auto holds = [&](const std::string& object, const std::string& attribute,
                   const std::string& value) {
    std::optional<std::string> stored;
    return repository.attribute(object, attribute, stored).ok() && stored == value;
  };
  for (const auto& [key, value] : log.lastValue) {
    ++report.checked;
    if (!holds(key.first, key.second, value)) ++report.lost;
  }
  const std::string pairA = "Pair" + std::to_string(worker) + "A";
  const std::string pairB = "Pair" + std::to_string(worker) + "B";
  for (const auto& [object, value] : log.lastPair) {
    ++report.checked;
    if (!holds(object, pairA, value) || !holds(object, pairB, value)) ++report.lost;
  }
}

RunReport run(const std::string& mdhost, const std::string& workerScript,
              const std::string& seed, const std::string& location, int processes,
              int64_t objects, double seconds, const std::string& scratch, const char* label,
              bool import = true) {
  RunReport report;
  if (import) {
    const auto start = Clock::now();
    if (!succeeded(spawn({mdhost, "repo", "import", seed, location}))) {
      std::fprintf(stderr, "%s: the import of the seed failed\n", label);
      return report;
    }
    std::printf("%s: imported %lld objects in %.1f s\n", label, static_cast<long long>(objects),
                std::chrono::duration<double>(Clock::now() - start).count());
    std::fflush(stdout);
  }
  // Workers stop at one moment of the steady clock, which mdhost's now() reads too.
  const double endTime =
      std::chrono::duration<double>(Clock::now().time_since_epoch()).count() + seconds;
  char end[64];
  std::snprintf(end, sizeof end, "%.6f", endTime);
  std::vector<std::string> logs;
  std::vector<pid_t> children;
  for (int w = 0; w < processes; ++w) {
    logs.push_back(scratch + "/" + label + "-committed-" + std::to_string(w) + ".log");
    children.push_back(spawn({mdhost, "--repository", location, workerScript, std::to_string(w),
                              std::to_string(objects), end, logs.back()}));
  }
  bool allExited = true;
  for (pid_t pid : children) allExited = succeeded(pid) && allExited;
  if (!allExited) std::fprintf(stderr, "%s: a worker failed\n", label);

  std::string error;
  auto repository = Repository::open(location, &error);
  if (!repository) std::fprintf(stderr, "%s: %s\n", label, error.c_str());
  std::vector<float> all;
  for (int w = 0; w < processes; ++w) {
    WorkerLog log = readLog(logs[w], w);
    allExited = allExited && log.complete;
    report.operations += log.operations;
    report.failures += log.failures;
    // Each worker's rate over its own window; the windows overlap, so the rates add up.
    if (log.last > log.first) report.opsPerSecond += log.operations / (log.last - log.first);
    all.insert(all.end(), log.latencyMs.begin(), log.latencyMs.end());
    if (repository) check(*repository, w, log, report);
  }
  if (!all.empty()) {
    const size_t at = std::min(all.size() - 1, static_cast<size_t>(all.size() * 0.99));
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(at), all.end());
    report.p99Ms = all[at];
  }
  report.ran = allExited && repository && report.operations > 0;
  std::printf("%s: %d mdhost process(es), %lld operations in %.0f s: %.0f ops/s, p99 %.2f ms, "
              "%lld failed calls; closing check: %lld committed changes checked, %lld lost or "
              "torn\n",
              label, processes, static_cast<long long>(report.operations), seconds,
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

// Switches the audit trail of the repository at location on or off (its security settings).
bool setAudit(const std::string& location, bool on) {
  std::string error;
  auto repository = Repository::open(location, &error);
  if (!repository) {
    std::fprintf(stderr, "audit setting: %s\n", error.c_str());
    return false;
  }
  const mdserver::Outcome set = repository->importSeedText(
      std::string(R"({"security": {"audit": {"enabled": )") + (on ? "true" : "false") + "}}}",
      "audit setting");
  if (!set.ok()) std::fprintf(stderr, "audit setting: %s\n", set.message.c_str());
  return set.ok();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  const int64_t objects = setting("MDSERVER_LOAD_OBJECTS", 100'000);
  const double seconds = static_cast<double>(setting("MDSERVER_LOAD_SECONDS", 30));
  const int processes = static_cast<int>(setting("MDSERVER_LOAD_PROCESSES", 8));
  const std::string mdhost =
      (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "mdhost").string();
  const std::string workerScript =
      std::string(RUX_SOURCE_DIR) + "/bench/mdserver/load_worker.lua";
  if (access(mdhost.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "no mdhost next to this program (%s)\n", mdhost.c_str());
    return 1;
  }
  char scratchTemplate[] = "/tmp/mdserver-load-XXXXXX";
  const std::string scratch = mkdtemp(scratchTemplate);
  const std::string seed = scratch + "/seed.json";
  if (!writeSeed(seed, objects)) {
    std::fprintf(stderr, "cannot write %s\n", seed.c_str());
    return 1;
  }
  int64_t lost = 0;

  const std::string script = std::string(RUX_SOURCE_DIR) + "/scripts/pg-scratch-cluster.sh";
  int status = 0;
  const std::string cluster = commandOutput(script + " start", &status);
  RunReport shared;
  if (status != 0 || cluster.empty()) {
    std::printf("SKIPPED: the PostgreSQL part of the shared load (the scratch cluster did not "
                "start, see above)\n");
  } else {
    const std::string location = "postgresql://postgres@/postgres?host=" + cluster;
    shared = run(mdhost, workerScript, seed, location, processes, objects, seconds, scratch,
                 "postgresql");
    // The audit trail's cost under the shared load: runs with it on and off take turns (the
    // order alternating from round to round), so that both see alike what else the machine
    // does; each side's rate is the median of its runs.
    const int auditRounds = static_cast<int>(setting("MDSERVER_LOAD_AUDIT_ROUNDS", 0));
    std::vector<double> onRates, offRates, onP99, offP99;
    for (int round = 0; shared.ran && round < auditRounds; ++round) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool on = (round + turn) % 2 == 0;
        if (!setAudit(location, on)) break;
        RunReport r = run(mdhost, workerScript, seed, location, processes, objects, seconds,
                          scratch, on ? "postgresql-audit-on" : "postgresql-audit-off", false);
        lost += r.lost;
        if (!r.ran) continue;
        (on ? onRates : offRates).push_back(r.opsPerSecond);
        (on ? onP99 : offP99).push_back(r.p99Ms);
      }
    }
    if (!onRates.empty() && !offRates.empty() && median(onRates) > 0) {
      bench::reportRatio("shared load: PostgreSQL, cost per operation, audit on / off", 1.10,
                         median(offRates) / median(onRates));
      bench::reportRatio("shared load: PostgreSQL p99 latency, audit on / off", 0,
                         median(offP99) > 0 ? median(onP99) / median(offP99) : 0);
    }
    [[maybe_unused]] int ignored = std::system((script + " stop " + cluster).c_str());
    lost += shared.lost;
  }
  RunReport single =
      run(mdhost, workerScript, seed, scratch + "/load.db", 1, objects, seconds, scratch, "sqlite");
  lost += single.lost;
  std::filesystem::remove_all(scratch);

  if (shared.ran) {
    bench::reportRatio("shared load: PostgreSQL, " + std::to_string(processes) +
                           " mdhost processes, ops/s (count)",
                       0, shared.opsPerSecond);
    bench::reportRatio("shared load: PostgreSQL p99 latency (ms)", 0, shared.p99Ms);
  }
  if (single.ran) {
    bench::reportRatio("shared load: SQLite, 1 mdhost process, ops/s (count)", 0,
                       single.opsPerSecond);
    bench::reportRatio("shared load: SQLite p99 latency (ms)", 0, single.p99Ms);
  }
  if (shared.ran && single.ran && single.opsPerSecond > 0 && single.p99Ms > 0) {
    // Ratios against SQLite with one process; they inform (goal 0).
    bench::reportRatio("shared load: PostgreSQL ops/s vs SQLite 1 process", 0,
                       shared.opsPerSecond / single.opsPerSecond);
    bench::reportRatio("shared load: PostgreSQL p99 latency vs SQLite 1 process", 0,
                       shared.p99Ms / single.p99Ms);
  }
  bench::reportRatio("shared load: committed changes lost or torn (count)", 0,
                     static_cast<double>(lost));
  const bool complete = single.ran && (shared.ran || cluster.empty() || status != 0);
  return lost == 0 && complete ? 0 : 1;
}
