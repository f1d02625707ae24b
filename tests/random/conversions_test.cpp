// Shared conversions through small scripted methods whose outputs the test chooses, shared seed
// bytes, and the finalisers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fake_runtime.h"
#include "random/conversions.h"

namespace {

using rng_test::FakeRuntime;

// A scripted draw: the state is a Script whose values repeat cyclically.
struct Script {
  std::vector<uint64_t> values;
  size_t next = 0;
  int draws = 0;
};
uint64_t scripted64(void* state) {
  auto* s = static_cast<Script*>(state);
  ++s->draws;
  uint64_t v = s->values[s->next];
  s->next = (s->next + 1) % s->values.size();
  return v;
}
uint32_t scripted32(void* state) { return static_cast<uint32_t>(scripted64(state)); }

template <double (*Op)(void*)>
double run(std::vector<uint64_t> values, int* draws = nullptr) {
  Script s{std::move(values)};
  double result = Op(&s);
  if (draws) *draws = s.draws;
  return result;
}

TEST(Conversions, ThirtyTwoBitGroup) {
  int draws = 0;
  EXPECT_EQ(run<rng::open32Redraw<&scripted32>>({0, 0, 5}, &draws), 5 * 0x1p-32);
  EXPECT_EQ(draws, 3);
  EXPECT_EQ(run<rng::open32Redraw<&scripted32>>({0}, &draws), 0.0);
  EXPECT_EQ(draws, 99) << "the last of 99 draws is used whatever it is";
  EXPECT_EQ(run<rng::midpoint32<&scripted32>>({0}), 0.5 * 0x1p-32);
  EXPECT_EQ(run<rng::upperClosed32<&scripted32>>({0xFFFFFFFF}), 1.0);
  EXPECT_EQ(run<rng::lowerClosed32<&scripted32>>({0}), 0.0);
  EXPECT_EQ(run<rng::closed32<&scripted32>>({0xFFFFFFFF}), 1.0);
  EXPECT_EQ(run<rng::closed32<&scripted32>>({3}), 4 * 0x1p-32);
}

TEST(Conversions, FiftyThreeBitGroup) {
  int draws = 0;
  EXPECT_EQ(run<rng::open53Redraw<&scripted64>>({2047, 2048}, &draws), 0x1p-53);
  EXPECT_EQ(draws, 2);
  run<rng::open53Redraw<&scripted64>>({100}, &draws);
  EXPECT_EQ(draws, 99);
  EXPECT_EQ(run<rng::odd53<&scripted64>>({0}), 0x1p-53);
  EXPECT_EQ(run<rng::upperClosed53<&scripted64>>({~0ull}), 1.0);
  EXPECT_EQ(run<rng::lowerClosed53<&scripted64>>({~0ull}), 1.0 - 0x1p-53);
  EXPECT_EQ(run<rng::closed53<&scripted64>>({~0ull}), 1.0);
}

TEST(Conversions, SixtyFourBitGroupRoundsOnce) {
  // 2^64 - 1 - 1024 is exactly halfway between two doubles below 1; a single rounding gives the
  // even neighbour 1 - 2^-53, not 1.0.
  const uint64_t tie = 0xFFFFFFFFFFFFFBFFull;
  EXPECT_EQ(run<rng::closed64<&scripted64>>({tie}), 1.0 - 0x1p-53);
  EXPECT_EQ(run<rng::closed64<&scripted64>>({~0ull}), 1.0);
  EXPECT_EQ(run<rng::upperClosed64<&scripted64>>({~0ull}), 1.0);
  EXPECT_EQ(run<rng::upperClosed64<&scripted64>>({0}), 0x1p-64);
  EXPECT_EQ(run<rng::lowerClosed64<&scripted64>>({0xFFFFFFFFFFFFFC00ull}),
            static_cast<double>(0xFFFFFFFFFFFFFC00ull << 54) * 0x1p-64);
  EXPECT_LT(run<rng::lowerClosed64<&scripted64>>({0xFFFFFFFFFFFFFBFFull}), 1.0);
  EXPECT_EQ(run<rng::open64<&scripted64>>({0}), 0x1p-64);
  EXPECT_LT(run<rng::open64<&scripted64>>({~0ull}), 1.0);
  EXPECT_GT(run<rng::open64<&scripted64>>({~0ull}), 0.0);
}

TEST(Conversions, OpenSixtyFourRedrawIsBounded) {
  int draws = 0;
  // Terminating inputs give the same value as before.
  EXPECT_EQ(run<rng::open64Redraw<&scripted64>>({0, ~0ull, 1ull << 63}, &draws), 0.5);
  EXPECT_EQ(draws, 3);
  // A generator stuck on 2^64 - 1 (every product rounds to 1.0) ends after 99 draws below 1.
  EXPECT_EQ(run<rng::open64Redraw<&scripted64>>({~0ull}, &draws), std::nextafter(1.0, 0.0));
  EXPECT_EQ(draws, 99);
  // A generator stuck on 0 ends with 2^-64.
  EXPECT_EQ(run<rng::open64Redraw<&scripted64>>({0}, &draws), 0x1p-64);
  EXPECT_EQ(draws, 99);
}

TEST(Conversions, FullPrecision) {
  int draws = 0;
  EXPECT_EQ(run<rng::fullPrecision<&scripted64>>({1ull << 63}, &draws), 0.5 + 0x1p-64);
  EXPECT_EQ(draws, 1);
  // One leading zero: shifted and refilled from the top bit of the next output.
  EXPECT_EQ(run<rng::fullPrecision<&scripted64>>({1ull << 62, 1ull << 63}, &draws),
            std::ldexp(static_cast<double>((1ull << 63) | 1 | 1), -65));
  EXPECT_EQ(draws, 2);
  // A zero output lowers the exponent by 64.
  EXPECT_EQ(run<rng::fullPrecision<&scripted64>>({0, 1ull << 63}, &draws), std::ldexp(1.0, -65));
  EXPECT_EQ(draws, 2);
  // All zeros: 0.0 once the exponent falls below -1074.
  EXPECT_EQ(run<rng::fullPrecision<&scripted64>>({0}, &draws), 0.0);
  EXPECT_EQ(draws, 16);  // exponents -64, -128, ..., -1024; the next one is below -1074
}

TEST(SeedBytes, Modes) {
  uint8_t state[32];
  const uint8_t bytes[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::memset(state, 0xEE, sizeof state);
  EXPECT_EQ(rng::seedBytesShared(state, 32, bytes, 0, 0), 0u);
  EXPECT_EQ(state[0], 0xEE);
  EXPECT_EQ(rng::seedBytesShared(state, 8, bytes, 12, 0), 2u);
  EXPECT_EQ(state[7], 8);
  EXPECT_EQ(state[8], 0xEE);
  EXPECT_EQ(rng::seedBytesShared(state, 32, bytes, 12, 2), 3u);
  EXPECT_EQ(state[12], 1);
  EXPECT_EQ(state[31], 8);
  std::memset(state, 0xEE, sizeof state);
  EXPECT_EQ(rng::seedBytesShared(state, 32, bytes, 3, 1), 1u);
  EXPECT_EQ(state[3], 0xEE);
  EXPECT_EQ(rng::seedBytesShared(state, 32, bytes, 12, 0), 4u);
  uint64_t words[4];
  std::memcpy(words, state, 32);
  EXPECT_EQ(words[1], 0x0C0B0A09ull) << "padded with zeros to a whole word";
  EXPECT_EQ(words[2], rng::fmix64(words[0]));
  EXPECT_EQ(words[3], rng::fmix64(words[1]));
  uint8_t small[8];
  std::memset(small, 0xEE, sizeof small);
  EXPECT_EQ(rng::seedBytesShared(small, 4, bytes, 3, 0), 4u);
  EXPECT_EQ(small[3], 0);
  EXPECT_EQ(small[4], 0xEE);
  EXPECT_EQ(rng::seedBytesRefused(small, bytes, 0, 0), 0u);
  EXPECT_EQ(rng::seedBytesRefused(small, bytes, 3, 0), 0xFFFFFFFFu);
}

TEST(Finalisers, PublishedProperties) {
  EXPECT_EQ(rng::fmix64(0), 0u);
  EXPECT_EQ(rng::fmix32(0), 0u);
  // Bijective mixing: distinct small inputs give distinct outputs with many bits changed.
  EXPECT_GT(std::popcount(rng::fmix64(1) ^ rng::fmix64(2)), 16);
}

TEST(Rdrand, ProbeFollowsTheProcessorRecord) {
  FakeRuntime runtime;
  runtime.setRdrand(false);
  EXPECT_FALSE(rng::rdrandAvailable());
  runtime.setRdrand(true);
  EXPECT_TRUE(rng::rdrandAvailable());
  rng::bindRuntime(nullptr);
  EXPECT_FALSE(rng::rdrandAvailable());
}

}  // namespace
