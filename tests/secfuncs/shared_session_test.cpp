// One session, both libraries: whichever runs first creates the package context in slot 37 and
// the connection cache record "__QMDI_REBCACHE"; the other finds and uses them (same context,
// same record, one interface, and a resolution made by one answered from the cache for the
// other). Both load orders and both call orders.
#include "frame/host_abi.h"
#include "mdaccess/connection_cache.h"
#include "security_fixture.h"

namespace {

using testing_support::SecurityFixture;
using refhost::CharacterVariable;

struct Order {
  bool objfuncsLoadedFirst;
  bool objectFunctionCalledFirst;
};

class SharedSessionTest : public SecurityFixture, public ::testing::WithParamInterface<Order> {
 protected:
  std::vector<std::string> libraries() const override {
    std::vector<std::string> paths = SecurityFixture::libraries();  // secfuncs, objfuncs
    if (GetParam().objfuncsLoadedFirst) std::swap(paths[0], paths[1]);
    return paths;
  }
  void* context() const { return session_->extensionSlots[kPackageContextSlot]; }
  void* record() const { return host_->namedItem(session_, mdaccess::kCacheItemName); }

  // METADATA_RESOLVE on the repository name: the repository handle's type and identifier.
  void resolveWork() {
    CharacterVariable type(20), id(20);
    EXPECT_EQ(value("METADATA_RESOLVE", {Arg::literal("Work"), Arg::of(type), Arg::of(id)}), 1);
    EXPECT_EQ(type.trimmed(), "Repository");
    EXPECT_EQ(id.trimmed(), "A5WORK02");
  }
  void beginOnWork() {
    CharacterVariable text(40);
    EXPECT_EQ(begtran("Work", 0, text), 0);
    EXPECT_EQ(text.value().substr(0, 3), "T1.");
  }
};

TEST_P(SharedSessionTest, FirstCallerCreatesContextAndRecordTheOtherUsesThem) {
  ASSERT_EQ(context(), nullptr);
  ASSERT_EQ(record(), nullptr);
  if (GetParam().objectFunctionCalledFirst) {
    resolveWork();
  } else {
    beginOnWork();
  }
  void* firstContext = context();
  void* firstRecord = record();
  ASSERT_NE(firstContext, nullptr);
  ASSERT_NE(firstRecord, nullptr);
  EXPECT_EQ(calls("resolveUri"), 1u);

  if (GetParam().objectFunctionCalledFirst) {
    beginOnWork();
  } else {
    resolveWork();
  }
  EXPECT_EQ(context(), firstContext);
  EXPECT_EQ(record(), firstRecord);
  EXPECT_EQ(host_->record().metadataInterfaceRequests, 1u);
  // The second library found the repository handle in the shared resolution cache.
  EXPECT_EQ(calls("resolveUri"), 1u);
  EXPECT_EQ(static_cast<mdaccess::ConnectionCacheRecord*>(firstRecord)->interface,
            current_->abi());
  // One end-of-session cleanup, registered by whichever created the record.
  EXPECT_EQ(host_->cleanupCount(session_), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, SharedSessionTest,
                         ::testing::Values(Order{false, false}, Order{false, true},
                                           Order{true, false}, Order{true, true}),
                         [](const ::testing::TestParamInfo<Order>& info) {
                           return std::string(info.param.objfuncsLoadedFirst ? "ObjLoaded"
                                                                             : "SecLoaded") +
                                  "First_" +
                                  (info.param.objectFunctionCalledFirst ? "ObjCalled"
                                                                        : "SecCalled") +
                                  "First";
                         });

}  // namespace
