// An attacker with an ordinary login to the sample repository tries to learn about objects it
// may not read: through the conditions and association paths of queries, through
// resolveInRepository, through explanations, and through the smaller listings (folder walks,
// association names, identities, templates, properties). Each group tries what such a user
// would try; the answer must be the one it gets for an object that does not exist.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "interface_fixture.h"
#include "mdserver/access/access_explanation.h"
#include "mdserver/access/audit_trail.h"
#include "mdserver/access/reverse_queries.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_model.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

class AttackVisibility : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome outcome = repository->importSeedFile(samplePath());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    // A secret the attacker is after, on a table it may not read (LEDGER: the analysts' deny).
    ASSERT_TRUE(repository->setAttribute("A0000001.TABLE003", "ApiKey", "k3-zebra").ok());
  }
  void TearDown() override {
    for (MetadataInterface* md : opened) releaseInterface(md);
  }

  MetadataInterface* as(const std::string& user, const std::string& password) {
    Authentication login = authenticate(repository->security(), user, password);
    EXPECT_TRUE(login.outcome.ok()) << login.outcome.message;
    MetadataInterface* md = openTestInterface(*repository, {user, password}, &login.principal);
    opened.push_back(md);
    return md;
  }
  Principal principalOf(const std::string& user, const std::string& password) {
    return authenticate(repository->security(), user, password).principal;
  }
  // The administrator's change, at once.
  void entry(const std::string& target, const std::string& identity, const std::string& permission,
             bool grant) {
    AuthorizationChange change;
    change.entry = {target, identity, permission, grant};
    ASSERT_TRUE(repository->security().apply({change}).ok());
  }
  // The changes that make a template `name` (identifier `templateId`, of the repository its
  // identifier begins with) holding one entry, and apply it to `target`.
  static std::vector<AuthorizationChange> templateApplied(const std::string& templateId,
                                                          const std::string& name,
                                                          const AccessEntry& entry,
                                                          const std::string& target) {
    AuthorizationChange create;
    create.kind = AuthorizationChange::Kind::kCreateTemplate;
    create.templateId = templateId;
    create.templateRecord.id = templateId;
    create.templateRecord.repositoryId = templateId.substr(0, 8);
    create.templateRecord.attributes = {{"Name", name}};
    AuthorizationChange held;
    held.entry = entry;
    AuthorizationChange apply;
    apply.kind = AuthorizationChange::Kind::kApplyTemplate;
    apply.templateId = templateId;
    apply.target = target;
    return {create, held, apply};
  }
  // A template of the archive, "Archive Secrets", granting `identity` Write, applied to `target`.
  void archiveTemplateGrantingWrite(const std::string& identity, const std::string& target) {
    ASSERT_TRUE(repository->security()
                    .apply(templateApplied("A0000003.T0000001", "Archive Secrets",
                                           {"A0000003.T0000001", identity, "Write", true}, target))
                    .ok());
  }
  static std::vector<std::string> ids(MetadataInterface* md, const std::string& uri) {
    MetadataObject* list = nullptr;
    resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
    std::vector<std::string> out = identifiers(list);
    if (list) freeObjectList(md, list);
    return out;
  }
  static std::vector<std::string> idsIn(MetadataInterface* md, const std::string& repositoryId,
                                        const std::string& query) {
    MetadataObject* list = nullptr;
    EXPECT_EQ(resolveInRepository(md, repositoryId.data(), static_cast<int32_t>(repositoryId.size()),
                                  query.data(), static_cast<int32_t>(query.size()), &list),
              kStatusOk);
    std::vector<std::string> out = identifiers(list);
    if (list) freeObjectList(md, list);
    return out;
  }
  // Recovers the secret attribute one character at a time with a contains() oracle: a probe is
  // "true" when the query returns anything; the known part grows to the right, then to the left.
  template <typename Probe>
  static std::string recover(Probe&& probe) {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789-";
    std::string known;
    for (bool grew = true; grew && known.size() < 16;) {
      grew = false;
      for (char c : alphabet) {
        if (probe(known + c)) {
          known += c;
          grew = true;
          break;
        }
      }
      if (grew) continue;
      for (char c : alphabet) {
        if (probe(c + known)) {
          known.insert(known.begin(), c);
          grew = true;
          break;
        }
      }
    }
    return known;
  }

  std::unique_ptr<Repository> repository;
  std::vector<MetadataInterface*> opened;
};

// ---- queries: path steps and conditions see only readable objects ------------------------------

TEST_F(AttackVisibility, APathConditionOnAHiddenTableIsNoOracle) {
  MetadataInterface* bo = as("bo", "bo.pass");
  ASSERT_TRUE(ids(bo, "vqsobj:PhysicalTable\\A0000001.TABLE003").empty()) << "LEDGER is hidden";
  auto probe = [&](const std::string& prefix) {
    return !ids(bo, "vqsobj:Tree?Members/PhysicalTable[@Id='A0000001.TABLE003' and "
                    "contains(@ApiKey,'" + prefix + "')]")
                .empty();
  };
  EXPECT_EQ(recover(probe), "");
  // The name and the identifier of a hidden member, and its existence at all.
  EXPECT_TRUE(ids(bo, "vqsobj:Tree?Members/PhysicalTable[@Name='LEDGER']").empty());
  EXPECT_TRUE(ids(bo, "vqsobj:Tree?Tree[Members/PhysicalTable[@TableType='VIEW']]").empty());
  // not(...) must not tell true from false either: the hidden member counts for neither.
  EXPECT_EQ(ids(bo, "vqsobj:Tree?not(Members/PhysicalTable[@Name='LEDGER'])"),
            ids(bo, "vqsobj:Tree?not(Members/PhysicalTable[@Name='NO SUCH TABLE'])"));
  // The same oracle through resolveInRepository.
  auto probeIn = [&](const std::string& prefix) {
    return !idsIn(bo, "A0000001",
                  "vqsobj:Tree?Members/PhysicalTable[contains(@ApiKey,'" + prefix + "')]")
                .empty();
  };
  EXPECT_EQ(recover(probeIn), "");
  // Chen may read LEDGER: for Chen the same queries work, so the query itself is sound.
  MetadataInterface* chen = as("chen", "chen.pass");
  EXPECT_EQ(ids(chen, "vqsobj:Tree?Members/PhysicalTable[@Name='LEDGER']"),
            (std::vector<std::string>{"A0000001.TREE0003"}));
  EXPECT_EQ(recover([&](const std::string& prefix) {
              return !ids(chen, "vqsobj:Tree?Members/PhysicalTable[contains(@ApiKey,'" + prefix +
                                    "')]")
                          .empty();
            }),
            "k3-zebra");
}

TEST_F(AttackVisibility, AHiddenObjectInTheMiddleOfAPathBreaksThePath) {
  // Bo may not read ORDERS, the only table with an AMOUNT column; the library and the column are
  // visible to him.
  entry("A0000001.TABLE001", "A0000001.PERSON02", "Read", false);
  MetadataInterface* bo = as("bo", "bo.pass");
  EXPECT_EQ(ids(bo, "vqsobj:Column\\A0000001.COLUMN03").size(), 1u);
  EXPECT_TRUE(ids(bo, "vqsobj:Library?Tables/PhysicalTable/Columns/Column[@Name='AMOUNT']").empty());
  EXPECT_TRUE(ids(bo, "vqsobj:Column?Table/PhysicalTable[@Name='ORDERS']").empty());
  // Counting through the walk: only CUSTOMERS' columns reach a table for Bo.
  EXPECT_EQ(ids(bo, "vqsobj:Column?Table/PhysicalTable"),
            (std::vector<std::string>{"A0000001.COLUMN04", "A0000001.COLUMN05"}));
  MetadataInterface* chen = as("chen", "chen.pass");
  EXPECT_EQ(ids(chen, "vqsobj:Library?Tables/PhysicalTable/Columns/Column[@Name='AMOUNT']"),
            (std::vector<std::string>{"A0000001.LIB00001"}));
}

// ---- resolveInRepository (METADATA_GETURI) ---------------------------------------------------------

TEST_F(AttackVisibility, ResolveInRepositoryHandsOutNothingHidden) {
  // The portal's connection is hidden from Bo; the batch connection is not.
  entry("A0000001.CONN0001", "A0000001.PERSON02", "Read", false);
  MetadataInterface* bo = as("bo", "bo.pass");
  EXPECT_EQ(idsIn(bo, "A0000001", "vqsobj:TCPIPConnection?@Name='Connection URI'"),
            (std::vector<std::string>{"A0000001.CONN0002"}));
  EXPECT_TRUE(idsIn(bo, "A0000001", "vqsobj:TCPIPConnection\\A0000001.CONN0001").empty());
  EXPECT_TRUE(idsIn(bo, "A0000001", "vqsobj:PhysicalTable?@Name='LEDGER'").empty());
  EXPECT_TRUE(idsIn(bo, "FOUNDATION", "vqsobj:PhysicalTable?@TableType='VIEW'").empty());
}

// ---- explanations --------------------------------------------------------------------------------

TEST_F(AttackVisibility, AnExplanationOfAHiddenObjectIsThatOfNoObject) {
  const Principal bo = principalOf("bo", "bo.pass");
  AccessExplanation hidden, missing;
  Outcome onHidden = explainAccess(*repository, bo, "A0000001.TABLE003", "Read", "", hidden);
  Outcome onMissing = explainAccess(*repository, bo, "A0000001.TABLE999", "Read", "", missing);
  EXPECT_EQ(onHidden.status, onMissing.status);
  EXPECT_EQ(onHidden.status, kStatusObjectNotFound);
  EXPECT_TRUE(hidden.steps.empty()) << "no entry of a hidden object is named";
  EXPECT_EQ(hidden.target, "");
  // A query is no second oracle: true and false conditions on the hidden table answer alike.
  const std::string trueProbe =
      "vqsobj:PhysicalTable?@Id='A0000001.TABLE003' and contains(@ApiKey,'k3')";
  const std::string falseProbe =
      "vqsobj:PhysicalTable?@Id='A0000001.TABLE003' and contains(@ApiKey,'zz')";
  AccessExplanation a, b;
  Outcome onTrue = explainAccess(*repository, bo, trueProbe, "Read", "", a);
  Outcome onFalse = explainAccess(*repository, bo, falseProbe, "Read", "", b);
  EXPECT_EQ(onTrue.status, onFalse.status);
  EXPECT_FALSE(onTrue.ok());
  EXPECT_TRUE(a.steps.empty());
  // ... nor is a path through the hidden table.
  AccessExplanation c;
  EXPECT_FALSE(explainAccess(*repository, bo,
                             "vqsobj:Tree?Members/PhysicalTable[contains(@ApiKey,'k3')]", "Read",
                             "", c)
                   .ok());
  // What Bo may see is explained as before.
  AccessExplanation orders;
  EXPECT_TRUE(explainAccess(*repository, bo, "A0000001.TABLE001", "Write", "", orders).ok());
  EXPECT_TRUE(orders.granted);
}

TEST_F(AttackVisibility, ExplainingAnotherIdentityNeedsAdministerOnTheTarget) {
  const Principal bo = principalOf("bo", "bo.pass");
  AccessExplanation out;
  // Bo reads ORDERS but does not administer it: he may not learn who else may do what there,
  // and the refusal is the same whether the identity exists or not.
  Outcome other = explainAccess(*repository, bo, "A0000001.TABLE001", "Read", "chen", out);
  EXPECT_EQ(other.status, kStatusAdministerDenied);
  EXPECT_TRUE(out.steps.empty());
  Outcome nobody = explainAccess(*repository, bo, "A0000001.TABLE001", "Read", "no-such-one", out);
  EXPECT_EQ(nobody.status, kStatusAdministerDenied);
  // Chen administers FOUNDATION and may ask about Bo.
  const Principal chen = principalOf("chen", "chen.pass");
  AccessExplanation forBo;
  ASSERT_TRUE(explainAccess(*repository, chen, "A0000001.TABLE003", "Read", "Bo Lindqvist", forBo).ok());
  EXPECT_FALSE(forBo.granted);
}

TEST_F(AttackVisibility, AnExplanationNamesNoLevelOrIdentityTheAskerMayNotRead) {
  // The archive is hidden from everybody; a template of it is applied to ORDERS, which Bo
  // reads, and its old manual is readable to Bo alone, by an entry of its own. A group Bo is
  // in, and may not read, denies him Write on CUSTOMERS.
  archiveTemplateGrantingWrite("A0000001.PERSON02", "A0000001.TABLE001");
  entry("A0000003", std::string(kEverybodyId), "Read", false);
  entry("A0000003.DOC00001", "A0000001.PERSON02", "Read", true);
  const Principal bo = principalOf("bo", "bo.pass");
  auto leaks = [](const AccessExplanation& e, const std::vector<std::string>& secrets) {
    std::string all = e.summary;
    for (const std::string& line : explanationLines(e)) all += "\n" + line;
    for (const ExplanationStep& s : e.steps) all += "\n" + s.source + s.sourceName + s.identity + s.identityName;
    for (const std::string& secret : secrets) {
      if (all.find(secret) != std::string::npos) return secret + " in:\n" + all;
    }
    return std::string();
  };
  // The hidden template's grant still counts and is shown, but neither named nor identified.
  AccessExplanation orders;
  ASSERT_TRUE(explainAccess(*repository, bo, "A0000001.TABLE001", "Write", "", orders).ok());
  EXPECT_TRUE(orders.granted);
  EXPECT_EQ(leaks(orders, {"A0000003", "Archive"}), "");
  bool hiddenStep = false;
  for (const ExplanationStep& s : orders.steps) {
    hiddenStep = hiddenStep || (s.source.empty() && s.level == "templates of the object" && s.grant);
  }
  EXPECT_TRUE(hiddenStep) << "the hidden template's entry is left out instead of withheld";
  // The manual is Bo's to read; the repository it lies in is not.
  AccessExplanation manual;
  ASSERT_TRUE(explainAccess(*repository, bo, "A0000003.DOC00001", "Read", "", manual).ok());
  EXPECT_TRUE(manual.granted);
  EXPECT_EQ(leaks(manual, {"A0000003 ", "A0000003)", "Archive"}), "");
  ASSERT_EQ(manual.steps.size(), 2u);
  EXPECT_EQ(manual.steps[1].level, "repository");
  EXPECT_FALSE(manual.steps[1].grant);
  // A group object Bo may not read is not named either, not even when its entry decides.
  AccessExplanation customers;
  entry("A0000001.TABLE002", "A0000001.GROUP001", "Write", false);
  entry("A0000001.GROUP001", "A0000001.PERSON02", "Read", false);
  ASSERT_TRUE(explainAccess(*repository, bo, "A0000001.TABLE002", "Write", "", customers).ok());
  EXPECT_FALSE(customers.granted);
  EXPECT_EQ(leaks(customers, {"GROUP001", "Analysts"}), "");
  // Nor may the identity be asked about: it is no identity to Bo (Chen administers FOUNDATION).
  entry("A0000001.GROUP001", "A0000001.PERSON03", "Read", false);
  const Principal chen = principalOf("chen", "chen.pass");
  AccessExplanation forGroup, forNobody;
  Outcome hiddenGroup =
      explainAccess(*repository, chen, "A0000001.TABLE002", "Write", "A0000001.GROUP001", forGroup);
  Outcome noGroup =
      explainAccess(*repository, chen, "A0000001.TABLE002", "Write", "A0000001.GROUP099", forNobody);
  EXPECT_EQ(hiddenGroup.status, noGroup.status);
  EXPECT_EQ(hiddenGroup.status, kStatusUnknownIdentity);
  // The administrator still sees every name.
  AccessExplanation all;
  ASSERT_TRUE(
      explainAccess(*repository, Principal::administrator(), "A0000001.TABLE001", "Write", "A0000001.PERSON02", all)
          .ok());
  EXPECT_NE(leaks(all, {"Archive Secrets"}), "");
}

TEST_F(AttackVisibility, AnAuthorizationListingNamesNoLevelTheAskerMayNotRead) {
  // As for explanations: a template of the archive, hidden from Bo, grants him Write on ORDERS,
  // and the archive's manual is Bo's to read by an entry of its own. Every listing view still shows the
  // entries (and the deciding one), but where they sit is withheld from Bo, not from the
  // administrator.
  archiveTemplateGrantingWrite("A0000001.PERSON02", "A0000001.TABLE001");
  entry("A0000003", "A0000001.PERSON02", "Read", false);
  entry("A0000003.DOC00001", "A0000001.PERSON02", "Read", true);
  // "code source" of each entry of the view, for one permission.
  auto listing = [](MetadataInterface* md, const std::string& reference, int32_t view,
                    const std::string& permission) {
    AuthorizationEntry* list = nullptr;
    const StatusCode status =
        listAuthorizations(md, nullptr, reference.data(), static_cast<int32_t>(reference.size()),
                           view, nullptr, permission.data(),
                           static_cast<int32_t>(permission.size()), &list);
    std::vector<std::string> rows{std::to_string(status)};
    for (AuthorizationEntry* e = list; e; e = e->next) {
      rows.push_back(std::to_string(e->code) + " " + text(e->condition.text, e->condition.length));
    }
    if (list) releaseAuthorizations(md, list);
    return rows;
  };
  auto hasRow = [](const std::vector<std::string>& rows, const std::string& row) {
    if (std::find(rows.begin(), rows.end(), row) != rows.end()) return true;
    std::string all;
    for (const std::string& r : rows) all += "\n  " + r;
    ADD_FAILURE() << "no row '" << row << "' among:" << all;
    return false;
  };
  MetadataInterface* bo = as("bo", "bo.pass");
  const std::string orders = "vqsobj:PhysicalTable\\A0000001.TABLE001";
  const std::string manual = "vqsobj:Document\\A0000003.DOC00001";
  const std::string withheld = std::string(kWithheldSource);
  for (int32_t view : {0, 2}) {
    const std::vector<std::string> rows = listing(bo, orders, view, "Write");
    ASSERT_EQ(rows.front(), "0") << view;
    for (const std::string& row : rows) {
      EXPECT_EQ(row.find("A0000003"), std::string::npos) << view << ": " << row;
    }
  }
  // The template's grant is there, its level withheld.
  EXPECT_TRUE(hasRow(listing(bo, orders, 0, "Write"), "18 " + withheld));
  const std::vector<std::string> deny = listing(bo, manual, 0, "Read");
  EXPECT_TRUE(hasRow(deny, "2 ")) << "the manual's own grant";
  EXPECT_TRUE(hasRow(deny, "17 " + withheld)) << "the archive's deny, its level withheld";
  EXPECT_EQ(std::find(deny.begin(), deny.end(), "17 vqsobj:Repository\\A0000003"), deny.end());
  // Whoever may read the archive sees where every entry sits.
  MetadataInterface* chen = as("chen", "chen.pass");
  EXPECT_TRUE(hasRow(listing(chen, orders, 0, "Write"), "18 A0000003.T0000001"));
  EXPECT_TRUE(hasRow(listing(chen, manual, 0, "Read"), "17 vqsobj:Repository\\A0000003"));
}

TEST_F(AttackVisibility, WhoNamesNoLevelOrIdentityTheAskerMayNotRead) {
  // Ada administers ORDERS, but may not read the archive, whose template grants Chen Write there,
  // nor the Analysts group, whose grant lets Bo write there. Who holds Write is still answered in
  // full; what decided for Chen and Bo is, without where it sits or whom it names.
  archiveTemplateGrantingWrite("A0000001.PERSON03", "A0000001.TABLE001");
  auto answers = [&](const Principal& asker) {
    WhoPage page;
    Outcome outcome = whoMay(*repository, asker, "A0000001.TABLE001", "Write", {}, page);
    EXPECT_TRUE(outcome.ok()) << outcome.message;
    std::map<std::string, std::string> byIdentity;
    for (const WhoAnswer& a : page.answers) {
      byIdentity[a.identityId] = a.decision + " | " + a.decidingEntry + " | " + a.decidingLevel;
    }
    return byIdentity;
  };
  // Before anything is hidden from her, Ada is told both.
  const Principal ada = principalOf("ada", "ada.pass");
  std::map<std::string, std::string> before = answers(ada);
  ASSERT_NE(before["A0000001.PERSON03"].find("A0000003.T0000001"), std::string::npos)
      << before["A0000001.PERSON03"];
  ASSERT_NE(before["A0000001.PERSON02"].find("A0000001.GROUP001"), std::string::npos)
      << before["A0000001.PERSON02"];
  entry("A0000003", "A0000001.PERSON01", "Read", false);
  entry("A0000001.GROUP001", "A0000001.PERSON01", "Read", false);
  std::map<std::string, std::string> after = answers(ada);
  ASSERT_EQ(after.count("A0000001.PERSON03"), 1u) << "Chen may still write: he is listed";
  ASSERT_EQ(after.count("A0000001.PERSON02"), 1u) << "Bo may still write: he is listed";
  EXPECT_EQ(after.count("A0000001.GROUP001"), 0u) << "a group Ada may not read is no identity";
  for (const auto& [identity, said] : after) {
    for (const char* secret : {"A0000003", "GROUP001"}) {
      EXPECT_EQ(said.find(secret), std::string::npos) << identity << ": " << said;
    }
  }
  EXPECT_NE(after["A0000001.PERSON03"].find(kWithheldSource), std::string::npos);
  EXPECT_NE(after["A0000001.PERSON03"].find("templates of the object"), std::string::npos);
  EXPECT_NE(after["A0000001.PERSON02"].find("granted by the grant of Write to " +
                                            std::string(kWithheldSource)),
            std::string::npos)
      << after["A0000001.PERSON02"];
}

TEST_F(AttackVisibility, TheAuditTrailNamesNoDecidingLevelOrIdentityTheReaderMayNotRead) {
  // Chen writes ORDERS by a grant of the archive's template, Bo by the Analysts' grant. Ada
  // administers FOUNDATION and reads its trail; once the archive and the Analysts are hidden
  // from her, the records still say who did what and that it was allowed, not by what.
  archiveTemplateGrantingWrite("A0000001.PERSON03", "A0000001.TABLE001");
  for (const auto& [user, password] : {std::pair<std::string, std::string>{"chen", "chen.pass"},
                                       {"bo", "bo.pass"}}) {
    MetadataInterface* md = as(user, password);
    const std::string uri = "vqsobj:PhysicalTable\\A0000001.TABLE001";
    MetadataObject* orders = nullptr;
    ASSERT_EQ(resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &orders), kStatusOk);
    EXPECT_EQ(setTextAttribute(orders, "Desc", user), kStatusOk) << user;
    freeObjectList(md, orders);
  }
  auto trail = [&](const Principal& reader) {
    AuditFilter filter;
    filter.target = "A0000001.TABLE001";
    std::vector<AuditRecord> records;
    Outcome read = readAuditTrail(*repository, reader, filter, records);
    EXPECT_TRUE(read.ok()) << read.message;
    std::map<std::string, std::string> byUser;
    for (const AuditRecord& r : records) {
      if (r.outcome == "allowed") byUser[r.userId] = r.decidingEntry + " | " + r.decision;
    }
    return byUser;
  };
  const Principal ada = principalOf("ada", "ada.pass");
  std::map<std::string, std::string> before = trail(ada);
  ASSERT_NE(before["chen"].find("A0000003.T0000001"), std::string::npos) << before["chen"];
  ASSERT_NE(before["bo"].find("A0000001.GROUP001"), std::string::npos) << before["bo"];
  entry("A0000003", "A0000001.PERSON01", "Read", false);
  entry("A0000001.GROUP001", "A0000001.PERSON01", "Read", false);
  std::map<std::string, std::string> after = trail(ada);
  ASSERT_EQ(after.size(), 2u);
  for (const auto& [user, said] : after) {
    for (const char* secret : {"A0000003", "GROUP001"}) {
      EXPECT_EQ(said.find(secret), std::string::npos) << user << ": " << said;
    }
    EXPECT_NE(said.find(kWithheldSource), std::string::npos) << user << ": " << said;
  }
  EXPECT_EQ(after["chen"], "grant Write to A0000001.PERSON03 on (not readable to you) | granted "
                           "by the grant of Write to A0000001.PERSON03 on template (not readable "
                           "to you)");
  // The local administrator reads every name still.
  EXPECT_EQ(trail(Principal::administrator()), before);
}

// ---- smaller listings ------------------------------------------------------------------------------

TEST_F(AttackVisibility, TemplatesOfAHiddenRepositoryAreNeitherListedNorRead) {
  AuthorizationChange create;
  create.kind = AuthorizationChange::Kind::kCreateTemplate;
  create.templateId = "A0000003.T0000001";
  create.templateRecord.id = "A0000003.T0000001";
  create.templateRecord.repositoryId = "A0000003";
  create.templateRecord.attributes = {{"Name", "Archive Secrets"}, {"Description", "hidden"}};
  ASSERT_TRUE(repository->security().apply({create}).ok());
  entry("A0000003", std::string(kEverybodyId), "Read", false);
  MetadataInterface* dee = as("dee", "dee.pass");
  ActEntry* acts = nullptr;
  const std::string byId = "REPOSID:A0000003";
  EXPECT_NE(listActsById(dee, nullptr, byId.data(), static_cast<int32_t>(byId.size()), 0, &acts),
            kStatusOk);
  for (ActEntry* e = acts; e; e = e->next) {
    ADD_FAILURE() << "listed: " << text(e->texts[0].text, e->texts[0].length);
  }
  AttributeEntry* attributes = nullptr;
  const std::string reference = "Archive Secrets";
  EXPECT_NE(listActAttributes(dee, nullptr, reference.data(),
                              static_cast<int32_t>(reference.size()), &attributes),
            kStatusOk);
  if (attributes) releaseAttributeList(dee, attributes);
  // A repository that does not exist answers the same.
  const std::string none = "REPOSID:A0000009";
  ActEntry* noActs = nullptr;
  EXPECT_EQ(listActsById(dee, nullptr, none.data(), static_cast<int32_t>(none.size()), 0, &noActs),
            listActsById(dee, nullptr, byId.data(), static_cast<int32_t>(byId.size()), 0, &acts));
}

TEST_F(AttackVisibility, AFolderWalkDoesNotPassThroughAHiddenFolder) {
  entry("A0000001.TREE0002", "A0000001.PERSON02", "Read", false);  // Sales, hidden from Bo
  MetadataInterface* bo = as("bo", "bo.pass");
  MetadataObject* found = nullptr;
  const std::string path = "/Shared Data/Sales/ORDERS";
  ASSERT_EQ(findByPath(bo, "", 0, path.data(), static_cast<int32_t>(path.size()), "", 0, &found),
            kStatusOk);
  EXPECT_EQ(identifiers(found), std::vector<std::string>{}) << "ORDERS behind the hidden folder";
  if (found) freeObjectList(bo, found);
  const std::string deeper = "/Shared Data/Sales/Reports/Quarterly Summary";
  ASSERT_EQ(findByPath(bo, "", 0, deeper.data(), static_cast<int32_t>(deeper.size()), "", 0, &found),
            kStatusOk);
  EXPECT_EQ(identifiers(found), std::vector<std::string>{});
  if (found) freeObjectList(bo, found);
  MetadataInterface* chen = as("chen", "chen.pass");
  ASSERT_EQ(findByPath(chen, "", 0, path.data(), static_cast<int32_t>(path.size()), "", 0, &found),
            kStatusOk);
  EXPECT_EQ(identifiers(found), std::vector<std::string>{"A0000001.TABLE001"});
  if (found) freeObjectList(chen, found);
}

TEST_F(AttackVisibility, AnAssociationWithOnlyHiddenTargetsIsNotNamed) {
  MetadataInterface* bo = as("bo", "bo.pass");
  MetadataObject* finance = nullptr;
  const std::string uri = "vqsobj:Tree\\A0000001.TREE0003";
  ASSERT_EQ(resolveUri(bo, uri.data(), static_cast<int32_t>(uri.size()), &finance), kStatusOk);
  NameNode* names = nullptr;
  ASSERT_EQ(listAssociationNames(finance, &names), kStatusOk);
  for (NameNode* n = names; n; n = n->next) {
    ADD_FAILURE() << "Finance names " << text(n->name, n->nameLength)
                  << ", whose only target (LEDGER) Bo may not read";
  }
  freeObjectList(bo, finance);
  // A visible target keeps the name listed.
  MetadataObject* sales = nullptr;
  const std::string salesUri = "vqsobj:Tree\\A0000001.TREE0002";
  ASSERT_EQ(resolveUri(bo, salesUri.data(), static_cast<int32_t>(salesUri.size()), &sales),
            kStatusOk);
  ASSERT_EQ(listAssociationNames(sales, &names), kStatusOk);
  std::vector<std::string> shown;
  for (NameNode* n = names; n; n = n->next) shown.push_back(text(n->name, n->nameLength));
  EXPECT_EQ(shown, (std::vector<std::string>{"SubTrees", "Members"}));
  freeObjectList(bo, sales);
}

TEST_F(AttackVisibility, IdentityListingsLeaveOutIdentitiesThatMayNotBeRead) {
  entry("A0000001.PERSON03", "A0000001.PERSON02", "Read", false);  // Chen, hidden from Bo
  MetadataInterface* bo = as("bo", "bo.pass");
  MetadataObject* folder = nullptr;
  const std::string uri = "vqsobj:Tree\\A0000001.TREE0001";
  ASSERT_EQ(resolveUri(bo, uri.data(), static_cast<int32_t>(uri.size()), &folder), kStatusOk);
  IdentityEntry* identities = nullptr;
  ASSERT_EQ(repoListIdentities(folder, nullptr, 0, &identities), kStatusOk);
  std::vector<std::string> listed;
  for (IdentityEntry* e = identities; e; e = e->next) {
    listed.push_back(text(e->texts[2].text, e->texts[2].length));
  }
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "A0000001.PERSON03"), 0);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "A0000001.PERSON02"), 1);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), std::string(kEverybodyId)), 1);
  freeObjectList(bo, folder);
}

// An administrator probes for identities it may not read by naming them: in a change it may
// make and in an authorization listing's filter. Either must answer as for a name that names
// nothing; before the group is hidden both work, so the answers are not refusals of another kind.
TEST_F(AttackVisibility, NamingAHiddenIdentityIsNamingNoIdentity) {
  MetadataInterface* chen = as("chen", "chen.pass");  // administers FOUNDATION
  auto change = [&](const std::string& identity) {
    IdentityPairRecord who{};
    who.text1 = identity.data();
    who.length1 = static_cast<int32_t>(identity.size());
    AuthorizationRequest request{};
    request.identity = &who;
    request.grantCode = kGrantCodeDeny;
    request.permission = "Write";
    request.permissionLength = 5;
    const StatusCode status = setAuthorization(chen, nullptr, 0, &request);
    std::string message = status == kStatusOk ? "" : lastErrorText(chen);
    // The name asked for is echoed; nothing else may differ.
    for (size_t at; (at = message.find(identity)) != std::string::npos;) message.replace(at, identity.size(), "X");
    return std::to_string(status) + " " + message;
  };
  // The identifiers a listing of the default repository's Write entries names (view 1: its own
  // entries; 2: effective decisions), and its status.
  auto listed = [&](int32_t view, const std::string& filter) {
    IdentityEntry* item = nullptr;
    if (!filter.empty()) {
      item = static_cast<IdentityEntry*>(poolAllocate(chen, sizeof(IdentityEntry)));
      auto* copy = static_cast<char*>(poolAllocate(chen, filter.size() + 1));
      std::memcpy(copy, filter.data(), filter.size());
      item->texts[0] = {copy, static_cast<int32_t>(filter.size()), 0};
    }
    AuthorizationEntry* list = nullptr;
    const StatusCode status = listAuthorizations(chen, nullptr, "", 0, view, item, "Write", 5, &list);
    std::string named = std::to_string(status) + ":";
    for (AuthorizationEntry* e = list; e; e = e->next) {
      named += " " + text(e->identity->texts[2].text, e->identity->texts[2].length);
    }
    if (list) releaseAuthorizations(chen, list);
    return named;
  };
  auto effectiveFor = [&](const std::string& identity) { return listed(2, identity); };
  ASSERT_EQ(change("Analysts"), "0 ");
  ASSERT_EQ(effectiveFor("Analysts"), "0: A0000001.GROUP001");
  ASSERT_NE(listed(1, "").find("GROUP001"), std::string::npos);
  ASSERT_NE(listed(2, "").find("GROUP001"), std::string::npos);
  entry("A0000001.GROUP001", "A0000001.PERSON03", "Read", false);  // the group, hidden from Chen
  for (const auto& [hidden, nothing] : {std::pair<std::string, std::string>{"Analysts", "Analysts2"},
                                        {"A0000001.GROUP001", "A0000001.GROUP099"}}) {
    EXPECT_EQ(change(hidden), change(nothing)) << hidden;
    EXPECT_EQ(change(hidden).substr(0, change(hidden).find(' ')), std::to_string(kStatusUnknownIdentity));
    EXPECT_EQ(effectiveFor(hidden), effectiveFor(nothing)) << hidden;
    EXPECT_EQ(effectiveFor(hidden), "0:");
  }
  // Nor is the group's entry, now hidden, listed with the repository's others.
  for (int32_t view : {0, 1, 2}) {
    const std::string all = listed(view, "");
    EXPECT_EQ(all.find("GROUP001"), std::string::npos) << view << ": " << all;
    EXPECT_NE(all.find("A0000001.GROUP002"), std::string::npos) << view << ": " << all;
  }
  // The built-ins are no objects: always named.
  EXPECT_EQ(change(std::string(kEverybodyId)), "0 ");
}

TEST_F(AttackVisibility, AHiddenPropertyObjectIsNotListedOrRead) {
  std::string propertyId;
  ASSERT_TRUE(repository->addProperty("A0000001.TABLE001", "Password", "hunter2", "", &propertyId)
                  .ok());
  entry(propertyId, "A0000001.PERSON02", "Read", false);
  MetadataInterface* bo = as("bo", "bo.pass");
  MetadataObject* orders = nullptr;
  const std::string uri = "vqsobj:PhysicalTable\\A0000001.TABLE001";
  ASSERT_EQ(resolveUri(bo, uri.data(), static_cast<int32_t>(uri.size()), &orders), kStatusOk);
  NameValueNode* properties = nullptr;
  ASSERT_EQ(listProperties(orders, &properties), kStatusOk);
  std::vector<std::string> listed;
  for (NameValueNode* p = properties; p; p = p->next) listed.push_back(text(p->name, p->nameLength));
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "Password"), 0) << "the hidden property";
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "RefreshSchedule"), 1) << "a visible one";
  PropertyRecord* record = nullptr;
  ASSERT_EQ(getProperty(orders, "Password", 8, &record), kStatusOk);
  EXPECT_EQ(record, nullptr);
  EXPECT_TRUE(ids(bo, "vqsobj:Property\\" + propertyId).empty());
  freeObjectList(bo, orders);
}

TEST_F(AttackVisibility, AnApplicationPropertyFollowsItsComponentsReadDecisionAtEveryLevel) {
  auto property = [&](MetadataInterface* md) {
    ValueText* value = nullptr;
    const StatusCode status = getAppProperty(md, "Report Portal", 13, "WelcomeText", 11, &value);
    if (value) freeText(md, value);
    return status;
  };
  EXPECT_EQ(property(as("bo", "bo.pass")), kStatusOk);
  // Hidden by an entry on the component itself: as a property that does not exist.
  entry("A0000001.SOFT0001", "A0000001.PERSON02", "Read", false);
  MetadataInterface* bo = as("bo", "bo.pass");
  EXPECT_EQ(property(bo), kStatusNoSuchAppProperty);
  ValueText* none = nullptr;
  EXPECT_EQ(getAppProperty(bo, "Report Portal", 13, "NoSuchProperty", 14, &none),
            kStatusNoSuchAppProperty);
  // Readable by its own grant although its repository is hidden: the exception counts.
  entry("A0000001.SOFT0001", "A0000001.PERSON02", "Read", true);
  entry("A0000001", "A0000001.PERSON02", "Read", false);
  EXPECT_EQ(property(as("bo", "bo.pass")), kStatusOk);
  // Its own grant and the repository's deny gone, a template applied to it hides it again, on
  // the connection that read it before.
  MetadataInterface* open = as("bo", "bo.pass");
  EXPECT_EQ(property(open), kStatusOk);
  AuthorizationChange removed;
  removed.kind = AuthorizationChange::Kind::kRemove;
  removed.entry = {"A0000001.SOFT0001", "A0000001.PERSON02", "Read", true};
  AuthorizationChange repositoryBack = removed;
  repositoryBack.entry.target = "A0000001";
  std::vector<AuthorizationChange> changes{removed, repositoryBack};
  for (AuthorizationChange& change :
       templateApplied("A0000002.T0000009", "No Portal",
                       {"A0000002.T0000009", "A0000001.PERSON02", "Read", false},
                       "A0000001.SOFT0001")) {
    changes.push_back(std::move(change));
  }
  ASSERT_TRUE(repository->security().apply(changes).ok());
  EXPECT_EQ(property(open), kStatusNoSuchAppProperty);
}

}  // namespace
}  // namespace mdserver::testing
