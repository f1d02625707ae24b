// The session tree: end order (children, cleanups, pool) and the session a cleanup runs under.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/host_services.h"
#include "host/reference_host.h"

namespace {

using refhost::ReferenceHost;

// Cleanup callbacks take no argument, so the tests observe them through this state.
struct CleanupWatch {
  ReferenceHost* host = nullptr;
  std::vector<std::string> order;
  std::vector<HostSession*> currentOwners;  // cache owner of the current session during each run
  std::vector<uint64_t> poolBlocksDuringRun;
  HostSession* poolSession = nullptr;
  HostCleanup* selfDestroy = nullptr;
};
CleanupWatch* watch = nullptr;

void note(const char* name) {
  watch->order.push_back(name);
  HostSession* current = watch->host->task()->session;
  watch->currentOwners.push_back(ReferenceHost::cacheOwner(current));
  if (watch->poolSession)
    watch->poolBlocksDuringRun.push_back(
        watch->host->allocatorStats(watch->poolSession->pool).blocksOutstanding);
}
void first() { note("first"); }
void second() {
  note("second");
  // A cleanup that consumes its own registration, as the connection cache's cleanup does.
  if (watch->selfDestroy) hostDestroyCleanup(watch->host->interface(), watch->selfDestroy);
}
void third() { note("third"); }
void child() { note("child"); }

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    refhost::HostConfig config;
    config.logFile = nullptr;
    host = std::make_unique<ReferenceHost>(config);
    state.host = host.get();
    watch = &state;
  }
  void TearDown() override {
    host.reset();
    watch = nullptr;
  }
  HostCleanup* armed(host_service::CleanupCallback callback, HostSession* session) {
    HostCleanup* handle = nullptr;
    EXPECT_EQ(hostCreateCleanup(host->interface(), callback, &handle, session, nullptr), kStatusOk);
    hostArmCleanup(host->interface(), handle);
    return handle;
  }
  std::unique_ptr<ReferenceHost> host;
  CleanupWatch state;
};

TEST_F(SessionTest, TreeShapeAndCacheOwners) {
  HostSession* top = host->topSession();
  EXPECT_EQ(top->parent, nullptr);
  EXPECT_EQ(ReferenceHost::cacheOwner(top), top);  // the top session's context is DOSUB
  HostSession* step = host->newSession(nullptr, "DATASTEP");
  HostSession* dosub = host->newSession(step, "DOSUB");
  HostSession* inner = host->newSession(dosub, "PROC");
  EXPECT_EQ(step->parent, top);
  EXPECT_EQ(std::string(step->contextName, step->contextNameLength), "DATASTEP");
  EXPECT_EQ(ReferenceHost::cacheOwner(step), top);
  EXPECT_EQ(ReferenceHost::cacheOwner(dosub), dosub);
  EXPECT_EQ(ReferenceHost::cacheOwner(inner), dosub);
  HostSession* almost = host->newSession(step, "DOSUBX");
  EXPECT_EQ(ReferenceHost::cacheOwner(almost), step);  // compared byte for byte, whole length
  EXPECT_THROW(host->endSession(top), refhost::HostError);
  host->endSession(step);
  EXPECT_FALSE(host->isLive(step));
  EXPECT_FALSE(host->isLive(inner));  // children end with their parent
  EXPECT_THROW(host->newSession(step, "X"), refhost::HostError);
}

TEST_F(SessionTest, ChildrenFirstThenArmedCleanupsInCreationOrderThenPool) {
  HostSession* s = host->newSession(nullptr, "S");
  HostSession* c = host->newSession(s, "C");
  state.poolSession = s;
  ASSERT_NE(hostAllocate(s->pool, 32, kTagGeneral), nullptr);
  armed(first, s);
  HostCleanup* disarmed = armed(third, s);
  armed(second, s);
  hostDisarmCleanup(host->interface(), disarmed);
  HostCleanup* unarmed = nullptr;
  hostCreateCleanup(host->interface(), third, &unarmed, s, nullptr);  // never armed
  armed(child, c);
  EXPECT_EQ(host->cleanupCount(s), 4u);

  host->endSession(s);
  EXPECT_EQ(state.order, (std::vector<std::string>{"child", "first", "second"}));
  // The pool is still there while cleanups run, and freed afterwards.
  EXPECT_EQ(state.poolBlocksDuringRun, (std::vector<uint64_t>{1, 1, 1}));
}

TEST_F(SessionTest, CleanupRunsWhileTheCurrentSessionsCacheOwnerIsItsSession) {
  HostSession* plain = host->newSession(nullptr, "DATASTEP");
  HostSession* dosub = host->newSession(nullptr, "DOSUB");
  armed(first, plain);
  armed(second, dosub);
  HostSession* before = host->task()->session;
  host->endSession(plain);
  host->endSession(dosub);
  ASSERT_EQ(state.currentOwners.size(), 2u);
  EXPECT_EQ(state.currentOwners[0], plain);
  EXPECT_EQ(state.currentOwners[1], dosub);
  EXPECT_EQ(host->task()->session, before);  // restored after the runs
}

TEST_F(SessionTest, DestroyDuringItsRunAndDestroyBeforeTheEnd) {
  HostSession* s = host->newSession(nullptr, "S");
  state.selfDestroy = armed(second, s);
  HostCleanup* gone = armed(first, s);
  hostDestroyCleanup(host->interface(), gone);
  EXPECT_EQ(host->cleanupCount(s), 1u);
  host->endSession(s);
  EXPECT_EQ(state.order, (std::vector<std::string>{"second"}));
  // Handles of an ended session are unknown: using one is reported, not followed.
  host->clearLog();
  hostArmCleanup(host->interface(), state.selfDestroy);
  ASSERT_FALSE(host->logTexts().empty());
  EXPECT_NE(host->logTexts().back().find("unknown cleanup handle"), std::string::npos);
}

TEST_F(SessionTest, TheHostsEndRunsTheTopSessionsCleanups) {
  armed(first, host->topSession());
  HostSession* s = host->newSession(nullptr, "S");
  armed(child, s);
  host.reset();
  EXPECT_EQ(state.order, (std::vector<std::string>{"child", "first"}));
}

}  // namespace
