// The readable set and decide() are one rule: on every object of the sample's three
// repositories, under random grants and denies at every level (objects, templates applied to
// objects, repositories, templates applied to repositories, for people, groups, roles and the
// built-ins), the set, the query restricted to it, and a path walked through it agree with
// decide() asked object by object.
#include <random>
#include <string>
#include <vector>

#include "interface_fixture.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/readable_set.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

TEST(ReadableSet, AgreesWithTheDecisionOnEveryObjectUnderRandomEntries) {
  SKIP_THROUGH_THE_WIRE("never goes through an interface");
  std::string error;
  auto repository = openScratchRepository(&error);
  ASSERT_TRUE(repository) << error;
  ASSERT_TRUE(repository->importSeedFile(samplePath()).ok());
  SecurityStore& store = repository->security();

  std::vector<ObjectRow> objects;
  for (const std::string& type : repository->typeNames()) {
    std::vector<ObjectRow> rows;
    Outcome read = repository->resolve("vqsobj:" + type + "?@Id!=''", 0, rows);
    if (read.ok()) objects.insert(objects.end(), rows.begin(), rows.end());
  }
  ASSERT_GT(objects.size(), 30u);
  std::vector<std::string> repositories;
  for (const RepositoryInfo& info : repository->repositories()) repositories.push_back(info.id);
  ASSERT_EQ(repositories.size(), 3u);
  // One more template per repository, so templates can be applied anywhere.
  std::vector<std::string> templates = {"A0000001.T0000001", "A0000001.T0000002"};
  for (const char* id : {"A0000002.T0000001", "A0000003.T0000001"}) {
    AuthorizationChange create;
    create.kind = AuthorizationChange::Kind::kCreateTemplate;
    create.templateId = id;
    create.templateRecord.id = id;
    create.templateRecord.repositoryId = std::string(id, 8);
    create.templateRecord.attributes = {{"Name", std::string("Random ") + id}};
    ASSERT_TRUE(store.apply({create}).ok());
    templates.push_back(id);
  }
  const std::vector<std::string> identities = {
      "A0000001.PERSON01", "A0000001.PERSON02", "A0000001.PERSON03", "A0000001.PERSON04",
      "A0000001.GROUP001", "A0000001.GROUP002", "A0000001.GROUP003", "A0000001.ROLE0001",
      std::string(kEverybodyId), std::string(kAuthenticatedId)};
  std::vector<Principal> principals;
  for (const char* user : {"ada", "bo", "chen", "dee"}) {
    principals.push_back(authenticate(store, user, std::string(user) + ".pass").principal);
  }
  Principal anonymous;  // no login: Everybody only
  anonymous.identities.insert(std::string(kEverybodyId));
  principals.push_back(anonymous);

  std::mt19937 random(20261209);
  auto pick = [&](const auto& list) { return list[random() % list.size()]; };
  size_t compared = 0;
  for (int round = 0; round < 25; ++round) {
    std::vector<AuthorizationChange> changes;
    for (int i = 0; i < 6; ++i) {
      AuthorizationChange change;
      const int where = static_cast<int>(random() % 10);
      std::string target = where < 5   ? pick(objects).id
                           : where < 7 ? pick(repositories)
                                       : pick(templates);
      if (where == 9 && round % 2 == 0) {
        // Apply (or take away) a template of the target's repository.
        const std::string on = random() % 2 ? pick(objects).id : pick(repositories);
        std::vector<std::string> own;
        for (const std::string& t : templates) {
          if (t.compare(0, 8, on, 0, 8) == 0) own.push_back(t);
        }
        std::vector<std::string> applied;
        ASSERT_TRUE(store.applications(on, applied).ok());
        const std::string chosen = pick(own);
        const bool present = std::find(applied.begin(), applied.end(), chosen) != applied.end();
        std::optional<ObjectRow> row = on.size() == 17 ? repository->object(on) : std::nullopt;
        if (row && isTemplateType(row->type)) continue;
        change.kind = present ? AuthorizationChange::Kind::kRemoveTemplate
                              : AuthorizationChange::Kind::kApplyTemplate;
        change.templateId = chosen;
        change.target = on;
        changes.push_back(change);
        continue;
      }
      change.kind = random() % 5 == 0 ? AuthorizationChange::Kind::kRemove
                                      : AuthorizationChange::Kind::kSet;
      change.entry = {target, pick(identities), random() % 4 == 0 ? "Write" : "Read",
                      random() % 2 == 0};
      changes.push_back(change);
    }
    ASSERT_TRUE(store.apply(changes).ok()) << "round " << round;

    for (const Principal& principal : principals) {
      ReadableSet set;
      ASSERT_TRUE(readableSet(store, principal, repositories, set).ok());
      std::unordered_set<std::string> readable;
      for (const ObjectRow& object : objects) {
        const GuardedCheck check =
            guardedCheck(objectTarget(object.id, object.type), object.type, kPermissionRead);
        const bool decided = decide(store, principal, check.target, check.permission).allowed;
        if (decided) readable.insert(object.id);
        EXPECT_EQ(set.permits(object.id), decided)
            << object.id << " for " << principal.identityId << ", round " << round;
        std::vector<ObjectRow> found;
        repository->resolve("vqsobj:" + object.type + "\\" + object.id, 0, found, &set);
        EXPECT_EQ(found.size(), decided ? 1u : 0u)
            << "query for " << object.id << " as " << principal.identityId << ", round " << round;
        ++compared;
      }
      // A path walks only readable objects: trees with a readable table among their members.
      std::vector<ObjectRow> walked;
      repository->resolve("vqsobj:Tree?Members/PhysicalTable", 0, walked, &set);
      std::vector<std::string> expected;
      for (const ObjectRow& object : objects) {
        if (object.type != "Tree" || readable.count(object.id) == 0) continue;
        std::vector<ObjectRow> members;
        ASSERT_TRUE(repository->associated(object.id, "Members", members).ok());
        for (const ObjectRow& member : members) {
          if (member.type == "PhysicalTable" && readable.count(member.id) != 0) {
            expected.push_back(object.id);
            break;
          }
        }
      }
      std::sort(expected.begin(), expected.end());
      std::vector<std::string> got;
      for (const ObjectRow& row : walked) got.push_back(row.id);
      EXPECT_EQ(got, expected) << "path for " << principal.identityId << ", round " << round;
    }
  }
  EXPECT_GT(compared, 3000u);
}

// The set is joined into every path step: the deepest and longest texts the compiler accepts
// must still run for a principal with a set (a refusal of SQLite's parser would be a storage
// failure the user could provoke at will).
TEST(ReadableSet, TheDeepestAcceptedQueriesStillRunWithTheSetJoined) {
  SKIP_THROUGH_THE_WIRE("never goes through an interface");
  std::string error;
  auto repository = openScratchRepository(&error);
  ASSERT_TRUE(repository) << error;
  ASSERT_TRUE(repository->importSeedFile(samplePath()).ok());
  AuthorizationChange hide;
  hide.entry = {"A0000001.PERSON03", "A0000001.PERSON02", "Read", false};
  AuthorizationChange show;
  show.entry = {"A0000002.TABLE001", "A0000001.PERSON02", "Read", true};
  ASSERT_TRUE(repository->security().apply({hide, show}).ok());
  const Principal bo = authenticate(repository->security(), "bo", "bo.pass").principal;
  std::vector<std::string> repositories;
  for (const RepositoryInfo& info : repository->repositories()) repositories.push_back(info.id);
  ReadableSet set;
  ASSERT_TRUE(readableSet(repository->security(), bo, repositories, set).ok());
  ASSERT_FALSE(set.everything);
  ASSERT_FALSE(set.exceptions.empty());
  const char* shapes[][2] = {
      {"IdentityGroups/IdentityGroup[MemberIdentities/Person[", "]]"},
      {"(not(IdentityGroups/IdentityGroup[(MemberIdentities/Person[", "])]))"},
  };
  for (const auto& shape : shapes) {
    int accepted = 0;
    for (int depth = 1; depth < 200; ++depth) {
      std::string text = "vqsobj:Person?";
      for (int i = 0; i < depth; ++i) text += shape[0];
      text += "@Name='Ada Field'";
      for (int i = 0; i < depth; ++i) text += shape[1];
      std::vector<ObjectRow> rows;
      Outcome outcome = repository->resolve(text, 0, rows, &set);
      if (outcome.status == kStatusMalformedUri) break;
      EXPECT_TRUE(outcome.ok() || outcome.status == kStatusNoMatch)
          << shape[0] << " x" << depth << ": " << outcome.message;
      accepted = depth;
    }
    EXPECT_GE(accepted, 2) << shape[0];
  }
  std::string path = "vqsobj:Person?";
  for (int i = 0; i < 12; ++i) {
    path += "IdentityGroups/IdentityGroup[@Name='Administrators']/";
    path += "MemberIdentities/Person[@Name!='nobody']" + std::string(i < 11 ? "/" : "");
  }
  std::vector<ObjectRow> rows;
  Outcome outcome = repository->resolve(path, 0, rows, &set);
  ASSERT_TRUE(outcome.ok()) << outcome.message;
  // Chen is hidden from Bo: only Ada is reached, and only through visible people.
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, "A0000001.PERSON01");
}

}  // namespace
}  // namespace mdserver::testing
