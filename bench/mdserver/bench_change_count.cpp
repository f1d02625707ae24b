// What deciding on the current state costs a logged-in user per operation on PostgreSQL: every
// operation asks the server for the repository's change count before it decides (a round trip),
// the local administrator does not. The same operation (a resolution by identifier, and an
// attribute read on a handle) is timed for both in alternating rounds on one connection each,
// beside one bare read of the change count; the report is the user's cost over the
// administrator's and the extra cost counted in change-count reads.
//
// Runs on its own scratch cluster (scripts/pg-scratch-cluster.sh), or on MDSERVER_BENCH_PG (a
// libpq location with a schema of its own) when given. Not a Google Benchmark program: the
// costs are round trips, timed on the wall clock, median of the rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/bench_summary.h"
#include "mdaccess/md_abi.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/authentication.h"

namespace {

std::string commandOutput(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *status = -1;
    return out;
  }
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
  *status = pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Median microseconds per call of each body, the bodies taking turns in rounds of `calls`.
std::vector<double> alternating(const std::vector<std::function<void()>>& bodies, int rounds,
                                int calls) {
  std::vector<std::vector<double>> perRound(bodies.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t b = 0; b < bodies.size(); ++b) {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < calls; ++i) bodies[b]();
      const double us =
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count();
      perRound[b].push_back(us / calls);
    }
  }
  std::vector<double> out;
  for (const auto& rounds : perRound) out.push_back(median(rounds));
  return out;
}

}  // namespace

int main() {
  std::string location;
  std::string cluster;
  if (const char* given = std::getenv("MDSERVER_BENCH_PG"); given && *given) {
    location = given;
  } else {
    int status = 0;
    cluster = commandOutput(std::string(RUX_SOURCE_DIR) + "/scripts/pg-scratch-cluster.sh start",
                            &status);
    if (status != 0 || cluster.empty()) {
      std::printf("SKIPPED: no scratch PostgreSQL cluster could be started\n");
      return 0;
    }
    location = "postgresql://postgres@/postgres?host=" + cluster;
  }
  int exitCode = 0;
  {
    std::string error;
    std::unique_ptr<mdserver::Repository> repository = mdserver::Repository::open(location, &error);
    if (!repository) {
      std::fprintf(stderr, "cannot open %s: %s\n", location.c_str(), error.c_str());
      exitCode = 1;
    } else {
      mdserver::Outcome seeded = repository->importSeedText(R"({"types": ["Person", "IdentityGroup", "Thing"],
        "repositories": [{"id": "BENCH001", "name": "Bench"}],
        "objects": [{"repository": "BENCH001", "type": "Person", "id": "BENCH001.PERSON01", "name": "U"},
          {"repository": "BENCH001", "type": "IdentityGroup", "id": "BENCH001.GROUP001", "name": "G",
           "associations": {"MemberIdentities": ["BENCH001.PERSON01"]}},
          {"repository": "BENCH001", "type": "Thing", "id": "BENCH001.THING001", "name": "T",
           "attributes": {"Note": "n"}}],
        "security": {"passwordHashing": "minimal", "permissions": ["Read", "Write"],
          "logins": [{"user": "u", "password": "p", "owner": "BENCH001.PERSON01"}],
          "authorizations": [{"target": "BENCH001", "identity": "G", "permission": "Read",
                              "decision": "grant"}]}})", "bench");
      if (!seeded.ok()) {
        std::fprintf(stderr, "seed: %s\n", seeded.message.c_str());
        exitCode = 1;
      }
      mdserver::Authentication login = mdserver::authenticate(repository->security(), "u", "p");
      MetadataInterface* user = mdserver::openInterface(*repository, {"u", ""}, login.principal);
      MetadataInterface* administrator = mdserver::openInterface(*repository, {});
      const std::string uri = "vqsobj:Thing\\BENCH001.THING001";
      auto resolveAs = [&](MetadataInterface* md) {
        return [md, &uri, &exitCode] {
          MetadataObject* list = nullptr;
          if (resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list) != 0 || !list) {
            exitCode = 1;
          }
          if (list) freeObjectList(md, list);
        };
      };
      auto handleOf = [&](MetadataInterface* md) {
        MetadataObject* list = nullptr;
        resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
        return list;
      };
      MetadataObject* userThing = handleOf(user);
      MetadataObject* adminThing = handleOf(administrator);
      auto readAs = [&exitCode](MetadataObject* thing) {
        return [thing, &exitCode] {
          ValueText* value = nullptr;
          if (!thing || getAttribute(thing, "Note", 4, &value) != 0) exitCode = 1;
        };
      };
      const std::vector<double> us = alternating(
          {resolveAs(user), resolveAs(administrator), readAs(userThing), readAs(adminThing),
           [&] { repository->changeCount(); }},
          15, 200);
      std::printf("PostgreSQL, median of 15 rounds of 200 calls (microseconds per call):\n");
      std::printf("  resolveUri by identifier: user %.1f, administrator %.1f (ratio %.2f)\n", us[0],
                  us[1], us[0] / us[1]);
      std::printf("  getAttribute on a handle: user %.1f, administrator %.1f (ratio %.2f)\n", us[2],
                  us[3], us[2] / us[3]);
      std::printf("  one change-count read:    %.1f\n", us[4]);
      std::printf("  the user's extra cost in change-count reads: resolution %.2f, attribute %.2f\n",
                  (us[0] - us[1]) / us[4], (us[2] - us[3]) / us[4]);
      bench::reportRatio("PostgreSQL resolution, logged-in user / local administrator", 0,
                         us[0] / us[1]);
      bench::reportRatio("PostgreSQL attribute read, logged-in user / local administrator", 0,
                         us[2] / us[3]);
      if (userThing) freeObjectList(user, userThing);
      if (adminThing) freeObjectList(administrator, adminThing);
      releaseInterface(user);
      releaseInterface(administrator);
    }
  }
  if (!cluster.empty()) {
    int status = 0;
    commandOutput(std::string(RUX_SOURCE_DIR) + "/scripts/pg-scratch-cluster.sh stop " + cluster,
                  &status);
  }
  if (exitCode != 0) std::fprintf(stderr, "an operation failed during the measurement\n");
  return exitCode;
}
