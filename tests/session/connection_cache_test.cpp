// The connection and resolution cache, observed through objfuncs.so calls against a fake server
// that counts what it is asked and which pool blocks are outstanding.
#include <string>
#include <vector>

#include "mdaccess/connection_cache.h"
#include "tests/session/session_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

class ConnectionCache : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    server_.uris["vqsobj:Person?@Name='x'"] = {
        {"Person", "A5ZZZZZZ.AAAAAAAA"}, {"Person", "A5ZZZZZZ.BBBBBBBB"},
        {"Person", "A5ZZZZZZ.CCCCCCCC"}};
    server_.uris["vqsobj:Table\\A5ZZZZZZ.TTTTTTTT"] = {{"Table", "A5ZZZZZZ.TTTTTTTT"}};
    server_.typeNames = {"Person", "Table", "Column"};
  }
  double purge(HostSession* session) { return value(session, "METADATA_PURGE"); }
  double purge(HostSession* session, const std::string& uri) {
    return value(session, "METADATA_PURGE", {Argument::literal(uri)});
  }
  mdaccess::ConnectionCacheRecord* recordOf(HostSession* owner) {
    return static_cast<mdaccess::ConnectionCacheRecord*>(
        host_->namedItem(owner, mdaccess::kCacheItemName));
  }
};

TEST_F(ConnectionCache, SecondResolutionIsAnsweredFromTheCacheWhateverCaseAndTrailingBlanks) {
  EXPECT_EQ(resolve(session_, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(resolve(session_, "VQSOBJ:PERSON?@NAME='X'"), 3);
  EXPECT_EQ(resolve(session_, "vqsobj:person?@name='x'     "), 3);
  EXPECT_EQ(server_.resolveCalls, 1);
  EXPECT_EQ(server_.interfacesOpened, 1);
}

TEST_F(ConnectionCache, NoMatchIsSilentAndNotCached) {
  EXPECT_EQ(resolve(session_, "vqsobj:Person\\nothing"), 0);
  EXPECT_EQ(resolve(session_, "vqsobj:Person\\nothing"), 0);
  EXPECT_EQ(server_.resolveCalls, 2);
  EXPECT_EQ(sysmsg(session_), "");
  EXPECT_EQ(sysrc(session_), "0");
}

TEST_F(ConnectionCache, ForgetDropsOnlyWhatIsNamed) {
  resolve(session_, "vqsobj:Person?@Name='x'");
  resolve(session_, "vqsobj:Table\\A5ZZZZZZ.TTTTTTTT");
  ASSERT_EQ(server_.resolveCalls, 2);

  EXPECT_EQ(purge(session_, "vqsobj:Nothing\\cached"), 0);
  EXPECT_EQ(sysrc(session_), "0");
  resolve(session_, "vqsobj:Person?@Name='x'");
  resolve(session_, "vqsobj:Table\\A5ZZZZZZ.TTTTTTTT");
  EXPECT_EQ(server_.resolveCalls, 2) << "forgetting an unknown URI changed the cache";

  EXPECT_EQ(purge(session_, "VQSOBJ:TABLE\\a5zzzzzz.tttttttt"), 0);
  resolve(session_, "vqsobj:Person?@Name='x'");
  EXPECT_EQ(server_.resolveCalls, 2);
  resolve(session_, "vqsobj:Table\\A5ZZZZZZ.TTTTTTTT");
  EXPECT_EQ(server_.resolveCalls, 3);

  // A blank argument forgets everything but keeps the connection.
  EXPECT_EQ(purge(session_, "   "), 0);
  resolve(session_, "vqsobj:Person?@Name='x'");
  EXPECT_EQ(server_.resolveCalls, 4);
  EXPECT_EQ(server_.interfacesOpened, 1);
  EXPECT_EQ(server_.badFrees, 0);
}

TEST_F(ConnectionCache, DropConnectionReleasesEverythingAndTheNextCallStartsAfresh) {
  resolve(session_, "vqsobj:Person?@Name='x'");
  CharacterVariable name(8);
  value(session_, "METADATA_GETNTYP", {Argument::numeric(1), Argument::of(name)});
  ASSERT_NE(recordOf(session_), nullptr);
  size_t cleanups = host_->cleanupCount(session_);

  EXPECT_EQ(purge(session_), 0);
  EXPECT_EQ(recordOf(session_), nullptr);
  EXPECT_EQ(server_.interfacesReleased, 1);
  EXPECT_EQ(server_.namespacesReleased, 1);
  EXPECT_EQ(server_.blocksOutstanding(), 0);
  EXPECT_EQ(server_.badFrees, 0);
  EXPECT_EQ(host_->cleanupCount(session_), cleanups - 1) << "own cleanup is disarmed";

  EXPECT_EQ(resolve(session_, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(server_.interfacesOpened, 2);
  EXPECT_EQ(server_.resolveCalls, 2);
}

TEST_F(ConnectionCache, SessionEndReleasesEverything) {
  HostSession* session = host_->newSession(nullptr, "DOSUB");
  for (int i = 0; i < 40; ++i) {
    std::string uri = "vqsobj:Person\\P" + std::to_string(i);
    server_.uris[uri] = {{"Person", "P" + std::to_string(i)}};
    resolve(session, uri);
  }
  CharacterVariable name(8);
  value(session, "METADATA_GETNTYP", {Argument::numeric(2), Argument::of(name)});
  ASSERT_GT(server_.blocksOutstanding(), 40);

  host_->endSession(session);
  EXPECT_EQ(server_.blocksOutstanding(), 0);
  EXPECT_EQ(server_.listsReleased, 40);
  EXPECT_EQ(server_.namespacesReleased, 1);
  EXPECT_EQ(server_.interfacesReleased, server_.interfacesOpened);
  EXPECT_EQ(server_.badFrees, 0);
}

TEST_F(ConnectionCache, SessionsWithOneCacheOwnerShareRecordInterfaceAndResolutions) {
  HostSession* child1 = host_->newSession(session_, "STEP");
  HostSession* child2 = host_->newSession(session_, "STEP");
  EXPECT_EQ(resolve(child1, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(resolve(child2, "vqsobj:person?@name='x'"), 3);
  EXPECT_EQ(server_.resolveCalls, 1);
  EXPECT_EQ(server_.interfacesOpened, 1);
  EXPECT_NE(recordOf(session_), nullptr);
  EXPECT_EQ(recordOf(child1), nullptr) << "the record lives in the cache owner";
  // Each session has its own package context and status block all the same.
  EXPECT_NE(child1->extensionSlots[kPackageContextSlot], child2->extensionSlots[kPackageContextSlot]);

  // Dropping through one child drops it for the other.
  EXPECT_EQ(purge(child2), 0);
  EXPECT_EQ(resolve(child1, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(server_.interfacesOpened, 2);
  EXPECT_EQ(server_.resolveCalls, 2);
}

TEST_F(ConnectionCache, ManyEntriesStayFindableNewestFirstThroughTheIndex) {
  const int n = 300;
  for (int i = 0; i < n; ++i) {
    std::string uri = "vqsobj:Column\\C" + std::to_string(i);
    server_.uris[uri] = {{"Column", "C" + std::to_string(i)}};
    ASSERT_EQ(resolve(session_, uri), 1);
  }
  ASSERT_EQ(server_.resolveCalls, n);
  for (int i = 0; i < n; i += 7) {
    ASSERT_EQ(resolve(session_, "VQSOBJ:COLUMN\\c" + std::to_string(i)), 1) << i;
  }
  EXPECT_EQ(server_.resolveCalls, n);
  for (int i = 0; i < n; i += 3) purge(session_, "vqsobj:column\\C" + std::to_string(i));
  int asked = server_.resolveCalls;
  for (int i = 0; i < n; ++i) resolve(session_, "vqsobj:Column\\C" + std::to_string(i));
  EXPECT_EQ(server_.resolveCalls - asked, (n + 2) / 3);
  EXPECT_EQ(server_.badFrees, 0);
  purge(session_);
  EXPECT_EQ(server_.blocksOutstanding(), 0);
}

TEST_F(ConnectionCache, MultiByteModeComparesThroughTheHostAlsoWithManyEntries) {
  host_->setMultiByte(true);
  for (int i = 0; i < 40; ++i) {
    std::string uri = "vqsobj:Column\\C" + std::to_string(i);
    server_.uris[uri] = {{"Column", "C" + std::to_string(i)}};
    ASSERT_EQ(resolve(session_, uri), 1);
  }
  for (int i = 0; i < 40; i += 5) {
    ASSERT_EQ(resolve(session_, "VQSOBJ:COLUMN\\c" + std::to_string(i)), 1) << i;
  }
  EXPECT_EQ(server_.resolveCalls, 40);
}

TEST_F(ConnectionCache, ServerErrorWithObjectsGoesOnWithoutCaching) {
  server_.resolveStatus = 0x80172199u;
  CharacterVariable type(8), id(20);
  EXPECT_EQ(value(session_, "METADATA_RESOLVE",
                  {Argument::literal("vqsobj:Person?@Name='x'"), Argument::of(type),
                   Argument::of(id)}),
            3);
  EXPECT_EQ(type.value(), "Person  ");
  EXPECT_EQ(sysrc(session_), refhost::ReferenceHost::formatMacroNumber(
                                 static_cast<double>(static_cast<float>(int32_t(0x80172199u)))));
  server_.resolveStatus = kStatusOk;
  resolve(session_, "vqsobj:Person?@Name='x'");
  EXPECT_EQ(server_.resolveCalls, 2) << "a failed resolution must not be cached";
  purge(session_);
  EXPECT_EQ(server_.blocksOutstanding(), 0) << "the uncached list was not released";
}

// Fails the k-th pool allocation of a fresh session's first resolution for k = 1, 2, ... until
// the call meets no failure: record (-1 and 0x80000803), entry or text copy (0x80000803 reported,
// the call goes on with the objects, nothing cached). Every run ends with a balanced pool.
TEST_F(ConnectionCache, EveryPoolFailureGivesItsCodeAndValueAndLeavesNoBlock) {
  std::vector<double> values;
  std::vector<std::string> codes;
  for (uint64_t k = 1; k < 10; ++k) {
    HostSession* session = host_->newSession(nullptr, "DOSUB");
    uint64_t before = server_.allocations;
    server_.failAllocationAt(k);
    values.push_back(resolve(session, "vqsobj:Person?@Name='x'"));
    codes.push_back(sysrc(session));
    bool failureMet = server_.allocations - before >= k;
    server_.failAllocationAt(0);
    int asked = server_.resolveCalls;
    EXPECT_EQ(resolve(session, "vqsobj:Person?@Name='x'"), 3) << "k=" << k;
    bool cachedBefore = server_.resolveCalls == asked;
    if (codes.back() != "0") {
      EXPECT_FALSE(cachedBefore) << "k=" << k;
    }
    host_->endSession(session);
    EXPECT_EQ(server_.blocksOutstanding(), 0) << "k=" << k;
    if (!failureMet) break;
  }
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values, (std::vector<double>{-1, 3, 3, 3}));
  EXPECT_EQ(codes, (std::vector<std::string>{"-2147481600", "-2147481600", "-2147481600", "0"}));
  EXPECT_EQ(server_.badFrees, 0);
}

// A session two levels below a session that is not its own cache owner: the connection lives
// with its parent, the interface for resolutions with its grandparent. When the grandparent's
// record cannot be made, the resolution goes on uncached and its interface is given back.
TEST_F(ConnectionCache, ResolutionWithoutARecordAtTheUpperLevelGivesItsInterfaceBack) {
  HostSession* upper = host_->newSession(nullptr, "STEP");
  HostSession* middle = host_->newSession(upper, "STEP");
  HostSession* lower = host_->newSession(middle, "STEP");
  server_.failAllocationAt(2);  // 1: record at middle; 2: record at upper
  EXPECT_EQ(resolve(lower, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(sysrc(lower), "0");
  EXPECT_EQ(server_.interfacesOpened, 2);
  EXPECT_EQ(server_.interfacesReleased, 1);
  EXPECT_EQ(server_.listsReleased, 1) << "the uncached list is released with the call";
  EXPECT_EQ(recordOf(upper), nullptr);
  ASSERT_NE(recordOf(middle), nullptr);
  EXPECT_EQ(recordOf(middle)->resolutions, nullptr);

  // Later resolutions make the upper record and cache in the middle one as usual.
  EXPECT_EQ(resolve(lower, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(resolve(lower, "vqsobj:Person?@Name='x'"), 3);
  EXPECT_EQ(server_.resolveCalls, 2);
  host_->endSession(upper);
  EXPECT_EQ(server_.interfacesReleased, server_.interfacesOpened);
  EXPECT_EQ(server_.badFrees, 0);
}

}  // namespace
}  // namespace testing_support
