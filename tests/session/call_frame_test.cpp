// The argument and output steps every function shares (trimming, blank fill and cut, the index
// rule, name comparison in both host modes), observed through objfuncs.so calls: what the fake
// interface receives, what lands in the caller's variables, and what SYSMSG/SYSRC keep.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/session/session_fixture.h"

namespace testing_support {
namespace {

using refhost::Argument;
using refhost::CharacterVariable;

// A URI whose object text holds a two-byte character: lower-case e-acute and its capital differ
// in the second byte only, so the host's byte table keeps them apart while its multi-byte
// comparison folds them.
const std::string kLowerAccent = "vqsobj:Person\\Ren\xC3\xA9";
const std::string kUpperAccent = "VQSOBJ:PERSON\\REN\xC3\x89";

class CallFrameSteps : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    server_.uris["vqsobj:Table\\T1"] = {{"Tab", "A5ZZZZZZ.TTTTTTTT0001"},
                                        {"Column", "A5ZZZZZZ.CCCCCCCC0002"}};
    server_.uris[kLowerAccent] = {{"Person", "P1"}};
    server_.typeNames = {"Person", "Table"};
  }
  // Leaves a failure in SYSMSG/SYSRC that later checks can tell from a reset.
  void leaveAFailure() {
    server_.pathStatus = 0x80172132u;
    CharacterVariable t(8), id(8);
    ASSERT_EQ(value(session_, "METADATA_PATHOBJ",
                    {Argument::literal("R"), Argument::literal("/p"), Argument::literal(""),
                     Argument::of(t), Argument::of(id)}),
              -3);
    server_.pathStatus = kStatusOk;
    ASSERT_NE(sysmsg(session_), "");
  }
  double nthObject(Argument index, CharacterVariable& out) {
    return value(session_, "METADATA_GETNOBJ",
                 {Argument::literal("vqsobj:Table\\T1"), index, Argument::of(out)});
  }
  double nthType(Argument index, CharacterVariable& out) {
    return value(session_, "METADATA_GETNTYP", {index, Argument::of(out)});
  }
  static std::string wholeSlot(CharacterVariable& v) {
    return std::string(v.slot()->text, static_cast<size_t>(v.capacity()));
  }
};

TEST_F(CallFrameSteps, TextArgumentsLoseOnlyTrailingBlanks) {
  resolve(session_, "ABC     ");
  resolve(session_, "     ");
  resolve(session_, "  AB\t ");
  EXPECT_EQ(server_.resolvedTexts, (std::vector<std::string>{"ABC", "", "  AB\t"}));

  CharacterVariable t(8), id(8);
  value(session_, "METADATA_PATHOBJ",
        {Argument::literal("Repo   "), Argument::literal(" /a/b  "), Argument::literal("   "),
         Argument::of(t), Argument::of(id)});
  EXPECT_EQ(server_.pathTexts, (std::vector<std::string>{"Repo", " /a/b", ""}));
}

TEST_F(CallFrameSteps, OutputsAreBlankFilledOverTheirCapacityAndCutAtIt) {
  // Padded outputs: short values blank-filled to the width, long ones cut, length = capacity.
  CharacterVariable type(8, "XXXXXXXX"), id(8, "XXXXXXXX");
  ASSERT_EQ(value(session_, "METADATA_RESOLVE",
                  {Argument::literal("vqsobj:Table\\T1"), Argument::of(type), Argument::of(id)}),
            2);
  EXPECT_EQ(wholeSlot(type), "Tab     ");
  EXPECT_EQ(type.length(), 8);
  EXPECT_EQ(wholeSlot(id), "A5ZZZZZZ");
  EXPECT_EQ(id.length(), 8);

  // Formatted output: old content beyond the new text is blanked as well.
  CharacterVariable uri(40, std::string(40, 'X'));
  ASSERT_EQ(nthObject(Argument::numeric(2), uri), 2);
  EXPECT_EQ(wholeSlot(uri), "VQSOBJ:Column\\A5ZZZZZZ.CCCCCCCC0002     ");
  EXPECT_EQ(uri.length(), 40);

  // Unpadded outputs: the whole capacity is blanked, the length is what was copied.
  server_.pathObjects = {{"Tab", "A5ZZZZZZ.TTTTTTTT0001"}};
  CharacterVariable pathType(10, "XXXXXXXXXX"), pathId(8, "XXXXXXXX");
  ASSERT_EQ(value(session_, "METADATA_PATHOBJ",
                  {Argument::literal(""), Argument::literal("/t"), Argument::literal(""),
                   Argument::of(pathType), Argument::of(pathId)}),
            1);
  EXPECT_EQ(wholeSlot(pathType), "Tab       ");
  EXPECT_EQ(pathType.length(), 3);
  EXPECT_EQ(wholeSlot(pathId), "A5ZZZZZZ");
  EXPECT_EQ(pathId.length(), 8);
  EXPECT_EQ(server_.badFrees, 0);
}

TEST_F(CallFrameSteps, InvalidIndexesEndTheCallBeforeTheStatusIsTouched) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Argument> invalid = {
      Argument::numeric(nan),          Argument::numeric(inf),
      Argument::numeric(-inf),         Argument::numeric(2147483647.0),
      Argument::numeric(-2147483647.0), Argument::numeric(1e300),
      Argument::missing(),             Argument::absent()};
  leaveAFailure();
  const std::string message = sysmsg(session_), code = sysrc(session_);
  for (const Argument& index : invalid) {
    host_->clearRecord();
    CharacterVariable out(20, "same"), name(20, "same");
    EXPECT_EQ(nthObject(index, out), -4) << index.number;
    EXPECT_EQ(nthType(index, name), -4) << index.number;
    EXPECT_EQ(out.value(), "same");
    EXPECT_EQ(name.value(), "same");
    EXPECT_EQ(sysmsg(session_), message) << index.number;
    EXPECT_EQ(sysrc(session_), code) << index.number;
    EXPECT_TRUE(host_->record().loadComponentCalls.empty()) << "the frame went past the check";
  }
}

TEST_F(CallFrameSteps, LargestValidIndexesAreAcceptedAndTruncated) {
  // Accepted: the frame runs (status reset, component bound) and the index selects nothing.
  for (double n : {2147483646.9, -2147483646.9, 0.5, -0.5}) {
    leaveAFailure();
    host_->clearRecord();
    CharacterVariable out(20, "same");
    EXPECT_EQ(nthObject(Argument::numeric(n), out), -4) << n;
    EXPECT_EQ(out.value(), "same");
    EXPECT_EQ(sysmsg(session_), "") << n;
    EXPECT_EQ(sysrc(session_), "0") << n;
    EXPECT_EQ(host_->record().loadComponentCalls.size(), 1u) << n;
  }
  // Truncation toward zero: 2.9 is the second element, 1.999 the first.
  CharacterVariable out(40);
  EXPECT_EQ(nthObject(Argument::numeric(2.9), out), 2);
  EXPECT_EQ(std::string(out.trimmed()), "VQSOBJ:Column\\A5ZZZZZZ.CCCCCCCC0002");
  EXPECT_EQ(nthObject(Argument::numeric(1.999), out), 2);
  EXPECT_EQ(std::string(out.trimmed()), "VQSOBJ:Tab\\A5ZZZZZZ.TTTTTTTT0001");
  CharacterVariable name(10);
  EXPECT_EQ(nthType(Argument::numeric(2.9), name), 2);
  EXPECT_EQ(name.value(), "Table     ");
}

// The cache compares URI texts with the host's byte table in single-byte mode and with the
// host's own comparison in multi-byte mode; the accented pair tells the two apart. Run with a
// short list (walked) and a long one (hash index).
class CacheComparison : public CallFrameSteps, public ::testing::WithParamInterface<int> {
 protected:
  void fillCache(int others) {
    for (int i = 0; i < others; ++i) {
      std::string uri = "vqsobj:Column\\C" + std::to_string(i);
      server_.uris[uri] = {{"Column", "C" + std::to_string(i)}};
      ASSERT_EQ(resolve(session_, uri), 1);
    }
  }
};

TEST_P(CacheComparison, SingleByteModeFoldsOnlyWhatTheByteTableFolds) {
  fillCache(GetParam());
  ASSERT_EQ(resolve(session_, kLowerAccent), 1);
  int asked = server_.resolveCalls;
  EXPECT_EQ(resolve(session_, "VQSOBJ:PERSON\\REN\xC3\xA9"), 1);  // ASCII case folds
  EXPECT_EQ(server_.resolveCalls, asked);
  EXPECT_EQ(resolve(session_, kUpperAccent), 0) << "the byte table does not fold e-acute";
  EXPECT_EQ(server_.resolveCalls, asked + 1);
}

TEST_P(CacheComparison, MultiByteModeAsksTheHost) {
  host_->setMultiByte(true);
  fillCache(GetParam());
  ASSERT_EQ(resolve(session_, kLowerAccent), 1);
  int asked = server_.resolveCalls;
  EXPECT_EQ(resolve(session_, kUpperAccent), 1);
  EXPECT_EQ(server_.resolveCalls, asked) << "the host folds e-acute; the cache must agree";
  EXPECT_EQ(resolve(session_, "vqsobj:Person\\Reno\xC3\xA9"), 0);
  EXPECT_EQ(server_.resolveCalls, asked + 1);

  // Switching back: the same entries, compared by the byte table again.
  host_->setMultiByte(false);
  EXPECT_EQ(resolve(session_, kUpperAccent), 0);
  EXPECT_EQ(server_.resolveCalls, asked + 2);
  EXPECT_EQ(resolve(session_, kLowerAccent), 1);
  EXPECT_EQ(server_.resolveCalls, asked + 2);
}

INSTANTIATE_TEST_SUITE_P(ListLengths, CacheComparison, ::testing::Values(0, 3, 40));

}  // namespace
}  // namespace testing_support
