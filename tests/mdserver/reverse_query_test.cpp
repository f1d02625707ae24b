// who() and what() against the decision function: for random repositories (model_check/), every
// identity, permission and target, the answers must be exactly the pairs decide() allows, and
// pages of any size must add up to the whole answer. Then an attacker's tries on the sample:
// asking about targets it cannot see or identities it does not administer, and pages that must
// neither repeat nor skip while the repository changes between them.
//
// Environment: RUX_MODEL_CASES (default 40), RUX_MODEL_SEED as in the security model check.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "interface_fixture.h"
#include "mdserver/access/reverse_queries.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_model.h"
#include "model_check/random_repository.h"

namespace mdserver::testing {
namespace {

uint64_t environmentNumber(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

std::vector<std::string> whoAll(Repository& repository, const Principal& asker,
                                const std::string& target, const std::string& permission,
                                size_t pageSize, std::string* problem) {
  std::vector<std::string> ids;
  PageRequest page;
  page.limit = pageSize;
  for (int guard = 0; guard < 100000; ++guard) {
    WhoPage answer;
    Outcome asked = whoMay(repository, asker, target, permission, page, answer);
    if (!asked.ok()) {
      *problem = asked.message;
      return ids;
    }
    if (pageSize > 0) {
      EXPECT_LE(answer.answers.size(), pageSize);
    }
    for (const WhoAnswer& a : answer.answers) ids.push_back(a.identityId);
    if (answer.nextCursor.empty()) break;
    page.cursor = answer.nextCursor;
  }
  return ids;
}

std::vector<std::string> whatAll(Repository& repository, const Principal& asker,
                                 const std::string& identity, const std::string& permission,
                                 size_t pageSize, std::string* problem) {
  std::vector<std::string> ids;
  PageRequest page;
  page.limit = pageSize;
  for (int guard = 0; guard < 100000; ++guard) {
    WhatPage answer;
    Outcome asked = whatMay(repository, asker, identity, permission, "", page, answer);
    if (!asked.ok()) {
      *problem = asked.message;
      return ids;
    }
    if (pageSize > 0) {
      EXPECT_LE(answer.objects.size(), pageSize);
    }
    for (const ObjectRow& o : answer.objects) ids.push_back(o.id);
    if (answer.nextCursor.empty()) break;
    page.cursor = answer.nextCursor;
  }
  return ids;
}

using ReverseQueryCheck = ::mdserver::testing::RepositoryInternalsTest;

TEST_F(ReverseQueryCheck, WhoAndWhatAgreeWithDecideOnEveryPair) {
  const uint64_t cases = environmentNumber("RUX_MODEL_CASES", 40);
  const uint64_t first = environmentNumber("RUX_MODEL_SEED", 20261209);
  uint64_t pairs = 0;
  for (uint64_t n = 0; n < cases; ++n) {
    const uint64_t seed = first + n;
    modelcheck::Generator generator(seed);
    const modelcheck::GeneratedCase generated = generator.generate();
    const modelcheck::Case& c = generated.model;
    std::string error;
    std::unique_ptr<Repository> repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome loaded = repository->importSeedText(generated.seedText, "model case");
    ASSERT_TRUE(loaded.ok()) << "seed " << seed << ": " << loaded.message;
    SecurityStore& store = repository->security();
    const Principal admin = Principal::administrator();

    std::vector<IdentityRecord> identities;
    for (std::string_view builtIn : {kEverybodyId, kAuthenticatedId}) {
      std::optional<IdentityRecord> record;
      ASSERT_TRUE(findAnyIdentity(store, builtIn, "", record).ok() && record);
      identities.push_back(*record);
    }
    for (const modelcheck::Object& o : c.objects) {
      if (modelcheck::NaiveModel::isIdentity(o)) {
        identities.push_back({o.id, o.name, o.type, ""});
      }
    }
    struct Target {
      std::string id, type;
    };
    std::vector<Target> targets;
    for (const std::string& r : c.repositories) targets.push_back({r, ""});
    std::vector<ObjectRow> objects;
    ASSERT_TRUE(repository->objectsAfter("", "", 100000, objects).ok());
    for (const ObjectRow& o : objects) targets.push_back({o.id, o.type});

    for (const std::string& permission : c.permissions) {
      // who, for every target: exactly the identities decide() allows.
      for (const Target& t : targets) {
        const AccessTarget target =
            t.type.empty() ? repositoryTarget(t.id) : objectTarget(t.id, t.type);
        const GuardedCheck check = guardedCheck(target, t.type, permission);
        std::set<std::string> expected;
        for (const IdentityRecord& identity : identities) {
          const Principal p = principalOf(store, identity, identity.id != kEverybodyId);
          if (decide(store, p, check.target, check.permission).allowed) {
            expected.insert(identity.id);
          }
          ++pairs;
        }
        std::string problem;
        const std::vector<std::string> all = whoAll(*repository, admin, t.id, permission, 0, &problem);
        ASSERT_TRUE(problem.empty()) << "seed " << seed << ": " << problem;
        EXPECT_EQ(std::set<std::string>(all.begin(), all.end()), expected)
            << "seed " << seed << ": who " << t.id << " " << permission;
        EXPECT_EQ(all.size(), expected.size()) << "seed " << seed << ": an identity twice";
        const size_t pageSize = 1 + seed % 3;
        EXPECT_EQ(whoAll(*repository, admin, t.id, permission, pageSize, &problem), all)
            << "seed " << seed << ": pages of " << pageSize;
      }
      // what, for every identity: exactly the objects decide() allows.
      for (const IdentityRecord& identity : identities) {
        const Principal p = principalOf(store, identity, identity.id != kEverybodyId);
        std::vector<std::string> expected;
        for (const ObjectRow& o : objects) {
          const GuardedCheck check = guardedCheck(objectTarget(o.id, o.type), o.type, permission);
          if (decide(store, p, check.target, check.permission).allowed) expected.push_back(o.id);
        }
        std::string problem;
        const std::vector<std::string> all =
            whatAll(*repository, admin, identity.id, permission, 0, &problem);
        ASSERT_TRUE(problem.empty()) << "seed " << seed << ": " << problem;
        EXPECT_EQ(all, expected) << "seed " << seed << ": what " << identity.id << " "
                                 << permission;
        const size_t pageSize = 1 + seed % 4;
        EXPECT_EQ(whatAll(*repository, admin, identity.id, permission, pageSize, &problem), all)
            << "seed " << seed << ": pages of " << pageSize;
      }
      // Asked by an identity that is no local administrator: its own Read and its Administer
      // narrow both answers, and the objects it sees only through entries of their own are
      // answered apart from their repositories.
      for (const IdentityRecord& asking : identities) {
        if (asking.type == "BuiltInGroup") continue;
        const Principal asker = principalOf(store, asking, true);
        auto reads = [&](const std::string& id, const std::string& type) {
          const GuardedCheck check = guardedCheck(
              type.empty() ? repositoryTarget(id) : objectTarget(id, type), type, "Read");
          return decide(store, asker, check.target, check.permission).allowed;
        };
        auto administers = [&](const std::string& repositoryId) {
          return decide(store, asker, repositoryTarget(repositoryId), "Administer").allowed;
        };
        const bool administersAny =
            std::any_of(c.repositories.begin(), c.repositories.end(), administers);
        {  // for itself: what it reads and may use, wherever it administers nothing
          std::vector<std::string> expected;
          for (const ObjectRow& o : objects) {
            const GuardedCheck check =
                guardedCheck(objectTarget(o.id, o.type), o.type, permission);
            if (reads(o.id, o.type) &&
                decide(store, asker, check.target, check.permission).allowed) {
              expected.push_back(o.id);
            }
          }
          std::string problem;
          EXPECT_EQ(whatAll(*repository, asker, "", permission, seed % 3, &problem), expected)
              << "seed " << seed << ": " << asking.id << " asked what it may " << permission;
          EXPECT_TRUE(problem.empty()) << "seed " << seed << ": " << problem;
        }
        for (const IdentityRecord& identity : identities) {
          const Principal p = principalOf(store, identity, identity.id != kEverybodyId);
          std::vector<std::string> expected;
          for (const ObjectRow& o : objects) {
            const GuardedCheck check =
                guardedCheck(objectTarget(o.id, o.type), o.type, permission);
            if (administers(o.id.substr(0, 8)) && reads(o.id, o.type) &&
                decide(store, p, check.target, check.permission).allowed) {
              expected.push_back(o.id);
            }
          }
          std::string problem;
          const size_t pageSize = seed % 3;
          const std::vector<std::string> all =
              whatAll(*repository, asker, identity.id, permission, pageSize, &problem);
          const bool known = identity.type == "BuiltInGroup" || reads(identity.id, identity.type);
          if (!administersAny || !known) {
            EXPECT_FALSE(problem.empty()) << "seed " << seed << ": " << asking.id << " asked";
            continue;
          }
          ASSERT_TRUE(problem.empty()) << "seed " << seed << ": " << problem;
          EXPECT_EQ(all, expected) << "seed " << seed << ": " << asking.id << " asked what "
                                   << identity.id << " may " << permission;
        }
        // who, on every target the asker sees and administers: the identities it may read.
        for (const Target& t : targets) {
          const AccessTarget target =
              t.type.empty() ? repositoryTarget(t.id) : objectTarget(t.id, t.type);
          const GuardedCheck administer = guardedCheck(target, t.type, "Administer");
          if (!reads(t.id, t.type) ||
              !decide(store, asker, administer.target, administer.permission).allowed) {
            continue;
          }
          const GuardedCheck check = guardedCheck(target, t.type, permission);
          std::set<std::string> expected;
          for (const IdentityRecord& identity : identities) {
            if (identity.type != "BuiltInGroup" && !reads(identity.id, identity.type)) continue;
            const Principal p = principalOf(store, identity, identity.id != kEverybodyId);
            if (decide(store, p, check.target, check.permission).allowed) {
              expected.insert(identity.id);
            }
          }
          std::string problem;
          const std::vector<std::string> all =
              whoAll(*repository, asker, t.id, permission, 1 + seed % 2, &problem);
          ASSERT_TRUE(problem.empty()) << "seed " << seed << ": " << problem;
          EXPECT_EQ(std::set<std::string>(all.begin(), all.end()), expected)
              << "seed " << seed << ": " << asking.id << " asked who " << t.id << " "
              << permission;
        }
      }
    }
  }
  EXPECT_GT(pairs, 0u);
}

constexpr const char* kBo = "A0000001.PERSON02";
constexpr const char* kDee = "A0000001.PERSON04";
constexpr const char* kOrders = "A0000001.TABLE001";
constexpr const char* kLedger = "A0000001.TABLE003";  // Analysts (bo) may not Read it

class ReverseQueryAttackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_THROUGH_THE_WIRE("decides on the repository itself, never through an interface");
    std::string error;
    repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome outcome = repository->importSeedFile(samplePath());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  Principal login(const std::string& user) {
    Authentication a = authenticate(repository->security(), user, user + ".pass");
    EXPECT_TRUE(a.outcome.ok()) << a.outcome.message;
    return a.principal;
  }
  std::unique_ptr<Repository> repository;
};

TEST_F(ReverseQueryAttackTest, AskingWithoutTheRightsLearnsNothing) {
  const Principal bo = login("bo");
  WhoPage who;
  // A target bo cannot see answers as one that does not exist, whatever its rights.
  const Outcome hidden = whoMay(*repository, bo, kLedger, "Read", {}, who);
  const Outcome missing = whoMay(*repository, bo, "A0000001.NOTHERE1", "Read", {}, who);
  EXPECT_EQ(hidden.status, kStatusObjectNotFound);
  EXPECT_EQ(hidden.status, missing.status);
  EXPECT_EQ(hidden.message.substr(0, 11), missing.message.substr(0, 11));
  // One it can see but does not administer: refused, nothing listed.
  EXPECT_EQ(whoMay(*repository, bo, kOrders, "Write", {}, who).status, kStatusAdministerDenied);
  EXPECT_TRUE(who.answers.empty());
  // Another identity: refused alike whether it exists or not.
  WhatPage what;
  const Outcome real = whatMay(*repository, bo, kDee, "Read", "", {}, what);
  const Outcome made = whatMay(*repository, bo, "Nobody At All", "Read", "", {}, what);
  EXPECT_EQ(real.status, kStatusAdministerDenied);
  EXPECT_EQ(real.status, made.status);
  EXPECT_EQ(real.message, made.message);
  EXPECT_TRUE(what.objects.empty());
  // Its own access: never an object it cannot read.
  ASSERT_TRUE(whatMay(*repository, bo, "", "Read", "", PageRequest{"", 0}, what).ok());
  EXPECT_FALSE(what.objects.empty());
  for (const ObjectRow& o : what.objects) EXPECT_NE(o.id, kLedger);
}

TEST_F(ReverseQueryAttackTest, AnAdministratorOfOneRepositorySeesOnlyThatOne) {
  AuthorizationChange change;
  change.entry = {"A0000002", kDee, "Administer", true};
  ASSERT_TRUE(repository->security().apply({change}).ok());
  const Principal dee = login("dee");
  WhatPage what;
  ASSERT_TRUE(whatMay(*repository, dee, kBo, "Read", "", PageRequest{"", 0}, what).ok());
  ASSERT_FALSE(what.objects.empty());
  for (const ObjectRow& o : what.objects) EXPECT_EQ(o.id.substr(0, 8), "A0000002") << o.id;
  // who on a target of the other repository: dee administers nothing there.
  WhoPage who;
  EXPECT_EQ(whoMay(*repository, dee, kOrders, "Read", {}, who).status, kStatusAdministerDenied);
  // An identity dee cannot read is no identity.
  AuthorizationChange hide;
  hide.entry = {kBo, kDee, "Read", false};
  ASSERT_TRUE(repository->security().apply({hide}).ok());
  EXPECT_EQ(whatMay(*repository, login("dee"), kBo, "Read", "", {}, what).status,
            kStatusUnknownIdentity);
}

TEST_F(ReverseQueryAttackTest, PagesNeitherRepeatNorSkipWhileTheRepositoryChanges) {
  const Principal admin = Principal::administrator();
  std::vector<ObjectRow> before;
  ASSERT_TRUE(repository->objectsAfter("", "", 100000, before).ok());
  std::set<std::string> seen;
  std::set<std::string> deleted;
  PageRequest page;
  page.limit = 3;
  int round = 0;
  for (;;) {
    WhatPage answer;
    ASSERT_TRUE(whatMay(*repository, admin, "", "Read", "", page, answer).ok());
    for (const ObjectRow& o : answer.objects) {
      EXPECT_TRUE(seen.insert(o.id).second) << o.id << " came twice";
    }
    if (answer.nextCursor.empty()) break;
    page.cursor = answer.nextCursor;
    // Between pages: new objects on both sides of the cursor, and one not yet listed deleted.
    ObjectDraft draft;
    draft.repository = "A0000001";
    draft.type = "PhysicalTable";
    draft.name = "new " + std::to_string(++round);
    std::string created;
    ASSERT_TRUE(repository->createObject(draft, &created).ok());
    for (const ObjectRow& o : before) {
      if (o.id > page.cursor && !deleted.count(o.id) && o.type == "Column") {
        ASSERT_TRUE(repository->deleteObject(o.id).ok());
        deleted.insert(o.id);
        break;
      }
    }
  }
  for (const ObjectRow& o : before) {
    if (!deleted.count(o.id)) {
      EXPECT_TRUE(seen.count(o.id)) << o.id << " was skipped";
    }
  }
}

}  // namespace
}  // namespace mdserver::testing
