// Small-state generators: the iterated MurmurHash3 finaliser (MH3), the PCG "RXS M XS" variants
// (O'Neill, "PCG: a family of simple fast space-efficient statistically good algorithms", 2014),
// the xorshift*/xorshift+ generators (Vigna, "An experimental exploration of Marsaglia's xorshift
// generators, scrambled", 2016; "Further scramblings of Marsaglia's xorshift generators", 2017),
// the subtract-key sequence and RANUNI (Lehmer generator, modulus 2^31 - 1, multiplier 397204094).
//
// Each state struct is laid out exactly as the state listings show it. Seeds arrive already
// resolved (never 0); the method adapters replace 0 by a clock seed before calling in here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "random/conversions.h"  // MurmurHash3 finalisers fmix32, fmix64

namespace rng {

// --- MH3 --------------------------------------------------------------------------------------
// Each draw replaces x by its finalised value. The finaliser maps 0 to 0, which is why a seed is
// never stored as 0.
struct Mh3State {
  uint64_t x;
};
static_assert(sizeof(Mh3State) == 8);

inline void seedMh3(Mh3State& state, uint64_t seed) { state.x = seed; }
inline uint64_t drawMh3(Mh3State& state) { return state.x = fmix64(state.x); }

// --- PCG32I and PCG64I --------------------------------------------------------------------------
// Unlike the published generator, the output is computed from the state after the step.
struct Pcg32State {
  uint32_t state;
  uint32_t increment;
};
struct Pcg64State {
  uint64_t state;
  uint64_t increment;
};
static_assert(sizeof(Pcg32State) == 8);
static_assert(sizeof(Pcg64State) == 16);

inline constexpr uint32_t kPcg32Multiplier = 747796405u;
inline constexpr uint32_t kPcg32OutputMultiplier = 277803737u;
inline constexpr uint64_t kPcg64Multiplier = 6364136223846793005ull;
inline constexpr uint64_t kPcg64OutputMultiplier = 0xAEF17502108EF2D9ull;

inline void seedPcg32(Pcg32State& s, uint32_t seed) {
  s.increment = 1;
  s.state = seed + 1u;
}
inline void seedPcg64(Pcg64State& s, uint64_t seed) {
  s.increment = 1;
  s.state = seed + 1u;
}
// A stream v selects the odd increment 2v + 1 and moves the state by 2v, so that streams differ
// from their first output on. A zero value leaves the default stream alone.
inline void keyPcg32(Pcg32State& s, uint32_t value) {
  if (value == 0) return;
  s.increment = 2u * value + 1u;
  s.state += 2u * value;
}
inline void keyPcg64(Pcg64State& s, uint64_t value) {
  if (value == 0) return;
  s.increment = 2u * value + 1u;
  s.state += 2u * value;
}
inline uint32_t drawPcg32(Pcg32State& s) {
  s.state = s.state * kPcg32Multiplier + s.increment;
  uint32_t y = s.state;
  y ^= y >> ((y >> 28) + 4u);
  y *= kPcg32OutputMultiplier;
  return y ^ (y >> 22);
}
inline uint64_t drawPcg64(Pcg64State& s) {
  s.state = s.state * kPcg64Multiplier + s.increment;
  uint64_t y = s.state;
  y ^= y >> ((y >> 59) + 5u);
  y *= kPcg64OutputMultiplier;
  return y ^ (y >> 43);
}

// --- XOR64: xorshift64* -------------------------------------------------------------------------
struct Xor64State {
  uint64_t x;
};
static_assert(sizeof(Xor64State) == 8);

inline void seedXor64(Xor64State& s, uint64_t seed) { s.x = seed; }
inline uint64_t drawXor64(Xor64State& s) {
  s.x ^= s.x >> 12;
  s.x ^= s.x << 25;
  s.x ^= s.x >> 27;
  return s.x * 0x2545F4914F6CDD1Dull;
}

// --- XOR128: xorshift128+ with the sum kept ------------------------------------------------------
// The second word receives t + b, the delivered value, rather than t alone as in the published
// generator; the recurrence therefore runs on the outputs.
struct Xor128State {
  uint64_t s0;
  uint64_t s1;
};
static_assert(sizeof(Xor128State) == 16);

inline void seedXor128(Xor128State& s, uint64_t seed) {
  s.s0 = seed;
  s.s1 = fmix64(seed + 1u);
}
inline uint64_t drawXor128(Xor128State& s) {
  uint64_t a = s.s0;
  const uint64_t b = s.s1;
  a ^= a << 23;
  const uint64_t t = a ^ b ^ (a >> 17) ^ (b >> 26);
  s.s0 = b;
  s.s1 = t + b;
  return s.s1;
}

// --- XOR1024 and XOR4096: xorshift1024* and xorshift4096* ----------------------------------------
// A ring of 16 or 64 words with the position p of the newest word. The padding word is explicit
// so that the listings show zeros rather than indeterminate bytes.
template <size_t kWords>
struct XorRingState {
  uint64_t s[kWords];
  uint32_t p;
  uint32_t padding;
};
using Xor1024State = XorRingState<16>;
using Xor4096State = XorRingState<64>;
static_assert(sizeof(Xor1024State) == 136);
static_assert(sizeof(Xor4096State) == 520);

template <size_t kWords>
inline void seedXorRing(XorRingState<kWords>& s, uint64_t seed) {
  s.s[0] = seed;
  for (size_t k = 1; k < kWords; ++k) s.s[k] = fmix64(seed + k);
  s.p = 0;
}
inline uint64_t drawXor1024(Xor1024State& s) {
  const uint64_t s0 = s.s[s.p];
  s.p = (s.p + 1u) & 15u;
  uint64_t s1 = s.s[s.p];
  s1 ^= s1 << 31;
  s.s[s.p] = s1 ^ s0 ^ (s1 >> 11) ^ (s0 >> 30);
  return s.s[s.p] * 0x106689D45497FDB5ull;
}
inline uint64_t drawXor4096(Xor4096State& s) {
  const uint64_t s0 = s.s[s.p];
  s.p = (s.p + 1u) & 63u;
  uint64_t s1 = s.s[s.p];
  s1 ^= s1 << 25;
  s.s[s.p] = s1 ^ s0 ^ (s1 >> 3) ^ (s0 >> 49);
  return s.s[s.p] * 0x74321163EEC4A005ull;
}

// --- XORGENS: 4096-bit xorgens with a Weyl sequence (Brent, "Some long-period random number
// generators using shifts and xors", 2007), parameters r = 64, s = 53 (lag 11), shifts 33, 26,
// 27, 29.
struct XorgensState {
  uint64_t x[64];
  uint64_t w;  // Weyl value
  uint32_t i;  // position of the newest word
  uint32_t padding;
};
static_assert(sizeof(XorgensState) == 528);

inline constexpr uint64_t kWeylIncrement = 0x61C8864680B583EBull;

inline void stepXorgens(XorgensState& s) {
  s.i = (s.i + 1u) & 63u;
  uint64_t t = s.x[s.i];
  uint64_t v = s.x[(s.i + 11u) & 63u];
  t ^= t << 33;
  t ^= t >> 26;
  v ^= v << 27;
  v ^= v >> 29;
  s.x[s.i] = v ^ t;
}
inline uint64_t drawXorgens(XorgensState& s) {
  stepXorgens(s);
  s.w += kWeylIncrement;
  return s.x[s.i] + (s.w ^ (s.w >> 27));
}
// The seed is spread by a 64-bit xorshift; 256 discarded steps (4r) let the ring forget the
// simple structure of its initial words. The Weyl value is not advanced by those steps.
inline void seedXorgens(XorgensState& s, uint64_t seed) {
  auto shift = [](uint64_t v) {
    v ^= v << 10;
    v ^= v >> 15;
    v ^= v << 4;
    v ^= v >> 13;
    return v;
  };
  uint64_t v = seed;
  for (int k = 0; k < 64; ++k) v = shift(v);
  s.w = v;
  for (int k = 0; k < 64; ++k) {
    v = shift(v);
    s.w += kWeylIncrement;
    s.x[k] = v + s.w;
  }
  s.i = 63;
  for (int k = 0; k < 256; ++k) stepXorgens(s);
}

// --- SUBKEY32 and SUBKEY64 ----------------------------------------------------------------------
// An arithmetic sequence stepping down by the key; with key 0 every draw repeats x. Seeding sets
// x only and keeps the key.
template <typename Word>
struct SubkeyState {
  Word x;
  Word key;
};
using Subkey32State = SubkeyState<uint32_t>;
using Subkey64State = SubkeyState<uint64_t>;
static_assert(sizeof(Subkey32State) == 8);
static_assert(sizeof(Subkey64State) == 16);

template <typename Word>
inline Word drawSubkey(SubkeyState<Word>& s) {
  s.x = static_cast<Word>(s.x - s.key);
  return s.x;
}

// --- RANUNI -------------------------------------------------------------------------------------
struct RanuniState {
  uint32_t x;  // 0 .. 0x7FFFFFFE after the first step
};
static_assert(sizeof(RanuniState) == 4);

inline constexpr uint32_t kRanuniModulus = 0x7FFFFFFFu;
inline constexpr uint64_t kRanuniMultiplier = 397204094u;

// x · a mod (2^31 − 1) without division: 2^31 ≡ 1, so the high part folds onto the low part; one
// subtraction suffices because x < 2^32 keeps the folded sum below 2^31 + 2^30.
inline uint32_t stepRanuni(RanuniState& s) {
  const uint64_t t = s.x * kRanuniMultiplier;
  uint64_t y = (t & kRanuniModulus) + (t >> 31);
  if (y > kRanuniModulus - 1u) y -= kRanuniModulus;
  s.x = static_cast<uint32_t>(y);
  return s.x;
}
// The seed is stored as given. A seed that is a multiple of the modulus (0x7FFFFFFF,
// 0xFFFFFFFE) steps to 0 and stays there: that is the generator's documented behaviour, which
// existing programs' streams depend on, so it is kept rather than remapped.
inline void seedRanuni(RanuniState& s, uint32_t seed) { s.x = seed; }

}  // namespace rng
