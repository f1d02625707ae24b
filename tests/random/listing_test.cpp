// State listings: line shapes, grouping by four, the omission line.
#include <gtest/gtest.h>

#include "fake_runtime.h"
#include "method_harness.h"
#include "random/state_listing.h"

namespace {

using rng::Method;
using rng_test::FakeRuntime;
using rng_test::MethodHarness;
using rng_test::Recorded;

TEST(StateListing, Mt1998FullListingAndShortListing) {
  FakeRuntime runtime;
  MethodHarness h(Method::MT1998);
  h.ops().seed32(h.state, 1);
  runtime.log.clear();
  h.ops().list32(h.state, 625);
  std::vector<std::string> lines = runtime.formattedLines();
  ASSERT_EQ(lines.size(), 157u);
  EXPECT_EQ(lines[0], "     0:        1    1:    10dcd    2: 1c587629    3: a6ffb3d5");
  EXPECT_EQ(lines.back(), "   624:      270");
  for (const Recorded& r : runtime.log) EXPECT_EQ(r.level, 0);

  runtime.log.clear();
  h.ops().list32(h.state, 10);
  lines = runtime.formattedLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(0, 16), "     4: 6ab9d291");
  EXPECT_EQ(lines[2], "     8: 16c43621    9: 6800056d");
  EXPECT_EQ(lines[3], "        Further elements omitted.");
}

TEST(StateListing, SixtyFourBitShapes) {
  FakeRuntime runtime;
  const uint64_t words[4] = {0x0123456789ABCDEFull, 2, 3, 0xFFFFFFFFull};
  rng::listWords64(words, 3, 28);  // 28 bytes: three 64-bit words
  rng::listWords64(words, 2, 28);
  std::vector<std::string> lines = runtime.formattedLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "     0:  123456789abcdef    1:                2    2:                3");
  EXPECT_EQ(lines[1], "     0:  123456789abcdef    1:                2");
  EXPECT_EQ(lines[2], "        Further elements omitted.");
}

TEST(StateListing, CountZeroAndNoMessageObject) {
  FakeRuntime runtime;
  const uint32_t words[2] = {1, 2};
  rng::listWords32(words, 0, 8);
  ASSERT_EQ(runtime.formattedLines().size(), 1u);
  EXPECT_EQ(runtime.formattedLines()[0], "        Further elements omitted.");
  runtime.log.clear();
  rng::listWords32(words, 100, 0);  // a state of no bytes lists nothing
  EXPECT_TRUE(runtime.log.empty());
  runtime.withoutMessages();
  rng::listWords32(words, 2, 8);
  EXPECT_TRUE(runtime.log.empty());
}

TEST(StateListing, Mt64ListsIndexWordToo) {
  FakeRuntime runtime;
  MethodHarness h(Method::MT64);
  h.ops().seed64(h.state, 5489);
  runtime.log.clear();
  h.ops().list64(h.state, 1000);
  std::vector<std::string> lines = runtime.formattedLines();
  ASSERT_EQ(lines.size(), 79u);  // 313 words: 78 rows of four and one of one
  EXPECT_EQ(lines.back(), "   312:              138");
}

}  // namespace
