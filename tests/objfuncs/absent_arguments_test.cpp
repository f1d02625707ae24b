// Every built function of both packages, called with each of its arguments absent in turn (a
// null address in the call frame, as a host passes an argument it does not supply), at every
// argument count its descriptor allows. None may crash; an absent input reads as an empty text
// or a missing number, an absent output receives nothing, and the interface pool gets back
// every block. Functions that land later are covered by the same loop.
#include <algorithm>
#include <string>

#include "tests/objfuncs/repository_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

constexpr uint32_t kNumericKind = 1;
constexpr char kPerson[] = "vqsobj:Person\\A5HOME01.PERS0001";

class AbsentArguments : public RepositoryFixture {
 protected:
  void SetUp() override {
    RepositoryFixture::SetUp();
    host_->load(RUX_BUILD_DIR "/lib/secfuncs.so");
  }
  double callWith(const char* name, std::vector<Argument> args) {
    return value(name, std::move(args));
  }
};

uint32_t kindOf(const FunctionDescriptor& descriptor, int i) {
  return i < 10 ? (descriptor.argWord >> (3 * i)) & 7u : 2u;
}

TEST_F(AbsentArguments, NoFunctionFallsOverAnAbsentArgument) {
  int calls = 0;
  for (const auto& library : host_->libraries()) {
    for (const refhost::LoadedFunction& function : library->functions()) {
      if (function.form() != refhost::CallForm::kNumeric) continue;  // PASSID, APPPROP: own rules
      // Functions with open argument lists (hundreds of targets) are tried up to eight.
      const int most = std::min<int>(function.descriptor.maxArgs, 8);
      for (int count = function.descriptor.minArgs; count <= most; ++count) {
        for (int absent = 0; absent < count; ++absent) {
          std::vector<CharacterVariable> texts;
          texts.reserve(static_cast<size_t>(count));
          std::vector<Argument> args;
          for (int i = 0; i < count; ++i) {
            if (i == absent) {
              args.push_back(Argument::absent());
            } else if (kindOf(function.descriptor, i) == kNumericKind) {
              args.push_back(Argument::numeric(1));
            } else {
              texts.emplace_back(40, kPerson);
              args.push_back(Argument::of(texts.back()));
            }
          }
          SCOPED_TRACE(function.name + " with " + std::to_string(count) + " arguments, #" +
                       std::to_string(absent + 1) + " absent");
          callWith(function.name.c_str(), std::move(args));
          ++calls;
        }
      }
    }
  }
  EXPECT_GT(calls, 40);
  // Whatever the calls cached goes with the connection; nothing else may be left in the pool.
  value("METADATA_PURGE");
  for (uint64_t left : blocksLeftAtRelease_) EXPECT_EQ(left, 0u);
}

TEST_F(AbsentArguments, AbsentInputsAreEmptyTextsAndAbsentOutputsReceiveNothing) {
  CharacterVariable type(20), id(20), uri(60, std::string(60, ' '));
  CharacterVariable protocol(20, std::string(20, ' '));
  callWith("METADATA_GETURI", {Argument::absent(), Argument::of(protocol)});  // no crash
  // An absent object URI matches nothing; the malformed text is reported as usual.
  EXPECT_EQ(callWith("METADATA_RESOLVE", {Argument::absent(), Argument::of(type), Argument::of(id)}),
            0);
  EXPECT_EQ(callWith("METADATA_DELOBJ", {Argument::absent()}), -3);
  EXPECT_EQ(callWith("METADATA_PATHOBJ", {Argument::absent(), Argument::absent(), Argument::absent(),
                                          Argument::of(type), Argument::of(id)}),
            -2);
  // An absent output: the function does its work, the value says so, nothing is written.
  EXPECT_EQ(callWith("METADATA_RESOLVE",
                     {Argument::literal(kPerson), Argument::absent(), Argument::of(id)}),
            1);
  EXPECT_EQ(id.trimmed(), "A5HOME01.PERS0001");
  EXPECT_EQ(callWith("METADATA_NEWOBJ", {Argument::literal("Person"), Argument::absent()}), 0);
  EXPECT_EQ(callWith("METADATA_NEWOBJ", {Argument::absent(), Argument::of(uri)}), -2);
  // Optional arguments given as absent are the same as not given.
  EXPECT_EQ(callWith("METADATA_NEWOBJ", {Argument::literal("Person"), Argument::of(uri),
                                         Argument::absent(), Argument::absent(),
                                         Argument::absent(), Argument::absent()}),
            0);
  EXPECT_EQ(uri.trimmed().substr(0, 23), "VQSOBJ:Person\\A5HOME01.");
  // A purge with an absent URI is one with a blank URI: every resolution goes, the connection
  // stays.
  EXPECT_EQ(callWith("METADATA_PURGE", {Argument::absent()}), 0);
  EXPECT_EQ(sysrc(), "0");
  // A transaction text with nowhere to go is ended at once, as one too long for its variable.
  CharacterVariable transaction(40);
  EXPECT_EQ(callWith("METASEC_BEGTRAN",
                     {Argument::literal(""), Argument::numeric(0), Argument::absent()}),
            -2);
  EXPECT_EQ(sysrc(), sysrcOf(0x8017210Bu));
  EXPECT_EQ(callWith("METASEC_BEGTRAN",
                     {Argument::absent(), Argument::numeric(0), Argument::of(transaction)}),
            0);
  EXPECT_EQ(callWith("METASEC_BEGTRAN",
                     {Argument::literal(""), Argument::absent(), Argument::of(transaction)}),
            -4);
  EXPECT_EQ(callWith("METASEC_ENDTRAN", {Argument::literal(""), Argument::absent(),
                                         Argument::numeric(0)}),
            -5);
}

}  // namespace
}  // namespace testing_support
