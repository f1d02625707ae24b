// Mersenne Twister known answers (data/mt_known_answers.txt) and the properties the family adds
// to the published generators: zero skipping, the hybrid seeding choice, keys and counters.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "fake_runtime.h"
#include "method_harness.h"
#include "random/mersenne_twister.h"
#include "random/murmur_hash.h"

namespace {

using rng::Method;
using rng_test::FakeRuntime;
using rng_test::MethodHarness;

uint64_t drawAt(MethodHarness& h, const std::string& op, uint64_t index) {
  uint64_t value = 0;
  for (uint64_t i = 0; i < index; ++i)
    value = op == "next32" ? h.ops().next32(h.state) : h.ops().next64(h.state);
  return value;
}

TEST(MersenneKnownAnswers, DataFileVectors) {
  FakeRuntime runtime;
  std::ifstream file(std::string(RUX_SOURCE_DIR) + "/tests/random/data/mt_known_answers.txt");
  ASSERT_TRUE(file.is_open());
  std::string line;
  int vectors = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string method, op, expected;
    uint64_t seed = 0, index = 0;
    fields >> method >> seed >> op >> index >> expected;
    SCOPED_TRACE(line);
    MethodHarness h(MethodHarness::byName(method));
    h.ops().seed64(h.state, seed);
    if (h.descriptor.wordBits == 32) h.ops().seed32(h.state, static_cast<uint32_t>(seed));
    if (expected[0] == '=') {
      // Same output as another method seeded alike, over the first 1000 draws.
      MethodHarness other(MethodHarness::byName(expected.substr(1)));
      other.ops().seed32(other.state, static_cast<uint32_t>(seed));
      for (int i = 0; i < 1000; ++i) ASSERT_EQ(h.ops().next32(h.state), other.ops().next32(other.state));
    } else {
      EXPECT_EQ(drawAt(h, op, index), std::stoull(expected));
    }
    ++vectors;
  }
  EXPECT_GE(vectors, 17);
}

// The 2002 generator agrees with the standard library's for a long run (zeros aside).
TEST(MersenneKnownAnswers, Mt32AndMt64FollowTheStandardEngines) {
  FakeRuntime runtime;
  MethodHarness mt32(Method::MT32), mt64(Method::MT64);
  mt32.ops().seed32(mt32.state, 123456789u);
  mt64.ops().seed64(mt64.state, 0x123456789ABCDEFull);
  std::mt19937 reference32(123456789u);
  std::mt19937_64 reference64(0x123456789ABCDEFull);
  for (int i = 0; i < 20000; ++i) {
    uint32_t expected = reference32();
    if (expected == 0) continue;
    ASSERT_EQ(mt32.ops().next32(mt32.state), expected) << i;
    ASSERT_EQ(mt64.ops().next64(mt64.state), reference64()) << i;
  }
}

TEST(MersenneKnownAnswers, Mt1998SeedingIsTheLinearCongruence) {
  FakeRuntime runtime;
  MethodHarness h(Method::MT1998);
  h.ops().seed32(h.state, 5489);
  auto* s = reinterpret_cast<rng::Mt32State*>(h.state);
  uint32_t expected = 5489;
  for (int k = 0; k < rng::kMt32Words; ++k, expected *= 69069u) ASSERT_EQ(s->words[k], expected);
  EXPECT_EQ(s->index, 624u);
}

TEST(MersenneFamily, ThirtyTwoBitDrawsSkipTemperedZeros) {
  // A state whose first tempered word is zero: word 0 regenerates from words 0, 1 and 397.
  FakeRuntime runtime;
  MethodHarness h(Method::MT32);
  h.ops().seed32(h.state, 1);
  auto* s = reinterpret_cast<rng::Mt32State*>(h.state);
  s->index = 0;
  s->words[0] = 0;  // tempering maps 0 to 0
  uint32_t second = s->words[1];
  uint32_t y = second;
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  EXPECT_EQ(h.ops().next32(h.state), y);
  EXPECT_EQ(s->index, 2u);
}

TEST(MersenneFamily, AllZeroSeedingsAreGuarded) {
  FakeRuntime runtime;
  MethodHarness h(Method::MT1998);
  // 0x100000001 folds to 0, the one seed whose 1998 seeding is all zeros.
  h.ops().seed64(h.state, 0x100000001ull);
  uint32_t first = h.ops().next32(h.state);
  EXPECT_NE(first, 0u);
  uint8_t zeros[16] = {};
  EXPECT_EQ(h.ops().seedBytes(h.state, zeros, sizeof zeros, 2), 3u);
  EXPECT_NE(h.ops().next32(h.state), 0u);
}

TEST(MersenneFamily, KeysAndCountersRewriteTheStateUnlessZero) {
  FakeRuntime runtime;
  for (Method method : {Method::MT32, Method::MT64}) {
    MethodHarness a(method), b(method), c(method);
    for (MethodHarness* h : {&a, &b, &c}) h->ops().seed32(h->state, 99);
    EXPECT_EQ(a.ops().key32(a.state, 0), 0u);
    EXPECT_EQ(a.ops().counter64(a.state, 0), 0u);
    EXPECT_EQ(std::memcmp(a.state, c.state, 2500), 0);
    b.ops().key32(b.state, 1);
    c.ops().counter32(c.state, 1);
    EXPECT_NE(std::memcmp(b.state, c.state, 2500), 0) << "key and counter use different tags";
    EXPECT_NE(a.ops().next64(a.state), b.ops().next64(b.state));
  }
  // Double keys: truncated remainders, negative ones wrapping like integers.
  MethodHarness x(Method::MT32), y(Method::MT32), z(Method::MT32);
  for (MethodHarness* h : {&x, &y, &z}) h->ops().seed32(h->state, 99);
  EXPECT_EQ(x.ops().keyDouble(x.state, -0.5), 0u);
  EXPECT_EQ(std::memcmp(x.state, z.state, 2500), 0);
  x.ops().keyDouble(x.state, -1.0);
  y.ops().key32(y.state, 0xFFFFFFFFu);
  EXPECT_EQ(std::memcmp(x.state, y.state, 2500), 0);
  z.ops().keyDouble(z.state, 4294967296.0 + 7.9);
  x.ops().seed32(x.state, 99);
  x.ops().key64(x.state, 0x500000007ull);  // the low 32 bits only
  EXPECT_EQ(std::memcmp(x.state, z.state, 2500), 0);
}

TEST(MersenneFamily, KeyUsesMurmurHashOfIndexTagAndValue) {
  FakeRuntime runtime;
  MethodHarness h(Method::MT32);
  h.ops().seed32(h.state, 5489);
  auto* s = reinterpret_cast<rng::Mt32State*>(h.state);
  uint32_t before = s->words[7];
  h.ops().key32(h.state, 0xDEADBEEF);
  // MurmurHash3_x86_32 reference: key "" seed 0 -> 0; seed 1 -> 0x514E28B7 (SMHasher vectors).
  EXPECT_EQ(rng::murmur3X86_32("", 0, 0), 0u);
  EXPECT_EQ(rng::murmur3X86_32("", 0, 1), 0x514E28B7u);
  EXPECT_EQ(rng::murmur3X86_32("", 0, 0xFFFFFFFFu), 0x81F16F39u);
  const uint32_t block[3] = {7, 15, 0xDEADBEEF};
  EXPECT_EQ(s->words[7], rng::murmur3X86_32(block, 12, before));
}

TEST(MersenneFamily, PreferredUniformStaysInsideTheOpenInterval) {
  FakeRuntime runtime;
  MethodHarness h(Method::MTHYBRID);
  h.ops().seed32(h.state, 77);
  for (int i = 0; i < 5000; ++i) {
    double u = h.ops().preferredUniform(h.state);
    ASSERT_GT(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
  // 0xFFFFFFFF times the largest double below 2^-32 stays below 1.
  EXPECT_LT(4294967295.0 * 0x1.fffffffffffffp-33, 1.0);
}

}  // namespace
