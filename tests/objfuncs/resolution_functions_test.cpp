// METADATA_RESOLVE, GETNOBJ, PATHOBJ, GETNTYP, VERSION and PAUSED through the real load path and
// the real repository.
#include <cmath>
#include <limits>
#include <string>

#include "tests/objfuncs/repository_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

constexpr char kSmiths[] = "vqsobj:Person?@Name='Smith'";

class ResolutionFunctions : public RepositoryFixture {
 protected:
  double resolve(const std::string& uri, CharacterVariable& type, CharacterVariable& id) {
    return value("METADATA_RESOLVE", {Argument::literal(uri), Argument::of(type), Argument::of(id)});
  }
  double nthObject(const std::string& uri, Argument index, CharacterVariable& out) {
    return value("METADATA_GETNOBJ", {Argument::literal(uri), index, Argument::of(out)});
  }
  double path(const char* repository, const char* folder, const char* type, CharacterVariable& t,
              CharacterVariable& id) {
    return value("METADATA_PATHOBJ", {Argument::literal(repository), Argument::literal(folder),
                                      Argument::literal(type), Argument::of(t), Argument::of(id)});
  }
  // Leaves a failure in SYSMSG/SYSRC: an unknown repository in a path look-up.
  void leaveAFailure() {
    CharacterVariable t(8), id(20);
    ASSERT_EQ(path("NoSuchRepository", "/Root", "", t, id), -3);
    ASSERT_EQ(sysrc(), sysrcOf(0x80172132u));
  }
};

TEST_F(ResolutionFunctions, ResolveCountsMatchesAndWritesTheFirstPadded) {
  CharacterVariable type(10), id(20);
  EXPECT_EQ(resolve(kSmiths, type, id), 3);
  EXPECT_EQ(type.value(), "Person    ");
  EXPECT_EQ(type.length(), 10);
  EXPECT_EQ(id.value(), "A5HOME01.PERS0001   ");
  EXPECT_EQ(sysmsg(), "");
  EXPECT_EQ(sysrc(), "0");

  // Narrow variables receive the value cut to their capacity.
  CharacterVariable shortType(3), shortId(8);
  EXPECT_EQ(resolve(kSmiths, shortType, shortId), 3);
  EXPECT_EQ(shortType.value(), "Per");
  EXPECT_EQ(shortId.value(), "A5HOME01");
}

TEST_F(ResolutionFunctions, ResolveOfNothingLeavesOutputsAndClearsStatus) {
  leaveAFailure();
  CharacterVariable type(10, "keep"), id(20, "keep too");
  EXPECT_EQ(resolve("vqsobj:Person?@Name='Nobody'", type, id), 0);
  EXPECT_EQ(type.value(), "keep");
  EXPECT_EQ(id.value(), "keep too");
  EXPECT_EQ(sysmsg(), "");
  EXPECT_EQ(sysrc(), "0");
}

TEST_F(ResolutionFunctions, SecondResolutionIsAnsweredFromTheCache) {
  CharacterVariable type(10), id(20);
  ASSERT_EQ(resolve(kSmiths, type, id), 3);
  ASSERT_EQ(calls("resolveUri"), 1u);
  EXPECT_EQ(resolve("VQSOBJ:PERSON?@NAME='Smith'    ", type, id), 3);
  CharacterVariable uri(40);
  EXPECT_EQ(nthObject(kSmiths, Argument::numeric(3), uri), 3);
  EXPECT_EQ(calls("resolveUri"), 1u);
  EXPECT_EQ(interfacesOpened_, 1);
}

TEST_F(ResolutionFunctions, GetnobjWritesTheNthShortUriOrRefusesTheIndex) {
  CharacterVariable uri(40, "unchanged");
  EXPECT_EQ(nthObject(kSmiths, Argument::numeric(2), uri), 3);
  EXPECT_EQ(std::string(uri.trimmed()), "VQSOBJ:Person\\A5HOME01.PERS0002");
  EXPECT_EQ(uri.length(), 40);
  EXPECT_EQ(nthObject(kSmiths, Argument::numeric(2.9), uri), 3);
  EXPECT_EQ(std::string(uri.trimmed()), "VQSOBJ:Person\\A5HOME01.PERS0002");

  CharacterVariable untouched(40, "unchanged");
  for (double n : {4.0, 0.5, 0.0, -1.0, 2147483647.0, -2147483647.0,
                   std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(nthObject(kSmiths, Argument::numeric(n), untouched), -4) << n;
    EXPECT_EQ(untouched.value(), "unchanged") << n;
  }
  EXPECT_EQ(nthObject("vqsobj:Person?@Name='Nobody'", Argument::numeric(1), untouched), -4);
  EXPECT_EQ(sysrc(), "0");

  // Cut to the variable's width.
  CharacterVariable narrow(8);
  EXPECT_EQ(nthObject(kSmiths, Argument::numeric(1), narrow), 3);
  EXPECT_EQ(narrow.value(), "VQSOBJ:P");
}

TEST_F(ResolutionFunctions, EachCallBindsTheInterfaceComponentOnceUnlessItsIndexIsInvalid) {
  host_->clearRecord();
  value("METADATA_VERSION");
  const auto& loads = host_->record().loadComponentCalls;
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].component, 131588);
  EXPECT_EQ(loads[0].name, "RUXQMDI ");
  EXPECT_EQ(loads[0].mode, 2);
  CharacterVariable out(40);
  nthObject(kSmiths, Argument::absent(), out);
  EXPECT_EQ(host_->record().loadComponentCalls.size(), 1u);
}

TEST_F(ResolutionFunctions, AnInvalidIndexLeavesThePreviousCallsStatus) {
  leaveAFailure();
  std::string message = sysmsg();
  ASSERT_NE(message, "");
  CharacterVariable out(40), name(16);
  EXPECT_EQ(nthObject(kSmiths, Argument::missing(), out), -4);
  EXPECT_EQ(value("METADATA_GETNTYP", {Argument::numeric(std::nan("")), Argument::of(name)}), -4);
  EXPECT_EQ(sysmsg(), message);
  EXPECT_EQ(sysrc(), sysrcOf(0x80172132u));
}

TEST_F(ResolutionFunctions, WalkingAllObjectsGivesEachInOrder) {
  CharacterVariable out(40);
  const char* expected[] = {"A5HOME01.PERS0001", "A5HOME01.PERS0002", "A5HOME01.PERS0003"};
  // Forwards, backwards and repeated: the cursor must never change an answer.
  for (int n : {1, 2, 3, 3, 2, 1, 3, 1}) {
    ASSERT_EQ(nthObject(kSmiths, Argument::numeric(n), out), 3);
    EXPECT_EQ(std::string(out.trimmed()), std::string("VQSOBJ:Person\\") + expected[n - 1]) << n;
  }
}

TEST_F(ResolutionFunctions, PathobjMapsItsStatusesAndWritesUnpadded) {
  CharacterVariable type(12), id(24);
  EXPECT_EQ(path("", "/Root/Sales/Customers", "", type, id), 1);
  EXPECT_EQ(type.value(), "Table");
  EXPECT_EQ(type.length(), 5);
  EXPECT_EQ(id.value(), "A5HOME01.TABL0001");
  EXPECT_EQ(sysrc(), "0");

  CharacterVariable keepType(12, "keep"), keepId(24, "keep");
  EXPECT_EQ(path("", "/Root/Sales/Nothing", "", keepType, keepId), 0);
  EXPECT_EQ(keepType.value(), "keep");

  EXPECT_EQ(path("", "no/leading/slash//", "", keepType, keepId), -2);
  EXPECT_EQ(sysrc(), sysrcOf(0x80172131u));
  EXPECT_EQ(path("NoSuchRepository", "/Root", "", keepType, keepId), -3);
  EXPECT_EQ(sysrc(), sysrcOf(0x80172132u));

  // Any other status is the value itself, exactly; SYSRC holds the same status.
  const StatusCode other = 0x801720E3u;
  ASSERT_NE(current_, nullptr);
  ASSERT_TRUE(current_->injectFault("findByPath", {other, mdserver::FaultMode::kOnce, false}));
  EXPECT_EQ(path("", "/Root", "", keepType, keepId), static_cast<double>(static_cast<int32_t>(other)));
  EXPECT_EQ(sysrc(), sysrcOf(other));
  EXPECT_EQ(sysmsg(), refhost::ReferenceHost::messageText(other).substr(0, 512));
  EXPECT_EQ(keepType.value(), "keep");
}

TEST_F(ResolutionFunctions, GetntypListsTheTypeNames) {
  CharacterVariable name(10);
  EXPECT_EQ(value("METADATA_GETNTYP", {Argument::numeric(1), Argument::of(name)}), 4);
  EXPECT_EQ(name.value(), "Person    ");
  EXPECT_EQ(name.length(), 10);
  EXPECT_EQ(value("METADATA_GETNTYP", {Argument::numeric(4), Argument::of(name)}), 4);
  EXPECT_EQ(std::string(name.trimmed()), "Column");
  EXPECT_EQ(value("METADATA_GETNTYP", {Argument::numeric(2), Argument::of(name)}), 4);
  EXPECT_EQ(std::string(name.trimmed()), "Tree");
  CharacterVariable untouched(10, "same");
  EXPECT_EQ(value("METADATA_GETNTYP", {Argument::numeric(5), Argument::of(untouched)}), -4);
  EXPECT_EQ(untouched.value(), "same");
  EXPECT_EQ(calls("getNamespace"), 1u) << "the namespace is kept with the connection";
}

TEST_F(ResolutionFunctions, VersionAndPauseStateArePassedThrough) {
  EXPECT_EQ(value("METADATA_VERSION"), 9.401234567891234);
  EXPECT_EQ(value("METADATA_PAUSED"), 1);
  ASSERT_TRUE(repository_->setPaused(0).ok());
  EXPECT_EQ(value("METADATA_PAUSED"), 0);
}

TEST_F(ResolutionFunctions, ServerErrorDuringResolutionStillYieldsObjects) {
  const StatusCode failure = 0x801720E3u;
  CharacterVariable type(10), id(20);
  value("METADATA_VERSION");  // opens the connection so the fault can be armed on it
  ASSERT_NE(current_, nullptr);
  ASSERT_TRUE(current_->injectFault("resolveUri", {failure, mdserver::FaultMode::kOnce, true}));
  EXPECT_EQ(resolve(kSmiths, type, id), 3);
  EXPECT_EQ(std::string(id.trimmed()), "A5HOME01.PERS0001");
  EXPECT_EQ(sysrc(), sysrcOf(failure));
  EXPECT_EQ(resolve(kSmiths, type, id), 3);
  EXPECT_EQ(calls("resolveUri"), 2u) << "a failed resolution is not cached";
  EXPECT_EQ(sysrc(), "0");
}

TEST_F(ResolutionFunctions, WithoutAnInterfaceEveryFunctionGivesMinusOne) {
  host_->setMetadataProvider([](HostSession*, void** out) {
    *out = nullptr;
    return StatusCode{0x801720E3u};
  });
  CharacterVariable a(10), b(20), c(40);
  EXPECT_EQ(resolve(kSmiths, a, b), -1);
  EXPECT_EQ(sysrc(), sysrcOf(0x801720E3u));
  EXPECT_EQ(nthObject(kSmiths, Argument::numeric(1), c), -1);
  EXPECT_EQ(path("", "/Root", "", a, b), -1);
  EXPECT_EQ(value("METADATA_GETNTYP", {Argument::numeric(1), Argument::of(a)}), -1);
  EXPECT_EQ(value("METADATA_VERSION"), -1);
  EXPECT_EQ(value("METADATA_PAUSED"), -1);

  // A host that has no interface and no status: -1 with SYSMSG empty and SYSRC 0.
  host_->setMetadataProvider([](HostSession*, void** out) {
    *out = nullptr;
    return kStatusOk;
  });
  EXPECT_EQ(value("METADATA_VERSION"), -1);
  EXPECT_EQ(sysrc(), "0");
  EXPECT_EQ(sysmsg(), "");
}

TEST_F(ResolutionFunctions, SessionEndLeavesNothingInTheInterfacePool) {
  CharacterVariable type(10), id(20), uri(40), name(10);
  resolve(kSmiths, type, id);
  resolve("vqsobj:Table?@Name='Customers'", type, id);
  nthObject(kSmiths, Argument::numeric(2), uri);
  value("METADATA_GETNTYP", {Argument::numeric(1), Argument::of(name)});
  path("", "/Root/Sales/Customers", "", type, id);
  host_->endSession(session_);
  ASSERT_EQ(blocksLeftAtRelease_.size(), 1u);
  EXPECT_EQ(blocksLeftAtRelease_[0], 0u);
}

}  // namespace
}  // namespace testing_support
