// Loading packages through dlopen and calling their functions with built call frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "tests/host/quiet_config.h"

namespace {

using refhost::Argument;
using refhost::CharacterVariable;
using refhost::HostError;
using refhost::ReferenceHost;

using refhost::testing::quietConfig;

std::string loadError(ReferenceHost& host, const std::string& path) {
  try {
    host.load(path);
  } catch (const HostError& e) {
    return e.what();
  }
  return {};
}

TEST(HostLoader, RefusesALibraryWithAWrongMagicOrNoEntry) {
  ReferenceHost host(quietConfig());
  std::string error = loadError(host, BAD_MAGIC_PACKAGE);
  EXPECT_NE(error.find(BAD_MAGIC_PACKAGE), std::string::npos) << error;
  EXPECT_NE(error.find("0xDEADBEEF"), std::string::npos) << error;
  EXPECT_NE(error.find("0xB0BDEBED"), std::string::npos) << error;
  EXPECT_TRUE(host.libraries().empty());
  error = loadError(host, "/nonexistent/package.so");
  EXPECT_NE(error.find("/nonexistent/package.so"), std::string::npos);
}

TEST(HostLoader, RegistersDescriptorsAndReturnsTheAnswersToTheAllocator) {
  ReferenceHost host(quietConfig());
  const refhost::LoadedLibrary& library = host.load(FIXTURE_PACKAGE);
  EXPECT_EQ(&host.load(FIXTURE_PACKAGE), &library);  // loaded once
  EXPECT_EQ(library.moduleName(), "fixture");
  EXPECT_EQ(library.image()->magic, kImageMagic);
  EXPECT_NE(library.loadBase(), 0u);
  ASSERT_EQ(library.functions().size(), 9u);
  EXPECT_EQ(library.functions()[0].name, "ECHO");
  EXPECT_EQ(library.functions()[4].descriptor.maxArgs, kNoUpperLimit);
  EXPECT_EQ(host.findFunction("shout"), &library.functions()[6]);
  EXPECT_EQ(host.findFunction("shout")->form(), refhost::CallForm::kCharacter);
  EXPECT_EQ(host.findFunction("nosuch"), nullptr);
  auto stats = host.allocatorStats(host.registrationAllocator());
  EXPECT_EQ(stats.requests, 2u);
  EXPECT_EQ(stats.blocksOutstanding, 0u);
  EXPECT_EQ(stats.badReleases, 0u);
}

TEST(HostLoader, AFailedRegistrationAllocationRefusesTheLoad) {
  for (uint64_t k = 1; k <= 2; ++k) {
    ReferenceHost host(quietConfig());
    host.failAllocationAt(host.registrationAllocator(), k);
    std::string error = loadError(host, FIXTURE_PACKAGE);
    EXPECT_NE(error.find("request " + std::to_string(k)), std::string::npos) << error;
    EXPECT_NE(error.find("1016"), std::string::npos) << error;
    EXPECT_EQ(host.allocatorStats(host.registrationAllocator()).blocksOutstanding, 0u);
  }
}

class CallTest : public ::testing::Test {
 protected:
  void SetUp() override { host.load(FIXTURE_PACKAGE); }
  refhost::CallResult call(std::string_view name, std::vector<Argument> args,
                           HostSession* session = nullptr) {
    return host.call(session, name, args);
  }
  ReferenceHost host{quietConfig()};
};

TEST_F(CallTest, CharacterVariablesReceiveTheirNewLengthAndText) {
  CharacterVariable out(8, "previous");
  auto r = call("echo", {Argument::literal("abc"), Argument::of(out)});
  EXPECT_EQ(r.numericValue, 3);
  EXPECT_EQ(out.length(), 3);
  EXPECT_EQ(out.value(), "abc");
  CharacterVariable in(12, "longer text!");
  r = call("ECHO", {Argument::of(in), Argument::of(out)});
  EXPECT_EQ(out.value(), "longer t");  // cut at the capacity by the package
}

TEST_F(CallTest, FrameFlagsAndAddressesPerArgumentKind) {
  CharacterVariable v(4);
  // Digits from argument 1: 1 variable, 2 constant, 0 absent.
  auto r = call("PROBE", {Argument::of(v), Argument::literal("x"), Argument::absent(), Argument::of(v)});
  EXPECT_EQ(r.numericValue, 1021);
  r = call("PROBE", {});
  EXPECT_EQ(r.numericValue, 0);
}

TEST_F(CallTest, ArgumentCountsAndKindsAreChecked) {
  try {
    call("ECHO", {Argument::literal("a")});
    FAIL() << "a call with too few arguments ran";
  } catch (const HostError& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("ECHO"), std::string::npos) << message;
    EXPECT_NE(message.find("1 argument"), std::string::npos) << message;
    EXPECT_NE(message.find("exactly 2"), std::string::npos) << message;
  }
  std::vector<Argument> many(5, Argument::numeric(1));
  EXPECT_THROW(host.call(nullptr, "PROBE", many), HostError);
  std::vector<Argument> texts(25, Argument::literal("t"));
  EXPECT_EQ(host.call(nullptr, "COUNT", texts).numericValue, 25);  // no upper limit
  EXPECT_THROW(call("ADD", {Argument::literal("1"), Argument::numeric(2)}), HostError);
  EXPECT_THROW(call("ECHO", {Argument::numeric(1), Argument::literal("x")}), HostError);
}

TEST_F(CallTest, NumbersAndTheMissingValue) {
  EXPECT_EQ(call("ADD", {Argument::numeric(1.25), Argument::numeric(2)}).numericValue, 3.25);
  EXPECT_EQ(call("ISMISSING", {Argument::missing()}).numericValue, 1);
  EXPECT_EQ(call("ISMISSING", {Argument::numeric(INFINITY)}).numericValue, 1);
  EXPECT_EQ(call("ISMISSING", {Argument::numeric(-1e308)}).numericValue, 0);
  uint64_t bits;
  double missing = refhost::missingValue();
  std::memcpy(&bits, &missing, 8);
  EXPECT_EQ(bits >> 48, 0xFFFFu);  // the random engine's missing-value test as well
  EXPECT_TRUE(refhost::isMissingValue(missing));
  EXPECT_FALSE(refhost::isMissingValue(0.0));
}

TEST_F(CallTest, ResultFormsAndHostErrors) {
  auto r = call("SHOUT", {Argument::literal("hey")});
  EXPECT_EQ(r.form, refhost::CallForm::kCharacter);
  EXPECT_EQ(r.characterValue, "R:hey");
  r = call("PLAIN", {Argument::literal("x")});
  EXPECT_EQ(r.form, refhost::CallForm::kNone);
  EXPECT_EQ(r.returnCode, 42);
  r = call("RAISE", {});
  EXPECT_EQ(r.hostError, kHostErrorOutOfMemory);
  EXPECT_EQ(r.numericValue, 5);  // the package went on: the host cannot unwind it
  EXPECT_EQ(host.record().raisedErrors.back(), kHostErrorOutOfMemory);
  EXPECT_EQ(call("ADD", {Argument::numeric(1), Argument::numeric(1)}).hostError, 0);
}

TEST_F(CallTest, TheCurrentTaskRunsInTheCallingSession) {
  HostSession* s = host.newSession(nullptr, "STEP");
  EXPECT_EQ(call("SESSIONSLOT", {}, s).numericValue, 1);
  EXPECT_EQ(s->extensionSlots[37], s);
  EXPECT_EQ(host.topSession()->extensionSlots[37], nullptr);
  EXPECT_EQ(host.task()->session, host.topSession());
  host.endSession(s);
  EXPECT_THROW(call("SESSIONSLOT", {}, s), HostError);
}

}  // namespace
