// METADATA_NEWOBJ and METADATA_DELOBJ through the real load path and the real repository: what
// the repository holds afterwards, what the resolution cache answers, and that the interface
// pool gets back every block the calls take.
#include <string>

#include "tests/objfuncs/repository_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

constexpr StatusCode kUnknownType = 0x801720E0u;
constexpr StatusCode kObjectNotFound = 0x801720E1u;
constexpr char kRoot[] = "vqsobj:Tree?@Name='Root'";
constexpr char kNewPrefix[] = "VQSOBJ:Person\\A5HOME01.";

// A variable as the host language hands over an output: full width, blank-filled.
CharacterVariable fullWidth(int64_t capacity) {
  return CharacterVariable(capacity, std::string(static_cast<size_t>(capacity), ' '));
}

class LifecycleFunctions : public RepositoryFixture {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    value("METADATA_VERSION");  // opens the connection, so its pool can be watched and faulted
    ASSERT_NE(current_, nullptr);
  }
  double newobj(std::vector<Argument> args) { return value("METADATA_NEWOBJ", std::move(args)); }
  double delobj(const std::string& uri) { return value("METADATA_DELOBJ", {Argument::literal(uri)}); }
  double resolve(const std::string& uri, CharacterVariable& type, CharacterVariable& id) {
    return value("METADATA_RESOLVE", {Argument::literal(uri), Argument::of(type), Argument::of(id)});
  }
  double resolve(const std::string& uri) {
    CharacterVariable type(10), id(20);
    return resolve(uri, type, id);
  }
  double forgetAll() { return value("METADATA_PURGE", {Argument::literal(" ")}); }
  const mdserver::PoolCounts& pool() { return current_->pool().counts(); }
  // The text the function wrote into a variable, up to `length` bytes whatever its current
  // length says.
  static std::string written(CharacterVariable& v, int64_t length) {
    return std::string(v.slot()->text, static_cast<size_t>(length));
  }
};

TEST_F(LifecycleFunctions, NewobjWithOnlyATypeCreatesAnUnnamedObjectAndWritesItsUri) {
  CharacterVariable out = fullWidth(40);
  EXPECT_EQ(newobj({Argument::literal("Person  "), Argument::of(out)}), 0);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(sysmsg(), "");
  const std::string uri(out.trimmed());
  ASSERT_EQ(uri.size(), std::string(kNewPrefix).size() + 8) << uri;
  EXPECT_EQ(uri.substr(0, std::string(kNewPrefix).size()), kNewPrefix);
  EXPECT_EQ(out.length(), 40);
  EXPECT_EQ(out.value().substr(uri.size()), std::string(40 - uri.size(), ' '));

  // The server holds it, unnamed: found by identifier once the cache no longer has it.
  forgetAll();
  CharacterVariable type(10), id(20);
  EXPECT_EQ(resolve(uri, type, id), 1);
  EXPECT_EQ(std::string(type.trimmed()), "Person");
  EXPECT_EQ(std::string(id.trimmed()), uri.substr(std::string("VQSOBJ:Person\\").size()));
  EXPECT_EQ(resolve("vqsobj:Person?@Name=''"), 1);

  // Two creations give two different objects.
  CharacterVariable second = fullWidth(40);
  ASSERT_EQ(newobj({Argument::literal("Person"), Argument::of(second)}), 0);
  EXPECT_NE(second.trimmed(), out.trimmed());
}

TEST_F(LifecycleFunctions, NewobjLeavesTheOutputLengthAsTheHostGaveIt) {
  CharacterVariable empty(40);  // current length 0
  ASSERT_EQ(newobj({Argument::literal("Table"), Argument::of(empty), Argument::literal("Orders")}), 0);
  EXPECT_EQ(empty.length(), 0);
  const std::string uri = written(empty, 30);
  EXPECT_EQ(uri.substr(0, 22), "VQSOBJ:Table\\A5HOME01.") << uri;
  EXPECT_EQ(written(empty, 40).substr(30), std::string(10, ' '));
}

TEST_F(LifecycleFunctions, TheReturnedUriResolvesFromTheSeededEntry) {
  CharacterVariable out = fullWidth(50);
  ASSERT_EQ(newobj({Argument::literal("Person"), Argument::of(out), Argument::literal("Brown  ")}), 0);
  const uint64_t resolutions = calls("resolveUri");
  CharacterVariable type(10), id(20);
  // The whole padded variable, as a program would pass it back.
  EXPECT_EQ(resolve(std::string(out.value()), type, id), 1);
  EXPECT_EQ(std::string(type.trimmed()), "Person");
  EXPECT_EQ(std::string(out.trimmed()), "VQSOBJ:Person\\" + std::string(id.trimmed()));
  EXPECT_EQ(calls("resolveUri"), resolutions) << "answered without asking the server";
  EXPECT_EQ(sysrc(), "0");
}

TEST_F(LifecycleFunctions, TheTextLeftInTheVariableLeadsToTheNewObject) {
  // Too narrow for the URI: the variable holds it cut, and that is the text the program passes
  // back. It leads to the new object, without asking the server.
  CharacterVariable narrow = fullWidth(20);
  ASSERT_EQ(newobj({Argument::literal("Person"), Argument::of(narrow)}), 0);
  EXPECT_EQ(narrow.value(), "VQSOBJ:Person\\A5HOME");
  const uint64_t before = calls("resolveUri");
  CharacterVariable type(10), id(20);
  EXPECT_EQ(resolve(std::string(narrow.value()), type, id), 1);
  EXPECT_EQ(calls("resolveUri"), before);
  EXPECT_EQ(std::string(type.trimmed()), "Person");
  const std::string narrowId(id.trimmed());
  EXPECT_EQ(narrowId.substr(0, 9), "A5HOME01.");

  // A shorter current length: the call frame gives 10, so the program holds "VQSOBJ:Per", and
  // that text leads to this second object (the latest remembered under it).
  CharacterVariable partial = fullWidth(40);
  partial.slot()->length = 10;
  ASSERT_EQ(newobj({Argument::literal("Person"), Argument::of(partial)}), 0);
  EXPECT_EQ(partial.value(), "VQSOBJ:Per");
  EXPECT_EQ(resolve("VQSOBJ:Per", type, id), 1);
  EXPECT_EQ(calls("resolveUri"), before);
  const std::string full = written(partial, 31);
  EXPECT_EQ(full, "VQSOBJ:Person\\" + std::string(id.trimmed()));
  EXPECT_NE(std::string(id.trimmed()), narrowId);

  // The complete URI is not what the variable shows: the server answers it, and knows the object.
  EXPECT_EQ(resolve(full), 1);
  EXPECT_EQ(calls("resolveUri"), before + 1);
}

TEST_F(LifecycleFunctions, WithoutACopyNothingIsRemembered) {
  // The template is the first allocation, the copy's block the second.
  forgetAll();
  const uint64_t blocks = pool().blocksOutstanding;
  current_->pool().failAllocationAt(2);
  CharacterVariable narrow = fullWidth(20);
  ASSERT_EQ(newobj({Argument::literal("Person"), Argument::of(narrow)}), 0);
  current_->pool().failAllocationAt(0);
  EXPECT_EQ(pool().failedAllocations, 1u);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(pool().blocksOutstanding, blocks) << "no entry was made";
  // The cut text is then no URI the server knows: the answer is no match, not an empty entry.
  const uint64_t before = calls("resolveUri");
  EXPECT_EQ(resolve(std::string(narrow.value())), 0);
  EXPECT_EQ(calls("resolveUri"), before + 1);
}

TEST_F(LifecycleFunctions, ABlankRelatedObjectLeavesTheCacheAlone) {
  ASSERT_EQ(resolve(kRoot), 1);
  ASSERT_EQ(resolve("vqsobj:Table?@Name='Customers'"), 1);
  const uint64_t before = calls("resolveUri");
  CharacterVariable out = fullWidth(40);
  EXPECT_EQ(newobj({Argument::literal("Person"), Argument::of(out), Argument::literal("Green"),
                    Argument::literal(""), Argument::literal("    "), Argument::literal("  ")}),
            0);
  EXPECT_EQ(resolve(kRoot), 1);
  EXPECT_EQ(resolve("vqsobj:Table?@Name='Customers'"), 1);
  EXPECT_EQ(calls("resolveUri"), before) << "a blank text must not forget every resolution";
}

TEST_F(LifecycleFunctions, ARelatedObjectReceivesTheNewOneAndIsResolvedAfresh) {
  ASSERT_EQ(resolve(kRoot), 1);
  const uint64_t before = calls("resolveUri");
  CharacterVariable out = fullWidth(40);
  ASSERT_EQ(newobj({Argument::literal("Tree"), Argument::of(out), Argument::literal("Branch"),
                    Argument::literal("Home"), Argument::literal(std::string(kRoot) + "   "),
                    Argument::literal("SubTrees ")}),
            0)
      << sysmsg();
  EXPECT_EQ(resolve(kRoot), 1);
  EXPECT_EQ(calls("resolveUri"), before + 1) << "the related object's entry was dropped";

  // The association holds it: the folder path through Root finds it.
  CharacterVariable type(12), id(24);
  EXPECT_EQ(value("METADATA_PATHOBJ", {Argument::literal(""), Argument::literal("/Root/Branch"),
                                       Argument::literal(""), Argument::of(type),
                                       Argument::of(id)}),
            1);
  EXPECT_EQ("VQSOBJ:Tree\\" + std::string(id.value()), std::string(out.trimmed()));
}

TEST_F(LifecycleFunctions, ARefusedCreationIsReportedAndTakesNothing) {
  const uint64_t blocks = pool().blocksOutstanding;
  CharacterVariable out(40, "unchanged");
  EXPECT_EQ(newobj({Argument::literal("Planet"), Argument::of(out)}), -2);
  EXPECT_EQ(sysrc(), sysrcOf(kUnknownType));
  EXPECT_NE(sysmsg(), "");
  EXPECT_EQ(out.value(), "unchanged");
  EXPECT_EQ(pool().blocksOutstanding, blocks) << "the template goes back after a refusal";

  // A related object that matches nothing.
  EXPECT_EQ(newobj({Argument::literal("Tree"), Argument::of(out), Argument::literal("x"),
                    Argument::literal(""), Argument::literal("vqsobj:Tree?@Name='Nowhere'"),
                    Argument::literal("SubTrees")}),
            -2);
  EXPECT_EQ(out.value(), "unchanged");
  EXPECT_EQ(pool().blocksOutstanding, blocks);
  EXPECT_EQ(pool().invalidReleases, 0u);
}

TEST_F(LifecycleFunctions, EveryAllocationFailureLeavesADefinedOutcomeAndABalancedPool) {
  // Fail the k-th allocation of one creation in turn until a creation needs no failing one.
  for (uint64_t k = 1; k < 20; ++k) {
    SCOPED_TRACE(k);
    forgetAll();
    const uint64_t blocks = pool().blocksOutstanding;
    const uint64_t failuresBefore = pool().failedAllocations;
    current_->pool().failAllocationAt(k);
    CharacterVariable out = fullWidth(40);
    double result = newobj({Argument::literal("Person"), Argument::of(out),
                            Argument::literal("Fault " + std::to_string(k))});
    const bool failed = pool().failedAllocations != failuresBefore;
    current_->pool().failAllocationAt(0);
    if (result == -9) {
      // Only the template's allocation ends the call, and it is not reported.
      EXPECT_EQ(k, 1u);
      EXPECT_EQ(sysrc(), "0");
      EXPECT_EQ(sysmsg(), "");
      EXPECT_EQ(calls("newObject"), 0u);
      EXPECT_EQ(out.value(), std::string(40, ' '));
      EXPECT_EQ(pool().blocksOutstanding, blocks);
      continue;
    }
    ASSERT_EQ(result, 0);
    EXPECT_EQ(sysrc(), "0");
    // Cached or not, the URI finds the object.
    CharacterVariable type(10), id(20);
    EXPECT_EQ(resolve(std::string(out.trimmed()), type, id), 1);
    EXPECT_EQ("VQSOBJ:Person\\" + std::string(id.trimmed()), std::string(out.trimmed()));
    forgetAll();
    EXPECT_EQ(pool().blocksOutstanding, blocks);
    if (!failed) break;
  }
  EXPECT_EQ(pool().invalidReleases, 0u);
  host_->endSession(session_);
  ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
  EXPECT_EQ(blocksLeftAtRelease_[0], 0u);
}

TEST_F(LifecycleFunctions, DelobjOfNothingGivesMinusThreeAndDeletesNothing) {
  EXPECT_EQ(delobj("vqsobj:Person?@Name='Nobody'"), -3);
  EXPECT_EQ(calls("deleteObject"), 0u);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(delobj("   "), -3);
  EXPECT_EQ(calls("deleteObject"), 0u);
}

TEST_F(LifecycleFunctions, DelobjDeletesAndDropsTheCachedResolution) {
  CharacterVariable out = fullWidth(40);
  ASSERT_EQ(newobj({Argument::literal("Person"), Argument::of(out), Argument::literal("Temp")}), 0);
  ASSERT_EQ(resolve(kRoot), 1);
  const std::string uri(out.trimmed());
  const uint64_t blocks = pool().blocksOutstanding;
  EXPECT_EQ(delobj(uri + "  "), 0);
  EXPECT_EQ(calls("deleteObject"), 1u);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_LT(pool().blocksOutstanding, blocks) << "the seeded copy went with its entry";

  const uint64_t before = calls("resolveUri");
  EXPECT_EQ(resolve(uri), 0);
  EXPECT_EQ(calls("resolveUri"), before + 1);
  EXPECT_EQ(resolve(kRoot), 1);
  EXPECT_EQ(calls("resolveUri"), before + 1) << "other resolutions stay cached";
  EXPECT_EQ(resolve("vqsobj:Person?@Name='Temp'"), 0);

  // A seeded object deleted through a query URI.
  EXPECT_EQ(delobj("vqsobj:Person?@Name='Jones'"), 0);
  EXPECT_EQ(resolve("vqsobj:Person?@Name='Jones'"), 0);
}

TEST_F(LifecycleFunctions, AFailedDeletionIsReportedAndKeepsTheResolution) {
  ASSERT_EQ(resolve("vqsobj:Person?@Name='Jones'"), 1);
  ASSERT_TRUE(current_->injectFault("deleteObject", {kObjectNotFound, mdserver::FaultMode::kOnce, false}));
  EXPECT_EQ(delobj("vqsobj:Person?@Name='Jones'"), -2);
  EXPECT_EQ(sysrc(), sysrcOf(kObjectNotFound));
  const uint64_t before = calls("resolveUri");
  EXPECT_EQ(resolve("vqsobj:Person?@Name='Jones'"), 1);
  EXPECT_EQ(calls("resolveUri"), before);
}

}  // namespace
}  // namespace testing_support
