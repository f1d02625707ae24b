// An attacker's tries at the integrity of the security state, on the sample repository, each as
// a logged-in user (or a second process) would make them: two template creations racing for one
// identifier, a change staged for a template that is deleted and succeeded, a deleted identity
// whose entries and login linger, user ids told apart by the work a login costs, a commit that
// meets a busy repository, and decisions made while the security state cannot be read.
//
// Every repository here lives where a second connection (another process, in effect) can reach
// it: a file in the SQLite pass, a schema of the test cluster in the PostgreSQL pass.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "interface_fixture.h"
#include "mdserver/security/access_decision.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/authentication.h"
#include "mdserver/security/security_store.h"

namespace mdserver::testing {
namespace {

namespace fs = std::filesystem;

class AttackIntegrity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (postgresPass()) {
      if (!testCluster()) GTEST_SKIP() << "no PostgreSQL cluster here";
      location = testCluster()->newLocation();
    } else {
      static int counter = 0;
      file = fs::temp_directory_path() / ("attack_integrity_" + std::to_string(::getpid()) + "_" +
                                          std::to_string(++counter) + ".db");
      removeFiles();
      location = file.string();
    }
    repository = open();
    ASSERT_TRUE(repository) << error;
    Outcome seeded = repository->importSeedFile(samplePath());
    ASSERT_TRUE(seeded.ok()) << seeded.message;
  }
  void TearDown() override {
    for (MetadataInterface* md : opened) releaseInterface(md);
    opened.clear();
    others.clear();
    repository.reset();
    if (!file.empty()) removeFiles();
  }
  void removeFiles() {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      fs::remove(file.string() + suffix, ignored);
    }
  }

  // Another connection to the same repository: what a second process would hold.
  std::unique_ptr<Repository> open() { return Repository::open(location, &error); }
  Repository& second() {
    others.push_back(open());
    EXPECT_TRUE(others.back()) << error;
    return *others.back();
  }

  MetadataInterface* as(Repository& where, const std::string& user, const std::string& password) {
    Authentication login = authenticate(where.security(), user, password);
    EXPECT_TRUE(login.outcome.ok()) << user << ": " << login.outcome.message;
    if (!login.outcome.ok()) return nullptr;
    MetadataInterface* md = openTestInterface(where, {user, password}, &login.principal);
    opened.push_back(md);
    return md;
  }

  // SQL run on the same storage over a connection of its own, outside the repository.
  bool runElsewhere(const std::string& sql) {
    if (postgresPass()) {
      std::string failure;
      const bool ran = testCluster()->runIn(location, sql, &failure);
      EXPECT_TRUE(ran) << failure;
      return ran;
    }
    sqlite3* db = nullptr;
    bool ran = sqlite3_open(location.c_str(), &db) == SQLITE_OK &&
               sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    EXPECT_TRUE(ran) << sqlite3_errmsg(db);
    sqlite3_close(db);
    return ran;
  }

  static MetadataObject* resolveOne(MetadataInterface* md, const std::string& uri) {
    MetadataObject* list = nullptr;
    EXPECT_EQ(resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list), kStatusOk)
        << uri << ": " << lastErrorText(md);
    return list;
  }

  // ---- what a package sends -------------------------------------------------------------------

  static TransactionHandle* handleFor(MetadataInterface* md, const std::string& text) {
    auto* handle = static_cast<TransactionHandle*>(poolAllocate(md, sizeof(TransactionHandle)));
    std::memset(handle, 0, sizeof *handle);
    handle->owner = md;
    handle->text = static_cast<char*>(poolAllocate(md, text.size() + 1));
    std::memcpy(handle->text, text.c_str(), text.size() + 1);
    handle->length = static_cast<int32_t>(text.size());
    return handle;
  }
  // Begins a transaction and gives its text.
  static std::string begin(MetadataInterface* md) {
    TransactionHandle* handle = nullptr;
    EXPECT_EQ(beginTransaction(md, "", 0, 0, &handle), kStatusOk);
    if (!handle) return {};
    std::string text(handle->text, handle->length);
    poolFree(md, handle->text);
    poolFree(md, handle);
    return text;
  }
  static StatusCode commit(MetadataInterface* md, const std::string& text) {
    return endTransaction(md, handleFor(md, text), "", 0, 0);
  }
  // A security call made with a transaction's text (blank: at once).
  template <typename Call>
  static StatusCode within(MetadataInterface* md, const std::string& text, Call call) {
    TransactionHandle* handle = text.empty() ? nullptr : handleFor(md, text);
    StatusCode status = call(handle);
    if (handle) {
      poolFree(md, handle->text);
      poolFree(md, handle);
    }
    return status;
  }
  static StatusCode newTemplate(MetadataInterface* md, const std::string& text,
                                const std::string& name) {
    std::string key = "Name", value = name;
    AttributeEntry entry{};
    entry.name = key.data();
    entry.nameLength = static_cast<int32_t>(key.size());
    entry.value = value.data();
    entry.valueLength = static_cast<int32_t>(value.size());
    return within(md, text, [&](TransactionHandle* t) { return newAct(md, t, "", 0, &entry); });
  }
  static StatusCode deleteTemplate(MetadataInterface* md, const std::string& text,
                                   const std::string& name) {
    std::string reference = name;
    ActReference request{};
    request.text = reference.data();
    request.length = static_cast<int32_t>(reference.size());
    return within(md, text, [&](TransactionHandle* t) { return deleteAct(md, t, &request); });
  }
  // Applies a template to the default repository.
  static StatusCode applyTemplate(MetadataInterface* md, const std::string& text,
                                  const std::string& name) {
    std::string reference = name;
    ActReference request{};
    request.text = reference.data();
    request.length = static_cast<int32_t>(reference.size());
    return within(md, text, [&](TransactionHandle* t) { return applyAct(md, t, 0, &request); });
  }
  // grant 2, deny 1, 0 removes; target: a template's name, an object or a repository.
  static StatusCode entry(MetadataInterface* md, const std::string& text,
                          const std::string& identity, const std::string& permission,
                          const std::string& target, int32_t grant = 2) {
    IdentityPairRecord who{};
    who.text1 = identity.c_str();
    who.length1 = static_cast<int32_t>(identity.size());
    who.text2 = "";
    AuthorizationRequest request{};
    request.identity = &who;
    request.grantCode = grant;
    request.permission = permission.c_str();
    request.permissionLength = static_cast<int32_t>(permission.size());
    request.condition = target.c_str();
    request.conditionLength = static_cast<int32_t>(target.size());
    return within(md, text,
                  [&](TransactionHandle* t) { return setAuthorization(md, t, 0, &request); });
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

  std::vector<TemplateRecord> templatesOf(Repository& where, const std::string& repositoryId) {
    std::vector<TemplateRecord> out;
    EXPECT_TRUE(where.security().templates(repositoryId, out).ok());
    return out;
  }
  std::vector<AccessEntry> entriesOn(Repository& where, const std::string& target) {
    std::vector<AccessEntry> out;
    EXPECT_TRUE(where.security().entries(target, out).ok());
    return out;
  }

  std::string error;
  std::string location;
  fs::path file;
  std::unique_ptr<Repository> repository;
  std::vector<std::unique_ptr<Repository>> others;
  std::vector<MetadataInterface*> opened;
};

const std::string kLedger = "vqsobj:PhysicalTable\\A0000001.TABLE003";

// ---- class: two templates created at once become one ------------------------------------------

TEST_F(AttackIntegrity, TwoTeamsCreatingTemplatesAtOnceGetTwoTemplatesAndKeepTheirGrantsApart) {
  // Two administrators in two processes, each preparing a template in a transaction: team A's
  // is applied to the whole repository with a harmless grant, team B's grants Dee Write and is
  // applied nowhere yet.
  MetadataInterface* teamA = as(*repository, "chen", "chen.pass");
  MetadataInterface* teamB = as(second(), "chen", "chen.pass");
  ASSERT_TRUE(teamA && teamB);
  const std::string a = begin(teamA);
  const std::string b = begin(teamB);
  ASSERT_EQ(newTemplate(teamA, a, "Team A"), kStatusOk);
  ASSERT_EQ(newTemplate(teamB, b, "Team B"), kStatusOk);
  ASSERT_EQ(entry(teamA, a, "Analysts", "Read", "Team A"), kStatusOk);
  ASSERT_EQ(applyTemplate(teamA, a, "Team A"), kStatusOk);
  ASSERT_EQ(entry(teamB, b, "Dee Novak", "Write", "Team B"), kStatusOk);
  EXPECT_EQ(commit(teamA, a), kStatusOk);
  EXPECT_EQ(commit(teamB, b), kStatusOk);

  std::vector<TemplateRecord> all = templatesOf(*repository, "A0000001");
  ASSERT_EQ(all.size(), 4u) << "a creation merged into another";
  EXPECT_NE(all[2].id, all[3].id);
  std::optional<TemplateRecord> teamBs;
  ASSERT_TRUE(repository->security().findTemplate("Team B", teamBs).ok());
  ASSERT_TRUE(teamBs);
  std::vector<std::string> applied;
  ASSERT_TRUE(repository->security().applications("A0000001", applied).ok());
  EXPECT_EQ(std::count(applied.begin(), applied.end(), teamBs->id), 0)
      << "team A's application landed on team B's template";
  // Dee got no Write anywhere through team A's application of the repository.
  MetadataInterface* dee = as(*repository, "dee", "dee.pass");
  EXPECT_EQ(setTitle(dee, kLedger), kStatusWriteDenied);
}

TEST_F(AttackIntegrity, TwoProcessesCreatingManyTemplatesLoseNone) {
  constexpr int kEach = 40;
  Repository& other = second();
  MetadataInterface* one = as(*repository, "chen", "chen.pass");
  MetadataInterface* two = as(other, "chen", "chen.pass");
  ASSERT_TRUE(one && two);
  std::atomic<int> failures{0};
  auto create = [&](MetadataInterface* md, const std::string& prefix) {
    for (int i = 0; i < kEach; ++i) {
      if (newTemplate(md, "", prefix + std::to_string(i)) != kStatusOk) ++failures;
    }
  };
  std::thread first(create, one, "one-");
  std::thread then(create, two, "two-");
  first.join();
  then.join();
  EXPECT_EQ(failures.load(), 0);
  std::vector<TemplateRecord> all = templatesOf(*repository, "A0000001");
  EXPECT_EQ(all.size(), 2u + 2 * kEach) << "creations were lost";
  std::set<std::string> names;
  for (const TemplateRecord& t : all) names.insert(t.name());
  EXPECT_EQ(names.size(), all.size()) << "one template carries another's name";
}

TEST_F(AttackIntegrity, AChangeStagedForADeletedTemplateDoesNotLandOnItsSuccessor) {
  MetadataInterface* stager = as(*repository, "chen", "chen.pass");
  MetadataInterface* other = as(second(), "chen", "chen.pass");
  ASSERT_TRUE(stager && other);
  ASSERT_EQ(newTemplate(stager, "", "Scratch"), kStatusOk);
  std::optional<TemplateRecord> scratch;
  ASSERT_TRUE(repository->security().findTemplate("Scratch", scratch).ok() && scratch);
  // A grant for Dee staged on the scratch template...
  const std::string t = begin(stager);
  ASSERT_EQ(entry(stager, t, "Dee Novak", "Write", "Scratch"), kStatusOk);
  // ...which another administrator deletes, then makes a new template for the whole repository.
  ASSERT_EQ(deleteTemplate(other, "", "Scratch"), kStatusOk);
  ASSERT_EQ(newTemplate(other, "", "Everyone Reads"), kStatusOk);
  ASSERT_EQ(entry(other, "", "Everybody", "Read", "Everyone Reads"), kStatusOk);
  ASSERT_EQ(applyTemplate(other, "", "Everyone Reads"), kStatusOk);
  std::optional<TemplateRecord> successor;
  ASSERT_TRUE(repository->security().findTemplate("Everyone Reads", successor).ok() && successor);
  EXPECT_NE(successor->id, scratch->id) << "an identifier was reused";
  EXPECT_EQ(commit(stager, t), kStatusOk);
  for (const AccessEntry& e : entriesOn(*repository, successor->id)) {
    EXPECT_NE(e.identityId, "A0000001.PERSON04") << "the staged grant landed on the successor";
  }
  EXPECT_TRUE(entriesOn(*repository, scratch->id).empty());
  MetadataInterface* dee = as(*repository, "dee", "dee.pass");
  EXPECT_EQ(setTitle(dee, kLedger), kStatusWriteDenied);
}

// ---- class: deleting an identity leaves its entries and logins behind ------------------------

TEST_F(AttackIntegrity, ADeletedPersonsLoginDoesNotComeBackAsAnImpostor) {
  MetadataInterface* admin = as(*repository, "chen", "chen.pass");
  ASSERT_TRUE(admin);
  ASSERT_EQ(entry(admin, "", "Bo Lindqvist", "Write", "A0000001.TABLE003"), kStatusOk);
  MetadataObject* bo = resolveOne(admin, "vqsobj:Person\\A0000001.PERSON02");
  ASSERT_TRUE(bo);
  ASSERT_EQ(deleteObject(admin, bo), kStatusOk);
  freeObjectList(admin, bo);
  // Bo's password no longer opens anything...
  EXPECT_EQ(authenticate(repository->security(), "bo", "bo.pass").outcome.status,
            kStatusLoginFailed);
  // ...not even once someone with Write on the repository creates a person named like the old
  // identifier: the orphaned login must not attach itself to it.
  char type[] = "Person";
  char name[] = "A0000001.PERSON02";
  MetadataObject made{};
  made.type = type;
  made.typeLength = 6;
  made.name = name;
  made.nameLength = 17;
  ASSERT_EQ(newObject(admin, nullptr, 0, nullptr, 0, "", 0, &made), kStatusOk)
      << lastErrorText(admin);
  Authentication again = authenticate(repository->security(), "bo", "bo.pass");
  EXPECT_EQ(again.outcome.status, kStatusLoginFailed) << "logged in as " << again.principal.identityId;
  // Nothing of Bo is left to mislead: no entry for him on any target, no login.
  for (const AccessEntry& e : entriesOn(*repository, "A0000001.TABLE003")) {
    EXPECT_NE(e.identityId, "A0000001.PERSON02");
  }
  std::vector<LoginRecord> logins;
  ASSERT_TRUE(repository->security().logins(logins).ok());
  for (const LoginRecord& l : logins) EXPECT_NE(l.ownerId, "A0000001.PERSON02") << l.userId;
}

TEST_F(AttackIntegrity, DeletingIdentitiesKeepsTheExportImportable) {
  MetadataInterface* admin = as(*repository, "chen", "chen.pass");
  ASSERT_TRUE(admin);
  // A grant staged for Dee, who is deleted before the commit; the Analysts group and Bo go too.
  const std::string t = begin(admin);
  ASSERT_EQ(entry(admin, t, "Dee Novak", "Read", "A0000001.TABLE001"), kStatusOk);
  for (const char* uri : {"vqsobj:Person\\A0000001.PERSON04", "vqsobj:IdentityGroup\\A0000001.GROUP001",
                          "vqsobj:Person\\A0000001.PERSON02"}) {
    MetadataObject* gone = resolveOne(admin, uri);
    ASSERT_TRUE(gone) << uri;
    ASSERT_EQ(deleteObject(admin, gone), kStatusOk) << uri;
    freeObjectList(admin, gone);
  }
  EXPECT_EQ(commit(admin, t), kStatusOk);
  const std::string seed = repository->exportSeedText();
  ASSERT_FALSE(seed.empty());
  auto copy = openScratchRepository(&error);
  ASSERT_TRUE(copy) << error;
  Outcome imported = copy->importSeedText(seed, "export");
  EXPECT_TRUE(imported.ok()) << imported.message;
  EXPECT_EQ(seed.find("A0000001.PERSON04"), std::string::npos);
  EXPECT_EQ(seed.find("A0000001.GROUP001"), std::string::npos);
  EXPECT_EQ(seed.find("\"bo\""), std::string::npos);
}

// ---- class: login time tells user ids apart ---------------------------------------------------

TEST_F(AttackIntegrity, AnUnknownUserCostsTheSamePasswordCheckAsAKnownOne) {
  // What a prober compares: the work of a wrong password for a known user and for an unknown
  // one. Counted in password checks and their cost, never in time.
  const PasswordCheckCount before = passwordChecks();
  EXPECT_EQ(authenticate(repository->security(), "bo", "guess-1").outcome.status,
            kStatusLoginFailed);
  const PasswordCheckCount known = passwordChecks();
  EXPECT_EQ(authenticate(repository->security(), "nobody-here", "guess-1").outcome.status,
            kStatusLoginFailed);
  const PasswordCheckCount unknown = passwordChecks();
  EXPECT_EQ(known.checks - before.checks, 1u);
  EXPECT_EQ(unknown.checks - known.checks, 1u) << "an unknown user costs no password check";
  EXPECT_EQ(unknown.lastCost, known.lastCost) << "checked at another cost";
}

// ---- class: a busy commit ends the transaction ------------------------------------------------

TEST_F(AttackIntegrity, ACommitThatMeetsABusyRepositoryCanBeRetried) {
  if (postgresPass()) {
    GTEST_SKIP() << "PostgreSQL writers wait for each other; the failing commit is tried below";
  }
  MetadataInterface* admin = as(*repository, "chen", "chen.pass");
  ASSERT_TRUE(admin);
  const std::string t = begin(admin);
  ASSERT_EQ(entry(admin, t, "Dee Novak", "Read", "A0000001.TABLE003"), kStatusOk);
  // Another process holds the write lock for longer than a commit waits.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(location.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(commit(admin, t), kStatusStorageFailure);
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  // The retry commits what was staged.
  EXPECT_EQ(commit(admin, t), kStatusOk) << lastErrorText(admin);
  bool found = false;
  for (const AccessEntry& e : entriesOn(*repository, "A0000001.TABLE003")) {
    found = found || e.identityId == "A0000001.PERSON04";
  }
  EXPECT_TRUE(found) << "the staged change was lost";
}

TEST_F(AttackIntegrity, ACommitTheStorageRefusesLeavesTheTransactionOpen) {
  MetadataInterface* admin = as(*repository, "chen", "chen.pass");
  ASSERT_TRUE(admin);
  const std::string t = begin(admin);
  ASSERT_EQ(entry(admin, t, "Dee Novak", "Read", "A0000001.TABLE003"), kStatusOk);
  // Another process makes every new entry fail for a while.
  const bool held = postgresPass()
      ? runElsewhere("ALTER TABLE authorizations ADD CONSTRAINT held CHECK (grant_flag < 0) NOT VALID")
      : runElsewhere("CREATE TRIGGER held BEFORE INSERT ON authorizations BEGIN "
                     "SELECT RAISE(ABORT, 'held'); END");
  ASSERT_TRUE(held);
  EXPECT_EQ(commit(admin, t), kStatusStorageFailure);
  ASSERT_TRUE(postgresPass() ? runElsewhere("ALTER TABLE authorizations DROP CONSTRAINT held")
                             : runElsewhere("DROP TRIGGER held"));
  EXPECT_EQ(commit(admin, t), kStatusOk) << lastErrorText(admin);
  bool found = false;
  for (const AccessEntry& e : entriesOn(*repository, "A0000001.TABLE003")) {
    found = found || e.identityId == "A0000001.PERSON04";
  }
  EXPECT_TRUE(found) << "the staged change was lost";
  // An abandon still ends it; a commit after that is refused.
  EXPECT_EQ(endTransaction(admin, handleFor(admin, t), "", 0, 0), kStatusUnknownTransaction);
}

// ---- class: deciding while the security state cannot be read ----------------------------------

// The repository's store, with reads of chosen targets failing as a broken disk or a lost
// server connection would make them fail.
class FailingStore final : public SecurityStore {
 public:
  explicit FailingStore(SecurityStore& real) : real_(real) {}
  std::set<std::string> failEntriesOf, failApplicationsOf, failGroupsOf;

  bool enforced() override { return real_.enforced(); }
  std::string setting(std::string_view name) override { return real_.setting(name); }
  Outcome identities(std::string_view r, std::vector<IdentityRecord>& out) override {
    return real_.identities(r, out);
  }
  Outcome findIdentity(std::string_view i, std::string_view t,
                       std::optional<IdentityRecord>& out) override {
    return real_.findIdentity(i, t, out);
  }
  Outcome directGroups(std::string_view id, std::vector<std::string>& out) override {
    if (failGroupsOf.count(std::string(id))) return broken(out);
    return real_.directGroups(id, out);
  }
  Outcome permissions(std::vector<std::string>& out) override { return real_.permissions(out); }
  Outcome entries(std::string_view target, std::vector<AccessEntry>& out) override {
    if (failEntriesOf.count(std::string(target))) return broken(out);
    return real_.entries(target, out);
  }
  Outcome apply(const std::vector<AuthorizationChange>& changes) override {
    return real_.apply(changes);
  }
  Outcome templates(std::string_view r, std::vector<TemplateRecord>& out) override {
    return real_.templates(r, out);
  }
  Outcome findTemplate(std::string_view r, std::optional<TemplateRecord>& out) override {
    return real_.findTemplate(r, out);
  }
  Outcome applications(std::string_view target, std::vector<std::string>& out) override {
    if (failApplicationsOf.count(std::string(target))) return broken(out);
    return real_.applications(target, out);
  }
  Outcome lastTemplateNumber(std::string_view r, int64_t& out) override {
    return real_.lastTemplateNumber(r, out);
  }
  Outcome objectsWithOwnLevels(std::vector<std::pair<std::string, std::string>>& out) override {
    return real_.objectsWithOwnLevels(out);
  }
  // Reading everything at once reads the broken targets too.
  Outcome allLevels(SecurityLevels& out) override {
    if (!failEntriesOf.empty() || !failApplicationsOf.empty()) {
      out = SecurityLevels{};
      return {kStatusStorageFailure, "injected: the storage cannot be read"};
    }
    return real_.allLevels(out);
  }
  Outcome reserveTemplateNumber(std::string_view r, int64_t& out) override {
    return real_.reserveTemplateNumber(r, out);
  }
  Outcome findLogin(std::string_view u, std::optional<LoginRecord>& out) override {
    return real_.findLogin(u, out);
  }
  Outcome logins(std::vector<LoginRecord>& out) override { return real_.logins(out); }

 private:
  template <typename T>
  static Outcome broken(std::vector<T>& out) {
    out.clear();
    return {kStatusStorageFailure, "injected: the storage cannot be read"};
  }
  SecurityStore& real_;
};

TEST_F(AttackIntegrity, ALevelThatCannotBeReadNeverGivesWayToAGrantFurtherOut) {
  // A deny at each level in turn, over Everybody's Read of the repository; then that level's
  // read fails. Whatever was nearer cannot be known, so nothing further out may decide.
  MetadataInterface* admin = as(*repository, "chen", "chen.pass");
  ASSERT_TRUE(admin);
  ASSERT_EQ(newTemplate(admin, "", "Stop Bo"), kStatusOk);
  ASSERT_EQ(entry(admin, "", "Bo Lindqvist", "Read", "Stop Bo", 1), kStatusOk);
  std::optional<TemplateRecord> stop;
  ASSERT_TRUE(repository->security().findTemplate("Stop Bo", stop).ok() && stop);
  const Principal bo = authenticate(repository->security(), "bo", "bo.pass").principal;
  const AccessTarget ledger = objectTarget("A0000001.TABLE003");
  const AccessTarget orders = objectTarget("A0000001.TABLE001");

  struct Case {
    const char* level;
    AccessTarget target;
    std::function<void(FailingStore&)> breakIt;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      // The analysts' deny on LEDGER itself.
      {"the object's entries", ledger,
       [](FailingStore& s) { s.failEntriesOf.insert("A0000001.TABLE003"); }, [] {}},
      // Bo's deny through the template applied to ORDERS.
      {"the templates applied to the object", orders,
       [](FailingStore& s) { s.failApplicationsOf.insert("A0000001.TABLE001"); },
       [&] {
         MetadataObject* table = resolveOne(admin, "vqsobj:PhysicalTable\\A0000001.TABLE001");
         ASSERT_TRUE(table);
         std::string reference = "Stop Bo";
         ActReference request{};
         request.text = reference.data();
         request.length = static_cast<int32_t>(reference.size());
         ASSERT_EQ(repoApplyAct(table, nullptr, 0, &request), kStatusOk)
             << lastErrorText(admin);
         freeObjectList(admin, table);
       }},
      {"the entries of a template applied to the object", orders,
       [&](FailingStore& s) { s.failEntriesOf.insert(stop->id); }, [] {}},
      // A deny of Read to Bo on the repository, over Authenticated's Read through the
      // template applied to the repository, further out; CUSTOMERS holds nothing nearer.
      {"the repository's entries", objectTarget("A0000001.TABLE002"),
       [](FailingStore& s) { s.failEntriesOf.insert("A0000001"); },
       [&] { ASSERT_EQ(entry(admin, "", "Bo Lindqvist", "Read", "", 1), kStatusOk); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    c.prepare();
    ASSERT_FALSE(decide(repository->security(), bo, c.target, "Read").allowed)
        << "the deny that the failure hides should decide while nothing fails";
    FailingStore failing(repository->security());
    c.breakIt(failing);
    const Decision decision = decide(failing, bo, c.target, "Read");
    EXPECT_FALSE(decision.allowed) << describe(decision);
    EXPECT_EQ(decision.failure.status, kStatusStorageFailure) << describe(decision);
  }
  // The templates applied to the repository are the outermost level: nothing further out could
  // take their place, but the refusal still carries the storage's status, not "no entry".
  FailingStore failing(repository->security());
  failing.failApplicationsOf.insert("A0000001");
  const Decision repositoryTemplates = decide(failing, bo, repositoryTarget("A0000001"), "Write");
  EXPECT_FALSE(repositoryTemplates.allowed);
  EXPECT_EQ(repositoryTemplates.failure.status, kStatusStorageFailure);
}

TEST_F(AttackIntegrity, AMembershipThatCannotBeReadDoesNotDropTheGroupsDeny) {
  // Bo's membership of Analysts carries the deny on LEDGER; if it cannot be read, he must not be
  // decided as a mere member of Everybody.
  FailingStore failing(repository->security());
  failing.failGroupsOf.insert("A0000001.PERSON02");
  Authentication login = authenticate(failing, "bo", "bo.pass");
  EXPECT_EQ(login.outcome.status, kStatusStorageFailure) << "logged in with memberships unknown";
  std::optional<IdentityRecord> person;
  ASSERT_TRUE(repository->security().findIdentity("A0000001.PERSON02", "", person).ok() && person);
  const Principal partial = principalOf(failing, *person, true);
  const Decision decision = decide(repository->security(), partial, objectTarget("A0000001.TABLE003"), "Read");
  EXPECT_FALSE(decision.allowed) << describe(decision);
  EXPECT_EQ(decision.failure.status, kStatusStorageFailure);
}

TEST_F(AttackIntegrity, AChangeDecidedOnAnUnreadableLevelIsRefusedWithTheStoragesStatus) {
  // Through the interface: a template denies Everybody Write on CUSTOMERS while the repository
  // grants it; the templates applied to objects then cannot be read (another process broke
  // the table). Dee's change must be refused, with the storage's status.
  MetadataInterface* admin = as(*repository, "chen", "chen.pass");
  ASSERT_TRUE(admin);
  ASSERT_EQ(newTemplate(admin, "", "Freeze"), kStatusOk);
  ASSERT_EQ(entry(admin, "", "Everybody", "Write", "Freeze", 1), kStatusOk);
  ASSERT_EQ(entry(admin, "", "Everybody", "Write", ""), kStatusOk);
  MetadataObject* table = resolveOne(admin, "vqsobj:PhysicalTable\\A0000001.TABLE002");
  ASSERT_TRUE(table);
  std::string reference = "Freeze";
  ActReference request{};
  request.text = reference.data();
  request.length = static_cast<int32_t>(reference.size());
  ASSERT_EQ(repoApplyAct(table, nullptr, 0, &request), kStatusOk) << lastErrorText(admin);
  freeObjectList(admin, table);
  MetadataInterface* dee = as(*repository, "dee", "dee.pass");
  ASSERT_TRUE(dee);
  const std::string customers = "vqsobj:PhysicalTable\\A0000001.TABLE002";
  ASSERT_EQ(setTitle(dee, customers), kStatusWriteDenied);
  MetadataObject* held = resolveOne(dee, customers);
  ASSERT_TRUE(held);
  // The connection keeps its decisions while the repository's change count stands still; a
  // dropped table moves SQLite's file version but not PostgreSQL's count, so there the breakage
  // comes with a change another process committed, as in real life.
  ASSERT_TRUE(runElsewhere(postgresPass()
                               ? "DROP TABLE template_applications; UPDATE change_count SET n = n + 1"
                               : "DROP TABLE template_applications"));
  AttributeRecord record{};
  record.name = "TableType";
  record.nameLength = 9;
  record.value = "CHANGED";
  record.valueLength = 7;
  record.changeFlags = 1;
  EXPECT_EQ(setAttribute(held, &record), kStatusStorageFailure) << lastErrorText(dee);
  freeObjectList(dee, held);
}

}  // namespace
}  // namespace mdserver::testing
