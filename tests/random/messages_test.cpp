// Name-value helpers and the message reporter: severity, threshold, count-down limits, the text
// form of limits, bad words, and tracing.
#include <gtest/gtest.h>

#include "fake_runtime.h"
#include "random/messages.h"

namespace {

using rng_test::FakeRuntime;
using rng_test::Recorded;

constexpr char16_t kMessages[] = u"OSENV.RUX_RNG_MESSAGES";
constexpr char16_t kSeverity[] = u"OSENV.RUX_RNG_SEVERITY";
constexpr char16_t kNoteLimit[] = u"OSENV.RUX_RNG_NOTE_LIMIT";
constexpr char16_t kErrorLimit[] = u"OSENV.RUX_RNG_ERROR_LIMIT";
constexpr StatusCode kCode = 0x8C7FE852u;

int shown(FakeRuntime& runtime, StatusCode code = kCode) {
  int n = 0;
  for (const Recorded& r : runtime.log)
    if (r.kind == Recorded::kCatalogue && r.code == code) ++n;
  return n;
}

TEST(MessageFilter, OnlyErrorsByDefaultAndLimitsUntouched) {
  FakeRuntime runtime;
  for (int level : {0, 1, 2, 3}) rng::reportMessage(level, kCode, u"X", 1ull);
  EXPECT_EQ(shown(runtime), 0);
  EXPECT_EQ(runtime.store.count(kNoteLimit), 0u);
  EXPECT_EQ(runtime.store.count(kErrorLimit), 0u);
  rng::reportMessage(4, kCode, u"X", 1ull);
  ASSERT_EQ(shown(runtime), 1);
  EXPECT_EQ(runtime.log.back().level, 4);
  EXPECT_EQ(std::get<int64_t>(runtime.store[kErrorLimit]), 100);
}

TEST(MessageFilter, ThresholdWordsAreTrimmedAndCaseFolded) {
  FakeRuntime runtime;
  runtime.store[kMessages] = std::u16string(u"notes   ");
  rng::reportMessage(2, kCode);
  rng::reportMessage(1, kCode);
  EXPECT_EQ(shown(runtime), 1);
  EXPECT_EQ(runtime.log.back().level, 2);
  runtime.store[kMessages] = std::u16string(u"all");
  rng::reportMessage(0, kCode);
  EXPECT_EQ(runtime.log.back().level, 2) << "the host receives level 2 for levels 0 to 2";
  runtime.store[kMessages] = std::u16string(u"none");
  rng::reportMessage(4, kCode);
  EXPECT_EQ(shown(runtime), 2);
  // Leading blanks are not trimmed: " NOTE" is not a word.
  runtime.store[kMessages] = std::u16string(u" NOTE");
  rng::reportMessage(2, kCode);
  EXPECT_EQ(shown(runtime), 2);
}

TEST(MessageFilter, UnknownWordIsReportedOnceAndCleared) {
  FakeRuntime runtime;
  runtime.store[kMessages] = std::u16string(u"LOUD");
  rng::reportMessage(2, kCode);
  rng::reportMessage(2, kCode);
  EXPECT_EQ(shown(runtime, rng::kMsgBadWord), 1);
  EXPECT_EQ(std::get<std::u16string>(runtime.store[kMessages]), u"");
  EXPECT_EQ(shown(runtime), 0) << "threshold falls back to 4";
}

TEST(MessageFilter, SeverityRaisesOnlyLevelsZeroAndOne) {
  FakeRuntime runtime;
  runtime.store[kSeverity] = std::u16string(u"ERROR");
  rng::reportMessage(1, kCode);
  rng::reportMessage(2, kCode);
  ASSERT_EQ(shown(runtime), 1);
  EXPECT_EQ(runtime.log.back().level, 4);
  EXPECT_EQ(std::get<int64_t>(runtime.store[kErrorLimit]), 100);
  EXPECT_EQ(runtime.store.count(kNoteLimit), 0u);
}

TEST(MessageFilter, CountDownLetsTheLimitThroughThenFallsSilent) {
  FakeRuntime runtime;
  runtime.store[kMessages] = std::u16string(u"NOTE");
  for (int i = 0; i < 120; ++i) rng::reportMessage(2, kCode);
  EXPECT_EQ(shown(runtime), 101) << "an undefined key lets 101 messages through";
  EXPECT_EQ(shown(runtime, rng::kMsgLimitReached), 1);
  EXPECT_EQ(std::get<int64_t>(runtime.store[kNoteLimit]), -1);
  // The limit note comes right before the last message shown.
  std::vector<StatusCode> codes = runtime.catalogueCodes();
  auto last = std::find(codes.rbegin(), codes.rend(), kCode);
  ASSERT_NE(last + 1, codes.rend());
  EXPECT_EQ(*(last + 1), rng::kMsgLimitReached);
  // Errors count separately.
  rng::reportMessage(4, kCode);
  EXPECT_EQ(shown(runtime), 102);
}

TEST(MessageFilter, UserLimitAsNumberOrText) {
  struct Case {
    std::u16string text;
    int expectedShown;
    bool rejected;
  } cases[] = {
      {u"3", 3, false}, {u"3.00", 3, false}, {u"  +3  ", 3, false},
      {u"3.5", 101, true}, {u"3x", 101, true}, {u"-4", 0, false}, {u".5", 101, true},
  };
  for (const Case& c : cases) {
    FakeRuntime runtime;
    runtime.store[kMessages] = std::u16string(u"NOTE");
    runtime.store[kNoteLimit] = c.text;
    for (int i = 0; i < 150; ++i) rng::reportMessage(2, kCode);
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(shown(runtime, rng::kMsgBadNumber) > 0, c.rejected);
    if (!c.rejected) EXPECT_EQ(shown(runtime), c.expectedShown);
    else EXPECT_GE(shown(runtime), 1);  // the rejected text counts as 100 and then as a number
  }
  FakeRuntime runtime;
  runtime.store[kMessages] = std::u16string(u"NOTE");
  runtime.store[kNoteLimit] = int64_t{2};
  for (int i = 0; i < 5; ++i) rng::reportMessage(2, kCode);
  EXPECT_EQ(shown(runtime), 2);
}

TEST(LimitText, Parser) {
  int64_t v = 0;
  auto parse = [&](const std::u16string& t) { return rng::parseLimitText(t.data(), t.size(), &v); };
  EXPECT_TRUE(parse(u"42"));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(parse(u" -7. "));
  EXPECT_EQ(v, -7);
  EXPECT_TRUE(parse(u"99999999999999999999"));
  EXPECT_EQ(v, 9007199254740992);
  EXPECT_FALSE(parse(u"-99999999999999999999"));
  EXPECT_FALSE(parse(u"+"));
  EXPECT_FALSE(parse(u"1 2"));
  EXPECT_FALSE(parse(u"1.01"));
}

TEST(NameValueHelpers, TextReadsRespectCapacity) {
  FakeRuntime runtime;
  runtime.store[u"K"] = std::u16string(u"ABCDEFGHIJ");
  char16_t buffer[5] = {u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(rng::tknrtget(u"K", 0, buffer, 5), 4);
  EXPECT_EQ(std::u16string(buffer), u"ABCD");
  EXPECT_EQ(rng::tknrtget(u"K", 0, buffer, 1), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(rng::tknrtget(u"K", 0, buffer, 0), 0);
  EXPECT_EQ(rng::tknrtget(u"MISSING", 0, buffer, 5), 0);
  // A value of another type is a failure that is reported.
  runtime.store[u"D"] = 2.5;
  EXPECT_EQ(rng::tknrtget(u"D", 0, buffer, 5), 0);
  ASSERT_GE(runtime.log.size(), 2u);
  EXPECT_EQ(runtime.log[0].text, "tkNameValueGet failed for D in tknrtget");
  EXPECT_EQ(runtime.log[1].code, kNameValueWrongType);
  EXPECT_EQ(rng::tknrdget(u"D", 0, 1.0), 2.5);
  EXPECT_EQ(rng::tknrdget(u"K", 1, 1.0), 1.0) << "a length limits the name";
}

TEST(NameValueHelpers, LsetFallsBackToTextForTextKeys) {
  FakeRuntime runtime;
  runtime.store[u"T"] = std::u16string(u"old");
  rng::tknrlset(u"T", 0, -12);
  EXPECT_EQ(std::get<std::u16string>(runtime.store[u"T"]), u"-12");
  EXPECT_EQ(rng::tknrlget(u"T", 0), -12);
  rng::tknrlset(u"N", 0, 7);
  EXPECT_EQ(std::get<int64_t>(runtime.store[u"N"]), 7);
  EXPECT_EQ(rng::tknrlget(u"ABSENT", 0), rng::kNoLimitValue);
}

TEST(NameValueHelpers, TracingWritesLevelOneLines) {
  FakeRuntime runtime;
  runtime.store[u"OSENV.RUX_TKNR_DEBUG"] = std::u16string(u"");
  runtime.store[u"V"] = 1.5;
  rng::tknrdget(u"V", 0, 0.0);
  ASSERT_EQ(runtime.log.size(), 1u);
  EXPECT_EQ(runtime.log[0].level, 1);
  EXPECT_EQ(runtime.log[0].text, "tknrdget(V)=                 1.5");
  runtime.log.clear();
  runtime.store[u"W"] = std::u16string(u"warn ");
  EXPECT_EQ(rng::tknrlook(u"W", 0, 9, rng::kThresholdWords), 3);
  std::vector<std::string> lines = runtime.formattedLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "tknrlook(W)=3 'WARN'");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "tknrlook(W) 'WARN' != 'ERROR' 4"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "tknrlook(W) 'WARN' == 'WARN' 3"), lines.end());
}

TEST(MessageFilter, NothingWithoutAMessageObject) {
  FakeRuntime runtime;
  runtime.withoutMessages();
  EXPECT_EQ(rng::reportMessage(4, kCode), 0u);
  EXPECT_TRUE(runtime.log.empty());
  EXPECT_EQ(runtime.store.count(kErrorLimit), 0u);
}

}  // namespace
