// who() and what() against the decision function: for random repositories (model_check/), every
// identity, permission and target, the answers must be exactly the pairs decide() allows, and
// pages of any size must add up to the whole answer. Then an attacker's tries on the sample:
// asking about targets it cannot see or identities it does not administer, and pages that must
// neither repeat nor skip while the repository changes between them.
//
// The state kept between questions is patched with this process's own security changes rather
// than read again: after every step of a random sequence of changes (and of writes that must
// not patch: another connection's, memberships, deletions, failed applies) the kept state must
// equal a fresh read, and the answers over it decide()'s.
//
// Environment: RUX_MODEL_CASES (default 40), RUX_MODEL_SEED as in the security model check.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "interface_fixture.h"
#include "mdserver/access/reverse_queries.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_model.h"
#include "mdserver/security/security_snapshot.h"
#include "model_check/random_repository.h"
#include "postgres_cluster.h"

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

// Two states alike in everything decide() and the grouping read of them, for every target.
void expectSameState(const SecuritySnapshot& kept, const SecuritySnapshot& fresh,
                     const std::set<std::string>& targets, const std::string& where) {
  EXPECT_EQ(kept.enforced(), fresh.enforced()) << where;
  const SecuritySources a = kept.sources(), b = fresh.sources();
  for (const std::string& target : targets) {
    EXPECT_EQ(a.entries(target), b.entries(target)) << where << ": entries of " << target;
    EXPECT_EQ(a.applications(target), b.applications(target))
        << where << ": applications to " << target;
  }
  // Objects and shapes: the same objects, grouped alike (shape numbers may differ).
  auto layout = [](const SecuritySnapshot& state) {
    std::vector<std::string> out;
    std::map<size_t, std::string> firstOfShape;
    for (const auto& [id, o] : state.ownLevelObjects()) {
      const std::string& first = firstOfShape.emplace(o.shape, o.id).first->second;
      out.push_back(o.id + (o.isTemplate ? " template" : "") + " like " + first);
    }
    return out;
  };
  EXPECT_EQ(layout(kept), layout(fresh)) << where;
  // Each object listed once, by the shape it names: what the per-shape walks go by.
  for (const SecuritySnapshot* state : {&kept, &fresh}) {
    size_t listed = 0;
    for (size_t shape = 0; shape < state->shapeCount(); ++shape) {
      listed += state->shapeMembers(shape).size();
    }
    EXPECT_EQ(listed, state->ownLevelObjects().size()) << where;
    for (const auto& [id, o] : state->ownLevelObjects()) {
      const std::vector<const OwnLevelObject*>& members = state->shapeMembers(o.shape);
      EXPECT_TRUE(o.slot < members.size() && members[o.slot] == &o) << where << ": " << id;
    }
  }
}

TEST_F(ReverseQueryCheck, KeptStateFollowsEveryChangeExactly) {
  const uint64_t cases = std::max<uint64_t>(1, environmentNumber("RUX_MODEL_CASES", 40) / 4);
  const uint64_t firstSeed = environmentNumber("RUX_MODEL_SEED", 20261209);
  size_t patchedSteps = 0, steps = 0;
  for (uint64_t n = 0; n < cases; ++n) {
    const uint64_t seed = firstSeed + n;
    modelcheck::Generator generator(seed);
    const modelcheck::GeneratedCase generated = generator.generate();
    const modelcheck::Case& c = generated.model;
    // Where a second connection (another process, in effect) reaches the same repository.
    const SharedLocation shared("kept_state");
    ASSERT_FALSE(shared.location().empty()) << "no PostgreSQL cluster here";
    const std::string& location = shared.location();
    std::string error;
    std::unique_ptr<Repository> repository = Repository::open(location, &error);
    ASSERT_TRUE(repository) << error;
    ASSERT_TRUE(repository->importSeedText(generated.seedText, "model case").ok());
    std::unique_ptr<Repository> other = Repository::open(location, &error);
    ASSERT_TRUE(other) << error;
    SecurityStore& store = repository->security();
    std::mt19937_64 random(seed);
    auto pick = [&](const auto& from) -> const auto& { return from[random() % from.size()]; };

    std::vector<std::string> identities{std::string(kEverybodyId), std::string(kAuthenticatedId)};
    std::vector<std::string> groups, people, objects, templates;
    for (const modelcheck::Object& o : c.objects) {
      if (modelcheck::NaiveModel::isIdentity(o)) identities.push_back(o.id);
      if (o.type == "IdentityGroup" || o.type == "Role") groups.push_back(o.id);
      if (o.type == "Person") people.push_back(o.id);
      if (o.type != std::string(kTemplateType)) objects.push_back(o.id);
    }
    for (const modelcheck::Template& t : c.templates) templates.push_back(t.id);
    std::set<std::string> targets(c.repositories.begin(), c.repositories.end());
    targets.insert(objects.begin(), objects.end());
    targets.insert(templates.begin(), templates.end());
    std::vector<std::string> targetList(targets.begin(), targets.end());
    targetList.push_back(c.repositories.front() + ".NOSUCH01");  // set: dropped, never stored
    auto randomEntry = [&] {
      AuthorizationChange change;
      std::string permission = pick(c.permissions);
      // Names compare without regard to case: the entry must read back as the repository's.
      if (random() % 4 == 0) {
        for (char& ch : permission) ch = static_cast<char>(std::toupper(ch));
      }
      change.entry = {pick(targetList), pick(identities), permission, random() % 3 != 0};
      return change;
    };
    auto existingEntry = [&] {
      SecurityLevels levels;
      EXPECT_TRUE(store.allLevels(levels).ok());
      AuthorizationChange change;
      change.kind = AuthorizationChange::Kind::kRemove;
      change.entry = levels.entries.empty() ? randomEntry().entry : pick(levels.entries);
      return change;
    };
    auto templateChange = [&](AuthorizationChange::Kind kind) {
      AuthorizationChange change;
      change.kind = kind;
      change.templateId = templates.empty() ? "" : pick(templates);
      change.target = pick(targetList);
      if (kind == AuthorizationChange::Kind::kRemoveTemplate) {
        SecurityLevels levels;
        EXPECT_TRUE(store.allLevels(levels).ok());
        if (!levels.applications.empty()) {
          std::tie(change.target, change.templateId) = pick(levels.applications);
        }
      }
      if (kind == AuthorizationChange::Kind::kSetTemplateAttribute) {
        change.attribute = {"Note", "n" + std::to_string(random() % 5)};
      }
      return change;
    };
    int madeTemplates = 0;

    // kept is patched step by step; keptAsRead is a read of the same state, held apart.
    std::shared_ptr<const SecuritySnapshot> kept, keptAsRead;
    ASSERT_TRUE(SecuritySnapshot::read(store, kept).ok());
    ASSERT_TRUE(SecuritySnapshot::read(store, keptAsRead).ok());
    uint64_t keptAt = repository->changeCount();
    // Set by a write after which nothing may be patched (when it moved the count): the state
    // must be read again.
    bool mustRead = false;
    for (int step = 0; step < 24; ++step, ++steps) {
      const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step);
      const uint64_t countBefore = repository->changeCount();
      bool foreign = false;
      std::vector<AuthorizationChange> batch;
      const int kind = static_cast<int>(random() % 16);
      if (kind < 4) {
        batch.push_back(randomEntry());
      } else if (kind < 6) {
        batch.push_back(existingEntry());
      } else if (kind == 6 && !templates.empty()) {
        batch.push_back(templateChange(AuthorizationChange::Kind::kApplyTemplate));
      } else if (kind == 7) {
        batch.push_back(templateChange(AuthorizationChange::Kind::kRemoveTemplate));
      } else if (kind == 8) {
        // A new template, applied and given entries in the same commit.
        AuthorizationChange made;
        made.kind = AuthorizationChange::Kind::kCreateTemplate;
        const std::string& repositoryId = pick(c.repositories);
        char id[32];
        std::snprintf(id, sizeof id, "%s.T%07d", repositoryId.c_str(), 9000000 + madeTemplates++);
        made.templateRecord = {id, repositoryId, {{"Name", std::string("made ") + id}}};
        batch.push_back(made);
        templates.push_back(id);
        targets.insert(id);
        targetList.push_back(id);
        AuthorizationChange applied = templateChange(AuthorizationChange::Kind::kApplyTemplate);
        applied.templateId = id;
        batch.push_back(applied);
        AuthorizationChange entry = randomEntry();
        entry.entry.target = id;
        batch.push_back(entry);
      } else if (kind == 9 && !templates.empty()) {
        batch.push_back(templateChange(AuthorizationChange::Kind::kDeleteTemplate));
      } else if (kind == 10 && !templates.empty()) {
        batch.push_back(templateChange(AuthorizationChange::Kind::kSetTemplateAttribute));
      } else if (kind == 11) {
        for (int i = 0; i < 4; ++i) {
          batch.push_back(i % 2 ? existingEntry() : randomEntry());
        }
      } else if (kind == 12) {
        // Fails as a whole (the new template's identifier is taken): nothing of it may stay.
        AuthorizationChange failing;
        failing.kind = AuthorizationChange::Kind::kCreateTemplate;
        failing.templateRecord = {objects.front(), c.repositories.front(), {}};
        const std::vector<AuthorizationChange> doomed{randomEntry(), failing};
        EXPECT_FALSE(store.apply(doomed).ok()) << where;
        foreign = true;
      } else if (kind == 13) {
        // Another process: this one's kept state knows nothing of it.
        EXPECT_TRUE(other->security().apply({randomEntry()}).ok()) << where;
        foreign = true;
      } else if (kind == 14 && !groups.empty() && !people.empty()) {
        const AssociationMode mode =
            random() % 2 ? AssociationMode::kMerge : AssociationMode::kRemove;
        EXPECT_TRUE(repository
                        ->setAssociation(pick(groups), "MemberIdentities", mode, {pick(people)})
                        .ok())
            << where;
        foreign = true;
      } else if (kind == 15 && random() % 3 == 0 && objects.size() > 1) {
        const std::string gone = pick(objects);
        EXPECT_TRUE(repository->deleteObject(gone).ok()) << where;
        for (std::vector<std::string>* list : {&objects, &templates, &groups, &people}) {
          list->erase(std::remove(list->begin(), list->end(), gone), list->end());
        }
        foreign = true;
      }
      if (!batch.empty()) {
        EXPECT_TRUE(store.apply(batch).ok()) << where;
      }
      mustRead = mustRead || (foreign && repository->changeCount() != countBefore);

      // Questions are not asked after every step: then several changes are patched at once.
      if (random() % 4 == 0) continue;
      const uint64_t now = repository->changeCount();
      std::shared_ptr<const SecuritySnapshot> fresh;
      ASSERT_TRUE(SecuritySnapshot::read(store, fresh).ok()) << where;
      std::vector<std::shared_ptr<const LevelChange>> changes;
      if (store.levelChangesBetween(keptAt, now, changes)) {
        EXPECT_FALSE(mustRead) << where << ": patched over a write it did not make";
        if (random() % 2) {
          kept = SecuritySnapshot::patched(std::move(kept), changes);  // changed in place
        } else {
          // Still held (as by a question answering over it): it must not change underneath.
          const std::shared_ptr<const SecuritySnapshot> held = kept;
          kept = SecuritySnapshot::patched(held, changes);
          expectSameState(*held, *keptAsRead, targets, where + " (the state patched from)");
        }
        expectSameState(*kept, *fresh, targets, where);
        ++patchedSteps;
      } else {
        ASSERT_TRUE(SecuritySnapshot::read(store, kept).ok()) << where;
      }
      keptAsRead = fresh;
      keptAt = now;
      mustRead = false;

      // The answers of the questions, whose kept state took the same way: decide()'s, for an
      // administrator asking about a random identity and for an identity asking about itself.
      const std::string& permission = pick(c.permissions);
      std::vector<ObjectRow> rows;
      ASSERT_TRUE(repository->objectsAfter("", "", 100000, rows).ok());
      auto expectedFor = [&](const Principal& subject, const Principal* reader) {
        std::vector<std::string> expected;
        for (const ObjectRow& o : rows) {
          const GuardedCheck check = guardedCheck(objectTarget(o.id, o.type), o.type, permission);
          const GuardedCheck read = guardedCheck(objectTarget(o.id, o.type), o.type, "Read");
          if (decide(store, subject, check.target, check.permission).allowed &&
              (!reader || decide(store, *reader, read.target, read.permission).allowed)) {
            expected.push_back(o.id);
          }
        }
        return expected;
      };
      std::optional<IdentityRecord> record;
      ASSERT_TRUE(findAnyIdentity(store, pick(identities), "", record).ok()) << where;
      if (!record) continue;  // deleted
      const Principal subject = principalOf(store, *record, record->id != kEverybodyId);
      std::string problem;
      EXPECT_EQ(whatAll(*repository, Principal::administrator(), record->id, permission,
                        random() % 3, &problem),
                expectedFor(subject, nullptr))
          << where << ": what " << record->id << " may " << permission << " " << problem;
      if (record->type != "BuiltInGroup") {
        EXPECT_EQ(whatAll(*repository, subject, "", permission, random() % 3, &problem),
                  expectedFor(subject, &subject))
            << where << ": " << record->id << " asked what it may " << permission << " "
            << problem;
      }
    }
  }
  // The patching was exercised, not only the reading again.
  EXPECT_GT(patchedSteps, steps / 4);
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

TEST_F(ReverseQueryAttackTest, ATypeIsAnsweredExactlyWhetherCommonOrRare) {
  // Enough Documents that a walk over the repository reads several batches: for them the type is
  // common, for the sample's few tables rare (the walk then asks by type). Either way the answer
  // is the untyped answer's objects of that type (in any letter case), paged or whole.
  std::vector<ObjectDraft> drafts(8000, ObjectDraft{"A0000001", "Document", "", "d", "", {}});
  ASSERT_TRUE(repository->createObjects(drafts, nullptr).ok());
  const Principal admin = Principal::administrator();
  auto ids = [&](const std::string& type, size_t limit) {
    std::vector<std::string> out;
    PageRequest page{"", limit};
    for (;;) {
      WhatPage answer;
      Outcome asked = whatMay(*repository, admin, "", "Read", type, page, answer);
      EXPECT_TRUE(asked.ok()) << asked.message;
      for (const ObjectRow& o : answer.objects) out.push_back(o.id);
      if (!asked.ok() || answer.nextCursor.empty()) return out;
      page.cursor = answer.nextCursor;
    }
  };
  WhatPage all;
  ASSERT_TRUE(whatMay(*repository, admin, "", "Read", "", PageRequest{"", 0}, all).ok());
  for (const std::string type : {"Document", "PhysicalTable", "Column"}) {
    std::vector<std::string> expected;
    for (const ObjectRow& o : all.objects) {
      if (o.type == type) expected.push_back(o.id);
    }
    ASSERT_FALSE(expected.empty()) << type;
    EXPECT_EQ(ids(type, 0), expected) << type;
    EXPECT_EQ(ids(type, 7), expected) << type;
    std::string lower = type;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(ids(lower, 0), expected) << lower;
  }
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
