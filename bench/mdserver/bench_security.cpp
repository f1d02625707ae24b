// What enforcement costs: one listing of N objects resolved by a logged-in user (every object
// decided by the decision function, the repository's entries read once per listing) beside the
// same listing by the local administrator (no decisions), and single decisions on their own.
//
// MDSERVER_BENCH_SECURED_OBJECTS sets N (default 10000).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "mdaccess/md_abi.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_store.h"

namespace {

struct SecuredWorld {
  std::unique_ptr<mdserver::Repository> repository;
  MetadataInterface* user = nullptr;
  MetadataInterface* administrator = nullptr;
  mdserver::Principal principal;
};

SecuredWorld& world() {
  static SecuredWorld w = [] {
    SecuredWorld built;
    const char* env = std::getenv("MDSERVER_BENCH_SECURED_OBJECTS");
    const size_t count = env ? std::strtoull(env, nullptr, 10) : 10000;
    built.repository = mdserver::Repository::open("");
    built.repository->importSeedText(R"({"types": ["Person", "IdentityGroup", "Thing"],
      "repositories": [{"id": "BENCH001", "name": "Bench"}],
      "objects": [{"repository": "BENCH001", "type": "Person", "id": "BENCH001.PERSON01", "name": "U"},
        {"repository": "BENCH001", "type": "IdentityGroup", "id": "BENCH001.GROUP001", "name": "G",
         "associations": {"MemberIdentities": ["BENCH001.PERSON01"]}}],
      "security": {"passwordHashing": "minimal", "permissions": ["Read", "Write"],
        "logins": [{"user": "u", "password": "p", "owner": "BENCH001.PERSON01"}],
        "authorizations": [{"target": "BENCH001", "identity": "G", "permission": "Read",
                            "decision": "grant"}]}})", "bench");
    std::vector<mdserver::ObjectDraft> drafts(count);
    for (size_t i = 0; i < count; ++i) drafts[i] = {"BENCH001", "Thing", "", "t", "", {}};
    built.repository->createObjects(drafts, nullptr);
    mdserver::Authentication login = mdserver::authenticate(built.repository->security(), "u", "p");
    built.principal = login.principal;
    built.user = mdserver::openInterface(*built.repository, {"u", "p"}, login.principal);
    built.administrator = mdserver::openInterface(*built.repository, {});
    return built;
  }();
  return w;
}

void listAll(benchmark::State& state, MetadataInterface* md) {
  const std::string uri = "vqsobj:Thing?@Name='t'";
  for (auto _ : state) {
    MetadataObject* list = nullptr;
    resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
    benchmark::DoNotOptimize(list);
    freeObjectList(md, list);
  }
}

void BM_ListingAsUser(benchmark::State& state) { listAll(state, world().user); }
void BM_ListingAsAdministrator(benchmark::State& state) { listAll(state, world().administrator); }

void BM_SingleDecision(benchmark::State& state) {
  SecuredWorld& w = world();
  const mdserver::AccessTarget target{"BENCH001", "BENCH001.00000001"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        mdserver::decide(w.repository->security(), w.principal, target, "Read").allowed);
  }
}

BENCHMARK(BM_ListingAsUser)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingAsAdministrator)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SingleDecision);

}  // namespace

BENCHMARK_MAIN();
