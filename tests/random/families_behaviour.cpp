// Behaviour of the family generators that known answers alone do not pin down: counters and
// their carry, positioning, stream keys, the double forms of keys and seeds, and the seeds that
// would leave a generator stuck.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "random/families/small_generators.h"
#include "random/families/threefry.h"
#include "random/method_list.h"

namespace {

using rng::Method;
using rng::MethodDescriptor;

struct alignas(16) StateArea {
  uint8_t bytes[2512] = {};
};

// A method installed into its own descriptor with a zeroed state, as a stream holds it.
struct Installed {
  explicit Installed(Method method) { rng::methodEntry(method).install(&descriptor); }
  MethodDescriptor descriptor{};
  StateArea state;
  rng::MethodOperations& ops() { return descriptor.ops; }
  void* s() { return state.bytes; }
  template <typename State>
  State& as() {
    return *reinterpret_cast<State*>(state.bytes);
  }
};

// --- Threefry -----------------------------------------------------------------------------------

TEST(FamiliesThreefry, CounterCarriesIntoUpperWords) {
  rng::Fry2x32State two{};
  two.counter = {0xFFFFFFFFu, 7};
  two.draw();
  EXPECT_EQ(two.index, 1u);
  EXPECT_EQ(two.counter[0], 0xFFFFFFFFu) << "the counter moves only once the block is used";
  two.draw();
  EXPECT_EQ(two.index, 0u);
  EXPECT_EQ(two.counter[0], 0u);
  EXPECT_EQ(two.counter[1], 8u);

  rng::Fry4x64State four{};
  four.counter = {~0ull, ~0ull, 5, 0};
  for (int i = 0; i < 4; ++i) four.draw();
  EXPECT_EQ(four.counter, (std::array<uint64_t, 4>{0, 0, 6, 0}));
}

TEST(FamiliesThreefry, ZeroStreamAndSubstreamLeaveStateAlone) {
  for (Method m : {Method::FRY2X32, Method::FRY2X64, Method::FRY4X64}) {
    Installed g(m);
    g.ops().seed64(g.s(), 99);
    StateArea before = g.state;
    g.ops().counter64(g.s(), 0);
    g.ops().key64(g.s(), 0);
    g.ops().counter32(g.s(), 0);
    g.ops().key32(g.s(), 0);
    g.ops().keyDouble(g.s(), 0.0);
    EXPECT_EQ(std::memcmp(before.bytes, g.state.bytes, sizeof before.bytes), 0) << g.descriptor.name;
  }
}

TEST(FamiliesThreefry, StreamAndSubstreamChangeKeyAndCounter) {
  Installed g(Method::FRY2X32);
  g.ops().seed32(g.s(), 1);
  g.ops().counter32(g.s(), 3);
  g.ops().key32(g.s(), 5);
  auto& s = g.as<rng::Fry2x32State>();
  EXPECT_EQ(s.counter[0], 1u);
  EXPECT_EQ(s.counter[1], rng::fmix32(3));
  EXPECT_EQ(s.key[1], rng::fmix32(2) ^ rng::fmix32(5));
  // Independent evaluation: threefry2x32-20 of counter (1, fmix32(3)) under that key.
  EXPECT_EQ(g.ops().next32(g.s()), 0x8301E5E4u);
  EXPECT_EQ(g.ops().next32(g.s()), 0x05021F18u);

  Installed four(Method::FRY4X64);
  four.ops().seed64(four.s(), 2);
  four.ops().counter64(four.s(), 3);
  auto& f = four.as<rng::Fry4x64State>();
  EXPECT_EQ(f.key[2], rng::fmix64(4) ^ rng::fmix64(3)) << "the substream mixes into key word 2";
  EXPECT_EQ(f.counter, (std::array<uint64_t, 4>{1, 0, 0, 0}));
}

// Advancing to position p must continue exactly where p draws from a fresh seeding would.
TEST(FamiliesThreefry, AdvanceMatchesSequentialDraws) {
  struct Case {
    Method method;
    bool wide;
  };
  for (Case c : {Case{Method::FRY2X32, false}, Case{Method::FRY2X64, true},
                 Case{Method::FRY4X64, true}}) {
    Installed reference(c.method);
    reference.ops().seed64(reference.s(), 12345);
    reference.ops().counter64(reference.s(), 77);  // a substream the advance must keep
    std::vector<uint64_t> sequence;
    for (int i = 0; i < 11; ++i)
      sequence.push_back(c.wide ? reference.ops().next64(reference.s())
                                : reference.ops().next32(reference.s()));
    for (uint32_t position = 0; position < 9; ++position) {
      Installed g(c.method);
      g.ops().seed64(g.s(), 12345);
      g.ops().counter64(g.s(), 77);
      g.ops().next64(g.s());  // move away first: the advance is absolute
      if (c.wide) {
        ASSERT_EQ(g.ops().advance32, nullptr);
        g.ops().advance64(g.s(), position);
        EXPECT_EQ(g.ops().next64(g.s()), sequence[position]) << g.descriptor.name << " @" << position;
        EXPECT_EQ(g.ops().next64(g.s()), sequence[position + 1]);
      } else {
        ASSERT_EQ(g.ops().advance64, nullptr);
        g.ops().advance32(g.s(), position);
        EXPECT_EQ(g.ops().next32(g.s()), sequence[position]) << g.descriptor.name << " @" << position;
        EXPECT_EQ(g.ops().next32(g.s()), sequence[position + 1]);
      }
    }
  }
}

TEST(FamiliesThreefry, Seed64FoldsForTheThirtyTwoBitMethod) {
  Installed a(Method::FRY2X32), b(Method::FRY2X32);
  a.ops().seed64(a.s(), 0x0000000500000003ull);
  b.ops().seed32(b.s(), 5u ^ 3u);
  EXPECT_EQ(std::memcmp(a.state.bytes, b.state.bytes, 28), 0);
}

// --- PCG ----------------------------------------------------------------------------------------

TEST(FamiliesPcg, StreamsSetIncrementAndMoveState) {
  Installed g(Method::PCG64I);
  g.ops().seed64(g.s(), 1);
  // The stream key of stream number 1, substream 0.
  g.ops().key64(g.s(), 1ull << 43);
  auto& s = g.as<rng::Pcg64State>();
  EXPECT_EQ(s.increment, (1ull << 44) + 1);
  EXPECT_EQ(s.state, 2 + (1ull << 44));
  EXPECT_EQ(g.ops().next64(g.s()), 0x0FB3C022EA344C2Aull) << "independent evaluation";

  Installed p(Method::PCG32I);
  p.ops().seed32(p.s(), 1);
  p.ops().key64(p.s(), 0x100000000ull);  // low 32 bits zero: no change
  EXPECT_EQ(p.as<rng::Pcg32State>().increment, 1u);
  p.ops().key32(p.s(), 1u << 21);
  EXPECT_EQ(p.as<rng::Pcg32State>().increment, (1u << 22) + 1);
  EXPECT_EQ(p.ops().next32(p.s()), 0x246CCA75u) << "independent evaluation";
}

// --- xorshift -----------------------------------------------------------------------------------

TEST(FamiliesXorshift, Xor128KeepsTheDeliveredSum) {
  rng::Xor128State s{};
  rng::seedXor128(s, 1);
  const uint64_t oldSecond = s.s1;
  const uint64_t delivered = rng::drawXor128(s);
  EXPECT_EQ(s.s0, oldSecond);
  EXPECT_EQ(s.s1, delivered);
}

// --- SUBKEY -------------------------------------------------------------------------------------

TEST(FamiliesSubkey, StreamZeroRepeatsAndStreamOneStepsDown) {
  Installed zero(Method::SUBKEY32);
  zero.ops().seed32(zero.s(), 10);
  zero.ops().key32(zero.s(), 0);  // stream number 0, substream 0
  for (int i = 0; i < 3; ++i) EXPECT_EQ(zero.ops().next32(zero.s()), 10u);

  Installed one(Method::SUBKEY32);
  one.ops().seed32(one.s(), 10);
  one.ops().key32(one.s(), 1u << 21);  // stream number 1
  EXPECT_EQ(one.ops().next32(one.s()), 10u - (1u << 21));
  EXPECT_EQ(one.ops().next32(one.s()), 10u - (1u << 22));
  EXPECT_EQ(one.ops().next64(one.s()),
            (uint64_t{10u - 3u * (1u << 21)} << 32) | (10u - 4u * (1u << 21)));
}

TEST(FamiliesSubkey, KeyFormsAndSeedKeepTheKey) {
  Installed g(Method::SUBKEY32);
  auto& s = g.as<rng::Subkey32State>();
  g.ops().key64(g.s(), 0x700000000ull);  // non-zero value whose low half is 0
  EXPECT_EQ(s.key, 0u);
  g.ops().key64(g.s(), 0x700000003ull);
  EXPECT_EQ(s.key, 3u);
  g.ops().key32(g.s(), 0);
  EXPECT_EQ(s.key, 3u);
  g.ops().keyDouble(g.s(), 4294967296.0 + 9.0);
  EXPECT_EQ(s.key, 9u);
  g.ops().keyDouble(g.s(), -1.0);  // wraps like the integer -1
  EXPECT_EQ(s.key, 0xFFFFFFFFu);
  g.ops().keyDouble(g.s(), std::nan(""));
  EXPECT_EQ(s.key, 0xFFFFFFFFu);
  g.ops().seed32(g.s(), 50);
  EXPECT_EQ(s.key, 0xFFFFFFFFu) << "seeding sets x only";
  EXPECT_EQ(g.ops().next32(g.s()), 51u);

  Installed wide(Method::SUBKEY64);
  wide.ops().seed64(wide.s(), 1);
  wide.ops().keyDouble(wide.s(), 3.0);
  EXPECT_EQ(wide.ops().next64(wide.s()), 0xFFFFFFFFFFFFFFFEull);
  EXPECT_EQ(wide.ops().next32(wide.s()), 0xFFFFFFFFu);
}

// --- RANUNI -------------------------------------------------------------------------------------

TEST(FamiliesRanuni, PreferredUniformAndRawConversions) {
  Installed g(Method::RANUNI);
  g.ops().seed32(g.s(), 1);
  EXPECT_EQ(g.ops().preferredUniform(g.s()), 397204094.0 / 2147483647.0);
  // The shared 32-bit conversions see the 31-bit x as it stands, so stay below one half.
  for (int i = 0; i < 200; ++i) {
    const double u = g.ops().lowerClosed32(g.s());
    ASSERT_LT(u, 0.5);
    ASSERT_GE(u, 0.0);
  }
}

// A seed congruent to 0 modulo 2^31 − 1 would make every later value 0; it seeds like 1 instead.
TEST(FamiliesRanuni, SeedsThatAreMultiplesOfTheModulusStepToZeroAndStay) {
  for (uint32_t seed : {0x7FFFFFFFu, 0xFFFFFFFEu}) {
    Installed g(Method::RANUNI);
    g.ops().seed32(g.s(), seed);
    EXPECT_EQ(g.ops().next32(g.s()), 0u) << std::hex << seed;
    EXPECT_EQ(g.ops().next32(g.s()), 0u) << std::hex << seed;
    EXPECT_EQ(g.ops().preferredUniform(g.s()), 0.0);
  }
  Installed other(Method::RANUNI);
  other.ops().seed32(other.s(), 0x80000000u);  // congruent to 1: the stream of seed 1
  EXPECT_EQ(other.ops().next32(other.s()), 397204094u);
}

// --- Double forms of seeds ----------------------------------------------------------------------

TEST(FamiliesSeeds, WholeDoubleSeedsEqualIntegerSeeds) {
  for (Method m : {Method::FRY2X32, Method::PCG32I, Method::SUBKEY32, Method::RANUNI,
                   Method::FRY4X64, Method::PCG64I, Method::XOR128, Method::XORGENS, Method::MH3}) {
    Installed a(m), b(m);
    a.ops().seedDouble(a.s(), 123456.0);
    b.ops().seed64(b.s(), 123456);
    EXPECT_EQ(std::memcmp(a.state.bytes, b.state.bytes, sizeof a.state.bytes), 0)
        << a.descriptor.name;
  }
}

}  // namespace
