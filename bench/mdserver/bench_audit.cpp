// What the audit trail and the reverse questions cost, as ratios measured in one run
// (paired_timing.h: the two sides take turns, CPU time, medians):
//   1. a loop of refused changes (setAttribute without Write) with the audit trail on and off;
//   2. an in-process mix of work (resolutions, attribute reads, allowed and refused changes) on
//      and off;
//   3. one page of 100 of what() and of who() at 100,000 objects against the same at 100 objects,
//      both with 1,000 identities;
//      and the same pages of both as the first question after a change (of a repository's
//      entries, and for what() also of an object's);
//   4. a full what() over 100,000 objects against a plain listing of the same objects (the
//      local administrator's resolution of all of them through the client interface).
// Not a Google Benchmark program: it prints one line per ratio and its two costs.
//
// MDSERVER_BENCH_AUDIT_OBJECTS sets the large size (default 100000), ..._IDENTITIES the number
// of people (default 1000), MDSERVER_BENCH_ROUNDS the rounds per ratio (default 15).
// MDSERVER_BENCH_AUDIT_ONLY=onoff measures only the two audit on/off ratios (1. and 2.).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/paired_timing.h"
#include "mdaccess/md_abi.h"
#include "mdserver/access/reverse_queries.h"
#include "mdserver/base/status_codes.h"
#include "mdserver/interface/client_interface.h"
#include "mdserver/model/repository.h"
#include "mdserver/security/authentication.h"

namespace {

size_t environmentSize(const char* name, size_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

struct World {
  std::unique_ptr<mdserver::Repository> repository;
  mdserver::Principal user;   // person 1: member of group 1
  mdserver::Principal admin;  // person 2: member of the administrators
  std::string firstObject;
  std::string secondObject;  // one of the objects with an entry of its own
};

// people persons in 10 groups (and person 2 an administrator), objects Things; Read for
// everybody, Write for group 1, a deny of Write to person 1 on the first object, and object
// entries on one object in a hundred.
World build(size_t objects, size_t people, bool audit) {
  World w;
  w.repository = mdserver::Repository::open("");
  std::string seed = R"({"types": ["Person", "IdentityGroup", "Thing"],
    "repositories": [{"id": "BENCH001", "name": "Bench"}], "objects": [)";
  for (size_t g = 1; g <= 10; ++g) {
    char id[32];
    std::snprintf(id, sizeof id, "BENCH001.GROUP%03zu", g);
    seed += std::string(g > 1 ? "," : "") + R"({"repository": "BENCH001", "type": "IdentityGroup", "id": ")" +
            id + R"(", "name": "G)" + std::to_string(g) + R"(", "associations": {"MemberIdentities": [)";
    bool first = true;
    for (size_t p = g; p <= people; p += 10) {
      char person[32];
      std::snprintf(person, sizeof person, "BENCH001.P%07zu", p);
      seed += std::string(first ? "" : ",") + "\"" + person + "\"";
      first = false;
    }
    seed += "]}}";
  }
  for (size_t p = 1; p <= people; ++p) {
    char person[32];
    std::snprintf(person, sizeof person, "BENCH001.P%07zu", p);
    seed += std::string(R"(,{"repository": "BENCH001", "type": "Person", "id": ")") + person +
            R"(", "name": "Person )" + std::to_string(p) + "\"}";
  }
  seed += R"(], "security": {"passwordHashing": "minimal", "permissions": ["Read", "Write", "Administer"],
    "audit": {"enabled": )" + std::string(audit ? "true" : "false") + R"(},
    "logins": [{"user": "u", "password": "p", "owner": "BENCH001.P0000001"},
               {"user": "a", "password": "p", "owner": "BENCH001.P0000002"}],
    "authorizations": [
      {"target": "BENCH001", "identity": "Everybody", "permission": "Read", "decision": "grant"},
      {"target": "BENCH001", "identity": "BENCH001.GROUP001", "permission": "Write", "decision": "grant"},
      {"target": "BENCH001", "identity": "BENCH001.P0000002", "permission": "Administer", "decision": "grant"}]}})";
  mdserver::Outcome loaded = w.repository->importSeedText(seed, "bench");
  if (!loaded.ok()) {
    std::fprintf(stderr, "bench_audit: %s\n", loaded.message.c_str());
    std::exit(2);
  }
  std::vector<mdserver::ObjectDraft> drafts(objects);
  for (size_t i = 0; i < objects; ++i) drafts[i] = {"BENCH001", "Thing", "", "t", "", {}};
  std::vector<std::string> ids;
  w.repository->createObjects(drafts, &ids);
  w.firstObject = ids.front();
  w.secondObject = ids.at(1);
  std::vector<mdserver::AuthorizationChange> changes;
  mdserver::AuthorizationChange deny;
  deny.entry = {w.firstObject, "BENCH001.P0000001", "Write", false};
  changes.push_back(deny);
  for (size_t i = 1; i < ids.size(); i += 100) {
    mdserver::AuthorizationChange grant;
    grant.entry = {ids[i], "BENCH001.GROUP002", "Write", true};
    changes.push_back(grant);
  }
  if (mdserver::Outcome applied = w.repository->security().apply(changes); !applied.ok()) {
    std::fprintf(stderr, "bench_audit: %s\n", applied.message.c_str());
    std::exit(2);
  }
  w.user = mdserver::authenticate(w.repository->security(), "u", "p").principal;
  w.admin = mdserver::authenticate(w.repository->security(), "a", "p").principal;
  return w;
}

MetadataObject* resolveFirst(MetadataInterface* md, const std::string& id) {
  const std::string uri = "vqsobj:Thing\\" + id;
  MetadataObject* list = nullptr;
  resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
  return list;
}

StatusCode setDescription(MetadataObject* object, size_t i) {
  const std::string value = "v" + std::to_string(i % 7);
  AttributeRecord record{};
  record.name = "Desc";
  record.nameLength = 4;
  record.value = value.data();
  record.valueLength = static_cast<int32_t>(value.size());
  record.changeFlags = 1;
  return setAttribute(object, &record);
}

void report(const char* what, const bench::PairedCost& cost, double target) {
  std::printf("%-62s %10.0f ns %10.0f ns  ratio %.2f (target at most %.2f)\n", what, cost.oursNs,
              cost.referenceNs, cost.ratio(), target);
}

}  // namespace

int main() {
  const size_t large = environmentSize("MDSERVER_BENCH_AUDIT_OBJECTS", 100000);
  const size_t people = environmentSize("MDSERVER_BENCH_AUDIT_IDENTITIES", 1000);
  const int rounds = static_cast<int>(environmentSize("MDSERVER_BENCH_ROUNDS", 15));

  {
    World on = build(1000, 100, true), off = build(1000, 100, false);
    MetadataInterface* mdOn = mdserver::openInterface(*on.repository, {"u", ""}, on.user);
    MetadataInterface* mdOff = mdserver::openInterface(*off.repository, {"u", ""}, off.user);
    MetadataObject* refusedOn = resolveFirst(mdOn, on.firstObject);
    MetadataObject* refusedOff = resolveFirst(mdOff, off.firstObject);
    report("refused-change loop, audit on / off",
           bench::measurePaired([&](size_t i) { setDescription(refusedOn, i); },
                                [&](size_t i) { setDescription(refusedOff, i); }, rounds, 2000),
           1.10);
    // The mix: of ten steps, six resolutions, two attribute reads, one allowed change (the
    // second object: person 1's group may write it) and one refused (the first object, where a
    // deny of his own decides). `all` is the list of every object, the first one first.
    auto mix = [](MetadataInterface* md, MetadataObject* all, World& w, size_t i) {
      const size_t step = i % 10;
      if (step < 6) {
        MetadataObject* list = resolveFirst(md, w.firstObject);
        if (list) freeObjectList(md, list);
      } else if (step < 8) {
        ValueText* value = nullptr;
        getAttribute(all, "Desc", 4, &value);
      } else if (step == 8) {
        if (all->next) setDescription(all->next, i);
      } else {
        setDescription(all, i);
      }
    };
    MetadataObject* allOn = nullptr;
    MetadataObject* allOff = nullptr;
    const std::string uri = "vqsobj:Thing?@Name='t'";
    resolveUri(mdOn, uri.data(), static_cast<int32_t>(uri.size()), &allOn);
    resolveUri(mdOff, uri.data(), static_cast<int32_t>(uri.size()), &allOff);
    report("in-process mix (reads, allowed and refused changes), on / off",
           bench::measurePaired([&](size_t i) { mix(mdOn, allOn, on, i); },
                                [&](size_t i) { mix(mdOff, allOff, off, i); }, rounds, 500),
           1.10);
    freeObjectList(mdOn, allOn);
    freeObjectList(mdOff, allOff);
    freeObjectList(mdOn, refusedOn);
    freeObjectList(mdOff, refusedOff);
    releaseInterface(mdOn);
    releaseInterface(mdOff);
  }

  if (const char* only = std::getenv("MDSERVER_BENCH_AUDIT_ONLY");
      only && std::string(only) == "onoff") {
    return 0;
  }

  {
    World small = build(100, people, true), big = build(large, people, true);
    mdserver::PageRequest page;
    page.limit = 100;
    auto whatPage = [&](World& w) {
      mdserver::WhatPage out;
      mdserver::whatMay(*w.repository, w.admin, "BENCH001.P0000003", "Write", "", page, out);
    };
    auto whoPage = [&](World& w) {
      mdserver::WhoPage out;
      mdserver::whoMay(*w.repository, w.admin, w.firstObject, "Read", page, out);
    };
    const int few = std::max(3, rounds / 3);
    report("what(), one page of 100: 100,000 objects / 100",
           bench::measurePaired([&](size_t) { whatPage(big); }, [&](size_t) { whatPage(small); },
                                few, 3),
           2.0);
    report("who(), one page of 100: 100,000 objects / 100",
           bench::measurePaired([&](size_t) { whoPage(big); }, [&](size_t) { whoPage(small); },
                                few, 3),
           2.0);
    // The same pages as the first question after a change of the repository, when nothing kept
    // for the earlier state may be used (the change, one entry set again, is timed on both
    // sides). The state is read at once and objects with alike entries are decided once, so
    // this stays near the small repository's cost although one object in a hundred has entries
    // of its own.
    auto changed = [](World& w) {
      mdserver::AuthorizationChange again;
      again.entry = {"BENCH001", std::string(mdserver::kEverybodyId), "Read", true};
      const mdserver::Outcome applied = w.repository->security().apply({again});
      if (!applied.ok()) {
        std::fprintf(stderr, "bench_audit: %s\n", applied.message.c_str());
        std::exit(2);
      }
    };
    const bench::PairedCost cold = bench::measurePaired(
        [&](size_t) {
          changed(big);
          whatPage(big);
        },
        [&](size_t) {
          changed(small);
          whatPage(small);
        },
        few, 3);
    report("what(), first page after a change: 100,000 objects / 100", cold, 2.0);
    // The same after a change of one object's entries (the second object's group grant set
    // again): that object alone moves between shapes of the kept state.
    auto objectChanged = [](World& w) {
      mdserver::AuthorizationChange again;
      again.entry = {w.secondObject, "BENCH001.GROUP002", "Write", true};
      const mdserver::Outcome applied = w.repository->security().apply({again});
      if (!applied.ok()) {
        std::fprintf(stderr, "bench_audit: %s\n", applied.message.c_str());
        std::exit(2);
      }
    };
    report("what(), first page after an object's change: 100,000 / 100",
           bench::measurePaired(
               [&](size_t) {
                 objectChanged(big);
                 whatPage(big);
               },
               [&](size_t) {
                 objectChanged(small);
                 whatPage(small);
               },
               few, 3),
           2.0);
    const bench::PairedCost coldWho = bench::measurePaired(
        [&](size_t) {
          changed(big);
          whoPage(big);
        },
        [&](size_t) {
          changed(small);
          whoPage(small);
        },
        few, 3);
    report("who(), first page after a change: 100,000 objects / 100", coldWho, 2.0);
    MetadataInterface* administrator = mdserver::openInterface(*big.repository, {});
    const std::string uri = "vqsobj:Thing?@Name='t'";
    // Person 11 is in group 1, which may write every object: its answer is the same 100,000
    // Things the listing resolves (an identity that may write nothing would answer in no time
    // and measure nothing).
    size_t answered = 0;
    auto fullWhat = [&](size_t) {
      mdserver::WhatPage out;
      mdserver::whatMay(*big.repository, big.admin, "BENCH001.P0000011", "Write", "Thing",
                        mdserver::PageRequest{"", 0}, out);
      answered = out.objects.size();
    };
    auto plainListing = [&](size_t) {
      MetadataObject* list = nullptr;
      resolveUri(administrator, uri.data(), static_cast<int32_t>(uri.size()), &list);
      if (list) freeObjectList(administrator, list);
    };
    report("full what() over the large repository / a plain listing",
           bench::measurePaired(fullWhat, plainListing, few, 1), 3.0);
    std::printf("  (what() answered %zu objects)\n", answered);
    releaseInterface(administrator);
  }
  return 0;
}
