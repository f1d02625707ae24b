// The security model through the metadata client interface, as the packages use it, on the
// sample repository: authentication, enforcement of reads and changes with their statuses, the
// decision rules (nesting, deny over grant, the object's entries over the repository's, an open
// repository, the local administrator), and staged changes that commit durably or vanish.
#include <sodium.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "interface_fixture.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_model.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome outcome = repository->importSeedFile(samplePath());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  void TearDown() override {
    for (MetadataInterface* md : opened) releaseInterface(md);
  }

  // An interface acting for the user, or null when the login fails (with *status).
  MetadataInterface* as(const std::string& user, const std::string& password,
                        StatusCode* status = nullptr) {
    Authentication login = authenticate(repository->security(), user, password);
    if (status) *status = login.outcome.status;
    if (!login.outcome.ok()) return nullptr;
    MetadataInterface* md = openTestInterface(*repository, {user, password}, &login.principal);
    opened.push_back(md);
    return md;
  }
  static std::vector<std::string> ids(MetadataInterface* md, const std::string& uri,
                                      StatusCode* status = nullptr) {
    MetadataObject* list = nullptr;
    StatusCode s = resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
    if (status) *status = s;
    std::vector<std::string> out = identifiers(list);
    if (list) freeObjectList(md, list);
    return out;
  }
  static StatusCode setTitle(MetadataInterface* md, const std::string& uri) {
    MetadataObject* list = nullptr;
    StatusCode s = resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list);
    if (s != kStatusOk) return s;
    AttributeRecord record{};
    record.name = "TableType";
    record.nameLength = 9;
    record.value = "CHANGED";
    record.valueLength = 7;
    record.changeFlags = 1;
    s = setAttribute(list, &record);
    freeObjectList(md, list);
    return s;
  }
  Principal principalOfUser(const std::string& user, const std::string& password) {
    return authenticate(repository->security(), user, password).principal;
  }

  std::string error;
  std::unique_ptr<Repository> repository;
  std::vector<MetadataInterface*> opened;
};

TEST_F(SecurityTest, LoginsCheckPasswordsAndGiveTheSameStatusForUnknownUsers) {
  StatusCode status = kStatusOk;
  EXPECT_NE(as("bo", "bo.pass", &status), nullptr);
  EXPECT_EQ(as("bo", "bo.pas", &status), nullptr);
  EXPECT_EQ(status, kStatusLoginFailed);
  EXPECT_EQ(as("nobody", "bo.pass", &status), nullptr);
  EXPECT_EQ(status, kStatusLoginFailed);
  EXPECT_EQ(as("BO", "bo.pass", &status) != nullptr, true) << "user ids ignore case";
  // The failure text names the user, never the password.
  Authentication failed = authenticate(repository->security(), "bo", "wrong-guess");
  EXPECT_NE(failed.outcome.message.find("'bo'"), std::string::npos);
  EXPECT_EQ(failed.outcome.message.find("wrong-guess"), std::string::npos);
  // Stored hashes are salted: the same password twice gives two different strings.
  auto first = hashPassword("same", kHashingMinimal);
  auto second = hashPassword("same", kHashingMinimal);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_TRUE(verifyPassword(*first, "same"));
  EXPECT_FALSE(verifyPassword(*first, "Same"));
}

TEST_F(SecurityTest, NoUserIsTheLocalAdministratorUnlessTheRepositoryRequiresALogin) {
  EXPECT_TRUE(authenticate(repository->security(), "", "").principal.localAdministrator);
  auto strict = openScratchRepository();
  ASSERT_TRUE(strict->importSeedText(R"({"security": {"requireLogin": true}})", "strict").ok());
  Authentication none = authenticate(strict->security(), "", "");
  EXPECT_EQ(none.outcome.status, kStatusLoginRequired);
}

TEST_F(SecurityTest, ReadersDoNotSeeWhatTheyMayNotRead) {
  MetadataInterface* bo = as("bo", "bo.pass");
  MetadataInterface* chen = as("chen", "chen.pass");
  MetadataInterface* ada = as("ada", "ada.pass");
  ASSERT_TRUE(bo && chen && ada);
  // LEDGER denies Read to the analysts: Bo (an analyst) does not see it; Chen does; Ada is in
  // both groups and the deny wins over the grant at the same level.
  StatusCode status = kStatusOk;
  EXPECT_TRUE(ids(bo, "vqsobj:PhysicalTable?@Name='LEDGER'", &status).empty());
  EXPECT_EQ(status, kStatusNoMatch);
  EXPECT_EQ(ids(chen, "vqsobj:PhysicalTable?@Name='LEDGER'").size(), 1u);
  EXPECT_TRUE(ids(ada, "vqsobj:PhysicalTable\\A0000001.TABLE003").empty());
  // Listings leave it out; the rest keeps its order.
  EXPECT_EQ(ids(bo, "vqsobj:PhysicalTable?@TableType!='nothing'"),
            (std::vector<std::string>{"A0000001.TABLE001", "A0000001.TABLE002", "A0000002.TABLE001"}));
  MetadataObject* finance = nullptr;
  ASSERT_EQ(findByPath(bo, "", 0, "/Shared Data/Finance/LEDGER", 27, "", 0, &finance), kStatusOk);
  EXPECT_EQ(finance, nullptr);
}

TEST_F(SecurityTest, ARepositoryThePrincipalMayNotReadIsNeitherListedNorResolved) {
  AuthorizationChange hide;
  hide.entry = {"A0000003", std::string(kEverybodyId), "Read", false};
  ASSERT_TRUE(repository->security().apply({hide}).ok());
  MetadataInterface* dee = as("dee", "dee.pass");
  ASSERT_NE(dee, nullptr);
  RepositoryEntry* list = nullptr;
  ASSERT_EQ(listRepositories(dee, &list), kStatusOk);
  std::vector<std::string> names;
  for (RepositoryEntry* e = list; e; e = e->next) names.push_back(text(e->name, e->nameLength));
  EXPECT_EQ(names, (std::vector<std::string>{"FOUNDATION", "Sales Project"}));
  StatusCode status = kStatusOk;
  EXPECT_TRUE(ids(dee, "Archive", &status).empty());
  EXPECT_NE(status, kStatusOk);
  EXPECT_EQ(ids(as("chen", "chen.pass"), "vqsobj:Document\\A0000003.DOC00001").size(), 0u)
      << "the deny to Everybody on the repository reaches administrators too";
}

TEST_F(SecurityTest, ChangesNeedWriteDeleteOrAdministerAndChangeNothingWhenRefused) {
  MetadataInterface* dee = as("dee", "dee.pass");
  MetadataInterface* bo = as("bo", "bo.pass");
  ASSERT_TRUE(dee && bo);
  EXPECT_EQ(setTitle(dee, "vqsobj:PhysicalTable\\A0000001.TABLE001"), kStatusWriteDenied);
  std::optional<std::string> value;
  ASSERT_TRUE(repository->attribute("A0000001.TABLE001", "TableType", value).ok());
  EXPECT_EQ(value, "DATA");
  // Bo writes ORDERS (grant to his group) and CUSTOMERS (grant to a role his group is in,
  // through a nested group), but not the library.
  EXPECT_EQ(setTitle(bo, "vqsobj:PhysicalTable\\A0000001.TABLE001"), kStatusOk);
  EXPECT_EQ(setTitle(bo, "vqsobj:PhysicalTable\\A0000001.TABLE002"), kStatusOk);
  MetadataObject* library = nullptr;
  ASSERT_EQ(resolveUri(bo, "vqsobj:Library\\A0000001.LIB00001", 32, &library), kStatusOk);
  EXPECT_EQ(deleteObject(bo, library), kStatusDeleteDenied);
  freeObjectList(bo, library);
  EXPECT_TRUE(repository->object("A0000001.LIB00001").has_value());
  AuthorizationRequest request{};
  IdentityPairRecord who{"Dee Novak", 9, 0, "", 0, 0, nullptr};
  request.identity = &who;
  request.grantCode = kGrantCodeGrant;
  request.permission = "Write";
  request.permissionLength = 5;
  EXPECT_EQ(setAuthorization(bo, nullptr, 0, &request), kStatusAdministerDenied);
  EXPECT_EQ(setAuthorization(as("chen", "chen.pass"), nullptr, 0, &request), kStatusOk);
  EXPECT_EQ(setTitle(dee, "vqsobj:PhysicalTable\\A0000001.TABLE002"), kStatusOk);
}

TEST_F(SecurityTest, DecisionsNameWhatDecidedAndWhatItOverrode) {
  SecurityStore& store = repository->security();
  const AccessTarget ledger{"A0000001", "A0000001.TABLE003"};
  Decision ada = decide(store, principalOfUser("ada", "ada.pass"), ledger, "read");
  EXPECT_FALSE(ada.allowed);
  ASSERT_TRUE(ada.decidingEntry);
  EXPECT_EQ(ada.decidingEntry->identityId, "A0000001.GROUP001");
  EXPECT_EQ(ada.decidingLevel, "A0000001.TABLE003");
  // The administrators' grant on the object, Everybody's and the administrators' on the
  // repository, and Authenticated's from the repository's template "Repository Defaults" lost.
  EXPECT_EQ(ada.overridden.size(), 4u);
  EXPECT_EQ(ada.overridden.back().target, "A0000001.T0000001");
  Decision chen = decide(store, principalOfUser("chen", "chen.pass"), ledger, "Read");
  EXPECT_TRUE(chen.allowed);
  EXPECT_EQ(chen.decidingLevel, "A0000001.TABLE003");  // the object's own entry first
  Decision dee = decide(store, principalOfUser("dee", "dee.pass"), ledger, "Write");
  EXPECT_FALSE(dee.allowed);
  EXPECT_EQ(dee.basis, Decision::Basis::kNoEntry);
  EXPECT_EQ(describe(dee), "denied: no entry for the identity or its groups");
  EXPECT_TRUE(decide(store, Principal::administrator(), ledger, "Delete").allowed);
}

TEST_F(SecurityTest, ARepositoryWithoutSecurityStaysOpen) {
  auto plain = openScratchRepository();
  ASSERT_TRUE(plain->importSeedText(R"({"types": ["Person"], "repositories": [
      {"id": "C0000001", "name": "Plain"}], "objects": [{"repository": "C0000001",
      "type": "Person", "id": "C0000001.PERSON01", "name": "P"}]})", "plain").ok());
  Principal anyone;
  anyone.identities = {std::string(kEverybodyId)};
  Decision d = decide(plain->security(), anyone, {"C0000001", "C0000001.PERSON01"}, "Write");
  EXPECT_TRUE(d.allowed);
  EXPECT_EQ(d.basis, Decision::Basis::kOpenRepository);
}

TEST_F(SecurityTest, CommittedChangesSurviveReopeningAndOthersSeeOnlyCommittedOnes) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("security_test_" + std::to_string(getpid()) + ".db"))
          .string();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  ASSERT_TRUE(importSeedIntoDatabase(path, samplePath()).ok());
  {
    auto first = Repository::open(path);
    auto second = Repository::open(path);  // another connection to the same file
    MetadataInterface* md = openTestInterface(*first, {});
    AuthorizationRequest request{};
    IdentityPairRecord who{"Dee Novak", 9, 0, "Person", 6, 0, nullptr};
    request.identity = &who;
    request.grantCode = kGrantCodeDeny;
    request.permission = "Read";
    request.permissionLength = 4;
    const auto entriesOf = [](Repository& r) {
      std::vector<AccessEntry> entries;
      EXPECT_TRUE(r.security().entries("A0000001", entries).ok());
      return entries.size();
    };
    const size_t before = entriesOf(*second);
    for (int32_t flag : {2, 0}) {
      TransactionHandle* handle = nullptr;
      ASSERT_EQ(beginTransaction(md, "", 0, 0, &handle), kStatusOk);
      TransactionHandle staged{md, handle->text, handle->length, 0, nullptr, 0};
      EXPECT_EQ(setAuthorization(md, &staged, 0, &request), kStatusOk);  // blank Q: default
      AuthorizationEntry* list = nullptr;
      // The staged entry shows with the transaction's text only, and not to the other connection.
      ASSERT_EQ(listAuthorizations(md, &staged, "", 0, 1, nullptr, "Read", 4, &list), kStatusOk);
      int count = 0;
      for (AuthorizationEntry* e = list; e; e = e->next) ++count;
      EXPECT_EQ(count, 3);  // Everybody, Administrators, and the staged deny
      releaseAuthorizations(md, list);
      ASSERT_EQ(listAuthorizations(md, nullptr, "", 0, 1, nullptr, "Read", 4, &list), kStatusOk);
      count = 0;
      for (AuthorizationEntry* e = list; e; e = e->next) ++count;
      EXPECT_EQ(count, 2);
      releaseAuthorizations(md, list);
      EXPECT_EQ(entriesOf(*second), before);
      EXPECT_EQ(endTransaction(md, handle, "", 0, flag), kStatusOk);
      EXPECT_EQ(entriesOf(*second), flag == 2 ? before : before + 1);
    }
    // Open transactions go when the connection ends.
    TransactionHandle* open = nullptr;
    ASSERT_EQ(beginTransaction(md, "", 0, 0, &open), kStatusOk);
    TransactionHandle stagedOpen{md, open->text, open->length, 0, nullptr, 0};
    request.grantCode = kGrantCodeGrant;
    EXPECT_EQ(setAuthorization(md, &stagedOpen, 0, &request), kStatusOk);
    releaseInterface(md);  // the open transaction is abandoned with its connection
  }
  auto reopened = Repository::open(path);
  std::vector<AccessEntry> entries;
  ASSERT_TRUE(reopened->security().entries("A0000001", entries).ok());
  std::vector<AccessEntry> dees;
  for (const AccessEntry& e : entries) {
    if (e.identityId == "A0000001.PERSON04") dees.push_back(e);
  }
  ASSERT_EQ(dees.size(), 1u);  // the committed deny; neither the abandoned nor the open grant
  EXPECT_FALSE(dees[0].grant);
  reopened.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

TEST_F(SecurityTest, ExportWritesHashesOnlyAndImportsThemBack) {
  const std::string text = repository->exportSeedText();
  for (const char* password : {"ada.pass", "bo.pass", "chen.pass", "dee.pass"}) {
    EXPECT_EQ(text.find(password), std::string::npos) << password;
  }
  EXPECT_NE(text.find("\"passwordHash\": \"$argon2id$"), std::string::npos);
  auto copy = openScratchRepository();
  ASSERT_TRUE(copy->importSeedText(text, "export").ok());
  EXPECT_TRUE(authenticate(copy->security(), "bo", "bo.pass").outcome.ok());
  EXPECT_FALSE(authenticate(copy->security(), "bo", "bo.pas").outcome.ok());
  // A seed cannot pass a clear password off as a hash.
  auto bad = openScratchRepository();
  Outcome refused = bad->importSeedText(R"({"types": ["Person"], "repositories": [{"id":
      "D0000001", "name": "D"}], "objects": [{"repository": "D0000001", "type": "Person", "id":
      "D0000001.PERSON01"}], "security": {"logins": [{"user": "u", "passwordHash": "plain",
      "owner": "D0000001.PERSON01"}]}})", "bad");
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.message.find("not a password hash"), std::string::npos) << refused.message;
}

}  // namespace
}  // namespace mdserver::testing
