// The audit trail through the client interface, on the sample repository: what a refused or
// allowed change leaves behind (the deciding entry and level are the decision function's),
// refused reads coalesced, logins without their password (a canary), who may read which
// records, and that recording neither moves the change count nor survives being switched off.
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "interface_fixture.h"
#include "mdserver/access/audit_trail.h"
#include "mdserver/security/access_target.h"
#include "mdserver/security/authentication.h"

namespace mdserver::testing {
namespace {

constexpr const char* kAda = "A0000001.PERSON01";  // Administrators: Administer everywhere
constexpr const char* kBo = "A0000001.PERSON02";   // Analysts
constexpr const char* kDee = "A0000001.PERSON04";
constexpr const char* kOrders = "A0000001.TABLE001";
constexpr const char* kForecast = "A0000002.TABLE001";

class AuditTrailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    repository = openScratchRepository(&error);
    ASSERT_TRUE(repository) << error;
    Outcome outcome = repository->importSeedFile(samplePath());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  void TearDown() override {
    for (MetadataInterface* md : opened) releaseInterface(md);
  }
  Principal login(const std::string& user) {
    Authentication a = authenticate(repository->security(), user, user + ".pass");
    EXPECT_TRUE(a.outcome.ok()) << a.outcome.message;
    return a.principal;
  }
  MetadataInterface* as(const std::string& user) {
    const Principal principal = login(user);
    MetadataInterface* md = openTestInterface(*repository, {user, user + ".pass"}, &principal);
    opened.push_back(md);
    return md;
  }
  void entry(const std::string& target, const std::string& identity,
             const std::string& permission, bool grant) {
    AuthorizationChange change;
    change.entry = {target, identity, permission, grant};
    Outcome outcome = repository->security().apply({change});
    ASSERT_TRUE(outcome.ok()) << outcome.message;
  }
  MetadataObject* handle(MetadataInterface* md, const std::string& id) {
    const std::string uri = "vqsobj:PhysicalTable\\" + id;
    MetadataObject* list = nullptr;
    EXPECT_EQ(resolveUri(md, uri.data(), static_cast<int32_t>(uri.size()), &list), kStatusOk);
    return list;
  }
  static StatusCode setDescription(MetadataObject* object, const std::string& value) {
    return setTextAttribute(object, "Desc", value);
  }
  std::vector<AuditRecord> all(AuditFilter filter = {}) {
    std::vector<AuditRecord> out;
    Outcome read = readAuditTrail(*repository, Principal::administrator(), filter, out);
    EXPECT_TRUE(read.ok()) << read.message;
    return out;
  }

  std::unique_ptr<Repository> repository;
  std::vector<MetadataInterface*> opened;
};

TEST_F(AuditTrailTest, RefusedAndAllowedChangesCarryTheDecisionThatMadeThem) {
  // Bo's group may write the orders table; a deny of his own on the table outranks it.
  entry(kOrders, kBo, "Write", false);
  MetadataInterface* bo = as("bo");
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  EXPECT_EQ(setDescription(orders, "by bo"), kStatusWriteDenied);
  freeObjectList(bo, orders);
  MetadataInterface* ada = as("ada");
  orders = handle(ada, kOrders);
  ASSERT_NE(orders, nullptr);
  EXPECT_EQ(setDescription(orders, "by ada"), kStatusOk);
  freeObjectList(ada, orders);

  AuditFilter mine;
  mine.target = kOrders;
  const std::vector<AuditRecord> records = all(mine);
  ASSERT_EQ(records.size(), 2u);
  const AuditRecord& refused = records[0];
  EXPECT_EQ(refused.outcome, "refused");
  EXPECT_EQ(refused.userId, "bo");
  EXPECT_EQ(refused.identityId, kBo);
  EXPECT_EQ(refused.operation, "setAttribute");
  EXPECT_EQ(refused.permission, "Write");
  EXPECT_EQ(refused.status, kStatusWriteDenied);
  EXPECT_EQ(refused.repositoryId, "A0000001");
  EXPECT_EQ(refused.decidingEntry, std::string("deny Write to ") + kBo + " on " + kOrders);
  EXPECT_EQ(refused.decidingLevel, "object");
  // The record says what the decision function says, word for word.
  Principal boPrincipal = login("bo");
  EXPECT_EQ(refused.decision, describe(decide(repository->security(), boPrincipal,
                                              objectTarget(kOrders), "Write")));
  const AuditRecord& allowed = records[1];
  EXPECT_EQ(allowed.outcome, "allowed");
  EXPECT_EQ(allowed.userId, "ada");
  EXPECT_EQ(allowed.status, kStatusOk);
  EXPECT_FALSE(allowed.decidingEntry.empty());
  EXPECT_GT(allowed.changeCount, 0u);
}

TEST_F(AuditTrailTest, RecordingDoesNotMoveTheChangeCount) {
  entry(kOrders, kBo, "Write", false);
  MetadataInterface* bo = as("bo");
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  const uint64_t before = repository->changeCount();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(setDescription(orders, "x"), kStatusWriteDenied);
  ASSERT_TRUE(repository->audit().flush().ok());
  // Results kept for the count stay good: a refused change changed nothing.
  EXPECT_EQ(repository->changeCount(), before);
  freeObjectList(bo, orders);
  AuditFilter refused;
  refused.outcome = "refused";
  const std::vector<AuditRecord> records = all(refused);
  ASSERT_EQ(records.size(), 1u);  // one refusal repeated: one record that counts them all
  EXPECT_EQ(records[0].count, 100);
}

int64_t testNow = 1'000'000;
int64_t testClock() { return testNow; }

// An attacker repeating refusals must not get another refusal (of another principal, target,
// deciding entry or state) counted into the repeats, nor one past the window: each stays a
// record of its own, and every occurrence is counted somewhere.
TEST_F(AuditTrailTest, RepeatedRefusalsAreCountedAndNoOtherRefusalHidesAmongThem) {
  repository->audit().setClock(testClock);
  entry(kOrders, kBo, "Write", false);
  entry(kOrders, kDee, "Write", false);
  MetadataInterface* bo = as("bo");
  MetadataInterface* dee = as("dee");
  MetadataObject* boOrders = handle(bo, kOrders);
  MetadataObject* deeOrders = handle(dee, kOrders);
  MetadataObject* boForecast = handle(bo, kForecast);
  ASSERT_TRUE(boOrders && deeOrders && boForecast);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(setDescription(boOrders, "x"), kStatusWriteDenied);
    EXPECT_EQ(setDescription(deeOrders, "x"), kStatusWriteDenied);
  }
  ASSERT_TRUE(repository->audit().flush().ok());  // repeats now count on stored records
  testNow += 1000;
  EXPECT_EQ(setDescription(boOrders, "y"), kStatusWriteDenied);
  EXPECT_EQ(setDescription(boForecast, "y"), kStatusWriteDenied);
  // The same entry decides, but on another state (the entries changed since): a record of its
  // own, whose change count is the one it was decided at.
  entry(kForecast, kDee, "Write", false);
  EXPECT_EQ(setDescription(boOrders, "z"), kStatusWriteDenied);
  // Past the window (60 seconds by default) the same refusal begins a new record.
  testNow += 61'000;
  EXPECT_EQ(setDescription(deeOrders, "x"), kStatusWriteDenied);
  freeObjectList(bo, boOrders);
  freeObjectList(dee, deeOrders);
  freeObjectList(bo, boForecast);

  AuditFilter refused;
  refused.outcome = "refused";
  std::vector<AuditRecord> records = all(refused);
  std::map<std::string, std::vector<int64_t>> counts;  // "user target" -> counts in order
  for (const AuditRecord& r : records) {
    counts[r.userId + " " + r.target].push_back(r.count);
  }
  EXPECT_EQ(counts["bo " + std::string(kOrders)], (std::vector<int64_t>{4, 1}));
  EXPECT_EQ(counts["dee " + std::string(kOrders)], (std::vector<int64_t>{3, 1}));
  EXPECT_EQ(counts["bo " + std::string(kForecast)], (std::vector<int64_t>{1}));
  for (const AuditRecord& r : records) {
    if (r.userId == "bo" && r.target == kOrders && r.count == 4) {
      EXPECT_EQ(r.lastTime - r.time, 1000);  // first and last occurrence
    }
  }
}

// The stored trail against a model of what the store promises, over random work: records and
// refusals (some repeated within their window, some after it, some asked first by key alone,
// some decided at another state of the repository, which ends every open window), batches
// written when full, when old and when asked, reads in between. Every record must come
// back in recording order with its texts whole (long, empty, quoted, non-ASCII) and every
// repeat counted on the record its window began with, whether that record was still waiting or
// stored already.
TEST_F(AuditTrailTest, StoredTrailFollowsAModelOfRecordingAndCoalescing) {
  const char* seedText = std::getenv("RUX_MODEL_SEED");
  std::mt19937_64 random(seedText && *seedText ? std::strtoull(seedText, nullptr, 10) : 20261210);
  AuditStore& store = repository->audit();
  store.setClock(testClock);
  testNow = 5'000'000;
  constexpr int64_t kWindow = 60'000;  // audit.coalesceSeconds' default
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  const std::vector<std::string> texts = {
      "", "A0000001", "A0000001.TABLE001", std::string(300, 'x') + "'\"; --",
      "deny Write to A0000001.PERSON02 on A0000001.TABLE001", "Ünïcødé ✓", "a,b\tc\nd"};
  uint64_t state = 7;  // the change count refusals are decided at
  auto made = [&](uint64_t seed) {
    std::mt19937_64 fields(seed);
    auto text = [&] { return texts[fields() % texts.size()]; };
    AuditRecord r;
    r.repositoryId = text();
    r.userId = text();
    r.identityId = text();
    r.operation = text();
    r.target = text() + std::to_string(seed % 1000);
    r.permission = text();
    r.outcome = seed % 2 ? "refused" : "failed";
    r.status = static_cast<uint32_t>(fields() % 5000);
    r.decidingEntry = text();
    r.decidingLevel = text();
    r.decision = text();
    r.changeCount = state;
    return r;
  };
  std::vector<AuditRecord> model;
  std::map<std::string, std::pair<size_t, int64_t>> windows;  // key -> (record, first time)
  uint64_t windowsState = 0;  // the state the open windows' refusals were decided at
  auto compare = [&](const char* when) {
    AuditFilter everything;
    everything.anyRepository = true;
    std::vector<AuditRecord> stored;
    ASSERT_TRUE(store.read(everything, stored).ok());
    ASSERT_EQ(stored.size(), model.size()) << when;
    for (size_t i = 0; i < model.size(); ++i) {
      const AuditRecord& a = stored[i];
      const AuditRecord& b = model[i];
      if (i > 0) {
        EXPECT_GT(a.key, stored[i - 1].key) << when << " record " << i;
      }
      EXPECT_TRUE(a.time == b.time && a.lastTime == b.lastTime && a.count == b.count &&
                  a.repositoryId == b.repositoryId && a.userId == b.userId &&
                  a.identityId == b.identityId && a.operation == b.operation &&
                  a.target == b.target && a.permission == b.permission &&
                  a.outcome == b.outcome && a.status == b.status &&
                  a.decidingEntry == b.decidingEntry && a.decidingLevel == b.decidingLevel &&
                  a.decision == b.decision && a.changeCount == b.changeCount)
          << when << ": record " << i << " of " << model.size() << " (count " << a.count
          << " against " << b.count << ", last time " << a.lastTime << " against "
          << b.lastTime << ")";
    }
  };
  uint64_t unique = 1'000'000;
  for (int step = 0; step < 4000; ++step) {
    const size_t what = pick(100);
    if (what < 50) {  // a refusal of one of a few kinds
      const uint64_t kind = pick(12);
      const std::string key = "refusal " + std::to_string(kind) + " at " + std::to_string(state);
      auto open = windows.find(key);
      const bool repeat = open != windows.end() && testNow - open->second.second < kWindow;
      if (repeat) {
        ++model[open->second.first].count;
        model[open->second.first].lastTime = testNow;
      } else {
        AuditRecord r = made(kind);
        r.time = r.lastTime = testNow;
        if (!windows.empty() && windowsState != state) windows.clear();
        windowsState = state;
        windows[key] = {model.size(), testNow};
        model.push_back(r);
      }
      if (pick(2) == 0) {  // asked by key first, as the interface does
        ASSERT_EQ(store.countRepeat(key, state), repeat) << "step " << step;
        if (repeat) continue;
      }
      store.recordCoalesced(key, made(kind));
    } else if (what < 52) {
      state = 7 + pick(3);  // the repository changed (or changed back)
    } else if (what < 82) {
      AuditRecord r = made(++unique);
      store.record(r);
      r.time = r.lastTime = testNow;
      model.push_back(r);
    } else if (what < 93) {
      testNow += pick(10) == 0 ? kWindow + static_cast<int64_t>(pick(5000))
                               : static_cast<int64_t>(pick(1500));
    } else if (what < 98) {
      ASSERT_TRUE(store.flush().ok());
    } else {
      compare(("step " + std::to_string(step)).c_str());
      if (HasFailure()) return;
    }
  }
  compare("the end");
}

TEST_F(AuditTrailTest, RefusedReadsOfOneTargetAreCoalesced) {
  MetadataInterface* bo = as("bo");
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  // Read taken away after bo holds a handle: each read through it is refused.
  entry(kOrders, kBo, "Read", false);
  for (int i = 0; i < 5; ++i) {
    ValueText* value = nullptr;
    EXPECT_EQ(getAttribute(orders, "Desc", 4, &value), kStatusObjectNotFound);
  }
  freeObjectList(bo, orders);
  AuditFilter filter;
  filter.target = kOrders;
  const std::vector<AuditRecord> records = all(filter);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].count, 5);
  EXPECT_EQ(records[0].permission, "Read");
  EXPECT_EQ(records[0].outcome, "refused");
  EXPECT_EQ(records[0].decidingEntry, std::string("deny Read to ") + kBo + " on " + kOrders);
}

TEST_F(AuditTrailTest, LoginsAreRecordedAndNoPasswordIsStored) {
  const std::string canary = "Canary-9f3e-pw";
  Authentication failed = authenticateAudited(*repository, "ada", canary);
  EXPECT_EQ(failed.outcome.status, kStatusLoginFailed);
  authenticateAudited(*repository, "nobody-here", canary);
  Authentication good = authenticateAudited(*repository, "ada", "ada.pass");
  EXPECT_TRUE(good.outcome.ok());
  AuditFilter filter;
  filter.userId = "ada";
  std::vector<AuditRecord> records = all(filter);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].operation, "login");
  EXPECT_EQ(records[0].outcome, "refused");
  EXPECT_EQ(records[0].status, kStatusLoginFailed);
  EXPECT_EQ(records[0].repositoryId, "A0000001");  // the login's owner's repository
  EXPECT_EQ(records[1].outcome, "allowed");
  EXPECT_EQ(records[1].identityId, kAda);
  // No text of any record holds the password or anything of the stored hash.
  for (const AuditRecord& r : all()) {
    for (const std::string* text : {&r.repositoryId, &r.userId, &r.identityId, &r.operation,
                                    &r.target, &r.permission, &r.outcome, &r.decidingEntry,
                                    &r.decidingLevel, &r.decision}) {
      EXPECT_EQ(text->find(canary), std::string::npos) << *text;
      EXPECT_EQ(text->find("ada.pass"), std::string::npos) << *text;
      EXPECT_EQ(text->find("$argon2"), std::string::npos) << *text;
    }
  }
}

TEST_F(AuditTrailTest, OnlyAdministratorsOfARepositorySeeItsRecords) {
  // Dee administers the second repository only; bo administers nothing.
  entry("A0000002", kDee, "Administer", true);
  entry(kOrders, kBo, "Write", false);
  MetadataInterface* bo = as("bo");
  MetadataObject* orders = handle(bo, kOrders);
  ASSERT_NE(orders, nullptr);
  EXPECT_EQ(setDescription(orders, "x"), kStatusWriteDenied);
  freeObjectList(bo, orders);
  MetadataObject* forecast = handle(bo, kForecast);
  ASSERT_NE(forecast, nullptr);
  EXPECT_EQ(setDescription(forecast, "x"), kStatusWriteDenied);
  freeObjectList(bo, forecast);

  std::vector<AuditRecord> seen;
  AuditFilter refused;
  refused.outcome = "refused";
  ASSERT_TRUE(readAuditTrail(*repository, login("dee"), refused, seen).ok());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, kForecast);
  // A filter naming another repository widens nothing.
  refused.repositories = {"A0000001"};
  ASSERT_TRUE(readAuditTrail(*repository, login("dee"), refused, seen).ok());
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(readAuditTrail(*repository, login("bo"), {}, seen).status, kStatusAdministerDenied);
  EXPECT_TRUE(seen.empty());
  AuditFilter onlyRefused;
  onlyRefused.outcome = "refused";
  ASSERT_TRUE(readAuditTrail(*repository, login("ada"), onlyRefused, seen).ok());
  // Bo's two changes, and his refused try at reading the trail itself.
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].operation, "readAudit");
  EXPECT_EQ(seen[2].userId, "bo");
}

TEST_F(AuditTrailTest, SwitchedOffRecordsNothingAndLimitsPrune) {
  Outcome off = repository->importSeedText(
      R"({"security": {"audit": {"enabled": false}}})", "audit settings");
  ASSERT_TRUE(off.ok()) << off.message;
  authenticateAudited(*repository, "ada", "wrong");
  EXPECT_TRUE(all().empty());
  // A bad setting says where it is and what was wrong.
  Outcome bad = repository->importSeedText(
      R"({"security": {"audit": {"maxRecords": -3}}})", "bad settings");
  EXPECT_FALSE(bad.ok());
  EXPECT_NE(bad.message.find("bad settings:1:"), std::string::npos) << bad.message;
  EXPECT_NE(bad.message.find("expected a whole number"), std::string::npos) << bad.message;

  Outcome limited = repository->importSeedText(
      R"({"security": {"audit": {"enabled": true, "maxRecords": 3}}})", "audit settings");
  ASSERT_TRUE(limited.ok()) << limited.message;
  for (int i = 0; i < 5; ++i) authenticateAudited(*repository, "ada", "wrong");
  uint64_t deleted = 0;
  ASSERT_TRUE(repository->audit().prune(&deleted).ok());
  EXPECT_EQ(deleted, 2u);
  EXPECT_EQ(all().size(), 3u);
  // The settings survive an export.
  EXPECT_NE(repository->exportSeedText().find("\"maxRecords\": 3"), std::string::npos);
}

}  // namespace
}  // namespace mdserver::testing
